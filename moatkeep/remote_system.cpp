#include "remote_system.h"

#include "service_description.h"
#include "settings_names.h"

namespace {

constexpr int32_t kDefaultDialRetries = 3;
constexpr int32_t kDefaultDisconnectMinutes = 30;

}  // namespace

RemoteSystem::RemoteSystem() : disconnectTime(0, 0, kDefaultDisconnectMinutes), dialRetries(kDefaultDialRetries) {}

RemoteSystem::RemoteSystem(const ZConfig& config, const char* section, const ZStringList& relayNames, LogSink& log)
    : name(config.GetString(section, Settings::kRemoteName, "")),
      disconnectTime(0, 0, config.GetInteger(section, Settings::kDisconnectTime, kDefaultDisconnectMinutes)),
      connectionTimeLimit(0, 0, 0, config.GetInteger(section, Settings::kConnectionTimeLimit, 0)),
      connectionTimePeriod(0, 0, 0, 0, config.GetInteger(section, Settings::kConnectionTimePeriod, 0)),
      dialRetries(config.GetInteger(section, Settings::kDialRetries, kDefaultDialRetries)) {
  for (ZIndex i = 0; i < relayNames.GetSize(); ++i) {
    const ZString key = *relayNames.GetAt(i);
    const ZString value = config.GetString(section, key.Text(), "");
    if (value.IsEmpty()) continue;
    // The relay's own port fills in a destination written without one, as in
    // the relay table. A relay that does not parse is not opened either.
    ZString canonical;
    ZString protocol;
    ZString errors;
    const uint16_t port = ParseService(key.Text(), canonical, protocol, errors);
    if (port == 0) continue;
    SocketSpec destination;
    if (value.Text()[0] == '(' || !destination.Parse(value.Text(), port)) {
      log.Log(ErrorLevel, "Invalid relay point: \"%s\".", value.Text());
      continue;
    }
    relayOverrides[canonical.Text()] = destination;
  }
}

bool RemoteSystem::GetRelayOverride(const ZString& relayName, SocketSpec& destination) const {
  auto found = relayOverrides.find(relayName.Text());
  if (found == relayOverrides.end()) return false;
  destination = found->second;
  return true;
}

void RemoteSystem::SetRelayOverride(const ZString& relayName, const SocketSpec& destination) {
  relayOverrides[relayName.Text()] = destination;
}

ZString RemoteSectionName(uint32_t number) { return ZString(ZString::Printf, Settings::kRemoteSectionFormat, number); }

RemoteSystemList LoadRemoteSystems(const ZConfig& config, const ZStringList& relayNames, LogSink& log) {
  RemoteSystemList systems;
  for (uint32_t number = 1;; ++number) {
    const ZString section = RemoteSectionName(number);
    if (config.GetString(section.Text(), Settings::kRemoteName, "").IsEmpty()) break;
    systems.push_back(std::make_shared<RemoteSystem>(config, section.Text(), relayNames, log));
  }
  return systems;
}
