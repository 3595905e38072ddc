"""The TCP relays of moatkeep end to end: plain relays, the "(ASK)" prompt,
restrictions, half-closed links, descriptor shortage, pause and continue."""
import hashlib
import os
import re
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import moatkeep_harness as h  # noqa: E402

HTTP_PORT = 18082


def ini(relays, security=None, extra_globals=""):
    return h.ini(HTTP_PORT, relays, security, extra_globals)


expect = h.expect


def opened(proxy, port):
    proxy.wait_log(r'Information: Opened master socket for service "%s"\.' % re.escape(h.service_name(port)))


def start(binary, text, limits=None):
    proxy = h.Moatkeep(binary, text, limits).start_debug()
    proxy.wait_log(r"Warning: Proxies started\.")
    return proxy


# ---------------------------------------------------------------- cases

def case_startup_log(binary):
    """The exact log lines of a start, a bad line among good ones, and the stop."""
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini([("18023", "127.0.0.1:%d" % echo.port), ("18024", "(ask)"),
                               ("18025", ""), ("bad/xyz", "127.0.0.1"), ("18026", "nohost:99999"),
                               ("18027/udp", "(FTP)"), ("18028", "(ASK)")]))
    try:
        opened(proxy, HTTP_PORT)
        opened(proxy, 18023)
        opened(proxy, 18028)
        proxy.wait_log(r'Information: Opened master socket for service "socks/tcp"\.')
        proxy.wait_log(r'Error: Invalid special relay name "\(ask\)" for service "%s"\.( - error = \d+)?'
                       % re.escape(h.service_name(18024)))
        proxy.wait_log(r'Error: Invalid service description: "bad/xyz"\.( - error = \d+)?')
        proxy.wait_log(r'Error: Invalid relay point "nohost:99999" for service "%s"\.( - error = \d+)?'
                       % re.escape(h.service_name(18026)))
        proxy.wait_log(r'Error: Invalid special relay for UDP service "%s"\.( - error = \d+)?'
                       % re.escape(h.service_name(18027, "udp")))
        # The key with an empty value is gone from the file, the others stay.
        text = proxy.read_ini()
        expect("18025" not in text and "bad/xyz=127.0.0.1" in text, "INI after load:\n" + text)
        # The good relays work although bad ones surround them.
        with socket.create_connection(("127.0.0.1", 18023), timeout=5) as conn:
            conn.sendall(b"ping")
            expect(h.recv_until(conn, b"ping") == b"ping", "no echo through relay")
        proxy.process.terminate()
        proxy.process.wait(timeout=10)
        proxy.wait_log(r"Warning: Proxies stopped\.")
    finally:
        proxy.stop()
        echo.close()


def case_bulk_checksum(binary):
    """100 MB both ways through a plain relay to an echo server, checksummed."""
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini([("18023", "127.0.0.1:%d" % echo.port)]))
    total = 100 * 1024 * 1024
    block = hashlib.sha256(b"seed").digest() * 32768  # 1 MiB of varied bytes
    block = bytes((b + i) & 0xFF for i, b in enumerate(block[:65536])) * 16
    sent_digest = hashlib.sha256()
    received_digest = hashlib.sha256()
    received = [0]
    try:
        conn = socket.create_connection(("127.0.0.1", 18023), timeout=60)

        def receive():
            while True:
                data = conn.recv(1 << 20)
                if not data:
                    return
                received_digest.update(data)
                received[0] += len(data)

        reader = threading.Thread(target=receive, daemon=True)
        reader.start()
        left = total
        while left > 0:
            part = block[:min(left, len(block))]
            conn.sendall(part)
            sent_digest.update(part)
            left -= len(part)
        conn.shutdown(socket.SHUT_WR)
        reader.join(timeout=120)
        expect(not reader.is_alive(), "echo did not finish")
        conn.close()
        expect(received[0] == total, "received %d of %d bytes" % (received[0], total))
        expect(received_digest.hexdigest() == sent_digest.hexdigest(), "checksum differs")
        proxy.wait_log(r'Information: Relay for "%s" started from "[^"]+" to "[^"]+"\.'
                       % re.escape(h.service_name(18023)))
        proxy.wait_log(r'Information: Relay for "%s" closed \(sent %d bytes, received %d bytes\)\.'
                       % (re.escape(h.service_name(18023)), total, total), timeout=20)
    finally:
        proxy.stop()
        echo.close()


