#include "dial_on_demand.h"

#include <utility>

const ZTimeInterval DialOnDemand::kConnectedLook(0, 10);

namespace {

// The ending of the log line of a failed dial attempt.
const char* FailureEnding(ZRemoteConnection::Status status) {
  switch (status) {
    case ZRemoteConnection::LineBusy: return ": line busy.";
    case ZRemoteConnection::NoDialTone: return ": no dial tone.";
    case ZRemoteConnection::NoAnswer: return ": no answer.";
    case ZRemoteConnection::PortInUse: return ": port in use.";
    case ZRemoteConnection::MissingEntry: return ": missing RAS entry.";
    default: return ".";
  }
}

PageReply Accepted(const ZString& text) { return PageReply{"Request Accepted", text}; }
PageReply Refused(const ZString& text) { return PageReply{"Request Error", text}; }

}  // namespace

DialOnDemand::DialOnDemand(RemoteLink& remoteLink, const ManagerClock& managerClock, LogSink& logSink,
                           std::function<bool()> linksActiveCheck)
    : link(remoteLink), clock(managerClock), log(logSink), linksActive(std::move(linksActiveCheck)) {}

// ---------------------------------------------------------------- configuration

void DialOnDemand::Rebuild(RemoteSystemList fresh) {
  {
    std::lock_guard<std::mutex> lock(rebuiltMutex);
    rebuilt = std::move(fresh);
    hasRebuilt = true;
  }
  // Taken up now unless the state is held (a dial may hold it for minutes);
  // then its holder, or the next one, takes it up.
  std::unique_lock<StateLock> state(stateMutex, std::try_to_lock);
  if (state.owns_lock()) TakeUpRebuilt();
}

void DialOnDemand::TakeUpRebuilt() {
  RemoteSystemList fresh;
  {
    std::lock_guard<std::mutex> lock(rebuiltMutex);
    if (!hasRebuilt) return;
    fresh = std::move(rebuilt);
    rebuilt.clear();
    hasRebuilt = false;
  }
  const bool wasCurrent = HasCurrent();
  systems = std::move(fresh);
  Publish();
  if (wasCurrent) activity.Signal();
}

// ---------------------------------------------------------------- relay threads

void DialOnDemand::WaitForRemote(ZSemaphore& ready) {
  if (IsLinkUp()) {
    activity.Signal();  // activity keeps the link up
    return;
  }
  {
    // With no remote system configured and no link held, the pass this
    // thread would wait for does nothing but log that no connection was
    // made: the thread logs it itself and goes on, which spares every
    // relayed connection two thread switches. Never waits behind a dial.
    std::unique_lock<StateLock> state(stateMutex, std::try_to_lock);
    if (state.owns_lock()) TakeUpRebuilt();
    if (state.owns_lock() && systems.empty() && !linkUp) {
      log.Log(ErrorLevel, "No remote access connection made.");
      return;
    }
  }
  {
    std::lock_guard<std::mutex> lock(waitingMutex);
    if (stopping || paused) return;
    // On the list before the manager is woken, so that the pass this signal
    // causes cannot end before the thread is there to be released.
    waiting.push_back(&ready);
  }
  activity.Signal();
  ready.Wait();
}

bool DialOnDemand::IsLinkUp() const {
  std::lock_guard<std::mutex> lock(publishedMutex);
  return published != nullptr;
}

bool DialOnDemand::GetRelayOverride(const ZString& relayName, SocketSpec& destination) const {
  std::shared_ptr<const RemoteSystem> system;
  {
    std::lock_guard<std::mutex> lock(publishedMutex);
    system = published;
  }
  return system != nullptr && system->GetRelayOverride(relayName, destination);
}

// ---------------------------------------------------------------- the manager

ZTimeInterval DialOnDemand::PrepareWait() {
  const StateGuard lock(*this);
  if (!HasCurrent()) return ZInfinite;
  if (InactivityRunning()) return kConnectedLook;
  HangUpCurrent("Inactivity hang up of \"%s\".");
  Publish();
  return ZInfinite;
}

