// The line-protocol socket and the FTP control connection over loopback:
// line editing and ends, continuation lines, bounds and time-outs, commands
// and responses, the FTP login state machine, its replies and data ports.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "support/assert_capture.h"
#include "support/loopback.h"
#include "zunder/appsocket.h"
#include "zunder/ftpsocket.h"

namespace {

const char* const kWords[] = {"HELO", "MAIL", "QUIT"};

// A listener on a loopback port and a raw peer connected to it; the socket
// under test accepts from the listener.
class Loopback {
 public:
  Loopback() {
    EXPECT_TRUE(pair.Connect());
    peer.SetReadTimeout(ZTimeInterval(0, 5));
  }

  void Send(const std::string& bytes) { ASSERT_TRUE(peer.Write(bytes.data(), static_cast<ZIndex>(bytes.size()))); }

  // What the socket under test wrote, up to the end of a complete reply:
  // a line whose fourth character is not '-'.
  std::string Reply() {
    std::string text;
    for (int reads = 0; reads < 1000 && !EndsReply(text); ++reads) {
      char buffer[512];
      if (!peer.Read(buffer, sizeof buffer)) break;
      text.append(buffer, static_cast<size_t>(peer.GetLastReadCount()));
    }
    return text;
  }

  static bool EndsReply(const std::string& text) {
    if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) return false;
    const size_t end = text.size() - 2;
    const size_t previous = end >= 2 ? text.rfind("\r\n", end - 1) : std::string::npos;
    const size_t start = previous == std::string::npos ? 0 : previous + 2;
    return end - start < 4 || text[start + 3] != '-';
  }

  // Exactly count bytes (or fewer when the socket closed or went quiet).
  std::string Bytes(size_t count) {
    std::string text;
    while (text.size() < count) {
      char buffer[512];
      const ZIndex want = static_cast<ZIndex>(std::min(sizeof buffer, count - text.size()));
      if (!peer.Read(buffer, want)) break;
      text.append(buffer, static_cast<size_t>(peer.GetLastReadCount()));
    }
    return text;
  }

  LoopbackPair pair;
  ZTCPSocket& listener = pair.listener;
  ZTCPSocket& peer = pair.client;
};

class LineSocketTest : public ::testing::Test {
 protected:
  Loopback loop;
  ZApplicationSocket socket{3, kWords, loop.listener};
};

// ---------------------------------------------------------------- lines

TEST_F(LineSocketTest, StartsWithTheSpecifiedTimeOuts) {
  ASSERT_TRUE(socket.IsOpen());
  EXPECT_EQ(socket.GetReadTimeout().GetMilliseconds(), 10 * 60 * 1000);
  EXPECT_EQ(socket.GetReadLineTimeout().GetMilliseconds(), 10 * 1000);
  EXPECT_EQ(socket.GetLastResponseCode(), -1);
}

TEST_F(LineSocketTest, EditingCharactersAndLineEnds) {
  loop.Send(
      "abc\bd\r\n"
      "xy\x7fz\n"
      "\b\bq\r"
      "three\r\n"
      "\r\n");
  const char* const expected[] = {"abd", "xz", "q", "three", ""};
  for (const char* line : expected) {
    ZString got;
    EXPECT_TRUE(socket.ReadLine(got, false));
    EXPECT_STREQ(got.Text(), line);
  }
}

TEST_F(LineSocketTest, ContinuationLinesOnlyWhenAllowed) {
  // The last line waits this long for a continuation that never comes.
  socket.SetReadLineTimeout(ZTimeInterval(200));
  loop.Send("Subject: one\r\n two\r\n\tthree\r\nNext: x\r\n");
  ZString line;
  EXPECT_TRUE(socket.ReadLine(line, true));
  EXPECT_STREQ(line.Text(), "Subject: one two\tthree");
  EXPECT_TRUE(socket.ReadLine(line, true));
  EXPECT_STREQ(line.Text(), "Next: x");

  loop.Send("a\r\n b\r\n");
  EXPECT_TRUE(socket.ReadLine(line, false));
  EXPECT_STREQ(line.Text(), "a");
  EXPECT_TRUE(socket.ReadLine(line, false));
  EXPECT_STREQ(line.Text(), " b");
}

