// One data transfer of the FTP relay: the site is told to connect to a data
// port of the gateway, the client's data connection is made (active) or
// taken (passive), the bytes are copied, and the site's replies reach the
// client in order. Every wait also watches both control connections, so a
// refusal from the site or a client that leaves ends it, and every wait is
// bounded. The data ports take only the site and the client; of the
// client's commands meanwhile only ABOR, STAT and NOOP reach the site.
#include <chrono>
#include <memory>
#include <vector>

#include "ftp_relay_socket.h"
#include "zunder/threads.h"

namespace {

// Bulk data moves in large chunks; a source that keeps delivering is read
// again at once rather than after another wait, up to this many chunks.
constexpr ZIndex kCopyChunk = 256 * 1024;
constexpr int kChunksPerPass = 64;

// The pause after a failed accept (descriptors short), as the listeners
// make: the connection stays queued for the next try.
const ZTimeInterval kAcceptRetryPause(100);

bool IsFinal(int32_t code) { return code >= 200; }
bool IsFailure(int32_t code) { return code >= 400; }
bool IsRefusal(int32_t code) { return code >= 500; }

}  // namespace

class FtpRelaySocket::Transfer {
 public:
  Transfer(FtpRelaySocket& owner, ZIndex transferNumber, const ZString& commandArguments, bool isUpload)
      : relay(owner), agent(owner.agent), number(transferNumber), arguments(commandArguments), upload(isUpload) {}

  // False ends the client's connection.
  bool Run();

 private:
  // What happened on the control connections.
  enum class Event { Going, TransferEnded, ClientGone, AgentGone };
  // How a wait for a data connection ended.
  enum class Outcome { Connected, TransferEnded, TimedOut, ClientGone, AgentGone };

  // Takes only a connection from expected; anyone else's is closed at once.
  Outcome AwaitConnection(ZTCPSocket& listener, const ZIPAddress& expected, ZTCPSocket& connection);
  Outcome ConnectToClient(ZTCPSocket& connection);
  // Copies until the source ends; answers the event that ended it early.
  Event Copy(ZTCPSocket& source, ZTCPSocket& destination);
  // Serves what waits on a control connection.
  Event ServeAgent();
  Event ServeClient();
  // Control data already buffered by the line reader, which a wait on the
  // socket would not see.
  Event ServeBuffered();
  // After the data connections are closed: the held replies, then every
  // final reply still owed.
  bool FinishReplies();

  FtpRelaySocket& relay;
  ZFTPSocket& agent;
  const ZIndex number;
  const ZString arguments;
  const bool upload;

  // Final replies the site owes: one for the transfer command, one for each
  // command of the client passed on meanwhile.
  int finalsOwed = 1;
  bool transferReplied = false;
  // The client's data connection could not be made.
  bool clientDataFailed = false;
  // The client sent ABOR: the data connections are dropped, not drained.
  bool aborted = false;
  // Completion replies wait until the data is delivered: a client may take
  // the reply for the end of the data.
  bool copying = false;
  struct Reply {
    int32_t code;
    ZString info;
  };
  std::vector<Reply> held;
  unsigned long bytes = 0;
};

bool FtpRelaySocket::RelayTransfer(ZIndex number, const ZString& arguments, bool upload) {
  Transfer transfer(*this, number, arguments, upload);
  return transfer.Run();
}

bool FtpRelaySocket::Transfer::Run() {
  if (!agent.IsOpen()) return relay.CloseAgent(kAgentClosed);
  // The client's passive socket serves this one transfer, whatever becomes
  // of it.
  std::unique_ptr<ZTCPSocket> passive = relay.TakePassiveSocket();

  ZTCPSocket listener;
  ZIPAddress gateway(0u);
  if (!relay.GetGatewayAddress(gateway) || !listener.Listen(5, 0, true)) {
    relay.WriteResponse(425, "Cannot open data connection.");
    return true;
  }
  if (!agent.SendPort(gateway, listener.GetPort())) return relay.CloseAgent(kAgentClosed);
  if (!agent.WriteCommand(number, arguments)) return relay.CloseAgent(kAgentClosed);

  // The data ports take only the site and the client: a host scanning for
  // open ports must not receive a download or feed an upload.
  ZIPAddress site(0u);
  ZIPAddress client(0u);
  if (!agent.GetPeerAddress(site)) return relay.CloseAgent(kAgentClosed);
  if (!relay.GetPeerAddress(client)) return false;

  ZTCPSocket siteData;
  Outcome outcome = AwaitConnection(listener, site, siteData);
  listener.Close();

  ZTCPSocket clientData;
  if (outcome == Outcome::Connected) {
    outcome = passive != nullptr ? AwaitConnection(*passive, client, clientData) : ConnectToClient(clientData);
    clientDataFailed = outcome == Outcome::TimedOut;
  }
  if (passive != nullptr) passive->Close();

  Event ended = Event::Going;
  if (outcome == Outcome::Connected) {
    copying = true;
    ended = upload ? Copy(clientData, siteData) : Copy(siteData, clientData);
    copying = false;
    relay.log.Log(InformationLevel, "FTP transfer completed (%lu bytes)", bytes);
  } else if (outcome == Outcome::ClientGone) {
    ended = Event::ClientGone;
  } else if (outcome == Outcome::AgentGone) {
    ended = Event::AgentGone;
  }
  if (aborted) {
    // Data still on its way is given up with the transfer: a client that
    // sent ABOR reads no more of it, and a plain close would wait the linger
    // time for it before the site's replies could follow.
    siteData.CloseDiscarding();
    clientData.CloseDiscarding();
  } else {
    siteData.Close();
    clientData.Close();
  }

  if (ended == Event::ClientGone) return false;
  if (ended == Event::AgentGone) return relay.CloseAgent(kAgentClosed);
  return FinishReplies();
}

