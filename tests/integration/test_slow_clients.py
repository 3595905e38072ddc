"""Slow clients cannot take moatkeep down: a client that trickles its request
byte by byte, each byte well within the read time-out, is cut off by a bound
on the whole request, holds only its own thread meanwhile, and many such
clients at once leave the administration site answering.

    test_slow_clients.py --binary PATH CASE

Cases:
  http_trickle   request line, header and body trickled to the HTTP port:
                 each gets the 400 page "Request not complete in time."
                 after the 30 s request bound, while the site answers others
  socks_trickle  a SOCKS request trickled with "SOCKS Timeout=1" is cut off
                 after 1 s in all (not after 1 s per byte) and logged as a
                 protocol read error; a prompt client is served meanwhile
  ask_trickle    a client that never falls quiet before the "host> " prompt
                 still gets it after a few quiet periods, and its line works
  many_clients   MOATKEEP_SLOW_CLIENTS (default 1000; fewer under
                 ThreadSanitizer) slow clients each on the HTTP port and the
                 SOCKS port while the administration site is fetched; once
                 they leave, threads and descriptors return to their idle
                 counts. A long run: MOATKEEP_SLOW_CLIENTS=5000.
"""
import base64
import http.client
import os
import re
import resource
import select
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import moatkeep_harness as h  # noqa: E402

HTTP_PORT = 18082
SOCKS_PORT = 1080
ASK_PORT = 18028
LOGIN = "admin:pebble"
ERROR_SUFFIX = r"( - error = \d+)?"
GRANTED = bytes([0, 90, 0, 0, 0, 0, 0, 0])
# ZHTTPLimits::requestTime: the whole request must arrive within it.
HTTP_REQUEST_TIME = 30.0
# Finished threads the library keeps parked for the next body (kMaxParked).
PARKED_THREADS = 64

expect = h.expect


def start(binary, relays=(), extra_globals=""):
    proxy = h.Moatkeep(binary, h.ini(HTTP_PORT, relays, None, extra_globals)).start_debug()
    proxy.wait_log(r"Warning: Proxies started\.")
    proxy.wait_log(r'Information: Opened master socket for service "%s"\.'
                   % re.escape(h.service_name(SOCKS_PORT)))
    return proxy


def socks_request(port, user=b""):
    return struct.pack("!BBH4s", 4, 1, port, socket.inet_aton("127.0.0.1")) + user + b"\0"


def admin_page(path="globals.html", timeout=30.0):
    """GET of an administration page with the login: status and body."""
    conn = http.client.HTTPConnection("127.0.0.1", HTTP_PORT, timeout=timeout)
    try:
        credentials = base64.b64encode(LOGIN.encode()).decode()
        conn.request("GET", "/" + path, headers={"Authorization": "Basic " + credentials})
        answer = conn.getresponse()
        return answer.status, answer.read()
    finally:
        conn.close()


def expect_admin_answers(what):
    status, body = admin_page()
    expect(status == 200 and b"Global Parameters" in body, "%s: the site answered %d %r" % (what, status, body[:200]))


def socks_echo(echo_port, payload):
    """A well-behaved SOCKS client: the whole request at once, then data."""
    with socket.create_connection(("127.0.0.1", SOCKS_PORT), timeout=10) as conn:
        conn.sendall(socks_request(echo_port, b"prompt"))
        reply = h.recv_until(conn, GRANTED, timeout=10)
        expect(reply == GRANTED, "prompt SOCKS client got %r" % reply)
        conn.sendall(payload)
        expect(h.recv_until(conn, payload) == payload, "no echo through the SOCKS link")


class Trickler:
    """Sends data one byte per `pause` seconds on its own thread until the
    server ends the connection (or answers), or everything is sent; bounded
    by the data's length."""

    def __init__(self, port, head, data, pause, answer_end=None):
        self.answer_end = answer_end  # what ends an answer; None: the end of the stream
        self.conn = socket.create_connection(("127.0.0.1", port), timeout=10)
        if head:
            self.conn.sendall(head)
        self.data = data
        self.pause = pause
        self.sent = 0
        self.answer = b""
        self.ended = False
        self.began = time.monotonic()
        self.took = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            for byte in self.data:
                self.conn.sendall(bytes([byte]))
                self.sent += 1
                readable, _, _ = select.select([self.conn], [], [], self.pause)
                if readable:
                    self._take_answer()
                    return
            readable, _, _ = select.select([self.conn], [], [], 10)
            if readable:
                self._take_answer()
        except OSError:
            self.ended = True
        finally:
            self.took = time.monotonic() - self.began

    def _take_answer(self):
        if self.answer_end is None:
            self.answer = h.recv_all(self.conn, timeout=10)
            self.ended = True
        else:
            self.answer = h.recv_until(self.conn, self.answer_end, timeout=10)

    def join(self, timeout):
        self.thread.join(timeout)
        expect(not self.thread.is_alive(), "the trickling client was never cut off")
        self.conn.close()


