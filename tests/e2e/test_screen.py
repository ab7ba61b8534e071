"""What the panel shows, pixel for pixel, under Wine against the virtual G15: the
start-up banner and the settings warning, the slot frames and titles, rotation with
Ctrl, the stopwatch driven by short and long presses, the world clock against the
host's time-zone database, the CPU/memory meter and the top line."""

import datetime
import subprocess
import time
import zoneinfo

import harness
from harness import E2E, region_diff, render

TEXT_LARGE = 0x01
SYMBOL_WIDTH = {"0": 4, "1": 2, "2": 4, "3": 4, "4": 4, "5": 4, "6": 4, "7": 4, "8": 4, "9": 4,
                "A": 5, "C": 5, "E": 5, "F": 5, "G": 5, "I": 2, "K": 5, "L": 5, "M": 6, "N": 5,
                "O": 5, "P": 5, "R": 5, "S": 5, "T": 4, "U": 5, "W": 6, ".": 2, " ": 1}
SLOT_X = (0, 40, 81, 121)
BANNER = "LCDKorvane 2.6.7"

LABEL_BLOCK = """\
.XXXXXXXXXXXXXXXXX.
XX....X....XX.XXX.X
X.XXXXX.XXX.X.XXX.X
X.XXXXX....XX.XXX.X
X.XXXXX.XXXXX.XXX.X
XX....X.XXXXXX...XX
.XXXXXXXXXXXXXXXXX.
X.XXX.X.....X.XXX.X
X..X..X.XXXXX..X..X
X.X.X.X...XXX.X.X.X
X.XXX.X.XXXXX.XXX.X
X.XXX.X.....X.XXX.X
.XXXXXXXXXXXXXXXXX."""

# The frame lines (rows 8, 14 and 20 from column 2) are drawn over the block.
LABEL_WITH_LINES = "\n".join(r[:18] + ("X" if i in (0, 6, 12) else r[18])
                              for i, r in enumerate(LABEL_BLOCK.split("\n")))


def memory_load(env):
    """Percent of physical memory in use, as Windows programs of the flavour under test
    are told (GlobalMemoryStatus through winprobe). Under qemu-user a 32-bit program is
    told nonsense above 100 on a host with more than 4 GB (the memory sizes are cut to
    32 bits), which the meter must show as a full bar."""
    rc, out = harness.probe(env, "memload")
    if rc != 0 or not out.startswith("memload "):
        raise AssertionError("winprobe memload: got %r (exit %s)" % (out, rc))
    return int(out.split()[1])


def processor_count(env):
    """The processors Windows programs are told of (GetSystemInfo through winprobe),
    the count the meter lays its bars out by."""
    rc, out = harness.probe(env, "cpus")
    if rc != 0 or not out.startswith("cpus "):
        raise AssertionError("winprobe cpus: got %r (exit %s)" % (out, rc))
    return int(out.split()[1])


