// The administration pages' own logic: the help-file header, the cross-site
// test of form posts, the two field kinds of the relay table, the texts of
// the status page's link times, and the renumbering of remote systems when
// one is removed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "../../moatkeep/admin_pages.h"
#include "../../moatkeep/control_page.h"
#include "zunder/config.h"

TEST(AdminHelpFile, OnlyTheFirstMarkerIsReplaced) {
  const ZString text = "<BODY>\r\nStandard_Moatkeep_Header\r\n<P>Standard_Moatkeep_Header</BODY>";
  const std::string result = ProxyHTTPFile::InsertHeader(text).Text();
  EXPECT_EQ(result.find("Standard_Moatkeep_Header"), result.rfind("Standard_Moatkeep_Header"));
  EXPECT_NE(result.find("<P>Standard_Moatkeep_Header</BODY>"), std::string::npos);
  EXPECT_EQ(result.rfind("<BODY>\r\n<TABLE>\r\n<TR>\r\n<TD rowspan=3>\r\n"
                         "<IMG SRC=\"moatkeep.gif\" ALT=\"Moatkeep!\" WIDTH=245 HEIGHT=58>\r\n<TD>Common Version ",
                         0),
            0u);
  EXPECT_NE(result.find("\r\n</TABLE>\r\n\r\n<P>"), std::string::npos);
}

TEST(AdminHelpFile, WithoutMarkerUnchanged) {
  const ZString text = "<HTML><BODY>plain</BODY></HTML>";
  EXPECT_STREQ(ProxyHTTPFile::InsertHeader(text).Text(), text.Text());
}

TEST(AdminCrossSite, OriginAndRefererAgainstHost) {
  struct Case {
    const char* host;
    const char* origin;
    const char* referer;
    bool crossSite;
  };
  const Case cases[] = {
      {"127.0.0.1:1082", "", "", true},                         // a post that names no page
      {"127.0.0.1:1082", "http://127.0.0.1:1082", "", false},   // our own page
      {"Gateway:1082", "http://gateway:1082", "", false},       // host names without letter case
      {"gateway", "http://gateway", "", false},                 // default port both sides
      {"127.0.0.1:1082", "http://127.0.0.1:8080", "", true},    // another port
      {"127.0.0.1:1082", "http://attacker.example", "", true},  // another host
      {"127.0.0.1:1082", "null", "", true},                     // an opaque page
      {"127.0.0.1:1082", "", "http://127.0.0.1:1082/globals.html", false},
      {"127.0.0.1:1082", "", "http://attacker.example/x.html", true},
      {"127.0.0.1:1082", "http://attacker.example", "http://127.0.0.1:1082/", true},  // Origin decides
      {"", "http://127.0.0.1:1082", "", true},                                        // nothing to compare with
  };
  for (const Case& c : cases) {
    ZMIMEInfo mime;
    if (*c.host != 0) mime.SetAt("Host", c.host);
    if (*c.origin != 0) mime.SetAt("Origin", c.origin);
    if (*c.referer != 0) mime.SetAt("Referer", c.referer);
    EXPECT_EQ(IsCrossSitePost(mime), c.crossSite) << c.host << " / " << c.origin << " / " << c.referer;
  }
}

TEST(AdminFields, SocketSpecification) {
  struct Case {
    const char* text;
    bool accepted;
  };
  const Case cases[] = {{"", true},         {"(ASK)", true},  {"127.0.0.1:23", true},    {"10.0.0.1", true},
                        {"(SOCKS)", false}, {"(FTP)", false}, {"127.0.0.1:99999", false}};
  for (const Case& c : cases) {
    CheckedField field(CheckedField::RelayDestination, "Destination");
    ZHTML msg;
    msg.Set(ZHTML::BodyContext);
    EXPECT_EQ(field.Validate(c.text, msg), c.accepted) << c.text;
    if (!c.accepted) {
      EXPECT_STREQ(msg.Text(), "Invalid host/socket specification for \"Destination\".<BR>\r\n");
    }
  }
}

TEST(AdminFields, RestrictionPattern) {
  const std::pair<const char*, bool> cases[] = {
      {"", true},       {"192.168.1.0", true},  {"10.0.0.1:23", true}, {"0.0.0.0", true},
      {"(ASK)", false}, {"192.168.1.*", false}, {"10.0.0.0/8", false}, {"host.invalid", false},
  };
  for (const auto& [text, accepted] : cases) {
    CheckedField field(CheckedField::RestrictionPattern, "Originator");
    ZHTML msg;
    msg.Set(ZHTML::BodyContext);
    EXPECT_EQ(field.Validate(text, msg), accepted) << text;
    EXPECT_STREQ(msg.Text(), accepted ? "" : "Invalid host/socket specification for \"Originator\".<BR>\r\n") << text;
  }
}

TEST(AdminFields, ServiceDescription) {
  ZHTML msg;
  msg.Set(ZHTML::BodyContext);
  CheckedField field(CheckedField::ServiceDescription, "New relay service");
  EXPECT_TRUE(field.Validate("", msg));
  EXPECT_TRUE(field.Validate("telnet", msg));
  EXPECT_TRUE(field.Validate("5353/udp", msg));
  EXPECT_TRUE(msg.IsEmpty());
  EXPECT_FALSE(field.Validate("no-such-service-here", msg));
  EXPECT_NE(std::string(msg.Text()).find("<BR>\r\n"), std::string::npos);
}

TEST(AdminControlPage, ConnectedTimeText) {
  struct Case {
    int64_t seconds;
    const char* text;
  };
  const Case cases[] = {
      {2 * 3600 + 5 * 60 + 10, "2 hours and 5 minutes"},  // seconds hidden while hours show
      {40, " 40 seconds"},
      {5 * 60 + 3, " 5 minutes and 3 seconds"},
      {3600, "1 hours"},
      {0, ""},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(ControlPage::ConnectedText(ZTimeInterval(c.seconds * 1000)).Text(), c.text) << c.seconds;
  }
}

TEST(AdminControlPage, RemainingTimeText) {
  EXPECT_STREQ(ControlPage::RemainingText(ZTimeInterval(0, 20, 3)).Text(), "3 minutes and 20 seconds");
  EXPECT_STREQ(ControlPage::RemainingText(ZTimeInterval(0, 0, 7)).Text(), "7 minutes");
  EXPECT_STREQ(ControlPage::RemainingText(ZTimeInterval(0, 9)).Text(), " 9 seconds");
}

TEST(AdminPages, PageNameOfSection) {
  EXPECT_STREQ(ConfigPage::PageName("Globals").Text(), "globals.html");
  EXPECT_STREQ(ConfigPage::PageName("Remote2").Text(), "remote2.html");
}
