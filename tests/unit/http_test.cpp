// The HTTP server's tables and resource space, Basic authentication, and
// the forms: fields, validation messages, posts and the write-back of a
// configuration form into an INI section.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/assert_capture.h"
#include "support/scratch_directory.h"
#include "zunder/base64.h"
#include "zunder/http.h"
#include "zunder/httpform.h"

namespace {

// A resource that only names itself, to see which one a look-up finds.
class NamedResource : public ZHTTPResource {
 public:
  NamedResource(const char* url, const char* text) : ZHTTPResource(ZURL(url)), label(text) {}
  ZString LoadText(ZHTTPRequest&) override { return label; }
  ZString label;
};

ZString Found(const ZHTTPSpace& space, const char* url) {
  const ZHTTPSpace::ResourcePointer resource = space.FindResource(ZURL(url));
  if (!resource) return "(none)";
  return static_cast<NamedResource&>(*resource).label;
}

// ---------------------------------------------------------------- tables

TEST(HttpStatusTable, EveryRowAsPublished) {
  struct Row {
    int index;
    int number;
    const char* text;
    bool hasBody;
  };
  const Row rows[] = {
      {0, 100, "Information", false},
      {1, 200, "OK", true},
      {2, 201, "Created", true},
      {3, 202, "Accepted", true},
      {4, 204, "No Content", false},
      {5, 301, "Moved Permanently", true},
      {6, 302, "Moved Temporarily", true},
      {7, 304, "Not Modified", false},
      {8, 400, "Bad Request", true},
      {9, 401, "Unauthorised", false},
      {10, 403, "Forbidden", true},
      {11, 404, "Not Found", true},
      {12, 500, "Internal Server Error", true},
      {13, 501, "Not Implemented", true},
      {14, 502, "Bad Gateway", true},
  };
  ASSERT_EQ(sizeof rows / sizeof rows[0], static_cast<size_t>(ZHTTPStatusCount));
  for (const Row& row : rows) {
    const ZHTTPStatusEntry& entry = ZHTTPGetStatus(row.index);
    EXPECT_EQ(entry.number, row.number) << row.index;
    EXPECT_STREQ(entry.text, row.text) << row.index;
    EXPECT_EQ(entry.hasBody, row.hasBody) << row.index;
  }
}

TEST(HttpOriginForm, PathParametersAndQueryWithoutSchemeSiteOrFragment) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://host:8080/a/b.html?x=1&y=a%20b", "/a/b.html?x=1&y=a%20b"},
      {"http://host", "/"},
      {"http://user:pw@host/", "/"},
      {"http://host/dir/page", "/dir/page"},
      {"http://host/a%20b;p?q#frag", "/a%20b;p?q"},
      {"/local?x", "/local?x"},
      // The path and its parameters go on as the client wrote them.
      {"http://host/dir/", "/dir/"},
      {"http://host/a/b/?x=1", "/a/b/?x=1"},
      {"http://host/doc;a=b", "/doc;a=b"},
      {"http://host/doc;v=1+2;x=y?q=1#f", "/doc;v=1+2;x=y?q=1"},
      {"http://host/c++/a%2Fb/", "/c++/a%2Fb/"},
  };
  for (const auto& [url, expected] : cases) {
    EXPECT_STREQ(ZHTTPOriginForm(ZURL(url)).Text(), expected) << url;
  }
}

TEST(HttpURLText, TheURLAsTheClientWroteIt) {
  // Echoed in pages (404, 502, directory titles): every part the client
  // sent but the fragment, which a request line does not carry.
  const std::pair<const char*, const char*> cases[] = {
      {"/dir/", "/dir/"},
      {"/a/b;p=1?q=2", "/a/b;p=1?q=2"},
      {"/x#f", "/x"},
      {"http://host:81/dir/;p?q#f", "http://host:81/dir/;p?q#f"},
  };
  for (const auto& [url, expected] : cases) {
    EXPECT_STREQ(ZHTTPURLText(ZURL(url)).Text(), expected) << url;
  }
}

