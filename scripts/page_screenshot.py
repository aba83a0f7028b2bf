#!/usr/bin/env python3
"""A picture of the station's page with units in several states, taken by headless Chromium:
  page_screenshot.py HALVERN RX5120_SIM OUT.png
Five simulated repeaters updated by a watch: one done, one held by another program (failed,
busy), one pulled out during its transfer (disconnected) and two still sending."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "browser"))
import station_browser  # noqa: E402

TILE = """const t = [...document.querySelectorAll('#tiles .tile')].find(t => t.querySelector('.serial').textContent === arguments[0]);
return t ? [t.querySelector('.state').textContent, t.querySelector('progress') ? t.querySelector('progress').value : 0] : [null, 0];"""


def main():
    station_browser.need_browser("page_screenshot", 1)
    halvern, sim, out = sys.argv[1:4]
    station = station_browser.Station(halvern, sim, 5)
    try:
        driver = station.browser(1280, 1040)

        def wait(serial, state, percent=0, seconds=30):
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                shown, value = driver.execute_script(TILE, serial)
                if shown == state and value >= percent:
                    return
                time.sleep(0.05)
            raise SystemExit("page_screenshot: %s never showed %s at %d%%" % (serial, state, percent))

        for port in (1, 3, 4, 5):
            station.unplug(port)
        station.hold(2)
        driver.get(station.start_watch(60000))
        wait("RX5120-0002", "failed")
        station.plug(1)
        station.plug(4)
        wait("RX5120-0004", "transferring", 30)
        station.unplug(4)
        wait("RX5120-0001", "ok")
        station.plug(3)
        wait("RX5120-0003", "transferring", 20)
        station.plug(5)
        wait("RX5120-0003", "transferring", 65)
        driver.save_screenshot(out)
        print("page_screenshot: %s" % out)
    finally:
        station.close()


if __name__ == "__main__":
    main()
