// ZRemoteConnection against a phonebook of simulated modem entries (copies
// of tests/fixtures/phonebook/modem) in a temporary directory.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/assert_capture.h"
#include "support/scratch_directory.h"
#include "zunder/remote.h"

namespace fs = std::filesystem;

namespace {

class Phonebook : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch.IsMade());
    directory = scratch.Path();
    for (const char* name :
         {"connecting", "busy", "nodialtone", "noanswer", "nocarrier", "portinuse", "garbled", "hanging", ".default"}) {
      Install(name);
    }
    ZRemoteConnection::SetPhonebookDirectory(directory.c_str());
    ZRemoteConnection::SetDialTimeout(ZTimeInterval(0, 30));
  }

  void TearDown() override {
    ZRemoteConnection::SetPhonebookDirectory("");
    ZRemoteConnection::SetDialTimeout(ZTimeInterval(0));
  }

  void Install(const char* name) {
    const fs::path target = fs::path(directory) / name;
    fs::copy_file(fs::path(ZUNDER_TEST_FIXTURES) / "phonebook" / "modem", target);
    fs::permissions(target, fs::perms::owner_all);
  }

  // Every call the entries received, one "name arguments" line each.
  std::vector<std::string> Calls() const {
    std::vector<std::string> lines;
    std::ifstream log(fs::path(directory) / "calls.log");
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
  }

  void SetState(const char* name, const char* state) {
    std::ofstream(fs::path(directory) / (std::string(name) + ".state")) << state << "\n";
  }

  ScratchDirectory scratch{"zunder-phonebook"};
  std::string directory;
};

TEST_F(Phonebook, DialsAnEntryAndHangsUp) {
  ZRemoteConnection connection;
  EXPECT_EQ(connection.GetStatus(), ZRemoteConnection::Idle);
  ASSERT_TRUE(connection.Open("connecting"));
  EXPECT_EQ(connection.GetLastError(), 0u);
  EXPECT_EQ(connection.GetRemoteName(), ZString("connecting"));
  EXPECT_EQ(connection.GetStatus(), ZRemoteConnection::Connected);
  connection.Close();
  EXPECT_FALSE(connection.HasConnection());
  EXPECT_EQ(connection.GetStatus(), ZRemoteConnection::Idle);
  const std::vector<std::string> expected = {"connecting status", "connecting dial", "connecting status",
                                             "connecting hangup"};
  EXPECT_EQ(Calls(), expected);
}

TEST_F(Phonebook, AdoptsALinkThatIsAlreadyUpWithoutDialling) {
  SetState("connecting", "connected");
  ZRemoteConnection connection;
  ASSERT_TRUE(connection.Open("connecting"));
  EXPECT_EQ(connection.GetStatus(), ZRemoteConnection::Connected);
  const std::vector<std::string> expected = {"connecting status", "connecting status"};
  EXPECT_EQ(Calls(), expected);
}

TEST_F(Phonebook, ANumberIsDialledThroughTheDefaultEntry) {
  ZRemoteConnection connection;
  ASSERT_TRUE(connection.Open(".5550123"));
  const std::vector<std::string> expected = {".default status 5550123", ".default dial 5550123"};
  EXPECT_EQ(Calls(), expected);
}

struct FailureCase {
  const char* entry;
  uint32_t error;
  ZRemoteConnection::Status status;
};

TEST_F(Phonebook, TheLastLineOfAFailedDialNamesTheError) {
  const std::vector<FailureCase> cases = {
      {"busy", 676, ZRemoteConnection::LineBusy},       {"nodialtone", 680, ZRemoteConnection::NoDialTone},
      {"noanswer", 678, ZRemoteConnection::NoAnswer},   // lower case, blank line after it
      {"nocarrier", 679, ZRemoteConnection::NoAnswer},  // mixed case
      {"portinuse", 602, ZRemoteConnection::PortInUse}, {"garbled", 651, ZRemoteConnection::GeneralFailure},
      {"absent", 623, ZRemoteConnection::MissingEntry},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.entry);
    ZRemoteConnection connection;
    errno = 0;
    EXPECT_FALSE(connection.Open(c.entry));
    EXPECT_EQ(connection.GetLastError(), c.error);
    EXPECT_EQ(errno, static_cast<int>(c.error));
    EXPECT_FALSE(connection.HasConnection());
    EXPECT_EQ(connection.GetStatus(), c.status);
  }
}