// ---------------------------------------------------------------- control connections

FtpRelaySocket::Transfer::Event FtpRelaySocket::Transfer::ServeAgent() {
  if (!agent.ReadResponse()) return Event::AgentGone;
  int32_t code = agent.GetLastResponseCode();
  ZString info = agent.GetLastResponseInfo();
  if (code < 100 || code > 999) return Event::AgentGone;
  // Replies come in order: the first final one answers the transfer command.
  const bool first = IsFinal(code) && !transferReplied;
  if (IsFinal(code)) {
    transferReplied = true;
    --finalsOwed;
  }
  if (first && clientDataFailed && !IsFailure(code)) {
    // The site delivered, but not to the client: no success to report.
    code = 425;
    info = "Cannot open data connection.";
  }
  // A refusal (5xx) ends the copy at once. Any other final reply waits
  // until the data is through: a 426 "transfer aborted" follows the site's
  // close of the data connection, and what the site sent before it still
  // reaches the client.
  const bool refusal = IsRefusal(code);
  if (copying && (!held.empty() || (IsFinal(code) && !refusal))) {
    // Once one reply waits, the later ones wait behind it.
    held.push_back(Reply{code, info});
  } else if (!relay.WriteResponse(code, info)) {
    return Event::ClientGone;
  }
  // Outside the copy a final reply ends the transfer too.
  if (first && (refusal || !copying)) return Event::TransferEnded;
  return Event::Going;
}

FtpRelaySocket::Transfer::Event FtpRelaySocket::Transfer::ServeClient() {
  ZIndex command = kUnknownCommand;
  ZString text;
  if (!relay.ReadCommand(command, text)) {
    if (relay.IsLineTooLong()) relay.WriteResponse(500, "Command line too long.");
    return Event::ClientGone;
  }
  if (command == kUnknownCommand || command >= CommandCount) {
    relay.OnUnknown(command == kUnknownCommand ? text : relay.GetCommandName(command) & text);
    return Event::Going;
  }
  switch (command) {
    case ABOR:
      // The client gives up the transfer, and with it whatever data is
      // still on its way (it no longer reads it): the copy ends here, and
      // the site's replies follow once the data connections are closed.
      if (!agent.WriteCommand(command, text)) return Event::AgentGone;
      ++finalsOwed;
      aborted = true;
      return Event::TransferEnded;
    case STAT:
    case NOOP:
      // Meant for the transfer: passed on, and its reply comes through the
      // agent connection.
      if (!agent.WriteCommand(command, text)) return Event::AgentGone;
      ++finalsOwed;
      return Event::Going;
    case PORT:
    case PASV:
      // Served by the gateway, checked as ever, for the next transfer;
      // never passed on (a PORT would make the site a bounce).
      return relay.DispatchCommand(command, text) ? Event::Going : Event::ClientGone;
    case RETR:
    case STOR:
    case STOU:
    case APPE:
    case LIST:
    case NLST: return relay.WriteResponse(425, "Cannot open data connection.") ? Event::Going : Event::ClientGone;
    default:
      // Everything else needs the site's dialogue, which the transfer holds.
      return relay.WriteResponse(503, "Bad sequence of commands.") ? Event::Going : Event::ClientGone;
  }
}

FtpRelaySocket::Transfer::Event FtpRelaySocket::Transfer::ServeBuffered() {
  while (agent.HasBufferedInput() || relay.HasBufferedInput()) {
    const Event event = agent.HasBufferedInput() ? ServeAgent() : ServeClient();
    if (event != Event::Going) return event;
  }
  return Event::Going;
}

bool FtpRelaySocket::Transfer::FinishReplies() {
  for (const Reply& reply : held) {
    if (!relay.WriteResponse(reply.code, reply.info)) return false;
  }
  held.clear();
  while (finalsOwed > 0) {
    const Event event = ServeAgent();
    if (event == Event::AgentGone) return relay.CloseAgent(kAgentClosed);
    if (event == Event::ClientGone) return false;
  }
  return true;
}

// ---------------------------------------------------------------- data connections

