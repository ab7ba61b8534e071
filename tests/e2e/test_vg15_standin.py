"""Self-test of the virtual G15 under Wine: vg15probe.exe finds the server library through
the registry like the applet does, and this test checks what LCDMon saw and what the probe
got back: exact frames, press timing, Ctrl, keys, and the result code of every fault.

    python3 tests/e2e/test_vg15_standin.py --build <windows build dir> [unittest options]
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "standins", "vg15"))
import vg15  # noqa: E402

BUILD = None
WORK = None
ENV = None
VG = None

LATENCY_MS = 60  # from a mask change to the applet's callback


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def setUpModule():
    global WORK, ENV, VG
    WORK = tempfile.mkdtemp(prefix="vg15-e2e-")
    ENV = vg15.make_prefix(os.path.join(WORK, "pfx"))
    VG = vg15.VirtualG15(ENV, port=free_port())
    VG.install(BUILD)
    VG.start_lcdmon()
    if ENV["VG15_ARCH"] != "i686":
        print("note: this host's Wine runs no 32-bit programs; testing the 64-bit build",
              file=sys.stderr)


def tearDownModule():
    if VG:
        VG.stop()
    if ENV:
        vg15.stop_wineserver(ENV)
    if WORK:
        shutil.rmtree(WORK, ignore_errors=True)


def lines_with(lines, word):
    return [ln.split() for ln in lines if ln.split()[:1] == [word]]


def probe_pid(lines):
    return int(lines_with(lines, "pid")[0][1])


def ensure_lcdmon():
    try:
        VG.hello()
    except vg15.Vg15Error:
        VG.start_lcdmon()
    VG.reset()


class Frames(unittest.TestCase):
    def setUp(self):
        ensure_lcdmon()

    def test_every_frame_arrives_exactly_in_order(self):
        before = VG.state()
        rc, lines = VG.run_probe("--frames", 6, "--interval", 100)
        self.assertEqual(rc, 0, "probe exit: got %s, expected 0\n%s" % (rc, "\n".join(lines)))
        frames = VG.frames_since(before["frame_seq"])
        self.assertEqual(len(frames), 6, "frames: got %d, expected 6" % len(frames))
        pid = probe_pid(lines)
        for k, f in enumerate(frames):
            self.assertEqual(f.seq, before["frame_seq"] + 1 + k, "sequence number")
            self.assertEqual(f.pid, pid, "frame %d sender: got %d, expected %d" % (k, f.pid, pid))
            wrong = sum(1 for a, b in zip(f.pixels, vg15.probe_frame(k)) if a != b)
            self.assertEqual(wrong, 0, "frame %d: got %d wrong pixels, expected 0" % (k, wrong))
        gaps = [b.tick - a.tick for a, b in zip(frames, frames[1:])]
        for g in gaps:
            self.assertTrue(80 <= g <= 250, "frame spacing: got %d ms, expected about 100" % g)
        after = VG.state()
        self.assertEqual(after["update_ok"] - before["update_ok"], 6, "update_ok count")
        self.assertLessEqual(abs(VG.now() - frames[-1].tick), 10000, "now() and frame ticks")

    def test_calls_are_logged_in_order_with_the_callers_pid(self):
        mark = VG.state()["event_seq"]
        rc, lines = VG.run_probe("--frames", 1)
        self.assertEqual(rc, 0, "probe exit: got %s, expected 0" % rc)
        pid = probe_pid(lines)
        got = [(e["kind"], e["b"] if e["kind"] == "enumerate" else e["a"], e["result"])
               for e in VG.events(mark) if e["pid"] == pid]
        conn = int(lines_with(lines, "connect")[0][2])
        device = int(lines_with(lines, "open")[0][3])
        expected = [("init", 0, 0), ("connect", conn, 0), ("enumerate", 1, 259),
                    ("enumerate", 0, 0), ("open", 0, 0), ("close", device, 0),
                    ("disconnect", conn, 0), ("deinit", 0, 0)]
        self.assertEqual(got, expected, "events: got %s, expected %s" % (got, expected))
        self.assertEqual(VG.state()["applet_pid"], pid, "applet pid")


class Buttons(unittest.TestCase):
    def setUp(self):
        ensure_lcdmon()

    def start_held_probe(self, hold_ms):
        mark = VG.state()["event_seq"]
        proc = VG.start_probe("--frames", 0, "--hold", hold_ms)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if any(e["kind"] == "open" and e["result"] == 0 for e in VG.events(mark)):
                return proc
            time.sleep(0.05)
        proc.kill()
        self.fail("probe did not open the device within 20 s")

    def test_presses_reach_the_callback_with_their_timing_and_ctrl(self):
        cases = [  # button, ms, ctrl
            (0, 300, False),
            (3, 700, False),
            (2, 200, True),
            (1, 0, False),  # a press shorter than the polling still gives down, then up
        ]
        proc = self.start_held_probe(5000)
        ticks = [VG.press(b, ms, ctrl) for b, ms, ctrl in cases]
        VG.key(vg15.VK_MEDIA_STOP, True)
        time.sleep(0.1)
        VG.key(vg15.VK_MEDIA_STOP, False)
        rc, lines = VG.probe_result(proc, 20)
        self.assertEqual(rc, 0, "probe exit: got %s, expected 0\n%s" % (rc, "\n".join(lines)))
        calls = [(int(w[1]), int(w[3]), int(w[4])) for w in lines_with(lines, "callback")]
        self.assertEqual(len(calls), 2 * len(cases),
                         "callbacks: got %d, expected %d: %s" % (len(calls), 2 * len(cases), calls))
        for i, ((button, ms, ctrl), (down, up)) in enumerate(zip(cases, ticks)):
            (t_down, m_down, c_down), (t_up, m_up, _) = calls[2 * i], calls[2 * i + 1]
            self.assertEqual(m_down, 1 << button, "mask at down: got %d, expected %d" % (m_down, 1 << button))
            self.assertEqual(m_up, 0, "mask at release: got %d, expected 0" % m_up)
            self.assertEqual(c_down, int(ctrl), "Ctrl at down of case %d: got %d, expected %d" % (i, c_down, ctrl))
            self.assertTrue(0 <= up - down - ms <= 20, "held: got %d ms, expected %d" % (up - down, ms))
            self.assertTrue(0 <= t_down - down <= LATENCY_MS, "down callback late by %d ms" % (t_down - down))
            self.assertTrue(abs((t_up - t_down) - ms) <= LATENCY_MS,
                            "callback spacing: got %d ms, expected %d" % (t_up - t_down, ms))
        keys = [(int(w[1]), int(w[2])) for w in lines_with(lines, "key")]
        expected = [(17, 1), (17, 0), (178, 1), (178, 0)]
        self.assertEqual(keys, expected, "key states: got %s, expected %s" % (keys, expected))

    def test_mask_at_a_given_tick(self):
        proc = self.start_held_probe(1500)
        at = VG.now() + 300
        got = VG.set_mask(0b0101, at=at)
        VG.set_mask(0)
        rc, lines = VG.probe_result(proc, 20)
        calls = [(int(w[1]), int(w[3])) for w in lines_with(lines, "callback")]
        self.assertTrue(0 <= got - at <= 15, "mask set at %d, expected %d" % (got, at))
        self.assertEqual([m for _, m in calls], [5, 0], "masks: got %s, expected [5, 0]" % calls)
        self.assertTrue(0 <= calls[0][0] - at <= LATENCY_MS, "callback at %d, mask at %d" % (calls[0][0], at))


class Faults(unittest.TestCase):
    def setUp(self):
        ensure_lcdmon()

    def test_each_fault_gives_its_result_code(self):
        cases = [  # name, faults, probe arguments, exit code, lines expected in order
            ("connect refused", [("connect", 2, -1)], [], 10, ["connect 2 -1"]),
            ("connect busy", [("connect", 259, -1)], [], 10, ["connect 259 -1"]),
            ("two devices", [("devices", 2, -1)], [], 0, ["enumerate 1 0", "open 1 0"]),
            ("no device", [("devices", 0, -1)], [], 11,
             ["enumerate 1 259", "enumerate 0 259", "open -1 87 -1"]),
            ("open fails once", [("open", 31, 1)], [], 11, ["open 0 31 -1"]),
            ("open works again", [], [], 0, ["open 0 0"]),
            ("device gone twice", [("update", 1167, 2)], ["--frames", 3], 0,
             ["update 0 1167", "update 1 1167", "update 2 0"]),
            ("update fails always", [("update", 31, -1)], ["--frames", 2], 0,
             ["update 0 31", "update 1 31"]),
        ]
        for name, faults, args, exit_code, expected in cases:
            if name != "open works again":
                VG.reset()
            for kind, value, count in faults:
                VG.fault(kind, value, count)
            rc, lines = VG.run_probe(*(args or ["--frames", 1]))
            self.assertEqual(rc, exit_code, "%s: exit got %s, expected %s\n%s" % (
                name, rc, exit_code, "\n".join(lines)))
            pos = 0
            for want in expected:
                found = [i for i, ln in enumerate(lines) if i >= pos and ln.startswith(want)]
                self.assertTrue(found, "%s: got %s, expected a line %r" % (name, lines, want))
                pos = found[0] + 1

    def test_stall_holds_one_update_for_the_given_time(self):
        VG.fault_stall(1500)
        rc, lines = VG.run_probe("--frames", 2, "--interval", 50)
        took = [(int(w[2]), int(w[3])) for w in lines_with(lines, "update")]
        self.assertEqual([r for r, _ in took], [0, 0], "update results: got %s" % took)
        self.assertTrue(1490 <= took[0][1] <= 1700, "stalled update: got %d ms, expected 1500" % took[0][1])
        self.assertLess(took[1][1], 200, "next update: got %d ms, expected no stall" % took[1][1])

    def test_late_callback_comes_after_the_close(self):
        cases = [  # name, mask, ms, in lgLcdDeInit, probe arguments, where in the probe's lines
            ("inside deinit", 6, 0, True, [], ("disconnect", "deinit")),
            ("inside deinit, 400 ms on", 9, 400, True, [], ("disconnect", "deinit")),
            ("400 ms after the close", 5, 400, False, ["--linger", 1500], ("deinit", "done")),
        ]
        for name, mask, ms, in_deinit, args, (after, before) in cases:
            VG.reset()
            VG.fault_late(mask, ms, in_deinit)
            mark = VG.state()["event_seq"]
            rc, lines = VG.run_probe("--frames", 1, *args)
            self.assertEqual(rc, 0, "%s: exit got %s, expected 0\n%s" % (name, rc, "\n".join(lines)))
            words = [ln.split()[0] for ln in lines]
            calls = [i for i, w in enumerate(words) if w == "callback"]
            self.assertEqual(len(calls), 1, "%s: got %d callbacks, expected 1\n%s" % (
                name, len(calls), "\n".join(lines)))
            call = lines[calls[0]].split()
            device = int(lines_with(lines, "open")[0][3])
            self.assertEqual((int(call[2]), int(call[3])), (device, mask),
                             "%s: callback (device, mask): got %s, expected %s" % (
                                 name, (int(call[2]), int(call[3])), (device, mask)))
            at = (words.index(after), calls[0], words.index(before))
            self.assertTrue(at[0] < at[1] < at[2], "%s: got the callback at line %d, expected "
                            "between %r (%d) and %r (%d)" % (name, at[1], after, at[0], before, at[2]))
            kinds = [(e["kind"], e["a"], e["b"]) for e in VG.events(mark)
                     if e["kind"] in ("close", "late_callback", "deinit")]
            late = ("late_callback", device, mask)
            order = [("close", device, 0), late, ("deinit", 0, 0)] if in_deinit else \
                [("close", device, 0), ("deinit", 0, 0), late]
            self.assertEqual(kinds, order, "%s: events got %s, expected %s" % (name, kinds, order))
            took = [e["result"] for e in VG.events(mark) if e["kind"] == "late_callback"][0]
            # GetTickCount steps by up to 16 ms.
            self.assertTrue(ms - 16 <= took <= ms + 300, "%s: got the call %d ms after the "
                            "close, expected %d to %d" % (name, took, ms - 16, ms + 300))
        # Taken by one close: the next run gets no callback at all.
        rc, lines = VG.run_probe("--frames", 1, "--linger", 600)
        self.assertEqual(lines_with(lines, "callback"), [], "after the late call: got callbacks")

    def test_lcdmon_exit_gives_device_gone_then_not_running(self):
        proc = VG.start_probe("--frames", 40, "--interval", 100, "--stop-on-fail")
        first = VG.wait_frame(timeout=20, since=VG.state()["frame_seq"])
        self.assertIsNotNone(first, "no frame from the probe within 20 s")
        VG.stop(255)
        rc, lines = VG.probe_result(proc, 30)
        results = [int(w[2]) for w in lines_with(lines, "update")]
        self.assertEqual(results[-1], 1167, "last update: got %s, expected 1167" % results[-1:])
        self.assertTrue(all(r == 0 for r in results[:-1]), "updates before the exit: %s" % results)
        self.assertLess(len(results), 40, "updates went on after LCDMon exited")
        rc, lines = VG.run_probe()
        self.assertEqual(rc, 10, "connect without LCDMon: exit got %s, expected 10" % rc)
        self.assertIn("connect 2 -1", lines, "connect without LCDMon: got %s" % lines)

    def test_lcdmons_started_together_leave_one_that_applets_reach(self):
        # An applet whose first LCDMon is slow to start launches another; whichever
        # copies lose must leave the winner's shared state alone.
        VG.stop()
        copies = []
        for _ in range(3):
            log = open(os.path.join(VG.install_dir, "lcdmon.log"), "ab")
            copies.append(subprocess.Popen(
                vg15.wine_command(ENV) + [os.path.join(VG.install_dir, "LCDMon.exe")],
                env=ENV, cwd=VG.install_dir, stdout=log, stderr=log,
                stdin=subprocess.DEVNULL))
            log.close()
        try:
            VG.wait_lcdmon(30)
            deadline = time.monotonic() + 20
            while sum(c.poll() is None for c in copies) > 1 and time.monotonic() < deadline:
                time.sleep(0.2)
            running = [c for c in copies if c.poll() is None]
            self.assertEqual(len(running), 1, "copies still running: got %d, expected 1 "
                             "(exit codes %s)" % (len(running), [c.poll() for c in copies]))
            answering = VG.hello()["pid"]
            recorded = VG.state()["pid"]
            self.assertEqual(recorded, answering, "shared state names LCDMon %d, the one "
                             "answering is %d" % (recorded, answering))
            rc, lines = VG.run_probe("--frames", 1)
            self.assertEqual(rc, 0, "probe exit: got %s, expected 0\n%s" % (rc, "\n".join(lines)))
            VG.proc = running[0]
        finally:
            for c in copies:
                if c is not VG.proc and c.poll() is None:
                    c.kill()
                    c.wait(10)
            if VG.proc is None or VG.proc.poll() is not None:
                VG.start_lcdmon()

    def test_relaunched_lcdmon_starts_clean(self):
        VG.fault_connect(259)
        VG.fault_devices(2)
        old = VG.hello()["pid"]
        VG.stop()
        VG.start_lcdmon()
        st = VG.state()
        self.assertNotEqual(st["pid"], old, "LCDMon pid unchanged")
        got = (st["connect_result"], st["device_count"], st["frame_seq"])
        self.assertEqual(got, (0, 1, 0), "after relaunch: got %s, expected (0, 1, 0)" % (got,))


def main():
    global BUILD
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the Windows build directory")
    args, rest = parser.parse_known_args()
    BUILD = os.path.abspath(args.build)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
