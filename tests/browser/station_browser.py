"""A watch with its page, simulated repeaters plugged and unplugged through the simulator's
control pipe, and Debian's headless Chromium looking at the page: what the browser test and
scripts/page_screenshot.sh share.

Import it after need_browser(): Debian's selenium belongs to Debian's python3."""
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


def need_browser(who, missing_code):
    """Returns when Chromium, its driver and selenium are there; otherwise says what is missing,
    as who, and exits with missing_code. Runs the program again under Debian's python3 when
    the python3 running it cannot see Debian's selenium."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        debian = "/usr/bin/python3"
        if os.path.realpath(sys.executable) != os.path.realpath(debian) and os.access(debian, os.X_OK):
            os.execv(debian, [debian] + sys.argv)
        print("%s: skipped: python3-selenium is not installed" % who)
        sys.exit(missing_code)
    for needed, package in ((CHROMIUM, "chromium"), (CHROMEDRIVER, "chromium-driver")):
        if not os.access(needed, os.X_OK):
            print("%s: skipped: %s is missing (Debian package %s)" % (who, needed, package))
            sys.exit(missing_code)


class Lines:
    """A child's output read on a thread of its own, to wait for a line."""

    def __init__(self, stream):
        self.text, self.cond = "", threading.Condition()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in iter(stream.readline, ""):
            with self.cond:
                self.text += line
                self.cond.notify_all()

    def wait(self, pattern, seconds=10, count=1):
        """The count-th match of pattern."""
        with self.cond:
            self.cond.wait_for(lambda: len(re.findall(pattern, self.text)) >= count, seconds)
            found = list(re.finditer(pattern, self.text))
        if len(found) < count:
            raise AssertionError("no line /%s/ (%d) within %d s in:\n%s" % (pattern, count, seconds, self.text))
        return found[count - 1]


class Station:
    """count simulated repeaters (COM1.., serials RX5120-0001..) paced at the line's rate, and a
    watch updating them with a page on a free port of loopback. Ends everything it started."""

    def __init__(self, halvern, sim, count):
        self.halvern, sim = os.path.abspath(halvern), os.path.abspath(sim)
        self.work = tempfile.mkdtemp(prefix="halvern-page-")
        self.children, self.held = [], []
        self.driver = self.watch = self.watch_err = self.base = self.control = None
        try:
            self._start_simulator(sim, count)
        except BaseException:
            self.close()
            raise

    def _start_simulator(self, sim, count):
        fifo = os.path.join(self.work, "control")
        self.simulator = self._start([sim, "--count", str(count), "--paced", "--control", fifo,
                                      os.path.join(self.work, "rx")], None)
        sim_out, self.sim_err = Lines(self.simulator.stdout), Lines(self.simulator.stderr)
        self.env = dict(os.environ, HALVERN_WAIT_MS="20000")  # a busy port is tried again for 1 s
        for name in ("HALVERN_SYSFS_ROOT", "HALVERN_DEV_ROOT"):
            self.env[name] = sim_out.wait(r"export %s=(\S+)\n" % name).group(1).strip("'\"")
        self.sim_err.wait(r"serving COM%d" % count)
        self.control = open(fifo, "w")
        self.said = {}

    def _start(self, command, env):
        child = subprocess.Popen(command, env=env, cwd=self.work, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        self.children.append(child)
        return child

    def _say(self, verb, port, answer):
        self.control.write("%s %d\n" % (verb, port))
        self.control.flush()
        key = (verb, port)
        self.said[key] = self.said.get(key, 0) + 1
        self.sim_err.wait(r"COM%d %s" % (port, answer), count=self.said[key])

    def unplug(self, port):
        self._say("unplug", port, "unplugged")

    def plug(self, port):
        self._say("plug", port, "plugged in")

    def hold(self, port):
        """Another program takes the port, as a terminal program would: halvern finds it busy."""
        fd = os.open(os.path.join(self.env["HALVERN_DEV_ROOT"], "ttyACM%d" % (port - 1)),
                     os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.held.append(fd)
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)

    def start_watch(self, image_bytes):
        # The watch runs in the work directory: the page names the image as given.
        with open(os.path.join(self.work, "fw.bin"), "wb") as f:
            f.write(b"B" * image_bytes)
        os.mkdir(os.path.join(self.work, "logs"))
        self.watch = self._start([self.halvern, "-p", "RX5120", "-cmd", "update", "-fw", "fw.bin",
                                  "-watch", "-logdir", "logs", "-http", "127.0.0.1:0"], self.env)
        Lines(self.watch.stdout)  # read, so that the watch never waits on a full pipe
        self.watch_err = Lines(self.watch.stderr)
        self.base = self.watch_err.wait(r"halvern: the station's page is at (http://127\.0\.0\.1:\d+/)\n").group(1)
        return self.base

    def stop_watch(self):
        self.watch.send_signal(signal.SIGTERM)
        return self.watch.wait(15)

    def browser(self, width=1280, height=900):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        # Nothing that reaches out on its own: the machine may refuse the network.
        for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update", "--disable-sync",
                    "--disable-default-apps", "--hide-scrollbars", "--window-size=%d,%d" % (width, height),
                    "--user-data-dir=" + os.path.join(self.work, "chromium")):
            options.add_argument(arg)
        options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
        self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        return self.driver

    def close(self):
        if self.driver:
            self.driver.quit()
        for fd in self.held:
            os.close(fd)
        if self.control:
            self.control.close()
        for child in reversed(self.children):
            if child.poll() is None:
                child.terminate()
                try:
                    child.wait(5)
                except subprocess.TimeoutExpired:
                    child.kill()
        shutil.rmtree(self.work, ignore_errors=True)
