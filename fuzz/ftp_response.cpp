// The response side of the line protocol over a real loopback connection:
// ZApplicationSocket::ReadResponse on single- and multi-line replies, as
// the FTP relay reads them from a site; and ZFTPSocket::ParseHostPort on the
// text, as a PORT argument. Properties: codes are three-digit numbers or -1,
// and a multi-line reply is bounded.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "loopback.h"
#include "zunder/appsocket.h"
#include "zunder/ftpsocket.h"

namespace {

const char* const kWords[] = {"USER", "PASS"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;

  // PORT's argument parser needs no connection.
  const std::string text = FuzzText(data, size);
  ZIPAddress address(0u);
  uint16_t port = 0;
  (void)ZFTPSocket::ParseHostPort(ZString(text.c_str()), address, port);

  FuzzPeer peer;
  ZApplicationSocket socket(2, kWords, FuzzListener());
  FUZZ_CHECK(socket.IsOpen(), "the connection is accepted");
  socket.SetReadTimeout(kFuzzReadTimeout);
  socket.SetReadLineTimeout(kFuzzReadTimeout);
  peer.Start(data, size);
  for (size_t round = 0; round <= size + 1; ++round) {
    if (!socket.ReadResponse()) break;
    FUZZ_CHECK(socket.GetLastResponseInfo().GetLength() <= ZApplicationSocket::kMaximumResponseLength,
               "a response is bounded");
    FUZZ_CHECK(round < size + 1, "more responses than lines");
  }
  socket.Close();
  peer.Finish();
  return 0;
}