# ---------------------------------------------------------------- cases

def case_http_trickle(binary):
    """Trickled request line, header (of a GET and of a CONNECT) and body: each is refused with the 400
    page after the request bound, while the site serves others."""
    proxy = start(binary)
    try:
        # One byte every 0.5 s, well within the 10 s allowed between the
        # characters of a line, but far more bytes than the bound lets through.
        pause = 0.5
        enough = int(HTTP_REQUEST_TIME / pause) * 3
        clients = {
            "request line": Trickler(HTTP_PORT, b"", b"GET /" + b"a" * enough, pause),
            "header": Trickler(HTTP_PORT, b"GET / HTTP/1.0\r\n", b"X-Slow: " + b"a" * enough + b"\r\n\r\n", pause),
            "CONNECT header": Trickler(HTTP_PORT, b"CONNECT 127.0.0.1:443 HTTP/1.0\r\n",
                                       b"X-Slow: " + b"a" * enough + b"\r\n\r\n", pause),
            "body": Trickler(HTTP_PORT, b"POST /globals.html HTTP/1.0\r\nHost: 127.0.0.1:%d\r\nOrigin: http://127.0.0.1:%d\r\n"
                             b"Content-Length: %d\r\n\r\n" % (HTTP_PORT, HTTP_PORT, enough),
                             b"b" * enough, pause),
        }
        # Others are served while the trickles go on.
        time.sleep(2)
        expect_admin_answers("during the trickles")
        for what, client in clients.items():
            client.join(HTTP_REQUEST_TIME + 30)
            expect(client.answer.startswith(b"HTTP/1.0 400 Bad Request\r\n")
                   and b"Request not complete in time." in client.answer,
                   "%s trickled: answer %r" % (what, client.answer[:300]))
            expect(client.sent < len(client.data), "%s: the whole request was read (%d bytes in %.1f s)"
                   % (what, client.sent, client.took))
        expect_admin_answers("after the trickles")
        expect(proxy.process.poll() is None, "service ended")
    finally:
        proxy.stop()


def case_socks_trickle(binary):
    """With "SOCKS Timeout=1" the whole request must come within 1 s: a byte
    every 0.5 s is cut off after about two bytes, not after the request."""
    echo = h.Server(h.echo_handler)
    proxy = start(binary, extra_globals="SOCKS Timeout=1\n")
    try:
        data = socks_request(echo.port, b"a-trickling-client")
        client = Trickler(SOCKS_PORT, b"", data, 0.5)
        socks_echo(echo.port, b"served meanwhile")
        client.join(30)
        expect(client.ended and client.answer == b"", "trickling client got %r" % client.answer)
        expect(client.sent < len(data), "the whole trickled request was read (%d bytes in %.1f s)"
               % (client.sent, client.took))
        proxy.wait_log(r"Error: Protocol read error for SOCKS server: Resource temporarily unavailable"
                       + ERROR_SUFFIX)
        expect(echo.accepted == 1, "the trickled request reached the destination (%d)" % echo.accepted)
        socks_echo(echo.port, b"served after")
    finally:
        proxy.stop()
        echo.close()


def case_ask_trickle(binary):
    """A client that sends a byte every second never leaves the 2 s quiet
    period that ends the swallowing before "host> ": the prompt comes after a
    few periods anyway, and the line typed after it is taken."""
    echo = h.Server(h.echo_handler)
    proxy = start(binary, relays=[(str(ASK_PORT), "(ASK)")])
    try:
        proxy.wait_log(r'Information: Opened master socket for service "%s"\.' % re.escape(h.service_name(ASK_PORT)))
        # NUL bytes, as a terminal might send: no part of the host line.
        client = Trickler(ASK_PORT, b"", b"\0" * 40, 1.0, answer_end=b"host> ")
        # Another client meanwhile gets its prompt after one quiet period.
        with socket.create_connection(("127.0.0.1", ASK_PORT), timeout=10) as other:
            expect(h.recv_until(other, b"host> ") == b"host> ", "no prompt for a quiet client")
        client.thread.join(60)
        expect(not client.thread.is_alive(), "the prompt never came to the trickling client")
        expect(client.answer == b"host> ", "trickling client got %r" % client.answer)
        expect(client.sent < len(client.data), "prompted only once the trickle stopped (%d bytes in %.1f s)"
               % (client.sent, client.took))
        line = b"127.0.0.1:%d\r" % echo.port
        client.conn.sendall(line)
        expect(h.recv_until(client.conn, b"\r\n") == line + b"\n", "echo of the host line")
        client.conn.sendall(b"through")
        expect(h.recv_until(client.conn, b"through") == b"through", "no link after the prompt")
        client.conn.close()
    finally:
        proxy.stop()
        echo.close()


