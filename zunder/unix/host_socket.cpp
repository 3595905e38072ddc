// BSD sockets, poll and the thread-safe look-up calls of the C library, and
// the channel error codes of error numbers.
#include "host_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "zunder/strings.h"

namespace zhost {

namespace {

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_addr.s_addr = address;
  result.sin_port = htons(port);
  return result;
}

// The answer of a call that reports failure through errno.
bool Check(int result, int& error) {
  error = result < 0 ? errno : 0;
  return result >= 0;
}

// The error of a call that answered result: errno when it failed, else 0.
int ErrorOf(long result) { return result < 0 ? errno : 0; }

}  // namespace

int CreateSocket(SocketKind kind, int& error) {
  int type = kind == SocketKind::Stream ? SOCK_STREAM : SOCK_DGRAM;
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  error = ErrorOf(fd);
  return fd;
}

void CloseSocket(int fd) {
  // Linux releases the descriptor even when close reports EINTR; never retry.
  ::close(fd);
}

void ShutdownSocket(int fd) { ::shutdown(fd, SHUT_RDWR); }

bool ShutdownSend(int fd, int& error) { return Check(::shutdown(fd, SHUT_WR), error); }

bool SetAddressReuse(int fd, bool on, int& error) {
  int value = on ? 1 : 0;
  return Check(::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &value, sizeof value), error);
}

bool SetLinger(int fd, int seconds, int& error) {
  linger value{};
  value.l_onoff = 1;
  value.l_linger = seconds;
  return Check(::setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value), error);
}

bool SetNonBlocking(int fd, int& error) {
  int flags = ::fcntl(fd, F_GETFL);
  if (!Check(flags, error)) return false;
  return Check(::fcntl(fd, F_SETFL, flags | O_NONBLOCK), error);
}

bool SetUrgentInline(int fd, bool on, int& error) {
  int value = on ? 1 : 0;
  return Check(::setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &value, sizeof value), error);
}

bool BindAny(int fd, uint16_t port, int& error) {
  sockaddr_in address = MakeAddress(htonl(INADDR_ANY), port);
  return Check(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), error);
}

bool ListenSocket(int fd, int queueSize, int& error) {
  return Check(::listen(fd, queueSize), error);
}

bool GetLocalPort(int fd, uint16_t& port, int& error) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  if (!Check(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size), error)) return false;
  port = ntohs(address.sin_port);
  return true;
}

bool GetPeer(int fd, uint32_t& address, uint16_t& port, int& error) {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  if (!Check(::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size), error)) return false;
  address = peer.sin_addr.s_addr;
  port = ntohs(peer.sin_port);
  return true;
}

bool GetLocal(int fd, uint32_t& address, uint16_t& port, int& error) {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (!Check(::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size), error)) return false;
  address = local.sin_addr.s_addr;
  port = ntohs(local.sin_port);
  return true;
}

bool ConnectSocket(int fd, uint32_t address, uint16_t port, int& error) {
  sockaddr_in target = MakeAddress(address, port);
  int result;
  do {
    result = ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target);
  } while (result < 0 && errno == EINTR);
  return Check(result, error);
}

int AcceptSocket(int fd, uint32_t& peerAddress, uint16_t& peerPort, int& error) {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  const int before = errno;
  int result = ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
  error = ErrorOf(result);
  if (result < 0) {
    // Nobody waiting is no failure: the thread's last error (which log
    // lines show) stays as it was.
    if (error == EAGAIN || error == EWOULDBLOCK) errno = before;
    return result;
  }
  peerAddress = peer.sin_addr.s_addr;
  peerPort = ntohs(peer.sin_port);
  return result;
}

long Receive(int fd, void* buffer, size_t length, bool wait, int& error) {
  ssize_t result = ::recv(fd, buffer, length, wait ? 0 : MSG_DONTWAIT);
  error = ErrorOf(result);
  return static_cast<long>(result);
}

long ReceiveFrom(int fd, void* buffer, size_t length, uint32_t& address, uint16_t& port,
                 bool wait, int& error) {
  sockaddr_in from{};
  socklen_t size = sizeof from;
  ssize_t result =
      ::recvfrom(fd, buffer, length, wait ? 0 : MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &size);
  error = ErrorOf(result);
  if (result >= 0) {
    address = from.sin_addr.s_addr;
    port = ntohs(from.sin_port);
  }
  return static_cast<long>(result);
}

long PeekDatagramLength(int fd, bool wait, int& error) {
  char byte;
  // With MSG_TRUNC the answer is the datagram's real length, however small
  // the buffer.
  ssize_t result = ::recv(fd, &byte, sizeof byte, MSG_PEEK | MSG_TRUNC | (wait ? 0 : MSG_DONTWAIT));
  error = ErrorOf(result);
  return static_cast<long>(result);
}

long Send(int fd, const void* buffer, size_t length, bool urgent, bool wait, int& error) {
  ssize_t result =
      ::send(fd, buffer, length, MSG_NOSIGNAL | (urgent ? MSG_OOB : 0) | (wait ? 0 : MSG_DONTWAIT));
  error = ErrorOf(result);
  return static_cast<long>(result);
}

