"""Runs the real moatkeep against real peers inside a private network namespace.

Every helper is bounded in time; nothing here waits without a limit.
"""
import hashlib
import os
import queue
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
LOG_PREFIX = r"\d\d/\d\d/\d\d \d\d:\d\d:\d\d "
# Fatal errors, errors and warnings end with the thread's last system error
# code when it is not 0: whatever call last failed in that thread, so a line
# may carry it or not from one run to the next.
LOG_ERROR_SUFFIX = r"(?: - error = \d+)?"


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


def ini(http_port, relays=(), security=None, extra_globals=""):
    """The text of a moatkeep.INI: Globals (the HTTP port and any extra
    lines), the relay table and the restrictions."""
    text = "[Globals]\nHTTP Port=%d\n%s[Relays]\n" % (http_port, extra_globals)
    for key, value in relays:
        text += "%s=%s\n" % (key, value)
    if security:
        text += "[Security]\n"
        for key, value in security:
            text += "%s=%s\n" % (key, value)
    return text


def skip(reason):
    """Ends a case that cannot run here (a tool or a permission is missing):
    skipped (exit 77) on a developer's machine, a failure under CI=true, so
    that continuous integration never passes by skipping."""
    if os.environ.get("CI") == "true":
        print("FAIL: cannot run under CI: " + reason)
        sys.exit(1)
    print("SKIP: " + reason)
    sys.exit(SKIP)


def enter_namespace():
    """Re-executes the calling script under `unshare -n` with lo up (once)."""
    if os.environ.get("MOATKEEP_NETNS") == "1":
        return
    if shutil.which("unshare") is None or shutil.which("ip") is None:
        skip("unshare or ip not available")
    probe = subprocess.run(["unshare", "-n", "true"], capture_output=True, timeout=30)
    if probe.returncode != 0:
        skip("unshare -n is not permitted here: " + probe.stderr.decode(errors="replace").strip())
    env = dict(os.environ, MOATKEEP_NETNS="1")
    script = "ip link set lo up && exec \"$0\" \"$@\""
    result = subprocess.run(["unshare", "-n", "sh", "-c", script, sys.executable] + sys.argv, env=env, timeout=600)
    sys.exit(result.returncode)


def service_name(port, protocol="tcp"):
    try:
        return socket.getservbyport(port, protocol) + "/" + protocol
    except OSError:
        return "%d/%s" % (port, protocol)


