#include "access_check.h"

bool CheckAccess(HostRegistry& hosts, const Restrictions& restrictions, const SocketSpec& originator,
                 const SocketSpec& destination, const ZTimeInterval& linkTimeout, LogSink& log) {
  hosts.Register(originator.address, linkTimeout);
  if (restrictions.Allows(originator, destination)) return true;
  // Names are looked up here, outside every lock.
  log.Log(2, "Connection denied from %s to %s.", originator.AsString().Text(), destination.AsString().Text());
  return false;
}
