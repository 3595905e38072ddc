#include "http_proxy_socket.h"

#include <memory>

namespace {

// The port of an "http" URL that names none.
constexpr uint16_t kDefaultHttpPort = 80;
// A client that takes nothing of a forwarded answer for this long is gone.
const ZTimeInterval kClientWriteTimeout(0, 0, 10);

bool IsLoopbackOrAny(const ZIPAddress& address) { return address.IsNone() || address.GetByte(0) == 127; }

// Headers that belong to one connection, not to the message: they never
// pass the gateway (besides those that "Connection" itself names).
const char* const kHopByHopHeaders[] = {"Connection", "Keep-Alive", "Proxy-Connection",  "Proxy-Authorization",
                                        "TE",         "Trailer",    "Transfer-Encoding", "Upgrade"};
constexpr const char* kVia = "Via";
constexpr const char* kHost = "Host";
// The HTTP version this gateway speaks to both sides, as a Via names it.
constexpr const char* kViaProtocol = "1.0";

void DropHopByHopHeaders(ZMIMEInfo& mime) {
  // Every Connection line names headers of its own.
  const ZStringArray connections = mime.GetValues("Connection");
  for (ZIndex line = 0; line < connections.GetSize(); ++line) {
    const ZStringArray named = connections[line].Tokenise(",", false);
    for (ZIndex i = 0; i < named.GetSize(); ++i) {
      const ZString name = named[i].Trim();
      if (!name.IsEmpty()) mime.RemoveAt(name);
    }
  }
  for (const char* name : kHopByHopHeaders) mime.RemoveAt(ZString(name));
}

// A Via with this gateway's hop after those already there: the earlier
// lines stay as they came, ours joins the last of them.
void AddVia(ZMIMEInfo& mime, const ZString& gatewayName) {
  const ZString hop = ZString(kViaProtocol) + " " + gatewayName;
  const ZStringArray lines = mime.GetValues(kVia);
  const ZIndex count = lines.GetSize();
  const ZString last = count > 0 ? lines[count - 1].Trim() : ZString();
  mime.RemoveAt(kVia);
  for (ZIndex i = 0; i + 1 < count; ++i) mime.AddAt(kVia, lines[i]);
  mime.AddAt(kVia, last.IsEmpty() ? hop : last + ", " + hop);
}

// A body is framed by one length, the last one declared (the one it was
// read or is copied by); repeated lengths must not reach the other side,
// which might frame it by another.
void KeepOneContentLength(ZMIMEInfo& mime) {
  const ZString* length = mime.GetAt(ZString(ZHTTPHeader::ContentLength));
  if (length != nullptr) mime.SetAt(ZHTTPHeader::ContentLength, ZString(*length));
}

}  // namespace

ZMIMEInfo ForwardedRequestHeader(const ZMIMEInfo& request, const ZURL& url, const ZString& gatewayName) {
  ZMIMEInfo forwarded(request);
  DropHopByHopHeaders(forwarded);
  KeepOneContentLength(forwarded);
  AddVia(forwarded, gatewayName);
  // A request in origin form names its site only here; HTTP/1.0 clients
  // often send none.
  if (forwarded.GetString(kHost).Trim().IsEmpty()) {
    ZString site = url.GetHostname();
    const uint16_t port = url.GetPort();
    if (port != 0 && port != kDefaultHttpPort) site.sprintf(":%u", static_cast<unsigned>(port));
    forwarded.SetAt(kHost, site);
  }
  return forwarded;
}

ZMIMEInfo ForwardedAnswerHeader(const ZMIMEInfo& answer, const ZString& gatewayName) {
  ZMIMEInfo forwarded(answer);
  DropHopByHopHeaders(forwarded);
  KeepOneContentLength(forwarded);
  AddVia(forwarded, gatewayName);
  return forwarded;
}

