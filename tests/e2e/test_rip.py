"""The hung-application module under Wine against the hung-window stand-in: a window
that stops pumping takes the slot with its title cut and right-aligned, a short press
announces the full title, a long press ends its process with exit code 0, a window that
responds again leaves the slot, a hidden hung window is ignored, and a title longer than
the buffer with "%" in it stays text."""

import os
import sys
import time

import harness
from harness import E2E, region_diff, render
from test_screen import SLOT_X, TEXT_LARGE, slot_frame

sys.path.insert(0, os.path.join(harness.REPO, "standins", "hung"))
import hung  # noqa: E402

# A window turns hung about 5 s after its thread last took a message; the applet scans
# every 2 s; under load give it more.
HUNG_WITHIN = 20.0


class Rip(E2E):

    def setUp(self):
        super().setUp()
        self.windows = []

    def tearDown(self):
        for w in self.windows:
            w.stop()
        super().tearDown()

    def window(self, index, title):
        w = hung.HungApp(self.env, harness.BUILD, index=index).start()
        self.windows.append(w)
        w.set_title(title)
        return w

    def rip_errors(self):
        return [l for l in self.applets[0].errors() if "src/mod_rip" in l]

    def title_of(self, f, i, titles=("RIP", "STW")):
        for t in titles:
            if region_diff(f.pixels, slot_frame(t, SLOT_X[i]), SLOT_X[i], 22, SLOT_X[i] + 38,
                           28) is None:
                return t
        return None

    def lower_diff(self, f, i, text):
        x = SLOT_X[i]
        return region_diff(f.pixels, render(("right", x, 36, text)), x + 1, 29, x + 37, 42)

    def wait_slot(self, i, title, lower=None, timeout=5.0):
        """The first frame whose slot i shows title (and its lower line, when given)."""
        deadline = time.monotonic() + timeout
        last = None
        while time.monotonic() < deadline:
            last = self.next_frame()
            if self.title_of(last, i) == title and (
                    lower is None or self.lower_diff(last, i, lower) is None):
                return last
            time.sleep(0.2)
        msg = "slot %d: got title %s, expected %s" % (i, self.title_of(last, i), title)
        if lower is not None and last is not None:
            msg += " with %r: %s" % (lower, self.lower_diff(last, i, lower))
        self.fail(msg)

    def wait_notice(self, text, timeout=3.0):
        """True once the notice band shows the start of text."""
        band = render((TEXT_LARGE, 0, 8, text))
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for f in self.vg.frames_since():
                if region_diff(f.pixels, band, 0, 8, 159, 20) is None:
                    return True
            time.sleep(0.1)
        return False

    def test_hung_window_takes_the_slot_until_it_responds(self):
        w = self.window(0, b"Untitled - Notepad")
        self.applet("animate_start 0\nslot_2 RIP STW\n")
        self.first_frame()
        time.sleep(8.0)  # past the banner and a few scans of a responsive window
        self.wait_slot(2, "STW")
        w.hang()
        f = self.wait_slot(2, "RIP", "Untitl", timeout=HUNG_WITHIN)
        exp = render(("right", SLOT_X[2], 36, "Untitl"))
        frame_and_title = bytearray(slot_frame("RIP", SLOT_X[2]))
        for k, b in enumerate(exp):
            if b:
                frame_and_title[k] = 255
        d = region_diff(f.pixels, bytes(frame_and_title), SLOT_X[2], 22, SLOT_X[2] + 38, 42)
        self.assertIsNone(d, "the whole slot while hung: %s" % d)

        self.vg.frames_since()
        self.vg.press(2, 200)
        self.assertTrue(self.wait_notice("Unresponsive: 'Untitled - Notepad'"),
                        "a short press announces the full title")
        self.assertIsNone(w.wait_exit(0.5), "a short press ends nothing")

        w.resume()
        self.assertTrue(w.wait_hung(False, 5.0), "the stand-in responds again")
        self.wait_slot(2, "STW", timeout=6.0)
        self.assertIsNone(w.wait_exit(0.1))

    def test_two_hung_windows_the_first_in_enumeration_order_shows(self):
        first = self.window(0, b"Alpha")
        second = self.window(1, b"Bravo")
        self.applet("animate_start 0\nslot_1 RIP STW\n")
        self.first_frame()
        first.hang()
        second.hang()
        self.assertTrue(first.wait_hung(True, HUNG_WITHIN) and second.wait_hung(True, 5.0),
                        "the stand-ins did not turn hung")
        rc, out = harness.probe(self.env, "windows")
        self.assertEqual(rc, 0, out)
        order = [l[len("window "):] for l in out.splitlines()
                 if l[len("window "):] in ("Alpha", "Bravo")]
        self.assertEqual(sorted(order), ["Alpha", "Bravo"], out)
        # The slot shows the first hung window the enumeration meets; once that one
        # responds again, the other.
        self.wait_slot(1, "RIP", order[0], timeout=HUNG_WITHIN)
        (first if order[0] == "Alpha" else second).resume()
        self.wait_slot(1, "RIP", order[1], timeout=10.0)
        for w in (first, second):
            w.resume()
        self.wait_slot(1, "STW", timeout=10.0)

    def test_long_press_ends_the_process_with_exit_code_0(self):
        w = self.window(0, b"Game")
        self.applet("animate_start 0\nslot_0 RIP STW\n")
        self.first_frame()
        w.hang()
        self.wait_slot(0, "RIP", "Game", timeout=HUNG_WITHIN)
        self.vg.press(0, 900)
        code = w.wait_exit(10.0)
        self.assertEqual(code, 0, "stand-in exit code: got %s, expected 0" % code)
        self.wait_slot(0, "STW", timeout=6.0)
        self.assertEqual(self.rip_errors(), [], "a successful end logs nothing")

    def test_hidden_hung_window_is_ignored_and_long_titles_stay_text(self):
        hidden = self.window(0, b"Hidden")
        title = b"100% %s %n %d " + b"x" * 150
        shown = self.window(1, title)
        hidden.show(False)
        self.applet("animate_start 0\nslot_1 RIP STW\n")
        self.first_frame()
        hidden.hang()
        self.assertTrue(hidden.wait_hung(True, HUNG_WITHIN), "the hidden window turned hung")
        time.sleep(2.5)  # at least one scan with it hung
        self.wait_slot(1, "STW")
        shown.hang()
        self.wait_slot(1, "RIP", "100% %", timeout=HUNG_WITHIN)
        self.vg.frames_since()
        self.vg.press(1, 200)
        full = "Unresponsive: '%s'" % title[:127].decode("latin-1")
        self.assertTrue(self.wait_notice(full), "the notice carries the first 127 characters")
        self.assertTrue(self.applets[0].running(), "the applet runs on")
        self.assertEqual(self.rip_errors(), [])


if __name__ == "__main__":
    harness.main()
