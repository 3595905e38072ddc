#include "proxy_thread.h"

#include "proxy.h"

namespace {
// The size another host gave these threads; the library raises it to its
// own minimum.
constexpr ZIndex kStackSize = 5000;
// A body that found no thread for its successor tries again after this.
const ZTimeInterval kRetryPause(100);
}  // namespace

ProxyThread::ProxyThread(Proxy& owner, ZIPSocket& master, ProxyBody agentBody)
    : ZThread(QuietLaunch, kStackSize, false, false, NormalPriority), proxy(owner), socket(master), body(agentBody) {}

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

bool ProxyThread::StartSuccessor() { return Start(proxy, socket, body); }

void ProxyThread::Main() {
  for (;;) {
    runAgain = false;
    (proxy.*body)(*this, socket);
    if (!runAgain) return;
    SleepFor(kRetryPause);
    ForgetLastError();  // the refused thread's error belongs to the last round
  }
}
