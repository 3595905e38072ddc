// The CONNECT request of the HTTP agent over a real loopback connection:
// ZHTTPSocket::ProcessCommand reads "CONNECT <fuzzer's bytes>" (the
// target, the version, the header block) under small bounds and hands a
// complete request to OnCONNECT, where the target goes through
// ParseTunnelTarget and the bytes after the header are taken as a tunnel
// would take them. The bytes also go through the "Connect Ports" parser.
// Properties: at most one outcome per request; a request handed on has a
// version of 1.x and lies within the bounds; a parsed target has a host of
// 1 to 255 name characters and a port 1..65535, and its written form parses
// back to the same; the tunnel's bytes (buffered and later) are exactly a
// tail of what the client sent; a port list holds distinct ports 1..65535
// and reads back the same from its written form.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "http_tunnel.h"
#include "loopback.h"
#include "zunder/http.h"

namespace {

class TunnelProbe : public ZHTTPSocket {
 public:
  TunnelProbe(ZIPSocket& listener, const ZHTTPSpace& space, const ZHTTPLimits& limits, const std::string& input)
      : ZHTTPSocket(listener, space), bounds(limits), sent(input) {
    SetLimits(limits);
  }

  int outcomes = 0;

  bool OnCONNECT(const ZString& target, const ZMIMEInfo& mime) override {
    ++outcomes;
    FUZZ_CHECK(majorVersion >= 1, "a tunnel is asked for by HTTP/1.x");
    FUZZ_CHECK(target.GetLength() <= bounds.maxLineLength, "the target is bounded");
    FUZZ_CHECK(mime.GetSize() <= bounds.maxHeaderFields, "the header fields are bounded");
    CheckTarget(target);

    std::string tunnelled = TakeBufferedInput();
    FUZZ_CHECK(!HasBufferedInput(), "taking the buffer empties it");
    char buffer[4096];
    for (int reads = 0; reads < 64 && ZTCPSocket::Read(buffer, sizeof buffer) && GetLastReadCount() > 0; ++reads) {
      tunnelled.append(buffer, static_cast<size_t>(GetLastReadCount()));
    }
    FUZZ_CHECK(tunnelled.size() <= sent.size() &&
                   sent.compare(sent.size() - tunnelled.size(), tunnelled.size(), tunnelled) == 0,
               "the tunnel's bytes are a tail of the client's");
    return false;
  }
  bool OnError(int code, const ZString& extra) override {
    ++outcomes;
    const int32_t status = ZHTTPGetStatus(code).number;
    FUZZ_CHECK(status >= 400 && status < 600, "a refusal is an error status");
    return ZHTTPSocket::OnError(code, extra);
  }

 private:
  static void CheckTarget(const ZString& text) {
    TunnelTarget target;
    if (!ParseTunnelTarget(text, target)) return;
    FUZZ_CHECK(target.port >= 1, "a port is never 0");
    FUZZ_CHECK(target.host.GetLength() >= 1 && target.host.GetLength() <= 255, "a host is 1 to 255 characters");
    for (ZIndex i = 0; i < target.host.GetLength(); ++i) {
      const char c = target.host[i];
      FUZZ_CHECK(c > ' ' && c < 127 && c != '"' && c != '/' && c != '@', "a host holds name characters only");
    }
    TunnelTarget again;
    FUZZ_CHECK(ParseTunnelTarget(target.AsString(), again), "the written target parses");
    FUZZ_CHECK(again.host == target.host && again.port == target.port, "the written target reads back the same");
  }

  const ZHTTPLimits bounds;
  const std::string sent;
};

void CheckPortList(const std::string& text) {
  ConnectPorts ports;
  ports.Parse(ZString(text.c_str()));
  std::string written;
  for (size_t i = 0; i < ports.Ports().size(); ++i) {
    const uint16_t port = ports.Ports()[i];
    FUZZ_CHECK(port >= 1, "a listed port is never 0");
    for (size_t j = 0; j < i; ++j) FUZZ_CHECK(ports.Ports()[j] != port, "a port is listed once");
    FUZZ_CHECK(ports.Contains(port), "a listed port is contained");
    written += (i > 0 ? " " : "") + std::to_string(port);
  }
  ConnectPorts again;
  FUZZ_CHECK(again.Parse(ZString(written.c_str())), "the written list parses");
  FUZZ_CHECK(again.Ports() == ports.Ports(), "the written list reads back the same");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 16 * 1024) return 0;
  CheckPortList(FuzzText(data + 1, size - 1));

  // One byte chooses the bounds, small enough that inputs reach them.
  ZHTTPLimits bounds;
  bounds.maxLineLength = 16 + data[0] * 4;
  bounds.maxHeaderSize = 64 + (data[0] & 0x3f) * 64;
  bounds.maxHeaderFields = 1 + (data[0] >> 6) * 8;
  bounds.requestTime = ZTimeInterval(0, 2);
  static const ZHTTPSpace space;
  const std::string input = "CONNECT " + std::string(reinterpret_cast<const char*>(data + 1), size - 1);

  FuzzPeer peer;
  TunnelProbe socket(FuzzListener(), space, bounds, input);
  FUZZ_CHECK(socket.IsOpen(), "the connection is accepted");
  socket.SetReadTimeout(kFuzzReadTimeout);
  socket.SetReadLineTimeout(kFuzzReadTimeout);
  peer.Start(reinterpret_cast<const uint8_t*>(input.data()), input.size());
  const bool keep = socket.ProcessCommand();
  FUZZ_CHECK(!keep, "one request per connection");
  FUZZ_CHECK(socket.outcomes <= 1, "at most one outcome per request");
  socket.Close();
  peer.Finish();
  return 0;
}
