"""The network stand-in for the demo: installs and starts the stand-in network driver in
the demo's prefix with one card and one interface, and feeds them traffic that swells
and ebbs (a download that comes in bursts, a steadier upload), so the panel's figures
and bars and the NET graphs move. The applet reads it with either method."""

import math
import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netdrv  # noqa: E402


class Peer:
    def __init__(self, env, build, applet_dir):
        self.nd = netdrv.NetDriver(env, build)
        self.nd.install()
        self.nd.start_control()
        self.nd.start_driver()
        self.nd.reset(hide_host=True)
        self.nd.add_card(0, "80", "{KORVANE-DEMO-0}", "KorvaneDemoEthernet")
        self.nd.set_if(1, index=7)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _rates(self, step):
        """Bytes per statistics query (about two a second) in and out."""
        t = step * 0.25
        burst = 1.0 if (step // 24) % 3 != 2 else 0.1
        down = int(burst * (150000 + 120000 * math.sin(t / 3.0)) + 6000 * (step % 5))
        up = int(9000 + 7000 * math.sin(t / 5.0 + 1.0))
        return max(down, 0), max(up, 0)

    def _run(self):
        step = 0
        while not self._stop.wait(0.25):
            down, up = self._rates(step)
            try:
                self.nd.steps(cards=(0,), ifs=(1,), step_in=down, step_out=up)
            except netdrv.NetDriverError:
                return
            step += 1

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        try:
            self.nd.stop_control()
        except netdrv.NetDriverError:
            pass


def start(env, build, applet_dir):
    return Peer(env, build, applet_dir)
