"""Shared pieces of the end-to-end tests: a Wine prefix with the virtual G15
installed, the real LCDKorvane.exe started in a folder of its own, exact frame
comparisons against the drawing code, and checks of "errors.txt".

Every wait is bounded. Failures say "got X, expected Y".
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(REPO, "standins", "vg15"))
import vg15  # noqa: E402

WM_CLOSE = 0x0010
WM_ENDSESSION = 0x0016
APPLET_CLASS = "LCDKorvaneWnd"
APPLET_TITLE = "LCDKorvane"
LOG_LINE = re.compile(
    r"^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \| src/[a-z0-9_]+\(\d+\) \| [^\x00-\x1f\x80-\xff]*"
    r"( \| [0-9a-f]{8}(=[^\x00-\x1f\x80-\xff]*)?)?$")

BUILD = None  # the Windows build folder, from --build


def parse_args():
    global BUILD
    p = argparse.ArgumentParser()
    p.add_argument("--build", required=True, help="the Windows build folder")
    args, rest = p.parse_known_args()
    BUILD = os.path.abspath(args.build)
    return [sys.argv[0]] + rest


def main():
    argv = parse_args()
    announce_arch()
    unittest.main(argv=argv, verbosity=2)


def announce_arch():
    """One line saying which Windows programs this run uses; a loud one whenever they
    are not the real 32-bit product."""
    note = vg15.arch_note()
    if note:
        print(note, file=sys.stderr, flush=True)
    else:
        print("e2e: the 32-bit product %s with 32-bit stand-ins" % win_binary(
            "LCDKorvane.exe"), file=sys.stderr, flush=True)


def win_path(rel):
    """A file of the Windows build, `rel` relative to the build folder (for example
    "standins/vg15/LCDMon.exe"), in the flavour this host's Wine runs: the 32-bit tree,
    or the 64-bit copy's tree (BUILD/x64, same layout) where the kernel cannot run 32-bit
    programs."""
    if vg15.default_arch() == "i686":
        return os.path.join(BUILD, rel)
    return os.path.join(BUILD, "x64", rel)


def win_binary(name):
    """Our Windows program `name` in the flavour this host's Wine runs: the product's
    32-bit build, or the 64-bit copy of the same sources where the kernel cannot run
    32-bit programs."""
    if vg15.default_arch() == "i686":
        return os.path.join(BUILD, name)
    return os.path.join(BUILD, "x64", name)


# ---- prefix --------------------------------------------------------------------------

def prefix_env():
    """The tests' Wine prefix (made once per build folder) with the stand-in installed."""
    prefix = os.path.join(BUILD, "e2e-prefix")
    marker = os.path.join(prefix, ".korvane-ready")
    arch = vg15.default_arch()
    if _prefix_ready(prefix, marker, arch):
        env = vg15.wine_env(prefix)
        vg15.start_wineserver(env)
        # Fresh copies of the stand-in's programs after every build.
        vg = vg15.VirtualG15(env)
        src = vg15.standin_dir(BUILD, vg.arch)
        for name in ("LCDMon.exe", "lgLcdServer.dll", "vg15probe.exe"):
            shutil.copy2(os.path.join(src, name), os.path.join(vg.install_dir, name))
        return env
    env = vg15.make_prefix(prefix, fresh=True)
    vg15.VirtualG15(env).install(BUILD)
    with open(marker, "w") as f:
        f.write(arch + "\n")
    return env


def _prefix_ready(prefix, marker, arch):
    """The prefix was made for this architecture and, for 32-bit programs, after they
    could run (else its 32-bit system folder stayed empty and it must be made again)."""
    try:
        with open(marker) as f:
            made_for = f.read().strip()
    except OSError:
        return False
    has_32bit = os.path.exists(
        os.path.join(prefix, "drive_c", "windows", "syswow64", "kernel32.dll"))
    if made_for == "":  # an empty marker from before markers named the architecture
        made_for = "i686" if has_32bit else "x86_64"
    return made_for == arch and (arch != "i686" or has_32bit)


