// Host layer: POSIX files, directories, the working directory and the
// process environment.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdio.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "host_file.h"

extern char** environ;

namespace zhost {

namespace {

// setenv/unsetenv/getenv are not safe against each other; the library's own
// calls at least take turns.
std::mutex& EnvironmentMutex() {
  static std::mutex mutex;
  return mutex;
}

bool Fail(int& error) {
  error = errno;
  return false;
}

// The answer of a call that reports failure through errno.
bool Check(int result, int& error) {
  if (result < 0) return Fail(error);
  error = 0;
  return true;
}

}  // namespace

bool CurrentDirectory(std::string& directory) {
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr) return false;
  directory = buffer;
  return true;
}

bool ChangeDirectory(const char* path, int& error) {
  if (chdir(path) != 0) return Fail(error);
  error = 0;
  return true;
}

bool ExecutablePath(std::string& path) {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return false;
  path.assign(buffer, static_cast<size_t>(length));
  return true;
}

bool GetEnvironment(const char* name, std::string& value) {
  std::lock_guard<std::mutex> lock(EnvironmentMutex());
  const char* found = getenv(name);
  if (found == nullptr) return false;
  value = found;
  return true;
}

bool SetEnvironment(const char* name, const char* value, int& error) {
  std::lock_guard<std::mutex> lock(EnvironmentMutex());
  if (setenv(name, value, 1) != 0) return Fail(error);
  error = 0;
  return true;
}

bool UnsetEnvironment(const char* name, int& error) {
  std::lock_guard<std::mutex> lock(EnvironmentMutex());
  if (unsetenv(name) != 0) return Fail(error);
  error = 0;
  return true;
}

std::vector<std::string> EnvironmentEntries() {
  std::lock_guard<std::mutex> lock(EnvironmentMutex());
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    entries.emplace_back(*entry);
  }
  return entries;
}

int OpenFile(const char* path, const OpenFlags& flags, int& error) {
  int mode = flags.access == WriteOnly ? O_WRONLY : (flags.access == ReadWrite ? O_RDWR : O_RDONLY);
  if (flags.create) mode |= O_CREAT;
  if (flags.truncate) mode |= O_TRUNC;
  if (flags.exclusive) mode |= O_EXCL | O_CREAT;
  int fd = open(path, mode | O_CLOEXEC, 0666);
  error = fd < 0 ? errno : 0;
  return fd;
}

int OpenTemporaryFile(std::string& nameTemplate, int& error) {
  std::vector<char> name(nameTemplate.begin(), nameTemplate.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  nameTemplate = name.data();
  error = 0;
  return fd;
}

void CloseFile(int fd) {
  if (fd >= 0) close(fd);
}

long ReadFile(int fd, void* buffer, size_t length, int& error) {
  ssize_t count;
  do {
    count = read(fd, buffer, length);
  } while (count < 0 && errno == EINTR);
  error = count < 0 ? errno : 0;
  return static_cast<long>(count);
}

long WriteFile(int fd, const void* buffer, size_t length, int& error) {
  ssize_t count;
  do {
    count = write(fd, buffer, length);
  } while (count < 0 && errno == EINTR);
  error = count < 0 ? errno : 0;
  return static_cast<long>(count);
}

int64_t SeekFile(int fd, int64_t offset, int origin, int& error) {
  int whence = origin == 1 ? SEEK_CUR : (origin == 2 ? SEEK_END : SEEK_SET);
  off_t position = lseek(fd, static_cast<off_t>(offset), whence);
  error = position < 0 ? errno : 0;
  return static_cast<int64_t>(position);
}

bool StatFile(const char* path, FileStatus& status, int& error) {
  struct stat info;
  if (stat(path, &info) != 0) return Fail(error);
  status.kind = S_ISREG(info.st_mode)   ? FileStatus::Regular
                : S_ISDIR(info.st_mode) ? FileStatus::Directory
                                        : FileStatus::Other;
  status.changed = info.st_ctime;
  status.modified = info.st_mtime;
  status.accessed = info.st_atime;
  status.size = info.st_size;
  status.mode = info.st_mode & 07777;
  error = 0;
  return true;
}

bool RemoveFile(const char* path, int& error) {
  if (unlink(path) != 0) return Fail(error);
  error = 0;
  return true;
}

bool RenameFile(const char* from, const char* to, bool replace, int& error) {
  if (replace) {
    if (rename(from, to) != 0) return Fail(error);
  } else if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) return Fail(error);
    // A file system without the flag: the check and the rename are two
    // steps there, which is the best it offers.
    struct stat info;
    if (stat(to, &info) == 0) {
      error = errno = EEXIST;
      return false;
    }
    if (rename(from, to) != 0) return Fail(error);
  }
  error = 0;
  return true;
}

bool ChangeMode(const char* path, unsigned mode, int& error) {
  if (chmod(path, static_cast<mode_t>(mode)) != 0) return Fail(error);
  error = 0;
  return true;
}

bool FileExists(const char* path) {
  struct stat info;
  return stat(path, &info) == 0;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool MakeDirectories(const std::string& directory, int& error) {
  error = 0;
  struct stat info;
  if (directory.empty() || stat(directory.c_str(), &info) == 0) return true;
  std::string parent = DirectoryOf(directory);
  if (parent != directory && !MakeDirectories(parent, error)) return false;
  if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) return Fail(error);
  return true;
}

namespace {

bool WriteWhole(int fd, const std::string& content, int& error) {
  size_t sent = 0;
  while (sent < content.size()) {
    long count = WriteFile(fd, content.data() + sent, content.size() - sent, error);
    if (count < 0) return false;
    if (count == 0) {
      error = EIO;
      return false;
    }
    sent += static_cast<size_t>(count);
  }
  return true;
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path, const std::string& content, unsigned newFileMode, int& error) {
  // A replacement that succeeds leaves the thread's last error as it was,
  // though asking for the mode of a file not yet there fails.
  const int lastError = errno;
  struct stat info;
  const mode_t mode = stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : static_cast<mode_t>(newFileMode);
  std::string temporary = path + ".XXXXXX";
  int fd = OpenTemporaryFile(temporary, error);
  if (fd < 0) return false;
  // mkstemp makes the file private; it takes the mode it is to have.
  bool written = Check(fchmod(fd, mode), error) && WriteWhole(fd, content, error) && Check(fsync(fd), error);
  if (close(fd) != 0 && written) written = Fail(error);
  if (written && rename(temporary.c_str(), path.c_str()) != 0) written = Fail(error);
  if (!written) {
    unlink(temporary.c_str());
    return false;
  }
  int directoryFd = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directoryFd >= 0) {
    fsync(directoryFd);
    close(directoryFd);
  }
  errno = lastError;
  error = 0;
  return true;
}

void* OpenDirectory(const char* path, int& error) {
  DIR* directory = opendir(path);
  error = directory == nullptr ? errno : 0;
  return directory;
}

bool ReadDirectory(void* handle, std::string& name) {
  if (handle == nullptr) return false;
  struct dirent* entry = readdir(static_cast<DIR*>(handle));
  if (entry == nullptr) return false;
  name = entry->d_name;
  return true;
}

void CloseDirectory(void* handle) {
  if (handle != nullptr) closedir(static_cast<DIR*>(handle));
}

}  // namespace zhost
