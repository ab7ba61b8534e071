"""The TeamSpeak 3 module under Wine, pixel for pixel, against the ClientQuery stand-in
(standins/ts3/ts3query.py on "ts3_port"): the slot declined while the port refuses,
its pictures and counts, the notices of a session in order, labels (also left of the
TS2 labels), the microphone flip seen by the client, the key refused, the client gone
and back, and a stalled answer."""

import os
import sys
import time

import harness
from harness import E2E, region, region_diff, render
from test_screen import SLOT_X, slot_frame
from test_ts2 import MIC, labels_expected, merge

sys.path.insert(0, os.path.join(harness.REPO, "standins", "ts3"))
sys.path.insert(0, os.path.join(harness.REPO, "standins", "ts2"))
import ts2  # noqa: E402
import ts3  # noqa: E402

TEXT_LARGE = 0x01
SLOT = 2
X = SLOT_X[SLOT]
Y = 22
KEY_TEXT = "TS3: Set ts3_apikey (ClientQuery settings)"


def slot_expected(mic=None, top=None, large=None, text=None):
    """The TS3 slot in slot 2: frame and title, then the microphone picture, the
    numbers or a text ("KEY" / "WAIT" at x + 18, row y + 14)."""
    parts = [slot_frame("TS3", X)]
    cmds = []
    if top:
        cmds.append(("rtext", 0, X + 38, Y + 1, top))
    if large:
        cmds.append(("rtext", TEXT_LARGE, X + 38, Y + 10, large))
    if text:
        cmds.append(("text", 0, X + 18, Y + 14, text))
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