TEST(HttpStatusTable, IndexOutsideTheTableIsReported) {
  AssertCapture capture;
  EXPECT_EQ(ZHTTPGetStatus(15).number, 500);
  EXPECT_EQ(ZHTTPGetStatus(-1).number, 500);
  EXPECT_EQ(AssertCapture::Count(), 2u);
}

TEST(HttpContentTypes, TableByExtensionIgnoringCase) {
  const std::pair<const char*, const char*> cases[] = {
      {".txt", "text/plain"},
      {".TEXT", "text/plain"},
      {".html", "text/html"},
      {".HTM", "text/html"},
      {".aif", "audio/aiff"},
      {".aiff", "audio/aiff"},
      {".au", "audio/basic"},
      {".snd", "audio/basic"},
      {".wav", "audio/wav"},
      {".GIF", "image/gif"},
      {".xbm", "image/x-bitmap"},
      {".tif", "image/tiff"},
      {".tiff", "image/tiff"},
      {".jpg", "image/jpeg"},
      {".jpe", "image/jpeg"},
      {".JPEG", "image/jpeg"},
      {".avi", "video/avi"},
      {".mpg", "video/mpeg"},
      {".mpeg", "video/mpeg"},
      {".qt", "video/quicktime"},
      {".mov", "video/quicktime"},
      {".png", "application/octet-stream"},
      {"", "application/octet-stream"},
      {".bin", "application/octet-stream"},
  };
  for (const auto& [extension, type] : cases) {
    EXPECT_STREQ(ZHTTPResource::GetContentType(extension).Text(), type) << extension;
  }
}

// ---------------------------------------------------------------- the space

TEST(HttpSpace, FindResourceWalksPathsAndIndexNames) {
  ZHTTPSpace space;
  ASSERT_TRUE(space.AddResource(new NamedResource("/docs", "docs")));
  ASSERT_TRUE(space.AddResource(new NamedResource("/site/index.html", "site index")));
  ASSERT_TRUE(space.AddResource(new NamedResource("/site/Welcome.htm", "site welcome htm")));
  ASSERT_TRUE(space.AddResource(new NamedResource("/site/page.html", "page")));
  ASSERT_TRUE(space.AddResource(new NamedResource("/only/welcome.htm", "only welcome htm")));
  ASSERT_TRUE(space.AddResource(new NamedResource("/both/index.htm", "both index htm")));
  ASSERT_TRUE(space.AddResource(new NamedResource("/both/Welcome.html", "both Welcome")));
  ASSERT_TRUE(space.AddResource(new NamedResource("/both/welcome.html", "both welcome")));

  const std::pair<const char*, const char*> cases[] = {
      {"/docs", "docs"},
      {"/docs/a/b/c.txt", "docs"},  // a resource answers for its subtree
      {"/site/page.html", "page"},
      {"/site", "site index"},  // index.html comes before Welcome.htm
      {"/site/", "site index"},
      {"/only", "only welcome htm"},
      {"/both", "both Welcome"},  // Welcome.html first of all
      {"/both/index.htm", "both index htm"},
      {"/Docs", "(none)"},  // names compare with letter case
      {"/site/missing.html", "(none)"},
      {"/", "(none)"},
      {"/nothing/here", "(none)"},
  };
  for (const auto& [url, expected] : cases) EXPECT_STREQ(Found(space, url).Text(), expected) << url;
}

TEST(HttpSpace, WelcomePageAtTheRoot) {
  ZHTTPSpace space;
  ASSERT_TRUE(space.AddResource(new NamedResource("/welcome.html", "root welcome")));
  EXPECT_STREQ(Found(space, "/").Text(), "root welcome");
  EXPECT_STREQ(Found(space, "http://host/").Text(), "root welcome");
}

