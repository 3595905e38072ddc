"""The FTP relay of moatkeep end to end: pyftpdlib as the site on port 21,
Python's ftplib (passive and active) and curl as clients, raw control
connections for the replies that clients hide, and small scripted sites for
what pyftpdlib never does (bare-LF multi-line replies, a refusal in the
middle of a transfer)."""
import ftplib
import hashlib
import io
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

HERE = os.path.dirname(os.path.abspath(__file__))
HTTP_PORT = 18082
RELAY_PORT = 2121
SITE_PORT = 21  # the relay always reaches the site on port 21
SITE_PYTHON = "/usr/bin/python3"  # Debian's, with python3-pyftpdlib
USER = "ftpuser"
PASSWORD = "s3cret"
BIG = 20 * 1024 * 1024
CRLF = b"\r\n"

expect = h.expect


# ---------------------------------------------------------------- fixtures

def need_pyftpdlib():
    probe = subprocess.run([SITE_PYTHON, "-c", "import pyftpdlib"], capture_output=True, timeout=30)
    if probe.returncode != 0:
        h.skip("python3-pyftpdlib is not installed")


class Site:
    """pyftpdlib serving a temporary directory on port 21; options are
    further arguments of ftp_site.py."""

    def __init__(self, *options):
        need_pyftpdlib()
        self.directory = tempfile.mkdtemp(prefix="ftp-site-")
        self.process = subprocess.Popen([SITE_PYTHON, os.path.join(HERE, "ftp_site.py"), str(SITE_PORT),
                                         self.directory, USER, PASSWORD] + list(options),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        expect(h.wait_until(lambda: h.can_connect(SITE_PORT), timeout=20), "the FTP site did not start")

    def path(self, name):
        return os.path.join(self.directory, name)

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)
        shutil.rmtree(self.directory, ignore_errors=True)


def start_relay(binary):
    text = h.ini(HTTP_PORT, [(str(RELAY_PORT), "(FTP)")], extra_globals="Log Level=3\n")
    proxy = h.Moatkeep(binary, text).start_debug()
    proxy.wait_log(r"Warning: Proxies started\.")
    proxy.wait_log(r'Information: Opened master socket for service "%s"\.'
                   % re.escape(h.service_name(RELAY_PORT)))
    return proxy


def with_site_and_relay(body):
    """Runs body(proxy, site) with both started and both stopped after."""

    def case(binary):
        site = Site()
        proxy = None
        try:
            proxy = start_relay(binary)
            body(proxy, site)
        finally:
            if proxy is not None:
                proxy.stop()
            site.stop()

    return case


def relay_client(passive=True, timeout=30, address="127.0.0.1"):
    ftp = ftplib.FTP(timeout=timeout)
    ftp.connect(address, RELAY_PORT)
    ftp.set_pasv(passive)
    return ftp


def logged_in(passive=True):
    ftp = relay_client(passive)
    ftp.login(USER + "@127.0.0.1", PASSWORD)
    return ftp


class Control:
    """A raw control connection: lines out, replies in."""

    def __init__(self, port=RELAY_PORT, address="127.0.0.1"):
        self.conn = socket.create_connection((address, port), timeout=10)
        self.buffer = b""

    def send(self, line):
        self.conn.sendall(line + CRLF)

    def line(self, timeout=15.0):
        deadline = time.monotonic() + timeout
        self.conn.settimeout(0.2)
        while b"\n" not in self.buffer and time.monotonic() < deadline and len(self.buffer) < 1 << 20:
            try:
                part = self.conn.recv(4096)
            except socket.timeout:
                continue
            if not part:
                break
            self.buffer += part
        if b"\n" not in self.buffer:
            line, self.buffer = self.buffer, b""
            return line
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line + b"\n"

    def reply(self):
        """The raw lines of one complete reply."""
        lines = [self.line()]
        first = lines[0]
        if len(first) >= 4 and first[3:4] == b"-":
            code = first[:3]
            for _ in range(1000):
                lines.append(self.line())
                if lines[-1].startswith(code + b" ") or lines[-1] == b"":
                    break
        return lines

    def command(self, line):
        self.send(line)
        return self.reply()

    def closed(self, timeout=10.0):
        """True when the relay closed the connection (after any data left)."""
        self.conn.settimeout(timeout)
        try:
            while True:
                part = self.conn.recv(4096)
                if not part:
                    return True
        except socket.timeout:
            return False
        except OSError:
            return True

    def close(self):
        self.conn.close()


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def write_random(path, size):
    with open(path, "wb") as target:
        left = size
        while left > 0:
            block = os.urandom(min(left, 1 << 20))
            target.write(block)
            left -= len(block)


