#include "proxy.h"

#include "admin_site.h"
#include "relay_setup.h"
#include "settings_names.h"

#include "zunder/config.h"
#include "zunder/resources.h"

namespace {

// How long a stop waits for a dial in progress before leaving the link be.
const ZTimeInterval kStopPatience(0, 2);

// Blocks the calling thread for good: nothing ever wakes it.
[[noreturn]] void WaitUntilTheProcessEnds() {
  ZSemaphore never(0, 1);
  for (;;) never.Wait();
}

// The body that serves a kind of relay.
ProxyBody BodyOf(RelayKind kind) {
  switch (kind) {
    case RelayKind::PlainTCP: return &Proxy::TCPRelay;
    case RelayKind::Ask: return &Proxy::AskRelay;
    case RelayKind::PlainUDP: return &Proxy::UDPRelay;
    case RelayKind::Socks: return &Proxy::SocksServer;
    case RelayKind::Ftp: return &Proxy::FtpRelay;
    case RelayKind::Http: return &Proxy::HttpServer;
  }
  return nullptr;
}

}  // namespace

Proxy::Proxy()
    : ZServiceProcess("Moatkeep Works", "Moatkeep", 1, 0, ReleaseCode, 3),
      dialOnDemand(remoteLink, managerClock, *this, [this] { return !activeSockets.IsEmpty(); }) {
  restrictions.Set(std::make_shared<const Restrictions>());
  socksUsers.Set(std::make_shared<const SocksUsers>());
}

Proxy::~Proxy() = default;

void Proxy::LogV(int level, const char* format, va_list formatArguments) { SystemLogV(level, format, formatArguments); }

// ---------------------------------------------------------------- lifecycle

bool Proxy::OnStart() {
  // Every connection holds a thread and two descriptors: take all the host
  // allows us.
  ZRaiseDescriptorLimit();
  return Initialise("Proxies started.");
}

void Proxy::Main() {
  // The dial-up manager, until the service stops.
  while (dialOnDemand.RunPass()) {
  }
  // In the foreground the interrupt that stopped us also ends the program;
  // returning would race it through a second stop and the exit. So this
  // thread stays here until the process ends around it.
  if (IsDebugMode()) WaitUntilTheProcessEnds();
}

void Proxy::CloseEverything() {
  listeners.CloseAll();
  activeSockets.CloseAll();
  listening = false;
}

void Proxy::OnStop() {
  requested = Requested::Stopping;
  // Threads waiting for the link go on (and find their sockets closed);
  // Main leaves its loop. Done first: a relay thread that holds its master
  // socket while it waits for the link would hold up the closing below, or
  // a reload's that holds the lifecycle lock.
  dialOnDemand.Stop();
  std::lock_guard<std::mutex> lock(lifecycleMutex);
  CloseEverything();
  // A dial in progress is not waited for: the stop must not take minutes.
  dialOnDemand.HangUpForStop(kStopPatience);
  Log(WarningLevel, "Proxies stopped.");
}

bool Proxy::OnPause() {
  Requested running = Requested::Running;
  if (!requested.compare_exchange_strong(running, Requested::Paused)) return false;  // stopping
  // As for a stop, the threads waiting for the link must not hold the
  // closing up for the length of a dial.
  dialOnDemand.SetPaused(true);
  std::lock_guard<std::mutex> lock(lifecycleMutex);
  CloseEverything();
  return true;
}

void Proxy::OnContinue() {
  Requested paused = Requested::Paused;
  if (!requested.compare_exchange_strong(paused, Requested::Running)) return;  // stopping
  dialOnDemand.SetPaused(false);
  if (!Initialise("Proxies restarted.")) {
    OnStop();
    Terminate();
  }
}

void Proxy::RequestReload() {
  // A form may arrive on the administration port while a reload that has
  // just reopened it is still opening the other listeners. Closing them
  // then would miss those opened later: the close would wait for them for
  // ever, or the next load would find their ports taken and, with the
  // administration port among them, stop the service. Waiting for the load
  // to finish closes them all.
  std::lock_guard<std::mutex> lock(lifecycleMutex);
  listeners.CloseAll();
  listening = false;
  configChanged = true;
}

bool Proxy::Reload() {
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
  // A continue since the form has loaded the stored configuration already.
  if (listening) return true;
  return Load("Configuration changed, reloaded.");
}

// ---------------------------------------------------------------- configuration

bool Proxy::Initialise(const char* message) {
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
  return Load(message);
}

