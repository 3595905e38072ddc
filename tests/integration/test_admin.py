"""The administration site served by the real program, driven with curl.

    test_admin.py --binary PATH CASE

Cases:
  login           "/" is open; protected pages answer 401 (realm Moatkeep)
                  without a login and 403 with a wrong one
  pages           every page, help file and image is answered; configuration
                  pages expire at once, the status page refreshes
  port_bounds     "HTTP Port" 0 and 32768 are refused with the integer
                  message and nothing is written
  relay_added     a relay added on relays.html carries a connection to an
                  echo server after the reload
  restriction     a restriction added on security.html denies a connection
  release_host    a host released on control.html is gone from the page
  cross_site      a post from another site's page is refused with 403 and
                  nothing is written; one from the site's own page passes
  escaped         configured values with markup are shown escaped
  unstorable_keys keys the store would not read back (section headers,
                  comments, "=", blanks at the ends) are refused with the
                  field named and nothing is written
  restriction_patterns
                  originators and destinations the restriction loader would
                  skip are refused; one stored by hand is logged at load
"""
import os
import re
import shutil
import socket
import subprocess
import sys

import moatkeep_harness as h

HTTP_PORT = 18082
BASE = "http://127.0.0.1:%d/" % HTTP_PORT
LOGIN = "admin:pebble"
SITE_DIR = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "site"))
SITE_FILES = ["moatkeep.gif", "help.gif", "help.html", "ctlhelp.html", "globlhlp.html", "relayhlp.html",
              "remothlp.html", "remtnhlp.html", "securhlp.html", "homepage.html"]

expect = h.expect


class Answer:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body

    def header(self, name):
        return self.headers.get(name.lower(), "")


def curl(path, login=LOGIN, form=None, headers=()):
    """One request with curl; the status, the headers (lower-case names) and the body."""
    if shutil.which("curl") is None:
        h.skip("curl not available")
    command = ["curl", "-s", "-i", "--max-time", "20"]
    if login is not None:
        command += ["-u", login]
    for name, value in form or ():
        command += ["--data-urlencode", "%s=%s" % (name, value)]
    # A browser names the page a form was posted from; the site refuses a
    # post that names none.
    if form is not None and not any(re.match(r"(?i)(origin|referer):", header) for header in headers):
        command += ["-H", "Origin: http://127.0.0.1:%d" % HTTP_PORT]
    for header in headers:
        command += ["-H", header]
    command.append(BASE + path)
    raw = subprocess.run(command, capture_output=True, timeout=30).stdout
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    expect(lines and lines[0].startswith("HTTP/"), "no HTTP answer for %s: %r" % (path, raw[:200]))
    status = int(lines[0].split()[1])
    fields = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    return Answer(status, fields, body)


def start(binary, relays=(), security=None, extra_globals=""):
    proxy = h.Moatkeep(binary, h.ini(HTTP_PORT, relays, security, extra_globals))
    for name in SITE_FILES:
        shutil.copy2(os.path.join(SITE_DIR, name), proxy.directory)
    proxy.start_debug()
    proxy.wait_log(r"Warning: Proxies started\.")
    return proxy


def reloaded(proxy, count=1):
    proxy.wait_log(r"Warning: Configuration changed, reloaded\.", count=count)
    expect(h.wait_until(lambda: h.can_connect(HTTP_PORT), 10), "the HTTP port did not come back")


# ---------------------------------------------------------------- cases

def case_login(binary):
    proxy = start(binary)
    try:
        welcome = curl("", login=None)
        expect(welcome.status == 200 and b"Welcome to the Moatkeep" in welcome.body, "welcome: %d" % welcome.status)
        for page in ("globals.html", "relays.html", "security.html", "remotes.html", "remote1.html",
                     "control.html"):
            anonymous = curl(page, login=None)
            expect(anonymous.status == 401, "%s without login: %d" % (page, anonymous.status))
            expect(anonymous.header("WWW-Authenticate") == 'Basic realm="Moatkeep"',
                   "realm: %r" % anonymous.header("WWW-Authenticate"))
            wrong = curl(page, login="admin:wrong")
            expect(wrong.status == 403, "%s with a wrong password: %d" % (page, wrong.status))
            expect(curl(page).status == 200, "%s with the login" % page)
    finally:
        proxy.stop()


