#include "http_proxy_socket.h"

#include <memory>

#include "proxy.h"

namespace {

// The port of an "http" URL that names none.
constexpr uint16_t kDefaultHttpPort = 80;
// A client that takes nothing of a forwarded answer for this long is gone.
const ZTimeInterval kClientWriteTimeout(0, 0, 10);

bool IsLoopbackOrAny(const ZIPAddress& address) { return address.IsNone() || address.GetByte(0) == 127; }

}  // namespace

int64_t DeclaredContentLength(const ZMIMEInfo& mime) {
  const ZString* declared = mime.GetAt(ZString(ZHTTPHeader::ContentLength));
  if (declared == nullptr) return -1;
  const ZString text = declared->Trim();
  // 18 digits stay below the range of the type.
  if (text.IsEmpty() || text.GetLength() > 18) return -1;
  int64_t value = 0;
  for (ZIndex i = 0; i < text.GetLength(); ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool ResponseHasBody(ZIndex command, int32_t status) {
  if (command == ZHTTPSocket::HEAD) return false;
  return !(status >= 100 && status < 200) && status != 204 && status != 304;
}

HttpProxySocket::HttpProxySocket(ZIPSocket& listener, const ZHTTPSpace& space, Proxy& proxy)
    : ZHTTPSocket(listener, space), proxy(proxy) {}

bool HttpProxySocket::OnProxy(ZIndex command, const ZURL& url, const ZMIMEInfo& mime, const std::string& entityBody) {
  const ZString& scheme = url.GetScheme();
  if (scheme == "http") {
    ForwardRequest(command, url, mime, entityBody);
    return false;
  }
  if (scheme == "ftp" && command == GET) {
    OnError(ZHTTPBadGateway, "FTP proxy not implemented yet, Real Soon Now.");
    return false;
  }
  return OnError(ZHTTPBadGateway, "Proxy not implemented for " + scheme);
}

void HttpProxySocket::ForwardRequest(ZIndex command, const ZURL& url, const ZMIMEInfo& mime,
                                     const std::string& entityBody) {
  const uint16_t port = url.GetPort() != 0 ? url.GetPort() : kDefaultHttpPort;
  const ZString urlText = ZHTTPURLText(url);

  ZIPAddress address;
  if (url.GetHostname().IsEmpty() || !ZSocket::GetHostAddress(url.GetHostname().Text(), address)) {
    OnError(ZHTTPBadGateway, ZString("Could not access") & urlText);
    return;
  }
  if (NamesThisListener(address, port)) {
    AnswerLocally(command, url, mime, entityBody);
    return;
  }

  ZIPAddress peer;
  uint16_t peerPort = 0;
  ZIPAddress local;
  uint16_t localPort = 0;
  if (!GetPeerAddress(peer, peerPort) || !GetLocalAddress(local, localPort)) return;
  if (!proxy.CheckAccess(SocketSpec(peer, localPort), SocketSpec(address, port))) {
    OnError(ZHTTPForbidden, ZString("Connection denied to") & urlText);
    return;
  }

  auto remote = std::make_unique<ZHTTPSocket>(address.GetDotted().Text(), port);
  if (!remote->IsOpen()) {
    OnError(ZHTTPBadGateway, ZString("Could not access") & urlText);
    return;
  }
  // Pause and stop end a forwarded answer along with the other links.
  proxy.GetActiveSockets().Append(remote.get());
  ZMIMEInfo replyMIME;
  if (!remote->ExecuteCommand(command, url, mime, entityBody, replyMIME)) {
    OnError(ZHTTPBadGateway, ZString("Error") & remote->GetResponseMessage() & "accessing" & urlText);
  } else if (StartForwardedResponse(remote->GetResponseStatus(), remote->GetResponseMessage(), replyMIME) &&
             ResponseHasBody(command, remote->GetResponseStatus())) {
    // A declared length ends the body even when the server keeps the
    // connection open; without one the body ends with the connection.
    CopyBody(*remote, remote->GetMajorVersion() >= 1 ? DeclaredContentLength(replyMIME) : -1);
  }
  proxy.GetActiveSockets().Remove(remote.get());
  remote->Close();
}

bool HttpProxySocket::NamesThisListener(const ZIPAddress& address, uint16_t port) {
  ZIPAddress local;
  uint16_t localPort = 0;
  if (!GetLocalAddress(local, localPort) || port != localPort) return false;
  return address == local || IsLoopbackOrAny(address);
}

bool HttpProxySocket::AnswerLocally(ZIndex command, const ZURL& url, const ZMIMEInfo& mime,
                                    const std::string& entityBody) {
  switch (command) {
    case GET:
      return OnGET(url, mime);
    case HEAD:
      return OnHEAD(url, mime);
    default: {
      ZStringToString data(true);
      const ZString text(entityBody.data(), static_cast<ZIndex>(entityBody.size()));
      if (!ZURL::SplitQueryVars(text.Text(), data, GetLimits().maxFormVariables)) {
        return OnError(ZHTTPBadRequest, "Too many form variables.");
      }
      return OnPOST(url, mime, data);
    }
  }
}

bool HttpProxySocket::StartForwardedResponse(int32_t status, const ZString& message, const ZMIMEInfo& replyMIME) {
  // An HTTP/0.9 client gets the body alone, as from any answer.
  if (majorVersion < 1) return true;
  std::string head = FormatText("HTTP/%d.%d %d", majorVersion, minorVersion, status).Text();
  if (!message.IsEmpty()) head.append(" ").append(message.Text(), static_cast<size_t>(message.GetLength()));
  head.append("\r\n");
  const ZString header = replyMIME.AsString();
  head.append(header.Text(), static_cast<size_t>(header.GetLength()));
  return Write(head.data(), static_cast<ZIndex>(head.size()));
}

void HttpProxySocket::CopyBody(ZHTTPSocket& remote, int64_t length) {
  SetWriteTimeout(kClientWriteTimeout);
  auto buffer = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(kCopyBufferSize));
  int64_t left = length;
  while (length < 0 || left > 0) {
    const ZIndex want = (length < 0 || left > kCopyBufferSize) ? kCopyBufferSize : static_cast<ZIndex>(left);
    if (!remote.Read(buffer.get(), want)) return;
    const ZIndex got = remote.GetLastReadCount();
    if (got <= 0) return;
    if (!Write(buffer.get(), got)) return;
    left -= got;
  }
}
