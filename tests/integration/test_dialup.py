"""Dial-on-demand of moatkeep end to end: the real program with a phonebook
of simulated modem entries (tests/fixtures/phonebook/modem)."""
import base64
import os
import re
import shutil
import socket
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import moatkeep_harness as h  # noqa: E402

HTTP_PORT = 18082
RELAY_PORT = 18023
MODEM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures", "phonebook", "modem")
ERROR_SUFFIX = r"( - error = \d+)?"

expect = h.expect


class Phonebook:
    """A temporary phonebook with the simulated entry installed under each name."""

    def __init__(self, *names):
        self.directory = tempfile.mkdtemp(prefix="moatkeep-phonebook-")
        for name in names:
            target = os.path.join(self.directory, name)
            shutil.copy(MODEM, target)
            os.chmod(target, 0o755)

    def state(self, name):
        try:
            with open(os.path.join(self.directory, name + ".state")) as state:
                return state.read().strip()
        except FileNotFoundError:
            return "idle"

    def calls(self):
        try:
            with open(os.path.join(self.directory, "calls.log")) as log:
                return log.read().splitlines()
        except FileNotFoundError:
            return []

    def close(self):
        shutil.rmtree(self.directory, ignore_errors=True)


def remote_sections(*systems):
    """INI text of [Remote1], [Remote2], ... from (name, extra lines) pairs."""
    text = ""
    for number, (name, extra) in enumerate(systems, 1):
        text += "[Remote%d]\nRemote Name=%s\n%s" % (number, name, extra)
    return text


def start(binary, text, phonebook, dial_timeout=None):
    os.environ["ZUNDER_PHONEBOOK"] = phonebook.directory
    if dial_timeout is not None:
        os.environ["ZUNDER_DIAL_TIMEOUT"] = str(dial_timeout)
    proxy = h.Moatkeep(binary, text).start_debug()
    proxy.wait_log(r"Warning: Proxies started\." + ERROR_SUFFIX)
    return proxy


def echo_through_relay(payload=b"ping", timeout=30):
    with socket.create_connection(("127.0.0.1", RELAY_PORT), timeout=timeout) as conn:
        conn.sendall(payload)
        return h.recv_until(conn, payload, timeout=timeout)


def post_form(page, fields, timeout=20):
    """Posts a form to the administration site (logged in); the status."""
    body = urllib.parse.urlencode(fields).encode()
    request = urllib.request.Request("http://127.0.0.1:%d/%s" % (HTTP_PORT, page), data=body, method="POST")
    request.add_header("Authorization", "Basic " + base64.b64encode(b"admin:pebble").decode())
    # As a browser names the page it posts from.
    request.add_header("Origin", "http://127.0.0.1:%d" % HTTP_PORT)
    try:
        with urllib.request.urlopen(request, timeout=timeout) as answer:
            return answer.status
    except urllib.error.HTTPError as error:
        return error.code


def release_dial(phonebook, name):
    """Lets a "gated" entry's dial connect."""
    open(os.path.join(phonebook.directory, name + ".go"), "w").close()


def read_to_end(conn, marker, timeout=20):
    """What arrives until the peer closes or marker has come (bounded in
    time), and whether the peer closed."""
    conn.settimeout(0.2)
    data = b""
    deadline = time.monotonic() + timeout
    while marker not in data and time.monotonic() < deadline:
        try:
            part = conn.recv(4096)
        except socket.timeout:
            continue
        except ConnectionResetError:
            return data, True
        if not part:
            return data, True
        data += part
    return data, False


def stop(proxy):
    proxy.process.terminate()
    proxy.process.wait(timeout=15)
    proxy.wait_log(r"Warning: Proxies stopped\." + ERROR_SUFFIX)


# ---------------------------------------------------------------- cases

def case_fallback_override(binary):
    """The first system is busy, the second connects in the same pass, and the
    relay goes to the second system's override; the stop hangs it up."""
    fixed = h.Server(h.echo_handler)       # the relay table's destination
    override = h.Server(h.echo_handler)    # Remote2's destination for the relay
    phonebook = Phonebook("busy", "connecting")
    text = h.ini(HTTP_PORT, [(str(RELAY_PORT), "127.0.0.1:%d" % fixed.port)])
    text += remote_sections(("busy", "Dial Retries=2\n"),
                            ("connecting", "Dial Retries=1\nDisconnect Time=1\n%d=127.0.0.1:%d\n"
                             % (RELAY_PORT, override.port)))
    proxy = start(binary, text, phonebook)
    try:
        expect(echo_through_relay() == b"ping", "no echo through the relay")
        expect(override.accepted == 1 and fixed.accepted == 0,
               "override %d, fixed %d connections" % (override.accepted, fixed.accepted))
        proxy.wait_log(r'Information: RAS dialling "busy"\.')
        proxy.wait_log(r'Information: RAS connection to "busy" failed: line busy\.', count=2)
        proxy.wait_log(r'Information: RAS dialling "connecting"\.')
        expect(not proxy.matching(r"Error: No remote access connection made\..*"), "\n".join(proxy.log()))
        expect(phonebook.state("connecting") == "connected", "entry state " + phonebook.state("connecting"))
        # With the link up a second connection is not held and dials nothing.
        expect(echo_through_relay(b"again") == b"again", "no echo on the second connection")
        expect(len(proxy.matching(r'Information: RAS dialling "connecting"\.')) == 1, "\n".join(proxy.log()))
        expect(phonebook.calls().count("connecting dial") == 1, "calls: %s" % phonebook.calls())
        stop(proxy)
        proxy.wait_log(r'Warning: Remote connection "connecting" hanging up\.' + ERROR_SUFFIX)
        expect(phonebook.state("connecting") == "idle", "entry state after stop " + phonebook.state("connecting"))
    finally:
        proxy.stop()
        fixed.close()
        override.close()
        phonebook.close()


