// The argument list, and the process and service framework driven through the
// service_probe program in each of its modes.
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch_directory.h"
#include "support/waiting.h"
#include "zunder/process.h"

extern char** environ;

namespace {

// ---------------------------------------------------------------- ZArgList

// Records the error calls instead of printing them.
class RecordingArgList : public ZArgList {
 public:
  mutable std::vector<std::string> errors;
  void IllegalArgumentIndex(int32_t index) const override { errors.push_back("index " + std::to_string(index)); }
  void UnknownOption(char letter) const override { errors.push_back(std::string("unknown ") + letter); }
  void MissingArgument(char letter) const override { errors.push_back(std::string("missing ") + letter); }
};

// Holds a writable argv built from texts.
struct Argv {
  explicit Argv(std::vector<std::string> texts) : storage(std::move(texts)) {
    for (std::string& text : storage) pointers.push_back(text.data());
    pointers.push_back(nullptr);
  }
  int32_t Count() const { return static_cast<int32_t>(storage.size()); }
  char** Values() { return pointers.data(); }
  std::vector<std::string> storage;
  std::vector<char*> pointers;
};

std::vector<std::string> ParametersOf(const ZArgList& list) {
  std::vector<std::string> parameters;
  for (int32_t i = 0; i < list.GetCount() && i < 100; ++i) parameters.push_back(list.GetParameter(i).Text());
  return parameters;
}

struct ParseCase {
  const char* name;
  std::vector<std::string> arguments;
  int32_t shiftFirst;
  const char* spec;
  std::map<char, std::pair<int32_t, std::string>> options;  // letter -> count, string
  std::vector<std::string> parameters;
  std::vector<std::string> errors;
};

TEST(ZArgListTest, ParsesOptionsTable) {
  const std::vector<ParseCase> cases = {
      {"flags", {"-a", "-b", "x"}, 0, "ab", {{'a', {1, ""}}, {'b', {1, ""}}}, {"x"}, {}},
      {"grouped and repeated", {"-aba", "y"}, 0, "ab", {{'a', {2, ""}}, {'b', {1, ""}}}, {"y"}, {}},
      {"argument attached", {"-ofile", "p"}, 0, "o:", {{'o', {1, "file"}}}, {"p"}, {}},
      {"argument following", {"-o", "file", "p"}, 0, "o:", {{'o', {1, "file"}}}, {"p"}, {}},
      {"argument ends the group",
       {"-aob", "p"},
       0,
       "abo:",
       {{'a', {1, ""}}, {'o', {1, "b"}}, {'b', {0, ""}}},
       {"p"},
       {}},
      {"missing argument", {"-o"}, 0, "o:", {{'o', {0, ""}}}, {}, {"missing o"}},
      {"unknown letter skipped", {"-zx", "p"}, 0, "x", {{'x', {1, ""}}, {'z', {0, ""}}}, {"p"}, {"unknown z"}},
      {"lone dash ends options", {"-a", "-", "-b"}, 0, "ab", {{'a', {1, ""}}, {'b', {0, ""}}}, {"-b"}, {}},
      {"parameters stop options", {"p", "-a"}, 0, "a", {{'a', {0, ""}}}, {"p", "-a"}, {}},
      {"shifted arguments dropped", {"prog", "-a", "q"}, 1, "a", {{'a', {1, ""}}}, {"q"}, {}},
      {"colon is no letter", {"-:"}, 0, "o:", {{':', {0, ""}}}, {}, {"unknown :"}},
  };
  for (const ParseCase& test : cases) {
    SCOPED_TRACE(test.name);
    Argv argv(test.arguments);
    RecordingArgList list;
    list.SetArgs(argv.Count(), argv.Values());
    list.Shift(test.shiftFirst);
    list.Parse(test.spec);
    for (const auto& [letter, expected] : test.options) {
      EXPECT_EQ(list.GetOptionCount(letter), expected.first) << letter;
      EXPECT_EQ(std::string(list.GetOptionString(letter).Text()), expected.second) << letter;
    }
    EXPECT_EQ(ParametersOf(list), test.parameters);
    EXPECT_EQ(list.errors, test.errors);
  }
}

TEST(ZArgListTest, OptionStringDefaultsAndCountByString) {
  Argv argv({"-v", "-n", "5"});
  RecordingArgList list;
  list.SetArgs(argv.Count(), argv.Values());
  list.Parse("vn:f:");
  EXPECT_EQ(list.GetOptionCount("v"), 1);
  EXPECT_EQ(list.GetOptionCount("vn"), 1);  // only the first letter counts
  EXPECT_EQ(list.GetOptionCount(""), 0);
  EXPECT_EQ(std::string(list.GetOptionString('n', "7").Text()), "5");
  EXPECT_EQ(std::string(list.GetOptionString('f', "fallback").Text()), "fallback");  // not given
  EXPECT_EQ(std::string(list.GetOptionString('q', "other").Text()), "other");        // not an option letter
  EXPECT_EQ(std::string(list.GetOptionString('f').Text()), "");
  EXPECT_EQ(list.GetCount(), 0);
}

TEST(ZArgListTest, ShiftIsClampedAndIndexesAreChecked) {
  Argv argv({"a", "b", "c"});
  RecordingArgList list;
  list.SetArgs(argv.Count(), argv.Values());
  list.Shift(1);
  EXPECT_EQ(std::string(list.GetParameter(0).Text()), "b");
  list.Shift(10);  // clamped to count - 1
  EXPECT_EQ(std::string(list.GetParameter(0).Text()), "c");
  list.Shift(-10);  // clamped to 0
  EXPECT_EQ(std::string(list.GetParameter(0).Text()), "a");
  list.Shift(2);
  EXPECT_TRUE(list.GetParameter(1).IsEmpty());  // index 1 plus shift 2 is past the end
  ASSERT_EQ(list.errors.size(), 1u);
  EXPECT_EQ(list.errors[0], "index 3");
  list.SetArgs(argv.Count(), argv.Values());  // SetArgs resets the shift
  EXPECT_EQ(std::string(list.GetParameter(0).Text()), "a");
}

TEST(ZArgListTest, DefaultErrorTextsGoToStandardError) {
  Argv argv({"-x", "-o"});
  ZArgList list;
  list.SetArgs(argv.Count(), argv.Values());
  testing::internal::CaptureStderr();
  list.Parse("o:");
  list.GetParameter(4);
  const std::string text = testing::internal::GetCapturedStderr();
  EXPECT_EQ(text,
            "unknown option \"x\"\n"
            "option \"o\" requires argument\n"
            "attempt to access undefined argument at index 4\n");
}

// ---------------------------------------------------------------- the probe

const char* const kProbe = SERVICE_PROBE_PATH;
const char* const kUsage = "usage: Probe [ debug | version | install | remove | start | stop | pause | resume ]\n";

int CountLines(const std::string& path, const std::string& line) {
  std::istringstream in(ReadFileText(path));
  int count = 0;
  for (std::string each; std::getline(in, each);) count += each == line ? 1 : 0;
  return count;
}

// One run of the probe with its own environment: the test's environment
// without the manager and probe settings, plus the given variables.
class ProbeRun {
 public:
  ProbeRun(std::vector<std::string> arguments, std::map<std::string, std::string> variables,
           const std::string& input = "", const char* program = kProbe) {
    std::vector<std::string> environment;
    for (char** each = environ; *each != nullptr; ++each) {
      const std::string entry = *each;
      const std::string name = entry.substr(0, entry.find('='));
      if (name == "NOTIFY_SOCKET" || name == "INVOCATION_ID" || name.rfind("ZUNDER_", 0) == 0 ||
          name.rfind("PROBE_", 0) == 0 || variables.count(name) != 0) {
        continue;
      }
      environment.push_back(entry);
    }
    for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
    arguments.insert(arguments.begin(), program);
    Argv argv(arguments);
    Argv envp(environment);

    int errorPipe[2];
    int inputPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0 || pipe2(inputPipe, O_CLOEXEC) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(inputPipe[0], 0);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(errorPipe[1], 2);
      execve(program, argv.Values(), envp.Values());
      _exit(127);
    }
    close(errorPipe[1]);
    close(inputPipe[0]);
    errorOutput = errorPipe[0];
    if (!input.empty()) {
      const ssize_t written = write(inputPipe[1], input.data(), input.size());
      (void)written;
    }
    close(inputPipe[1]);  // the end of input follows what was given
  }

