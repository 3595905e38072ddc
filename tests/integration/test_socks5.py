"""SOCKS 4a and SOCKS 5 on the agent's port end to end: curl as the client
(--socks4a, --socks5, --socks5-hostname, --proxy-user) and raw sockets for
every reply code, the username/password method, BIND and UDP ASSOCIATE."""
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
from test_socks import _status_row as status_row  # noqa: E402

HTTP_PORT = 18082
SOCKS_PORT = 1080
ERROR_SUFFIX = r"( - error = \d+)?"
expect = h.expect


def ini(security=None, extra_globals="", users=None):
    text = h.ini(HTTP_PORT, (), security, extra_globals)
    if users:
        text += "[SOCKS Users]\n" + "".join("%s=%s\n" % pair for pair in users)
    return text


def start(binary, text):
    proxy = h.Moatkeep(binary, text).start_debug()
    proxy.wait_log(r"Warning: Proxies started\.")
    proxy.wait_log(r'Information: Opened master socket for service "%s"\.'
                   % re.escape(h.service_name(SOCKS_PORT)))
    return proxy


def need(tool):
    if shutil.which(tool) is None:
        h.skip("%s not installed" % tool)


def ipv4(address, port):
    return b"\x01" + socket.inet_aton(address) + struct.pack("!H", port)


def domain(name, port):
    return b"\x03" + bytes([len(name)]) + name + struct.pack("!H", port)


def reply(code, address="0.0.0.0", port=0):
    return bytes([5, code, 0, 1]) + socket.inet_aton(address) + struct.pack("!H", port)


def negotiate(methods=b"\x00", credentials=None):
    """Connects and settles the method (and the credentials); answers the
    connection and the method the agent chose (and the status byte)."""
    conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
    conn.sendall(b"\x05" + bytes([len(methods)]) + methods)
    choice = h.recv_exactly(conn, 2)
    status = None
    if credentials is not None and choice == b"\x05\x02":
        user, password = credentials
        conn.sendall(b"\x01" + bytes([len(user)]) + user + bytes([len(password)]) + password)
        status = h.recv_exactly(conn, 2)
    return conn, choice, status


def request(conn, command, address_bytes):
    conn.sendall(bytes([5, command, 0]) + address_bytes)
    return h.recv_exactly(conn, 10)


def echo_through(conn, payload):
    conn.sendall(payload)
    expect(h.recv_until(conn, payload) == payload, "no echo of %r through the link" % payload)


def closed_without_more(conn, what):
    try:
        data = h.recv_all(conn, timeout=10)
    except ConnectionResetError:
        data = b""
    expect(data == b"", "%s: got %r after the reply" % (what, data))


def curl(*arguments):
    return subprocess.run(["curl", "--silent", "--show-error", "--max-time", "30"] + list(arguments),
                          capture_output=True, timeout=60)


