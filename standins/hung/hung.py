"""Client of the hung-application stand-in (hungapp.exe under Wine).

Standard library only; every wait is bounded.

    h = HungApp(env, build_dir, index=0).start()  # a visible window "Hung stand-in 0"
    h.set_title(b"Untitled - Notepad")
    h.hang()                                      # hung for the system after about 5 s
    h.wait_hung(True, timeout=15)
    h.resume()
    h.wait_exit(10)                               # exit code, or None while running
"""

import os
import subprocess
import sys
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(REPO, "standins", "vg15"))
sys.path.insert(0, os.path.join(REPO, "standins", "peerctl"))
import peer  # noqa: E402
import vg15  # noqa: E402

# Control ports: base + 70 + index (KORVANE_PORT_BASE, default 15900).
PORT = vg15.PORT_BASE + 70
INSTALL_DIR_WIN = r"C:\hungapp"


class HungError(peer.PeerError):
    """A refused command, a lost connection or a timeout."""


def exe_path(build_dir):
    """hungapp.exe of the Windows build, in the flavour this host's Wine runs."""
    base = os.path.join(build_dir, "standins", "hung")
    if vg15.default_arch() != "i686":
        base = os.path.join(build_dir, "x64", "standins", "hung")
    return os.path.join(base, "hungapp.exe")


def install(env, build_dir, port=PORT):
    """Copies hungapp.exe into C:\\hungapp of the prefix with hung.ini (the base port);
    returns the folder."""
    folder = vg15.unix_path(env, INSTALL_DIR_WIN)
    os.makedirs(folder, exist_ok=True)
    src = exe_path(build_dir)
    if not os.path.exists(src):
        raise HungError("%s is missing: build the Windows tree first" % src)
    peer.install_file(src, os.path.join(folder, "hungapp.exe"))
    with open(os.path.join(folder, "hung.ini"), "w") as f:
        f.write("port=%d\n" % port)
    return folder


class HungApp:
    """One hungapp.exe process and its control connection."""

    def __init__(self, env, build_dir, index=0, port=PORT):
        self.env = env
        self.index = index
        self.port = port + index
        self.folder = install(env, build_dir, port)
        self.proc = None
        self.link = None

    def start(self, timeout=20.0):
        log = open(os.path.join(self.folder, "hungapp-%d.log" % self.index), "ab")
        self.proc = subprocess.Popen(
            vg15.wine_command(self.env) + [os.path.join(self.folder, "hungapp.exe"), "--index",
                                           str(self.index)],
            env=self.env, cwd=self.folder, stdout=log, stderr=log, stdin=subprocess.DEVNULL)
        log.close()
        deadline = time.monotonic() + timeout
        while True:
            if self.proc.poll() is not None:
                raise HungError("hungapp.exe exited at start with %s" % self.proc.returncode)
            try:
                self._connect()
                self.pid = int(self.command("PID"))
                return self
            except HungError:
                self._close()
                if time.monotonic() > deadline:
                    self.kill()
                    raise HungError("hungapp.exe did not open port %d within %s s" %
                                    (self.port, timeout))
                time.sleep(0.2)

    def _connect(self):
        self.link = peer.LineLink(self.port, 5, "hungapp.exe", HungError)

    def _close(self):
        if self.link is not None:
            self.link.close()
        self.link = None

    def command(self, text, timeout=5.0):
        if self.link is None:
            raise HungError("not connected")
        return self.link.command(text, timeout)

    def set_title(self, title):
        """Sets the window title to these bytes (not while hanging)."""
        self.command("TITLE " + bytes(title).hex())

    def hang(self):
        self.command("HANG")

    def resume(self):
        self.command("RESUME")

    def show(self, visible=True):
        self.command("SHOW" if visible else "HIDE")

    def state(self):
        """{"hanging": 0|1, "hung": 0|1, "visible": 0|1}; hung is the system's view."""
        return {k: int(v) for k, v in (w.split("=") for w in self.command("STATE").split())}

    def wait_hung(self, hung, timeout):
        """True once the system reports the window hung (or not), within timeout s."""
        deadline = time.monotonic() + timeout
        while True:
            if bool(self.state()["hung"]) == hung:
                return True
            if time.monotonic() > deadline:
                return False
            time.sleep(0.3)

    def wait_exit(self, timeout):
        """The process's exit code, or None while it still runs after timeout s."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, timeout=10.0):
        """Ends the program (exit code 3) and waits for it, bounded."""
        if self.proc is None:
            return
        if self.proc.poll() is None:
            try:
                self.resume()
                self.command("EXIT 3")
            except HungError:
                pass
            if self.wait_exit(timeout) is None:
                self.kill()
        self._close()

    def kill(self):
        self._close()
        peer.end_process(self.proc)
