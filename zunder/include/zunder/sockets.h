// Byte channels with time-outs and numbered error codes, and the IPv4
// sockets built on them: host and service look-ups, TCP connect, listen and
// accept, UDP datagrams, and waiting on several sockets at once.
//
// Threads: one socket may be read in one thread and written in another, and
// any thread may Close a socket at any time. Close wakes every thread blocked
// on the socket (accept, read, write, Select); each answers false with the
// error Interrupted. The descriptor is given back to the system only when the
// last operation inside the socket has left, so a woken thread never touches
// a descriptor number that was reused. The error fields and counts may be
// read from any thread; they describe the most recent operation.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <streambuf>
#include <vector>

#include "zunder/containers.h"
#include "zunder/strings.h"
#include "zunder/time.h"

class ZChannel;

// The stream buffer of a channel: fills its get area with the channel's Read
// and drains its put area with the channel's Write. Output stays buffered
// until the stream is flushed (std::flush, std::endl) or the area is full.
class ZChannelBuffer : public std::streambuf {
 public:
  explicit ZChannelBuffer(ZChannel& wrapped);
  ZChannelBuffer(const ZChannelBuffer&) = delete;
  ZChannelBuffer& operator=(const ZChannelBuffer&) = delete;

 protected:
  int_type underflow() override;
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  bool Drain();

  static constexpr int kSize = 1024;
  ZChannel& channel;
  char input[kSize];
  char output[kSize];
};

// ---------------------------------------------------------------- ZChannel

class ZChannel : public ZObject, public std::iostream {
  Z_CLASS(ZChannel, ZObject)
 public:
  // Channel error codes; the numbers are fixed.
  enum Error {
    NoError = 0,
    NotFound = 1,
    FileExists = 2,
    DiskFull = 3,
    AccessDenied = 4,
    DeviceInUse = 5,
    BadParameter = 6,
    NoMemory = 7,
    NotOpen = 8,
    Timeout = 9,
    Interrupted = 10,
    Miscellaneous = 11,
  };
  // Conditions of the host's system that a program reports by name (a
  // destination nobody can reach, say) when no call has failed with them;
  // the host layer knows their error numbers.
  enum Condition {
    HostUnreachable,
    MessageTooLong,
    NoBufferSpace,
    ConnectionReset,
    ConnectionTimedOut,
    ConnectionRefused,
    NetworkUnreachable,
  };

  ZChannel();
  ZChannel(const ZChannel&) = delete;
  ZChannel& operator=(const ZChannel&) = delete;
  ~ZChannel() override;

  virtual bool IsOpen() const;
  virtual ZString GetName() const;
  // Reads up to length bytes; false when nothing was read (see the socket
  // classes for the exact rules).
  virtual bool Read(void* buffer, ZIndex length);
  // The byte (0-255), or -1 when the read failed or moved no byte.
  virtual int ReadChar();
  // This host completes requests at once: the transfer is made and the
  // completion handler called before the call returns.
  virtual bool ReadAsync(void* buffer, ZIndex length);
  virtual void OnReadComplete(void* buffer, ZIndex count, bool success);
  virtual bool Write(const void* buffer, ZIndex length);
  virtual bool WriteAsync(const void* buffer, ZIndex length);
  virtual void OnWriteComplete(const void* buffer, ZIndex count, bool success);
  virtual bool Close();

  // Repeats Read until length bytes arrived or a read fails.
  ZString ReadString(ZIndex length);
  // value must be 0-255 (reported as an invalid parameter otherwise).
  bool WriteChar(int value);
  // Repeats Write until the whole text went out; an empty text is true.
  bool WriteString(const ZString& text);

