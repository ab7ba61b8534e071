"""Demo hook: a Winamp stand-in playing a short playlist, a new song every 12 s."""

import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winamp  # noqa: E402

PLAYLIST = (
    ("1. Sunset Drive - Neon Boulevard", 214, 192),
    ("2. The Quiet Engines - Harbour Lights (Live)", 367, 256),
    ("3. Radio Korvane - 24/7 stream", 0, 128),
    ("4. Mira Vale - 100% Cotton Clouds", 189, 320),
)


class _Demo:
    def __init__(self, env, build):
        self.player = winamp.Winamp(env).install(build).start()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        i = 0
        while not self._stop.is_set():
            title, length, kbps = PLAYLIST[i % len(PLAYLIST)]
            try:
                self.player.title("%s - Winamp" % title)
                self.player.play(winamp.PLAYING, 5000, length, kbps)
            except winamp.peer.PeerError:
                return
            # A variable bitrate around the nominal one for a few seconds.
            for k in range(12):
                if self._stop.wait(1.0):
                    return
                try:
                    self.player.bitrate(kbps + (k % 3 - 1) * 32)
                except winamp.peer.PeerError:
                    return
            i += 1

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        self.player.stop()


def start(env, build, applet_dir):
    return _Demo(env, build)
