// ZURL parsing, escaping and SplitQueryVars on arbitrary text. Properties:
// a written URL parses back to the same fields and, written again, gives
// the same text; TranslateString and
// UntranslateString are inverse; SplitQueryVars never stores more variables
// than allowed.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "zunder/url.h"

namespace {

// The query as AsString writes it: it stays escaped, but a "?" and line
// breaks are escaped on the way out.
std::string WrittenQuery(const ZString& query) {
  std::string out;
  for (const char* p = query.Text(); *p != '\0'; ++p) {
    switch (*p) {
      case '?': out += "%3F"; break;
      case '\r': out += "%0D"; break;
      case '\n': out += "%0A"; break;
      default: out += *p;
    }
  }
  return out;
}

bool SamePath(const ZStringArray& left, const ZStringArray& right) {
  if (left.GetSize() != right.GetSize()) return false;
  for (ZIndex i = 0; i < left.GetSize(); ++i) {
    if (left[i] != right[i]) return false;
  }
  return true;
}

// AsString writes what Parse reads back, apart from the normalisations the
// class documents: an empty scheme reads back as "http", a port equal to its
// scheme's default is left out, and with a site the path is absolute.
void CheckRoundTrip(const ZURL& url) {
  const ZString written = url.AsString(ZURL::FullForm);
  ZURL back(written.Text());
  const ZString expectedScheme = url.GetScheme().IsEmpty() ? ZString("http") : url.GetScheme();
  const uint16_t expectedPort = url.GetPort() == ZURL::GetDefaultPort(url.GetScheme().Text()) ? 0 : url.GetPort();
  const bool site = !url.GetUsername().IsEmpty() || !url.GetPassword().IsEmpty() || !url.GetHostname().IsEmpty() ||
                    url.GetPort() != 0;
  const bool expectedAbsolute = url.IsAbsolute() || site || url.GetPath().GetSize() == 0;
  FUZZ_CHECK(back.GetScheme() == expectedScheme, "scheme survives AsString");
  FUZZ_CHECK(back.GetUsername() == url.GetUsername(), "user name survives AsString");
  FUZZ_CHECK(back.GetPassword() == url.GetPassword(), "password survives AsString");
  FUZZ_CHECK(back.GetHostname() == url.GetHostname(), "host name survives AsString");
  FUZZ_CHECK(back.GetPort() == expectedPort, "port survives AsString");
  FUZZ_CHECK(SamePath(back.GetPath(), url.GetPath()), "path survives AsString");
  FUZZ_CHECK(back.IsAbsolute() == expectedAbsolute, "absoluteness survives AsString");
  FUZZ_CHECK(back.GetParameters() == url.GetParameters(), "parameters survive AsString");
  FUZZ_CHECK(back.GetQuery() == WrittenQuery(url.GetQuery()).c_str(), "query survives AsString");
  FUZZ_CHECK(back.GetFragment() == url.GetFragment(), "fragment survives AsString");
  // Written once, the text no longer changes: what was written is written
  // again as it was read.
  FUZZ_CHECK(ZURL(back.AsString().Text()).AsString() == back.AsString(), "a written URL is written again the same");
  // Written parts never hold a byte that could end a request line.
  for (const char* p = written.Text(); *p != '\0'; ++p) {
    FUZZ_CHECK(*p != '\r' && *p != '\n', "no line break in a written URL");
  }
}

void CheckQueryVars(const char* query) {
  ZStringToString all;
  ZURL::SplitQueryVars(query, all);
  FUZZ_CHECK(all.GetSize() <= ZURL::kMaxQueryVariables, "default variable bound");
  constexpr ZIndex kFew = 3;
  ZStringToString few;
  const bool complete = ZURL::SplitQueryVars(query, few, kFew);
  FUZZ_CHECK(few.GetSize() <= kFew, "small variable bound");
  // Whatever fits in the small bound is also stored in the large one.
  if (complete) FUZZ_CHECK(few.GetSize() == all.GetSize(), "bounds agree when nothing was dropped");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ZURL url;
  url.Parse(reinterpret_cast<const char*>(data), static_cast<ZIndex>(size));
  CheckRoundTrip(url);
  (void)url.AsString(ZURL::PathForm);
  CheckQueryVars(url.GetQuery().Text());

  const std::string text = FuzzText(data, size);
  CheckQueryVars(text.c_str());
  for (int kind : {ZURL::PathKind, ZURL::QueryKind}) {
    const ZString escaped = ZURL::TranslateString(text.c_str(), kind);
    FUZZ_CHECK(ZURL::UntranslateString(escaped.Text()) == text.c_str(), "escaping is undone");
  }
  return 0;
}