def web_server():
    site = os.path.dirname(os.path.abspath(__file__))
    port = h.free_port()
    web = subprocess.Popen([sys.executable, "-m", "http.server", "--bind", "127.0.0.1", str(port)],
                           cwd=site, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    expect(h.wait_until(lambda: h.can_connect(port), timeout=15), "web server did not start")
    with open(os.path.join(site, "test_socks5.py"), "rb") as source:
        return web, port, source.read()


# ---------------------------------------------------------------- cases

def case_curl_clients(binary):
    """curl through SOCKS 4a, SOCKS 5 and SOCKS 5 with names resolved by the
    gateway: the page arrives whole and the link lines name no user."""
    need("curl")
    proxy = start(binary, ini())
    web, port, page = web_server()
    try:
        for option, host in (("--socks4a", "localhost"), ("--socks5", "127.0.0.1"),
                             ("--socks5-hostname", "localhost")):
            result = curl(option, "127.0.0.1:%d" % SOCKS_PORT, "http://%s:%d/test_socks5.py" % (host, port))
            expect(result.returncode == 0, "curl %s failed: %r" % (option, result.stderr))
            expect(result.stdout == page, "curl %s: page differs from the file served" % option)
        proxy.wait_log(r'Information: SOCKS link by "" started from "[^"]+" to "[^"]+"\.', count=3)
        proxy.wait_log(r'Information: SOCKS link by "" closed \(sent \d+ bytes, received \d+ bytes\)\.', count=3)
        # A name nobody knows: refused, with a line that names it.
        for option, code in (("--socks4a", 97), ("--socks5-hostname", 97)):
            result = curl(option, "127.0.0.1:%d" % SOCKS_PORT, "http://no-such-host.invalid:%d/" % port)
            expect(result.returncode != 0, "curl %s reached an unknown host" % option)
        proxy.wait_log(r'Error: Host "no-such-host\.invalid" not found for SOCKS server\.%s' % ERROR_SUFFIX,
                       count=2)
    finally:
        proxy.stop()
        web.terminate()
        web.wait()


def case_nc_socks5(binary):
    """OpenBSD netcat's SOCKS 5 client (ssh's usual proxy command), by
    address and by a name the gateway resolves."""
    nc = shutil.which("nc")
    if nc is None or b"-X" not in subprocess.run([nc, "-h"], capture_output=True, timeout=10).stderr:
        h.skip("OpenBSD netcat not installed")
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini())
    try:
        for host in ("127.0.0.1", "localhost"):
            result = subprocess.run([nc, "-N", "-w", "10", "-X", "5", "-x", "127.0.0.1:%d" % SOCKS_PORT,
                                     host, str(echo.port)],
                                    input=b"through netcat 5\n", capture_output=True, timeout=60)
            expect(result.stdout == b"through netcat 5\n", "nc to %s: %r %r" % (host, result.stdout, result.stderr))
        proxy.wait_log(r'Information: SOCKS link by "" closed \(sent 17 bytes, received 17 bytes\)\.', count=2)
    finally:
        proxy.stop()
        echo.close()


