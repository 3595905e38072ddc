// The command side of the line protocol over a real loopback connection:
// ZApplicationSocket::ReadCommand with a small command table and a line
// bound taken from the input, and the FTP server's ZFTPSocket::ProcessCommand
// dialogue (login state machine, PORT, PASV, TYPE...). The first byte picks
// the reader and the bound; the rest is what the client sends.
#include <cstdint>

#include "fuzz_check.h"
#include "loopback.h"
#include "zunder/appsocket.h"
#include "zunder/ftpsocket.h"

namespace {

const char* const kWords[] = {"USER", "PASS", "QUIT", "HELO", "PORT"};
constexpr ZIndex kWordCount = sizeof kWords / sizeof kWords[0];

void ReadCommands(ZApplicationSocket& socket, ZIndex maximumLineLength, size_t inputSize) {
  socket.SetMaximumLineLength(maximumLineLength);
  // Every command takes at least its line end, so the input bounds the loop.
  for (size_t round = 0; round <= inputSize + 1; ++round) {
    ZIndex number = -1;
    ZString arguments;
    if (!socket.ReadCommand(number, arguments)) return;
    FUZZ_CHECK(number == ZApplicationSocket::kUnknownCommand || (number >= 0 && number < kWordCount),
               "a command number is in the table or unknown");
    FUZZ_CHECK(arguments.GetLength() <= maximumLineLength, "arguments are bounded by the line");
    FUZZ_CHECK(!socket.IsLineTooLong(), "a line too long is not taken as a command");
  }
  FUZZ_CHECK(false, "more commands than lines");
}

void ServeFtp(ZFTPSocket& socket, size_t inputSize) {
  for (size_t round = 0; round <= inputSize + 1; ++round) {
    if (!socket.ProcessCommand()) return;
    FUZZ_CHECK(socket.GetFailedPasswords() <= ZFTPSocket::kPasswordAttempts, "refused passwords are bounded");
  }
  FUZZ_CHECK(false, "more commands than lines");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The peer writes everything before anything is read; loopback buffers
  // take this much without blocking.
  if (size < 1 || size > 64 * 1024) return 0;
  const uint8_t mode = data[0];
  FuzzPeer peer;
  if (mode & 1) {
    ZFTPSocket socket(FuzzListener(), "fuzz FTP ready");
    FUZZ_CHECK(socket.IsOpen(), "the connection is accepted");
    socket.SetReadTimeout(kFuzzReadTimeout);
    socket.SetReadLineTimeout(kFuzzReadTimeout);
    peer.Start(data + 1, size - 1);
    ServeFtp(socket, size);
    socket.Close();
  } else {
    ZApplicationSocket socket(kWordCount, kWords, FuzzListener());
    FUZZ_CHECK(socket.IsOpen(), "the connection is accepted");
    socket.SetReadTimeout(kFuzzReadTimeout);
    socket.SetReadLineTimeout(kFuzzReadTimeout);
    peer.Start(data + 1, size - 1);
    // Bounds from 1 to 64, or the default.
    const ZIndex bound = (mode >> 1) < 64 ? (mode >> 1) + 1 : ZApplicationSocket::kDefaultMaximumLineLength;
    ReadCommands(socket, bound, size);
    socket.Close();
  }
  peer.Finish();
  return 0;
}
