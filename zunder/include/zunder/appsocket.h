// ZApplicationSocket: a TCP socket that speaks a line-oriented Internet
// protocol (FTP, HTTP). It reads text lines with editing characters and
// continuation lines, reads command words against the protocol's table of
// command names, writes numbered responses in single- and multi-line form
// and reads such responses back. Lines on the wire end with CR LF.
//
// Input is bounded: a line longer than the maximum line length (8 KiB
// unless changed) ends the read with the error BadParameter and
// IsLineTooLong() true; the owner then ends the connection. A multi-line
// response is bounded in the same way by kMaximumResponseLength.
//
// The socket's deadline (ZSocket::SetDeadline) bounds a whole exchange (a
// request with its header and body) here too: the line reads honour it, so
// a peer that trickles bytes cannot hold the connection for ever.
//
// A socket of this class is used by one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "zunder/linereader.h"
#include "zunder/sockets.h"
#include "zunder/strings.h"
#include "zunder/time.h"

// Lines are read by the one line reader of the library (ZLineReader), fed
// from this socket's un-read buffer and the socket.
class ZApplicationSocket : public ZTCPSocket, public ZLineReader {
  Z_CLASS(ZApplicationSocket, ZTCPSocket)
 public:
  static constexpr ZIndex kDefaultMaximumLineLength = 8192;
  static constexpr ZIndex kMaximumResponseLength = 1024 * 1024;
  // The command number of a word that is not in the table.
  static constexpr ZIndex kUnknownCommand = 0x7fffffff;

  // Each form takes the number of command names and the table first.
  // An unconnected socket with that port.
  ZApplicationSocket(ZIndex commandCount, const char* const commandNames[], uint16_t portNumber);
  // An unconnected socket with the port of the service.
  ZApplicationSocket(ZIndex commandCount, const char* const commandNames[], const char* service);
  // Connected to host (check IsOpen).
  ZApplicationSocket(ZIndex commandCount, const char* const commandNames[], const char* host, uint16_t portNumber);
  ZApplicationSocket(ZIndex commandCount, const char* const commandNames[], const char* host, const char* service);
  // Accepts one connection from the listening socket (check IsOpen).
  ZApplicationSocket(ZIndex commandCount, const char* const commandNames[], ZIPSocket& listener);

  // Serves the un-read bytes first. When they do not cover the request the
  // buffered bytes alone are answered, without waiting on the socket; an
  // empty buffer reads from the socket as usual.
  bool Read(void* buffer, ZIndex length) override;
  bool Write(const void* buffer, ZIndex length) override;

  // Appends to the un-read buffer, which is served before the socket's data.
  void UnRead(char c);
  void UnRead(const ZString& text);
  // Puts text in front of the un-read bytes: it is read next.
  void UnReadFirst(const ZString& text);
  // True when bytes wait in the un-read buffer (a wait on the socket does
  // not see them).
  bool HasBufferedInput() const { return unreadStart < unread.size(); }
  // The un-read bytes, which leave the buffer: for a socket whose line
  // protocol ends here and whose stream goes on raw (a tunnel).
  std::string TakeBufferedInput();

  // Reads one line into line (without its end) with ReadLimitedLine and the
  // maximum line length. The first character waits up to the read
  // time-out, each further one up to the read-line time-out. Backspace and
  // DEL remove the last character; CR, LF and CR LF end the line. With
  // allowContinuation a line followed by a blank or a tab goes on with it.
  // True when a line end was seen.
  bool ReadLine(ZString& line, bool allowContinuation);
  // Writes text followed by CR LF; a text with line ends in it is written
  // as one line per part.
  bool WriteLine(const ZString& text);

  // Reads a command line: number is the index of its first word among the
  // command names (letter case ignored), or kUnknownCommand; arguments is
  // the text after the first blank, or the whole line for an unknown word.
  // False only when no line could be read.
  bool ReadCommand(ZIndex& number, ZString& arguments);
  // The command's name, a blank and the parameter (the name alone when the
  // parameter is empty). False for a number outside the table.
  bool WriteCommand(ZIndex number, const ZString& parameter);
  // WriteCommand then ReadResponse: the response's code, -1 on failure.
  int32_t ExecuteCommand(ZIndex number, const ZString& parameter);

