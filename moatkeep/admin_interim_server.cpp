// A minimal body for the HTTP port: serves the administration site and
// nothing else (no proxying), one connection per thread, and runs the
// reload after an accepted configuration form. The HTTP agent replaces it.
#include <memory>

#include "admin_site.h"
#include "proxy.h"
#include "zunder/http.h"

namespace {

// A server socket for the site that is accepted like any relay's client.
class SiteSocket : public ZHTTPSocket {
 public:
  explicit SiteSocket(const ZHTTPSpace& space) : ZHTTPSocket(uint16_t{0}) { urlSpace = space; }
};

}  // namespace

void Proxy::InterimSiteServer(ProxyThread& /*thread*/, ZIPSocket& master) {
  const ZString name = master.GetService() + "/tcp";
  auto client = std::make_unique<SiteSocket>(site);
  if (!AcceptConnection(master, *client, name)) return;
  new ProxyThread(*this, master, &Proxy::InterimSiteServer);
  // Bounded: a client keeps the connection for at most this many requests.
  for (int request = 0; request < 100 && client->ProcessCommand(); ++request) {
  }
  client->EndConnection();
  if (IsConfigChanged()) {
    if (!Initialise(AdminSite::kReloadMessage)) {
      OnStop();
      Terminate();
    }
  }
}
