"""Debian's headless Chromium, driven over the DevTools protocol on a pipe, with the network cut.

The browser talks to us on the two descriptors ``--remote-debugging-pipe`` gives it (3 and 4,
NUL-terminated JSON), so no debugging port is open to other users of the host and no client
library is needed. Every request the page makes is recorded (a self-contained page makes none
but its own), as are console errors, uncaught exceptions, error log entries (a refused load,
a content-security-policy violation) and dialogs (``alert``). The proxy points at a dead port
and every host name resolves to nothing, so a request that slips through still goes nowhere.
"""

from __future__ import annotations

import base64
import dataclasses
import fcntl
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

from support.processes import outside_env

#: How long any one wait of the browser may take before the test fails (a guard, not a measure).
PATIENCE = 120.0


def chromium() -> str | None:
    """The Chromium binary, if this machine has one."""
    for name in ("chromium", "chromium-browser"):
        found = shutil.which(name)
        if found:
            return found
    return None


@dataclasses.dataclass
class Visit:
    """What one page load showed."""

    url: str
    requests: list[str] = dataclasses.field(default_factory=list)
    errors: list[str] = dataclasses.field(default_factory=list)
    dialogs: list[str] = dataclasses.field(default_factory=list)


class BrowserError(Exception):
    pass


def _above(fd: int, lowest: int) -> int:
    """``fd`` moved to a descriptor number of at least ``lowest``."""
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, lowest)
    os.close(fd)
    return moved


class Browser:
    """One headless Chromium for a test session; ``visit`` opens a page in a fresh tab."""

    def __init__(self, binary: str) -> None:
        self._profile = tempfile.mkdtemp(prefix="halvex-chromium-")
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        # Above 3 and 4, so that putting them there below cannot close one of them.
        to_browser_r, from_browser_w = (_above(fd, 10) for fd in (to_browser_r, from_browser_w))
        args = [
            binary, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
            "--disable-extensions", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--mute-audio", "--hide-scrollbars", "--remote-debugging-pipe",
            f"--user-data-dir={self._profile}", "--proxy-server=http://127.0.0.1:9",
            "--host-resolver-rules=MAP * ~NOTFOUND", "about:blank",
        ]
        # bash (dash takes one-digit descriptors only) puts our pipe ends where Chromium looks
        # for them (3 and 4), then runs it.
        script = f'exec "$@" 3<&{to_browser_r} 4>&{from_browser_w} {to_browser_r}<&- {from_browser_w}>&-'
        self._process = subprocess.Popen(
            ["bash", "-c", script, "bash", *args], pass_fds=(to_browser_r, from_browser_w),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=outside_env(),
        )
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._buffer = b""
        self._next_id = 0
        self._events: list[dict] = []

    # -- the protocol ---------------------------------------------------------------------

    def _read_message(self, deadline: float) -> dict:
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._from_browser], [], [], left)[0]:
                raise BrowserError("the browser did not answer in time")
            chunk = os.read(self._from_browser, 1 << 20)
            if not chunk:
                raise BrowserError(f"the browser went away (exit {self._process.poll()})")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        message = json.loads(message)
        if message.get("method") == "Page.javascriptDialogOpening":
            # A dialog stops the page until answered: noted, then dismissed at once.
            self._post("Page.handleJavaScriptDialog", {"accept": False}, message.get("sessionId"))
        return message

    def _post(self, method: str, params: dict | None, session: str | None) -> int:
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        return self._next_id

    def send(self, method: str, params: dict | None = None, session: str | None = None) -> dict:
        ident = self._post(method, params, session)
        deadline = time.monotonic() + PATIENCE
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == ident:
                if "error" in reply:
                    raise BrowserError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self._events.append(reply)

    def _wait_event(self, method: str, session: str) -> dict:
        deadline = time.monotonic() + PATIENCE
        while True:
            for i, event in enumerate(self._events):
                if event.get("method") == method and event.get("sessionId") == session:
                    return self._events.pop(i)
            self._events.append(self._read_message(deadline))

    def evaluate(self, session: str, expression: str):
        """The value of ``expression`` in the page (a promise is awaited)."""
        result = self.send("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                "returnByValue": True}, session)
        if "exceptionDetails" in result:
            raise BrowserError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    # -- pages ----------------------------------------------------------------------------

    def visit(self, path: str, *, ready: str | None = None, screenshot: str | None = None,
              inspect: dict[str, str] | None = None) -> tuple[Visit, dict]:
        """Loads the file ``path`` in a new tab; waits for the page's load event and, with
        ``ready``, until that expression is true; evaluates each ``inspect`` expression; saves a
        full-page PNG to ``screenshot``. Returns what happened and the inspected values."""
        url = "file://" + os.path.abspath(path)
        visit = Visit(url)
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        try:
            for domain in ("Page", "Runtime", "Log", "Network"):
                self.send(f"{domain}.enable", {}, session)
            self.send("Emulation.setDeviceMetricsOverride",
                      {"width": 1280, "height": 900, "deviceScaleFactor": 1, "mobile": False}, session)
            self._events = [e for e in self._events if e.get("sessionId") != session]
            self.send("Page.navigate", {"url": url}, session)
            self._wait_event("Page.loadEventFired", session)
            # Until ``ready`` holds, or the page fails on the way (then the checks say how).
            deadline = time.monotonic() + PATIENCE
            while ready and not self.evaluate(session, f"Boolean({ready})") and time.monotonic() < deadline:
                noted = Visit(url)
                for event in self._events:
                    if event.get("sessionId") == session:
                        self._note(noted, event)
                if noted.errors or noted.dialogs:
                    break
                time.sleep(0.05)
            values = {name: self.evaluate(session, expression) for name, expression in (inspect or {}).items()}
            if screenshot:
                size = self.send("Page.getLayoutMetrics", {}, session)["cssContentSize"]
                self.send("Emulation.setDeviceMetricsOverride",
                          {"width": 1280, "height": int(size["height"]), "deviceScaleFactor": 1, "mobile": False},
                          session)
                shot = self.send("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True},
                                 session)
                with open(screenshot, "wb") as f:
                    f.write(base64.b64decode(shot["data"]))
            # Whatever the page logged or asked for until now, in order.
            self.evaluate(session, "0")
            for event in [e for e in self._events if e.get("sessionId") == session]:
                self._note(visit, event)
        finally:
            self._events = [e for e in self._events if e.get("sessionId") != session]
            self.send("Target.closeTarget", {"targetId": target})
        return visit, values

    @staticmethod
    def _note(visit: Visit, event: dict) -> None:
        method, params = event.get("method"), event.get("params", {})
        if method == "Network.requestWillBeSent":
            if params["request"]["url"] != visit.url:
                visit.requests.append(params["request"]["url"])
        elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            visit.errors.append(" ".join(str(a.get("value", a.get("description", ""))) for a in params["args"]))
        elif method == "Runtime.exceptionThrown":
            details = params["exceptionDetails"]
            visit.errors.append(details.get("exception", {}).get("description") or details.get("text", ""))
        elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
            visit.errors.append(params["entry"]["text"])
        elif method == "Page.javascriptDialogOpening":
            visit.dialogs.append(params["message"])

    def close(self) -> None:
        try:
            self.send("Browser.close")
        except (BrowserError, OSError):
            pass
        try:
            self._process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        for fd in (self._to_browser, self._from_browser):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self._profile, ignore_errors=True)
