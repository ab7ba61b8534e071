"""Client of the TeamSpeak 3 stand-in (ts3query.py, a ClientQuery client run natively:
the applet under Wine reaches it on 127.0.0.1 like the real client's query port).

Standard library only; every wait is bounded.

    q = Ts3Query()                          # ports KORVANE_PORT_BASE + 84 / + 85
    q.start()                               # the query port listens
    q.client(2, 7, "ann"); q.talk(2, True)  # events to the applet
    q.log()                                 # the commands the applet sent
    q.stall("clientlist", 5000, 1); q.listen(False)
    q.stop()
The applet finds it through "ts3_port" = q.query_port in its lcdkorvane.txt.
"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peerctl"))
import peer  # noqa: E402

QUERY_PORT = peer.PORT_BASE + 84
CONTROL_PORT = peer.PORT_BASE + 85
SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ts3query.py")


class Ts3Error(peer.PeerError):
    """A refused command, a lost connection or a timeout."""


class Ts3Query:
    def __init__(self, query_port=QUERY_PORT, control_port=CONTROL_PORT, log_dir=None):
        self.query_port = query_port
        self.control_port = control_port
        self.log_dir = log_dir
        self.proc = None
        self._link = None

    def start(self, refuse=False, timeout=15.0):
        """Starts ts3query.py and waits until its control port answers."""
        self.stop()
        log = subprocess.DEVNULL
        if self.log_dir:
            log = open(os.path.join(self.log_dir, "ts3query.log"), "ab")
        args = [sys.executable, SERVER, "--query", str(self.query_port), "--control",
                str(self.control_port)] + (["--refuse"] if refuse else [])
        self.proc = subprocess.Popen(args, stdout=log, stderr=log, stdin=subprocess.DEVNULL)
        if log is not subprocess.DEVNULL:
            log.close()
        deadline = time.monotonic() + timeout
        while True:
            if self.proc.poll() is not None:
                raise Ts3Error("ts3query.py exited at start with %s" % self.proc.returncode)
            try:
                self._link = peer.LineLink(self.control_port, 1.0, "ts3query.py", Ts3Error)
                self.command("PING")
                return self
            except Ts3Error:
                self.close()
                if time.monotonic() > deadline:
                    self.kill()
                    raise Ts3Error("ts3query.py did not answer on port %d" % self.control_port)
                time.sleep(0.2)

    def close(self):
        if self._link:
            self._link.close()
        self._link = None

    def stop(self, timeout=5.0):
        if self.proc is None:
            return
        try:
            self.command("EXIT")
        except peer.PeerError:
            pass
        self.close()
        peer.wait_process(self.proc, timeout)
        self.proc = None

    def kill(self):
        self.close()
        peer.end_process(self.proc)
        self.proc = None

    def command(self, text, timeout=10.0):
        if not self._link:
            raise Ts3Error("not connected to ts3query.py")
        return self._link.command(text, timeout)

    # -- the client's state -----------------------------------------------------------

    def reset(self):
        self.command("RESET")

    def server(self, name):
        self.command("SERVER %s" % name)

    def online(self, on):
        self.command("ONLINE %d" % (1 if on else 0))

    def me(self, clid, cid):
        self.command("ME %d %d" % (clid, cid))

    def channel(self, cid, name):
        self.command("CHANNEL %d %s" % (cid, name))

    def client(self, clid, cid, nick):
        self.command("CLIENT %d %d %s" % (clid, cid, nick))

    def leave(self, clid):
        self.command("LEAVE %d" % clid)

    def talk(self, clid, on):
        self.command("TALK %d %d" % (clid, 1 if on else 0))

    def mute(self, clid, input_muted, output_muted=False):
        self.command("MUTE %d %d %d" % (clid, 1 if input_muted else 0, 1 if output_muted else 0))

    def key(self, apikey=None):
        self.command("KEY %s" % apikey if apikey else "KEY")

    def stall(self, command, ms, count=1):
        self.command("STALL %s %d %d" % (command, ms, count))

    def drop(self, command, count=1):
        self.command("DROP %s %d" % (command, count))

    def listen(self, on):
        self.command("LISTEN %d" % (1 if on else 0))

    def connections(self):
        return int(self.command("CONNECTIONS"))

    def log(self, since=0):
        """(seq, command line) the applet sent after `since`, oldest first."""
        n = int(self.command("LOG %d" % since))
        out = []
        for _ in range(n):
            seq, _, line = self._link.line(10.0).partition(" ")
            out.append((int(seq), line))
        return out

    def last_seq(self):
        entries = self.log()
        return entries[-1][0] if entries else 0