def wait_until(predicate, timeout=10.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def can_connect(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=1):
            return True
    except OSError:
        return False


def refused(port, host="127.0.0.1"):
    return not can_connect(port, host)


class Moatkeep:
    """A copy of the program in a temporary directory with its INI beside it."""

    def __init__(self, binary, ini_text, limits=None):
        self.directory = tempfile.mkdtemp(prefix="moatkeep-it-")
        self.binary = os.path.join(self.directory, "moatkeep")
        shutil.copy2(binary, self.binary)
        self.write_ini(ini_text)
        self.limits = limits
        self.process = None
        self.lines = []
        self.lines_lock = threading.Lock()
        self.reader = None

    def write_ini(self, text):
        with open(os.path.join(self.directory, "moatkeep.INI"), "w") as ini:
            ini.write(text)

    def read_ini(self):
        with open(os.path.join(self.directory, "moatkeep.INI")) as ini:
            return ini.read()

    def start_debug(self):
        def limit():
            if self.limits is not None:
                import resource
                resource.setrlimit(resource.RLIMIT_NOFILE, self.limits)

        self.process = subprocess.Popen([self.binary, "debug"], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        preexec_fn=limit)
        self.reader = threading.Thread(target=self._read_lines, daemon=True)
        self.reader.start()
        return self

    def _read_lines(self):
        for raw in self.process.stderr:
            with self.lines_lock:
                self.lines.append(raw.decode(errors="replace").rstrip("\n"))

    def log(self):
        with self.lines_lock:
            return list(self.lines)

    def wait_log(self, pattern, timeout=10.0, count=1):
        """Waits for `count` lines matching the regular expression (after the time stamp)."""
        expression = re.compile("^" + LOG_PREFIX + pattern + LOG_ERROR_SUFFIX + "$")
        found = wait_until(lambda: len([l for l in self.log() if expression.match(l)]) >= count, timeout)
        if not found:
            raise AssertionError("no log line /%s/ (x%d) in:\n%s" % (pattern, count, "\n".join(self.log())))
        return [l for l in self.log() if expression.match(l)]

    def matching(self, pattern):
        expression = re.compile("^" + LOG_PREFIX + pattern + LOG_ERROR_SUFFIX + "$")
        return [l for l in self.log() if expression.match(l)]

    def command(self, word, env):
        return subprocess.run([self.binary, word], capture_output=True, timeout=30, env=env)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        if self.reader is not None:
            self.reader.join(timeout=5)
        shutil.rmtree(self.directory, ignore_errors=True)
        # A sanitizer build reports its findings on standard error.
        reports = [l for l in self.log() if "Sanitizer" in l or "runtime error:" in l]
        if reports:
            raise AssertionError("sanitizer report:\n" + "\n".join(self.log()[-60:]))


class Server:
    """A TCP server on loopback; each connection is served by handler(conn) on its own thread."""

    def __init__(self, handler, port=0):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(128)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.handler = handler
        self.running = True
        self.accepted = 0
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while self.running:
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.accepted += 1
            conn.settimeout(60)
            threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _handle(self, conn):
        try:
            self.handler(conn)
        except OSError:
            pass
        finally:
            conn.close()

    def close(self):
        self.running = False
        self.thread.join(timeout=5)
        self.listener.close()


def echo_handler(conn):
    """Sends back everything; passes the end of stream on."""
    while True:
        data = conn.recv(65536)
        if not data:
            conn.shutdown(socket.SHUT_WR)
            return
        conn.sendall(data)


def answer_after_end_handler(answer_size):
    """Reads the whole request, then answers with its digest and answer_size bytes."""

    def handler(conn):
        digest = hashlib.sha256()
        while True:
            data = conn.recv(65536)
            if not data:
                break
            digest.update(data)
        block = bytes(range(256)) * 256
        conn.sendall(digest.hexdigest().encode() + b"\n")
        left = answer_size
        while left > 0:
            part = block[:min(left, len(block))]
            conn.sendall(part)
            left -= len(part)

    return handler


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def recv_until(conn, marker, timeout=10.0, limit=1 << 20):
    """Reads until marker has arrived (or the peer closed); bounded in time and size."""
    conn.settimeout(0.2)
    data = b""
    deadline = time.monotonic() + timeout
    while marker not in data and time.monotonic() < deadline and len(data) < limit:
        try:
            part = conn.recv(4096)
        except socket.timeout:
            continue
        if not part:
            break
        data += part
    return data


def recv_exactly(conn, count, timeout=10.0):
    """count bytes, or fewer when the peer ended first or time ran out."""
    conn.settimeout(0.2)
    data = b""
    deadline = time.monotonic() + timeout
    while len(data) < count and time.monotonic() < deadline:
        try:
            part = conn.recv(count - len(data))
        except socket.timeout:
            continue
        if not part:
            break
        data += part
    return data


def recv_all(conn, timeout=30.0):
    conn.settimeout(timeout)
    chunks = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        part = conn.recv(65536)
        if not part:
            break
        chunks.append(part)
    return b"".join(chunks)


def cpu_seconds(pid):
    """The processor time (user and system) the process has used so far."""
    with open("/proc/%d/stat" % pid) as stat:
        # The command name may hold blanks: the fields after it are counted
        # from its closing parenthesis.
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cpu_while_idle(pid, seconds):
    """The processor time the process uses while the caller waits."""
    before = cpu_seconds(pid)
    time.sleep(seconds)
    return cpu_seconds(pid) - before


def run_cases(cases):
    """Runs the named case (argv: --binary PATH CASE) and reports."""
    args = sys.argv[1:]
    binary = args[args.index("--binary") + 1]
    name = args[-1]
    if name not in cases:
        print("unknown case " + name)
        sys.exit(2)
    enter_namespace()
    cases[name](binary)
    print("PASS " + name)
