"""Client of the TeamSpeak 2 stand-in (TeamSpeak.exe + TSRemote.dll under Wine).

Standard library only; every wait is bounded.

    ts = TeamSpeak(env)                     # env from vg15.wine_env / harness.prefix_env
    ts.install(build_dir)                   # TeamSpeak.exe, TSRemote.dll, ts2.ini
    ts.start()                              # the "TApplication" / "TeamSpeak 2" window
    ts.copy_library(applet_dir)             # TSRemote.dll beside the applet
    ts.set_state(server("Alpha", 3), user(1, 0, 7, 2, "Lobby"),
                 [player(1, 7, "me"), player(2, 7, "ann")], speakers=[2])
    ts.calls()                              # what the library was asked, with results
    ts.fault("players", 5, 1); ts.delay("server", 5000, 1)
    ts.stop()
"""

import os
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "vg15"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peerctl"))
import peer  # noqa: E402
import vg15  # noqa: E402

PORT_BASE = int(os.environ.get("KORVANE_PORT_BASE", "15900"))
DEFAULT_PORT = PORT_BASE + 40
INSTALL_DIR_WIN = r"C:\Program Files\Teamspeak2_RC2"
ENTRIES = ("server", "user", "players", "speakers", "flags", "other")
FLAG_MIC = 0x10


class Ts2Error(peer.PeerError):
    """A refused command, a lost connection or a timeout."""


# ---- records, laid out as the client library writes them ------------------------------

def _text(name, size):
    b = name.encode("latin-1") if isinstance(name, str) else bytes(name)
    return b[:size] + b"\0" * (size - min(len(b), size))


def server(name, count):
    """Server record (482 bytes): name at 0, the server count at 478."""
    return _text(name, 478) + struct.pack("<i", count)


def player(pid, channel, nick, flags=0):
    """Player record (50 bytes): id, channel id, nickname at 8 (38 bytes), flags at 46."""
    return struct.pack("<ii", pid, channel) + _text(nick, 38) + struct.pack("<i", flags)


def channel(cid, players, name):
    """Channel record (50 bytes): id, player count at 8, name at 20 (30 bytes)."""
    return struct.pack("<iii", cid, 0, players) + b"\0" * 8 + _text(name, 30)


def user(pid, flags, channel_id, channel_players, channel_name, nick="me"):
    """User record (150 bytes): own player record, own channel record, 50 bytes unused."""
    return (player(pid, channel_id, nick, flags) + channel(channel_id, channel_players,
                                                           channel_name) + b"\0" * 50)


class Call:
    __slots__ = ("seq", "start", "tick", "pid", "tid", "entry", "arg", "result")

    def __init__(self, words):
        self.seq, self.start, self.tick, self.pid, self.tid = (int(w) for w in words[:5])
        self.entry = words[5]
        self.arg, self.result = int(words[6]), int(words[7])

    def __repr__(self):
        return "Call(%s arg=%d -> %d @%d..%d)" % (self.entry, self.arg, self.result, self.start,
                                                  self.tick)