def case_proxy_user(binary):
    """With "SOCKS Users" listed only username/password passes: curl with
    --proxy-user gets through, a wrong password or no credentials do not; the
    log names user and originator, never the password."""
    need("curl")
    proxy = start(binary, ini(users=[("alice", "Wonder land"), ("bob", "builder")]))
    web, port, page = web_server()
    url = "http://127.0.0.1:%d/test_socks5.py" % port
    try:
        result = curl("--socks5", "127.0.0.1:%d" % SOCKS_PORT, "--proxy-user", "alice:Wonder land", url)
        expect(result.returncode == 0 and result.stdout == page, "alice refused: %r" % result.stderr)
        proxy.wait_log(r'Information: SOCKS link by "alice" started from "[^"]+" to "[^"]+"\.')
        proxy.wait_log(r'Information: SOCKS link by "alice" closed \(sent \d+ bytes, received \d+ bytes\)\.')
        # User names are the store's keys, which know no case.
        result = curl("--socks5-hostname", "127.0.0.1:%d" % SOCKS_PORT, "--proxy-user", "BOB:builder",
                      "http://localhost:%d/test_socks5.py" % port)
        expect(result.returncode == 0 and result.stdout == page, "BOB refused: %r" % result.stderr)
        proxy.wait_log(r'Information: SOCKS link by "BOB" closed \(sent \d+ bytes, received \d+ bytes\)\.')

        result = curl("--socks5", "127.0.0.1:%d" % SOCKS_PORT, "--proxy-user", "alice:wonder land", url)
        expect(result.returncode != 0, "a wrong password got through")
        proxy.wait_log(r'Warning: SOCKS 5 authentication failed for user "alice" from "[^"]+"\.%s' % ERROR_SUFFIX)
        result = curl("--socks5", "127.0.0.1:%d" % SOCKS_PORT, "--proxy-user", "mallory:builder", url)
        expect(result.returncode != 0, "an unknown user got through")
        proxy.wait_log(r'Warning: SOCKS 5 authentication failed for user "mallory" from "[^"]+"\.%s'
                       % ERROR_SUFFIX)
        result = curl("--socks5", "127.0.0.1:%d" % SOCKS_PORT, url)
        expect(result.returncode != 0, "no credentials got through")
        proxy.wait_log(r'Warning: SOCKS 5 client "[^"]+" refused: no acceptable authentication method offered\.%s'
                       % ERROR_SUFFIX)

        # SOCKS 4 and 4a carry no password: with users listed they would be a
        # way round the logins, so they are refused.
        for option in ("--socks4", "--socks4a"):
            result = curl(option, "127.0.0.1:%d" % SOCKS_PORT, url)
            expect(result.returncode != 0, "%s got through with SOCKS Users listed" % option)
        proxy.wait_log(r'Warning: SOCKS 4 request from "[^"]+" refused: SOCKS Users are listed, so only SOCKS 5 '
                       r'with a user name and password is served\.%s' % ERROR_SUFFIX)

        # The same by hand: the exact answers, and the connection ends.
        conn, choice, _ = negotiate(b"\x00")
        expect(choice == b"\x05\xff", "method 0 with users listed: %r" % choice)
        closed_without_more(conn, "no acceptable method")
        conn, choice, status = negotiate(b"\x00\x02", (b"alice", b"Wonder lan"))
        expect(choice == b"\x05\x02" and status == b"\x01\x01", "wrong password: %r %r" % (choice, status))
        closed_without_more(conn, "wrong password")
        echo = h.Server(h.echo_handler)
        try:
            conn, choice, status = negotiate(b"\x02", (b"alice", b"Wonder land"))
            expect(status == b"\x01\x00", "right password: %r" % status)
            expect(request(conn, 1, ipv4("127.0.0.1", echo.port))[:2] == b"\x05\x00", "CONNECT after login")
            echo_through(conn, b"logged in")
            conn.close()
        finally:
            echo.close()
        for line in proxy.log():
            expect("Wonder" not in line and "builder" not in line, "a password in the log: %r" % line)
    finally:
        proxy.stop()
        web.terminate()
        web.wait()


