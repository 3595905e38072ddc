#include "admin_pages.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "http_tunnel.h"
#include "remote_system.h"
#include "restrictions.h"
#include "service_description.h"
#include "settings_names.h"
#include "site_guard.h"
#include "socket_spec.h"
#include "socks_users.h"
#include "zunder/config.h"
#include "zunder/time.h"
#include "zunder/url.h"

namespace {

constexpr const char* kProductName = "Moatkeep";

ZHTMLImage HelpIcon(const char* alignment) {
  ZHTMLImage help("help.gif", "Help", 48, 23);
  help.SetAttr(alignment);
  return help;
}

ZString VersionText() { return ZProcess::Current() != nullptr ? ZProcess::Current()->GetVersion(true) : ZString(); }

// The host and port that a site text names: "host[:port]" (a Host header)
// or a URL ("http://host:port/..."); false when there is no host in it.
bool SiteOf(const ZString& text, bool isURL, ZString& host, uint16_t& port) {
  ZString site = text.Trim();
  if (isURL) {
    const ZURL url(site.Text());
    if (url.GetHostname().IsEmpty()) return false;
    host = url.GetHostname().ToLower();
    port = url.GetPort() != 0 ? url.GetPort() : ZURL::GetDefaultPort(url.GetScheme().Text());
    return true;
  }
  if (site.IsEmpty()) return false;
  const ZIndex colon = site.FindLast(':');
  port = 80;
  if (colon != ZNotFound && site.Find(']') == ZNotFound) {
    port = static_cast<uint16_t>(std::atoi(site.Mid(colon + 1).Text()));
    site = site.Left(colon);
  }
  host = site.ToLower();
  return !host.IsEmpty();
}

void RefuseSpecification(ZHTML& msg, const ZString& fieldName) {
  msg << "Invalid host/socket specification for \"" << ZHTML::Escape(fieldName.Text()) << "\".<BR>\r\n";
}

// The width of a checked field's input box.
int32_t SizeOf(CheckedField::Kind kind) {
  switch (kind) {
    case CheckedField::ServiceDescription: return 12;
    case CheckedField::HostNames: return 40;
    default: return 25;
  }
}

std::atomic<bool> builtInLoginNotice{false};

}  // namespace

// ---------------------------------------------------------------- header

ZString AdminVendorLine() { return "Moatkeep Works: a gateway for the small site"; }

ZString AdminBuildDate(const char* pattern) {
  // __DATE__ reads "Mmm dd yyyy".
  static const char* const kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const char* built = __DATE__;
  char month[4] = {built[0], built[1], built[2], 0};
  const char* found = std::strstr(kMonths, month);
  const int monthNumber = found != nullptr ? static_cast<int>(found - kMonths) / 3 + 1 : 1;
  const int day = std::atoi(built + 4);
  const int year = std::atoi(built + 7);
  return ZTime(0, 0, 12, day, monthNumber, year).AsString(pattern);
}

ZString AdminSystemLine() {
  ZProcess* process = ZProcess::Current();
  if (process == nullptr) return ZString();
  return ZHTML::Escape(process->GetOSClass().Text()) + "/" + ZHTML::Escape(process->GetOSName().Text()) + " Version " +
         ZHTML::Escape(process->GetVersion(true).Text());
}

ZHTMLImage AdminLogo() { return ZHTMLImage("moatkeep.gif", "Moatkeep!", 245, 58); }

void AddHelpLink(ZHTML& page, const char* url, const char* alignment) {
  page << ZHTMLHotLink(url) << HelpIcon(alignment) << ZHTMLHotLink();
}

ZString AdminHelpImage(const char* url) {
  // A fragment for inside a page's body.
  ZHTML html;
  html.Set(ZHTML::BodyContext);
  AddHelpLink(html, url);
  return ZString(html.Text());
}

void AddHelpHeading(ZHTML& page, const char* helpURL, const char* text) {
  // The text is part of the link.
  page << ZHTMLHeading(2) << ZHTMLHotLink(helpURL) << text << HelpIcon("ALIGN=absmiddle") << ZHTMLHotLink()
       << ZHTMLHeading(2);
}

void SetBuiltInLoginNotice(bool shown) { builtInLoginNotice = shown; }

ZString BuiltInLoginNotice() {
  if (!builtInLoginNotice) return ZString();
  return "<P><STRONG>The administration login is the built-in default; change it on the "
         "<A HREF=\"globals.html\">Global Parameters</A> page.</STRONG>\r\n";
}

