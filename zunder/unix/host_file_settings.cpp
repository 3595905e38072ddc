// Host layer: where the settings files live, and reading and replacing them
// so that concurrent writers in several processes lose nothing and a crash
// never leaves a torn file.
//
// Every settings file "F" has a lock file "F.lock" beside it. Writers hold
// an exclusive flock on it for the whole read-change-write, and replace F by
// renaming a fully written and flushed temporary file over it; readers hold
// a shared flock while they read. Locking a separate file (not F itself)
// matters because F is replaced: a lock on the old F would not exclude a
// writer that opened the new one.
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

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// mkdir -p: every missing directory of the path, with mode 0755.
bool MakeDirectories(const std::string& directory, int& error) {
  struct stat info;
  if (directory.empty() || stat(directory.c_str(), &info) == 0) return true;
  std::string parent = DirectoryOf(directory);
  if (parent != directory && !MakeDirectories(parent, error)) return false;
  if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
    error = errno;
    return false;
  }
  return true;
}

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

bool WriteWhole(int fd, const std::string& content, int& error) {
  size_t sent = 0;
  while (sent < content.size()) {
    ssize_t count = write(fd, content.data() + sent, content.size() - sent);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      error = count < 0 ? errno : EIO;
      return false;
    }
    sent += static_cast<size_t>(count);
  }
  return true;
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

// Writes content to a fresh temporary file beside path, flushes it and
// renames it over path; the directory is flushed too so the rename lasts.
bool ReplaceFile(const std::string& path, const std::string& content, unsigned mode, int& error) {
  std::string directory = DirectoryOf(path);
  std::string temporary = path + ".XXXXXX";
  std::vector<char> name(temporary.begin(), temporary.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return false;
  }
  // mkstemp makes the file private; keep the mode the old file had.
  (void)fchmod(fd, static_cast<mode_t>(mode));
  bool written = WriteWhole(fd, content, error);
  if (written && fsync(fd) != 0) {
    error = errno;
    written = false;
  }
  if (close(fd) != 0 && written) {
    error = errno;
    written = false;
  }
  if (written && rename(name.data(), path.c_str()) != 0) {
    error = errno;
    written = false;
  }
  if (!written) {
    unlink(name.data());
    return false;
  }
  int directoryFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directoryFd >= 0) {
    fsync(directoryFd);
    close(directoryFd);
  }
  return true;
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
  unsigned mode = kPrivateMode;
  struct stat info;
  if (exists && stat(path, &info) == 0) mode = info.st_mode & 07777;
  if (!change(content)) return true;
  return ReplaceFile(target, content, mode, error);
}

}  // namespace zhost
