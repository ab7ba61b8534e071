"""The demo as a newcomer meets it: tools/demo.py runs the real applet under Wine with the
demo settings, and the page's own endpoints drive it. Four live slots; Ctrl + a button
brings another module into a slot; the "Ctrl+Media Stop" button restarts LCDMon once and
releases both keys (the relaunched LCDMon stays); each run starts with an empty
errors.txt; the page says what the buttons do; the demo fails fast with its cause, and
every way out leaves no Wine process of the demo's prefix behind."""

import os
import signal
import socket
import subprocess
import sys
import time
import unittest
import urllib.error
import urllib.request

import harness
from harness import REPO, vg15

DEMO = os.path.join(REPO, "tools", "demo.py")
SETTINGS = os.path.join(REPO, "docs", "demo-lcdkorvane.txt")
HTTP = vg15.PORT_BASE + 80
SLOT_X = (0, 40, 81, 121)
STOP_LINE = "CTRL+MEDIA_STOP detected"


def get(path, timeout=10):
    """(status, body, headers) of a GET on the page's server; status 0 when the server
    does not answer."""
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (HTTP, path),
                                    timeout=timeout) as r:
            return r.status, r.read(), r.headers
    except urllib.error.HTTPError as e:
        return e.code, e.read(), e.headers
    except (urllib.error.URLError, OSError) as e:
        return 0, str(e).encode(), None


def post(path, timeout=90):
    req = urllib.request.Request("http://127.0.0.1:%d%s" % (HTTP, path), data=b"",
                                 method="POST")
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


def wine_processes(prefix):
    """Pids of the processes running with this WINEPREFIX (wineserver included)."""
    want = ("WINEPREFIX=" + os.path.abspath(prefix)).encode()
    pids = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if want in f.read().split(b"\0"):
                    pids.append(int(pid))
        except OSError:
            pass
    return pids


def slot_lit(pixels, slot):
    """True when the slot's frame is drawn: both side lines lit halfway down."""
    x = SLOT_X[slot]
    return bool(pixels[32 * 160 + x]) and bool(pixels[32 * 160 + x + 38])


def title_rows(pixels, slot):
    """The slot's title tab (rows 23 to 28), which names the module shown."""
    x = SLOT_X[slot]
    return b"".join(pixels[y * 160 + x + 1:y * 160 + x + 30] for y in range(23, 29))