TEST_F(Phonebook, ABusyLineStaysBusyUntilTheNextOpen) {
  ZRemoteConnection connection;
  EXPECT_FALSE(connection.Open("busy"));
  EXPECT_EQ(connection.GetStatus(), ZRemoteConnection::LineBusy);
  connection.Close();  // nothing held: nothing to run, the error stays
  EXPECT_EQ(connection.GetStatus(), ZRemoteConnection::LineBusy);
  ASSERT_TRUE(connection.Open("connecting"));
  EXPECT_EQ(connection.GetStatus(), ZRemoteConnection::Connected);
  for (const std::string& call : Calls()) EXPECT_NE(call, "busy hangup");
}

TEST_F(Phonebook, AMissingEntryRunsNothing) {
  ZRemoteConnection connection;
  EXPECT_FALSE(connection.Open("absent"));
  EXPECT_EQ(connection.GetStatus(), ZRemoteConnection::MissingEntry);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(Phonebook, CloseWithoutAConnectionDoesNothing) {
  ZRemoteConnection connection;
  connection.Close();
  EXPECT_EQ(connection.GetStatus(), ZRemoteConnection::Idle);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(Phonebook, NamesBeyondTheLimitsFailWithoutRunningAnything) {
  // Installed under a long name, the entry would connect if it were run.
  const std::string longEntry(20, 'c');
  Install(longEntry.c_str());
  const std::string longNumber = "." + std::string(128, '5');
  const std::string longestNumber = "." + std::string(127, '5');

  ZRemoteConnection entry;
  EXPECT_FALSE(entry.Open(longEntry.c_str()));
  EXPECT_EQ(entry.GetStatus(), ZRemoteConnection::MissingEntry);
  ZRemoteConnection number;
  EXPECT_FALSE(number.Open(longNumber.c_str()));
  EXPECT_EQ(number.GetLastError(), 87u);
  EXPECT_EQ(number.GetStatus(), ZRemoteConnection::GeneralFailure);
  EXPECT_TRUE(Calls().empty());

  // At the limit a number is still dialled.
  ZRemoteConnection longest;
  EXPECT_TRUE(longest.Open(longestNumber.c_str()));
}

TEST_F(Phonebook, NamesThatAreNoEntryFailAsMissing) {
  for (const char* name : {"", "sub/connecting"}) {
    SCOPED_TRACE(name);
    ZRemoteConnection connection;
    EXPECT_FALSE(connection.Open(name));
    EXPECT_EQ(connection.GetStatus(), ZRemoteConnection::MissingEntry);
  }
  // A '.' without a number has nothing to dial.
  ZRemoteConnection noNumber;
  EXPECT_FALSE(noNumber.Open("."));
  EXPECT_EQ(noNumber.GetLastError(), 87u);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(Phonebook, AHangingEntryIsKilledAfterTheBound) {
  ZRemoteConnection::SetDialTimeout(ZTimeInterval(0, 1));
  ZRemoteConnection connection;
  EXPECT_FALSE(connection.Open("hanging"));
  EXPECT_EQ(connection.GetLastError(), 651u);
  EXPECT_EQ(connection.GetStatus(), ZRemoteConnection::GeneralFailure);
  // Killed half-way, it is told to hang up.
  const std::vector<std::string> expected = {"hanging status", "hanging dial", "hanging hangup"};
  EXPECT_EQ(Calls(), expected);
}

TEST_F(Phonebook, StatusOfAHeldLinkFollowsTheEntry) {
  ZRemoteConnection connection;
  ASSERT_TRUE(connection.Open("connecting"));
  SetState("connecting", "dialling");
  EXPECT_EQ(connection.GetStatus(), ZRemoteConnection::Dialling);
  SetState("connecting", "IDLE");
  EXPECT_EQ(connection.GetStatus(), ZRemoteConnection::Idle);
  // An entry that can no longer be run cannot tell its state.
  fs::remove(fs::path(directory) / "connecting");
  EXPECT_EQ(connection.GetStatus(), ZRemoteConnection::GeneralFailure);
}

TEST_F(Phonebook, ReopeningAnotherNameHangsUpFirst) {
  ZRemoteConnection connection;
  ASSERT_TRUE(connection.Open("connecting"));
  EXPECT_TRUE(connection.Open(".5550123"));
  const std::vector<std::string> calls = Calls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[2], "connecting hangup");
}

TEST_F(Phonebook, DestroyingTheObjectHangsUp) {
  {
    ZRemoteConnection connection;
    ASSERT_TRUE(connection.Open("connecting"));
  }
  EXPECT_EQ(Calls().back(), "connecting hangup");
}

TEST_F(Phonebook, ListsTheEntriesInNameOrderWithoutHiddenFiles) {
  std::ofstream(fs::path(directory) / "notes.txt") << "not executable\n";
  fs::create_directory(fs::path(directory) / "subdir");
  const ZStringArray names = ZRemoteConnection::GetAvailableNames();
  std::vector<std::string> listed;
  for (ZIndex i = 0; i < names.GetSize(); ++i) listed.push_back(names[i].Text());
  const std::vector<std::string> expected = {"busy",     "connecting", "garbled",    "hanging",
                                             "noanswer", "nocarrier",  "nodialtone", "portinuse"};
  EXPECT_EQ(listed, expected);
}

TEST(RemoteConnectionTest, AMissingPhonebookListsNothing) {
  ZRemoteConnection::SetPhonebookDirectory("/nonexistent/zunder-phonebook");
  EXPECT_EQ(ZRemoteConnection::GetAvailableNames().GetSize(), 0);
  ZRemoteConnection::SetPhonebookDirectory("");
}

TEST(RemoteConnectionTest, ComparesAndHashesByRemoteName) {
  ZRemoteConnection::SetPhonebookDirectory("/nonexistent/zunder-phonebook");
  ZRemoteConnection a;
  ZRemoteConnection b;
  a.Open("alpha");
  b.Open("beta");
  EXPECT_EQ(a.Compare(b), LessThan);
  EXPECT_EQ(b.Compare(a), GreaterThan);
  ZRemoteConnection a2;
  a2.Open("alpha");
  EXPECT_EQ(a.Compare(a2), EqualTo);
  EXPECT_EQ(a.Hash(), ZString("alpha").Hash());
  ZRemoteConnection::SetPhonebookDirectory("");

  AssertCapture capture;
  EXPECT_NE(a.Compare(ZString("alpha")), EqualTo);
  EXPECT_EQ(AssertCapture::Count(), 1u);
}

TEST(RemoteConnectionTest, ModemResponsesMapToErrorsAndStatuses) {
  EXPECT_EQ(ZRemoteConnection::ErrorOfDialResponse("busy"), 676u);
  EXPECT_EQ(ZRemoteConnection::ErrorOfDialResponse("BUSY now"), 651u);
  EXPECT_EQ(ZRemoteConnection::ErrorOfDialResponse(""), 651u);
  EXPECT_EQ(ZRemoteConnection::StatusOfError(633), ZRemoteConnection::PortInUse);
  EXPECT_EQ(ZRemoteConnection::StatusOfError(0), ZRemoteConnection::Idle);
  EXPECT_EQ(ZRemoteConnection::StatusOfError(9999), ZRemoteConnection::GeneralFailure);
}

}  // namespace
