"""The network meter under Wine against the stand-in network driver (netdrv.sys): the
panel's figures and bars, the NET graphs and totals, pixel for pixel from the traffic
the tests drive, for the TCP device source ("net_method tdi"), the NDIS source
("net_method ndis") and the operating system's choice; the reset notice; a card that
cannot open at start-up; no driver at all.

The driver adds a fixed step to a counter at every statistics query, so every sample
of the applet holds exactly the steps of the interfaces or cards it read. The rate on
the panel also depends on the applet's sampling intervals, which the test cannot see:
a panel is accepted when it is exactly the picture of a rate the rules give for some
plausible window (2 to 4 samples spanning just over one second)."""

import os
import sys
import time

import harness
import vg15
from harness import E2E, region_diff, render

sys.path.insert(0, os.path.join(harness.REPO, "standins", "netdrv"))
import netdrv  # noqa: E402

TEXT_LARGE = 0x01
TEXT_INVERT = 0x02
TEXT_SYMBOLS = 0x20
SLOT_X = (0, 40, 81, 121)
SLOT_Y = 22
SYMBOL_WIDTH = {"0": 4, "1": 2, "2": 4, "3": 4, "4": 4, "5": 4, "6": 4, "7": 4, "8": 4, "9": 4,
                "A": 5, "C": 5, "E": 5, "F": 5, "G": 5, "I": 2, "K": 5, "L": 5, "M": 6, "N": 5,
                "O": 5, "P": 5, "R": 5, "S": 5, "T": 4, "U": 5, "W": 6, ".": 2, " ": 1}


