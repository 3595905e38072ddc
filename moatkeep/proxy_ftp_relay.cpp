// The FTP relay's thread body: accepts one client (greeting it at once),
// starts the next thread on the relay's port and serves the client's
// commands until the session ends.
#include <memory>

#include "ftp_relay_socket.h"
#include "proxy.h"

void Proxy::FtpRelay(ProxyThread& thread, ZIPSocket& master) {
  // The client is greeted as it is accepted.
  std::unique_ptr<FtpRelaySocket> client = listeners.AcceptAndPassOn(
      thread, ZString("FTP proxy server"), [&] { return std::make_unique<FtpRelaySocket>(master, *this); },
      // The dial-up gate comes before the hand-on, unlike the other agents':
      // the greeted client waits for the link while the clients after it
      // wait in the listen queue, not yet greeted, until the dial has
      // succeeded or failed; then each is taken in turn and meets the gate
      // itself. So no more than one client at a time has been told the relay
      // is ready while the sites may be out of reach. The price: a reload
      // waits for the dial while this thread holds the master socket (a stop
      // and a pause release the gate first).
      [&] { WaitForRemote(thread); });
  if (client == nullptr) return;

  if (GetLogLevel() >= InformationLevel) {
    Log(InformationLevel, "FTP started from \"%s\".", client->GetPeerHostName().Text());
  }
  // Pause and stop close the session along with the other links.
  activeSockets.Append(client.get());
  while (client->ProcessCommand()) {
  }
  activeSockets.Remove(client.get());
  client->Close();
}
