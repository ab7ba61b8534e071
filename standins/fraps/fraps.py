"""Client of the FRAPS stand-in (fraps.exe with its "FRAPS fps" window and a global
WH_CBT hook that places FRAPS.DLL into GUI processes).

    fr = Fraps(env).install(build).start()
    fr.fps(60)
    fr.stop()                      # FRAPS ends: rate 0, hook and window gone
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peerctl"))
import peer  # noqa: E402

PORT = peer.PORT_BASE + 62


class Fraps(peer.Peer):
    def __init__(self, env, port=PORT):
        super().__init__(env, "fraps", "fraps.exe", ["fraps.exe", "FRAPS.dll"], port)

    def fps(self, n):
        """The frame rate the record shows (0 = no game measured)."""
        self.command("FPS %d" % n)

    def null_record(self, on):
        """FrapsSharedData answers null."""
        self.command("NULLREC %d" % (1 if on else 0))

    def loads(self):
        """{"loads", "last_pid", "hook_calls"}: processes the library came into (the
        program itself first), the last of them, and hook procedure calls."""
        return {k: int(v) for k, v in (w.split("=") for w in self.command("LOADS").split())}

    def calls(self):
        """FrapsSharedData calls so far, in all processes."""
        return int(self.command("CALLS"))