class TeamSpeak:
    """The stand-in client in one Wine prefix, driven over TeamSpeak.exe's control port."""

    def __init__(self, env, port=DEFAULT_PORT, timeout=10.0):
        self.env = env
        self.port = port
        self.timeout = timeout
        self.install_dir = vg15.unix_path(env, INSTALL_DIR_WIN)
        self.build = None
        self.proc = None
        self._link = None

    # -- installation and process ---------------------------------------------------------

    def install(self, build_dir):
        """Copies TeamSpeak.exe and TSRemote.dll into the install folder, writes ts2.ini."""
        self.build = build_dir
        os.makedirs(self.install_dir, exist_ok=True)
        for name in ("TeamSpeak.exe", "TSRemote.dll"):
            peer.install_file(self._built(name), os.path.join(self.install_dir, name))
        with open(os.path.join(self.install_dir, "ts2.ini"), "w") as f:
            f.write("port=%d\n" % self.port)
        return self.install_dir

    def _built(self, name):
        path = os.path.join(self.build, "standins", "ts2", name)
        if not os.path.exists(path):
            raise Ts2Error("%s is missing: build the Windows tree first" % path)
        return path

    def copy_library(self, folder):
        """Puts TSRemote.dll into `folder` (beside the applet, where LoadLibrary finds it)."""
        peer.install_file(os.path.join(self.install_dir, "TSRemote.dll"),
                          os.path.join(folder, "TSRemote.dll"))

    def start(self, timeout=30.0):
        """Starts TeamSpeak.exe and connects to it."""
        self.close()
        log = open(os.path.join(self.install_dir, "teamspeak.log"), "ab")
        self.proc = subprocess.Popen(
            vg15.wine_command(self.env) + [os.path.join(self.install_dir, "TeamSpeak.exe")],
            env=self.env, cwd=self.install_dir, stdout=log, stderr=log,
            stdin=subprocess.DEVNULL)
        log.close()
        deadline = time.monotonic() + timeout
        while True:
            if self.proc.poll() is not None:
                raise Ts2Error("TeamSpeak.exe exited at start with %s" % self.proc.returncode)
            try:
                self.connect()
                return self
            except Ts2Error:
                if time.monotonic() > deadline:
                    self.kill()
                    raise Ts2Error("TeamSpeak.exe did not open port %d" % self.port)
                time.sleep(0.2)

    def stop(self, timeout=10.0):
        """Ends TeamSpeak.exe (its window goes away) and waits for it (bounded)."""
        try:
            self.command("EXIT 0")
        except Ts2Error:
            pass
        self.close()
        peer.wait_process(self.proc, timeout)
        self.proc = None

    def kill(self):
        peer.end_process(self.proc)
        self.proc = None
        self.close()

    # -- control channel ------------------------------------------------------------------

    def connect(self):
        self.close()
        self._link = peer.LineLink(self.port, 1.0, "TeamSpeak.exe", Ts2Error)
        return self.command("HELLO")

    def close(self):
        if self._link:
            self._link.close()
        self._link = None

    def _line(self):
        return self._link.line(self.timeout)

    def command(self, text):
        """Sends one line; returns the text after "OK"."""
        if not self._link:
            raise Ts2Error("not connected to TeamSpeak.exe")
        return self._link.command(text, self.timeout)

    # -- the client's state ---------------------------------------------------------------

    def record(self, which, data):
        self.command("RECORD %s %s" % (which, bytes(data).hex()))

    def count(self, which, n):
        self.command("COUNT %s %d" % (which, n))

    def connected(self, on):
        self.command("CONNECTED %d" % (1 if on else 0))

    def set_state(self, server_rec, user_rec, players, speakers=(), connected=True,
                  player_count=None, speaker_count=None):
        """The whole client state: records as built by server(), user(), player()."""
        self.record("server", server_rec)
        self.record("user", user_rec)
        self.record("players", b"".join(players)[:6400])
        self.count("players", len(players) if player_count is None else player_count)
        self.record("speakers", b"".join(struct.pack("<i", s) for s in speakers[:8]))
        self.count("speakers", len(speakers) if speaker_count is None else speaker_count)
        self.connected(connected)

    def fault(self, entry, result, count=-1):
        """`entry` answers `result` for the next `count` calls (-1 always, 0 off)."""
        self.command("FAULT %s %d %d" % (entry, result, count))

    def delay(self, entry, ms, count=1):
        """`entry` waits `ms` before answering, for the next `count` calls."""
        self.command("DELAY %s %d %d" % (entry, ms, count))

    def reset(self):
        self.command("RESET")

    def now(self):
        return int(self.command("NOW"))

    def calls(self, since=0):
        """Calls the library answered after sequence number `since`, oldest first."""
        n = int(self.command("CALLS %d" % since).split()[0])
        return [Call(self._line().split()) for _ in range(n)]

    def last_seq(self):
        c = self.calls()
        return c[-1].seq if c else 0
