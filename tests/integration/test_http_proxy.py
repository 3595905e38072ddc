"""The HTTP agent of moatkeep end to end: curl through the gateway's HTTP port
to local servers, the 502 answers, one request per connection, the site
answered on the same port, restrictions, and hostile clients."""
import hashlib
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import moatkeep_harness as h  # noqa: E402

HTTP_PORT = 18082
GATEWAY = "http://127.0.0.1:%d" % HTTP_PORT
expect = h.expect

BIG = 10 * 1024 * 1024


def start(binary, security=None):
    proxy = h.Moatkeep(binary, h.ini(HTTP_PORT, (), security)).start_debug()
    proxy.wait_log(r"Warning: Proxies started\.")
    return proxy


def payload(size):
    """A body that is not a repetition of one short block."""
    blocks = []
    counter = 0
    while sum(len(b) for b in blocks) < size:
        blocks.append(hashlib.sha256(b"%d" % counter).digest() * 64)
        counter += 1
    return b"".join(blocks)[:size]


class HttpServer(h.Server):
    """Reads one request (head and declared body), records it, and sends the
    answer made by answer(request_head, body)."""

    def __init__(self, answer, keep_open=False, port=0):
        self.requests = []
        self.lock = threading.Lock()
        self.keep_open = keep_open
        super().__init__(self._serve_one, port)
        self.answer = answer

    def _serve_one(self, conn):
        data = h.recv_until(conn, b"\r\n\r\n", timeout=20, limit=1 << 20)
        head, _, body = data.partition(b"\r\n\r\n")
        match = re.search(rb"(?im)^content-length:\s*(\d+)", head)
        length = int(match.group(1)) if match else 0
        conn.settimeout(20)
        while len(body) < length:
            part = conn.recv(65536)
            if not part:
                break
            body += part
        with self.lock:
            self.requests.append((head, body))
        conn.sendall(self.answer(head, body))
        if self.keep_open:
            # A server that keeps the connection: only the declared length
            # ends the answer.
            h.recv_all(conn, timeout=30)


def curl(*args, timeout=60):
    result = subprocess.run(["curl", "-sS", "--max-time", "30"] + list(args), capture_output=True, timeout=timeout)
    return result


def curl_proxy(url, *args):
    """Fetches url through the gateway; returns (status line, headers text, body)."""
    result = curl("-x", GATEWAY, "-D", "-", url, *args)
    expect(result.returncode == 0, "curl failed (%d): %s" % (result.returncode, result.stderr.decode()))
    head, _, body = result.stdout.partition(b"\r\n\r\n")
    status, _, headers = head.partition(b"\r\n")
    return status.decode(), headers.decode(), body


def raw_exchange(request, timeout=30):
    with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=10) as conn:
        conn.sendall(request)
        return h.recv_all(conn, timeout=timeout)


def header_value(headers, name):
    match = re.search(r"(?im)^%s:\s*(.*?)\s*$" % re.escape(name), headers)
    return match.group(1) if match else None


def case_forward(binary):
    """Status, headers and a 10 MB body arrive as the server sent them; the
    request reaches the server as HTTP/1.0 with the client's header and body."""
    body = payload(BIG)

    def answer(head, request_body):
        return (b"HTTP/1.0 203 Non-Authoritative Information\r\nX-Origin: test-server\r\n"
                b"Content-Type: application/octet-stream\r\nContent-Length: %d\r\n\r\n" % len(body)) + body

    server = HttpServer(answer)
    proxy = start(binary)
    try:
        url = "http://127.0.0.1:%d/data/file.bin?x=1" % server.port
        status, headers, received = curl_proxy(url, "-H", "X-Client: marker")
        expect(status.startswith("HTTP/1.") and status.endswith(" 203 Non-Authoritative Information"),
               "status line: %r" % status)
        expect(header_value(headers, "X-Origin") == "test-server", "remote header lost: %r" % headers)
        expect(header_value(headers, "Content-Length") == str(len(body)), "length: %r" % headers)
        expect(len(received) == len(body) and hashlib.sha256(received).digest() == hashlib.sha256(body).digest(),
               "body differs: %d bytes of %d" % (len(received), len(body)))
        head, _ = server.requests[0]
        first = head.split(b"\r\n")[0]
        expect(first == b"GET /data/file.bin?x=1 HTTP/1.0", "request line at the server: %r" % first)
        expect(re.search(rb"(?im)^x-client:\s*marker\r?$", head), "client header not forwarded: %r" % head)

        posted = b"name=value&other=" + b"z" * 5000
        status, _, _ = curl_proxy("http://127.0.0.1:%d/form" % server.port, "--data-binary", posted.decode())
        expect(status.endswith(" 203 Non-Authoritative Information"), "POST status: %r" % status)
        head, request_body = server.requests[1]
        expect(head.startswith(b"POST /form HTTP/1.0\r\n"), "POST request line: %r" % head[:60])
        expect(request_body == posted, "POST body at the server: %d bytes" % len(request_body))
    finally:
        proxy.stop()
        server.close()


