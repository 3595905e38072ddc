// The administration site's space: the help files from the program's
// directory and the generated pages.
#include "admin_site.h"
#include "proxy.h"

void Proxy::BuildSite(ZHTTPSpace& space) {
  AdminSite::AddFiles(space, GetExecutableFile().GetPath());
  AdminSite::Build(*this, space);
}