TEST(HttpSpace, AddResourceRefusalsAndOverwrite) {
  ZHTTPSpace space;
  ASSERT_TRUE(space.AddResource(new NamedResource("/a/b", "b")));
  NamedResource below("/a/b/c", "below a resource");
  EXPECT_FALSE(space.AddResource(&below));  // a resource sits above
  NamedResource above("/a", "above children");
  EXPECT_FALSE(space.AddResource(&above));  // the node has children
  NamedResource same("/a/b", "second b");
  EXPECT_FALSE(space.AddResource(&same));  // taken, no overwrite
  EXPECT_STREQ(Found(space, "/a/b").Text(), "b");
  // The refused ones still belong to the caller (they are on the stack).
  ASSERT_TRUE(space.AddResource(new NamedResource("/a/b", "new b"), true));
  EXPECT_STREQ(Found(space, "/a/b").Text(), "new b");
}

TEST(HttpSpace, CopiesShareOneTree) {
  ZHTTPSpace space;
  const ZHTTPSpace copy = space;
  ASSERT_TRUE(space.AddResource(new NamedResource("/x", "x")));
  EXPECT_STREQ(Found(copy, "/x").Text(), "x");
}

TEST(HttpSpace, DelResourceRemovesEmptyAncestors) {
  ZHTTPSpace space;
  ASSERT_TRUE(space.AddResource(new NamedResource("/a/b/c", "c")));
  ASSERT_TRUE(space.AddResource(new NamedResource("/a/d", "d")));
  EXPECT_FALSE(space.DelResource(ZURL("/a")));        // has children
  EXPECT_FALSE(space.DelResource(ZURL("/a/b/c/e")));  // runs through a resource
  EXPECT_FALSE(space.DelResource(ZURL("/a/x")));      // missing
  EXPECT_TRUE(space.DelResource(ZURL("/a/b/c")));
  EXPECT_STREQ(Found(space, "/a/b/c").Text(), "(none)");
  // "/a/b" went with it: a resource may now sit at "/a/b" or below "/a".
  EXPECT_TRUE(space.AddResource(new NamedResource("/a/b", "b")));
  EXPECT_TRUE(space.DelResource(ZURL("/a/b")));
  EXPECT_TRUE(space.DelResource(ZURL("/a/d")));
  // "/a" is gone too, so a resource fits there now.
  EXPECT_TRUE(space.AddResource(new NamedResource("/a", "a")));
}

TEST(HttpSpace, ResourceFoundStaysAliveWhenReplaced) {
  ZHTTPSpace space;
  ASSERT_TRUE(space.AddResource(new NamedResource("/page", "old")));
  const ZHTTPSpace::ResourcePointer held = space.FindResource(ZURL("/page"));
  ASSERT_TRUE(space.AddResource(new NamedResource("/page", "new"), true));
  EXPECT_STREQ(static_cast<NamedResource&>(*held).label.Text(), "old");
  EXPECT_STREQ(Found(space, "/page").Text(), "new");
}

// ---------------------------------------------------------------- authority

TEST(HttpSimpleAuth, ValidatesBasicCredentials) {
  const ZHTTPSimpleAuth auth("Admin", "admin", "pebble");
  const ZString good = ZBase64::Encode("admin:pebble", false);
  struct Case {
    ZString header;
    bool valid;
  };
  const Case cases[] = {
      {"Basic " + good, true},
      {"basic " + good, true},                                        // the prefix in any case
      {good, true},                                                   // no prefix: decoded whole
      {"Basic " + ZBase64::Encode(" admin : pebble ", false), true},  // blanks trimmed
      {"Basic " + ZBase64::Encode("admin:Pebble", false), false},
      {"Basic " + ZBase64::Encode("Admin:pebble", false), false},
      {"Basic " + ZBase64::Encode("adminpebble", false), false},
      // The compare runs over the whole text offered: a prefix, a longer
      // text that starts with the secret, or one that repeats it is no match.
      {"Basic " + ZBase64::Encode("admin:pebbl", false), false},
      {"Basic " + ZBase64::Encode("admin:pebblex", false), false},
      {"Basic " + ZBase64::Encode("admin:pebblepebble", false), false},
      {"Basic " + ZBase64::Encode("admin:", false), false},
      {"Basic " + ZBase64::Encode("adminadmin:pebble", false), false},
      {"", false},
  };
  for (const Case& test : cases) EXPECT_EQ(auth.Validate(test.header.Text()), test.valid) << test.header.Text();
  EXPECT_STREQ(auth.GetRealm().Text(), "Admin");
}

