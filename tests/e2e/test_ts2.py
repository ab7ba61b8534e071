"""The TeamSpeak 2 module under Wine, pixel for pixel, against the stand-in client
(TeamSpeak.exe's window and TSRemote.dll beside the applet): the slot without a client,
without the library, with one, two and many players; the speaking labels; the
microphone flip by a short press; the notices of a session in order; and a client
that blocks longer than the watchdog allows."""

import os
import sys
import time

import harness
from harness import E2E, region, region_diff, render
from test_screen import SLOT_X, slot_frame

sys.path.insert(0, os.path.join(harness.REPO, "standins", "ts2"))
import ts2  # noqa: E402

TEXT_LARGE, TEXT_INVERT, TEXT_OPAQUE = 0x01, 0x02, 0x04
SLOT = 2
X = SLOT_X[SLOT]
Y = 22

MIC = {
    "filled": ["             ", "   XXX       ", "  XXXXX      ", "  XXXXX      ",
               "  XXXXX      ", "   XXXXX     ", "      XXX    ", "       XXX   ",
               "        XXX  ", "         XXX ", "          XX ", "            X",
               "  XXXXXXX   X", "XX       XXX "],
    "hollow": ["             ", "   XXX       ", "  X   X      ", "  X   X      ",
               "  X   X      ", "   XXX X     ", "      X X    ", "       X X   ",
               "        X X  ", "         X X ", "          XX ", "    X X     X",
               "  XXX XXX   X", "XX  X X  XXX "],
    "speaking": ["  X   X  X  X", " X XXX X  X X", "X XXXXX X X  ", "X XXXXX X    ",
                 "X XXXXX X    ", " X XXXXX     ", "  X   XXX    ", "       XXX   ",
                 "        XXX  ", "         XXX ", "          XX ", "            X",
                 "  XXXXXXX   X", "XX       XXX "],
}


def merge(*frames):
    return bytes(max(px) for px in zip(*frames))


def slot_expected(mic=None, top=None, large=None, text=None):
    """The TS2 slot in slot 2: frame and title, then the microphone picture, the numbers
    or a text ("NO DLL" at x + 6, "WAIT" at x + 18, row y + 14)."""
    parts = [slot_frame("TS2", X)]
    cmds = []
    if top:
        cmds.append(("rtext", 0, X + 38, Y + 1, top))
    if large:
        cmds.append(("rtext", TEXT_LARGE, X + 38, Y + 10, large))
    if text:
        cmds.append(("text", 0, X + (6 if text == "NO DLL" else 18), Y + 14, text))
    if cmds:
        parts.append(render(*cmds))
    if mic:
        px = bytearray(160 * 43)
        for r, row in enumerate(MIC[mic]):
            for c, ch in enumerate(row):
                if ch == "X":
                    px[(Y + 7 + r) * 160 + X + 1 + c] = 255
        parts.append(bytes(px))
    return merge(*parts)


def text_width(name):
    """The small-font width of name (with the gap after each character): drawn inverted
    and opaque, its last column (a gap) is lit."""
    px = render(("text", TEXT_INVERT | TEXT_OPAQUE, 0, 0, name))
    return max(x for y in range(8) for x in range(160) if px[y * 160 + x]) + 1


def labels_expected(names):
    """Rows 8..20 from the right edge: one label per name; returns (pixels, leftmost
    column covered)."""
    px = bytearray(160 * 43)
    cursor = 160
    for name in names:
        w = text_width(name)
        b = cursor - w - 2
        text = render(("text", TEXT_INVERT | TEXT_OPAQUE, b + 1, 10, name))
        for y in range(8, 21):
            for x in range(b - 1, b + w + 2):
                edge = x in (b - 1, b + w + 1) or y in (8, 20)
                corner = x in (b, b + w) and y in (9, 19)
                if edge or corner:
                    on = False
                elif 10 <= y <= 17 and x > b:
                    on = bool(text[y * 160 + x])
                else:
                    on = True
                px[y * 160 + x] = 255 if on else 0
        cursor -= w + 3
    return bytes(px), cursor