# ---------------------------------------------------------------- login

@with_site_and_relay
def case_login_user_at_site(proxy, site):
    """The gateway greets; USER user@site answers 331 for the user part; the
    site's own reply to the password follows; commands reach the site."""
    control = Control()
    greeting = control.reply()
    expect(greeting == [("220 %s FTP agent ready\r\n" % socket.gethostname()[:50]).encode()],
           "greeting %r" % greeting)
    expect(control.command(b"USER %s@127.0.0.1" % USER.encode()) ==
           [b"331 Password required for %s.\r\n" % USER.encode()], "USER reply")
    reply = control.command(b"PASS " + PASSWORD.encode())
    expect(reply[-1].startswith(b"230 "), "PASS reply %r" % reply)
    expect(control.command(b"PWD") == [b'257 "/" is the current directory.\r\n'], "PWD through the relay")
    expect(control.command(b"QUIT")[0].startswith(b"221"), "QUIT answered by the site")
    expect(control.closed(), "relay did not close after QUIT")
    proxy.wait_log(r'Information: FTP started from "(localhost|127\.0\.0\.1)"\.')

    # ftplib does the same.
    ftp = logged_in()
    expect(ftp.pwd() == "/", "ftplib pwd")
    ftp.quit()

    # A user name with two '@' splits at the first: the site is "x@127.0.0.1".
    control = Control()
    control.reply()
    expect(control.command(b"USER a@x@127.0.0.1") ==
           [b"421 Cannot open agent connection to host x@127.0.0.1\r\n"], "split at the first '@'")
    expect(control.closed(), "relay did not close after a failed agent connection")


@with_site_and_relay
def case_open_then_user(proxy, site):
    """OPEN shows the site's own greeting; USER without '@' then goes to it."""
    control = Control()
    control.reply()
    expect(control.command(b"OPEN 127.0.0.1") == [b"220 test site ready.\r\n"], "OPEN shows the site's greeting")
    expect(control.command(b"USER " + USER.encode()) == [b"331 Password required for %s.\r\n" % USER.encode()],
           "USER after OPEN")
    expect(control.command(b"PASS " + PASSWORD.encode())[-1].startswith(b"230 "), "login after OPEN")
    expect(control.command(b"CWD /")[-1].startswith(b"250 "), "CWD after OPEN")
    # A second OPEN replaces the agent connection and says so.
    reply = control.command(b"OPEN 127.0.0.1")
    expect(reply == [b"421 Agent connection to host closed\r\n"], "second OPEN first closes: %r" % reply)
    expect(control.reply() == [b"220 test site ready.\r\n"], "then greets again")
    control.close()


@with_site_and_relay
def case_login_errors(proxy, site):
    """Refused passwords: the site's reply each time, the fourth ends the
    session; USER without '@', PASS without a site, commands before login."""
    control = Control()
    control.reply()
    control.command(b"USER %s@127.0.0.1" % USER.encode())
    for attempt in range(1, 5):
        reply = control.command(b"PASS wrong")
        expect(reply[-1].startswith(b"530 "), "attempt %d: %r" % (attempt, reply))
    expect(control.closed(), "the fourth refused password did not end the session")

    control = Control()
    control.reply()
    expect(control.command(b"PASS x") == [b"503 Login with USER first.\r\n"], "PASS before USER")
    expect(control.command(b"CWD /") == [b"530 Please login with USER and PASS.\r\n"], "CWD before login")
    expect(control.command(b"XYZZY foo") == [b'500 "XYZZY foo" command unrecognised.\r\n'], "unknown word")
    reply = control.command(b"USER plainuser")
    expect(reply == [b'211 Username must be of form "user@site" for proxy login.\r\n'], "USER without @: %r" % reply)
    expect(control.closed(), "USER without '@' did not end the session")

    # With ftplib: a wrong password is an error_perm 530.
    ftp = relay_client()
    try:
        ftp.login(USER + "@127.0.0.1", "wrong")
        expect(False, "a wrong password was accepted")
    except ftplib.error_perm as error:
        expect(str(error).startswith("530"), "ftplib saw %s" % error)
    ftp.close()


