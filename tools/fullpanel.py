"""A full panel under Wine for tools/soak and tools/cpu-cost: the end-to-end tests'
prefix of a Windows build folder, the virtual G15 (LCDMon), every stand-in the demo
starts (standins/*/demo_peer.py, each driving its program with a lively pattern), and
the real LCDKorvane.exe with the demo's settings (docs/demo-lcdkorvane.txt).

Also the readings both tools take from Linux: a Wine process's Linux pid (found by its
command line and prefix), its threads' run time from /proc/PID/task/*/sched
(se.sum_exec_runtime, ms), its resident memory, and the prefix's wineserver.
"""

import glob
import os
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "standins", "vg15"))
import harness  # noqa: E402
import vg15  # noqa: E402

SETTINGS = os.path.join(ROOT, "docs", "demo-lcdkorvane.txt")

# The cases tools/cpu-cost and tools/frame-calls measure: (settings text, or None for
# the demo's; whether the stand-ins run). In "idle" and "clocks" no program a module
# reads runs (only LCDMon, which the applet needs): every module is alive and looks for
# its program as it would on a machine where none is installed.
CASES = {
    "full": (None, True),
    "idle": ("animate_start 1\n", False),
    "clocks": ("animate_start 1\nslot_0 STW\nslot_1 CLK\nslot_2 CLK+\nslot_3 CLK++\n"
               "worldtime_list UTC CET JST\nworldtime_format HH:mm\n", False),
}
CASE_TEXT = {
    "full": "the full panel: every stand-in running, the demo's settings",
    "idle": "no program of any module running, no slot configured",
    "clocks": "no program of any module running, a stopwatch and three world clocks in the slots",
}


def load_demo():
    """tools/demo.py as a module (its Peers start and stop the stand-ins)."""
    return harness_load("korvane_demo", os.path.join(ROOT, "tools", "demo.py"))


def harness_load(name, path):
    import importlib.machinery
    import importlib.util
    loader = importlib.machinery.SourceFileLoader(name, path)
    spec = importlib.util.spec_from_loader(name, loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


# ---- Linux readings ---------------------------------------------------------------

def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def _environ(pid):
    out = {}
    for item in _read("/proc/%d/environ" % pid).split(b"\0"):
        k, _, v = item.partition(b"=")
        if k:
            out[k.decode("latin-1")] = v.decode("latin-1")
    return out


def find_pids(prefix, needle):
    """Linux pids of this prefix's processes whose command line contains needle
    (case-insensitive)."""
    prefix = os.path.abspath(prefix)
    found = []
    for d in glob.glob("/proc/[0-9]*"):
        pid = int(os.path.basename(d))
        cmd = _read(d + "/cmdline").replace(b"\0", b" ").decode("latin-1")
        if needle.lower() not in cmd.lower():
            continue
        if _environ(pid).get("WINEPREFIX") == prefix:
            found.append(pid)
    return found


def wait_pid(prefix, needle, timeout=60.0):
    """The one Linux pid of a Windows program of this prefix (the newest when several
    match, e.g. a `wine` launcher and the program itself share the name on some hosts)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        pids = [p for p in find_pids(prefix, needle) if b"start.exe" not in _read(
            "/proc/%d/cmdline" % p)]
        # The program is the process with the most threads (a launcher has one).
        if pids:
            return max(pids, key=lambda p: (len(os.listdir("/proc/%d/task" % p))
                                            if os.path.isdir("/proc/%d/task" % p) else 0, p))
        time.sleep(0.5)
    return None


def wineserver_pid(prefix):
    pids = find_pids(prefix, "wineserver")
    return pids[0] if pids else None


def cpu_ms(pid):
    """The process's run time so far in ms: se.sum_exec_runtime over its live threads
    (a thread that ended since an earlier reading is missing from later ones)."""
    total = 0.0
    for sched in glob.glob("/proc/%d/task/*/sched" % pid):
        for line in _read(sched).decode("latin-1").splitlines():
            if line.startswith("se.sum_exec_runtime"):
                total += float(line.split(":")[1])
                break
    return total


def rss_kb(pid):
    for line in _read("/proc/%d/status" % pid).decode("latin-1").splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def alive(pid):
    return pid is not None and os.path.exists("/proc/%d" % pid)


# ---- the full panel -----------------------------------------------------------------

class Panel:
    """Prefix, LCDMon, stand-ins and the applet; stop() ends them all (also after a
    failure part of the way)."""

    def __init__(self, build, name, settings=None, peers=True):
        """settings: the applet's settings text (the demo's by default); peers: start
        every stand-in the demo starts (else only LCDMon, which the applet needs)."""
        harness.BUILD = os.path.abspath(build)
        self.build = harness.BUILD
        self.name = name
        self.settings = settings
        self.with_peers = peers
        self.env = None
        self.vg = None
        self.peers = None
        self.applet = None
        self.prefix = os.path.join(self.build, "e2e-prefix")

    def start(self, log=print):
        log("panel: the prefix %s (%s)" % (self.prefix, vg15.default_arch()))
        self.env = harness.prefix_env()
        self.vg = vg15.VirtualG15(self.env)
        self.vg.start_lcdmon(timeout=60)
        settings = self.settings
        if settings is None:
            with open(SETTINGS, encoding="latin-1") as f:
                settings = f.read()
        self.applet = harness.Applet(self.env, self.name, settings)
        if self.with_peers:
            demo = load_demo()
            self.peers = demo.Peers()
            self.peers.start_all(self.env, self.build, self.applet.dir)
            log("panel: stand-ins running: %s" % ", ".join(n for n, _ in self.peers.running))
        else:
            log("panel: no stand-in but LCDMon")
        seq = self.vg.state()["frame_seq"]
        self.applet.start()
        f = self.vg.wait_frame(timeout=90, since=seq)
        if f is None:
            raise RuntimeError("no frame from LCDKorvane within 90 s")
        return self

    def applet_pid(self):
        """The applet's Windows pid (winprobe) and Linux pid."""
        rc, out = harness.probe(self.env, "find", harness.APPLET_CLASS, harness.APPLET_TITLE)
        win = int(out.split()[-1]) if rc == 0 and out.startswith("found") else None
        return win, wait_pid(self.prefix, "LCDKorvane.exe")

    def win_counts(self, win_pid):
        """(handles, threads) of a Windows pid, from the system's tables (winprobe)."""
        rc, out = harness.probe(self.env, "counts", str(win_pid))
        if rc != 0:
            return None, None
        w = out.split()
        return int(w[1]), int(w[3])

    def stop(self):
        if self.peers:
            self.peers.stop_all()
        if self.applet:
            try:
                self.applet.kill()
            except Exception:
                pass
        if self.vg:
            try:
                self.vg.stop(timeout=5)
            except Exception:
                pass
        if self.env:
            vg15.stop_wineserver(self.env)
