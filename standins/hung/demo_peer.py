"""Demo peer for the hung-application stand-in: a window titled like an editor that
stops responding for twelve seconds in every thirty, so the "RIP" slot comes and goes."""

import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hung  # noqa: E402


class _Peer:
    def __init__(self, env, build):
        self.app = hung.HungApp(env, build, index=0).start()
        self.app.set_title(b"Untitled - Notepad")
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.wait(18):
            try:
                self.app.hang()
                if self._stop.wait(12):
                    break
                self.app.resume()
            except hung.HungError:
                break  # ended from the panel (a long press): nothing left to drive

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        self.app.stop()


def start(env, build, applet_dir):
    return _Peer(env, build)
