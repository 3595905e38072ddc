// ZServiceProcess: the command word, the service entry with its control
// handler and service thread, the foreground run, and the system log.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "host_error.h"
#include "host_service.h"
#include "host_thread.h"
#include "zunder/process.h"
#include "zunder/time.h"

const char* const ZServiceProcess::commandWords[CommandCount] = {"debug", "version", "install", "remove",
                                                                 "start", "stop",    "pause",   "resume"};
const char* const ZServiceProcess::levelNames[4] = {"Fatal error", "Error", "Warning", "Information"};

namespace {

// The wait hint of the pending states; also how long the stopping service
// entry waits for Main to return once OnStop has run.
constexpr uint32_t kWaitHint = 3000;

bool SameWordIgnoringCase(const char* left, const char* right) {
  for (;; ++left, ++right) {
    char a = *left;
    char b = *right;
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
    if (a == '\0') return true;
  }
}

// OnStop runs once in the foreground: either after Main returned or on
// Ctrl-C, whichever claims it first (Main often returns because of the very
// OnStop that Ctrl-C started).
std::atomic<bool> foregroundStopClaimed{false};

void OnInterrupt(void* argument) {
  if (!foregroundStopClaimed.exchange(true)) static_cast<ZServiceProcess*>(argument)->OnStop();
  zhost::ExitProcessNow(1);
}

}  // namespace

ZServiceProcess::ZServiceProcess(const char* maker, const char* product, uint16_t versionMajor, uint16_t versionMinor,
                                 int32_t releaseStatus, uint16_t build)
    : ZProcess(maker, product, versionMajor, versionMinor, releaseStatus, build) {}

ZServiceProcess::~ZServiceProcess() = default;

// ---------------------------------------------------------------- entry

int ZServiceProcess::InternalMain(int argc, char** argv, char** /*envp*/) {
  // Before any thread exists, so that every thread inherits the mask and the
  // controls reach only the thread that waits for them.
  zhost::BlockControlSignals();
  PreInitialise(argc > 0 ? argv[0] : nullptr);

  if (argc <= 1) {
    debugMode = false;
    currentLogLevel = ErrorLevel;
    serviceStatus.serviceType = 0x10;
    serviceStatus.serviceSpecificExitCode = 0;
    if (!zhost::StartedByServiceManager()) {
      SystemLog(FatalLevel, "StartServiceCtrlDispatcher failed.");
      zhost::ConsoleWrite("Could not start service.\n");
      ProcessCommand("");
      return 1;
    }
    RunDispatcher();
    return terminationValue;
  }

  switch (ProcessCommand(argv[1])) {
    case 0: break;
    case 2: return 0;
    default: return 1;
  }
  RunInForeground();
  return 0;
}

int ZServiceProcess::ProcessCommand(const char* word) {
  if (word == nullptr) word = "";
  int command = -1;
  for (int i = 0; i < CommandCount; ++i) {
    if (SameWordIgnoringCase(word, commandWords[i])) {
      command = i;
      break;
    }
  }

  if (command < 0) {
    if (*word != '\0') zhost::ConsoleWrite(ZString("Unknown command \"") + word + "\".\n");
    ZString usage = ZString("usage: ") + productName + " [ ";
    for (int i = 0; i < CommandCount; ++i) {
      if (i > 0) usage += " | ";
      usage += commandWords[i];
    }
    usage += " ]\n";
    zhost::ConsoleWrite(usage);
    return 1;
  }
  if (command == DebugCommand) return 0;
  if (command == VersionCommand) {
    zhost::ConsoleWrite(productName + " " + GetOSClass() + "/" + GetOSName() + " Version " + GetVersion(true) + "\n");
    return 1;
  }

  int error = 0;
  std::unique_ptr<zhost::ServiceManager> manager = zhost::OpenServiceManager(error);
  if (!manager) {
    zhost::ConsoleWrite("Could not open Service Manager.\n");
    return 1;
  }
  const bool installed = manager->IsInstalled(productName);
  if (command != InstallCommand && !installed) {
    zhost::ConsoleWrite("Service is not installed.\n");
    return 1;
  }

  bool done = false;
  switch (command) {
    case InstallCommand:
      if (installed) {
        zhost::ConsoleWrite("Service is already installed.\n");
        return 1;
      }
      // Registering an event source has no counterpart here: syslog needs none.
      done = manager->Install(productName, executableFile, error);
      break;
    case RemoveCommand: done = manager->Remove(productName, error); break;
    case StartCommand: done = manager->Start(productName, error); break;
    case StopCommand: done = manager->Control(productName, StopControl, error); break;
    case PauseCommand: done = manager->Control(productName, PauseControl, error); break;
    default:  // ResumeCommand
      done = manager->Control(productName, ContinueControl, error);
      break;
  }
  ZString result = ZString("Service command \"") + word + "\" ";
  result += done ? ZString("successful.") : FormatText("failed - error code = %d", error);
  result += "\n";
  zhost::ConsoleWrite(result);
  return done ? 2 : 1;
}

