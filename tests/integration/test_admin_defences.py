"""The administration site's defences against the network it serves, with
raw sockets from several loopback addresses (so that a lock-out never hits
127.0.0.1, which the other cases use) and curl.

    test_admin_defences.py --binary PATH CASE

Cases:
  backoff          ten failed logins from one address refuse it even the
                   right login; other addresses are not affected; a success
                   before the limit starts the count afresh; each failure
                   and the start of the lock-out are logged
  host_names       a Host that names another site is refused with the names
                   accepted; the gateway's own names and "Admin Host Names"
                   are answered; a proxied request for another name that
                   leads here is forwarded (and refused as a loop)
  host_names_form  "Admin Host Names" is shown on the Global Parameters
                   page, refused when it holds no host name, stored when valid
  headers          every answer of the site forbids framing and sniffing and
                   keeps its referrer; protected pages are not stored;
                   forwarded answers are left as their server sent them
  post_origin      a post with neither Origin nor Referer is refused and
                   writes nothing; one with the site's own Referer passes
  password         the Global Parameters page never holds the password; an
                   empty Password keeps it, a new one replaces it
  builtin_login    the built-in login is warned of at start and named on
                   every page until it is changed
"""
import base64
import hashlib
import re
import socket

import moatkeep_harness as h
import test_admin as site

expect = h.expect
# A log line of a warning may end with the last system error.
ERROR_SUFFIX = r"( - error = \d+)?"
HTTP_PORT = site.HTTP_PORT
GOOD = "Basic " + base64.b64encode(b"admin:pebble").decode()
WRONG = "Basic " + base64.b64encode(b"admin:wrong").decode()


def raw(request, source="127.0.0.1", timeout=20):
    """One request from the source address; the status, the header text and the body."""
    with socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=10, source_address=(source, 0)) as conn:
        conn.sendall(request)
        answer = h.recv_all(conn, timeout=timeout)
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    expect(lines and lines[0].startswith("HTTP/"), "no HTTP answer to %r: %r" % (request[:80], answer[:200]))
    return int(lines[0].split()[1]), "\r\n".join(lines[1:]), body


def get(path, source="127.0.0.1", auth=None, host="127.0.0.1:%d" % HTTP_PORT, extra=b""):
    request = b"GET /%s HTTP/1.0\r\n" % path.encode()
    if host is not None:
        request += b"Host: %s\r\n" % host.encode()
    if auth is not None:
        request += b"Authorization: %s\r\n" % auth.encode()
    return raw(request + extra + b"\r\n", source)


def header(head, name):
    match = re.search(r"(?im)^%s:\s*(.*?)\s*$" % re.escape(name), head)
    return match.group(1) if match else None


# ---------------------------------------------------------------- back-off

