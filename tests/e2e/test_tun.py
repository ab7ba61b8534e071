"""The iTunes module under Wine against the virtual G15 and the iTunes stand-in (a
player window that is also the player's COM local server): connecting only once the
server serves, track notices, the slot's bitrate and remaining time, stop and play, a
player reporting itself incompatible, a quitting player, the media keys, and shutdown
while the player holds a call."""

import os
import sys
import time

import harness
from harness import E2E, WM_CLOSE, APPLET_CLASS, APPLET_TITLE, region_diff, render
from test_screen import SLOT_X, slot_frame

sys.path.insert(0, os.path.join(harness.REPO, "standins", "itunes"))
import itunes  # noqa: E402

TEXT_LARGE = 0x01
SETTINGS = "animate_start 0\nslot_0 TUN STW\n"
DOCS = os.path.join(harness.REPO, "docs")


def tun_slot(upper, lower, x=0):
    """The TUN slot with its two right-aligned lines."""
    px = bytearray(slot_frame("TUN", x))
    lines = render(*[("right", x, row, t) for row, t in ((29, upper), (36, lower)) if t])
    for i, b in enumerate(lines):
        if b:
            px[i] = 255
    return bytes(px)


def tun_errors(applet):
    """Lines of errors.txt from the iTunes module (which logs nothing)."""
    return [l for l in applet.errors() if "mod_tun" in l]


def slot_diff(f, expected, x=0):
    return region_diff(f.pixels, expected, x, 22, x + 38, 42)


