// ZHTTPSocket: reading one bounded request and answering it, and the small
// client side used by an HTTP proxy.
#include <string>

#include "zunder/http.h"

namespace {

const char* const kCommands[] = {"GET", "HEAD", "POST", "CONNECT"};
constexpr ZIndex kCommandCount = 4;
// HTTP/0.9 bodies are read in pieces of this size.
constexpr ZIndex kHTTP09Piece = 1000;
// What is dropped at most after a request's body.
constexpr int kDropReads = 16;

// A decimal number of 1 to 9 digits and nothing else.
bool ParseDecimal(const ZString& text, int64_t& value) {
  const ZIndex length = text.GetLength();
  if (length < 1 || length > 9) return false;
  value = 0;
  for (ZIndex i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

// "HTTP/major.minor" with decimal numbers; false when malformed.
bool SplitVersion(const ZString& version, int32_t& major, int32_t& minor) {
  if (version.Find('.') == ZNotFound || version.GetLength() < 8 || version.CompareAt(0, 5, "HTTP/") != EqualTo) {
    return false;
  }
  const ZIndex dot = version.Find('.');
  int64_t majorValue = 0;
  int64_t minorValue = 0;
  if (!ParseDecimal(version.SubString(5, dot - 1), majorValue) || !ParseDecimal(version.Mid(dot + 1), minorValue)) {
    return false;
  }
  major = static_cast<int32_t>(majorValue);
  minor = static_cast<int32_t>(minorValue);
  return true;
}

}  // namespace

ZHTTPSocket::ZHTTPSocket(uint16_t portNumber) : ZApplicationSocket(kCommandCount, kCommands, portNumber) {}

ZHTTPSocket::ZHTTPSocket(const char* host, uint16_t portNumber)
    : ZApplicationSocket(kCommandCount, kCommands, host, portNumber) {}

ZHTTPSocket::ZHTTPSocket(ZIPSocket& listener, const ZHTTPSpace& space)
    : ZApplicationSocket(kCommandCount, kCommands, listener), urlSpace(space) {}

ZString ZHTTPSocket::GetServerName() const { return "Zunder-HTTP-Server/1.0 Zunder/1.0"; }

// ---------------------------------------------------------------- one request

bool ZHTTPSocket::ProcessCommand() {
  SetMaximumLineLength(limits.maxLineLength);
  SetDeadline(limits.requestTime);
  majorVersion = 0;
  minorVersion = 9;

  ZIndex command = kUnknownCommand;
  ZString arguments;
  if (!ReadCommand(command, arguments)) {
    // No version was read: the refusal is a full HTTP/1.0 answer.
    majorVersion = 1;
    minorVersion = 0;
    if (IsLineTooLong()) return RefuseRequest("Request line too long.");
    if (IsPastDeadline()) return RefuseRequest("Request not complete in time.");
    return false;
  }
  if (command == kUnknownCommand) {
    ClearDeadline();
    return OnUnknown(arguments);
  }

  ZStringArray words;
  const ZStringArray tokens = arguments.Tokenise(" \t", false);
  for (ZIndex i = 0; i < tokens.GetSize(); ++i) {
    if (!tokens[i].IsEmpty()) words.Append(tokens[i]);
  }
  if (words.GetSize() == 0) {
    // The answer is a full one: a request without a URL names no version.
    majorVersion = 1;
    minorVersion = 0;
    return RefuseRequest("No URL in the request.");
  }
  if (command == CONNECT) return ProcessConnect(words);
  const ZURL url(words[0].Text());
  if (words.GetSize() >= 2) {
    const ZString& version = words[1];
    if (!SplitVersion(version, majorVersion, minorVersion)) {
      majorVersion = 1;
      minorVersion = 0;
      ClearDeadline();
      return OnError(ZHTTPBadRequest, "Malformed version number " + version);
    }
  }

  ZMIMEInfo mime;
  std::string body;
  bool answered = false;
  if (majorVersion >= 1) {
    if (!ReadRequestHeader(mime, answered) || !ReadBody(mime, body, answered)) return false;
  } else if (!ReadHTTP09Body(body, answered)) {
    return false;
  }
  ClearDeadline();

  if (!IsForThisServer(url)) return OnProxy(command, url, mime, body);
  switch (command) {
    case GET: return OnGET(url, mime);
    case HEAD: return OnHEAD(url, mime);
    default: {
      ZStringToString data(true);
      const ZString text(body.data(), static_cast<ZIndex>(body.size()));
      if (!ZURL::SplitQueryVars(text.Text(), data, limits.maxFormVariables)) {
        return RefuseRequest("Too many form variables.");
      }
      return OnPOST(url, mime, data);
    }
  }
}

bool ZHTTPSocket::ProcessConnect(const ZStringArray& words) {
  // A tunnel is asked for by HTTP/1.x only: without a version there would
  // be no header block to end the request.
  const bool versioned = words.GetSize() >= 2 && SplitVersion(words[1], majorVersion, minorVersion);
  if (!versioned || majorVersion < 1) {
    majorVersion = 1;
    minorVersion = 0;
    if (words.GetSize() >= 2 && !versioned) {
      ClearDeadline();
      return OnError(ZHTTPBadRequest, "Malformed version number " + words[1]);
    }
    return RefuseRequest("CONNECT needs an HTTP/1.x request.");
  }
  ZMIMEInfo mime;
  bool answered = false;
  // No body is read: what follows the header belongs to the tunnel.
  if (!ReadRequestHeader(mime, answered)) return false;
  ClearDeadline();
  return OnCONNECT(words[0], mime);
}

bool ZHTTPSocket::ReadRequestHeader(ZMIMEInfo& mime, bool& answered) {
  ZMIMELimits bounds;
  bounds.maxLineLength = limits.maxLineLength;
  bounds.maxBlockSize = limits.maxHeaderSize;
  bounds.maxFieldCount = limits.maxHeaderFields;
  if (mime.Read(*this, bounds)) return true;
  answered = true;
  switch (mime.GetReadError()) {
    case ZMIMEInfo::LineTooLong: return RefuseRequest("Header line too long.");
    case ZMIMEInfo::BlockTooLarge: return RefuseRequest("Header too large.");
    case ZMIMEInfo::TooManyFields: return RefuseRequest("Too many header fields.");
    default:
      if (IsPastDeadline()) return RefuseRequest("Request not complete in time.");
      return false;
  }
}

bool ZHTTPSocket::ReadBody(const ZMIMEInfo& mime, std::string& body, bool& answered) {
  answered = true;
  // An HTTP/1.0 server cannot read a body framed by a transfer coding, and
  // a length given beside one would frame it wrongly.
  if (mime.GetAt(ZString("Transfer-Encoding")) != nullptr) {
    ClearDeadline();
    return OnError(ZHTTPNotImplemented, "Transfer-Encoding is not supported.");
  }
  int64_t length = 0;
  const ZString* declared = mime.GetAt(ZString(ZHTTPHeader::ContentLength));
  if (declared != nullptr && !declared->IsEmpty()) {
    if (!ParseDecimal(*declared, length)) {
      // Ten or more digits are beyond any bound anyway.
      bool digits = true;
      for (ZIndex i = 0; i < declared->GetLength(); ++i)
        digits = digits && (*declared)[i] >= '0' && (*declared)[i] <= '9';
      if (!digits) return RefuseRequest("Malformed Content-Length.");
      return RefuseRequest("Entity-body too large.");
    }
  }
  if (length > limits.maxBodySize) return RefuseRequest("Entity-body too large.");
  if (length > 0) {
    body.resize(static_cast<size_t>(length));
    int64_t got = 0;
    while (got < length) {
      if (!Read(body.data() + got, static_cast<ZIndex>(length - got))) {
        if (IsPastDeadline()) return RefuseRequest("Request not complete in time.");
        ClearDeadline();
        return OnError(ZHTTPBadRequest, "incomplete entity-body received");
      }
      got += GetLastReadCount();
    }
  }
  DropWaitingInput();
  answered = false;
  return true;
}

bool ZHTTPSocket::ReadHTTP09Body(std::string& body, bool& answered) {
  // The body is everything until the client stops sending: the end of the
  // stream, or a pause as long as the wait between a line's characters.
  const ZTimeInterval saved = GetReadTimeout();
  SetReadTimeout(GetReadLineTimeout());
  char piece[kHTTP09Piece];
  bool bounded = true;
  while (Read(piece, kHTTP09Piece)) {
    body.append(piece, static_cast<size_t>(GetLastReadCount()));
    if (static_cast<int64_t>(body.size()) > limits.maxBodySize) {
      bounded = false;
      break;
    }
  }
  SetReadTimeout(saved);
  answered = true;
  if (!bounded) return RefuseRequest("Entity-body too large.");
  if (IsPastDeadline()) return RefuseRequest("Request not complete in time.");
  answered = false;
  return true;
}

void ZHTTPSocket::DropWaitingInput() {
  const ZTimeInterval saved = GetReadTimeout();
  SetReadTimeout(ZTimeInterval(0));
  char buffer[4096];
  for (int reads = 0; reads < kDropReads && Read(buffer, sizeof buffer); ++reads) {
  }
  SetReadTimeout(saved);
}

bool ZHTTPSocket::RefuseRequest(const char* reason) {
  ClearDeadline();
  return OnError(ZHTTPBadRequest, reason);
}

bool ZHTTPSocket::IsForThisServer(const ZURL& url) {
  const ZCaselessString scheme(url.GetScheme());
  if (!scheme.IsEmpty() && scheme != "http") return false;
  if (url.GetPort() != 0) {
    ZIPAddress local;
    uint16_t localPort = 0;
    if (!GetLocalAddress(local, localPort) || localPort != url.GetPort()) return false;
  }
  if (!url.GetHostname().IsEmpty()) {
    const ZCaselessString canonical(ZSocket::GetHostName(url.GetHostname().Text()));
    const ZString own = ZSocket::GetHostName();
    if (canonical != own && canonical != ZSocket::GetHostName(own.Text())) return false;
  }
  return true;
}

// ---------------------------------------------------------------- handlers

bool ZHTTPSocket::OnGET(const ZURL& url, const ZMIMEInfo& mime) {
  // The resource is held until the answer is written, even if it is
  // replaced in the space meanwhile.
  const ZHTTPSpace::ResourcePointer resource = urlSpace.FindResource(url);
  if (!resource) return OnError(ZHTTPNotFound, ZHTTPURLText(url));
  return resource->OnGET(*this, url, mime);
}

bool ZHTTPSocket::OnHEAD(const ZURL& url, const ZMIMEInfo& mime) {
  const ZHTTPSpace::ResourcePointer resource = urlSpace.FindResource(url);
  if (!resource) return OnError(ZHTTPNotFound, ZHTTPURLText(url));
  return resource->OnHEAD(*this, url, mime);
}

bool ZHTTPSocket::OnPOST(const ZURL& url, const ZMIMEInfo& mime, const ZStringToString& data) {
  const ZHTTPSpace::ResourcePointer resource = urlSpace.FindResource(url);
  if (!resource) return OnError(ZHTTPNotFound, ZHTTPURLText(url));
  return resource->OnPOST(*this, url, mime, data);
}

bool ZHTTPSocket::OnProxy(ZIndex, const ZURL&, const ZMIMEInfo&, const std::string&) {
  return OnError(ZHTTPBadGateway, "Proxy not implemented.");
}

bool ZHTTPSocket::OnCONNECT(const ZString&, const ZMIMEInfo&) {
  return OnError(ZHTTPNotImplemented, "CONNECT is not supported.");
}

bool ZHTTPSocket::OnUnknown(const ZString& commandText) {
  majorVersion = 1;
  minorVersion = 0;
  return OnError(ZHTTPBadRequest, commandText);
}

bool ZHTTPSocket::OnError(int code, const ZString& extra) {
  const ZHTTPStatusEntry& status = ZHTTPGetStatus(code);
  if (!status.hasBody) {
    ZMIMEInfo mime;
    SetDefaultMIMEInfo(mime);
    StartResponse(code, mime, 0);
    return false;
  }
  return SendStatusPage(status.number, status.text, extra);
}

bool ZHTTPSocket::SendStatusPage(int number, const char* text, const ZString& extra) {
  ZMIMEInfo mime;
  SetDefaultMIMEInfo(mime);
  const ZString title = FormatText("%d %s", number, text);
  // The extra text often echoes the client (its URL): never markup.
  ZHTML page(title.Text());
  page << ZHTML::Escape(extra.Text()) << ZHTMLBody();
  const ZString pageText(page.Text());
  mime.SetAt(ZHTTPHeader::ContentType, "text/html");
  if (StartResponseWith(number, text, mime, static_cast<uint64_t>(pageText.GetLength()))) WriteString(pageText);
  return false;
}

// ---------------------------------------------------------------- responses

bool ZHTTPSocket::StartResponse(int code, ZMIMEInfo& mime, uint64_t contentLength) {
  const ZHTTPStatusEntry& status = ZHTTPGetStatus(code);
  return StartResponseWith(status.number, status.text, mime, contentLength);
}

bool ZHTTPSocket::StartResponseWith(int number, const char* text, ZMIMEInfo& mime, uint64_t contentLength) {
  // An HTTP/0.9 answer is the body alone.
  if (majorVersion < 1) return true;
  std::string head = FormatText("HTTP/%d.%d %d %s\r\n", majorVersion, minorVersion, number, text).Text();
  if (contentLength != 0 || mime.GetAt(ZString(ZHTTPHeader::ContentLength)) == nullptr) {
    mime.SetAt(ZHTTPHeader::ContentLength, std::to_string(contentLength).c_str());
  }
  OnResponseHeader(mime);
  const ZString header = mime.AsString();
  head.append(header.Text(), static_cast<size_t>(header.GetLength()));
  return Write(head.data(), static_cast<ZIndex>(head.size()));
}

void ZHTTPSocket::OnResponseHeader(ZMIMEInfo&) {}

void ZHTTPSocket::SetDefaultMIMEInfo(ZMIMEInfo& mime) const {
  mime.SetTime(ZHTTPHeader::Date, ZTime::Now());
  mime.SetAt(ZHTTPHeader::MIMEVersion, "1.0");
  mime.SetAt(ZHTTPHeader::Server, GetServerName());
}

void ZHTTPSocket::EndConnection(const ZTimeInterval& linger) {
  if (!IsOpen()) return;
  // Closing with unread input would reset the connection and could destroy
  // the answer before the client read it: end our side first and let the
  // client finish sending.
  ShutdownWrite();
  SetDeadline(linger);
  char buffer[4096];
  constexpr int kMaxReads = 256;  // at most 1 MiB is dropped
  for (int reads = 0; reads < kMaxReads && Read(buffer, sizeof buffer); ++reads) {
  }
  ClearDeadline();
  Close();
}

// ---------------------------------------------------------------- client side

bool ZHTTPSocket::ExecuteCommand(ZIndex command, const ZURL& url, const ZMIMEInfo& requestMIME, const std::string& body,
                                 ZMIMEInfo& replyMIME) {
  if (command < 0 || command >= GetCommandCount() || command == CONNECT) return false;
  // Only a proxy takes the absolute form: an origin server may not.
  if (!WriteLine(GetCommandName(command) + " " + ZHTTPOriginForm(url) + " HTTP/1.0")) return false;
  if (!requestMIME.Write(*this)) return false;
  if (!body.empty() && !Write(body.data(), static_cast<ZIndex>(body.size()))) return false;

  SetMaximumLineLength(limits.maxLineLength);
  ZString line;
  if (!ReadLine(line, false)) return false;
  const ZIndex blank = line.Find(' ');
  int32_t major = 0;
  int32_t minor = 0;
  if (blank == ZNotFound || !SplitVersion(line.Left(blank), major, minor) || major < 1) {
    // No status line: an HTTP/0.9 answer, all of it body.
    UnReadFirst(line + "\n");
    majorVersion = 0;
    minorVersion = 9;
    responseStatus = 200;
    responseMessage = ZString();
    return true;
  }
  majorVersion = major;
  minorVersion = minor;
  const ZString rest = line.Mid(blank + 1).LeftTrim();
  const ZIndex afterCode = rest.Find(' ');
  responseStatus = (afterCode == ZNotFound ? rest : rest.Left(afterCode)).AsInteger(10);
  responseMessage = afterCode == ZNotFound ? ZString() : rest.Mid(afterCode + 1);

  ZMIMELimits bounds;
  bounds.maxLineLength = limits.maxLineLength;
  bounds.maxBlockSize = limits.maxHeaderSize;
  bounds.maxFieldCount = limits.maxHeaderFields;
  return replyMIME.Read(*this, bounds);
}