class Ts3(E2E):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.q = ts3.Ts3Query(log_dir=cls.env["WINEPREFIX"])

    def tearDown(self):
        super().tearDown()
        self.q.kill()

    def ts3_applet(self, refuse=False, extra="", online=True):
        self.q.start(refuse=refuse)
        if not online:
            self.q.online(False)
        a = self.applet("animate_start 0\nslot_2 TS3 STW\nts3_port %d\n%s" % (
            self.q.query_port, extra), start=False)
        a.start()
        self.first_frame(timeout=30)
        return a

    def wait_region(self, expected, box, timeout, what):
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

    def wait_log(self, pred, since, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            hits = [l for s, l in self.q.log(since) if pred(l)]
            if hits or time.monotonic() > deadline:
                return hits
            time.sleep(0.2)

    def keep(self, frame, name):
        base = os.path.join(self.applets[-1].dir, name)
        harness.save_png(frame.pixels, base + ".png")
        with open(base + ".txt", "w") as t:
            for y in range(43):
                t.write("".join("#" if frame.pixels[y * 160 + x] else "." for x in range(160))
                        + "\n")

    def watch_notices(self, texts):
        """A collector of the notice texts shown, in order, each once per showing."""
        bands = {t: region(render((TEXT_LARGE, 0, 8, t)), 0, 8, 159, 20) for t in texts}
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
        return seen, collect

    # -- the slot -------------------------------------------------------------------------

    def test_slot_declined_while_refused_then_pictures_and_counts(self):
        self.ts3_applet(refuse=True)
        f = self.next_frame()
        d = region_diff(f.pixels, slot_frame("STW", X), X, Y, X + 38, Y + 6)
        self.assertIsNone(d, "query port refusing: the slot shows its next module, STW: %s" % d)
        self.q.listen(True)
        self.wait_slot(slot_expected("filled"), "the port listens: only the user", 10)
        self.q.client(2, 7, "ann")
        self.wait_slot(slot_expected("filled", "2", "2"), "two clients in the channel")
        self.q.client(2, 9, "ann")
        self.q.channel(9, "Games")
        self.wait_slot(slot_expected("filled", "2"), "server count only")
        for i in range(35):
            self.q.client(10 + i, 7 if i < 11 else 8, "p%d" % i)
        f = self.wait_slot(slot_expected("filled", "37", "12"), "many clients")
        self.keep(f, "frame-ts3")
        self.q.mute(1, True)
        self.wait_slot(slot_expected("hollow", "37", "12"), "own microphone muted: hollow")
        self.q.talk(1, True)
        self.wait_slot(slot_expected("speaking", "37", "12"), "own client talking")
        self.q.online(False)
        self.wait_slot(slot_frame("TS3", X), "on no server: the frame only")

    # -- notices --------------------------------------------------------------------------

    def test_session_notices_in_order(self):
        self.ts3_applet(online=False)
        steps = (
            (lambda: (self.q.client(2, 7, "ann"), self.q.online(True)),
             ['TS3: Server "Alpha"', 'TS3: Channel "Lobby"', 'TS3: "ann" connected']),
            (lambda: (self.q.channel(8, "Games"), self.q.me(1, 8)), ['TS3: Channel "Games"']),
            (lambda: self.q.client(3, 8, "bob"), ['TS3: "bob" connected']),
            (lambda: self.q.leave(2), ['TS3: "ann" dropped']),
            (lambda: self.q.online(False), ["TS3: Disconnected"]),
        )
        texts = [t for _, ts in steps for t in ts]
        seen, collect = self.watch_notices(texts)
        time.sleep(3.0)  # the start-up banner goes by
        self.vg.frames_since()
        for act, expected in steps:
            act()
            deadline = time.monotonic() + 6 * len(expected) + 5
            while time.monotonic() < deadline and expected[-1] not in seen:
                collect(0.5)
        collect(6.0)
        self.assertEqual(seen, texts, "notices shown, in order")

    def test_long_press_lists_the_channel(self):
        self.ts3_applet()
        self.q.client(2, 7, "%s%n")
        self.q.mute(2, False, True)
        self.q.client(3, 9, "far")
        self.wait_slot(slot_expected("filled", "3", "2"), "connected")
        text = 'TS3: Channel "Lobby": me, (%s%n)'
        band = region(render((TEXT_LARGE, 0, 8, text)), 0, 8, 159, 20)
        self.vg.press(SLOT, 800)
        deadline = time.monotonic() + 30  # behind the notices of the connection
        shown = False
        while time.monotonic() < deadline and not shown:
            shown = any(region(f.pixels, 0, 8, 159, 20) == band
                        for f in self.vg.frames_since())
            time.sleep(0.3)
        self.assertTrue(shown, "the channel list %r never showed" % text)

    # -- labels and the microphone ----------------------------------------------------------

    def test_labels_then_left_of_the_ts2_labels(self):
        self.ts3_applet()
        for clid, name in ((2, "ann"), (3, "bob"), (4, "cyd")):
            self.q.client(clid, 7, name)
        self.q.talk(3, True)
        self.q.talk(2, True)
        self.q.talk(4, True)
        exp, left = labels_expected(["bob", "ann", "cyd"])
        f = self.wait_region(exp, (left, 8, 159, 20), 15, "three TS3 labels from the right edge")
        self.keep(f, "frame-ts3-labels")
        self.q.talk(3, False)
        exp, left = labels_expected(["ann", "cyd"])
        self.wait_region(exp, (left, 8, 159, 20), 10, "bob stopped talking")
        # TeamSpeak 2 with two speakers as well: its labels take the right end.
        t2 = ts2.TeamSpeak(self.env)
        t2.install(os.path.dirname(harness.win_path("standins")))
        t2.copy_library(self.applets[-1].dir)
        try:
            t2.start()
            t2.reset()
            t2.set_state(ts2.server("Old", 3), ts2.user(1, 0, 7, 3, "Lobby"),
                         [ts2.player(1, 7, "me"), ts2.player(2, 7, "dora"),
                          ts2.player(3, 7, "eve")], speakers=[2, 3])
            exp, left = labels_expected(["dora", "eve", "ann", "cyd"])
            f = self.wait_region(exp, (left, 8, 159, 20), 20,
                                 "TS2 labels at the right, the TS3 labels left of them")
            self.keep(f, "frame-ts3-ts2-labels")
        finally:
            t2.kill()

    def test_texts_arrive_in_the_ansi_code_page(self):
        """The client's UTF-8 texts in the code page of the applet (1252 in the tests'
        prefix): a talking "J\u00fcrgen" gets a label drawn from the byte 0xfc."""
        self.ts3_applet()
        self.q.client(5, 7, "J\u00fcrgen")
        self.q.talk(5, True)
        ansi = b"J\xfcrgen".decode("utf-8", "surrogateescape")  # passed on as the raw byte
        exp, left = labels_expected([ansi])
        self.wait_region(exp, (left, 8, 159, 20), 15, "a label of the name in code page 1252")

    def test_short_press_flips_the_microphone_once(self):
        self.ts3_applet()
        self.q.client(2, 7, "ann")
        self.wait_slot(slot_expected("filled", "2", "2"), "connected")
        since = self.q.last_seq()
        self.vg.press(SLOT, 200)
        flips = self.wait_log(lambda l: l.startswith("clientupdate"), since, 10, "the flip")
        self.assertEqual(flips, ["clientupdate client_input_muted=1"],
                         "got %r, expected one clientupdate client_input_muted=1" % flips)
        self.wait_slot(slot_expected("hollow", "2", "2"), "muted: hollow")
        time.sleep(1.0)
        flips = [l for s, l in self.q.log(since) if l.startswith("clientupdate")]
        self.assertEqual(len(flips), 1, "got %d flips for one press, expected 1" % len(flips))
        since = self.q.last_seq()
        self.vg.press(SLOT, 200)
        flips = self.wait_log(lambda l: l.startswith("clientupdate"), since, 10, "the flip back")
        self.assertEqual(flips, ["clientupdate client_input_muted=0"],
                         "got %r, expected clientupdate client_input_muted=0" % flips)
        self.wait_slot(slot_expected("filled", "2", "2"), "unmuted: filled")

    # -- key, client gone, stall --------------------------------------------------------------

    def test_key_refused_then_accepted(self):
        self.q.start()
        self.q.key("K3Y-1")
        self.applet("animate_start 0\nslot_2 TS3 STW\nts3_port %d\n" % self.q.query_port)
        self.first_frame(timeout=30)
        seen, collect = self.watch_notices([KEY_TEXT])
        self.wait_slot(slot_expected(text="KEY"), "no key: KEY", 15)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and not seen:
            collect(0.5)
        self.assertEqual(seen, [KEY_TEXT], "the key notice")
        self.assertEqual(self.q.connections(), 1, "the refused connection is held, not redone")
        self.applets[-1].kill()
        since = self.q.last_seq()
        self.applet("animate_start 0\nslot_2 TS3 STW\nts3_port %d\nts3_apikey K3Y-1\n" %
                    self.q.query_port)
        self.first_frame(timeout=30)
        self.wait_slot(slot_expected("filled"), "with the key: connected", 15)
        auth = [l for s, l in self.q.log(since) if l.startswith("auth")]
        self.assertEqual(auth, ["auth apikey=K3Y-1"], "got %r" % auth)

    def test_client_gone_and_back(self):
        a = self.ts3_applet()
        self.q.client(2, 7, "ann")
        self.wait_slot(slot_expected("filled", "2", "2"), "connected")
        self.q.listen(False)
        f = self.wait_region(slot_frame("STW", X), (X, Y, X + 38, Y + 6), 10,
                             "client gone: the next module")
        self.q.listen(True)
        self.wait_slot(slot_expected("filled", "2", "2"), "client back", 10)
        self.assertTrue(a.running())
        self.assertFalse([l for l in a.errors() if "TS3" in l], "got %r" % a.errors())

    def test_stalled_answer_ends_the_connection_and_it_is_made_again(self):
        a = self.ts3_applet()
        self.q.client(2, 7, "ann")
        self.wait_slot(slot_expected("filled", "2", "2"), "connected")
        since = self.q.last_seq()
        self.q.stall("clientlist", 5000, 1)
        self.q.client(3, 7, "bob")
        rate = harness.frame_rate(self.vg, 2.0)
        self.assertGreater(rate, 8.0, "got %.1f frames/s during the stall, expected ~10" % rate)
        regs = self.wait_log(lambda l: l.startswith("clientnotifyregister"), since, 15,
                             "a new connection")
        self.assertEqual(len(regs), 1, "got %r, expected one new connection" % regs)
        self.wait_slot(slot_expected("filled", "3", "3"), "answers again after the stall", 15)
        self.assertFalse([l for l in a.errors() if "TS3" in l], "got %r" % a.errors())


if __name__ == "__main__":
    harness.main()
