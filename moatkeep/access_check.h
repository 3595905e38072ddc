// The access check made before a connection or datagram is carried.
#pragma once

#include "host_registry.h"
#include "log_sink.h"
#include "restrictions.h"
#include "socket_spec.h"

// Registers the originating host (allowed or not, so it shows on the status
// page) and applies the restrictions; a denial is logged at level 2.
bool CheckAccess(HostRegistry& hosts, const Restrictions& restrictions, const SocketSpec& originator,
                 const SocketSpec& destination, const ZTimeInterval& linkTimeout, LogSink& log);