@with_site_and_relay
def case_noop_before_site(proxy, site):
    """NOOP and SYST before any site: 421 and the session ends."""
    for word in (b"NOOP", b"SYST"):
        control = Control()
        control.reply()
        expect(control.command(word) == [b"421 Agent connection to host closed\r\n"], "%s before a site" % word)
        expect(control.closed(), "%s before a site did not end the session" % word)


# ---------------------------------------------------------------- transfers

@with_site_and_relay
def case_list_nlst(proxy, site):
    """LIST and NLST of the site's directory, passive and active."""
    for name in ("alpha.txt", "beta.bin"):
        with open(site.path(name), "wb") as target:
            target.write(b"x" * 100)
    for passive in (True, False):
        ftp = logged_in(passive)
        names = sorted(ftp.nlst())
        expect(names == ["alpha.txt", "beta.bin"], "NLST (passive=%s): %r" % (passive, names))
        lines = []
        ftp.retrlines("LIST", lines.append)
        expect(len(lines) == 2 and all(" 100 " in line for line in lines), "LIST: %r" % lines)
        ftp.quit()


def transfer_both_ways(proxy, site, passive):
    source = os.path.join(site.directory, "..", os.path.basename(site.directory) + "-upload")
    write_random(source, BIG)
    try:
        ftp = logged_in(passive)
        with open(source, "rb") as data:
            reply = ftp.storbinary("STOR up.bin", data, blocksize=1 << 16)
        expect(reply.startswith("226"), "STOR reply %r" % reply)
        expect(os.path.getsize(site.path("up.bin")) == BIG, "uploaded size")
        expect(sha256_file(site.path("up.bin")) == sha256_file(source), "uploaded content differs")

        digest = hashlib.sha256()
        received = [0]

        def take(block):
            digest.update(block)
            received[0] += len(block)

        reply = ftp.retrbinary("RETR up.bin", take, blocksize=1 << 16)
        expect(reply.startswith("226"), "RETR reply %r" % reply)
        expect(received[0] == BIG, "downloaded %d bytes" % received[0])
        expect(digest.hexdigest() == sha256_file(source), "downloaded content differs")
        ftp.quit()
        proxy.wait_log(r"Information: FTP transfer completed \(%d bytes\)" % BIG, count=2)
    finally:
        os.unlink(source)


@with_site_and_relay
def case_abort_transfer(proxy, site):
    """ftplib's abort() sends its ABOR with TCP urgent data, a classic client
    Telnet commands and the Synch before it: the relay reads the command, the
    site aborts the transfer at once and the session goes on."""
    write_random(site.path("big.bin"), BIG)
    for passive in (True, False):
        ftp = logged_in(passive)
        try:
            data = ftp.transfercmd("RETR big.bin")
            data.settimeout(30)
            expect(len(data.recv(65536)) > 0, "no data before the abort")
            # The answer comes at once, as from the site itself; a relay
            # that lost the urgent byte waited for the line's end instead.
            ftp.sock.settimeout(5)
            answer = ftp.abort()
            data.close()
            expect(answer[:3] in ("225", "226", "426"), "ABOR answered %r" % answer)
            # The site may owe a second reply (426, then 226 for the ABOR);
            # after it the session answers NOOP.
            ftp.sock.settimeout(30)
            ftp.putcmd("NOOP")
            replies = [ftp.getmultiline()]
            for _ in range(3):
                if replies[-1].startswith("200"):
                    break
                replies.append(ftp.getmultiline())
            expect(replies[-1].startswith("200") and all(r[:1] == "2" for r in replies),
                   "after the abort (%s): %r" % ("passive" if passive else "active", replies))
        finally:
            ftp.close()
    # A classic client sends Telnet's Interrupt Process and Synch first, the
    # IAC of the Synch as urgent data.
    ftp = logged_in(True)
    try:
        data = ftp.transfercmd("RETR big.bin")
        data.settimeout(30)
        expect(len(data.recv(65536)) > 0, "no data before the abort")
        ftp.sock.sendall(b"\xff\xf4\xff", socket.MSG_OOB)
        ftp.sock.sendall(b"\xf2ABOR\r\n")
        ftp.sock.settimeout(5)
        first = ftp.getmultiline()
        data.close()
        expect(first[:3] in ("225", "226", "426"), "ABOR after Telnet commands answered %r" % first)
    finally:
        ftp.close()


@with_site_and_relay
def case_transfer_passive(proxy, site):
    transfer_both_ways(proxy, site, True)


