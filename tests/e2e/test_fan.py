"""The SpeedFan module under Wine against the SpeedFan stand-in: the configured entries
in turn with short presses, automatic stepping every 5 s and a long press stopping it
for one slot only, the slot handed on while SpeedFan is gone and taken back when it
returns, and records that lie about their size or come in another version."""

import functools
import os
import sys
import time

import harness
from harness import E2E, region_diff
from harness import render as _render
from test_screen import SLOT_X
from test_screen import slot_frame as _slot_frame


# Expected pictures are drawn by a tool process: each one is drawn once.
render = functools.lru_cache(maxsize=None)(_render)
slot_frame = functools.lru_cache(maxsize=None)(_slot_frame)

sys.path.insert(0, os.path.join(harness.REPO, "standins", "speedfan"))
import speedfan  # noqa: E402

DEG = "\udcb0"  # byte 0xB0 (the degree sign) on the render tool's command line
ENTRIES = ("fan_mode_0 CPU TEMP 0\n"
           "fan_mode_1 Case FAN 5\n"  # SpeedFan publishes 3 fans: skipped
           "fan_mode_2 Pump FAN 1\n"
           "fan_mode_3 12V VOLT 0\n")
SHOWN = (("CPU", "45.2" + DEG + "C"), ("Pump", "1400"), ("12V", "11.84V"))