  ~ProbeRun() {
    if (pid > 0 && !finished) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (errorOutput >= 0) close(errorOutput);
  }

  // Collects standard error until the probe ends (killed after the time-out)
  // and answers its exit code (-1 when killed or not started).
  int Finish(int milliseconds = 10000) {
    if (pid <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    bool open = true;
    while (open && std::chrono::steady_clock::now() < deadline) {
      struct pollfd watched = {errorOutput, POLLIN, 0};
      if (poll(&watched, 1, 50) <= 0) continue;
      char buffer[4096];
      const ssize_t got = read(errorOutput, buffer, sizeof(buffer));
      if (got <= 0)
        open = false;
      else
        errors.append(buffer, static_cast<size_t>(got));
    }
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    finished = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  pid_t pid = -1;
  std::string errors;

 private:
  int errorOutput = -1;
  bool finished = false;
};

struct Outcome {
  int exitCode;
  std::string errors;
};

Outcome RunProbe(std::vector<std::string> arguments, std::map<std::string, std::string> variables = {},
                 const std::string& input = "") {
  ProbeRun run(std::move(arguments), std::move(variables), input);
  const int code = run.Finish();
  return {code, run.errors};
}

// "yy/MM/dd hh:mm:ss rest" -> "rest"; "" when the line has no such stamp.
std::string WithoutStamp(const std::string& line) {
  const std::string shape = "00/00/00 00:00:00 ";
  if (line.size() < shape.size()) return "";
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == '0' ? !digit : line[i] != shape[i]) return "";
  }
  return line.substr(shape.size());
}

