// ZFTPSocket: the control connection of FTP on the line-protocol socket.
// Server side: the table of FTP commands, the login state machine, the
// dispatch of each command to an overridable handler with the standard
// replies, and active (PORT) and passive (PASV) data-port negotiation.
// Client side: Connect (greeting 220) and SendPort.
//
// A socket of this class is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "zunder/appsocket.h"

class ZFTPSocket : public ZApplicationSocket {
  Z_CLASS(ZFTPSocket, ZApplicationSocket)
 public:
  enum State { NotConnected = 0, NeedUser = 1, NeedPassword = 2, LoggedIn = 3 };

  // Command numbers: the index of each name in the command table.
  enum Command {
    USER,
    PASS,
    ACCT,
    CWD,
    CDUP,
    SMNT,
    QUIT,
    REIN,
    PORT,
    PASV,
    TYPE,
    STRU,
    MODE,
    RETR,
    STOR,
    STOU,
    APPE,
    ALLO,
    REST,
    RNFR,
    RNTO,
    ABOR,
    DELE,
    RMD,
    MKD,
    PWD,
    LIST,
    NLST,
    SITE,
    SYST,
    STAT,
    HELP,
    NOOP,
    CommandCount
  };

  // The refused password that ends the connection.
  static constexpr int32_t kPasswordAttempts = 4;

  // Client side: unconnected, for Connect.
  explicit ZFTPSocket(uint16_t portNumber);
  // Server side: accepts one connection from listener and greets it with
  // 220 and readyText (check IsOpen).
  ZFTPSocket(ZIPSocket& listener, const char* readyText);
  ~ZFTPSocket() override;

  // Connects to host at the socket's port and reads the greeting; true only
  // for 220. The data host becomes the server, the data port its port - 1.
  // The socket is closed on any failure.
  bool Connect(const char* host) override;

  // Reads and answers one command; false ends the connection.
  bool ProcessCommand();
  // Sends "PORT a,b,c,d,p1,p2" and reads the response (see
  // GetLastResponseCode); false when the command could not be written.
  bool SendPort(const ZIPAddress& address, uint16_t portNumber);

  // Type 'A', structure 'F', mode 'S', no refused passwords, state
  // NotConnected, no passive socket.
  void Reset();

  // The data host and port of a PORT argument "h1,h2,h3,h4,p1,p2": six
  // decimal fields of 0 to 255 (more fields are ignored).
  static bool ParseHostPort(const ZString& argument, ZIPAddress& address, uint16_t& port);

  State GetState() const { return state; }
  const ZIPAddress& GetDataHost() const { return dataHost; }
  uint16_t GetDataPort() const { return dataPort; }
  // The listening socket a PASV opened, or null.
  ZTCPSocket* GetPassiveSocket() const { return passiveSocket.get(); }
  // Hands the passive socket over to the caller (none is left).
  std::unique_ptr<ZTCPSocket> TakePassiveSocket() { return std::move(passiveSocket); }
  char GetType() const { return type; }
  char GetStructure() const { return structure; }
  char GetMode() const { return mode; }
  const ZString& GetUserName() const { return userName; }
  int32_t GetFailedPasswords() const { return failedPasswords; }

  // ---- texts
  virtual ZString LoginText(const ZString& user);
  virtual ZString LogoutText();
  virtual ZString SystemTypeText();

  // ---- dispatch
  // Calls the handler of a command number; answers its verdict.
  virtual bool DispatchCommand(ZIndex number, const ZString& arguments);
  // Whether the command needs state LoggedIn.
  virtual bool CheckLoginRequired(ZIndex number);
  // Accepts or refuses a login; sets replied when it wrote the reply.
  virtual bool AuthoriseUser(const ZString& user, const ZString& password, bool& replied);

  // ---- standard replies (each answers true: the connection stays)
  virtual bool OnUnknown(const ZString& line);
  virtual bool OnSyntaxError(ZIndex number);
  virtual bool OnNotImplemented(ZIndex number);
  virtual bool OnCommandSuccessful(ZIndex number);

  // ---- command handlers: true keeps the connection
  virtual bool OnUSER(const ZString& arguments);
  virtual bool OnPASS(const ZString& arguments);
  virtual bool OnQUIT(const ZString& arguments);
  virtual bool OnPORT(const ZString& arguments);
  virtual bool OnSTRU(const ZString& arguments);
  virtual bool OnMODE(const ZString& arguments);
  virtual bool OnTYPE(const ZString& arguments);
  virtual bool OnNOOP(const ZString& arguments);
  virtual bool OnSYST(const ZString& arguments);
  virtual bool OnSTAT(const ZString& arguments);
  virtual bool OnRETR(const ZString& arguments);
  virtual bool OnSTOR(const ZString& arguments);
  virtual bool OnACCT(const ZString& arguments);
  virtual bool OnAPPE(const ZString& arguments);
  virtual bool OnRNFR(const ZString& arguments);
  virtual bool OnRNTO(const ZString& arguments);
  virtual bool OnDELE(const ZString& arguments);
  virtual bool OnCWD(const ZString& arguments);
  virtual bool OnCDUP(const ZString& arguments);
  virtual bool OnRMD(const ZString& arguments);
  virtual bool OnMKD(const ZString& arguments);
  virtual bool OnPWD(const ZString& arguments);
  virtual bool OnLIST(const ZString& arguments);
  virtual bool OnNLST(const ZString& arguments);
  virtual bool OnPASV(const ZString& arguments);
  virtual bool OnHELP(const ZString& arguments);
  virtual bool OnSITE(const ZString& arguments);
  virtual bool OnABOR(const ZString& arguments);
  virtual bool OnSMNT(const ZString& arguments);
  virtual bool OnREIN(const ZString& arguments);
  virtual bool OnSTOU(const ZString& arguments);
  virtual bool OnALLO(const ZString& arguments);
  virtual bool OnREST(const ZString& arguments);

 protected:
  void SetState(State newState) { state = newState; }

 private:
  // The reply of TYPE, MODE and STRU: accepted letters are recorded.
  bool OnLetterParameter(ZIndex number, const ZString& arguments, const char* accepted, const char* notImplemented,
                         char& field);

  State state = NotConnected;
  ZIPAddress dataHost{0u};
  uint16_t dataPort = 0;
  std::unique_ptr<ZTCPSocket> passiveSocket;
  char type = 'A';
  char structure = 'F';
  char mode = 'S';
  ZString userName;
  int32_t failedPasswords = 0;
};
