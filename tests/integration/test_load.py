"""Moatkeep holding many connections of every kind while administration
forms change its configuration and reload it.

    test_load.py --binary PATH CASE

Cases:
  concurrent_forms   four administrators store forms at once against a
                     gateway with 40 relays: a form that lands while a reload
                     is still opening listeners must not leave any open (the
                     next reload would find its ports taken) nor wait on them
                     for ever; afterwards the site and every relay answer.
  reload_under_load  N connections are held at once: through two TCP relays,
                     SOCKS CONNECTs, FTP sessions logged in through the relay
                     (user@site) and HTTP proxy answers that a slow server
                     sends in parts. Three forms are stored (a global
                     parameter; a relay added and relay B led to another
                     server; the added relay removed); after
                     each reload every held link still carries fresh random
                     data intact (large payloads by checksum), the FTP
                     sessions answer NOOP and new connections are taken
                     (relay B's new ones by the other server).
                     Once all is closed, the program's descriptors and
                     threads fall back to their idle counts.

N is 600, or 150 when the program is a ThreadSanitizer build (its threads
are heavy). MOATKEEP_LOAD_CONNECTIONS sets N (the long run uses 5000, see
bench/README.md). The figures of the run (peak threads, descriptors, RSS)
are printed.

The test holds every connection from this one process: non-blocking sockets
on a selector for the clients, and one selector thread for the back ends
(echo server, slow HTTP server). pyftpdlib is the FTP site.
"""
import base64
import collections
import errno
import hashlib
import http.client
import itertools
import os
import queue
import random
import resource
import selectors
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import moatkeep_harness as h  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
HTTP_PORT = 18082
RELAY_A = 18023
RELAY_B = 18024
RELAY_ADDED = 18030  # added by the second form, removed by the third
MANY_RELAYS = range(19000, 19040)  # a reload opening these takes long enough for a form to land in it
FTP_RELAY = 2121
SOCKS_PORT = 1080
SITE_PORT = 21  # the FTP relay always reaches its site on port 21
SITE_PYTHON = "/usr/bin/python3"  # Debian's, with python3-pyftpdlib
FTP_USER = "loaduser"
FTP_PASSWORD = "l0ad"
AUTH = "Basic " + base64.b64encode(b"admin:pebble").decode()
# Posts name the page they come from, as a browser does.
ORIGIN = "http://127.0.0.1:%d" % HTTP_PORT

# Share of the connections per kind; the FTP site serves at most 512 at once.
SHARES = [("relay_a", 0.30), ("relay_b", 0.30), ("socks", 0.25), ("ftp", 0.05), ("http", 0.10)]
FTP_MAXIMUM = 400
ECHO_KINDS = ("relay_a", "relay_b", "relay_added", "socks")
LARGE = 64 * 1024      # every tenth echoing link sends this much per round
HTTP_SEGMENT = 4096    # body bytes of a held HTTP answer per round
RELOADS = 3
ROUNDS = RELOADS + 2   # one check before the reloads, one after each, a last one after the last new links
SETUP_WINDOW = 100     # connections being set up at once
# Links are numbered across the whole case: the number names a held HTTP request.
LINK_NUMBERS = itertools.count(1)

expect = h.expect


def log(text):
    print(text, flush=True)


# ---------------------------------------------------------------- sizing

def is_tsan_build(binary):
    if os.environ.get("TSAN_OPTIONS"):
        return True
    with open(binary, "rb") as program:
        return b"__tsan_init" in program.read()


def connection_count(binary):
    configured = os.environ.get("MOATKEEP_LOAD_CONNECTIONS")
    if configured:
        return max(int(configured), 20)
    return 150 if is_tsan_build(binary) else 600


def counts_by_kind(total):
    counts = {kind: int(total * share) for kind, share in SHARES}
    counts["ftp"] = max(1, min(counts["ftp"], FTP_MAXIMUM))
    counts["http"] = max(1, counts["http"])
    counts["relay_a"] += total - sum(counts.values())
    return counts


def raise_descriptor_limit(needed):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < needed:
        h.skip("%d descriptors needed, the hard limit is %d" % (needed, hard))
    if soft != resource.RLIM_INFINITY and soft < needed:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard if hard != resource.RLIM_INFINITY else needed, hard))