// Every "Line <number>" becomes "Line N", so reports compare exactly.
std::string WithoutLineNumbers(std::string text) {
  for (size_t at = text.find("Line "); at != std::string::npos; at = text.find("Line ", at + 1)) {
    size_t end = at + 5;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (end > at + 5) {
      text.erase(at + 5, end - at - 5);
      text.insert(at + 5, 1, 'N');
    }
  }
  return text;
}

std::string RealPath(const char* path) {
  char resolved[PATH_MAX];
  return realpath(path, resolved) != nullptr ? resolved : "";
}

std::string KernelName() {
  struct utsname name {};
  uname(&name);
  return name.sysname;
}

// ---------------------------------------------------------------- commands

struct CommandCase {
  std::vector<std::string> arguments;
  int exitCode;
  std::string errors;
};

TEST(ServiceProcessTest, CommandWordsTable) {
  ScratchDirectory services;
  const std::string version = "Probe Unix/" + KernelName() + " Version 1.0pl3\n";
  const std::vector<CommandCase> cases = {
      {{"bogus"}, 1, "Unknown command \"bogus\".\n" + std::string(kUsage)},
      {{"debugx", "debug"}, 1, "Unknown command \"debugx\".\n" + std::string(kUsage)},
      {{""}, 1, kUsage},  // an empty word prints the usage line alone
      {{"version"}, 1, version},
      {{"VeRsIoN", "ignored"}, 1, version},
      {{"remove"}, 1, "Service is not installed.\n"},
      {{"start"}, 1, "Service is not installed.\n"},
      {{"stop"}, 1, "Service is not installed.\n"},
      {{"Pause"}, 1, "Service is not installed.\n"},
      {{"resume"}, 1, "Service is not installed.\n"},
  };
  for (const CommandCase& test : cases) {
    SCOPED_TRACE(test.arguments[0]);
    const Outcome outcome = RunProbe(test.arguments, {{"ZUNDER_SERVICE_DIR", services.Path()}});
    EXPECT_EQ(outcome.exitCode, test.exitCode);
    EXPECT_EQ(outcome.errors, test.errors);
  }
}

