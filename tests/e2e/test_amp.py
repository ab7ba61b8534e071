"""The Winamp module under Wine against the Winamp stand-in: new titles announced once
with the player's suffix stripped, the slot's bitrate and remaining (or elapsed) time,
the slot handed on when the player closes, a short press announcing again, and a player
that stops answering."""

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

sys.path.insert(0, os.path.join(harness.REPO, "standins", "winamp"))
import winamp  # noqa: E402


def time_text(ms, blink=0):
    """The slot's time line for ms milliseconds."""
    if ms <= 0:
        return ""
    h, m, s = ms // 3600000, (ms % 3600000) // 60000, (ms % 60000) // 1000
    if h >= 10:
        return "%d%s%02d" % (h, " " if blink else ":", m)
    if h >= 1:
        return "%d:%02d:%02d" % (h, m, s)
    return "%d:%02d" % (m, s)


class Amp(E2E):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.player = winamp.Winamp(cls.env).install(harness.BUILD)

    def setUp(self):
        super().setUp()
        self.player.start()
        self.player.title("Winamp 5.9")

    def tearDown(self):
        self.player.stop()
        super().tearDown()

    def frames_for(self, seconds):
        frames = []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            frames += self.vg.frames_since()
            time.sleep(0.25)
        return frames + self.vg.frames_since()

    def title_of(self, f, i, titles=("AMP", "STW", "CLK")):
        for t in titles:
            if region_diff(f.pixels, slot_frame(t, SLOT_X[i]), SLOT_X[i], 22, SLOT_X[i] + 38,
                           28) is None:
                return t
        return None

    def lines_diff(self, f, i, upper, lower=None):
        """None when slot i shows these lines (only the upper one when lower is None)."""
        x = SLOT_X[i]
        if lower is None:
            return region_diff(f.pixels, render(("right", x, 29, upper)), x + 1, 29, x + 37, 35)
        return region_diff(f.pixels, render(("right", x, 29, upper), ("right", x, 36, lower)),
                           x + 1, 29, x + 37, 42)

    def wait_slot(self, i, title, upper=None, lower=None, timeout=5.0):
        """The first frame whose slot i shows title (and the lines, when given)."""
        deadline = time.monotonic() + timeout
        last = None
        while time.monotonic() < deadline:
            last = self.next_frame()
            if self.title_of(last, i) == title and (
                    upper is None or self.lines_diff(last, i, upper, lower) is None):
                return last
            time.sleep(0.1)
        msg = "slot %d: got title %s, expected %s" % (i, self.title_of(last, i), title)
        if upper is not None and last is not None:
            msg += " with %r / %r: %s" % (upper, lower, self.lines_diff(last, i, upper, lower))
        self.fail(msg)

    def notice_runs(self, frames, text):
        """How many separate runs of frames show text in the notice band."""
        band = render((TEXT_LARGE, 0, 8, text))
        runs, inside = 0, False
        for f in frames:
            shown = region_diff(f.pixels, band, 0, 8, 159, 20) is None
            if shown and not inside:
                runs += 1
            inside = shown
        return runs

    def test_new_titles_are_announced_once_without_the_suffix(self):
        self.applet("animate_start 0\nslot_0 AMP STW\n")
        self.first_frame()
        time.sleep(2.5)  # past the banner
        self.wait_slot(0, "STW")  # the bare player title is no song
        self.player.title("3. Artist - Song - Winamp")
        frames = self.frames_for(5.0)
        self.assertEqual(self.notice_runs(frames, "3. Artist - Song"), 1,
                         "notice runs of the stripped title")
        self.assertEqual(self.notice_runs(frames, "3. Artist - Song - Winamp"), 0,
                         "the suffix is never shown")
        self.assertEqual(self.title_of(frames[-1], 0), "AMP", "the slot shows the player")
        # A title with format characters is shown as it is, and only once.
        self.player.title("4. 100% %s%n Hits - WINAMP")
        frames = self.frames_for(4.0)
        self.assertEqual(self.notice_runs(frames, "4. 100% %s%n Hits"), 1,
                         "notice runs of a title with '%'")
        self.assertTrue(self.applets[0].running())

    def test_bitrate_and_remaining_or_elapsed_time(self):
        self.applet("animate_start 0\nslot_2 AMP STW\n")
        self.player.title("1. Band - Tune - Winamp")
        self.player.play(winamp.PAUSED, 30000, 240, 192)
        self.first_frame()
        self.wait_slot(2, "AMP", "192k", "3:30", timeout=8)
        # A stream of unknown length shows the elapsed time.
        self.player.play(winamp.PAUSED, 754000, 0, 128)
        self.wait_slot(2, "AMP", "128k", "12:34")
        # No bitrate: the upper line stays empty.
        self.player.play(winamp.PAUSED, 60000, 7200, 0)
        self.wait_slot(2, "AMP", "", "1:59:00")
        # Playing: the remaining time counts down with the player's clock.
        stamp = self.player.play(winamp.PLAYING, 30000, 240, 256)
        self.wait_slot(2, "AMP", "256k", None, timeout=3)
        time.sleep(1.0)
        frames = self.frames_for(2.5)
        self.assertGreater(len(frames), 15)
        seen = set()
        for f in frames:
            left = 240000 - 30000 - ((f.tick - stamp) & 0xFFFFFFFF)
            # The player is asked shortly before the frame goes out.
            options = {time_text(left), time_text(left + 150)}
            ok = [t for t in options if self.lines_diff(f, 2, "256k", t) is None]
            self.assertTrue(ok, "frame at +%d ms: expected one of %s: %s" % (
                f.tick - stamp, sorted(options), self.lines_diff(f, 2, "256k", time_text(left))))
            seen.add(ok[0])
        self.assertGreaterEqual(len(seen), 2, "the time counts down: got %s" % sorted(seen))

    def test_closed_player_hands_the_slot_on_and_back(self):
        self.applet("animate_start 0\nslot_1 AMP CLK\n")
        self.player.title("1. Band - Tune - Winamp")
        self.player.play(winamp.PAUSED, 0, 200, 160)
        self.first_frame()
        self.wait_slot(1, "AMP", "160k", "3:20", timeout=8)
        self.player.stop()
        self.wait_slot(1, "CLK", timeout=3)
        self.player.start()
        self.player.title("1. Band - Tune - Winamp")
        self.player.play(winamp.PAUSED, 0, 200, 160)
        self.wait_slot(1, "AMP", "160k", "3:20", timeout=5)

    def wait_notice_over(self, text, timeout=15.0):
        """Waits until the notice with text has been shown and gone for a second."""
        band = render((TEXT_LARGE, 0, 8, text))
        seen, gone_since = False, None
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for f in self.vg.frames_since():
                if region_diff(f.pixels, band, 0, 8, 159, 20) is None:
                    seen, gone_since = True, None
                elif seen and gone_since is None:
                    gone_since = time.monotonic()
            if gone_since is not None and time.monotonic() - gone_since > 1.0:
                return
            time.sleep(0.2)
        self.fail("the notice %r was %s" % (text, "never over" if seen else "never shown"))

    def test_short_press_announces_again(self):
        self.applet("animate_start 0\nslot_3 AMP\n")
        self.player.title("7. Some - Thing - Winamp")
        self.player.play(winamp.PAUSED, 0, 100, 128)
        self.first_frame()
        self.wait_notice_over("7. Some - Thing")
        self.vg.press(3, 200)
        frames = self.frames_for(3.5)
        self.assertEqual(self.notice_runs(frames, "7. Some - Thing"), 1,
                         "notice runs after a short press")
        self.vg.press(3, 900)  # a long press does nothing here
        frames = self.frames_for(3.0)
        self.assertEqual(self.notice_runs(frames, "7. Some - Thing"), 0,
                         "notice runs after a long press")

    def test_player_that_stops_answering_does_not_stall_the_panel(self):
        self.applet("animate_start 0\nslot_0 AMP\n")
        self.player.title("1. Band - Tune - Winamp")
        self.player.play(winamp.PAUSED, 0, 100, 128)
        self.first_frame()
        self.wait_slot(0, "AMP", "128k", "1:40", timeout=8)
        self.player.hang(4000)
        time.sleep(0.3)
        frames = self.frames_for(3.0)
        self.assertGreaterEqual(len(frames), 20, "frames while the player hangs: got %d in 3 s"
                                % len(frames))
        self.wait_slot(0, "AMP", "128k", "1:40", timeout=5)


if __name__ == "__main__":
    harness.main()
