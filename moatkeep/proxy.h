// Proxy: the service class and the one process object of the program. It
// owns the shared state of the relay engine (master sockets, active links,
// the relay table, the restrictions, the host registry, the global
// parameters) and carries the service's start, stop, pause and continue.
//
// The road of one connection, and the unit that takes each step (Proxy's
// own parts are the proxy_*.cpp files). A plain TCP relay, proxy_tcp_relay:
//   accept        Listeners::AcceptAndPassOn (listener), the relay's
//                 destination read meanwhile (FindRelay, proxy_road)
//   successor     Listeners::PassOnListener (listener, proxy_thread)
//   dial-up gate  WaitForRemote (proxy_road, dial_on_demand)
//   destination   the remote system's override, else the one read at the
//                 accept (GetRelayOverride, proxy_road; remote_system)
//   access        CheckAccess (proxy_road; restrictions, host_registry)
//   connect       ServeRelayClient (proxy_tcp_relay)
//   link          TCPLink (proxy_road; tcp_link), sockets in activeSockets
//   close         ServeRelayClient; connections already queued are taken
//                 up by the same thread (TakeQueuedConnection, listener)
// The others differ thus:
//   "(ASK)"  (proxy_tcp_relay) destination typed at the prompt
//            (ReadHostLine, ask_dialogue)
//   UDP      (proxy_udp_relay) accept is reading one datagram, an exchange
//            begun (udp_exchanges); the gate comes before the successor;
//            connect and link: a socket of its own, request, retries, reply
//   SOCKS    (proxy_socks_agent) destination from the request
//            (ReadSocksRequest, socks_request); BIND waits for the named
//            host to connect (socks_bind); link TCPLink. SOCKS 5
//            (proxy_socks5_agent; socks5_protocol, socks_users): method and
//            credentials before the request; UDP ASSOCIATE relays datagrams
//            in the connection's own thread (RelaySocks5Datagrams)
//   FTP      (proxy_ftp_relay) greeted at the accept, the gate before the
//            successor; destination the site of user@site or OPEN, no
//            access check, connect and link in the session
//            (ftp_relay_socket, ftp_relay_socket_transfer)
//   HTTP     (proxy_http_agent) no gate; the site (admin_site) answers, after
//            its own gate (site_guard: the Host names, the login back-off),
//            or a forwarded request (http_proxy_socket) meets the access
//            check, connects and copies the answer back; then a stored
//            form's reload. A CONNECT (http_tunnel): the "Connect Ports"
//            check, then the gate, access, connect and link TCPLink
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "admin_site.h"
#include "dial_on_demand.h"
#include "host_registry.h"
#include "http_proxy_socket.h"
#include "http_tunnel.h"
#include "listener.h"
#include "log_sink.h"
#include "proxy_thread.h"
#include "restrictions.h"
#include "site_guard.h"
#include "socket_list.h"
#include "socket_spec.h"
#include "socks5_protocol.h"
#include "socks_users.h"
#include "zunder/http.h"
#include "zunder/process.h"
#include "zunder/sockets.h"
#include "zunder/strings.h"
#include "zunder/threads.h"
#include "zunder/time.h"

// A value that a configuration load replaces whole while connection
// threads copy it out, under a mutex of its own.
template <typename Value>
class Guarded {
 public:
  Value Get() const {
    std::lock_guard<std::mutex> lock(mutex);
    return value;
  }
  void Set(Value fresh) {
    std::lock_guard<std::mutex> lock(mutex);
    value = std::move(fresh);
  }

 private:
  mutable std::mutex mutex;
  Value value;
};

class Proxy : public ZServiceProcess, public LogSink, public AdminService, public ForwardingService {
  Z_CLASS(Proxy, ZServiceProcess)
 public:
  Proxy();
  ~Proxy() override;

  // ---- service lifecycle
  void Main() override;
  bool OnStart() override;
  void OnStop() override;
  bool OnPause() override;
  void OnContinue() override;

