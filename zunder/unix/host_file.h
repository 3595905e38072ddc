// The host's files, directories, environment and settings files, as the
// file and configuration classes need them. Private to the library: only
// zunder/src/files.cpp, zunder/src/config.cpp and the host layer use it.
// Errors follow the convention of host_error.h: a failed call answers false
// (or -1, or null) with errno in `error`.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zhost {

// ---- paths and the process
// The current working directory; false when the host cannot tell.
bool CurrentDirectory(std::string& directory);
bool ChangeDirectory(const char* path, int& error);
// The real path of the running program (/proc/self/exe).
bool ExecutablePath(std::string& path);

// ---- environment
bool GetEnvironment(const char* name, std::string& value);
bool SetEnvironment(const char* name, const char* value, int& error);
bool UnsetEnvironment(const char* name, int& error);
// Every "NAME=value" entry of the process environment.
std::vector<std::string> EnvironmentEntries();

// ---- files
enum FileAccess { ReadOnly = 0, WriteOnly = 1, ReadWrite = 2 };
struct OpenFlags {
  FileAccess access = ReadOnly;
  bool create = false;
  bool truncate = false;
  bool exclusive = false;
};
// New files get read and write permission (as far as the umask allows).
int OpenFile(const char* path, const OpenFlags& flags, int& error);
// Creates and opens a unique file from a template ending in "XXXXXX";
// the template is replaced by the name made.
int OpenTemporaryFile(std::string& nameTemplate, int& error);
void CloseFile(int fd);
long ReadFile(int fd, void* buffer, size_t length, int& error);
long WriteFile(int fd, const void* buffer, size_t length, int& error);
// origin: 0 begin, 1 current, 2 end. Answers the new position or -1.
int64_t SeekFile(int fd, int64_t offset, int origin, int& error);

struct FileStatus {
  enum Kind { Regular, Directory, Other };
  Kind kind = Other;
  int64_t changed = 0;
  int64_t modified = 0;
  int64_t accessed = 0;
  int64_t size = 0;
  unsigned mode = 0;  // the permission bits (07777)
};
bool StatFile(const char* path, FileStatus& status, int& error);
bool RemoveFile(const char* path, int& error);
// replace false fails with EEXIST when the target exists (as one atomic
// step where the file system allows it).
bool RenameFile(const char* from, const char* to, bool replace, int& error);
bool ChangeMode(const char* path, unsigned mode, int& error);
bool FileExists(const char* path);

// The directory part of a path: "." without a slash, "/" for the root.
std::string DirectoryOf(const std::string& path);
// Creates the directory and every missing one above it, with mode 0755.
bool MakeDirectories(const std::string& directory, int& error);
// Replaces the file at path by one holding content, in one step: a
// temporary file made beside it (race-free), written, flushed to disk and
// renamed over path; then the directory is flushed so that the rename
// lasts. Readers see the old file or the new one, never a part of either,
// and a crash leaves one of the two. The file keeps the mode it had; a new
// one gets newFileMode.
bool ReplaceFileAtomically(const std::string& path, const std::string& content, unsigned newFileMode, int& error);

// ---- directory scans: an opaque handle, null when none is open
void* OpenDirectory(const char* path, int& error);
// The next entry's name; false at the end.
bool ReadDirectory(void* handle, std::string& name);
void CloseDirectory(void* handle);

// ---- settings files
// Where the two registry hives live (HKEY_LOCAL_MACHINE when localMachine).
std::string RegistryHivePath(bool localMachine);
// Where the system-wide profile lives.
std::string SystemProfilePath();

// Reads a settings file whole under a shared lock on its lock file.
// exists is false (and the answer true) when there is no file yet.
bool ReadSettingsFile(const char* path, std::string& content, bool& exists, int& error);
// Changes a settings file atomically: under an exclusive lock on its lock
// file, reads it (empty when absent), lets change edit the text, and when
// change answers true writes the result to a temporary file in the same
// directory, flushes it to disk and renames it over the file. Missing
// parent directories are created when createDirectories is set.
bool UpdateSettingsFile(const char* path, bool createDirectories,
                        const std::function<bool(std::string& content)>& change, int& error);

}  // namespace zhost
