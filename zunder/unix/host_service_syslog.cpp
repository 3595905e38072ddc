// The system log: syslog(3) under the product's name.
#include <syslog.h>

#include <mutex>
#include <string>

#include "host_service.h"

namespace zhost {

bool ReportEvent(const char* identity, int level, const char* message) {
  static const int kPriorityOfLevel[] = {LOG_ERR, LOG_ERR, LOG_WARNING, LOG_INFO};
  if (level < 0 || level > 3) level = 3;
  // openlog keeps the identity pointer, so it must stay alive: keep our copy.
  static std::mutex mutex;
  static std::string openedIdentity;
  std::lock_guard<std::mutex> lock(mutex);
  if (openedIdentity != identity) {
    closelog();
    openedIdentity = identity;
    openlog(openedIdentity.c_str(), LOG_PID, LOG_DAEMON);
  }
  syslog(kPriorityOfLevel[level], "%s", message);
  return true;
}

}  // namespace zhost
