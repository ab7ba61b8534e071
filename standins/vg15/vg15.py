"""Client of the virtual G15 (LCDMon.exe + lgLcdServer.dll under Wine).

Standard library only. Every wait is bounded: sockets carry timeouts, child processes are
run with timeouts and killed when they overrun. See README.md beside this file.

    env = make_prefix("/tmp/my-prefix")            # fresh WINEPREFIX, null graphics driver
    vg = VirtualG15(env, port=15915)
    vg.install(build_dir)                          # program files, vg15.ini, registry keys
    vg.start_lcdmon()                              # starts LCDMon.exe and connects
    f = vg.wait_frame(timeout=2.0)                 # next frame the applet sends
    vg.press(0, 300)                               # short press of the first soft button
    vg.fault_update(1167)                          # the device is gone from now on
    vg.events()                                    # calls the server library received
"""

import fcntl
import os
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peerctl"))
import peer  # noqa: E402

WIDTH = 160
HEIGHT = 43
FRAME_BYTES = WIDTH * HEIGHT
# Loopback ports of the stand-ins' control channels start at KORVANE_PORT_BASE (default
# 15900), so test runs side by side on one machine can each take their own range.
PORT_BASE = int(os.environ.get("KORVANE_PORT_BASE", "15900"))
DEFAULT_PORT = PORT_BASE + 15
CLSID_KEY = (r"HKLM\SOFTWARE\Classes\CLSID\{FE750200-B72E-11d9-829B-0050DA1A72D3}"
             r"\ServerBinary")
VERSION_KEY = r"HKLM\SOFTWARE\Logitech\LCD Software\LCD Manager\CurrentVersion"
INSTALL_DIR_WIN = r"C:\Program Files\Logitech\LCD Manager"
INSTALL_DIR_REL = os.path.join("drive_c", "Program Files", "Logitech", "LCD Manager")
WINE32 = "/usr/lib/wine/wine"
WINE64 = "/usr/lib/wine/wine64"
VK_CONTROL = 17
VK_MEDIA_STOP = 178


class Vg15Error(Exception):
    """A refused command, a lost connection or a timeout."""


class Frame:
    """One frame as the applet sent it: sequence number (1, 2, ...), tick count (ms, the
    prefix's GetTickCount), the sending process id, and the 6880 pixel bytes (0 or 255,
    160 per row, top row first)."""

    __slots__ = ("seq", "tick", "pid", "pixels")

    def __init__(self, seq, tick, pid, pixels):
        self.seq, self.tick, self.pid, self.pixels = seq, tick, pid, pixels

    def pixel(self, x, y):
        return self.pixels[y * WIDTH + x]

    def __repr__(self):
        return "Frame(seq=%d, tick=%d, pid=%d, lit=%d)" % (
            self.seq, self.tick, self.pid, sum(1 for b in self.pixels if b))


def probe_frame(k):
    """The bytes vg15probe.exe sends as its frame k (0, 1, ...)."""
    return bytes(255 if (x * 7 + y * 13 + k * 3) % 11 < 4 else 0
                 for y in range(HEIGHT) for x in range(WIDTH))


# ---- Wine ------------------------------------------------------------------------------

ARCH_PROBE_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "archprobe.c")
MINGW32_CC = "i686-w64-mingw32-gcc"
# A static i386 Linux program that only exits 0: whether the kernel (or a registered
# qemu-user) runs 32-bit programs at all.
I386_EXIT0 = bytes.fromhex(
    "7f454c46010101000000000000000000020003000100000054800408340000000000000000000000"
    "34002000010000000000000001000000000000000080040800800408"
    "5d0000005d000000050000000010000031dbb801000000cd80")

_arch_probe = None  # (runs 32-bit programs, why not)


def _cache_dir():
    d = os.environ.get("VG15_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache"),
        "lcdkorvane")
    os.makedirs(d, exist_ok=True)
    return d


