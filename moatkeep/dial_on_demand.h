// DialOnDemand: the dial-up manager. It holds the remote systems, the one
// dial-up link and its bookkeeping; relay threads wait here for the link,
// the status page makes its requests here, and the service's main loop runs
// its passes. The link and the clock are passed in, so that the pass logic
// runs against simulated ones in tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "log_sink.h"
#include "remote_system.h"
#include "socket_spec.h"
#include "zunder/remote.h"
#include "zunder/strings.h"
#include "zunder/threads.h"
#include "zunder/time.h"

// The operations of the dial-up link the manager uses.
class RemoteLink {
 public:
  virtual ~RemoteLink() = default;
  virtual bool Open(const ZString& remoteName) = 0;
  virtual void Close() = 0;
  virtual ZRemoteConnection::Status GetStatus() = 0;
  virtual ZString GetRemoteName() const = 0;
};

// The link through the host's phonebook.
class PhonebookLink : public RemoteLink {
 public:
  bool Open(const ZString& remoteName) override { return connection.Open(remoteName); }
  void Close() override { connection.Close(); }
  ZRemoteConnection::Status GetStatus() override { return connection.GetStatus(); }
  ZString GetRemoteName() const override { return connection.GetRemoteName(); }

 private:
  ZRemoteConnection connection;
};

// Where the manager reads the time (whole seconds).
class ManagerClock {
 public:
  virtual ~ManagerClock() = default;
  virtual ZTime Now() const = 0;
};

class SystemClock : public ManagerClock {
 public:
  ZTime Now() const override { return ZTime::Now(); }
};

// The state lock: a semaphore used as a mutex, so that a stop can give up
// waiting for it while a dial holds it.
class StateLock {
 public:
  void lock() { semaphore.Wait(); }
  void unlock() { semaphore.Signal(); }
  bool try_lock_for(const ZTimeInterval& timeout) { return semaphore.Wait(timeout); }
  bool try_lock() { return semaphore.Wait(ZTimeInterval(0)); }

 private:
  ZSemaphore semaphore{1, 1};
};

// What the status page shows for a request: its title and text.
struct PageReply {
  ZString title;  // "Request Accepted" or "Request Error"
  ZString text;
};

// What the status page shows of the dial-up link and asks of it.
class DialUpControl {
 public:
  virtual ~DialUpControl() = default;
  // The requests of the page's buttons: the reply's title and text.
  virtual PageReply RequestHangUp() = 0;
  virtual PageReply RequestConnect(const ZString& remoteName) = 0;
  virtual bool IsRemoteCurrent() = 0;
  virtual ZString GetCurrentName() = 0;
  virtual ZTime GetConnectTime() = 0;
  // 0 when the link is about to be hung up (or none is up).
  virtual ZTimeInterval GetInactivityRemaining() = 0;
  virtual ZStringList GetRemoteNames() = 0;
};

class DialOnDemand : public DialUpControl {
 public:
  static constexpr ZIndex kNone = 0x7fffffff;
  // How often the manager looks at a connected link at the least.
  static const ZTimeInterval kConnectedLook;

  // linksActive answers whether any relayed TCP link is open; it is asked
  // under the state lock.
  DialOnDemand(RemoteLink& remoteLink, const ManagerClock& managerClock, LogSink& logSink,
               std::function<bool()> linksActiveCheck);
  DialOnDemand(const DialOnDemand&) = delete;
  DialOnDemand& operator=(const DialOnDemand&) = delete;

  // ---- configuration
  // Replaces the list; the current index stays the same number. When a
  // system was current, the manager is woken to look. Never waits for a
  // dial: while one holds the state, the list is taken up by the next
  // holder of the state once the dial is over.
  void Rebuild(RemoteSystemList systems);

  // ---- relay threads
  // The dial-up gate: wakes the manager and, unless a link is up, waits on
  // ready until the manager has finished a pass (or the service stops).
  void WaitForRemote(ZSemaphore& ready);
  // Whether a remote system is connected (as of the manager's last pass).
  bool IsLinkUp() const;
  // The connected remote system's override of a relay's destination.
  bool GetRelayOverride(const ZString& relayName, SocketSpec& destination) const;

