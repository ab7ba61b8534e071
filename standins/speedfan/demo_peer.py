"""Demo hook: a SpeedFan stand-in whose readings drift like a warm computer's."""

import math
import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import speedfan  # noqa: E402

# Settings keys the demo's applet needs for the FAN slot.
SETTINGS = ("fan_mode_0 CPU TEMP 0\nfan_mode_1 GPU TEMP 1\nfan_mode_2 CPUfan FAN 0\n"
            "fan_mode_3 12V VOLT 0\nfan_cycle_interval 30\nfan_cycle 1\n")


class _Demo:
    def __init__(self, env, build):
        self.sf = speedfan.SpeedFan(env).install(build).start()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        k = 0
        while not self._stop.is_set():
            w = math.sin(k / 8.0)
            try:
                self.sf.readings(temps=[int(4500 + 600 * w), int(5200 + 900 * w), 3150],
                                 fans=[int(2100 + 400 * w), 950],
                                 volts=[int(1198 + 6 * w), 331, 502])
            except speedfan.peer.PeerError:
                return
            k += 1
            self._stop.wait(1.0)

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        self.sf.stop()


def start(env, build, applet_dir):
    return _Demo(env, build)