long SendTo(int fd, const void* buffer, size_t length, uint32_t address, uint16_t port,
            int& error) {
  sockaddr_in target = MakeAddress(address, port);
  ssize_t result = ::sendto(fd, buffer, length, MSG_NOSIGNAL,
                            reinterpret_cast<sockaddr*>(&target), sizeof target);
  error = ErrorOf(result);
  return static_cast<long>(result);
}

int Poll(PollEntry* entries, int count, int timeoutMilliseconds, int& error) {
  // The usual few entries need no allocation.
  pollfd local[16];
  std::vector<pollfd> many;
  pollfd* waits = local;
  if (count > 16) {
    many.resize(static_cast<size_t>(count));
    waits = many.data();
  }
  for (int i = 0; i < count; ++i) {
    short events = 0;
    if (entries[i].wantRead) events |= POLLIN;
    if (entries[i].wantWrite) events |= POLLOUT;
    if (entries[i].wantExcept) events |= POLLPRI;
    waits[i] = pollfd{entries[i].fd, events, 0};
  }
  // A stray signal must not end the wait early: poll again for the rest.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
  int result;
  for (;;) {
    int wait = timeoutMilliseconds;
    if (timeoutMilliseconds > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    result = ::poll(waits, static_cast<nfds_t>(count), wait);
    if (result >= 0 || errno != EINTR) break;
  }
  error = ErrorOf(result);
  if (result < 0) return -1;
  for (int i = 0; i < count; ++i) {
    short got = waits[i].revents;
    // As select does: a hang-up or an error counts as readable (the read then
    // reports it) and as writable.
    entries[i].readable = entries[i].wantRead && (got & (POLLIN | POLLHUP | POLLERR)) != 0;
    entries[i].writable = entries[i].wantWrite && (got & (POLLOUT | POLLHUP | POLLERR)) != 0;
    entries[i].exceptional = entries[i].wantExcept && (got & (POLLPRI | POLLERR)) != 0;
    // poll reports these even for a descriptor watched for nothing.
    entries[i].hungUp = (got & POLLHUP) != 0;
    entries[i].failed = (got & POLLERR) != 0;
    if ((got & POLLNVAL) != 0) {
      error = EBADF;
      return -1;
    }
  }
  return result;
}

bool LookupServicePort(const char* name, const char* protocol, uint16_t& port) {
  servent entry{};
  servent* found = nullptr;
  char scratch[1024];
  if (::getservbyname_r(name, protocol, &entry, scratch, sizeof scratch, &found) != 0 ||
      found == nullptr) {
    return false;
  }
  port = ntohs(static_cast<uint16_t>(found->s_port));
  return true;
}

bool LookupServiceName(uint16_t port, const char* protocol, ZString& name) {
  servent entry{};
  servent* found = nullptr;
  char scratch[1024];
  if (::getservbyport_r(htons(port), protocol, &entry, scratch, sizeof scratch, &found) != 0 ||
      found == nullptr) {
    return false;
  }
  name = found->s_name;
  return true;
}

bool LocalHostName(ZString& name) {
  char text[256];
  if (::gethostname(text, sizeof text) != 0) return false;
  text[sizeof text - 1] = '\0';
  name = text;
  return true;
}

bool InterfaceAddresses(std::vector<uint32_t>& addresses, int& error) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    error = errno;
    return false;
  }
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET || (entry->ifa_flags & IFF_UP) == 0) {
      continue;
    }
    addresses.push_back(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
  }
  ::freeifaddrs(list);
  return true;
}

bool LookupAddressName(uint32_t address, ZString& name) {
  sockaddr_in target = MakeAddress(address, 0);
  char host[NI_MAXHOST];
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&target), sizeof target, host, sizeof host,
                    nullptr, 0, NI_NAMEREQD) != 0) {
    return false;
  }
  name = host;
  return true;
}

bool LookupHost(const char* name, uint32_t& address, ZString* officialName) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  if (officialName != nullptr) hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  if (officialName != nullptr) {
    *officialName = found->ai_canonname != nullptr ? found->ai_canonname : name;
  }
  ::freeaddrinfo(found);
  return true;
}

ZChannel::Error ChannelErrorOf(int error) {
  switch (error) {
    case 0: return ZChannel::NoError;
    case ENOENT: return ZChannel::NotFound;
    case EEXIST: return ZChannel::FileExists;
    case ENOSPC: return ZChannel::DiskFull;
    case EACCES: return ZChannel::AccessDenied;
    case EINVAL: return ZChannel::BadParameter;
    case ENOMEM: return ZChannel::NoMemory;
    case EBADF: return ZChannel::NotOpen;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ETIMEDOUT: return ZChannel::Timeout;
    case EINTR: return ZChannel::Interrupted;
    default: return ZChannel::Miscellaneous;
  }
}

int ErrorNumberOf(ZChannel::Condition condition) {
  switch (condition) {
    case ZChannel::HostUnreachable: return EHOSTUNREACH;
    case ZChannel::MessageTooLong: return EMSGSIZE;
    case ZChannel::NoBufferSpace: return ENOBUFS;
    case ZChannel::ConnectionReset: return ECONNRESET;
    case ZChannel::ConnectionTimedOut: return ETIMEDOUT;
  }
  return EINVAL;  // not a condition
}

uint32_t NetworkToHost(uint32_t value) { return ntohl(value); }
uint32_t HostToNetwork(uint32_t value) { return htonl(value); }

}  // namespace zhost
