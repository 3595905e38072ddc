// ZHTML: the text each element writes in each line-break mode, the implied
// page structure, context checks, the titled page and its restart, and the
// escaping of text that comes from outside.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/assert_capture.h"
#include "zunder/html.h"

namespace {

// What streaming one element writes into a page whose required contexts
// are already open.
std::string Written(std::initializer_list<int> open, const ZHTMLElement& element) {
  ZHTML html;
  for (int context : open) html.Set(context);
  html << element;
  return html.Text();
}

}  // namespace

// ---------------------------------------------------------------- single elements

TEST(HTMLElements, ElementsWithoutState) {
  AssertCapture capture;
  const int body = ZHTML::BodyContext;
  const int form = ZHTML::FormContext;
  const int list = ZHTML::ListContext;
  const int table = ZHTML::TableContext;
  struct Case {
    const char* name;
    std::string written;
    const char* expected;
  };
  const Case cases[] = {
      {"banner", Written({body}, ZHTMLBanner()), "<BANNER>\r\n"},
      {"line break", Written({body}, ZHTMLBreak()), "<BR>\r\n"},
      {"paragraph", Written({body}, ZHTMLParagraph()), "\r\n<P>"},
      {"rule", Written({body}, ZHTMLRule()), "<HR>\r\n"},
      {"target", Written({body}, ZHTMLTarget("top")), "<A NAME=\"top\">"},
      {"image", Written({body}, ZHTMLImage("a.gif")), "<IMG SRC=\"a.gif\">"},
      {"image, all", Written({body}, ZHTMLImage("a.gif", "An A", 10, 20)),
       "<IMG SRC=\"a.gif\" ALT=\"An A\" WIDTH=10 HEIGHT=20>"},
      {"credit", Written({body, ZHTML::BlockQuoteContext}, ZHTMLCredit()), "\r\n<CREDIT>"},
      {"tab", Written({body}, ZHTMLTab(1, 2, 0)), "<TAB ID=1 INDENT=2 TO=0>"},
      {"tab, none", Written({body}, ZHTMLTab()), "<TAB>"},
      {"list item", Written({list}, ZHTMLListItem()), "\r\n<LI>"},
      {"list item skip", Written({list}, ZHTMLListItem(2)), "\r\n<LI SKIP=2>"},
      {"table row", Written({table}, ZHTMLTableRow()), "\r\n<TR>"},
      {"table heading", Written({table}, ZHTMLTableHeading()), "<TH>"},
      {"table data", Written({table}, ZHTMLTableData()), "<TD>"},
      {"table data, attr", Written({table}, ZHTMLTableData().SetAttr("align=right")), "<TD align=right>"},
      {"option", Written({form}, ZHTMLOption()), "<OPTION>"},
      {"option, flags", Written({form}, ZHTMLOption(true, true)), "<OPTION SELECTED DISABLED>"},
      {"text", Written({form}, ZHTMLTextInput("Login", 20, 30, "admin")),
       "<INPUT TYPE=text NAME=\"Login\" SIZE=20 MAXLENGTH=30 VALUE=\"admin\">"},
      {"text, bare", Written({form}, ZHTMLTextInput("n")), "<INPUT TYPE=text NAME=\"n\">"},
      {"password", Written({form}, ZHTMLPasswordInput("Password", 20, 0, "pebble")),
       "<INPUT TYPE=password NAME=\"Password\" SIZE=20 VALUE=\"pebble\">"},
      {"checkbox", Written({form}, ZHTMLCheckBox("On", "T", true)),
       "<INPUT TYPE=checkbox NAME=\"On\" VALUE=T CHECKED>"},
      {"checkbox, unchecked", Written({form}, ZHTMLCheckBox("On")), "<INPUT TYPE=checkbox NAME=\"On\">"},
      {"radio", Written({form}, ZHTMLRadioButton("Mode", "Demand", false)),
       "<INPUT TYPE=radio NAME=\"Mode\" VALUE=Demand>"},
      {"radio, value with blank", Written({form}, ZHTMLRadioButton("Mode", "On demand", true)),
       "<INPUT TYPE=radio NAME=\"Mode\" VALUE=\"On demand\" CHECKED>"},
      {"range", Written({form}, ZHTMLRangeInput("Timeout", 0, 60, 5)),
       "<INPUT TYPE=range NAME=\"Timeout\" VALUE=5 MAX=60 MIN=0>"},
      {"range, size", Written({form}, ZHTMLRangeInput("T", -5, 5, -1, 4)),
       "<INPUT TYPE=range NAME=\"T\" VALUE=-1 MAX=5 MIN=-5 SIZE=4>"},
      {"number", Written({form}, ZHTMLNumberInput("Timeout", 1, 1440, 20)),
       "<INPUT TYPE=number NAME=\"Timeout\" VALUE=20 MAX=1440 MIN=1>"},
      {"file", Written({form}, ZHTMLFileInput("F", "text/plain")),
       "<INPUT TYPE=file NAME=\"F\" ACCEPT=\"text/plain\">"},
      {"image input", Written({form}, ZHTMLImageInput("I", "map.gif")),
       "<INPUT TYPE=image NAME=\"I\" SRC=\"map.gif\">"},
      {"scribble", Written({form}, ZHTMLScribbleInput("S", "pad.gif")),
       "<INPUT TYPE=scribble NAME=\"S\" SRC=\"pad.gif\">"},
      {"reset", Written({form}, ZHTMLResetButton("Reset")), "<INPUT TYPE=reset VALUE=\"Reset\">"},
      {"submit", Written({form}, ZHTMLSubmitButton("Accept")), "<INPUT TYPE=submit VALUE=\"Accept\">"},
      {"submit, named", Written({form}, ZHTMLSubmitButton("Go", "action")),
       "<INPUT TYPE=submit NAME=\"action\" VALUE=\"Go\">"},
      {"disabled", Written({form}, ZHTMLTextInput("n", 0, 0, "", true)), "<INPUT TYPE=text NAME=\"n\" DISABLED>"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.written, c.expected) << c.name;
  EXPECT_EQ(AssertCapture::Count(), 0u);
}

TEST(HTMLElements, ElementsThatOpenAndClose) {
  AssertCapture capture;
  struct Case {
    const char* name;
    std::function<ZHTMLElement*()> make;
    std::vector<int> open;
    int context;
    const char* opening;
    const char* closing;
  };
  const int body = ZHTML::BodyContext;
  const Case cases[] = {
      {"html", [] { return new ZHTMLRoot(); }, {}, ZHTML::HTMLContext, "<HTML>\r\n", "</HTML>\r\n"},
      {"heading 1", [] { return new ZHTMLHeading(1); }, {body}, ZHTML::HeadingContext, "<H1>", "</H1>\r\n"},
      {"heading 6",
       [] { return new ZHTMLHeading(6, "i.gif", 2, 1); },
       {body},
       ZHTML::HeadingContext,
       "<H6 SRC=\"i.gif\" SEQNUM=2 SKIP=1>",
       "</H6 SRC=\"i.gif\" SEQNUM=2 SKIP=1>\r\n"},
      {"preformatted", [] { return new ZHTMLPreformatted(); }, {body}, ZHTML::PreContext, "<PRE>", "</PRE>\r\n"},
      {"preformatted width",
       [] { return new ZHTMLPreformatted(80); },
       {body},
       ZHTML::PreContext,
       "<PRE WIDTH=80>",
       "</PRE WIDTH=80>\r\n"},
      {"note", [] { return new ZHTMLNote(); }, {body}, ZHTML::NoteContext, "<NOTE>\r\n", "</NOTE>\r\n"},
      {"address", [] { return new ZHTMLAddress(); }, {body}, ZHTML::AddressContext, "<ADDRESS>\r\n", "</ADDRESS>\r\n"},
      {"block quote", [] { return new ZHTMLBlockQuote(); }, {body}, ZHTML::BlockQuoteContext, "<BQ>\r\n", "</BQ>\r\n"},
      {"simple list",
       [] { return new ZHTMLList(ZHTMLList::Simple); },
       {body},
       ZHTML::ListContext,
       "<UL PLAIN>\r\n",
       "</UL PLAIN>\r\n"},
      {"bullet list", [] { return new ZHTMLList(); }, {body}, ZHTML::ListContext, "<UL>\r\n", "</UL>\r\n"},
      {"ordered list",
       [] { return new ZHTMLList(ZHTMLList::Ordered, 3, true); },
       {body},
       ZHTML::ListContext,
       "<OL SEQNUM=3 CONTINUE>\r\n",
       "</OL SEQNUM=3 CONTINUE>\r\n"},
      {"list header",
       [] { return new ZHTMLListHeader(); },
       {body, ZHTML::ListContext},
       ZHTML::ListHeaderContext,
       "<LH>",
       "</LH>\r\n"},
      {"definition list",
       [] { return new ZHTMLDefinitionList(); },
       {body},
       ZHTML::ListContext,
       "<DL>\r\n",
       "</DL>\r\n"},
      {"table", [] { return new ZHTMLTable(); }, {body}, ZHTML::TableContext, "<TABLE>\r\n", "</TABLE>\r\n"},
      {"table bordered",
       [] { return new ZHTMLTable(true); },
       {body},
       ZHTML::TableContext,
       "<TABLE BORDER>\r\n",
       "</TABLE BORDER>\r\n"},
      {"form",
       [] { return new ZHTMLForm("POST"); },
       {body},
       ZHTML::FormContext,
       "<FORM METHOD=POST>\r\n",
       "</FORM METHOD=POST>\r\n"},
      {"form, all",
       [] { return new ZHTMLForm("GET", "/x?a=1&b=2", "multipart/form-data", "s.js"); },
       {body},
       ZHTML::FormContext,
       "<FORM METHOD=GET ACTION=\"/x?a=1&amp;b=2\" ENCTYPE=\"multipart/form-data\" SCRIPT=\"s.js\">\r\n",
       "</FORM METHOD=GET ACTION=\"/x?a=1&amp;b=2\" ENCTYPE=\"multipart/form-data\" SCRIPT=\"s.js\">\r\n"},
      {"text area",
       [] { return new ZHTMLTextArea("T", 4, 40); },
       {body, ZHTML::FormContext},
       ZHTML::SelectContext,
       "<TEXTAREA NAME=\"T\" ROWS=4 COLS=40>\r\n",
       "</TEXTAREA NAME=\"T\" ROWS=4 COLS=40>\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZHTML html;
    for (int context : c.open) html.Set(context);
    std::unique_ptr<ZHTMLElement> element(c.make());
    html << *element;
    EXPECT_EQ(std::string(html.Text()), c.opening);
    EXPECT_TRUE(html.Is(c.context));
    html << *element;
    EXPECT_EQ(std::string(html.Text()), std::string(c.opening) + c.closing);
    EXPECT_FALSE(html.Is(c.context));
  }
  EXPECT_EQ(AssertCapture::Count(), 0u);
}

TEST(HTMLElements, ClosingTagsWithoutAttributes) {
  AssertCapture capture;
  ZHTML html;
  html.Set(ZHTML::BodyContext);
  html << ZHTMLHotLink("/help/Relays.html") << "Relays" << ZHTMLHotLink();
  html << ZHTMLForm("POST") << ZHTMLSelect("Remote") << ZHTMLOption(true) << "one" << ZHTMLSelect() << ZHTMLForm();
  EXPECT_STREQ(html,
               "<A HREF=\"/help/Relays.html\">Relays</A>"
               "<FORM METHOD=POST>\r\n<SELECT NAME=\"Remote\">\r\n<OPTION SELECTED>one</SELECT>\r\n</FORM>\r\n");
  EXPECT_EQ(AssertCapture::Count(), 0u);
}

TEST(HTMLElements, DefinitionList) {
  AssertCapture capture;
  ZHTML html("Terms");
  html << ZHTMLDefinitionList() << ZHTMLDefinitionTerm() << "T" << ZHTMLDefinitionItem() << "I"
       << ZHTMLDefinitionList();
  EXPECT_NE(std::string(html.Text()).find("<DL>\r\n<DT>T<DD>I</DL>\r\n"), std::string::npos);
  EXPECT_EQ(AssertCapture::Count(), 0u);
}

// ---------------------------------------------------------------- page structure

TEST(HTMLStructure, TitleIntoAnEmptyPage) {
  ZHTML html;
  html << ZHTMLTitle("Moatkeep");
  EXPECT_STREQ(html, "<HTML>\r\n<HEAD>\r\n<TITLE>Moatkeep</TITLE>\r\n");
  EXPECT_TRUE(html.Is(ZHTML::HTMLContext));
  EXPECT_TRUE(html.Is(ZHTML::HeadContext));
  EXPECT_FALSE(html.Is(ZHTML::TitleContext));
}

TEST(HTMLStructure, TitleInPieces) {
  ZHTML html;
  html << ZHTMLTitle() << "Part" << ZHTMLTitle(" two");
  EXPECT_STREQ(html, "<HTML>\r\n<HEAD>\r\n<TITLE>Part two</TITLE>\r\n");
  EXPECT_FALSE(html.Is(ZHTML::TitleContext));
}

TEST(HTMLStructure, BodyClosesHeadAndEndsThePage) {
  ZHTML html;
  html << ZHTMLTitle("T") << ZHTMLBody() << "text" << ZHTMLBody();
  EXPECT_STREQ(html, "<HTML>\r\n<HEAD>\r\n<TITLE>T</TITLE>\r\n</HEAD>\r\n<BODY>\r\ntext</BODY>\r\n</HTML>\r\n");
  for (int context = 0; context < ZHTML::kContextCount; ++context) EXPECT_FALSE(html.Is(context)) << context;
}

TEST(HTMLStructure, BodyClosesAnOpenTitle) {
  ZHTML html;
  html << ZHTMLTitle() << "T" << ZHTMLBody();
  EXPECT_STREQ(html, "<HTML>\r\n<HEAD>\r\n<TITLE>T</TITLE>\r\n</HEAD>\r\n<BODY>\r\n");
}

TEST(HTMLStructure, BodyAloneOpensHTML) {
  ZHTML html;
  html << ZHTMLBody();
  EXPECT_STREQ(html, "<HTML>\r\n<BODY>\r\n");
  ZHTML head;
  head << ZHTMLHead();
  EXPECT_STREQ(head, "<HTML>\r\n<HEAD>\r\n");
}

TEST(HTMLStructure, TitledPageAndRestart) {
  ZHTML html("404 Not Found");
  const char* start =
      "<HTML>\r\n<HEAD>\r\n<TITLE>404 Not Found</TITLE>\r\n</HEAD>\r\n<BODY>\r\n<H1>404 Not Found</H1>\r\n";
  EXPECT_STREQ(html, start);
  EXPECT_TRUE(html.Is(ZHTML::BodyContext));
  EXPECT_FALSE(html.Is(ZHTML::HeadingContext));
  html << "/missing" << ZHTMLBody();
  EXPECT_EQ(std::string(html.Text()), std::string(start) + "/missing</BODY>\r\n</HTML>\r\n");

  html.Set(ZHTML::FormContext);  // a context left open; the restart clears it
  html = "Accepted New Configuration";
  EXPECT_STREQ(html,
               "<HTML>\r\n<HEAD>\r\n<TITLE>Accepted New Configuration</TITLE>\r\n</HEAD>\r\n<BODY>\r\n"
               "<H1>Accepted New Configuration</H1>\r\n");
  EXPECT_FALSE(html.Is(ZHTML::FormContext));
  html << "more";
  EXPECT_TRUE(std::string(html.Text()).ends_with("</H1>\r\nmore"));

  html = "";
  EXPECT_STREQ(html, "");
  for (int context = 0; context < ZHTML::kContextCount; ++context) EXPECT_FALSE(html.Is(context)) << context;
  html << ZHTMLTitle("again");
  EXPECT_STREQ(html, "<HTML>\r\n<HEAD>\r\n<TITLE>again</TITLE>\r\n");
}

TEST(HTMLStructure, ContextBits) {
  ZHTML html;
  for (int context : {0, 5, 38, 42}) {
    EXPECT_FALSE(html.Is(context));
    html.Set(context);
    EXPECT_TRUE(html.Is(context));
    html.Toggle(context);
    EXPECT_FALSE(html.Is(context));
    html.Toggle(context);
    html.Clear(context);
    EXPECT_FALSE(html.Is(context));
  }
  html.Set(ZHTML::NoContext);  // "none" is never open
  EXPECT_FALSE(html.Is(ZHTML::NoContext));
  EXPECT_FALSE(html.Is(-1));
}

TEST(HTMLStructure, NumbersAndText) {
  ZHTML html;
  html << 42 << " " << -7L << " " << 3u << " " << 2.5 << ' ' << ZString("z");
  EXPECT_STREQ(html, "42 -7 3 2.5 z");
}

// ---------------------------------------------------------------- misuse

TEST(HTMLContextChecks, ElementsOutOfContext) {
  struct Case {
    const char* name;
    std::function<void(ZHTML&)> stream;
    const char* message;
  };
  const Case cases[] = {
      {"TD outside a table", [](ZHTML& h) { h << ZHTMLBody() << ZHTMLTableData(); }, "HTML element out of centext"},
      {"TR outside a table", [](ZHTML& h) { h << ZHTMLBody() << ZHTMLTableRow(); }, "HTML element out of centext"},
      {"break before BODY", [](ZHTML& h) { h << ZHTMLBreak(); }, "HTML element out of centext"},
      {"input outside a form", [](ZHTML& h) { h << ZHTMLBody() << ZHTMLTextInput("n"); },
       "HTML element out of centext"},
      {"option outside a form", [](ZHTML& h) { h << ZHTMLBody() << ZHTMLOption(); }, "HTML element out of centext"},
      {"list item outside a list", [](ZHTML& h) { h << ZHTMLBody() << ZHTMLListItem(); },
       "HTML element out of centext"},
      {"credit outside a quote", [](ZHTML& h) { h << ZHTMLBody() << ZHTMLCredit(); }, "HTML element out of centext"},
      {"title after BODY", [](ZHTML& h) { h << ZHTMLBody() << ZHTMLTitle("x"); }, "HTML element out of centext"},
      {"head after BODY", [](ZHTML& h) { h << ZHTMLBody() << ZHTMLHead(); }, "HTML element out of centext"},
      {"heading 0", [](ZHTML& h) { h << ZHTMLBody() << ZHTMLHeading(0); }, "Bad heading number"},
      {"heading 7", [](ZHTML& h) { h << ZHTMLBody() << ZHTMLHeading(7); }, "Bad heading number"},
      {"item without a term", [](ZHTML& h) { h << ZHTMLBody() << ZHTMLDefinitionList() << ZHTMLDefinitionItem(); },
       "HTML definition term missing"},
      {"term without an item",
       [](ZHTML& h) { h << ZHTMLBody() << ZHTMLDefinitionList() << ZHTMLDefinitionTerm() << ZHTMLDefinitionTerm(); },
       "HTML definition item missing"},
      {"hot link without a URL", [](ZHTML& h) { h << ZHTMLBody() << ZHTMLHotLink(); }, "Invalid parameter"},
      {"image without a source", [](ZHTML& h) { h << ZHTMLBody() << ZHTMLImage(""); }, "Invalid parameter"},
      {"select without a name", [](ZHTML& h) { h << ZHTMLBody() << ZHTMLForm() << ZHTMLSelect(); },
       "Invalid parameter"},
      {"input without a name", [](ZHTML& h) { h << ZHTMLBody() << ZHTMLForm() << ZHTMLCheckBox(""); },
       "Invalid parameter"},
  };
  for (const Case& c : cases) {
    AssertCapture capture;
    ZHTML html;
    c.stream(html);
    const auto reports = AssertCapture::Taken();
    ASSERT_EQ(reports.size(), 1u) << c.name;
    EXPECT_EQ(reports[0].message, c.message) << c.name;
    EXPECT_EQ(reports[0].source, "html") << c.name;
  }
}

TEST(HTMLContextChecks, PageCarriesOnAfterAReport) {
  AssertCapture capture;
  ZHTML html;
  html << ZHTMLBody() << ZHTMLTableData() << "cell";
  EXPECT_EQ(AssertCapture::Count(), 1u);
  EXPECT_STREQ(html, "<HTML>\r\n<BODY>\r\n<TD>cell");
}

// ---------------------------------------------------------------- escaping

TEST(HTMLEscape, EscapeFunction) {
  EXPECT_STREQ(ZHTML::Escape("<script>alert('x')</script> & \"q\""),
               "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;q&quot;");
  EXPECT_STREQ(ZHTML::Escape("plain text 1.2"), "plain text 1.2");
  EXPECT_STREQ(ZHTML::Escape(""), "");
  EXPECT_STREQ(ZHTML::Escape(nullptr), "");
  EXPECT_STREQ(ZHTML::Escape("&amp;"), "&amp;amp;");  // text, not markup: escaped again
}

TEST(HTMLEscape, OutsideTextNeverBecomesMarkup) {
  // A host name from a reverse look-up, a URL from a request, a configured
  // value: wherever an element takes text, none of it comes out as a tag or
  // leaves its quoted attribute.
  AssertCapture capture;
  const char* hostile = "\"><script>x</script><a b='";
  ZHTML html(hostile);
  html.Set(ZHTML::FormContext);
  html << ZHTMLHotLink(hostile) << ZHTML::Escape(hostile) << ZHTMLHotLink();
  html << ZHTMLImage(hostile, hostile);
  html << ZHTMLTextInput(hostile, 0, 0, hostile) << ZHTMLCheckBox("c", hostile) << ZHTMLRadioButton("r", hostile);
  html << ZHTMLSubmitButton(hostile) << ZHTMLForm("<x>", hostile);
  html << ZHTMLHeading(2, hostile) << ZHTMLHeading(2);
  const std::string page = html.Text();
  EXPECT_EQ(page.find("<script"), std::string::npos) << page;
  EXPECT_EQ(page.find("<a b"), std::string::npos) << page;
  EXPECT_EQ(page.find("'"), std::string::npos) << page;
  EXPECT_NE(page.find("<TITLE>&quot;&gt;&lt;script&gt;"), std::string::npos) << page;
  EXPECT_EQ(AssertCapture::Count(), 0u);
}