bool ViaNamesGateway(const ZMIMEInfo& mime, const ZString& gatewayName) {
  const ZStringArray lines = mime.GetValues(kVia);
  const ZCaselessString gateway(gatewayName);
  // Several lines read as one list, in their order.
  ZStringArray hops;
  for (ZIndex line = 0; line < lines.GetSize(); ++line) {
    const ZStringArray onLine = lines[line].Tokenise(",", false);
    for (ZIndex i = 0; i < onLine.GetSize(); ++i) hops.Append(onLine[i]);
  }
  for (ZIndex i = 0; i < hops.GetSize(); ++i) {
    // "protocol received-by [comment]": the second word names the hop.
    ZString hop = hops[i];
    const ZIndex comment = hop.Find('(');
    if (comment != ZNotFound) hop = hop.Left(comment);
    ZStringArray words;
    const ZStringArray tokens = hop.Tokenise(" \t", false);
    for (ZIndex t = 0; t < tokens.GetSize(); ++t) {
      if (!tokens[t].IsEmpty()) words.Append(tokens[t]);
    }
    if (words.GetSize() >= 2 && gateway == ZCaselessString(words[1])) return true;
  }
  return false;
}

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

HttpProxySocket::HttpProxySocket(ZIPSocket& listener, const ZHTTPSpace& space, ForwardingService& forwarding)
    : ZHTTPSocket(listener, space), service(forwarding), gatewayName(ZSocket::GetHostName()) {}

bool HttpProxySocket::OnGET(const ZURL& url, const ZMIMEInfo& mime) {
  if (ViaNamesGateway(mime, gatewayName)) return RefuseLoop(url);
  if (!service.GetSiteGuard().Admit(*this, url, mime, protectedAnswer)) return false;
  return ZHTTPSocket::OnGET(url, mime);
}

bool HttpProxySocket::OnHEAD(const ZURL& url, const ZMIMEInfo& mime) {
  if (ViaNamesGateway(mime, gatewayName)) return RefuseLoop(url);
  if (!service.GetSiteGuard().Admit(*this, url, mime, protectedAnswer)) return false;
  return ZHTTPSocket::OnHEAD(url, mime);
}

bool HttpProxySocket::OnPOST(const ZURL& url, const ZMIMEInfo& mime, const ZStringToString& data) {
  if (ViaNamesGateway(mime, gatewayName)) return RefuseLoop(url);
  if (!service.GetSiteGuard().Admit(*this, url, mime, protectedAnswer)) return false;
  return ZHTTPSocket::OnPOST(url, mime, data);
}

bool HttpProxySocket::OnCONNECT(const ZString& target, const ZMIMEInfo& mime) {
  if (ViaNamesGateway(mime, gatewayName)) {
    return SendStatusPage(508, "Loop Detected",
                          ZString("The tunnel to") & target & "has passed this gateway before: opening it would loop.");
  }
  if (tunnelService == nullptr) return ZHTTPSocket::OnCONNECT(target, mime);
  RunTunnel(*this, target, *tunnelService);
  return false;
}

bool HttpProxySocket::NamesGateway(const ZURL& url) {
  if (url.GetHostname().IsEmpty()) return true;
  ZIPAddress local;
  uint16_t localPort = 0;
  if (!GetLocalAddress(local, localPort)) return false;
  return service.GetSiteGuard().GetNames().Names(url.GetHostname(), local);
}

bool HttpProxySocket::IsForThisServer(const ZURL& url) {
  return NamesGateway(url) && ZHTTPSocket::IsForThisServer(url);
}

void HttpProxySocket::OnResponseHeader(ZMIMEInfo& mime) { SiteGuard::AddSiteHeaders(mime, protectedAnswer); }

bool HttpProxySocket::RefuseLoop(const ZURL& url) {
  return SendStatusPage(508, "Loop Detected",
                        ZString("The request for") & ZHTTPURLText(url) &
                            "has passed this gateway before: forwarding it again would loop.");
}

