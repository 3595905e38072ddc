// The HTTP/1.0 server of the library: ZHTTPSocket reads one request (request
// line, MIME header, entity body), decides whether it is for this server or
// for somewhere else (OnProxy; a CONNECT goes to OnCONNECT), and dispatches
// it to a tree of named
// resources (ZHTTPSpace). The resources answer: ZHTTPString (a text held in
// memory), ZHTTPFile (one file), ZHTTPDirectory (a directory tree with
// listings), and the forms of httpform.h. A resource may be protected by a
// ZHTTPAuthority (Basic authentication). The socket also has a small client
// side (ExecuteCommand) for an HTTP proxy.
//
// Requests are bounded (see ZHTTPLimits): an oversized request line, header
// or body, or a request that is not complete within the time limit, gets
// the 400 page and ends the connection.
//
// Threads: one socket serves one connection in one thread. A ZHTTPSpace is
// shared by every connection thread: look-up and replacement of resources
// take the space's lock, and a connection holds the resource it answers
// from (shared ownership), so a resource replaced meanwhile lives on until
// that answer is written.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zunder/appsocket.h"
#include "zunder/files.h"
#include "zunder/html.h"
#include "zunder/mime.h"
#include "zunder/url.h"

class ZHTTPSocket;
class ZHTTPResource;

// ---------------------------------------------------------------- status codes

// Status codes: each value is the index of its row in the status table.
enum ZHTTPStatus : int {
  ZHTTPInformation = 0,
  ZHTTPOK = 1,
  ZHTTPCreated = 2,
  ZHTTPAccepted = 3,
  ZHTTPNoContent = 4,
  ZHTTPMovedPermanently = 5,
  ZHTTPMovedTemporarily = 6,
  ZHTTPNotModified = 7,
  ZHTTPBadRequest = 8,
  ZHTTPUnauthorised = 9,
  ZHTTPForbidden = 10,
  ZHTTPNotFound = 11,
  ZHTTPInternalServerError = 12,
  ZHTTPNotImplemented = 13,
  ZHTTPBadGateway = 14,
};
constexpr int ZHTTPStatusCount = 15;

// One row of the status table.
struct ZHTTPStatusEntry {
  int number;        // 404
  const char* text;  // "Not Found"
  bool hasBody;      // whether the error answer carries an HTML page
};

// The row of a status index; an index outside the table is reported and
// answers the row of 500.
const ZHTTPStatusEntry& ZHTTPGetStatus(int status);

// The URL as a page shows it: the path with its parameters and the query
// for a URL without a site, the full form otherwise.
ZString ZHTTPURLText(const ZURL& url);
// The URL as a request to its own server names it (origin form): the path
// ("/" at least), the parameters and the query, without scheme and site.
ZString ZHTTPOriginForm(const ZURL& url);

// Header names the server uses (compared without regard to case by ZMIMEInfo).
namespace ZHTTPHeader {
inline constexpr const char* ContentLength = "Content-Length";
inline constexpr const char* ContentType = "Content-Type";
inline constexpr const char* Date = "Date";
inline constexpr const char* MIMEVersion = "MIME-Version";
inline constexpr const char* Server = "Server";
inline constexpr const char* Expires = "Expires";
inline constexpr const char* WWWAuthenticate = "WWW-Authenticate";
inline constexpr const char* IfModifiedSince = "If-Modified-Since";
inline constexpr const char* Authorization = "Authorization";
}  // namespace ZHTTPHeader

// ---------------------------------------------------------------- limits

// The bounds of one request.
struct ZHTTPLimits {
  ZIndex maxLineLength = 8 * 1024;   // the request line and each header line
  ZIndex maxHeaderSize = 64 * 1024;  // the whole header block
  ZIndex maxHeaderFields = ZMIMELimits::kMaxFieldCount;
  int64_t maxBodySize = int64_t{1024} * 1024;  // the entity body (HTTP/0.9 too)
  ZIndex maxFormVariables = ZURL::kMaxQueryVariables;
  ZTimeInterval requestTime{0, 30};  // reading the whole request
};

