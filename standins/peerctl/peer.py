"""Client side of the stand-ins' line control channels (standins/peerctl/peerctl.h):
install a stand-in's files into a Wine prefix with its port in "<name>.ini", start it,
send commands, stop it. Standard library only; every wait is bounded."""

import os
import shutil
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "vg15"))
import vg15  # noqa: E402

PORT_BASE = int(os.environ.get("KORVANE_PORT_BASE", "15900"))


class PeerError(Exception):
    """A refused command, a lost connection or a timeout."""


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
        src = build_dir_of(build, self.name, self.env.get("VG15_ARCH") or vg15.default_arch())
        os.makedirs(self.dir, exist_ok=True)
        for f in self.files:
            path = os.path.join(src, f)
            if not os.path.exists(path):
                raise PeerError("%s is missing: build the Windows tree first" % path)
            shutil.copy2(path, os.path.join(self.dir, f))
        with open(os.path.join(self.dir, self.name + ".ini"), "w") as f:
            f.write("port=%d\n" % self.port)
        return self

    def start(self, timeout=30.0):
        """Starts the program and waits until it answers."""
        log = open(os.path.join(self.dir, self.name + ".log"), "ab")
        self.proc = subprocess.Popen(
            vg15.wine_command(self.env) + [os.path.join(self.dir, self.exe)] + self.args,
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
        """Sends one line; returns the text after "OK" (stripped)."""
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as s:
                s.settimeout(timeout)
                s.sendall(text.encode("latin-1") + b"\n")
                data = b""
                while not data.endswith(b"\n"):
                    chunk = s.recv(4096)
                    if not chunk:
                        break
                    data += chunk
        except OSError as e:
            raise PeerError("%s: %s" % (text[:40], e))
        reply = data.decode("latin-1").rstrip("\r\n")
        if reply.startswith("ERR"):
            raise PeerError("%s: %s" % (text[:40], reply[4:]))
        if not reply.startswith("OK"):
            raise PeerError("%s: unexpected reply %r" % (text[:40], reply))
        return reply[2:].strip()

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
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
        self.proc = None

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                pass