class Fan(E2E):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.sf = speedfan.SpeedFan(cls.env).install(harness.BUILD)

    def setUp(self):
        super().setUp()
        self.sf.start()
        self.sf.readings(temps=[4520, 3810], fans=[2250, 1400, 900], volts=[1184])

    def tearDown(self):
        self.sf.stop()
        super().tearDown()

    def title_of(self, f, i):
        for t in ("FAN", "CLK", "STW"):
            if region_diff(f.pixels, slot_frame(t, SLOT_X[i]), SLOT_X[i], 22, SLOT_X[i] + 38,
                           28) is None:
                return t
        return None

    def shown(self, f, i):
        """(label, value) of SHOWN that slot i shows, or None."""
        if self.title_of(f, i) != "FAN":
            return None
        x = SLOT_X[i]
        for label, value in SHOWN:
            exp = render(("right", x, 29, label), ("right", x, 36, value))
            if region_diff(f.pixels, exp, x + 1, 29, x + 37, 42) is None:
                return label
        return "?"

    def wait_shown(self, i, label, timeout=4.0):
        deadline = time.monotonic() + timeout
        got = None
        while time.monotonic() < deadline:
            got = self.shown(self.next_frame(), i)
            if got == label:
                return
            time.sleep(0.1)
        self.fail("slot %d: got %s, expected %s" % (i, got, label))

    def wait_title(self, i, title, timeout=4.0):
        deadline = time.monotonic() + timeout
        got = None
        while time.monotonic() < deadline:
            got = self.title_of(self.next_frame(), i)
            if got == title:
                return
            time.sleep(0.1)
        self.fail("slot %d: got title %s, expected %s" % (i, got, title))

    def test_entries_in_turn_with_short_presses(self):
        self.applet("animate_start 0\nslot_0 FAN CLK\nslot_3 FAN++\n" + ENTRIES)
        self.first_frame()
        self.wait_shown(0, "CPU", timeout=8)
        x = SLOT_X[0]
        exact = render(("right", x, 29, "CPU"), ("right", x, 36, "45.2" + DEG + "C"))
        self.assertIsNone(region_diff(self.next_frame().pixels, exact, x + 1, 29, x + 37, 42))
        self.wait_shown(3, "Pump")  # two plus marks: entry 2 first
        for label in ("Pump", "12V", "CPU"):
            self.vg.press(0, 200)
            self.wait_shown(0, label, timeout=2)
        self.wait_shown(3, "Pump", timeout=1)  # the other slot did not move
        # The skipped entry shows as soon as SpeedFan publishes its sensor.
        self.sf.readings(temps=[4520], fans=[2250, 1400, 900, 800, 700, 600], volts=[1184])
        time.sleep(1.5)  # read on the next one-second tick
        self.vg.press(0, 200)
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            f = self.next_frame()
            exp = render(("right", x, 29, "Case"), ("right", x, 36, "600"))
            if region_diff(f.pixels, exp, x + 1, 29, x + 37, 42) is None:
                break
        else:
            self.fail("entry 1 (Case, fan 5) did not come back")

    def changes(self, i, seconds):
        """(tick, label) each time slot i shows another entry."""
        out = []
        deadline = time.monotonic() + seconds
        last = None
        while time.monotonic() < deadline:
            for f in self.vg.frames_since():
                s = self.shown(f, i)
                if s != last:
                    out.append((f.tick, s))
                    last = s
            time.sleep(0.3)
        return out

    def test_automatic_steps_every_5_s_and_a_long_press_per_slot(self):
        self.applet("animate_start 0\nslot_1 FAN\nslot_2 FAN\nfan_cycle_interval 50\n"
                    "fan_cycle 1\n" + ENTRIES)
        self.first_frame()
        self.wait_shown(1, "CPU", timeout=8)
        self.vg.frames_since()
        seen = self.changes(1, 12.5)
        steps = [(seen[k][0] - seen[k - 1][0]) & 0xFFFFFFFF for k in range(2, len(seen))]
        self.assertGreaterEqual(len(steps), 1, "changes seen: %s" % seen)
        for d in steps:
            self.assertTrue(4800 <= d <= 5300, "steps %s ms apart, expected 5000 (%s)" % (
                steps, seen))
        order = [s for _, s in seen]
        for a, b in zip(order, order[1:]):
            self.assertEqual(SHOWN[([l for l, _ in SHOWN].index(a) + 1) % 3][0], b,
                             "order %s" % order)
        # A long press stops slot 1; slot 2 goes on.
        self.vg.press(1, 800)
        time.sleep(0.3)
        self.vg.frames_since()
        still = self.changes(1, 11.0)
        other = self.changes(2, 0.5)
        self.assertEqual(len(still), 1, "slot 1 after a long press: %s" % still)
        f = self.next_frame()
        self.assertNotEqual(self.shown(f, 2), None)
        moving = self.changes(2, 6.0)
        self.assertGreaterEqual(len(moving), 2, "slot 2 keeps stepping: %s %s" % (other, moving))
        # And a second long press starts slot 1 again.
        self.vg.press(1, 800)
        self.assertGreaterEqual(len(self.changes(1, 6.0)), 2, "slot 1 steps again")

    def test_gone_and_back(self):
        self.applet("animate_start 0\nslot_0 FAN CLK\n" + ENTRIES)
        self.first_frame()
        self.wait_shown(0, "CPU", timeout=8)
        self.sf.close()
        self.wait_title(0, "CLK", timeout=2.5)
        self.sf.open()
        self.wait_shown(0, "CPU", timeout=2.5)
        self.sf.stop()  # the program ends
        self.wait_title(0, "CLK", timeout=2.5)
        self.sf.start()
        self.sf.readings(temps=[4520], fans=[2250, 1400], volts=[1184])
        self.wait_shown(0, "CPU", timeout=3)

    def test_foreign_and_lying_records(self):
        self.applet("animate_start 0\nslot_0 FAN CLK\n" + ENTRIES)
        self.first_frame()
        self.wait_shown(0, "CPU", timeout=8)
        self.sf.version(2)
        self.wait_title(0, "CLK", timeout=2.5)
        self.sf.version(1)
        self.wait_shown(0, "CPU", timeout=2.5)
        # Counts far above 32 and a mapping of 20 bytes that claims them: the reader
        # takes at most 32 and nothing past the mapping's pages.
        self.sf.counts(65535, 40, 33)
        time.sleep(1.5)
        self.wait_shown(0, "CPU", timeout=2)
        self.sf.size(20)
        time.sleep(2.5)
        f = self.next_frame()
        self.assertEqual(self.title_of(f, 0), "FAN", "a short record still has counts")
        self.assertTrue(self.applets[0].running())
        self.sf.size(402)
        self.sf.readings(temps=[4520], fans=[2250, 1400], volts=[1184])
        self.wait_shown(0, "CPU", timeout=3)


if __name__ == "__main__":
    harness.main()
