// HttpProxySocket: the server side of one connection of the HTTP agent. A
// request for the gateway's own web space is answered by the site; a request
// whose URL names another host, port or scheme comes to OnProxy, which
// forwards "http" requests to their server (the HTTP proxy) and refuses the
// other schemes with 502. A CONNECT request opens a tunnel (http_tunnel).
#pragma once

#include <cstdint>
#include <string>

#include "active_sockets.h"
#include "http_tunnel.h"
#include "site_guard.h"
#include "socket_spec.h"
#include "zunder/http.h"

// What forwarding a request asks of the service; a forwarded request's
// sockets are among the active ones while it may wait on them.
class ForwardingService : public ActiveSockets {
 public:
  // The access check of every relay: registers the client's host and
  // applies the restrictions.
  virtual bool CheckAccess(const SocketSpec& originator, const SocketSpec& destination) = 0;
  // The defences of the administration site that shares the port.
  virtual SiteGuard& GetSiteGuard() = 0;
};

class HttpProxySocket : public ZHTTPSocket {
  Z_CLASS(HttpProxySocket, ZHTTPSocket)
 public:
  // Forwarded bodies are copied in pieces of this size.
  static constexpr ZIndex kCopyBufferSize = 256 * 1024;

  // Accepts one connection from the listener (check IsOpen) to serve the
  // site; service checks the access of forwarded requests and holds their
  // sockets among the active links.
  HttpProxySocket(ZIPSocket& listener, const ZHTTPSpace& space, ForwardingService& forwarding);

  // Serves space from now on: the site as it stands when the connection
  // came, not when its thread began to wait for one.
  void UseSpace(const ZHTTPSpace& space) { urlSpace = space; }
  // Opens the tunnels of CONNECT requests through tunnels from now on;
  // until then a CONNECT gets the library's refusal.
  void UseTunnels(TunnelService& tunnels) { tunnelService = &tunnels; }

  // A request that has passed this gateway before is refused (it would
  // come back for ever); the others pass the site's gate (SiteGuard) and
  // are answered as ever.
  bool OnGET(const ZURL& url, const ZMIMEInfo& mime) override;
  bool OnHEAD(const ZURL& url, const ZMIMEInfo& mime) override;
  bool OnPOST(const ZURL& url, const ZMIMEInfo& mime, const ZStringToString& data) override;

  // A tunnel, unless the request has passed this gateway before; answers
  // false (the connection ends with the tunnel).
  bool OnCONNECT(const ZString& target, const ZMIMEInfo& mime) override;

  // Answers one request for elsewhere; answers false (the connection ends
  // after the request).
  bool OnProxy(ZIndex command, const ZURL& url, const ZMIMEInfo& mime, const std::string& entityBody) override;
  // Forwards one request with the "http" scheme and copies the answer back.
  void ForwardRequest(ZIndex command, const ZURL& url, const ZMIMEInfo& mime, const std::string& entityBody);

 protected:
  // A URL that names a host is the site's only when the host is one of the
  // gateway's names; any other is forwarded.
  bool IsForThisServer(const ZURL& url) override;
  // Answers of the site (every answer not forwarded) get its headers.
  void OnResponseHeader(ZMIMEInfo& mime) override;

 private:
  // Whether the URL's host (if it names one) is one of the gateway's names.
  bool NamesGateway(const ZURL& url);
  // Whether the URL's address and port are those this connection came in
  // on: such a request is the site's, whatever name the client used for
  // the gateway (forwarding it would loop back here).
  bool NamesThisListener(const ZIPAddress& address, uint16_t namedPort);
  // Answers a request for this listener as ProcessCommand would have.
  bool AnswerLocally(ZIndex command, const ZURL& url, const ZMIMEInfo& mime, const std::string& entityBody);
  // The status line of the remote server's answer and its header, as they
  // came (no "Content-Length" made up when the server gave none).
  bool StartForwardedResponse(int32_t status, const ZString& message, const ZMIMEInfo& replyMIME);
  // Copies the remote answer's body to the client: length bytes, or to the
  // end of the remote stream when length is negative.
  void CopyBody(ZHTTPSocket& remote, int64_t length);
  // The 508 page for a request that carries this gateway's Via.
  bool RefuseLoop(const ZURL& url);

  ForwardingService& service;
  TunnelService* tunnelService = nullptr;
  // What this gateway calls itself in Via headers.
  const ZString gatewayName;
  // The request being answered asked for a page behind the login.
  bool protectedAnswer = false;
};

// The header a forwarded request carries: every line of the client's,
// without the headers of the client's own connection and with one
// Content-Length at most, with this gateway's Via added, and with a Host
// naming the URL's site when the client sent none.
ZMIMEInfo ForwardedRequestHeader(const ZMIMEInfo& request, const ZURL& url, const ZString& gatewayName);
// The header of a forwarded answer: every line of the server's, without the
// headers of the server's connection and with one Content-Length at most,
// with this gateway's Via added.
ZMIMEInfo ForwardedAnswerHeader(const ZMIMEInfo& answer, const ZString& gatewayName);
// Whether a Via header (on any of its lines) names the gateway among the
// hops already passed.
bool ViaNamesGateway(const ZMIMEInfo& mime, const ZString& gatewayName);

// The length a header block declares ("Content-Length"), or -1 when it
// declares none or one that is not a plain decimal number.
int64_t DeclaredContentLength(const ZMIMEInfo& mime);

// Whether an answer to command with this status can carry a body at all
// (HEAD, 1xx, 204 and 304 answers never do).
bool ResponseHasBody(ZIndex command, int32_t status);
