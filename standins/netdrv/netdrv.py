"""Client of the stand-in network driver (netdrv.sys + netctl.exe under Wine).

Standard library only; every wait is bounded.

    nd = NetDriver(env, build_dir)       # env from vg15.wine_env / make_prefix
    nd.install()                          # files, netdrv.ini, the kernel-driver service
    nd.start_driver()                     # net start: "\\Device\\Tcp" and the control device
    nd.start_control()                    # netctl.exe on 127.0.0.1:KORVANE_PORT_BASE + 30
    nd.reset(hide_host=True)              # only the loopback interface, no cards
    nd.set_if(1, index=7, in_=1000, out=200)
    nd.add_card(0, "0", "{KNET-0}", "KorvaneEther0", step_in=1024)
    nd.status()["ndis"]                   # statistics queries served so far

Interfaces are numbered by their TDI instance (0 is the loopback interface, always
there; 1..47 for tests); cards 0..19, each a device "\\\\.\\" + service name and a
volatile NetworkCards subkey. Steps are added to a counter at every statistics query,
so each reading of the applet sees exactly one step.
"""

import os
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "vg15"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peerctl"))
import peer  # noqa: E402
import vg15  # noqa: E402

PORT_BASE = int(os.environ.get("KORVANE_PORT_BASE", "15900"))
DEFAULT_PORT = PORT_BASE + 30
SERVICE = "KorvaneNet"
INSTALL_DIR_WIN = r"C:\korvane-netdrv"

REFUSE = 1    # card: cannot be opened (no "\\.\" link); TCP device: its entity list fails
UNLISTED = 2  # interface: out of the entity list; card: no NetworkCards subkey
GONE = 4      # card: its queries fail
KEEP = 8      # change flags and failures only, keep counters and steps
STILL = 16    # keep the counters, no more steps: the traffic stops
STEPS = 32    # keep the counters, new steps


class NetDriverError(Exception):
    pass