def case_half_close(binary):
    """The client ends its sending side after the request and still gets the whole answer."""
    answer = 3 * 1024 * 1024
    server = h.Server(h.answer_after_end_handler(answer))
    proxy = start(binary, ini([("18023", "127.0.0.1:%d" % server.port)]))
    try:
        for request_size in (0, 1, 100000):
            request = b"r" * request_size
            with socket.create_connection(("127.0.0.1", 18023), timeout=30) as conn:
                conn.sendall(request)
                conn.shutdown(socket.SHUT_WR)
                data = h.recv_all(conn, timeout=30)
            head, _, body = data.partition(b"\n")
            expect(head == hashlib.sha256(request).hexdigest().encode(), "request not delivered whole")
            expect(len(body) == answer, "answer %d of %d bytes" % (len(body), answer))
            expect(body == (bytes(range(256)) * 256 * (answer // 65536 + 1))[:answer], "answer corrupted")
            proxy.wait_log(r'Information: Relay for "%s" closed \(sent %d bytes, received %d bytes\)\.'
                           % (re.escape(h.service_name(18023)), request_size, answer + 65), timeout=10)
    finally:
        proxy.stop()
        server.close()


def _waits_on_client_alone(relay_port, outgoing):
    """Whether a link of relay_port has its outgoing connection (local port,
    remote port) over both ways (gone to TIME_WAIT) while its client side is
    still open and holds the client's end (CLOSE_WAIT): the link then waits
    on the client alone."""
    destination_over = client_open = False
    with open("/proc/net/tcp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            local_port = int(fields[1].split(":")[1], 16)
            remote_port = int(fields[2].split(":")[1], 16)
            if (local_port, remote_port) == outgoing and fields[3] == "06":
                destination_over = True
            if local_port == relay_port and fields[3] == "08":
                client_open = True
    return destination_over and client_open


def case_half_close_slow_reader(binary):
    """The client half-closes after its request, the destination answers and
    closes, and the client reads slowly: while the link waits for it with
    the destination's side over both ways, it costs no processor time, and
    every byte still arrives."""
    answer = 8 * 1024 * 1024
    answering = h.answer_after_end_handler(answer)
    outgoing = []  # (the relay's port, the server's) of each link

    def handler(conn):
        outgoing.append((conn.getpeername()[1], conn.getsockname()[1]))
        answering(conn)

    server = h.Server(handler)
    proxy = start(binary, ini([("18023", "127.0.0.1:%d" % server.port)], extra_globals="Log Level=3\n"))
    try:
        # The state is reached in the last moments of the answer; a round
        # that missed it (the client read too fast for once) is run again.
        for attempt in range(3):
            conn = socket.socket()
            # A small window, so that most of the answer waits in the relay.
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
            conn.settimeout(30)
            conn.connect(("127.0.0.1", 18023))
            conn.sendall(b"request")
            conn.shutdown(socket.SHUT_WR)
            # Read slowly until the whole rest of the answer, and its end,
            # have reached the relay: the link then waits on the client alone.
            data = b""
            deadline = time.monotonic() + 60
            reached = False
            while time.monotonic() < deadline:
                # Seen twice: a link that has just ended passes through it too.
                reached = len(outgoing) > attempt and _waits_on_client_alone(18023, outgoing[attempt])
                if reached:
                    time.sleep(0.3)
                    reached = _waits_on_client_alone(18023, outgoing[attempt])
                    break
                part = conn.recv(4096)
                if not part:
                    break
                data += part
                time.sleep(0.001)
            used = h.cpu_while_idle(proxy.process.pid, 3.0) if reached else 0.0
            data += h.recv_all(conn, timeout=30)
            conn.close()
            head, _, body = data.partition(b"\n")
            expect(head == hashlib.sha256(b"request").hexdigest().encode(), "request not delivered whole")
            expect(body == (bytes(range(256)) * 256 * (answer // 65536 + 1))[:answer],
                   "answer: %d of %d bytes" % (len(body), answer))
            proxy.wait_log(r'Information: Relay for "%s" closed \(sent 7 bytes, received %d bytes\)\.'
                           % (re.escape(h.service_name(18023)), answer + 65), timeout=10, count=attempt + 1)
            if reached:
                break
        expect(reached, "the link never waited on its client side alone")
        # A link polling without end burns a whole core: about 3 s here.
        expect(used < 1.0, "%.2f s of processor time while the link waited" % used)
    finally:
        proxy.stop()
        server.close()


def ask_prompt(conn):
    data = h.recv_until(conn, b"host> ", timeout=8)
    expect(data == b"host> ", "prompt: %r" % data)


def case_ask_dialogue(binary):
    """Prompt, echo, backspace editing, bad destinations and a host without port."""
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini([("18028", "(ASK)")]))
    name = re.escape(h.service_name(18028))
    try:
        # Whatever comes before the prompt is swallowed; editing is echoed.
        with socket.create_connection(("127.0.0.1", 18028), timeout=10) as conn:
            conn.sendall(b"\xff\xfb\x01 negotiation")
            ask_prompt(conn)
            typed = b"\x08127.0.0.x\x7f1:%d\x01\r" % echo.port
            conn.sendall(typed)
            expected = b"\x08 \x08127.0.0.x\x08 \x081:%d\r\n" % echo.port
            expect(h.recv_until(conn, b"\r\n") == expected, "echo of the typed line")
            conn.sendall(b"through")
            expect(h.recv_until(conn, b"through") == b"through", "no link after the prompt")
        # A port that does not parse.
        with socket.create_connection(("127.0.0.1", 18028), timeout=10) as conn:
            ask_prompt(conn)
            conn.sendall(b"127.0.0.1:99999\n")
            data = h.recv_all(conn, timeout=10)
            expect(data == b"127.0.0.1:99999\r\nIllegal destination.\r\n", "illegal: %r" % data)
        proxy.wait_log(r'Warning: Invalid host error for relay "%s"\.( - error = \d+)?' % name)
        # Nobody listening there.
        closed_port = h.free_port()
        with socket.create_connection(("127.0.0.1", 18028), timeout=10) as conn:
            ask_prompt(conn)
            conn.sendall(b"127.0.0.1:%d\r" % closed_port)
            data = h.recv_all(conn, timeout=10)
            expect(data.endswith(b"\r\nCould not connect to host.\r\n"), "connect failure: %r" % data)
        proxy.wait_log(r'Error: Connect error for relay "%s": Connection refused( - error = \d+)?' % name)
        # A host without a port goes to the relay's own port: here the relay
        # itself, whose own prompt comes back through the link.
        with socket.create_connection(("127.0.0.1", 18028), timeout=20) as conn:
            ask_prompt(conn)
            conn.sendall(b"127.0.0.1\r")
            expect(h.recv_until(conn, b"\r\n") == b"127.0.0.1\r\n", "echo")
            ask_prompt(conn)
            conn.sendall(b"127.0.0.1:%d\r" % echo.port)
            expect(h.recv_until(conn, b"\r\n") == b"127.0.0.1:%d\r\n" % echo.port, "inner echo")
            conn.sendall(b"nested")
            expect(h.recv_until(conn, b"nested") == b"nested", "no nested link")
        # A client that leaves during the prompt ends only its own thread.
        conn = socket.create_connection(("127.0.0.1", 18028), timeout=10)
        conn.close()
        proxy.wait_log(r'Warning: Host read error for relay "%s": Connection closed by the client' % name, timeout=10)
        with socket.create_connection(("127.0.0.1", 18028), timeout=10) as conn:
            ask_prompt(conn)
    finally:
        proxy.stop()
        echo.close()


def case_restrictions(binary):
    """Allowed and denied connections, on plain relays and at the prompt."""
    allowed = h.Server(h.echo_handler)
    other = h.Server(h.echo_handler)
    proxy = start(binary, ini([("18023", "127.0.0.1:%d" % allowed.port),
                               ("18024", "127.0.0.1:%d" % other.port),
                               ("18028", "(ASK)")],
                              security=[("0.0.0.0", "127.0.0.1:%d" % allowed.port)]))
    try:
        with socket.create_connection(("127.0.0.1", 18023), timeout=5) as conn:
            conn.sendall(b"allowed")
            expect(h.recv_until(conn, b"allowed") == b"allowed", "allowed relay did not pass")
        with socket.create_connection(("127.0.0.1", 18024), timeout=5) as conn:
            conn.sendall(b"denied")
            expect(h.recv_all(conn, timeout=10) == b"", "denied relay passed data")
        expect(other.accepted == 0, "denied destination was contacted")
        proxy.wait_log(r"Warning: Connection denied from \S+:18024 to \S+:%d\." % other.port)
        with socket.create_connection(("127.0.0.1", 18028), timeout=10) as conn:
            ask_prompt(conn)
            conn.sendall(b"127.0.0.1:%d\r" % other.port)
            data = h.recv_all(conn, timeout=10)
            expect(data.endswith(b"\r\nAccess denied.\r\n"), "prompt denial: %r" % data)
        with socket.create_connection(("127.0.0.1", 18028), timeout=10) as conn:
            ask_prompt(conn)
            conn.sendall(b"127.0.0.1:%d\r" % allowed.port)
            h.recv_until(conn, b"\r\n")
            conn.sendall(b"asked")
            expect(h.recv_until(conn, b"asked") == b"asked", "allowed prompt did not pass")
    finally:
        proxy.stop()
        allowed.close()
        other.close()


def case_hostile_clients(binary):
    """Clients that send nothing, garbage, or reset at once end only their own connection."""
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini([("18023", "127.0.0.1:%d" % echo.port), ("18028", "(ASK)")]))
    try:
        for port in (18023, 18028, HTTP_PORT):
            for _ in range(20):
                conn = socket.create_connection(("127.0.0.1", port), timeout=5)
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                conn.close()  # reset
        garbage = socket.create_connection(("127.0.0.1", 18028), timeout=10)
        garbage.sendall(bytes(range(256)) * 64)
        ask_prompt(garbage)
        garbage.sendall(b"\x00\x01\x02" * 2000)  # never a line end
        data = h.recv_all(garbage, timeout=10)
        expect(data.endswith(b"Illegal destination.\r\n"), "endless line: %r" % data[-60:])
        garbage.close()
        silent = socket.create_connection(("127.0.0.1", 18023), timeout=5)
        with socket.create_connection(("127.0.0.1", 18023), timeout=5) as conn:
            conn.sendall(b"still")
            expect(h.recv_until(conn, b"still") == b"still", "relay died")
        silent.close()
        expect(proxy.process.poll() is None, "service ended")
    finally:
        proxy.stop()
        echo.close()


def _ride_out_shortage(proxy, port, name, comes_back, logged_once):
    """Holds connections to the port until the process runs out of
    descriptors and logs "Accept failed for NAME: ..." (a regular
    expression), lets them go, and expects the port to serve again."""
    clients = []
    try:
        for _ in range(60):
            try:
                clients.append(socket.create_connection(("127.0.0.1", port), timeout=5))
            except OSError:
                break
        proxy.wait_log(r"Error: Accept failed for %s: Too many open files( - error = \d+)?" % name, timeout=10)
    finally:
        for conn in clients:
            conn.close()
    expect(h.wait_until(comes_back, timeout=15), "%s did not come back after the shortage" % name)
    if logged_once:
        expect(len(proxy.matching(r"Error: Accept failed for %s: .*" % name)) == 1,
               "%s: the shortage was not logged once" % name)
    expect(proxy.process.poll() is None, "service ended")


def case_descriptor_shortage(binary):
    """Running out of descriptors pauses accepting; the relay lives on."""
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini([("18023", "127.0.0.1:%d" % echo.port)]), limits=(64, 64))
    try:
        # Each link holds two descriptors; one whose connect finds none frees
        # its client again, so the shortage may be logged more than once.
        _ride_out_shortage(proxy, 18023, r'relay "%s"' % re.escape(h.service_name(18023)),
                           lambda: _echo_once(18023), logged_once=False)
    finally:
        proxy.stop()
        echo.close()


def _socks_comes_back(echo_port):
    try:
        with socket.create_connection(("127.0.0.1", 1080), timeout=2) as conn:
            conn.sendall(b"\x04\x01" + echo_port.to_bytes(2, "big") + bytes([127, 0, 0, 1]) + b"back\x00")
            if h.recv_exactly(conn, 8, timeout=2)[1] != 90:
                return False
            conn.sendall(b"again")
            return h.recv_until(conn, b"again", timeout=2) == b"again"
    except (OSError, IndexError):
        return False


def _http_comes_back():
    try:
        with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=2) as conn:
            conn.sendall(b"GET /welcome.html HTTP/1.0\r\n\r\n")
            return h.recv_until(conn, b"\r\n", timeout=2).startswith(b"HTTP/1.0 200")
    except OSError:
        return False


def _ftp_comes_back():
    try:
        with socket.create_connection(("127.0.0.1", 18021), timeout=2) as conn:
            return h.recv_until(conn, b"\r\n", timeout=2).startswith(b"220 ")
    except OSError:
        return False


def case_agent_descriptor_shortage(binary):
    """The agents ride out a shortage of descriptors as the relays do, each
    with its own log line, and take connections again once it is over."""
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini([("18021", "(FTP)")]), limits=(64, 64))
    try:
        # Each connection holds its descriptor while the agent waits for its
        # request (or, for FTP, its commands).
        for port, name, comes_back in [(1080, r"SOCKS server", lambda: _socks_comes_back(echo.port)),
                                       (HTTP_PORT, r"HTTP server", _http_comes_back),
                                       (18021, r"FTP proxy server", _ftp_comes_back)]:
            _ride_out_shortage(proxy, port, name, comes_back, logged_once=True)
    finally:
        proxy.stop()
        echo.close()


def case_thread_shortage(binary):
    """When the system refuses threads, each listener keeps a thread waiting on
    it, the shortage is logged once, and relaying resumes by itself once
    threads can be had again. The process is put in a pids cgroup whose limit
    leaves room for only a few more threads."""
    pids = "/sys/fs/cgroup/pids"
    group = os.path.join(pids, "moatkeep-test-%d" % os.getpid())
    try:
        os.mkdir(group)
    except OSError as error:
        h.skip("no pids cgroup to limit threads in: %s" % error)
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini([("18023", "127.0.0.1:%d" % echo.port)]))
    clients = []

    def limit(value):
        with open(os.path.join(group, "pids.max"), "w") as control:
            control.write(value)

    try:
        pid = proxy.process.pid
        limit(str(len(os.listdir("/proc/%d/task" % pid)) + 4))
        with open(os.path.join(group, "cgroup.procs"), "w") as procs:
            procs.write(str(pid))
        # Each held link keeps its thread; soon no successor can be started.
        shortage = r'Error: No thread can be started for the next connection of "%s": connections are dropped ' \
                   r'until one can\.( - error = \d+)?' % re.escape(h.service_name(18023).split("/")[0])
        for _ in range(30):
            try:
                conn = socket.create_connection(("127.0.0.1", 18023), timeout=5)
                conn.sendall(b"hold")
                clients.append(conn)
            except OSError:
                pass
            if proxy.matching(shortage):
                break
            time.sleep(0.05)
        proxy.wait_log(shortage, timeout=10)
        # Connections keep being taken (and dropped) rather than queueing for ever.
        for _ in range(5):
            with socket.create_connection(("127.0.0.1", 18023), timeout=5) as conn:
                conn.sendall(b"x")
                expect(h.recv_all(conn, timeout=10) in (b"", b"x"), "a dropped connection did not end")
        expect(proxy.process.poll() is None, "service ended")
        for conn in clients:
            conn.close()
        clients = []
        limit("max")
        expect(h.wait_until(lambda: _echo_once(18023), timeout=15), "relay did not come back after the shortage")
        # A connection may be served by a thread whose link has just ended
        # (no new thread needed); the recovery is logged once the waiting
        # thread takes one and can start its successor again.
        recovered = r"Warning: Threads can be started again\.( - error = \d+)?"
        expect(h.wait_until(lambda: _echo_once(18023) and proxy.matching(recovered), timeout=15),
               "the end of the shortage was not logged")
        expect(len(proxy.matching(shortage)) == 1, "the shortage was logged %d times" % len(proxy.matching(shortage)))
    finally:
        for conn in clients:
            conn.close()
        proxy.stop()
        echo.close()
        try:
            os.rmdir(group)
        except OSError:
            pass