TEST_F(LineSocketTest, OverLongLineEndsTheRead) {
  socket.SetMaximumLineLength(16);
  loop.Send(std::string(17, 'x') + "\r\n");
  ZString line;
  EXPECT_FALSE(socket.ReadLine(line, false));
  EXPECT_TRUE(socket.IsLineTooLong());
  EXPECT_EQ(socket.GetErrorCode(), ZChannel::BadParameter);

  // Exactly the maximum still fits.
  Loopback second;
  ZApplicationSocket fits(3, kWords, second.listener);
  fits.SetMaximumLineLength(16);
  second.Send(std::string(16, 'y') + "\r\n");
  EXPECT_TRUE(fits.ReadLine(line, false));
  EXPECT_EQ(line.GetLength(), 16);
  EXPECT_FALSE(fits.IsLineTooLong());
}

TEST_F(LineSocketTest, DefaultBoundIsEightKilobytes) {
  loop.Send(std::string(8193, 'z') + "\r\n");
  ZString line;
  EXPECT_FALSE(socket.ReadLine(line, false));
  EXPECT_TRUE(socket.IsLineTooLong());
}

TEST_F(LineSocketTest, ReadTimeOutBeforeTheFirstCharacter) {
  socket.SetReadTimeout(ZTimeInterval(100));
  ZString line;
  EXPECT_FALSE(socket.ReadLine(line, false));
  EXPECT_EQ(socket.GetErrorCode(), ZChannel::Timeout);
  EXPECT_TRUE(line.IsEmpty());
}

TEST_F(LineSocketTest, ReadLineTimeOutInTheMiddleOfALine) {
  socket.SetReadLineTimeout(ZTimeInterval(100));
  loop.Send("unfinished");
  ZString line;
  EXPECT_FALSE(socket.ReadLine(line, false));
  EXPECT_STREQ(line.Text(), "unfinished");
  EXPECT_EQ(socket.GetErrorCode(), ZChannel::Timeout);
}

// A peer that sends a byte every 30 ms, each well within the line time-out.
void Trickle(ZTCPSocket& peer, const std::string& bytes) {
  for (char c : bytes) {
    if (!peer.Write(&c, 1)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
}

TEST_F(LineSocketTest, TrickledLineIsCutOffByTheLineTimeLimit) {
  socket.SetReadLineTimeout(ZTimeInterval(200));
  socket.SetLineTimeLimit(ZTimeInterval(300));
  // 40 bytes take 1.2 s: past the limit, though no single byte is late.
  std::thread sender(Trickle, std::ref(loop.peer), std::string(40, 'x') + "\r\n");
  ZString line;
  EXPECT_FALSE(socket.ReadLine(line, false));
  sender.join();
  EXPECT_EQ(socket.GetErrorCode(), ZChannel::Timeout);
  EXPECT_LT(line.GetLength(), 40);  // given up before the line was complete
}

TEST_F(LineSocketTest, TrickledLineWithinTheLimitIsRead) {
  EXPECT_EQ(socket.GetLineTimeLimit().GetMilliseconds(), 60 * 1000);
  socket.SetReadLineTimeout(ZTimeInterval(200));
  for (const ZTimeInterval& limit : {ZTimeInterval(0, 5), ZInfinite}) {
    socket.SetLineTimeLimit(limit);
    std::thread sender(Trickle, std::ref(loop.peer), std::string("USER anonymous\r\n"));
    ZString line;
    EXPECT_TRUE(socket.ReadLine(line, false));
    sender.join();
    EXPECT_STREQ(line.Text(), "USER anonymous");
  }
  EXPECT_EQ(socket.GetLineTimeLimit().GetMilliseconds(), ZInfinite.GetMilliseconds());
}

TEST_F(LineSocketTest, BytesAfterALineAreServedByRead) {
  loop.Send("header\r\nBODY");
  ZString line;
  ASSERT_TRUE(socket.ReadLine(line, false));
  char buffer[16] = {};
  ASSERT_TRUE(socket.Read(buffer, sizeof buffer));
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(socket.GetLastReadCount())), "BODY");
  EXPECT_FALSE(socket.HasBufferedInput());

  socket.UnRead('x');
  socket.UnRead(ZString("yz"));
  EXPECT_TRUE(socket.HasBufferedInput());
  ASSERT_TRUE(socket.Read(buffer, 2));
  EXPECT_EQ(std::string(buffer, 2), "xy");
}

