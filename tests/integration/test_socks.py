"""The SOCKS 4 agent of moatkeep end to end: real clients (curl, nc) and raw
requests for every reply, refusal and protocol error."""
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import moatkeep_harness as h  # noqa: E402

HTTP_PORT = 18082
# Inside the private namespace nothing else holds the agent's port.
SOCKS_PORT = 1080
ERROR_SUFFIX = r"( - error = \d+)?"

GRANTED = bytes([0, 90, 0, 0, 0, 0, 0, 0])
REFUSED = bytes([0, 91, 0, 0, 0, 0, 0, 0])


def ini(security=None, extra_globals=""):
    return h.ini(HTTP_PORT, (), security, extra_globals)


expect = h.expect


def start(binary, text):
    proxy = h.Moatkeep(binary, text).start_debug()
    proxy.wait_log(r"Warning: Proxies started\.")
    proxy.wait_log(r'Information: Opened master socket for service "%s"\.'
                   % re.escape(h.service_name(SOCKS_PORT)))
    return proxy


def request(command, port, address="127.0.0.1", user=b"", version=4):
    return struct.pack("!BBH4s", version, command, port, socket.inet_aton(address)) + user + b"\0"


def socks_connect(command, port, address="127.0.0.1", user=b"", version=4):
    """Sends a request and returns the open connection with its 8-byte reply."""
    conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
    conn.sendall(request(command, port, address, user, version))
    return conn, h.recv_exactly(conn, 8)


def expect_no_reply(conn, what):
    data = h.recv_all(conn, timeout=10)
    expect(data == b"", "%s: got a reply %r" % (what, data))


def echo_through(conn, payload):
    conn.sendall(payload)
    expect(h.recv_until(conn, payload) == payload, "no echo of %r through the link" % payload)


# ---------------------------------------------------------------- cases

def case_curl_http(binary):
    """curl fetches a page from a local web server through the agent."""
    if shutil.which("curl") is None:
        h.skip("curl not installed")
    site = os.path.join(os.path.dirname(os.path.abspath(__file__)))
    web_port = h.free_port()
    web = subprocess.Popen([sys.executable, "-m", "http.server", "--bind", "127.0.0.1", str(web_port)],
                           cwd=site, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    proxy = start(binary, ini())
    try:
        expect(h.wait_until(lambda: h.can_connect(web_port), timeout=15), "web server did not start")
        result = subprocess.run(["curl", "--silent", "--show-error", "--max-time", "30",
                                 "--socks4", "127.0.0.1:%d" % SOCKS_PORT,
                                 "http://127.0.0.1:%d/test_socks.py" % web_port],
                                capture_output=True, timeout=60)
        expect(result.returncode == 0, "curl failed: %r" % result.stderr)
        with open(os.path.join(site, "test_socks.py"), "rb") as source:
            expect(result.stdout == source.read(), "page differs from the file served")
        proxy.wait_log(r'Information: SOCKS link by "[^"]*" started from "[^"]+" to "[^"]+"\.')
        proxy.wait_log(r'Information: SOCKS link by "[^"]*" closed \(sent \d+ bytes, received \d+ bytes\)\.')
    finally:
        proxy.stop()
        web.terminate()
        web.wait(timeout=10)


def case_nc_connect(binary):
    """OpenBSD netcat's SOCKS 4 client talks to an echo server through the agent."""
    nc = shutil.which("nc")
    if nc is None or b"-X" not in subprocess.run([nc, "-h"], capture_output=True, timeout=10).stderr:
        h.skip("OpenBSD netcat not installed")
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini())
    try:
        result = subprocess.run([nc, "-N", "-w", "10", "-X", "4", "-x", "127.0.0.1:%d" % SOCKS_PORT,
                                 "127.0.0.1", str(echo.port)],
                                input=b"through netcat\n", capture_output=True, timeout=60)
        expect(result.stdout == b"through netcat\n", "nc: %r %r" % (result.stdout, result.stderr))
        proxy.wait_log(r'Information: SOCKS link by "[^"]*" closed \(sent 15 bytes, received 15 bytes\)\.')
    finally:
        proxy.stop()
        echo.close()