// ---------------------------------------------------------------- authority

// Decides whether the credentials of a request are acceptable.
class ZHTTPAuthority : public ZObject {
  Z_CLASS(ZHTTPAuthority, ZObject)
 public:
  virtual ZString GetRealm() const = 0;
  // True when the text of an "Authorization" header is acceptable.
  virtual bool Validate(const char* authInfo) const = 0;
  ZObject* Clone() const override = 0;
};

// One user name and password for a realm (Basic authentication).
class ZHTTPSimpleAuth : public ZHTTPAuthority {
  Z_CLASS(ZHTTPSimpleAuth, ZHTTPAuthority)
 public:
  // An empty realm is reported ("Must have a realm!").
  ZHTTPSimpleAuth(const char* realmName, const char* user, const char* secret);

  ZString GetRealm() const override { return realm; }
  // "Basic " (any letter case) and Base64 of "user:password", or the Base64
  // text alone; user and password are trimmed of blanks and compared
  // exactly.
  bool Validate(const char* authInfo) const override;
  ZObject* Clone() const override;

 private:
  ZString realm;
  ZString username;
  ZString password;
};

// ---------------------------------------------------------------- requests

// One request being answered by a resource.
class ZHTTPRequest : public ZObject {
  Z_CLASS(ZHTTPRequest, ZObject)
 public:
  ZHTTPRequest(const ZURL& requestURL, const ZMIMEInfo& requestMIME) : url(requestURL), inMIME(requestMIME) {}

  const ZURL& url;
  const ZMIMEInfo& inMIME;
  int code = ZHTTPOK;
  ZMIMEInfo outMIME;
  uint64_t contentSize = 0;  // length of the body to send
};

// A request answered from a file.
class ZHTTPFileRequest : public ZHTTPRequest {
  Z_CLASS(ZHTTPFileRequest, ZHTTPRequest)
 public:
  using ZHTTPRequest::ZHTTPRequest;
  ZFile file;
};

// A request answered from a directory: a file found in it, or a listing.
class ZHTTPDirRequest : public ZHTTPFileRequest {
  Z_CLASS(ZHTTPDirRequest, ZHTTPFileRequest)
 public:
  using ZHTTPFileRequest::ZHTTPFileRequest;
  ZString listing;  // empty when a file is sent
};

// ---------------------------------------------------------------- resources

// Anything that can be placed in a ZHTTPSpace. Its base URL's path gives its
// place in the tree; it answers for its whole subtree.
class ZHTTPResource : public ZObject {
  Z_CLASS(ZHTTPResource, ZObject)
 public:
  // The authority, when given, is cloned.
  explicit ZHTTPResource(const ZURL& url, const char* type = "", const ZHTTPAuthority* access = nullptr);
  ZHTTPResource(const ZHTTPResource&) = delete;
  ZHTTPResource& operator=(const ZHTTPResource&) = delete;
  ~ZHTTPResource() override;

  // Each answers whether to keep the connection for another request.
  virtual bool OnGET(ZHTTPSocket& socket, const ZURL& url, const ZMIMEInfo& mime);
  virtual bool OnHEAD(ZHTTPSocket& socket, const ZURL& url, const ZMIMEInfo& mime);
  virtual bool OnPOST(ZHTTPSocket& socket, const ZURL& url, const ZMIMEInfo& mime, const ZStringToString& data);
  // The base answers true (always modified).
  virtual bool IsModifiedSince(const ZTime& time);
  // The base answers false (no "Expires").
  virtual bool GetExpirationDate(ZTime& time);
  virtual std::unique_ptr<ZHTTPRequest> CreateRequest(const ZURL& url, const ZMIMEInfo& mime);
  // Prepares the answer; false with request.code set when it cannot be given.
  virtual bool LoadHeaders(ZHTTPRequest& request);
  // Puts the next piece of the body into data; true when more pieces
  // follow. The base sends LoadText after OnLoadedText, in one piece.
  virtual bool LoadData(ZHTTPRequest& request, std::string& data);
  virtual ZString LoadText(ZHTTPRequest& request) = 0;
  // A last chance to rewrite a text before it is sent; the base leaves it.
  virtual void OnLoadedText(ZHTTPRequest& request, ZString& text);
  // Takes posted values; writes the answer page into msg. The base refuses
  // with 501.
  virtual bool Post(ZHTTPRequest& request, const ZStringToString& data, ZHTML& msg);