// ---------------------------------------------------------------- foreground

void ZServiceProcess::RunInForeground() {
  debugMode = true;
  currentLogLevel = InformationLevel;
  zhost::ConsoleWrite(ZString("Service simulation started for \"") + productName +
                      "\".\nPress Ctrl-C to terminate.\n\n");
  zhost::WatchInterrupt(&OnInterrupt, this);
  if (OnStart()) Main();
  if (foregroundStopClaimed.exchange(true)) {
    // Ctrl-C is stopping the service; its thread ends the program with 1.
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  OnStop();
}

// ---------------------------------------------------------------- service

void ZServiceProcess::TerminationEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    set = true;
    if (dispatcher != nullptr) dispatcher->Wake();
  }
  changed.notify_all();
}

bool ZServiceProcess::TerminationEvent::IsSet() {
  std::lock_guard<std::mutex> lock(mutex);
  return set;
}

void ZServiceProcess::RunDispatcher() {
  // The main thread blocks here like in a service dispatcher. The entry gets
  // a thread of its own because the main thread's ZThread identity is the
  // process object, which the service thread takes over: a control handler
  // suspending the service thread must not count as the thread itself.
  {
    std::lock_guard<std::mutex> lock(serviceThreadMutex);
    entryRunning = true;
  }
  if (!zhost::StartThread(&ZServiceProcess::RunServiceEntry, this, 0)) {
    SystemLog(FatalLevel, "StartServiceCtrlDispatcher failed.");
    terminationValue = 1;
    return;
  }
  std::unique_lock<std::mutex> lock(serviceThreadMutex);
  serviceThreadChanged.wait(lock, [&] { return !entryRunning; });
}

void ZServiceProcess::RunServiceEntry(void* process) {
  auto* self = static_cast<ZServiceProcess*>(process);
  self->ServiceEntry();
  std::lock_guard<std::mutex> lock(self->serviceThreadMutex);
  self->entryRunning = false;
  self->serviceThreadChanged.notify_all();
}

void ZServiceProcess::ServiceEntry() {
  // This thread is the dispatcher: it takes the controls as signals and runs
  // the control handler while the service thread runs Main.
  std::unique_ptr<zhost::StatusReporter> reporter = zhost::OpenStatusReporter(productName);
  if (!reporter) return;
  zhost::ControlChannel controls;
  statusHandle = reporter.get();
  if (!ReportStatus(StartPendingState, 0, 1, kWaitHint)) {
    statusHandle = nullptr;
    return;
  }
  if (!controls.IsOpen()) {
    statusHandle = nullptr;
    return;
  }
  terminationEvent = std::make_unique<TerminationEvent>();
  terminationEvent->dispatcher = &controls;

  // The start arguments as a manager would pass them: just the service name.
  serviceName = productName;
  serviceArgv[0] = const_cast<char*>(serviceName.Text());
  serviceArgv[1] = nullptr;
  arguments.SetArgs(1, serviceArgv);

  {
    std::lock_guard<std::mutex> lock(serviceThreadMutex);
    serviceThreadRunning = true;
  }
  if (zhost::StartThread(&ZServiceProcess::RunServiceThread, this, 4096)) {
    while (!terminationEvent->IsSet()) {
      Control received = StopControl;
      const zhost::ControlChannel::Outcome outcome = controls.Wait(received);
      if (outcome == zhost::ControlChannel::Controlled) {
        ControlHandler(received);
      } else if (outcome == zhost::ControlChannel::Failed) {
        // No more controls can come; wait for the service to end by itself.
        std::unique_lock<std::mutex> lock(terminationEvent->mutex);
        terminationEvent->changed.wait(lock, [&] { return terminationEvent->set; });
      }
    }
  } else {
    std::lock_guard<std::mutex> lock(serviceThreadMutex);
    serviceThreadRunning = false;
  }

  // A pthread cannot be killed safely, so the service thread is given the
  // wait hint to leave Main after OnStop; if it is still inside, the process
  // ends at once below, after the stopped report, instead of killing it.
  const bool ended = WaitForServiceThread(kWaitHint);
  ReportStatus(StoppedState, 0, 0, 0);
  if (!ended) zhost::ExitProcessNow(terminationValue);
  {
    std::lock_guard<std::mutex> lock(terminationEvent->mutex);
    terminationEvent->dispatcher = nullptr;
  }
  statusHandle = nullptr;
}

