// The host's BSD sockets, as the channel and socket classes need them.
// Private to the library: only the channel and socket sources
// (zunder/src/sockets*.cpp) and the host layer use it. Addresses are IPv4 in
// network byte order, ports in host order. Errors follow the convention of
// host_error.h: a failed call answers -1 (or false) with errno in `error`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "zunder/sockets.h"

namespace zhost {

enum class SocketKind { Stream, Datagram };

int CreateSocket(SocketKind kind, int& error);
// Gives the descriptor back to the system.
void CloseSocket(int fd);
// Ends both directions; wakes every thread blocked on the descriptor.
void ShutdownSocket(int fd);
// Ends the sending direction only.
bool ShutdownSend(int fd, int& error);

bool SetAddressReuse(int fd, bool on, int& error);
bool SetLinger(int fd, int seconds, int& error);
bool SetNonBlocking(int fd, int& error);
// Urgent data stays in the stream, in its place, rather than being taken out.
bool SetUrgentInline(int fd, bool on, int& error);
// 0 means no limit.

bool BindAny(int fd, uint16_t port, int& error);
bool ListenSocket(int fd, int queueSize, int& error);
bool GetLocalPort(int fd, uint16_t& port, int& error);
bool GetPeer(int fd, uint32_t& address, uint16_t& port, int& error);
// The address and port of this end of a connected or bound socket.
bool GetLocal(int fd, uint32_t& address, uint16_t& port, int& error);
bool ConnectSocket(int fd, uint32_t address, uint16_t port, int& error);
// The listener is non-blocking: EAGAIN when nobody is waiting.
int AcceptSocket(int fd, uint32_t& peerAddress, uint16_t& peerPort, int& error);

// wait false never blocks (EAGAIN when nothing is there).
long Receive(int fd, void* buffer, size_t length, bool wait, int& error);
long ReceiveFrom(int fd, void* buffer, size_t length, uint32_t& address, uint16_t& port, bool wait, int& error);
// The whole length of the next datagram, which stays queued (0 for an empty
// one); -1 on failure.
long PeekDatagramLength(int fd, bool wait, int& error);
// Never raises SIGPIPE.
// wait false never blocks (EAGAIN when the send buffer is full).
long Send(int fd, const void* buffer, size_t length, bool urgent, bool wait, int& error);
long SendTo(int fd, const void* buffer, size_t length, uint32_t address, uint16_t port, int& error);

struct PollEntry {
  int fd = -1;
  bool wantRead = false;
  bool wantWrite = false;
  bool wantExcept = false;
  bool readable = false;
  bool writable = false;
  bool exceptional = false;
  // Whatever was wanted: both directions over (or the connection gone), an
  // error pending.
  bool hungUp = false;
  bool failed = false;
};
// Waits until one entry is ready or the time runs out (-1: no limit).
// Answers the number of ready entries, 0 on time-out, -1 on failure.
// Works for any descriptor number.
int Poll(PollEntry* entries, int count, int timeoutMilliseconds, int& error);

// ---- look-ups (thread-safe calls only)
bool LookupServicePort(const char* name, const char* protocol, uint16_t& port);
bool LookupServiceName(uint16_t port, const char* protocol, ZString& name);
bool LocalHostName(ZString& name);
// Reverse look-up; false when no name is known.
bool LookupAddressName(uint32_t address, ZString& name);
// First IPv4 address of the name, with the official name when asked for.
bool LookupHost(const char* name, uint32_t& address, ZString* officialName);
// The IPv4 addresses of the host's interfaces that are up.
bool InterfaceAddresses(std::vector<uint32_t>& addresses, int& error);

// The channel error code of an error number: the table by errno name, with
// EWOULDBLOCK and ETIMEDOUT as Timeout and anything unnamed Miscellaneous.
ZChannel::Error ChannelErrorOf(int error);
// The error number of a condition reported by name.
int ErrorNumberOf(ZChannel::Condition condition);

// Byte order of IPv4 addresses.
uint32_t NetworkToHost(uint32_t value);
uint32_t HostToNetwork(uint32_t value);

}  // namespace zhost