ProxyHTML::ProxyHTML(const char* title, const char* helpFile) {
  // The title is markup ("Status &amp; Control"); TITLE escapes its text
  // itself, so it gets the plain form.
  ZString plainTitle = ZString(kProductName) + " " + title;
  plainTitle.Replace("&amp;", "&", true);
  *this << ZHTMLTitle(plainTitle.Text()) << ZHTMLBody();
  *this << ZHTMLTable() << ZHTMLTableRow() << ZHTMLTableData() << AdminLogo() << ZHTMLTableData() << AdminSystemLine()
        << ", " << AdminBuildDate("d MMM yy") << ZHTMLBreak() << AdminVendorLine() << ZHTMLTable();
  *this << BuiltInLoginNotice();
  // The title is markup of the caller's ("Status &amp; Control").
  *this << ZHTMLHeading(1) << title;
  if (helpFile != nullptr && *helpFile != 0) {
    *this << " ";
    AddHelpLink(*this, helpFile, "align=absmiddle");
  }
  *this << ZHTMLHeading(1) << ZHTMLParagraph();
}

// ---------------------------------------------------------------- help files

ProxyHTTPFile::ProxyHTTPFile(const char* name, const char* filePath) : ZHTTPFile(ZURL(name), filePath) {}

void ProxyHTTPFile::OnLoadedText(ZHTTPRequest& /*request*/, ZString& text) { text = InsertHeader(text); }

ZString ProxyHTTPFile::InsertHeader(const ZString& text) {
  const ZIndex at = text.Find(kMarker);
  if (at == ZNotFound) return text;
  ZHTML header;
  header.Set(ZHTML::BodyContext);
  header << "<TABLE>\r\n<TR>\r\n<TD rowspan=3>\r\n"
         << AdminLogo() << "\r\n<TD>Common Version " << VersionText() << ", " << AdminBuildDate("d MMM yy")
         << "<BR>\r\n"
         << AdminVendorLine() << "\r\n</TABLE>\r\n"
         << BuiltInLoginNotice();
  return text.Left(at) + header.Text() + text.Mid(at + static_cast<ZIndex>(std::strlen(kMarker)));
}

// ---------------------------------------------------------------- cross-site posts

ZString ForeignPostRefusal(const ZMIMEInfo& mime) {
  ZString claimed = mime.GetString("Origin");
  if (claimed.IsEmpty()) claimed = mime.GetString("Referer");
  // Some other client's, or a page that hides where it is.
  if (claimed.IsEmpty()) return "Form posted without Origin or Referer.";
  const ZString crossSite = "Form posted from another site.";
  ZString ownHost, claimedHost;
  uint16_t ownPort = 0, claimedPort = 0;
  if (!SiteOf(mime.GetString("Host"), false, ownHost, ownPort)) return crossSite;
  // "Origin: null" (a sandboxed or opaque page) names no host: refused.
  if (!SiteOf(claimed, true, claimedHost, claimedPort)) return crossSite;
  return claimedHost != ownHost || claimedPort != ownPort ? crossSite : ZString();
}

bool IsCrossSitePost(const ZMIMEInfo& mime) { return !ForeignPostRefusal(mime).IsEmpty(); }

// ---------------------------------------------------------------- ConfigPage

ConfigPage::ConfigPage(ReloadRequester& requester, const char* sectionName, const ZHTTPAuthority& access)
    : ConfigPage(requester, ZURL(PageName(sectionName).Text()), sectionName, access) {}

ConfigPage::ConfigPage(ReloadRequester& requester, const ZURL& url, const char* sectionName,
                       const ZHTTPAuthority& access)
    : ZHTTPConfig(url, sectionName, ZConfig(ZConfig::Application), &access), service(requester) {}

ZString ConfigPage::PageName(const char* section) { return ZString(section).ToLower() + ".html"; }

bool ConfigPage::GetExpirationDate(ZTime& time) {
  time = ZTime::Now();
  return true;
}

bool ConfigPage::OnPOST(ZHTTPSocket& socket, const ZURL& url, const ZMIMEInfo& mime, const ZStringToString& data) {
  if (!CheckAuthorisation(socket, mime)) return false;
  // A page of another site must not drive the administrator's browser into
  // changing the configuration.
  const ZString refusal = ForeignPostRefusal(mime);
  if (!refusal.IsEmpty()) return socket.OnError(ZHTTPForbidden, refusal);
  return ZHTTPConfig::OnPOST(socket, url, mime, data);
}

bool ConfigPage::Post(ZHTTPRequest& request, const ZStringToString& data, ZHTML& msg) {
  const bool accepted = ZHTTPConfig::Post(request, data, msg);
  if (accepted) {
    // The listening threads end now, so that the reload can open the ports
    // again; only then is the reload asked for, so that no other connection
    // can start it while the old listeners are still open.
    service.RequestReload();
  }
  return accepted;
}