def widen_port_range(needed):
    """Each relayed connection takes two local ports of the namespace's range;
    the range starts above every fixed port the test uses."""
    path = "/proc/sys/net/ipv4/ip_local_port_range"
    with open(path) as current:
        low, high = (int(x) for x in current.read().split())
    if high - low >= needed:
        return
    with open(path, "w") as wider:
        wider.write("20000 65000\n")


# ---------------------------------------------------------------- the program

def process_figures(pid):
    """(descriptors, threads, RSS in KiB) of a live process."""
    descriptors = len(os.listdir("/proc/%d/fd" % pid))
    threads = rss = 0
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("Threads:"):
                threads = int(line.split()[1])
            elif line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return descriptors, threads, rss


def settled_figures(pid, timeout=30.0):
    """The descriptor and thread counts once they have not changed for a second."""
    deadline = time.monotonic() + timeout
    last = process_figures(pid)[:2]
    stable_since = time.monotonic()
    while time.monotonic() < deadline:
        time.sleep(0.2)
        now = process_figures(pid)[:2]
        if now != last:
            last, stable_since = now, time.monotonic()
        elif time.monotonic() - stable_since >= 1.0:
            break
    return last


def post_form(page, fields):
    """Stores a form of the administration site; the answer's status and body."""
    body = urllib.parse.urlencode(fields)
    conn = http.client.HTTPConnection("127.0.0.1", HTTP_PORT, timeout=30)
    try:
        conn.request("POST", "/" + page, body, {"Authorization": AUTH, "Origin": ORIGIN,
                                                "Content-Type": "application/x-www-form-urlencoded"})
        answer = conn.getresponse()
        return answer.status, answer.read()
    finally:
        conn.close()


class FtpSite:
    """pyftpdlib serving an empty directory on port 21."""

    def __init__(self):
        probe = subprocess.run([SITE_PYTHON, "-c", "import pyftpdlib"], capture_output=True, timeout=30)
        if probe.returncode != 0:
            h.skip("python3-pyftpdlib is not installed")
        self.directory = tempfile.mkdtemp(prefix="ftp-load-")
        self.process = subprocess.Popen([SITE_PYTHON, os.path.join(HERE, "ftp_site.py"), str(SITE_PORT),
                                         self.directory, FTP_USER, FTP_PASSWORD],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        expect(h.wait_until(lambda: h.can_connect(SITE_PORT), timeout=20), "the FTP site did not start")

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)
        os.rmdir(self.directory)


# ---------------------------------------------------------------- back ends

class PeerConn:
    def __init__(self, sock, kind):
        self.sock = sock
        self.kind = kind
        self.out = bytearray()
        self.inb = bytearray()
        self.close_when_sent = False
        self.head_read = False


