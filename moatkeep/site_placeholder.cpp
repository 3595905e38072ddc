// PLACEHOLDER of the administration site: the one place that fills the
// site's space until the site's own pages exist. Replace the body of
// BuildSite with the site's entry point (for example
// AdminSite::Build(*this, space)) and delete this unit's page.
#include <memory>

#include "proxy.h"

namespace {

const char kPlaceholderPage[] =
    "<HTML>\r\n<HEAD>\r\n<TITLE>Moatkeep</TITLE>\r\n</HEAD>\r\n<BODY>\r\n"
    "<H1>Moatkeep</H1>\r\n"
    "<P>The administration pages of this gateway are not installed yet.\r\n"
    "</BODY>\r\n</HTML>\r\n";

}  // namespace

void Proxy::BuildSite(ZHTTPSpace& space) {
  // "/" finds "welcome.html" through the index names.
  space.AddResource(std::make_shared<ZHTTPString>(ZURL("/welcome.html"), kPlaceholderPage), true);
}