  // Set these before the resource is added to a space.
  void SetAuthority(const ZHTTPAuthority& authority);
  void ClearAuthority();
  const ZHTTPAuthority* GetAuthority() const { return authority.get(); }
  void SetContentType(const char* type) { contentType = type; }

  const ZURL& GetBaseURL() const { return baseURL; }
  const ZString& GetContentType() const { return contentType; }
  uint32_t GetHitCount() const { return hitCount.load(std::memory_order_relaxed); }

  // The MIME type of a file extension (".gif"; letter case ignored), or
  // "application/octet-stream" for one not in the table.
  static ZString GetContentType(const char* extension);

 protected:
  // Lets the request through, or answers 401 / 403 and refuses.
  bool CheckAuthorisation(ZHTTPSocket& socket, const ZMIMEInfo& mime);
  // Prepares the request for GET and HEAD up to its headers; null when the
  // answer was already given (an error).
  std::unique_ptr<ZHTTPRequest> PrepareAnswer(ZHTTPSocket& socket, const ZURL& url, const ZMIMEInfo& mime);

 private:
  ZURL baseURL;
  ZString contentType;
  std::unique_ptr<ZHTTPAuthority> authority;
  std::atomic<uint32_t> hitCount{0};
};

// A text held in memory ("text/html" unless told otherwise). The text may be
// replaced while connections read it.
class ZHTTPString : public ZHTTPResource {
  Z_CLASS(ZHTTPString, ZHTTPResource)
 public:
  explicit ZHTTPString(const ZURL& url, const char* initialText = "", const char* type = "text/html",
                       const ZHTTPAuthority* access = nullptr);

  ZString GetText() const;
  void SetText(const ZString& text);

  bool LoadHeaders(ZHTTPRequest& request) override;
  ZString LoadText(ZHTTPRequest& request) override;

 private:
  mutable std::mutex textLock;
  ZString text;
};

// One file; its content type comes from its extension. Text files ("text/"
// types) are sent whole as text, others in binary pieces of 10,000 bytes.
class ZHTTPFile : public ZHTTPResource {
  Z_CLASS(ZHTTPFile, ZHTTPResource)
 public:
  static constexpr ZIndex kChunkSize = 10000;

  ZHTTPFile(const ZURL& url, const char* filePath, const ZHTTPAuthority* access = nullptr);
  // The URL is the path itself.
  explicit ZHTTPFile(const char* filePath, const ZHTTPAuthority* access = nullptr);

  std::unique_ptr<ZHTTPRequest> CreateRequest(const ZURL& url, const ZMIMEInfo& mime) override;
  bool LoadHeaders(ZHTTPRequest& request) override;
  bool LoadData(ZHTTPRequest& request, std::string& data) override;
  ZString LoadText(ZHTTPRequest& request) override;

  const ZFilePath& GetPath() const { return path; }

 protected:
  // Sends the open file of the request: whole as text when the answer's
  // type is a text type, else the next binary piece.
  bool LoadFileData(ZHTTPFileRequest& request, std::string& data);
  // The whole open file of the request as text.
  static ZString ReadWholeFile(ZHTTPFileRequest& request);

 private:
  ZFilePath path;
};