class Peers:
    """The back ends on one selector thread: an echo server that passes the
    end of stream on, and an HTTP server that answers GET /hold/ID/LENGTH at
    once with a header declaring LENGTH, then sends the body in the parts it
    is handed (segment()), and closes after the last byte."""

    def __init__(self):
        self.selector = selectors.DefaultSelector()
        self.accepted = collections.Counter()  # connections per listener
        self.echo_port = self._listen("echo", "echo")
        # A second echo server, where a changed relay leads.
        self.other_echo_port = self._listen("other echo", "echo")
        self.http_port = self._listen("http", "http")
        self.wake_in, self.wake_out = socket.socketpair()
        self.wake_in.setblocking(False)
        self.selector.register(self.wake_in, selectors.EVENT_READ, ("wake", None))
        self.commands = queue.Queue()
        self.held = {}  # request id -> PeerConn, on the selector thread only
        self.errors = []
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _listen(self, name, kind):
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", 0))
        listener.listen(4096)
        listener.setblocking(False)
        self.selector.register(listener, selectors.EVENT_READ, ("listen", (name, kind)))
        return listener.getsockname()[1]

    def segment(self, request_id, data, last):
        self.commands.put((request_id, data, last))
        self.wake_out.send(b"x")

    def close(self):
        self.running = False
        self.wake_out.send(b"x")
        self.thread.join(timeout=10)
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()
        self.selector.close()
        self.wake_out.close()

    def _run(self):
        while self.running:
            for key, events in self.selector.select(0.2):
                role, detail = key.data
                if role == "listen":
                    self._accept(key.fileobj, detail)
                elif role == "wake":
                    self._commands()
                else:
                    self._serve(detail, events)

    def _accept(self, listener, name_and_kind):
        name, kind = name_and_kind
        for _ in range(256):
            try:
                sock, _ = listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            self.accepted[name] += 1
            sock.setblocking(False)
            self.selector.register(sock, selectors.EVENT_READ, ("conn", PeerConn(sock, kind)))

    def _commands(self):
        try:
            while self.wake_in.recv(4096):
                pass
        except BlockingIOError:
            pass
        while True:
            try:
                request_id, data, last = self.commands.get_nowait()
            except queue.Empty:
                return
            conn = self.held.get(request_id)
            if conn is None:
                self.errors.append("no held request %d" % request_id)
                continue
            conn.close_when_sent = last
            self._send(conn, data)

    def _send(self, conn, data):
        conn.out += data
        self.selector.modify(conn.sock, selectors.EVENT_READ | selectors.EVENT_WRITE, ("conn", conn))

    def _drop(self, conn):
        self.selector.unregister(conn.sock)
        conn.sock.close()

    def _serve(self, conn, events):
        try:
            if events & selectors.EVENT_WRITE and conn.out:
                sent = conn.sock.send(conn.out)
                del conn.out[:sent]
                if not conn.out:
                    if conn.close_when_sent:
                        if conn.kind == "echo":
                            conn.sock.shutdown(socket.SHUT_WR)
                        else:
                            self._drop(conn)
                            return
                    self.selector.modify(conn.sock, selectors.EVENT_READ, ("conn", conn))
            if events & selectors.EVENT_READ:
                data = conn.sock.recv(65536)
                if not data:
                    if conn.kind == "echo" and conn.out:
                        conn.close_when_sent = True
                        self.selector.modify(conn.sock, selectors.EVENT_WRITE, ("conn", conn))
                    else:
                        self._drop(conn)
                    return
                if conn.kind == "echo":
                    self._send(conn, data)
                else:
                    self._request(conn, data)
        except (BlockingIOError, InterruptedError):
            pass
        except OSError:
            self._drop(conn)

    def _request(self, conn, data):
        if conn.head_read:
            return  # a GET has no body; nothing else is expected
        conn.inb += data
        if b"\r\n\r\n" not in conn.inb:
            if len(conn.inb) > 65536:
                self._drop(conn)
            return
        conn.head_read = True
        first = bytes(conn.inb).split(b"\r\n", 1)[0].split()
        parts = first[1].split(b"/") if len(first) == 3 else []
        # "GET http://host:port/hold/ID/LENGTH HTTP/1.0", forwarded as the
        # client wrote it.
        if len(parts) < 3 or parts[-3] != b"hold":
            self.errors.append("unexpected request %r" % first)
            self._drop(conn)
            return
        request_id, length = int(parts[-2]), int(parts[-1])
        self.held[request_id] = conn
        self._send(conn, b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                         b"Content-Length: %d\r\n\r\n" % length)


# ---------------------------------------------------------------- clients

def reply_complete(inb):
    """Whether inb holds one complete FTP reply (single- or multi-line)."""
    end = inb.find(b"\r\n")
    if end < 0:
        return False
    first = inb[:end]
    if len(first) >= 4 and first[3:4] == b"-":
        closing = b"\r\n" + first[:3] + b" "
        at = inb.find(closing)
        return at >= 0 and inb.find(b"\r\n", at + 2) >= 0
    return True


def reply_code(expected):
    def check(link, data):
        return None if data[:4] == expected + b" " or data[:4] == expected + b"-" else \
            "expected %s, got %r" % (expected.decode(), bytes(data[:200]))
    return check


def received_exactly(count):
    return lambda inb: len(inb) >= count


def same_bytes(sent):
    digest = hashlib.sha256(sent).hexdigest()

    def check(link, data):
        if len(data) != len(sent):
            return "%d bytes back of %d" % (len(data), len(sent))
        if hashlib.sha256(data).hexdigest() != digest:
            return "%d bytes back, checksum differs" % len(data)
        return None
    return check


