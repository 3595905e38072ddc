#include "proxy_thread.h"

#include "proxy.h"

namespace {
// The size another host gave these threads; the library raises it to its
// own minimum.
constexpr ZIndex kStackSize = 5000;
// A body that found no thread for its successor tries again after this.
const ZTimeInterval kRetryPause(100);
}  // namespace

ProxyThread::ProxyThread(Proxy& proxy, ZIPSocket& master, ProxyBody body)
    : ZThread(QuietLaunch, kStackSize, false, false, NormalPriority), proxy(proxy), socket(master), body(body) {}

bool ProxyThread::Start(Proxy& proxy, ZIPSocket& master, ProxyBody body) {
  auto* thread = new ProxyThread(proxy, master, body);
  // Created suspended, so that Main never sees a half-built object; a thread
  // that was never started cannot end, so asking is safe.
  if (thread->IsTerminated()) {
    delete thread;
    return false;
  }
  thread->Resume();
  return true;
}

void ProxyThread::Main() {
  for (;;) {
    runAgain = false;
    (proxy.*body)(*this, socket);
    if (!runAgain) return;
    SleepFor(kRetryPause);
    ForgetLastError();  // the refused thread's error belongs to the last round
  }
}

bool Proxy::PassOnListener(ProxyThread& thread, ZIPSocket& master, ProxyBody body) {
  if (ProxyThread::Start(*this, master, body)) {
    if (threadShortage.exchange(false)) Log(2, "Threads can be started again.");
    return true;
  }
  if (!threadShortage.exchange(true)) {
    Log(1, "No thread can be started for the next connection of \"%s\": connections are dropped until "
        "one can.", master.GetService().Text());
  }
  thread.RunAgain();
  return false;
}

uint64_t Proxy::LoadOfMaster(const ZIPSocket& master) {
  uint64_t load = 0;
  // Read under the list's lock: a master still listed belongs to the
  // current load, since a load starts only once the last one's are gone.
  masterSockets.WithListed(&master, [&] { load = loadNumber.load(std::memory_order_acquire); });
  return load;
}

bool Proxy::TakeQueuedConnection(ZIPSocket& master, uint64_t load, ZTCPSocket& client) {
  if (load == 0) return false;
  bool taken = false;
  // Listed and of the same load, the address still names the same master
  // socket, and the list's lock keeps it alive while we take from it.
  masterSockets.WithListed(&master, [&] {
    if (loadNumber.load(std::memory_order_acquire) == load) taken = client.AcceptQueued(master);
  });
  return taken;
}