def case_without_length(binary):
    """An answer without Content-Length ends with the connection and is
    passed on without one; a declared length ends the answer even when the
    server keeps its connection open; HEAD answers carry no body."""
    body = payload(300000)
    plain = HttpServer(lambda head, _: b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body)
    kept = HttpServer(lambda head, _: (b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: keep-alive\r\n\r\n"
                                       + (b"" if head.startswith(b"HEAD") else b"hello")), keep_open=True)
    proxy = start(binary)
    try:
        status, headers, received = curl_proxy("http://127.0.0.1:%d/" % plain.port)
        expect(status.endswith(" 200 OK"), "status: %r" % status)
        expect(header_value(headers, "Content-Length") is None, "made-up length: %r" % headers)
        expect(received == body, "body without length: %d of %d bytes" % (len(received), len(body)))

        status, headers, received = curl_proxy("http://127.0.0.1:%d/kept" % kept.port)
        expect(status.endswith(" 200 OK") and received == b"hello", "kept-open answer: %r %r" % (status, received))
        result = curl("-x", GATEWAY, "-I", "http://127.0.0.1:%d/kept" % kept.port)
        expect(result.returncode == 0 and b"Content-Length: 5" in result.stdout, "HEAD: %r" % result.stdout)
    finally:
        proxy.stop()
        plain.close()
        kept.close()


def case_bad_gateway(binary):
    """The 502 pages: unreachable server, a server that answers nothing,
    ftp URLs and other schemes."""
    closed_port = h.free_port()
    silent = h.Server(lambda conn: h.recv_until(conn, b"\r\n\r\n", timeout=10))
    proxy = start(binary)
    try:
        url = "http://127.0.0.1:%d/missing" % closed_port
        status, _, body = curl_proxy(url)
        expect(status.endswith(" 502 Bad Gateway"), "unreachable status: %r" % status)
        expect(b"Could not access " + url.encode() in body, "unreachable page: %r" % body)

        url = "http://127.0.0.1:%d/nothing" % silent.port
        status, _, body = curl_proxy(url)
        expect(status.endswith(" 502 Bad Gateway"), "silent server status: %r" % status)
        expect(re.search(rb"Error\s+accessing " + re.escape(url.encode()), body), "silent server page: %r" % body)

        cases = [
            (b"GET ftp://127.0.0.1/pub/file HTTP/1.0\r\n\r\n", b"FTP proxy not implemented yet, Real Soon Now."),
            (b"HEAD ftp://127.0.0.1/pub/file HTTP/1.0\r\n\r\n", None),
            (b"POST ftp://127.0.0.1/pub/file HTTP/1.0\r\n\r\n", b"Proxy not implemented for ftp"),
            (b"GET gopher://127.0.0.1/1 HTTP/1.0\r\n\r\n", b"Proxy not implemented for gopher"),
            (b"GET HTTP://127.0.0.1:1/ HTTP/1.0\r\n\r\n", b"Proxy not implemented for HTTP"),
        ]
        for request, text in cases:
            answer = raw_exchange(request)
            expect(answer.startswith(b"HTTP/1.0 502 Bad Gateway\r\n"), "%r answered %r" % (request, answer[:80]))
            if text is not None:
                expect(text in answer, "%r page: %r" % (request, answer))
        expect(silent.accepted == 1, "the server was contacted %d times" % silent.accepted)
    finally:
        proxy.stop()
        silent.close()