def native_render_tool():
    """tools/render built natively (the same drawing code as the applet)."""
    out = os.path.join(BUILD, "e2e-native")
    tool = os.path.join(out, "render")
    subprocess.run(["cmake", "-S", REPO, "-B", out, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL,
                   timeout=300)
    subprocess.run(["ninja", "-C", out, "render"], check=True, stdout=subprocess.DEVNULL,
                   timeout=600)
    return tool


_render_tool = None


def render(*commands):
    """Pixels (6880 bytes) of a blank frame after the draw commands, each a tuple:
    ("text", flags, x, y, text), ("rtext", flags, end, y, text) drawn ending at end,
    ("right", slot_x, y, text) a module's right-aligned line; a plain 4-tuple
    (flags, x, y, text) is "text"."""
    global _render_tool
    if _render_tool is None:
        _render_tool = native_render_tool()
    args = [_render_tool]
    for c in commands:
        if not isinstance(c[0], str):
            c = ("text",) + tuple(c)
        args += [str(v) for v in c]
    r = subprocess.run(args, stdout=subprocess.PIPE, check=True, timeout=30)
    assert len(r.stdout) == 6880
    return r.stdout


def region(pixels, x0, y0, x1, y1):
    """The pixels of columns x0..x1 and rows y0..y1 (inclusive) as rows of bytes."""
    return [bytes(pixels[y * 160 + x0:y * 160 + x1 + 1]) for y in range(y0, y1 + 1)]


def picture(rows):
    return "\n".join("".join("#" if b else "." for b in r) for r in rows)


def region_diff(got, expected, x0, y0, x1, y1):
    """None when equal, else a message with both pictures."""
    g, e = region(got, x0, y0, x1, y1), region(expected, x0, y0, x1, y1)
    if g == e:
        return None
    return "region (%d,%d)-(%d,%d): got\n%s\nexpected\n%s" % (x0, y0, x1, y1, picture(g),
                                                               picture(e))


def save_png(pixels, path, scale=4):
    """Writes a frame as a PNG that looks like the panel: dark pixels on a grey-green
    ground, each pixel scale x scale with a one-pixel gap."""
    import struct
    import zlib
    on, off, gap = (24, 32, 24), (150, 170, 120), (140, 160, 112)
    w, h = 160 * scale, 43 * scale
    rows = []
    for y in range(h):
        row = bytearray([0])
        py, iy = divmod(y, scale)
        for x in range(w):
            px, ix = divmod(x, scale)
            c = gap if (ix == scale - 1 or iy == scale - 1) else (
                on if pixels[py * 160 + px] else off)
            row += bytes(c)
        rows.append(bytes(row))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


def lit(pixels):
    return sum(1 for b in pixels if b)


# ---- the applet -----------------------------------------------------------------------

class Applet:
    """LCDKorvane.exe copied into a fresh folder of the prefix, as a user would drop it
    next to its settings file, and run there."""

    def __init__(self, env, name, settings=None):
        self.env = env
        self.dir = os.path.join(env["WINEPREFIX"], "drive_c", "korvane", name)
        if os.path.exists(self.dir):
            for f in os.listdir(self.dir):
                os.remove(os.path.join(self.dir, f))
        os.makedirs(self.dir, exist_ok=True)
        exe = win_binary("LCDKorvane.exe")
        with open(exe, "rb") as src, open(os.path.join(self.dir, "LCDKorvane.exe"), "wb") as dst:
            dst.write(src.read())
        if settings is not None:
            with open(os.path.join(self.dir, "lcdkorvane.txt"), "w") as f:
                f.write(settings)
        self.proc = None
        self.started = None

    def start(self):
        self.started = time.monotonic()
        log = open(os.path.join(self.dir, "wine.log"), "ab")
        self.proc = subprocess.Popen(vg15.wine_command(self.env) + ["LCDKorvane.exe"],
                                     env=self.env, cwd=self.dir, stdout=log, stderr=log,
                                     stdin=subprocess.DEVNULL)
        log.close()
        return self

    def wait_exit(self, timeout):
        """Exit code, or None when still running after `timeout` s."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def kill(self):
        if self.running():
            probe(self.env, "post", APPLET_CLASS, APPLET_TITLE, str(WM_CLOSE), "0")
            if self.wait_exit(5) is None:
                self.proc.kill()
                self.proc.wait(10)

    def errors(self):
        """Lines of errors.txt (without line ends)."""
        path = os.path.join(self.dir, "errors.txt")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            data = f.read().decode("latin-1")
        return [l for l in data.split("\r\n") if l != ""]

    def wait_error(self, text, timeout):
        """The first errors.txt line containing text, waiting at most timeout s."""
        deadline = time.monotonic() + timeout
        while True:
            for l in self.errors():
                if text in l:
                    return l
            if time.monotonic() > deadline:
                return None
            time.sleep(0.1)


def probe(env, *args, timeout=30):
    """Runs winprobe.exe; returns (exit code, output line)."""
    r = subprocess.run(vg15.wine_command(env) + [win_binary("winprobe.exe")] +
                       list(args), env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL, timeout=timeout)
    return r.returncode, r.stdout.decode("latin-1").strip()


def applet_pid(env):
    """The running applet's Windows process id (its hidden window's owner), or None."""
    rc, out = probe(env, "find", APPLET_CLASS, APPLET_TITLE)
    if rc != 0 or not out.startswith("found"):
        return None
    return int(out.split()[-1])


def win_counts(env, pid):
    """(handles, threads) of Windows process pid from the system's tables (winprobe
    counts its entries in the system handle table: Wine answers GetProcessHandleCount
    with 0); None when the process cannot be read."""
    rc, out = probe(env, "counts", str(pid))
    if rc != 0:
        return None
    w = out.split()
    return int(w[1]), int(w[3])


def frame_rate(vg, seconds):
    """Frames per second the virtual G15 received over the next `seconds`."""
    seq0 = vg.state()["frame_seq"]
    t0 = time.monotonic()
    time.sleep(seconds)
    n = vg.state()["frame_seq"] - seq0
    return n / (time.monotonic() - t0)


def wait_box(env, caption, timeout):
    """Text of a message box with this caption, waiting at most timeout s; or None."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        rc, out = probe(env, "box", caption)
        if rc == 0:
            return out[len("box "):]
        time.sleep(0.3)
    return None