bool DialOnDemand::WaitForActivity(const ZTimeInterval& limit) { return activity.Wait(limit); }

void DialOnDemand::Pass(bool signalled) {
  const StateGuard lock(*this);
  if (link.GetStatus() == ZRemoteConnection::Connected) {
    if (HasCurrent()) {
      const RemoteSystem& system = Current();
      const char* reason = nullptr;
      if (manualHangUp) {
        reason = "Manual hang up of \"%s\".";
      } else if (system.connectionTimeLimit.GetMilliseconds() > 0 &&
                 system.connectionTimeLimit < clock.Now() - connectTime) {
        reason = "Over time hang up of \"%s\".";
      }
      if (reason != nullptr) HangUpCurrent(reason);
    } else {
      // A link the list does not account for, for instance after a reload.
      log.Log(WarningLevel, "Hang up of unknown connection.");
      link.Close();
      linkUp = false;
    }
  } else {
    if (HasCurrent()) {
      if (linkUp) log.Log(InformationLevel, "Remote access connection lost.");
      // The time it was up counts, however it ended.
      CountTimeUsed();
    }
    if (DialCurrent()) {
      MadeConnection();
    } else {
      Search();
    }
  }
  manualHangUp = false;
  if (HasCurrent() && (signalled || linksActive())) RestartInactivity();
  // Published before the waiting threads go on: they read the connected
  // system's relay overrides first thing.
  Publish();
  ReleaseWaiting();
}

bool DialOnDemand::RunPass() {
  if (IsStopping()) return false;
  const ZTimeInterval limit = PrepareWait();
  const bool signalled = WaitForActivity(limit);
  if (IsStopping()) return false;
  Pass(signalled);
  return true;
}

void DialOnDemand::Stop() {
  {
    std::lock_guard<std::mutex> lock(waitingMutex);
    stopping = true;
  }
  ReleaseWaiting();
  activity.Signal();
}

void DialOnDemand::SetPaused(bool pausing) {
  {
    std::lock_guard<std::mutex> lock(waitingMutex);
    paused = pausing;
  }
  if (pausing) ReleaseWaiting();
}

bool DialOnDemand::IsStopping() const {
  std::lock_guard<std::mutex> lock(waitingMutex);
  return stopping;
}

void DialOnDemand::HangUpForStop(const ZTimeInterval& patience) {
  if (!stateMutex.try_lock_for(patience)) return;
  std::lock_guard<StateLock> lock(stateMutex, std::adopt_lock);
  TakeUpRebuilt();
  if (link.GetStatus() != ZRemoteConnection::Connected) return;
  log.Log(WarningLevel, "Remote connection \"%s\" hanging up.", link.GetRemoteName().Text());
  link.Close();
  if (HasCurrent()) CountTimeUsed();
  linkUp = false;
  current = kNone;
  Publish();
}

// ---------------------------------------------------------------- the status page

PageReply DialOnDemand::RequestHangUp() {
  const StateGuard lock(*this);
  // With nothing connected the manager is left asleep: a pass now would find
  // no link and dial the first system.
  if (!HasCurrent()) return Refused("Not currently connected.");
  manualHangUp = true;
  activity.Signal();
  return Accepted(ZString("Hanging up \"") + Current().name + "\".");
}

PageReply DialOnDemand::RequestConnect(const ZString& remoteName) {
  const StateGuard lock(*this);
  if (HasCurrent()) {
    return Refused(ZString("Already connected to \"") + Current().name + "\". Ignoring connection request.");
  }
  for (size_t index = 0; index < systems.size(); ++index) {
    if (systems[index]->name == remoteName) {
      current = static_cast<ZIndex>(index);
      linkUp = false;
      activity.Signal();
      return Accepted(ZString("Dialling \"") + remoteName + "\".");
    }
  }
  return Refused(ZString("No remote system named \"") + remoteName + "\".");
}

bool DialOnDemand::IsRemoteCurrent() {
  const StateGuard lock(*this);
  return HasCurrent();
}

