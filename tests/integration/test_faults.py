"""Faults of peers and of the program itself, end to end: a destination that
resets in the middle of a transfer (plain relay, SOCKS, HTTP proxy), clients
that half-close through SOCKS and the HTTP proxy, an FTP site that drops its
data connection during RETR and STOR, phonebook entries that crash while
dialling, and the program killed while it stores an administration form.
Each fault must end only what it touches: the same agent serves again after
it, and links carrying data meanwhile arrive intact."""
import base64
import hashlib
import ftplib
import os
import random
import re
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import moatkeep_harness as h  # noqa: E402
import test_dialup as dialup  # noqa: E402
import test_ftp as ftp_tests  # noqa: E402
from test_http_proxy import HttpServer, payload  # noqa: E402

HTTP_PORT = 18082
RELAY_PORT = 18023
SOCKS_PORT = 1080
ERROR_SUFFIX = r"( - error = \d+)?"
RESET_TEXT = r"Connection reset by peer"
LINGER_ZERO = struct.pack("ii", 1, 0)
# The thread sanitizer makes every thread and every start heavy: fewer
# bystanders and kill rounds there.
UNDER_TSAN = bool(os.environ.get("TSAN_OPTIONS"))
BYSTANDERS = 2 if UNDER_TSAN else 4
BYSTANDER_BYTES = 2 * 1024 * 1024

expect = h.expect


def pattern(size):
    """size bytes that are not one short block repeated."""
    return payload(size)


def read_to_end(conn, timeout=30.0):
    """Everything up to the end of the stream; 'eof' or 'reset' says how it
    ended. A peer that neither closes nor resets within timeout fails."""
    conn.settimeout(0.5)
    chunks = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            part = conn.recv(65536)
        except socket.timeout:
            continue
        except ConnectionResetError:
            return b"".join(chunks), "reset"
        if not part:
            return b"".join(chunks), "eof"
        chunks.append(part)
    raise AssertionError("the connection neither ended nor was reset in %.0f s" % timeout)


# ---------------------------------------------------------------- peers

def mux_handler(conn):
    """The first line chooses: "ECHO" echoes the rest; "RESET n" sends n
    bytes, waits for the client's one-byte acknowledgement (so every byte is
    known to have arrived) and resets the connection."""
    line = h.recv_until(conn, b"\n", timeout=20, limit=100)
    head, _, rest = line.partition(b"\n")
    words = head.split()
    if words[:1] == [b"ECHO"]:
        if rest:
            conn.sendall(rest)
        h.echo_handler(conn)
    elif words[:1] == [b"RESET"]:
        conn.sendall(pattern(int(words[1])))
        h.recv_until(conn, b"!", timeout=20, limit=1)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, LINGER_ZERO)