@with_site_and_relay
def case_transfer_active(proxy, site):
    transfer_both_ways(proxy, site, False)


@with_site_and_relay
def case_curl(proxy, site):
    """curl logs in with -u user@site:password, downloads and uploads."""
    if shutil.which("curl") is None:
        h.skip("curl not installed")
    write_random(site.path("down.bin"), BIG)
    work = tempfile.mkdtemp(prefix="ftp-curl-")
    try:
        target = os.path.join(work, "down.bin")
        login = "%s@127.0.0.1:%s" % (USER, PASSWORD)
        result = subprocess.run(["curl", "-sS", "--max-time", "120", "-u", login,
                                 "ftp://127.0.0.1:%d/down.bin" % RELAY_PORT, "-o", target],
                                capture_output=True, timeout=180)
        expect(result.returncode == 0, "curl download: %s" % result.stderr.decode(errors="replace"))
        expect(sha256_file(target) == sha256_file(site.path("down.bin")), "curl download differs")
        result = subprocess.run(["curl", "-sS", "--max-time", "120", "--ftp-port", "-", "-u", login, "-T", target,
                                 "ftp://127.0.0.1:%d/up.bin" % RELAY_PORT],
                                capture_output=True, timeout=180)
        expect(result.returncode == 0, "curl active upload: %s" % result.stderr.decode(errors="replace"))
        expect(sha256_file(site.path("up.bin")) == sha256_file(target), "curl upload differs")
    finally:
        shutil.rmtree(work, ignore_errors=True)


@with_site_and_relay
def case_retr_missing(proxy, site):
    """RETR of a missing file: the site's 550 ends the wait for its data
    connection and reaches the client, whose session goes on."""
    for passive in (True, False):
        ftp = logged_in(passive)
        try:
            ftp.retrbinary("RETR nowhere.bin", lambda block: None)
            expect(False, "RETR of a missing file succeeded")
        except ftplib.error_perm as error:
            expect(str(error).startswith("550"), "expected 550, got %s" % error)
        expect(ftp.voidcmd("NOOP").startswith("200"), "session after the 550 (passive=%s)" % passive)
        expect(ftp.nlst() == [], "a transfer after the 550")
        ftp.quit()


@with_site_and_relay
def case_pasv_address(proxy, site):
    """PASV answers with the address the client reached the gateway at and a
    port of the gateway, which takes the data connection."""
    with open(site.path("small.txt"), "wb") as target:
        target.write(b"hello through the gateway\n")
    control = Control(address="127.0.0.2")
    control.reply()
    control.command(b"USER %s@127.0.0.1" % USER.encode())
    control.command(b"PASS " + PASSWORD.encode())
    reply = control.command(b"PASV")
    match = re.match(rb"227 Entering Passive Mode \((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)\r\n$", reply[0])
    expect(match is not None, "PASV reply %r" % reply)
    numbers = [int(x) for x in match.groups()]
    expect(numbers[:4] == [127, 0, 0, 2], "PASV names %r, not the gateway's address" % numbers[:4])
    port = numbers[4] * 256 + numbers[5]
    expect(port not in (SITE_PORT, RELAY_PORT), "PASV port %d" % port)
    expect(control.command(b"TYPE I")[0].startswith(b"200"), "TYPE I")
    data = socket.create_connection(("127.0.0.2", port), timeout=10)
    reply = control.command(b"RETR small.txt")
    expect(reply[0].startswith(b"150") or reply[0].startswith(b"125"), "RETR %r" % reply)
    got = h.recv_all(data, timeout=20)
    expect(got == b"hello through the gateway\n", "data through the PASV port: %r" % got)
    data.close()
    reply = control.reply()
    expect(reply[0].startswith(b"226"), "completion after the data: %r" % reply)
    control.close()


