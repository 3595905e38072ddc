// The administration site: every page of it, added to the space that the
// HTTP agent serves.
#pragma once

#include "admin_pages.h"
#include "control_page.h"
#include "zunder/http.h"

// The administration login, as the configuration holds it.
struct AdminLogin {
  static constexpr const char* kBuiltInUsername = "admin";
  static constexpr const char* kBuiltInPassword = "pebble";
  static constexpr const char* kBuiltInWarning =
      "The administration login is the built-in default; change it on the Global Parameters page.";

  ZString username;
  ZString password;

  // The password everyone can read in the manual is a login that anyone
  // can give, whatever the user name.
  bool IsBuiltIn() const { return password == kBuiltInPassword; }
};

// What the site's pages use of the service.
class AdminService : public ReloadRequester, public StatusPageService {
 public:
  virtual AdminLogin GetLogin() const = 0;
};

namespace AdminSite {

// The help pages and images, served from the program's directory. Added
// once at start, without overwriting.
void AddFiles(ZHTTPSpace& space, const ZString& directory);

// The generated pages (welcome, configuration forms, remote systems, status
// and control), built from the stored configuration and added with
// overwrite, so a reload replaces them in place.
void Build(AdminService& service, ZHTTPSpace& space);

// The message of the configuration load that follows an accepted form.
inline constexpr const char* kReloadMessage = "Configuration changed, reloaded.";

}  // namespace AdminSite