class Link:
    """One client connection of the test and the exchanges it waits for."""

    def __init__(self, kind, number, first_round):
        self.kind = kind
        self.number = number
        self.first_round = first_round
        self.sock = None
        self.out = bytearray()
        self.inb = bytearray()
        self.steps = []       # (bytes to send, complete(inb), check(link, data)) still to do
        self.connecting = False
        self.eof = False
        self.failed = None
        self.large = number % 10 == 0

    def name(self):
        return "%s #%d" % (self.kind, self.number)


class Clients:
    """The test's client connections on one selector."""

    def __init__(self):
        self.selector = selectors.DefaultSelector()
        self.busy = 0          # links with steps to do
        self.failures = []

    def open(self, link, port, steps):
        link.sock = socket.socket()
        link.sock.setblocking(False)
        link.steps = list(steps)
        link.connecting = True
        self.busy += 1
        code = link.sock.connect_ex(("127.0.0.1", port))
        if code not in (0, errno.EINPROGRESS):
            self._fail(link, "connect: %s" % os.strerror(code))
            return
        self.selector.register(link.sock, selectors.EVENT_WRITE, link)

    def exchange(self, link, steps):
        """Queues steps on an established link."""
        if link.failed:
            return
        link.steps = list(steps)
        self.busy += 1
        self._next_step(link)

    def run(self, timeout):
        """Serves events until no link has steps left; bounded by timeout."""
        deadline = time.monotonic() + timeout
        while self.busy > 0 and time.monotonic() < deadline:
            for key, events in self.selector.select(0.2):
                self._event(key.data, events)
        return self.busy == 0

    def pending(self, links):
        return [link for link in links if link.steps and not link.failed]

    def close(self, link):
        if link.sock is not None:
            try:
                self.selector.unregister(link.sock)
            except (KeyError, ValueError):
                pass
            link.sock.close()
            link.sock = None

    def wait_end(self, link):
        """Makes the link wait for the end of stream (with no bytes before it)."""
        link.steps = [(b"", None, None)]
        self.busy += 1
        if not link.eof:
            self._interest(link)
        self._check(link)

    def close_everything(self):
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()
        self.selector.close()

    # ---- inside

    def _fail(self, link, message):
        if link.failed is None:
            link.failed = message
            self.failures.append("%s: %s" % (link.name(), message))
            if link.steps:
                self.busy -= 1
                link.steps = []
        self.close(link)

    def _interest(self, link):
        events = selectors.EVENT_READ | (selectors.EVENT_WRITE if link.out else 0)
        try:
            self.selector.modify(link.sock, events, link)
        except KeyError:
            self.selector.register(link.sock, events, link)

    def _next_step(self, link):
        if not link.steps:
            self.busy -= 1
            return
        send = link.steps[0][0]
        link.out += send
        self._interest(link)
        self._check(link)

    def _check(self, link):
        while link.steps:
            _, complete, check = link.steps[0]
            if complete is None:
                # Waiting for the end of stream.
                if link.inb:
                    self._fail(link, "%d unexpected bytes before the end" % len(link.inb))
                elif link.eof:
                    link.steps = []
                    self.busy -= 1
                return
            if not complete(link.inb):
                if link.eof:
                    self._fail(link, "closed by the gateway (%d bytes of a reply)" % len(link.inb))
                return
            data = bytes(link.inb)
            link.inb.clear()
            problem = check(link, data)
            if problem:
                self._fail(link, problem)
                return
            link.steps.pop(0)
            if not link.steps:
                self.busy -= 1
                return
            link.out += link.steps[0][0]
            self._interest(link)

    def _event(self, link, events):
        if link.sock is None:
            return
        try:
            if link.connecting:
                error = link.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                if error:
                    self._fail(link, "connect: %s" % os.strerror(error))
                    return
                link.connecting = False
                send = link.steps[0][0] if link.steps else b""
                link.out += send
                self._interest(link)
                self._check(link)
                return
            if events & selectors.EVENT_WRITE and link.out:
                sent = link.sock.send(link.out)
                del link.out[:sent]
                if not link.out:
                    self._interest(link)
            if events & selectors.EVENT_READ:
                data = link.sock.recv(262144)
                if data:
                    link.inb += data
                else:
                    link.eof = True
                    if link.out:
                        self.selector.modify(link.sock, selectors.EVENT_WRITE, link)
                    else:
                        self.selector.unregister(link.sock)
                self._check(link)
        except (BlockingIOError, InterruptedError):
            pass
        except OSError as error:
            self._fail(link, str(error))