@with_site_and_relay
def case_port_bounce(proxy, site):
    """PORT naming another host or a privileged port is refused with 504;
    the relay connects to neither."""
    watcher = socket.socket()
    watcher.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    watcher.bind(("127.0.0.2", 0))
    watcher.listen(5)
    watcher.settimeout(0.5)
    other = watcher.getsockname()[1]
    control = Control()
    control.reply()
    control.command(b"USER %s@127.0.0.1" % USER.encode())
    control.command(b"PASS " + PASSWORD.encode())
    refused = b"504 Command not implemented for that parameter.\r\n"
    expect(control.command(b"PORT 127,0,0,2,%d,%d" % (other >> 8, other & 255)) == [refused], "foreign PORT")
    expect(control.command(b"PORT 127,0,0,1,0,80") == [refused], "privileged PORT")
    expect(control.command(b"PORT 127,0,0,1,4") ==
           [b'501 "PORT" : syntax error in parameters or arguments.\r\n'], "short PORT")
    # With the refused PORT in force nothing may reach the foreign port.
    # The data then has nowhere to go (the default is the control
    # connection's own port): the client learns so.
    reply = control.command(b"NLST")
    expect(reply[0][:3] in (b"125", b"150"), "NLST begins: %r" % reply)
    reply = control.reply()
    expect(reply == [b"425 Cannot open data connection.\r\n"], "NLST without a data port: %r" % reply)
    try:
        watcher.accept()
        expect(False, "the relay connected to the foreign address")
    except socket.timeout:
        pass
    watcher.close()
    reply = control.command(b"PORT 127,0,0,1,39,16")
    expect(reply == [b'200 "PORT" command successful.\r\n'], "own PORT: %r" % reply)
    control.close()


@with_site_and_relay
def case_long_line(proxy, site):
    """A command line over 8 KiB ends the connection with a 500; the relay
    goes on serving others."""
    control = Control()
    control.reply()
    control.conn.sendall(b"USER " + b"a" * 9000 + CRLF)
    reply = control.reply()
    expect(reply == [b"500 Command line too long.\r\n"], "over-long line: %r" % reply[:1])
    expect(control.closed(), "over-long line did not end the connection")
    ftp = logged_in()
    expect(ftp.pwd() == "/", "relay serves the next client")
    ftp.quit()


# ---------------------------------------------------------------- scripted sites

class ScriptedSite:
    """A fake FTP site on port 21: handler(conn, lines) drives each session."""

    def __init__(self, handler):
        self.server = h.Server(handler, SITE_PORT)

    def stop(self):
        self.server.close()


def read_line(conn):
    data = h.recv_until(conn, b"\n", timeout=10)
    return data.split(b"\r\n")[0]


def multiline_site(conn):
    # Bare LF line ends and a text line without the code, as some sites send.
    conn.sendall(b"220-Welcome\n220-to the host\n   indented\n220 ready\n")
    while True:
        line = read_line(conn)
        if not line:
            return
        if line.startswith(b"USER"):
            conn.sendall(b"331 need password\r\n")
        elif line.startswith(b"PASS"):
            conn.sendall(b"230-first\r230-second\r\n230 done\n")
        else:
            conn.sendall(b"221 bye\r\n")
            return


def case_multiline_replies(binary):
    """Multi-line replies reach the client well formed, whatever line ends
    the site used."""
    site = ScriptedSite(multiline_site)
    proxy = None
    try:
        proxy = start_relay(binary)
        control = Control()
        control.reply()
        reply = control.command(b"OPEN 127.0.0.1")
        expect(reply == [b"220-Welcome\r\n", b"220-to the host\r\n", b"220-   indented\r\n", b"220 ready\r\n"],
               "greeting %r" % reply)
        control.command(b"USER someone")
        reply = control.command(b"PASS x")
        expect(reply == [b"230-first\r\n", b"230-second\r\n", b"230 done\r\n"], "login reply %r" % reply)
        control.close()
    finally:
        if proxy is not None:
            proxy.stop()
        site.stop()


def refusing_midway_site(conn):
    """Starts sending RETR data, then refuses with 551 and keeps the data
    connection open."""
    conn.sendall(b"220 scripted\r\n")
    data_target = None
    held = []
    while True:
        line = read_line(conn)
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
            data = socket.create_connection(data_target, timeout=10)
            held.append(data)
            data.sendall(b"z" * 100000)
            time.sleep(0.5)
            conn.sendall(b"551 disk trouble\r\n")
        elif word == b"NOOP":
            conn.sendall(b"200 still here\r\n")
        else:
            conn.sendall(b"221 bye\r\n")
            return


