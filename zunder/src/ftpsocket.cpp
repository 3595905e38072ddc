// The FTP control connection: command table, login, default handlers and
// replies, PORT and PASV, and the client side's greeting and PORT.
#include "zunder/ftpsocket.h"

#include <cctype>

#include "zunder/process.h"

namespace {

const char* const kCommandNames[ZFTPSocket::CommandCount] = {
    "USER", "PASS", "ACCT", "CWD",  "CDUP", "SMNT", "QUIT", "REIN", "PORT", "PASV", "TYPE",
    "STRU", "MODE", "RETR", "STOR", "STOU", "APPE", "ALLO", "REST", "RNFR", "RNTO", "ABOR",
    "DELE", "RMD",  "MKD",  "PWD",  "LIST", "NLST", "SITE", "SYST", "STAT", "HELP", "NOOP",
};

using Handler = bool (ZFTPSocket::*)(const ZString&);

// Indexed by command number.
const Handler kHandlers[ZFTPSocket::CommandCount] = {
    &ZFTPSocket::OnUSER, &ZFTPSocket::OnPASS, &ZFTPSocket::OnACCT, &ZFTPSocket::OnCWD,  &ZFTPSocket::OnCDUP,
    &ZFTPSocket::OnSMNT, &ZFTPSocket::OnQUIT, &ZFTPSocket::OnREIN, &ZFTPSocket::OnPORT, &ZFTPSocket::OnPASV,
    &ZFTPSocket::OnTYPE, &ZFTPSocket::OnSTRU, &ZFTPSocket::OnMODE, &ZFTPSocket::OnRETR, &ZFTPSocket::OnSTOR,
    &ZFTPSocket::OnSTOU, &ZFTPSocket::OnAPPE, &ZFTPSocket::OnALLO, &ZFTPSocket::OnREST, &ZFTPSocket::OnRNFR,
    &ZFTPSocket::OnRNTO, &ZFTPSocket::OnABOR, &ZFTPSocket::OnDELE, &ZFTPSocket::OnRMD,  &ZFTPSocket::OnMKD,
    &ZFTPSocket::OnPWD,  &ZFTPSocket::OnLIST, &ZFTPSocket::OnNLST, &ZFTPSocket::OnSITE, &ZFTPSocket::OnSYST,
    &ZFTPSocket::OnSTAT, &ZFTPSocket::OnHELP, &ZFTPSocket::OnNOOP,
};

bool UsableBeforeLogin(ZIndex number) {
  switch (number) {
    case ZFTPSocket::USER:
    case ZFTPSocket::PASS:
    case ZFTPSocket::QUIT:
    case ZFTPSocket::PORT:
    case ZFTPSocket::TYPE:
    case ZFTPSocket::STRU:
    case ZFTPSocket::MODE:
    case ZFTPSocket::ABOR:
    case ZFTPSocket::SITE:
    case ZFTPSocket::SYST:
    case ZFTPSocket::STAT:
    case ZFTPSocket::HELP:
    case ZFTPSocket::NOOP: return true;
    default: return false;
  }
}

}  // namespace

ZFTPSocket::ZFTPSocket(uint16_t portNumber) : ZApplicationSocket(CommandCount, kCommandNames, portNumber) {
  SetTelnetCommandsDropped(true);
}

ZFTPSocket::ZFTPSocket(ZIPSocket& listener, const char* readyText)
    : ZApplicationSocket(CommandCount, kCommandNames, listener) {
  SetTelnetCommandsDropped(true);
  if (!IsOpen()) return;
  // A client sends ABOR with urgent data (the Telnet Synch): its bytes must
  // stay in the command stream, or the line would lose a byte and never end.
  SetUrgentInline(true);
  Reset();
  state = NeedUser;
  WriteResponse(220, readyText);
  // Without a PORT, data goes back to where the control connection came from.
  GetPeerAddress(dataHost, dataPort);
}

ZFTPSocket::~ZFTPSocket() = default;

void ZFTPSocket::Reset() {
  type = 'A';
  structure = 'F';
  mode = 'S';
  failedPasswords = 0;
  state = NotConnected;
  passiveSocket.reset();
}

// ---------------------------------------------------------------- client side

bool ZFTPSocket::Connect(const char* host) {
  if (!ZTCPSocket::Connect(host) || !ReadResponse() || GetLastResponseCode() != 220) {
    Close();
    return false;
  }
  uint16_t serverPort = 0;
  GetPeerAddress(dataHost, serverPort);
  dataPort = static_cast<uint16_t>(GetPort() - 1);
  return true;
}

