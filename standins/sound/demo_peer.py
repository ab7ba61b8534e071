"""Demo peer for the speaker module: places the sound hook into the applet and turns the
volume up and down, muting it now and then, so the "SPK" ramp moves.

The applet only has a sound device when its Wine processes run with a HOME whose
.asoundrc gives ALSA a null output (sound.sound_home); without one the slot shows its
next module and this peer idles. The hook needs the applet's window: it keeps trying
for a minute."""

import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sound  # noqa: E402

# Volume steps of a slow sweep (raw mixer values, 0..65535), then a muted pause.
SWEEP = [0, 6554, 13107, 19661, 26214, 32768, 39321, 45875, 52428, 58982, 65535]


class _Peer:
    def __init__(self, env, build):
        self.hook = sound.SoundHook(env, build).start()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        try:
            self.hook.connect(timeout=60)
        except sound.SoundError:
            return
        while not self._stop.is_set():
            try:
                for v in SWEEP + SWEEP[::-1]:
                    self.hook.volume(v)
                    if self._stop.wait(0.6):
                        return
                self.hook.mute(1)
                if self._stop.wait(4):
                    return
                self.hook.mute(0)
            except sound.SoundError:
                return  # no mixer in the applet, or the applet ended

    def stop(self):
        self._stop.set()
        self._thread.join(5)
        self.hook.stop()


def start(env, build, applet_dir):
    return _Peer(env, build)
