"""The speaker module under Wine with an ALSA null output: on the Core Audio path the
endpoint's volume, the configuration from the endpoints' registry properties (the 64-bit
view), the Control Panel notice on a short press and a registry value of the wrong type;
on a prefix that reports Windows XP the mixer's volume and mute as ramp and mute mark and
a short press asking DirectSound for the other speaker configuration (and, with
DirectSound keeping it as before Vista, switching there and back); and with no sound
device on either path the slot handed on."""

import os
import sys
import time

import harness
from harness import E2E, region_diff, render
from test_screen import SLOT_X, TEXT_LARGE, slot_frame

sys.path.insert(0, os.path.join(harness.REPO, "standins", "sound"))
import sound  # noqa: E402
import vg15  # noqa: E402

APPDEFAULTS = r"HKCU\Software\Wine\AppDefaults\LCDKorvane.exe"
NOTICE = "Windows Vista only allows speaker setup through the Control Panel"


def spk_slot(x, level, muted, config, ramp=True):
    """The whole slot as the module draws it."""
    px = bytearray(slot_frame("SPK", x))
    cmds = [("speakers", x, 22, config)]
    if ramp:
        cmds.append(("ramp", x, 22, level, 1 if muted else 0))
    for k, b in enumerate(render(*cmds)):
        if b:
            px[k] = 255
    return bytes(px)