def _i386_elf_runs():
    path = os.path.join(_cache_dir(), "i386-exit0.%d" % os.getpid())
    try:
        with open(path, "wb") as f:
            f.write(I386_EXIT0)
        os.chmod(path, 0o755)
        return subprocess.run([path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=20).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False
    finally:
        try:
            os.remove(path)
        except OSError:
            pass


def _probe_key():
    """What a positive answer depends on: this boot and the i386 registration."""
    parts = []
    for path in ("/proc/sys/kernel/random/boot_id", "/proc/sys/fs/binfmt_misc/qemu-i386"):
        try:
            with open(path) as f:
                parts.append(f.read().strip())
        except OSError:
            parts.append("-")
    parts.append(str(os.path.getmtime(ARCH_PROBE_SOURCE)))
    return "\n".join(parts)


def _run_arch_probe(timeout):
    """Builds archprobe.exe (32-bit) and runs it under Wine in a prefix of its own;
    (True, "") when it reports a sound 32-bit process, else (False, why)."""
    cache = _cache_dir()
    exe = os.path.join(cache, "archprobe.exe")
    if (not os.path.exists(exe) or
            os.path.getmtime(exe) < os.path.getmtime(ARCH_PROBE_SOURCE)):
        tmp = "%s.%d" % (exe, os.getpid())
        try:
            r = subprocess.run([MINGW32_CC, "-O1", "-s", "-o", tmp, ARCH_PROBE_SOURCE],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               timeout=120)
        except (OSError, subprocess.TimeoutExpired) as e:
            return False, "cannot build the 32-bit probe with %s: %s" % (MINGW32_CC, e)
        if r.returncode != 0:
            return False, "cannot build the 32-bit probe: %s" % r.stdout.decode(
                "latin-1").strip()[-300:]
        os.replace(tmp, exe)
    prefix = os.path.join(cache, "wine32-probe")
    out_path = os.path.join(cache, "archprobe.%d.out" % os.getpid())
    lock = open(os.path.join(cache, "wine32-probe.lock"), "w")
    try:
        deadline = time.monotonic() + timeout
        while True:  # one prefix, one user at a time (bounded)
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except OSError:
                if time.monotonic() > deadline:
                    return False, "the probe prefix %s stayed locked for %d s" % (prefix,
                                                                                  timeout)
                time.sleep(0.5)
        # A prefix made while 32-bit programs could not run has no 32-bit system files
        # and never will: make it again.
        if os.path.isdir(prefix) and not os.path.exists(os.path.join(
                prefix, "drive_c", "windows", "syswow64", "kernel32.dll")):
            shutil.rmtree(prefix, ignore_errors=True)
        env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
        env.pop("WINELOADER", None)
        with open(out_path, "wb") as out:
            try:
                rc = subprocess.run(["wine", exe], env=env, stdout=out, stderr=out,
                                    stdin=subprocess.DEVNULL,
                                    timeout=max(1.0, deadline - time.monotonic())).returncode
            except OSError as e:
                return False, "cannot start wine: %s" % e
            except subprocess.TimeoutExpired:
                return False, "a 32-bit program did not finish within %d s" % timeout
        with open(out_path, "rb") as f:
            text = f.read().decode("latin-1")
        if rc == 0 and "archprobe ok pointer=4" in text:
            return True, ""
        lines = [l for l in text.splitlines() if l.strip()]
        return False, "a 32-bit program failed under Wine (exit %d%s)" % (
            rc, ": " + lines[-1].strip()[:200] if lines else "")
    finally:
        lock.close()
        try:
            os.remove(out_path)
        except OSError:
            pass


def probe_32bit(timeout=300):
    """(True, "") when this host's Wine runs 32-bit Windows programs, else (False, why).
    Decided by running a real 32-bit program (archprobe.c: a second thread sleeps and
    ends) under Wine, bounded by `timeout` s (the first run also makes the probe's
    prefix). A positive answer is kept for this boot and i386 registration; the cheap
    check that 32-bit Linux programs run at all is redone every time."""
    global _arch_probe
    if _arch_probe is not None:
        return _arch_probe
    if not os.path.exists(WINE32):
        _arch_probe = (False, "Wine's 32-bit loader %s is not installed (wine32:i386)" % WINE32)
    elif not _i386_elf_runs():
        _arch_probe = (False, "this kernel cannot run 32-bit programs and no qemu-user is "
                              "registered for them (tools/setup registers it)")
    else:
        key = _probe_key()
        stamp = os.path.join(_cache_dir(), "wine32-ok")
        try:
            with open(stamp) as f:
                if f.read() == key:
                    _arch_probe = (True, "")
        except OSError:
            pass
        if _arch_probe is None:
            _arch_probe = _run_arch_probe(timeout)
            if _arch_probe[0]:
                with open(stamp + ".%d" % os.getpid(), "w") as f:
                    f.write(key)
                os.replace(stamp + ".%d" % os.getpid(), stamp)
    return _arch_probe


def can_run_32bit():
    """True when this host's Wine runs 32-bit Windows programs (see probe_32bit)."""
    return probe_32bit()[0]


def default_arch():
    """"i686" when 32-bit programs run here, else "x86_64"; VG15_ARCH overrides."""
    forced = os.environ.get("VG15_ARCH")
    if forced in ("i686", "x86_64"):
        return forced
    return "i686" if can_run_32bit() else "x86_64"


def arch_note():
    """A loud line to print on every run that does not use the real 32-bit programs
    (None when it does): why, and what runs instead."""
    if default_arch() == "i686":
        return None
    if os.environ.get("VG15_ARCH") == "x86_64":
        why = "VG15_ARCH=x86_64 asks for it"
    else:
        why = probe_32bit()[1]
    return ("*** NOT THE 32-BIT PRODUCT: Windows programs run as their 64-bit copies "
            "(<build>/x64/...) because %s. 32-bit-only faults cannot show. ***" % why)


def wine_env(prefix, arch=None):
    """Environment for running programs in `prefix`: WINEPREFIX, WINEDEBUG=-all and, on a
    64-bit-only host, WINELOADER pointing at the 64-bit loader."""
    env = dict(os.environ)
    env["WINEPREFIX"] = os.path.abspath(prefix)
    env["WINEDEBUG"] = "-all"
    env["VG15_ARCH"] = arch or default_arch()
    if env["VG15_ARCH"] == "x86_64":
        env["WINELOADER"] = WINE64
    else:
        env.pop("WINELOADER", None)
    return env


def wine_command(env):
    return [WINE64] if env.get("VG15_ARCH") == "x86_64" else ["wine"]


def wineserver_command():
    return ["/usr/lib/wine/wineserver64"] if os.path.exists(
        "/usr/lib/wine/wineserver64") else ["wineserver"]


def run_wine(env, args, timeout=60, log=None):
    """Runs a Windows program to its end (killed after `timeout` s); output goes to the
    file `log` (or is dropped): `wine reg` with its output on a pipe stalls for seconds."""
    out = open(log, "ab") if log else subprocess.DEVNULL
    try:
        return subprocess.run(wine_command(env) + list(args), env=env, stdout=out,
                              stderr=out, stdin=subprocess.DEVNULL, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        raise Vg15Error("wine %s: no end within %s s" % (" ".join(args), timeout))
    finally:
        if log:
            out.close()


def start_wineserver(env):
    """A persistent wineserver for the prefix, so each program starts fast."""
    subprocess.run(wineserver_command() + ["-p"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=30)


def stop_wineserver(env, timeout=30):
    """Ends every program of the prefix and its wineserver."""
    try:
        subprocess.run(wineserver_command() + ["-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout)
    except subprocess.TimeoutExpired:
        pass


def make_prefix(prefix, fresh=True, arch=None, timeout=180):
    """Creates a WINEPREFIX the applet can run in and returns its environment: removed
    first when `fresh`, `wineboot -i`, the null graphics driver (hidden windows need it
    on a headless host), and a persistent wineserver."""
    env = wine_env(prefix, arch)
    if fresh and os.path.exists(prefix):
        stop_wineserver(env)
        shutil.rmtree(prefix)
    os.makedirs(os.path.dirname(os.path.abspath(prefix)), exist_ok=True)
    log = os.path.abspath(prefix) + ".log"
    start_wineserver(env)
    if run_wine(env, ["wineboot", "-i"], timeout=timeout, log=log) != 0:
        raise Vg15Error("wineboot -i failed in %s (see %s)" % (prefix, log))
    if run_wine(env, ["reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d",
                      "null", "/f"], log=log) != 0:
        raise Vg15Error("cannot select the null graphics driver (see %s)" % log)
    # The desktop process started by wineboot keeps the driver it found; restart the
    # server so the next program gets a desktop with the null driver.
    stop_wineserver(env)
    start_wineserver(env)
    return env


def unix_path(env, windows_path):
    """C:\\x\\y -> <prefix>/drive_c/x/y"""
    drive, rest = windows_path[0].lower(), windows_path[3:]
    return os.path.join(env["WINEPREFIX"], "drive_%s" % drive, *rest.split("\\"))


def standin_dir(build_dir, arch):
    """Where the Windows build put LCDMon.exe, lgLcdServer.dll and vg15probe.exe: the
    32-bit tree, or the 64-bit copy's tree (<build>/x64, same layout)."""
    tree = build_dir if arch == "i686" else os.path.join(build_dir, "x64")
    return os.path.join(tree, "standins", "vg15")


# ---- control channel -------------------------------------------------------------------

class _Channel(peer.LineLink):
    def __init__(self, port, timeout):
        super().__init__(port, timeout, "LCDMon", Vg15Error)

    def exact(self, n, timeout):
        self.sock.settimeout(timeout)
        try:
            data = self.rfile.read(n)
        except OSError as e:
            raise Vg15Error("frame cut short: %s" % e)
        if data is None or len(data) != n:
            raise Vg15Error("frame cut short: got %d bytes, expected %d" %
                            (len(data or b""), n))
        return data

    def frame_after(self, head, timeout):
        """Reads the 6880 bytes announced by a frame header "<seq> <tick> <pid> 6880"."""
        seq, tick, pid, size = (int(v) for v in head.split()[:4])
        return Frame(seq, tick, pid, self.exact(size, timeout))


def _ints(text):
    """"down=5 up=305" -> {"down": 5, "up": 305}"""
    out = {}
    for word in text.split():
        if "=" in word:
            k, v = word.split("=", 1)
            try:
                out[k] = int(v)
            except ValueError:
                out[k] = v
    return out


class PressHandle:
    """A press running on its own connection; join() gives (down tick, up tick)."""

    def __init__(self, vg, args):
        self.result, self.error = None, None
        self._thread = threading.Thread(target=self._run, args=(vg, args), daemon=True)
        self._thread.start()

    def _run(self, vg, args):
        try:
            ch = _Channel(vg.port, 10)
            try:
                r = _ints(ch.command(args[0], args[1]))
                self.result = (r["down"], r["up"])
            finally:
                ch.close()
        except Exception as e:  # reported by join()
            self.error = e

    def join(self, timeout=70):
        self._thread.join(timeout)
        if self._thread.is_alive():
            raise Vg15Error("press still running after %s s" % timeout)
        if self.error:
            raise self.error
        return self.result


class VirtualG15:
    """The virtual G15 in one WINEPREFIX, driven over LCDMon's control port."""

    def __init__(self, env, port=DEFAULT_PORT, arch=None, timeout=10.0):
        self.env = env
        self.port = port
        self.arch = arch or env.get("VG15_ARCH") or default_arch()
        self.timeout = timeout
        self.install_dir = unix_path(env, INSTALL_DIR_WIN)
        self.proc = None
        self.last_seq = 0  # newest frame handed out by wait_frame / frames_since
        self._ch = None
        self._lock = threading.Lock()

    # -- installation and process ---------------------------------------------------------

    def install(self, build_dir, log=None):
        """Copies LCDMon.exe, lgLcdServer.dll and vg15probe.exe into
        C:\\Program Files\\Logitech\\LCD Manager, writes vg15.ini (the port) and the
        registry keys an installer writes: ServerBinary in the applet's registry view,
        Version and InstallPath in the 64-bit view. Returns the install folder."""
        src = standin_dir(build_dir, self.arch)
        os.makedirs(self.install_dir, exist_ok=True)
        for name in ("LCDMon.exe", "lgLcdServer.dll", "vg15probe.exe"):
            path = os.path.join(src, name)
            if not os.path.exists(path):
                raise Vg15Error("%s is missing: build the Windows tree first" % path)
            peer.install_file(path, os.path.join(self.install_dir, name))
        with open(os.path.join(self.install_dir, "vg15.ini"), "w") as f:
            f.write("port=%d\n" % self.port)
        log = log or self.env["WINEPREFIX"] + ".log"
        view = "/reg:32" if self.arch == "i686" else "/reg:64"
        dll = INSTALL_DIR_WIN + r"\lgLcdServer.dll"
        for args in (["reg", "add", CLSID_KEY, "/ve", "/d", dll, "/f", view],
                     ["reg", "add", VERSION_KEY, "/v", "Version", "/d", "1.03.0000", "/f",
                      "/reg:64"],
                     ["reg", "add", VERSION_KEY, "/v", "InstallPath", "/d", INSTALL_DIR_WIN,
                      "/f", "/reg:64"]):
            if run_wine(self.env, args, log=log) != 0:
                raise Vg15Error("wine %s failed (see %s)" % (" ".join(args), log))
        return self.install_dir

    def start_lcdmon(self, args=(), timeout=20.0):
        """Starts LCDMon.exe from the install folder and connects to it."""
        self.close()
        log = open(os.path.join(self.install_dir, "lcdmon.log"), "ab")
        self.proc = subprocess.Popen(
            wine_command(self.env) + [os.path.join(self.install_dir, "LCDMon.exe")] +
            list(args), env=self.env, cwd=self.install_dir, stdout=log, stderr=log,
            stdin=subprocess.DEVNULL)
        log.close()
        deadline = time.monotonic() + timeout
        while True:
            if self.proc.poll() is not None:
                raise Vg15Error("LCDMon.exe exited at start with %s (see %s)" % (
                    self.proc.returncode, os.path.join(self.install_dir, "lcdmon.log")))
            try:
                self.connect(timeout=1.0)
                return self
            except (Vg15Error, OSError):
                if time.monotonic() > deadline:
                    self.kill()
                    raise Vg15Error("LCDMon.exe did not open port %d within %s s" %
                                    (self.port, timeout))
                time.sleep(0.2)

    def wait_lcdmon(self, timeout=20.0):
        """Waits until an LCDMon (for instance one the applet relaunched) answers on the
        port, and connects; raises Vg15Error after `timeout` s."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                return self.connect(timeout=1.0)
            except (Vg15Error, OSError):
                if time.monotonic() > deadline:
                    raise Vg15Error("no LCDMon on port %d within %s s" % (self.port, timeout))
                time.sleep(0.1)

    def stop(self, code=0, timeout=10.0):
        """Asks LCDMon to exit with `code` and waits for it (bounded)."""
        try:
            self.command("EXIT %d" % code)
        except Vg15Error:
            pass
        self.close()
        peer.wait_process(self.proc, timeout)
        self.proc = None

    def kill(self):
        """Ends LCDMon at once: SIGKILL to the process started here, else EXIT 255."""
        if self.proc and self.proc.poll() is None:
            peer.end_process(self.proc)
        elif self._ch:
            try:
                self.command("EXIT 255")
            except Vg15Error:
                pass
        self.proc = None
        self.close()

    # -- connection -----------------------------------------------------------------------

    def connect(self, port=None, timeout=None):
        """Connects (again) to LCDMon's control port; returns the HELLO fields."""
        self.close()
        if port:
            self.port = port
        self._ch = _Channel(self.port, timeout or self.timeout)
        self.last_seq = 0
        return self.hello()

    def close(self):
        if self._ch:
            self._ch.close()
            self._ch = None

    def command(self, text, timeout=None):
        """Sends one control line and returns the text after "OK "."""
        with self._lock:
            if not self._ch:
                raise Vg15Error("not connected to LCDMon")
            try:
                return self._ch.command(text, timeout or self.timeout)
            except Vg15Error:
                self._ch.close()
                self._ch = None
                raise

    # -- queries --------------------------------------------------------------------------

    def hello(self):
        """{"pid", "generation", "port"} of the LCDMon answering."""
        return _ints(self.command("HELLO"))

    def now(self):
        """The stand-in's clock: GetTickCount in the prefix, in ms (frames, events and
        presses carry ticks of this clock)."""
        return int(self.command("NOW"))

    def state(self):
        """Counters and faults as a dict: update_calls, update_ok, update_lost,
        update_failed, frame_seq, event_seq, mask, applet_pid, connections, open_devices,
        connect_result, device_count, open_fail_code/count, update_fail_code/count,
        stall_ms, generation, pid, now."""
        return _ints(self.command("STATE"))

    def events(self, since=0):
        """Calls the server library received, oldest first, as dicts: seq, tick, pid,
        kind ("init", "deinit", "connect", "disconnect", "enumerate", "open", "close",
        "update" (failed updates only), "stall", "callback", "late_callback",
        "lcdmon_start"), a, b, result. connect: a=connection; enumerate: a=connection,
        b=index; open: a=index, b=device; close: a=device; update/stall: a=device, b=stall
        ms; callback: a=device, b=mask; late_callback: a=the closed device, b=mask,
        result=ms from the close to the call."""
        with self._lock:
            if not self._ch:
                raise Vg15Error("not connected to LCDMon")
            head = self._ch.command("EVENTS %d" % since, self.timeout)
            count = int(head.split()[0])
            out = []
            for _ in range(count):
                w = self._ch.line(self.timeout).split()
                out.append({"seq": int(w[1]), "tick": int(w[2]), "pid": int(w[3]),
                            "kind": w[4], "a": int(w[5]), "b": int(w[6]),
                            "result": int(w[7])})
            return out

    def frame(self, seq=None):
        """The newest frame (or frame `seq` while LCDMon still keeps it); None if none."""
        with self._lock:
            if not self._ch:
                raise Vg15Error("not connected to LCDMon")
            try:
                head = self._ch.command("FRAME" if seq is None else "FRAME %d" % seq,
                                        self.timeout)
            except Vg15Error as e:
                if "not available" in str(e):
                    return None
                raise
            return self._ch.frame_after(head, self.timeout)

    def frames_since(self, seq=None, max_count=256):
        """Every frame after `seq` (default: the last one handed out) that LCDMon still
        keeps (its last 256), oldest first. A gap in the sequence numbers means frames were
        overwritten before they were read."""
        since = self.last_seq if seq is None else seq
        with self._lock:
            if not self._ch:
                raise Vg15Error("not connected to LCDMon")
            head = self._ch.command("FRAMES %d %d" % (since, max_count), self.timeout)
            count = int(head.split()[0])
            out = []
            for _ in range(count):
                line = self._ch.line(self.timeout)
                if line.startswith("ERR"):
                    continue  # overwritten while being read
                out.append(self._ch.frame_after(line[2:], self.timeout))
        if out:
            self.last_seq = max(self.last_seq, out[-1].seq)
        return out

    def wait_frame(self, timeout=2.0, since=None):
        """The next frame after `since` (default: the last one handed out), waiting at most
        `timeout` s; None when none came."""
        since = self.last_seq if since is None else since
        with self._lock:
            if not self._ch:
                raise Vg15Error("not connected to LCDMon")
            try:
                head = self._ch.command("WAITFRAME %d %d" % (since, int(timeout * 1000)),
                                        timeout + self.timeout)
            except Vg15Error as e:
                if "timeout" in str(e) or "not available" in str(e):
                    return None
                raise
            f = self._ch.frame_after(head, self.timeout)
        self.last_seq = max(self.last_seq, f.seq)
        return f

    # -- buttons and keys -----------------------------------------------------------------

    def set_mask(self, mask, at=None):
        """Holds exactly the buttons of `mask` (bit 0 = first button), at tick `at` or now.
        Returns the tick of the change."""
        return int(self.command("MASK %d%s" % (mask, _at(at)), _wait_timeout(self, at)).split()[0])

    def down(self, button, at=None):
        """Button 0..3 goes down (the others stay); returns the tick."""
        return int(self.command("DOWN %d%s" % (button, _at(at)), _wait_timeout(self, at)).split()[0])

    def up(self, button, at=None):
        """Button 0..3 goes up; returns the tick."""
        return int(self.command("UP %d%s" % (button, _at(at)), _wait_timeout(self, at)).split()[0])

    def press(self, button, ms, ctrl=False, at=None, wait=True):
        """Holds button 0..3 for `ms` ms (from tick `at`, or now). With ctrl, the Ctrl key
        goes down 80 ms before the button and up after the release reached the applet.
        wait=True returns (down tick, up tick); wait=False returns a PressHandle at once
        (the press runs on its own connection) whose join() gives the ticks."""
        cmd = "PRESS %d %d%s%s" % (button, ms, " ctrl" if ctrl else "", _at(at))
        timeout = ms / 1000.0 + _wait_timeout(self, at) + 1.0
        if not wait:
            return PressHandle(self, (cmd, timeout))
        r = _ints(self.command(cmd, timeout))
        return r["down"], r["up"]

    def key(self, vk, down):
        """Sends virtual key `vk` down or up through SendInput (seen by GetAsyncKeyState in
        every process of the prefix). Returns the tick."""
        return int(self.command("KEY %d %s" % (vk, "down" if down else "up")))

    # -- faults ---------------------------------------------------------------------------

    def fault(self, kind, value, count=-1):
        """kind "connect" (code answered by lgLcdConnect, 0 = works), "devices" (0..2),
        "open" / "update" (code, for the next `count` calls, -1 = always, code 0 clears),
        "stall" (the next update takes `value` ms, once)."""
        self.command("FAULT %s %d %d" % (kind, value, count))

    def fault_connect(self, code):
        self.fault("connect", code)

    def fault_devices(self, count):
        self.fault("devices", count)

    def fault_open(self, code, count=-1):
        self.fault("open", code, count)

    def fault_update(self, code, count=-1):
        self.fault("update", code, count)

    def fault_stall(self, ms):
        self.fault("stall", ms)

    def fault_late(self, mask, ms=0, in_deinit=False):
        """The next lgLcdClose of a device leaves one soft-button change (mask) to reach
        that device's callback later, from a thread of the library as from the LCD
        Manager's own: ms ms after the close returned, or with in_deinit ms ms after
        lgLcdDeInit began (it returns only once the callback has). Logged as a
        "late_callback" event once the callback returned."""
        self.command("FAULT late %d %d%s" % (mask, ms, " deinit" if in_deinit else ""))

    def reset(self):
        """All faults off, one device."""
        self.command("RESET")

    def exit_lcdmon(self, code=0):
        """LCDMon exits on the spot with `code` (as if it crashed or was closed)."""
        self.stop(code)

    # -- probe applet ---------------------------------------------------------------------

    def start_probe(self, *args, stdout=subprocess.PIPE):
        """Starts vg15probe.exe (see vg15probe.cpp for its options and output); its output
        comes on a pipe (read it with probe_result) unless `stdout` says otherwise."""
        return subprocess.Popen(
            wine_command(self.env) + [os.path.join(self.install_dir, "vg15probe.exe")] +
            [str(a) for a in args], env=self.env, cwd=self.install_dir,
            stdout=stdout, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)

    @staticmethod
    def probe_result(proc, timeout=30.0):
        """Waits for a probe (killed after `timeout` s) -> (exit code, output lines)."""
        try:
            out, _ = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, _ = proc.communicate(timeout=10)
            return None, out.decode("latin-1").splitlines()
        return proc.returncode, out.decode("latin-1").splitlines()

    def run_probe(self, *args, timeout=30.0):
        return self.probe_result(self.start_probe(*args), timeout)


def _at(at):
    return "" if at is None else " at=%d" % (at & 0xFFFFFFFF)


def _wait_timeout(vg, at):
    """Reply timeout for a command that first waits until tick `at` (bounded at 60 s)."""
    return vg.timeout + (61.0 if at is not None else 0.0)