TEST_F(LineSocketTest, WriteLineSplitsTextAtLineEnds) {
  ASSERT_TRUE(socket.WriteLine("one"));
  ASSERT_TRUE(socket.WriteLine("two\r\nthree"));
  ASSERT_TRUE(socket.WriteLine("four\nfive"));
  EXPECT_EQ(loop.Bytes(29), "one\r\ntwo\r\nthree\r\nfour\r\nfive\r\n");
}

// ---------------------------------------------------------------- commands

TEST_F(LineSocketTest, ReadCommandFindsTheWordIgnoringCase) {
  loop.Send("helo there  friend\r\nQUIT\r\nNOPE x y\r\n");
  ZIndex number = -1;
  ZString arguments;
  ASSERT_TRUE(socket.ReadCommand(number, arguments));
  EXPECT_EQ(number, 0);
  EXPECT_STREQ(arguments.Text(), "there  friend");
  ASSERT_TRUE(socket.ReadCommand(number, arguments));
  EXPECT_EQ(number, 2);
  EXPECT_TRUE(arguments.IsEmpty());
  ASSERT_TRUE(socket.ReadCommand(number, arguments));
  EXPECT_EQ(number, ZApplicationSocket::kUnknownCommand);
  EXPECT_STREQ(arguments.Text(), "NOPE x y");
}

TEST_F(LineSocketTest, WriteCommandFormsAndRefusals) {
  EXPECT_FALSE(socket.WriteCommand(3, "x"));
  EXPECT_FALSE(socket.WriteCommand(-1, "x"));
  EXPECT_FALSE(socket.WriteCommand(1, "a\r\nQUIT"));
  EXPECT_TRUE(socket.WriteCommand(2, ""));
  EXPECT_TRUE(socket.WriteCommand(1, "FROM:<a@b>"));
  EXPECT_EQ(loop.Bytes(23), "QUIT\r\nMAIL FROM:<a@b>\r\n");
  EXPECT_EQ(socket.AppendCommandName("RSET"), 3);
  EXPECT_TRUE(socket.WriteCommand(3, ""));
  EXPECT_EQ(loop.Bytes(6), "RSET\r\n");
}

// ---------------------------------------------------------------- responses

