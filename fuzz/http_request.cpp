// The request reader of the HTTP server over a real loopback connection:
// ZHTTPSocket::ProcessCommand reads the request line, the version, the
// header block and the body (Content-Length, or to the end for HTTP/0.9)
// under small bounds taken from the input, and hands the request to one
// handler or answers with an error page. Properties: at most one outcome
// per request; a request handed on lies within every bound; a declared
// body arrives exactly; bodies are only those of HTTP/1.x POSTs or of
// HTTP/0.9; refusals are 4xx.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "loopback.h"
#include "zunder/http.h"

namespace {

class RecordingSocket : public ZHTTPSocket {
 public:
  RecordingSocket(ZIPSocket& listener, const ZHTTPSpace& space, const ZHTTPLimits& bounds)
      : ZHTTPSocket(listener, space), bounds(bounds) {
    SetLimits(bounds);
  }

  int outcomes = 0;
  int errorCode = 0;  // the status index given to OnError

  bool OnGET(const ZURL&, const ZMIMEInfo& mime) override { return Handed(mime, nullptr); }
  bool OnHEAD(const ZURL&, const ZMIMEInfo& mime) override { return Handed(mime, nullptr); }
  bool OnPOST(const ZURL&, const ZMIMEInfo& mime, const ZStringToString& data) override {
    FUZZ_CHECK(data.GetSize() <= bounds.maxFormVariables, "form variables are bounded");
    return Handed(mime, nullptr);
  }
  bool OnProxy(ZIndex command, const ZURL&, const ZMIMEInfo& mime, const std::string& body) override {
    FUZZ_CHECK(command == GET || command == HEAD || command == POST, "a proxied command is in the table");
    return Handed(mime, &body);
  }
  // The unknown word's page comes through OnError, which counts it.
  bool OnUnknown(const ZString& commandText) override {
    FUZZ_CHECK(commandText.GetLength() <= bounds.maxLineLength, "an unknown request line is bounded");
    return ZHTTPSocket::OnUnknown(commandText);
  }
  bool OnError(int code, const ZString& extra) override {
    errorCode = code;
    ++outcomes;
    // The answer goes to the peer, which drains it.
    return ZHTTPSocket::OnError(code, extra);
  }

 private:
  // A request handed on; body is known only to the proxy hook.
  bool Handed(const ZMIMEInfo& mime, const std::string* body) {
    ++outcomes;
    FUZZ_CHECK(mime.GetSize() <= bounds.maxHeaderFields, "the header fields are bounded");
    int64_t headerBytes = 0;
    for (ZIndex i = 0; i < mime.GetSize(); ++i) {
      FUZZ_CHECK(mime.GetKeyAt(i)->GetLength() <= bounds.maxLineLength, "a header name is bounded");
      headerBytes += mime.GetKeyAt(i)->GetLength() + mime.GetDataAt(i)->GetLength();
    }
    FUZZ_CHECK(headerBytes <= bounds.maxHeaderSize, "the header block is bounded");
    if (majorVersion < 1) FUZZ_CHECK(mime.GetSize() == 0, "an HTTP/0.9 request has no header");
    if (body == nullptr) return false;
    FUZZ_CHECK(static_cast<int64_t>(body->size()) <= bounds.maxBodySize, "the body is bounded");
    if (majorVersion >= 1) {
      // A body is exactly as long as declared (no declaration: none).
      const ZString* declared = mime.GetAt(ZString(ZHTTPHeader::ContentLength));
      const int64_t length = declared != nullptr && !declared->IsEmpty() ? declared->AsInteger(10) : 0;
      FUZZ_CHECK(static_cast<int64_t>(body->size()) == length, "a body has its declared length");
    }
    return false;
  }

  const ZHTTPLimits bounds;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The peer writes everything before anything is read; loopback buffers
  // take this much without blocking.
  if (size < 2 || size > 32 * 1024) return 0;
  // Two bytes choose the bounds, small enough that inputs reach them.
  ZHTTPLimits bounds;
  bounds.maxLineLength = 16 + data[0] * 4;
  bounds.maxHeaderSize = 64 + (data[1] & 0x3f) * 64;
  bounds.maxHeaderFields = 1 + (data[1] >> 6) * 8;
  bounds.maxBodySize = 1024 + data[0] * 16;
  bounds.maxFormVariables = 8;
  bounds.requestTime = ZTimeInterval(0, 2);
  static const ZHTTPSpace space;

  FuzzPeer peer;
  RecordingSocket socket(FuzzListener(), space, bounds);
  FUZZ_CHECK(socket.IsOpen(), "the connection is accepted");
  socket.SetReadTimeout(kFuzzReadTimeout);
  socket.SetReadLineTimeout(kFuzzReadTimeout);
  peer.Start(data + 2, size - 2);
  const bool keep = socket.ProcessCommand();
  FUZZ_CHECK(!keep, "one request per connection");
  FUZZ_CHECK(socket.outcomes <= 1, "at most one outcome per request");
  if (socket.errorCode != 0) {
    const int32_t status = ZHTTPGetStatus(socket.errorCode).number;
    FUZZ_CHECK(status >= 400 && status < 600, "a refusal is an error status");
  }
  socket.Close();
  peer.Finish();
  return 0;
}
