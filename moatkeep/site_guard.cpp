#include "site_guard.h"

#include <algorithm>

#include "zunder/base64.h"

namespace {

constexpr ZIndex kLoggedNameLength = 64;
// A host name is at most this long (and each of its labels 63).
constexpr ZIndex kHostNameLength = 253;
constexpr ZIndex kLabelLength = 63;

bool IsLabelCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

// Dot-separated labels of letters, digits and "-", none empty and none
// beginning or ending with "-".
bool IsHostName(const ZString& name) {
  const ZIndex length = name.GetLength();
  if (length == 0 || length > kHostNameLength) return false;
  ZIndex labelStart = 0;
  for (ZIndex i = 0; i <= length; ++i) {
    if (i < length && name[i] != '.') {
      if (!IsLabelCharacter(name[i])) return false;
      continue;
    }
    const ZIndex labelLength = i - labelStart;
    if (labelLength == 0 || labelLength > kLabelLength) return false;
    if (name[labelStart] == '-' || name[i - 1] == '-') return false;
    labelStart = i + 1;
  }
  return true;
}

// The host of "host[:port]" in lower case, without the one final dot of an
// absolute name; false when the port is not a number or the host is none.
bool HostOf(const ZString& text, ZString& host) {
  ZString site = text.Trim();
  // IPv6 literals never name this IPv4 gateway.
  if (site.IsEmpty() || site[0] == '[') return false;
  const ZIndex colon = site.Find(':');
  if (colon != ZNotFound) {
    const ZString port = site.Mid(colon + 1);
    if (port.IsEmpty() || port.GetLength() > 5) return false;
    for (ZIndex i = 0; i < port.GetLength(); ++i) {
      if (port[i] < '0' || port[i] > '9') return false;
    }
    site = site.Left(colon);
  }
  if (site.GetLength() > 1 && site[site.GetLength() - 1] == '.') site = site.Left(site.GetLength() - 1);
  host = site.ToLower();
  return !host.IsEmpty();
}

bool IsOwnAddress(const ZIPAddress& address, const ZIPAddress& connectedTo) {
  if (address.GetByte(0) == 127 || address == connectedTo) return true;
  std::vector<ZIPAddress> own;
  if (!ZSocket::GetInterfaceAddresses(own)) return false;
  return std::find(own.begin(), own.end(), address) != own.end();
}

}  // namespace

// ---------------------------------------------------------------- LoginBackoff

LoginBackoff::LoginBackoff(LogSink& logSink, Clock now, size_t maxAddresses)
    : log(logSink), clock(std::move(now)), capacity(std::max<size_t>(maxAddresses, 1)) {}

bool LoginBackoff::Expire(Entry& entry, const ZTime& now) {
  const ZTimeInterval window(0, kWindowSeconds);
  while (!entry.failures.empty() && entry.failures.front() + window <= now) entry.failures.pop_front();
  if (entry.lockOuts > 0 && entry.failures.empty() && entry.lockedUntil + window <= now) {
    entry.lockOuts = 0;
    entry.failed = 0;
  }
  return entry.lockOuts == 0 && entry.failures.empty();
}

LoginBackoff::Entry& LoginBackoff::EntryOf(const ZIPAddress& address, const ZTime& now) {
  auto found = table.find(address.GetValue());
  if (found == table.end()) {
    if (table.size() >= capacity) {
      auto oldest = std::min_element(table.begin(), table.end(), [](const auto& a, const auto& b) {
        return a.second.lastHeard < b.second.lastHeard;
      });
      table.erase(oldest);
    }
    found = table.emplace(address.GetValue(), Entry{}).first;
  }
  found->second.lastHeard = now;
  return found->second;
}

bool LoginBackoff::IsLockedOut(const ZIPAddress& address) {
  const ZTime now = clock();
  std::lock_guard<std::mutex> guard(lock);
  const auto found = table.find(address.GetValue());
  return found != table.end() && now < found->second.lockedUntil;
}

void LoginBackoff::Failed(const ZIPAddress& address, const ZString& user) {
  const ZTime now = clock();
  log.Log(WarningLevel, "Failed login as \"%s\" from %s.", user.Text(), address.GetDotted().Text());
  std::lock_guard<std::mutex> guard(lock);
  Entry& entry = EntryOf(address, now);
  Expire(entry, now);
  ++entry.failed;
  if (entry.lockOuts > 0) {
    // A failure after a lock-out, before the address has been quiet for a
    // window: locked out again at once, for twice as long.
    if (now >= entry.lockedUntil) LockOut(entry, address, now);
    return;
  }
  entry.failures.push_back(now);
  if (static_cast<int>(entry.failures.size()) >= kFailureLimit) LockOut(entry, address, now);
}

void LoginBackoff::LockOut(Entry& entry, const ZIPAddress& address, const ZTime& now) {
  entry.failures.clear();
  ++entry.lockOuts;
  int64_t seconds = kFirstLockSeconds;
  for (int i = 1; i < entry.lockOuts && seconds < kLongestLockSeconds; ++i) seconds *= 2;
  seconds = std::min(seconds, kLongestLockSeconds);
  entry.lockedUntil = now + ZTimeInterval(0, seconds);
  log.Log(WarningLevel, "Logins from %s refused for %lld seconds after %d failed logins.", address.GetDotted().Text(),
          static_cast<long long>(seconds), entry.failed);
}

void LoginBackoff::Succeeded(const ZIPAddress& address) {
  std::lock_guard<std::mutex> guard(lock);
  table.erase(address.GetValue());
}

size_t LoginBackoff::GetSize() const {
  std::lock_guard<std::mutex> guard(lock);
  return table.size();
}

// ---------------------------------------------------------------- GatewayNames

