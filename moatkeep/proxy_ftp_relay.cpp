// The FTP relay's thread body: accepts one client (greeting it at once),
// starts the next thread on the relay's port and serves the client's
// commands until the session ends.
#include <memory>

#include "ftp_relay_socket.h"
#include "proxy.h"
#include "zunder/resources.h"

namespace {

// The pause after a failed accept that may succeed again once descriptors
// or buffers are given back.
const ZTimeInterval kAcceptRetryPause(100);

}  // namespace

void Proxy::FtpRelay(ProxyThread& thread, ZIPSocket& master) {
  std::unique_ptr<FtpRelaySocket> client;
  bool shortageLogged = false;
  for (;;) {
    client = std::make_unique<FtpRelaySocket>(master, *this);
    if (client->IsOpen()) break;
    const bool closing = client->GetErrorCode() == ZChannel::Interrupted || !master.IsOpen();
    if (!closing && ZIsTransientAcceptError(client->GetOSError())) {
      // Out of descriptors or buffers for a moment: the relay stays open.
      if (!shortageLogged) Log(1, "Accept failed for FTP proxy server: %s", client->GetErrorText().Text());
      shortageLogged = true;
      ZThread::SleepFor(kAcceptRetryPause);
      continue;
    }
    if (!closing) Log(1, "Accept failed for FTP proxy server: %s", client->GetErrorText().Text());
    masterSockets.Remove(&master);
    return;
  }

  WaitForRemote(thread);
  // The master socket belongs to the successor from here on.
  if (!PassOnListener(thread, master, &Proxy::FtpRelay)) return;

  if (GetLogLevel() >= InformationLevel) {
    Log(3, "FTP started from \"%s\".", client->GetPeerHostName().Text());
  }
  // Pause and stop close the session along with the other links.
  activeSockets.Append(client.get());
  while (client->ProcessCommand()) {
  }
  activeSockets.Remove(client.get());
  client->Close();
}
