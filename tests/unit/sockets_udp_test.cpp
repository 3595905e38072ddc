// UDP sockets on loopback: datagrams both ways and the length of the next.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "zunder/sockets.h"

namespace {

TEST(UDPSocket, DatagramsBothWays) {
  ZUDPSocket server;
  ZUDPSocket client;
  ASSERT_TRUE(server.Listen(0, 0));
  ASSERT_TRUE(client.Listen(0, 0));
  ASSERT_NE(server.GetPort(), client.GetPort());
  server.SetReadTimeout(ZTimeInterval(10000));
  client.SetReadTimeout(ZTimeInterval(10000));

  ASSERT_TRUE(client.WriteTo("ping", 4, ZIPAddress(), server.GetPort()));
  EXPECT_EQ(client.GetLastWriteCount(), 4);
  char buffer[64];
  ZIPAddress from(0);
  uint16_t fromPort = 0;
  ASSERT_TRUE(server.ReadFrom(buffer, sizeof buffer, from, fromPort));
  EXPECT_EQ(server.GetLastReadCount(), 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
  EXPECT_STREQ(from.GetDotted().Text(), "127.0.0.1");
  EXPECT_EQ(fromPort, client.GetPort());

  ASSERT_TRUE(server.WriteTo("pong!", 5, from, fromPort));
  ASSERT_TRUE(client.ReadFrom(buffer, sizeof buffer, from, fromPort));
  EXPECT_EQ(std::string(buffer, 5), "pong!");
  EXPECT_EQ(fromPort, server.GetPort());

  // A connected datagram socket uses plain Read and Write.
  ZUDPSocket connected(server.GetPort());
  ASSERT_TRUE(connected.Connect("127.0.0.1"));
  ASSERT_TRUE(connected.Write("abc", 3));
  ASSERT_TRUE(server.ReadFrom(buffer, sizeof buffer, from, fromPort));
  EXPECT_EQ(std::string(buffer, 3), "abc");
  ASSERT_TRUE(server.WriteTo("reply", 5, from, fromPort));
  connected.SetReadTimeout(ZTimeInterval(10000));
  ASSERT_TRUE(connected.Read(buffer, sizeof buffer));
  EXPECT_EQ(connected.GetLastReadCount(), 5);

  server.SetReadTimeout(ZTimeInterval(300));
  EXPECT_FALSE(server.ReadFrom(buffer, sizeof buffer, from, fromPort));
  EXPECT_EQ(server.GetErrorCode(), ZChannel::Timeout);
}

TEST(UDPSocket, PeekTellsTheWholeLengthAndLeavesTheDatagram) {
  ZUDPSocket server;
  ZUDPSocket client;
  ASSERT_TRUE(server.Listen(0, 0));
  ASSERT_TRUE(client.Listen(0, 0));
  server.SetReadTimeout(ZTimeInterval(10000));
  const std::string largest(65507, 'd');
  for (const std::string& sent : {std::string("short"), largest, std::string()}) {
    SCOPED_TRACE(sent.size());
    ASSERT_TRUE(client.WriteTo(sent.data(), static_cast<ZIndex>(sent.size()), ZIPAddress(), server.GetPort()));
    ZIndex length = -1;
    ASSERT_TRUE(server.PeekDatagramLength(length));
    EXPECT_EQ(length, static_cast<ZIndex>(sent.size()));
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    ZIPAddress from(0);
    uint16_t fromPort = 0;
    // An empty datagram reads as nothing, but is taken all the same.
    EXPECT_EQ(server.ReadFrom(buffer.data(), static_cast<ZIndex>(buffer.size()), from, fromPort), !sent.empty());
    EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(server.GetLastReadCount())), sent);
  }
  // Nothing queued: the read time-out, then a close from another thread.
  server.SetReadTimeout(ZTimeInterval(200));
  ZIndex length = -1;
  EXPECT_FALSE(server.PeekDatagramLength(length));
  EXPECT_EQ(server.GetErrorCode(), ZChannel::Timeout);
  server.SetReadTimeout(ZInfinite);
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.Close();
  });
  EXPECT_FALSE(server.PeekDatagramLength(length));
  closer.join();
  EXPECT_EQ(server.GetErrorCode(), ZChannel::Interrupted);
}

}  // namespace