def case_connect_granted(binary):
    """A granted CONNECT: the exact reply, the link, its log lines with the user id."""
    echo = h.Server(h.echo_handler)
    # A short request time-out, so that the pause below outlasts it.
    proxy = start(binary, ini(extra_globals="SOCKS Timeout=1\n"))
    try:
        conn, reply = socks_connect(1, echo.port, user=b"tester")
        expect(reply == GRANTED, "reply %r" % reply)
        echo_through(conn, b"hello through socks")
        conn.close()
        proxy.wait_log(r'Information: SOCKS link by "tester" started from "[^"]+" to "[^"]+"\.')
        proxy.wait_log(r'Information: SOCKS link by "tester" closed \(sent 19 bytes, received 19 bytes\)\.')
        # An empty user id, and the longest one taken.
        conn, reply = socks_connect(1, echo.port)
        expect(reply == GRANTED, "reply for an empty user id: %r" % reply)
        echo_through(conn, b"x")
        conn.close()
        proxy.wait_log(r'Information: SOCKS link by "" closed \(sent 1 bytes, received 1 bytes\)\.')
        conn, reply = socks_connect(1, echo.port, user=b"u" * 1024)
        expect(reply == GRANTED, "reply for the longest user id: %r" % reply)
        echo_through(conn, b"x")
        conn.close()
        # The log cuts such a line short; its start and close are both there.
        proxy.wait_log(r'Information: SOCKS link by "u{200}.*', count=2)
        # Nobody listens there: refused after the grants.
        closed_port = h.free_port()
        conn, reply = socks_connect(1, closed_port)
        expect(reply == REFUSED, "connect failure: %r" % reply)
        expect(h.recv_all(conn, timeout=10) == b"", "failed connection stays open")
        conn.close()
        proxy.wait_log(r'Error: Connect failed to "[^"]+" for SOCKS server: Connection refused%s' % ERROR_SUFFIX)
        # Once the request is in, the request's time-out (1 s) no longer
        # applies: the link outlives a pause of more than twice as long.
        conn, reply = socks_connect(1, echo.port, user=b"idle")
        expect(reply == GRANTED, "reply %r" % reply)
        time.sleep(2.5)
        echo_through(conn, b"after a pause")
        conn.close()
    finally:
        proxy.stop()
        echo.close()


def case_connect_refused(binary):
    """Refusals by the restrictions, also after grants."""
    allowed = h.Server(h.echo_handler)
    other = h.Server(h.echo_handler)
    proxy = start(binary, ini(security=[("0.0.0.0", "127.0.0.1:%d" % allowed.port)]))
    try:
        for _ in range(2):
            conn, reply = socks_connect(1, allowed.port, user=b"ok")
            expect(reply == GRANTED, "allowed: %r" % reply)
            echo_through(conn, b"allowed")
            conn, reply = socks_connect(1, other.port, user=b"no")
            expect(reply == REFUSED, "denied after a grant: %r" % reply)
            expect(h.recv_all(conn, timeout=10) == b"", "denied connection stays open")
            conn.close()
        expect(other.accepted == 0, "denied destination was contacted")
        # The originator is the agent's own port, not the client's.
        proxy.wait_log(r"Warning: Connection denied from \S+:%d to \S+:%d\.%s"
                       % (SOCKS_PORT, other.port, ERROR_SUFFIX), count=2)
        # A denied client gets its refusal before the command is looked at.
        conn, reply = socks_connect(3, other.port)
        expect(reply == REFUSED, "denied with an invalid command: %r" % reply)
        conn.close()
    finally:
        proxy.stop()
        allowed.close()
        other.close()


def case_wrong_version(binary):
    """Another version is logged with what came and closed without a reply
    (5 is SOCKS 5 now, so 3 and 6 stand beside 0 and 255)."""
    proxy = start(binary, ini())
    try:
        for version in (3, 6, 0, 255):
            conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
            conn.sendall(request(1, 80, version=version))
            expect_no_reply(conn, "version %d" % version)
            conn.close()
            proxy.wait_log(r"Error: SOCKS protocol error: wrong version, got %d, require 4%s"
                           % (version, ERROR_SUFFIX))
    finally:
        proxy.stop()


def case_invalid_command(binary):
    """An allowed request with an unknown command gets no reply."""
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini())
    try:
        for command in (0, 3, 255):
            conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
            conn.sendall(request(command, echo.port, user=b"cmd"))
            expect_no_reply(conn, "command %d" % command)
            conn.close()
        proxy.wait_log(r"Error: SOCKS protocol error: invalid command%s" % ERROR_SUFFIX, count=3)
        expect(echo.accepted == 0, "an invalid command reached the destination")
    finally:
        proxy.stop()
        echo.close()