class Tun(E2E):
    it = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.it = itunes.ITunes(cls.env).install(harness.BUILD)

    def setUp(self):
        super().setUp()
        self.it.kill()

    def tearDown(self):
        try:
            super().tearDown()
        finally:
            self.it.kill()

    # -- helpers --------------------------------------------------------------------------

    def wait_slot(self, expected, timeout, x=0):
        """The first frame whose slot matches expected, or fails with the last one."""
        deadline = time.monotonic() + timeout
        f = None
        while time.monotonic() < deadline:
            f = self.next_frame(timeout=3.0)
            if slot_diff(f, expected, x) is None:
                return f
            time.sleep(0.1)
        self.fail("slot not as expected within %s s: %s" % (timeout, slot_diff(f, expected, x)))

    def wait_band_free(self, banner, timeout):
        """Waits until a second of frames went by without the notice `banner`."""
        deadline = time.monotonic() + timeout
        free = 0
        while time.monotonic() < deadline:
            for f in self.vg.frames_since():
                free = 0 if region_diff(f.pixels, banner, 0, 8, 159, 20) is None else free + 1
            if free >= 10:
                return
            time.sleep(0.2)
        self.fail("the notice did not go within %s s" % timeout)

    def shows_stw(self, f, x=0):
        return region_diff(f.pixels, slot_frame("STW", x), x, 22, x + 38, 28) is None

    def connected_applet(self, settings=SETTINGS):
        """The player serving a stopped track at 30 s of 240 s, and the applet showing it."""
        self.it.start()
        self.it.track("Artist", "Song", 240, 192)
        self.it.position(30)
        a = self.applet(settings)
        self.first_frame(timeout=30)
        self.wait_slot(tun_slot("192k", "3:30"), 20)
        return a

    # -- tests ----------------------------------------------------------------------------

    def test_refusing_server_shows_nothing_then_connects_when_it_serves(self):
        self.it.start(refuse=True)
        self.it.track("Artist", "Song", 240, 192)
        self.it.position(30)
        a = self.applet(SETTINGS)
        self.first_frame(timeout=30)
        seq0, t0 = self.vg.state()["frame_seq"], time.monotonic()
        time.sleep(6.0)
        n = self.vg.state()["frame_seq"] - seq0
        rate = n / (time.monotonic() - t0)
        self.assertGreaterEqual(rate, 9.0, "got %.1f frames/s while the server refuses, "
                                "expected the applet to stay responsive" % rate)
        f = self.next_frame()
        self.assertTrue(self.shows_stw(f), "slot 0 shows its next module (STW) while TUN "
                        "cannot connect:\n%s" % harness.picture(harness.region(f.pixels, 0, 22, 38, 42)))
        s = self.it.state()
        self.assertEqual((s["created"], s["apps"]), (0, 0), "no object created: %s" % s)
        self.it.serve()
        self.wait_slot(tun_slot("192k", "3:30"), 40)
        self.assertEqual(self.it.state()["created"], 1)
        self.assertTrue(a.running())

    def test_player_started_after_the_applet_is_followed_each_time(self):
        # While iTunes is not there the frame loop looks for its window in every frame
        # and wakes the waiting worker; a player that quits and starts again is a new
        # wait with a number of its own.
        a = self.applet(SETTINGS)
        self.first_frame(timeout=30)
        time.sleep(3.0)
        self.assertTrue(self.shows_stw(self.next_frame()), "STW while iTunes is not there")
        for start in (1, 2):
            self.it.start()
            self.it.track("Artist", "Song", 240, 192)
            self.it.position(30)
            self.wait_slot(tun_slot("192k", "3:30"), 20)
            self.assertEqual(self.it.state()["created"], 1, "start %d" % start)
            self.it.quit()
            s = self.it.wait_state(lambda s: s["apps"] == 0, 15)
            self.assertIsNotNone(s, "start %d: got %s, expected the player released"
                                 % (start, self.it.state()))
            self.it.kill()
            deadline = time.monotonic() + 10
            while not self.shows_stw(self.next_frame()) and time.monotonic() < deadline:
                time.sleep(0.2)
            self.assertTrue(self.shows_stw(self.next_frame()), "start %d: STW again" % start)
        self.assertTrue(a.running())
        self.assertEqual(tun_errors(a), [])

    def test_track_change_fires_one_notice_with_artist_and_name(self):
        self.connected_applet()
        since = self.vg.state()["frame_seq"]
        self.it.track("Band", "Other Song", 200, 256)
        banner = render((TEXT_LARGE, 0, 8, "Band - Other Song"))
        deadline = time.monotonic() + 10
        seen = None
        while seen is None and time.monotonic() < deadline:
            for f in self.vg.frames_since():
                if region_diff(f.pixels, banner, 0, 8, 159, 20) is None:
                    seen = f
                    break
            time.sleep(0.2)
        self.assertIsNotNone(seen, "got no notice 'Band - Other Song' within 10 s")
        if os.environ.get("KORVANE_SAVE_FRAMES"):
            harness.save_png(seen.pixels, os.path.join(DOCS, "frame-tun-notice.png"))
        self.wait_slot(tun_slot("256k", "3:20"), 10)
        # The same text again (a stop and a play event) gives no second notice.
        self.wait_band_free(banner, 15)
        self.it.play()
        self.it.stop()
        time.sleep(3.0)
        again = [f for f in self.vg.frames_since()
                 if region_diff(f.pixels, banner, 0, 8, 159, 20) is None]
        self.assertEqual(again, [], "the same track after stop and play: got %d frames with the "
                         "notice, expected none" % len(again))

    def test_stop_freezes_the_remaining_time_and_play_counts_down(self):
        self.connected_applet()
        f1 = self.next_frame()
        time.sleep(2.2)
        f2 = self.next_frame()
        self.assertIsNone(slot_diff(f2, tun_slot("192k", "3:30")), "stopped: the time stands")
        self.it.play()
        self.wait_slot(tun_slot("192k", "3:27"), 8)
        self.it.stop()
        f = self.next_frame()
        time.sleep(0.5)
        lower = harness.region(self.next_frame().pixels, 0, 36, 38, 42)
        time.sleep(2.0)
        self.assertEqual(harness.region(self.next_frame().pixels, 0, 36, 38, 42), lower,
                         "stopped again: the time stands")
        # A stream (duration 0) shows the elapsed time.
        self.it.track("Radio", "Live", 0, 128)
        self.it.position(75)
        self.it.fire(3)
        self.wait_slot(tun_slot("128k", "1:15"), 8)
        if os.environ.get("KORVANE_SAVE_FRAMES"):
            self.it.track("Artist", "Film", 7200, 320)
            self.it.position(60)
            self.it.fire(3)
            self.wait_slot(tun_slot("320k", "1:59:00"), 8)
            time.sleep(4.0)  # past the track notice
            f = self.wait_slot(tun_slot("320k", "1:59:00"), 3)
            harness.save_png(f.pixels, os.path.join(DOCS, "frame-tun.png"))

    def test_incompatible_player_is_released_and_retried(self):
        self.it.start()
        self.it.incompatible(True)
        self.it.track("Artist", "Song", 240, 192)
        self.it.position(30)
        self.applet(SETTINGS)
        self.first_frame(timeout=30)
        s = self.it.wait_state(lambda s: s["check"] >= 3, 20)
        self.assertIsNotNone(s, "got %s, expected CheckVersion again and again" % self.it.state())
        self.assertEqual(s["advised"], 0, "an incompatible player is not advised")
        self.assertIsNotNone(self.it.wait_state(lambda s: s["apps"] == 0, 5),
                             "the objects are released between tries")
        f = self.next_frame()
        self.assertTrue(self.shows_stw(f), "slot 0 shows STW while iTunes is incompatible")
        self.it.incompatible(False)
        self.wait_slot(tun_slot("192k", "3:30"), 15)

    def test_player_without_idispatch_is_released_and_retried(self):
        # Asked for IDispatch, a player whose interface is not dual answers no: the
        # object is released and the slot handed on, never called through its table.
        self.it.start()
        self.it.no_dispatch(True)
        self.it.track("Artist", "Song", 240, 192)
        self.it.position(30)
        a = self.applet(SETTINGS)
        self.first_frame(timeout=30)
        s = self.it.wait_state(lambda s: s["dispatch_refused"] >= 2, 30)
        self.assertIsNotNone(s, "got %s, expected IDispatch asked for again" % self.it.state())
        self.assertEqual((s["check"], s["advised"]), (0, 0),
                         "got %s, expected no call on a player without IDispatch" % s)
        self.assertIsNotNone(self.it.wait_state(lambda s: s["apps"] == 0, 5),
                             "the object is released between tries")
        self.assertTrue(self.shows_stw(self.next_frame()), "slot 0 shows STW meanwhile")
        self.it.no_dispatch(False)
        self.wait_slot(tun_slot("192k", "3:30"), 15)
        self.assertTrue(a.running())

    def test_quitting_player_is_disconnected_cleanly(self):
        a = self.connected_applet()
        self.it.quit()
        s = self.it.wait_state(lambda s: s["apps"] == 0 and s["tracks"] == 0, 15)
        self.assertIsNotNone(s, "got %s, expected every object released" % self.it.state())
        self.assertEqual((s["unadvised"], s["sinks"]), (1, 0),
                         "got %s, expected one Unadvise and no sink left" % s)
        f = self.next_frame()
        time.sleep(0.5)
        f = self.next_frame()
        self.assertTrue(self.shows_stw(f), "slot 0 shows STW once iTunes has quit")
        self.assertTrue(a.running())
        self.assertEqual(tun_errors(a), [])

    def _hold_next(self):
        self.vg.key(itunes.VK_MEDIA_NEXT_TRACK, True)
        time.sleep(1.0)
        self.vg.key(itunes.VK_MEDIA_NEXT_TRACK, False)
        time.sleep(1.0)

    def test_media_keys_pass_on_unless_itunes_has_the_focus(self):
        self.connected_applet("animate_start 0\nslot_0 TUN STW\ntun_mediakeys 1\n")
        self._hold_next()
        s = self.it.state()
        self.assertEqual(s["next"], 1, "next track held for 1 s: got %d NextTrack calls, "
                         "expected exactly 1" % s["next"])
        self.it.foreground(True)
        s = self.it.wait_state(lambda s: s["foreground"] == 1, 5)
        self.assertIsNotNone(s, "the stand-in could not take the foreground")
        self._hold_next()
        s = self.it.state()
        self.assertEqual(s["next"], 1, "with iTunes in the foreground: got %d NextTrack "
                         "calls, expected none more" % (s["next"] - 1))
        self.assertEqual((s["stop"], s["playpause"], s["previous"]), (0, 0, 0))

    def test_media_keys_stay_with_the_keyboard_by_default(self):
        self.connected_applet()
        self._hold_next()
        self.assertEqual(self.it.state()["next"], 0, "tun_mediakeys 0: no NextTrack call")

    def test_shutdown_while_the_player_holds_a_call(self):
        for how in ("all four soft buttons", "WM_CLOSE"):
            with self.subTest(how):
                self.it.kill()
                a = self.connected_applet()
                self.it.hang(10000)
                self.assertIsNotNone(self.it.wait_state(lambda s: s["hanging"] == 1, 5),
                                     "the worker did not enter the held call")
                if how == "WM_CLOSE":
                    rc, out = harness.probe(self.env, "post", APPLET_CLASS, APPLET_TITLE,
                                            str(WM_CLOSE), "0")
                    self.assertEqual(rc, 0, out)
                else:
                    self.vg.set_mask(15)
                t0 = time.monotonic()
                rc = a.wait_exit(8)
                secs = time.monotonic() - t0
                self.vg.set_mask(0)
                self.assertEqual(rc, 0, "%s during a held call: got exit %s after %.1f s, "
                                 "expected 0" % (how, rc, secs))
                self.assertLess(secs, 6.0, "%s: ended after %.1f s" % (how, secs))
                self.assertEqual(self.it.state()["hanging"], 1, "the call was still held")
                self.assertEqual(tun_errors(a), [])
                self.applets.remove(a)


if __name__ == "__main__":
    harness.main()
