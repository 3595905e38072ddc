// A LogSink that keeps the lines written to it, each as "<level> <text>"
// ("1 Accept failed ..."), for a test to compare. Threads may log at once.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "log_sink.h"

class CapturedLog : public LogSink {
 public:
  void LogV(int level, const char* format, va_list arguments) override {
    char text[1000];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(std::to_string(level) + " " + text);
  }

  // Every line so far.
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
  }
  // The lines since the last Take.
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> taken;
    taken.swap(lines);
    return taken;
  }

 private:
  mutable std::mutex mutex;
  std::vector<std::string> lines;
};