bool ZFTPSocket::SendPort(const ZIPAddress& address, uint16_t portNumber) {
  const ZString parameter = FormatText("%i,%i,%i,%i,%i,%i", address.GetByte(0), address.GetByte(1), address.GetByte(2),
                                       address.GetByte(3), portNumber >> 8, portNumber & 0xff);
  if (!WriteCommand(PORT, parameter)) return false;
  ReadResponse();
  return true;
}

// ---------------------------------------------------------------- server side

bool ZFTPSocket::ProcessCommand() {
  ZIndex number = kUnknownCommand;
  ZString arguments;
  if (!ReadCommand(number, arguments)) {
    if (IsLineTooLong()) WriteResponse(500, "Command line too long.");
    return false;
  }
  if (number == kUnknownCommand) return OnUnknown(arguments);
  if (state != LoggedIn && CheckLoginRequired(number)) {
    WriteResponse(530, "Please login with USER and PASS.");
    return true;
  }
  return DispatchCommand(number, arguments);
}

bool ZFTPSocket::DispatchCommand(ZIndex number, const ZString& arguments) {
  if (number < 0 || number >= CommandCount) {
    Z_ASSERT_MESSAGE("Registered FTP command not handled");
    return true;
  }
  return (this->*kHandlers[number])(arguments);
}

bool ZFTPSocket::CheckLoginRequired(ZIndex number) { return !UsableBeforeLogin(number); }

bool ZFTPSocket::AuthoriseUser(const ZString& /*user*/, const ZString& /*password*/, bool& /*replied*/) { return true; }

ZString ZFTPSocket::LoginText(const ZString& user) { return ZString("User") & user & "logged in."; }

ZString ZFTPSocket::LogoutText() { return ZString("Goodbye"); }

ZString ZFTPSocket::SystemTypeText() {
  const ZProcess* process = ZProcess::Current();
  if (process == nullptr) return ZString("Unix");
  return process->GetOSClass() & process->GetOSName() & process->GetOSVersion();
}

// ---------------------------------------------------------------- replies

bool ZFTPSocket::OnUnknown(const ZString& line) {
  WriteResponse(500, ZString("\"") + line + "\" command unrecognised.");
  return true;
}

bool ZFTPSocket::OnSyntaxError(ZIndex number) {
  WriteResponse(501, ZString("\"") + GetCommandName(number) + "\" : syntax error in parameters or arguments.");
  return true;
}

bool ZFTPSocket::OnNotImplemented(ZIndex number) {
  WriteResponse(502, ZString("Command \"") + GetCommandName(number) + "\" not implemented");
  return true;
}

bool ZFTPSocket::OnCommandSuccessful(ZIndex number) {
  WriteResponse(200, ZString("\"") + GetCommandName(number) + "\" command successful.");
  return true;
}

// ---------------------------------------------------------------- login

bool ZFTPSocket::OnUSER(const ZString& arguments) {
  userName = arguments;
  state = NeedPassword;
  WriteResponse(331, ZString("Password required for ") + userName + ".");
  return true;
}

bool ZFTPSocket::OnPASS(const ZString& arguments) {
  if (state != NeedPassword) {
    WriteResponse(503, "Login with USER first.");
    return true;
  }
  bool replied = false;
  if (AuthoriseUser(userName, arguments, replied)) {
    if (!replied) WriteResponse(230, LoginText(userName));
    failedPasswords = 0;
    state = LoggedIn;
    return true;
  }
  if (!replied) WriteResponse(530, "Login incorrect.");
  return ++failedPasswords < kPasswordAttempts;
}

bool ZFTPSocket::OnQUIT(const ZString& /*arguments*/) {
  WriteResponse(221, LogoutText());
  return false;
}

// ---------------------------------------------------------------- data port

bool ZFTPSocket::ParseHostPort(const ZString& argument, ZIPAddress& address, uint16_t& port) {
  const char* p = argument.Text();
  int values[6] = {};
  for (int field = 0; field < 6; ++field) {
    if (field > 0 && *p++ != ',') return false;
    int digits = 0;
    int value = 0;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + (*p++ - '0');
      if (++digits > 3) return false;
    }
    if (digits == 0 || value > 255) return false;
    values[field] = value;
  }
  // Anything after the sixth field is no concern of ours.
  if (*p != '\0' && *p != ',') return false;
  address = ZIPAddress(static_cast<uint8_t>(values[0]), static_cast<uint8_t>(values[1]),
                       static_cast<uint8_t>(values[2]), static_cast<uint8_t>(values[3]));
  port = static_cast<uint16_t>(values[4] * 256 + values[5]);
  return true;
}

bool ZFTPSocket::OnPORT(const ZString& arguments) {
  ZIPAddress address;
  uint16_t requested = 0;
  if (!ParseHostPort(arguments, address, requested)) return OnSyntaxError(PORT);
  dataHost = address;
  dataPort = requested;
  // An active data port replaces an earlier passive one.
  passiveSocket.reset();
  return OnCommandSuccessful(PORT);
}