def proc_counts(pid):
    """The process's thread and descriptor counts."""
    with open("/proc/%d/status" % pid) as status:
        threads = int(re.search(r"^Threads:\s+(\d+)", status.read(), re.M).group(1))
    return threads, len(os.listdir("/proc/%d/fd" % pid))


def steady_counts(pid):
    """The counts when they stay the same for half a second, else None."""
    first = proc_counts(pid)
    time.sleep(0.5)
    return first if proc_counts(pid) == first else None


def under_thread_sanitizer(binary):
    return "TSAN_OPTIONS" in os.environ or "tsan" in os.path.basename(os.path.dirname(os.path.abspath(binary)))


def open_slow(port, head, count, clients):
    """Opens count connections that send head and then nothing more."""
    for _ in range(count):
        conn = socket.create_connection(("127.0.0.1", port), timeout=30)
        conn.sendall(head)
        clients.append(conn)


class Keeper:
    """Keeps slow clients trickling: one more byte to each every `pause`
    seconds, well within the per-read time-outs, so that only the bounds on
    whole requests could end them. Bounded in rounds."""

    def __init__(self, clients, byte, pause=2.0, rounds=60):
        self.clients = clients
        self.byte = byte
        self.pause = pause
        self.rounds = rounds
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        for _ in range(self.rounds):
            if self.stopping.wait(self.pause):
                return
            for conn in self.clients:
                try:
                    conn.send(self.byte)
                except OSError:
                    pass

    def stop(self):
        self.stopping.set()
        self.thread.join(timeout=30)


def case_many_clients(binary):
    """Many slow clients on the HTTP and SOCKS ports at once: each holds one
    thread; the administration site and a prompt SOCKS client are served
    meanwhile; when they leave, threads and descriptors return to idle."""
    default = 150 if under_thread_sanitizer(binary) else 1000
    count = int(os.environ.get("MOATKEEP_SLOW_CLIENTS", default))
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 2 * count + 256
    if soft < wanted:
        if hard != resource.RLIM_INFINITY and hard < wanted:
            h.skip("%d descriptors needed, the hard limit is %d" % (wanted, hard))
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
    echo = h.Server(h.echo_handler)
    # The SOCKS clients must stay for the whole case, not be timed out.
    proxy = start(binary, extra_globals="SOCKS Timeout=300\n")
    socks_clients = []
    http_clients = []
    keepers = []
    try:
        pid = proxy.process.pid
        expect_admin_answers("idle")
        idle = h.wait_until(lambda: steady_counts(pid), timeout=20)
        expect(idle, "the idle counts did not settle")
        idle_threads, idle_fds = idle

        open_slow(SOCKS_PORT, socks_request(echo.port)[:3], count, socks_clients)
        keepers.append(Keeper(socks_clients, b"u"))
        open_slow(HTTP_PORT, b"GET / HTTP/1.0\r\nX-Slow: ", count, http_clients)
        keepers.append(Keeper(http_clients, b"a"))
        # Every slow client is served by a thread of its own (besides the
        # two listeners' threads) and holds its descriptor.
        def held():
            threads, fds = proc_counts(pid)
            return threads >= 2 * count + 2 and fds >= idle_fds + 2 * count

        expect(h.wait_until(held, timeout=25, step=0.2),
               "%d slow clients: %d threads, %d descriptors (idle %d)" % ((2 * count,) + proc_counts(pid) + (idle_fds,)))

        began = time.monotonic()
        expect_admin_answers("with %d slow clients" % (2 * count))
        socks_echo(echo.port, b"served among slow clients")
        print("site answered among %d slow clients in %.2f s" % (2 * count, time.monotonic() - began))
        expect(held(), "slow clients were dropped while the site answered: %d threads, %d descriptors"
               % proc_counts(pid))
        expect(proxy.process.poll() is None, "service ended")

        for keeper in keepers:
            keeper.stop()
        for conn in socks_clients + http_clients:
            conn.close()
        socks_clients = http_clients = []

        # Finished threads are parked for later connections (at most
        # PARKED_THREADS of them); they hold no descriptor.
        def back_to_idle():
            threads, fds = proc_counts(pid)
            return threads <= idle_threads + PARKED_THREADS + 2 and fds <= idle_fds + 2

        settled = h.wait_until(back_to_idle, timeout=60, step=0.2)
        threads, fds = proc_counts(pid)
        expect(settled, "after the slow clients left: %d threads (idle %d), %d descriptors (idle %d)"
               % (threads, idle_threads, fds, idle_fds))
        expect_admin_answers("after the slow clients")
    finally:
        for keeper in keepers:
            keeper.stop()
        for conn in socks_clients + http_clients:
            conn.close()
        proxy.stop()
        echo.close()


if __name__ == "__main__":
    h.run_cases({
        "http_trickle": case_http_trickle,
        "socks_trickle": case_socks_trickle,
        "ask_trickle": case_ask_trickle,
        "many_clients": case_many_clients,
    })
