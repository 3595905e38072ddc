// Service control on this host: control signals taken synchronously through
// signalfd, status reports, and the two service manager backends (systemd
// through systemctl and the notify socket; a built-in one for hosts without
// systemd, keeping a record, a pid file and a status file per service).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host_file.h"
#include "host_service.h"
#include "host_thread.h"

extern char** environ;

namespace zhost {

namespace {

sigset_t ControlSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGUSR1);
  sigaddset(&signals, SIGUSR2);
  sigaddset(&signals, SIGHUP);
  return signals;
}

// The control a signal stands for; false for any other signal.
bool ControlOfSignal(int signal, ZServiceProcess::Control& control) {
  switch (signal) {
    case SIGTERM:
    case SIGINT: control = ZServiceProcess::StopControl; return true;
    case SIGUSR1: control = ZServiceProcess::PauseControl; return true;
    case SIGUSR2: control = ZServiceProcess::ContinueControl; return true;
    case SIGHUP: control = ZServiceProcess::ReloadControl; return true;
    default: return false;
  }
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Unit and record files are named by the product name in lower case, as
// administrators expect ("moatkeep.service").
std::string FileNameOf(const char* name) {
  std::string file = name;
  for (char& c : file) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return file;
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Unit files, service records, pid and status files are no secrets: the
// manager's tools and the administrator read them.
constexpr unsigned kRecordMode = 0644;

// Replaces a record in one step, so a reader never sees half of one.
bool WriteRecord(const std::string& path, const std::string& text, int& error) {
  return ReplaceFileAtomically(path, text, kRecordMode, error);
}

bool ReadWholeFile(const std::string& path, std::string& text, int& error) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    error = errno;
    return false;
  }
  char buffer[4096];
  text.clear();
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, got);
  std::fclose(file);
  error = 0;
  return true;
}

// ---------------------------------------------------------------- systemd

// Sends one notify-protocol datagram to NOTIFY_SOCKET.
class NotifyReporter : public StatusReporter {
 public:
  explicit NotifyReporter(std::string socketPath) : path(std::move(socketPath)) {}

  bool Report(ZServiceProcess::ServiceState state, uint32_t exitCode, int& error) override {
    std::string message;
    switch (state) {
      case ZServiceProcess::StartPendingState: message = "STATUS=Starting"; break;
      case ZServiceProcess::RunningState: message = "READY=1\nSTATUS=Running"; break;
      case ZServiceProcess::PausedState: message = "STATUS=Paused"; break;
      case ZServiceProcess::StopPendingState: message = "STOPPING=1\nSTATUS=Stopping"; break;
      case ZServiceProcess::StoppedState: message = "STATUS=Stopped"; break;
      default: message = "STATUS=State " + std::to_string(static_cast<int>(state)); break;
    }
    if (state == ZServiceProcess::StoppedState && exitCode != 0) message += "\nERRNO=" + std::to_string(exitCode);
    return Send(message, error);
  }

 private:
  bool Send(const std::string& message, int& error) {
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
      error = EINVAL;
      return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    if (path[0] == '@') address.sun_path[0] = '\0';  // abstract name space
    const socklen_t length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + path.size());
    const int descriptor = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
      error = errno;
      return false;
    }
    const ssize_t sent = sendto(descriptor, message.data(), message.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const struct sockaddr*>(&address), length);
    error = sent < 0 ? errno : 0;
    close(descriptor);
    return sent == static_cast<ssize_t>(message.size());
  }

  std::string path;
};

// Runs systemctl with the arguments; true when it exits with 0. Otherwise
// error is its exit status, or errno when it cannot be run.
bool RunSystemctl(const std::vector<std::string>& arguments, int& error) {
  std::vector<char*> argv;
  std::string program = "systemctl";
  argv.push_back(program.data());
  std::vector<std::string> copies = arguments;
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_t child = 0;
  const int spawned = posix_spawnp(&child, program.c_str(), nullptr, nullptr, argv.data(), environ);
  if (spawned != 0) {
    error = spawned;
    return false;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      error = errno;
      return false;
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    error = 0;
    return true;
  }
  error = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return false;
}

class SystemdManager : public ServiceManager {
 public:
  explicit SystemdManager(std::string unitDirectory) : directory(std::move(unitDirectory)) {}

  bool IsInstalled(const char* name) override { return FileExists(UnitPath(name).c_str()); }

  bool Install(const char* name, const char* executable, int& error) override {
    // Every connection is a thread and two descriptors: no task limit, many files.
    std::string unit;
    unit += "[Unit]\nDescription=";
    unit += name;
    unit += "\nAfter=network.target\n\n[Service]\nType=notify\nExecStart=";
    unit += executable;
    unit += "\nTasksMax=infinity\nLimitNOFILE=65536\n\n[Install]\nWantedBy=multi-user.target\n";
    if (!WriteRecord(UnitPath(name), unit, error)) return false;
    return RunSystemctl({"daemon-reload"}, error);
  }