def case_reply_codes(binary):
    """Every reply code of a SOCKS 5 CONNECT, by hand."""
    # Routes of the private namespace that make the system's own errors.
    for route in ("unreachable 10.8.0.0/16", "prohibit 10.7.0.0/16"):
        if subprocess.run(["ip", "route", "add"] + route.split(), capture_output=True).returncode != 0:
            h.skip("cannot add the route %s" % route)
    echo = h.Server(h.echo_handler)
    closed_port = h.free_port()
    proxy = start(binary, ini())
    try:
        conn, choice, _ = negotiate(b"\x00")
        expect(choice == b"\x05\x00", "method without users: %r" % choice)
        answer = request(conn, 1, ipv4("127.0.0.1", echo.port))
        expect(answer[:4] == b"\x05\x00\x00\x01", "succeeded: %r" % answer)
        # The bound address and port are those of the gateway's connection.
        bound = (socket.inet_ntoa(answer[4:8]), struct.unpack("!H", answer[8:10])[0])
        expect(bound[0] == "127.0.0.1" and bound[1] != 0, "bound address %r" % (bound,))
        echo_through(conn, b"five")
        conn.close()
        proxy.wait_log(r'Information: SOCKS link by "" closed \(sent 4 bytes, received 4 bytes\)\.')

        cases = [
            ("refused", 1, ipv4("127.0.0.1", closed_port), 5, r"Connection refused"),
            ("network unreachable", 1, ipv4("10.1.2.3", 80), 3, r"Network is unreachable"),
            ("host unreachable", 1, ipv4("10.8.0.1", 80), 4, r"No route to host"),
            ("general failure", 1, ipv4("10.7.0.1", 80), 1, r"Permission denied"),
            ("unknown name", 1, domain(b"no-such-host.invalid", 80), 4, None),
            ("command not supported", 9, ipv4("127.0.0.1", echo.port), 7, None),
            ("IPv6", 1, b"\x04" + bytes(15) + b"\x01" + struct.pack("!H", echo.port), 8, None),
        ]
        for name, command, address, code, text in cases:
            conn, _, _ = negotiate(b"\x00")
            answer = request(conn, command, address)
            expect(answer == reply(code), "%s: %r" % (name, answer))
            closed_without_more(conn, name)
            if text:
                proxy.wait_log(r'Error: Connect failed to "[^"]+" for SOCKS server: %s%s' % (text, ERROR_SUFFIX))
        # An address type that is none of the three: answered 8 at once.
        conn, _, _ = negotiate(b"\x00")
        conn.sendall(b"\x05\x01\x00\x09")
        expect(h.recv_exactly(conn, 10) == reply(8), "unknown address type")
        closed_without_more(conn, "unknown address type")
        proxy.wait_log(r"Error: SOCKS protocol error: address type 9 not supported%s" % ERROR_SUFFIX)
        proxy.wait_log(r"Error: SOCKS protocol error: address type 4 not supported%s" % ERROR_SUFFIX)
        proxy.wait_log(r"Error: SOCKS protocol error: invalid command%s" % ERROR_SUFFIX)
        expect(echo.accepted == 1, "refused requests reached the destination: %d" % echo.accepted)
    finally:
        proxy.stop()
        echo.close()
    # Not allowed by the restrictions: only the echo server's port may be reached.
    allowed = h.Server(h.echo_handler)
    denied = h.Server(h.echo_handler)
    proxy = start(binary, ini(security=[("0.0.0.0", "127.0.0.1:%d" % allowed.port)]))
    try:
        for _ in range(2):
            conn, _, _ = negotiate(b"\x00")
            expect(request(conn, 1, ipv4("127.0.0.1", allowed.port))[:2] == b"\x05\x00", "allowed")
            echo_through(conn, b"allowed")
            conn.close()
            conn, _, _ = negotiate(b"\x00")
            answer = request(conn, 1, domain(b"localhost", denied.port))
            expect(answer == reply(2), "not allowed: %r" % answer)
            closed_without_more(conn, "not allowed")
        expect(denied.accepted == 0, "a denied destination was contacted")
        proxy.wait_log(r"Warning: Connection denied from \S+:%d to \S+:%d\.%s"
                       % (SOCKS_PORT, denied.port, ERROR_SUFFIX), count=2)
    finally:
        proxy.stop()
        allowed.close()
        denied.close()


def case_socks4a(binary):
    """SOCKS 4a by hand: a host name after the user id; the SOCKS 4 replies."""
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini())
    try:
        def send4a(name, user=b"four-a"):
            conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
            conn.sendall(struct.pack("!BBH4s", 4, 1, echo.port, bytes([0, 0, 0, 1])) + user + b"\0" + name + b"\0")
            return conn
        conn = send4a(b"localhost")
        expect(h.recv_exactly(conn, 8) == bytes([0, 90, 0, 0, 0, 0, 0, 0]), "4a granted")
        echo_through(conn, b"by name")
        conn.close()
        proxy.wait_log(r'Information: SOCKS link by "four-a" closed \(sent 7 bytes, received 7 bytes\)\.')
        conn = send4a(b"no-such-host.invalid")
        expect(h.recv_exactly(conn, 8) == bytes([0, 91, 0, 0, 0, 0, 0, 0]), "4a unknown name")
        closed_without_more(conn, "4a unknown name")
        proxy.wait_log(r'Error: Host "no-such-host\.invalid" not found for SOCKS server\.%s' % ERROR_SUFFIX)
        # A name beyond 255 bytes ends the connection without a reply.
        conn = send4a(b"n" * 256)
        closed_without_more(conn, "4a overlong name")
        proxy.wait_log(r"Error: Protocol read error for SOCKS server: Message too long%s" % ERROR_SUFFIX)
        expect(echo.accepted == 1, "refused 4a requests reached the destination")
    finally:
        proxy.stop()
        echo.close()


