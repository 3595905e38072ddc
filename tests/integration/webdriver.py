"""A small W3C WebDriver client over ChromeDriver, so that tests drive a real
headless Chromium (type into fields, press buttons, read what it shows)
with nothing but the standard library. Every call is bounded in time."""
import json
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

# The W3C name of a DOM element reference in answers.
ELEMENT = "element-6066-11e4-a52e-4f735466cecf"

BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")


def available():
    return BROWSER is not None and DRIVER is not None


class WebDriverError(AssertionError):
    pass


class Browser:
    """One headless Chromium session driven through its own ChromeDriver."""

    def __init__(self, window="1100,900", timeout=60):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="moatkeep-webdriver-")
        self.driver = subprocess.Popen([DRIVER, "--port=%d" % self.port], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        self.session = None
        try:
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                try:
                    if self._call("GET", "/status").get("ready"):
                        break
                except (OSError, WebDriverError):
                    pass
                time.sleep(0.1)
            arguments = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-quic",
                         "--disable-background-networking", "--disable-component-update", "--disable-sync",
                         "--user-data-dir=" + self.profile, "--window-size=" + window]
            capabilities = {"capabilities": {"alwaysMatch": {
                "browserName": "chrome",
                "goog:chromeOptions": {"binary": BROWSER, "args": arguments}}}}
            self.session = self._call("POST", "/session", capabilities)["sessionId"]
        except BaseException:
            self.close()
            raise

    def _call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (self.port, path), data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=self.timeout) as answer:
                value = json.loads(answer.read().decode() or "{}").get("value")
        except urllib.error.HTTPError as error:
            detail = error.read().decode(errors="replace")
            raise WebDriverError("%s %s: %d %s" % (method, path, error.code, detail[:500]))
        if path == "/session" and isinstance(value, dict):
            return value
        return value if value is not None else {}

    def _session(self, method, path, body=None):
        return self._call(method, "/session/%s%s" % (self.session, path), body)

    # ---- navigation and reading
    def get(self, url):
        self._session("POST", "/url", {"url": url})

    def url(self):
        return self._session("GET", "/url")

    def source(self):
        return self._session("GET", "/source")

    def script(self, code, *arguments):
        return self._session("POST", "/execute/sync", {"script": code, "args": list(arguments)})

    def screenshot(self, path):
        import base64
        with open(path, "wb") as target:
            target.write(base64.b64decode(self._session("GET", "/screenshot")))

    def frame(self, element):
        """Makes the frame of the element the one read from now on."""
        self._session("POST", "/frame", {"id": {ELEMENT: element}})

    def top_frame(self):
        self._session("POST", "/frame", {"id": None})

    # ---- elements
    def find(self, css):
        return self._session("POST", "/element", {"using": "css selector", "value": css})[ELEMENT]

    def find_all(self, css):
        return [found[ELEMENT] for found in
                self._session("POST", "/elements", {"using": "css selector", "value": css})]

    def clear(self, element):
        self._session("POST", "/element/%s/clear" % element, {})

    def type(self, element, text):
        self._session("POST", "/element/%s/value" % element, {"text": text})

    def click(self, element):
        self._session("POST", "/element/%s/click" % element, {})

    def attribute(self, element, name):
        return self._session("GET", "/element/%s/property/%s" % (element, name))

    def wait_for(self, predicate, timeout=20, step=0.1):
        """Waits until predicate(self) is true; its last value."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = predicate(self)
            if value:
                return value
            time.sleep(step)
        return predicate(self)

    def close(self):
        try:
            if self.session is not None:
                try:
                    self._call("DELETE", "/session/%s" % self.session)
                except (OSError, WebDriverError):
                    pass
        finally:
            self.driver.terminate()
            try:
                self.driver.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.driver.kill()
                self.driver.wait(timeout=10)
            shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
