"""Client of the iTunes stand-in (standins/itunes/iTunes.exe under Wine).

Standard library only; every wait is bounded.

    it = ITunes(env)                       # port KORVANE_PORT_BASE + 50
    it.install(build_dir)                  # program, itunes.ini, COM class and type library
    it.start()                             # the player window, serving its COM class
    it.track("Artist", "Song", 240, 192)   # current track; fires the track-changed event
    it.play(); it.stop(); it.hang(10000); it.quit()
    it.state()["next"]                     # NextTrack calls seen
"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "vg15"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peerctl"))
import peer  # noqa: E402
import vg15  # noqa: E402

PORT = vg15.PORT_BASE + 50
INSTALL_DIR_WIN = r"C:\Program Files\iTunes"
VK_MEDIA_NEXT_TRACK = 0xB0
VK_MEDIA_PREV_TRACK = 0xB1
VK_MEDIA_STOP = 0xB2
VK_MEDIA_PLAY_PAUSE = 0xB3


class ITunesError(peer.PeerError):
    """A refused command, a lost connection or a timeout."""


def standin_path(build_dir, arch):
    base = build_dir if arch == "i686" else os.path.join(build_dir, "x64")
    return os.path.join(base, "standins", "itunes", "iTunes.exe")


class ITunes:
    """The stand-in player in one WINEPREFIX, driven over its control port."""

    def __init__(self, env, port=PORT, timeout=10.0):
        self.env = env
        self.port = port
        self.timeout = timeout
        self.arch = env.get("VG15_ARCH") or vg15.default_arch()
        self.install_dir = vg15.unix_path(env, INSTALL_DIR_WIN)
        self.exe = os.path.join(self.install_dir, "iTunes.exe")
        self.proc = None
        self._ch = None

    def install(self, build_dir):
        """Copies iTunes.exe, writes itunes.ini and lets the program register its COM
        class and type library ("iTunes.exe regserver")."""
        src = standin_path(build_dir, self.arch)
        if not os.path.exists(src):
            raise ITunesError("%s is missing: build the Windows tree first" % src)
        os.makedirs(self.install_dir, exist_ok=True)
        peer.install_file(src, self.exe)
        with open(os.path.join(self.install_dir, "itunes.ini"), "w") as f:
            f.write("port=%d\n" % self.port)
        rc = vg15.run_wine(self.env, [self.exe, "regserver"], timeout=60,
                           log=os.path.join(self.install_dir, "itunes.log"))
        if rc != 0:
            raise ITunesError("iTunes.exe regserver failed with %s" % rc)
        return self

    def start(self, refuse=False, timeout=20.0):
        """Starts the player (with refuse: its COM class not registered) and connects."""
        self.close()
        log = open(os.path.join(self.install_dir, "itunes.log"), "ab")
        self.proc = subprocess.Popen(vg15.wine_command(self.env) + [self.exe] +
                                     (["refuse"] if refuse else []), env=self.env,
                                     cwd=self.install_dir, stdout=log, stderr=log,
                                     stdin=subprocess.DEVNULL)
        log.close()
        deadline = time.monotonic() + timeout
        while True:
            if self.proc.poll() is not None:
                raise ITunesError("iTunes.exe exited at start with %s" % self.proc.returncode)
            try:
                self._ch = peer.LineLink(self.port, 2.0, "iTunes.exe", ITunesError)
                self.command("HELLO")
                return self
            except ITunesError:
                self.close()
                if time.monotonic() > deadline:
                    self.kill()
                    raise ITunesError("iTunes.exe did not open port %d within %s s" %
                                      (self.port, timeout))
                time.sleep(0.2)

    def close(self):
        if self._ch:
            self._ch.close()
            self._ch = None

    def command(self, text, timeout=None):
        if not self._ch:
            raise ITunesError("not connected to the iTunes stand-in")
        return self._ch.command(text, timeout or self.timeout)

    def state(self):
        """Counters of the calls seen (check, stop, playpause, next, previous, position,
        state, track, created, advised, unadvised), live objects (apps, tracks), and
        hanging, served, playing, sinks, foreground."""
        return vg15._ints(self.command("STATE"))

    def wait_state(self, pred, timeout, step=0.1):
        """The first state for which pred(state) holds, or None after timeout s."""
        deadline = time.monotonic() + timeout
        while True:
            s = self.state()
            if pred(s):
                return s
            if time.monotonic() > deadline:
                return None
            time.sleep(step)

    def track(self, artist, name, duration, bitrate):
        self.command("TRACK %s\t%s\t%d\t%d" % (artist, name, duration, bitrate))

    def playlist(self, tracks):
        """tracks: (artist, name, duration, bitrate) tuples; the first becomes current."""
        self.command("PLAYLIST " + "\t".join("%s\t%s\t%d\t%d" % t for t in tracks))

    def no_track(self):
        self.command("NOTRACK")

    def play(self):
        self.command("PLAY")

    def stop(self):
        self.command("STOP")

    def position(self, seconds):
        self.command("POSITION %d" % seconds)

    def fire(self, dispid):
        self.command("FIRE %d" % dispid)

    def incompatible(self, flag):
        self.command("INCOMPATIBLE %d" % (1 if flag else 0))

    def no_dispatch(self, flag):
        """The application object answers no when asked for IDispatch (not dual)."""
        self.command("NODISPATCH %d" % (1 if flag else 0))

    def refuse(self):
        self.command("REFUSE")

    def serve(self):
        self.command("SERVE")

    def hang(self, ms):
        """The next call on the application object is held for ms."""
        self.command("HANG %d" % ms)

    def foreground(self, flag):
        self.command("FOREGROUND %d" % (1 if flag else 0))

    def quit(self):
        self.command("QUIT")

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout) if self.proc else None
        except subprocess.TimeoutExpired:
            return None

    def kill(self):
        """Ends the player: EXIT, then SIGKILL when it does not go."""
        try:
            if self._ch:
                self._ch.send("EXIT")
        except ITunesError:
            pass
        self.close()
        peer.wait_process(self.proc, 5)
        self.proc = None