TEST(ServiceProcessTest, WithoutWordOutsideAManagerPrintsUsage) {
  const Outcome outcome = RunProbe({});
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(outcome.errors, "Could not start service.\n" + std::string(kUsage));
}

TEST(ServiceProcessTest, UnusableServiceDirectoryCannotOpenManager) {
  ScratchDirectory scratch;
  std::ofstream(scratch.Path("file")) << "not a directory";
  const Outcome outcome = RunProbe({"install"}, {{"ZUNDER_SERVICE_DIR", scratch.Path("file/services")}});
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(outcome.errors, "Could not open Service Manager.\n");
}

TEST(ServiceProcessTest, EmptyProductNameIsTheExecutableTitle) {
  const Outcome outcome = RunProbe({"nothing"}, {{"PROBE_EMPTY_NAME", "1"}});
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(outcome.errors,
            "Unknown command \"nothing\".\nusage: service_probe [ debug | version | install | "
            "remove | start | stop | pause | resume ]\n");
}

TEST(ServiceProcessTest, InstallAndRemoveWithTheBuiltInManager) {
  ScratchDirectory services;
  const std::map<std::string, std::string> variables = {{"ZUNDER_SERVICE_DIR", services.Path()}};
  Outcome outcome = RunProbe({"INSTALL"}, variables);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.errors, "Service command \"INSTALL\" successful.\n");
  EXPECT_EQ(ReadFileText(services.Path("probe.service")), RealPath(kProbe) + "\n");

  outcome = RunProbe({"install"}, variables);
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(outcome.errors, "Service is already installed.\n");

  outcome = RunProbe({"remove"}, variables);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.errors, "Service command \"remove\" successful.\n");
  EXPECT_NE(access((services.Path("probe.service")).c_str(), F_OK), 0);

  outcome = RunProbe({"remove"}, variables);
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(outcome.errors, "Service is not installed.\n");
}

TEST(ServiceProcessTest, ControlOfAServiceThatIsNotRunningFails) {
  ScratchDirectory services;
  const std::map<std::string, std::string> variables = {{"ZUNDER_SERVICE_DIR", services.Path()}};
  ASSERT_EQ(RunProbe({"install"}, variables).exitCode, 0);
  for (const char* word : {"stop", "pause", "resume"}) {
    const Outcome outcome = RunProbe({word}, variables);
    EXPECT_EQ(outcome.exitCode, 1) << word;
    EXPECT_EQ(outcome.errors,
              "Service command \"" + std::string(word) + "\" failed - error code = " + std::to_string(ESRCH) + "\n");
  }
}

// ---------------------------------------------------------------- systemd backend

TEST(ServiceProcessTest, SystemdBackendDrivesSystemctl) {
  ScratchDirectory scratch;
  mkdir((scratch.Path("units")).c_str(), 0755);
  mkdir((scratch.Path("bin")).c_str(), 0755);
  // A stand-in systemctl that records its arguments and exits with FAKE_STATUS.
  const std::string fake = scratch.Path("bin/systemctl");
  std::ofstream(fake) << "#!/bin/sh\necho \"$*\" >> '" << (scratch.Path("calls")) << "'\nexit ${FAKE_STATUS:-0}\n";
  chmod(fake.c_str(), 0755);
  std::map<std::string, std::string> variables = {{"ZUNDER_SERVICE_MANAGER", "systemd"},
                                                  {"ZUNDER_UNIT_DIR", scratch.Path("units")},
                                                  {"PATH", scratch.Path("bin:/usr/bin:/bin")}};

  Outcome outcome = RunProbe({"install"}, variables);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.errors, "Service command \"install\" successful.\n");
  const std::string unit = ReadFileText(scratch.Path("units/probe.service"));
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(unit.find("ExecStart=" + RealPath(kProbe) + "\n"), std::string::npos);
  EXPECT_NE(unit.find("TasksMax=infinity\n"), std::string::npos);
  EXPECT_NE(unit.find("LimitNOFILE="), std::string::npos);

  const std::vector<std::pair<std::string, std::string>> commands = {
      {"start", "start probe.service"},
      {"pause", "kill --kill-whom=main -s SIGUSR1 probe.service"},
      {"resume", "kill --kill-whom=main -s SIGUSR2 probe.service"},
      {"stop", "stop probe.service"},
      {"remove", "daemon-reload"},
  };
  for (const auto& [word, call] : commands) {
    SCOPED_TRACE(word);
    unlink((scratch.Path("calls")).c_str());
    outcome = RunProbe({word}, variables);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.errors, "Service command \"" + word + "\" successful.\n");
    EXPECT_EQ(ReadFileText(scratch.Path("calls")), call + "\n");
  }
  EXPECT_NE(access((scratch.Path("units/probe.service")).c_str(), F_OK), 0);

  // systemctl's exit status is the error code.
  ASSERT_EQ(RunProbe({"install"}, variables).exitCode, 0);
  variables["FAKE_STATUS"] = "5";
  outcome = RunProbe({"start"}, variables);
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(outcome.errors, "Service command \"start\" failed - error code = 5\n");
}

