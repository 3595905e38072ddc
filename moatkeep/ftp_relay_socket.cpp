// The FTP relay's control dialogue: login as user@site or OPEN, the agent
// connection to the site, and the commands passed through to it.
#include "ftp_relay_socket.h"

namespace {

// The client's PORT may only send data back to the client itself, and never
// to a privileged port (RFC 2577).
constexpr uint16_t kLowestDataPort = 1024;

ZString GreetingText() { return ZSocket::GetHostName() & "FTP agent ready"; }

}  // namespace

const ZTimeInterval FtpRelaySocket::kDataConnectionWait{0, 60};

FtpRelaySocket::FtpRelaySocket(ZIPSocket& listener, LogSink& logSink)
    : ZFTPSocket(listener, GreetingText().Text()), openCommand(AppendCommandName("OPEN")), log(logSink) {}

FtpRelaySocket::~FtpRelaySocket() = default;

// ---------------------------------------------------------------- the agent connection

bool FtpRelaySocket::OpenAgent(const ZString& host) {
  if (agent.IsOpen()) CloseAgent(kAgentClosed);
  if (!agent.Connect(host.Text())) return CloseAgent(ZString("Cannot open agent connection to host") & host);
  return true;
}

bool FtpRelaySocket::CloseAgent(const ZString& text) {
  WriteResponse(421, text);
  agent.Close();
  return false;
}

bool FtpRelaySocket::PassAgentReply() {
  const int32_t code = agent.GetLastResponseCode();
  if (code < 100 || code > 999) return CloseAgent(kAgentClosed);
  WriteResponse(code, agent.GetLastResponseInfo());
  return true;
}

bool FtpRelaySocket::GetGatewayAddress(ZIPAddress& address) {
  uint16_t ignored = 0;
  if (agent.GetLocalAddress(address, ignored) && !address.IsNone()) return true;
  return GetHostAddress(address);
}

bool FtpRelaySocket::RelayCommand(ZIndex number, const ZString& arguments) {
  if (!agent.IsOpen() || !agent.WriteCommand(number, arguments)) return CloseAgent(kAgentClosed);
  // A site that does not answer is as good as gone: the client learns so
  // rather than getting a stale reply.
  if (!agent.ReadResponse()) return CloseAgent(kAgentClosed);
  return PassAgentReply();
}

// ---------------------------------------------------------------- dispatch and login

bool FtpRelaySocket::DispatchCommand(ZIndex number, const ZString& arguments) {
  if (number == openCommand) return OnOPEN(arguments);
  return ZFTPSocket::DispatchCommand(number, arguments);
}

bool FtpRelaySocket::CheckLoginRequired(ZIndex number) {
  if (number == openCommand) return false;
  return ZFTPSocket::CheckLoginRequired(number);
}

bool FtpRelaySocket::OnOPEN(const ZString& arguments) {
  if (!OpenAgent(arguments)) return false;
  return PassAgentReply();
}

bool FtpRelaySocket::OnUSER(const ZString& arguments) {
  if (agent.IsOpen()) return ZFTPSocket::OnUSER(arguments);
  const ZIndex at = arguments.Find('@');
  if (at == ZNotFound) {
    WriteResponse(211, "Username must be of form \"user@site\" for proxy login.\n");
    return false;
  }
  // The site is everything after the first '@', further ones included.
  if (!OpenAgent(arguments.Mid(at + 1))) return false;
  return ZFTPSocket::OnUSER(arguments.Left(at));
}

bool FtpRelaySocket::AuthoriseUser(const ZString& user, const ZString& password, bool& replied) {
  if (!agent.IsOpen()) {
    WriteResponse(211, "Cannot authorise password - no remote host selected");
    return false;
  }
  replied = true;
  const int32_t code = agent.ExecuteCommand(USER, user);
  if (code < 0) return CloseAgent(kAgentClosed);
  if (code != 331) {
    PassAgentReply();
    return false;
  }
  if (agent.ExecuteCommand(PASS, password) < 0) return CloseAgent(kAgentClosed);
  return PassAgentReply() && agent.GetLastResponseCode() == 230;
}