  // The system handle, -1 when closed.
  virtual int32_t GetHandle() const { return handle; }
  Error GetErrorCode() const;
  int32_t GetOSError() const;
  // The C library's text for osError; empty when there is no error.
  ZString GetErrorText() const;
  ZIndex GetLastReadCount() const { return lastReadCount.load(std::memory_order_relaxed); }
  ZIndex GetLastWriteCount() const { return lastWriteCount.load(std::memory_order_relaxed); }
  // 0x7fffffff ms waits without limit; a read time-out of -1 skips the wait.
  // Set them while no read or write is running on the channel.
  void SetReadTimeout(const ZTimeInterval& timeout) { readTimeout = timeout; }
  void SetWriteTimeout(const ZTimeInterval& timeout) { writeTimeout = timeout; }
  const ZTimeInterval& GetReadTimeout() const { return readTimeout; }
  const ZTimeInterval& GetWriteTimeout() const { return writeTimeout; }

  // The channel error code of a C library error number.
  static Error ErrorFromOS(int osError);
  // The text of an error number as GetErrorText gives it.
  static ZString ErrorText(int osError);
  // The host's error number of a condition, and its text: what
  // GetErrorText says after a call that failed with it.
  static int32_t OSErrorOf(Condition condition);
  static ZString ErrorText(Condition condition);

 protected:
  // Records the outcome of an operation: osError 0 is success.
  void SetResult(int osError);
  void SetResult(Error code, int osError);
  void SetLastReadCount(ZIndex count) { lastReadCount.store(count, std::memory_order_relaxed); }
  void SetLastWriteCount(ZIndex count) { lastWriteCount.store(count, std::memory_order_relaxed); }

  int32_t handle = -1;  // for channels that keep a plain handle (sockets guard theirs)
  ZTimeInterval readTimeout{0x7fffffff};
  ZTimeInterval writeTimeout{0x7fffffff};

 private:
  // Error code and osError packed together so a reader never sees the code
  // of one operation with the number of another.
  std::atomic<uint64_t> result{0};
  std::atomic<ZIndex> lastReadCount{0};
  std::atomic<ZIndex> lastWriteCount{0};
  ZChannelBuffer streamBuffer;
};

// ---------------------------------------------------------------- addresses

// An IPv4 address held in network byte order; 0 stands for none.
class ZIPAddress : public ZObject {
  Z_CLASS(ZIPAddress, ZObject)
 public:
  ZIPAddress();  // 127.0.0.1
  explicit ZIPAddress(uint32_t networkOrder) : value(networkOrder) {}
  ZIPAddress(uint8_t first, uint8_t second, uint8_t third, uint8_t fourth);

  uint32_t GetValue() const { return value; }  // network byte order
  uint32_t GetHostOrder() const;
  void SetValue(uint32_t networkOrder) { value = networkOrder; }
  // Byte 0 is the most significant ("127" of 127.0.0.1).
  uint8_t GetByte(int index) const;
  void SetByte(int index, uint8_t byte);
  bool IsNone() const { return value == 0; }
  ZString GetDotted() const;
  // Four dotted decimal numbers 0-255, nothing else; false leaves it unchanged.
  bool Parse(const char* text);

  bool operator==(const ZIPAddress& other) const { return value == other.value; }
  bool operator!=(const ZIPAddress& other) const { return value != other.value; }
  ZComparison Compare(const ZObject& other) const override;  // in host order
  ZObject* Clone() const override;
  uint32_t Hash() const override;
  void Print(std::ostream& out) const override;

 private:
  uint32_t value;
};

// ---------------------------------------------------------------- ZSocket

class ZSocket : public ZChannel {
  Z_CLASS(ZSocket, ZChannel)
 public:
  ZSocket() = default;
  ~ZSocket() override;

  bool IsOpen() const override;
  int32_t GetHandle() const override;
  bool Read(void* buffer, ZIndex length) override;
  bool Write(const void* buffer, ZIndex length) override;
  // Wakes every thread blocked on the socket; the descriptor is released
  // when the last of them has left. False when it was not open. Leaves the
  // error fields as they were.
  bool Close() override;

