// "control.html": the live state of the service (dial-up link, connected
// hosts, active links) with the actions on it (hang up, dial, release a
// host). Generated anew for every request; the browser reloads it every
// 30 seconds.
#pragma once

#include "dial_on_demand.h"
#include "host_registry.h"
#include "zunder/http.h"

// What the page reads of the service and asks of it.
class StatusPageService {
 public:
  virtual ~StatusPageService() = default;
  virtual DialUpControl& GetDialUp() = 0;
  virtual HostRegistry& GetHosts() = 0;
  // The links open (counted as stop and pause would close them).
  virtual ZIndex CountActiveSockets() const = 0;
};

class ControlPage : public ZHTTPString {
  Z_CLASS(ControlPage, ZHTTPString)
 public:
  ControlPage(StatusPageService& statusService, const ZHTTPAuthority& access);

  void OnLoadedText(ZHTTPRequest& request, ZString& text) override;
  bool OnPOST(ZHTTPSocket& socket, const ZURL& url, const ZMIMEInfo& mime, const ZStringToString& data) override;
  bool Post(ZHTTPRequest& request, const ZStringToString& data, ZHTML& msg) override;

  // "2 hours and 5 minutes", " 40 seconds": how long the link has been up.
  static ZString ConnectedText(const ZTimeInterval& connected);
  // " 3 minutes and 20 seconds": how long until it hangs up.
  static ZString RemainingText(const ZTimeInterval& remaining);

 private:
  void BuildDialUp(ZHTML& page);
  void BuildHosts(ZHTML& page);
  void BuildDataConnections(ZHTML& page);

  StatusPageService& service;
};
