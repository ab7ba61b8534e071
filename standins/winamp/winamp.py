"""Client of the Winamp stand-in (winamp.exe, a window of class "Winamp v1.x").

    wa = Winamp(env).install(build).start()
    wa.title("3. Artist - Song - Winamp")
    wa.play(1, 30000, 240, 192)       # playing, 30 s in, 4-minute song, 192 kbit/s
    wa.stop()
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peerctl"))
import peer  # noqa: E402

PORT = peer.PORT_BASE + 60
STOPPED, PLAYING, PAUSED = 0, 1, 3


class Winamp(peer.Peer):
    def __init__(self, env, port=PORT):
        super().__init__(env, "winamp", "winamp.exe", ["winamp.exe"], port)

    def title(self, text):
        """Sets the window title (latin-1 bytes)."""
        self.command("TITLE " + text)

    def play(self, state, position_ms, length_s, kbps):
        """Sets the answers; while state is PLAYING the position advances from
        position_ms. Returns the stand-in's tick count of the change."""
        return int(self.command("PLAY %d %d %d %d" % (state, position_ms, length_s, kbps)))

    def bitrate(self, kbps):
        self.command("BITRATE %d" % kbps)

    def hang(self, ms):
        """The window stops answering for ms milliseconds."""
        self.command("HANG %d" % ms)

    def queries(self):
        return int(self.command("QUERIES"))