  // A bound on every read from now on, whatever the read time-out: each
  // wait is cut to what is left of span, and once span has passed every read
  // fails with the error Timeout, as a read that timed out does. So a peer
  // that trickles bytes, each within the read time-out, cannot hold a reader
  // for ever. Set and clear it while no read is running, as the time-outs.
  void SetDeadline(const ZTimeInterval& span);
  void ClearDeadline() { hasDeadline = false; }
  bool IsPastDeadline() const;

  // ---- host and service look-ups (no socket needed)
  // The local host name (up to 50 characters); "localhost" when unknown.
  static ZString GetHostName();
  // Dotted address: the reverse look-up, else the dotted form. Name: the
  // official name, else the text unchanged.
  static ZString GetHostName(const char* host);
  static ZString GetHostName(const ZIPAddress& address);
  static bool GetHostAddress(const char* host, ZIPAddress& address);
  static bool GetHostAddress(ZIPAddress& address);
  // The IPv4 addresses of this host's interfaces that are up (loopback
  // included); false when the host cannot tell.
  static bool GetInterfaceAddresses(std::vector<ZIPAddress>& addresses);
  // "name", "number", or "name number" (the number when the name is
  // unknown); 0 when nothing fits.
  static uint16_t GetPortByService(const char* protocol, const char* service);
  // The services database's name of the port, else the port in decimal.
  static ZString GetServiceByPort(const char* protocol, uint16_t port);

  // Waits until either socket has data to read: 0 on time-out, bit 0 for
  // the first, bit 1 for the second, negative on failure (including a
  // socket closed by another thread, which then reports Interrupted).
  static int Select(ZSocket& first, ZSocket& second, const ZTimeInterval& timeout = ZInfinite);
  // Each list holds sockets it does not own (null for an unused list). On
  // time-out every list is emptied; otherwise each keeps its ready sockets
  // (the except list: urgent data, an error or a hang-up).
  // False (lists unchanged) when the wait fails. At most 64 sockets.
  static bool Select(ZList* readList, ZList* writeList, ZList* exceptList, const ZTimeInterval& timeout = ZInfinite);
  static constexpr ZIndex kMaxSelect = 64;

  // One socket of a Wait: what it is watched for and, after the wait, what
  // was found. A hang-up or an error counts as readable and writable.
  // Whatever was wanted, even nothing, a wait also ends for a socket whose
  // connection is over both ways (hungUp: it stays so, and ends every later
  // wait at once; leave such a socket out of them) or has an error pending
  // (failed).
  struct WaitEntry {
    ZSocket* socket = nullptr;
    bool wantRead = false;
    bool wantWrite = false;
    bool wantExcept = false;  // urgent data or an error
    bool readable = false;
    bool writable = false;
    bool exceptional = false;
    bool hungUp = false;
    bool failed = false;
  };
  // Select without lists (and without allocating): waits until one entry is
  // ready or the time runs out (then nothing is found). False when the wait
  // fails, as Select. At most kMaxSelect entries.
  static bool Wait(WaitEntry* entries, ZIndex count, const ZTimeInterval& timeout = ZInfinite);

 protected:
  // How an operation got into the socket.
  enum Entry { Entered, WasClosed, NeverOpened };

  template <ZIndex Capacity>
  static bool WaitUpTo(WaitEntry* entries, ZIndex count, const ZTimeInterval& timeout);

  // An operation in progress: keeps the descriptor alive until it leaves.
  class Use {
   public:
    explicit Use(const ZSocket& socket);
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    bool Ok() const { return entry == Entered; }
    Entry GetEntry() const { return entry; }
    int Fd() const { return fd; }

   private:
    const ZSocket& socket;
    int fd = -1;  // before entry: Enter fills it in
    Entry entry;
  };