// A datagram socket standing in for systemd's notify socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& socketPath) : path(socketPath) {
    descriptor = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    bound = bind(descriptor, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~NotifySocket() { close(descriptor); }
  // The next message, or "" after the time-out.
  std::string Next(int milliseconds = 5000) {
    struct pollfd watched = {descriptor, POLLIN, 0};
    if (poll(&watched, 1, milliseconds) <= 0) return "";
    char buffer[1024];
    const ssize_t got = recv(descriptor, buffer, sizeof(buffer), 0);
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
  }
  std::string path;
  int descriptor;
  bool bound = false;
};

TEST(ServiceProcessTest, SystemdServiceReportsThroughTheNotifySocket) {
  ScratchDirectory scratch;
  NotifySocket notify(scratch.Path("notify"));
  ASSERT_TRUE(notify.bound);
  ProbeRun run({}, {{"NOTIFY_SOCKET", notify.path}, {"PROBE_LOG", scratch.Path("log")}});
  EXPECT_EQ(notify.Next(), "STATUS=Starting");
  EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=Running");
  ASSERT_TRUE(WaitUntil([&] { return CountLines(scratch.Path("log"), "Main") == 1; }));
  kill(run.pid, SIGUSR1);
  EXPECT_EQ(notify.Next(), "STATUS=Paused");
  kill(run.pid, SIGUSR2);
  EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=Running");
  kill(run.pid, SIGTERM);
  EXPECT_EQ(notify.Next(), "STOPPING=1\nSTATUS=Stopping");
  // Main leaves after OnStop and reports stop pending itself, then stopped.
  std::string last;
  for (int i = 0; i < 3 && last != "STATUS=Stopped"; ++i) last = notify.Next();
  EXPECT_EQ(last, "STATUS=Stopped");
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(ReadFileText(scratch.Path("log")), "OnStart\nMain\nOnPause\nOnContinue\nOnStop\nMain ended\n");
}

TEST(ServiceProcessTest, UnreachableNotifySocketEndsTheServiceEntry) {
  ScratchDirectory scratch;
  ProbeRun run({}, {{"NOTIFY_SOCKET", scratch.Path("nobody-listens")}, {"PROBE_LOG", scratch.Path("log")}});
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(ReadFileText(scratch.Path("log")), "");  // the start-pending report failed: OnStart never ran
}

// ---------------------------------------------------------------- built-in service

// Starts the probe through the built-in manager. This test process becomes
// the subreaper, so the detached service is its child and its exit code can
// be collected.
using Settings = std::map<std::string, std::string>;

