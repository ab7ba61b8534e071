"""The sound system of a Wine prefix for the speaker module's tests.

Wine 8 has no null audio driver; an ALSA null output in the .asoundrc of the HOME the
Wine processes run with gives them a mixer, a Core Audio endpoint and DirectSound.
Wine keeps the mixer's volume and mute per process, so the tests change them inside the
applet: "mixerctl.exe hook" places sndhook.dll there through a global message hook, and
the library serves a control channel on 127.0.0.1:(KORVANE_PORT_BASE + 71).

    home = sound_home("/tmp/x/home")            # HOME with the ALSA null output
    env = dict(env, HOME=home)
    hook = SoundHook(env, build).start()        # before or after the applet starts
    hook.connect(timeout=30)                    # once the applet runs
    hook.volume(32768); hook.mute(1); hook.get(); hook.speaker()
"""

import os
import subprocess
import sys
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(REPO, "standins", "vg15"))
sys.path.insert(0, os.path.join(REPO, "standins", "peerctl"))
import peer  # noqa: E402
import vg15  # noqa: E402

PORT = vg15.PORT_BASE + 71
INSTALL_DIR_WIN = r"C:\korvsound"
ASOUNDRC = "pcm.!default { type null }\nctl.!default { type hw card 0 }\n"
RENDER_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\MMDevices\Audio\Render"
SPEAKERS_VALUE = "{1da5d803-d492-4edd-8c23-e0c0ffee7f0e},3"


class SoundError(peer.PeerError):
    """A refused command, a lost connection or a timeout."""


def sound_home(path):
    """A HOME folder whose .asoundrc gives Wine an ALSA null output; returns it."""
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, ".asoundrc"), "w") as f:
        f.write(ASOUNDRC)
    return path


def silent_home(path):
    """A HOME folder without any sound configuration: Wine finds no sound device."""
    os.makedirs(path, exist_ok=True)
    rc = os.path.join(path, ".asoundrc")
    if os.path.exists(rc):
        os.remove(rc)
    return path


def tool_dir(build_dir):
    base = os.path.join(build_dir, "standins", "sound")
    if vg15.default_arch() != "i686":
        base = os.path.join(build_dir, "x64", "standins", "sound")
    return base


def install(env, build_dir, port=PORT, no_core_audio=False):
    """Copies mixerctl.exe and sndhook.dll into C:\\korvsound with sndhook.ini (with
    no_core_audio the library hides the Core Audio enumerator from the applet's code)."""
    folder = vg15.unix_path(env, INSTALL_DIR_WIN)
    os.makedirs(folder, exist_ok=True)
    for name in ("mixerctl.exe", "sndhook.dll"):
        src = os.path.join(tool_dir(build_dir), name)
        if not os.path.exists(src):
            raise SoundError("%s is missing: build the Windows tree first" % src)
        peer.install_file(src, os.path.join(folder, name))
    with open(os.path.join(folder, "sndhook.ini"), "w") as f:
        f.write("port=%d\n" % port)
        if no_core_audio:
            f.write("no_core_audio=1\n")
    return folder


def mixerctl(env, build_dir, *args, timeout=60):
    """Runs mixerctl.exe to its end; returns its output line."""
    folder = install(env, build_dir)
    out = os.path.join(folder, "mixerctl.out")
    with open(out, "wb") as f:
        try:
            subprocess.run(vg15.wine_command(env) + [os.path.join(folder, "mixerctl.exe")] +
                           list(args), env=env, cwd=folder, stdout=f, stderr=subprocess.DEVNULL,
                           stdin=subprocess.DEVNULL, timeout=timeout)
        except subprocess.TimeoutExpired:
            raise SoundError("mixerctl %s: no end within %s s" % (" ".join(args), timeout))
    with open(out, "rb") as f:
        return f.read().decode("latin-1").strip()


class SoundHook:
    """The hook program and the control channel of sndhook.dll inside the applet."""

    def __init__(self, env, build_dir, port=PORT, no_core_audio=False):
        """With no_core_audio the applet's own code cannot create the Core Audio device
        enumerator, as before Vista (DirectSound and the mixer still work): start the
        hook before the applet, which then loads the library as it creates its window."""
        self.env = env
        self.port = port
        self.early = no_core_audio
        self.folder = install(env, build_dir, port, no_core_audio)
        self.proc = None
        self.link = None

    def start(self, timeout=30.0):
        path = os.path.join(self.folder, "hook.log")
        if os.path.exists(path):
            os.remove(path)
        log = open(path, "ab")
        args = ["hook", "early"] if self.early else ["hook"]
        self.proc = subprocess.Popen(
            vg15.wine_command(self.env) + [os.path.join(self.folder, "mixerctl.exe")] + args,
            env=self.env, cwd=self.folder, stdout=log, stderr=log, stdin=subprocess.DEVNULL)
        log.close()
        if self.early:
            # The hooks must be set before the applet creates its window.
            deadline = time.monotonic() + timeout
            while True:
                with open(path, "rb") as f:
                    if b"OK hooked" in f.read():
                        break
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise SoundError("mixerctl.exe hook early: not hooked (see %s)" % path)
                time.sleep(0.1)
        return self

    def connect(self, timeout=30.0):
        """Waits until the library answers inside the running applet."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.link = peer.LineLink(self.port, 5, "the sound hook", SoundError)
                return self
            except SoundError:
                if self.proc is not None and self.proc.poll() is not None:
                    raise SoundError("mixerctl hook ended with %s" % self.proc.returncode)
                if time.monotonic() > deadline:
                    raise SoundError("no sound hook in the applet within %s s" % timeout)
                time.sleep(0.3)

    def command(self, text, timeout=10.0):
        if self.link is None:
            raise SoundError("not connected")
        return self.link.command(text, timeout)

    def volume(self, value):
        self.command("VOLUME %d" % value)

    def mute(self, on):
        self.command("MUTE %d" % (1 if on else 0))

    def get(self):
        """{"volume", "min", "max", "mute"} of the applet's mixer."""
        return {k: int(v) for k, v in (w.split("=") for w in self.command("GET").split())}

    def speaker(self):
        """The applet's DirectSound speaker configuration (all 32 bits)."""
        return int(self.command("SPEAKER").split("=")[1], 16)

    def keep_speaker_config(self):
        """Makes the applet's DirectSound keep the configuration it is given, as Windows
        before Vista does (Wine 8 ignores SetSpeakerConfig)."""
        self.command("KEEP")

    def stop(self):
        if self.link is not None:
            self.link.close()
        self.link = None
        peer.end_process(self.proc)
        self.proc = None