def cpu_bars(n):
    """The meter's first and last processor bar for n processors: (name, the processors
    it shows, row, first and last column counted). One to three processors: full-width
    bars, processor 0 in row 10 and the last one in row 12 (one processor: both). Four
    and more: four half bars of up to 30 pixels, processor p in group p * 4 // n; group
    0 grows rightwards in row 10 from column 19, group 3 leftwards in row 12 to column 78
    (the right edge, lit anyway, so counted up to 77)."""
    if n <= 3:
        return [("first", [0], 10, 19, 77), ("last", [n - 1], 12, 19, 77)]
    groups = [[p for p in range(n) if p * 4 // n == g] for g in (0, 3)]
    return [("first", groups[0], 10, 19, 48), ("last", groups[1], 12, 49, 77)]


def processor_times():
    """{processor: (busy, total)} in clock ticks from the host's /proc/stat."""
    out = {}
    with open("/proc/stat") as f:
        for line in f:
            name, *fields = line.split()
            if name.startswith("cpu") and name[3:].isdigit():
                ticks = [int(v) for v in fields[:8]]
                idle = ticks[3] + ticks[4]  # idle and waiting for I/O
                out[int(name[3:])] = (sum(ticks) - idle, sum(ticks))
    return out


def busy_share(before, after, procs):
    """The share of time (0..1) procs were busy between two readings, on average."""
    busy = sum(after[p][0] - before[p][0] for p in procs)
    total = sum(after[p][1] - before[p][1] for p in procs)
    return busy / total if total > 0 else 1.0


def bar_lit(frame, row, x0, x1):
    return sum(1 for c in range(x0, x1 + 1) if frame.pixels[row * 160 + c])


def slot_frame(title, x, y=22):
    """The slot frame with its title tab, as every module draws it."""
    px = bytearray(render(("text", 0x26, x + 1, y + 1, title)))
    w = sum(SYMBOL_WIDTH.get(c, 3) for c in title)
    for c in range(x + 1, x + 38):
        px[y * 160 + c] = 255
    for r in range(y + 1, min(y + 21, 43)):
        px[r * 160 + x] = px[r * 160 + x + 38] = 255
    for c in range(x + 1, x + w + 1):
        px[(y + 6) * 160 + c] = 255
    return bytes(px)


def band_is(frame_pixels, expected):
    return region_diff(frame_pixels, expected, 0, 8, 159, 20) is None


class Screen(E2E):

    def _frames_for(self, seconds):
        frames = []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            frames += self.vg.frames_since()
            time.sleep(0.3)
        return frames + self.vg.frames_since()

    def test_banner_after_each_connection_then_the_meter(self):
        banner = render((TEXT_LARGE, 0, 8, BANNER))
        self.applet("animate_start 0\n")
        opened = None
        for connection in range(2):
            if opened is None:
                first = self.first_frame()
                frames = [first] + self._frames_for(3.0)
            else:
                frames = [f for f in self._frames_for(3.5)
                          if ((f.tick - opened["tick"]) & 0xFFFFFFFF) < 0x80000000]
                first = frames[0]
            self.assertTrue(band_is(first.pixels, banner),
                            "connection %d: first frame band is not the banner:\n%s" % (
                                connection, region_diff(first.pixels, banner, 0, 8, 159, 20)))
            free = [f for f in frames if not band_is(f.pixels, banner)]
            self.assertTrue(free, "connection %d: the banner never went away" % connection)
            secs = ((free[0].tick - first.tick) & 0xFFFFFFFF) / 1000.0
            self.assertTrue(2.0 <= secs <= 2.5,
                            "connection %d: banner shown %.2f s, expected about 2.1 to 2.3" % (
                                connection, secs))
            self.assertTrue(all(not band_is(f.pixels, banner) for f in frames if f.seq > free[0].seq),
                            "connection %d: the banner came back" % connection)
            last = frames[-1]
            self.assertFalse(band_is(last.pixels, banner), "the band is free after the banner")
            label = "\n".join("".join("X" if last.pixels[(8 + r) * 160 + c] else "."
                                      for c in range(19)) for r in range(13))
            self.assertEqual(label, LABEL_WITH_LINES, "the meter's label block after the banner")
            if connection == 0:
                since = self.vg.state()["event_seq"]
                self.vg.fault_update(1167, 1)  # the device goes away once: reconnect
                opened = self.wait_event("open", since, 5, lambda e: e["result"] == 0)
                self.assertIsNotNone(opened, "got no reconnection")

    def test_missing_settings_file_warns_before_the_banner(self):
        warning = render((TEXT_LARGE, 0, 8, "Warning: Cannot open settings file 'lcdkorvane.txt'"))
        banner = render((TEXT_LARGE, 0, 8, BANNER))
        self.applet(settings=None)
        first = self.first_frame()
        self.assertTrue(band_is(first.pixels, warning),
                        "first frame: %s" % region_diff(first.pixels, warning, 0, 8, 159, 20))
        deadline = time.monotonic() + 30
        seen = False
        while time.monotonic() < deadline and not seen:
            seen = any(band_is(f.pixels, banner) for f in self.vg.frames_since())
            time.sleep(0.3)
        self.assertTrue(seen, "the banner follows the warning")

    def test_slot_frames_titles_and_an_empty_slot(self):
        self.applet("animate_start 0\nslot_0 STW\nslot_1 CLK\nslot_2 TS2\nslot_3 STW\n")
        f = self.first_frame()
        for i, title in ((0, "STW"), (1, "CLK"), (3, "STW")):
            x = SLOT_X[i]
            exp = slot_frame(title, x)
            for box in ((x, 22, x + 38, 28), (x, 22, x, 42), (x + 38, 22, x + 38, 42)):
                d = region_diff(f.pixels, exp, *box)
                self.assertIsNone(d, "slot %d %s: %s" % (i, title, d))
        x = SLOT_X[2]
        lit = sum(1 for r in range(22, 43) for c in range(x, x + 39) if f.pixels[r * 160 + c])
        self.assertEqual(lit, 0, "slot 2 (only TS2, not running): got %d lit pixels, expected 0" % lit)

    def _title(self, f, i):
        for title in ("STW", "CLK"):
            if region_diff(f.pixels, slot_frame(title, SLOT_X[i]), SLOT_X[i], 22,
                           SLOT_X[i] + 38, 28) is None:
                return title
        return None

    def test_ctrl_and_a_soft_button_rotate_the_slot(self):
        self.applet("animate_start 0\nslot_0 STW CLK\nslot_1 STW CLK\n")
        self.assertEqual(self._title(self.first_frame(), 0), "STW")
        for expected in ("CLK", "STW", "CLK"):
            self.vg.press(0, 300, ctrl=True)
            time.sleep(0.4)
            f = self.next_frame()
            self.assertEqual(self._title(f, 0), expected, "slot 0 after Ctrl + button 1")
            self.assertEqual(self._title(f, 1), "STW", "slot 1 is not moved")

    def _lower(self, f, i):
        return harness.region(f.pixels, SLOT_X[i], 36, SLOT_X[i] + 38, 42)

    def test_stopwatch_short_and_long_presses(self):
        self.applet("animate_start 0\nslot_3 STW\n")
        f = self.first_frame()
        zero = render(("right", 121, 36, "00:00.0"))
        self.assertIsNone(region_diff(f.pixels, zero, 122, 36, 158, 42), "starts at 00:00.0")
        self.vg.press(3, 300)  # start
        time.sleep(0.5)
        a = self.next_frame()
        time.sleep(0.5)
        b = self.next_frame()
        self.assertNotEqual(self._lower(a, 3), self._lower(b, 3), "running after a short press")
        self.assertIsNotNone(region_diff(b.pixels, zero, 122, 36, 158, 42))
        self.vg.press(3, 300)  # lap: the shown time stands still
        time.sleep(0.4)
        a = self.next_frame()
        time.sleep(0.6)
        b = self.next_frame()
        self.assertEqual(self._lower(a, 3), self._lower(b, 3), "frozen in the lap state")
        press = self.vg.press(3, 2000, wait=False)  # long: reset at 500 ms, nothing at release
        time.sleep(1.0)
        f = self.next_frame()
        self.assertIsNone(region_diff(f.pixels, zero, 122, 36, 158, 42), "reset while still held")
        press.join()
        time.sleep(0.8)
        f = self.next_frame()
        self.assertIsNone(region_diff(f.pixels, zero, 122, 36, 158, 42),
                          "still 00:00.0 after the release of a long press")

    def test_world_clock_matches_the_host_time_zone_database(self):
        zones = (("UTC", "UTC", "UTC"), ("CET", "Europe/Berlin", "CEDT"),
                 ("JST", "Asia/Tokyo", "JDT"), ("NZST", "Pacific/Auckland", "NZDT"))
        self.applet("animate_start 0\nworldtime_list UTC CET JST NZST\n"
                    "slot_0 CLK\nslot_1 CLK+\nslot_2 CLK++\nslot_3 CLK+++\n")
        self.first_frame()
        time.sleep(0.5)
        for attempt in range(3):
            before = datetime.datetime.now(datetime.timezone.utc)
            f = self.next_frame()
            after = datetime.datetime.now(datetime.timezone.utc)
            if before.minute == after.minute:
                break
        now = before
        for i, (std, tzname, dlt) in enumerate(zones):
            local = now.astimezone(zoneinfo.ZoneInfo(tzname))
            in_dst = bool(local.dst())
            abbr = dlt if in_dst else std
            exp = render(("right", SLOT_X[i], 29, abbr), ("right", SLOT_X[i], 36,
                                                           local.strftime("%H:%M")))
            d = region_diff(f.pixels, exp, SLOT_X[i] + 1, 29, SLOT_X[i] + 37, 42)
            self.assertIsNone(d, "slot %d, %s at %s (%s): %s" % (i, tzname, local.strftime("%H:%M"),
                                                                  abbr, d))
        # A short press steps slot 0 from UTC to CET.
        self.vg.press(0, 200)
        time.sleep(0.5)
        f = self.next_frame()
        local = datetime.datetime.now(datetime.timezone.utc).astimezone(
            zoneinfo.ZoneInfo("Europe/Berlin"))
        exp = render(("right", 0, 29, "CEDT" if local.dst() else "CET"),
                     ("right", 0, 36, local.strftime("%H:%M")))
        self.assertIsNone(region_diff(f.pixels, exp, 1, 29, 37, 42), "slot 0 after a short press")

    def _bar(self, f, row):
        return sum(1 for c in range(19, 78) if f.pixels[row * 160 + c])

    def test_cpu_meter_frame_and_a_busy_core(self):
        self.applet("animate_start 0\n")
        self.first_frame()
        time.sleep(2.5)  # past the banner
        f = self.next_frame()
        for row in (8, 14, 20):
            got = [c for c in range(2, 78) if not f.pixels[row * 160 + c]]
            self.assertEqual(got, [], "frame line row %d: unlit columns %s" % (row, got))
        for row in list(range(9, 14)) + list(range(15, 20)):
            self.assertEqual(f.pixels[row * 160 + 78], 255, "right edge at row %d" % row)
        expected = min(memory_load(self.env), 100) * 59 // 100
        for row in (16, 17, 18):
            got = self._bar(f, row)
            self.assertLessEqual(abs(got - expected), 2, "memory bar row %d: got %d pixels, "
                                 "expected about %d" % (row, got, expected))
        n = processor_count(self.env)
        bars = cpu_bars(n)
        # Each bar in turn with its own processors busy: it must be long (a meter that
        # shows nothing fails here). The other bar must then stay near what the host
        # measured for its processors meanwhile, not show the load (a meter that shows
        # another processor in a bar's place fails here); on a host whose processors are
        # all busy with other work that cannot be told.
        told = 0
        for (name, procs, row, x0, x1), other in ((bars[0], bars[1]), (bars[1], bars[0])):
            full = x1 - x0 + 1
            busy = [subprocess.Popen(["taskset", "-c", str(p), "python3", "-c",
                                      "while True: pass"]) for p in procs]
            try:
                time.sleep(1.5)
                ended = [p for p, b in zip(procs, busy) if b.poll() is not None]
                self.assertEqual(ended, [], "the load pinned to processors %s ended" % ended)
                self.vg.frames_since()
                before = processor_times()
                time.sleep(1.0)
                frames = self.vg.frames_since()
                others_busy = busy_share(before, processor_times(), other[1])
            finally:
                for b in busy:
                    b.kill()
                    b.wait(5)
            self.assertTrue(frames, "got no frames while processors %s were busy" % procs)
            lengths = [bar_lit(x, row, x0, x1) for x in frames]
            self.assertGreaterEqual(
                min(lengths), full * 3 // 4,
                "%d processors, %s busy (the %s bar: row %d, columns %d-%d): got lit lengths "
                "%s, expected at least %d of %d" % (n, procs, name, row, x0, x1, lengths,
                                                   full * 3 // 4, full))
            if other[1] != procs and others_busy < 0.7:
                told += 1
                oname, oprocs, orow, ox0, ox1 = other
                ofull = ox1 - ox0 + 1
                olengths = [bar_lit(x, orow, ox0, ox1) for x in frames]
                limit = ofull * (others_busy + 0.25)
                self.assertLessEqual(
                    sum(olengths) / len(olengths), limit,
                    "%d processors, %s busy and %s %.0f %% busy: the %s bar (row %d) got lit "
                    "lengths %s, expected a mean of at most %.0f" % (
                        n, procs, oprocs, 100 * others_busy, oname, orow, olengths, limit))
            time.sleep(1.0)  # the three-sample history forgets the load
        if told == 0 and bars[0][1] != bars[1][1]:
            print("\n  (the host's processors were all busy: the bars' processors not told "
                  "apart)", end=" ")

    def test_top_line_date_and_time(self):
        self.applet("animate_start 0\n")
        self.first_frame()
        for attempt in range(3):
            before = datetime.datetime.now()
            f = self.next_frame()
            after = datetime.datetime.now()
            if before.second == after.second:
                break
        date = before.strftime("%a %Y-%m-%d")
        exp = render(("text", 0, 0, 0, date), ("rtext", 0, 161, 0, before.strftime("%H:%M:%S")))
        d = region_diff(f.pixels, exp, 0, 0, 159, 7)
        self.assertIsNone(d, "top line at %s: %s" % (before, d))


if __name__ == "__main__":
    harness.main()
