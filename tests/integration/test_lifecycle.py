"""The service's stop, pause and continue through the built-in service
manager, racing a dial that takes its time and the reload of a stored form.

    test_lifecycle.py --binary PATH CASE

Cases:
  stop_behind_dial    a stop while a dial holds the link and a reload is
                      under way ends the service within seconds
  pause_behind_dial   a pause in the same situation closes the relays within
                      seconds; continue and stop then work as ever
  pause_before_reload a pause that lands while a stored form's reload is
                      still pending keeps everything closed; continue then
                      reopens it all, the form's relay included
"""
import base64
import os
import socket
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import moatkeep_harness as h  # noqa: E402
import test_dialup  # noqa: E402

HTTP_PORT = 18082
RELAY_PORT = 18023
ADDED_PORT = 18026
UDP_PORT = 18053
STOPPED, RUNNING, PAUSED = 1, 4, 7

expect = h.expect


class Service:
    """The program installed and started through the built-in manager."""

    def __init__(self, binary, ini_text, phonebook=None):
        self.proxy = h.Moatkeep(binary, ini_text)
        self.services = os.path.join(self.proxy.directory, "services")
        os.makedirs(self.services)
        self.env = dict(os.environ, ZUNDER_SERVICE_MANAGER="builtin", ZUNDER_SERVICE_DIR=self.services)
        if phonebook is not None:
            self.env["ZUNDER_PHONEBOOK"] = phonebook.directory
        self.installed = False

    def control(self, word):
        result = self.proxy.command(word, self.env)
        expect(result.returncode == 0, "%s: %r" % (word, result.stderr))

    def start(self):
        self.control("install")
        self.installed = True
        self.control("start")
        expect(h.wait_until(lambda: self.state() == RUNNING and h.can_connect(HTTP_PORT), timeout=20),
               "the service did not start (state %r)" % self.state())

    def state(self):
        try:
            with open(os.path.join(self.services, "moatkeep.status")) as status:
                return int(status.read().strip() or 0)
        except (OSError, ValueError):
            return None

    def pid(self):
        try:
            with open(os.path.join(self.services, "moatkeep.pid")) as record:
                return int(record.read().strip())
        except (OSError, ValueError):
            return 0

    def running(self):
        pid = self.pid()
        if pid <= 0:
            return False
        try:
            with open("/proc/%d/stat" % pid) as stat:
                return stat.read().rsplit(")", 1)[-1].split()[0] != "Z"
        except OSError:
            return False

    def close(self):
        if self.installed:
            if self.running():
                self.proxy.command("stop", self.env)
                if not h.wait_until(lambda: not self.running(), timeout=20):
                    os.kill(self.pid(), 9)
            self.proxy.command("remove", self.env)
        self.proxy.stop()


