// The HTTP agent's thread body: accepts one connection, starts the next
// thread on the agent's port, answers one request (the site's, forwarded,
// or a CONNECT's tunnel to its end), drops whatever else the client sent
// and closes; then reloads the service when a stored form changed the
// configuration.
#include <memory>

#include "http_proxy_socket.h"
#include "proxy.h"

namespace {

// How long the client may go on sending after its answer before the
// connection is closed on it.
const ZTimeInterval kEndLinger(0, 2);

// The service as one connection's tunnel sees it: the gate is that of the
// connection's thread.
class AgentTunnels : public TunnelService {
 public:
  AgentTunnels(Proxy& service, ProxyThread& agentThread) : proxy(service), thread(agentThread) {}

  bool IsConnectPort(uint16_t port) override { return proxy.IsConnectPort(port); }
  void WaitForRemote() override { proxy.WaitForRemote(thread); }
  bool CheckAccess(const SocketSpec& originator, const SocketSpec& destination) override {
    return proxy.CheckAccess(originator, destination);
  }
  void AddActiveSocket(ZSocket& socket) override { proxy.AddActiveSocket(socket); }
  void RemoveActiveSocket(ZSocket& socket) override { proxy.RemoveActiveSocket(socket); }
  void LinkTunnel(ZTCPSocket& client, ZTCPSocket& destination, const ZString& description,
                  std::string_view early) override {
    proxy.TCPLink(client, destination, description, early);
  }
  LogSink& GetLog() override { return proxy; }

 private:
  Proxy& proxy;
  ProxyThread& thread;
};

}  // namespace

void Proxy::HttpServer(ProxyThread& thread, ZIPSocket& master) {
  std::unique_ptr<HttpProxySocket> client = listeners.AcceptAndPassOn(
      thread, ZString("HTTP server"), [&] { return std::make_unique<HttpProxySocket>(master, GetSite(), *this); });
  if (client == nullptr) return;
  // No dial-up gate: the administration site answers whether the link is up
  // or not (its status page is where the link is dialled and hung up).
  client->UseSpace(GetSite());
  AgentTunnels tunnels(*this, thread);
  client->UseTunnels(tunnels);

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