  // Installs a fresh descriptor (waiting for stragglers of the previous one).
  void Attach(int fd);
  bool IsClosing() const;
  // Records the failure of an operation that could not enter the socket.
  void SetEntryFailure(Entry entry);
  // Records a failed call: Interrupted when the socket was closed meanwhile.
  void SetFailure(int osError);
  // Waits for readability or writability up to pollMilliseconds (-1: no
  // limit); 1 ready, 0 time-out, -1 failure (recorded).
  int WaitFor(int fd, bool forWriting, int pollMilliseconds);
  // One receive under the read time-out and the deadline: the byte count, 0
  // when the peer closed, -1 on failure; the outcome is recorded.
  // With peekLength the answer is the whole length of the next datagram,
  // which stays queued (buffer is not used).
  long ReceiveWithin(int fd, void* buffer, ZIndex length, ZIPAddress* from, uint16_t* fromPort,
                     bool peekLength = false);
  // Read and ReadFrom: the checks, one receive and the count read; the
  // sender's address and port when they are wanted (not null).
  bool ReadInto(void* buffer, ZIndex length, ZIPAddress* from, uint16_t* fromPort);
  // Records on another socket (a listener, a socket in a wait).
  static void RecordOn(ZSocket& socket, Error code, int osError) { socket.SetResult(code, osError); }

 private:
  Entry Enter(int& fd) const;
  void Leave() const;

  // Low 32 bits: descriptor (-1 none); bits 32-61: operations inside;
  // bit 62: closed by Close (sticky until the next Attach).
  mutable std::atomic<uint64_t> state{0xffffffffull};

 protected:
  // The peer of a connected socket never changes: remembered when it is
  // learnt for free (accept, connect), so asking again costs no system call.
  void RememberPeer(uint32_t address, uint16_t peerPort);
  bool RecallPeer(uint32_t& address, uint16_t& peerPort) const;
  // A stream's end is sent with a shutdown when it closes; datagram sockets
  // have no end to send.
  bool streamEnds = true;
  // Set on a listener whose accepted sockets inherit its linger option.
  void SetLingerInherited(bool inherited) { lingerInherited.store(inherited, std::memory_order_relaxed); }
  static bool LingerInherited(const ZSocket& listener) {
    return listener.lingerInherited.load(std::memory_order_relaxed);
  }

 private:
  // The read time-out in milliseconds cut to what is left before the
  // deadline; cut tells whether the deadline made it shorter.
  int64_t ReadWaitWithinDeadline(bool& cut) const;

  static constexpr uint64_t kPeerKnown = 1ull << 48;
  // The deadline belongs to the reading thread, as the read time-out does.
  bool hasDeadline = false;
  bool deadlineReached = false;  // a wait cut short by it has timed out
  std::chrono::steady_clock::time_point readDeadline;
  std::atomic<uint64_t> peer{0};  // kPeerKnown | address << 16 | port
  std::atomic<bool> lingerInherited{false};
  // The peer's end of stream has been read: no input can be left unread.
  std::atomic<bool> inputEnded{false};
};

// Puts a deadline on a socket's reads for one scope (ZSocket::SetDeadline)
// and clears it when the scope ends, however it ends.
class ZSocketDeadline {
 public:
  ZSocketDeadline(ZSocket& target, const ZTimeInterval& span) : socket(target) { target.SetDeadline(span); }
  ~ZSocketDeadline() { socket.ClearDeadline(); }
  ZSocketDeadline(const ZSocketDeadline&) = delete;
  ZSocketDeadline& operator=(const ZSocketDeadline&) = delete;

 private:
  ZSocket& socket;
};

// ---------------------------------------------------------------- ZIPSocket

class ZIPSocket : public ZSocket {
  Z_CLASS(ZIPSocket, ZSocket)
 public:
  explicit ZIPSocket(uint16_t portNumber = 0) : port(portNumber) {}
  ZIPSocket(const char* protocol, const char* service);

  virtual bool Connect(const char* host) = 0;
  virtual bool Listen(int queueSize, uint16_t port = 0, bool exclusive = false) = 0;
  virtual bool Accept(ZIPSocket& listener) = 0;
  virtual uint16_t GetPortByService(const char* service);
  virtual ZString GetServiceByPort(uint16_t port);
  using ZSocket::GetPortByService;
  using ZSocket::GetServiceByPort;

