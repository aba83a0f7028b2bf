#!/usr/bin/env python3
"""The station's page in a real browser (headless Chromium through its driver), against three
simulated repeaters: the tiles follow each unit's state, serial number and progress in the
page's DOM as it changes, with no reload; a unit that fails shows "failed" and its reason; the
page asks nothing of anyone but the station.

  station_page_browser_test.py HALVERN RX5120_SIM

Exits 77 (skipped) with a line saying why when Chromium, its driver or selenium is missing."""
import json
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import station_browser  # noqa: E402

NAME = "station_page_browser_test"

# The tiles, the records and the page's own marks as the page's DOM has them.
READ_PAGE = """
const q = (t, sel) => { const e = t.querySelector(sel); return e ? e.textContent : null; };
return {
  marker: window.stationMarker || null,
  live: document.getElementById("live").textContent,
  tiles: [...document.querySelectorAll("#tiles .tile")].map(t => ({
    key: t.dataset.key, serial: q(t, ".serial"), state: q(t, ".state"), bytes: q(t, ".bytes"),
    progress: t.querySelector("progress") ? t.querySelector("progress").value : null,
    attempt: q(t, ".attempt"), reason: q(t, ".reason")})),
  records: [...document.querySelectorAll("#records tr")].map(r => [...r.cells].map(c => c.textContent))};
"""


class Page:
    """Reads the page again and again, keeping each unit's states and progress as it showed them."""

    def __init__(self, driver):
        self.driver, self.last = driver, None
        self.steps = {}      # serial -> ["state/attempt", ...], one entry per change
        self.progress = {}   # serial -> [percent, ...] while transferring, one entry per change
        self.markers = set()

    def read(self):
        view = self.driver.execute_script(READ_PAGE)
        self.markers.add(view["marker"])
        for t in view["tiles"]:
            m = re.match(r"attempt (\d+) of 3$", t["attempt"] or "")
            step = "%s/%s" % (t["state"], m.group(1) if m else 0)
            steps = self.steps.setdefault(t["serial"], [])
            if not steps or steps[-1] != step:
                steps.append(step)
            if t["state"] == "transferring" and t["progress"] is not None:
                seen = self.progress.setdefault(t["serial"], [])
                if not seen or seen[-1] != t["progress"]:
                    seen.append(t["progress"])
        self.last = view
        return view

    def tile(self, serial):
        return next((t for t in self.last["tiles"] if t["serial"] == serial), None) or {}

    def wait(self, what, cond, seconds=15):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.read()
            if cond():
                return
            time.sleep(0.03)
        raise AssertionError("the page never showed %s; it shows %s" % (what, json.dumps(self.last)))

    def wait_state(self, serial, state, attempt):
        self.wait("%s %s (attempt %d)" % (serial, state, attempt),
                  lambda: self.tile(serial).get("state") == state and
                  self.tile(serial).get("attempt") == "attempt %d of 3" % attempt)


def within(part, whole):
    """part is whole with some steps left out, in the same order."""
    at = 0
    for step in whole:
        at += at < len(part) and part[at] == step
    return at == len(part)


# Each unit's states as the page may show them, in order, and those that last long enough that
# the page cannot miss them (a stream brings at most 4 states a second).
STATES = [
    ("RX5120-0001", ["waiting/0", "linking/1", "transferring/1", "ok/1"], ["transferring/1", "ok/1"]),
    ("RX5120-0002", ["waiting/0", "linking/1", "failed/1"], ["failed/1"]),
    ("RX5120-0003", ["waiting/0", "linking/1", "transferring/1", "disconnected/1", "waiting/1", "linking/2",
                     "transferring/2", "ok/2"], ["transferring/1", "disconnected/1", "transferring/2", "ok/2"]),
]
# The records table, one row per service: serial, result, reason, attempt.
RECORDS = [("RX5120-0001", "ok", "", "1"), ("RX5120-0002", "failed", "busy", "1"),
           ("RX5120-0003", "disconnected", "disconnected", "1"), ("RX5120-0003", "ok", "", "2")]