def case_bind(binary):
    """BIND on a chosen port: one reply once a host connected in, then the link."""
    proxy = start(binary, ini())
    bind_port = 2000
    try:
        conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
        conn.sendall(request(2, bind_port, address="127.0.0.2", user=b"binder"))
        expect(h.wait_until(lambda: _listening(bind_port), timeout=10), "nothing listens on the bound port")
        peer = h.wait_until(lambda: _connect_from(bind_port, "127.0.0.2"), timeout=10)
        expect(peer, "could not connect in")
        reply = h.recv_exactly(conn, 8)
        expect(reply == bytes([0, 90, 0x07, 0xD0, 127, 0, 0, 2]), "bind reply %r" % reply)
        peer.close()
        expect(h.recv_all(conn, timeout=10) == b"", "link of the peer stays open")
        conn.close()

        # The first link's sockets on the port close just after its client saw
        # the end: the next BIND (listening without address reuse) waits for that.
        expect(h.wait_until(lambda: _port_free(bind_port), timeout=10), "port %d still in use" % bind_port)
        # Now a peer that talks; the client speaks early.
        conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
        conn.sendall(request(2, bind_port, address="127.0.0.3", user=b"binder"))
        conn.sendall(b"early")
        peer = h.wait_until(lambda: _connect_from(bind_port, "127.0.0.3"), timeout=10)
        expect(peer, "could not connect in")
        reply = h.recv_exactly(conn, 8)
        expect(reply == bytes([0, 90, 0x07, 0xD0, 127, 0, 0, 3]), "bind reply %r" % reply)
        expect(h.recv_until(peer, b"early") == b"early", "early data not handed on")
        peer.sendall(b"from the peer")
        expect(h.recv_until(conn, b"from the peer") == b"from the peer", "peer to client")
        conn.sendall(b"to the peer")
        expect(h.recv_until(peer, b"to the peer") == b"to the peer", "client to peer")
        peer.close()
        expect(h.recv_all(conn, timeout=10) == b"", "link did not end with the peer")
        conn.close()
        # What came before the grant counts like every other byte of the link.
        proxy.wait_log(r'Information: SOCKS link by "binder" closed \(sent 16 bytes, received 13 bytes\)\.')
        # Only the listening socket of a BIND: gone once the host is taken.
        expect(h.wait_until(lambda: h.refused(bind_port), timeout=10), "bound port still open")

        # A port already taken cannot be listened on.
        with socket.socket() as holder:
            # The links of the port that just closed may take a moment to go
            # (and linger in TIME_WAIT): they must not keep the holder from
            # taking it.
            holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            expect(h.wait_until(lambda: _bound(holder, bind_port), timeout=20), "port %d stays taken" % bind_port)
            holder.listen(1)
            conn, reply = socks_connect(2, bind_port)
            expect(reply == REFUSED, "bind on a taken port: %r" % reply)
            conn.close()
        proxy.wait_log(r"Error: Listen error on port %d for SOCKS server: Address already in use%s"
                       % (bind_port, ERROR_SUFFIX))

        # A client that leaves ends its wait and frees the port.
        conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
        conn.sendall(request(2, bind_port))
        expect(h.wait_until(lambda: _listening(bind_port), timeout=10), "second bind does not listen")
        conn.close()
        proxy.wait_log(r"Error: Accept error on port %d for SOCKS server: .+" % bind_port)
        expect(h.wait_until(lambda: not _listening(bind_port), timeout=10), "abandoned bind still listens")
    finally:
        proxy.stop()


def _status_row(address):
    """The status page's bytes sent and received of the host (None when not listed)."""
    import base64
    import urllib.request
    page = urllib.request.Request("http://127.0.0.1:%d/control.html" % HTTP_PORT)
    page.add_header("Authorization", "Basic " + base64.b64encode(b"admin:pebble").decode())
    with urllib.request.urlopen(page, timeout=20) as answer:
        body = answer.read().decode("latin-1")
    button = body.find('NAME="%s"' % address)
    if button < 0:
        return None
    row = body[body.upper().rfind("<TR", 0, button):button]
    cells = re.findall(r"<TD[^>]*>([^<]*)", row, re.IGNORECASE)
    return int(cells[2]), int(cells[3])