class BuiltinService {
 public:
  BuiltinService(const BuiltinService&) = delete;
  BuiltinService& operator=(const BuiltinService&) = delete;
  explicit BuiltinService(std::map<std::string, std::string> settings = {}) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    variables = std::move(settings);
    variables["ZUNDER_SERVICE_DIR"] = directory.Path();
    variables["PROBE_LOG"] = directory.Path("log");
    variables["PROBE_HEARTBEAT"] = directory.Path("beats");
    // The detached service's standard streams lead nowhere: a sanitizer
    // build writes its reports to files here instead, checked at the end.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
      const char* inherited = std::getenv(name);
      std::string value = inherited != nullptr ? inherited : "";
      if (!value.empty()) value += ":";
      variables[name] = value + "log_path=" + directory.Path("sanitizer");
    }
  }
  ~BuiltinService() {
    const pid_t pid = Pid();
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    for (const auto& entry : std::filesystem::directory_iterator(directory.Path())) {
      if (entry.path().filename().string().rfind("sanitizer", 0) == 0) {
        ADD_FAILURE() << "sanitizer report of the service or a command:\n" << ReadFileText(entry.path());
      }
    }
  }
  Outcome Command(const std::string& word) { return RunProbe({word}, variables); }
  pid_t Pid() { return static_cast<pid_t>(std::atoi(ReadFileText(directory.Path("probe.pid")).c_str())); }
  std::string State() { return ReadFileText(directory.Path("probe.status")); }
  bool WaitForState(int state, int milliseconds = 5000) {
    return WaitUntil([&] { return State() == std::to_string(state) + "\n"; }, milliseconds);
  }
  std::string Log() { return ReadFileText(directory.Path("log")); }
  int Beats() { return CountLines(directory.Path("beats"), "beat"); }
  // The service's exit code, -1 when it did not end in time.
  int WaitForExit(int milliseconds = 8000) {
    int status = 0;
    const pid_t pid = Pid();
    if (!WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, milliseconds)) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  ScratchDirectory directory;
  std::map<std::string, std::string> variables;
};

TEST(ServiceProcessTest, BuiltInServiceLifecycle) {
  BuiltinService service;
  ASSERT_EQ(service.Command("install").exitCode, 0);
  Outcome outcome = service.Command("start");
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.errors, "Service command \"start\" successful.\n");
  ASSERT_TRUE(service.WaitForState(4));
  ASSERT_TRUE(WaitUntil([&] { return service.Beats() > 0; }));

  outcome = service.Command("start");  // already running
  EXPECT_EQ(outcome.errors, "Service command \"start\" failed - error code = " + std::to_string(EALREADY) + "\n");

  EXPECT_EQ(service.Command("pause").exitCode, 0);
  ASSERT_TRUE(service.WaitForState(7));
  // The default OnPause holds the service thread at its next waiting point.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int beatsWhenPaused = service.Beats();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(service.Beats(), beatsWhenPaused);

  // Pause while paused re-reports paused without calling OnPause.
  EXPECT_EQ(service.Command("pause").exitCode, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(service.State(), "7\n");

  EXPECT_EQ(service.Command("resume").exitCode, 0);
  ASSERT_TRUE(service.WaitForState(4));
  EXPECT_TRUE(WaitUntil([&] { return service.Beats() > beatsWhenPaused; }));
  // Continue while running re-reports running without calling OnContinue.
  EXPECT_EQ(service.Command("resume").exitCode, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(service.State(), "4\n");

  outcome = service.Command("stop");
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.errors, "Service command \"stop\" successful.\n");
  EXPECT_EQ(service.WaitForExit(), 0);
  EXPECT_EQ(service.State(), "1\n");
  EXPECT_EQ(service.Log(), "OnStart\nMain\nOnPause\nOnContinue\nOnStop\nMain ended\n");

  outcome = service.Command("stop");
  EXPECT_EQ(outcome.errors, "Service command \"stop\" failed - error code = " + std::to_string(ESRCH) + "\n");
  EXPECT_EQ(service.Command("remove").exitCode, 0);
}