TEST(HttpSimpleAuth, EmptyRealmIsReported) {
  AssertCapture capture;
  ZHTTPSimpleAuth auth("", "u", "p");
  EXPECT_EQ(AssertCapture::LastMessage(), "Must have a realm!");
}

// ---------------------------------------------------------------- forms

ZStringToString Posted(std::initializer_list<std::pair<const char*, const char*>> pairs) {
  ZStringToString data(true);
  for (const auto& [name, value] : pairs) data.SetAt(name, value);
  return data;
}

// A form with the fields the configuration pages use.
std::unique_ptr<ZHTTPForm> SampleForm() {
  auto form = std::make_unique<ZHTTPForm>(ZURL("/form"));
  form->Add(new ZHTTPIntegerField("HTTP Port", 1, 65535, 1082, "", "Port"));
  form->Add(new ZHTTPIntegerField("Log Level", 0, 3, 1, "level"));
  form->Add(new ZHTTPStringField("Login", "admin", 20));
  form->Add(new ZHTTPBooleanField("Enabled", true));
  return form;
}

TEST(HttpForm, IntegerBoundsAcceptedAndRefused) {
  struct Case {
    const char* text;
    bool accepted;
  };
  const Case cases[] = {{"0", true}, {"3", true},    {" 2 ", true}, {"-1", false},         {"4", false},
                        {"", false}, {"two", false}, {"2x", false}, {"99999999999", false}};
  for (const Case& test : cases) {
    ZHTTPIntegerField field("Log Level", 0, 3, 1);
    ZHTML msg;
    EXPECT_EQ(field.Validate(test.text, msg), test.accepted) << test.text;
    if (!test.accepted) {
      EXPECT_STREQ(msg.Text(), "The field \"Log Level\" should be between 0 and 3.<BR>");
    }
    field.SetValue(test.text);
    EXPECT_STREQ(field.GetValue().Text(), test.accepted ? ZString(test.text).Trim().Text() : "1") << test.text;
  }
}

TEST(HttpForm, PostOfTheBoundsIsAccepted) {
  auto form = SampleForm();
  ZURL url("/form");
  ZMIMEInfo mime;
  ZHTTPRequest request(url, mime);
  ZHTML msg;
  EXPECT_TRUE(form->Post(request, Posted({{"http port", "65535"}, {"LOG LEVEL", "0"}}), msg));
  EXPECT_EQ(request.code, ZHTTPOK);
  EXPECT_NE(std::string(msg.Text()).find("<TITLE>Accepted New Configuration</TITLE>"), std::string::npos);
  EXPECT_STREQ(form->GetField("HTTP Port")->GetValue().Text(), "65535");
  EXPECT_STREQ(form->GetField("Log Level")->GetValue().Text(), "0");
  EXPECT_STREQ(form->GetField("Login")->GetValue().Text(), "admin");  // not posted: kept
}

TEST(HttpForm, TwoBadFieldsOnOnePageAndNothingChanges) {
  auto form = SampleForm();
  ZURL url("/form");
  ZMIMEInfo mime;
  ZHTTPRequest request(url, mime);
  ZHTML msg;
  EXPECT_FALSE(form->Post(request, Posted({{"HTTP Port", "0"}, {"Log Level", "9"}, {"Login", "root"}}), msg));
  EXPECT_EQ(request.code, ZHTTPBadRequest);
  const std::string page = msg.Text();
  EXPECT_NE(page.find("<TITLE>Error in Request</TITLE>"), std::string::npos);
  EXPECT_NE(page.find("The field \"HTTP Port\" should be between 1 and 65535.<BR>"), std::string::npos);
  EXPECT_NE(page.find("The field \"Log Level\" should be between 0 and 3.<BR>"), std::string::npos);
  EXPECT_NE(page.find("</BODY>"), std::string::npos);
  EXPECT_STREQ(form->GetField("Login")->GetValue().Text(), "admin");
  EXPECT_STREQ(form->GetField("HTTP Port")->GetValue().Text(), "1082");
}

