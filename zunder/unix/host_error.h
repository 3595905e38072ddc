// Errors in the host layer: the one convention every host_*.h follows, the
// error numbers the portable sources record or compare, and the thread's
// last error.
//
// The convention: a host call that can fail answers false (or -1, or null)
// when it failed and hands the cause back through its last parameter,
// `int& error`: the C library's error number (errno), 0 when the call
// succeeded. No host call leaves its failure in errno alone, and none
// answers an error number in place of a result. Calls whose failure has no
// cause worth telling (name look-ups, starting a thread) answer false alone.
//
// The portable sources never name errno values: they use the numbers below,
// which mean the same on any host. Private to the library.
#pragma once

class ZString;

namespace zhost {

extern const int kInterrupted;    // a call cut short, or a socket closed under it
extern const int kBadDescriptor;  // not open
extern const int kWouldBlock;     // nothing there yet (a wait that timed out)
extern const int kInvalidArgument;
extern const int kMessageTooLong;
extern const int kHostUnreachable;
extern const int kNoSuchFile;
extern const int kFileExists;
extern const int kAccessDenied;
extern const int kInputOutput;  // a read or write the device failed

// Nothing to take without waiting (EAGAIN, or EWOULDBLOCK where it differs).
bool IsWouldBlock(int error);
// A failed accept that is worth trying again at once: nobody was waiting
// after all, a signal came, or the connection was reset before it was taken.
bool IsAcceptRetry(int error);

// The C library's text of an error number; false for unknown numbers.
bool ErrorText(int error, ZString& text);

// The calling thread's last error (errno), which log lines show.
int LastError();
void SetLastError(int error);

}  // namespace zhost
