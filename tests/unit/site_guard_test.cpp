// The administration site's defences on their own: the login back-off on a
// clock the test moves, the names the site answers to, the user names the
// log shows, the password field that never shows the password, and the
// built-in login's notice.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "../../moatkeep/admin_pages.h"
#include "../../moatkeep/site_guard.h"
#include "support/captured_log.h"
#include "zunder/base64.h"

namespace {

class BackoffTest : public ::testing::Test {
 protected:
  // Starts at an arbitrary fixed time; only the test moves it.
  ZTime now{int64_t{1'700'000'000}};
  CapturedLog log;
  LoginBackoff backoff{log, [this] { return now; }};
  const ZIPAddress client{10, 0, 0, 1};
  const ZIPAddress other{10, 0, 0, 2};

  void Advance(int64_t seconds) { now = now + ZTimeInterval(0, seconds); }
  void Fail(int times, const ZIPAddress& from) {
    for (int i = 0; i < times; ++i) backoff.Failed(from, "admin");
  }
  int CountLines(const std::string& text) const {
    int count = 0;
    for (const std::string& line : log.Lines()) count += line == text ? 1 : 0;
    return count;
  }
};

TEST_F(BackoffTest, TenFailuresInTheWindowLockOutForAMinute) {
  for (int i = 0; i < LoginBackoff::kFailureLimit - 1; ++i) {
    backoff.Failed(client, "admin");
    Advance(60);  // nine failures over eight minutes
  }
  EXPECT_FALSE(backoff.IsLockedOut(client));
  backoff.Failed(client, "admin");
  EXPECT_TRUE(backoff.IsLockedOut(client));
  EXPECT_FALSE(backoff.IsLockedOut(other));
  EXPECT_EQ(CountLines("2 Failed login as \"admin\" from 10.0.0.1."), 10);
  EXPECT_EQ(CountLines("2 Logins from 10.0.0.1 refused for 60 seconds after 10 failed logins."), 1);
  Advance(59);
  EXPECT_TRUE(backoff.IsLockedOut(client));
  Advance(1);
  EXPECT_FALSE(backoff.IsLockedOut(client));
}

TEST_F(BackoffTest, FailuresOlderThanTheWindowDoNotCount) {
  Fail(9, client);
  Advance(LoginBackoff::kWindowSeconds);
  Fail(9, client);
  EXPECT_FALSE(backoff.IsLockedOut(client));
  Fail(1, client);
  EXPECT_TRUE(backoff.IsLockedOut(client));
}

TEST_F(BackoffTest, EachFurtherFailureDoublesTheLockOutUpToAnHour) {
  Fail(10, client);
  Advance(LoginBackoff::kFirstLockSeconds);
  ASSERT_FALSE(backoff.IsLockedOut(client));
  // Each failure as soon as the lock-out before it has ended.
  const int64_t expected[] = {120, 240, 480, 960, 1920, 3600, 3600};
  for (const int64_t seconds : expected) {
    log.Take();
    backoff.Failed(client, "admin");
    Advance(seconds - 1);
    EXPECT_TRUE(backoff.IsLockedOut(client)) << seconds;
    Advance(1);
    EXPECT_FALSE(backoff.IsLockedOut(client)) << seconds;
    const std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("refused for " + std::to_string(seconds) + " seconds"), std::string::npos) << lines[1];
  }
}

TEST_F(BackoffTest, SuccessBeforeTheLimitStartsAfresh) {
  Fail(9, client);
  backoff.Succeeded(client);
  Fail(9, client);
  EXPECT_FALSE(backoff.IsLockedOut(client));
  Fail(1, client);
  EXPECT_TRUE(backoff.IsLockedOut(client));
}

TEST_F(BackoffTest, QuietForAWindowAfterALockOutStartsAfresh) {
  Fail(10, client);
  Advance(LoginBackoff::kFirstLockSeconds + LoginBackoff::kWindowSeconds);
  Fail(9, client);
  EXPECT_FALSE(backoff.IsLockedOut(client));
  Fail(1, client);
  EXPECT_TRUE(backoff.IsLockedOut(client));
  EXPECT_EQ(CountLines("2 Logins from 10.0.0.1 refused for 60 seconds after 10 failed logins."), 2);
}

TEST(Backoff, TheTableIsBoundedAndDropsTheOldest) {
  CapturedLog log;
  ZTime now{int64_t{1'700'000'000}};
  LoginBackoff backoff(
      log, [&now] { return now; }, 3);
  const ZIPAddress first(10, 0, 0, 1);
  for (int i = 0; i < 10; ++i) backoff.Failed(first, "admin");
  ASSERT_TRUE(backoff.IsLockedOut(first));
  for (uint8_t last = 2; last <= 100; ++last) {
    now = now + ZTimeInterval(0, 1);
    backoff.Failed(ZIPAddress(10, 0, 0, last), "admin");
    EXPECT_LE(backoff.GetSize(), 3u);
  }
  EXPECT_EQ(backoff.GetSize(), 3u);
  EXPECT_FALSE(backoff.IsLockedOut(first));
}

TEST(Backoff, ConnectionThreadsCountAtOnce) {
  // Every connection thread of the site counts into the one table.
  CapturedLog log;
  LoginBackoff backoff(log);
  constexpr int kThreads = 4;
  constexpr int kShared = 200;  // addresses every thread fails from, once each
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&backoff, t] {
      const ZIPAddress own(10, 0, 1, static_cast<uint8_t>(t));
      for (int i = 0; i < kShared; ++i) {
        backoff.Failed(ZIPAddress(10, 0, 2, static_cast<uint8_t>(i)), "x");
        if (i < LoginBackoff::kFailureLimit) backoff.Failed(own, "admin");
        backoff.IsLockedOut(own);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(backoff.GetSize(), static_cast<size_t>(kShared + kThreads));
  int lockOuts = 0;
  for (const std::string& line : log.Lines()) lockOuts += line.find(" refused for 60 seconds") != std::string::npos;
  // Only each thread's own address reached the limit, each once; the
  // shared ones had one failure per thread.
  EXPECT_EQ(lockOuts, kThreads);
  for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(backoff.IsLockedOut(ZIPAddress(10, 0, 1, static_cast<uint8_t>(t))));
  EXPECT_FALSE(backoff.IsLockedOut(ZIPAddress(10, 0, 2, 7)));
}

// ---------------------------------------------------------------- names

TEST(GatewayNames, HostsTheSiteAnswersTo) {
  GatewayNames names;
  names.SetConfigured("gw.example.org  Admin.LAN");
  const ZIPAddress connectedTo(203, 0, 113, 7);  // an address no interface here has
  const std::string own = ZSocket::GetHostName().Text();
  struct Case {
    std::string host;
    bool accepted;
  };
  const Case cases[] = {
      {"localhost", true},
      {"LOCALHOST:1082", true},
      {own, true},
      {own + ":80", true},
      {"127.0.0.1", true},
      {"127.0.0.2:1082", true},    // every loopback address is ours
      {"203.0.113.7:1082", true},  // the one the connection came to
      {"gw.example.org", true},
      {"GW.Example.Org.:8080", true},  // absolute form, any port
      {"admin.lan", true},
      {"203.0.113.8", false},
      {"attacker.example", false},
      {"localhost.attacker.example", false},
      {"gw.example.org.attacker.example", false},
      {"127.0.0.1.attacker.example", false},
      {"gw.example.org:http", false},  // a port is a number
      {"localhost:", false},
      {"localhost:123456", false},
      {"[::1]:1082", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(names.Names(c.host.c_str(), connectedTo), c.accepted) << c.host;
  const std::string described = names.Describe(connectedTo).Text();
  for (const char* name : {"localhost", "203.0.113.7", "gw.example.org", "admin.lan", "127.0.0.1"}) {
    EXPECT_NE(described.find(name), std::string::npos) << name << " in " << described;
  }
}

TEST(GatewayNames, ConfiguredNamesAreChecked) {
  const std::pair<const char*, bool> cases[] = {
      {"", true},          {"gw.example.org", true}, {" gw  10.0.0.1\tgateway-2.lan ", true},
      {"bad_name", false}, {"-dash.example", false}, {"dash-.example", false},
      {"a..b", false},     {".example", false},      {"gw.example.org:8080", false},
      {"gw/x", false},     {"[::1]", false},
  };
  for (const auto& [text, accepted] : cases) {
    ZStringArray parsed;
    ZString refused;
    EXPECT_EQ(GatewayNames::ParseNames(text, parsed, refused), accepted) << text;
    if (!accepted) {
      EXPECT_FALSE(refused.IsEmpty()) << text;
    }
  }
  ZStringArray parsed;
  ZString refused;
  EXPECT_FALSE(GatewayNames::ParseNames(std::string(254, 'x').c_str(), parsed, refused));
  EXPECT_TRUE(GatewayNames::ParseNames((std::string(63, 'x') + ".lan").c_str(), parsed, refused));
  EXPECT_FALSE(GatewayNames::ParseNames((std::string(64, 'x') + ".lan").c_str(), parsed, refused));
}

TEST(GatewayNames, TheFormFieldRefusesWhatTheNamesWouldNotTake) {
  CheckedField field(CheckedField::HostNames, "Admin Host Names");
  ZHTML msg;
  msg.Set(ZHTML::BodyContext);
  EXPECT_TRUE(field.Validate("gw.example.org admin.lan", msg));
  EXPECT_FALSE(field.Validate("gw.example.org <b>x</b>", msg));
  const std::string text = msg.Text();
  EXPECT_NE(text.find("\"Admin Host Names\""), std::string::npos) << text;
  EXPECT_NE(text.find("&lt;b&gt;x&lt;/b&gt;"), std::string::npos) << text;
}

// ---------------------------------------------------------------- what the log and the pages show

TEST(SiteGuard, LoggedUserNames) {
  auto basic = [](const char* credentials) { return ("Basic " + ZBase64::Encode(credentials, false)); };
  EXPECT_STREQ(LoggedUserName(basic("root:toor").Text()).Text(), "root");
  EXPECT_STREQ(LoggedUserName(basic("nocolon").Text()).Text(), "nocolon");
  EXPECT_STREQ(LoggedUserName(basic("ev\"il\r\nforged line:x").Text()).Text(), "ev?il??forged line");
  const std::string longName(100, 'n');
  EXPECT_STREQ(LoggedUserName(basic((longName + ":x").c_str()).Text()).Text(), (std::string(64, 'n') + "...").c_str());
}

TEST(SiteGuard, HeadersOfEveryAnswer) {
  ZMIMEInfo open;
  SiteGuard::AddSiteHeaders(open, false);
  EXPECT_STREQ(open.GetString("X-Frame-Options").Text(), "DENY");
  EXPECT_STREQ(open.GetString("X-Content-Type-Options").Text(), "nosniff");
  EXPECT_STREQ(open.GetString("Referrer-Policy").Text(), "same-origin");
  const std::string policy = open.GetString("Content-Security-Policy").Text();
  EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos);
  EXPECT_EQ(policy.find("unsafe"), std::string::npos);
  EXPECT_TRUE(open.GetString("Cache-Control").IsEmpty());
  ZMIMEInfo guarded;
  SiteGuard::AddSiteHeaders(guarded, true);
  EXPECT_STREQ(guarded.GetString("Cache-Control").Text(), "no-store");
}

TEST(SiteGuard, ThePasswordFieldNeverShowsThePassword) {
  KeptPasswordField field("Password", 25);
  field.SetValue("the-stored-secret");
  ZHTML html;
  html.Set(ZHTML::FormContext);
  field.GetHTML(html);
  const std::string text = html.Text();
  EXPECT_EQ(text.find("the-stored-secret"), std::string::npos) << text;
  EXPECT_NE(text.find("TYPE=password NAME=\"Password\""), std::string::npos) << text;
}

TEST(SiteGuard, TheBuiltInLoginIsNamedOnThePages) {
  SetBuiltInLoginNotice(true);
  const std::string shown = ProxyHTML("Global Parameters").Text();
  const std::string help = ProxyHTTPFile::InsertHeader("<BODY>Standard_Moatkeep_Header</BODY>").Text();
  SetBuiltInLoginNotice(false);
  const std::string hidden = ProxyHTML("Global Parameters").Text();
  const char* notice = "The administration login is the built-in default; change it on the";
  EXPECT_NE(shown.find(notice), std::string::npos);
  EXPECT_NE(help.find(notice), std::string::npos);
  EXPECT_EQ(hidden.find(notice), std::string::npos);
}

}  // namespace