class E2E(unittest.TestCase):
    """A test class with the prefix, one running virtual G15 and helpers."""

    env = None
    vg = None

    @classmethod
    def setUpClass(cls):
        cls.env = prefix_env()
        cls.vg = vg15.VirtualG15(cls.env)
        cls.vg.start_lcdmon()

    @classmethod
    def tearDownClass(cls):
        try:
            cls.vg.stop()
        finally:
            vg15.stop_wineserver(cls.env)

    def setUp(self):
        self.applets = []
        try:
            self.vg.connect(timeout=2.0)
            self.vg.reset()
        except vg15.Vg15Error:
            self.vg.kill()
            self.vg.start_lcdmon()
        self.vg.set_mask(0)

    def tearDown(self):
        for a in self.applets:
            a.kill()
        for a in self.applets:
            for l in a.errors():
                self.assertRegex(l, LOG_LINE, "errors.txt line not in the log format")
                # No report names error 183 as its cause: that is what opening the log
                # file that exists leaves behind, not a cause of any failure reported.
                self.assertNotIn("| 000000b7", l, "errors.txt line carries the log's own "
                                 "'File already exists'")

    def applet(self, settings=None, start=True):
        a = Applet(self.env, self.id().split(".")[-1], settings)
        self.applets.append(a)
        if start:
            a.start()
        return a

    def first_frame(self, timeout=15.0):
        f = self.vg.wait_frame(timeout=timeout, since=self.vg.state()["frame_seq"])
        self.assertIsNotNone(f, "got no frame within %s s, expected frames" % timeout)
        return f

    def next_frame(self, timeout=2.0):
        """The first frame sent from now on."""
        f = self.vg.wait_frame(timeout=timeout, since=self.vg.state()["frame_seq"])
        self.assertIsNotNone(f, "got no frame within %s s" % timeout)
        return f

    def events_of(self, kind, since=0):
        return [e for e in self.vg.events(since) if e["kind"] == kind]

    def wait_event(self, kind, since, timeout, pred=lambda e: True):
        deadline = time.monotonic() + timeout
        while True:
            for e in self.vg.events(since):
                if e["kind"] == kind and pred(e):
                    return e
            if time.monotonic() > deadline:
                return None
            time.sleep(0.1)