def case_backoff(binary):
    proxy = site.start(binary)
    try:
        # Ten failures within the window from 127.0.0.2 ...
        for attempt in range(10):
            status, _, _ = get("globals.html", "127.0.0.2", WRONG)
            expect(status == 403, "wrong login %d: %d" % (attempt + 1, status))
        # ... and even the right login is refused, unchecked.
        for page in ("globals.html", "control.html"):
            status, _, body = get(page, "127.0.0.2", GOOD)
            expect(status == 403, "the right login during the lock-out, %s: %d %r" % (page, status, body[:200]))
        proxy.wait_log(r'Warning: Failed login as "admin" from 127\.0\.0\.2\.' + ERROR_SUFFIX, count=10)
        status, _, _ = get("globals.html", "127.0.0.2", WRONG)
        expect(status == 403, "a wrong login during the lock-out: %d" % status)
        # Refused unchecked: not counted as a failure.
        expect(len(proxy.matching(r'Warning: Failed login as .* from 127\.0\.0\.2\.' + ERROR_SUFFIX)) == 10,
               "failures during the lock-out were checked:\n%s" % "\n".join(proxy.log()))
        expect(len(proxy.matching(r"Warning: Logins from 127\.0\.0\.2 refused for 60 seconds after 10 failed "
                                  r"logins\." + ERROR_SUFFIX)) == 1, "the lock-out is not logged once:\n%s" % "\n".join(proxy.log()))
        # The open pages stay open.
        status, _, _ = get("welcome.html", "127.0.0.2")
        expect(status == 200, "welcome page from the locked address: %d" % status)
        # Another address is not affected.
        status, _, _ = get("globals.html", "127.0.0.3", GOOD)
        expect(status == 200, "the right login from another address: %d" % status)
        # A success before the limit starts the count afresh: 9 + success + 9 never locks.
        for _ in range(2):
            for attempt in range(9):
                status, _, _ = get("globals.html", "127.0.0.4", WRONG)
                expect(status == 403, "wrong login from 127.0.0.4: %d" % status)
            status, _, _ = get("globals.html", "127.0.0.4", GOOD)
            expect(status == 200, "a success after 9 failures: %d" % status)
        # The user name tried is what the log names.
        get("globals.html", "127.0.0.5", "Basic " + base64.b64encode(b"root:toor").decode())
        proxy.wait_log(r'Warning: Failed login as "root" from 127\.0\.0\.5\.' + ERROR_SUFFIX)
        expect(not proxy.matching(r"Warning: Logins from 127\.0\.0\.[345] .*"), "an address below the limit was locked")
    finally:
        proxy.stop()


# ---------------------------------------------------------------- host names

def alias_of_loopback():
    """A name the host resolves to 127.0.0.1 that is not the gateway's own
    (from /etc/hosts), or None."""
    own = socket.gethostname().lower()
    try:
        with open("/etc/hosts") as hosts:
            for line in hosts:
                words = line.split("#")[0].split()
                if len(words) < 2 or words[0] != "127.0.0.1":
                    continue
                for name in words[1:]:
                    if name.lower() not in (own, "localhost") and "." not in name:
                        return name
    except OSError:
        pass
    return None


def case_host_names(binary):
    proxy = site.start(binary, extra_globals="Admin Host Names=gw.example.org  admin.lan\n")
    own = socket.gethostname()
    try:
        for host in ("attacker.example", "attacker.example:%d" % HTTP_PORT, "127.0.0.1.attacker.example",
                     "gw.example.org.attacker.example", "localhost.attacker.example"):
            for page, auth in (("welcome.html", None), ("globals.html", GOOD), ("help.gif", None)):
                status, _, body = get(page, host=host, auth=auth)
                expect(status == 403, "Host %s, %s: %d" % (host, page, status))
                expect(b"Welcome to the Moatkeep" not in body and b"Global Parameters" not in body,
                       "Host %s got the page" % host)
                for name in (b"localhost", own.encode(), b"gw.example.org", b"admin.lan"):
                    expect(name in body, "the refusal for %s does not name %r: %r" % (host, name, body))
        status, _, body = raw(b"POST /globals.html HTTP/1.0\r\nHost: attacker.example\r\nOrigin: http://attacker.example"
                              b"\r\nAuthorization: %s\r\nContent-Length: 11\r\n\r\nLog+Level=3" % GOOD.encode())
        expect(status == 403, "a post naming another Host: %d" % status)
        for host in ("127.0.0.1", "127.0.0.1:%d" % HTTP_PORT, "localhost", "LOCALHOST:%d" % HTTP_PORT, own,
                     "%s:%d" % (own, HTTP_PORT), "gw.example.org", "GW.example.org:%d" % HTTP_PORT, "admin.lan"):
            status, _, body = get("globals.html", host=host, auth=GOOD)
            expect(status == 200 and b"Global Parameters" in body, "Host %s: %d" % (host, status))
        # HTTP/1.0 without a Host is answered as ever.
        status, _, _ = get("globals.html", host=None, auth=GOOD)
        expect(status == 200, "no Host: %d" % status)
        # A proxied request for the gateway's own name is the site's.
        status, _, body = raw(b"GET http://localhost:%d/welcome.html HTTP/1.0\r\n\r\n" % HTTP_PORT)
        expect(status == 200 and b"Welcome to the Moatkeep" in body, "proxied request for localhost: %d" % status)
        # One for another name that leads here is forwarded, and comes back
        # to us as a loop: never answered by the site.
        alias = alias_of_loopback()
        if alias is not None:
            # Without a Host (HTTP/1.0), and with the one a browser sends.
            for host in (b"", b"Host: %s:%d\r\n" % (alias.encode(), HTTP_PORT)):
                status, _, body = raw(b"GET http://%s:%d/welcome.html HTTP/1.0\r\n%s\r\n"
                                      % (alias.encode(), HTTP_PORT, host))
                expect(b"Welcome to the Moatkeep" not in body, "the site answered a proxied request for %s" % alias)
                expect(status == 508, "proxied request for %s (%r): %d %r" % (alias, host, status, body[:200]))
    finally:
        proxy.stop()


