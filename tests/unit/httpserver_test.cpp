// The HTTP server over real loopback connections: a ZHTTPSocket per
// connection served by threads of the test, reached with curl and with raw
// requests. Covers HTTP/0.9, versions, authentication, conditional GET,
// directory trees and binary files, the proxy decision, forms, bounds on
// every part of a request and the time bound on a trickling client.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch_directory.h"
#include "zunder/base64.h"
#include "zunder/http.h"
#include "zunder/httpform.h"

namespace {

// A text page whose modification time is fixed, for conditional GETs.
class DatedPage : public ZHTTPString {
 public:
  DatedPage(const char* url, const char* pageText, const ZTime& modifiedAt)
      : ZHTTPString(ZURL(url), pageText), modified(modifiedAt) {}
  bool IsModifiedSince(const ZTime& time) override { return modified > time; }

 private:
  ZTime modified;
};

// Answers a CONNECT with what it was handed: the target, the Host header,
// the bytes buffered after the header, and those that came later (read
// past the buffer, to the end of the client's stream).
class EchoingTunnelSocket : public ZHTTPSocket {
 public:
  using ZHTTPSocket::ZHTTPSocket;
  bool OnCONNECT(const ZString& target, const ZMIMEInfo& mime) override {
    std::string reply = std::string("target=") + target.Text() + " host=" + mime.GetString("Host").Text();
    reply += " buffered=" + TakeBufferedInput();
    std::string later;
    char buffer[256];
    SetReadTimeout(ZTimeInterval(0, 5));
    for (int reads = 0; reads < 100 && ZTCPSocket::Read(buffer, sizeof buffer) && GetLastReadCount() > 0; ++reads) {
      later.append(buffer, static_cast<size_t>(GetLastReadCount()));
    }
    reply += " later=" + later;
    Write(reply.data(), static_cast<ZIndex>(reply.size()));
    return false;
  }
};

// Serves a space on a loopback port, one connection at a time per worker.
class HttpServer {
 public:
  HttpServer(const ZHTTPSpace& served, const ZHTTPLimits& bounds, int workers = 1, bool echoTunnels = false)
      : space(served), limits(bounds), tunnelling(echoTunnels) {
    EXPECT_TRUE(listener.Listen(16, 0, true));
    for (int i = 0; i < workers; ++i) threads.emplace_back([this] { Serve(); });
  }
  ~HttpServer() {
    stopping = true;
    listener.Close();
    for (auto& thread : threads) thread.join();
  }
  uint16_t Port() const { return listener.GetPort(); }

 private:
  void Serve() {
    while (!stopping) {
      std::unique_ptr<ZHTTPSocket> socket = tunnelling ? std::make_unique<EchoingTunnelSocket>(listener, space)
                                                       : std::make_unique<ZHTTPSocket>(listener, space);
      if (!socket->IsOpen()) break;
      socket->SetLimits(limits);
      socket->ProcessCommand();
      socket->EndConnection(ZTimeInterval(500));
    }
  }

