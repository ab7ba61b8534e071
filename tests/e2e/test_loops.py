"""Fault loops under Wine: the real applet against the stand-ins, one fault made again
and again, for its reliability over weeks of running. The loops: the LCD Manager
killed, the device lost (update error 1167), update stalls, the TeamSpeak 2 client
crashing (also while the applet's poller is inside a call it holds), the iTunes
server killed in the middle of a call it holds, SpeedFan's record vanishing, and hung
windows ended by a long press.

After each loop the applet's handles (its entries in the system handle table), its
threads (the system's thread list, and the tasks of its Linux process: a thread left
behind shows in both) and its resident memory (VmRSS of its Linux process) are back
to where they stood at the start, and frames come at 10 per second again.

The start is taken after one warm-up round of the fault: the first round of each
fault loads code once (the COM proxies on the first iTunes connection, the shell on
the first launch of the LCD Manager, ...) and grows the heaps to what the fault
needs; that is not a leak, while anything a round keeps shows after the loop.

Counts: small ones by default (CI, where Wine's 32-bit side may run through
qemu-user); KORVANE_LOOPS=full runs the long counts. Each loop prints one line:

  loop <name>: <n> rounds in <s> s; handles a -> b, threads a -> b (tasks a -> b),
  RSS a -> b kB (+d); <f> frames/s
"""

import collections
import functools
import os
import select
import signal
import subprocess
import sys
import time

import harness
from harness import E2E, region_diff
from test_screen import SLOT_X
from test_screen import slot_frame as _slot_frame

sys.path.insert(0, os.path.join(harness.REPO, "tools"))
sys.path.insert(0, os.path.join(harness.REPO, "standins", "ts2"))
sys.path.insert(0, os.path.join(harness.REPO, "standins", "itunes"))
sys.path.insert(0, os.path.join(harness.REPO, "standins", "speedfan"))
sys.path.insert(0, os.path.join(harness.REPO, "standins", "hung"))
import fullpanel  # noqa: E402  (the applet's Linux pid and RSS, as tools/soak reads them)
import hung  # noqa: E402
import itunes  # noqa: E402
import speedfan  # noqa: E402
import ts2  # noqa: E402

slot_frame = functools.lru_cache(maxsize=None)(_slot_frame)

FULL = os.environ.get("KORVANE_LOOPS") == "full"
PROGRESS_LINES = 10  # usage lines printed during a loop of 10 rounds or more
# (CI count, full count) of each loop.
COUNTS = {
    "lcdmon": (3, 100),
    "1167": (5, 100),
    "stall": (3, 100),
    "ts2": (3, 50),
    "itunes": (2, 50),
    "itunes-quit": (2, 20),
    "speedfan": (4, 100),
    "hung": (2, 20),
}

# Resident memory is compared without the memory the applet shares with LCDMon: the
# LCD Manager's library (the virtual G15's, in the applet's process) writes every frame
# into a ring of 256 frames (6.9 kB each) shared with LCDMon, and the applet's RSS counts
# the ring's pages as the library touches them, about 1.7 MB over 25.6 s after each
# connection, and drops again when it maps the ring anew. That is the stand-in's memory,
# not the applet's. VmRSS itself is printed too.
#
# What remains may end a little above its start: Wine's heaps keep pages a round touched
# (freed blocks are reused, not handed back), and which pages of code and data a round
# touches varies. Idle, the applet's RSS stays within a few kB (tools/soak: 24 kB over 18
# minutes). A leak grows with the count, so the long runs tell one apart.
RSS_SLACK_KB = 256
# Handles and threads are read once they have stayed the same for QUIET_S (at most
# SETTLE_S): a thread or handle of a round that has just ended may take a moment to go
# (an update thread finishing its last call, a poller coming back from the client).
# Then they must be exactly what they were at the start.
QUIET_S = 3.0
# Once the player is gone, Wine's RPC threads of its connection end about 5 s later.
ITUNES_QUIET_S = 8.0
# Wine keeps 8 to 10 handles (pipe ends and events of its RPC connections) in any COM
# client for each of its servers that died, depending on the calls the client had made:
# a minimal client (tests/e2e/comclient.cpp) that releases every reference kept 8 a
# killed server after a held call and 10 after reading a track object without one; the
# applet 9 to 10; with a server that quits cleanly, none of them keeps any. So the iTunes
# kill loop allows the yardstick client's count and this much more a round; the quit
# loop beside it checks that the applet itself keeps nothing of a connection.
WINE_KEEP_SPREAD = 2
SETTLE_S = 20.0
FRAME_SECONDS = 4.0

