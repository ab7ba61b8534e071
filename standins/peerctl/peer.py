"""Client side of the stand-ins' line control channels (standins/peerctl/peerctl.h):
install a stand-in's files into a Wine prefix with its port in "<name>.ini", start it,
send commands, stop it; a kept line connection (LineLink) and bounded ends of a process
for the stand-ins' own clients. Standard library only; every wait is bounded."""

import os
import shutil
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "vg15"))

PORT_BASE = int(os.environ.get("KORVANE_PORT_BASE", "15900"))


def _vg15():
    """The Wine helpers (standins/vg15/vg15.py), imported when first used: vg15 itself
    talks to LCDMon through LineLink, so this module cannot need it to load."""
    import vg15
    return vg15


class PeerError(Exception):
    """A refused command, a lost connection or a timeout."""


class LineLink:
    """A kept connection to a stand-in's control port: one line out, lines back. `who`
    names the stand-in in the errors, which are of class `error`."""

    def __init__(self, port, timeout, who, error=PeerError):
        self.who = who
        self.error = error
        try:
            self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        except OSError as e:
            raise error("cannot connect to 127.0.0.1:%d: %s" % (port, e))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.rfile = self.sock.makefile("rb")

    def close(self):
        for c in (self.rfile, self.sock):
            try:
                c.close()
            except OSError:
                pass

    def send(self, text):
        try:
            self.sock.sendall(text.encode("latin-1") + b"\n")
        except OSError as e:
            raise self.error("%s is gone: %s" % (self.who, e))

    def line(self, timeout):
        """The next line, without its end; waits at most timeout s."""
        self.sock.settimeout(timeout)
        try:
            raw = self.rfile.readline(65536)
        except OSError as e:
            raise self.error("%s did not answer: %s" % (self.who, e))
        if not raw:
            raise self.error("%s closed the control connection" % self.who)
        return raw.decode("latin-1").rstrip("\r\n")

    def command(self, text, timeout):
        """Sends one line; returns the reply's text after "OK " (raises on any other)."""
        self.send(text)
        reply = self.line(timeout)
        if reply.startswith("ERR"):
            raise self.error("%s: %s" % (text[:40], reply[4:]))
        if not reply.startswith("OK"):
            raise self.error("%s: unexpected reply %r" % (text[:40], reply))
        return reply[3:]


def install_file(src, dst):
    """Puts a copy of src at dst through a new file and a rename: a program still running
    from dst keeps its own image (Wine maps a program from its file, and one rewritten in
    place under a running copy faults in it)."""
    part = dst + ".part"
    shutil.copy2(src, part)
    os.replace(part, dst)


def end_process(proc, timeout=10.0):
    """Kills proc if it still runs and waits at most timeout s for it to go."""
    if proc is not None and proc.poll() is None:
        proc.kill()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            pass


def wait_process(proc, timeout):
    """Waits at most timeout s for proc to end by itself; kills it after that."""
    if proc is None:
        return
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        end_process(proc)


def build_dir_of(build, name, arch):
    """Where the Windows build put stand-in `name`."""
    base = os.path.join(build, "standins", name)
    return base if arch == "i686" else os.path.join(build, "x64", "standins", name)


class Peer:
    """One stand-in program in a Wine prefix, driven over its control port."""

    def __init__(self, env, name, exe, files, port, args=()):
        self.env = env
        self.name = name
        self.exe = exe
        self.files = files
        self.port = port
        self.args = list(args)
        self.dir = os.path.join(env["WINEPREFIX"], "drive_c", "standins", name)
        self.proc = None

    def install(self, build):
        """Copies the stand-in's files into C:\\standins\\<name> and writes its ini."""
        src = build_dir_of(build, self.name, self.env.get("VG15_ARCH") or _vg15().default_arch())
        os.makedirs(self.dir, exist_ok=True)
        for f in self.files:
            path = os.path.join(src, f)
            if not os.path.exists(path):
                raise PeerError("%s is missing: build the Windows tree first" % path)
            install_file(path, os.path.join(self.dir, f))
        with open(os.path.join(self.dir, self.name + ".ini"), "w") as f:
            f.write("port=%d\n" % self.port)
        return self

    def start(self, timeout=30.0):
        """Starts the program and waits until it answers."""
        log = open(os.path.join(self.dir, self.name + ".log"), "ab")
        self.proc = subprocess.Popen(
            _vg15().wine_command(self.env) + [os.path.join(self.dir, self.exe)] + self.args,
            env=self.env, cwd=self.dir, stdout=log, stderr=log, stdin=subprocess.DEVNULL)
        log.close()
        deadline = time.monotonic() + timeout
        while True:
            if self.proc.poll() is not None:
                raise PeerError("%s exited at start with %s" % (self.exe, self.proc.returncode))
            try:
                self.command("PING", timeout=1.0)
                return self
            except PeerError:
                if time.monotonic() > deadline:
                    self.kill()
                    raise PeerError("%s did not answer on port %d within %s s" % (
                        self.exe, self.port, timeout))
                time.sleep(0.2)

    def command(self, text, timeout=10.0):
        """Sends one line on a connection of its own; returns the text after "OK"."""
        link = LineLink(self.port, timeout, self.exe)
        try:
            return link.command(text, timeout)
        finally:
            link.close()

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self, timeout=15.0):
        """Asks the program to end and waits for it (bounded; killed after that)."""
        if self.proc is None:
            return
        try:
            self.command("EXIT", timeout=3.0)
        except PeerError:
            pass
        wait_process(self.proc, timeout)
        self.proc = None

    def kill(self):
        end_process(self.proc)
