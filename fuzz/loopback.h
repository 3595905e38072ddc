// A connected pair of TCP sockets on loopback for the targets that read
// from a line-protocol socket: a peer thread writes the fuzzer's bytes,
// half-closes, and drains whatever the socket under test answers, so that
// replies never fill the connection. Every wait is bounded by a time-out.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "fuzz_check.h"
#include "zunder/sockets.h"
#include "zunder/time.h"

// How long any single read may wait; input always ends with the peer's
// half-close, so only a fault makes a read run into it.
inline const ZTimeInterval kFuzzReadTimeout{0, 5};

// One listener for the whole run; every input gets a fresh connection.
inline ZTCPSocket& FuzzListener() {
  static ZTCPSocket* listener = [] {
    auto* socket = new ZTCPSocket();
    FUZZ_CHECK(socket->Listen(16, 0, true), "a loopback listener opens");
    return socket;
  }();
  return *listener;
}

class FuzzPeer {
 public:
  // Connects to the listener; accept the socket under test from
  // FuzzListener() next, then Start.
  FuzzPeer() {
    peer.SetPort(FuzzListener().GetPort());
    FUZZ_CHECK(peer.Connect("127.0.0.1"), "the peer connects over loopback");
    peer.SetReadTimeout(kFuzzReadTimeout);
  }
  FuzzPeer(const FuzzPeer&) = delete;
  FuzzPeer& operator=(const FuzzPeer&) = delete;
  ~FuzzPeer() { Finish(); }

  void Start(const uint8_t* data, size_t size) {
    worker = std::thread([this, data, size] {
      if (size > 0) peer.Write(data, static_cast<ZIndex>(size));
      peer.ShutdownWrite();
      char buffer[4096];
      // Drains until the socket under test closes (or the time-out).
      for (int reads = 0; reads < 100000 && peer.Read(buffer, sizeof buffer); ++reads) {
        if (peer.GetLastReadCount() == 0) break;
      }
    });
  }
  // Call after the socket under test is closed.
  void Finish() {
    if (worker.joinable()) worker.join();
  }

 private:
  ZTCPSocket peer;
  std::thread worker;
};
