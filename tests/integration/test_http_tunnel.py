"""HTTPS through the HTTP proxy: CONNECT tunnels of moatkeep's HTTP agent,
against real clients (curl -p, headless Chromium) and a local HTTPS server
whose certificate each case makes with openssl.

    test_http_tunnel.py --binary PATH CASE

Cases:
  curl_https      curl -p -x through the gateway to an https server on 443
                  (the default "Connect Ports"): the page arrives over a
                  verified TLS session, the link's two log lines
  exact_counts    a raw client whose first tunnel bytes ride with its
                  request: the exact answer, the bytes at the server, the
                  half-close, the counts in the close line and on the
                  status page (active while it lasts, the host's bytes)
  refusals        ports not listed (403), an unknown host and a port nobody
                  listens on (502 with a page), a malformed target (400),
                  a tunnel that has passed the gateway before (508); no
                  server contacted where nothing may be connected
  restricted      the access restrictions refuse a tunnel with 403 and the
                  server is never contacted
  http_relay      an "(HTTP)" relay of the relay table tunnels as well
  connect_ports_form
                  the Global Parameters page shows "Connect Ports", refuses
                  what is not a list of ports 1..65535, stores a good list;
                  a tunnel open meanwhile lives through the reload and the
                  new list holds after it
  pause_closes    through the built-in service manager: a pause ends an
                  open tunnel
  browser         headless Chromium with the gateway as its proxy opens an
                  https page
"""
import hashlib
import http.server
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import moatkeep_harness as h  # noqa: E402

HTTP_PORT = 18082
GATEWAY = "http://127.0.0.1:%d" % HTTP_PORT
ESTABLISHED = b"HTTP/1.0 200 Connection established\r\n\r\n"
PAGE = b"<html><head><title>Tunnelled</title></head><body><p id=marker>through the tunnel</p></body></html>"
LOGIN = "admin:pebble"
expect = h.expect


def need(*tools):
    for tool in tools:
        if shutil.which(tool) is None:
            h.skip(tool + " not available")


class Certificate:
    """A self-signed certificate for localhost and 127.0.0.1, made with openssl."""

    def __init__(self):
        need("openssl")
        self.directory = tempfile.mkdtemp(prefix="moatkeep-tls-")
        self.cert = os.path.join(self.directory, "cert.pem")
        self.key = os.path.join(self.directory, "key.pem")
        result = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key,
                                 "-out", self.cert, "-days", "2", "-subj", "/CN=localhost",
                                 "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                                capture_output=True, timeout=60)
        expect(result.returncode == 0, "openssl req: %r" % result.stderr)

    def spki_hash(self):
        """Base64 of the SHA-256 of the public key, as Chromium pins it."""
        public = subprocess.run(["openssl", "x509", "-pubkey", "-noout", "-in", self.cert], capture_output=True,
                                timeout=30, check=True).stdout
        der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "der"], input=public, capture_output=True,
                             timeout=30, check=True).stdout
        import base64
        return base64.b64encode(hashlib.sha256(der).digest()).decode()

    def close(self):
        shutil.rmtree(self.directory, ignore_errors=True)


class HttpsServer:
    """An https server on loopback that answers every GET with PAGE."""

    def __init__(self, certificate, port=443):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(PAGE)))
                self.end_headers()
                self.wfile.write(PAGE)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.server.daemon_threads = True
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(certificate.cert, certificate.key)
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(timeout=5)


def start(binary, extra_globals="", relays=(), security=None):
    proxy = h.Moatkeep(binary, h.ini(HTTP_PORT, relays, security, extra_globals)).start_debug()
    proxy.wait_log(r"Warning: Proxies started\.")
    return proxy


def connect_request(target, port=HTTP_PORT, extra=b"", headers=b""):
    """Sends a CONNECT (and extra bytes in the same write); the socket, the
    answer's head and what came after it in the same reads."""
    conn = socket.create_connection(("127.0.0.1", port), timeout=10)
    conn.sendall(b"CONNECT %s HTTP/1.1\r\nHost: %s\r\n%s\r\n" % (target, target, headers) + extra)
    data = h.recv_until(conn, b"\r\n\r\n", timeout=20)
    head, marker, rest = data.partition(b"\r\n\r\n")
    return conn, head + marker, rest


def echoed(conn, rest, expected):
    """The echo of expected: what came with the answer's head and the rest."""
    return rest + h.recv_exactly(conn, len(expected) - len(rest))


def refusal(target, headers=b""):
    """The whole answer to a CONNECT the gateway refuses."""
    with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=10) as conn:
        conn.sendall(b"CONNECT %s HTTP/1.1\r\nHost: %s\r\n%s\r\n" % (target, target, headers))
        return h.recv_all(conn, timeout=30)


