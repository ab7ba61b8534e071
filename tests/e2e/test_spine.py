"""The applet's spine under Wine against the virtual G15: single instance, quitting,
the frame rate, device choice, reconnection after each kind of link failure, the
two message boxes, and "errors.txt"."""

import time

import harness
from harness import E2E, WM_CLOSE, WM_ENDSESSION, APPLET_CLASS, APPLET_TITLE


class Spine(E2E):

    def test_frames_arrive_ten_per_second(self):
        a = self.applet()
        self.first_frame()
        seq0 = self.vg.state()["frame_seq"]
        t0 = time.monotonic()
        time.sleep(5.0)
        n = self.vg.state()["frame_seq"] - seq0
        secs = time.monotonic() - t0
        rate = n / secs
        self.assertTrue(9.5 <= rate <= 10.5,
                        "got %d frames in %.2f s (%.2f/s), expected 10 per second" % (n, secs, rate))
        self.assertTrue(a.running())

    def test_second_copy_returns_at_once_and_first_runs_on(self):
        first = self.applet()
        self.first_frame()
        second = harness.Applet(self.env, "second_copy").start()
        self.applets.append(second)
        rc = second.wait_exit(10)
        self.assertEqual(rc, 0, "second copy: got exit %s, expected 0 at once" % rc)
        self.assertEqual(second.errors(), [], "the second copy logs nothing")
        seq = self.vg.state()["frame_seq"]
        time.sleep(1.0)
        n = self.vg.state()["frame_seq"] - seq
        self.assertGreaterEqual(n, 8, "first copy: got %d frames in 1 s, expected it to run on" % n)
        self.assertTrue(first.running())

    def _ends_after_teardown(self, a, since, how):
        rc = a.wait_exit(5)
        self.assertEqual(rc, 0, "%s: got exit %s, expected 0 within 5 s" % (how, rc))
        kinds = [e["kind"] for e in self.vg.events(since) if e["kind"] in
                 ("close", "disconnect", "deinit")]
        self.assertEqual(kinds, ["close", "disconnect", "deinit"],
                         "%s: got link calls %s, expected close, disconnect, deinit" % (how, kinds))

    def test_window_messages_end_the_program(self):
        for msg, wparam, how in ((WM_CLOSE, 0, "WM_CLOSE"), (WM_ENDSESSION, 0, "WM_ENDSESSION 0"),
                                 (WM_ENDSESSION, 1, "WM_ENDSESSION 1")):
            with self.subTest(how):
                a = self.applet()
                self.first_frame()
                since = self.vg.state()["event_seq"]
                rc, out = harness.probe(self.env, "post", APPLET_CLASS, APPLET_TITLE, str(msg),
                                        str(wparam))
                self.assertEqual(rc, 0, "posting %s: %s" % (how, out))
                self._ends_after_teardown(a, since, how)
                self.applets.remove(a)

    def test_all_four_soft_buttons_end_the_program(self):
        # The frame of the pass that sees all four buttons is finished and sent before
        # the link closes (it was lost in most runs while the update thread read its
        # stop flag before sending). That pass starts at the first timer tick after
        # the callback; a frame reaching LCDMon more than 40 ms after the callback can
        # only be that one (the pass before it was sent within a few ms of its start).
        for round in range(3):
            with self.subTest(round=round):
                a = self.applet()
                self.first_frame()
                since = self.vg.state()["event_seq"]
                seq = self.vg.state()["frame_seq"]
                self.vg.set_mask(15)
                self._ends_after_teardown(a, since, "all four soft buttons")
                self.vg.set_mask(0)
                callback = next((e for e in self.vg.events(since) if e["kind"] == "callback"),
                                None)
                self.assertIsNotNone(callback, "got no soft-button callback")
                after = [(f.tick - callback["tick"]) & 0xFFFFFFFF
                         for f in self.vg.frames_since(seq)]
                after = [d for d in after if d < 0x80000000]
                self.assertTrue(any(d > 40 for d in after),
                                "got frames %s ms after the callback, expected the quit pass's "
                                "frame about a frame later" % after)
                self.applets.remove(a)

    def test_two_devices_open_index_one(self):
        self.vg.fault_devices(2)
        since = self.vg.state()["event_seq"]
        self.applet()
        self.first_frame()
        opens = self.events_of("open", since)
        self.assertEqual([e["a"] for e in opens], [1],
                         "got opens of indexes %s, expected [1]" % [e["a"] for e in opens])

    def test_device_gone_closes_waits_a_second_and_reconnects(self):
        a = self.applet()
        self.first_frame()
        since = self.vg.state()["event_seq"]
        self.vg.fault_update(1167, 1)
        lost = self.wait_event("update", since, 5, lambda e: e["result"] == 1167)
        self.assertIsNotNone(lost, "no update answered 1167")
        reopened = self.wait_event("open", lost["seq"], 6, lambda e: e["result"] == 0)
        self.assertIsNotNone(reopened, "got no new open after the device was lost")
        kinds = [e["kind"] for e in self.vg.events(lost["seq"])
                 if e["seq"] < reopened["seq"] and e["kind"] != "callback"]
        self.assertEqual(kinds, ["close", "disconnect", "deinit", "init", "connect", "enumerate",
                                 "enumerate"], "got calls %s between loss and reopen" % kinds)
        close = self.events_of("close", lost["seq"])[0]
        gap = (close["tick"] - lost["tick"]) & 0xFFFFFFFF
        self.assertTrue(900 <= gap <= 1500,
                        "got %d ms from the refused send to close, expected about 1000" % gap)
        self.assertIsNotNone(self.vg.wait_frame(5, since=self.vg.state()["frame_seq"]),
                             "got no frame after reconnecting")
        self.assertTrue(a.running())

    def test_soft_button_callback_after_the_device_closed(self):
        # The LCD Manager calls the soft-button callback from its own thread, so a
        # change may still reach it after the applet closed the device on a lost link,
        # while it de-initialises the library, or once it is linked again.
        cases = [  # name, mask, ms, inside lgLcdDeInit
            ("release inside lgLcdDeInit", 0, 0, True),
            ("press inside lgLcdDeInit, 300 ms on", 4, 300, True),
            ("release 1500 ms after the close", 0, 1500, False),
        ]
        zero = harness.render(("right", 121, 36, "00:00.0"))
        a = self.applet("animate_start 0\nslot_3 STW\n")
        self.first_frame()
        for name, mask, ms, in_deinit in cases:
            since = self.vg.state()["event_seq"]
            self.vg.fault_late(mask, ms, in_deinit)
            self.vg.fault_update(1167, 1)
            lost = self.wait_event("update", since, 5, lambda e: e["result"] == 1167)
            self.assertIsNotNone(lost, "%s: no update answered 1167" % name)
            late = self.wait_event("late_callback", lost["seq"], ms / 1000 + 8)
            self.assertIsNotNone(late, "%s: got no late callback, expected one" % name)
            reopened = self.wait_event("open", lost["seq"], 6, lambda e: e["result"] == 0)
            self.assertIsNotNone(reopened, "%s: got no new open after the device was lost" % name)
            closed = self.events_of("close", lost["seq"])[0]
            self.assertEqual((late["a"], late["b"]), (closed["a"], mask),
                             "%s: late callback (device, mask): got %s, expected %s" % (
                                 name, (late["a"], late["b"]), (closed["a"], mask)))
            kinds = [e["kind"] for e in self.vg.events(lost["seq"])
                     if e["seq"] < reopened["seq"] and e["kind"] != "callback"]
            link = ["close", "disconnect", "deinit", "init", "connect", "enumerate", "enumerate"]
            if in_deinit:  # between the close and the next init
                link.insert(2, "late_callback")
            else:  # the old device's change while the new one is open
                self.assertGreater(late["seq"], reopened["seq"],
                                   "%s: got the late callback before the new open" % name)
            self.assertEqual(kinds, link, "%s: got calls %s, expected %s" % (name, kinds, link))
            waits = [l for l in a.errors() if "| src/lcd(357) |" in l or "| src/lcd(649) |" in l]
            self.assertEqual(waits, [], "%s: got button lock failures %s, expected none" % (
                name, waits))
            rate = harness.frame_rate(self.vg, 3.0)
            self.assertTrue(9.5 <= rate <= 10.5,
                            "%s: got %.2f frames/s after reconnecting, expected 10" % (name, rate))
            self.assertTrue(a.running(), "%s: the applet ended" % name)
        # A press after all that is still classified: a short one starts the stopwatch.
        f = self.next_frame()
        self.assertIsNone(harness.region_diff(f.pixels, zero, 122, 36, 158, 42),
                          "the stopwatch before the press")
        self.vg.press(3, 300)
        time.sleep(0.5)
        b = self.next_frame()
        time.sleep(0.5)
        c = self.next_frame()
        self.assertIsNotNone(harness.region_diff(c.pixels, zero, 122, 36, 158, 42),
                             "got 00:00.0 after a short press, expected the stopwatch running")
        self.assertNotEqual(harness.region(b.pixels, 121, 36, 159, 42),
                            harness.region(c.pixels, 121, 36, 159, 42),
                            "got the same stopwatch time 0.5 s apart, expected it running")
        link = [l for l in a.errors() if "| src/lcd(" in l or "| src/main(" in l]
        self.assertEqual(link, [], "got link lines %s in errors.txt, expected none" % link)

    def test_stalled_update_restarts_the_thread_and_reconnects(self):
        a = self.applet()
        self.first_frame()
        since = self.vg.state()["event_seq"]
        # Long enough that the replacement thread could still be waiting for the frame
        # lock the stuck send holds: it must not, so the log holds the lock wait, the
        # restart and the failed frame, and nothing more.
        self.vg.fault_stall(4000)
        line = a.wait_error("LCD not responding (mutex timeout) - restarting update thread", 8)
        self.assertIsNotNone(line, "got no mutex-timeout log line, expected one")
        self.assertIn("| src/lcd(625) | ", line)
        reopened = self.wait_event("open", since, 10, lambda e: e["result"] == 0)
        self.assertIsNotNone(reopened, "got no reconnection after the stall")
        seq = self.vg.state()["frame_seq"]
        time.sleep(2.0)
        n = self.vg.state()["frame_seq"] - seq
        self.assertGreaterEqual(n, 15, "got %d frames in 2 s after the stall, expected ~20" % n)
        time.sleep(2.0) # past the end of the stuck send
        sites = [l.split(" | ")[1] for l in a.errors()
                 if "| src/lcd(" in l or "| src/main(" in l]
        self.assertEqual(sites, ["src/lcd(612)", "src/lcd(625)", "src/main(375)"],
                         "got link lines %s, expected the lock wait, the restart and the "
                         "failed frame" % a.errors())

    def test_ten_unsent_frames_fail_the_link(self):
        a = self.applet()
        self.first_frame()
        since = self.vg.state()["event_seq"]
        self.vg.fault_update(31, 1)
        line = a.wait_error("LCD thread defaulted on lcdupdaterequest (=10)", 6)
        self.assertIsNotNone(line, "got no 'defaulted' log line, expected one after 10 frames")
        self.assertIn("| src/lcd(620) | ", line)
        errs = a.errors()
        sent = [l for l in errs if "| src/lcd(409) | LCD error '" in l and l.endswith("(1f)")]
        self.assertEqual(len(sent), 1, "got %r, expected one logged send failure (1f)" % errs)
        self.assertIsNotNone(a.wait_error("| src/main(375) | LCD update failed", 2))
        self.assertIsNotNone(self.wait_event("open", since, 5, lambda e: e["result"] == 0),
                             "got no reconnection")

    def test_eleven_open_failures_show_the_box_and_end(self):
        self.vg.fault_open(31, -1)
        since = self.vg.state()["event_seq"]
        a = self.applet()
        text = harness.wait_box(self.env, "LCD error", 30)
        self.assertEqual(text, "Could not open the LCD display for usage.")
        opens = self.events_of("open", since)
        self.assertEqual(len(opens), 11, "got %d opens, expected 11" % len(opens))
        self.assertTrue(a.running(), "the program waits for the box")
        rc, out = harness.probe(self.env, "dismiss", "LCD error")
        self.assertEqual(rc, 0, out)
        self.assertEqual(a.wait_exit(5), 0, "expected the program to end after the box")

    def test_a_successful_open_between_failures_starts_the_count_again(self):
        # Eight refused opens, a good one, then after a lost device eight more: sixteen
        # failures, never eleven in a row, so no box and the program runs on.
        self.vg.fault_open(31, 8)
        since = self.vg.state()["event_seq"]
        a = self.applet()
        first = self.wait_event("open", since, 40, lambda e: e["result"] == 0)
        self.assertIsNotNone(first, "got no successful open after eight refused ones")
        self.vg.fault_open(31, 8)
        self.vg.fault_update(1167, 1)
        second = self.wait_event("open", first["seq"], 40, lambda e: e["result"] == 0)
        self.assertIsNotNone(second, "got no successful open after eight more refused ones")
        refused = [e for e in self.events_of("open", since) if e["result"] != 0]
        self.assertEqual(len(refused), 16, "got %d refused opens, expected 16" % len(refused))
        self.assertIsNone(harness.wait_box(self.env, "LCD error", 1),
                          "got a message box, expected the count to restart at the good open")
        self.assertTrue(a.running())

    def test_lcd_manager_missing_at_start_is_waited_for_then_launched(self):
        # Ten waits of 500 ms for its window, then the launch from the install path.
        self.vg.kill()
        time.sleep(0.5)
        a = self.applet()
        t0 = time.monotonic()
        self.vg.wait_lcdmon(30)
        waited = time.monotonic() - t0
        self.assertGreaterEqual(waited, 4.5, "got LCDMon.exe launched after %.1f s, expected "
                                "the applet's 5 s of waiting first" % waited)
        self.assertIsNotNone(self.vg.wait_frame(15, since=0), "got no frame from the launch")
        self.assertTrue(a.running())

    def test_lcd_manager_gone_is_logged_with_the_system_text_and_relaunched(self):
        a = self.applet()
        self.first_frame()
        pid = self.vg.hello()["pid"]
        self.vg.kill()
        line = a.wait_error("LCDMon.exe is no longer running", 10)
        self.assertIsNotNone(line, "got no log line for the lost LCD Manager")
        self.assertRegex(line, r"\| src/main\(385\) \| LCDMon.exe is no longer running \| "
                               r"[0-9a-f]{8}=\S")
        # The applet starts LCDMon.exe again from its install path.
        self.vg.wait_lcdmon(15)
        self.assertNotEqual(self.vg.hello()["pid"], pid, "expected a new LCDMon process")
        self.assertIsNotNone(self.vg.wait_frame(15, since=0), "got no frame from the relaunch")

    def _server_binary(self, path):
        view = "/reg:32" if self.vg.arch == "i686" else "/reg:64"
        rc = harness.vg15.run_wine(self.env, ["reg", "add", harness.vg15.CLSID_KEY, "/ve", "/d",
                                              path, "/f", view],
                                   log=self.env["WINEPREFIX"] + ".log")
        self.assertEqual(rc, 0, "could not write the ServerBinary key")

    def test_init_failure_shows_the_box_on_each_pass_until_it_works(self):
        good = harness.vg15.INSTALL_DIR_WIN + r"\lgLcdServer.dll"
        self._server_binary(r"C:\nowhere\missing.dll")
        try:
            a = self.applet()
            expected = ("LCDKorvane failed to initialize the G15 LCD link.\\n\\nMake sure that "
                        "you are using the most up-to-date\\nLogitech G15 software from "
                        "Logitech's web pages.")
            for n in range(2):
                text = harness.wait_box(self.env, "LCD error", 20)
                self.assertEqual(text, expected, "box %d" % (n + 1))
                self.assertEqual(harness.probe(self.env, "dismiss", "LCD error")[0], 0)
                time.sleep(0.5)
            text = harness.wait_box(self.env, "LCD error", 20)
            self.assertEqual(text, expected, "the box comes again on each pass")
            self._server_binary(good)
            self.assertEqual(harness.probe(self.env, "dismiss", "LCD error")[0], 0)
            self.assertIsNotNone(self.vg.wait_frame(10, since=self.vg.state()["frame_seq"]),
                                 "got no frame once the library could be found")
            fails = [l for l in a.errors() if "| src/main(407) | lcd.init() failed" in l]
            self.assertGreaterEqual(len(fails), 3, "got %d lcd.init lines" % len(fails))
            self.assertTrue(any("| src/lcd(519) | LCD error 'Logitech LCD subsystem is not "
                                "available.' (6ba)" in l for l in a.errors()))
        finally:
            self._server_binary(good)

    def test_ctrl_media_stop_ends_the_lcd_manager_which_comes_back(self):
        a = self.applet()
        self.first_frame()
        pid = self.vg.hello()["pid"]
        self.vg.key(harness.vg15.VK_CONTROL, True)
        self.vg.key(harness.vg15.VK_MEDIA_STOP, True)
        try:
            line = a.wait_error("CTRL+MEDIA_STOP detected, terminating LCDMon.exe", 5)
            self.assertIsNotNone(line, "got no restart log line")
            self.assertIn("| src/util(", line)
        finally:
            # LCDMon is gone: release the keys with a helper that needs no LCDMon.
            time.sleep(0.3)
            self.vg.close()
            harness.probe(self.env, "key", "178", "up")
            harness.probe(self.env, "key", "17", "up")
        self.vg.wait_lcdmon(15)
        self.assertNotEqual(self.vg.hello()["pid"], pid, "expected a new LCDMon process")
        self.assertIsNotNone(self.vg.wait_frame(15, since=0), "got no frame after the restart")
        self.assertTrue(a.running())

    def test_no_thread_or_handle_leaks_across_reconnections(self):
        rounds = int(harness.os.environ.get("KORVANE_RECONNECTS", "100"))
        a = self.applet()
        self.first_frame()
        time.sleep(1.0)
        pid = harness.applet_pid(self.env)
        self.assertIsNotNone(pid, "the applet's window was not found")

        def counts():
            c = harness.win_counts(self.env, pid)
            self.assertIsNotNone(c, "the applet's counts could not be read")
            return c

        before = counts()
        for i in range(rounds):
            since = self.vg.state()["event_seq"]
            self.vg.fault_update(1167, 1)
            self.assertIsNotNone(self.wait_event("open", since, 10, lambda e: e["result"] == 0),
                                 "round %d: no reconnection" % i)
        time.sleep(1.0)
        after = counts()
        print("\nhandles, threads before %s after %d reconnections %s" % (before, rounds, after))
        self.assertLessEqual(after[0], before[0] + 2,
                             "handles: got %d after, expected at most %d" % (after[0], before[0] + 2))
        self.assertEqual(after[1], before[1], "threads: got %d after, expected %d" % (after[1],
                                                                                      before[1]))

    def test_start_to_first_frame(self):
        # What starting any program of this flavour costs here (seconds for a 32-bit
        # one under qemu-user), measured with winprobe, is not the applet's to spend.
        t0 = time.monotonic()
        harness.probe(self.env, "find", "NoSuchClass", "none")
        start_cost = time.monotonic() - t0
        self.vg.frames_since()
        seq = self.vg.state()["frame_seq"]
        t0 = time.monotonic()
        self.applet()
        f = self.vg.wait_frame(15, since=seq)
        self.assertIsNotNone(f)
        took = time.monotonic() - t0
        print("\nprocess start to first frame: %.2f s (starting a program: %.2f s)" % (
            took, start_cost))
        # The start-up waits 500 ms for the LCD Manager's window by design.
        self.assertLess(took - start_cost, 5.0)

    def test_log_lines_stay_whole_when_threads_log_together(self):
        # The update thread logs its send failure while the main thread logs its own.
        a = self.applet()
        self.first_frame()
        for _ in range(5):
            since = self.vg.state()["event_seq"]
            self.vg.fault_update(31, 1)
            self.assertIsNotNone(self.wait_event("open", since, 6, lambda e: e["result"] == 0))
        lines = a.errors()
        self.assertGreaterEqual(len(lines), 15)
        for l in lines:
            self.assertRegex(l, harness.LOG_LINE)


if __name__ == "__main__":
    harness.main()
