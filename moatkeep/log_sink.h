// Where the relay engine's units write their log lines. The service class
// forwards them to the system log; tests collect them.
#pragma once

#include <cstdarg>

#include "zunder/process.h"
#include "zunder/sockets.h"
#include "zunder/strings.h"

// The levels by name (FatalLevel, ErrorLevel, WarningLevel,
// InformationLevel), as the system log numbers them.
using enum ZServiceProcess::LogLevel;

class LogSink {
 public:
  virtual ~LogSink() = default;

  // printf-style, at one of the levels above.
  void Log(int level, const char* format, ...) __attribute__((format(printf, 3, 4))) {
    va_list arguments;
    va_start(arguments, format);
    LogV(level, format, arguments);
    va_end(arguments);
  }
  virtual void LogV(int level, const char* format, va_list arguments) = 0;
};

// Text for the log line of a client read that failed. A client that closes
// its connection half-way through a request ends the read without a system
// error, so the error text alone would leave the line blank.
inline ZString ReadFailureText(const ZChannel& channel) {
  if (channel.GetOSError() == 0) return ZString("Connection closed by the client");
  return channel.GetErrorText();
}