class Spk(E2E):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.sound_home = sound.sound_home(os.path.join(harness.BUILD, "e2e-spk-home"))
        cls.silent_home = sound.silent_home(os.path.join(harness.BUILD, "e2e-spk-silent"))
        cls.set_xp(False)

    @classmethod
    def reg(cls, *args):
        return vg15.run_wine(cls.env, ["reg"] + list(args),
                             log=cls.env["WINEPREFIX"] + ".log")

    @classmethod
    def set_xp(cls, on):
        """The applet (only) is told Windows XP, or the prefix's own version."""
        if on:
            cls.reg("add", APPDEFAULTS, "/v", "Version", "/d", "winxp", "/f")
        else:
            cls.reg("delete", APPDEFAULTS, "/f")

    def setUp(self):
        super().setUp()
        self.hook = None

    def tearDown(self):
        if self.hook:
            self.hook.stop()
        super().tearDown()
        self.set_xp(False)

    def start(self, home, settings):
        env = dict(self.env, HOME=home)
        a = harness.Applet(env, self.id().split(".")[-1] + "_%d" % len(self.applets), settings)
        self.applets.append(a)
        return a.start()

    def slot_diff(self, f, i, expected):
        x = SLOT_X[i]
        return region_diff(f.pixels, expected, x, 22, x + 38, 42)

    def wait_slot(self, i, expected, timeout=8.0, what=""):
        deadline = time.monotonic() + timeout
        last = None
        while time.monotonic() < deadline:
            last = self.next_frame(timeout=5.0)
            if self.slot_diff(last, i, expected) is None:
                return last
            time.sleep(0.2)
        self.fail("slot %d %s: %s" % (i, what, self.slot_diff(last, i, expected)))

    def wait_notice(self, text, timeout=3.0):
        band = render((TEXT_LARGE, 0, 8, text))
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for f in self.vg.frames_since():
                if region_diff(f.pixels, band, 0, 8, 159, 20) is None:
                    return True
            time.sleep(0.1)
        return False

    def spk_errors(self, applet):
        return [l for l in applet.errors() if "spk" in l]

    def endpoint_properties(self):
        """The Properties key of the first Render endpoint (64-bit view)."""
        out = os.path.join(self.env["WINEPREFIX"], "spk-reg.txt")
        with open(out, "w"):
            pass
        vg15.run_wine(self.env, ["reg", "query", sound.RENDER_KEY, "/reg:64"], log=out)
        with open(out, "rb") as f:
            for line in f.read().decode("latin-1").splitlines():
                line = line.strip()
                if line.upper().startswith(sound.RENDER_KEY.upper().replace("HKLM", "HKEY_LOCAL_MACHINE") + "\\"):
                    return line + r"\Properties"
        self.fail("no Render endpoint in the registry")

    def set_mask(self, key, view, kind, value):
        self.assertEqual(self.reg("add", key, "/v", sound.SPEAKERS_VALUE, "/t", kind, "/d", value,
                                  "/f", view), 0)

    # ---- Core Audio (the prefix reports Windows 7) ---------------------------------------

    def test_core_audio_volume_configuration_and_notice(self):
        a = self.start(self.sound_home, "animate_start 0\nslot_1 SPK STW\n")
        self.first_frame()
        # Wine's endpoint reads full volume, not muted; its endpoint is stereo (0x3).
        self.wait_slot(1, spk_slot(SLOT_X[1], 20, 0, 4), what="full volume, stereo")
        props = self.endpoint_properties()
        try:
            # 5.1 in the 64-bit view, surround in the 32-bit one: the 64-bit view counts.
            self.set_mask(props, "/reg:64", "REG_DWORD", "0x3f")
            self.set_mask(props.replace(r"HKEY_LOCAL_MACHINE\SOFTWARE", r"HKLM\SOFTWARE"),
                          "/reg:32", "REG_DWORD", "0x107")
            self.wait_slot(1, spk_slot(SLOT_X[1], 20, 0, 6), what="5.1 from the 64-bit view")
            self.set_mask(props, "/reg:64", "REG_DWORD", "0x7")
            self.wait_slot(1, spk_slot(SLOT_X[1], 20, 0, 0), what="unknown layout: no picture")

            self.vg.frames_since()
            self.vg.press(1, 200)
            self.assertTrue(self.wait_notice(NOTICE), "a short press posts the notice")
            self.wait_slot(1, spk_slot(SLOT_X[1], 20, 0, 0), what="nothing changed by the press")

            self.set_mask(props, "/reg:64", "REG_SZ", "63")
            time.sleep(4.0)  # four refreshes
            self.wait_slot(1, spk_slot(SLOT_X[1], 20, 0, 0), what="a text value: no picture")
            lines = [l for l in self.spk_errors(a) if "Render value is not DWORD in key" in l]
            self.assertEqual(len(lines), 1, "one log line for a lasting problem: got %s" % lines)
            self.assertEqual([l for l in a.errors() if "found no subkeys of Render" in l], [],
                             "got 'found no subkeys' with a Render endpoint there")
            self.assertIn("\\Properties'", lines[0])
        finally:
            self.set_mask(props, "/reg:64", "REG_DWORD", "0x3")
        self.wait_slot(1, spk_slot(SLOT_X[1], 20, 0, 4), what="stereo again")
        self.assertTrue(a.running())

    def test_a_system_reporting_xp_with_core_audio_takes_the_core_audio_path(self):
        # A compatibility setting makes the system report XP; the enumerator can still
        # be created, so the volume, configuration and the notice are Core Audio's.
        self.set_xp(True)
        a = self.start(self.sound_home, "animate_start 0\nslot_3 SPK STW\n")
        self.first_frame()
        self.wait_slot(3, spk_slot(SLOT_X[3], 20, 0, 4), what="Core Audio's full volume, stereo")
        self.vg.frames_since()
        self.vg.press(3, 200)
        self.assertTrue(self.wait_notice(NOTICE), "got no Control Panel notice on a short press")
        self.assertEqual(self.spk_errors(a), [])

    # ---- DirectSound and the mixer (XP: no Core Audio enumerator for the applet) --------

    def test_xp_mixer_volume_mute_and_the_requested_configuration(self):
        self.set_xp(True)
        self.hook = sound.SoundHook(self.env, harness.BUILD, no_core_audio=True).start()
        a = self.start(self.sound_home, "animate_start 0\nslot_2 SPK STW\n")
        self.first_frame()
        self.hook.connect(timeout=30)
        x = SLOT_X[2]
        for value, muted, level in ((65535, 0, 20), (32768, 0, 10), (0, 0, 0), (65535, 1, 20),
                                    (0, 1, 0), (49151, 0, 15)):
            self.hook.volume(value)
            self.hook.mute(muted)
            self.wait_slot(2, spk_slot(x, level, muted, 4),
                           what="volume %d muted %d, stereo" % (value, muted))
        # speaker_setup 5.1 and headphone_setup headphone (the defaults); now stereo.
        # A short press asks DirectSound for speaker_setup (5.1 by default) because the
        # system is not set to it; the press's frame shows what was asked for, the next
        # frames what DirectSound reports. Wine 8 ignores SetSpeakerConfig (as Windows
        # Vista and later do), so here the system stays stereo and every press asks for
        # 5.1 again: the switch back to headphone_setup is covered by the unit tests.
        for _ in range(2):
            self.vg.frames_since()
            self.vg.press(2, 200)
            time.sleep(1.5)
            frames = self.vg.frames_since()
            asked = [f for f in frames if self.slot_diff(f, 2, spk_slot(x, 15, 0, 6)) is None]
            self.assertTrue(asked, "no frame showed the requested 5.1 configuration")
            d = self.slot_diff(frames[-1], 2, spk_slot(x, 15, 0, 4))
            self.assertIsNone(d, "the configuration DirectSound reports afterwards: %s" % d)
        self.assertEqual(self.spk_errors(a), [])

    def test_xp_short_press_switches_there_and_back(self):
        self.set_xp(True)
        self.hook = sound.SoundHook(self.env, harness.BUILD, no_core_audio=True).start()
        a = self.start(self.sound_home,
                       "animate_start 0\nspeaker_setup 7.1\nheadphone_setup stereo\nslot_3 SPK\n")
        self.first_frame()
        self.hook.connect(timeout=30)
        self.hook.keep_speaker_config()  # DirectSound as before Vista
        self.hook.volume(65535)
        x = SLOT_X[3]
        self.wait_slot(3, spk_slot(x, 20, 0, 4), what="stereo at the start")
        for expected in (8, 4, 8):
            self.vg.press(3, 200)
            self.wait_slot(3, spk_slot(x, 20, 0, expected), what="after a short press")
            time.sleep(1.0)
            d = self.slot_diff(self.next_frame(), 3, spk_slot(x, 20, 0, expected))
            self.assertIsNone(d, "configuration %d kept: %s" % (expected, d))
            got = self.hook.speaker() & 0xFF
            self.assertEqual(got, expected, "DirectSound configuration: got %d, expected %d" % (
                got, expected))
        self.assertEqual(self.spk_errors(a), [])

    # ---- no sound device ---------------------------------------------------------------

    def test_no_sound_device_hands_the_slot_on(self):
        for xp in (False, True):
            self.set_xp(xp)
            a = self.start(self.silent_home, "animate_start 0\nslot_0 SPK STW\n")
            self.first_frame()
            time.sleep(3.0)
            for _ in range(5):
                f = self.next_frame()
                self.assertIsNone(region_diff(f.pixels, slot_frame("STW", 0), 0, 22, 38, 28),
                                  "xp=%s: the slot shows its next module" % xp)
                time.sleep(0.2)
            self.assertTrue(a.running(), "xp=%s: the applet runs on" % xp)
            self.assertEqual(self.spk_errors(a), [])
            a.kill()


if __name__ == "__main__":
    harness.main()