Usage = collections.namedtuple("Usage", "handles threads tasks rss_kb vmrss_kb")


def count(name):
    """The loop's count: KORVANE_LOOPS=full the long one, a number that many, else CI's."""
    v = os.environ.get("KORVANE_LOOPS", "")
    if v.isdigit():
        return int(v)
    return COUNTS[name][1 if FULL else 0]


def slot_title(f, i, titles):
    """Which of `titles` slot i's title tab shows, or None."""
    x = SLOT_X[i]
    for t in titles:
        if region_diff(f.pixels, slot_frame(t, x), x, 22, x + 38, 28) is None:
            return t
    return None


# One applet runs every loop, as it would run for weeks: each module in a slot of its
# own (the iTunes, SpeedFan, TeamSpeak 2 and hung-application slots, each handing its
# slot on while its program is away).
SETTINGS = ("animate_start 0\n"
            "slot_0 TUN STW\n"
            "slot_1 FAN CLK\n"
            "slot_2 TS2 STW\n"
            "slot_3 RIP STW\n"
            "fan_mode_0 CPU TEMP 0\n")
TUN_SLOT, FAN_SLOT, TS2_SLOT, RIP_SLOT = 0, 1, 2, 3
# The player's class and its event interface (standins/itunes/itunes.idl).
PLAYER_CLASS = "{DC0C2640-1415-4644-875C-6F4D769839BA}"
PLAYER_EVENTS = "{5846EB78-317E-4B6F-B0C3-11EE8C8FEEF2}"


