// Channel error codes and texts: the table by system error number, the texts
// of numbers of this and another host, and the conditions named for reports.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "zunder/sockets.h"

namespace {

TEST(ChannelErrors, CodesFollowTheSystemErrorNumber) {
  const struct {
    int osError;
    ZChannel::Error code;
  } cases[] = {
      {0, ZChannel::NoError},
      {ENOENT, ZChannel::NotFound},
      {EEXIST, ZChannel::FileExists},
      {ENOSPC, ZChannel::DiskFull},
      {EACCES, ZChannel::AccessDenied},
      {EINVAL, ZChannel::BadParameter},
      {ENOMEM, ZChannel::NoMemory},
      {EBADF, ZChannel::NotOpen},
      {EAGAIN, ZChannel::Timeout},
      {EWOULDBLOCK, ZChannel::Timeout},
      {ETIMEDOUT, ZChannel::Timeout},
      {EINTR, ZChannel::Interrupted},
      {ECONNREFUSED, ZChannel::Miscellaneous},
      {EPIPE, ZChannel::Miscellaneous},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ZChannel::ErrorFromOS(c.osError), c.code) << "errno " << c.osError;
  }
}

TEST(ChannelErrors, TextsOfErrorNumbers) {
  const struct {
    int osError;
    const char* text;
  } cases[] = {
      {0, ""},
      {ECONNREFUSED, "Connection refused"},
      {0x40000000 | 10061, "Connection refused"},
      {0x40000000 | 10060, "Timed out"},
      {0x40000000 | 12345, "WIN32 error 12345"},
      {99999, "C runtime error 99999"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(ZChannel::ErrorText(c.osError).Text(), c.text) << c.osError;
  }
  // The C library's own wording for an ordinary number.
  EXPECT_STREQ(ZChannel::ErrorText(ENOENT).Text(), std::strerror(ENOENT));
}

TEST(ChannelErrors, ConditionsNamedForReportsAreTheSystemsOwn) {
  const struct {
    ZChannel::Condition condition;
    int osError;
  } cases[] = {
      {ZChannel::HostUnreachable, EHOSTUNREACH},   {ZChannel::MessageTooLong, EMSGSIZE},
      {ZChannel::NoBufferSpace, ENOBUFS},          {ZChannel::ConnectionReset, ECONNRESET},
      {ZChannel::ConnectionTimedOut, ETIMEDOUT},   {ZChannel::ConnectionRefused, ECONNREFUSED},
      {ZChannel::NetworkUnreachable, ENETUNREACH},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ZChannel::OSErrorOf(c.condition), c.osError) << c.osError;
    // Word for word what a call failing with the number reports.
    EXPECT_STREQ(ZChannel::ErrorText(c.condition).Text(), std::strerror(c.osError)) << c.osError;
  }
  EXPECT_STREQ(ZChannel::ErrorText(ZChannel::HostUnreachable).Text(), "No route to host");
}

}  // namespace