IMAGE_BYTES = 24000  # about two seconds at the line's rate


def run(station, check):
    # The second repeater is held by another program: its service finds the port busy. The
    # others are taken away until the page is open.
    station.unplug(1)
    station.unplug(3)
    station.hold(2)
    driver = station.browser()
    base = station.start_watch(IMAGE_BYTES)
    # What the browser's own start page asked for is not the station page's doing.
    driver.get("about:blank")
    driver.get_log("performance")
    driver.get(base)
    driver.execute_script("window.stationMarker = 'loaded once';")
    page = Page(driver)
    page.wait("the stream live", lambda: page.last["live"] == "Live.")
    page.wait_state("RX5120-0002", "failed", 1)
    check(page.tile("RX5120-0002")["reason"] == "busy", "the busy unit's reason: %s" % page.tile("RX5120-0002"))

    # The first served whole, the third pulled out during its transfer and put back.
    station.plug(1)
    station.plug(3)
    page.wait("RX5120-0003 sending", lambda: page.tile("RX5120-0003").get("state") == "transferring"
              and page.tile("RX5120-0003")["progress"] > 0)
    station.unplug(3)
    page.wait_state("RX5120-0003", "disconnected", 1)
    check("%" in (page.tile("RX5120-0003")["bytes"] or ""), "a pulled unit keeps its progress on its tile")
    station.plug(3)
    page.wait_state("RX5120-0001", "ok", 1)
    page.wait_state("RX5120-0003", "ok", 2)
    page.wait("the four records", lambda: len(page.last["records"]) == 4)

    for serial, every, lasting in STATES:
        seen = page.steps.get(serial, [])
        check(within(seen, every), "%s showed %s, not within %s" % (serial, seen, every))
        check(within(lasting, seen), "%s showed %s, missing some of %s" % (serial, seen, lasting))
    rising = page.progress.get("RX5120-0001", [])
    check(len(rising) >= 2 and rising == sorted(rising) and rising[-1] < 100,
          "RX5120-0001's progress bar while sending: %s" % rising)
    done = page.tile("RX5120-0001")
    check(done["progress"] == 100 and done["bytes"] == "100%% (%d of %d bytes)" % (IMAGE_BYTES, IMAGE_BYTES),
          "a unit done: %s" % done)

    # The records, newest first: the first service to end (the busy one) last, the re-seated
    # unit's second service above its first.
    rows = page.last["records"]
    check(sorted((r[2], r[3], r[4], r[7]) for r in rows) == RECORDS, "the records: %s" % rows)
    ended = [(r[2], r[3]) for r in rows]
    check(ended[-1] == ("RX5120-0002", "failed") and
          ended.index(("RX5120-0003", "ok")) < ended.index(("RX5120-0003", "disconnected")),
          "records newest first: %s" % rows)

    # Stopped: the open page says the run has ended, still the same document.
    check(station.stop_watch() == 1, "the watch's exit status (one unit failed)")
    page.wait("the end of the run", lambda: page.last["live"] == "The run has ended.", 5)
    check(page.markers == {"loaded once"}, "the page was never loaded again: %s" % page.markers)

    # Every request the page made (itself, its stream, its looks at the records) went to the station.
    urls = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        params = message["params"]
        if message["method"] == "Network.requestWillBeSent" and not params.get("documentURL", "").startswith("chrome:"):
            urls.append(params["request"]["url"])
    check(base + "events" in urls and base + "api/records" in urls, "the page's requests: %s" % urls)
    outside = [u for u in urls if not u.startswith(base)]
    check(not outside, "requests outside the station: %s" % outside)


def main():
    station_browser.need_browser(NAME, 77)
    started = time.monotonic()
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)
            print("FAILED: " + what)

    station = None
    try:
        station = station_browser.Station(sys.argv[1], sys.argv[2], 3)
        run(station, check)
    except AssertionError as e:
        check(False, str(e))
    finally:
        if station:
            station.close()
    print("%s: %s in %.1f s" % (NAME, "FAILED" if failures else "passed", time.monotonic() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