def case_refusal_midway(binary):
    """A 5xx from the site while data flows ends the copy at once and
    reaches the client; the session goes on."""
    site = ScriptedSite(refusing_midway_site)
    proxy = None
    try:
        proxy = start_relay(binary)
        ftp = relay_client(passive=True, timeout=30)
        ftp.login("someone@127.0.0.1", "x")
        conn = ftp.transfercmd("RETR file")
        received = h.recv_all(conn, timeout=30)
        conn.close()
        expect(len(received) == 100000, "data before the refusal: %d bytes" % len(received))
        try:
            ftp.voidresp()
            expect(False, "the refusal did not reach the client")
        except ftplib.error_perm as error:
            expect(str(error).startswith("551"), "expected 551, got %s" % error)
        expect(ftp.voidcmd("NOOP").startswith("200"), "session after the refusal")
        ftp.close()
    finally:
        if proxy is not None:
            proxy.stop()
        site.stop()


LATE_DATA = 8 * 1024 * 1024


def late_reply_site(conn):
    """Floods the data connection before its 150: the relay must pass the
    reply while data waits, since the client reads data only after it."""
    conn.sendall(b"220 scripted\r\n")
    data_target = None
    while True:
        line = read_line(conn)
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
            data = socket.create_connection(data_target, timeout=60)
            sender = threading.Thread(target=lambda: (data.sendall(b"q" * LATE_DATA), data.close()), daemon=True)
            sender.start()
            time.sleep(1.0)
            conn.sendall(b"150 late\r\n")
            sender.join(timeout=60)
            conn.sendall(b"226 done\r\n")
        elif word == b"TYPE":
            conn.sendall(b"200 type set\r\n")
        else:
            conn.sendall(b"221 bye\r\n")
            return


def case_late_preliminary_reply(binary):
    """Data that fills every buffer before the site's 150 does not stall the
    transfer: the 150 reaches the client, then all the data, then the 226."""
    site = ScriptedSite(late_reply_site)
    proxy = None
    try:
        proxy = start_relay(binary)
        ftp = relay_client(passive=True, timeout=30)
        ftp.login("someone@127.0.0.1", "x")
        received = [0]

        def take(block):
            received[0] += len(block)

        reply = ftp.retrbinary("RETR file", take, blocksize=1 << 16)
        expect(reply.startswith("226"), "completion %r" % reply)
        expect(received[0] == LATE_DATA, "received %d bytes" % received[0])
        ftp.close()
    finally:
        if proxy is not None:
            proxy.stop()
        site.stop()


# ---------------------------------------------------------------- strangers and commands during transfers

class RecordingSite:
    """A scripted site that keeps every command line it reads. A transfer
    says 150, waits until released, connects to the PORT address and sends
    (RETR) or takes (STOR) the data; with holding set, a RETR sends
    HELD_FIRST, waits until finished, then HELD_REST."""

    def __init__(self, holding=False):
        self.lines = []
        self.port_known = threading.Event()
        self.release = threading.Event()
        self.finish = threading.Event()
        self.holding = holding
        self.stored = None
        self.target = None
        if not holding:
            self.release.set()
        self.site = ScriptedSite(self.serve)

    def serve(self, conn):
        conn.sendall(b"220 recording\r\n")
        while True:
            line = read_line(conn)
            if not line:
                return
            self.lines.append(line)
            word = line.split(b" ")[0].upper()
            if word == b"USER":
                conn.sendall(b"331 ok\r\n")
            elif word == b"PASS":
                conn.sendall(b"230 in\r\n")
            elif word == b"PORT":
                fields = [int(x) for x in line.split(b" ", 1)[1].split(b",")]
                self.target = ("%d.%d.%d.%d" % tuple(fields[:4]), fields[4] * 256 + fields[5])
                conn.sendall(b"200 port ok\r\n")
                self.port_known.set()
            elif word in (b"RETR", b"STOR"):
                conn.sendall(b"150 opening\r\n")
                self.release.wait(10)
                with socket.create_connection(self.target, timeout=10) as data:
                    if word == b"STOR":
                        self.stored = h.recv_all(data, timeout=20)
                    elif self.holding:
                        data.sendall(HELD_FIRST)
                        self.finish.wait(20)
                        data.sendall(HELD_REST)
                    else:
                        data.sendall(GENUINE)
                conn.sendall(b"226 done\r\n")
            elif word == b"NOOP":
                conn.sendall(b"200 noop from the site\r\n")
            elif word == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                return
            else:
                conn.sendall(b"200 the site took it\r\n")

    def stop(self):
        self.site.stop()


GENUINE = b"genuine data\n" * 1000
HELD_FIRST = b"first part\n" * 100
HELD_REST = b"the rest\n" * 100


