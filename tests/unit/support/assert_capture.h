// Records assertion reports instead of aborting, so tests can check that
// misuse is reported with the right text and that the library carries on.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "zunder/object.h"

class AssertCapture {
 public:
  AssertCapture() {
    previous = ZSetAssertHandler(&Record);
    Reports().clear();
  }
  ~AssertCapture() { ZSetAssertHandler(previous); }
  AssertCapture(const AssertCapture&) = delete;
  AssertCapture& operator=(const AssertCapture&) = delete;

  struct Report {
    std::string source;
    unsigned line;
    std::string message;
  };

  static std::vector<Report> Taken() {
    std::lock_guard<std::mutex> lock(Mutex());
    return Reports();
  }
  static size_t Count() { return Taken().size(); }
  static std::string LastMessage() {
    auto all = Taken();
    return all.empty() ? std::string() : all.back().message;
  }
  static void Clear() {
    std::lock_guard<std::mutex> lock(Mutex());
    Reports().clear();
  }
  // The message a report with this assertion code carries.
  static std::string TextOf(int code) {
    char text[100];
    return ZAssertText(code, text, sizeof text);
  }

 private:
  static void Record(const char* source, unsigned line, const char* message) {
    std::lock_guard<std::mutex> lock(Mutex());
    Reports().push_back({source, line, message});
  }
  static std::vector<Report>& Reports() {
    static std::vector<Report> reports;
    return reports;
  }
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  ZAssertHandler previous;
};