def case_pages(binary):
    proxy = start(binary, relays=[("18023", "127.0.0.1:9")])
    try:
        pages = {
            "welcome.html": b"Select one of the options below:",
            "globals.html": b"Global Parameters",
            "relays.html": b"Currently Active Relays",
            "security.html": b"Add New Access Restrictions",
            "remotes.html": b"Add new remote",
            "remote1.html": b"Parameters for Remote1",
            "control.html": b"Connected Hosts",
        }
        for page, text in pages.items():
            answer = curl(page)
            expect(answer.status == 200 and text in answer.body, "%s: %d %r" % (page, answer.status, answer.body[:300]))
        for name in SITE_FILES:
            answer = curl(name, login=None)
            expect(answer.status == 200, "%s: %d" % (name, answer.status))
            if name.endswith(".gif"):
                with open(os.path.join(SITE_DIR, name), "rb") as original:
                    expect(answer.body == original.read(), "%s differs from the file" % name)
            else:
                expect(b"Standard_Moatkeep_Header" not in answer.body, "%s kept its marker" % name)
                expect(b"<TD>Common Version " in answer.body, "%s has no header" % name)
        # The relay's row: the service as the title and its destination.
        relays = curl("relays.html").body
        expect(b'VALUE="127.0.0.1:9"' in relays, "relay row missing: %r" % relays)
        globals_page = curl("globals.html")
        expect(globals_page.header("Expires") and globals_page.header("Expires") == globals_page.header("Date"),
               "Expires %r, Date %r" % (globals_page.header("Expires"), globals_page.header("Date")))
        expect(b'<INPUT TYPE=number NAME="HTTP Port" VALUE=18082 MAX=32767 MIN=1>' in globals_page.body,
               "HTTP Port control: %r" % globals_page.body)
        control = curl("control.html")
        expect(control.header("Refresh") == "30", "Refresh: %r" % control.header("Refresh"))
        expect(b"The system has no remote access connections programmed." in control.body, "dial-up section")
        expect(b"There are no active connections." in control.body, "data connections section")
        expect(curl("nothing.html").status == 404, "a missing page")
    finally:
        proxy.stop()


def case_port_bounds(binary):
    proxy = start(binary)
    try:
        before = proxy.read_ini()
        for port in ("0", "32768"):
            answer = curl("globals.html", form=[("HTTP Port", port)])
            expect(answer.status == 400, "HTTP Port %s: %d" % (port, answer.status))
            expect(b"Error in Request" in answer.body, "no error page for %s" % port)
            expect(re.search(rb"HTTP Port.*\b1\b.*\b32767\b", answer.body, re.S) is not None,
                   "message for %s: %r" % (port, answer.body))
            expect(proxy.read_ini() == before, "the configuration was written for %s" % port)
        expect(not proxy.matching(r"Warning: Configuration changed, reloaded\."), "a refused post reloaded")
        expect(curl("globals.html").status == 200, "the site went away after a refused post")
    finally:
        proxy.stop()


def case_relay_added(binary):
    echo = h.Server(h.echo_handler)
    proxy = start(binary)
    try:
        expect(b"No relays active." in curl("relays.html").body, "empty relay table")
        answer = curl("relays.html", form=[("New relay service", "18023"),
                                           ("New relay destination", "127.0.0.1:%d" % echo.port)])
        expect(answer.status == 200 and b"Accepted New Configuration" in answer.body,
               "post: %d %r" % (answer.status, answer.body))
        reloaded(proxy)
        expect(re.search(r"^18023\s*=\s*127\.0\.0\.1:%d$" % echo.port, proxy.read_ini(), re.M) is not None,
               "not stored: %r" % proxy.read_ini())
        with socket.create_connection(("127.0.0.1", 18023), timeout=5) as conn:
            conn.sendall(b"through the new relay")
            expect(h.recv_until(conn, b"relay") == b"through the new relay", "the new relay did not carry data")
        expect(b'VALUE="127.0.0.1:%d"' % echo.port in curl("relays.html").body, "the relay is not listed")
        # An agent is not a destination.
        refused = curl("relays.html", form=[("New relay service", "18024"), ("New relay destination", "(SOCKS)")])
        expect(refused.status == 400 and
               b'Invalid host/socket specification for "New relay destination".' in refused.body,
               "(SOCKS) as destination: %d %r" % (refused.status, refused.body))
    finally:
        proxy.stop()
        echo.close()