class NetDriver:
    def __init__(self, env, build_dir, port=DEFAULT_PORT, timeout=10.0):
        self.env = env
        self.build = build_dir
        self.port = port
        self.timeout = timeout
        self.dir = vg15.unix_path(env, INSTALL_DIR_WIN)
        self.ctl = None
        self.sock = None
        self.buf = b""

    # -- files and service ------------------------------------------------------------

    def _file(self, name, arch=None):
        """A file of the stand-in in the 32-bit tree (i686) or the 64-bit one."""
        arch = arch or self.env.get("VG15_ARCH") or vg15.default_arch()
        if arch == "i686":
            return os.path.join(self.build, "standins", "netdrv", name)
        return os.path.join(self.build, "x64", "standins", "netdrv", name)

    def _log(self):
        return os.path.join(self.dir, "netdrv.log")

    def _wine(self, *args, timeout=60):
        return vg15.run_wine(self.env, list(args), timeout=timeout, log=self._log())

    def install(self):
        """Copies netdrv.sys and netctl.exe into C:\\korvane-netdrv, writes netdrv.ini
        (the port) and registers the kernel-driver service (demand start)."""
        os.makedirs(self.dir, exist_ok=True)
        # The driver of the prefix's own flavour as netdrv.sys, the other one beside it
        # in case the services run in the other flavour.
        arch = self.env.get("VG15_ARCH") or vg15.default_arch()
        other = "x86_64" if arch == "i686" else "i686"
        for src, name in ((self._file("netdrv.sys", arch), "netdrv.sys"),
                          (self._file("netdrv.sys", other), "netdrv-other.sys"),
                          (self._file("netctl.exe"), "netctl.exe")):
            if not os.path.exists(src):
                raise NetDriverError("%s is missing: build the Windows tree first" % src)
            peer.install_file(src, os.path.join(self.dir, name))
        with open(os.path.join(self.dir, "netdrv.ini"), "w") as f:
            f.write("port=%d\n" % self.port)
        self._wine("sc", "create", SERVICE, "type=", "kernel", "start=", "demand", "binpath=",
                   INSTALL_DIR_WIN + r"\netdrv.sys")
        return self.dir

    def start_driver(self):
        """net start; when the driver does not load (the services run in the other
        flavour), the service is pointed at the other build and started again."""
        rc = self._wine("net", "start", SERVICE)
        if self.ping_driver(timeout=5):
            return
        self._wine("sc", "config", SERVICE, "binpath=", INSTALL_DIR_WIN + r"\netdrv-other.sys")
        rc = self._wine("net", "start", SERVICE)
        if not self.ping_driver(timeout=10):
            raise NetDriverError("driver did not start (net start: %s, see %s)" % (rc, self._log()))

    def stop_driver(self):
        self._wine("net", "stop", SERVICE)

    # -- control program --------------------------------------------------------------

    def start_control(self, timeout=30.0):
        if self.ctl and self.ctl.poll() is None:
            return self._connect(timeout)
        log = open(self._log(), "ab")
        self.ctl = subprocess.Popen(vg15.wine_command(self.env) + [os.path.join(self.dir, "netctl.exe")],
                                    env=self.env, cwd=self.dir, stdout=log, stderr=log,
                                    stdin=subprocess.DEVNULL)
        log.close()
        return self._connect(timeout)

    def _connect(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.close()
                self.sock = socket.create_connection(("127.0.0.1", self.port), timeout=2.0)
                self.sock.settimeout(self.timeout)
                self.buf = b""
                return self
            except OSError:
                if self.ctl and self.ctl.poll() is not None:
                    raise NetDriverError("netctl.exe exited with %s" % self.ctl.returncode)
                if time.monotonic() > deadline:
                    raise NetDriverError("netctl.exe did not open port %d" % self.port)
                time.sleep(0.2)

    def close(self):
        if self.sock:
            try:
                self.sock.close()
            except OSError:
                pass
            self.sock = None

    def stop_control(self):
        try:
            if self.sock:
                self.command("EXIT")
        except NetDriverError:
            pass
        self.close()
        peer.wait_process(self.ctl, 10)
        self.ctl = None

    def command(self, line):
        """Sends one line; returns the reply after "OK" (raises on "ERR")."""
        if not self.sock:
            raise NetDriverError("not connected to netctl.exe")
        try:
            self.sock.sendall((line + "\n").encode())
            while b"\n" not in self.buf:
                chunk = self.sock.recv(65536)
                if not chunk:
                    raise NetDriverError("netctl.exe closed the connection")
                self.buf += chunk
        except OSError as e:
            self.close()
            raise NetDriverError("control channel: %s" % e)
        reply, self.buf = self.buf.split(b"\n", 1)
        reply = reply.decode("latin-1").strip()
        if not reply.startswith("OK"):
            raise NetDriverError("%s -> %s" % (line, reply))
        return reply[2:].strip()

    # -- commands ---------------------------------------------------------------------

    def ping_driver(self, timeout=0.0):
        """True when the driver answers through netctl.exe (waiting up to timeout s)."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.command("PING")
                return True
            except NetDriverError:
                if time.monotonic() >= deadline:
                    return False
                time.sleep(0.3)

    def status(self):
        """The driver's counts: list, type, if, ndis, tcpopen, cardopen, bad (ints) and
        cq, cin, cout, ifin, ifout (lists per card / interface)."""
        out = {}
        for field in self.command("STATUS").split():
            k, v = field.split("=", 1)
            out[k] = [int(x) for x in v.split(",")] if "," in v else int(v)
        return out

    def reset(self, hide_host=False):
        self.command("RESET hide" if hide_host else "RESET")

    def tcp(self, refuse):
        self.command("TCP flags=%d" % (REFUSE if refuse else 0))

    def set_if(self, instance, index=None, type_=6, in_=0, out=0, step_in=0, step_out=0,
               flags=0, fail=0):
        self.command("IF id=%d index=%d type=%d in=%d out=%d sin=%d sout=%d flags=%d fail=%d" % (
            instance, instance + 100 if index is None else index, type_, in_, out, step_in,
            step_out, flags, fail))

    def add_card(self, card, subkey, service, description, in_=0, out=0, step_in=0, step_out=0,
                 flags=0, fail=0):
        self.command("CARD id=%d subkey=%s service=%s desc=%s in=%d out=%d sin=%d sout=%d "
                     "flags=%d fail=%d" % (card, subkey, service, description, in_, out, step_in,
                                           step_out, flags, fail))

    def set_card(self, card, in_=0, out=0, step_in=0, step_out=0, flags=0, fail=0):
        self.command("CARDSET id=%d in=%d out=%d sin=%d sout=%d flags=%d fail=%d" % (
            card, in_, out, step_in, step_out, flags, fail))

    def card_flags(self, card, flags, fail=0):
        """Changes a card's flags (and pending failures) and keeps its counters."""
        self.command("CARDSET id=%d flags=%d fail=%d" % (card, flags | KEEP, fail))

    def if_flags(self, instance, flags, fail=0):
        """Changes an interface's flags (and pending failures), keeps its counters."""
        self.command("IF id=%d flags=%d fail=%d" % (instance, flags | KEEP, fail))

    def steps(self, cards=(), ifs=(), step_in=0, step_out=0):
        """New steps for the given cards and interfaces; the counters stay."""
        for c in cards:
            self.command("CARDSET id=%d sin=%d sout=%d flags=%d" % (c, step_in, step_out,
                                                                    KEEP | STEPS))
        for i in ifs:
            self.command("IF id=%d sin=%d sout=%d flags=%d" % (i, step_in, step_out,
                                                               KEEP | STEPS))

    def still(self, cards=(), ifs=()):
        """Stops the traffic: the counters stay where they are."""
        for c in cards:
            self.command("CARDSET id=%d flags=%d" % (c, KEEP | STILL))
        for i in ifs:
            self.command("IF id=%d flags=%d" % (i, KEEP | STILL))