def curl_https(certificate, url, *args):
    return subprocess.run(["curl", "-sS", "--max-time", "30", "-p", "-x", GATEWAY, "--cacert", certificate.cert]
                          + list(args) + [url], capture_output=True, timeout=60)


def site_page(path):
    result = subprocess.run(["curl", "-sS", "--max-time", "20", "-u", LOGIN, GATEWAY + "/" + path],
                            capture_output=True, timeout=30)
    return result.stdout.decode(errors="replace")


def post_globals(fields):
    command = ["curl", "-sS", "-i", "--max-time", "20", "-u", LOGIN,
               "-H", "Origin: http://127.0.0.1:%d" % HTTP_PORT]
    for name, value in fields:
        command += ["--data-urlencode", "%s=%s" % (name, value)]
    raw = subprocess.run(command + [GATEWAY + "/globals.html"], capture_output=True, timeout=30).stdout
    status = re.match(rb"HTTP/1\.\d (\d+)", raw)
    return (int(status.group(1)) if status else 0), raw


def expect_link_lines(proxy, target, sent=None, received=None):
    """The start and close lines of a tunnel's link; the close line's counts."""
    quoted = re.escape('HTTP tunnel to "%s"' % target)
    proxy.wait_log(r'Information: %s started from "localhost" to "localhost"\.' % quoted)
    close = proxy.wait_log(r"Information: %s closed \(sent (\d+) bytes, received (\d+) bytes\)\." % quoted)[-1]
    counts = re.search(r"sent (\d+) bytes, received (\d+) bytes", close)
    counted = int(counts.group(1)), int(counts.group(2))
    if sent is not None:
        expect(counted == (sent, received), "counts %r, expected %r" % (counted, (sent, received)))
    return counted


# ---------------------------------------------------------------- cases

def case_curl_https(binary):
    need("curl")
    certificate = Certificate()
    server = HttpsServer(certificate)
    proxy = start(binary)
    try:
        result = curl_https(certificate, "https://localhost/page.html")
        expect(result.returncode == 0, "curl through the tunnel (%d): %s" % (result.returncode, result.stderr))
        expect(result.stdout == PAGE, "page: %r" % result.stdout)
        sent, received = expect_link_lines(proxy, "localhost:443")
        # A TLS handshake and one request and answer each way, at least.
        expect(sent > 200 and received > len(PAGE), "counts %d/%d" % (sent, received))
        # The plain HTTP proxy on the same port answers as before.
        plain = subprocess.run(["curl", "-sS", "--max-time", "20", "-o", "/dev/null", "-w", "%{http_code}",
                                "-x", GATEWAY, GATEWAY + "/"], capture_output=True, timeout=30)
        expect(plain.stdout == b"200", "the site through the proxy: %r" % plain.stdout)
    finally:
        proxy.stop()
        server.close()
        certificate.close()


def case_exact_counts(binary):
    answer_size = 300000
    server = h.Server(h.answer_after_end_handler(answer_size))
    proxy = start(binary, extra_globals="Connect Ports=%d\n" % server.port)
    conn = None
    try:
        early = b"\x16\x03\x01early bytes with the request" * 10
        later = bytes(range(256)) * 400
        target = b"127.0.0.1:%d" % server.port
        conn, head, rest = connect_request(target, extra=early)
        expect(head == ESTABLISHED and rest == b"", "answer: %r %r" % (head, rest))
        expect(h.wait_until(lambda: "There are no active connections." not in site_page("control.html"), 10),
               "the tunnel is not among the active connections")
        conn.sendall(later)
        # The server answers once our side has ended: the half-close passes.
        conn.shutdown(socket.SHUT_WR)
        answer = h.recv_all(conn, timeout=30)
        digest = hashlib.sha256(early + later).hexdigest().encode() + b"\n"
        expect(answer[:len(digest)] == digest, "the server saw other bytes: %r" % answer[:80])
        expect(len(answer) == len(digest) + answer_size, "answer of %d bytes" % len(answer))
        conn.close()
        conn = None
        sent, received = len(early) + len(later), len(digest) + answer_size
        expect_link_lines(proxy, "127.0.0.1:%d" % server.port, sent, received)
        # Counted into the host registry, and no longer active.
        page = site_page("control.html")
        expect(re.search(r"\b%d\b.*\b%d\b" % (sent, received), page, re.S), "host counts missing: %r" % page)
        expect(h.wait_until(lambda: "There are no active connections." in site_page("control.html"), 10),
               "the tunnel is still listed after it closed")
    finally:
        if conn is not None:
            conn.close()
        proxy.stop()
        server.close()