  ZHTTPSpace space;
  ZHTTPLimits limits;
  bool tunnelling;
  ZTCPSocket listener;
  std::atomic<bool> stopping{false};
  std::vector<std::thread> threads;
};

struct CurlResult {
  int status = 0;
  std::string headers;
  std::string body;
};

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch.IsMade());
    directory = scratch.Path();
    const std::string docs = directory + "/docs";
    ASSERT_EQ(std::system(("mkdir -p '" + docs + "/sub' '" + docs + "/list/inner'").c_str()), 0);
    WriteFileText(docs + "/readme.txt", "read me\n");
    WriteFileText(docs + "/sub/index.html", "<P>sub index</P>");
    WriteFileText(docs + "/sub/deep.html", "<P>deep</P>");
    WriteFileText(docs + "/blob.XYZ", "blob");
    WriteFileText(docs + "/Photo.GIF", "GIF89a");
    WriteFileText(docs + "/list/notes.txt", "n");
    WriteFileText(docs + "/list/<b>x.bin", "x");
    WriteFileText(directory + "/secret.txt", "TOP-SECRET");
    std::mt19937 random(7);
    binary.resize(1024 * 1024 + 7);
    for (char& byte : binary) byte = static_cast<char>(random() & 0xff);
    WriteFileText(docs + "/data.bin", binary);

    ASSERT_TRUE(space.AddResource(new ZHTTPString(ZURL("/hello"), "hello text", "text/plain")));
    ASSERT_TRUE(space.AddResource(new ZHTTPString(ZURL("/Welcome.html"), "<P>Welcome</P>")));
    ASSERT_TRUE(space.AddResource(new ZHTTPString(ZURL("/index.html"), "<P>index</P>")));
    const ZHTTPSimpleAuth auth("Admin", "admin", "pebble");
    ASSERT_TRUE(space.AddResource(new ZHTTPString(ZURL("/private"), "private text", "text/plain", &auth)));
    ASSERT_TRUE(space.AddResource(new DatedPage("/dated", "dated text", ZTime(0, 0, 12, 1, 6, 2000, 0))));
    ASSERT_TRUE(space.AddResource(new ZHTTPDirectory(ZURL("/files"), docs.c_str())));
    auto* form = new ZHTTPForm(ZURL("/form"));
    form->Add(new ZHTTPIntegerField("Log Level", 0, 3, 1));
    form->Add(new ZHTTPIntegerField("HTTP Port", 1, 65535, 1082));
    ZHTML page("Settings");
    form->BuildHTML(page);
    ASSERT_TRUE(space.AddResource(form));
  }

  void TearDown() override { server.reset(); }

  void Start(const ZHTTPLimits& limits = ZHTTPLimits(), int workers = 1, bool echoTunnels = false) {
    server = std::make_unique<HttpServer>(space, limits, workers, echoTunnels);
  }

  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(server->Port()) + path; }

  // curl's status, headers and body (into files, so binary bodies stay exact).
  CurlResult Curl(const std::string& path, const std::string& options = "") {
    const std::string headers = directory + "/curl.headers";
    const std::string body = directory + "/curl.body";
    const std::string command = "curl -s --max-time 20 -o '" + body + "' -D '" + headers + "' -w '%{http_code}' " +
                                options + " '" + Url(path) + "'";
    CurlResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char code[16] = {};
    const size_t read = fread(code, 1, sizeof code - 1, pipe);
    pclose(pipe);
    result.status = std::atoi(std::string(code, read).c_str());
    result.headers = ReadFileText(headers);
    result.body = ReadFileText(body);
    return result;
  }

  // Sends bytes on a fresh connection (and ends the sending side when
  // asked), then reads until the server closes.
  std::string Raw(const std::string& request, bool endSending = false) {
    ZTCPSocket client(server->Port());
    EXPECT_TRUE(client.Connect("127.0.0.1"));
    client.SetReadTimeout(ZTimeInterval(0, 20));
    client.Write(request.data(), static_cast<ZIndex>(request.size()));
    if (endSending) client.ShutdownWrite();
    std::string response;
    char buffer[4096];
    for (int reads = 0; reads < 4096 && client.Read(buffer, sizeof buffer); ++reads) {
      response.append(buffer, static_cast<size_t>(client.GetLastReadCount()));
    }
    return response;
  }

  static std::string Body(const std::string& response) {
    const size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
  }

  ScratchDirectory scratch{"httpserver"};
  std::string directory;
  std::string binary;
  ZHTTPSpace space;
  std::unique_ptr<HttpServer> server;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---------------------------------------------------------------- requests and versions

TEST_F(HttpServerTest, StringResourceWithCurl) {
  Start();
  const CurlResult result = Curl("/hello");
  EXPECT_EQ(result.status, 200);
  EXPECT_EQ(result.body, "hello text");
  EXPECT_TRUE(Has(result.headers, "Content-Type: text/plain\r\n")) << result.headers;
  EXPECT_TRUE(Has(result.headers, "Content-Length: 10\r\n"));
  EXPECT_TRUE(Has(result.headers, "Server: Zunder-HTTP-Server/1.0 Zunder/1.0\r\n"));
  EXPECT_TRUE(Has(result.headers, "MIME-Version: 1.0\r\n"));
  EXPECT_TRUE(Has(result.headers, "Date: "));
  EXPECT_EQ(space.FindResource(ZURL("/hello"))->GetHitCount(), 1u);
}