bool Proxy::Load(const char* message) {
  // A pause or a stop asked for wants nothing open; a continue loads afresh.
  if (requested != Requested::Running) return true;
  // Before any master socket of this load exists. A stop, pause or reload
  // left the lists closed to latecomers; this load opens them again.
  listeners.BeginLoad();
  activeSockets.Reopen();
  configChanged = false;
  ZConfig config(ZConfig::Application);

  const AdminLogin loadedLogin{
      .username = config.GetString(Settings::kGlobals, Settings::kUsername, AdminLogin::kBuiltInUsername),
      .password = config.GetString(Settings::kGlobals, Settings::kPassword, AdminLogin::kBuiltInPassword)};
  login.Set(loadedLogin);
  siteGuard.GetNames().SetConfigured(config.GetString(Settings::kGlobals, Settings::kAdminHostNames, ""));
  SetBuiltInLoginNotice(loadedLogin.IsBuiltIn());
  auto globalNumber = [&config](const char* key, int32_t initial) {
    return config.GetInteger(Settings::kGlobals, key, initial);
  };
  SetLogLevel(globalNumber(Settings::kLogLevel, IsDebugMode() ? InformationLevel : WarningLevel));
  socksTimeout = ZTimeInterval(0, globalNumber(Settings::kSocksTimeout, 10)).GetMilliseconds();
  linkTimeout = ZTimeInterval(0, 0, globalNumber(Settings::kLinkTimeout, 60)).GetMilliseconds();
  udpTimeout = ZTimeInterval(0, globalNumber(Settings::kUdpTimeout, 60)).GetMilliseconds();
  udpRetries = globalNumber(Settings::kUdpRetries, 5);
  {
    // A hand-written list with a word that is no port keeps its good ports.
    ConnectPorts ports;
    ZString bad;
    if (!ports.Parse(config.GetString(Settings::kGlobals, Settings::kConnectPorts, ConnectPorts::kDefault), &bad)) {
      Log(WarningLevel, "Invalid port \"%s\" in \"%s\" ignored.", bad.Text(), Settings::kConnectPorts);
    }
    connectPorts.Set(ports);
  }

  const ZString httpPort = config.GetString(Settings::kGlobals, Settings::kHttpPort, "1082");
  if (!SetUpRelay(httpPort.Text(), "(HTTP)")) {
    Log(FatalLevel, "Cannot continue without HTTP port!");
    return false;
  }

  const ZStringList keys = config.GetKeys(Settings::kRelays);
  for (ZIndex i = 0; i < keys.GetSize(); ++i) {
    const ZString key = *keys.GetAt(i);
    const ZString value = config.GetString(Settings::kRelays, key.Text(), "");
    if (value.IsEmpty()) {
      config.DeleteKey(Settings::kRelays, key.Text());
    } else {
      SetUpRelay(key.Text(), value.Text());
    }
  }
  // A relay removed from the table (or no longer opened) must not live on.
  {
    const uint64_t load = listeners.CurrentLoad();
    std::lock_guard<std::mutex> lock(relaysMutex);
    std::erase_if(relays, [load](const auto& entry) { return entry.second.load != load; });
  }

  // Rebuilt with fresh time accounts; the current index stays as it was.
  dialOnDemand.Rebuild(LoadRemoteSystems(config, config.GetKeys(Settings::kRelays), *this));

  // Built afresh, so restrictions removed from the table are gone; threads
  // still holding the old set finish with it.
  auto loaded = std::make_shared<Restrictions>();
  loaded->Load(config, Settings::kSecurity, this);
  restrictions.Set(std::move(loaded));
  auto users = std::make_shared<SocksUsers>();
  users->Load(config, Settings::kSocksUsers, this);
  socksUsers.Set(std::move(users));

  SetUpRelay("socks 1080/tcp", "(SOCKS)");

  // The pages show what was just loaded, the new login included.
  // Connections still answering from the old site keep it until they are
  // done.
  {
    ZHTTPSpace fresh;
    BuildSite(fresh);
    site.Set(fresh);
  }

  listening = true;
  if (firstLoad && loadedLogin.IsBuiltIn()) Log(WarningLevel, "%s", AdminLogin::kBuiltInWarning);
  firstLoad = false;
  Log(WarningLevel, "%s", message);
  return true;
}

bool Proxy::SetUpRelay(const char* serviceDescription, const char* relayPoint) {
  RelayPlan plan;
  if (!PlanRelay(serviceDescription, relayPoint, plan, *this)) return false;

  ZIPSocket* master = OpenMasterSocket(plan, *this);
  if (master == nullptr) return false;
  listeners.Add(master);
  // The table entry goes in before the first thread can look for it.
  const bool plain = plan.kind == RelayKind::PlainTCP || plan.kind == RelayKind::PlainUDP;
  if (plain) {
    std::lock_guard<std::mutex> lock(relaysMutex);
    relays[plan.name.Text()] = RelayEntry{plan.destination, listeners.CurrentLoad()};
  }
  if (!ProxyThread::Start(*this, *master, BodyOf(plan.kind))) {
    Log(ErrorLevel, "No thread can be started for service \"%s\".", plan.name.Text());
    if (plain) {
      std::lock_guard<std::mutex> lock(relaysMutex);
      relays.erase(plan.name.Text());
    }
    listeners.Remove(*master);
    return false;
  }
  Log(InformationLevel, "Opened master socket for service \"%s\".", plan.name.Text());
  return true;
}

void Proxy::BuildSite(ZHTTPSpace& space) {
  AdminSite::AddFiles(space, GetExecutableFile().GetPath());
  AdminSite::Build(*this, space);
}