def case_refusals(binary):
    listening = h.Server(h.echo_handler)
    nobody = h.free_port()
    proxy = start(binary, extra_globals="Connect Ports=443 %d %d\n" % (listening.port, nobody))
    try:
        cases = [
            (b"127.0.0.1:%d" % (listening.port + 1 if listening.port < 65535 else 1), b"",
             b" 403 Forbidden\r\n", b"Tunnels to port %d are not allowed." % (listening.port + 1)),
            (b"nosuch.invalid:443", b"", b" 502 Bad Gateway\r\n", b"Could not resolve nosuch.invalid:443"),
            (b"127.0.0.1:%d" % nobody, b"", b" 502 Bad Gateway\r\n",
             b"Could not connect to 127.0.0.1:%d: Connection refused" % nobody),
            (b"127.0.0.1", b"", b" 400 Bad Request\r\n", b"Malformed CONNECT target 127.0.0.1"),
            (b"http://127.0.0.1:%d" % listening.port, b"", b" 400 Bad Request\r\n", b"Malformed CONNECT target"),
            (b"127.0.0.1:%d" % listening.port, b"Via: 1.0 %s\r\n" % socket.gethostname().encode(),
             b" 508 Loop Detected\r\n", b"has passed this gateway before"),
        ]
        for target, headers, status, text in cases:
            answer = refusal(target, headers)
            first = answer.split(b"\r\n", 1)[0] + b"\r\n"
            expect(first.startswith(b"HTTP/1.1") and first.endswith(status), "%r: %r" % (target, answer[:200]))
            expect(b"Content-Type: text/html" in answer and text in answer.partition(b"\r\n\r\n")[2],
                   "%r: page %r" % (target, answer))
        # Neither the refused port nor the loop reached the listening server.
        expect(listening.accepted == 0, "a refused tunnel was connected")
        proxy.wait_log(r'Warning: HTTP tunnel to "127\.0\.0\.1:\d+" refused: port \d+ is not among the Connect '
                       r'Ports\.')
        proxy.wait_log(r'Error: Connect error for HTTP tunnel to "nosuch\.invalid:443": unknown host\.( - error = \d+)?')
        proxy.wait_log(r'Error: Connect error for HTTP tunnel to "127\.0\.0\.1:%d": Connection refused( - error = \d+)?' % nobody)
        expect(not proxy.matching(r".*HTTP tunnel to .* started .*"), "a refused tunnel was linked")
    finally:
        proxy.stop()
        listening.close()


def case_restricted(binary):
    allowed = h.Server(h.echo_handler)
    other = h.Server(h.echo_handler)
    proxy = start(binary, extra_globals="Connect Ports=%d %d\n" % (allowed.port, other.port),
                  security=[("0.0.0.0", "127.0.0.1:%d" % allowed.port)])
    try:
        conn, head, rest = connect_request(b"127.0.0.1:%d" % allowed.port, extra=b"ping")
        expect(head == ESTABLISHED, "allowed: %r" % head)
        expect(echoed(conn, rest, b"ping") == b"ping", "the allowed tunnel carried nothing")
        conn.close()
        answer = refusal(b"127.0.0.1:%d" % other.port)
        expect(answer.startswith(b"HTTP/1.1 403 Forbidden\r\n"), "denied: %r" % answer[:200])
        expect(b"Connection denied to 127.0.0.1:%d" % other.port in answer, "denied page: %r" % answer)
        expect(other.accepted == 0, "the denied server was contacted")
        proxy.wait_log(r"Warning: Connection denied from \S+:%d to \S+:%d\." % (HTTP_PORT, other.port))
    finally:
        proxy.stop()
        allowed.close()
        other.close()


def case_http_relay(binary):
    echo = h.Server(h.echo_handler)
    relay_port = 18091
    proxy = start(binary, extra_globals="Connect Ports=%d\n" % echo.port, relays=[(str(relay_port), "(HTTP)")])
    try:
        expect(h.wait_until(lambda: h.can_connect(relay_port), 10), "the (HTTP) relay is not open")
        conn, head, rest = connect_request(b"127.0.0.1:%d" % echo.port, port=relay_port, extra=b"via the relay")
        expect(head == ESTABLISHED, "answer: %r" % head)
        expect(echoed(conn, rest, b"via the relay") == b"via the relay", "no echo through the relay's tunnel")
        conn.shutdown(socket.SHUT_WR)
        expect(h.recv_all(conn, timeout=10) == b"", "the end of the stream did not pass")
        conn.close()
        expect_link_lines(proxy, "127.0.0.1:%d" % echo.port, 13, 13)
    finally:
        proxy.stop()
        echo.close()


