// The administration site's defences against the network it serves (the
// site shares its port with the HTTP proxy, so every client of the proxy can
// reach it):
//   - LoginBackoff: failed logins counted per originating address; an
//     address with too many is refused for a while without its credentials
//     being checked.
//   - GatewayNames: the names a request's Host may give for the site to
//     answer it (against DNS rebinding), and the check of the names an
//     administrator adds.
//   - SiteGuard: both, and the gate every request for the site passes
//     (Admit), and the headers of every answer of the site.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "log_sink.h"
#include "zunder/http.h"
#include "zunder/sockets.h"
#include "zunder/time.h"

class LoginBackoff {
 public:
  // What counts: this many failures from one address within the window.
  static constexpr int kFailureLimit = 10;
  static constexpr int64_t kWindowSeconds = int64_t{10} * 60;
  // The first lock-out, doubled by each further failure, up to the longest.
  static constexpr int64_t kFirstLockSeconds = 60;
  static constexpr int64_t kLongestLockSeconds = int64_t{60} * 60;
  // Addresses remembered at most; the one least recently heard of goes.
  static constexpr size_t kDefaultCapacity = 4096;

  using Clock = std::function<ZTime()>;

  explicit LoginBackoff(LogSink& logSink, Clock clock = &ZTime::Now, size_t capacity = kDefaultCapacity);

  // Whether requests for protected pages from the address are refused now.
  bool IsLockedOut(const ZIPAddress& address);
  // A login that was checked and refused (user is the name tried).
  void Failed(const ZIPAddress& address, const ZString& user);
  // A login that was checked and accepted: the address starts afresh.
  void Succeeded(const ZIPAddress& address);

  size_t GetSize() const;

 private:
  struct Entry {
    std::deque<ZTime> failures;  // within the window, before a lock-out
    int failed = 0;              // since the address last started afresh
    int lockOuts = 0;            // lock-outs since then
    ZTime lockedUntil{int64_t{0}};
    ZTime lastHeard{int64_t{0}};
  };
  using Table = std::map<uint32_t, Entry>;

  // Under the lock: the entry of the address, made when missing (dropping
  // the one least recently heard of when the table is full).
  Entry& EntryOf(const ZIPAddress& address, const ZTime& now);
  // Under the lock: forgets failures past the window, and an address that
  // has been quiet for a window since its last lock-out ended.
  static bool Expire(Entry& entry, const ZTime& now);
  void LockOut(Entry& entry, const ZIPAddress& address, const ZTime& now);

  LogSink& log;
  const Clock clock;
  const size_t capacity;
  mutable std::mutex lock;
  Table table;
};

class GatewayNames {
 public:
  // The names an administrator added ("Admin Host Names", blank-separated,
  // as ParseNames takes them).
  void SetConfigured(const ZString& names);
  ZStringArray GetConfigured() const;

  // Whether a Host header's value (or a URL's host), with or without a
  // port, names the gateway: its host name, "localhost", an address of its
  // own (any loopback address, the one the connection came to, any
  // interface's), or a configured name. Letter case does not count.
  bool Names(const ZString& host, const ZIPAddress& connectedTo) const;
  // The names accepted, for the page that refuses the others.
  ZString Describe(const ZIPAddress& connectedTo) const;

  // The names of a blank-separated text: each a host name or a dotted
  // address (letters, digits and "-" in dot-separated labels), no port.
  // False with the first refused word in refused.
  static bool ParseNames(const char* text, ZStringArray& names, ZString& refused);

 private:
  mutable std::mutex lock;
  ZStringArray configured;  // in lower case
};

class SiteGuard {
 public:
  explicit SiteGuard(LogSink& logSink, LoginBackoff::Clock clock = &ZTime::Now) : backoff(logSink, std::move(clock)) {}

  GatewayNames& GetNames() { return names; }
  LoginBackoff& GetBackoff() { return backoff; }

  // The gate of a request for the site, before it is answered: a Host
  // that names another site is refused (403, with the names accepted); for
  // a protected page, an address locked out is refused (403) and the
  // credentials given are counted. False when the answer was given.
  // protectedPage tells whether the page asked for needs the login.
  bool Admit(ZHTTPSocket& socket, const ZURL& url, const ZMIMEInfo& mime, bool& protectedPage);

  // What every answer of the site carries: no framing, no sniffing, no
  // referrer beyond the site, and a policy that lets the pages load only
  // what they use (their images, the help pages' style, forms to the
  // site); protected pages are never stored.
  static void AddSiteHeaders(ZMIMEInfo& mime, bool protectedPage);
  static const char* const kContentSecurityPolicy;

 private:
  GatewayNames names;
  LoginBackoff backoff;
};

// The user name of a Basic "Authorization" value as a log line may show
// it: printable characters only, bounded in length.
ZString LoggedUserName(const char* authorization);
