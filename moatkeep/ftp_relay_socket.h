// FtpRelaySocket: the client's control connection of the FTP relay. The
// client logs in as user@site (or says OPEN site first); the relay opens its
// own control connection to port 21 of the site (the agent connection),
// logs in there with the client's password, passes every command to the
// site and every reply back, and carries data transfers through the gateway:
// the site always connects to a data port of the gateway, which is joined to
// the client's own data connection, active or passive as the client chose.
#pragma once

#include <cstdint>
#include <memory>

#include "log_sink.h"
#include "zunder/ftpsocket.h"
#include "zunder/time.h"

class FtpRelaySocket : public ZFTPSocket {
  Z_CLASS(FtpRelaySocket, ZFTPSocket)
 public:
  // The longest wait for a data connection of a transfer, from the site or
  // from the client.
  static const ZTimeInterval kDataConnectionWait;
  // What the client is told when the site's connection is lost.
  static constexpr const char* kAgentClosed = "Agent connection to host closed";

  // Accepts one client from listener and greets it with the gateway's name
  // (check IsOpen). Log lines go to log.
  FtpRelaySocket(ZIPSocket& listener, LogSink& logSink);
  ~FtpRelaySocket() override;

  // Opens the agent connection to host (replacing an open one); false
  // after telling the client why (the client's connection then ends).
  bool OpenAgent(const ZString& host);
  // Writes 421 text to the client and closes the agent connection; false.
  bool CloseAgent(const ZString& text);
  bool IsAgentOpen() const { return agent.IsOpen(); }
  // Passes one command to the site and its reply back.
  bool RelayCommand(ZIndex number, const ZString& arguments);
  // Relays one data-transfer command: upload carries data from the client
  // to the site, otherwise from the site to the client.
  bool RelayTransfer(ZIndex number, const ZString& arguments, bool upload);

  // Where the data port of the site's transfers is opened: the address the
  // agent connection leaves the gateway by.
  bool GetGatewayAddress(ZIPAddress& address);

  ZIndex GetOpenCommand() const { return openCommand; }

  bool DispatchCommand(ZIndex number, const ZString& arguments) override;
  bool CheckLoginRequired(ZIndex number) override;
  bool AuthoriseUser(const ZString& user, const ZString& password, bool& replied) override;
  bool OnUSER(const ZString& arguments) override;
  bool OnQUIT(const ZString& arguments) override;
  // The client's PORT may name only its own address and an unprivileged
  // port: the relay never connects anywhere else for it (FTP bounce).
  bool OnPORT(const ZString& arguments) override;
  bool OnSTRU(const ZString& arguments) override;
  bool OnMODE(const ZString& arguments) override;
  bool OnTYPE(const ZString& arguments) override;
  bool OnNOOP(const ZString& arguments) override;
  bool OnSYST(const ZString& arguments) override;
  bool OnSTAT(const ZString& arguments) override;
  bool OnRETR(const ZString& arguments) override;
  bool OnSTOR(const ZString& arguments) override;
  bool OnACCT(const ZString& arguments) override;
  bool OnAPPE(const ZString& arguments) override;
  bool OnRNFR(const ZString& arguments) override;
  bool OnRNTO(const ZString& arguments) override;
  bool OnDELE(const ZString& arguments) override;
  bool OnCWD(const ZString& arguments) override;
  bool OnCDUP(const ZString& arguments) override;
  bool OnRMD(const ZString& arguments) override;
  bool OnMKD(const ZString& arguments) override;
  bool OnPWD(const ZString& arguments) override;
  bool OnLIST(const ZString& arguments) override;
  bool OnNLST(const ZString& arguments) override;
  bool OnHELP(const ZString& arguments) override;
  bool OnSITE(const ZString& arguments) override;
  bool OnABOR(const ZString& arguments) override;
  bool OnSMNT(const ZString& arguments) override;
  bool OnREIN(const ZString& arguments) override;
  bool OnSTOU(const ZString& arguments) override;
  bool OnALLO(const ZString& arguments) override;
  bool OnREST(const ZString& arguments) override;

 private:
  class Transfer;
  friend class Transfer;

  bool OnOPEN(const ZString& arguments);
  // Writes the site's last reply to the client; a reply without a code
  // ends the agent connection instead.
  bool PassAgentReply();

  ZFTPSocket agent{21};
  ZIndex openCommand;
  LogSink& log;
};