  // The code as three digits, then the info; an info of several lines (any
  // line ends) becomes a multi-line response: "code-line" for each but the
  // last, "code line" for the last.
  bool WriteResponse(int32_t code, const ZString& info);
  bool WriteResponse(const ZString& code, const ZString& info);

  // Reads a complete response, single- or multi-line. The info of a
  // multi-line response holds its lines separated by LF. False when a line
  // could not be read.
  bool ReadResponse();
  bool ReadResponse(int32_t& code, ZString& info);
  // Takes the code and info of a response's first line into the last
  // response fields: 0 when the line ends the response, otherwise the
  // position of its continuation character ('-').
  virtual ZIndex ParseResponse(const ZString& line);

  int32_t GetLastResponseCode() const { return lastResponseCode; }
  const ZString& GetLastResponseInfo() const { return lastResponseInfo; }

  ZIndex GetCommandCount() const { return commandNames.GetSize(); }
  // The name of a command number; empty outside the table.
  ZString GetCommandName(ZIndex number) const;
  // Adds a command word at the end of the table; answers its number.
  ZIndex AppendCommandName(const char* name);

  void SetReadLineTimeout(const ZTimeInterval& timeout) { readLineTimeout = timeout; }
  const ZTimeInterval& GetReadLineTimeout() const { return readLineTimeout; }
  // Once the first byte of a line is in, the whole line must come within
  // this (one minute unless set; ZInfinite lifts it): each byte within the
  // line time-out alone would let a peer that trickles hold the socket for
  // hours. A line not complete in time fails with Timeout.
  void SetLineTimeLimit(const ZTimeInterval& limit) { lineTimeLimit = limit; }
  const ZTimeInterval& GetLineTimeLimit() const { return lineTimeLimit; }
  void SetMaximumLineLength(ZIndex length) { maximumLineLength = length; }
  ZIndex GetMaximumLineLength() const { return maximumLineLength; }
  // Whether the last ReadLine stopped at the maximum line length.
  bool IsLineTooLong() const { return lineTooLong; }
  // Command lines of a Telnet-based control connection (FTP) may carry
  // Telnet commands, such as the Interrupt Process and Synch a client sends
  // before ABOR: when set, ReadCommand drops them from the line.
  void SetTelnetCommandsDropped(bool dropped) { telnetCommandsDropped = dropped; }
  // The line without its Telnet commands (IAC and the command byte, with an
  // option byte for WILL, WONT, DO and DONT, or a whole subnegotiation); a
  // doubled IAC stands for the byte 255.
  static ZString DropTelnetCommands(const ZString& line);

 protected:
  // ZLineReader: bytes from the un-read buffer, then the socket.
  int ReadLineChar(bool first) override;
  void UnReadLineChar(char c) override;

 private:
  void SetUp(ZIndex commandCount, const char* const commandNames[]);
  // The next byte within timeout, or -1 when the read failed.
  int NextByte(const ZTimeInterval& timeout);
  // Gives a byte back to the front of the buffer.
  void PutBack(char c);
  // A read from the socket that waits up to timeout (and the deadline).
  bool ReadWithin(void* buffer, ZIndex length, ZTimeInterval timeout);

  ZStringArray commandNames;  // of ZCaselessString
  std::string unread;         // un-read bytes; the front ones are at unreadStart
  size_t unreadStart = 0;
  ZTimeInterval readLineTimeout{0, 10};
  ZTimeInterval lineTimeLimit{0, 0, 1};
  std::chrono::steady_clock::time_point lineBegun;  // when the line's first byte came
  int32_t lastResponseCode = -1;
  ZString lastResponseInfo;
  ZIndex maximumLineLength = kDefaultMaximumLineLength;
  bool lineTooLong = false;
  bool telnetCommandsDropped = false;
};