TEST_F(HttpServerTest, HTTP09AnswerHasNoStatusLine) {
  Start();
  EXPECT_EQ(Raw("GET /hello\r\n", true), "hello text");
}

TEST_F(HttpServerTest, HeadSendsTheHeaderAlone) {
  Start();
  const std::string response = Raw("HEAD /hello HTTP/1.0\r\n\r\n");
  EXPECT_EQ(response.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << response;
  EXPECT_TRUE(Has(response, "Content-Length: 10\r\n"));
  EXPECT_EQ(Body(response), "");
  EXPECT_EQ(space.FindResource(ZURL("/hello"))->GetHitCount(), 0u);
}

TEST_F(HttpServerTest, MalformedVersionsGetThe400Page) {
  Start();
  const char* const versions[] = {"HTTP/10", "HTTP/1.", "XTTP/1.0", "HTTP/x.y", "http/1.0"};
  for (const char* version : versions) {
    const std::string response = Raw(std::string("GET /hello ") + version + "\r\n\r\n");
    EXPECT_EQ(response.rfind("HTTP/1.0 400 Bad Request\r\n", 0), 0u) << version << ": " << response;
    EXPECT_TRUE(Has(Body(response), std::string("Malformed version number ") + version)) << version;
    EXPECT_TRUE(Has(Body(response), "<TITLE>400 Bad Request</TITLE>"));
  }
}

TEST_F(HttpServerTest, UnknownCommandAndMissingURL) {
  Start();
  std::string response = Raw("DELETE /hello HTTP/1.0\r\n\r\n");
  EXPECT_EQ(response.rfind("HTTP/1.0 400 Bad Request\r\n", 0), 0u) << response;
  EXPECT_TRUE(Has(Body(response), "DELETE /hello HTTP/1.0"));
  response = Raw("GET\r\n\r\n");
  EXPECT_EQ(response.rfind("HTTP/1.0 400 Bad Request\r\n", 0), 0u) << response;
}

TEST_F(HttpServerTest, WelcomeNameOrderAtTheRoot) {
  Start();
  const CurlResult result = Curl("/");
  EXPECT_EQ(result.status, 200);
  EXPECT_EQ(result.body, "<P>Welcome</P>");
}

TEST_F(HttpServerTest, HostileURLIsEscapedInThe404Page) {
  Start();
  // The path comes back URL-escaped; the query is shown as it came.
  const std::string response = Raw("GET /<script>x</script>?<script>alert(1)</script> HTTP/1.0\r\n\r\n");
  EXPECT_EQ(response.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << response;
  const std::string body = Body(response);
  EXPECT_FALSE(Has(body, "<script>")) << body;
  EXPECT_TRUE(Has(body, "&lt;script&gt;alert(1)&lt;/script&gt;")) << body;
  EXPECT_TRUE(Has(body, "<H1>404 Not Found</H1>"));
}

// ---------------------------------------------------------------- authentication and dates

TEST_F(HttpServerTest, ChallengeRefusalAndAcceptance) {
  Start();
  CurlResult result = Curl("/private");
  EXPECT_EQ(result.status, 401);
  EXPECT_TRUE(Has(result.headers, "HTTP/1.1 401 Unauthorised\r\n")) << result.headers;
  EXPECT_TRUE(Has(result.headers, "WWW-Authenticate: Basic realm=\"Admin\"\r\n"));
  EXPECT_TRUE(Has(result.headers, "Content-Length: 0\r\n"));
  EXPECT_EQ(result.body, "");

  result = Curl("/private", "-u admin:wrong");
  EXPECT_EQ(result.status, 403);
  EXPECT_TRUE(Has(result.body, "<H1>403 Forbidden</H1>"));

  result = Curl("/private", "-u admin:pebble");
  EXPECT_EQ(result.status, 200);
  EXPECT_EQ(result.body, "private text");
}

TEST_F(HttpServerTest, ConditionalGet) {
  Start();
  std::string response = Raw("GET /dated HTTP/1.0\r\nIf-Modified-Since: Sat, 01 Jul 2000 00:00:00 GMT\r\n\r\n");
  EXPECT_EQ(response.rfind("HTTP/1.0 304 Not Modified\r\n", 0), 0u) << response;
  EXPECT_TRUE(Has(response, "Content-Length: 0\r\n"));
  EXPECT_EQ(Body(response), "");
  response = Raw("GET /dated HTTP/1.0\r\nIf-Modified-Since: Mon, 01 May 2000 00:00:00 GMT\r\n\r\n");
  EXPECT_EQ(response.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << response;
  EXPECT_EQ(Body(response), "dated text");
}

// ---------------------------------------------------------------- directories and files

TEST_F(HttpServerTest, DirectoryServesNestedPathsAndIndexFiles) {
  Start();
  struct Case {
    const char* path;
    int status;
    const char* body;
    const char* type;
  };
  const Case cases[] = {
      {"/files/sub/deep.html", 200, "<P>deep</P>", "text/html"},
      {"/files/sub", 200, "<P>sub index</P>", "text/html"},
      {"/files/readme.txt", 200, "read me\n", "text/plain"},
      {"/files/blob.XYZ", 200, "blob", "application/octet-stream"},
      {"/files/Photo.GIF", 200, "GIF89a", "image/gif"},
      {"/files/missing.txt", 404, nullptr, "text/html"},
      {"/files/%2e%2e/secret.txt", 404, nullptr, "text/html"},
      {"/files/sub/%2e%2e%2f..%2fsecret.txt", 404, nullptr, "text/html"},
  };
  for (const Case& test : cases) {
    const CurlResult result = Curl(test.path, "--path-as-is");
    EXPECT_EQ(result.status, test.status) << test.path;
    if (test.body != nullptr) {
      EXPECT_EQ(result.body, test.body) << test.path;
    }
    EXPECT_TRUE(Has(result.headers, std::string("Content-Type: ") + test.type + "\r\n")) << test.path << result.headers;
    EXPECT_FALSE(Has(result.body, "TOP-SECRET")) << test.path;
  }
}

TEST_F(HttpServerTest, DirectoryListing) {
  Start();
  const CurlResult result = Curl("/files/list");
  EXPECT_EQ(result.status, 200);
  EXPECT_TRUE(Has(result.headers, "Content-Type: text/html\r\n"));
  EXPECT_TRUE(Has(result.body, "<TITLE>Directory of /files/list</TITLE>")) << result.body;
  EXPECT_TRUE(Has(result.body, "<IMG SRC=\"internal-gopher-menu\"> <A HREF=\"/files/list/inner\">inner</A><BR>"))
      << result.body;
  EXPECT_TRUE(Has(result.body, "<IMG SRC=\"internal-gopher-text\"> <A HREF=\"/files/list/notes.txt\">notes.txt</A>"));
  // A hostile file name is escaped in the link and in its text.
  EXPECT_TRUE(Has(result.body,
                  "<IMG SRC=\"internal-gopher-unknown\"> <A HREF=\"/files/list/&lt;b&gt;x.bin\">"
                  "&lt;b&gt;x.bin</A>"))
      << result.body;
  EXPECT_FALSE(Has(result.body, "<b>"));
}

TEST_F(HttpServerTest, BinaryFileIsByteExact) {
  Start();
  const CurlResult result = Curl("/files/data.bin");
  EXPECT_EQ(result.status, 200);
  EXPECT_TRUE(Has(result.headers, "Content-Length: " + std::to_string(binary.size()) + "\r\n")) << result.headers;
  EXPECT_TRUE(Has(result.headers, "Content-Type: application/octet-stream\r\n"));
  ASSERT_EQ(result.body.size(), binary.size());
  EXPECT_TRUE(result.body == binary);
}

TEST_F(HttpServerTest, FileResourceOnItsOwn) {
  const std::string path = directory + "/docs/readme.txt";
  ASSERT_TRUE(space.AddResource(new ZHTTPFile(ZURL("/readme"), path.c_str())));
  ASSERT_TRUE(space.AddResource(new ZHTTPFile(ZURL("/gone"), (directory + "/nothing.bin").c_str())));
  Start();
  CurlResult result = Curl("/readme");
  EXPECT_EQ(result.status, 200);
  EXPECT_EQ(result.body, "read me\n");
  EXPECT_TRUE(Has(result.headers, "Content-Type: text/plain\r\n"));
  result = Curl("/gone");
  EXPECT_EQ(result.status, 404);
  EXPECT_TRUE(Has(result.body, "/gone"));
}

// ---------------------------------------------------------------- proxy decision

TEST_F(HttpServerTest, RequestsForElsewhereGoToOnProxy) {
  Start();
  const std::string port = std::to_string(server->Port());
  const std::string own = ZSocket::GetHostName().Text();
  struct Case {
    std::string url;
    bool proxied;
  };
  const Case cases[] = {
      {"http://" + own + ":" + port + "/hello", false},
      {"/hello", false},
      {"http://" + own + ":" + std::to_string(server->Port() == 1 ? 2 : server->Port() - 1) + "/hello", true},
      {"ftp://" + own + ":" + port + "/hello", true},
      {"http://elsewhere.invalid:" + port + "/hello", true},
  };
  for (const Case& test : cases) {
    const std::string response = Raw("GET " + test.url + " HTTP/1.0\r\n\r\n");
    if (test.proxied) {
      EXPECT_EQ(response.rfind("HTTP/1.0 502 Bad Gateway\r\n", 0), 0u) << test.url << response;
      EXPECT_TRUE(Has(Body(response), "Proxy not implemented.")) << test.url;
    } else {
      EXPECT_EQ(Body(response), "hello text") << test.url << response;
    }
  }
}

// ---------------------------------------------------------------- forms

TEST_F(HttpServerTest, FormPosts) {
  Start();
  CurlResult result = Curl("/form");
  EXPECT_EQ(result.status, 200);
  EXPECT_TRUE(Has(result.body, "TYPE=number NAME=\"Log Level\" VALUE=1 MAX=3 MIN=0"));

  result = Curl("/form", "--data 'log+level=3'");
  EXPECT_EQ(result.status, 200);
  EXPECT_TRUE(Has(result.body, "Accepted New Configuration"));

  result = Curl("/form", "--data 'Log%20Level=9&HTTP+Port=0'");
  EXPECT_EQ(result.status, 400);
  EXPECT_TRUE(Has(result.body, "The field \"Log Level\" should be between 0 and 3.<BR>"));
  EXPECT_TRUE(Has(result.body, "The field \"HTTP Port\" should be between 1 and 65535.<BR>"));

  std::string response = Raw("POST /form HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(response.rfind("HTTP/1.0 204 No Content\r\n", 0), 0u) << response;
  EXPECT_TRUE(Has(Body(response), "No parameters changed."));

  response = Raw("POST /hello HTTP/1.0\r\nContent-Length: 3\r\n\r\na=b");
  EXPECT_EQ(response.rfind("HTTP/1.0 501 Not Implemented\r\n", 0), 0u) << response;
  EXPECT_TRUE(Has(Body(response), "<TITLE>Error in POST</TITLE>"));
  EXPECT_TRUE(Has(Body(response), "Post to this resource is not implemented!"));

  response = Raw("POST /form HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc", true);
  EXPECT_TRUE(Has(Body(response), "incomplete entity-body received")) << response;
}

TEST_F(HttpServerTest, BodiesFramedByATransferCodingAreRefused) {
  Start();
  const std::string requests[] = {
      "POST /form HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nb\r\nlog+level=3\r\n0\r\n\r\n",
      // A length beside the coding frames nothing either.
      "POST /form HTTP/1.0\r\nContent-Length: 11\r\nTransfer-Encoding: gzip\r\n\r\nlog+level=3",
  };
  for (const std::string& request : requests) {
    const std::string response = Raw(request);
    // Answered in the request's own version.
    EXPECT_EQ(response.find(" 501 Not Implemented\r\n"), 8u) << response;
    EXPECT_TRUE(Has(Body(response), "Transfer-Encoding is not supported.")) << response;
  }
  EXPECT_TRUE(Has(Curl("/form").body, "NAME=\"Log Level\" VALUE=1 "));
}

// ---------------------------------------------------------------- bounds

TEST_F(HttpServerTest, OversizedRequestsAreRefused) {
  Start();
  std::string manyVariables;
  for (int i = 0; i < 1001; ++i) manyVariables += "v" + std::to_string(i) + "=1&";
  std::string bigHeader = "GET /hello HTTP/1.0\r\n";
  for (int i = 0; i < 100; ++i) bigHeader += "X-Field-" + std::to_string(i) + ": " + std::string(1000, 'h') + "\r\n";
  struct Case {
    const char* name;
    std::string request;
    const char* reason;
  };
  const Case cases[] = {
      {"request line", "GET /" + std::string(9000, 'a') + " HTTP/1.0\r\n\r\n", "Request line too long."},
      {"header line", "GET /hello HTTP/1.0\r\nX-Long: " + std::string(9000, 'b') + "\r\n\r\n", "Header line too long."},
      {"header block", bigHeader + "\r\n", "Header too large."},
      {"declared body", "POST /form HTTP/1.0\r\nContent-Length: 2000000\r\n\r\n", "Entity-body too large."},
      {"huge length", "POST /form HTTP/1.0\r\nContent-Length: 99999999999999999999\r\n\r\n", "Entity-body too large."},
      {"bad length", "POST /form HTTP/1.0\r\nContent-Length: 12abc\r\n\r\n", "Malformed Content-Length."},
      {"variables",
       "POST /form HTTP/1.0\r\nContent-Length: " + std::to_string(manyVariables.size()) + "\r\n\r\n" + manyVariables,
       "Too many form variables."},
  };
  for (const Case& test : cases) {
    const std::string response = Raw(test.request);
    EXPECT_EQ(response.rfind("HTTP/1.0 400 Bad Request\r\n", 0), 0u) << test.name << ": " << response.substr(0, 200);
    EXPECT_TRUE(Has(Body(response), test.reason)) << test.name;
  }
}

TEST_F(HttpServerTest, OversizedHTTP09BodyIsRefused) {
  Start();
  const std::string response = Raw("GET /hello\r\n" + std::string(1024 * 1024 + 10, 'z'), true);
  EXPECT_TRUE(Has(response, "<TITLE>400 Bad Request</TITLE>")) << response.substr(0, 200);
  EXPECT_TRUE(Has(response, "Entity-body too large."));
  EXPECT_FALSE(Has(response, "hello text"));
}

TEST_F(HttpServerTest, TricklingClientIsCutOffByTheTotalBound) {
  ZHTTPLimits limits;
  limits.requestTime = ZTimeInterval(800);
  // A CONNECT's header is read under the same bound as any other.
  Start(limits, 1, true);
  for (const std::string start : {"GET /hello HTTP/1.0\r\nX-Slow: ", "CONNECT example.test:443 HTTP/1.0\r\nX-Slow: "}) {
    ZTCPSocket client(server->Port());
    ASSERT_TRUE(client.Connect("127.0.0.1"));
    ASSERT_TRUE(client.Write(start.data(), static_cast<ZIndex>(start.size())));
    // One byte every 100 ms: each arrives well within the wait for a line's
    // next character, so only the bound on the whole request ends it.
    client.SetReadTimeout(ZTimeInterval(100));
    std::string response;
    int sent = 0;
    char buffer[4096];
    for (; sent < 300 && response.empty(); ++sent) {
      if (!client.Write("s", 1)) break;
      if (client.Read(buffer, sizeof buffer)) response.append(buffer, static_cast<size_t>(client.GetLastReadCount()));
    }
    client.SetReadTimeout(ZTimeInterval(0, 10));
    for (int reads = 0; reads < 100 && client.Read(buffer, sizeof buffer); ++reads) {
      response.append(buffer, static_cast<size_t>(client.GetLastReadCount()));
    }
    EXPECT_LT(sent, 300) << start << ": the server never cut the client off";
    EXPECT_EQ(response.rfind("HTTP/1.0 400 Bad Request\r\n", 0), 0u) << start << response;
    EXPECT_TRUE(Has(Body(response), "Request not complete in time.")) << start;
  }
}

// ---------------------------------------------------------------- CONNECT

TEST_F(HttpServerTest, ConnectIsHandedOnWithItsHeaderAndTheBytesAfterIt) {
  Start(ZHTTPLimits(), 1, true);
  // The client's first tunnel bytes come in the same write as the request.
  const std::string response =
      Raw("CONNECT example.test:443 HTTP/1.1\r\nHost: example.test:443\r\n\r\n\x16\x03\x01"
          "early bytes",
          true);
  // However the bytes were split between the buffer and the socket, none is
  // lost and none is taken twice.
  const size_t buffered = response.find(" buffered=");
  const size_t later = response.find(" later=");
  ASSERT_NE(buffered, std::string::npos) << response;
  ASSERT_NE(later, std::string::npos) << response;
  EXPECT_EQ(response.substr(0, buffered), "target=example.test:443 host=example.test:443");
  EXPECT_EQ(response.substr(buffered + 10, later - buffered - 10) + response.substr(later + 7),
            "\x16\x03\x01"
            "early bytes");
}

TEST_F(HttpServerTest, ConnectRequestsThatCannotBeHandedOn) {
  ZHTTPLimits limits;
  limits.maxHeaderSize = 1024;
  Start(limits, 1, true);
  struct Case {
    const char* name;
    std::string request;
    const char* reason;
  };
  const Case cases[] = {
      {"no version", "CONNECT example.test:443\r\n\r\n", "CONNECT needs an HTTP/1.x request."},
      {"bad version", "CONNECT example.test:443 HTTP/x\r\n\r\n", "Malformed version number HTTP/x"},
      {"no target", "CONNECT\r\n\r\n", "No URL in the request."},
      {"request line", "CONNECT " + std::string(9000, 'a') + ":443 HTTP/1.0\r\n\r\n", "Request line too long."},
      {"header block", "CONNECT a:443 HTTP/1.0\r\nX-Big: " + std::string(2000, 'h') + "\r\n\r\n", "Header too large."},
  };
  for (const Case& test : cases) {
    const std::string response = Raw(test.request);
    EXPECT_EQ(response.rfind("HTTP/1.0 400 Bad Request\r\n", 0), 0u) << test.name << ": " << response.substr(0, 200);
    EXPECT_TRUE(Has(Body(response), test.reason)) << test.name << ": " << response.substr(0, 300);
  }
}

TEST_F(HttpServerTest, ConnectIsRefusedByAServerThatDoesNotTunnel) {
  Start();
  const std::string response = Raw("CONNECT example.test:443 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(response.rfind("HTTP/1.0 501 Not Implemented\r\n", 0), 0u) << response;
  EXPECT_TRUE(Has(Body(response), "CONNECT is not supported."));
}

// ---------------------------------------------------------------- concurrency

TEST_F(HttpServerTest, ReplacingAResourceWhileItIsServed) {
  Start(ZHTTPLimits(), 3);
  std::atomic<bool> done{false};
  std::thread replacer([&] {
    for (int round = 0; round < 2000 && !done; ++round) {
      const std::string text = "version " + std::to_string(round);
      space.AddResource(new ZHTTPString(ZURL("/hello"), text.c_str(), "text/plain"), true);
    }
  });
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  for (int c = 0; c < 3; ++c) {
    clients.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        const std::string body = Body(Raw("GET /hello HTTP/1.0\r\n\r\n"));
        if (body == "hello text" || body.rfind("version ", 0) == 0) ++answered;
      }
    });
  }
  for (auto& client : clients) client.join();
  done = true;
  replacer.join();
  EXPECT_EQ(answered.load(), 30);
}

}  // namespace