TEST(HttpForm, EmptyPostIsNoContent) {
  auto form = SampleForm();
  ZURL url("/form");
  ZMIMEInfo mime;
  ZHTTPRequest request(url, mime);
  ZHTML msg;
  EXPECT_FALSE(form->Post(request, Posted({}), msg));
  EXPECT_EQ(request.code, ZHTTPNoContent);
  EXPECT_NE(std::string(msg.Text()).find("No parameters changed."), std::string::npos);
}

TEST(HttpForm, SecondFieldOfTheSameNameIsReported) {
  AssertCapture capture;
  auto form = SampleForm();
  form->Add(new ZHTTPStringField("login"));
  EXPECT_EQ(AssertCapture::LastMessage(), "Field already on form!");
  EXPECT_EQ(form->GetFieldCount(), 4);
}

TEST(HttpForm, BuildHTMLOptions) {
  auto form = SampleForm();
  ZHTML page("Settings");
  form->BuildHTML(page, ZHTTPForm::LeaveFormOpen);
  std::string first = page.Text();
  EXPECT_NE(first.find("<FORM METHOD=POST>"), std::string::npos);
  EXPECT_EQ(first.find("Accept"), std::string::npos);  // no buttons yet
  EXPECT_TRUE(page.Is(ZHTML::FormContext));
  // Integers as number boxes with their bounds and value, then the units.
  EXPECT_NE(first.find("<INPUT TYPE=number NAME=\"Log Level\" VALUE=1 MAX=3 MIN=0>  level"), std::string::npos)
      << first;
  EXPECT_NE(first.find("<TD align=right>Port<TD align=left>"), std::string::npos);

  // Fields added later go into a second table of the same form.
  form->Add(new ZHTTPStringField("Extra", "e"));
  form->BuildHTML(page, ZHTTPForm::CloseForm);
  std::string second = std::string(page.Text()).substr(first.size());
  EXPECT_NE(second.find("NAME=\"Extra\""), std::string::npos);
  EXPECT_EQ(second.find("NAME=\"Login\""), std::string::npos);  // already written
  EXPECT_NE(second.find("<INPUT TYPE=submit VALUE=\"Accept\"> <INPUT TYPE=reset VALUE=\"Reset\"> "), std::string::npos);
  EXPECT_NE(second.find("</FORM>"), std::string::npos);
  EXPECT_EQ(second.find("</BODY>"), std::string::npos);
  EXPECT_FALSE(page.Is(ZHTML::FormContext));
  EXPECT_TRUE(page.Is(ZHTML::BodyContext));

  // Option 0 completes the page and serves it.
  auto other = SampleForm();
  ZHTML whole("Other");
  other->BuildHTML(whole, ZHTTPForm::CompletePage);
  EXPECT_NE(std::string(whole.Text()).find("</BODY>"), std::string::npos);
  EXPECT_STREQ(other->GetText().Text(), whole.Text());
}

TEST(HttpForm, PostedValuesAreEscapedInThePage) {
  auto form = SampleForm();
  ZURL url("/form");
  ZMIMEInfo mime;
  ZHTTPRequest request(url, mime);
  ZHTML msg;
  ASSERT_TRUE(form->Post(request, Posted({{"Login", "\"><script>x()</script>"}}), msg));
  ZHTML page("Settings");
  form->BuildHTML(page, ZHTTPForm::CompletePage);
  const std::string text = page.Text();
  EXPECT_EQ(text.find("<script>"), std::string::npos);
  EXPECT_NE(text.find("VALUE=\"&quot;&gt;&lt;script&gt;x()&lt;/script&gt;\""), std::string::npos) << text;
}