def case_no_remote(binary):
    """Without remote systems every connection makes one pass that dials
    nothing, and the connection goes on to the relay table's destination."""
    fixed = h.Server(h.echo_handler)
    phonebook = Phonebook("connecting")
    proxy = start(binary, h.ini(HTTP_PORT, [(str(RELAY_PORT), "127.0.0.1:%d" % fixed.port)]), phonebook)
    try:
        for round_number in range(3):
            expect(echo_through_relay() == b"ping", "no echo in round %d" % round_number)
        proxy.wait_log(r"Error: No remote access connection made\." + ERROR_SUFFIX, count=3)
        expect(phonebook.calls() == [], "the phonebook was used: %s" % phonebook.calls())
        stop(proxy)
        expect(not proxy.matching(r"Warning: Remote connection .*"), "\n".join(proxy.log()))
    finally:
        proxy.stop()
        fixed.close()
        phonebook.close()


def case_broken_entries(binary):
    """A missing entry and a hanging one (killed after the shortened bound)
    fail; the held connection then goes on to the relay table's destination."""
    fixed = h.Server(h.echo_handler)
    phonebook = Phonebook("hanging")
    text = h.ini(HTTP_PORT, [(str(RELAY_PORT), "127.0.0.1:%d" % fixed.port)])
    text += remote_sections(("absent", ""), ("hanging", ""), ("waytoolongentryname12", ""))
    proxy = start(binary, text, phonebook, dial_timeout=1)
    try:
        expect(echo_through_relay() == b"ping", "no echo through the relay")
        proxy.wait_log(r'Information: RAS connection to "absent" failed: missing RAS entry\.')
        # Three attempts (the default Dial Retries), each killed after a second.
        proxy.wait_log(r'Information: RAS connection to "hanging" failed\.', count=3)
        proxy.wait_log(r'Information: RAS connection to "waytoolongentryname12" failed: missing RAS entry\.')
        proxy.wait_log(r"Error: No remote access connection made\." + ERROR_SUFFIX)
        expect(phonebook.calls() == ["hanging status", "hanging dial", "hanging hangup"] * 3,
               "calls: %s" % phonebook.calls())
        stop(proxy)
    finally:
        proxy.stop()
        fixed.close()
        phonebook.close()


def case_reload_while_waiting(binary):
    """Connections wait in the dial-up gate while a stored form reloads a
    table that removes one plain relay and points another elsewhere: each
    keeps the kind of relay it was accepted on. The removed relay's
    connection is closed with its log line (never prompted), the changed
    one goes where its relay pointed when it was accepted, and the "(ASK)"
    relay's connection is prompted as before."""
    first = h.Server(h.echo_handler)
    second = h.Server(h.echo_handler)
    phonebook = Phonebook("gated")
    removed, changed, ask = RELAY_PORT, RELAY_PORT + 1, RELAY_PORT + 2
    relays = [(str(removed), "127.0.0.1:%d" % first.port), (str(changed), "127.0.0.1:%d" % first.port),
              (str(ask), "(ASK)")]
    remote = remote_sections(("gated", "Dial Retries=1\n"))
    proxy = start(binary, h.ini(HTTP_PORT, relays) + remote, phonebook)
    clients = []
    try:
        for port in (removed, changed, ask):
            conn = socket.create_connection(("127.0.0.1", port), timeout=10)
            conn.sendall(b"held")
            clients.append(conn)
        proxy.wait_log(r'Information: RAS dialling "gated"\.')

        # The table as the reload will read it, then a form that stores an
        # unrelated relay and so reloads.
        proxy.write_ini(h.ini(HTTP_PORT, [(str(changed), "127.0.0.1:%d" % second.port), (str(ask), "(ASK)")])
                        + remote)
        status = post_form("relays.html", [("New relay service", str(RELAY_PORT + 3)),
                                           ("New relay destination", "127.0.0.1:%d" % second.port)])
        expect(status == 200, "form answered %d" % status)
        # The reload does not wait for the dial.
        proxy.wait_log(r"Warning: Configuration changed, reloaded\." + ERROR_SUFFIX, timeout=30)

        release_dial(phonebook, "gated")
        removed_conn, changed_conn, ask_conn = clients
        data, closed = read_to_end(removed_conn, b"host> ")
        expect(closed and data == b"", "the removed relay's connection got %r (closed: %s)" % (data, closed))
        proxy.wait_log(r'Warning: Relay "%s" was removed; connection closed\.' % h.service_name(removed)
                       + ERROR_SUFFIX)
        expect(h.recv_until(changed_conn, b"held", timeout=20) == b"held", "no echo on the changed relay")
        expect(first.accepted == 1 and second.accepted == 0,
               "first %d, second %d connections" % (first.accepted, second.accepted))
        expect(h.recv_until(ask_conn, b"host> ", timeout=20).endswith(b"host> "), "the (ASK) relay did not prompt")
        expect(not proxy.matching(r"Warning: Invalid host error.*"), "\n".join(proxy.log()))
        stop(proxy)
    finally:
        release_dial(phonebook, "gated")
        for conn in clients:
            conn.close()
        proxy.stop()
        first.close()
        second.close()
        phonebook.close()


if __name__ == "__main__":
    h.run_cases({
        "fallback_override": case_fallback_override,
        "no_remote": case_no_remote,
        "broken_entries": case_broken_entries,
        "reload_while_waiting": case_reload_while_waiting,
    })
