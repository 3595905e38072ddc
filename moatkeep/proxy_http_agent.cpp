// The HTTP agent's thread body: accepts one connection, starts the next
// thread on the agent's port, answers one request (the site's, or
// forwarded), drops whatever else the client sent and closes; then reloads
// the service when a stored form changed the configuration.
#include <memory>

#include "http_proxy_socket.h"
#include "proxy.h"
#include "zunder/resources.h"

namespace {

// The pause after a failed accept that may succeed again once descriptors
// or buffers are given back.
const ZTimeInterval kAcceptRetryPause(100);
// How long the client may go on sending after its answer before the
// connection is closed on it.
const ZTimeInterval kEndLinger(0, 2);

}  // namespace

void Proxy::HttpServer(ProxyThread& thread, ZIPSocket& master) {
  std::unique_ptr<HttpProxySocket> client;
  bool shortageLogged = false;
  for (;;) {
    client = std::make_unique<HttpProxySocket>(master, GetSite(), *this);
    if (client->IsOpen()) break;
    const bool closing = client->GetErrorCode() == ZChannel::Interrupted || !master.IsOpen();
    if (!closing && ZIsTransientAcceptError(client->GetOSError())) {
      // Out of descriptors or buffers for a moment: the agent stays open.
      if (!shortageLogged) Log(1, "Accept failed for HTTP server: %s", client->GetErrorText().Text());
      shortageLogged = true;
      ZThread::SleepFor(kAcceptRetryPause);
      continue;
    }
    if (!closing) Log(1, "Accept failed for HTTP server: %s", client->GetErrorText().Text());
    masterSockets.Remove(&master);
    return;
  }
  // The master socket belongs to the successor from here on.
  if (!PassOnListener(thread, master, &Proxy::HttpServer)) return;
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
