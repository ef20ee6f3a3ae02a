#!/usr/bin/python3
"""Loads HTML reports of ascent-plot in headless Chromium and checks that each one draws.

    html_report_browser.py REPORT.html [EXPECTED_PLOTS...]

For each report (given with the number of plots it must hold) the page is
opened from its file:// address and the test fails when:
- the page asks for anything but its own file (a script or font from the
  network, a second file; a data: address is made in the page): the report
  must open offline;
- the console reports an error, or a script throws;
- a plot is missing or blank: every plot area on a screenshot must hold
  coloured pixels (grid lines, axes and text are grey or black, the data is
  coloured), at least MIN_INK of them;
- an event is named only on hover (each must have a label on the page), or
  two labels cover each other.

Chromium is driven over the DevTools protocol on a pipe (--remote-debugging-
pipe: JSON messages ended by a NUL byte, commands in on fd 3, answers out on
fd 4), so nothing beyond Python and the browser is needed. Exit status: 0 all
pages pass, 1 a page fails, 77 (skipped) when Chromium is not installed.
"""

import base64
import html
import io
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import Image

MIN_INK = 40
TIMEOUT = 30.0


class Browser:
    def __init__(self, binary, profile):
        to_child_r, self.to_child = os.pipe()
        self.from_child, from_child_w = os.pipe()

        def wire():
            # The protocol's pipes must be fds 3 and 4 in the browser.
            a, b = os.dup(to_child_r), os.dup(from_child_w)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.proc = subprocess.Popen(
            [binary, "--headless=new", "--remote-debugging-pipe", "--no-sandbox", "--disable-gpu",
             "--no-first-run", "--no-default-browser-check", "--disable-extensions",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--hide-scrollbars", "--mute-audio", f"--user-data-dir={profile}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=wire, close_fds=False)
        os.close(to_child_r)
        os.close(from_child_w)
        self.buffer = b""
        self.next_id = 0
        self.events = []

    def send(self, method, params=None, session=None):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.to_child, json.dumps(message).encode() + b"\0")
        want = self.next_id
        while True:
            reply = self.receive()
            if reply.get("id") == want:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})

    def receive(self, deadline=None):
        deadline = deadline or time.monotonic() + TIMEOUT
        while b"\0" not in self.buffer:
            if time.monotonic() > deadline:
                raise TimeoutError("no answer from Chromium")
            chunk = os.read(self.from_child, 1 << 20)
            if not chunk:
                raise RuntimeError("Chromium closed its pipe")
            self.buffer += chunk
        raw, self.buffer = self.buffer.split(b"\0", 1)
        message = json.loads(raw)
        if "method" in message:
            self.events.append(message)
        return message

    def wait_for(self, method, session):
        while True:
            for e in self.events:
                if e["method"] == method and e.get("sessionId") == session:
                    return e
            self.receive()

    def close(self):
        try:
            self.send("Browser.close")
        except (RuntimeError, OSError, TimeoutError):
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self.to_child)
        os.close(self.from_child)


# The page's plot areas, each a rectangle in CSS pixels (plotly marks each
# subplot's area by its drag rectangle).
PLOT_AREAS = """JSON.stringify(Array.from(document.querySelectorAll('.js-plotly-plot')).map(
  p => Array.from(p.querySelectorAll('.nsewdrag')).map(r => {
    const b = r.getBoundingClientRect();
    return [b.left + window.scrollX, b.top + window.scrollY, b.width, b.height];
  })))"""


# Each plot's event names (the hover texts of its event markers) and the labels written on the
# page, each with its box in CSS pixels.
LABELS = """JSON.stringify(Array.from(document.querySelectorAll('.js-plotly-plot')).map(p => {
  const events = new Set();
  (p.data || []).forEach(t => { if ((t.name || '').endsWith(': events')) (t.text || []).forEach(x => events.add(x)); });
  const notes = Array.from(p.querySelectorAll('g.annotation')).map(a => {
    const b = a.querySelector('text').getBoundingClientRect();
    return [a.textContent, b.left, b.top, b.width, b.height];
  });
  return [Array.from(events), notes];
}))"""


def label_faults(plots):
    """Every event named on the page by a label of its own (a shared one may add the flights'
    numbers), and no two labels covering each other."""
    faults = []
    for i, (events, notes) in enumerate(plots):
        said = [n[0] for n in notes]
        for e in events:
            e = html.unescape(e)
            if not any(s == e or s.startswith(e + " (") for s in said):
                faults.append(f"plot {i + 1}: the event {e!r} has no label on the page")
        for j, a in enumerate(notes):
            for b in notes[:j]:
                if a[1] < b[1] + b[3] and b[1] < a[1] + a[3] and a[2] < b[2] + b[4] and b[2] < a[2] + a[4]:
                    faults.append(f"plot {i + 1}: the labels {a[0]!r} and {b[0]!r} overlap")
    return faults


