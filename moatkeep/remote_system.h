// RemoteSystem: one configured dial-up destination (a "RemoteN" section of
// the configuration) with its time rules and its relay overrides.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log_sink.h"
#include "socket_spec.h"
#include "zunder/config.h"
#include "zunder/strings.h"
#include "zunder/time.h"

class RemoteSystem : public ZObject {
  Z_CLASS(RemoteSystem, ZObject)
 public:
  // The defaults of an empty section.
  RemoteSystem();
  // Reads the section. relayNames are the keys of the relay table: a
  // non-empty value under one of them in this section is that relay's
  // destination while this system is connected; an invalid one is logged.
  RemoteSystem(const ZConfig& config, const char* section, const ZStringList& relayNames, LogSink& log);

  // True, with the destination, when the relay (by canonical name, as
  // "telnet/tcp") has an override here.
  bool GetRelayOverride(const ZString& relayName, SocketSpec& destination) const;
  void SetRelayOverride(const ZString& relayName, const SocketSpec& destination);

  ZString name;                        // phonebook entry, or '.' and a number
  ZTimeInterval disconnectTime;        // idle time before hanging up
  ZTimeInterval connectionTimeLimit;   // longest single connection; 0 no limit
  ZTimeInterval connectionTimePeriod;  // total connected time allowed; 0 no limit
  ZTimeInterval timeUsed;              // connected time counted so far
  int32_t dialRetries;                 // attempts per dialling

 private:
  // Never changed once the system is in the service's list, so relay threads
  // read it without a lock.
  std::map<std::string, SocketSpec> relayOverrides;  // canonical relay name -> destination
};

using RemoteSystemList = std::vector<std::shared_ptr<RemoteSystem>>;

// The section name of the n-th remote system (from 1): "Remote%u".
ZString RemoteSectionName(uint32_t number);

// Reads "Remote1", "Remote2", ... up to the first section whose "Remote Name"
// is empty. relayNames are the keys of the "Relays" section.
RemoteSystemList LoadRemoteSystems(const ZConfig& config, const ZStringList& relayNames, LogSink& log);