def case_bind_expected_host(binary):
    """A BIND takes only the host its request names: a stranger who connects
    first is closed without a byte of the client's, the wait goes on, and the
    named host gets the link, the client's early bytes first, all counted."""
    proxy = start(binary, ini(extra_globals="Log Level=3\n"))
    bind_port = 2001
    try:
        conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
        conn.sendall(request(2, bind_port, address="127.0.0.3", user=b"ftp"))
        conn.sendall(b"secret")
        expect(h.wait_until(lambda: _listening(bind_port), timeout=10), "nothing listens on the bound port")
        for source in ("127.0.0.2", "127.0.0.1"):
            stranger = _connect_from(bind_port, source)
            expect(stranger, "could not connect from %s" % source)
            expect(h.recv_all(stranger, timeout=10) == b"", "a stranger from %s was given data" % source)
            stranger.close()
        conn.settimeout(0.5)
        try:
            data = conn.recv(8)
            expect(False, "a reply for a stranger: %r" % data)
        except socket.timeout:
            pass
        peer = _connect_from(bind_port, "127.0.0.3")
        expect(peer, "the named host could not connect in")
        reply = h.recv_exactly(conn, 8)
        expect(reply == bytes([0, 90, bind_port >> 8, bind_port & 255, 127, 0, 0, 3]), "bind reply %r" % reply)
        expect(h.recv_until(peer, b"secret") == b"secret", "early data not handed on")
        peer.sendall(b"reply")
        expect(h.recv_until(conn, b"reply") == b"reply", "peer to client")
        conn.sendall(b"more")
        expect(h.recv_until(peer, b"more") == b"more", "client to peer")
        peer.close()
        expect(h.recv_all(conn, timeout=10) == b"", "link did not end with the peer")
        conn.close()
        proxy.wait_log(r'Information: SOCKS link by "ftp" closed \(sent 10 bytes, received 5 bytes\)\.')
        expect(_status_row("127.0.0.1") == (10, 5), "host counters: %r" % (_status_row("127.0.0.1"),))
    finally:
        proxy.stop()


def case_bind_timeout(binary):
    """Nobody named connects in: after two minutes the client is refused and
    the accept error is logged with the time-out's text."""
    proxy = start(binary, ini())
    bind_port = 2002
    try:
        started = time.monotonic()
        conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
        conn.sendall(request(2, bind_port, address="127.0.0.3"))
        expect(h.wait_until(lambda: _listening(bind_port), timeout=10), "nothing listens on the bound port")
        stranger = _connect_from(bind_port, "127.0.0.2")
        expect(stranger, "could not connect in")
        stranger.close()
        reply = h.recv_exactly(conn, 8, timeout=150)
        waited = time.monotonic() - started
        expect(reply == REFUSED, "reply after the wait: %r" % reply)
        expect(waited > 115, "refused after %.0f s" % waited)
        proxy.wait_log(r"Error: Accept error on port %d for SOCKS server: Connection timed out%s"
                       % (bind_port, ERROR_SUFFIX))
        expect(h.recv_all(conn, timeout=10) == b"", "connection open after the refusal")
        conn.close()
        expect(h.wait_until(lambda: not _listening(bind_port), timeout=10), "the port still listens")
    finally:
        proxy.stop()