TEST(HttpForm, OtherFieldKinds) {
  ZHTTPBooleanField flag("Flag", true);
  EXPECT_STREQ(flag.GetValue().Text(), "T");
  const std::pair<const char*, const char*> settings[] = {{"F", "F"}, {"", "T"}, {"False", "F"}, {"on", "T"}};
  for (const auto& [text, expected] : settings) {
    flag.SetValue(text);
    EXPECT_STREQ(flag.GetValue().Text(), expected) << text;
  }

  const char* const values[] = {"tcp", "udp"};
  const char* const titles[] = {"TCP", "U<D>P"};
  ZStringArray valueList(2, values);
  ZStringArray titleList(2, titles);
  ZHTTPRadioField radio("Kind", valueList, 1, &titleList);
  ZHTTPSelectField select("Proto", valueList, "tcp");
  ZHTML page;
  page << ZHTMLBody() << ZHTMLForm("POST");
  radio.GetHTML(page);
  select.GetHTML(page);
  const std::string text = page.Text();
  EXPECT_NE(text.find("<INPUT TYPE=radio NAME=\"Kind\" VALUE=tcp>TCP<BR>"), std::string::npos) << text;
  EXPECT_NE(text.find("<INPUT TYPE=radio NAME=\"Kind\" VALUE=udp CHECKED>U&lt;D&gt;P<BR>"), std::string::npos);
  EXPECT_NE(text.find("<OPTION SELECTED>tcp<OPTION>udp"), std::string::npos) << text;
}

TEST(HttpForm, HelpLinks) {
  ZHTTPStringField field("Name");
  field.SetHelp("/help.html#name", "Help");
  EXPECT_STREQ(field.GetHelp().Text(), "<A HREF=\"/help.html#name\">Help</A>\r\n");
  field.SetHelp("/help.html", "/q.gif", "?");
  EXPECT_STREQ(field.GetHelp().Text(), "<A HREF=\"/help.html\"><IMG SRC=\"/q.gif\" ALT=\"?\" ALIGN=absmiddle></A>\r\n");
  EXPECT_STREQ(field.GetTitle().Text(), "Name");
}

// ---------------------------------------------------------------- ZHTTPConfig

class HttpConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch.IsMade());
    iniPath = scratch.Path("test.INI");
    WriteFileText(iniPath, "[Globals]\nLog Level=2\n; kept comment\n[Relays]\ntelnet=host\n");
  }

  std::string Ini() { return ReadFileText(iniPath); }

  ScratchDirectory scratch{"httpconf"};
  std::string iniPath;
};

TEST_F(HttpConfigTest, LoadsPostsAndWritesBackIntoTheSection) {
  const ZConfig store("Globals", ZConfig::File, iniPath.c_str());
  ZHTTPConfig config(ZURL("/globals"), "Globals", store);
  config.Add(new ZHTTPIntegerField("Log Level", 0, 3, 1));
  config.Add(new ZHTTPIntegerField("HTTP Port", 1, 65535, 1082));
  config.SetConfigValues();
  EXPECT_STREQ(config.GetField("Log Level")->GetValue().Text(), "2");     // from the file
  EXPECT_STREQ(config.GetField("HTTP Port")->GetValue().Text(), "1082");  // absent: kept

  ZURL url("/globals");
  ZMIMEInfo mime;
  ZHTTPRequest request(url, mime);
  ZHTML msg;
  ASSERT_TRUE(config.Post(request, Posted({{"Log Level", "3"}, {"HTTP Port", "8080"}}), msg));
  EXPECT_EQ(store.GetString("Globals", "Log Level", ""), ZString("3"));
  EXPECT_EQ(store.GetString("Globals", "HTTP Port", ""), ZString("8080"));
  EXPECT_EQ(store.GetString("Relays", "telnet", ""), ZString("host"));
  EXPECT_NE(Ini().find("; kept comment"), std::string::npos);

  // A refused post writes nothing.
  ZHTTPRequest refused(url, mime);
  EXPECT_FALSE(config.Post(refused, Posted({{"Log Level", "7"}, {"HTTP Port", "81"}}), msg));
  EXPECT_EQ(store.GetString("Globals", "HTTP Port", ""), ZString("8080"));
}