def connect_from(source, target):
    conn = socket.socket()
    conn.settimeout(10)
    conn.bind((source, 0))
    conn.connect(target)
    return conn


def taken_by(stranger):
    """What a stranger's connection received until it was ended (a close
    with the stranger's own bytes unread may come as a reset)."""
    stranger.settimeout(10)
    data = b""
    try:
        while True:
            part = stranger.recv(65536)
            if not part:
                break
            data += part
    except ConnectionResetError:
        pass
    stranger.close()
    return data


def in_thread(work):
    """Runs work on a thread; the returned function joins it and gives its
    result (or raises what it raised)."""
    outcome = {}

    def run():
        try:
            outcome["value"] = work()
        except Exception as error:  # handed to the joining thread
            outcome["error"] = error

    thread = threading.Thread(target=run, daemon=True)
    thread.start()

    def join():
        thread.join(timeout=60)
        expect(not thread.is_alive(), "the client never finished")
        if "error" in outcome:
            raise outcome["error"]
        return outcome["value"]

    return join


def case_site_port_stranger(binary):
    """The gateway's data port for the site takes only the site's address: a
    stranger who connects first neither feeds a download nor receives an
    upload, and the transfer goes on with the site."""
    for upload in (False, True):
        site = RecordingSite()
        site.release.clear()
        proxy = None
        try:
            proxy = start_relay(binary)
            client = relay_client(passive=True, timeout=30)
            client.login("someone@127.0.0.1", "x")
            if upload:
                finished = in_thread(lambda: client.storbinary("STOR file", io.BytesIO(GENUINE)))
            else:
                chunks = []
                finished = in_thread(lambda: client.retrbinary("RETR file", chunks.append))
            expect(site.port_known.wait(10), "the site was never told a data port")
            stranger = connect_from("127.0.0.2", site.target)
            if not upload:
                stranger.sendall(b"forged data\n")
            stranger_got = taken_by(stranger)
            site.release.set()
            reply = finished()
            expect(reply.startswith("226"), "transfer reply %r" % reply)
            expect(stranger_got == b"", "the stranger received %d bytes" % len(stranger_got))
            if upload:
                expect(site.stored == GENUINE, "the site stored %r..." % (site.stored or b"")[:40])
            else:
                expect(b"".join(chunks) == GENUINE, "the client got %r..." % b"".join(chunks)[:40])
            client.quit()
        finally:
            if proxy is not None:
                proxy.stop()
            site.stop()


@with_site_and_relay
def case_passive_stranger(proxy, site):
    """The client's passive port takes only the address of its control
    connection: a stranger who connects first gets no download and feeds no
    upload; the client's own data connection carries the transfer."""
    secret = os.urandom(200000)
    with open(site.path("secret.bin"), "wb") as target:
        target.write(secret)
    control = Control()
    control.reply()
    control.command(b"USER %s@127.0.0.1" % USER.encode())
    control.command(b"PASS " + PASSWORD.encode())
    expect(control.command(b"TYPE I")[0].startswith(b"200"), "TYPE I")
    for upload in (False, True):
        reply = control.command(b"PASV")
        match = re.match(rb"227 Entering Passive Mode \((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)\r\n$", reply[0])
        expect(match is not None, "PASV reply %r" % reply)
        numbers = [int(x) for x in match.groups()]
        port = numbers[4] * 256 + numbers[5]
        stranger = connect_from("127.0.0.2", ("127.0.0.1", port))
        if upload:
            stranger.sendall(b"forged upload\n")
        data = connect_from("127.0.0.1", ("127.0.0.1", port))
        reply = control.command(b"STOR up.bin" if upload else b"RETR secret.bin")
        expect(reply[0][:3] in (b"125", b"150"), "transfer begins: %r" % reply)
        if upload:
            data.sendall(secret)
            data.close()
        else:
            got = h.recv_all(data, timeout=20)
            data.close()
            expect(got == secret, "the client got %d of %d bytes" % (len(got), len(secret)))
        reply = control.reply()
        expect(reply[0].startswith(b"226"), "completion: %r" % reply)
        stranger_got = taken_by(stranger)
        expect(stranger_got == b"", "the stranger received %d bytes" % len(stranger_got))
    with open(site.path("up.bin"), "rb") as stored:
        expect(stored.read() == secret, "the upload stored is not the client's")
    control.close()


