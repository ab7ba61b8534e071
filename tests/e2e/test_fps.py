"""The FRAPS module under Wine against the FRAPS stand-in, whose global hook places
"FRAPS.DLL" into the applet: no FRAPS gives the slot to the next module; with FRAPS
running the rate follows its record in large digits; no game, a null record and FRAPS
ending give the slot back."""

import functools
import os
import sys
import time

import harness
from harness import E2E, region_diff
from harness import render as _render
from test_screen import SLOT_X, TEXT_LARGE
from test_screen import slot_frame as _slot_frame


# Expected pictures are drawn by a tool process: each one is drawn once.
render = functools.lru_cache(maxsize=None)(_render)
slot_frame = functools.lru_cache(maxsize=None)(_slot_frame)

sys.path.insert(0, os.path.join(harness.REPO, "standins", "fraps"))
import fraps  # noqa: E402


class Fps(E2E):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.fr = fraps.Fraps(cls.env).install(harness.BUILD)

    def tearDown(self):
        self.fr.stop()
        super().tearDown()

    def title_of(self, f, i):
        for t in ("FPS", "CLK", "STW"):
            if region_diff(f.pixels, slot_frame(t, SLOT_X[i]), SLOT_X[i], 22, SLOT_X[i] + 38,
                           28) is None:
                return t
        return None

    def rate_diff(self, f, i, text):
        x = SLOT_X[i]
        exp = render(("rtext", TEXT_LARGE, x + 38, 32, text))
        return region_diff(f.pixels, exp, x + 1, 29, x + 37, 42)

    def wait_rate(self, i, text, timeout):
        deadline = time.monotonic() + timeout
        last = None
        while time.monotonic() < deadline:
            last = self.next_frame()
            if self.title_of(last, i) == "FPS" and self.rate_diff(last, i, text) is None:
                return last
            time.sleep(0.1)
        self.fail("slot %d: got title %s, expected FPS with %s: %s" % (
            i, self.title_of(last, i), text, self.rate_diff(last, i, text)))

    def wait_title(self, i, title, timeout):
        deadline = time.monotonic() + timeout
        got = None
        while time.monotonic() < deadline:
            got = self.title_of(self.next_frame(), i)
            if got == title:
                return
            time.sleep(0.1)
        self.fail("slot %d: got title %s, expected %s" % (i, got, title))

    def test_rate_follows_fraps_and_the_slot_is_handed_back(self):
        self.applet("animate_start 0\nslot_0 FPS CLK\nslot_3 FPS STW\n")
        self.first_frame()
        time.sleep(3.0)
        self.wait_title(0, "CLK", 2)  # no FRAPS
        self.wait_title(3, "STW", 2)
        self.fr.start()
        self.fr.fps(60)
        self.wait_rate(0, "60", timeout=10)
        self.wait_rate(3, "60", timeout=2)
        for rate in ("144", "7", "1234567"):
            self.fr.fps(int(rate))
            self.wait_rate(0, rate, timeout=3)
        self.assertGreater(self.fr.calls(), 0)
        self.fr.fps(0)  # no game measured
        self.wait_title(0, "CLK", 3)
        self.fr.fps(75)
        self.wait_rate(0, "75", timeout=3)
        self.fr.null_record(True)
        self.wait_title(0, "CLK", 3)
        self.fr.null_record(False)
        self.wait_rate(0, "75", timeout=3)
        self.fr.stop()  # FRAPS ends
        self.wait_title(0, "CLK", 4)
        self.wait_title(3, "STW", 2)
        time.sleep(2.0)
        self.assertEqual(self.title_of(self.next_frame(), 0), "CLK", "stays with the next module")
        # FRAPS started again while the applet runs: its rate comes back (under Wine its
        # library is still loaded in the applet and answers the new FRAPS's record).
        self.fr.start()
        self.fr.fps(48)
        self.wait_rate(0, "48", timeout=10)
        self.wait_rate(3, "48", timeout=2)
        self.assertTrue(self.applets[0].running())

    def test_fraps_running_before_the_applet(self):
        self.fr.start()
        self.fr.fps(90)
        self.applet("animate_start 0\nslot_1 FPS CLK\n")
        self.first_frame()
        self.wait_rate(1, "90", timeout=6)


if __name__ == "__main__":
    harness.main()