def case_one_request_per_connection(binary):
    """A second request on the same connection is read and dropped."""
    server = HttpServer(lambda head, _: b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")
    proxy = start(binary)
    try:
        one = b"GET http://127.0.0.1:%d/first HTTP/1.0\r\n\r\n" % server.port
        two = b"GET http://127.0.0.1:%d/second HTTP/1.0\r\n\r\n" % server.port
        answer = raw_exchange(one + two)
        expect(answer.count(b"HTTP/1.0 200 OK") == 1 and answer.endswith(b"\r\n\r\nok"), "answer: %r" % answer)
        with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=10) as conn:
            conn.sendall(one)
            first = h.recv_until(conn, b"\r\n\r\nok")
            try:
                conn.sendall(two)
            except OSError:
                pass
            rest = h.recv_all(conn, timeout=10)
            expect(first.endswith(b"ok") and rest == b"", "late second request answered: %r" % rest)
        paths = [head.split(b"\r\n")[0] for head, _ in server.requests]
        expect(len(paths) == 2 and all(b"/first " in p for p in paths), "server saw %r" % paths)
    finally:
        proxy.stop()
        server.close()


def case_own_site(binary):
    """The gateway's own pages are answered on the same port, whether asked
    for directly or through the gateway as a proxy."""
    proxy = start(binary)
    try:
        result = curl("-D", "-", GATEWAY + "/")
        expect(result.returncode == 0 and result.stdout.startswith(b"HTTP/1.1 200 OK\r\n"), "direct: %r" % result.stdout[:80])
        expect(b"<TITLE>Welcome to the Moatkeep</TITLE>" in result.stdout, "direct page: %r" % result.stdout)
        for url in (GATEWAY + "/welcome.html", "http://localhost:%d/" % HTTP_PORT):
            status, _, body = curl_proxy(url)
            expect(status.endswith(" 200 OK") and b"<TITLE>Welcome to the Moatkeep</TITLE>" in body, "%s: %r %r" % (url, status, body))
        result = curl("-D", "-", GATEWAY + "/no-such-page.html")
        expect(b" 404 Not Found\r\n" in result.stdout, "missing page: %r" % result.stdout[:80])
        expect(len(proxy.matching(r"Error: .*")) == 0, "errors logged: %r" % proxy.log())
    finally:
        proxy.stop()


def case_restrictions(binary):
    """Forwarded requests pass the access restrictions; a refusal is a 403
    page and the server is never contacted."""
    allowed = HttpServer(lambda head, _: b"HTTP/1.0 200 OK\r\nContent-Length: 7\r\n\r\nallowed")
    other = HttpServer(lambda head, _: b"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nother")
    proxy = start(binary, security=[("0.0.0.0", "127.0.0.1:%d" % allowed.port)])
    try:
        status, _, body = curl_proxy("http://127.0.0.1:%d/" % allowed.port)
        expect(status.endswith(" 200 OK") and body == b"allowed", "allowed: %r %r" % (status, body))
        status, _, body = curl_proxy("http://127.0.0.1:%d/" % other.port)
        expect(status.endswith(" 403 Forbidden"), "denied status: %r" % status)
        expect(b"Connection denied to http://127.0.0.1:%d/" % other.port in body, "denied page: %r" % body)
        expect(other.accepted == 0, "denied server was contacted")
        proxy.wait_log(r"Warning: Connection denied from \S+:%d to \S+:%d\." % (HTTP_PORT, other.port))
        # The site itself is not a forwarded request.
        result = curl("-D", "-", GATEWAY + "/")
        expect(b" 200 OK\r\n" in result.stdout, "site behind restrictions: %r" % result.stdout[:80])
    finally:
        proxy.stop()
        allowed.close()
        other.close()


def case_slow_request(binary):
    """A client trickling its request is cut off by the request's time bound
    with the 400 page, while other clients are served meanwhile."""
    server = HttpServer(lambda head, _: b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")
    proxy = start(binary)
    try:
        conn = socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=10)
        request = b"GET http://127.0.0.1:%d/ HTTP/1.0\r\n" % server.port + b"X-Slow: " + b"a" * 200
        began = time.monotonic()
        answer = b""
        conn.settimeout(0.5)
        for byte in request:
            try:
                conn.sendall(bytes([byte]))
                part = conn.recv(65536)
                if part:
                    answer += part
                    break
            except socket.timeout:
                pass
            except OSError:
                break
            if time.monotonic() - began > 90:
                break
        answer += h.recv_all(conn, timeout=10)
        conn.close()
        expect(answer.startswith(b"HTTP/1.0 400 Bad Request\r\n") and b"Request not complete in time." in answer,
               "trickling client got %r" % answer[:200])
        expect(server.accepted == 0, "a trickled request reached the server")
        status, _, body = curl_proxy("http://127.0.0.1:%d/" % server.port)
        expect(status.endswith(" 200 OK") and body == b"ok", "agent after a slow client: %r" % status)
    finally:
        proxy.stop()
        server.close()


