// The HTTP agent's thread body: accepts one connection, starts the next
// thread on the agent's port, answers one request (the site's, or
// forwarded), drops whatever else the client sent and closes; then reloads
// the service when a stored form changed the configuration.
#include <memory>

#include "http_proxy_socket.h"
#include "proxy.h"

namespace {

// How long the client may go on sending after its answer before the
// connection is closed on it.
const ZTimeInterval kEndLinger(0, 2);

}  // namespace

void Proxy::HttpServer(ProxyThread& thread, ZIPSocket& master) {
  std::unique_ptr<HttpProxySocket> client = listeners.AcceptAndPassOn(
      thread, ZString("HTTP server"), [&] { return std::make_unique<HttpProxySocket>(master, GetSite(), *this); });
  if (client == nullptr) return;
  // No dial-up gate: the administration site answers whether the link is up
  // or not (its status page is where the link is dialled and hung up).
  client->UseSpace(GetSite());

  // One request per connection: the answer says whether to keep it, and
  // the agent never does.
  client->ProcessCommand();
  // What the client sent beyond its request is read and dropped, after our
  // side has been ended, so that closing does not reset the connection
  // under an answer the client has not read yet.
  client->EndConnection(kEndLinger);
  client.reset();

  if (TakeConfigChanged() && !Reload()) {
    OnStop();
    Terminate();
  }
}