bool HttpProxySocket::OnProxy(ZIndex command, const ZURL& url, const ZMIMEInfo& mime, const std::string& entityBody) {
  // A relay that leads back to this agent, or a URL that names one, would
  // send the request round for ever.
  if (ViaNamesGateway(mime, gatewayName)) return RefuseLoop(url);
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
  const uint16_t destinationPort = url.GetPort() != 0 ? url.GetPort() : kDefaultHttpPort;
  const ZString urlText = ZHTTPURLText(url);

  ZIPAddress address;
  if (url.GetHostname().IsEmpty() || !ZSocket::GetHostAddress(url.GetHostname().Text(), address)) {
    OnError(ZHTTPBadGateway, ZString("Could not access") & urlText);
    return;
  }
  // A name that is not the gateway's leads here only by a trick of the
  // name service (DNS rebinding): it is forwarded, and comes back as a loop.
  if (NamesThisListener(address, destinationPort) && NamesGateway(url)) {
    AnswerLocally(command, url, mime, entityBody);
    return;
  }

  ZIPAddress clientAddress;
  uint16_t clientPort = 0;
  ZIPAddress local;
  uint16_t localPort = 0;
  if (!GetPeerAddress(clientAddress, clientPort) || !GetLocalAddress(local, localPort)) return;
  if (!service.CheckAccess(SocketSpec(clientAddress, localPort), SocketSpec(address, destinationPort))) {
    OnError(ZHTTPForbidden, ZString("Connection denied to") & urlText);
    return;
  }

  // Stop and pause must be able to end every wait of this thread: the
  // connect, the server's answer, and a client that takes nothing of it.
  const ActiveListing clientListed(service, *this);
  auto remote = std::make_unique<ZHTTPSocket>(destinationPort);
  const ActiveListing remoteListed(service, *remote);
  if (!remote->Connect(address.GetDotted().Text())) {
    OnError(ZHTTPBadGateway, ZString("Could not access") & urlText);
    return;
  }
  ZMIMEInfo replyMIME;
  if (!remote->ExecuteCommand(command, url, ForwardedRequestHeader(mime, url, gatewayName), entityBody, replyMIME)) {
    OnError(ZHTTPBadGateway, ZString("Error") & remote->GetResponseMessage() & "accessing" & urlText);
  } else if (StartForwardedResponse(remote->GetResponseStatus(), remote->GetResponseMessage(),
                                    ForwardedAnswerHeader(replyMIME, gatewayName)) &&
             ResponseHasBody(command, remote->GetResponseStatus())) {
    // A declared length ends the body even when the server keeps the
    // connection open; without one the body ends with the connection.
    CopyBody(*remote, remote->GetMajorVersion() >= 1 ? DeclaredContentLength(replyMIME) : -1);
  }
  remote->Close();
}

bool HttpProxySocket::NamesThisListener(const ZIPAddress& address, uint16_t namedPort) {
  ZIPAddress local;
  uint16_t localPort = 0;
  if (!GetLocalAddress(local, localPort) || namedPort != localPort) return false;
  return address == local || IsLoopbackOrAny(address);
}

bool HttpProxySocket::AnswerLocally(ZIndex command, const ZURL& url, const ZMIMEInfo& mime,
                                    const std::string& entityBody) {
  switch (command) {
    case GET: return OnGET(url, mime);
    case HEAD: return OnHEAD(url, mime);
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
  int64_t remaining = length;
  while (length < 0 || remaining > 0) {
    const ZIndex want = (length < 0 || remaining > kCopyBufferSize) ? kCopyBufferSize : static_cast<ZIndex>(remaining);
    if (!remote.Read(buffer.get(), want)) return;
    const ZIndex got = remote.GetLastReadCount();
    if (got <= 0) return;
    if (!Write(buffer.get(), got)) return;
    remaining -= got;
  }
}