def case_bind(binary):
    """SOCKS 5 BIND: the first reply names the port to connect to, the second
    the host that connected; strangers are shut out; then the link."""
    proxy = start(binary, ini())
    try:
        conn, _, _ = negotiate(b"\x00")
        first = request(conn, 2, ipv4("127.0.0.1", 0))
        expect(first[:4] == b"\x05\x00\x00\x01", "first BIND reply %r" % first)
        port = struct.unpack("!H", first[8:10])[0]
        expect(socket.inet_ntoa(first[4:8]) == "127.0.0.1" and port != 0, "BIND address %r" % first)
        # A stranger from another address of the loopback net gets nothing.
        stranger = socket.socket()
        stranger.bind(("127.0.0.2", 0))
        stranger.settimeout(10)
        stranger.connect(("127.0.0.1", port))
        closed_without_more(stranger, "stranger")
        stranger.close()
        peer = socket.create_connection(("127.0.0.1", port), timeout=10)
        second = h.recv_exactly(conn, 10)
        expect(second == reply(0, "127.0.0.1", peer.getsockname()[1]), "second BIND reply %r" % second)
        conn.sendall(b"to the peer")
        expect(h.recv_until(peer, b"to the peer") == b"to the peer", "client to peer")
        peer.sendall(b"back")
        expect(h.recv_until(conn, b"back") == b"back", "peer to client")
        peer.close()
        closed_without_more(conn, "after the peer left")
        conn.close()
        proxy.wait_log(r'Information: SOCKS link by "" closed \(sent 11 bytes, received 4 bytes\)\.')
    finally:
        proxy.stop()