class Bystanders:
    """Links that carry data through an agent while a fault happens: each
    sends half its data, waits until the fault is over, sends the rest, and
    checks that everything came back unchanged."""

    def __init__(self, connect, count=BYSTANDERS, size=BYSTANDER_BYTES):
        self.fault_over = threading.Event()
        self.halfway = threading.Barrier(count + 1, timeout=60)
        self.results = []
        self.lock = threading.Lock()
        self.threads = [threading.Thread(target=self._run, args=(connect, size, n), daemon=True)
                        for n in range(count)]
        for thread in self.threads:
            thread.start()
        # Every link is open and half through before the fault.
        self.halfway.wait()

    def _run(self, connect, size, number):
        data = hashlib.sha256(b"bystander %d" % number).digest() * (size // 32)
        try:
            conn = connect()
            received = []
            reader = threading.Thread(target=lambda: received.append(read_to_end(conn, timeout=120)), daemon=True)
            reader.start()
            conn.sendall(data[:size // 2])
            self.halfway.wait()
            self.fault_over.wait(timeout=60)
            conn.sendall(data[size // 2:])
            conn.shutdown(socket.SHUT_WR)
            reader.join(timeout=120)
            conn.close()
            body, how = received[0] if received else (b"", "hung")
            ok = how == "eof" and hashlib.sha256(body).digest() == hashlib.sha256(data).digest()
            outcome = "ok" if ok else "%s after %d of %d bytes" % (how, len(body), size)
        except (OSError, threading.BrokenBarrierError, AssertionError) as error:
            outcome = "failed: %r" % error
        with self.lock:
            self.results.append(outcome)

    def check(self):
        self.fault_over.set()
        for thread in self.threads:
            thread.join(timeout=150)
        expect(self.results == ["ok"] * len(self.threads), "links beside the fault: %r" % self.results)


def start(binary, relays=(), extra_globals="Log Level=3\n"):
    proxy = h.Moatkeep(binary, h.ini(HTTP_PORT, relays, extra_globals=extra_globals)).start_debug()
    proxy.wait_log(r"Warning: Proxies started\.")
    return proxy


def socks_connect(port):
    conn = socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=30)
    conn.sendall(struct.pack("!BBH4s", 4, 1, port, socket.inet_aton("127.0.0.1")) + b"\0")
    reply = h.recv_exactly(conn, 8, timeout=10)
    expect(reply == bytes([0, 90, 0, 0, 0, 0, 0, 0]), "SOCKS reply %r" % reply)
    conn.settimeout(30)
    return conn


def echo_link(connect):
    """A link that starts the echo of the multiplexing server."""

    def open_link():
        conn = connect()
        conn.sendall(b"ECHO\n")
        return conn

    return open_link


def exchange_once(connect, text=b"afterwards"):
    conn = echo_link(connect)()
    try:
        conn.sendall(text)
        expect(h.recv_until(conn, text, timeout=15) == text, "no exchange through the agent after the fault")
    finally:
        conn.close()


# ---------------------------------------------------------------- destination resets

def destination_reset(proxy, connect, closed_line, resets_before):
    """A destination resets after delivering its bytes: the client's link
    ends at once, the link's log line has the exact counts, links beside it
    are intact and the agent serves again."""
    size = 300000
    bystanders = Bystanders(echo_link(connect))
    conn = connect()
    request = b"RESET %d\n" % size
    conn.sendall(request)
    got = h.recv_exactly(conn, size, timeout=30)
    expect(got == pattern(size), "before the reset: %d of %d bytes" % (len(got), size))
    conn.sendall(b"!")
    rest, how = read_to_end(conn, timeout=30)
    conn.close()
    expect(rest == b"" and how in ("eof", "reset"), "after the reset: %s with %r" % (how, rest[:40]))
    proxy.wait_log(closed_line % (len(request) + 1, size), timeout=15)
    proxy.wait_log(r"Error: TCP link read error: %s%s" % (RESET_TEXT, ERROR_SUFFIX), count=resets_before + 1)
    bystanders.check()
    exchange_once(connect)
    expect(proxy.process.poll() is None, "the service ended")


def case_relay_destination_reset(binary):
    server = h.Server(mux_handler)
    proxy = start(binary, [(str(RELAY_PORT), "127.0.0.1:%d" % server.port)])
    try:
        closed = r'Information: Relay for "%s" closed \(sent %%d bytes, received %%d bytes\)\.' \
                 % re.escape(h.service_name(RELAY_PORT))
        destination_reset(proxy, lambda: socket.create_connection(("127.0.0.1", RELAY_PORT), timeout=30),
                          closed, 0)
    finally:
        proxy.stop()
        server.close()


def case_socks_destination_reset(binary):
    server = h.Server(mux_handler)
    proxy = start(binary)
    try:
        proxy.wait_log(r'Information: Opened master socket for service "%s"\.' % re.escape(h.service_name(SOCKS_PORT)))
        closed = r'Information: SOCKS link by "" closed \(sent %d bytes, received %d bytes\)\.'
        destination_reset(proxy, lambda: socks_connect(server.port), closed, 0)
    finally:
        proxy.stop()
        server.close()


def case_http_destination_reset(binary):
    """The server resets half-way through a body of declared length: the
    client gets the head and the part that came, then the end of its
    connection; other forwarded answers arrive whole."""
    declared = 4 * 1024 * 1024
    sent_before_reset = 200000
    big = pattern(declared)
    reset_done = threading.Event()

    def handler(conn):
        head = h.recv_until(conn, b"\r\n\r\n", timeout=20, limit=1 << 16)
        if b"/reset " in head:
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % declared + big[:sent_before_reset])
            time.sleep(0.5)
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, LINGER_ZERO)
            return
        # A whole answer, its second half sent only after the reset.
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % declared + big[:declared // 2])
        reset_done.wait(timeout=60)
        conn.sendall(big[declared // 2:])

    server = h.Server(handler)
    proxy = start(binary)
    results = []

    def fetch_whole():
        try:
            with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=30) as conn:
                conn.sendall(b"GET http://127.0.0.1:%d/whole HTTP/1.0\r\n\r\n" % server.port)
                answer, how = read_to_end(conn, timeout=90)
            _, _, body = answer.partition(b"\r\n\r\n")
            results.append("ok" if how == "eof" and body == big else "%s after %d bytes" % (how, len(body)))
        except (OSError, AssertionError) as error:
            results.append("failed: %r" % error)

    fetchers = [threading.Thread(target=fetch_whole, daemon=True) for _ in range(BYSTANDERS)]
    try:
        for fetcher in fetchers:
            fetcher.start()
        expect(h.wait_until(lambda: server.accepted == len(fetchers), timeout=30), "the answers did not start")
        with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=30) as conn:
            conn.sendall(b"GET http://127.0.0.1:%d/reset HTTP/1.0\r\n\r\n" % server.port)
            answer, how = read_to_end(conn, timeout=30)
        head, _, body = answer.partition(b"\r\n\r\n")
        expect(head.startswith(b"HTTP/1.0 200 OK\r\n") and b"Content-Length: %d" % declared in head,
               "head of the broken answer: %r" % head)
        # What came is what the server sent, and less than declared: the
        # client can tell the answer was cut.
        expect(len(body) <= sent_before_reset and body == big[:len(body)],
               "broken body: %d bytes, a prefix: %s" % (len(body), body == big[:len(body)]))
        reset_done.set()
        for fetcher in fetchers:
            fetcher.join(timeout=120)
        expect(results == ["ok"] * len(fetchers), "answers beside the reset: %r" % results)
        with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=30) as conn:
            conn.sendall(b"GET http://127.0.0.1:%d/whole HTTP/1.0\r\n\r\n" % server.port)
            answer, how = read_to_end(conn, timeout=60)
        expect(how == "eof" and answer.endswith(big), "the agent after the reset: %s, %d bytes" % (how, len(answer)))
        expect(proxy.process.poll() is None, "the service ended")
    finally:
        reset_done.set()
        proxy.stop()
        server.close()


# ---------------------------------------------------------------- half-closing clients

def case_socks_half_close(binary):
    """The client ends its sending side after the request and still gets
    the whole answer through the SOCKS agent."""
    answer = 3 * 1024 * 1024
    server = h.Server(h.answer_after_end_handler(answer))
    proxy = start(binary)
    try:
        proxy.wait_log(r'Information: Opened master socket for service "%s"\.' % re.escape(h.service_name(SOCKS_PORT)))
        for request_size in (0, 100000):
            request = pattern(request_size)
            conn = socks_connect(server.port)
            conn.sendall(request)
            conn.shutdown(socket.SHUT_WR)
            data, how = read_to_end(conn, timeout=60)
            conn.close()
            head, _, body = data.partition(b"\n")
            expect(how == "eof", "the link ended with a %s" % how)
            expect(head == hashlib.sha256(request).hexdigest().encode(), "request not delivered whole")
            expect(body == (bytes(range(256)) * 256 * (answer // 65536 + 1))[:answer],
                   "answer %d of %d bytes" % (len(body), answer))
            proxy.wait_log(r'Information: SOCKS link by "" closed \(sent %d bytes, received %d bytes\)\.'
                           % (request_size, answer + 65), timeout=15)
    finally:
        proxy.stop()
        server.close()


def case_http_half_close(binary):
    """A client that ends its sending side after its request (and body)
    gets the whole forwarded answer."""
    body = pattern(1024 * 1024)
    server = HttpServer(lambda head, request_body: (b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\nX-Digest: %s\r\n\r\n"
                                                    % (len(body), hashlib.sha256(request_body).hexdigest().encode()))
                        + body)
    proxy = start(binary)
    try:
        posted = pattern(50000)
        requests = [
            (b"GET http://127.0.0.1:%d/get HTTP/1.0\r\n\r\n" % server.port, b""),
            (b"POST http://127.0.0.1:%d/post HTTP/1.0\r\nContent-Length: %d\r\n\r\n" % (server.port, len(posted))
             + posted, posted),
        ]
        for request, request_body in requests:
            with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=30) as conn:
                conn.sendall(request)
                conn.shutdown(socket.SHUT_WR)
                answer, how = read_to_end(conn, timeout=60)
            head, _, received = answer.partition(b"\r\n\r\n")
            expect(how == "eof" and head.startswith(b"HTTP/1.0 200 OK\r\n"), "%s, head %r" % (how, head[:100]))
            expect(b"X-Digest: " + hashlib.sha256(request_body).hexdigest().encode() in head,
                   "the request body did not reach the server whole: %r" % head)
            expect(received == body, "answer %d of %d bytes" % (len(received), len(body)))
    finally:
        proxy.stop()
        server.close()


# ---------------------------------------------------------------- FTP data connection dropped

FTP_DROP_AFTER = 1024 * 1024
FTP_SIZE = 16 * 1024 * 1024


def case_ftp_data_dropped(binary):
    """The site resets its data connection in the middle of a RETR and of a
    STOR: the client gets the site's 426 (not a success, not a hang), the
    log has the bytes that passed, and the same control connection goes on
    with a NOOP and a complete small transfer."""
    site = ftp_tests.Site(str(FTP_DROP_AFTER))
    proxy = None
    try:
        proxy = ftp_tests.start_relay(binary)
        ftp_tests.write_random(site.path("big.bin"), FTP_SIZE)
        with open(site.path("small.txt"), "wb") as small:
            small.write(b"a small file\n")
        client = ftp_tests.logged_in(passive=True)
        client.voidcmd("TYPE I")

        # RETR: the data ends early, then the failure reply.
        data = client.transfercmd("RETR big.bin")
        received, _ = read_to_end(data, timeout=60)
        data.close()
        expect(0 < len(received) < FTP_SIZE, "RETR delivered %d of %d bytes" % (len(received), FTP_SIZE))
        with open(site.path("big.bin"), "rb") as source:
            expect(received == source.read(len(received)), "RETR delivered other bytes than the file's")
        try:
            reply = client.voidresp()
            expect(False, "the broken RETR was answered %r" % reply)
        except ftplib.error_temp as error:
            expect(str(error).startswith("426"), "RETR answered %s" % error)
        proxy.wait_log(r"Information: FTP transfer completed \(%d bytes\)" % len(received), timeout=15)
        expect(client.voidcmd("NOOP").startswith("200"), "control connection after the broken RETR")

        # STOR: the client's data connection is ended under it.
        data = client.transfercmd("STOR up.bin")
        block = os.urandom(65536)
        offered = 0
        try:
            data.settimeout(30)
            while offered < FTP_SIZE:
                data.sendall(block)
                offered += len(block)
        except OSError:
            pass
        data.close()
        expect(offered < FTP_SIZE, "the whole upload was taken although the site dropped it")
        try:
            reply = client.voidresp()
            expect(False, "the broken STOR was answered %r" % reply)
        except ftplib.error_temp as error:
            expect(str(error).startswith("426"), "STOR answered %s" % error)
        logged = proxy.wait_log(r"Information: FTP transfer completed \(\d+ bytes\)", count=2, timeout=15)[-1]
        stored = int(re.search(r"\((\d+) bytes\)", logged).group(1))
        expect(FTP_DROP_AFTER <= stored < FTP_SIZE, "STOR moved %d bytes" % stored)
        expect(client.voidcmd("NOOP").startswith("200"), "control connection after the broken STOR")

        pieces = []
        reply = client.retrbinary("RETR small.txt", pieces.append)
        expect(reply.startswith("226") and b"".join(pieces) == b"a small file\n", "transfer after the drops")
        expect("small.txt" in client.nlst(), "listing after the drops")
        client.quit()
        expect(proxy.process.poll() is None, "the service ended")
    finally:
        if proxy is not None:
            proxy.stop()
        site.stop()


ABORTED_DATA = 200000


def abort_overtaking_site(conn):
    """A RETR whose 426 overtakes its data: the reply comes first, the data
    still in the pipe follows, then the data connection closes, as when the
    data path lags behind the control connection."""
    conn.sendall(b"220 scripted\r\n")
    data_target = None
    while True:
        line = ftp_tests.read_line(conn)
        if not line:
            return
        word = line.split(b" ")[0].upper()
        if word == b"USER":
            conn.sendall(b"331 ok\r\n")
        elif word == b"PASS":
            conn.sendall(b"230 in\r\n")
        elif word == b"PORT":
            fields = [int(x) for x in line.split(b" ", 1)[1].split(b",")]
            data_target = ("%d.%d.%d.%d" % tuple(fields[:4]), fields[4] * 256 + fields[5])
            conn.sendall(b"200 port ok\r\n")
        elif word == b"RETR":
            conn.sendall(b"150 here it comes\r\n")
            with socket.create_connection(data_target, timeout=10) as data:
                conn.sendall(b"426 Connection closed; transfer aborted.\r\n")
                time.sleep(0.3)
                data.sendall(pattern(ABORTED_DATA))
        elif word == b"NOOP":
            conn.sendall(b"200 still here\r\n")
        else:
            conn.sendall(b"221 bye\r\n")
            return


def case_ftp_abort_overtakes_data(binary):
    """A 426 that arrives before the data the site sent ahead of it does not
    cut the data off: the client gets every byte, then the 426, and the
    session goes on. (A 5xx refusal, by contrast, ends the copy at once:
    test_ftp's refusal_midway.)"""
    site = ftp_tests.ScriptedSite(abort_overtaking_site)
    proxy = None
    try:
        proxy = ftp_tests.start_relay(binary)
        client = ftp_tests.relay_client(passive=True, timeout=30)
        client.login("someone@127.0.0.1", "x")
        data = client.transfercmd("RETR file")
        received, _ = read_to_end(data, timeout=30)
        data.close()
        expect(received == pattern(ABORTED_DATA), "data of the aborted RETR: %d of %d bytes"
               % (len(received), ABORTED_DATA))
        try:
            reply = client.voidresp()
            expect(False, "the aborted RETR was answered %r" % reply)
        except ftplib.error_temp as error:
            expect(str(error).startswith("426"), "RETR answered %s" % error)
        proxy.wait_log(r"Information: FTP transfer completed \(%d bytes\)" % ABORTED_DATA, timeout=15)
        expect(client.voidcmd("NOOP").startswith("200"), "session after the 426")
        client.close()
    finally:
        if proxy is not None:
            proxy.stop()
        site.stop()


# ---------------------------------------------------------------- crashing phonebook entries

def case_dial_entry_crashes(binary):
    """Entries that die of SIGSEGV or SIGKILL or exit without a word while
    dialling fail like any failed dial; the next remote system is dialled in
    the same pass, and its link carries the connection."""
    override = h.Server(h.echo_handler)
    fixed = h.Server(h.echo_handler)
    phonebook = dialup.Phonebook("crashing", "killed", "silent", "connecting")
    text = h.ini(HTTP_PORT, [(str(RELAY_PORT), "127.0.0.1:%d" % fixed.port)])
    text += dialup.remote_sections(("crashing", "Dial Retries=2\n"), ("killed", "Dial Retries=1\n"),
                                   ("silent", "Dial Retries=1\n"),
                                   ("connecting", "Dial Retries=1\n%d=127.0.0.1:%d\n" % (RELAY_PORT, override.port)))
    proxy = dialup.start(binary, text, phonebook)
    try:
        expect(dialup.echo_through_relay() == b"ping", "no echo through the relay")
        proxy.wait_log(r'Information: RAS connection to "crashing" failed\.', count=2)
        proxy.wait_log(r'Information: RAS connection to "killed" failed\.')
        proxy.wait_log(r'Information: RAS connection to "silent" failed\.')
        proxy.wait_log(r'Information: RAS dialling "connecting"\.')
        expect(override.accepted == 1 and fixed.accepted == 0,
               "override %d, fixed %d connections" % (override.accepted, fixed.accepted))
        dials = [call for call in phonebook.calls() if call.endswith(" dial")]
        expect(dials == ["crashing dial", "crashing dial", "killed dial", "silent dial", "connecting dial"],
               "dials: %s" % dials)
        expect(dialup.echo_through_relay(b"again") == b"again", "the relay after the crashes")
        dialup.stop(proxy)
    finally:
        proxy.stop()
        override.close()
        fixed.close()
        phonebook.close()


def case_dial_entry_crashes_every_pass(binary):
    """With only a crashing entry each connection makes a pass that fails
    with its log lines, the next connection makes the next pass, and the
    relay carries both to the relay table's destination."""
    fixed = h.Server(h.echo_handler)
    phonebook = dialup.Phonebook("crashing")
    text = h.ini(HTTP_PORT, [(str(RELAY_PORT), "127.0.0.1:%d" % fixed.port)])
    text += dialup.remote_sections(("crashing", "Dial Retries=1\n"))
    proxy = dialup.start(binary, text, phonebook)
    try:
        for round_number in (1, 2):
            expect(dialup.echo_through_relay() == b"ping", "no echo in round %d" % round_number)
            proxy.wait_log(r'Information: RAS connection to "crashing" failed\.', count=round_number)
            proxy.wait_log(r"Error: No remote access connection made\." + ERROR_SUFFIX, count=round_number)
        dials = [call for call in phonebook.calls() if call.endswith(" dial")]
        expect(dials == ["crashing dial"] * 2, "dials: %s" % dials)
        expect(fixed.accepted == 2, "the relay table's destination got %d connections" % fixed.accepted)
        dialup.stop(proxy)
    finally:
        proxy.stop()
        fixed.close()
        phonebook.close()


# ---------------------------------------------------------------- killed while storing a form

GLOBALS_POSTED = [("Log Level", "3"), ("SOCKS Timeout", "21"), ("Link Timeout", "61"), ("UDP Timeout", "62"),
                  ("UDP Retries", "4"), ("HTTP Port", str(HTTP_PORT))]
# The forms killed while stored: the page, what is posted, and a check of
# the contents the completed store leaves.
KILLED_FORMS = [
    ("globals.html", "&".join("%s=%s" % (name.replace(" ", "+"), value) for name, value in GLOBALS_POSTED).encode(),
     lambda text: "SOCKS Timeout=21" in text and "UDP Retries=4" in text),
    # Removing the first remote moves the others down one place.
    ("remotes.html", b"Remote1=Remove",
     lambda text: "Remote Name=second" in text and "Remote3" not in text and "Remote Name=first" not in text),
]
REMOTES = "".join("[Remote%d]\nRemote Name=%s\nDial Retries=%d\n" % (number, name, number)
                  for number, name in enumerate(("first", "second", "third"), 1))
# Enough other settings that each rewrite of the file takes a moment, so
# that kills land inside stores as well as between them. Every start reads
# them many times, which the thread sanitizer makes slow: fewer there.
FILLER = "[Filler]\n" + "".join("key%d=a value to make the file larger\n" % i
                                 for i in range(500 if UNDER_TSAN else 4000))
LOGIN = b"Authorization: Basic " + base64.b64encode(b"admin:pebble")


def post_form(page, body):
    """Sends the form and returns the connection (not waiting for the answer)."""
    conn = socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=30)
    conn.sendall(b"POST /%s HTTP/1.0\r\n%s\r\nHost: 127.0.0.1:%d\r\nOrigin: http://127.0.0.1:%d\r\n"
                 b"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n%s"
                 % (page.encode(), LOGIN, HTTP_PORT, HTTP_PORT, len(body), body))
    return conn


def shown(page):
    """What a page shows of the configuration: its input fields and links."""
    with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=30) as conn:
        conn.sendall(b"GET /%s HTTP/1.0\r\n%s\r\n\r\n" % (page.encode(), LOGIN))
        text, _ = read_to_end(conn, timeout=30)
    fields = re.findall(rb'<INPUT[^>]*NAME="([^"]+)"[^>]*VALUE=("?)([^" >]*)\2', text, re.I)
    links = re.findall(rb'<A HREF="[^"]*">([^<]*)</A>', text, re.I)
    return [(name, value) for name, _, value in fields], links


def restart(proxy):
    with proxy.lines_lock:
        proxy.lines = []
    proxy.start_debug()
    proxy.wait_log(r"Warning: Proxies started\.", timeout=60)


def temporary_files(proxy):
    """The temporary files of stores beside the INI (not its lock file)."""
    return [name for name in os.listdir(proxy.directory)
            if re.fullmatch(r"moatkeep\.INI\.[A-Za-z0-9]{6}", name)]


def kill(proxy):
    proxy.process.kill()
    proxy.process.wait(timeout=30)
    proxy.reader.join(timeout=10)


def case_store_killed(binary):
    """SIGKILL at random moments while a form is stored (the globals, and
    the removal of a remote system that renumbers the others) leaves the
    INI file as it was or as posted, never a mixture or a torn file; a
    temporary file left behind does not disturb the next start, which runs
    on the configuration found. MOATKEEP_KILL_ITERATIONS sets the rounds."""
    rounds = int(os.environ.get("MOATKEEP_KILL_ITERATIONS", "4" if UNDER_TSAN else "20"))
    proxy = h.Moatkeep(binary, h.ini(HTTP_PORT) + REMOTES + FILLER)
    try:
        # For each form the contents and the page before and after a
        # completed store.
        references = []
        for page, body, stored in KILLED_FORMS:
            restart(proxy)
            old = proxy.read_ini()
            shown_old = shown(page)
            answer, _ = read_to_end(post_form(page, body), timeout=30)
            expect(b" 200 " in answer.split(b"\r\n")[0], "%s was not accepted: %r" % (page, answer[:300]))
            expect(h.wait_until(lambda: stored(proxy.read_ini()), timeout=30), "%s stored:\n%s"
                   % (page, proxy.read_ini()[:400]))
            new = proxy.read_ini()
            kill(proxy)
            restart(proxy)
            shown_new = shown(page)
            expect(shown_new != shown_old, "%s shows the same before and after: %r" % (page, shown_old))
            references.append((old, new, shown_old, shown_new))
            kill(proxy)
            proxy.write_ini(old)

        seen = {"old": 0, "new": 0, "inside": 0}
        for round_number in range(rounds):
            page, body, _ = KILLED_FORMS[round_number % len(KILLED_FORMS)]
            old, new, shown_old, shown_new = references[round_number % len(KILLED_FORMS)]
            proxy.write_ini(old)
            restart(proxy)
            for name in temporary_files(proxy):
                os.unlink(os.path.join(proxy.directory, name))
            conn = post_form(page, body)
            if round_number % 2 == 0:
                # Killed as soon as the store has begun writing its new
                # file: the kill lands inside the store itself.
                h.wait_until(lambda: temporary_files(proxy), timeout=10, step=0)
            else:
                # Killed at a random moment: before, inside or after the store.
                time.sleep(random.uniform(0, 0.08))
            kill(proxy)
            conn.close()
            after = proxy.read_ini()
            expect(after in (old, new), "round %d (%s) left a mixed or torn file:\n%s"
                   % (round_number, page, after[:600]))
            seen["old" if after == old else "new"] += 1
            # A temporary file left behind shows that the kill interrupted a
            # store between writing the new contents and putting them in place.
            if temporary_files(proxy):
                seen["inside"] += 1
            # Only the INI itself is configuration: besides it there may be
            # its lock file and a temporary file of an interrupted store.
            others = sorted(set(os.listdir(proxy.directory)) - {"moatkeep", "moatkeep.INI"})
            expect(all(re.fullmatch(r"moatkeep\.INI\.(lock|[A-Za-z0-9]{6})", name) for name in others),
                   "files beside the INI: %r" % others)

            # The next start runs on what is there, and leaves it as it is.
            restart(proxy)
            expect(shown(page) == (shown_new if after == new else shown_old),
                   "round %d: %s does not show the stored configuration" % (round_number, page))
            expect(proxy.read_ini() == after, "round %d: the start changed the file" % round_number)
            kill(proxy)
        print("store_killed: %d rounds, %d left the old contents, %d the new, %d interrupted a store"
              % (rounds, seen["old"], seen["new"], seen["inside"]))
        expect(seen["inside"] > 0, "no kill landed inside a store: the rounds showed nothing of it")
    finally:
        proxy.stop()


CASES = {name[len("case_"):]: function for name, function in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    h.run_cases(CASES)