TEST(ServiceProcessTest, RefusedPauseReportsNothing) {
  BuiltinService service(Settings{{"PROBE_PAUSE", "refuse"}});
  ASSERT_EQ(service.Command("install").exitCode, 0);
  ASSERT_EQ(service.Command("start").exitCode, 0);
  ASSERT_TRUE(service.WaitForState(4));
  EXPECT_EQ(service.Command("pause").exitCode, 0);
  ASSERT_TRUE(WaitUntil([&] { return service.Log().find("OnPause") != std::string::npos; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(service.State(), "4\n");
  const int beats = service.Beats();
  EXPECT_TRUE(WaitUntil([&] { return service.Beats() > beats; }));  // never suspended
  EXPECT_EQ(service.Command("stop").exitCode, 0);
  EXPECT_EQ(service.WaitForExit(), 0);
}

struct EndingCase {
  const char* name;
  std::map<std::string, std::string> settings;
  bool sendStop;
  std::string log;
  int exitCode;
  int finalState;
};

TEST(ServiceProcessTest, WaysAServiceEndsTable) {
  const std::vector<EndingCase> cases = {
      {"OnStart fails", {{"PROBE_START", "fail"}}, false, "OnStart\n", 0, 1},
      {"Main returns", {{"PROBE_MAIN", "return"}}, false, "OnStart\nMain\n", 0, 1},
      // Main ignores OnStop: the entry waits its bound, then ends the process.
      {"Main hangs", {{"PROBE_MAIN", "hang"}}, true, "OnStart\nMain\nOnStop\n", 0, 1},
      // An assertion in a service is logged and ends it with 100 at once.
      {"assertion", {{"PROBE_MAIN", "assert"}}, false, "OnStart\nMain\n", 100, 4},
  };
  for (const EndingCase& test : cases) {
    SCOPED_TRACE(test.name);
    BuiltinService service(test.settings);
    ASSERT_EQ(service.Command("install").exitCode, 0);
    ASSERT_EQ(service.Command("start").exitCode, 0);
    if (test.sendStop) {
      ASSERT_TRUE(WaitUntil([&] { return service.Log().find("Main") != std::string::npos; }));
      EXPECT_EQ(service.Command("stop").exitCode, 0);
    }
    EXPECT_EQ(service.WaitForExit(), test.exitCode);
    EXPECT_EQ(service.State(), std::to_string(test.finalState) + "\n");
    EXPECT_EQ(service.Log(), test.log);
  }
}

TEST(ServiceProcessTest, ServiceThreadCarriesTheProcessIdentity) {
  BuiltinService service(Settings{{"PROBE_MAIN", "identity"}});
  ASSERT_EQ(service.Command("install").exitCode, 0);
  ASSERT_EQ(service.Command("start").exitCode, 0);
  EXPECT_EQ(service.WaitForExit(), 0);
  const std::string log = service.Log();
  EXPECT_NE(log.find("current=1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("thread=1\n"), std::string::npos) << log;     // the process object stands for it
  EXPECT_NE(log.find("arguments=1\n"), std::string::npos) << log;  // the service name
}

// ---------------------------------------------------------------- foreground

TEST(ServiceProcessTest, ForegroundRunBannerAndHooks) {
  ScratchDirectory scratch;
  const Outcome outcome = RunProbe({"debug"}, {{"PROBE_MAIN", "return"}, {"PROBE_LOG", scratch.Path("log")}});
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.errors, "Service simulation started for \"Probe\".\nPress Ctrl-C to terminate.\n\n");
  EXPECT_EQ(ReadFileText(scratch.Path("log")), "OnStart\nMain\nOnStop\n");
}

TEST(ServiceProcessTest, ForegroundOnStartFailureStillStops) {
  ScratchDirectory scratch;
  const Outcome outcome = RunProbe({"Debug"}, {{"PROBE_START", "fail"}, {"PROBE_LOG", scratch.Path("log")}});
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(ReadFileText(scratch.Path("log")), "OnStart\nOnStop\n");
}

TEST(ServiceProcessTest, InterruptInTheForegroundStopsWithOne) {
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    ScratchDirectory scratch;
    ProbeRun run({"debug"}, {{"PROBE_LOG", scratch.Path("log")}});
    ASSERT_TRUE(WaitUntil([&] { return ReadFileText(scratch.Path("log")) == "OnStart\nMain\n"; }));
    kill(run.pid, signal);
    EXPECT_EQ(run.Finish(), 1);
    // OnStop runs exactly once; Main, which OnStop ends, may get to return
    // before the interrupt ends the program.
    const std::string log = ReadFileText(scratch.Path("log"));
    EXPECT_TRUE(log == "OnStart\nMain\nOnStop\n" || log == "OnStart\nMain\nOnStop\nMain ended\n") << log;
  }
}

TEST(ServiceProcessTest, ForegroundLogLines) {
  const Outcome outcome = RunProbe({"debug"}, {{"PROBE_MAIN", "log"}});
  EXPECT_EQ(outcome.exitCode, 0);
  std::istringstream in(outcome.errors);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line) && lines.size() < 100;) lines.push_back(line);
  ASSERT_EQ(lines.size(), 9u) << outcome.errors;  // banner (3 lines) and six entries
  const std::vector<std::string> expected = {
      "Error: failure 7 - error = 13",
      "Information: information",
      "Warning: no error",
      "Warning - error = 5",  // an empty message has no ": "
      // A long message is cut to the 1000-byte buffer and marked.
      "Fatal error: " + std::string(996, 'x') + "...",
      // Level 2 was filtered once the level was set to 1.
      "Error: last",
  };
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(WithoutStamp(lines[3 + i]), expected[i]) << lines[3 + i];
}

TEST(ServiceProcessTest, ProgramIdentity) {
  ScratchDirectory scratch;
  // Started through a link, the executable is still the real file.
  const std::string link = scratch.Path("linked-probe");
  ASSERT_EQ(symlink(kProbe, link.c_str()), 0);
  ProbeRun run({"debug"}, {{"PROBE_MAIN", "identity"}, {"PROBE_LOG", scratch.Path("log")}}, "", link.c_str());
  EXPECT_EQ(run.Finish(), 0);
  const std::string log = ReadFileText(scratch.Path("log"));

  struct utsname name {};
  uname(&name);
  unsigned major = 0;
  unsigned minor = 0;
  std::sscanf(name.release, "%u.%u", &major, &minor);
  struct passwd* user = getpwuid(geteuid());
  ASSERT_NE(user, nullptr);
  const std::vector<std::string> expected = {
      "exe=" + RealPath(kProbe) + "\n",
      "os=Unix/" + std::string(name.sysname) + " v" + std::to_string(major) + "." + std::to_string(minor) + "\n",
      "user=" + std::string(user->pw_name) + "\n",
      "manufacturer=Zunder Tests\n",
      "version=1.0\n",
      "current=1\n",
      "thread=1\n",
      "arguments=0\n",
  };
  for (const std::string& line : expected) EXPECT_NE(log.find(line), std::string::npos) << line << log;
}

// ---------------------------------------------------------------- assertions

struct AssertCase {
  const char* keys;
  int prompts;         // how often the question is asked
  std::string answer;  // what follows the last prompt
  int exitCode;
  bool carriedOn;
};

TEST(ServiceProcessTest, ForegroundAssertionPromptTable) {
  const std::vector<AssertCase> cases = {
      {"i", 1, "Ignored\n", 0, true},     {"I", 1, "Ignored\n", 0, true},
      {"b", 1, "Break\n", 0, true},  // no debugger attached: carries on
      {"a", 1, "Aborted\n", 100, false},  {"A", 1, "Aborted\n", 100, false},
      {"", 1, "Aborted\n", 100, false},    // end of input
      {"x?i", 3, "Ignored\n", 0, true},    // other keys ask again
      {"zz", 3, "Aborted\n", 100, false},  // and the input then ends
  };
  for (const AssertCase& test : cases) {
    SCOPED_TRACE(test.keys);
    ScratchDirectory scratch;
    const Outcome outcome =
        RunProbe({"debug"}, {{"PROBE_MAIN", "assert"}, {"PROBE_LOG", scratch.Path("log")}}, test.keys);
    EXPECT_EQ(outcome.exitCode, test.exitCode);
    std::string expected = "Service simulation started for \"Probe\".\nPress Ctrl-C to terminate.\n\n";
    for (int i = 0; i < test.prompts; ++i) {
      expected += "Assertion fail: File probe, Line N\nprobe check - Error code=0\n<A>bort, <B>reak, <I>gnore? ";
    }
    EXPECT_EQ(WithoutLineNumbers(outcome.errors), expected + test.answer);
    EXPECT_EQ(ReadFileText(scratch.Path("log")).find("after-assert") != std::string::npos, test.carriedOn);
  }
}

}  // namespace