def _port_free(port):
    """Whether no TCP socket but those in TIME_WAIT has the port as its own."""
    with open("/proc/net/tcp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == port and fields[3] != "06":
                return False
    return True


def _bound(sock, port):
    try:
        sock.bind(("0.0.0.0", port))
        return True
    except OSError:
        return False


def _connect_from(port, source):
    try:
        conn = socket.socket()
        conn.settimeout(5)
        conn.bind((source, 0))
        conn.connect(("127.0.0.1", port))
        return conn
    except OSError:
        conn.close()
        return None


def _listening(port):
    """Whether a socket listens on the port, without connecting to it."""
    with open("/proc/net/tcp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == port and fields[3] == "0A":
                return True
    return False


def case_short_request(binary):
    """Requests that end early, and a user id beyond the bound."""
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini())
    try:
        full = request(1, echo.port, user=b"abc")
        for length in (0, 1, 2, 3, 5, 8, 10):
            conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
            conn.sendall(full[:length])
            conn.shutdown(socket.SHUT_WR)
            expect_no_reply(conn, "request of %d bytes" % length)
            conn.close()
        # The end of the stream has no system error: the line says what happened.
        proxy.wait_log(r"Error: Protocol read error for SOCKS server: Connection closed by the client", count=7)
        conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
        conn.sendall(request(1, echo.port, user=b"u" * 1025))
        try:
            data = h.recv_all(conn, timeout=10)
        except ConnectionResetError:
            data = b""
        expect(data == b"", "overlong user id answered: %r" % data)
        conn.close()
        proxy.wait_log(r"Error: Protocol read error for SOCKS server: Message too long%s" % ERROR_SUFFIX)
        # A user id that never ends is cut off at the bound too.
        conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
        try:
            conn.sendall(request(1, echo.port)[:8] + b"x" * (1 << 20))
        except OSError:
            pass
        conn.close()
        proxy.wait_log(r"Error: Protocol read error for SOCKS server: Message too long%s" % ERROR_SUFFIX, count=2)
        expect(echo.accepted == 0, "a broken request reached the destination")
        conn, reply = socks_connect(1, echo.port)
        expect(reply == GRANTED, "agent after broken requests: %r" % reply)
        echo_through(conn, b"still there")
        conn.close()
    finally:
        proxy.stop()
        echo.close()


def case_slow_request(binary):
    """A client too slow with its request is closed after the SOCKS time-out."""
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini(extra_globals="SOCKS Timeout=1\n"))
    try:
        for sent in (b"", request(1, echo.port)[:5], request(1, echo.port, user=b"slow")[:-1]):
            began = time.monotonic()
            conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
            conn.sendall(sent)
            expect_no_reply(conn, "slow request of %d bytes" % len(sent))
            took = time.monotonic() - began
            expect(0.8 <= took <= 6, "closed after %.1f s" % took)
            conn.close()
        proxy.wait_log(r"Error: Protocol read error for SOCKS server: Resource temporarily unavailable%s"
                       % ERROR_SUFFIX, count=3)
        expect(echo.accepted == 0, "a slow request reached the destination")
        # Bytes that trickle in are fine as long as the whole request comes
        # within the time-out (here 0.3 s of pauses, room for a loaded machine).
        conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
        for byte in request(1, echo.port, user=b"trickle"):
            conn.sendall(bytes([byte]))
            time.sleep(0.02)
        expect(h.recv_exactly(conn, 8) == GRANTED, "trickled request refused")
        echo_through(conn, b"trickled")
        conn.close()
    finally:
        proxy.stop()
        echo.close()


def case_hostile_clients(binary):
    """Resets, garbage and silent clients end their own connections only."""
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini(extra_globals="SOCKS Timeout=2\n"))
    try:
        for _ in range(20):
            conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=5)
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            conn.close()  # reset
        silent = [socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=5) for _ in range(10)]
        for pattern in (bytes(range(256)) * 16, b"\x04" * 4096, b"\x04\x01" + b"\xff" * 4000):
            conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
            try:
                conn.sendall(pattern)
                h.recv_all(conn, timeout=10)
            except OSError:
                pass
            conn.close()
        conn, reply = socks_connect(1, echo.port)
        expect(reply == GRANTED, "agent after hostile clients: %r" % reply)
        echo_through(conn, b"alive")
        conn.close()
        for conn in silent:
            expect(h.recv_all(conn, timeout=10) == b"", "silent client got a reply")
            conn.close()
        expect(proxy.process.poll() is None, "service ended")
    finally:
        proxy.stop()
        echo.close()


def case_connect_port_zero(binary):
    """A CONNECT to port 0 (as SOCKS 4, 4a and 5) is refused like any
    connection that cannot be made, and the service goes on."""
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini())
    try:
        conn, reply = socks_connect(1, 0)
        expect(reply == REFUSED, "port 0: %r" % reply)
        conn.close()
        conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
        conn.sendall(struct.pack("!BBH4s", 4, 1, 0, bytes([0, 0, 0, 1])) + b"\0localhost\0")
        expect(h.recv_exactly(conn, 8) == REFUSED, "4a port 0")
        conn.close()
        conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
        conn.sendall(b"\x05\x01\x00")
        expect(h.recv_exactly(conn, 2) == b"\x05\x00", "SOCKS 5 method")
        conn.sendall(b"\x05\x01\x00\x01" + socket.inet_aton("127.0.0.1") + b"\x00\x00")
        expect(h.recv_exactly(conn, 10) == b"\x05\x05\x00\x01" + bytes(6), "SOCKS 5 port 0")
        conn.close()
        proxy.wait_log(r'Error: Connect failed to "[^"]+" for SOCKS server: Connection refused%s' % ERROR_SUFFIX,
                       count=3)
        expect(proxy.process.poll() is None, "service ended")
        conn, reply = socks_connect(1, echo.port)
        expect(reply == GRANTED, "after port 0: %r" % reply)
        echo_through(conn, b"still here")
        conn.close()
    finally:
        proxy.stop()
        echo.close()


CASES = {name[len("case_"):]: function for name, function in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    h.run_cases(CASES)
