// The host side of remote access: the phonebook is a directory of
// executable entries, each run as "<entry> dial|status|hangup [number]".
// Private to the library: only zunder/src/remote.cpp and the host layer use it.
// Errors follow the convention of host_error.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zhost {

// The phonebook directory: ZUNDER_PHONEBOOK, else /etc/zunder/phonebook.
std::string DefaultPhonebookDirectory();
// The bound on one run of an entry in milliseconds: ZUNDER_DIAL_TIMEOUT
// (seconds) when set to a positive number, else 180 seconds.
int64_t DefaultDialTimeout();

// Whether path names an executable regular file (symbolic links followed).
bool IsExecutableFile(const char* path);
// The executable regular files of a directory whose names do not start with
// '.', in byte order. False when the directory cannot be read.
bool ListExecutables(const char* directory, std::vector<std::string>& names);

// How one run of an entry ended.
struct EntryRun {
  bool started = false;   // false: it could not be run at all
  bool timedOut = false;  // killed after the bound
  int exitStatus = -1;    // exit code, or -1 when it did not exit normally
  std::string lastLine;   // the last non-empty line of its output, trimmed
};

// Runs program with arguments (no shell) in a process group of its own, with
// standard input on /dev/null and standard output and error read through a
// pipe, and waits at most timeoutMilliseconds for it to end; then the whole
// group is killed. Only a bounded tail of the output is kept. Answers
// whether it ran and exited with status 0; error is the cause when it could
// not be started or watched (0 when it ran, whatever its exit status).
bool RunEntry(const std::string& program, const std::vector<std::string>& arguments, int64_t timeoutMilliseconds,
              EntryRun& run, int& error);

}  // namespace zhost