FtpRelaySocket::Transfer::Outcome FtpRelaySocket::Transfer::AwaitConnection(ZTCPSocket& listener,
                                                                            const ZIPAddress& expected,
                                                                            ZTCPSocket& connection) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kDataConnectionWait.GetMilliseconds());
  for (;;) {
    const Event buffered = ServeBuffered();
    if (buffered == Event::TransferEnded) return Outcome::TransferEnded;
    if (buffered == Event::ClientGone) return Outcome::ClientGone;
    if (buffered == Event::AgentGone) return Outcome::AgentGone;

    const int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return Outcome::TimedOut;
    ZSocket::WaitEntry entries[3];
    entries[0].socket = &listener;
    entries[1].socket = &agent;
    entries[2].socket = &relay;
    for (ZSocket::WaitEntry& entry : entries) entry.wantRead = true;
    if (!ZSocket::Wait(entries, 3, ZTimeInterval(left))) {
      return relay.IsOpen() ? Outcome::AgentGone : Outcome::ClientGone;
    }
    if (entries[0].readable) {
      const ZTimeInterval saved = listener.GetReadTimeout();
      listener.SetReadTimeout(ZTimeInterval(0));
      const bool accepted = connection.Accept(listener);
      listener.SetReadTimeout(saved);
      if (accepted) {
        ZIPAddress peer;
        if (connection.GetPeerAddress(peer) && peer == expected) return Outcome::Connected;
        connection.Close();  // a stranger: nothing for it, and the wait goes on
      } else if (connection.GetErrorCode() != ZChannel::Timeout) {
        // Out of descriptors, say: the listener stays ready, and trying
        // again at once would only spin.
        ZThread::SleepFor(kAcceptRetryPause);
      }
    }
    Event event = Event::Going;
    if (entries[1].readable) event = ServeAgent();
    if (event == Event::Going && entries[2].readable) event = ServeClient();
    if (event == Event::TransferEnded) return Outcome::TransferEnded;
    if (event == Event::ClientGone) return Outcome::ClientGone;
    if (event == Event::AgentGone) return Outcome::AgentGone;
  }
}

FtpRelaySocket::Transfer::Outcome FtpRelaySocket::Transfer::ConnectToClient(ZTCPSocket& connection) {
  if (!connection.SetPort(relay.GetDataPort())) return Outcome::TimedOut;
  if (connection.Connect(relay.GetDataHost().GetDotted().Text())) return Outcome::Connected;
  // The site's reply to the failed transfer follows once its data
  // connection is closed.
  return Outcome::TimedOut;
}

FtpRelaySocket::Transfer::Event FtpRelaySocket::Transfer::Copy(ZTCPSocket& source, ZTCPSocket& destination) {
  // Neither side may block the copy: a client that reads its data only
  // after the site's preliminary reply must get that reply while data
  // waits for it. Reads return at once; a write takes what fits and the
  // rest waits for the destination to drain.
  source.SetReadTimeout(ZTimeInterval(0));
  destination.SetWriteTimeout(ZTimeInterval(0));
  const auto buffer = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(kCopyChunk));
  ZIndex filled = 0;
  ZIndex offset = 0;
  for (;;) {
    const Event buffered = ServeBuffered();
    if (buffered != Event::Going) return buffered;

    // Move what is ready without a wait in front of each read.
    for (int chunk = 0; chunk < kChunksPerPass; ++chunk) {
      if (offset == filled) {
        if (!source.Read(buffer.get(), kCopyChunk)) {
          if (source.GetErrorCode() == ZChannel::Timeout) break;
          return Event::Going;  // the end of the data, or the source failed
        }
        filled = source.GetLastReadCount();
        offset = 0;
      }
      const ZIndex length = filled - offset;
      const bool written = destination.Write(buffer.get() + offset, length);
      const ZIndex count = written ? length : destination.GetLastWriteCount();
      offset += count;
      bytes += static_cast<unsigned long>(count);
      if (!written) {
        if (destination.GetErrorCode() != ZChannel::Timeout) return Event::Going;
        break;  // the destination is full: wait until it drains
      }
    }

    const bool pending = offset < filled;
    // The site's completion reply waits until the data is through; the
    // agent is watched again only for a refusal or another reply.
    const bool watchAgent = held.empty();
    ZSocket::WaitEntry entries[3];
    entries[0].socket = pending ? &destination : &source;
    entries[0].wantRead = !pending;
    entries[0].wantWrite = pending;
    entries[1].socket = &relay;
    entries[1].wantRead = true;
    entries[2].socket = &agent;
    entries[2].wantRead = true;
    const ZIndex count = watchAgent ? 3 : 2;
    if (!ZSocket::Wait(entries, count, relay.GetReadTimeout())) {
      return relay.IsOpen() ? Event::Going : Event::ClientGone;
    }
    bool ready = false;
    for (ZIndex i = 0; i < count; ++i) ready = ready || entries[i].readable || entries[i].writable;
    if (!ready) return Event::Going;  // idle for as long as a client may be

    Event event = Event::Going;
    if (watchAgent && entries[2].readable) event = ServeAgent();
    if (event == Event::Going && entries[1].readable) event = ServeClient();
    if (event != Event::Going) return event;
  }
}
