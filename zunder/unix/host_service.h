// The host side of the process and service framework: program identity,
// console, system log, control signals and the service manager. Only the
// process classes include this header.
#pragma once

#include <cstdint>
#include <memory>

#include "zunder/process.h"
#include "zunder/strings.h"

namespace zhost {

// ---------------------------------------------------------------- identity

// The real path of the running program ("" when the host cannot tell).
ZString ExecutablePath();
ZString OSName();
// Major and minor number of the kernel release.
void OSVersion(unsigned* major, unsigned* minor);
// The effective user's account name (at most 50 characters).
ZString UserName();

// Ends the process at once: no static destructors, no other thread runs on.
[[noreturn]] void ExitProcessNow(int code);

// ---------------------------------------------------------------- console

// Writes to the standard error stream (the library's console stream).
void ConsoleWrite(const char* text);
// One key from the terminal without echo (a byte of standard input when it is
// not a terminal); -1 at the end of input.
int ConsoleReadKey();
// Stops in an attached debugger; false (nothing done) when none is attached.
bool DebugBreak();

// ---------------------------------------------------------------- system log

// One entry in the system log under the identity given: level 0 and 1 are
// errors, 2 warnings, 3 information. False when the entry cannot be written.
bool ReportEvent(const char* identity, int level, const char* message);

// ---------------------------------------------------------------- controls

// Blocks the control signals in the calling thread (and so in every thread it
// starts afterwards). Called first thing by the program entry.
void BlockControlSignals();

// The dispatcher's source of service controls: SIGTERM and SIGINT are stop,
// SIGUSR1 pause, SIGUSR2 continue, SIGHUP reload.
class ControlChannel {
 public:
  ControlChannel();
  ~ControlChannel();
  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;

  bool IsOpen() const { return signalDescriptor >= 0 && wakeDescriptor >= 0; }
  enum Outcome { Controlled, Woken, Failed };
  // Waits for the next control and puts it in control; Woken after Wake,
  // Failed when no control can come any more.
  Outcome Wait(ZServiceProcess::Control& control);
  // Makes a current or the next Wait return 0 (any thread).
  void Wake();

 private:
  int signalDescriptor = -1;
  int wakeDescriptor = -1;
};

// Runs callback once on its own thread when SIGINT or SIGTERM arrives (the
// foreground run's Ctrl-C). False when the thread cannot be started.
bool WatchInterrupt(void (*callback)(void* argument), void* argument);

// ---------------------------------------------------------------- service manager

// True when a service manager started this process (systemd's NOTIFY_SOCKET
// or INVOCATION_ID, or ZUNDER_SERVICE_MANAGER from the built-in one).
bool StartedByServiceManager();

// Reports the service's state to the manager that started it.
class StatusReporter {
 public:
  virtual ~StatusReporter() = default;
  virtual bool Report(ZServiceProcess::ServiceState state, uint32_t exitCode, int& error) = 0;
};
// Null when this process was not started by a manager or cannot reach it.
std::unique_ptr<StatusReporter> OpenStatusReporter(const char* serviceName);

// The manager's side of the service commands. Each answers true on success;
// on failure the error code (errno, or systemctl's exit status) is in error.
class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  virtual bool IsInstalled(const char* name) = 0;
  virtual bool Install(const char* name, const char* executable, int& error) = 0;
  virtual bool Remove(const char* name, int& error) = 0;
  virtual bool Start(const char* name, int& error) = 0;
  virtual bool Control(const char* name, ZServiceProcess::Control control, int& error) = 0;
};
// The systemd backend when the host runs systemd (or ZUNDER_SERVICE_MANAGER
// is "systemd"), else the built-in one; null when it cannot be opened.
std::unique_ptr<ServiceManager> OpenServiceManager(int& error);

}  // namespace zhost