  // (Re)builds everything from the configuration; logs message as a warning
  // when done. False when the administration port cannot be opened. Opens
  // nothing (and answers true) once a pause or a stop was asked for.
  bool Initialise(const char* message);
  // The reload after a stored form: Initialise, unless the listeners were
  // opened again meanwhile (by a continue) or a pause or stop came since.
  bool Reload();
  // Opens one relay of the relay table (or a special relay).
  bool SetUpRelay(const char* serviceDescription, const char* relayPoint);

  // ---- relay bodies and what they share
  // A plain TCP relay: every connection goes to the relay's destination.
  void TCPRelay(ProxyThread& thread, ZIPSocket& master);
  // The "(ASK)" relay: every connection is prompted for its destination.
  void AskRelay(ProxyThread& thread, ZIPSocket& master);
  // One accepted connection of the relay name, to its end. configured is
  // the plain relay's destination as it was when the connection was
  // accepted; null for the "(ASK)" relay.
  void ServeRelayClient(ProxyThread& thread, ZTCPSocket& client, const ZString& name, const SocketSpec* configured);
  // The UDP relay: one exchange (request, retries, reply) per datagram.
  void UDPRelay(ProxyThread& thread, ZIPSocket& master);
  // The SOCKS agent: SOCKS 4 and 4a (CONNECT and BIND), SOCKS 5 (CONNECT,
  // BIND and UDP ASSOCIATE).
  void SocksServer(ProxyThread& thread, ZIPSocket& master);
  // The FTP relay: a session per client logged in as user@site.
  void FtpRelay(ProxyThread& thread, ZIPSocket& master);
  // The HTTP agent: one request per connection, answered by the
  // administration site or forwarded (HTTP proxy); reloads the service
  // afterwards when a form changed the configuration.
  void HttpServer(ProxyThread& thread, ZIPSocket& master);
  // Copies a link both ways until it ends, with its log lines and counts.
  // early: bytes of the client's read before the link, sent first.
  void TCPLink(ZTCPSocket& client, ZTCPSocket& destination, const ZString& description, std::string_view early = {});
  // The dial-up gate: returns when the link is up or could not be brought up.
  void WaitForRemote(ProxyThread& thread);
  // The connected remote system's destination for a relay, if it has one.
  bool GetRelayOverride(const ZString& relayName, SocketSpec& destination) const;

  // Registers the originating host and applies the restrictions.
  bool CheckAccess(const SocketSpec& originator, const SocketSpec& destination) override;

  // The fixed destination of a plain relay by canonical name.
  bool FindRelay(const ZString& name, SocketSpec& destination) const;
  // The log line of a connection or datagram whose relay a reload removed.
  void LogRelayRemoved(const ZString& name, const char* dropped);

  ZTimeInterval GetLinkTimeout() const { return ZTimeInterval(linkTimeout.load()); }
  ZTimeInterval GetUdpTimeout() const { return ZTimeInterval(udpTimeout.load()); }
  ZTimeInterval GetSocksTimeout() const { return ZTimeInterval(socksTimeout.load()); }
  int32_t GetUdpRetries() const { return udpRetries.load(); }
  // Whether a CONNECT may lead to the port ("Connect Ports").
  bool IsConnectPort(uint16_t port) const { return connectPorts.Get().Contains(port); }

  // The administration site as it stands: a copy that shares the current
  // tree, which lives on for its holders when a reload replaces it.
  ZHTTPSpace GetSite() const { return site.Get(); }
  // Clears the flag and answers whether it was set: one connection claims
  // the reload of one stored form.
  bool TakeConfigChanged() { return configChanged.exchange(false); }

  // ---- what the pages use (AdminService)
  AdminLogin GetLogin() const override { return login.Get(); }
  // What a stored form does: closes every master socket (their threads
  // end), then sets the configuration-changed flag, both after any load in
  // progress has finished.
  void RequestReload() override;
  DialUpControl& GetDialUp() override { return dialOnDemand; }
  HostRegistry& GetHosts() override { return hosts; }
  ZIndex CountActiveSockets() const override { return activeSockets.Count(); }

