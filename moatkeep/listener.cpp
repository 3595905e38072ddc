#include "listener.h"

#include "zunder/resources.h"
#include "zunder/threads.h"

namespace {

// The pause after a failed accept that may succeed again once descriptors
// or buffers are given back.
const ZTimeInterval kAcceptRetryPause(100);

}  // namespace

void Listeners::BeginLoad() {
  loadNumber.fetch_add(1, std::memory_order_acq_rel);
  masterSockets.Reopen();
}

bool Listeners::RideOutFailure(ZIPSocket& master, const ZChannel& attempt, const ZString& agent, bool& shortageLogged) {
  const bool closing = attempt.GetErrorCode() == ZChannel::Interrupted || !master.IsOpen();
  if (!closing && ZIsTransientAcceptError(attempt.GetOSError())) {
    // Out of descriptors or buffers for a moment: the relay stays open.
    if (!shortageLogged) {
      log.Log(ErrorLevel, "Accept failed for %s: %s", agent.Text(), attempt.GetErrorText().Text());
      shortageLogged = true;
    }
    ZThread::SleepFor(kAcceptRetryPause);
    return true;
  }
  if (!closing) log.Log(ErrorLevel, "Accept failed for %s: %s", agent.Text(), attempt.GetErrorText().Text());
  masterSockets.Remove(&master);
  return false;
}

bool Listeners::PassOnListener(ProxyThread& thread) {
  if (thread.StartSuccessor()) {
    if (threadShortage.exchange(false)) log.Log(WarningLevel, "Threads can be started again.");
    return true;
  }
  if (!threadShortage.exchange(true)) {
    log.Log(ErrorLevel,
            "No thread can be started for the next connection of \"%s\": connections are dropped until "
            "one can.",
            thread.GetMaster().GetService().Text());
  }
  thread.RunAgain();
  return false;
}

uint64_t Listeners::LoadOfMaster(const ZIPSocket& master) {
  uint64_t load = 0;
  // Read under the list's lock: a master still listed belongs to the
  // current load, since a load starts only once the last one's are gone.
  masterSockets.WithListed(&master, [&] { load = loadNumber.load(std::memory_order_acquire); });
  return load;
}

bool Listeners::TakeQueuedConnection(ZIPSocket& master, uint64_t load, ZTCPSocket& client) {
  if (load == 0) return false;
  bool taken = false;
  // Listed and of the same load, the address still names the same master
  // socket, and the list's lock keeps it alive while we take from it.
  masterSockets.WithListed(&master, [&] {
    if (loadNumber.load(std::memory_order_acquire) == load) taken = client.AcceptQueued(master);
  });
  return taken;
}
