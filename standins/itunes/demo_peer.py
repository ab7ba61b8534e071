"""Demo peer for the iTunes stand-in: the player with a short playlist, playing each
track for about twenty seconds before the next one (a track-change notice each time),
with a pause now and then. The applet shows it in a slot listing "TUN"; with
"tun_mediakeys 1" the keyboard's media keys step through the playlist too."""

import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import itunes  # noqa: E402

PLAYLIST = (
    ("Nightwalkers", "Neon Harbour", 214, 192),
    ("The Small Hours", "Paper Lanterns", 187, 256),
    ("Ostrava Brass", "Overture in C", 3920, 320),
    ("KRVN Radio", "Live Stream", 0, 128),
)


class _Peer:
    def __init__(self, env, build):
        self.it = itunes.ITunes(env).install(build).start()
        self.it.playlist(PLAYLIST)
        self.it.position(40)
        self.it.play()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        k = 0
        while not self._stop.wait(10.0):
            k += 1
            try:
                if k % 6 == 3:
                    self.it.stop()  # a pause: the remaining time stands
                elif k % 6 == 4:
                    self.it.play()
                elif k % 2 == 0:
                    self.it.command("FIRE 4")  # no change: nothing is announced again
                else:
                    self.it.command("STATE")
                if k % 4 == 0:
                    self.it.command("NEXT")  # the player moves on by itself
                    self.it.position(30)
            except itunes.ITunesError:
                return

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        self.it.kill()


def start(env, build, applet_dir):
    return _Peer(env, build)
