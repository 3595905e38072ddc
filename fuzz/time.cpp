// ZTime's date parser on arbitrary text, from a string and from a stream
// (the HTTP forms: RFC 1123, RFC 850, asctime, and the freer ones).
// Property: a parsed time that the RFC 1123 form can show reads back from
// that form to the same second, in UTC and in a zone east of it.
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz_check.h"
#include "zunder/time.h"

namespace {

// The range the calendar functions cover (1970 to 2038).
bool Representable(int64_t seconds) { return seconds >= 0 && seconds <= 0x7fffffff - 14 * 3600; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = FuzzText(data, size);
  ZTime time(int64_t{0});
  const bool parsed = time.Parse(text.c_str());

  // The stream form reads the same date (and gives back what follows it).
  std::istringstream in(text);
  ZTime streamed(int64_t{0});
  streamed.ReadFrom(in);
  if (parsed) FUZZ_CHECK(streamed == time, "stream and text parse agree");

  if (parsed && Representable(time.GetSeconds())) {
    for (int zone : {0, 330}) {
      const ZString written = time.AsString(ZTime::RFC1123, zone);
      ZTime back(int64_t{0});
      FUZZ_CHECK(back.Parse(written.Text()), "the RFC 1123 form parses");
      FUZZ_CHECK(back == time, "the RFC 1123 form reads back to the same second");
    }
  }
  // A pattern is configured text too; any one is written without harm.
  if (text.size() <= 256) (void)time.AsString(text.c_str(), 0);
  return 0;
}