bool ZFTPSocket::OnPASV(const ZString& /*arguments*/) {
  passiveSocket.reset();
  auto listener = std::make_unique<ZTCPSocket>();
  if (!listener->Listen(5, 0, true)) {
    WriteResponse(425, "Cannot open passive connection.");
    return true;
  }
  // The address the client reached this connection at is one it can reach
  // the passive port at; the host name may stand for another interface.
  ZIPAddress address(0u);
  uint16_t ignored = 0;
  if (!GetLocalAddress(address, ignored) || address.IsNone()) GetHostAddress(address);
  const uint16_t passivePort = listener->GetPort();
  passiveSocket = std::move(listener);
  WriteResponse(227, FormatText("Entering Passive Mode (%i,%i,%i,%i,%i,%i)", address.GetByte(0), address.GetByte(1),
                                address.GetByte(2), address.GetByte(3), passivePort >> 8, passivePort & 0xff));
  return true;
}

// ---------------------------------------------------------------- parameters

bool ZFTPSocket::OnLetterParameter(ZIndex number, const ZString& arguments, const char* accepted,
                                   const char* notImplemented, char& field) {
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(arguments[0])));
  if (letter != '\0' && ZString(accepted).Find(letter) != ZNotFound) {
    field = letter;
    return OnCommandSuccessful(number);
  }
  if (letter != '\0' && ZString(notImplemented).Find(letter) != ZNotFound) {
    WriteResponse(504, GetCommandName(number) + " not implemented for parameter " + arguments);
    return true;
  }
  return OnSyntaxError(number);
}

bool ZFTPSocket::OnTYPE(const ZString& arguments) { return OnLetterParameter(TYPE, arguments, "AI", "EL", type); }

bool ZFTPSocket::OnMODE(const ZString& arguments) { return OnLetterParameter(MODE, arguments, "S", "BC", mode); }

bool ZFTPSocket::OnSTRU(const ZString& arguments) { return OnLetterParameter(STRU, arguments, "F", "PR", structure); }

bool ZFTPSocket::OnNOOP(const ZString& /*arguments*/) { return OnCommandSuccessful(NOOP); }

bool ZFTPSocket::OnACCT(const ZString& /*arguments*/) {
  WriteResponse(532, "Need account for storing files");
  return true;
}

bool ZFTPSocket::OnSYST(const ZString& /*arguments*/) {
  WriteResponse(215, SystemTypeText());
  return true;
}

// ---------------------------------------------------------------- not implemented here

bool ZFTPSocket::OnSTAT(const ZString&) { return OnNotImplemented(STAT); }
bool ZFTPSocket::OnRETR(const ZString&) { return OnNotImplemented(RETR); }
bool ZFTPSocket::OnSTOR(const ZString&) { return OnNotImplemented(STOR); }
bool ZFTPSocket::OnAPPE(const ZString&) { return OnNotImplemented(APPE); }
bool ZFTPSocket::OnRNFR(const ZString&) { return OnNotImplemented(RNFR); }
bool ZFTPSocket::OnRNTO(const ZString&) { return OnNotImplemented(RNTO); }
bool ZFTPSocket::OnDELE(const ZString&) { return OnNotImplemented(DELE); }
bool ZFTPSocket::OnCWD(const ZString&) { return OnNotImplemented(CWD); }
bool ZFTPSocket::OnCDUP(const ZString&) { return OnNotImplemented(CDUP); }
bool ZFTPSocket::OnRMD(const ZString&) { return OnNotImplemented(RMD); }
bool ZFTPSocket::OnMKD(const ZString&) { return OnNotImplemented(MKD); }
bool ZFTPSocket::OnPWD(const ZString&) { return OnNotImplemented(PWD); }
bool ZFTPSocket::OnLIST(const ZString&) { return OnNotImplemented(LIST); }
bool ZFTPSocket::OnNLST(const ZString&) { return OnNotImplemented(NLST); }
bool ZFTPSocket::OnHELP(const ZString&) { return OnNotImplemented(HELP); }
bool ZFTPSocket::OnSITE(const ZString&) { return OnNotImplemented(SITE); }
bool ZFTPSocket::OnABOR(const ZString&) { return OnNotImplemented(ABOR); }
bool ZFTPSocket::OnSMNT(const ZString&) { return OnNotImplemented(SMNT); }
bool ZFTPSocket::OnREIN(const ZString&) { return OnNotImplemented(REIN); }
bool ZFTPSocket::OnSTOU(const ZString&) { return OnNotImplemented(STOU); }
bool ZFTPSocket::OnALLO(const ZString&) { return OnNotImplemented(ALLO); }
bool ZFTPSocket::OnREST(const ZString&) { return OnNotImplemented(REST); }