class UdpEcho:
    """Answers every datagram with "echo:" and the datagram."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.received = []
        import threading
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                data, source = self.sock.recvfrom(65535)
            except OSError:
                return
            self.received.append(data)
            self.sock.sendto(b"echo:" + data, source)

    def close(self):
        self.sock.close()


def udp_header(address, port, fragment=0):
    return bytes([0, 0, fragment]) + ipv4(address, port)


def case_udp_associate(binary):
    """UDP ASSOCIATE: datagrams with the RFC's header go out from the
    client's address only, come back with a header naming their source;
    fragments and strangers are dropped; the end of the TCP connection ends
    the association, with the counts in its line."""
    echo = UdpEcho()
    blocked = UdpEcho()
    proxy = start(binary, ini(security=[("0.0.0.0", "127.0.0.1:%d" % echo.port)]))
    try:
        conn, _, _ = negotiate(b"\x00")
        answer = request(conn, 3, ipv4("0.0.0.0", 0))
        expect(answer[:4] == b"\x05\x00\x00\x01", "UDP ASSOCIATE reply %r" % answer)
        relay = (socket.inet_ntoa(answer[4:8]), struct.unpack("!H", answer[8:10])[0])
        expect(relay[0] == "127.0.0.1" and relay[1] != 0, "relay address %r" % (relay,))
        proxy.wait_log(r'Information: SOCKS UDP relay by "" started from "[^"]+" on port %d\.' % relay[1])
        client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        client.bind(("127.0.0.1", 0))
        client.settimeout(5)
        client.sendto(udp_header("127.0.0.1", echo.port) + b"ping", relay)
        data, source = client.recvfrom(65535)
        expect(source == relay, "reply from %r" % (source,))
        expect(data == udp_header("127.0.0.1", echo.port) + b"echo:ping", "reply %r" % data)
        # By name.
        client.sendto(bytes([0, 0, 0]) + domain(b"localhost", echo.port) + b"by name", relay)
        data, _ = client.recvfrom(65535)
        expect(data == udp_header("127.0.0.1", echo.port) + b"echo:by name", "reply by name %r" % data)
        # The largest datagram goes out whole; its echo, 5 bytes longer, would
        # exceed the largest with its header and is dropped.
        payload = b"y" * (65507 - 10)
        client.sendto(udp_header("127.0.0.1", echo.port) + payload, relay)
        expect(h.wait_until(lambda: payload in echo.received, timeout=5), "the largest datagram did not arrive whole")
        # A fragment, a destination the restrictions deny, a stranger's
        # datagram and one from the client's other port: all dropped.
        before = len(echo.received)
        client.sendto(udp_header("127.0.0.1", echo.port, fragment=1) + b"frag", relay)
        client.sendto(udp_header("127.0.0.1", blocked.port) + b"denied", relay)
        stranger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        # From another address, though from the client's own port number.
        stranger.bind(("127.0.0.2", client.getsockname()[1]))
        stranger.sendto(udp_header("127.0.0.1", echo.port) + b"stranger", relay)
        other_port = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        other_port.bind(("127.0.0.1", 0))
        other_port.sendto(udp_header("127.0.0.1", echo.port) + b"other port", relay)
        client.sendto(udp_header("127.0.0.1", echo.port) + b"last", relay)
        data, _ = client.recvfrom(65535)
        # The oversized echo of the largest datagram never came back.
        expect(data == udp_header("127.0.0.1", echo.port) + b"echo:last", "after the drops: %r" % data[:40])
        expect(echo.received[before:] == [b"last"], "relayed %r" % echo.received[before:])
        expect(blocked.received == [], "a denied destination got a datagram")
        proxy.wait_log(r"Warning: Connection denied from \S+:%d to \S+:%d\.%s"
                       % (SOCKS_PORT, blocked.port, ERROR_SUFFIX))
        conn.close()
        sent = len(b"ping") + len(b"by name") + len(payload) + len(b"last")
        received = len(b"echo:ping") + len(b"echo:by name") + len(b"echo:last")
        proxy.wait_log(r'Information: SOCKS UDP relay by "" closed \(sent %d bytes, received %d bytes\)\.'
                       % (sent, received))
        # The same bytes are the host's on the status page.
        expect(status_row("127.0.0.1") == (sent, received),
               "status page: %r" % (status_row("127.0.0.1"),))
        # The port is closed with the association.
        client.sendto(udp_header("127.0.0.1", echo.port) + b"after", relay)
        time.sleep(0.5)
        expect(b"after" not in echo.received, "relayed after the end of the association")
        for sock in (client, stranger, other_port):
            sock.close()
    finally:
        proxy.stop()
        echo.close()
        blocked.close()


def case_udp_idle(binary):
    """An association that carries nothing for the UDP time-out ends, and
    its TCP connection with it; one that is busy lives on."""
    echo = UdpEcho()
    proxy = start(binary, ini(extra_globals="UDP Timeout=2\n"))
    try:
        conn, _, _ = negotiate(b"\x00")
        answer = request(conn, 3, ipv4("127.0.0.1", 0))
        relay = (socket.inet_ntoa(answer[4:8]), struct.unpack("!H", answer[8:10])[0])
        client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        client.settimeout(5)
        for index in range(4):
            client.sendto(udp_header("127.0.0.1", echo.port) + b"%d" % index, relay)
            expect(client.recvfrom(100)[0].endswith(b"echo:%d" % index), "busy association")
            time.sleep(1)
        began = time.monotonic()
        closed_without_more(conn, "idle association")
        took = time.monotonic() - began
        expect(took < 8, "idle association ended after %.1f s" % took)
        proxy.wait_log(r'Information: SOCKS UDP relay by "" closed \(sent 4 bytes, received 24 bytes\)\.')
        client.close()
        conn.close()
    finally:
        proxy.stop()
        echo.close()


def case_stop_ends_associations(binary):
    """A stop ends UDP associations and SOCKS 5 links at once: their
    connections close, their lines are logged, the service ends."""
    echo = h.Server(h.echo_handler)
    udp = UdpEcho()
    proxy = start(binary, ini())
    try:
        association, _, _ = negotiate(b"\x00")
        answer = request(association, 3, ipv4("0.0.0.0", 0))
        relay = (socket.inet_ntoa(answer[4:8]), struct.unpack("!H", answer[8:10])[0])
        client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        client.settimeout(5)
        client.sendto(udp_header("127.0.0.1", udp.port) + b"one", relay)
        expect(client.recvfrom(100)[0].endswith(b"echo:one"), "association before the stop")
        link, _, _ = negotiate(b"\x00")
        expect(request(link, 1, ipv4("127.0.0.1", echo.port))[:2] == b"\x05\x00", "link before the stop")
        echo_through(link, b"before")
        began = time.monotonic()
        proxy.process.terminate()
        expect(proxy.process.wait(timeout=15) is not None, "the service did not end")
        for conn, what in ((association, "association"), (link, "link")):
            closed_without_more(conn, what)
            conn.close()
        expect(time.monotonic() - began < 10, "the stop took %.1f s" % (time.monotonic() - began))
        proxy.wait_log(r'Information: SOCKS UDP relay by "" closed \(sent 3 bytes, received 8 bytes\)\.')
        proxy.wait_log(r'Information: SOCKS link by "" closed \(sent 6 bytes, received 6 bytes\)\.')
        proxy.wait_log(r"Warning: Proxies stopped\.%s" % ERROR_SUFFIX)
        client.close()
    finally:
        proxy.stop()
        echo.close()
        udp.close()


def case_negotiation_bounds(binary):
    """The whole negotiation is bounded by the SOCKS time-out, whatever step
    a client stops at; broken messages end their connection only."""
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini(extra_globals="SOCKS Timeout=1\n"))
    try:
        for sent in (b"\x05", b"\x05\x02\x00", b"\x05\x01\x00\x05\x01\x00\x01\x7f\x00"):
            began = time.monotonic()
            conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
            conn.sendall(sent)
            try:
                data = h.recv_all(conn, timeout=10)
            except ConnectionResetError:
                data = b""
            took = time.monotonic() - began
            expect(data in (b"", b"\x05\x00"), "slow client answered %r" % data)
            expect(0.8 <= took <= 6, "slow client closed after %.1f s" % took)
            conn.close()
        proxy.wait_log(r"Error: Protocol read error for SOCKS server: Resource temporarily unavailable%s"
                       % ERROR_SUFFIX, count=3)
        # A wrong sub-version and a wrong request version end the connection.
        conn, _, _ = negotiate(b"\x00")
        conn.sendall(b"\x04\x01\x00\x01" + bytes(6))
        closed_without_more(conn, "request of version 4")
        proxy.wait_log(r"Error: SOCKS protocol error: wrong version in the request, require 5%s" % ERROR_SUFFIX)
        for pattern in (b"\x05" + bytes(range(256)) * 4, b"\x05\xff" + b"\x02" * 255 + b"\x01" * 600,
                        b"\x05\x01\x00\x05\x01\x00\x03\xff" + b"n" * 200):
            conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10)
            try:
                conn.sendall(pattern)
                h.recv_all(conn, timeout=10)
            except OSError:
                pass
            conn.close()
        conn, _, _ = negotiate(b"\x00")
        expect(request(conn, 1, ipv4("127.0.0.1", echo.port))[:2] == b"\x05\x00", "after hostile clients")
        echo_through(conn, b"alive")
        conn.close()
        expect(proxy.process.poll() is None, "service ended")
    finally:
        proxy.stop()
        echo.close()


def admin(path, form=None):
    """One request to the administration site with curl (as a browser posts
    it, with the site's own Origin); the status and the body."""
    command = ["curl", "-s", "-o", "-", "-w", "\n%{http_code}", "--max-time", "20", "-u", "admin:pebble"]
    if form is not None:
        command += ["-H", "Origin: http://127.0.0.1:%d" % HTTP_PORT]
        for name, value in form:
            command += ["--data-urlencode", "%s=%s" % (name, value)]
    command.append("http://127.0.0.1:%d/%s" % (HTTP_PORT, path))
    raw = subprocess.run(command, capture_output=True, timeout=30).stdout
    body, _, status = raw.rpartition(b"\n")
    return int(status), body


def reloads(proxy, count):
    proxy.wait_log(r"Warning: Configuration changed, reloaded\.", count=count)
    expect(h.wait_until(lambda: h.can_connect(HTTP_PORT) and h.can_connect(SOCKS_PORT), 10), "ports not back")


def case_security_page_users(binary):
    """The Security page's "SOCKS Users" part adds a user with a password and
    removes one; the password is never shown back; names and passwords the
    store would not read back are refused and nothing is written."""
    need("curl")
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini())
    try:
        status, page = admin("security.html")
        expect(status == 200 and b"SOCKS Users" in page and b"No SOCKS users" in page, "part missing")
        expect(b'ACTION="socksusers.html"' in page.upper().replace(b"'", b'"') or b"socksusers.html" in page,
               "the part posts elsewhere")
        before = proxy.read_ini()
        refused = [
            [("New SOCKS user", "[Globals]"), ("New SOCKS password", "pw")],
            [("New SOCKS user", "a=b"), ("New SOCKS password", "pw")],
            [("New SOCKS user", " lead"), ("New SOCKS password", "pw")],
            [("New SOCKS user", "u" * 256), ("New SOCKS password", "pw")],
            [("New SOCKS user", "nopass"), ("New SOCKS password", "")],
            [("New SOCKS user", "carol"), ("New SOCKS password", "line\nbreak")],
            [("New SOCKS user", "carol"), ("New SOCKS password", " padded ")],
            [("Remove SOCKS user", "nobody")],
        ]
        for form in refused:
            status, body = admin("socksusers.html", form)
            expect(status == 400, "%r accepted: %d" % (form, status))
            expect(b"line\nbreak" not in body and b" padded " not in body, "a refused password shown back")
        expect(proxy.read_ini() == before, "a refused post was written: %r" % proxy.read_ini())

        status, _ = admin("socksusers.html", [("New SOCKS user", "alice"), ("New SOCKS password", "S3cret pw")])
        expect(status == 200, "adding alice: %d" % status)
        reloads(proxy, 1)
        expect("alice=S3cret pw" in proxy.read_ini(), "not stored: %r" % proxy.read_ini())
        status, page = admin("security.html")
        expect(b"alice" in page and b"S3cret" not in page, "the page shows the password or not the user")
        conn, choice, _ = negotiate(b"\x00")
        expect(choice == b"\x05\xff", "no authentication after a user was added: %r" % choice)
        conn.close()
        conn, choice, status_byte = negotiate(b"\x02", (b"alice", b"S3cret pw"))
        expect(status_byte == b"\x01\x00", "alice refused: %r" % status_byte)
        expect(request(conn, 1, ipv4("127.0.0.1", echo.port))[:2] == b"\x05\x00", "CONNECT as alice")
        echo_through(conn, b"as alice")
        conn.close()

        status, _ = admin("socksusers.html", [("Remove SOCKS user", "alice")])
        expect(status == 200, "removing alice: %d" % status)
        reloads(proxy, 2)
        status, page = admin("security.html")
        expect(b"No SOCKS users" in page, "alice still listed")
        conn, choice, _ = negotiate(b"\x00")
        expect(choice == b"\x05\x00", "authentication still asked for: %r" % choice)
        conn.close()
        for line in proxy.log():
            expect("S3cret" not in line, "the password in the log: %r" % line)
    finally:
        proxy.stop()
        echo.close()


CASES = {name[len("case_"):]: function for name, function in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    h.run_cases(CASES)