def case_host_names_form(binary):
    proxy = site.start(binary)
    try:
        page = site.curl("globals.html").body
        expect(b'NAME="Admin Host Names"' in page, "no Admin Host Names field: %r" % page)
        before = proxy.read_ini()
        for names in ("bad_name", "gw.example.org -dash.example", "a..b", "gw.example.org/x", "x" * 254,
                      "gw.example.org:8080", "[::1]"):
            answer = site.curl("globals.html", form=[("Admin Host Names", names)])
            expect(answer.status == 400 and b'"Admin Host Names"' in answer.body,
                   "%r: %d %r" % (names, answer.status, answer.body))
            expect(proxy.read_ini() == before, "%r was written" % names)
        answer = site.curl("globals.html", form=[("Admin Host Names", "gw.example.org  10.0.0.1 Admin.LAN")])
        expect(answer.status == 200, "valid names: %d %r" % (answer.status, answer.body))
        site.reloaded(proxy)
        expect(re.search(r"^Admin Host Names\s*=\s*gw\.example\.org  10\.0\.0\.1 Admin\.LAN$",
                         proxy.read_ini(), re.M), "not stored: %r" % proxy.read_ini())
        # With any port: the gateway may be reached through a forwarded one.
        status, _, _ = get("globals.html", host="admin.lan:8080", auth=GOOD)
        expect(status == 200, "a stored name is not answered: %d" % status)
        expect(b'VALUE="gw.example.org  10.0.0.1 Admin.LAN"' in site.curl("globals.html").body,
               "the stored names are not shown")
    finally:
        proxy.stop()


# ---------------------------------------------------------------- headers

SITE_HEADERS = {"X-Frame-Options": "DENY", "X-Content-Type-Options": "nosniff", "Referrer-Policy": "same-origin"}


def expect_site_headers(head, what, protected):
    for name, value in SITE_HEADERS.items():
        expect(header(head, name) == value, "%s: %s is %r" % (what, name, header(head, name)))
    policy = header(head, "Content-Security-Policy") or ""
    directives = {part.strip().split(" ")[0]: part.strip() for part in policy.split(";") if part.strip()}
    expect(directives.get("frame-ancestors") == "frame-ancestors 'none'", "%s: CSP %r" % (what, policy))
    expect(directives.get("default-src") == "default-src 'none'", "%s: CSP does not deny by default: %r"
           % (what, policy))
    for directive in directives.values():
        expect("*" not in directive and "unsafe" not in directive and "data:" not in directive,
               "%s: CSP looser than the pages need: %r" % (what, policy))
    if protected:
        expect(header(head, "Cache-Control") == "no-store", "%s: Cache-Control %r" % (what, header(head, "Cache-Control")))