def ink(image, area):
    """Coloured pixels (one channel apart from another by more than 40) inside `area` of the
    screenshot (an array of rows of RGB pixels)."""
    x, y, w, h = (int(round(v)) for v in area)
    crop = image[y + 2:y + h - 2, x + 2:x + w - 2]
    return int(((crop.max(axis=2) - crop.min(axis=2)) > 40).sum())


def open_tab(browser):
    """A tab that reports its requests, console and exceptions; its session id."""
    target = browser.send("Target.createTarget", {"url": "about:blank"})["targetId"]
    session = browser.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
    for domain in ("Page", "Runtime", "Log", "Network"):
        browser.send(f"{domain}.enable", session=session)
    browser.send("Emulation.setDeviceMetricsOverride",
                 {"width": 1280, "height": 900, "deviceScaleFactor": 1, "mobile": False},
                 session=session)
    return session


def check(browser, session, path, plots):
    """The faults found on the page at `path`, opened in the tab, which must hold `plots` plots."""
    url = "file://" + os.path.abspath(path)
    browser.events.clear()
    browser.send("Page.navigate", {"url": url}, session=session)
    browser.wait_for("Page.loadEventFired", session)
    # Plotly draws as the page loads; wait until every plot has its areas.
    deadline = time.monotonic() + TIMEOUT
    while True:
        areas = json.loads(browser.send("Runtime.evaluate", {"expression": PLOT_AREAS},
                                        session=session)["result"]["value"])
        if len(areas) >= plots and all(areas) or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    labels = json.loads(browser.send("Runtime.evaluate", {"expression": LABELS},
                                     session=session)["result"]["value"])
    height = browser.send("Runtime.evaluate", {"expression": "document.documentElement.scrollHeight"},
                          session=session)["result"]["value"]
    shot = browser.send("Page.captureScreenshot",
                        {"format": "png", "captureBeyondViewport": True,
                         "clip": {"x": 0, "y": 0, "width": 1280, "height": height, "scale": 1}},
                        session=session)
    faults = []
    for e in browser.events:
        if e.get("sessionId") != session:
            continue
        p = e["params"]
        # A data: address is made in the page (plotly paints a heat map as one image).
        if (e["method"] == "Network.requestWillBeSent" and p["request"]["url"] != url
                and not p["request"]["url"].startswith("data:")):
            faults.append(f"request for {p['request']['url'][:120]}")
        elif e["method"] == "Runtime.consoleAPICalled" and p["type"] in ("error", "assert"):
            faults.append("console error: " + " ".join(str(a.get("value", a.get("description")))
                                                      for a in p["args"])[:200])
        elif e["method"] == "Runtime.exceptionThrown":
            d = p["exceptionDetails"]
            faults.append(f"exception: {d.get('exception', {}).get('description', d['text'])[:200]}")
        elif e["method"] == "Log.entryAdded" and p["entry"]["level"] == "error":
            faults.append(f"log error: {p['entry']['text'][:200]}")
    faults += label_faults(labels)
    if len(areas) != plots:
        faults.append(f"{len(areas)} plots drawn, {plots} expected")
    png = base64.b64decode(shot["data"])
    image = np.asarray(Image.open(io.BytesIO(png)).convert("RGB"))
    for i, plot in enumerate(areas):
        if not plot:
            faults.append(f"plot {i + 1} has no plot area")
        for j, area in enumerate(plot):
            n = ink(image, area)
            if n < MIN_INK:
                faults.append(f"plot {i + 1}, panel {j + 1}: {n} coloured pixels, blank")
    return faults, png


def main(argv):
    if len(argv) < 2 or len(argv) % 2 == 0:
        print("usage: html_report_browser.py REPORT.html PLOTS [REPORT.html PLOTS ...]", file=sys.stderr)
        return 64
    binary = os.environ.get("CHROMIUM") or shutil.which("chromium") or shutil.which("chromium-browser")
    if not binary:
        print("chromium not installed: skipped")
        return 77
    shots = os.environ.get("HTML_REPORT_SCREENSHOTS")
    failed = False
    with tempfile.TemporaryDirectory() as profile:
        start = time.monotonic()
        browser = Browser(binary, profile)
        try:
            # One tab for every page: the browser and its page process start once.
            session = open_tab(browser)
            print(f"Chromium started in {time.monotonic() - start:.2f} s")
            for path, plots in zip(argv[1::2], argv[2::2]):
                start = time.monotonic()
                faults, png = check(browser, session, path, int(plots))
                if shots:
                    with open(os.path.join(shots, os.path.basename(path) + ".png"), "wb") as f:
                        f.write(png)
                for fault in faults:
                    print(f"{path}: {fault}", file=sys.stderr)
                failed |= bool(faults)
                print(f"{path}: {'FAILED' if faults else 'ok'} in {time.monotonic() - start:.2f} s")
        finally:
            browser.close()
    cpu = resource.getrusage(resource.RUSAGE_CHILDREN)
    print(f"Chromium's processes used {cpu.ru_utime + cpu.ru_stime:.1f} s of CPU")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