def format_bytes(v):
    """The applet's compact byte count (same table)."""
    K, M, G, T, P, E = (1 << 10, 1 << 20, 1 << 30, 1 << 40, 1 << 50, 1 << 60)
    hi, lo = v >> 32, v & 0xFFFFFFFF

    def short(t, unit):
        return "%d.%d%s" % (t // 10, t % 10, unit)

    if v >= 10 * E:
        return "%d%s" % (hi >> 28, "E")
    if v >= 1000 * P:
        return short(((hi >> 18) * 10) >> 10, "E")
    if v >= 10 * P:
        return "%dP" % (hi >> 18)
    if v >= 1000 * T:
        return short((hi * 10) >> 18, "P")
    if v >= 10 * T:
        return "%dT" % (hi >> 8)
    if v >= 1000 * G:
        return short((hi * 10) >> 8, "T")
    if v >= 10 * G:
        return "%dG" % (v >> 30)
    if v >= 1 << 32:
        return short((v * 10) >> 30, "G")
    if v >= 1000 * M:
        m = lo >> 20
        return "%d.%dG" % (m >> 10, ((m & 1023) * 10) >> 10)
    if 1000 * K <= v < 10 * M:
        k = lo >> 10
        return "%d.%dM" % (k >> 10, ((k & 1023) * 10) >> 10)
    if v >= 10 * M:
        return "%dM" % (lo >> 20)
    if v < 10 * K:
        return "%d.%dK" % (lo >> 10, ((lo & 1023) * 10) >> 10)
    return "%dK" % (lo >> 10)


class FormatBytes(harness.unittest.TestCase):
    """The test's copy of the table against the applet's own examples."""

    def test_examples(self):
        for v, text in ((0, "0.0K"), (1536, "1.5K"), (10 * 1024 - 1, "9.9K"), (10 * 1024, "10K"),
                        (1000 * 1024 - 1, "999K"), (1000 * 1024, "0.9M"), (10 << 20, "10M"),
                        (1000 << 20, "0.9G"), ((1 << 32) - 1, "3.9G"), ((10 << 30) - 1, "9.9G"),
                        (10 << 30, "10G"), (1000 << 30, "0.9T")):
            self.assertEqual(format_bytes(v), text, "format_bytes(%d)" % v)


# ---- expected pictures -------------------------------------------------------------------

_cache = {}


def cached_render(*commands):
    if commands not in _cache:
        _cache[commands] = render(*commands)
    return _cache[commands]


def panel_picture(in_text, out_text, in_len, out_len):
    """The panel (rows 8..20, columns 81..159) as the rules draw it: the black blocks
    with the figures cut out of them (white figures ending at column 99), the frame
    lines and the bars."""
    glyphs = cached_render(("rtext", TEXT_SYMBOLS, 100, 9, in_text),
                           ("rtext", TEXT_SYMBOLS, 100, 15, out_text))
    block = [" XXXXXXXXXXXXXXXXX "] + ["X" * 19] * 5 + [" XXXXXXXXXXXXXXXXX "] + \
        ["X" * 19] * 5 + [" XXXXXXXXXXXXXXXXX "]
    out = bytearray(160 * 43)
    for r in range(13):
        for c in range(19):
            if block[r][c] == "X":
                out[(8 + r) * 160 + 81 + c] = 255
    for y in (8, 14, 20):
        for c in range(82, 159):
            out[y * 160 + c] = 255
    for y in list(range(9, 14)) + list(range(15, 20)):
        out[y * 160 + 81] = out[y * 160 + 159] = 255
    for i, b in enumerate(glyphs):
        if b:
            out[i] = 0
    for rows, n in (((10, 11, 12), in_len), ((16, 17, 18), out_len)):
        for y in rows:
            for c in range(100, 100 + n):
                out[y * 160 + c] = 255
    return bytes(out)


def bar_length(rate, top):
    if top == 0 or rate == 0:
        return 0
    return min(rate, top) * 60 // top


def plausible_rates(per_sample):
    """Rates the rules give for `per_sample` bytes in every sample over a window of one
    to three samples whose intervals add up to just over 1000 ms. The sampling period
    is 500 ms, but under Wine through qemu on a busy machine a frame that asks the
    driver dozens of times can take far longer, so the window's span is left wide."""
    rates = set()
    for k, top in ((1, 4000), (2, 4000), (3, 2500)):
        for s in range(1001, top + 1):
            rates.add(per_sample * k * 1000 // s)
    return rates


def slot_frame(title, x, y=SLOT_Y):
    """The slot frame with its title tab, as every module draws it."""
    px = bytearray(cached_render(("text", 0x26, x + 1, y + 1, title)))
    w = sum(SYMBOL_WIDTH.get(c, 3) for c in title)
    for c in range(x + 1, x + 38):
        px[y * 160 + c] = 255
    for r in range(y + 1, min(y + 21, 43)):
        px[r * 160 + x] = px[r * 160 + x + 38] = 255
    for c in range(x + 1, x + w + 1):
        px[(y + 6) * 160 + c] = 255
    return px


def graph_picture(x, send, heights):
    """A NET graph slot: heights[i] is the column of history entry i (0 newest)."""
    px = slot_frame("NET", x)
    label = cached_render(("text", TEXT_SYMBOLS, x + (24 if send else 31), SLOT_Y + 2,
                           "OUT" if send else "IN"))
    for i, b in enumerate(label):
        if b:
            px[i] = 255
    for i, h in enumerate(heights):
        for r in range(h):
            px[(SLOT_Y + 20 - r) * 160 + x + 37 - i] = 255
    return bytes(px)


def totals_picture(x, total_in, total_out):
    px = slot_frame("NET", x)
    texts = cached_render(("text", TEXT_SYMBOLS, x + 25, SLOT_Y + 2, "TOT"),
                          ("right", x, SLOT_Y + 7, format_bytes(total_in)),
                          ("right", x, SLOT_Y + 14, format_bytes(total_out)))
    for i, b in enumerate(texts):
        if b:
            px[i] = 255
    return bytes(px)


def meter_lines(applet):
    """The network meter's lines in errors.txt."""
    return [l for l in applet.errors() if "src/ndisstats" in l]


def slot_diff(frame, expected, i):
    x = SLOT_X[i]
    return region_diff(frame.pixels, expected, x, SLOT_Y, x + 38, 42)


class Net(E2E):

    nd = None

    @classmethod
    def setUpClass(cls):
        env = harness.prefix_env()
        # The prefix's services come up with the first program: let that be this one,
        # so the virtual G15 does not spend its start-up time on them.
        vg15.run_wine(env, ["cmd", "/c", "exit"], timeout=300)
        cls.nd = netdrv.NetDriver(env, harness.BUILD)
        cls.nd.install()
        cls.nd.start_control()
        cls.nd.start_driver()
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        try:
            if cls.nd:
                cls.nd.stop_control()
        finally:
            super().tearDownClass()

    def setUp(self):
        super().setUp()
        if not self.nd.ping_driver():
            self.nd.start_driver()
        self.nd.reset(hide_host=True)

    # -- helpers ------------------------------------------------------------------------

    def frames_for(self, seconds):
        frames = []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            frames += self.vg.frames_since()
            time.sleep(0.3)
        return frames + self.vg.frames_since()

    def settle(self, seconds):
        """Lets the applet run (past the banner) and drops the frames seen."""
        time.sleep(seconds)
        self.vg.frames_since()

    def check_panel(self, frames, in_per_sample, out_per_sample, max_in, max_out):
        """Every frame's panel is exactly the picture of plausible rates; returns the
        (receive figure, send figure, receive bar, send bar) seen."""
        in_rates = plausible_rates(in_per_sample)
        out_rates = plausible_rates(out_per_sample)
        # The figures change on the one-second tick only: until the first tick after
        # the banner they are still empty.
        texts_in = sorted({format_bytes(r) for r in in_rates} | {""})
        texts_out = sorted({format_bytes(r) for r in out_rates} | {""})
        lens_in = {bar_length(r, max_in) for r in in_rates}
        lens_out = {bar_length(r, max_out) for r in out_rates}
        seen = set()
        for f in frames:
            # The bars as drawn (column 159 is the box's edge: 59 lit may be 59 or 60).
            got_in = sum(1 for c in range(100, 159) if f.pixels[10 * 160 + c])
            got_out = sum(1 for c in range(100, 159) if f.pixels[16 * 160 + c])
            cand_in = [n for n in ({got_in, 60} if got_in == 59 else {got_in}) if n in lens_in]
            cand_out = [n for n in ({got_out, 60} if got_out == 59 else {got_out})
                        if n in lens_out]
            match = None
            for ti in texts_in:
                for to in texts_out:
                    for li in cand_in:
                        for lo in cand_out:
                            exp = panel_picture(ti, to, li, lo)
                            if region_diff(f.pixels, exp, 81, 8, 159, 20) is None:
                                match = (ti, to, li, lo)
            if match is None:
                self.fail("frame %d: the panel is no plausible picture for %d / %d bytes a "
                          "sample (figures %s / %s, bars %s / %s; bars drawn %d / %d):\n%s" % (
                              f.seq, in_per_sample, out_per_sample, texts_in, texts_out,
                              sorted(lens_in), sorted(lens_out), got_in, got_out,
                              region_diff(f.pixels, panel_picture(texts_in[0], texts_out[0],
                                                                  got_in, got_out),
                                          81, 8, 159, 20)))
            seen.add(match)
        return seen

    def check_graph(self, frames, slot, send, per_sample, top):
        """Every frame's graph: the newest n columns at the sample's height (n grows
        with the samples taken), the rest empty."""
        h = min(per_sample * 26 // top, 13)
        for f in frames:
            ok = any(slot_diff(f, graph_picture(SLOT_X[slot], send, [h] * n), slot) is None
                     for n in range(0, 38))
            if not ok:
                self.fail("frame %d slot %d: not a graph of %d-row columns:\n%s" % (
                    f.seq, slot, h, slot_diff(f, graph_picture(SLOT_X[slot], send, [h] * 37),
                                              slot)))

    def wait_totals(self, slot, total_in, total_out, timeout=6.0):
        exp = totals_picture(SLOT_X[slot], total_in, total_out)
        deadline = time.monotonic() + timeout
        last = None
        while time.monotonic() < deadline:
            last = self.next_frame()
            if slot_diff(last, exp, slot) is None:
                return
            time.sleep(0.2)
        self.fail("slot %d totals: expected %s / %s:\n%s" % (
            slot, format_bytes(total_in), format_bytes(total_out), slot_diff(last, exp, slot)))

    def wait_notice(self, text, timeout=5.0):
        exp = render((TEXT_LARGE, 0, 8, text))
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for f in self.vg.frames_since():
                if region_diff(f.pixels, exp, 0, 8, 159, 20) is None:
                    return f
            time.sleep(0.2)
        self.fail("no notice '%s' within %s s" % (text, timeout))

    def long_press(self, button):
        self.vg.press(button, 800)

    # -- tests ------------------------------------------------------------------------

    def test_ndis_panel_graphs_totals_and_reset(self):
        nd = self.nd
        # Card 0: 2 KiB in and 512 bytes out a reading; card 1: 1 KiB in.
        nd.add_card(0, "80", "{KNET-0}", "KorvaneEther0", in_=123456789, out=5000,
                    step_in=2048, step_out=512)
        nd.add_card(1, "81", "{KNET-1}", "KorvaneEther1", step_in=1024)
        a = self.applet("animate_start 0\nnet_method ndis\nnet_max_in 12288\nnet_max_out 2048\n"
                        "slot_0 NET\nslot_1 NET+\nslot_2 NET++\nslot_3 NET\n")
        self.first_frame()
        self.settle(3.0)
        frames = self.frames_for(3.0)
        self.assertTrue(frames, "got no frames")
        seen = self.check_panel(frames, 3072, 512, 12288, 2048)
        self.check_graph(frames, 0, True, 512, 2048)
        self.check_graph(frames, 1, False, 3072, 12288)
        harness.save_png(frames[-1].pixels, os.path.join(harness.BUILD, "frame-net.png"))
        self.assertTrue(any(s[0] for s in seen), "got no receive figure: %s" % sorted(seen))

        # Stop the traffic: the totals are what the counters moved after the baseline.
        nd.still(cards=(0, 1))
        time.sleep(1.2)
        st = nd.status()
        total_in = (st["cin"][0] - 123456789 - 2048) + (st["cin"][1] - 1024)
        total_out = st["cout"][0] - 5000 - 512
        self.assertGreater(total_in, 0)
        self.wait_totals(2, total_in, total_out)
        # After the traffic stops the panel reads 0.0K with no bars.
        time.sleep(1.5)
        f = self.next_frame()
        self.assertIsNone(region_diff(f.pixels, panel_picture("0.0K", "0.0K", 0, 0), 81, 8, 159,
                                      20), "panel without traffic")

        # A long press on a NET slot: totals to 0 and the notice.
        self.long_press(2)
        self.wait_notice("Net counters reset. [NDIS x 2]")
        self.wait_totals(2, 0, 0)
        self.assertEqual(meter_lines(a), [], "nothing logged")

    def test_tdi_wrap_thirty_three_interfaces_and_reset(self):
        nd = self.nd
        # Interface 1 wraps past 2^32 within a few readings; interfaces 2..32 are quiet;
        # the 33rd carries traffic the meter must not count.
        nd.set_if(1, index=7, in_=(1 << 32) - 3 * 4000, out=(1 << 32) - 1000, step_in=4000,
                  step_out=700)
        for i in range(2, 34):
            nd.set_if(i, index=100 + i, step_in=50000 if i == 33 else 0)
        a = self.applet("animate_start 0\nnet_method tdi\nnet_max_in 16000\nnet_max_out 2800\n"
                        "slot_0 NET\nslot_1 NET+\nslot_2 NET++\n")
        self.first_frame()
        self.settle(3.0)
        frames = self.frames_for(3.0)
        self.check_panel(frames, 4000, 700, 16000, 2800)
        self.check_graph(frames, 0, True, 700, 2800)
        self.check_graph(frames, 1, False, 4000, 16000)
        nd.still(ifs=(1, 33))
        time.sleep(1.2)
        st = nd.status()
        total_in = st["ifin"][1] - ((1 << 32) - 3 * 4000) - 4000
        total_out = st["ifout"][1] - ((1 << 32) - 1000) - 700
        self.assertGreater(st["ifin"][1], 1 << 32, "interface 1 wrapped past 2^32")
        self.wait_totals(2, total_in, total_out)
        # Loopback is not an interface with traffic; 33 test interfaces answered.
        self.long_press(0)
        self.wait_notice("Net counters reset. [TDI x 33]")
        self.assertEqual(meter_lines(a), [], "nothing logged")

    def test_default_method_late_card_logged_once_then_opened_silently(self):
        nd = self.nd
        nd.add_card(0, "80", "{KNET-0}", "KorvaneEther0", in_=3000000000, step_in=1500,
                    flags=netdrv.REFUSE)
        nd.add_card(1, "81", "{KNET-1}", "KorvaneEther1", step_out=300)
        a = self.applet("animate_start 0\nnet_max_in 6000\nnet_max_out 1200\n"
                        "slot_0 NET\nslot_1 NET+\nslot_2 NET++\n")
        self.first_frame()
        line = a.wait_error("failed to open NDIS device", 10)
        self.assertIsNotNone(line, "the card that refused to open is logged")
        self.assertIn("| failed to open NDIS device 'KorvaneEther0' at '\\\\.\\{KNET-0}'", line)
        self.settle(2.0)
        opens = nd.status()["cardopen"]
        nd.card_flags(0, 0)  # the card can be opened now
        deadline = time.monotonic() + 8
        while nd.status()["cardopen"] == opens and time.monotonic() < deadline:
            time.sleep(0.3)
        self.assertGreater(nd.status()["cardopen"], opens, "a later scan opened the card")
        self.settle(2.5)
        # Its first answer was a baseline: no 3 GB spike, every sample 1500 bytes in.
        frames = self.frames_for(2.0)
        self.check_graph(frames, 1, False, 1500, 6000)
        self.check_graph(frames, 0, True, 300, 1200)
        self.long_press(2)
        self.wait_notice("Net counters reset. [NDIS x 2]")
        errors = [l for l in a.errors() if "NDIS" in l]
        self.assertEqual(len(errors), 1, "logged once: got %s" % errors)

    def test_no_driver_nothing_logged_then_recovers(self):
        nd = self.nd
        nd.stop_driver()
        self.assertFalse(nd.ping_driver(), "the driver is stopped")
        a = self.applet("animate_start 0\nnet_method tdi\nslot_0 NET\nslot_1 NET++\n")
        self.first_frame()
        self.settle(3.0)
        f = self.next_frame()
        self.assertIsNone(region_diff(f.pixels, panel_picture("0.0K", "0.0K", 0, 0), 81, 8, 159,
                                      20), "empty meter without a driver")
        self.assertIsNone(slot_diff(f, graph_picture(SLOT_X[0], True, []), 0), "empty graph")
        self.assertIsNone(slot_diff(f, totals_picture(SLOT_X[1], 0, 0), 1), "zero totals")
        nd.start_driver()
        nd.reset(hide_host=True)
        nd.set_if(1, index=9, in_=777777777, out=55555, step_out=2048)
        self.settle(3.0)  # a re-scan opens the device and takes its baseline
        frames = self.frames_for(2.0)
        self.check_graph(frames, 0, True, 2048, 81920)
        self.assertEqual(meter_lines(a), [], "nothing logged")


if __name__ == "__main__":
    harness.main()