// A directory tree: a URL below the resource's own names a file or
// directory below the directory. A directory is answered by its first index
// file ("Welcome.html", "welcome.html", "index.html", "Welcome.htm",
// "welcome.htm", "index.htm") or else by a listing of its entries.
class ZHTTPDirectory : public ZHTTPFile {
  Z_CLASS(ZHTTPDirectory, ZHTTPFile)
 public:
  ZHTTPDirectory(const ZURL& url, const char* directory, const ZHTTPAuthority* access = nullptr);

  std::unique_ptr<ZHTTPRequest> CreateRequest(const ZURL& url, const ZMIMEInfo& mime) override;
  bool LoadHeaders(ZHTTPRequest& request) override;
  ZString LoadText(ZHTTPRequest& request) override;

 private:
  // The path below the directory that the URL names; false for a URL that
  // would leave the directory.
  bool RealPath(const ZURL& url, ZString& path) const;
  void BuildListing(ZHTTPDirRequest& request, const ZString& realPath) const;
};

// ---------------------------------------------------------------- the space

// The tree of resources, by the path components of their URLs (compared
// with letter case). Copies share one tree: the socket of each connection
// holds a copy of the space it serves.
class ZHTTPSpace : public ZObject {
  Z_CLASS(ZHTTPSpace, ZObject)
 public:
  using ResourcePointer = std::shared_ptr<ZHTTPResource>;

  // Index names tried, in this order, when a path ends at a node without a
  // resource.
  static constexpr int kIndexNameCount = 6;
  static const char* const kIndexNames[kIndexNameCount];

  ZHTTPSpace();
  ZHTTPSpace(const ZHTTPSpace& other) = default;
  ZHTTPSpace& operator=(const ZHTTPSpace& other) = default;
  ~ZHTTPSpace() override;

  // Places the resource at its URL's path. False when a resource sits on
  // the path above, the place has nodes below it, or it holds a resource
  // and overwrite is false. On success the space owns the resource (a
  // replaced one is let go); on failure the caller keeps it.
  bool AddResource(ZHTTPResource* resource, bool overwrite = false);
  bool AddResource(const ResourcePointer& resource, bool overwrite = false);
  // Removes the resource at the URL's path and the nodes left empty above
  // it. False when the path is missing, runs through a resource, or ends at
  // a node with nodes below it.
  bool DelResource(const ZURL& url);
  // The resource that answers the URL, or null.
  ResourcePointer FindResource(const ZURL& url) const;

  // The names of the nodes a URL leads through: its path components without
  // the empty ones (from "//" or a final "/").
  static std::vector<ZString> PathNames(const ZURL& url);

 private:
  struct Node;
  struct Tree;
  std::shared_ptr<Tree> tree;
};

// ---------------------------------------------------------------- the socket

class ZHTTPSocket : public ZApplicationSocket {
  Z_CLASS(ZHTTPSocket, ZApplicationSocket)
 public:
  // The command table. CONNECT names a host and port rather than a URL
  // and is served by OnCONNECT alone; the client side never sends it.
  enum Command { GET = 0, HEAD = 1, POST = 2, CONNECT = 3 };

  // Client side: unconnected with the port, or connected to host (check
  // IsOpen).
  explicit ZHTTPSocket(uint16_t portNumber);
  ZHTTPSocket(const char* host, uint16_t portNumber);
  // Server side: accepts one connection from the listener (check IsOpen)
  // to serve the space.
  ZHTTPSocket(ZIPSocket& listener, const ZHTTPSpace& space);

