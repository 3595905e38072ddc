// The process object and the service framework.
//
// ZArgList holds a program's arguments and parses its options; ZProcess is
// the one process object (identity, executable, arguments; it stands for the
// main thread); ZServiceProcess turns the program into a system service: the
// command word, the service manager, the control mapping and the system log.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>

#include "zunder/files.h"
#include "zunder/strings.h"
#include "zunder/threads.h"

// ---------------------------------------------------------------- ZArgList

class ZArgList : public ZObject {
  Z_CLASS(ZArgList, ZObject)
 public:
  ZArgList() = default;
  ZArgList(int32_t argumentCount, char** arguments) { SetArgs(argumentCount, arguments); }

  // Takes the array unchanged (not copied: it must outlive the list) and
  // resets the shift.
  void SetArgs(int32_t count, char** values);
  // Option letters, a letter followed by ":" taking an argument. Consumes the
  // leading options; the rest are the parameters.
  void Parse(const char* spec);

  int32_t GetCount() const { return count - shift; }
  ZString GetParameter(int32_t index) const;
  ZString operator[](int32_t index) const { return GetParameter(index); }
  void Shift(int32_t n);

  int32_t GetOptionCount(char letter) const;
  int32_t GetOptionCount(const char* letter) const;
  ZString GetOptionString(char letter, const char* defaultValue = nullptr) const;

  virtual void IllegalArgumentIndex(int32_t index) const;
  virtual void UnknownOption(char letter) const;
  virtual void MissingArgument(char letter) const;

 private:
  ZIndex LetterIndex(char letter) const;  // position among the option letters, ZNotFound if absent

  int32_t count = 0;
  char** values = nullptr;
  ZString optionSpec;
  std::unique_ptr<int32_t[]> optionCounts;  // one per option letter
  ZStringArray optionStrings;               // one per option letter
  int32_t shift = 0;
};

// ---------------------------------------------------------------- ZProcess

class ZProcess : public ZThread {
  Z_CLASS(ZProcess, ZThread)
 public:
  enum CodeStatus { AlphaCode = 0, BetaCode = 1, ReleaseCode = 2 };

  // Records the object as the current process; there is one per program.
  ZProcess(const char* maker, const char* product, uint16_t versionMajor, uint16_t versionMinor, int32_t releaseStatus,
           uint16_t build);
  ~ZProcess() override;

  static ZProcess* Current();

  // The process's own thread runs no Main of its own; service classes do.
  void Main() override {}
  // The program entry: interprets the command line and answers the exit code.
  virtual int InternalMain(int argc, char** argv, char** envp);
  // Exits the program at once with terminationValue.
  void Terminate() override;

  ZString GetVersion(bool full) const;
  ZString GetOSClass() const;
  ZString GetOSName() const;
  ZString GetOSVersion() const;
  ZString GetUserName() const;

  const ZString& GetManufacturer() const { return manufacturer; }
  const ZString& GetProductName() const { return productName; }
  // The real path of the running program.
  const ZFilePath& GetExecutableFile() const { return executableFile; }
  const ZArgList& GetArguments() const { return arguments; }
  ZArgList& GetArguments() { return arguments; }

  int32_t GetTerminationValue() const { return terminationValue; }
  void SetTerminationValue(int32_t value) { terminationValue = value; }

 protected:
  // Sets the executable (from the host), the product name when empty, no
  // arguments, terminationValue 0, and registers the calling thread.
  void PreInitialise(const char* programPath);

  std::atomic<int32_t> terminationValue{0};
  ZString manufacturer;
  ZString productName;
  uint16_t majorVersion;
  uint16_t minorVersion;
  int32_t codeStatus;
  uint16_t buildNumber;
  ZFilePath executableFile;
  ZArgList arguments;
};

// ---------------------------------------------------------------- ZServiceProcess

namespace zhost {
class StatusReporter;
class ControlChannel;
}  // namespace zhost

