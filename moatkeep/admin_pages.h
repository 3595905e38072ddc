// The building blocks of the administration site: the page with the
// standard header and the parts it is made of, the help files with the
// header put in, the configuration form bound to one section, the checked
// fields of the relay and restriction tables, and the list of dial-up remote
// systems.
#pragma once

#include "zunder/html.h"
#include "zunder/http.h"
#include "zunder/httpform.h"

// What an accepted configuration form asks of the service.
class ReloadRequester {
 public:
  virtual ~ReloadRequester() = default;
  // Closes the listeners, then marks the configuration changed, so that the
  // connection that carried the form reloads the service after its answer.
  virtual void RequestReload() = 0;
};

// A page that starts with the standard header: title, logo, version line and
// a level-1 heading with an optional help button.
class ProxyHTML : public ZHTML {
  Z_CLASS(ProxyHTML, ZHTML)
 public:
  explicit ProxyHTML(const char* title, const char* helpFile = "");
};

// ---- the parts pages are made of, each built here only
// The vendor line under the version in every header.
ZString AdminVendorLine();
// The program's build date in a time format ("d MMM yy", "d MMMM yy").
ZString AdminBuildDate(const char* pattern);
// "Unix/Linux Version 1.0 ..." (escaped), empty without a process.
ZString AdminSystemLine();
// The logo at the head of the pages.
ZHTMLImage AdminLogo();
// The help image pointing at url, written into page; alignment is the
// image's attribute as the page writes it.
void AddHelpLink(ZHTML& page, const char* url, const char* alignment = "ALIGN=absmiddle");
// The same as a fragment, for beside a field.
ZString AdminHelpImage(const char* url);
// A level-2 heading that links to its help, with the help image.
void AddHelpHeading(ZHTML& page, const char* helpURL, const char* text);

// ---- the notice of a built-in login, on every page while it lasts
// Set by each configuration load, read by every page as it is made.
void SetBuiltInLoginNotice(bool shown);
// The notice's paragraph, or empty when the login has been changed.
ZString BuiltInLoginNotice();

// A file of the program's directory served under its own name; help pages
// get the standard header in place of their first marker.
class ProxyHTTPFile : public ZHTTPFile {
  Z_CLASS(ProxyHTTPFile, ZHTTPFile)
 public:
  static constexpr const char* kMarker = "Standard_Moatkeep_Header";

  ProxyHTTPFile(const char* name, const char* filePath);
  void OnLoadedText(ZHTTPRequest& request, ZString& text) override;

  // The text with its first marker replaced by the header.
  static ZString InsertHeader(const ZString& text);
};

// Why a form post is not taken as coming from a page of this site, or
// empty when it is: its "Origin" (or, without one, its "Referer") must
// name the host and port of the request's own "Host". A post that names
// neither is refused too (every browser sends "Origin" with a post).
ZString ForeignPostRefusal(const ZMIMEInfo& mime);
// True when ForeignPostRefusal has a reason.
bool IsCrossSitePost(const ZMIMEInfo& mime);

// A configuration form bound to one section ("Globals" -> "globals.html").
// Never cached; an accepted post closes the listeners for the reload.
class ConfigPage : public ZHTTPConfig {
  Z_CLASS(ConfigPage, ZHTTPConfig)
 public:
  ConfigPage(ReloadRequester& requester, const char* sectionName, const ZHTTPAuthority& access);
  // For pages whose URL is not the section's.
  ConfigPage(ReloadRequester& requester, const ZURL& url, const char* sectionName, const ZHTTPAuthority& access);

  bool GetExpirationDate(ZTime& time) override;
  bool OnPOST(ZHTTPSocket& socket, const ZURL& url, const ZMIMEInfo& mime, const ZStringToString& data) override;
  bool Post(ZHTTPRequest& request, const ZStringToString& data, ZHTML& msg) override;

  // The page's name for a section: lower case and ".html".
  static ZString PageName(const char* section);

 protected:
  ReloadRequester& service;
};