ZString DialOnDemand::GetCurrentName() {
  const StateGuard lock(*this);
  return HasCurrent() ? Current().name : ZString();
}

ZTime DialOnDemand::GetConnectTime() {
  const StateGuard lock(*this);
  return connectTime;
}

ZTimeInterval DialOnDemand::GetInactivityRemaining() {
  const StateGuard lock(*this);
  if (!InactivityRunning()) return ZTimeInterval(0);
  return inactivityDeadline - clock.Now();
}

ZStringList DialOnDemand::GetRemoteNames() {
  const StateGuard lock(*this);
  ZStringList names;
  for (const auto& system : systems) names.Append(system->name);
  return names;
}

ZIndex DialOnDemand::GetCurrentIndex() {
  const StateGuard lock(*this);
  return current;
}

std::shared_ptr<const RemoteSystem> DialOnDemand::GetSystem(ZIndex index) {
  const StateGuard lock(*this);
  if (index < 0 || index >= static_cast<ZIndex>(systems.size())) return nullptr;
  return systems[static_cast<size_t>(index)];
}

ZIndex DialOnDemand::CountWaiting() {
  std::lock_guard<std::mutex> lock(waitingMutex);
  return static_cast<ZIndex>(waiting.size());
}

// ---------------------------------------------------------------- under the state lock

bool DialOnDemand::DialCurrent() {
  if (!HasCurrent()) return false;
  const ZString name = Current().name;
  const int32_t retries = Current().dialRetries;
  for (int32_t attempt = 0; attempt < retries; ++attempt) {
    log.Log(InformationLevel, "RAS dialling \"%s\".", name.Text());
    if (link.Open(name)) return true;
    log.Log(InformationLevel, "RAS connection to \"%s\" failed%s", name.Text(), FailureEnding(link.GetStatus()));
  }
  return false;
}

bool DialOnDemand::InactivityRunning() const { return inactivityArmed && clock.Now() < inactivityDeadline; }

void DialOnDemand::RestartInactivity() {
  inactivityArmed = true;
  inactivityDeadline = clock.Now() + Current().disconnectTime;
}

void DialOnDemand::CountTimeUsed() {
  if (!linkUp) return;
  Current().timeUsed =
      ZTimeInterval(Current().timeUsed.GetMilliseconds() + (clock.Now() - connectTime).GetMilliseconds());
  linkUp = false;
}

void DialOnDemand::HangUpCurrent(const char* reason) {
  log.Log(WarningLevel, reason, Current().name.Text());
  link.Close();
  CountTimeUsed();
  linkUp = false;
  current = kNone;
  inactivityArmed = false;
}

void DialOnDemand::MadeConnection() {
  // Counted from every connection made, redials included: the over-time
  // check and the time used measure this connection, not an earlier one.
  connectTime = clock.Now();
  linkUp = true;
  RestartInactivity();
}

void DialOnDemand::Search() {
  for (size_t index = 0; index < systems.size(); ++index) {
    const RemoteSystem& system = *systems[index];
    const int64_t period = system.connectionTimePeriod.GetMilliseconds();
    if (period != 0 && period <= system.timeUsed.GetMilliseconds()) continue;
    current = static_cast<ZIndex>(index);
    if (DialCurrent()) {
      MadeConnection();
      return;
    }
  }
  log.Log(ErrorLevel, "No remote access connection made.");
  current = kNone;
  linkUp = false;
  inactivityArmed = false;
  DrainActivity();
}

void DialOnDemand::DrainActivity() {
  while (activity.Wait(ZTimeInterval(0))) {
  }
}

void DialOnDemand::ReleaseWaiting() {
  std::vector<ZSemaphore*> released;
  {
    std::lock_guard<std::mutex> lock(waitingMutex);
    released.swap(waiting);
  }
  for (ZSemaphore* ready : released) ready->Signal();
}

void DialOnDemand::Publish() {
  std::shared_ptr<const RemoteSystem> up = HasCurrent() && linkUp ? systems[static_cast<size_t>(current)] : nullptr;
  std::lock_guard<std::mutex> lock(publishedMutex);
  published = std::move(up);
}