def case_headers(binary):
    def server(conn):
        h.recv_until(conn, b"\r\n\r\n")
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 5\r\n\r\nhello")

    elsewhere = h.Server(server)
    proxy = site.start(binary)
    try:
        answers = [
            ("welcome.html", None, 200, False),
            ("help.html", None, 200, False),
            ("help.gif", None, 200, False),
            ("nothing.html", None, 404, False),
            ("globals.html", GOOD, 200, True),
            ("control.html", GOOD, 200, True),
            ("relays.html", GOOD, 200, True),
            ("globals.html", None, 401, True),
            ("security.html", WRONG, 403, True),
        ]
        for page, auth, status_wanted, protected in answers:
            status, head, _ = get(page, auth=auth)
            expect(status == status_wanted, "%s: %d" % (page, status))
            expect_site_headers(head, page, protected)
        # The help pages' style is the one the policy allows.
        for name in site.SITE_FILES:
            if not name.endswith(".html"):
                continue
            status, head, body = get(name)
            policy = header(head, "Content-Security-Policy") or ""
            for block in re.findall(rb"<STYLE[^>]*>(.*?)</STYLE>", body, re.S | re.I):
                digest = base64.b64encode(hashlib.sha256(block).digest()).decode()
                expect("'sha256-%s'" % digest in policy, "%s: its style is not allowed by %r" % (name, policy))
        status, head, _ = get("welcome.html", host="attacker.example")
        expect(status == 403, "foreign Host: %d" % status)
        expect_site_headers(head, "the refusal of a foreign Host", False)
        status, head, _ = raw(b"GET http://localhost:%d/globals.html HTTP/1.0\r\nAuthorization: %s\r\n\r\n"
                              % (HTTP_PORT, GOOD.encode()))
        expect(status == 200, "proxied request for the site: %d" % status)
        expect_site_headers(head, "globals.html through the proxy form", True)
        # A curl of the protected page sees the same.
        answer = site.curl("globals.html")
        expect(answer.header("Cache-Control") == "no-store" and answer.header("X-Frame-Options") == "DENY",
               "curl of globals.html: %r" % answer.headers)
        # A forwarded answer is the server's own.
        status, head, body = raw(b"GET http://127.0.0.1:%d/page HTTP/1.0\r\n\r\n" % elsewhere.port)
        expect(status == 200 and body == b"hello", "forwarded: %d %r" % (status, body))
        for name in list(SITE_HEADERS) + ["Content-Security-Policy", "Cache-Control"]:
            expect(header(head, name) is None, "the forwarded answer gained %s" % name)
    finally:
        proxy.stop()
        elsewhere.close()


# ---------------------------------------------------------------- posts

def case_post_origin(binary):
    proxy = site.start(binary)
    try:
        before = proxy.read_ini()
        for page, body in (("globals.html", b"Log+Level=3"), ("control.html", b"127.0.0.1=Release"),
                           ("relays.html", b"New+relay+service=18030&New+relay+destination=127.0.0.1%3A9"),
                           ("remotes.html", b"Remote1=Remove")):
            status, _, answer = raw(b"POST /%s HTTP/1.0\r\nHost: 127.0.0.1:%d\r\nAuthorization: %s\r\n"
                                    b"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n%s"
                                    % (page.encode(), HTTP_PORT, GOOD.encode(), len(body), body))
            expect(status == 403, "%s without Origin or Referer: %d %r" % (page, status, answer[:200]))
            expect(proxy.read_ini() == before, "%s was written without Origin or Referer" % page)
        answer = site.curl("globals.html", form=[("Log Level", "3")], headers=["Origin:"])
        expect(answer.status == 403, "curl's post without Origin: %d" % answer.status)
        expect(proxy.read_ini() == before and not proxy.matching(r"Warning: Configuration changed, reloaded\."),
               "a refused post was stored")
        own = site.curl("globals.html", form=[("Log Level", "3")],
                        headers=["Referer: http://127.0.0.1:%d/globals.html" % HTTP_PORT])
        expect(own.status == 200, "a post with the site's own Referer: %d %r" % (own.status, own.body))
        site.reloaded(proxy)
        expect(re.search(r"^Log Level\s*=\s*3$", proxy.read_ini(), re.M), "not stored")
    finally:
        proxy.stop()