  // ---- what the HTTP proxy uses besides the access check (ForwardingService)
  void AddActiveSocket(ZSocket& socket) override { activeSockets.Append(&socket); }
  void RemoveActiveSocket(ZSocket& socket) override { activeSockets.Remove(&socket); }
  SiteGuard& GetSiteGuard() override { return siteGuard; }

  // LogSink: everything goes to the system log.
  void LogV(int level, const char* format, va_list formatArguments) override;

 private:
  // ---- SOCKS 5 (proxy_socks5_agent)
  // The method, the credentials and the request, read under the caller's
  // bound once the version byte is in; false (logged, answered where the
  // protocol says so) when the connection is to end.
  bool NegotiateSocks5(ZTCPSocket& client, Socks5Session& session);
  // Carries out the negotiated request to the end of its link.
  void ServeSocks5(ZTCPSocket& client, uint16_t agentPort, const Socks5Session& session);
  void BindSocks5(ZTCPSocket& client, const Socks5Session& session, const ZIPAddress& expected);
  // UDP ASSOCIATE: relays datagrams until the client's connection ends.
  void RelaySocks5Datagrams(ZTCPSocket& client, uint16_t agentPort, const Socks5Session& session);

  // Both under lifecycleMutex.
  void CloseEverything();
  bool Load(const char* message);
  // The TCP relay bodies: accepts, passes the master socket on and serves
  // connections; asking for the "(ASK)" relay.
  void RunTCPRelay(ProxyThread& thread, ZIPSocket& master, bool asking);

  // Set by a configuration form that was stored; taken (and the service
  // reloaded) by the HTTP connection that carried it, after its answer.
  std::atomic<bool> configChanged{false};
  // The master sockets, and the accept and hand-on of every body.
  Listeners listeners{*this};
  SocketList activeSockets{false};
  HostRegistry hosts;

  // Rebuilt by Initialise while connection threads that were accepted
  // before a reload may still read them: hence the locks. A load updates
  // the plain relays' entries as it opens them and drops those it did not
  // open only at its end, so a relay kept by a reload is never missing.
  struct RelayEntry {
    SocketSpec destination;
    uint64_t load = 0;  // of the load that opened the relay
  };
  mutable std::mutex relaysMutex;
  std::map<std::string, RelayEntry> relays;  // by canonical name
  Guarded<std::shared_ptr<const Restrictions>> restrictions;
  Guarded<std::shared_ptr<const SocksUsers>> socksUsers;

  std::atomic<int64_t> udpTimeout{int64_t{60} * 1000};
  std::atomic<int32_t> udpRetries{5};
  std::atomic<int64_t> linkTimeout{int64_t{60} * 60 * 1000};
  std::atomic<int64_t> socksTimeout{int64_t{10} * 1000};
  Guarded<AdminLogin> login;
  Guarded<ConnectPorts> connectPorts;
  // The administration site's defences; the failed logins are counted
  // across reloads.
  SiteGuard siteGuard{*this};
  // The first load warns of a built-in login; under lifecycleMutex.
  bool firstLoad = true;

  // Fills a fresh space with the administration site's pages.
  void BuildSite(ZHTTPSpace& space);
  // The administration site, replaced whole by each configuration load;
  // connection threads hold copies (shared ownership of the tree).
  Guarded<ZHTTPSpace> site;

  // The dial-up link, the remote systems and the manager that Main runs.
  PhonebookLink remoteLink;
  SystemClock managerClock;
  DialOnDemand dialOnDemand;

  // What the last control asked for. Set before the lifecycle lock is
  // taken, so that a load in progress or about to begin sees it.
  enum class Requested { Running, Paused, Stopping };
  std::atomic<Requested> requested{Requested::Running};
  // Start, stop, pause, continue and reload one at a time. Nothing done
  // under it waits for the dial-up link.
  std::mutex lifecycleMutex;
  bool listening = false;  // a load's listeners are open; under lifecycleMutex
};