def case_connect_ports_form(binary):
    need("curl")
    first = h.Server(h.echo_handler)
    second = h.Server(h.echo_handler)
    proxy = start(binary, extra_globals="Connect Ports=%d\n" % first.port)
    conn = None
    try:
        page = site_page("globals.html")
        expect(re.search(r'NAME="Connect Ports"[^>]*VALUE="%d"' % first.port, page, re.I) or
               re.search(r'VALUE="%d"[^>]*NAME="Connect Ports"' % first.port, page, re.I),
               "the field is not on the page: %r" % page)
        before = proxy.read_ini()
        for bad in ("0", "65536", "443,8443", "443 https", "-1"):
            status, raw = post_globals([("Connect Ports", bad)])
            expect(status == 400, "%r accepted: %d" % (bad, status))
            expect(b'The field "Connect Ports" should list port numbers between 1 and 65535' in raw,
                   "message for %r: %r" % (bad, raw[-400:]))
            expect(proxy.read_ini() == before, "written for %r" % bad)

        # A tunnel open across the reload.
        conn, head, _ = connect_request(b"127.0.0.1:%d" % first.port)
        expect(head == ESTABLISHED, "answer: %r" % head)
        status, raw = post_globals([("Connect Ports", " %d  %d " % (first.port, second.port))])
        expect(status == 200 and b"Accepted New Configuration" in raw, "post: %d %r" % (status, raw[-300:]))
        proxy.wait_log(r"Warning: Configuration changed, reloaded\.")
        expect(h.wait_until(lambda: h.can_connect(HTTP_PORT), 10), "the HTTP port did not come back")
        expect(re.search(r"^Connect Ports\s*=\s*%d\s+%d\s*$" % (first.port, second.port), proxy.read_ini(), re.M),
               "not stored: %r" % proxy.read_ini())
        conn.sendall(b"after the reload")
        expect(h.recv_until(conn, b"reload") == b"after the reload", "the tunnel did not live through the reload")
        conn.close()
        conn = None
        conn, head, rest = connect_request(b"127.0.0.1:%d" % second.port, extra=b"new port")
        expect(head == ESTABLISHED, "the new port: %r" % head)
        expect(echoed(conn, rest, b"new port") == b"new port", "no echo on the new port")
        answer = refusal(b"127.0.0.1:443")
        expect(b" 403 Forbidden\r\n" in answer.split(b"\r\n\r\n")[0] + b"\r\n", "443 after the change: %r" % answer)
    finally:
        if conn is not None:
            conn.close()
        proxy.stop()
        first.close()
        second.close()


def case_pause_closes(binary):
    echo = h.Server(h.echo_handler)
    proxy = h.Moatkeep(binary, h.ini(HTTP_PORT, (), None, "Connect Ports=%d\n" % echo.port))
    services = os.path.join(proxy.directory, "services")
    os.makedirs(services)
    env = dict(os.environ, ZUNDER_SERVICE_MANAGER="builtin", ZUNDER_SERVICE_DIR=services)
    installed = False
    conn = None
    try:
        expect(proxy.command("install", env).returncode == 0, "install")
        installed = True
        expect(proxy.command("start", env).returncode == 0, "start")
        expect(h.wait_until(lambda: h.can_connect(HTTP_PORT), 15), "HTTP port not open after start")
        conn, head, rest = connect_request(b"127.0.0.1:%d" % echo.port, extra=b"before")
        expect(head == ESTABLISHED, "answer: %r" % head)
        expect(echoed(conn, rest, b"before") == b"before", "the tunnel carried nothing")
        expect(proxy.command("pause", env).returncode == 0, "pause")
        expect(h.recv_all(conn, timeout=15) == b"", "the pause did not end the tunnel")
    finally:
        if conn is not None:
            conn.close()
        if installed:
            proxy.command("stop", env)
            proxy.command("remove", env)
        proxy.stop()
        echo.close()


def case_browser(binary):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        h.skip("chromium not available")
    certificate = Certificate()
    server = HttpsServer(certificate)
    proxy = start(binary)
    profile = tempfile.mkdtemp(prefix="moatkeep-chromium-")
    try:
        # Only this certificate is taken as valid; loopback goes through the
        # proxy too (browsers bypass it for loopback by default).
        command = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-quic",
                   "--disable-background-networking", "--user-data-dir=" + profile,
                   "--proxy-server=" + GATEWAY, "--proxy-bypass-list=<-loopback>",
                   "--ignore-certificate-errors-spki-list=" + certificate.spki_hash(),
                   "--dump-dom", "https://localhost/tunnelled.html"]
        result = subprocess.run(command, capture_output=True, timeout=90)
        dom = result.stdout.decode(errors="replace")
        expect('<p id="marker">through the tunnel</p>' in dom, "the browser showed: %r" % dom[:600])
        expect_link_lines(proxy, "localhost:443")
    finally:
        shutil.rmtree(profile, ignore_errors=True)
        proxy.stop()
        server.close()
        certificate.close()


CASES = {name[len("case_"):]: function for name, function in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    h.run_cases(CASES)
