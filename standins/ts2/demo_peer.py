"""The TeamSpeak 2 stand-in for the demo: installs TeamSpeak.exe and TSRemote.dll in
the demo's prefix, puts the library beside the applet, and plays a small server on
which a few players talk in turn, someone joins and leaves now and then, and the user
speaks once in a while. The applet shows it in any slot listing TS2."""

import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ts2  # noqa: E402

NAMES = ("ann", "bob", "cyd", "dora")


class Peer:
    def __init__(self, env, build, applet_dir):
        self.ts = ts2.TeamSpeak(env)
        self.ts.install(build)
        self.ts.copy_library(applet_dir)
        self.ts.start()
        self.flags = 0  # the user's flags as the applet last set them
        self._seen = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _state(self, step):
        here = list(NAMES) if step % 40 < 30 else list(NAMES[:3])  # dora leaves a while
        players = [ts2.player(1, 7, "me")]
        players += [ts2.player(10 + i, 7, n, 0x08 if n == "bob" else 0)
                    for i, n in enumerate(NAMES) if n in here]
        players.append(ts2.player(30, 9, "elsewhere"))
        talking = []
        turn = (step // 4) % (len(here) + 1)
        if turn < len(here):
            talking.append(10 + NAMES.index(here[turn]))
        if step % 12 in (5, 6):
            talking.append(10 + NAMES.index(here[(turn + 1) % len(here)]))
        if step % 25 in (20, 21):
            talking.append(1)  # the user speaks
        return players, talking, len(here) + 1

    def _run(self):
        step = 0
        while not self._stop.wait(0.5):
            players, talking, count = self._state(step)
            try:
                for c in self.ts.calls(self._seen):
                    self._seen = c.seq
                    if c.entry == "flags" and c.result == 0:
                        self.flags = c.arg  # a short press in the applet
                players[0] = ts2.player(1, 7, "me", self.flags)
                self.ts.set_state(ts2.server("Korvane demo", len(players)),
                                  ts2.user(1, self.flags, 7, count, "Lobby"), players, talking)
            except ts2.Ts2Error:
                return
            step += 1

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        self.ts.stop()


def start(env, build, applet_dir):
    """Starts the stand-in client; the returned object's stop() ends it."""
    return Peer(env, build, applet_dir)