  // ---- server side (each handler answers whether to keep the connection
  // for another request; the defaults answer false)
  virtual ZString GetServerName() const;
  virtual bool OnGET(const ZURL& url, const ZMIMEInfo& mime);
  virtual bool OnHEAD(const ZURL& url, const ZMIMEInfo& mime);
  virtual bool OnPOST(const ZURL& url, const ZMIMEInfo& mime, const ZStringToString& data);
  // A request for another scheme, port or host. The default answers 502
  // "Proxy not implemented.".
  virtual bool OnProxy(ZIndex command, const ZURL& url, const ZMIMEInfo& mime, const std::string& entityBody);
  // "CONNECT target HTTP/1.x" with its header read (within the request's
  // bounds and time); target is the request's second word as it came.
  // Whatever the client sent after the header is still buffered
  // (TakeBufferedInput). The default answers 501.
  virtual bool OnCONNECT(const ZString& target, const ZMIMEInfo& mime);
  // A command word not in the table: the 400 page with the line.
  virtual bool OnUnknown(const ZString& commandText);
  // The answer of a status: headers only, or with an HTML page that names
  // the status and shows extra (as text, escaped).
  virtual bool OnError(int code, const ZString& extra);
  // The same page for any status, also one outside the table (number 508,
  // text "Loop Detected"); answers false.
  bool SendStatusPage(int number, const char* text, const ZString& extra);

  // Reads one request and answers it; answers whether to keep the
  // connection.
  bool ProcessCommand();
  // The status line (HTTP/1.0 and later only) and the header with its
  // "Content-Length".
  bool StartResponse(int code, ZMIMEInfo& mime, uint64_t contentLength);
  // "Date", "MIME-Version" and "Server".
  void SetDefaultMIMEInfo(ZMIMEInfo& mime) const;
  // Ends the connection without losing the answer: ends the sending side,
  // reads and drops what the client still sends (at most linger long and a
  // bounded amount), then closes.
  void EndConnection(const ZTimeInterval& linger = ZTimeInterval(0, 2));

  // ---- client side
  // Sends "COMMAND path HTTP/1.0" (the URL in origin form), the request
  // header and the body, then
  // reads the response line and (unless the answer is HTTP/0.9) the reply
  // header. False when a step fails.
  bool ExecuteCommand(ZIndex command, const ZURL& url, const ZMIMEInfo& requestMIME, const std::string& body,
                      ZMIMEInfo& replyMIME);
  using ZApplicationSocket::ExecuteCommand;
  // The status number and message of the last response read.
  int32_t GetResponseStatus() const { return responseStatus; }
  const ZString& GetResponseMessage() const { return responseMessage; }

  // ---- state
  int32_t GetMajorVersion() const { return majorVersion; }
  int32_t GetMinorVersion() const { return minorVersion; }
  const ZHTTPSpace& GetSpace() const { return urlSpace; }
  void SetLimits(const ZHTTPLimits& newLimits) { limits = newLimits; }
  const ZHTTPLimits& GetLimits() const { return limits; }

 protected:
  int32_t majorVersion = 1;
  int32_t minorVersion = 0;
  ZHTTPSpace urlSpace;

  // Whether the URL names this server (scheme, port and host); the others
  // go to OnProxy.
  virtual bool IsForThisServer(const ZURL& url);
  // A last look at the header of every answer this server starts (not the
  // HTTP/0.9 ones, which have none), just before it is written. The base
  // leaves it.
  virtual void OnResponseHeader(ZMIMEInfo& mime);

 private:
  // The request line's version; false when it is malformed.
  bool ParseVersion(const ZString& version);
  // The rest of a CONNECT request after its command word.
  bool ProcessConnect(const ZStringArray& words);
  // Reads the header of an HTTP/1.x request; false when the answer was
  // given (a bound was passed or the time ran out) or the read failed.
  bool ReadRequestHeader(ZMIMEInfo& mime, bool& answered);
  bool ReadBody(const ZMIMEInfo& mime, std::string& body, bool& answered);
  bool ReadHTTP09Body(std::string& body, bool& answered);
  // Reads and drops the bytes that are waiting now (a bounded amount).
  void DropWaitingInput();
  // The 400 page for a request cut off by a bound; answers false.
  bool RefuseRequest(const char* reason);
  // The status line of any status and the header with its length.
  bool StartResponseWith(int number, const char* text, ZMIMEInfo& mime, uint64_t contentLength);

  ZHTTPLimits limits;
  int32_t responseStatus = 0;
  ZString responseMessage;
};
