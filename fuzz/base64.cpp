// ZBase64 decoding of arbitrary text, whole and in two pieces, and the
// encode/decode round trip of arbitrary bytes in both line-end styles.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "zunder/base64.h"

namespace {

std::string Bytes(const ZBaseArray& array) {
  const auto* bytes = static_cast<const char*>(array.GetPointer());
  return bytes != nullptr ? std::string(bytes, static_cast<size_t>(array.GetSize())) : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const auto length = static_cast<ZIndex>(size);

  // Decoding in one go and in two pieces split anywhere gives the same.
  ZBase64 whole;
  whole.StartDecoding();
  whole.ProcessDecoding(text, length);
  const bool wholePerfect = whole.IsPerfect();
  const std::string wholeBytes = Bytes(whole.GetDecodedData());
  FUZZ_CHECK(wholeBytes.size() <= size * 3 / 4 + 3, "decoded data is bounded by the input");

  const ZIndex split = size > 0 ? static_cast<ZIndex>(data[0] % (size + 1)) : 0;
  ZBase64 pieces;
  pieces.StartDecoding();
  if (!pieces.ProcessDecoding(text, split)) pieces.ProcessDecoding(text + split, length - split);
  // The verdict first: handing the data over starts decoding afresh.
  FUZZ_CHECK(pieces.IsPerfect() == wholePerfect, "decoding in pieces gives the same verdict");
  FUZZ_CHECK(Bytes(pieces.GetDecodedData()) == wholeBytes, "decoding in pieces gives the same bytes");

  // The text forms stop at a NUL byte.
  const std::string asText = FuzzText(data, size);
  ZBaseArray decoded(1);
  ZBase64::Decode(asText.c_str(), decoded);
  (void)ZBase64::Decode(asText.c_str());

  // Any bytes survive encoding and decoding, with either line end.
  for (bool crlf : {true, false}) {
    const ZString encoded = ZBase64::EncodeBuffer(data, length, crlf);
    ZBaseArray back(1);
    FUZZ_CHECK(ZBase64::Decode(encoded.Text(), back), "an encoded text decodes perfectly");
    FUZZ_CHECK(Bytes(back) == std::string(text, size), "encoding round trip");
  }
  return 0;
}
