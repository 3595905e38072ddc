#include "proxy_thread.h"

#include "proxy.h"

namespace {
// The size another host gave these threads; the library raises it to its
// own minimum.
constexpr ZIndex kStackSize = 5000;
}  // namespace

ProxyThread::ProxyThread(Proxy& proxy, ZIPSocket& master, ProxyBody body)
    : ZThread(kStackSize, false, false, NormalPriority), proxy(proxy), socket(master), body(body) {
  // Created suspended so that Main never sees a half-built object.
  Resume();
}

void ProxyThread::Main() { (proxy.*body)(*this, socket); }