  bool Remove(const char* name, int& error) override {
    if (!RemoveFile(UnitPath(name).c_str(), error)) return false;
    return RunSystemctl({"daemon-reload"}, error);
  }

  bool Start(const char* name, int& error) override { return RunSystemctl({"start", UnitName(name)}, error); }

  bool Control(const char* name, ZServiceProcess::Control control, int& error) override {
    switch (control) {
      case ZServiceProcess::StopControl: return RunSystemctl({"stop", UnitName(name)}, error);
      case ZServiceProcess::PauseControl:
        return RunSystemctl({"kill", "--kill-whom=main", "-s", "SIGUSR1", UnitName(name)}, error);
      case ZServiceProcess::ContinueControl:
        return RunSystemctl({"kill", "--kill-whom=main", "-s", "SIGUSR2", UnitName(name)}, error);
      default: error = EINVAL; return false;
    }
  }

 private:
  static std::string UnitName(const char* name) { return FileNameOf(name) + ".service"; }
  std::string UnitPath(const char* name) const { return directory + "/" + UnitName(name); }

  std::string directory;
};

// ---------------------------------------------------------------- built-in

std::string BuiltinDirectory() {
  const std::string directory = Environment("ZUNDER_SERVICE_DIR");
  return directory.empty() ? "/var/lib/zunder/services" : directory;
}

// The built-in manager's status file: the state number and a line end.
class StatusFileReporter : public StatusReporter {
 public:
  explicit StatusFileReporter(std::string statusPath) : path(std::move(statusPath)) {}
  bool Report(ZServiceProcess::ServiceState state, uint32_t, int& error) override {
    return WriteRecord(path, std::to_string(static_cast<int>(state)) + "\n", error);
  }

 private:
  std::string path;
};

// A live process, not a zombie waiting for its parent.
bool IsAlive(pid_t pid) {
  if (pid <= 0 || kill(pid, 0) != 0) return false;
  std::string stat;
  int ignored = 0;
  if (!ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", stat, ignored)) return true;
  const size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

class BuiltinManager : public ServiceManager {
 public:
  explicit BuiltinManager(std::string serviceDirectory) : directory(std::move(serviceDirectory)) {}

  bool IsInstalled(const char* name) override { return FileExists(RecordPath(name).c_str()); }

  bool Install(const char* name, const char* executable, int& error) override {
    return WriteRecord(RecordPath(name), std::string(executable) + "\n", error);
  }

  bool Remove(const char* name, int& error) override {
    if (!RemoveFile(RecordPath(name).c_str(), error)) return false;
    int ignored = 0;
    RemoveFile(PidPath(name).c_str(), ignored);
    RemoveFile(StatusPath(name).c_str(), ignored);
    return true;
  }

  bool Start(const char* name, int& error) override {
    if (IsAlive(RecordedPid(name))) {
      error = EALREADY;
      return false;
    }
    std::string executable;
    if (!ReadWholeFile(RecordPath(name), executable, error)) return false;
    while (!executable.empty() && (executable.back() == '\n' || executable.back() == '\r')) executable.pop_back();

    // The environment of the command, told who started it and where to report.
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
      if (std::strncmp(*variable, "ZUNDER_SERVICE_MANAGER=", 23) == 0) continue;
      if (std::strncmp(*variable, "ZUNDER_SERVICE_STATUS=", 22) == 0) continue;
      if (std::strncmp(*variable, "NOTIFY_SOCKET=", 14) == 0) continue;
      if (std::strncmp(*variable, "INVOCATION_ID=", 14) == 0) continue;
      variables.push_back(*variable);
    }
    variables.push_back("ZUNDER_SERVICE_MANAGER=builtin");
    variables.push_back("ZUNDER_SERVICE_STATUS=" + StatusPath(name));
    std::vector<char*> envp;
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::vector<char*> argv = {executable.data(), nullptr};

    // Detached: a session of its own, standard streams on /dev/null. When the
    // command exits the service is left to init.
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults = ControlSignals();
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, executable.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
      error = spawned;
      return false;
    }
    return WriteRecord(PidPath(name), std::to_string(child) + "\n", error);
  }

  bool Control(const char* name, ZServiceProcess::Control control, int& error) override {
    int signal = 0;
    switch (control) {
      case ZServiceProcess::StopControl: signal = SIGTERM; break;
      case ZServiceProcess::PauseControl: signal = SIGUSR1; break;
      case ZServiceProcess::ContinueControl: signal = SIGUSR2; break;
      default: error = EINVAL; return false;
    }
    const pid_t pid = RecordedPid(name);
    if (!IsAlive(pid)) {
      error = ESRCH;
      return false;
    }
    if (kill(pid, signal) != 0) {
      error = errno;
      return false;
    }
    error = 0;
    return true;
  }

 private:
  std::string RecordPath(const char* name) const { return directory + "/" + FileNameOf(name) + ".service"; }
  std::string PidPath(const char* name) const { return directory + "/" + FileNameOf(name) + ".pid"; }
  std::string StatusPath(const char* name) const { return directory + "/" + FileNameOf(name) + ".status"; }

  pid_t RecordedPid(const char* name) const {
    std::string text;
    int ignored = 0;
    if (!ReadWholeFile(PidPath(name), text, ignored)) return 0;
    return static_cast<pid_t>(std::strtol(text.c_str(), nullptr, 10));
  }

  std::string directory;
};

}  // namespace

