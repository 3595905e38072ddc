// Remote access on Linux: phonebook entries are programs in a directory,
// run with posix_spawn (fork and exec, no shell) and watched with poll.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host_remote.h"
#include "host_thread.h"

extern char** environ;

namespace zhost {

namespace {

constexpr const char* kDefaultPhonebook = "/etc/zunder/phonebook";
constexpr int64_t kDefaultDialTimeout = int64_t{180} * 1000;
// How much of an entry's output is kept: the last line is all that counts,
// and a modem's last line is short.
constexpr size_t kOutputTail = 4096;
// How often a run is looked at while its output is quiet.
constexpr int kWatchStep = 20;

// Closes a descriptor when it goes out of scope.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

void KeepTail(std::string& output, const char* data, size_t length) {
  output.append(data, length);
  if (output.size() > kOutputTail) output.erase(0, output.size() - kOutputTail);
}

std::string LastLine(const std::string& output) {
  size_t end = output.size();
  for (;;) {
    while (end > 0 && std::strchr(" \t\r\n", output[end - 1]) != nullptr) --end;
    if (end == 0) return std::string();
    size_t begin = output.find_last_of("\r\n", end - 1);
    begin = begin == std::string::npos ? 0 : begin + 1;
    while (begin < end && (output[begin] == ' ' || output[begin] == '\t')) ++begin;
    if (begin < end) return output.substr(begin, end - begin);
  }
}

// Reads what is waiting without blocking; false at the end of the output.
bool Drain(int fd, std::string& output) {
  char buffer[1024];
  for (;;) {
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count > 0) {
      KeepTail(output, buffer, static_cast<size_t>(count));
      continue;
    }
    if (count == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

}  // namespace

std::string DefaultPhonebookDirectory() {
  const char* value = std::getenv("ZUNDER_PHONEBOOK");
  return value != nullptr && value[0] != '\0' ? std::string(value) : std::string(kDefaultPhonebook);
}

int64_t DefaultDialTimeout() {
  const char* value = std::getenv("ZUNDER_DIAL_TIMEOUT");
  if (value == nullptr) return kDefaultDialTimeout;
  char* end = nullptr;
  const long seconds = std::strtol(value, &end, 10);
  if (end == value || *end != '\0' || seconds <= 0 || seconds > long{24} * 3600) return kDefaultDialTimeout;
  return static_cast<int64_t>(seconds) * 1000;
}

bool IsExecutableFile(const char* path) {
  struct stat status;
  if (stat(path, &status) != 0 || !S_ISREG(status.st_mode)) return false;
  return access(path, X_OK) == 0;
}

bool ListExecutables(const char* directory, std::vector<std::string>& names) {
  names.clear();
  DIR* handle = opendir(directory);
  if (handle == nullptr) return false;
  std::string path = directory;
  if (path.empty() || path.back() != '/') path += '/';
  while (const dirent* entry = readdir(handle)) {
    if (entry->d_name[0] == '.') continue;
    if (IsExecutableFile((path + entry->d_name).c_str())) names.emplace_back(entry->d_name);
  }
  closedir(handle);
  std::sort(names.begin(), names.end());
  return true;
}

bool RunEntry(const std::string& program, const std::vector<std::string>& arguments, int64_t timeoutMilliseconds,
              EntryRun& run, int& error) {
  run = EntryRun();
  error = 0;
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
    error = errno;
    return false;
  }
  Descriptor reading{pipeEnds[0]};
  Descriptor writing{pipeEnds[1]};

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  // The child sees only its three standard streams: the service's sockets
  // must not outlive a stop in a dialler left running.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, writing.fd, 1);
  posix_spawn_file_actions_adddup2(&actions, writing.fd, 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A group of its own, so that a hanging entry is killed with its children;
  // and the default signal mask, since the service blocks its control signals.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  pid_t child = -1;
  const int spawned = posix_spawn(&child, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(writing.fd);
  writing.fd = -1;
  if (spawned != 0) {
    error = spawned;
    return false;
  }
  run.started = true;
  fcntl(reading.fd, F_SETFL, fcntl(reading.fd, F_GETFL) | O_NONBLOCK);

  std::string output;
  bool outputOpen = true;
  int status = 0;
  bool exited = false;
  const int64_t deadline = Milliseconds() + timeoutMilliseconds;
  for (;;) {
    const pid_t waited = waitpid(child, &status, WNOHANG);
    if (waited == child) {
      exited = true;
      // What it wrote before ending; a helper it left running in the
      // background may hold the pipe open, so nothing more is waited for.
      if (outputOpen) Drain(reading.fd, output);
      break;
    }
    if (waited < 0 && errno != EINTR) {
      error = errno;
      break;
    }
    const int64_t left = deadline - Milliseconds();
    if (left <= 0) {
      run.timedOut = true;
      break;
    }
    const int step = static_cast<int>(std::min<int64_t>(left, kWatchStep));
    if (outputOpen) {
      pollfd watch{reading.fd, POLLIN, 0};
      if (poll(&watch, 1, step) > 0) outputOpen = Drain(reading.fd, output);
    } else {
      Sleep(step);
    }
  }
  if (!exited) {
    kill(-child, SIGKILL);
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  run.lastLine = LastLine(output);
  if (exited && WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  return exited && run.exitStatus == 0;
}

}  // namespace zhost
