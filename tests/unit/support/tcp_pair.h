// A connected pair of TCP sockets on loopback: near is the peer a test
// drives, far the side the code under test holds (the accepted one).
#pragma once

#include <gtest/gtest.h>

#include "zunder/sockets.h"

struct TcpPair {
  TcpPair() {
    EXPECT_TRUE(listener.Listen(4, 0));
    near.SetPort(listener.GetPort());
    EXPECT_TRUE(near.Connect("127.0.0.1"));
    EXPECT_TRUE(far.Accept(listener));
  }
  ZTCPSocket listener;
  ZTCPSocket near;
  ZTCPSocket far;
};