// ---------------------------------------------------------------- controls

void BlockControlSignals() {
  sigset_t signals = ControlSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

ControlChannel::ControlChannel() {
  sigset_t signals = ControlSignals();
  signalDescriptor = signalfd(-1, &signals, SFD_CLOEXEC);
  wakeDescriptor = eventfd(0, EFD_CLOEXEC);
}

ControlChannel::~ControlChannel() {
  if (signalDescriptor >= 0) close(signalDescriptor);
  if (wakeDescriptor >= 0) close(wakeDescriptor);
}

ControlChannel::Outcome ControlChannel::Wait(ZServiceProcess::Control& control) {
  if (!IsOpen()) return Failed;
  for (;;) {
    // Both descriptors are watched; the wake wins so that the end is prompt.
    struct pollfd watched[2] = {{wakeDescriptor, POLLIN, 0}, {signalDescriptor, POLLIN, 0}};
    if (poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return Failed;
    }
    if (watched[0].revents != 0) {
      uint64_t count = 0;
      if (read(wakeDescriptor, &count, sizeof(count)) < 0 && errno != EAGAIN) return Failed;
      return Woken;
    }
    if (watched[1].revents != 0) {
      struct signalfd_siginfo info {};
      const ssize_t got = read(signalDescriptor, &info, sizeof(info));
      if (got < 0 && errno == EINTR) continue;
      if (got != sizeof(info)) return Failed;
      if (ControlOfSignal(static_cast<int>(info.ssi_signo), control)) return Controlled;
    }
  }
}

void ControlChannel::Wake() {
  const uint64_t one = 1;
  if (wakeDescriptor >= 0) {
    ssize_t written = write(wakeDescriptor, &one, sizeof(one));
    (void)written;  // a full counter still wakes the reader
  }
}

namespace {

struct InterruptWatch {
  void (*callback)(void* argument);
  void* argument;
};

void WatchInterruptBody(void* argument) {
  const InterruptWatch watch = *static_cast<InterruptWatch*>(argument);
  delete static_cast<InterruptWatch*>(argument);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  int signal = 0;
  while (sigwait(&signals, &signal) != 0) {
  }
  watch.callback(watch.argument);
}

}  // namespace

bool WatchInterrupt(void (*callback)(void* argument), void* argument) {
  // The waiting thread runs the callback itself, outside any signal handler.
  auto* watch = new InterruptWatch{callback, argument};
  if (StartThread(&WatchInterruptBody, watch, 0)) return true;
  delete watch;
  return false;
}

// ---------------------------------------------------------------- manager

bool StartedByServiceManager() {
  return !Environment("NOTIFY_SOCKET").empty() || !Environment("INVOCATION_ID").empty() ||
         !Environment("ZUNDER_SERVICE_MANAGER").empty();
}

std::unique_ptr<StatusReporter> OpenStatusReporter(const char* serviceName) {
  const std::string notifySocket = Environment("NOTIFY_SOCKET");
  if (!notifySocket.empty()) return std::make_unique<NotifyReporter>(notifySocket);
  if (Environment("ZUNDER_SERVICE_MANAGER") == "builtin") {
    std::string status = Environment("ZUNDER_SERVICE_STATUS");
    if (status.empty()) status = BuiltinDirectory() + "/" + FileNameOf(serviceName) + ".status";
    return std::make_unique<StatusFileReporter>(status);
  }
  // Started by systemd without a notify socket (Type=simple): nothing to tell.
  class SilentReporter : public StatusReporter {
    bool Report(ZServiceProcess::ServiceState, uint32_t, int& error) override {
      error = 0;
      return true;
    }
  };
  if (!Environment("INVOCATION_ID").empty()) return std::make_unique<SilentReporter>();
  return nullptr;
}

std::unique_ptr<ServiceManager> OpenServiceManager(int& error) {
  const std::string chosen = Environment("ZUNDER_SERVICE_MANAGER");
  const bool systemd = chosen == "systemd" || (chosen != "builtin" && IsDirectory("/run/systemd/system"));
  if (systemd) {
    std::string directory = Environment("ZUNDER_UNIT_DIR");
    if (directory.empty()) directory = "/etc/systemd/system";
    if (!IsDirectory(directory)) {
      error = ENOENT;
      return nullptr;
    }
    error = 0;
    return std::make_unique<SystemdManager>(directory);
  }
  const std::string directory = BuiltinDirectory();
  if (!MakeDirectories(directory, error)) return nullptr;
  if (access(directory.c_str(), R_OK | W_OK | X_OK) != 0) {
    error = errno;
    return nullptr;
  }
  return std::make_unique<BuiltinManager>(directory);
}

}  // namespace zhost
