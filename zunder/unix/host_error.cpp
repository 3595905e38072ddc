// Error numbers of this host (errno) and their texts.
#include "host_error.h"

#include <cerrno>
#include <cstring>

#include "zunder/strings.h"

namespace zhost {

const int kInterrupted = EINTR;
const int kBadDescriptor = EBADF;
const int kWouldBlock = EAGAIN;
const int kInvalidArgument = EINVAL;
const int kMessageTooLong = EMSGSIZE;
const int kHostUnreachable = EHOSTUNREACH;
const int kNoSuchFile = ENOENT;
const int kFileExists = EEXIST;
const int kAccessDenied = EACCES;
const int kInputOutput = EIO;

bool IsWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool IsAcceptRetry(int error) { return IsWouldBlock(error) || error == EINTR || error == ECONNABORTED; }

bool ErrorText(int error, ZString& text) {
  char scratch[256];
  // The GNU strerror_r answers a pointer that may or may not be scratch.
  const char* message = ::strerror_r(error, scratch, sizeof scratch);
  if (message == nullptr || message[0] == '\0' || std::strncmp(message, "Unknown error", 13) == 0) {
    return false;
  }
  text = message;
  return true;
}

int LastError() { return errno; }

void SetLastError(int error) { errno = error; }

}  // namespace zhost
