// The status page against a simulated service: what it shows of the
// dial-up link, the hosts and the links, and the answers to its buttons.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control_page.h"
#include "zunder/html.h"
#include "zunder/url.h"

namespace {

class FakeDialUp : public DialUpControl {
 public:
  PageReply RequestHangUp() override {
    calls.push_back("hang up");
    return reply;
  }
  PageReply RequestConnect(const ZString& remoteName) override {
    calls.push_back(std::string("connect ") + remoteName.Text());
    return reply;
  }
  bool IsRemoteCurrent() override { return current; }
  ZString GetCurrentName() override { return name; }
  ZTime GetConnectTime() override { return connectTime; }
  ZTimeInterval GetInactivityRemaining() override { return remaining; }
  ZStringList GetRemoteNames() override { return names; }

  bool current = false;
  ZString name;
  ZTime connectTime{int64_t{0}};
  ZTimeInterval remaining{0};
  ZStringList names;
  PageReply reply;
  std::vector<std::string> calls;
};

class FakeService : public StatusPageService {
 public:
  DialUpControl& GetDialUp() override { return dialUp; }
  HostRegistry& GetHosts() override { return hosts; }
  ZIndex CountActiveSockets() const override { return activeSockets; }

  FakeDialUp dialUp;
  HostRegistry hosts;
  ZIndex activeSockets = 0;
};

struct Shown {
  std::string page;
  std::string refresh;
};

Shown Show(ControlPage& page) {
  const ZURL url("control.html");
  const ZMIMEInfo mime;
  ZHTTPRequest request(url, mime);
  ZString text;
  page.OnLoadedText(request, text);
  const ZString* refresh = request.outMIME.GetAt(ZString("Refresh"));
  return {text.Text(), refresh != nullptr ? refresh->Text() : ""};
}

std::string Press(ControlPage& page, const std::vector<std::pair<const char*, const char*>>& fields) {
  const ZURL url("control.html");
  const ZMIMEInfo mime;
  ZHTTPRequest request(url, mime);
  ZStringToString data(true);
  for (const auto& [key, value] : fields) data.SetAt(ZString(key), ZString(value));
  ZHTML msg;
  EXPECT_TRUE(page.Post(request, data, msg));
  return msg.Text();
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

const ZHTTPSimpleAuth kAuthority("Moatkeep", "admin", "pebble");

TEST(ControlPage, ShowsTheLinkTheHostsAndTheOpenLinks) {
  FakeService service;
  service.dialUp.current = true;
  service.dialUp.name = "isp<1>";
  service.dialUp.connectTime = ZTime(ZTime::Now().GetSeconds() - (2 * 3600 + 5 * 60 + 30));
  service.dialUp.remaining = ZTimeInterval(0, 20, 3);
  service.hosts.Register(ZIPAddress(127, 0, 0, 1), ZTimeInterval(0, 0, 60));
  service.activeSockets = 3;
  ControlPage page(service, kAuthority);
  const Shown shown = Show(page);
  EXPECT_EQ(shown.refresh, "30");
  EXPECT_TRUE(Has(shown.page,
                  "The system has been connected for 2 hours and 5 minutes to isp&lt;1&gt;, with 3 minutes "
                  "and 20 seconds till disconnect."))
      << shown.page;
  EXPECT_TRUE(Has(shown.page, "Disconnect"));
  EXPECT_TRUE(Has(shown.page, "  Local Address  "));
  EXPECT_TRUE(Has(shown.page, "NAME=\"127.0.0.1\""));
  EXPECT_TRUE(Has(shown.page, "3 connections active."));

  service.dialUp.remaining = ZTimeInterval(0);
  service.activeSockets = 1;
  const std::string hangingUp = Show(page).page;
  EXPECT_TRUE(Has(hangingUp, "to isp&lt;1&gt; and is disconnecting."));
  EXPECT_TRUE(Has(hangingUp, "1 connection active."));
}

TEST(ControlPage, WithoutALinkOffersTheRemoteSystems) {
  FakeService service;
  ControlPage page(service, kAuthority);
  std::string shown = Show(page).page;
  EXPECT_TRUE(Has(shown, "The system has no remote access connections programmed."));
  EXPECT_TRUE(Has(shown, "There are no active hosts connected at present."));
  EXPECT_TRUE(Has(shown, "There are no active connections."));

  service.dialUp.names.Append(ZString("alpha"));
  service.dialUp.names.Append(ZString("b<eta"));
  shown = Show(page).page;
  EXPECT_TRUE(Has(shown, "The system has no remote access connections active."));
  EXPECT_TRUE(Has(shown, ">alpha"));
  EXPECT_TRUE(Has(shown, ">b&lt;eta"));
  EXPECT_FALSE(Has(shown, "b<eta"));
  EXPECT_TRUE(Has(shown, "Connect"));
}

TEST(ControlPage, ButtonsAnswerWithTheRequestsReply) {
  FakeService service;
  ControlPage page(service, kAuthority);
  service.dialUp.reply = PageReply{"Request Error", "Not currently connected."};
  std::string answer = Press(page, {{"Submit", "Disconnect"}});
  EXPECT_TRUE(Has(answer, "<TITLE>Request Error</TITLE>")) << answer;
  EXPECT_TRUE(Has(answer, "Not currently connected.<BR>")) << answer;

  // The name comes from the form and goes back in the reply: escaped (the
  // quotes around it too, as everywhere text is escaped).
  service.dialUp.reply = PageReply{"Request Error", "No remote system named \"x<y\"."};
  answer = Press(page, {{"Submit", "Connect"}, {"Remotes", "x<y"}});
  EXPECT_TRUE(Has(answer, "No remote system named &quot;x&lt;y&quot;.<BR>")) << answer;
  EXPECT_EQ(service.dialUp.calls, (std::vector<std::string>{"hang up", "connect x<y"}));

  service.hosts.Register(ZIPAddress(127, 0, 0, 1), ZTimeInterval(0, 0, 60));
  answer = Press(page, {{"127.0.0.1", "Release"}});
  EXPECT_TRUE(Has(answer, "<TITLE>Request Accepted</TITLE>")) << answer;
  EXPECT_TRUE(Has(answer, "Released user \"")) << answer;
  EXPECT_EQ(service.hosts.Count(), 0);
}

}  // namespace