def case_commands_during_transfer(binary):
    """While a transfer runs only ABOR, STAT and NOOP go to the site; PORT is
    answered by the gateway (checked as ever), and what cannot be served now
    is refused; nothing reaches the site raw."""
    site = RecordingSite(holding=True)
    proxy = None
    try:
        proxy = start_relay(binary)
        control = Control()
        control.reply()
        control.command(b"USER someone@127.0.0.1")
        control.command(b"PASS x")
        reply = control.command(b"PASV")
        match = re.match(rb"227 Entering Passive Mode \((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)\r\n$", reply[0])
        expect(match is not None, "PASV reply %r" % reply)
        numbers = [int(x) for x in match.groups()]
        data = socket.create_connection(("127.0.0.1", numbers[4] * 256 + numbers[5]), timeout=10)
        expect(control.command(b"RETR file") == [b"150 opening\r\n"], "RETR begins")
        expect(h.recv_exactly(data, len(HELD_FIRST)) == HELD_FIRST, "first part of the data")
        before = len(site.lines)
        cases = [
            (b"PORT 127,0,0,1,200,10", [b'200 "PORT" command successful.\r\n']),
            (b"PORT 127,0,0,9,0,21", [b"504 Command not implemented for that parameter.\r\n"]),
            (b"CWD /elsewhere", [b"503 Bad sequence of commands.\r\n"]),
            (b"RETR other", [b"425 Cannot open data connection.\r\n"]),
        ]
        for line, expected in cases:
            reply = control.command(line)
            expect(reply == expected, "%r during the transfer: %r" % (line, reply))
        # Passed on; this site reads it only once it has sent its data.
        control.send(b"NOOP")
        site.finish.set()
        expect(h.recv_all(data, timeout=20) == HELD_REST, "the rest of the data")
        data.close()
        replies = [control.reply(), control.reply()]
        expect(replies == [[b"226 done\r\n"], [b"200 noop from the site\r\n"]], "after the data: %r" % replies)
        passed = site.lines[before:]
        expect(passed == [b"NOOP"], "the site saw %r during the transfer" % passed)
        control.close()
    finally:
        if proxy is not None:
            proxy.stop()
        site.stop()


@with_site_and_relay
def case_data_accept_shortage(proxy, site):
    """Out of descriptors when the site's data connection comes: the relay
    retries at a calm pace rather than spinning, and the transfer completes
    once descriptors are free again."""
    import resource
    # More than the waiting connection's buffers take: the site cannot finish
    # (and answer) before its data connection is accepted.
    content = os.urandom(16 * 1024 * 1024)
    with open(site.path("file.bin"), "wb") as target:
        target.write(content)
    control = Control()
    control.reply()
    control.command(b"USER %s@127.0.0.1" % USER.encode())
    control.command(b"PASS " + PASSWORD.encode())
    expect(control.command(b"TYPE I")[0].startswith(b"200"), "TYPE I")
    reply = control.command(b"PASV")
    match = re.match(rb"227 Entering Passive Mode \((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)\r\n$", reply[0])
    expect(match is not None, "PASV reply %r" % reply)
    numbers = [int(x) for x in match.groups()]
    data = socket.create_connection(("127.0.0.1", numbers[4] * 256 + numbers[5]), timeout=10)
    pid = proxy.process.pid
    limits = resource.prlimit(pid, resource.RLIMIT_NOFILE)
    # Room for the transfer's own listener, none for the connection it takes:
    # a new descriptor takes the lowest free number, and the limit bounds
    # the numbers.
    in_use = {int(name) for name in os.listdir("/proc/%d/fd" % pid)}
    free = [number for number in range(max(in_use) + 3) if number not in in_use]
    resource.prlimit(pid, resource.RLIMIT_NOFILE, (free[1], limits[1]))
    try:
        control.send(b"RETR file.bin")
        time.sleep(1.0)
        used = h.cpu_while_idle(pid, 2.0)
    finally:
        resource.prlimit(pid, resource.RLIMIT_NOFILE, limits)
    expect(used < 0.5, "%.2f s of processor time while the accept failed" % used)
    reply = control.reply()
    expect(reply[0][:3] in (b"125", b"150"), "RETR begins: %r" % reply)
    got = h.recv_all(data, timeout=30)
    data.close()
    expect(got == content, "the client got %d of %d bytes" % (len(got), len(content)))
    expect(control.reply()[0].startswith(b"226"), "completion")
    control.close()


CASES = {name[len("case_"):]: value for name, value in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    h.run_cases(CASES)
