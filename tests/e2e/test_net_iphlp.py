"""The IP Helper counter source ("net_method iphlp") under Wine with real traffic.

Wine's GetIfTable2 reads the host's own interface counters, so the test makes two
network namespaces joined by a veth pair whose addresses live only inside them
(10.231.N.1 and .2 /30, never routed out), runs itself, the Wine prefix (wineserver
first) and the applet inside one of them, and sends a known number of UDP datagrams
at a known rate from the other; a bounded sink beside the applet answers each one
with a shorter datagram, so both directions carry traffic. The applet's loopback
carries the virtual G15's frames (tens of KB a second both ways), which must not
count. The expectations come from the veth's own counters in
/sys/class/net/<veth>/statistics, read during the run: the panel's figures and bars
for every frame of the steady part, the NET graphs and the totals after it, and the
reset notice "Net counters reset. [IPHLP x 1]" (the veth is the one adapter).

The outer run (root) makes the namespaces, runs the test inside the first one
(ip netns exec) and removes them in every case; without namespaces it says so and
exits with 77, which ctest reports as skipped."""

import atexit
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import harness
import vg15
from harness import E2E, region_diff, render

from test_net import (SLOT_X, SLOT_Y, TEXT_LARGE, bar_length, format_bytes, graph_picture,
                      panel_picture, totals_picture)