# ---------------------------------------------------------------- the load

def echo_steps(link, tag):
    """One exchange of fresh random bytes; large links send LARGE bytes."""
    size = LARGE if link.large else random.randint(1, 512)
    message = tag + os.urandom(size)
    return [(message, received_exactly(len(message)), same_bytes(message))]


def socks_request(port):
    return struct.pack("!BBH4s", 4, 1, port, socket.inet_aton("127.0.0.1")) + b"load\0"


def socks_granted(link, data):
    return None if data[:2] == b"\x00\x5a" else "SOCKS reply %r" % data


def http_head_check(length):
    def check(link, data):
        head, _, rest = data.partition(b"\r\n\r\n")
        if not head.startswith(b"HTTP/1.0 200 "):
            return "answer %r" % head[:200]
        if b"\r\nContent-Length: %d" % length not in head:
            return "length not passed on: %r" % head
        if rest:
            return "%d body bytes before any was sent" % len(rest)
        return None
    return check


class Load:
    """A set of held links and the rounds of data they carry."""

    def __init__(self, clients, peers):
        self.clients = clients
        self.peers = peers
        self.links = []
        self.http_bodies = {}  # link number -> segments sent so far

    def open(self, kind, count, first_round, timeout):
        """Opens count links of a kind, SETUP_WINDOW at a time; each is proved
        end to end before it counts as held."""
        fresh = []
        deadline = time.monotonic() + timeout
        for _ in range(count):
            while self.clients.busy >= SETUP_WINDOW and time.monotonic() < deadline:
                self.clients.run(0.2)
            link = Link(kind, next(LINK_NUMBERS), first_round)
            self.clients.open(link, *self._setup(link))
            fresh.append(link)
        self.clients.run(max(1.0, deadline - time.monotonic()))
        late = self.clients.pending(fresh)
        expect(not late, "%d %s links not set up in time, first %s" % (len(late), kind, late[0].name() if late else ""))
        failed = [link.name() + ": " + link.failed for link in fresh if link.failed]
        expect(not failed, "%d %s links failed to set up:\n%s" % (len(failed), kind, "\n".join(failed[:20])))
        self.links += fresh
        return fresh

    def _setup(self, link):
        tag = b"%s %d " % (link.kind.encode(), link.number)
        probe = [(tag, received_exactly(len(tag)), same_bytes(tag))]
        if link.kind == "relay_a":
            return RELAY_A, probe
        if link.kind == "relay_b":
            return RELAY_B, probe
        if link.kind == "relay_added":
            return RELAY_ADDED, probe
        if link.kind == "socks":
            return SOCKS_PORT, [(socks_request(self.peers.echo_port), received_exactly(8), socks_granted)] + probe
        if link.kind == "ftp":
            return FTP_RELAY, [(b"", reply_complete, reply_code(b"220")),
                               (b"USER %s@127.0.0.1\r\n" % FTP_USER.encode(), reply_complete, reply_code(b"331")),
                               (b"PASS %s\r\n" % FTP_PASSWORD.encode(), reply_complete, reply_code(b"230")),
                               (b"NOOP\r\n", reply_complete, reply_code(b"200"))]
        length = HTTP_SEGMENT * (ROUNDS - link.first_round)
        self.http_bodies[link.number] = 0
        request = b"GET http://127.0.0.1:%d/hold/%d/%d HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % (
            self.peers.http_port, link.number, length)
        return HTTP_PORT, [(request, lambda inb: b"\r\n\r\n" in inb, http_head_check(length))]

    def check_round(self, number, timeout):
        """Every held link carries fresh data once more."""
        live = [link for link in self.links if not link.failed]
        for link in live:
            if link.kind in ECHO_KINDS:
                self.clients.exchange(link, echo_steps(link, b"round %d " % number))
            elif link.kind == "ftp":
                self.clients.exchange(link, [(b"NOOP\r\n", reply_complete, reply_code(b"200"))])
            else:
                part = os.urandom(HTTP_SEGMENT)
                self.http_bodies[link.number] += 1
                last = self.http_bodies[link.number] == ROUNDS - link.first_round
                self.clients.exchange(link, [(b"", received_exactly(len(part)), same_bytes(part))])
                self.peers.segment(link.number, part, last)
        finished = self.clients.run(timeout)
        late = self.clients.pending(live)
        expect(finished and not late, "round %d: %d links did not answer in time, first %s" %
               (number, len(late), late[0].name() if late else ""))
        expect(not self.clients.failures, "round %d: %d links failed:\n%s" %
               (number, len(self.clients.failures), "\n".join(self.clients.failures[:20])))

    def close_all(self, timeout):
        """The HTTP answers end with their declared length (the gateway then
        closes); every other link is closed by the client."""
        answers = [link for link in self.links if link.kind == "http" and not link.failed]
        for link in answers:
            self.clients.wait_end(link)
        self.clients.run(timeout)
        late = self.clients.pending(answers)
        expect(not late, "%d HTTP answers did not end after their length" % len(late))
        for link in self.links:
            self.clients.close(link)
        expect(not self.clients.failures, "closing: %s" % "\n".join(self.clients.failures[:20]))