def case_hostile_clients(binary):
    """Oversized request lines and headers get the 400 page; resets,
    garbage and silent clients end their own connections only."""
    server = HttpServer(lambda head, _: b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")
    proxy = start(binary)
    try:
        oversized = [
            b"GET http://127.0.0.1:1/" + b"a" * 20000 + b" HTTP/1.0\r\n\r\n",
            b"GET / HTTP/1.0\r\n" + b"".join(b"X-Field-%d: %s\r\n" % (i, b"v" * 1000) for i in range(100)) + b"\r\n",
            b"POST / HTTP/1.0\r\nContent-Length: 99999999999\r\n\r\n",
        ]
        for request in oversized:
            with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=10) as conn:
                try:
                    conn.sendall(request)
                except OSError:
                    pass
                answer = h.recv_all(conn, timeout=30)
            expect(answer.startswith(b"HTTP/1.0 400 Bad Request\r\n"), "oversized request: %r" % answer[:100])
        silent = [socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=5) for _ in range(10)]
        for _ in range(20):
            conn = socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=5)
            conn.sendall(b"GET http://127.0.0.1:%d/ HTT" % server.port)
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            conn.close()  # reset
        for garbage in (bytes(range(256)) * 64, b"\r\n" * 5000, b"\x00" * 9000):
            with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=10) as conn:
                try:
                    conn.sendall(garbage)
                    h.recv_all(conn, timeout=30)
                except OSError:
                    pass
        status, _, body = curl_proxy("http://127.0.0.1:%d/" % server.port)
        expect(status.endswith(" 200 OK") and body == b"ok", "agent after hostile clients: %r" % status)
        for conn in silent:
            conn.close()
        expect(proxy.process.poll() is None, "service ended")
    finally:
        proxy.stop()
        server.close()


def header_lines(head):
    """The header lines of a request or answer head, without the first line."""
    return head.split(b"\r\n")[1:]


def has_header(head, name):
    return any(line.lower().startswith(name.lower() + b":") for line in header_lines(head))