// ---------------------------------------------------------------- fields

CheckedField::CheckedField(Kind fieldKind, const char* fieldName, const char* fieldTitle)
    : ZHTTPStringField(fieldName, "", SizeOf(fieldKind), fieldTitle), kind(fieldKind) {}

bool CheckedField::Validate(const char* text, ZHTML& msg) {
  const ZString trimmed = ZString(text).Trim();
  if (trimmed.IsEmpty()) return true;
  switch (kind) {
    case RelayDestination: {
      if (trimmed == "(ASK)") return true;
      // Agents other than "(ASK)" are relays of their own, not destinations.
      SocketSpec spec;
      if (trimmed.Find('(') == ZNotFound && spec.Parse(trimmed.Text(), 0)) return true;
      break;
    }
    case RestrictionPattern: {
      SocketSpec pattern;
      if (Restrictions::ParsePattern(text, pattern)) return true;
      break;
    }
    case ServiceDescription: {
      ZString serviceName, protocol, errors;
      if (ParseService(trimmed.Text(), serviceName, protocol, errors) != 0) return true;
      msg << ZHTML::Escape(errors.Text()) << "<BR>\r\n";
      return false;
    }
    case HostNames: {
      ZStringArray names;
      ZString refused;
      if (GatewayNames::ParseNames(text, names, refused)) return true;
      msg << "\"" << ZHTML::Escape(GetName().Text()) << "\" takes host names and addresses without ports, "
          << "separated by blanks; \"" << ZHTML::Escape(refused.Text()) << "\" is none.<BR>\r\n";
      return false;
    }
  }
  RefuseSpecification(msg, GetName());
  return false;
}

ConnectPortsField::ConnectPortsField(const char* fieldName, const char* initialValue)
    : ZHTTPStringField(fieldName, initialValue, 25) {}

bool ConnectPortsField::Validate(const char* text, ZHTML& msg) {
  ConnectPorts ports;
  if (ports.Parse(ZString(text))) return true;
  msg << "The field \"" << ZHTML::Escape(GetName().Text())
      << "\" should list port numbers between 1 and 65535, separated by blanks.<BR>";
  return false;
}

KeptPasswordField::KeptPasswordField(const char* fieldName, int32_t boxWidth)
    : ZHTTPPasswordField(fieldName, "", boxWidth) {}

void KeptPasswordField::GetHTML(ZHTML& html) { html << ZHTMLPasswordInput(GetName().Text(), size, 0, ""); }

GlobalsPage::GlobalsPage(ReloadRequester& requester, const ZHTTPAuthority& access)
    : ConfigPage(requester, Settings::kGlobals, access) {}

bool GlobalsPage::Post(ZHTTPRequest& request, const ZStringToString& data, ZHTML& msg) {
  const ZString* password = data.GetAt(ZCaselessString(Settings::kPassword));
  if (password == nullptr || !password->IsEmpty()) return ConfigPage::Post(request, data, msg);
  // The field shows empty: left so, the stored password stays.
  ZStringToString kept(data);
  kept.RemoveAt(ZCaselessString(Settings::kPassword));
  return ConfigPage::Post(request, kept, msg);
}

SecurityPage::SecurityPage(ReloadRequester& requester, const ZHTTPAuthority& access)
    : ConfigPage(requester, Settings::kSecurity, access) {}

bool SecurityPage::ValidatePosted(ZHTTPField& field, const char* posted, const ZStringToString& data, ZHTML& msg) {
  bool accepted = ConfigPage::ValidatePosted(field, posted, data, msg);
  if (field.GetName() != kOriginator || ZString(posted).Trim().IsEmpty()) return accepted;
  const ZString* destination = data.GetAt(ZCaselessString(kDestination));
  if (destination == nullptr || destination->Trim().IsEmpty()) {
    RefuseSpecification(msg, kDestination);
    accepted = false;
  }
  return accepted;
}

// ---------------------------------------------------------------- SocksUsersPage

SocksUsersPage::SocksUsersPage(ReloadRequester& requester, const ZHTTPAuthority& access, const ZStringArray& users)
    : ConfigPage(requester, ZURL(kURL), Settings::kSocksUsers, access) {
  ZStringArray choices;
  choices.Append(ZString());
  for (ZIndex i = 0; i < users.GetSize(); ++i) choices.Append(*users.GetAt(i));
  Add(new ZHTTPSelectField(kRemove, choices, ""));
  // The new user's name is a key of the section: the configuration form
  // refuses one the store would not read back.
  AddNewKeyFields(new ZHTTPStringField(kNewUser, "", 25), new ZHTTPPasswordField(kNewPassword, "", 25));
}