def case_password(binary):
    secret = "Qz7-secret_value"
    proxy = site.start(binary, extra_globals="Password=%s\n" % secret)
    login = "admin:" + secret
    try:
        page = site.curl("globals.html", login=login)
        expect(page.status == 200, "globals.html: %d" % page.status)
        expect(secret.encode() not in page.body, "the page holds the password")
        expect(re.search(rb'<INPUT TYPE=password NAME="Password"[^>]*>', page.body), "no password input")
        expect(b'NAME="Password" SIZE=25 VALUE=""' in page.body or
               re.search(rb'<INPUT TYPE=password NAME="Password"(?![^>]*VALUE="[^"])[^>]*>', page.body),
               "the password input is not empty: %r" % page.body)
        expect(b"An empty field keeps the current password." in page.body, "no note on the empty field")
        # The page as a browser posts it: every field, the password empty.
        answer = site.curl("globals.html", login=login, form=[("Log Level", "3"), ("Username", "admin"),
                                                              ("Password", "")])
        expect(answer.status == 200, "post with an empty password: %d %r" % (answer.status, answer.body))
        site.reloaded(proxy)
        expect(re.search(r"^Password\s*=\s*%s$" % re.escape(secret), proxy.read_ini(), re.M),
               "the empty password was stored: %r" % proxy.read_ini())
        expect(site.curl("globals.html", login=login).status == 200, "the kept password no longer signs in")
        answer = site.curl("globals.html", login=login, form=[("Password", "n3w-pass")])
        expect(answer.status == 200, "new password: %d" % answer.status)
        site.reloaded(proxy, count=2)
        expect(site.curl("globals.html", login="admin:n3w-pass").status == 200, "the new password does not sign in")
        expect(b"n3w-pass" not in site.curl("globals.html", login="admin:n3w-pass").body, "the new password is shown")
    finally:
        proxy.stop()


NOTICE = b"The administration login is the built-in default; change it on the"
WARNING = r"Warning: The administration login is the built-in default; change it on the Global Parameters page\." + ERROR_SUFFIX


def case_builtin_login(binary):
    proxy = site.start(binary)
    try:
        expect(len(proxy.matching(WARNING)) == 1, "no warning at start:\n%s" % "\n".join(proxy.log()))
        for page, login in (("welcome.html", None), ("globals.html", site.LOGIN), ("relays.html", site.LOGIN),
                            ("security.html", site.LOGIN), ("remotes.html", site.LOGIN),
                            ("remote1.html", site.LOGIN), ("control.html", site.LOGIN), ("help.html", None),
                            ("globlhlp.html", None)):
            answer = site.curl(page, login=login)
            expect(answer.status == 200 and NOTICE in answer.body, "%s lacks the notice: %d" % (page, answer.status))
        answer = site.curl("globals.html", form=[("Password", "changed-it")])
        expect(answer.status == 200, "password change: %d" % answer.status)
        site.reloaded(proxy)
        for page, login in (("welcome.html", None), ("globals.html", "admin:changed-it"), ("help.html", None),
                            ("control.html", "admin:changed-it")):
            answer = site.curl(page, login=login)
            expect(answer.status == 200 and NOTICE not in answer.body, "%s keeps the notice: %d" % (page, answer.status))
    finally:
        proxy.stop()
    proxy = site.start(binary, extra_globals="Password=not-the-default\n")
    try:
        expect(not proxy.matching(WARNING), "warned of a changed login")
    finally:
        proxy.stop()


CASES = {name[len("case_"):]: function for name, function in globals().items() if name.startswith("case_")}

if __name__ == "__main__":
    h.run_cases(CASES)