bool FtpRelaySocket::OnQUIT(const ZString& arguments) {
  if (!agent.IsOpen()) return ZFTPSocket::OnQUIT(arguments);
  if (agent.WriteCommand(QUIT, arguments) && agent.ReadResponse()) {
    PassAgentReply();
  } else {
    WriteResponse(221, LogoutText());
  }
  agent.Close();
  return false;
}

bool FtpRelaySocket::OnPORT(const ZString& arguments) {
  ZIPAddress address;
  uint16_t requested = 0;
  if (!ParseHostPort(arguments, address, requested)) return OnSyntaxError(PORT);
  ZIPAddress client;
  if (!GetPeerAddress(client) || address != client || requested < kLowestDataPort) {
    WriteResponse(504, "Command not implemented for that parameter.");
    return true;
  }
  return ZFTPSocket::OnPORT(arguments);
}

// ---------------------------------------------------------------- transfers

bool FtpRelaySocket::OnRETR(const ZString& arguments) { return RelayTransfer(RETR, arguments, false); }
bool FtpRelaySocket::OnLIST(const ZString& arguments) { return RelayTransfer(LIST, arguments, false); }
bool FtpRelaySocket::OnNLST(const ZString& arguments) { return RelayTransfer(NLST, arguments, false); }
bool FtpRelaySocket::OnSTOR(const ZString& arguments) { return RelayTransfer(STOR, arguments, true); }
bool FtpRelaySocket::OnSTOU(const ZString& arguments) { return RelayTransfer(STOU, arguments, true); }
bool FtpRelaySocket::OnAPPE(const ZString& arguments) { return RelayTransfer(APPE, arguments, true); }

// ---------------------------------------------------------------- passed through

bool FtpRelaySocket::OnACCT(const ZString& arguments) { return RelayCommand(ACCT, arguments); }
bool FtpRelaySocket::OnCWD(const ZString& arguments) { return RelayCommand(CWD, arguments); }
bool FtpRelaySocket::OnCDUP(const ZString& arguments) { return RelayCommand(CDUP, arguments); }
bool FtpRelaySocket::OnSMNT(const ZString& arguments) { return RelayCommand(SMNT, arguments); }
bool FtpRelaySocket::OnREIN(const ZString& arguments) { return RelayCommand(REIN, arguments); }
bool FtpRelaySocket::OnTYPE(const ZString& arguments) { return RelayCommand(TYPE, arguments); }
bool FtpRelaySocket::OnSTRU(const ZString& arguments) { return RelayCommand(STRU, arguments); }
bool FtpRelaySocket::OnMODE(const ZString& arguments) { return RelayCommand(MODE, arguments); }
bool FtpRelaySocket::OnALLO(const ZString& arguments) { return RelayCommand(ALLO, arguments); }
bool FtpRelaySocket::OnREST(const ZString& arguments) { return RelayCommand(REST, arguments); }
bool FtpRelaySocket::OnRNFR(const ZString& arguments) { return RelayCommand(RNFR, arguments); }
bool FtpRelaySocket::OnRNTO(const ZString& arguments) { return RelayCommand(RNTO, arguments); }
bool FtpRelaySocket::OnABOR(const ZString& arguments) { return RelayCommand(ABOR, arguments); }
bool FtpRelaySocket::OnDELE(const ZString& arguments) { return RelayCommand(DELE, arguments); }
bool FtpRelaySocket::OnRMD(const ZString& arguments) { return RelayCommand(RMD, arguments); }
bool FtpRelaySocket::OnMKD(const ZString& arguments) { return RelayCommand(MKD, arguments); }
bool FtpRelaySocket::OnPWD(const ZString& arguments) { return RelayCommand(PWD, arguments); }
bool FtpRelaySocket::OnSITE(const ZString& arguments) { return RelayCommand(SITE, arguments); }
bool FtpRelaySocket::OnSYST(const ZString& arguments) { return RelayCommand(SYST, arguments); }
bool FtpRelaySocket::OnSTAT(const ZString& arguments) { return RelayCommand(STAT, arguments); }
bool FtpRelaySocket::OnHELP(const ZString& arguments) { return RelayCommand(HELP, arguments); }
bool FtpRelaySocket::OnNOOP(const ZString& arguments) { return RelayCommand(NOOP, arguments); }