class ZServiceProcess : public ZProcess {
  Z_CLASS(ZServiceProcess, ZProcess)
 public:
  // The words of the command line, in table order (the index is the number).
  enum Command {
    DebugCommand,
    VersionCommand,
    InstallCommand,
    RemoveCommand,
    StartCommand,
    StopCommand,
    PauseCommand,
    ResumeCommand,
    CommandCount
  };
  enum LogLevel { FatalLevel = 0, ErrorLevel = 1, WarningLevel = 2, InformationLevel = 3 };
  // The states and controls of the host's service-status record; the
  // numbers are fixed (the built-in manager's status file holds the state's).
  enum ServiceState {
    StoppedState = 1,
    StartPendingState = 2,
    StopPendingState = 3,
    RunningState = 4,
    PausedState = 7
  };
  // The host offers reload (SIGHUP) too; the framework answers it as any
  // control it does not take, with the current status.
  enum Control { StopControl = 1, PauseControl = 2, ContinueControl = 3, ReloadControl = 128 };

  // The host's service-status record.
  struct ServiceStatus {
    uint32_t serviceType = 0x10;
    uint32_t currentState = StoppedState;
    uint32_t controlsAccepted = 0;
    uint32_t exitCode = 0;
    uint32_t serviceSpecificExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
  };

  ZServiceProcess(const char* maker, const char* product, uint16_t versionMajor, uint16_t versionMinor,
                  int32_t releaseStatus, uint16_t build);
  ~ZServiceProcess() override;

  static const char* const commandWords[CommandCount];
  static const char* const levelNames[4];

  int InternalMain(int argc, char** argv, char** envp) override;
  virtual bool OnStart() = 0;
  virtual void OnStop() {}
  // Suspends the service thread (at its next waiting point).
  virtual bool OnPause();
  virtual void OnContinue();

  // Answers 0 for "debug" (run in the foreground), 1 for a failure or a
  // command that prints something, 2 for a service command done.
  int ProcessCommand(const char* word);

  void SystemLog(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void SystemLogV(int level, const char* format, va_list formatArguments);

  bool IsDebugMode() const { return debugMode; }
  int32_t GetLogLevel() const { return currentLogLevel.load(); }
  void SetLogLevel(int32_t level) { currentLogLevel.store(level); }
  ServiceStatus GetServiceStatus() const;

  // A formatted log message has room for this many bytes, terminator included;
  // longer messages are cut at a character boundary and end in "...".
  static constexpr size_t kLogBufferSize = 1000;

 protected:
  // Service entry, service thread and control handler (see process_service.cpp).
  void ServiceEntry();
  void ServiceThreadBody();
  void ControlHandler(uint32_t code);
  bool ReportStatus(ServiceState state, uint32_t exitCode, uint32_t checkPoint, uint32_t waitHint);
  void RunInForeground();

  bool debugMode = false;
  std::atomic<int32_t> currentLogLevel{ErrorLevel};
  ServiceStatus serviceStatus;
  mutable std::mutex statusMutex;  // guards serviceStatus and the report
  zhost::StatusReporter* statusHandle = nullptr;

  // Set when the service is to end; wakes the dispatcher.
  struct TerminationEvent {
    std::mutex mutex;
    std::condition_variable changed;
    bool set = false;
    zhost::ControlChannel* dispatcher = nullptr;
    void Set();
    bool IsSet();
  };
  std::unique_ptr<TerminationEvent> terminationEvent;

 private:
  void RunDispatcher();
  static void RunServiceEntry(void* process);
  static void RunServiceThread(void* process);
  bool WaitForServiceThread(int64_t milliseconds);

  std::mutex serviceThreadMutex;
  std::condition_variable serviceThreadChanged;
  bool serviceThreadRunning = false;
  bool entryRunning = false;
  ZString serviceName;  // the start arguments handed to arguments
  char* serviceArgv[2] = {nullptr, nullptr};
};

// The assertion handler of a program with a process object (installed by the
// ZProcess constructor): as a service it logs and exits with 100; otherwise
// it asks "<A>bort, <B>reak, <I>gnore? " on the console.
void ZProcessAssertHandler(const char* source, unsigned line, const char* message);

// The program entry's one call: runs InternalMain of the current process.
//   static Proxy proxy;
//   int main(int argc, char** argv, char** envp) { return ZProcessMain(argc, argv, envp); }
int ZProcessMain(int argc, char** argv, char** envp);