  // ---- the manager
  // Step one of a pass: hangs up an idle link and answers how long to wait
  // for activity (ZInfinite, or kConnectedLook while a link is up).
  ZTimeInterval PrepareWait();
  // True when activity (rather than the limit) ended the wait.
  bool WaitForActivity(const ZTimeInterval& limit);
  // The rest of the pass: hang-ups, dialling, releasing the waiting threads.
  void Pass(bool signalled);
  // One whole pass; false (nothing done) once the service is stopping.
  bool RunPass();
  // Ends the manager's loop and releases every waiting thread, now and later.
  void Stop();
  bool IsStopping() const;
  // While the service is paused the gate holds no thread: those waiting are
  // released and later ones go on at once (nothing is accepted then, and a
  // pause must not wait for a dial). The manager goes on as it was.
  void SetPaused(bool paused);
  // At service stop: when the link is up, logs that it is hanging up and
  // hangs up. Gives up when a dial holds the state longer than patience.
  void HangUpForStop(const ZTimeInterval& patience);

  // ---- the status page
  PageReply RequestHangUp() override;
  PageReply RequestConnect(const ZString& remoteName) override;
  bool IsRemoteCurrent() override;
  ZString GetCurrentName() override;
  ZTime GetConnectTime() override;
  ZTimeInterval GetInactivityRemaining() override;
  ZStringList GetRemoteNames() override;

  // ---- inspection
  ZIndex GetCurrentIndex();
  std::shared_ptr<const RemoteSystem> GetSystem(ZIndex index);
  ZIndex CountWaiting();

 private:
  // Holds the state lock, and takes up a list rebuilt while another held it.
  class StateGuard {
   public:
    explicit StateGuard(DialOnDemand& manager) : owner(manager) {
      manager.stateMutex.lock();
      manager.TakeUpRebuilt();
    }
    ~StateGuard() { owner.stateMutex.unlock(); }
    StateGuard(const StateGuard&) = delete;
    StateGuard& operator=(const StateGuard&) = delete;

   private:
    DialOnDemand& owner;
  };

  // All of these expect the state lock held.
  void TakeUpRebuilt();
  bool HasCurrent() const { return current >= 0 && current < static_cast<ZIndex>(systems.size()); }
  RemoteSystem& Current() { return *systems[static_cast<size_t>(current)]; }
  bool DialCurrent();
  bool InactivityRunning() const;
  void RestartInactivity();
  void CountTimeUsed();
  void HangUpCurrent(const char* reason);
  void MadeConnection();
  void Search();
  void DrainActivity();
  void ReleaseWaiting();
  void Publish();

  RemoteLink& link;
  const ManagerClock& clock;
  LogSink& log;
  std::function<bool()> linksActive;

  // The state lock: the list, the current index and the link's bookkeeping.
  // Held by the manager for the whole of a dial.
  StateLock stateMutex;
  RemoteSystemList systems;
  ZIndex current = kNone;
  bool manualHangUp = false;
  bool linkUp = false;  // the current system's link was made and not yet ended
  ZTime connectTime{int64_t{0}};
  bool inactivityArmed = false;
  ZTime inactivityDeadline{int64_t{0}};

  // A list rebuilt while the state was held, waiting to be taken up; its
  // mutex is taken after the state lock when both are held.
  std::mutex rebuiltMutex;
  bool hasRebuilt = false;
  RemoteSystemList rebuilt;

  // Counting: no signal between two waits is lost.
  ZSemaphore activity{0, 0x7fffffff};

  // Threads waiting for the link (their ready semaphores), with their own
  // mutex, taken after the state lock when both are held.
  mutable std::mutex waitingMutex;
  std::vector<ZSemaphore*> waiting;
  bool stopping = false;
  bool paused = false;

  // The system whose link is up, for relay threads: never blocked by a dial.
  mutable std::mutex publishedMutex;
  std::shared_ptr<const RemoteSystem> published;
};
