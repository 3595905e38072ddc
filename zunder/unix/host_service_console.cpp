// The console: standard error output, one key without echo, debugger break.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host_service.h"

namespace zhost {

void ConsoleWrite(const char* text) {
  std::fputs(text, stderr);
  std::fflush(stderr);
}

namespace {

int ReadOneByte() {
  unsigned char key = 0;
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, &key, 1);
    if (got == 1) return key;
    if (got < 0 && errno == EINTR) continue;
    return -1;
  }
}

}  // namespace

int ConsoleReadKey() {
  struct termios saved {};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return ReadOneByte();  // not a terminal
  // Raw enough for one key: no line buffering, no echo; restored at once.
  struct termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  const int key = ReadOneByte();
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  return key == 4 ? -1 : key;  // Ctrl-D is the end of input
}

bool DebugBreak() {
  // A tracer shows in /proc/self/status; without one SIGTRAP would only kill us.
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return false;
  char line[256];
  long tracer = 0;
  while (std::fgets(line, sizeof(line), status) != nullptr) {
    if (std::strncmp(line, "TracerPid:", 10) == 0) {
      tracer = std::strtol(line + 10, nullptr, 10);
      break;
    }
  }
  std::fclose(status);
  if (tracer == 0) return false;
  raise(SIGTRAP);
  return true;
}

}  // namespace zhost
