// Program identity on this host: the executable, kernel and user.
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "host_service.h"

namespace zhost {

ZString ExecutablePath() {
  // /proc/self/exe names the real file even when started through a link.
  std::vector<char> buffer(4096);
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return ZString();
    if (static_cast<size_t>(length) < buffer.size()) return ZString(buffer.data(), static_cast<ZIndex>(length));
    buffer.resize(buffer.size() * 2);
  }
  return ZString();
}

ZString OSName() {
  struct utsname name {};
  if (uname(&name) != 0) return ZString("?");
  return ZString(name.sysname);
}

void OSVersion(unsigned* major, unsigned* minor) {
  *major = 0;
  *minor = 0;
  struct utsname name {};
  if (uname(&name) != 0) return;
  std::sscanf(name.release, "%u.%u", major, minor);
}

ZString UserName() {
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return ZString();
  }
  return ZString(found->pw_name).Left(50);
}

void ExitProcessNow(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(code);
}

}  // namespace zhost