def form_request(fields):
    """A complete POST of relays.html, logged in."""
    body = urllib.parse.urlencode(fields).encode()
    login = base64.b64encode(b"admin:pebble")
    site = b"127.0.0.1:%d" % HTTP_PORT
    return (b"POST /relays.html HTTP/1.0\r\nHost: " + site + b"\r\nOrigin: http://" + site +
            b"\r\nAuthorization: Basic " + login + b"\r\nContent-Type: application/x-www-form-urlencoded"
            b"\r\nContent-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)


def add_relay_fields(port, destination_port):
    return [("New relay service", str(port)), ("New relay destination", "127.0.0.1:%d" % destination_port)]


def echo_once(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as conn:
            conn.sendall(b"again")
            return h.recv_until(conn, b"again", timeout=5) == b"again"
    except OSError:
        return False


def stays_closed(ports, seconds):
    """Whether every port refuses connections throughout (sampled)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if any(h.can_connect(port) for port in ports):
            return False
        time.sleep(0.1)
    return True


def behind_dial(binary, control):
    """A relayed connection makes the manager dial an entry that connects
    only when let; a stored form's reload then runs, and a datagram waits
    for the link on the UDP relay's listening thread; control follows."""
    echo = h.Server(h.echo_handler)
    phonebook = test_dialup.Phonebook("gated")
    text = h.ini(HTTP_PORT, [(str(RELAY_PORT), "127.0.0.1:%d" % echo.port),
                             ("%d/udp" % UDP_PORT, "127.0.0.1:%d" % h.free_port())])
    text += test_dialup.remote_sections(("gated", "Dial Retries=1\n"))
    service = Service(binary, text, phonebook)
    held = None
    datagram = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        service.start()
        held = socket.create_connection(("127.0.0.1", RELAY_PORT), timeout=10)
        expect(h.wait_until(lambda: "gated dial" in phonebook.calls(), timeout=20),
               "no dial: %s" % phonebook.calls())
        with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=10) as conn:
            conn.sendall(form_request(add_relay_fields(ADDED_PORT, echo.port)))
            answer = h.recv_all(conn, timeout=20)
        expect(b" 200 " in answer.split(b"\r\n")[0], "form answered %r" % answer[:200])
        # The reload has reached the dial-up state once the added relay is open.
        expect(h.wait_until(lambda: h.can_connect(ADDED_PORT), timeout=20), "the reload did not open the relay")
        # The UDP relay's listening thread waits for the link itself.
        datagram.sendto(b"query", ("127.0.0.1", UDP_PORT))
        time.sleep(0.5)
        control(service, echo)
    finally:
        test_dialup.release_dial(phonebook, "gated")
        if held is not None:
            held.close()
        datagram.close()
        service.close()
        echo.close()
        phonebook.close()


def case_stop_behind_dial(binary):
    def control(service, echo):
        service.control("stop")
        # A service manager gives a stop some seconds before it kills.
        expect(h.wait_until(lambda: not service.running(), timeout=20),
               "the service still runs (state %r) after the stop" % service.state())
        expect(service.state() == STOPPED, "state %r after the stop" % service.state())
        expect(h.refused(HTTP_PORT) and h.refused(RELAY_PORT), "ports open after the stop")

    behind_dial(binary, control)


def case_pause_behind_dial(binary):
    def control(service, echo):
        service.control("pause")
        expect(h.wait_until(lambda: service.state() == PAUSED, timeout=20),
               "not paused (state %r)" % service.state())
        expect(h.wait_until(lambda: h.refused(RELAY_PORT) and h.refused(HTTP_PORT), timeout=5),
               "relays open while paused")
        service.control("resume")
        expect(h.wait_until(lambda: service.state() == RUNNING and h.can_connect(HTTP_PORT), timeout=20),
               "not running after continue (state %r)" % service.state())
        service.control("stop")
        expect(h.wait_until(lambda: not service.running(), timeout=20), "the service still runs after the stop")

    behind_dial(binary, control)


def case_pause_before_reload(binary):
    echo = h.Server(h.echo_handler)
    service = Service(binary, h.ini(HTTP_PORT, [(str(RELAY_PORT), "127.0.0.1:%d" % echo.port)]))
    try:
        service.start()
        expect(echo_once(RELAY_PORT), "relay not open after start")
        # The agent reloads once the client has closed (or after a linger of
        # two seconds): the connection is held open meanwhile.
        with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=10) as conn:
            conn.sendall(form_request(add_relay_fields(ADDED_PORT, echo.port)))
            answer = h.recv_until(conn, b"Accepted New Configuration", timeout=20)
            expect(b" 200 " in answer.split(b"\r\n")[0] and b"Accepted New Configuration" in answer,
                   "form answered %r" % answer[:200])
            service.control("pause")
            expect(h.wait_until(lambda: service.state() == PAUSED, timeout=10),
                   "not paused (state %r)" % service.state())
        # The pending reload has come and gone: nothing opened again.
        expect(stays_closed([HTTP_PORT, RELAY_PORT, ADDED_PORT], 4), "listeners reopened while paused")
        expect(service.state() == PAUSED, "state %r while paused" % service.state())

        service.control("resume")
        expect(h.wait_until(lambda: service.state() == RUNNING and h.can_connect(HTTP_PORT), timeout=20),
               "not running after continue (state %r, process %s)" % (service.state(), service.running()))
        expect(h.wait_until(lambda: echo_once(RELAY_PORT), timeout=10), "relay not reopened by continue")
        expect(h.wait_until(lambda: echo_once(ADDED_PORT), timeout=10), "the form's relay not taken up")
        expect(service.running(), "the service ended")
        service.control("stop")
        expect(h.wait_until(lambda: not service.running(), timeout=20), "the service still runs after the stop")
    finally:
        service.close()
        echo.close()


CASES = {name[len("case_"):]: function for name, function in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    h.run_cases(CASES)