bool GatewayNames::ParseNames(const char* text, ZStringArray& names, ZString& refused) {
  const ZStringArray words = ZString(text != nullptr ? text : "").Tokenise(" \t", false);
  for (ZIndex i = 0; i < words.GetSize(); ++i) {
    const ZString word = words[i].Trim();
    if (word.IsEmpty()) continue;
    if (!IsHostName(word)) {
      refused = word;
      return false;
    }
    names.Append(word.ToLower());
  }
  return true;
}

void GatewayNames::SetConfigured(const ZString& text) {
  ZStringArray names;
  ZString refused;
  // A stored text the form would refuse still gives the names before the
  // first wrong one; the form shows the whole text to be mended.
  ParseNames(text.Text(), names, refused);
  std::lock_guard<std::mutex> guard(lock);
  configured = names;
}

ZStringArray GatewayNames::GetConfigured() const {
  std::lock_guard<std::mutex> guard(lock);
  return configured;
}

bool GatewayNames::Names(const ZString& text, const ZIPAddress& connectedTo) const {
  ZString host;
  if (!HostOf(text, host)) return false;
  if (host == "localhost" || host == ZSocket::GetHostName().ToLower()) return true;
  ZIPAddress address;
  if (address.Parse(host.Text())) return IsOwnAddress(address, connectedTo);
  const ZStringArray names = GetConfigured();
  for (ZIndex i = 0; i < names.GetSize(); ++i) {
    if (names[i] == host) return true;
  }
  return false;
}

ZString GatewayNames::Describe(const ZIPAddress& connectedTo) const {
  ZStringArray accepted;
  auto add = [&accepted](const ZString& name) {
    for (ZIndex i = 0; i < accepted.GetSize(); ++i) {
      if (accepted[i] == name) return;
    }
    accepted.Append(name);
  };
  add(ZSocket::GetHostName().ToLower());
  add("localhost");
  add(connectedTo.GetDotted());
  std::vector<ZIPAddress> own;
  if (ZSocket::GetInterfaceAddresses(own)) {
    for (const ZIPAddress& address : own) add(address.GetDotted());
  }
  const ZStringArray names = GetConfigured();
  for (ZIndex i = 0; i < names.GetSize(); ++i) add(names[i]);
  ZString text;
  for (ZIndex i = 0; i < accepted.GetSize(); ++i) {
    if (i > 0) text += " ";
    text += accepted[i];
  }
  return text;
}

// ---------------------------------------------------------------- SiteGuard

// The help pages carry one style block; its hash is the only style the
// pages may use. A changed block needs its new hash here (a test of the
// site's files compares them).
const char* const SiteGuard::kContentSecurityPolicy =
    "default-src 'none'; img-src 'self'; style-src 'sha256-UuGRWyXzF09ylFLs8QRURALQIx0G/Ijbx1Ptp8uKt6w='; "
    "form-action 'self'; base-uri 'none'; frame-ancestors 'none'";

void SiteGuard::AddSiteHeaders(ZMIMEInfo& mime, bool protectedPage) {
  mime.SetAt("X-Frame-Options", "DENY");
  mime.SetAt("Content-Security-Policy", kContentSecurityPolicy);
  mime.SetAt("X-Content-Type-Options", "nosniff");
  mime.SetAt("Referrer-Policy", "same-origin");
  if (protectedPage) mime.SetAt("Cache-Control", "no-store");
}

bool SiteGuard::Admit(ZHTTPSocket& socket, const ZURL& url, const ZMIMEInfo& mime, bool& protectedPage) {
  protectedPage = false;
  ZIPAddress local;
  uint16_t localPort = 0;
  ZIPAddress peer;
  uint16_t peerPort = 0;
  if (!socket.GetLocalAddress(local, localPort) || !socket.GetPeerAddress(peer, peerPort)) return false;

  // A page of another site whose name was made to lead here (DNS
  // rebinding) names that site in its Host; a request without one is an
  // old client's, answered as ever.
  const ZString host = mime.GetString("Host").Trim();
  if (!host.IsEmpty() && !names.Names(host, local)) {
    return socket.OnError(ZHTTPForbidden,
                          "This site answers only to the names of the gateway: " + names.Describe(local) + ".");
  }

  const ZHTTPSpace::ResourcePointer resource = socket.GetSpace().FindResource(url);
  const ZHTTPAuthority* authority = resource ? resource->GetAuthority() : nullptr;
  if (authority == nullptr) return true;
  protectedPage = true;
  if (backoff.IsLockedOut(peer)) {
    return socket.OnError(ZHTTPForbidden, "Too many failed logins from this address; try again later.");
  }
  const ZString* credentials = mime.GetAt(ZString(ZHTTPHeader::Authorization));
  if (credentials == nullptr) return true;  // asked for them (401), not a failure
  if (authority->Validate(credentials->Text())) {
    backoff.Succeeded(peer);
  } else {
    backoff.Failed(peer, LoggedUserName(credentials->Text()));
  }
  return true;
}

ZString LoggedUserName(const char* authorization) {
  const ZCaselessString info(authorization != nullptr ? authorization : "");
  const ZString encoded = info.CompareAt(0, 6, "Basic ") == EqualTo ? info.Mid(6) : ZString(info);
  const ZString decoded = ZBase64::Decode(encoded.Trim().Text());
  const ZIndex colon = decoded.Find(':');
  const ZString user = (colon == ZNotFound ? decoded : decoded.Left(colon)).Trim();
  // A name is the client's text: nothing in it may forge a line or a quote.
  ZString shown;
  for (ZIndex i = 0; i < user.GetLength() && i < kLoggedNameLength; ++i) {
    const char c = user[i];
    shown += (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') ? c : '?';
  }
  if (user.GetLength() > kLoggedNameLength) shown += "...";
  return shown;
}
