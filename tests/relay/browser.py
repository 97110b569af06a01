"""Headless Chromium driven through its DevTools protocol, for tests of the relay's console.

The protocol runs over a pipe (--remote-debugging-pipe: JSON messages ending in NUL on the
browser's file descriptors 3 and 4), so no debugging port is opened that another program on the
machine could reach. Each Browser has a fresh profile folder; every wait has a deadline.
"""
import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

CHROMIUM = "/usr/bin/chromium"
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-dev-shm-usage", "--window-size=1280,1000", "--remote-debugging-pipe"]


class BrowserError(AssertionError):
    pass


class Browser:
    def __init__(self, folder, timeout=30.0):
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="chromium-", dir=folder)
        # The browser reads commands from its fd 3 and writes answers to its fd 4. Its ends are
        # first moved to 10 or above, so that bash (dash takes one digit only) can renumber them
        # without clobbering one.
        to_browser, self._to_browser = os.pipe()
        self._from_browser, from_browser = os.pipe()
        theirs = [fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10) for fd in (to_browser, from_browser)]
        for fd in (to_browser, from_browser):
            os.close(fd)
        self.log = open(os.path.join(folder, "chromium.log"), "w")
        shell = 'exec "$@" 3<&%d 4>&%d %d<&- %d>&-' % (theirs[0], theirs[1], theirs[0], theirs[1])
        self.proc = subprocess.Popen(["/bin/bash", "-c", shell, "bash", CHROMIUM, *FLAGS,
                                      "--user-data-dir=" + self.profile],
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log,
                                     pass_fds=theirs)
        for fd in theirs:
            os.close(fd)
        self._buffer = b""
        self._next_id = 0
        self.events = []  # every event seen, in order: (method, params)
        try:
            target = self.call("Target.createTarget", url="about:blank")["targetId"]
            self.session = self.call("Target.attachToTarget", targetId=target,
                                     flatten=True)["sessionId"]
            for domain in ("Page", "Runtime", "Network", "Log"):
                self.page(domain + ".enable")
        except BaseException:
            self.close()
            raise

    # -- the protocol -------------------------------------------------------------------------
    def _read_message(self, deadline):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise BrowserError("no message from Chromium in time; its last words:\n" +
                                   self._log_tail())
            ready, _, _ = select.select([self._from_browser], [], [], left)
            if ready:
                chunk = os.read(self._from_browser, 1 << 16)
                if not chunk:
                    raise BrowserError("Chromium closed its pipe; its last words:\n" +
                                       self._log_tail())
                self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def _log_tail(self):
        self.log.flush()
        with open(self.log.name, errors="replace") as f:
            return "".join(f.readlines()[-15:])

    def _send(self, method, params, session):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        return self._next_id

    def call(self, method, session=None, **params):
        """One command; its result. Events that come meanwhile are kept in self.events."""
        wanted = self._send(method, params, session)
        deadline = time.monotonic() + self.timeout + 5  # past the page-side waits of js()
        while True:
            message = self._read_message(deadline)
            if message.get("id") == wanted:
                if "error" in message:
                    raise BrowserError("%s: %s" % (method, message["error"]))
                return message.get("result", {})
            if "method" in message:
                self.events.append((message["method"], message.get("params", {})))

    def page(self, method, **params):
        return self.call(method, session=self.session, **params)

    def wait_event(self, method, since=0, timeout=None):
        """The first event named `method` at or after index `since` of self.events."""
        deadline = time.monotonic() + (timeout or self.timeout)
        while True:
            for name, params in self.events[since:]:
                if name == method:
                    return params
            since = len(self.events)
            message = self._read_message(deadline)
            if "method" in message:
                self.events.append((message["method"], message.get("params", {})))

    # -- what a test does ---------------------------------------------------------------------
    def navigate(self, url):
        mark = len(self.events)
        self.page("Page.navigate", url=url)
        self.wait_event("Page.loadEventFired", since=mark)

    def reload(self):
        mark = len(self.events)
        self.page("Page.reload", ignoreCache=True)
        self.wait_event("Page.loadEventFired", since=mark)

    def js(self, expression):
        """The value of a JavaScript expression in the page (a promise is awaited)."""
        result = self.page("Runtime.evaluate", expression=expression, awaitPromise=True,
                           returnByValue=True, timeout=int(self.timeout * 1000))
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            raise BrowserError("%s: %s" % (expression[:80], details.get("exception", {}).get(
                "description", details.get("text"))))
        return result["result"].get("value")

    def wait_for(self, condition, timeout=None):
        """Waits, on the page's own DOM changes, until the expression `condition` is truthy."""
        ms = int((timeout or self.timeout) * 1000)
        return self.js("""new Promise((resolve, reject) => {
          let observer, timer;
          const check = () => {
            let value;
            try { value = (%s); } catch (e) { value = undefined; }
            if (value) { observer.disconnect(); clearTimeout(timer); resolve(value); }
          };
          observer = new MutationObserver(check);
          observer.observe(document, {subtree: true, childList: true, attributes: true,
                                      characterData: true});
          timer = setTimeout(() => { observer.disconnect();
                                     reject(new Error('timed out waiting for: ' + %s)); }, %d);
          check();
        })""" % (condition, json.dumps(condition), ms))

    def type_into(self, selector, text):
        """Focuses the field and types `text` as a person would, then presses Enter."""
        self.js("document.querySelector(%s).focus()" % json.dumps(selector))
        self.page("Input.insertText", text=text)
        for kind in ("keyDown", "keyUp"):
            self.page("Input.dispatchKeyEvent", type=kind, key="Enter", code="Enter",
                      windowsVirtualKeyCode=13, text="\r" if kind == "keyDown" else "")

    def click(self, selector):
        self.js("document.querySelector(%s).click()" % json.dumps(selector))

    def requests(self):
        """Every request the page made: (url, headers)."""
        return [(p["request"]["url"], p["request"].get("headers", {}))
                for name, p in self.events if name == "Network.requestWillBeSent"]

    def problems(self):
        """Script errors and security (CSP) complaints the page raised."""
        found = []
        for name, p in self.events:
            if name == "Runtime.exceptionThrown":
                found.append(p["exceptionDetails"].get("text", "exception"))
            elif name == "Log.entryAdded" and p["entry"]["source"] in ("javascript", "security"):
                found.append(p["entry"]["text"])
        return found

    def screenshot(self, path):
        data = self.page("Page.captureScreenshot", format="png", captureBeyondViewport=True)
        with open(path, "wb") as f:
            f.write(base64.b64decode(data["data"]))

    def close(self):
        try:
            self._send("Browser.close", {}, None)
            self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait(timeout=10)
        for fd in (self._to_browser, self._from_browser):
            try:
                os.close(fd)
            except OSError:
                pass
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)