TEST_F(LineSocketTest, WriteResponseSingleAndMultiLine) {
  struct Case {
    int32_t code;
    const char* info;
    const char* wire;
  };
  const Case cases[] = {
      {200, "fine", "200 fine\r\n"},
      {230, "a\r\nb", "230-a\r\n230 b\r\n"},
      {220, "Welcome\nto the host\nready", "220-Welcome\r\n220-to the host\r\n220 ready\r\n"},
      {214, "x\r\n y\rz", "214-x\r\n214- y\r\n214 z\r\n"},
      {5, "low", "005 low\r\n"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(socket.WriteResponse(c.code, c.info));
    EXPECT_EQ(loop.Reply(), c.wire) << c.info;
  }
}

TEST_F(LineSocketTest, ReadResponseSingleMultiAndWithoutCode) {
  loop.Send("220-Welcome\r\n220-to the host\r\n220 ready\r\n");
  int32_t code = 0;
  ZString info;
  ASSERT_TRUE(socket.ReadResponse(code, info));
  EXPECT_EQ(code, 220);
  EXPECT_STREQ(info.Text(), "Welcome\nto the host\nready");

  // Bare LF ends, a text line without the code kept whole, a line of
  // another code inside the response.
  loop.Send("211-Features:\n MDTM\n500 not the end\n211 End\n");
  ASSERT_TRUE(socket.ReadResponse(code, info));
  EXPECT_EQ(code, 211);
  EXPECT_STREQ(info.Text(), "Features:\n MDTM\n500 not the end\nEnd");

  loop.Send("no code here\r\n331 single\r\n");
  ASSERT_TRUE(socket.ReadResponse());
  EXPECT_EQ(socket.GetLastResponseCode(), -1);
  EXPECT_STREQ(socket.GetLastResponseInfo().Text(), "no code here");
  ASSERT_TRUE(socket.ReadResponse(code, info));
  EXPECT_EQ(code, 331);
  EXPECT_STREQ(info.Text(), "single");
}

TEST_F(LineSocketTest, MultiLineResponseReadBackIsWrittenWellFormed) {
  loop.Send("230-first\r230-second\r\n   indented\n230 done\n");
  ASSERT_TRUE(socket.ReadResponse());
  ASSERT_TRUE(socket.WriteResponse(socket.GetLastResponseCode(), socket.GetLastResponseInfo()));
  EXPECT_EQ(loop.Reply(), "230-first\r\n230-second\r\n230-   indented\r\n230 done\r\n");
}

TEST_F(LineSocketTest, ReadResponseFailsWhenTheResponseIsCutShort) {
  socket.SetReadTimeout(ZTimeInterval(200));
  loop.Send("220-Welcome\r\n");
  EXPECT_FALSE(socket.ReadResponse());
}

TEST_F(LineSocketTest, ExecuteCommandAnswersTheResponseCode) {
  loop.Send("250 ok\r\n");
  EXPECT_EQ(socket.ExecuteCommand(0, "host"), 250);
  EXPECT_EQ(loop.Bytes(11), "HELO host\r\n");
  EXPECT_EQ(socket.ExecuteCommand(7, "x"), -1);
}

TEST(TelnetCommands, DroppedFromCommandLines) {
  const struct {
    std::string line;
    std::string kept;
  } cases[] = {
      {"NOOP", "NOOP"},
      {"\xff\xf4\xff\xf2"
       "ABOR",
       "ABOR"},                                  // Interrupt Process, Synch
      {"AB\xff\xfb\x01OR", "ABOR"},              // WILL with its option
      {"\xff\xfa\x18\x01\xff\xf0STAT", "STAT"},  // a subnegotiation
      {"STOR a\xff\xff"
       "b",
       "STOR a\xff"
       "b"},                 // a doubled IAC is the byte
      {"NOOP\xff", "NOOP"},  // cut off at the end
      {"\xff\xfa\x18 never ended", ""},
  };
  for (const auto& c : cases) {
    const ZString kept =
        ZApplicationSocket::DropTelnetCommands(ZString(c.line.data(), static_cast<ZIndex>(c.line.size())));
    EXPECT_EQ(std::string(kept.Text(), static_cast<size_t>(kept.GetLength())), c.kept) << c.line;
  }
}

// ---------------------------------------------------------------- FTP server side

class FtpServerTest : public ::testing::Test {
 protected:
  std::string Command(ZFTPSocket& socket, const std::string& line, bool* kept = nullptr) {
    loop.Send(line + "\r\n");
    const bool going = socket.ProcessCommand();
    if (kept != nullptr) *kept = going;
    return loop.Reply();
  }

  Loopback loop;
};

TEST_F(FtpServerTest, GreetsAndTakesThePeerAsDefaultDataPort) {
  ZFTPSocket socket(loop.listener, "host FTP ready");
  ASSERT_TRUE(socket.IsOpen());
  EXPECT_EQ(loop.Reply(), "220 host FTP ready\r\n");
  EXPECT_EQ(socket.GetState(), ZFTPSocket::NeedUser);
  EXPECT_EQ(socket.GetDataHost(), ZIPAddress(127, 0, 0, 1));
  ZIPAddress address;
  uint16_t port = 0;
  ASSERT_TRUE(loop.peer.GetLocalAddress(address, port));
  EXPECT_EQ(socket.GetDataPort(), port);
  EXPECT_EQ(socket.GetType(), 'A');
  EXPECT_EQ(socket.GetStructure(), 'F');
  EXPECT_EQ(socket.GetMode(), 'S');
  EXPECT_EQ(socket.GetCommandCount(), 33);
  EXPECT_STREQ(socket.GetCommandName(ZFTPSocket::NOOP).Text(), "NOOP");
}

TEST_F(FtpServerTest, LoginStateMachineAndItsTexts) {
  ZFTPSocket socket(loop.listener, "ready");
  loop.Reply();
  struct Step {
    const char* line;
    const char* reply;
    ZFTPSocket::State state;
  };
  const Step steps[] = {
      {"CWD /", "530 Please login with USER and PASS.\r\n", ZFTPSocket::NeedUser},
      {"NOOP", "200 \"NOOP\" command successful.\r\n", ZFTPSocket::NeedUser},
      {"PASS secret", "503 Login with USER first.\r\n", ZFTPSocket::NeedUser},
      {"XYZZY foo", "500 \"XYZZY foo\" command unrecognised.\r\n", ZFTPSocket::NeedUser},
      {"user anonymous", "331 Password required for anonymous.\r\n", ZFTPSocket::NeedPassword},
      {"USER bob", "331 Password required for bob.\r\n", ZFTPSocket::NeedPassword},
      {"PASS secret", "230 User bob logged in.\r\n", ZFTPSocket::LoggedIn},
      {"CWD /", "502 Command \"CWD\" not implemented\r\n", ZFTPSocket::LoggedIn},
      {"ACCT x", "532 Need account for storing files\r\n", ZFTPSocket::LoggedIn},
      {"STOU", "502 Command \"STOU\" not implemented\r\n", ZFTPSocket::LoggedIn},
  };
  for (const Step& step : steps) {
    bool kept = false;
    EXPECT_EQ(Command(socket, step.line, &kept), step.reply) << step.line;
    EXPECT_TRUE(kept) << step.line;
    EXPECT_EQ(socket.GetState(), step.state) << step.line;
  }
  EXPECT_STREQ(socket.GetUserName().Text(), "bob");
  bool kept = true;
  EXPECT_EQ(Command(socket, "QUIT", &kept), "221 Goodbye\r\n");
  EXPECT_FALSE(kept);
}

TEST_F(FtpServerTest, TelnetCommandsBeforeACommandAreDropped) {
  ZFTPSocket socket(loop.listener, "ready");
  loop.Reply();
  EXPECT_EQ(Command(socket, "\xff\xf4\xff\xf2NOOP"), "200 \"NOOP\" command successful.\r\n");
}

TEST_F(FtpServerTest, SystemTypeNamesTheHost) {
  ZFTPSocket socket(loop.listener, "ready");
  loop.Reply();
  const std::string reply = Command(socket, "SYST");
  EXPECT_EQ(reply.rfind("215 ", 0), 0u) << reply;
  EXPECT_EQ(reply, "215 " + std::string(socket.SystemTypeText().Text()) + "\r\n");
}

// Refuses the first passwords (all of them by default), as a site given
// wrong passwords would.
class RefusingSocket : public ZFTPSocket {
 public:
  using ZFTPSocket::ZFTPSocket;
  bool AuthoriseUser(const ZString&, const ZString&, bool&) override { return refusals-- <= 0; }
  int refusals = 1000;
};

TEST_F(FtpServerTest, FourthRefusedPasswordEndsTheConnection) {
  RefusingSocket socket(loop.listener, "ready");
  loop.Reply();
  Command(socket, "USER eve");
  for (int attempt = 1; attempt <= 4; ++attempt) {
    bool kept = false;
    EXPECT_EQ(Command(socket, "PASS guess", &kept), "530 Login incorrect.\r\n");
    EXPECT_EQ(kept, attempt < 4) << attempt;
    EXPECT_EQ(socket.GetFailedPasswords(), attempt);
    EXPECT_EQ(socket.GetState(), ZFTPSocket::NeedPassword);
  }
}

TEST_F(FtpServerTest, AcceptedPasswordResetsTheFailures) {
  RefusingSocket socket(loop.listener, "ready");
  socket.refusals = 3;
  loop.Reply();
  Command(socket, "PASS early");  // 503: not counted
  EXPECT_EQ(socket.GetFailedPasswords(), 0);
  Command(socket, "USER amy");
  for (int attempt = 0; attempt < 3; ++attempt) Command(socket, "PASS wrong");
  EXPECT_EQ(socket.GetFailedPasswords(), 3);
  EXPECT_EQ(Command(socket, "PASS right"), "230 User amy logged in.\r\n");
  EXPECT_EQ(socket.GetFailedPasswords(), 0);
  EXPECT_EQ(socket.GetState(), ZFTPSocket::LoggedIn);
}

TEST_F(FtpServerTest, PortArguments) {
  ZFTPSocket socket(loop.listener, "ready");
  loop.Reply();
  EXPECT_EQ(Command(socket, "PORT 10,0,0,1,4,1"), "200 \"PORT\" command successful.\r\n");
  EXPECT_EQ(socket.GetDataHost(), ZIPAddress(10, 0, 0, 1));
  EXPECT_EQ(socket.GetDataPort(), 1025);
  const char* const malformed[] = {"PORT 10,0,0,1,4",     "PORT 10,0,0,256,4,1", "PORT",
                                   "PORT a,b,c,d,e,f",    "PORT 10,0,0,1,4,-1",  "PORT 10,,0,1,4,1",
                                   "PORT 1000,0,0,1,4,1", "PORT 10.0.0.1,4,1"};
  for (const char* line : malformed) {
    EXPECT_EQ(Command(socket, line), "501 \"PORT\" : syntax error in parameters or arguments.\r\n") << line;
    EXPECT_EQ(socket.GetDataPort(), 1025) << line;
  }
}

TEST(FtpHostPort, ParsesSixFieldsAndIgnoresMore) {
  ZIPAddress address;
  uint16_t port = 0;
  EXPECT_TRUE(ZFTPSocket::ParseHostPort("192,168,1,2,255,255,7", address, port));
  EXPECT_EQ(address, ZIPAddress(192, 168, 1, 2));
  EXPECT_EQ(port, 65535);
  EXPECT_TRUE(ZFTPSocket::ParseHostPort("0,0,0,0,0,0", address, port));
  EXPECT_EQ(port, 0);
  EXPECT_FALSE(ZFTPSocket::ParseHostPort("1,2,3,4,5,6x", address, port));
  EXPECT_FALSE(ZFTPSocket::ParseHostPort("", address, port));
}

TEST_F(FtpServerTest, TypeModeAndStructure) {
  ZFTPSocket socket(loop.listener, "ready");
  loop.Reply();
  struct Case {
    const char* line;
    const char* reply;
  };
  const Case cases[] = {
      {"TYPE i", "200 \"TYPE\" command successful.\r\n"},
      {"TYPE A N", "200 \"TYPE\" command successful.\r\n"},
      {"TYPE E", "504 TYPE not implemented for parameter E\r\n"},
      {"TYPE l 8", "504 TYPE not implemented for parameter l 8\r\n"},
      {"TYPE", "501 \"TYPE\" : syntax error in parameters or arguments.\r\n"},
      {"TYPE X", "501 \"TYPE\" : syntax error in parameters or arguments.\r\n"},
      {"MODE s", "200 \"MODE\" command successful.\r\n"},
      {"MODE B", "504 MODE not implemented for parameter B\r\n"},
      {"MODE Z", "501 \"MODE\" : syntax error in parameters or arguments.\r\n"},
      {"STRU f", "200 \"STRU\" command successful.\r\n"},
      {"STRU R", "504 STRU not implemented for parameter R\r\n"},
      {"STRU", "501 \"STRU\" : syntax error in parameters or arguments.\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(Command(socket, c.line), c.reply) << c.line;
  EXPECT_EQ(socket.GetType(), 'A');
  EXPECT_EQ(socket.GetMode(), 'S');
  EXPECT_EQ(socket.GetStructure(), 'F');
  Command(socket, "TYPE I");
  EXPECT_EQ(socket.GetType(), 'I');
}

TEST_F(FtpServerTest, PassiveModeListensWhereTheClientReachedUs) {
  ZFTPSocket socket(loop.listener, "ready");
  loop.Reply();
  Command(socket, "USER u");
  Command(socket, "PASS p");
  const std::string reply = Command(socket, "PASV");
  unsigned a = 0, b = 0, c = 0, d = 0, high = 0, low = 0;
  ASSERT_EQ(std::sscanf(reply.c_str(), "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u)", &a, &b, &c, &d, &high, &low), 6)
      << reply;
  EXPECT_EQ(
      ZIPAddress(static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c), static_cast<uint8_t>(d)),
      ZIPAddress(127, 0, 0, 1));
  ASSERT_NE(socket.GetPassiveSocket(), nullptr);
  EXPECT_EQ(socket.GetPassiveSocket()->GetPort(), high * 256 + low);
  ZTCPSocket data(static_cast<uint16_t>(high * 256 + low));
  EXPECT_TRUE(data.Connect("127.0.0.1"));

  // A later PORT gives the passive socket up.
  Command(socket, "PORT 127,0,0,1,40,0");
  EXPECT_EQ(socket.GetPassiveSocket(), nullptr);
}

TEST_F(FtpServerTest, OverLongCommandLineEndsTheConnection) {
  ZFTPSocket socket(loop.listener, "ready");
  loop.Reply();
  bool kept = true;
  EXPECT_EQ(Command(socket, "USER " + std::string(9000, 'a'), &kept), "500 Command line too long.\r\n");
  EXPECT_FALSE(kept);
}

TEST_F(FtpServerTest, DispatchOfAnUnregisteredNumberIsReported) {
  ZFTPSocket socket(loop.listener, "ready");
  AssertCapture capture;
  EXPECT_TRUE(socket.DispatchCommand(40, ""));
  EXPECT_EQ(AssertCapture::LastMessage(), "Registered FTP command not handled");
}

// ---------------------------------------------------------------- FTP client side

// Accepts one connection on listener and writes greeting to it.
class Greeter {
 public:
  Greeter(ZTCPSocket& listener, std::string greeting)
      : thread([this, &listener, greeting] {
          if (connection.Accept(listener)) {
            connection.Write(greeting.data(), static_cast<ZIndex>(greeting.size()));
          }
        }) {}
  ~Greeter() { thread.join(); }

  ZTCPSocket connection;

 private:
  std::thread thread;
};

TEST(FtpClient, ConnectNeedsTheGreeting220) {
  ZTCPSocket listener;
  ASSERT_TRUE(listener.Listen(5, 0, true));
  {
    ZFTPSocket client(listener.GetPort());
    Greeter greeter(listener, "220-hello\r\n220 ready\r\n");
    ASSERT_TRUE(client.Connect("127.0.0.1"));
    EXPECT_TRUE(client.IsOpen());
    EXPECT_EQ(client.GetLastResponseCode(), 220);
    EXPECT_EQ(client.GetDataHost(), ZIPAddress(127, 0, 0, 1));
    EXPECT_EQ(client.GetDataPort(), listener.GetPort() - 1);
  }
  {
    ZFTPSocket client(listener.GetPort());
    Greeter greeter(listener, "421 too busy\r\n");
    EXPECT_FALSE(client.Connect("127.0.0.1"));
    EXPECT_FALSE(client.IsOpen());
  }
}

TEST(FtpClient, SendPortWritesTheAddressAndReadsTheReply) {
  ZTCPSocket listener;
  ASSERT_TRUE(listener.Listen(5, 0, true));
  ZFTPSocket client(listener.GetPort());
  Greeter greeter(listener, "220 ready\r\n200 port ok\r\n");
  ASSERT_TRUE(client.Connect("127.0.0.1"));
  ASSERT_TRUE(client.SendPort(ZIPAddress(10, 1, 2, 3), 1025));
  EXPECT_EQ(client.GetLastResponseCode(), 200);
  char buffer[64] = {};
  greeter.connection.SetReadTimeout(ZTimeInterval(0, 5));
  std::string sent;
  while (sent.find("\r\n") == std::string::npos && greeter.connection.Read(buffer, sizeof buffer)) {
    sent.append(buffer, static_cast<size_t>(greeter.connection.GetLastReadCount()));
  }
  EXPECT_EQ(sent, "PORT 10,1,2,3,4,1\r\n");
}

}  // namespace