bool SocksUsersPage::ValidatePosted(ZHTTPField& field, const char* posted, const ZStringToString& data, ZHTML& msg) {
  bool accepted = ConfigPage::ValidatePosted(field, posted, data, msg);
  const std::string value = posted != nullptr ? posted : "";
  if (field.GetName() == kNewUser && !value.empty()) {
    if (value.size() > SocksUsers::kLongest) {
      msg << "The field \"" << kNewUser << "\" is longer than 255 bytes.<BR>\r\n";
      accepted = false;
    }
    const ZString* password = data.GetAt(ZCaselessString(kNewPassword));
    if (password == nullptr || password->IsEmpty()) {
      msg << "A new SOCKS user needs a password.<BR>\r\n";
      accepted = false;
    }
  }
  if (field.GetName() == kRemove && !value.empty()) {
    // Only a listed user can go: the text becomes a key of the section.
    const bool listed = ZConfig::IsStorableKey(value.c_str()) &&
                        !ZConfig(ZConfig::Application).GetString(Settings::kSocksUsers, value.c_str(), "").IsEmpty();
    if (!listed) {
      msg << "The SOCKS user \"" << ZHTML::Escape(value.c_str()) << "\" is not listed.<BR>\r\n";
      accepted = false;
    }
  }
  if (field.GetName() == kNewPassword && !SocksUsers::IsStorableValue(value)) {
    // The text itself is never written back into the page.
    msg << "The field \"" << kNewPassword
        << "\" cannot be stored: at most 255 bytes, no control characters, no blanks at its ends, not in"
           " quotes.<BR>\r\n";
    accepted = false;
  }
  return accepted;
}

bool SocksUsersPage::Post(ZHTTPRequest& request, const ZStringToString& data, ZHTML& msg) {
  // Checks every field (and takes the values) without the section write of
  // the configuration form, which would store the boxes under their names.
  if (!ZHTTPForm::Post(request, data, msg)) return false;  // NOLINT(bugprone-parent-virtual-call): on purpose
  ZString removed;
  ZString user;
  ZString password;
  {
    std::lock_guard<std::mutex> guard(formLock);
    for (const auto& field : fields) {
      if (field->GetName() == kRemove) removed = field->GetValue();
      if (field->GetName() == kNewUser) user = field->GetValue();
      if (field->GetName() == kNewPassword) {
        password = field->GetValue();
        field->SetValue("");
      }
    }
  }
  ZConfig::Changes changes;
  // A removed user keeps its key with no password, as an emptied relay
  // does: the load skips it.
  if (!removed.IsEmpty()) changes.SetString(Settings::kSocksUsers, removed.Text(), "");
  if (!user.IsEmpty()) changes.SetString(Settings::kSocksUsers, user.Text(), password.Text());
  if (changes.IsEmpty()) return true;
  ZConfig(ZConfig::Application).Apply(changes);
  service.RequestReload();
  return true;
}

// ---------------------------------------------------------------- RemoteListPage

RemoteListPage::RemoteListPage(ReloadRequester& requester, const ZHTTPAuthority& access, const ZString& page)
    : ConfigPage(requester, ZURL("remotes.html"), "", access) {
  SetText(page);
}

bool RemoteListPage::Post(ZHTTPRequest& request, const ZStringToString& data, ZHTML& msg) {
  ZConfig config(ZConfig::Application);
  for (uint32_t number = 1;; ++number) {
    const ZString remoteSection = RemoteSectionName(number);
    if (config.GetString(remoteSection.Text(), Settings::kRemoteName, "").IsEmpty()) {
      msg = "Request Error";
      msg << "The remote to be deleted has already been removed." << ZHTMLBody();
      request.code = ZHTTPInternalServerError;
      return false;
    }
    if (data.GetAt(ZCaselessString(remoteSection.Text())) == nullptr) continue;
    // Close the gap: every later remote moves down one place. All of it is
    // one write, so a crash half-way never loses the remotes after the gap.
    ZConfig::Changes changes;
    changes.DeleteSection(remoteSection.Text());
    for (uint32_t to = number;; ++to) {
      const ZString from = RemoteSectionName(to + 1);
      if (config.GetString(from.Text(), Settings::kRemoteName, "").IsEmpty()) break;
      const ZString target = RemoteSectionName(to);
      const ZStringList keys = config.GetKeys(from.Text());
      for (ZIndex i = 0; i < keys.GetSize(); ++i) {
        const ZString key = *keys.GetAt(i);
        changes.SetString(target.Text(), key.Text(), config.GetString(from.Text(), key.Text(), "").Text());
      }
      changes.DeleteSection(from.Text());
    }
    config.Apply(changes);
    msg = "";
    return true;
  }
}