void ZServiceProcess::RunServiceThread(void* process) { static_cast<ZServiceProcess*>(process)->ServiceThreadBody(); }

void ZServiceProcess::ServiceThreadBody() {
  // The process object stands for the service thread from now on, so that
  // the default OnPause suspends this thread.
  AttachCurrentThread();
  if (OnStart()) {
    // A stop that came during OnStart is not overwritten by "running".
    if (!terminationEvent->IsSet()) ReportStatus(RunningState, 0, 0, 0);
    Main();
    ReportStatus(StopPendingState, 0, 1, kWaitHint);
  }
  terminationEvent->Set();
  std::lock_guard<std::mutex> lock(serviceThreadMutex);
  serviceThreadRunning = false;
  serviceThreadChanged.notify_all();
}

bool ZServiceProcess::WaitForServiceThread(int64_t milliseconds) {
  std::unique_lock<std::mutex> lock(serviceThreadMutex);
  return serviceThreadChanged.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                       [&] { return !serviceThreadRunning; });
}

void ZServiceProcess::ControlHandler(uint32_t code) {
  const ServiceStatus current = GetServiceStatus();
  switch (code) {
    case StopControl:
      ReportStatus(StopPendingState, 0, 1, kWaitHint);
      OnStop();
      terminationEvent->Set();
      return;
    case PauseControl:
      if (current.currentState == RunningState) {
        if (OnPause()) ReportStatus(PausedState, 0, 0, 0);
        return;
      }
      break;
    case ContinueControl:
      if (current.currentState == PausedState) {
        OnContinue();
        ReportStatus(RunningState, 0, 0, 0);
        return;
      }
      break;
    default: break;
  }
  ReportStatus(static_cast<ServiceState>(current.currentState), current.exitCode, current.checkPoint, current.waitHint);
}

bool ZServiceProcess::OnPause() {
  Suspend(true);
  return true;
}

void ZServiceProcess::OnContinue() { Resume(); }

ZServiceProcess::ServiceStatus ZServiceProcess::GetServiceStatus() const {
  std::lock_guard<std::mutex> lock(statusMutex);
  return serviceStatus;
}

bool ZServiceProcess::ReportStatus(ServiceState state, uint32_t exitCode, uint32_t checkPoint, uint32_t waitHint) {
  bool sent = true;
  {
    std::lock_guard<std::mutex> lock(statusMutex);
    serviceStatus.controlsAccepted = state == StartPendingState ? 0 : 3;
    serviceStatus.currentState = state;
    serviceStatus.exitCode = exitCode;
    serviceStatus.checkPoint = checkPoint;
    serviceStatus.waitHint = waitHint;
    if (debugMode) return true;
    int error = 0;
    sent = statusHandle != nullptr && statusHandle->Report(state, exitCode, error);
    // The log line tells the cause, as the thread's last error.
    if (!sent && error != 0) zhost::SetLastError(error);
  }
  if (!sent) SystemLog(ErrorLevel, "SetServiceStatus failed");
  return sent;
}

// ---------------------------------------------------------------- system log

void ZServiceProcess::SystemLog(int level, const char* format, ...) {
  va_list formatArguments;
  va_start(formatArguments, format);
  SystemLogV(level, format, formatArguments);
  va_end(formatArguments);
}

void ZServiceProcess::SystemLogV(int level, const char* format, va_list formatArguments) {
  if (level > currentLogLevel.load()) return;
  const int error = zhost::LastError();
  if (level < FatalLevel) level = FatalLevel;
  if (level > InformationLevel) level = InformationLevel;

  char message[kLogBufferSize];
  const int length = std::vsnprintf(message, sizeof(message), format != nullptr ? format : "", formatArguments);
  if (length < 0) {
    message[0] = '\0';
  } else if (static_cast<size_t>(length) >= sizeof(message)) {
    // Cut to fit, and say so.
    std::snprintf(message + sizeof(message) - 4, 4, "...");
  }
  const bool showError = level != InformationLevel && error != 0;

  if (debugMode) {
    // Never destroyed: threads may still log during static destruction.
    static ZSemaphore* console = new ZSemaphore(1, 1);
    ZString line = ZTime().AsString("yy/MM/dd hh:mm:ss") + " " + levelNames[level];
    if (message[0] != '\0') line += ZString(": ") + message;
    if (showError) line += FormatText(" - error = %d", error);
    line += "\n";
    console->Wait();
    zhost::ConsoleWrite(line);
    console->Signal();
  } else {
    ZString entry = message;
    if (showError) entry += FormatText("\nError code = %d", error);
    zhost::ReportEvent(productName, level, entry);  // an entry that cannot be written is dropped
  }
  zhost::SetLastError(error);
}