def case_restriction(binary):
    echo = h.Server(h.echo_handler)
    proxy = start(binary, relays=[("18023", "127.0.0.1:%d" % echo.port)])
    try:
        with socket.create_connection(("127.0.0.1", 18023), timeout=5) as conn:
            conn.sendall(b"before")
            expect(h.recv_until(conn, b"before") == b"before", "relay did not pass before the restriction")
        answer = curl("security.html", form=[("Originator", "0.0.0.0"), ("Destination", "127.0.0.2:1")])
        expect(answer.status == 200, "post: %d %r" % (answer.status, answer.body))
        reloaded(proxy)
        accepted = echo.accepted
        with socket.create_connection(("127.0.0.1", 18023), timeout=5) as conn:
            conn.sendall(b"after")
            expect(h.recv_all(conn, timeout=10) == b"", "the restricted relay passed data")
        expect(echo.accepted == accepted, "the denied destination was contacted")
        proxy.wait_log(r"Warning: Connection denied from \S+:18023 to \S+:%d\." % echo.port)
        expect(b'VALUE="127.0.0.2:1"' in curl("security.html").body, "the restriction is not listed")
    finally:
        proxy.stop()
        echo.close()


def case_release_host(binary):
    echo = h.Server(h.echo_handler)
    proxy = start(binary, relays=[("18023", "127.0.0.1:%d" % echo.port)])
    try:
        with socket.create_connection(("127.0.0.1", 18023), timeout=5) as conn:
            conn.sendall(b"count me")
            expect(h.recv_until(conn, b"me") == b"count me", "relay did not pass")
        page = curl("control.html").body
        expect(b"  Local Address  " in page and b'NAME="127.0.0.1"' in page, "host not listed: %r" % page)
        answer = curl("control.html", form=[("127.0.0.1", "Release")])
        expect(answer.status == 200 and b"Request Accepted" in answer.body and b"Released user " in answer.body,
               "release: %d %r" % (answer.status, answer.body))
        page = curl("control.html").body
        expect(b"There are no active hosts connected at present." in page, "host still listed: %r" % page)
        # The dial-up actions answer even without remote systems.
        hang_up = curl("control.html", form=[("submit", "Disconnect")])
        expect(b"Request Error" in hang_up.body and b"Not currently connected." in hang_up.body,
               "disconnect: %r" % hang_up.body)
    finally:
        proxy.stop()
        echo.close()


def case_cross_site(binary):
    proxy = start(binary)
    try:
        before = proxy.read_ini()
        for header in ("Origin: http://attacker.example", "Origin: http://127.0.0.1:8080", "Origin: null",
                       "Referer: http://attacker.example/page.html"):
            answer = curl("globals.html", form=[("Log Level", "3")], headers=[header])
            expect(answer.status == 403, "%s: %d" % (header, answer.status))
            expect(proxy.read_ini() == before, "written despite %s" % header)
        released = curl("control.html", form=[("127.0.0.1", "Release")], headers=["Origin: http://attacker.example"])
        expect(released.status == 403, "control post from another site: %d" % released.status)
        expect(not proxy.matching(r"Warning: Configuration changed, reloaded\."), "a refused post reloaded")
        own = curl("globals.html", form=[("Log Level", "3")], headers=["Origin: http://127.0.0.1:%d" % HTTP_PORT])
        expect(own.status == 200, "a post from the site's own page: %d %r" % (own.status, own.body))
        reloaded(proxy)
        expect(re.search(r"^Log Level\s*=\s*3$", proxy.read_ini(), re.M) is not None, "own post not stored")
    finally:
        proxy.stop()