class Ts2(E2E):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.ts = ts2.TeamSpeak(cls.env)
        # The Windows build folder of the flavour under test (its standins/ts2).
        cls.ts.install(os.path.dirname(harness.win_path("standins")))

    def tearDown(self):
        super().tearDown()
        self.ts.kill()

    def start_client(self):
        self.ts.start()
        self.ts.reset()

    def ts2_applet(self, library=True, settings="animate_start 0\nslot_2 TS2 STW\n"):
        a = self.applet(settings, start=False)
        if library:
            self.ts.copy_library(a.dir)
        a.start()
        self.first_frame(timeout=30)
        return a

    def wait_region(self, expected, box, timeout, what):
        """The first frame whose box equals expected; fails with the last difference."""
        deadline = time.monotonic() + timeout
        diff = None
        while time.monotonic() < deadline:
            f = self.next_frame()
            diff = region_diff(f.pixels, expected, *box)
            if diff is None:
                return f
            time.sleep(0.1)
        self.fail("%s: %s" % (what, diff))

    def wait_slot(self, expected, what, timeout=10):
        return self.wait_region(expected, (X, Y, X + 38, 42), timeout, what)

    def keep(self, frame, name):
        """The frame as a picture (PNG and text form) in the applet's folder."""
        base = os.path.join(self.applets[-1].dir, name)
        harness.save_png(frame.pixels, base + ".png")
        with open(base + ".txt", "w") as t:
            for y in range(43):
                t.write("".join("#" if frame.pixels[y * 160 + x] else "." for x in range(160))
                        + "\n")

    def lobby(self, players, servers, here, flags=0, speakers=()):
        self.ts.set_state(ts2.server("Alpha", servers), ts2.user(1, flags, 7, here, "Lobby"),
                          players, speakers)

    # -- the slot -------------------------------------------------------------------------

    def test_slot_without_client_then_without_library(self):
        self.ts2_applet(library=False)
        f = self.next_frame()
        d = region_diff(f.pixels, slot_frame("STW", X), X, Y, X + 38, Y + 6)
        self.assertIsNone(d, "no client window: the slot shows its next module, STW: %s" % d)
        self.start_client()
        self.wait_slot(slot_expected(text="NO DLL"), "client running, no TSRemote.dll", 15)

    def test_slot_pictures_and_numbers(self):
        self.start_client()
        self.ts2_applet()
        me = ts2.player(1, 7, "me")
        cases = (
            ("only the user", [me], 1, 1, slot_expected("filled")),
            ("two players", [me, ts2.player(2, 7, "ann")], 2, 2,
             slot_expected("filled", "2", "2")),
            ("many players", [me] + [ts2.player(10 + i, 7 if i < 11 else 8, "p%d" % i)
                                     for i in range(36)], 37, 12,
             slot_expected("filled", "37", "12")),
            ("server count only", [me, ts2.player(2, 8, "far")], 2, 1,
             slot_expected("filled", "2")),
        )
        for name, players, servers, here, exp in cases:
            self.lobby(players, servers, here)
            f = self.wait_slot(exp, name)
            if name == "many players":
                self.keep(f, "frame-ts2")

    # -- speaking labels ------------------------------------------------------------------

    def test_three_speakers_three_labels(self):
        self.start_client()
        self.ts2_applet()
        players = [ts2.player(1, 7, "me"), ts2.player(2, 7, "ann"), ts2.player(3, 7, "bob"),
                   ts2.player(4, 9, "cyd")]
        self.lobby(players, 4, 3, speakers=[2, 3, 4])
        exp, left = labels_expected(["ann", "bob", "cyd"])
        self.wait_region(exp, (left, 8, 159, 20), 10, "three labels from the right edge")
        # The user speaking: the speaking picture, still three labels.
        self.lobby(players, 4, 3, speakers=[1, 2, 3, 4])
        self.wait_slot(slot_expected("speaking", "4", "3"), "the user speaking")
        f = self.wait_region(exp, (left, 8, 159, 20), 5, "labels with the user speaking")
        self.keep(f, "frame-ts2-labels")

    # -- presses --------------------------------------------------------------------------

    def test_short_press_flips_the_microphone_flag(self):
        self.start_client()
        self.ts2_applet()
        players = [ts2.player(1, 7, "me", 0x31), ts2.player(2, 7, "ann")]
        self.lobby(players, 2, 2, flags=0x31)
        self.wait_slot(slot_expected("hollow", "2", "2"), "flag 0x10 set: hollow")
        since = self.ts.last_seq()
        self.vg.press(SLOT, 200)
        deadline = time.monotonic() + 10
        flips = []
        while time.monotonic() < deadline and not flips:
            flips = [c for c in self.ts.calls(since) if c.entry == "flags"]
            time.sleep(0.2)
        self.assertEqual([(c.arg, c.result) for c in flips], [(0x21, 0)],
                         "got %r, expected one tsrSetPlayerFlags(0x21)" % flips)
        self.wait_slot(slot_expected("filled", "2", "2"), "flag cleared: filled")
        time.sleep(1.0)
        flips = [c for c in self.ts.calls(since) if c.entry == "flags"]
        self.assertEqual(len(flips), 1, "got %d flips for one press, expected 1" % len(flips))

    def test_long_press_lists_the_channel(self):
        self.start_client()
        self.ts2_applet()
        players = [ts2.player(1, 7, "me"), ts2.player(2, 7, "%s%n", 0x08),
                   ts2.player(3, 9, "far")]
        self.lobby(players, 3, 2)
        self.wait_slot(slot_expected("filled", "3", "2"), "connected")
        text = 'TS2: Channel "Lobby": me, (%s%n)'
        band = region(render((TEXT_LARGE, 0, 8, text)), 0, 8, 159, 20)
        self.vg.press(SLOT, 800)
        deadline = time.monotonic() + 30  # behind the notices of the connection
        shown = False
        while time.monotonic() < deadline and not shown:
            shown = any(region(f.pixels, 0, 8, 159, 20) == band
                        for f in self.vg.frames_since())
            time.sleep(0.3)
        self.assertTrue(shown, "the channel list %r never showed" % text)

    # -- notices --------------------------------------------------------------------------

    def test_session_notices_in_order(self):
        self.start_client()
        self.ts2_applet()
        me, ann, bob = ts2.player(1, 7, "me"), ts2.player(2, 7, "ann"), ts2.player(3, 7, "bob")
        user = ts2.user(1, 0, 7, 2, "Lobby")
        games = ts2.user(1, 0, 8, 1, "Games")
        steps = (
            (lambda: self.ts.set_state(ts2.server("Alpha", 2), user, [me, ann]),
             ['TS2: Server "Alpha"', 'TS2: Channel "Lobby"', 'TS2: "ann" connected']),
            (lambda: self.ts.set_state(ts2.server("Alpha", 2), games, [me, ann]),
             ['TS2: Channel "Games"']),
            (lambda: self.ts.set_state(ts2.server("Alpha", 3), games, [me, ann, bob]),
             ['TS2: "bob" connected']),
            (lambda: self.ts.set_state(ts2.server("Alpha", 2), games, [me, bob]),
             ['TS2: "ann" dropped']),
            (lambda: self.ts.connected(False), ["TS2: Disconnected"]),
        )
        texts = [t for _, ts in steps for t in ts]
        bands = {t: region(render((TEXT_LARGE, 0, 8, t)), 0, 8, 159, 20) for t in texts}
        self.ts.connected(False)
        time.sleep(3.0)  # the start-up banner goes by
        self.vg.frames_since()
        seen = []

        def collect(seconds):
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                for f in self.vg.frames_since():
                    band = region(f.pixels, 0, 8, 159, 20)
                    for t, b in bands.items():
                        if band == b and (not seen or seen[-1] != t):
                            seen.append(t)
                time.sleep(0.3)

        for act, expected in steps:
            act()
            deadline = time.monotonic() + 6 * len(expected) + 5
            while time.monotonic() < deadline and expected[-1] not in seen:
                collect(0.5)
        collect(6.0)
        self.assertEqual(seen, texts, "notices shown, in order")

    # -- a client that blocks -------------------------------------------------------------

    def test_blocked_client_is_left_behind_and_polling_resumes(self):
        self.start_client()
        a = self.ts2_applet()
        players = [ts2.player(1, 7, "me"), ts2.player(2, 7, "ann")]
        self.lobby(players, 2, 2)
        self.wait_slot(slot_expected("filled", "2", "2"), "connected before the block")
        since = self.ts.last_seq()
        self.ts.delay("server", 5000, 1)
        line = a.wait_error("TS2 thread timeout -- restarting", 12)
        self.assertIsNotNone(line, "got no watchdog line in errors.txt: %r" % a.errors())
        self.assertRegex(line, r"\| src/mod_ts2\(\d+\) \| TS2 thread timeout -- restarting")
        # A new poller asks again (another thread) while the old one is still blocked.
        self.lobby(players, 3, 2)
        self.wait_slot(slot_expected("filled", "3", "2"), "polling resumed after the restart",
                       15)
        # The held call is logged when it returns, 5 s after it began: the new poller can
        # be answering before then.
        deadline = time.monotonic() + 10
        while True:
            calls = self.ts.calls(since)
            blocked = [c for c in calls if c.entry == "server" and c.tick - c.start >= 4900]
            if blocked or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        self.assertEqual(len(blocked), 1, "got %r, expected one call held 5 s" % blocked)
        later = [c for c in calls if c.entry == "server" and c.tid != blocked[0].tid]
        self.assertTrue(later, "no server calls from a new poller thread")
        time.sleep(2.0)
        self.assertTrue(a.running(), "the applet ended")
        self.next_frame()
        self.assertEqual(sum("TS2 thread timeout" in l for l in a.errors()), 1,
                         "got %r, expected one watchdog line" % a.errors())
        self.assertFalse([l for l in a.errors() if "TS2 mutex" in l], "lock timeouts logged")


    def test_library_that_never_returns_holds_three_pollers_at_most(self):
        # Every server call blocks 40 s from here on. The watchdog leaves three pollers
        # inside the library and then starts none: threads and handles stay flat, the
        # slot waits, and once the calls return the client is shown again.
        self.start_client()
        a = self.ts2_applet()
        players = [ts2.player(1, 7, "me"), ts2.player(2, 7, "ann")]
        self.lobby(players, 2, 2)
        self.wait_slot(slot_expected("filled", "2", "2"), "connected before the block")
        pid = harness.applet_pid(self.env)
        self.assertIsNotNone(pid, "the applet's window was not found")
        self.ts.delay("server", 40000, -1)
        t0 = time.monotonic()
        deadline = t0 + 25
        while sum("TS2 thread timeout" in l for l in a.errors()) < 3:
            self.assertLess(time.monotonic(), deadline, "got %r, expected three watchdog "
                            "lines within 25 s" % a.errors())
            time.sleep(0.5)
        self.wait_slot(slot_expected(text="WAIT"), "three pollers left behind", 5)
        time.sleep(1.0)
        before = harness.win_counts(self.env, pid)
        time.sleep(max(0.0, 36.0 - (time.monotonic() - t0)))  # four more watchdog periods
        after = harness.win_counts(self.env, pid)
        self.assertIsNotNone(before and after, "the applet's counts could not be read")
        # (one thread of slack for a pool thread of Wine's own; a poller more every 4 s
        # would be four)
        self.assertLessEqual(after[1], before[1] + 1, "threads: got %d after 20 s of blocked "
                             "calls, expected at most %d" % (after[1], before[1] + 1))
        self.assertLessEqual(after[0], before[0] + 2, "handles: got %d, expected at most %d" % (
            after[0], before[0] + 2))
        timeouts = sum("TS2 thread timeout -- restarting" in l for l in a.errors())
        self.assertEqual(timeouts, 3, "got %d watchdog lines, expected 3" % timeouts)
        self.wait_slot(slot_expected(text="WAIT"), "still waiting", 2)
        self.ts.delay("server", 0, 0)
        self.wait_slot(slot_expected("filled", "2", "2"), "shown again once the calls return",
                       30)
        self.assertTrue(a.running())


if __name__ == "__main__":
    harness.main()