class Loops(E2E):
    """The loops in order (test_1 ... test_7) against one applet started for them all."""

    applet_run = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.ts = ts2.TeamSpeak(cls.env)
        cls.ts.install(os.path.dirname(harness.win_path("standins")))
        cls.it = itunes.ITunes(cls.env).install(harness.BUILD)
        cls.sf = speedfan.SpeedFan(cls.env).install(harness.BUILD)

    @classmethod
    def tearDownClass(cls):
        try:
            if cls.applet_run:
                cls.applet_run.kill()
                for l in cls.applet_run.errors():
                    if not harness.LOG_LINE.match(l):
                        print("errors.txt line not in the log format: %r" % l, file=sys.stderr)
        finally:
            super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.cleanup = []
        cls = type(self)
        if cls.applet_run is None:
            cls.applet_run = self.start_applet()
        self.a = cls.applet_run
        self.assertTrue(self.a.running(), "the applet ended in an earlier loop")

    def tearDown(self):
        for stop in reversed(self.cleanup):
            try:
                stop()
            except Exception as e:  # the others must still be stopped
                print("cleanup: %s" % e, file=sys.stderr)
        super().tearDown()
        for l in self.a.errors():
            self.assertRegex(l, harness.LOG_LINE, "errors.txt line not in the log format")

    # -- the applet and its usage ---------------------------------------------------------

    def start_applet(self):
        cls = type(self)
        a = harness.Applet(self.env, "loops", SETTINGS)
        self.ts.copy_library(a.dir)
        a.start()
        self.first_frame(timeout=60)
        cls.win_pid = None
        deadline = time.monotonic() + 30
        while cls.win_pid is None and time.monotonic() < deadline:
            cls.win_pid = harness.applet_pid(self.env)
        self.assertIsNotNone(cls.win_pid, "the applet's window was not found")
        cls.linux_pid = a.proc.pid
        self.assertTrue(fullpanel.alive(cls.linux_pid))
        return a

    def usage(self):
        c = harness.win_counts(self.env, self.win_pid)
        self.assertIsNotNone(c, "the applet's counts could not be read")
        try:
            tasks = len(os.listdir("/proc/%d/task" % self.linux_pid))
        except OSError:
            tasks = -1
        vmrss = fullpanel.rss_kb(self.linux_pid)
        shared = shared_rss_kb(self.linux_pid, fullpanel.find_pids(self.env["WINEPREFIX"],
                                                                    "LCDMon.exe"))
        return Usage(c[0], c[1], tasks, vmrss - shared, vmrss)

    def quiet_usage(self, quiet_s=QUIET_S):
        """Usage once handles, threads and tasks stayed the same for quiet_s (at most
        SETTLE_S)."""
        deadline = time.monotonic() + SETTLE_S
        last = self.usage()
        since = time.monotonic()
        while time.monotonic() - since < quiet_s and time.monotonic() < deadline:
            time.sleep(0.5)
            u = self.usage()
            if u[:3] != last[:3]:
                since = time.monotonic()
            last = u
        return last

    def run_loop(self, name, one_round, wine_keeps=None, quiet_s=QUIET_S):
        """One warm-up round, the start, `count(name)` rounds, the checks and the line.

        wine_keeps, when given, reads (handles, RSS kB) of a yardstick process that went
        through the same faults: what Wine itself keeps of them is allowed for (handles:
        the yardstick's count and WINE_KEEP_SPREAD more a round; memory: its growth and
        RSS_SLACK_KB)."""
        a = self.a
        one_round(-1)
        start = self.quiet_usage(quiet_s)
        ref0 = wine_keeps() if wine_keeps else (0, 0)
        n = count(name)
        t0 = time.monotonic()
        slowest = 0.0
        for i in range(n):
            r0 = time.monotonic()
            one_round(i)
            slowest = max(slowest, time.monotonic() - r0)
            self.assertTrue(a.running(), "round %d: the applet ended" % i)
            if n >= PROGRESS_LINES and (i + 1) % (n // PROGRESS_LINES) == 0:
                u = self.usage()
                print("  %s round %d at %.0f s: handles %d threads %d tasks %d RSS %d kB "
                      "(VmRSS %d)" % (name, i + 1, time.monotonic() - t0, u.handles, u.threads,
                                      u.tasks, u.rss_kb, u.vmrss_kb), flush=True)
        elapsed = time.monotonic() - t0
        end = self.quiet_usage(quiet_s)
        ref1 = wine_keeps() if wine_keeps else (0, 0)
        kept_handles, kept_kb = ref1[0] - ref0[0], ref1[1] - ref0[1]
        rate = harness.frame_rate(self.vg, FRAME_SECONDS)
        line = ("loop %s: %d rounds in %.1f s (slowest %.1f s); handles %d -> %d, threads "
                "%d -> %d (tasks %d -> %d), RSS %d -> %d kB (%+d; VmRSS %d -> %d); "
                "%.2f frames/s" % (
                    name, n, elapsed, slowest, start.handles, end.handles, start.threads,
                    end.threads, start.tasks, end.tasks, start.rss_kb, end.rss_kb,
                    end.rss_kb - start.rss_kb, start.vmrss_kb, end.vmrss_kb, rate))
        if wine_keeps:
            line += ("; Wine's own keep (yardstick client): %+d handles, %+d kB" % (
                kept_handles, kept_kb))
        print("\n" + line, flush=True)
        if wine_keeps:
            most = start.handles + kept_handles + WINE_KEEP_SPREAD * n
            self.assertTrue(start.handles <= end.handles <= most,
                            "%s: got %d handles after %d rounds, expected %d to %d (%d at the "
                            "start, %+d that Wine keeps in a yardstick client, %d a round "
                            "more in another)" % (name, end.handles, n, start.handles, most,
                                                  start.handles, kept_handles, WINE_KEEP_SPREAD))
        else:
            self.assertEqual(end.handles, start.handles, "%s: got %d handles after %d "
                             "rounds, expected %d" % (name, end.handles, n, start.handles))
        self.assertEqual(end.threads, start.threads, "%s: got %d threads after %d rounds, "
                         "expected %d" % (name, end.threads, n, start.threads))
        self.assertEqual(end.tasks, start.tasks, "%s: got %d Linux tasks after %d rounds, "
                         "expected %d" % (name, end.tasks, n, start.tasks))
        allowed = start.rss_kb + max(0, kept_kb) + RSS_SLACK_KB
        self.assertLessEqual(end.rss_kb, allowed, "%s: got RSS %d kB after %d rounds, "
                             "expected at most %d" % (name, end.rss_kb, n, allowed))
        self.assertTrue(9.5 <= rate <= 10.5, "%s: got %.2f frames/s after the loop, expected "
                        "10" % (name, rate))
        return line

    # -- frames -----------------------------------------------------------------------------

    def wait_slot_title(self, i, title, timeout, titles):
        deadline = time.monotonic() + timeout
        got = None
        while time.monotonic() < deadline:
            f = self.vg.wait_frame(2.0, since=self.vg.state()["frame_seq"])
            got = slot_title(f, i, titles) if f else None
            if got == title:
                return
            time.sleep(0.1)
        self.fail("slot %d: got title %s, expected %s within %s s" % (i, got, title, timeout))

    def wait_frames(self, what, timeout=15.0):
        self.assertIsNotNone(self.vg.wait_frame(timeout, since=self.vg.state()["frame_seq"]),
                             "%s: got no frame within %s s" % (what, timeout))

    def applet_state(self):
        """What the applet shows of itself when it stopped doing its work: a message box,
        its last log lines, the LCD Manager processes of the prefix."""
        rc, out = harness.probe(self.env, "box", "LCD error")
        lcdmons = [p for p in fullpanel.find_pids(self.env["WINEPREFIX"], "LCDMon.exe")
                   if not _zombie(p)]
        return "applet running: %s; message box: %s; LCDMon processes: %s; errors.txt ends " \
               "%r" % (self.a.running(), out if rc == 0 else "none", lcdmons,
                       self.a.errors()[-4:])

    # -- 1. the LCD Manager killed ----------------------------------------------------------

    def kill_lcdmon(self):
        """SIGKILL to every LCDMon.exe of the prefix (the first one started here, the
        later ones by the applet); waits until they are gone."""
        pids = fullpanel.find_pids(self.env["WINEPREFIX"], "LCDMon.exe")
        self.assertTrue(pids, "no LCDMon.exe process to kill")
        self.vg.close()
        for pid in pids:
            os.kill(pid, signal.SIGKILL)
        if self.vg.proc:
            self.vg.proc.wait(10)
            self.vg.proc = None
        deadline = time.monotonic() + 10
        while any(fullpanel.alive(p) and not _zombie(p) for p in pids):
            self.assertLess(time.monotonic(), deadline, "LCDMon.exe did not end")
            time.sleep(0.05)

    def test_1_lcdmon_killed(self):
        lost0 = sum("LCDMon.exe is no longer running" in l for l in self.a.errors())

        def one_round(i):
            old = self.vg.hello()["pid"]
            self.kill_lcdmon()
            try:
                self.vg.wait_lcdmon(30)  # started again by the applet from its install path
            except harness.vg15.Vg15Error as e:
                self.fail("round %d: %s; %s" % (i, e, self.applet_state()))
            self.assertNotEqual(self.vg.hello()["pid"], old, "round %d: the same LCDMon" % i)
            self.assertIsNotNone(self.vg.wait_frame(30, since=0),
                                 "round %d: got no frame from the new LCDMon" % i)

        self.run_loop("lcdmon", one_round)
        lost = sum("LCDMon.exe is no longer running" in l for l in self.a.errors()) - lost0
        self.assertEqual(lost, count("lcdmon") + 1, "got %d 'no longer running' lines, "
                         "expected one a round" % lost)

    # -- 2. the device lost: update error 1167 ----------------------------------------------

    def test_2_update_error_1167(self):
        def one_round(i):
            since = self.vg.state()["event_seq"]
            self.vg.fault_update(1167, 1)
            self.assertIsNotNone(self.wait_event("open", since, 15, lambda e: e["result"] == 0),
                                 "round %d: no reconnection after 1167" % i)
            self.wait_frames("round %d" % i)

        self.run_loop("1167", one_round)

    # -- 3. update stalls ---------------------------------------------------------------------

    def test_3_update_stalls(self):
        def stalls():
            return sum("LCD not responding" in l for l in self.a.errors())

        def one_round(i):
            before = stalls()
            since = self.vg.state()["event_seq"]
            self.vg.fault_stall(1800)
            deadline = time.monotonic() + 15
            while stalls() == before:
                self.assertLess(time.monotonic(), deadline,
                                "round %d: no 'LCD not responding' line" % i)
                time.sleep(0.1)
            self.assertIsNotNone(self.wait_event("open", since, 15, lambda e: e["result"] == 0),
                                 "round %d: no reconnection after the stall" % i)
            self.wait_frames("round %d" % i)

        self.run_loop("stall", one_round)

    # -- 4. the TeamSpeak 2 client crashing -----------------------------------------------------

    def test_4_ts2_crashes(self):
        ts = self.ts
        self.cleanup.append(ts.kill)
        players = [ts2.player(1, 7, "me"), ts2.player(2, 7, "ann")]

        def client_up():
            ts.start()
            ts.set_state(ts2.server("Alpha", 2), ts2.user(1, 0, 7, 2, "Lobby"), players)

        def polled(what, timeout=30):
            """Waits for a successful server call from the applet after ts.now()."""
            t = ts.now()
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                if any(c.entry == "server" and c.result == 0 and c.start > t
                       for c in ts.calls()):
                    return
                time.sleep(0.2)
            self.fail("%s: the applet did not poll the client within %s s" % (what, timeout))

        client_up()
        polled("start")
        held = {"seen": 0, "asked": 0}
        watchdog0 = sum("TS2 thread timeout" in l for l in self.a.errors())

        # Round i % 3: 0 the client killed between calls; 1 killed while a server call it
        # holds for 3 s is under way (the poller finds its round stale and lets the library
        # go); 2 killed while it holds one for 6 s (the watchdog leaves that poller behind
        # and starts a new one).
        def one_round(i):
            hold = (0, 3000, 6000)[i % 3]
            if hold:
                ts.delay("server", hold, 1)
                time.sleep(0.5)  # the poller asks once a frame: the call is under way
            killed_at = ts.now()
            ts.kill()
            t0 = time.monotonic()
            client_up()
            restart = time.monotonic() - t0
            polled("round %d" % i)
            if hold:
                # The held call ends in the new client's log (the library kept the state's
                # name alive) once it returns: it began before the kill and ended after.
                deadline = time.monotonic() + hold / 1000.0 + 5
                found = False
                while not found and time.monotonic() < deadline:
                    found = any(c.entry == "server" and c.start < killed_at < c.tick and
                                c.tick - c.start >= hold - 50 for c in ts.calls())
                    time.sleep(0.2)
                if restart < hold / 1000.0 - 1.0:
                    held["asked"] += 1
                    self.assertTrue(found, "round %d: no server call held across the kill" % i)
                held["seen"] += found

        self.run_loop("ts2", one_round)
        watchdog = sum("TS2 thread timeout" in l for l in self.a.errors()) - watchdog0
        print("ts2: calls held across a kill: %d seen, %d required; %d watchdog restarts" % (
            held["seen"], held["asked"], watchdog))
        if count("ts2") >= 3:
            self.assertGreaterEqual(held["asked"], 1, "no round with a held call was judged")
        self.assertFalse([l for l in self.a.errors() if "TS2 mutex" in l],
                         "lock timeouts logged")

    # -- 5. the iTunes server killed in the middle of a call ----------------------------------

    def test_5_itunes_killed_mid_call(self):
        it = self.it

        def end_player():
            # Its class registration revoked first: a player that ends without would
            # leave Wine's rpcss handing out a dead registration (see kill_round).
            if it.proc and it.proc.poll() is None:
                try:
                    it.refuse()
                except itunes.ITunesError:
                    pass
            it.kill()

        self.cleanup.append(end_player)

        def player_up():
            it.start()
            it.track("Artist", "Song", 240, 192)
            it.position(30)
            s = it.wait_state(lambda s: s["advised"] >= 1 and s["sinks"] >= 1, 40, step=0.2)
            self.assertIsNotNone(s, "the applet did not connect: %s" % it.state())

        # A round starts the player, waits for the applet to connect and ends with the
        # player gone, so the start and the end are read with no connection (the applet's
        # threads and handles of a connection, Wine's among them, vary with the calls
        # under way: the player's event calls come in on threads of their own).
        #
        # First the control: the player quits cleanly N times. The applet lets go of
        # every object (the player counts none left) and keeps nothing of a connection.
        def quit_round(i):
            player_up()
            it.quit()
            s = it.wait_state(lambda s: (s["apps"], s["tracks"], s["sinks"]) == (0, 0, 0), 15)
            self.assertIsNotNone(s, "round %d: the applet kept objects of the player: %s" % (
                i, it.state()))
            it.kill()

        self.run_loop("itunes-quit", quit_round, quiet_s=ITUNES_QUIET_S)

        # Then the player killed in the middle of a call it holds, beside a yardstick
        # client that goes through the same (see WINE_KEEP_SPREAD).
        #
        # Wine's rpcss keeps a COM server's class registration until the server revokes
        # it, and hands a killed server's to every client first: no client would reach the
        # class again (Windows drops the registrations of a process that ended). So the
        # player revokes its registration, as the system would after its death, just
        # before the held call; the kill then cuts the call, the connection and the event
        # sink with no clean-up at all.
        yard = ComClient(self.env, PLAYER_CLASS, PLAYER_EVENTS)
        self.cleanup.append(yard.close)

        def kill_round(i):
            player_up()
            self.assertEqual(yard.command("connect"), "connected 00000000")
            self.assertEqual(yard.command("get CurrentTrack.Name"), "got 00000000")
            it.refuse()
            it.hang(10000)
            s = it.wait_state(lambda s: s["hanging"] == 1, 10)
            self.assertIsNotNone(s, "round %d: the worker did not enter the held call" % i)
            proc = it.proc
            it.close()
            proc.kill()  # SIGKILL: no clean-up of its own
            proc.wait(10)
            it.proc = None
            yard.command("release")

        self.run_loop("itunes", kill_round, wine_keeps=yard.usage, quiet_s=ITUNES_QUIET_S)
        strays = [p for p in fullpanel.find_pids(self.env["WINEPREFIX"], "iTunes.exe")
                  if not _zombie(p)]
        self.assertEqual(strays, [], "iTunes.exe processes the loop left behind")
        # Back once more: the applet still connects.
        player_up()

    # -- 6. SpeedFan's record vanishing ------------------------------------------------------

    def test_6_speedfan_mapping(self):
        sf = self.sf
        self.cleanup.append(sf.stop)
        titles = ("FAN", "CLK")

        def up():
            sf.start()
            sf.readings(temps=[4520, 3810], fans=[2250], volts=[1184])

        up()
        self.wait_slot_title(FAN_SLOT, "FAN", 15, titles)

        # Every fourth round the program itself is killed (the record goes with it);
        # the others close and reopen the record.
        def one_round(i):
            if i % 4 == 3:
                sf.kill()
            else:
                sf.close()
            self.wait_slot_title(FAN_SLOT, "CLK", 10, titles)
            if i % 4 == 3:
                up()
            else:
                sf.open()
            self.wait_slot_title(FAN_SLOT, "FAN", 10, titles)

        self.run_loop("speedfan", one_round)

    # -- 7. hung windows ended by a long press ------------------------------------------------

    def test_7_hung_window_ended(self):
        titles = ("RIP", "STW")
        windows = []
        self.cleanup.append(lambda: [w.stop() for w in windows])
        rip0 = [l for l in self.a.errors() if "src/mod_rip" in l]

        def one_round(i):
            w = hung.HungApp(self.env, harness.BUILD, index=0).start()
            windows.append(w)
            w.set_title(b"Game %d" % i)
            w.hang()
            self.wait_slot_title(RIP_SLOT, "RIP", 30, titles)
            self.vg.press(RIP_SLOT, 900)
            code = w.wait_exit(15)
            self.assertEqual(code, 0, "round %d: stand-in exit code: got %s, expected 0" % (
                i, code))
            w.stop()
            windows.remove(w)
            self.wait_slot_title(RIP_SLOT, "STW", 10, titles)

        self.run_loop("hung", one_round)
        self.assertEqual([l for l in self.a.errors() if "src/mod_rip" in l], rip0,
                         "a successful end logs nothing")


class ComClient:
    """comclient.exe (tests/e2e/comclient.cpp): a minimal COM client of a class with an
    event interface, driven line by line; usage() is (handles, RSS kB) of its process."""

    def __init__(self, env, class_id, events_id):
        self.env = env
        self.proc = subprocess.Popen(
            harness.vg15.wine_command(env) + [harness.win_binary("comclient.exe"), class_id,
                                              events_id],
            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL)
        self.pid = int(self._line(30).split()[1])

    def _line(self, timeout):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        if not ready:
            raise AssertionError("comclient: no answer within %s s" % timeout)
        return self.proc.stdout.readline().decode("latin-1").strip()

    def command(self, text, timeout=30):
        self.proc.stdin.write(text.encode("latin-1") + b"\n")
        self.proc.stdin.flush()
        return self._line(timeout)

    def usage(self):
        c = harness.win_counts(self.env, self.pid)
        if c is None:
            raise AssertionError("comclient's counts could not be read")
        return c[0], fullpanel.rss_kb(self.proc.pid)

    def close(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(15)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait(10)
        self.proc.stdout.close()


def shared_rss_kb(pid, others):
    """Resident kB of pid's shared file mappings that one of the processes `others` maps
    too (same device and inode)."""
    files = set()
    for o in others:
        try:
            with open("/proc/%d/maps" % o) as f:
                for line in f:
                    w = line.split()
                    if len(w) >= 5 and w[1][3] == "s" and w[4] != "0":
                        files.add((w[3], w[4]))
        except OSError:
            pass
    total = 0
    counting = False
    try:
        with open("/proc/%d/smaps" % pid) as f:
            for line in f:
                w = line.split()
                if not w:
                    continue
                if not w[0].endswith(":"):  # a mapping's first line
                    counting = (len(w) >= 5 and w[1][3] == "s" and (w[3], w[4]) in files)
                elif counting and w[0] == "Rss:":
                    total += int(w[1])
    except OSError:
        pass
    return total


def _zombie(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


if __name__ == "__main__":
    harness.main()