TEST_F(HttpConfigTest, NewEntryFields) {
  const ZConfig store("Relays", ZConfig::File, iniPath.c_str());
  ZHTTPConfig config(ZURL("/relays"), "Relays", store);
  config.Add(new ZHTTPStringField("telnet", "host"));
  config.AddNewKeyFields(new ZHTTPStringField("New Key"), new ZHTTPStringField("New Value"));
  EXPECT_EQ(config.GetFieldCount(), 3);

  ZURL url("/relays");
  ZMIMEInfo mime;
  struct Case {
    const char* key;
    const char* value;
    const char* telnet;
  };
  const Case cases[] = {{"smtp", "mail.example", "inside"}, {"", "ignored", "other"}};
  for (const Case& test : cases) {
    ZHTTPRequest request(url, mime);
    ZHTML msg;
    ASSERT_TRUE(
        config.Post(request, Posted({{"New Key", test.key}, {"New Value", test.value}, {"telnet", test.telnet}}), msg));
    EXPECT_EQ(store.GetString("Relays", "telnet", ""), ZString(test.telnet));
  }
  EXPECT_EQ(store.GetString("Relays", "smtp", ""), ZString("mail.example"));
  // The value field is never written under its own name, nor the key field.
  EXPECT_EQ(store.GetString("Relays", "New Value", "absent"), ZString("absent"));
  EXPECT_EQ(store.GetString("Relays", "New Key", "absent"), ZString("absent"));
  EXPECT_EQ(Ini().find("ignored"), std::string::npos);
}

TEST_F(HttpConfigTest, NullNewEntryFieldIsReported) {
  AssertCapture capture;
  ZHTTPConfig config(ZURL("/relays"), "Relays", ZConfig("Relays", ZConfig::File, iniPath.c_str()));
  config.AddNewKeyFields(new ZHTTPStringField("New Key"), nullptr);
  EXPECT_EQ(AssertCapture::Count(), 1u);
  EXPECT_EQ(config.GetFieldCount(), 0);
}

TEST_F(HttpConfigTest, KeysTheStoreCannotReadBackAreRefused) {
  const ZConfig store("Security", ZConfig::File, iniPath.c_str());
  ZHTTPConfig config(ZURL("/security"), "Security", store);
  // A field named by a key that was stored elsewhere (as the overrides of
  // a remote system are named by the relays).
  config.Add(new ZHTTPStringField("[Globals]"));
  config.AddNewKeyFields(new ZHTTPStringField("Originator"), new ZHTTPStringField("Destination"));
  ZURL url("/security");
  ZMIMEInfo mime;
  const std::string before = Ini();
  struct Case {
    const char* name;
    const char* value;
    const char* refusedField;
  };
  const Case cases[] = {
      {"Originator", "[Globals]", "Originator"}, {"Originator", "a=b", "Originator"},
      {"Originator", " 10.0.0.1", "Originator"}, {"Originator", "#10.0.0.1", "Originator"},
      {"[Globals]", "0.0.0.0", "[Globals]"},
  };
  for (const Case& c : cases) {
    ZHTTPRequest request(url, mime);
    ZHTML msg;
    EXPECT_FALSE(config.Post(request, Posted({{c.name, c.value}, {"Destination", "0.0.0.0"}}), msg)) << c.value;
    EXPECT_EQ(request.code, ZHTTPBadRequest) << c.value;
    const std::string page = msg.Text();
    EXPECT_NE(page.find("<TITLE>Error in Request</TITLE>"), std::string::npos);
    EXPECT_NE(page.find(std::string("The field \"") + c.refusedField + "\" cannot be stored as a key"),
              std::string::npos)
        << page;
    EXPECT_EQ(Ini(), before) << c.value;
  }
  // An empty key field adds nothing and is no key; a plain one is written.
  ZHTTPRequest request(url, mime);
  ZHTML msg;
  EXPECT_TRUE(config.Post(request, Posted({{"Originator", ""}, {"Destination", "x"}}), msg));
  EXPECT_TRUE(config.Post(request, Posted({{"Originator", "10.0.0.1"}, {"Destination", "0.0.0.0"}}), msg));
  EXPECT_EQ(store.GetString("Security", "10.0.0.1", ""), ZString("0.0.0.0"));
}

}  // namespace
