"""The TeamSpeak 3 stand-in for the demo: starts the ClientQuery stand-in (ts3query.py),
gives the applet its port ("ts3_port" added to the demo's lcdkorvane.txt beside the
applet) and plays a server on which a few players talk now and then, one leaves and
comes back, and the user speaks once in a while. The applet shows it in any slot
listing TS3, and its players' labels whenever they talk."""

import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ts3  # noqa: E402

NAMES = ("kim", "lou", "max", "nia")


class Peer:
    def __init__(self, env, build, applet_dir):
        self.q = ts3.Ts3Query(log_dir=applet_dir)
        settings = os.path.join(applet_dir, "lcdkorvane.txt")
        with open(settings, "a", encoding="latin-1") as f:
            f.write("\n# Added by the demo: the TeamSpeak 3 stand-in's query port.\n"
                    "ts3_port %d\n" % self.q.query_port)
        self.q.start()
        self.q.server("Korvane demo 3")
        self.q.channel(7, "Lobby")
        self.q.channel(9, "AFK")
        for i, n in enumerate(NAMES):
            self.q.client(20 + i, 7, n)
        self.q.client(40, 9, "away")
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        step = 0
        talking = set()
        while not self._stop.wait(0.5):
            want = set()
            turn = (step // 5) % (len(NAMES) + 2)
            if turn < len(NAMES):
                want.add(20 + turn)
            if step % 14 in (8, 9):
                want.add(20 + (turn + 2) % len(NAMES))
            if step % 30 in (24, 25):
                want.add(1)  # the user speaks
            away = 40 <= step % 60 < 55  # nia leaves for a while
            if away:
                want.discard(23)
            try:
                for clid in sorted(talking - want):
                    self.q.talk(clid, False)
                if step % 60 == 40:
                    self.q.leave(23)
                if step % 60 == 55:
                    self.q.client(23, 7, "nia")
                for clid in sorted(want - talking):
                    self.q.talk(clid, True)
                talking = want
            except ts3.Ts3Error:
                return
            step += 1

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        self.q.stop()


def start(env, build, applet_dir):
    """Starts the stand-in client; the returned object's stop() ends it."""
    return Peer(env, build, applet_dir)