def open_new_links(load, per_kind, first_round, kinds, timeout):
    for kind in kinds:
        load.open(kind, per_kind, first_round, timeout)


class Churn:
    """Short connections to a relay, one after another on a thread of their
    own, while a form is stored: accepts race the closing of the listeners.
    Refusals while the listeners are down are expected; the echoes counted
    show the churn ran before and after the reload."""

    def __init__(self, port):
        self.port = port
        self.stop = threading.Event()
        self.echoed = 0
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        deadline = time.monotonic() + 300
        while not self.stop.is_set() and time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=5) as conn:
                    conn.sendall(b"churn")
                    if h.recv_until(conn, b"churn", timeout=5) == b"churn":
                        self.echoed += 1
            except OSError:
                time.sleep(0.01)

    def __enter__(self):
        expect(h.wait_until(lambda: self.echoed > 0, timeout=20), "the churn's connections were not relayed")
        return self

    def __exit__(self, *exception):
        self.stop.set()
        self.thread.join(timeout=20)
        if exception[0] is None:
            expect(not self.thread.is_alive(), "a churn connection hung")


def store_form(proxy, page, fields, reloads):
    with Churn(RELAY_B) as churn:
        status, body = post_form(page, fields)
        expect(status == 200 and b"Accepted New Configuration" in body,
               "post of %s: %d %r" % (page, status, body[:300]))
        proxy.wait_log(r"Warning: Configuration changed, reloaded\.", timeout=60, count=reloads)
        echoed = churn.echoed
        expect(h.wait_until(lambda: churn.echoed > echoed, timeout=20), "the churn was not relayed after the reload")
    expect(proxy.process.poll() is None, "the program ended after storing %s" % page)


def relay_refuses(port):
    return h.wait_until(lambda: h.refused(port), timeout=10)


