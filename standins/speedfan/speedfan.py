"""Client of the SpeedFan stand-in (speedfan.exe, the shared memory
"SFSharedMemory_ALM").

    sf = SpeedFan(env).install(build).start()
    sf.readings(temps=[4520, 3810], fans=[2250], volts=[1184])
    sf.close(); sf.open()                # SpeedFan gone and back
    sf.stop()
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peerctl"))
import peer  # noqa: E402

PORT = peer.PORT_BASE + 61


class SpeedFan(peer.Peer):
    def __init__(self, env, port=PORT):
        super().__init__(env, "speedfan", "speedfan.exe", ["speedfan.exe"], port)

    def readings(self, temps=(), fans=(), volts=()):
        """Publishes these readings (hundredths of degrees and volts; counts follow)."""
        self.command("TEMPS " + " ".join(str(v) for v in temps))
        self.command("FANS " + " ".join(str(v) for v in fans))
        self.command("VOLTS " + " ".join(str(v) for v in volts))

    def counts(self, temps, fans, volts):
        self.command("COUNTS %d %d %d" % (temps, fans, volts))

    def version(self, n):
        self.command("VERSION %d" % n)

    def size(self, n):
        self.command("SIZE %d" % n)

    def close(self):
        self.command("CLOSE")

    def open(self):
        self.command("OPEN")