INSIDE = "KORVANE_NETNS_INSIDE"
SKIP_CODE = 77
PB = vg15.PORT_BASE
NS_A, NS_B = "korv%da" % PB, "korv%db" % PB
VETH_A, VETH_B = "kv%da" % PB, "kv%db" % PB
NET = "10.231.%d" % (PB // 100 % 256)
ADDR_A, ADDR_B = NET + ".1", NET + ".2"
SINK_PORT = 40000 + PB % 10000

# The traffic: one datagram of PAYLOAD bytes every GAP s from B, answered by one of
# REPLY bytes; on the wire each carries 42 more (Ethernet 14, IPv4 20, UDP 8).
PAYLOAD, REPLY, GAP, SECONDS = 1400, 300, 0.02, 8.0
COUNT = int(SECONDS / GAP)
WIRE = 42
MAX_IN, MAX_OUT = 120000, 30000  # bars about 36 and 34 columns at the nominal rates


# ---- namespaces (outer run) ------------------------------------------------------------

class NetnsUnavailable(Exception):
    pass


def ip(*args, check=True):
    r = subprocess.run(["ip"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       stdin=subprocess.DEVNULL, timeout=30)
    if check and r.returncode != 0:
        raise NetnsUnavailable("ip %s: %s" % (" ".join(args), r.stderr.decode().strip()))
    return r.stdout.decode()


def in_ns(ns, command):
    subprocess.run(["ip", "netns", "exec", ns, "sh", "-c", command], check=True, timeout=30,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)


def create_namespaces():
    if os.geteuid() != 0:
        raise NetnsUnavailable("not root")
    delete_namespaces()  # a run that was killed may have left them
    ip("netns", "add", NS_A)
    ip("netns", "add", NS_B)
    ip("link", "add", VETH_A, "netns", NS_A, "type", "veth", "peer", "name", VETH_B, "netns",
       NS_B)
    macs = {}
    for ns, dev, addr in ((NS_A, VETH_A, ADDR_A), (NS_B, VETH_B, ADDR_B)):
        # No IPv6 on the pair (no neighbour or router solicitations): the link carries
        # only the test's datagrams.
        in_ns(ns, "for f in all default %s; do echo 1 > /proc/sys/net/ipv6/conf/$f/disable_ipv6;"
                  " done" % dev)
        ip("-n", ns, "link", "set", "lo", "up")
        ip("-n", ns, "addr", "add", addr + "/30", "dev", dev)
        macs[ns] = ip("-n", ns, "-o", "link", "show", dev).split("link/ether ")[1].split()[0]
    # Fixed neighbours: no ARP on the link either.
    ip("-n", NS_A, "neigh", "replace", ADDR_B, "lladdr", macs[NS_B], "dev", VETH_A, "nud",
       "permanent")
    ip("-n", NS_B, "neigh", "replace", ADDR_A, "lladdr", macs[NS_A], "dev", VETH_B, "nud",
       "permanent")
    ip("-n", NS_A, "link", "set", VETH_A, "up")
    ip("-n", NS_B, "link", "set", VETH_B, "up")


def delete_namespaces():
    """Ends what still runs inside them (only this test's processes live there) and
    removes both; the veth pair goes with them."""
    for ns in (NS_A, NS_B):
        try:
            r = subprocess.run(["ip", "netns", "pids", ns], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, timeout=30)
            for pid in r.stdout.decode().split():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (OSError, ValueError):
                    pass
            subprocess.run(["ip", "netns", "del", ns], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30)
        except (OSError, subprocess.SubprocessError):
            pass  # no ip command: there is nothing to remove


def outer():
    argv = harness.parse_args()
    try:
        create_namespaces()
    except (NetnsUnavailable, OSError, subprocess.SubprocessError) as e:
        if os.geteuid() == 0:
            delete_namespaces()
        print("SKIPPED: network namespaces cannot be created here (%s); the IP Helper test "
              "needs two of them joined by a veth pair" % e, flush=True)
        return SKIP_CODE
    atexit.register(delete_namespaces)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    # Every Wine process of the prefix must run inside the namespace: none may be left
    # from an earlier test, or the programs would join its wineserver outside.
    prefix_env = vg15.wine_env(os.path.join(harness.BUILD, "e2e-prefix"))
    vg15.stop_wineserver(prefix_env)
    env = dict(os.environ)
    env[INSIDE] = NS_A
    try:
        return subprocess.call(["ip", "netns", "exec", NS_A, sys.executable,
                                os.path.abspath(__file__), "--build", harness.BUILD] + argv[1:],
                               env=env, timeout=1700)
    finally:
        vg15.stop_wineserver(prefix_env)
        delete_namespaces()


# ---- traffic (inside) ------------------------------------------------------------------

SENDER = r"""
import socket, sys, time
addr, port, count, size, gap = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
payload = b"k" * size
t0 = time.monotonic()
for i in range(count):
    d = t0 + i * gap - time.monotonic()
    if d > 0:
        time.sleep(d)
    s.sendto(payload, (addr, port))
print(count)
"""


def counters():
    """(rx_bytes, tx_bytes) of the applet's side of the veth pair."""
    base = "/sys/class/net/%s/statistics/" % VETH_A
    with open(base + "rx_bytes") as r, open(base + "tx_bytes") as t:
        return int(r.read()), int(t.read())


class Sink(threading.Thread):
    """Answers every datagram with REPLY bytes; ends after COUNT or at its deadline."""

    def __init__(self, deadline):
        super().__init__(daemon=True)
        self.deadline = deadline
        self.got = 0
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.sock.bind((ADDR_A, SINK_PORT))
        self.sock.settimeout(0.5)

    def run(self):
        reply = b"r" * REPLY
        try:
            while self.got < COUNT and time.monotonic() < self.deadline:
                try:
                    data, peer = self.sock.recvfrom(65536)
                except socket.timeout:
                    continue
                self.got += 1
                self.sock.sendto(reply, peer)
        finally:
            self.sock.close()


class Sampler(threading.Thread):
    """The veth's counters every 50 ms: (time, rx, tx)."""

    def __init__(self):
        super().__init__(daemon=True)
        self.samples = []
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            rx, tx = counters()
            self.samples.append((time.monotonic(), rx, tx))
            self.stop.wait(0.05)

    def windows(self, t0, t1, lo, hi):
        """(bytes in, bytes out, seconds) of every window lo..hi s long inside t0..t1."""
        s = [x for x in self.samples if t0 <= x[0] <= t1]
        out = []
        for i in range(len(s)):
            for j in range(i + 1, len(s)):
                d = s[j][0] - s[i][0]
                if d > hi:
                    break
                if d >= lo:
                    out.append((s[j][1] - s[i][1], s[j][2] - s[i][2], d))
        return out


def lit_run(frame, y, x0=100, x1=158):
    return sum(1 for c in range(x0, x1 + 1) if frame.pixels[y * 160 + c])


def graph_heights(frame, slot):
    """Column heights of a NET graph, entry 0 (newest, rightmost) first."""
    x = SLOT_X[slot]
    out = []
    for i in range(37):
        h = 0
        while h < 13 and frame.pixels[(SLOT_Y + 20 - h) * 160 + x + 37 - i]:
            h += 1
        out.append(h)
    return out


class IphlpTraffic(E2E):

    def test_real_traffic_panel_graphs_totals_and_reset(self):
        # What Wine's IP Helper lists here: the namespace's loopback and veth only (a
        # host interface would mean a Wine process outside the namespace).
        rc, out = harness.probe(self.env, "iftable", timeout=60)
        rows = out.splitlines()
        aliases = sorted(l.split(" alias ")[1] for l in rows if " alias " in l)
        self.assertEqual(aliases, sorted(["lo", VETH_A]),
                         "GetIfTable2 rows inside the namespace: got %s" % rows)

        a = self.applet("animate_start 0\nnet_method iphlp\nnet_max_in %d\nnet_max_out %d\n"
                        "slot_0 NET\nslot_1 NET+\nslot_2 NET++\n" % (MAX_IN, MAX_OUT))
        self.first_frame()
        time.sleep(3.0)
        self.vg.frames_since()
        # Quiet link: loopback carries the frames, yet the meter reads nothing.
        f = self.next_frame()
        self.assertIsNone(region_diff(f.pixels, panel_picture("0.0K", "0.0K", 0, 0), 81, 8,
                                      159, 20), "panel before any traffic on the veth")
        self.assertEqual(graph_heights(f, 1), [0] * 37, "receive graph before any traffic")

        # Reset the totals: the notice names the source and the one adapter.
        self.vg.press(2, 800)
        exp = render((TEXT_LARGE, 0, 8, "Net counters reset. [IPHLP x 1]"))
        deadline = time.monotonic() + 6
        seen = False
        while time.monotonic() < deadline and not seen:
            seen = any(region_diff(g.pixels, exp, 0, 8, 159, 20) is None
                       for g in self.vg.frames_since())
            time.sleep(0.2)
        self.assertTrue(seen, "no notice 'Net counters reset. [IPHLP x 1]'")
        time.sleep(2.5)  # past the notice
        rx0, tx0 = counters()

        sampler = Sampler()
        sampler.start()
        sink = Sink(time.monotonic() + SECONDS + 8)
        sink.start()
        t_start = time.monotonic()
        sender = subprocess.Popen(
            ["ip", "netns", "exec", NS_B, sys.executable, "-c", SENDER, ADDR_A, str(SINK_PORT),
             str(COUNT), str(PAYLOAD), str(GAP)], stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        try:
            time.sleep(3.0)
            self.vg.frames_since()
            steady = []
            while time.monotonic() < t_start + SECONDS - 0.4:
                steady += self.vg.frames_since()
                time.sleep(0.3)
            out, err = sender.communicate(timeout=SECONDS + 30)
        finally:
            if sender.poll() is None:
                sender.kill()
                sender.wait(10)
        self.assertEqual(sender.returncode, 0, "sender: %s" % err.decode()[-500:])
        t_end = time.monotonic()
        sink.join(SECONDS + 10)
        time.sleep(2.0)
        sampler.stop.set()
        sampler.join(5)
        rx1, tx1 = counters()
        total_in, total_out = rx1 - rx0, tx1 - tx0
        print("veth %s: %d datagrams sent, %d answered; %d bytes in, %d out (the wire sizes "
              "give %d and %d)" % (VETH_A, COUNT, sink.got, total_in, total_out,
                                   COUNT * (PAYLOAD + WIRE), sink.got * (REPLY + WIRE)),
              file=sys.stderr, flush=True)
        self.assertEqual(total_in, COUNT * (PAYLOAD + WIRE),
                         "bytes in on the veth: got %d, expected %d datagrams of %d" % (
                             total_in, COUNT, PAYLOAD + WIRE))
        self.assertGreater(sink.got, COUNT * 9 // 10, "the sink answered %d" % sink.got)

        # The panel in every steady frame: the rate over just over a second (two or
        # three samples of about 500 ms), as the veth's counters moved over windows of
        # 1.0 to 1.7 s in the steady part.
        wins = sampler.windows(t_start + 0.5, t_end, 1.0, 1.7)
        self.assertTrue(wins, "no counter windows")
        in_rates = [w[0] / w[2] for w in wins]
        out_rates = [w[1] / w[2] for w in wins]
        lo_in, hi_in = int(min(in_rates) * 0.95), int(max(in_rates) * 1.05) + 1
        lo_out, hi_out = int(min(out_rates) * 0.95), int(max(out_rates) * 1.05) + 1
        texts_in = sorted({format_bytes(v) for v in range(lo_in, hi_in + 1)})
        texts_out = sorted({format_bytes(v) for v in range(lo_out, hi_out + 1)})
        bars_in = {bar_length(v, MAX_IN) for v in (lo_in, hi_in)}
        bars_in = set(range(min(bars_in), max(bars_in) + 1))
        bars_out = {bar_length(v, MAX_OUT) for v in (lo_out, hi_out)}
        bars_out = set(range(min(bars_out), max(bars_out) + 1))
        self.assertGreater(len(steady), 20, "frames in the steady part: got %d" % len(steady))
        for g in steady:
            got_in, got_out = lit_run(g, 11), lit_run(g, 17)
            self.assertIn(got_in, bars_in, "frame %d: receive bar %d columns, expected %s "
                          "(rates %d..%d B/s, max %d)" % (g.seq, got_in, sorted(bars_in),
                                                         lo_in, hi_in, MAX_IN))
            self.assertIn(got_out, bars_out, "frame %d: send bar %d columns, expected %s "
                          "(rates %d..%d B/s, max %d)" % (g.seq, got_out, sorted(bars_out),
                                                         lo_out, hi_out, MAX_OUT))
            match = any(region_diff(g.pixels, panel_picture(ti, to, got_in, got_out), 81, 8, 159,
                                    20) is None for ti in texts_in for to in texts_out)
            if not match:
                self.fail("frame %d: the panel is not the picture of %s / %s:\n%s" % (
                    g.seq, texts_in, texts_out,
                    region_diff(g.pixels, panel_picture(texts_in[0], texts_out[0], got_in,
                                                        got_out), 81, 8, 159, 20)))

        # The graphs after the traffic: one run of columns, one a sample, each inner one
        # (the first and last samples hold part of the traffic) within what the counters
        # moved over 0.4 to 0.7 s; nothing before or after it.
        f = self.next_frame()
        half = sampler.windows(t_start + 0.5, t_end, 0.4, 0.7)
        for slot, send, top, k in ((0, True, MAX_OUT, 1), (1, False, MAX_IN, 0)):
            hs = graph_heights(f, slot)
            label = "send" if send else "receive"
            self.assertIsNone(region_diff(f.pixels, graph_picture(SLOT_X[slot], send, hs),
                                          SLOT_X[slot], SLOT_Y, SLOT_X[slot] + 38, 42),
                              "%s graph is not a graph of columns" % label)
            cols = [i for i, h in enumerate(hs) if h]
            self.assertTrue(cols, "%s graph: no columns" % label)
            run = list(range(cols[0], cols[-1] + 1))
            self.assertEqual(cols, run, "%s graph: columns with a gap: %s" % (label, hs))
            n = len(run)
            self.assertTrue(2 * SECONDS - 3 <= n <= 2 * SECONDS + 3,
                            "%s graph: %d columns of traffic, expected about %d: %s" % (
                                label, n, 2 * SECONDS, hs))
            h_lo = min(w[k] for w in half) * 26 // top
            h_hi = min(max(w[k] for w in half) * 26 // top, 13)
            for i in run[1:-1]:
                self.assertTrue(h_lo <= hs[i] <= h_hi,
                                "%s graph column %d: %d rows, expected %d..%d: %s" % (
                                    label, i, hs[i], h_lo, h_hi, hs))

        # The totals: what the veth moved since the reset.
        exp = totals_picture(SLOT_X[2], total_in, total_out)
        deadline = time.monotonic() + 6
        last = None
        while time.monotonic() < deadline:
            last = self.next_frame()
            if region_diff(last.pixels, exp, SLOT_X[2], SLOT_Y, SLOT_X[2] + 38, 42) is None:
                break
            time.sleep(0.2)
        else:
            self.fail("totals: expected %s / %s:\n%s" % (
                format_bytes(total_in), format_bytes(total_out),
                region_diff(last.pixels, exp, SLOT_X[2], SLOT_Y, SLOT_X[2] + 38, 42)))
        harness.save_png(last.pixels, os.path.join(harness.BUILD, "frame-net-iphlp.png"))
        self.assertEqual([l for l in a.errors() if "src/" in l and "net" in l.lower()], [],
                         "nothing logged")


if __name__ == "__main__":
    if os.environ.get(INSIDE):
        harness.main()
    else:
        sys.exit(outer())
