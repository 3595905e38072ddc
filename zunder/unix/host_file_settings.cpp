// Host layer: where the settings files live, and reading and replacing them
// so that concurrent writers in several processes lose nothing and a crash
// never leaves a torn file.
//
// Every settings file "F" has a lock file "F.lock" beside it. Writers hold
// an exclusive flock on it for the whole read-change-write, and replace F by
// renaming a fully written and flushed temporary file over it
// (ReplaceFileAtomically); readers hold a shared flock while they read.
// Locking a separate file (not F itself) matters because F is replaced: a
// lock on the old F would not exclude a writer that opened the new one.
//
// Settings hold secrets (the administration password), so every file made
// here, lock files included, is readable by its owner alone; a settings
// file that exists keeps its mode through each replacement.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host_file.h"

namespace zhost {

namespace {

// The mode of a settings or lock file this layer creates.
constexpr mode_t kPrivateMode = 0600;

// An open descriptor with a flock on it, released on destruction.
class FileLock {
 public:
  FileLock(const std::string& path, bool exclusive, bool mayCreate) {
    fd = open(path.c_str(), (mayCreate ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC, kPrivateMode);
    if (fd < 0) {
      error = errno;
      return;
    }
    int result;
    do {
      result = flock(fd, exclusive ? LOCK_EX : LOCK_SH);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      error = errno;
      close(fd);
      fd = -1;
    }
  }
  ~FileLock() {
    if (fd >= 0) close(fd);  // closing releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool IsHeld() const { return fd >= 0; }
  int error = 0;

 private:
  int fd = -1;
};

bool ReadWhole(int fd, std::string& content, int& error) {
  content.clear();
  char buffer[8192];
  for (;;) {
    ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      error = errno;
      return false;
    }
    if (count == 0) return true;
    content.append(buffer, static_cast<size_t>(count));
  }
}

// Reads the file when it exists; false only for a real read failure.
bool ReadIfPresent(const char* path, std::string& content, bool& exists, int& error) {
  content.clear();
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    exists = false;
    if (errno == ENOENT) return true;
    error = errno;
    return false;
  }
  exists = true;
  bool read = ReadWhole(fd, content, error);
  close(fd);
  return read;
}

}  // namespace

std::string RegistryHivePath(bool localMachine) {
  const char* hive = localMachine ? "HKEY_LOCAL_MACHINE.reg" : "HKEY_CURRENT_USER.reg";
  std::string directory;
  if (GetEnvironment("ZUNDER_REGISTRY_DIR", directory) && !directory.empty()) {
    return directory + "/" + hive;
  }
  if (localMachine) return std::string("/var/lib/zunder/") + hive;
  std::string base;
  if (!GetEnvironment("XDG_CONFIG_HOME", base) || base.empty()) {
    std::string home;
    if (!GetEnvironment("HOME", home) || home.empty()) {
      // No HOME (a daemon's environment): the account's home directory.
      struct passwd record;
      struct passwd* found = nullptr;
      char buffer[4096];
      if (getpwuid_r(geteuid(), &record, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        home = found->pw_dir;
      }
    }
    base = (home.empty() ? std::string("/tmp") : home) + "/.config";
  }
  return base + "/zunder/" + hive;
}

std::string SystemProfilePath() {
  std::string directory;
  if (GetEnvironment("ZUNDER_REGISTRY_DIR", directory) && !directory.empty()) {
    return directory + "/WIN.INI";
  }
  return "/etc/zunder/WIN.INI";
}

bool ReadSettingsFile(const char* path, std::string& content, bool& exists, int& error) {
  error = 0;
  std::string lockPath = std::string(path) + ".lock";
  // Readers create no lock file: without one there has been no writer, and
  // since files are only ever replaced whole, an unlocked read is still
  // never torn.
  FileLock lock(lockPath, false, false);
  return ReadIfPresent(path, content, exists, error);
}

bool UpdateSettingsFile(const char* path, bool createDirectories,
                        const std::function<bool(std::string& content)>& change, int& error) {
  error = 0;
  std::string target(path);
  if (createDirectories && !MakeDirectories(DirectoryOf(target), error)) return false;
  FileLock lock(target + ".lock", true, true);
  if (!lock.IsHeld()) {
    error = lock.error;
    return false;
  }
  std::string content;
  bool exists = false;
  if (!ReadIfPresent(path, content, exists, error)) return false;
  if (!change(content)) return true;
  return ReplaceFileAtomically(target, content, kPrivateMode, error);
}

}  // namespace zhost