class DemoRun(unittest.TestCase):
    """One demo run for the class; the tests go in name order."""

    @classmethod
    def setUpClass(cls):
        cls.prefix = os.path.join(harness.BUILD, "demo-test-prefix")
        cls.folder = os.path.join(cls.prefix, "drive_c", "LCDKorvane")
        cls.out = os.path.join(harness.BUILD, "demo-test.log")
        # A log left by an earlier run must not show in this one.
        if os.path.exists(os.path.join(cls.prefix, ".korvane-demo-arch")):
            os.makedirs(cls.folder, exist_ok=True)
            with open(os.path.join(cls.folder, "errors.txt"), "w") as f:
                f.write("2000-01-01 00:00:00 | src/old(1) | a line of an earlier run\n")
        log = open(cls.out, "wb")
        cls.demo = subprocess.Popen([sys.executable, DEMO, "--build", harness.BUILD,
                                     "--prefix", cls.prefix, "--settings", SETTINGS,
                                     "--http", str(HTTP)], stdout=log, stderr=log,
                                    stdin=subprocess.DEVNULL)
        log.close()
        cls.started = time.monotonic()
        deadline = cls.started + 600  # a fresh prefix takes one to a few minutes
        while time.monotonic() < deadline and cls.demo.poll() is None:
            if get("/frame", timeout=5)[0] == 200:
                break
            time.sleep(1)
        else:
            cls.tearDownClass()
            raise AssertionError("the demo showed no frame:\n" + cls.output())
        cls.started = time.monotonic()

    @classmethod
    def output(cls):
        with open(cls.out, "rb") as f:
            return f.read().decode(errors="replace")

    @classmethod
    def tearDownClass(cls):
        if cls.demo.poll() is None:
            cls.demo.send_signal(signal.SIGTERM)
            try:
                cls.demo.wait(90)
            except subprocess.TimeoutExpired:
                cls.demo.kill()
                vg15.stop_wineserver(vg15.wine_env(cls.prefix))

    def frame(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            status, body, _ = get("/frame")
            if status == 200:
                return body
            time.sleep(0.2)
        self.fail("no frame from the page within 10 s")

    def errors(self):
        path = os.path.join(self.folder, "errors.txt")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            return f.read().decode("latin-1").splitlines()

    def wait_for(self, pred, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            value = pred()
            if value:
                return value
            if time.monotonic() > deadline:
                self.fail("%s: not within %s s" % (what, timeout))
            time.sleep(0.5)

    def test_1_page_says_what_the_buttons_do(self):
        status, body, _ = get("/")
        self.assertEqual(status, 200)
        page = body.decode()
        for words in ("short press", "long press", "Ctrl held", "Ctrl+Media Stop",
                      "All four buttons"):
            self.assertIn(words, page)
        with open(SETTINGS) as f:
            lists = [l.split()[1:] for l in f if l.startswith("slot_")]
        self.assertEqual(len(lists), 4)
        for tags in lists:
            for tag in tags:
                self.assertIn("<b>%s</b>" % tag, page)

    def test_2_four_live_slots_within_a_minute(self):
        def all_live():
            px = self.frame()
            return [s for s in range(4) if not slot_lit(px, s)] == [] and px
        self.wait_for(all_live, max(5, 60 - (time.monotonic() - self.started)),
                      "all four slots drawn")

    def ctrl_press(self, slot):
        self.assertEqual(post("/key?vk=17&down=1")[0], 200)
        self.assertEqual(post("/down?b=%d" % slot)[0], 200)
        time.sleep(0.2)
        self.assertEqual(post("/up?b=%d" % slot)[0], 200)
        self.assertEqual(post("/key?vk=17&down=0")[0], 200)

    def test_3_ctrl_and_a_button_bring_another_module(self):
        # Slots 2 and 4 start with a module that always shows: the first Ctrl press
        # there brings another. Every slot's list holds two modules that always show,
        # so pressing through its list changes what it shows.
        with open(SETTINGS) as f:
            lists = [l.split()[1:] for l in f if l.startswith("slot_")]
        for slot, first_press_changes in ((0, False), (1, True), (2, False), (3, True)):
            with self.subTest(slot=slot):
                before = title_rows(self.frame(), slot)
                presses = 1 if first_press_changes else len(lists[slot])
                for _ in range(presses):
                    self.ctrl_press(slot)
                    deadline = time.monotonic() + 3
                    while time.monotonic() < deadline:
                        if title_rows(self.frame(), slot) != before:
                            break
                        time.sleep(0.3)
                    else:
                        continue
                    break
                self.assertNotEqual(title_rows(self.frame(), slot), before,
                                    "slot %d: the same module after %d Ctrl presses" % (
                                        slot, presses))

    def test_4_ctrl_media_stop_restarts_lcdmon_and_releases_the_keys(self):
        lcdmon = vg15.VirtualG15(vg15.wine_env(self.prefix))
        lcdmon.wait_lcdmon(timeout=10)
        first = lcdmon.hello()["pid"]
        stops = sum(STOP_LINE in l for l in self.errors())
        status, body = post("/ctrl-stop?keep_ctrl=0")
        self.assertEqual(status, 200, body)
        self.assertEqual(get("/keys")[1], b'{"held": []}')

        def relaunched():
            try:
                lcdmon.wait_lcdmon(timeout=1)
                pid = lcdmon.hello()["pid"]
                return pid if pid != first else None
            except vg15.Vg15Error:
                return None
        second = self.wait_for(relaunched, 60, "an LCDMon started again by the applet")
        self.assertGreater(sum(STOP_LINE in l for l in self.errors()), stops)
        # The keys are up: the new LCDMon stays, and frames flow through it.
        time.sleep(6)
        lcdmon.wait_lcdmon(timeout=10)
        self.assertEqual(lcdmon.hello()["pid"], second, "the applet ended LCDMon again")
        after = sum(STOP_LINE in l for l in self.errors())
        seq = lcdmon.state()["frame_seq"]
        self.assertIsNotNone(lcdmon.wait_frame(timeout=30, since=seq),
                             "no frames through the relaunched LCDMon")
        time.sleep(3)
        self.assertEqual(sum(STOP_LINE in l for l in self.errors()), after,
                         "the applet still sees Ctrl + Media Stop held")
        lcdmon.close()

    def test_5_every_errors_line_is_a_log_line(self):
        lines = self.errors()
        for l in lines:
            self.assertRegex(l, harness.LOG_LINE)
        self.assertFalse(any("earlier run" in l for l in lines))

    def test_6_sigterm_ends_everything(self):
        self.demo.send_signal(signal.SIGTERM)
        try:
            rc = self.demo.wait(90)
        except subprocess.TimeoutExpired:
            self.fail("the demo did not end within 90 s of SIGTERM")
        self.assertEqual(rc, 0, self.output())
        self.assertEqual(wine_processes(self.prefix), [], "Wine processes of the demo left")
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", HTTP), timeout=2).close()


class FailFast(unittest.TestCase):
    """A demo that cannot run says why within seconds and leaves nothing running."""

    def test_failures_show_their_cause(self):
        empty = os.path.join(harness.BUILD, "demo-test-empty-build")
        os.makedirs(empty, exist_ok=True)
        taken = socket.socket()
        taken.bind(("127.0.0.1", HTTP + 1))
        taken.listen(1)
        try:
            for what, build, http, cause in (
                    ("no build", empty, HTTP + 2, "build the Windows tree first"),
                    ("page port taken", harness.BUILD, HTTP + 1, "--http")):
                with self.subTest(what):
                    prefix = os.path.join(harness.BUILD, "demo-test-failfast")
                    t0 = time.monotonic()
                    r = subprocess.run([sys.executable, DEMO, "--build", build, "--prefix",
                                        prefix, "--http", str(http)], stdout=subprocess.PIPE,
                                       stderr=subprocess.STDOUT, timeout=120)
                    out = r.stdout.decode(errors="replace")
                    self.assertEqual(r.returncode, 1, out)
                    self.assertIn(cause, out)
                    self.assertLess(time.monotonic() - t0, 60, "slow to fail:\n" + out)
                    self.assertEqual(wine_processes(prefix), [])
        finally:
            taken.close()


if __name__ == "__main__":
    harness.main()