def case_escaped(binary):
    proxy = start(binary, security=[("<b>origin</b>", "1.2.3.4")],
                  extra_globals="Username=<i>chief</i>\nPassword=pebble\n")
    try:
        page = curl("security.html", login="<i>chief</i>:pebble")
        expect(page.status == 200, "security page: %d" % page.status)
        expect(b"<b>origin</b>" not in page.body and b"&lt;b&gt;origin&lt;/b&gt;" in page.body,
               "originator not escaped: %r" % page.body)
        page = curl("globals.html", login="<i>chief</i>:pebble")
        expect(b"<i>chief</i>" not in page.body and b"&lt;i&gt;chief&lt;/i&gt;" in page.body,
               "user name not escaped: %r" % page.body)
    finally:
        proxy.stop()


def expect_refused(proxy, page, form, field, message, before):
    answer = curl(page, form=form)
    expect(answer.status == 400 and b"Error in Request" in answer.body,
           "%s %r: %d %r" % (page, form, answer.status, answer.body))
    expect(('"%s"' % field).encode() in answer.body and message in answer.body,
           "%s %r: message %r" % (page, form, answer.body))
    expect(proxy.read_ini() == before, "%s %r was written: %r" % (page, form, proxy.read_ini()))


def case_unstorable_keys(binary):
    proxy = start(binary)
    try:
        before = proxy.read_ini()
        key_message = b"cannot be stored as a key"
        for service in ("[Globals] 18030", "#18030 18030", ";x 18030", "18030=x", " 18030", "18030 ", "18030\t1"):
            expect_refused(proxy, "relays.html", [("New relay service", service),
                                                  ("New relay destination", "127.0.0.1:9")],
                           "New relay service", key_message, before)
        for originator in ("[Globals]", "#10.0.0.1", ";10.0.0.1", " 10.0.0.1"):
            expect_refused(proxy, "security.html", [("Originator", originator), ("Destination", "0.0.0.0")],
                           "Originator", key_message, before)
        expect(not proxy.matching(r"Warning: Configuration changed, reloaded\."), "a refused post reloaded")
        # The login and the port of the Globals are as they were.
        expect(curl("globals.html").status == 200, "the site after the refused posts")
    finally:
        proxy.stop()


def case_restriction_patterns(binary):
    proxy = start(binary, security=[("192.168.1.*", "0.0.0.0")])
    try:
        proxy.wait_log(r'Error: Access restriction skipped: "192\.168\.1\.\*" to "0\.0\.0\.0"\.')
        before = proxy.read_ini()
        message = b"Invalid host/socket specification for"
        cases = [
            ("192.168.2.*", "0.0.0.0", "Originator"),
            ("10.0.0.0/8", "0.0.0.0", "Originator"),
            ("no-such-host.invalid", "0.0.0.0", "Originator"),
            ("0.0.0.0", "10.0.0.0/8", "Destination"),
            ("0.0.0.0", "(ASK)", "Destination"),
            ("0.0.0.0", "", "Destination"),
        ]
        for originator, destination, field in cases:
            expect_refused(proxy, "security.html", [("Originator", originator), ("Destination", destination)],
                           field, message, before)
        # The row stored by hand cannot be given a destination the loader skips.
        expect_refused(proxy, "security.html", [("192.168.1.*", "1.2.3.*")], "192.168.1.*", message, before)
        expect(not proxy.matching(r"Warning: Configuration changed, reloaded\."), "a refused post reloaded")
        answer = curl("security.html", form=[("Originator", "127.0.0.0"), ("Destination", "127.0.0.1:telnet")])
        expect(answer.status == 200, "a pattern the loader takes: %d %r" % (answer.status, answer.body))
        reloaded(proxy)
    finally:
        proxy.stop()


CASES = {name[len("case_"):]: function for name, function in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    h.run_cases(CASES)