def case_origin_form(binary):
    """Python's http.server as the origin: it answers only requests in origin
    form. The request line carries the path and query, and a Host header is
    added when the client sent none (with the port unless it is 80)."""
    directory = tempfile.mkdtemp(prefix="moatkeep-origin-")
    with open(os.path.join(directory, "page.txt"), "wb") as page:
        page.write(b"served by http.server\n")
    origin_port = h.free_port()
    origin = subprocess.Popen([sys.executable, "-m", "http.server", str(origin_port), "--bind", "127.0.0.1",
                               "--directory", directory], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    recorder = HttpServer(lambda head, _: b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")
    default_port = HttpServer(lambda head, _: b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", port=80)
    proxy = start(binary)
    try:
        expect(h.wait_until(lambda: h.can_connect(origin_port), 15), "http.server did not start")
        status, _, body = curl_proxy("http://127.0.0.1:%d/page.txt" % origin_port)
        expect(status.endswith(" 200 OK") and body == b"served by http.server\n",
               "http.server through the gateway: %r %r" % (status, body[:200]))

        cases = [
            (recorder, b"GET http://127.0.0.1:%d/a/b.html?q=1&r=a%%20b HTTP/1.0\r\n\r\n" % recorder.port,
             b"GET /a/b.html?q=1&r=a%20b HTTP/1.0", b"127.0.0.1:%d" % recorder.port),
            (recorder, b"HEAD http://127.0.0.1:%d HTTP/1.0\r\n\r\n" % recorder.port,
             b"HEAD / HTTP/1.0", b"127.0.0.1:%d" % recorder.port),
            (default_port, b"GET http://127.0.0.1/x HTTP/1.0\r\n\r\n", b"GET /x HTTP/1.0", b"127.0.0.1"),
            (recorder, b"GET http://127.0.0.1:%d/y HTTP/1.0\r\nHost: named.example\r\n\r\n" % recorder.port,
             b"GET /y HTTP/1.0", b"named.example"),
        ]
        for server, request, line, host in cases:
            answer = raw_exchange(request)
            expect(answer.startswith(b"HTTP/1.0 200 OK\r\n"), "%r answered %r" % (request, answer[:100]))
            head, _ = server.requests[-1]
            expect(head.split(b"\r\n")[0] == line, "request line for %r: %r" % (request, head[:100]))
            hosts = [l.split(b":", 1)[1].strip() for l in header_lines(head) if l.lower().startswith(b"host:")]
            expect(hosts == [host], "Host for %r: %r" % (request, hosts))
    finally:
        proxy.stop()
        origin.terminate()
        origin.wait(timeout=10)
        shutil.rmtree(directory, ignore_errors=True)
        recorder.close()
        default_port.close()


def case_hop_by_hop(binary):
    """Headers of one hop stay behind in both directions, those named by
    Connection too; the gateway adds its Via to both."""
    def answer(head, _):
        return (b"HTTP/1.0 200 OK\r\nConnection: keep-alive, X-Server-Hop\r\nKeep-Alive: timeout=5\r\n"
                b"X-Server-Hop: 1\r\nProxy-Connection: keep-alive\r\nUpgrade: h2c\r\nTrailer: X-T\r\n"
                b"X-Server-End: 1\r\nContent-Length: 2\r\n\r\nok")

    server = HttpServer(answer)
    proxy = start(binary)
    try:
        dropped = [b"Connection: close, X-Client-Hop", b"X-Client-Hop: 1", b"Keep-Alive: 300",
                   b"Proxy-Connection: keep-alive", b"Proxy-Authorization: Basic dXNlcjpwYXNz", b"TE: trailers",
                   b"Trailer: X-Checksum", b"Upgrade: websocket"]
        request = (b"GET http://127.0.0.1:%d/hop HTTP/1.0\r\n" % server.port + b"\r\n".join(dropped) +
                   b"\r\nX-Client-End: kept\r\nVia: 1.1 upstream.example\r\n\r\n")
        answer = raw_exchange(request)
        head, _ = server.requests[0]
        for line in dropped:
            name = line.split(b":")[0]
            expect(not has_header(head, name), "%r reached the server: %r" % (name, head))
        expect(has_header(head, b"X-Client-End"), "an end-to-end header was dropped: %r" % head)
        via = [l for l in header_lines(head) if l.lower().startswith(b"via:")]
        expect(len(via) == 1 and re.match(rb"(?i)via:\s*1\.1 upstream\.example,\s*1\.0 \S+$", via[0]),
               "Via at the server: %r" % via)

        answer_head, _, body = answer.partition(b"\r\n\r\n")
        expect(answer_head.startswith(b"HTTP/1.0 200 OK") and body == b"ok", "answer: %r" % answer)
        for name in (b"Connection", b"Keep-Alive", b"X-Server-Hop", b"Proxy-Connection", b"Upgrade", b"Trailer"):
            expect(not has_header(answer_head, name), "%r reached the client: %r" % (name, answer_head))
        expect(has_header(answer_head, b"X-Server-End"), "an end-to-end header was dropped: %r" % answer_head)
        expect(re.search(rb"(?im)^via:\s*1\.0 \S+\r?$", answer_head), "no Via in the answer: %r" % answer_head)
    finally:
        proxy.stop()
        server.close()


def case_chunked_request(binary):
    """A request body framed by Transfer-Encoding is refused, never forwarded."""
    server = HttpServer(lambda head, _: b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")
    proxy = start(binary)
    try:
        result = curl("-x", GATEWAY, "-D", "-", "-H", "Transfer-Encoding: chunked", "--data-binary", "name=value",
                      "http://127.0.0.1:%d/upload" % server.port)
        expect(result.returncode == 0, "curl failed: %r" % result.stderr)
        expect(re.match(rb"HTTP/1\.[01] 501 Not Implemented\r\n", result.stdout), "chunked post: %r" % result.stdout[:200])
        # Both framings at once: still refused, whatever the length says.
        answer = raw_exchange(b"POST http://127.0.0.1:%d/upload HTTP/1.0\r\nContent-Length: 5\r\n"
                              b"Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n" % server.port)
        expect(answer.startswith(b"HTTP/1.0 501 Not Implemented\r\n"), "both framings: %r" % answer[:200])
        expect(server.accepted == 0, "a chunked request reached the server")
    finally:
        proxy.stop()
        server.close()


def case_loop(binary):
    """A request that comes back through the gateway's own relay is refused
    with 508 at its second pass, and is forwarded no further."""
    relay_port = 18023
    recorder = HttpServer(lambda head, _: b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")
    proxy = h.Moatkeep(binary, h.ini(HTTP_PORT, [(str(relay_port), "127.0.0.1:%d" % HTTP_PORT)])).start_debug()
    try:
        proxy.wait_log(r"Warning: Proxies started\.")
        result = curl("-x", GATEWAY, "-D", "-", "http://127.0.0.1:%d/welcome.html" % relay_port)
        expect(result.returncode == 0, "curl failed (%d): %r" % (result.returncode, result.stderr))
        expect(re.match(rb"HTTP/1\.[01] 508 Loop Detected\r\n", result.stdout), "looped request: %r" % result.stdout[:300])
        expect(b"loop" in result.stdout.lower(), "the page does not say why: %r" % result.stdout)
        time.sleep(1)
        passes = proxy.matching(r"Information: .* started from .*")
        expect(len(passes) == 1, "the relay carried the request %d times: %r" % (len(passes), passes))

        # A request that already names this gateway in its Via is refused
        # before anything is sent on.
        raw_exchange(b"GET http://127.0.0.1:%d/first HTTP/1.0\r\n\r\n" % recorder.port)
        head, _ = recorder.requests[0]
        via = [l.split(b":", 1)[1].strip() for l in header_lines(head) if l.lower().startswith(b"via:")]
        expect(len(via) == 1, "no Via at the server: %r" % head)
        answer = raw_exchange(b"GET http://127.0.0.1:%d/again HTTP/1.0\r\nVia: 1.1 other.example, %s\r\n\r\n"
                              % (recorder.port, via[0]))
        expect(answer.startswith(b"HTTP/1.0 508 Loop Detected\r\n"), "our own Via: %r" % answer[:200])
        # Ours on a line of its own, before another hop's line.
        answer = raw_exchange(b"GET http://127.0.0.1:%d/again HTTP/1.0\r\nVia: %s\r\nVia: 1.1 other.example\r\n\r\n"
                              % (recorder.port, via[0]))
        expect(answer.startswith(b"HTTP/1.0 508 Loop Detected\r\n"), "our Via on an earlier line: %r" % answer[:200])
        expect(recorder.accepted == 1, "the looped request was forwarded")
    finally:
        proxy.stop()
        recorder.close()


def start_http_server(directory):
    """Python's http.server on a free port, serving directory."""
    port = h.free_port()
    server = subprocess.Popen([sys.executable, "-m", "http.server", str(port), "--bind", "127.0.0.1",
                               "--directory", directory], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    expect(h.wait_until(lambda: h.can_connect(port), 15), "http.server did not start")
    return server, port


def case_trailing_slash(binary):
    """A directory's trailing "/" reaches the origin: http.server lists the
    directory instead of redirecting to the same URL for ever, and the
    request line keeps the "/" for absolute paths with a query too."""
    directory = tempfile.mkdtemp(prefix="moatkeep-origin-")
    os.makedirs(os.path.join(directory, "dir", "sub"))
    with open(os.path.join(directory, "dir", "listed-file.txt"), "wb") as page:
        page.write(b"listed\n")
    origin = None
    recorder = HttpServer(lambda head, _: b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")
    proxy = start(binary)
    try:
        origin, origin_port = start_http_server(directory)
        for path in ("/dir/", "/dir/sub/"):
            result = curl("-x", GATEWAY, "-D", "-", "-L", "--max-redirs", "3",
                          "http://127.0.0.1:%d%s" % (origin_port, path))
            expect(result.returncode == 0, "%s: curl failed (%d): %s" % (path, result.returncode, result.stderr.decode()))
            statuses = re.findall(rb"(?m)^HTTP/1\.[01] (\d+)", result.stdout)
            expect(statuses == [b"200"], "%s: statuses through the gateway %r" % (path, statuses))
        result = curl("-x", GATEWAY, "http://127.0.0.1:%d/dir/" % origin_port)
        expect(b"listed-file.txt" in result.stdout and b"sub/" in result.stdout,
               "no directory listing: %r" % result.stdout[:300])
        # Without the "/" http.server redirects to the URL with it.
        status, headers, _ = curl_proxy("http://127.0.0.1:%d/dir" % origin_port)
        expect(status.endswith(" 301 Moved Permanently") and header_value(headers, "Location") == "/dir/",
               "directory without its slash: %r %r" % (status, headers))

        for target, line in ((b"/a/b/", b"GET /a/b/ HTTP/1.0"), (b"/a/?x=1", b"GET /a/?x=1 HTTP/1.0"),
                             (b"/x//y//", b"GET /x//y// HTTP/1.0")):
            answer = raw_exchange(b"GET http://127.0.0.1:%d%s HTTP/1.0\r\n\r\n" % (recorder.port, target))
            expect(answer.startswith(b"HTTP/1.0 200 OK\r\n"), "%r answered %r" % (target, answer[:100]))
            head, _ = recorder.requests[-1]
            expect(head.split(b"\r\n")[0] == line, "request line for %r: %r" % (target, head[:100]))
        # The gateway's own pages are found as ever, its root among them.
        for path in ("/", "/globals.html", "/remote1.html"):
            result = curl("-o", "/dev/null", "-w", "%{http_code}", "-u", "admin:pebble", GATEWAY + path)
            expect(result.stdout == b"200", "site page %s: %r" % (path, result.stdout))
    finally:
        proxy.stop()
        if origin is not None:
            origin.terminate()
            origin.wait(timeout=10)
        shutil.rmtree(directory, ignore_errors=True)
        recorder.close()


def case_repeated_fields(binary):
    """Every line of a repeated field passes in both directions, in its
    order: the origin's Set-Cookie lines reach the client one by one, the
    client's repeated lines reach the origin, an earlier proxy's Via line is
    kept beside ours."""
    def answer(head, _):
        return (b"HTTP/1.0 200 OK\r\nSet-Cookie: first=1; Path=/\r\nContent-Type: text/plain\r\n"
                b"Set-Cookie: second=2; Expires=Wed, 09 Jun 2021 10:18:14 GMT\r\nX-Multi: a\r\n"
                b"Set-Cookie: third=3\r\nX-Multi: b\r\nVia: 1.1 behind-origin\r\nContent-Length: 2\r\n\r\nok")

    server = HttpServer(answer)
    proxy = start(binary)
    try:
        request = (b"GET http://127.0.0.1:%d/cookies HTTP/1.0\r\nAccept: text/plain\r\nVia: 1.1 first-proxy\r\n"
                   b"Accept: text/html\r\nVia: 1.0 second-proxy\r\nX-Trace: 1\r\nX-Trace: 2\r\n"
                   b"X-Trace: 3\r\n\r\n" % server.port)
        reply = raw_exchange(request)
        reply_head, _, body = reply.partition(b"\r\n\r\n")
        expect(reply_head.startswith(b"HTTP/1.0 200 OK\r\n") and body == b"ok", "answer: %r" % reply)

        def values(head, name):
            return [l.split(b":", 1)[1].strip() for l in header_lines(head) if l.lower().startswith(name + b":")]

        expect(values(reply_head, b"set-cookie") == [b"first=1; Path=/", b"second=2; Expires=Wed, 09 Jun 2021 10:18:14 GMT",
                                                     b"third=3"], "Set-Cookie at the client: %r" % reply_head)
        expect(values(reply_head, b"x-multi") == [b"a", b"b"], "X-Multi at the client: %r" % reply_head)
        via = values(reply_head, b"via")
        expect(len(via) == 1 and re.match(rb"1\.1 behind-origin, 1\.0 \S+$", via[0]), "Via at the client: %r" % via)

        head, _ = server.requests[0]
        expect(values(head, b"x-trace") == [b"1", b"2", b"3"], "X-Trace at the origin: %r" % head)
        expect(values(head, b"accept") == [b"text/plain", b"text/html"], "Accept at the origin: %r" % head)
        via = values(head, b"via")
        expect(len(via) == 2 and via[0] == b"1.1 first-proxy" and re.match(rb"1\.0 second-proxy, 1\.0 \S+$", via[1]),
               "Via at the origin: %r" % via)

        # curl shows the client's view: each cookie on its own line.
        status, headers, _ = curl_proxy("http://127.0.0.1:%d/again" % server.port)
        expect(len(re.findall(r"(?im)^set-cookie:", headers)) == 3, "curl saw %r" % headers)
    finally:
        proxy.stop()
        server.close()


def case_path_parameters(binary):
    """Path parameters and the path reach the origin as the client wrote
    them, whatever characters they hold."""
    recorder = HttpServer(lambda head, _: b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")
    proxy = start(binary)
    try:
        targets = [b"/doc;a=b", b"/doc;a=b&c=d?q=1", b"/list;jsessionid=AB12:x@y/z", b"/c++/v;x=1+2",
                   b"/a%2Fb;p=%3B", b"/dir/;type=a"]
        for target in targets:
            answer = raw_exchange(b"GET http://127.0.0.1:%d%s HTTP/1.0\r\n\r\n" % (recorder.port, target))
            expect(answer.startswith(b"HTTP/1.0 200 OK\r\n"), "%r answered %r" % (target, answer[:100]))
            head, _ = recorder.requests[-1]
            line = head.split(b"\r\n")[0]
            expect(line == b"GET " + target + b" HTTP/1.0", "request line for %r: %r" % (target, line))
    finally:
        proxy.stop()
        recorder.close()


class EndlessServer(h.Server):
    """Answers every request with a body that does not end, counting what
    it managed to send."""

    def __init__(self):
        self.sent = 0
        super().__init__(self._serve_one)

    def _serve_one(self, conn):
        h.recv_until(conn, b"\r\n\r\n", timeout=20)
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n")
        block = payload(65536)
        began = time.monotonic()
        conn.settimeout(5)
        while self.running and time.monotonic() - began < 120 and self.sent < (2 << 30):
            try:
                conn.sendall(block)
            except socket.timeout:
                continue
            self.sent += len(block)


def stall_a_client(server):
    """A client that asks for the endless answer and reads none of it;
    returns once the gateway can no longer write to it."""
    client = socket.socket()
    client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    client.settimeout(10)
    client.connect(("127.0.0.1", HTTP_PORT))
    client.sendall(b"GET http://127.0.0.1:%d/endless HTTP/1.0\r\n\r\n" % server.port)
    last = -1
    for _ in range(60):
        time.sleep(0.5)
        if server.sent == last and last > 0:
            break
        last = server.sent
    expect(server.sent > 0 and server.sent == last, "the answer never stalled (%d bytes sent)" % server.sent)
    return client


def case_stalled_client_stop(binary):
    """A client that reads nothing of a forwarded answer does not hold up
    the stop."""
    server = EndlessServer()
    proxy = start(binary)
    client = None
    try:
        client = stall_a_client(server)
        proxy.process.terminate()
        proxy.wait_log(r"Warning: Proxies stopped\.", timeout=30)
        expect(h.wait_until(lambda: proxy.process.poll() is not None, 30), "the service did not end")
    finally:
        if client is not None:
            client.close()
        proxy.stop()
        server.close()


def case_stalled_client_pause(binary):
    """Through the built-in service manager: a client that reads nothing of
    a forwarded answer does not hold up the pause."""
    server = EndlessServer()
    proxy = h.Moatkeep(binary, h.ini(HTTP_PORT))
    services = os.path.join(proxy.directory, "services")
    os.makedirs(services)
    env = dict(os.environ, ZUNDER_SERVICE_MANAGER="builtin", ZUNDER_SERVICE_DIR=services)
    installed = False
    client = None

    def state():
        for name in os.listdir(services):
            if name.endswith(".status"):
                with open(os.path.join(services, name)) as status:
                    return status.read().strip()
        return ""

    try:
        expect(proxy.command("install", env).returncode == 0, "install")
        installed = True
        expect(proxy.command("start", env).returncode == 0, "start")
        expect(h.wait_until(lambda: h.can_connect(HTTP_PORT), 15), "HTTP port not open after start")
        client = stall_a_client(server)
        expect(proxy.command("pause", env).returncode == 0, "pause")
        expect(h.wait_until(lambda: state() == "7", 30), "the service did not pause (state %r)" % state())
    finally:
        if client is not None:
            client.close()
        if installed:
            proxy.command("stop", env)
            proxy.command("remove", env)
        proxy.stop()
        server.close()


CASES = {name[len("case_"):]: function for name, function in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    h.run_cases(CASES)