// A text field of the configuration forms that takes only what the service
// will read as meant; anything else is refused with a line that says why.
class CheckedField : public ZHTTPStringField {
  Z_CLASS(CheckedField, ZHTTPStringField)
 public:
  enum Kind {
    // A relay's destination: empty, "(ASK)", or what the relay parser takes
    // as a host/socket specification.
    RelayDestination,
    // An originator or destination of the access restrictions: empty, or a
    // pattern the restriction table takes when it loads (so no "(ASK)", no
    // "*" or "/8", no host name that does not resolve).
    RestrictionPattern,
    // A relay's service description: empty, or what the service parser takes.
    ServiceDescription,
    // Blank-separated host names or dotted addresses (GatewayNames).
    HostNames,
  };

  CheckedField(Kind fieldKind, const char* fieldName, const char* fieldTitle = nullptr);
  bool Validate(const char* text, ZHTML& msg) override;

 private:
  const Kind kind;
};

// The ports HTTP tunnels may lead to: blank-separated numbers from 1 to
// 65535, or nothing (no tunnels).
class ConnectPortsField : public ZHTTPStringField {
  Z_CLASS(ConnectPortsField, ZHTTPStringField)
 public:
  ConnectPortsField(const char* fieldName, const char* initialValue);
  bool Validate(const char* text, ZHTML& msg) override;
};

// The password of the Global Parameters form: shown empty whatever is
// stored, so that no page ever holds it.
class KeptPasswordField : public ZHTTPPasswordField {
  Z_CLASS(KeptPasswordField, ZHTTPPasswordField)
 public:
  static constexpr const char* kNote = "An empty field keeps the current password.";
  KeptPasswordField(const char* fieldName, int32_t boxWidth);
  void GetHTML(ZHTML& html) override;
};

// "globals.html": a Password posted empty keeps the stored one.
class GlobalsPage : public ConfigPage {
  Z_CLASS(GlobalsPage, ConfigPage)
 public:
  GlobalsPage(ReloadRequester& requester, const ZHTTPAuthority& access);
  bool Post(ZHTTPRequest& request, const ZStringToString& data, ZHTML& msg) override;
};

// "security.html": the restriction table. A new originator needs a
// destination, or the table would skip the pair.
class SecurityPage : public ConfigPage {
  Z_CLASS(SecurityPage, ConfigPage)
 public:
  static constexpr const char* kOriginator = "Originator";
  static constexpr const char* kDestination = "Destination";

  SecurityPage(ReloadRequester& requester, const ZHTTPAuthority& access);

 protected:
  bool ValidatePosted(ZHTTPField& field, const char* text, const ZStringToString& data, ZHTML& msg) override;
};

// "socksusers.html": the form of the Security page's "SOCKS Users" part,
// bound to that section: adds a user with a password, removes one. A
// password is never shown back, not even in its own box.
class SocksUsersPage : public ConfigPage {
  Z_CLASS(SocksUsersPage, ConfigPage)
 public:
  static constexpr const char* kURL = "socksusers.html";
  static constexpr const char* kRemove = "Remove SOCKS user";
  static constexpr const char* kNewUser = "New SOCKS user";
  static constexpr const char* kNewPassword = "New SOCKS password";

  // users: the names listed now, the choices of the removal.
  SocksUsersPage(ReloadRequester& requester, const ZHTTPAuthority& access, const ZStringArray& users);
  // Writes the new user and the removal (an emptied password) in one go.
  bool Post(ZHTTPRequest& request, const ZStringToString& data, ZHTML& msg) override;

 protected:
  bool ValidatePosted(ZHTTPField& field, const char* text, const ZStringToString& data, ZHTML& msg) override;
};

// "remotes.html": the list of remote systems with a Remove button each.
class RemoteListPage : public ConfigPage {
  Z_CLASS(RemoteListPage, ConfigPage)
 public:
  RemoteListPage(ReloadRequester& requester, const ZHTTPAuthority& access, const ZString& page);
  // Removes the remote whose button was pressed, renumbering the sections
  // after it.
  bool Post(ZHTTPRequest& request, const ZStringToString& data, ZHTML& msg) override;
};
