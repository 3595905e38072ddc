// Descriptor limit, listen queue and transient accept errors on Linux.
#include "zunder/resources.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

int64_t ZRaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? INT64_MAX : static_cast<int64_t>(limit.rlim_cur);
}

int32_t ZMaxListenQueue() {
  // The kernel cuts every request to net.core.somaxconn; ask for exactly that.
  int32_t queue = SOMAXCONN;
  if (FILE* file = std::fopen("/proc/sys/net/core/somaxconn", "re")) {
    int value = 0;
    if (std::fscanf(file, "%d", &value) == 1 && value > 0) queue = value;
    std::fclose(file);
  }
  return queue;
}

bool ZIsTransientAcceptError(int32_t osError) {
  switch (osError) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ECONNABORTED:
    case EPROTO: return true;
    default: return false;
  }
}