def case_reload_under_load(binary):
    total = connection_count(binary)
    counts = counts_by_kind(total)
    per_kind_new = max(2, total // 100)
    # Clients and the back ends' ends of each connection live in this process.
    raise_descriptor_limit(3 * total + 1000)
    widen_port_range(2 * total + 8 * per_kind_new * RELOADS + 2000)
    log("connections: %d %r" % (total, counts))

    peers = Peers()
    site = FtpSite()
    clients = Clients()
    relays = [(str(RELAY_A), "127.0.0.1:%d" % peers.echo_port), (str(RELAY_B), "127.0.0.1:%d" % peers.echo_port),
              (str(FTP_RELAY), "(FTP)")]
    proxy = h.Moatkeep(binary, h.ini(HTTP_PORT, relays, extra_globals="Log Level=2\n"))
    setup_time = 60 + total / 10
    round_time = 60 + total / 20
    try:
        proxy.start_debug()
        proxy.wait_log(r"Warning: Proxies started\.", timeout=30)
        pid = proxy.process.pid

        # Warm-up: more connection threads than the thread pool parks, so the
        # idle figures include a full pool, as they will after the load.
        warm = Load(clients, peers)
        for kind, count in (("relay_a", 80), ("socks", 2), ("ftp", 2), ("http", 2)):
            warm.open(kind, count, ROUNDS - 1, setup_time)
        warm.check_round(ROUNDS - 1, round_time)
        warm.close_all(30)
        idle_fds, idle_threads = settled_figures(pid)
        log("idle: %d descriptors, %d threads" % (idle_fds, idle_threads))

        load = Load(clients, peers)
        started = time.monotonic()
        for kind, count in counts.items():
            load.open(kind, count, 0, setup_time)
        log("%d links held after %.1f s" % (len(load.links), time.monotonic() - started))
        load.check_round(0, round_time)
        peak = process_figures(pid)

        forms = [
            ("globals.html", [("SOCKS Timeout", "20")], None),
            # A relay added, and relay B led to the other echo server: its
            # links keep their server, its new links go to the other.
            ("relays.html", [("New relay service", str(RELAY_ADDED)),
                             ("New relay destination", "127.0.0.1:%d" % peers.echo_port),
                             (str(RELAY_B), "127.0.0.1:%d" % peers.other_echo_port)], "added"),
            ("relays.html", [(str(RELAY_ADDED), "")], "removed"),
        ]
        for reload_number, (page, fields, relay_change) in enumerate(forms, start=1):
            store_form(proxy, page, fields, reload_number)
            load.check_round(reload_number, round_time)
            kinds = ["relay_a", "relay_b", "socks", "ftp", "http"]
            if relay_change == "added":
                kinds.append("relay_added")
            elif relay_change == "removed":
                expect(relay_refuses(RELAY_ADDED), "the removed relay still takes connections")
            # New links, held from here on through the next reloads.
            other_before = peers.accepted["other echo"]
            open_new_links(load, per_kind_new, reload_number + 1, kinds, setup_time)
            led_away = per_kind_new if reload_number >= 2 else 0
            expect(peers.accepted["other echo"] - other_before == led_away,
                   "reload %d: %d new links of relay B reached the other echo server, %d expected" %
                   (reload_number, peers.accepted["other echo"] - other_before, led_away))
            figures = process_figures(pid)
            peak = tuple(max(a, b) for a, b in zip(peak, figures))
            log("reload %d (%s): all links answered; %d held; %d descriptors, %d threads, RSS %d KiB" %
                ((reload_number, page, len(load.links)) + figures))
        load.check_round(ROUNDS - 1, round_time)
        expect(not peers.errors, "back end: %s" % peers.errors[:10])
        expect(proxy.process.poll() is None, "the program ended under load")
        log("peak: %d descriptors, %d threads, RSS %d KiB" % peak)

        load.close_all(round_time)
        # Connection threads end and give back their descriptors; the
        # listeners are those of the start again (the added relay is gone).
        deadline = time.monotonic() + 60 + total / 50
        figures = process_figures(pid)
        while time.monotonic() < deadline and (figures[0] > idle_fds or figures[1] > idle_threads):
            time.sleep(0.2)
            figures = process_figures(pid)
        log("after closing: %d descriptors, %d threads, RSS %d KiB" % figures)
        expect(figures[0] <= idle_fds, "descriptors: %d after the load, %d idle" % (figures[0], idle_fds))
        expect(figures[1] <= idle_threads, "threads: %d after the load, %d idle" % (figures[1], idle_threads))
        # And the service still serves.
        after = Load(clients, peers)
        after.open("relay_b", 2, ROUNDS - 1, setup_time)
        after.check_round(ROUNDS - 1, round_time)
        after.close_all(10)
        expect(proxy.process.poll() is None, "the program ended")
        # Without remote systems every relayed connection logs that no
        # dial-up link was made; nothing else may be an error.
        errors = proxy.matching(r"(Fatal error|Error): (?!No remote access connection made\.).*")
        expect(not errors, "errors logged:\n%s" % "\n".join(errors[:20]))
        # The built-in login is warned of at start, as it should be.
        warnings = proxy.matching(r"Warning: (?!Proxies started\.|Configuration changed, reloaded\.|"
                                  r"The administration login is the built-in default; ).*")
        expect(not warnings, "warnings logged:\n%s" % "\n".join(warnings[:20]))
    finally:
        clients.close_everything()
        proxy.stop()
        site.stop()
        peers.close()


def echoes_through(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as conn:
            conn.sendall(b"after the forms")
            return h.recv_until(conn, b"forms") == b"after the forms"
    except OSError:
        return False


def case_concurrent_forms(binary):
    """Several administrators store forms at once while the gateway has many
    relays, so a post lands while a reload is still opening listeners. Every
    reload must find its ports free and leave every listener open."""
    peers = Peers()
    relays = [(str(port), "127.0.0.1:%d" % peers.echo_port) for port in MANY_RELAYS]
    proxy = h.Moatkeep(binary, h.ini(HTTP_PORT, relays, extra_globals="Log Level=2\n"))
    accepted = []
    lock = threading.Lock()

    during_reload = []

    def post_during_reload(fields):
        """Posts the form; also answers whether the post reached the site while
        a reload was still opening listeners: the site's port (opened first by
        a load) took the connection while the last relay (opened last) was
        not yet listening."""
        body = urllib.parse.urlencode(fields)
        conn = http.client.HTTPConnection("127.0.0.1", HTTP_PORT, timeout=30)
        try:
            conn.connect()
            reloading = h.refused(MANY_RELAYS[-1])
            conn.request("POST", "/globals.html", body, {"Authorization": AUTH, "Origin": ORIGIN,
                                                         "Content-Type": "application/x-www-form-urlencoded"})
            answer = conn.getresponse()
            answer.read()
            return answer.status, reloading
        finally:
            conn.close()

    def administrator(number):
        deadline = time.monotonic() + 10
        stored = 0
        landed = 0
        while stored < 25 and time.monotonic() < deadline:
            try:
                status, reloading = post_during_reload([("SOCKS Timeout", str(10 + number * 25 + stored))])
            except OSError:
                # The site is down while the listeners are reopened.
                time.sleep(0.005)
                continue
            if status == 200:
                stored += 1
                landed += 1 if reloading else 0
        with lock:
            accepted.append(stored)
            during_reload.append(landed)

    try:
        proxy.start_debug()
        proxy.wait_log(r"Warning: Proxies started\.", timeout=30)
        administrators = [threading.Thread(target=administrator, args=(n,), daemon=True) for n in range(4)]
        for thread in administrators:
            thread.start()
        for thread in administrators:
            thread.join(timeout=60)
        expect(not any(thread.is_alive() for thread in administrators), "a form post hung")
        log("forms stored: %r, of them during a reload: %r; reloads: %d" %
            (accepted, during_reload, len(proxy.matching(r"Warning: Configuration changed, reloaded\."))))
        expect(sum(accepted) >= 2, "too few forms stored to overlap: %r" % accepted)
        expect(sum(during_reload) >= 1, "no form landed while a reload was opening listeners: %r" % during_reload)
        expect(proxy.process.poll() is None, "the program ended:\n%s" % "\n".join(proxy.log()[-20:]))
        # The last reload done, the site and every relay answer again.
        expect(h.wait_until(lambda: h.can_connect(HTTP_PORT), timeout=30), "the site did not come back")
        status, _ = post_form("globals.html", [("SOCKS Timeout", "10")])
        expect(status == 200, "a form after the others: %d" % status)
        reloads = len(proxy.matching(r"Warning: Configuration changed, reloaded\."))
        proxy.wait_log(r"Warning: Configuration changed, reloaded\.", timeout=30, count=reloads + 1)
        silent = [port for port in MANY_RELAYS if not echoes_through(port)]
        expect(not silent, "relays that do not carry data after the forms: %r" % silent)
        errors = proxy.matching(r"(Fatal error|Error): (?!No remote access connection made\.).*")
        expect(not errors, "errors logged:\n%s" % "\n".join(errors[:20]))
    finally:
        proxy.stop()
        peers.close()


CASES = {name[len("case_"):]: function for name, function in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    h.run_cases(CASES)