def _echo_once(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as conn:
            conn.sendall(b"again")
            return h.recv_until(conn, b"again", timeout=2) == b"again"
    except OSError:
        return False


def case_pause_continue(binary):
    """Through the built-in service manager: pause closes the relays, continue
    reopens them and takes up a relay added meanwhile."""
    echo = h.Server(h.echo_handler)
    proxy = h.Moatkeep(binary, ini([("18023", "127.0.0.1:%d" % echo.port)]))
    services = os.path.join(proxy.directory, "services")
    os.makedirs(services)
    env = dict(os.environ, ZUNDER_SERVICE_MANAGER="builtin", ZUNDER_SERVICE_DIR=services)
    installed = False
    try:
        result = proxy.command("install", env)
        expect(result.returncode == 0, "install: %r" % (result.stderr,))
        installed = True
        result = proxy.command("start", env)
        expect(result.returncode == 0, "start: %r" % (result.stderr,))
        expect(h.wait_until(lambda: _echo_once(18023), timeout=15), "relay not open after start")
        link = socket.create_connection(("127.0.0.1", 18023), timeout=5)
        link.sendall(b"before")
        expect(h.recv_until(link, b"before") == b"before", "link")

        result = proxy.command("pause", env)
        expect(result.returncode == 0, "pause: %r" % (result.stderr,))
        expect(h.wait_until(lambda: h.refused(18023), timeout=10), "relay still open while paused")
        expect(h.recv_all(link, timeout=10) == b"", "active link not closed by pause")
        link.close()
        expect(h.refused(HTTP_PORT), "administration port open while paused")

        proxy.write_ini(ini([("18023", "127.0.0.1:%d" % echo.port), ("18029", "127.0.0.1:%d" % echo.port)]))
        result = proxy.command("resume", env)
        expect(result.returncode == 0, "resume: %r" % (result.stderr,))
        expect(h.wait_until(lambda: _echo_once(18023), timeout=15), "relay not reopened by continue")
        expect(h.wait_until(lambda: _echo_once(18029), timeout=15), "added relay not taken up")

        result = proxy.command("stop", env)
        expect(result.returncode == 0, "stop: %r" % (result.stderr,))
        expect(h.wait_until(lambda: h.refused(18023), timeout=15), "relay open after stop")
    finally:
        if installed:
            proxy.command("stop", env)
            proxy.command("remove", env)
        proxy.stop()
        echo.close()


def case_urgent_data(binary):
    """Urgent bytes (a telnet client's Synch) travel in the stream in their
    place: nothing is lost, the link stays, the counts are exact."""
    echo = h.Server(h.echo_handler)
    proxy = start(binary, ini([("18023", "127.0.0.1:%d" % echo.port)], extra_globals="Log Level=3\n"))
    try:
        with socket.create_connection(("127.0.0.1", 18023), timeout=10) as conn:
            conn.sendall(b"abc")
            expect(h.recv_until(conn, b"abc") == b"abc", "echo before the urgent byte")
            conn.send(b"!", socket.MSG_OOB)
            conn.sendall(b"def")
            data = h.recv_until(conn, b"def")
            expect(data == b"!def", "after the urgent byte: %r" % data)
            conn.sendall(b"more")
            expect(h.recv_until(conn, b"more") == b"more", "the link ended after the urgent byte")
            conn.shutdown(socket.SHUT_WR)
            expect(h.recv_all(conn, timeout=10) == b"", "data after the end")
        proxy.wait_log(r'Information: Relay for "%s" closed \(sent 11 bytes, received 11 bytes\)\.'
                       % re.escape(h.service_name(18023)))
    finally:
        proxy.stop()
        echo.close()


def _prompted(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as conn:
            return h.recv_until(conn, b"host> ", timeout=5) == b"host> "
    except OSError:
        return False


def _ended_without_echo(conn, text):
    """Whether the link of conn ends within a few seconds with text not echoed."""
    try:
        conn.sendall(text)
    except OSError:
        return True
    conn.settimeout(0.2)
    deadline = time.monotonic() + 5
    data = b""
    while time.monotonic() < deadline:
        try:
            part = conn.recv(4096)
        except socket.timeout:
            continue
        except ConnectionResetError:
            return text not in data
        if not part:
            return text not in data
        data += part
    return False


def _state_of(services):
    """The state number the built-in manager's status file holds (7: paused)."""
    for name in os.listdir(services):
        if name.endswith(".status"):
            with open(os.path.join(services, name)) as status:
                return status.read().strip()
    return None


def case_pause_while_asking(binary):
    """An "(ASK)" client still typing when the service pauses gets no link
    once it has typed its destination: its connection is closed at once.
    After continue, links work again."""
    echo = h.Server(h.echo_handler)
    proxy = h.Moatkeep(binary, ini([("18028", "(ASK)")]))
    services = os.path.join(proxy.directory, "services")
    os.makedirs(services)
    env = dict(os.environ, ZUNDER_SERVICE_MANAGER="builtin", ZUNDER_SERVICE_DIR=services)
    installed = False
    try:
        result = proxy.command("install", env)
        expect(result.returncode == 0, "install: %r" % (result.stderr,))
        installed = True
        result = proxy.command("start", env)
        expect(result.returncode == 0, "start: %r" % (result.stderr,))
        expect(h.wait_until(lambda: _prompted(18028), timeout=15), "relay not open after start")

        typing = socket.create_connection(("127.0.0.1", 18028), timeout=10)
        ask_prompt(typing)
        result = proxy.command("pause", env)
        expect(result.returncode == 0, "pause: %r" % (result.stderr,))
        expect(h.wait_until(lambda: h.refused(18028), timeout=10), "relay still open while paused")
        # The pause is over (every close pass done) once the state says so.
        expect(h.wait_until(lambda: _state_of(services) == "7", timeout=10), "the service never paused")
        line = b"127.0.0.1:%d" % echo.port
        typing.sendall(line + b"\r")
        expect(h.recv_until(typing, b"\r\n") == line + b"\r\n", "echo of the typed line")
        expect(_ended_without_echo(typing, b"through"), "a link made while paused stays open")
        typing.close()

        result = proxy.command("resume", env)
        expect(result.returncode == 0, "resume: %r" % (result.stderr,))
        expect(h.wait_until(lambda: _prompted(18028), timeout=15), "relay not reopened by continue")
        with socket.create_connection(("127.0.0.1", 18028), timeout=10) as conn:
            ask_prompt(conn)
            conn.sendall(line + b"\r")
            expect(h.recv_until(conn, b"\r\n") == line + b"\r\n", "echo of the typed line")
            conn.sendall(b"through")
            expect(h.recv_until(conn, b"through") == b"through", "no link after continue")
        result = proxy.command("stop", env)
        expect(result.returncode == 0, "stop: %r" % (result.stderr,))
    finally:
        if installed:
            proxy.command("stop", env)
            proxy.command("remove", env)
        proxy.stop()
        echo.close()


CASES = {name[len("case_"):]: function for name, function in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    h.run_cases(CASES)
