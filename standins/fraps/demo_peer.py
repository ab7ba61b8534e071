"""Demo hook: a FRAPS stand-in measuring a game whose frame rate wanders."""

import math
import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fraps  # noqa: E402


class _Demo:
    def __init__(self, env, build):
        self.fr = fraps.Fraps(env).install(build).start()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        k = 0
        while not self._stop.is_set():
            # A game at about 60 frames a second with dips; a pause in the menu now and then.
            rate = 0 if k % 40 >= 36 else int(60 + 25 * math.sin(k / 5.0))
            try:
                self.fr.fps(rate)
            except fraps.peer.PeerError:
                return
            k += 1
            self._stop.wait(1.0)

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        self.fr.stop()


def start(env, build, applet_dir):
    return _Demo(env, build)