  // "tcp" or "udp".
  virtual const char* GetProtocol() const = 0;
  // An open socket refuses to change its port.
  bool SetPort(uint16_t newPort);
  bool SetPort(const char* service);
  uint16_t GetPort() const { return port; }
  ZString GetService();
  // Peer's host name (or dotted address), a blank and its port; empty
  // without a peer.
  ZString GetName() const override;
  bool GetPeerAddress(ZIPAddress& address);
  bool GetPeerAddress(ZIPAddress& address, uint16_t& peerPort);
  ZString GetPeerHostName();
  // This end of the connection: the address the peer reached us at (the
  // interface it came in by), and the local port.
  bool GetLocalAddress(ZIPAddress& address, uint16_t& localPort);

 protected:
  // The first steps of Connect for both kinds: closes the socket, checks
  // that a port is set, looks the host up into address and creates a
  // descriptor of the kind. Answers the descriptor, or -1 with the result
  // set.
  int OpenForConnect(const char* host, bool stream, ZIPAddress& address);
  // Listen for both kinds: a stream socket also listens with the queue.
  bool ListenAs(bool stream, int queueSize, uint16_t newPort, bool exclusive);

  uint16_t port;
};

class ZTCPSocket : public ZIPSocket {
  Z_CLASS(ZTCPSocket, ZIPSocket)
 public:
  explicit ZTCPSocket(uint16_t portNumber = 0) : ZIPSocket(portNumber) {}
  explicit ZTCPSocket(const char* service) : ZIPSocket("tcp", service) {}

  bool Connect(const char* host) override;
  bool Listen(int queueSize, uint16_t port = 0, bool exclusive = false) override;
  // The listener's read time-out bounds the wait (without limit by default).
  bool Accept(ZIPSocket& listener) override;
  // Takes a connection already queued on the listener, without waiting:
  // false with Timeout when none is (or another thread took it first).
  bool AcceptQueued(ZIPSocket& listener);
  virtual bool WriteOutOfBand(const void* buffer, ZIndex length);
  virtual void OnOutOfBand(const void* buffer, ZIndex length);
  // With on, urgent data is read in the stream, in its place, like any other
  // byte (and no longer makes the socket exceptional once read past).
  bool SetUrgentInline(bool on);
  // Ends the sending direction only: the peer reads the end of the stream
  // after everything already written, and this side can still read.
  bool ShutdownWrite();
  // Closes at once, dropping whatever was written but not yet taken by the
  // peer (which sees the connection reset): for a connection given up on,
  // whose close must not wait the linger time for a peer that reads no more.
  void CloseDiscarding();
  const char* GetProtocol() const override { return "tcp"; }

 private:
  // Makes this socket the connection fd accepted from listener.
  void TakeAccepted(ZIPSocket& listener, int fd, uint32_t peerAddress, uint16_t peerPort);
};

class ZUDPSocket : public ZIPSocket {
  Z_CLASS(ZUDPSocket, ZIPSocket)
 public:
  explicit ZUDPSocket(uint16_t portNumber = 0) : ZIPSocket(portNumber) { streamEnds = false; }
  explicit ZUDPSocket(const char* service) : ZIPSocket("udp", service) { streamEnds = false; }

  bool Connect(const char* host) override;
  bool Listen(int queueSize, uint16_t port = 0, bool exclusive = false) override;
  bool Accept(ZIPSocket& listener) override;  // not for datagrams
  // One datagram each; the read waits up to the read time-out. A datagram
  // longer than length is cut to it (the rest is lost).
  virtual bool ReadFrom(void* buffer, ZIndex length, ZIPAddress& address, uint16_t& fromPort);
  // Waits as a read does for the next datagram and tells its whole length
  // (0 for an empty one), leaving it queued for Read or ReadFrom: a buffer
  // of the right size can be found for it first.
  bool PeekDatagramLength(ZIndex& length);
  virtual bool WriteTo(const void* buffer, ZIndex length, const ZIPAddress& address, uint16_t toPort);
  using ZObject::ReadFrom;
  const char* GetProtocol() const override { return "udp"; }
};
