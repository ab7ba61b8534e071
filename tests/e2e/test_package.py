"""The release files as a user gets them: the zip made by tools/package (the same bytes
from the same sources, the program with its version resource) and the installer, run
silently under Wine in a fresh prefix: installed files, Start-menu entries and the Run
key; the installed program started the way Windows starts it at log-on, sending frames
to the virtual G15 from its own folder; an upgrade over an older install that keeps the
user's settings; uninstalling that leaves only the user's settings and log, or nothing
when asked.

The installer and the release program are 32-bit: on a host whose Wine runs only 64-bit
programs the Wine part is skipped (the zip checks still run).
"""

import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import time
import unittest
import zipfile

import harness
from harness import REPO, vg15

# No menu files for the host desktop, no .NET or Gecko installer prompts.
os.environ["WINEDLLOVERRIDES"] = "winemenubuilder.exe=d;mscoree=;mshtml="

REG_RUN = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
REG_UNINST = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\LCDKorvane"
REG_APP = r"HKCU\Software\LCDKorvane"
MENU_ENTRIES = ["Error log (errors.txt).lnk", "LCDKorvane.lnk", "Read me.lnk",
                "Settings (lcdkorvane.txt).lnk", "Uninstall LCDKorvane.lnk"]
INSTALLED = ["LCDKorvane.exe", "LICENSE.txt", "lcdkorvane-sample.txt", "lcdkorvane.txt",
             "readme.txt", "uninstall.exe"]
ZIPPED = ["LCDKorvane.exe", "lcdkorvane.txt", "readme.txt", "LICENSE.txt"]
MAIL_LINE = "Can't get address of SHGetUnreadMailCountW"  # Wine has no such function


def source_version():
    with open(os.path.join(REPO, "src", "core", "version.h")) as f:
        return re.search(r'#define KORVANE_VERSION "([^"]+)"', f.read()).group(1)


def package(out, *extra):
    r = subprocess.run([sys.executable, os.path.join(REPO, "tools", "package"), "--build",
                        harness.BUILD, "--out", out] + list(extra), stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, timeout=300)
    if r.returncode != 0:
        raise AssertionError("tools/package failed:\n" + r.stdout.decode(errors="replace"))


def version_strings(exe):
    """The version resource's StringFileInfo values and fixed file version, read from the
    program's bytes: {"FileVersion": "2.6.7", ..., "fixed": (2, 6, 7, 0)}."""
    out = {}
    fixed = exe.find(struct.pack("<I", 0xFEEF04BD))
    if fixed >= 0:
        ms, ls = struct.unpack_from("<II", exe, fixed + 8)
        out["fixed"] = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    for key in ("FileVersion", "ProductVersion", "ProductName", "FileDescription",
                "OriginalFilename"):
        at = exe.find((key + "\0").encode("utf-16-le"))
        if at < 0:
            continue
        at += (len(key) + 1) * 2
        at += (4 - at % 4) % 4  # the value starts on a 32-bit boundary
        end = at
        while exe[end:end + 2] != b"\0\0":
            end += 2
        out[key] = exe[at:end].decode("utf-16-le")
    return out


def pe_header(exe):
    """(time stamp, stored checksum, checksum computed over the bytes)."""
    pe = struct.unpack_from("<I", exe, 0x3C)[0]
    stamp = struct.unpack_from("<I", exe, pe + 8)[0]
    at = pe + 24 + 64
    stored = struct.unpack_from("<I", exe, at)[0]
    total = 0
    data = exe + (b"\0" if len(exe) % 2 else b"")
    for i in range(0, len(data), 2):
        if i in (at, at + 2):
            continue
        total += data[i] | data[i + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    return stamp, stored, (total + len(exe)) & 0xFFFFFFFF


class Zip(unittest.TestCase):
    """The zip: built twice from the same build, byte for byte the same; its contents."""

    @classmethod
    def setUpClass(cls):
        base = os.path.join(harness.BUILD, "package-test")
        cls.first, cls.second = os.path.join(base, "zip1"), os.path.join(base, "zip2")
        for d in (cls.first, cls.second):
            shutil.rmtree(d, ignore_errors=True)
            package(d, "--no-installer")
            time.sleep(1.1)  # a different clock for the second run
        cls.version = source_version()
        cls.name = "LCDKorvane-%s-win32.zip" % cls.version

    def test_same_sources_same_zip(self):
        with open(os.path.join(self.first, self.name), "rb") as a, \
                open(os.path.join(self.second, self.name), "rb") as b:
            self.assertTrue(a.read() == b.read(), "got two different zips from one build")

    def test_contents(self):
        folder = "LCDKorvane-%s/" % self.version
        with zipfile.ZipFile(os.path.join(self.first, self.name)) as z:
            names = z.namelist()
            self.assertEqual(names, [folder + n for n in ZIPPED])
            files = {n[len(folder):]: z.read(n) for n in names}
        with open(os.path.join(self.first, "LCDKorvane.exe"), "rb") as f:
            self.assertTrue(files["LCDKorvane.exe"] == f.read(),
                            "the zip's program is not the one tools/package reports")
        for name in ("lcdkorvane.txt", "readme.txt", "LICENSE.txt"):
            with self.subTest(name):
                data = files[name]
                lone_lf = data.replace(b"\r\n", b"").count(b"\n")
                self.assertEqual(lone_lf, 0, "%s: got %d lines without CR, expected CR LF"
                                 % (name, lone_lf))
        with open(os.path.join(REPO, "docs", "lcdkorvane.txt"), "rb") as f:
            self.assertEqual(files["lcdkorvane.txt"].replace(b"\r\n", b"\n"), f.read())
        self.assertIn(("LCDKorvane %s" % self.version).encode(), files["readme.txt"])
        self.assertIn(b"MIT License", files["LICENSE.txt"])

    def test_program_version_and_header(self):
        with open(os.path.join(self.first, "LCDKorvane.exe"), "rb") as f:
            exe = f.read()
        v = self.version
        got = version_strings(exe)
        expected = {"FileVersion": v, "ProductVersion": v, "ProductName": "LCDKorvane",
                    "OriginalFilename": "LCDKorvane.exe",
                    "fixed": tuple(int(p) for p in v.split(".")) + (0,)}
        self.assertEqual({k: got.get(k) for k in expected}, expected)
        self.assertIn("G15", got.get("FileDescription", ""))
        self.assertIn(("LCDKorvane " + v).encode(), exe, "the banner text is not %s" % v)
        stamp, stored, computed = pe_header(exe)
        self.assertEqual(stamp, 0, "got link time %d in the header, expected 0" % stamp)
        self.assertEqual(stored, computed, "got checksum %08x, expected %08x" % (
            stored, computed))


class Installer(unittest.TestCase):
    """The installer and uninstaller, silent, in one fresh prefix with the virtual G15."""

    @classmethod
    def setUpClass(cls):
        if vg15.default_arch() != "i686":
            raise unittest.SkipTest("this host's Wine runs no 32-bit programs (the installer "
                                    "and the release program are 32-bit)")
        cls.version = source_version()
        base = os.path.join(harness.BUILD, "package-test")
        cls.dist, cls.old = os.path.join(base, "dist"), os.path.join(base, "dist-old")
        package(cls.dist)
        package(cls.old, "--version", "2.6.6")
        cls.setup = os.path.join(cls.dist, "LCDKorvane-%s-win32-setup.exe" % cls.version)
        cls.old_setup = os.path.join(cls.old, "LCDKorvane-2.6.6-win32-setup.exe")
        with zipfile.ZipFile(os.path.join(cls.dist, "LCDKorvane-%s-win32.zip" % cls.version)) as z:
            cls.zipped = {n.split("/", 1)[1]: z.read(n) for n in z.namelist()}
        cls.env = vg15.make_prefix(os.path.join(harness.BUILD, "package-prefix"), fresh=True)
        cls.vg = vg15.VirtualG15(cls.env)
        cls.vg.install(harness.BUILD)
        cls.vg.start_lcdmon()
        users = os.path.join(cls.env["WINEPREFIX"], "drive_c", "users")
        cls.user = [u for u in os.listdir(users) if u.lower() != "public"][0]
        cls.default_dir = os.path.join(users, cls.user, "AppData", "Local", "LCDKorvane")
        cls.menu = os.path.join(users, cls.user, "AppData", "Roaming", "Microsoft", "Windows",
                                "Start Menu", "Programs", "LCDKorvane")

    @classmethod
    def tearDownClass(cls):
        try:
            cls.vg.stop()
        finally:
            vg15.stop_wineserver(cls.env)

    # -- helpers ---------------------------------------------------------------------------

    def win(self, path):
        """<prefix>/drive_c/x/y -> C:\\x\\y"""
        rel = os.path.relpath(path, os.path.join(self.env["WINEPREFIX"], "drive_c"))
        return "C:\\" + rel.replace("/", "\\")

    def run_setup(self, setup, *args):
        rc = vg15.run_wine(self.env, [setup, "/S"] + list(args), timeout=180,
                           log=os.path.join(harness.BUILD, "package-test", "setup.log"))
        self.assertEqual(rc, 0, "installer %s: got exit %s, expected 0" % (args, rc))

    def uninstall(self, folder, *args):
        """Runs the uninstaller silently and to its end: from a copy outside the install
        folder with _?= naming that folder, as the uninstaller itself does when started
        (it copies itself away and returns at once)."""
        copy = os.path.join(self.env["WINEPREFIX"], "drive_c", "uninstall-copy.exe")
        shutil.copyfile(os.path.join(folder, "uninstall.exe"), copy)
        rc = vg15.run_wine(self.env, [copy, "/S"] + list(args) + ["_?=" + self.win(folder)],
                           timeout=180)
        os.remove(copy)
        self.assertEqual(rc, 0, "uninstaller: got exit %s, expected 0" % rc)

    def reg_value(self, key, name):
        """A registry value as text, or None when it (or its key) is missing."""
        log = os.path.join(harness.BUILD, "package-test", "reg.txt")
        if os.path.exists(log):
            os.remove(log)
        rc = vg15.run_wine(self.env, ["reg", "query", key, "/v", name], log=log)
        if rc != 0:
            return None
        with open(log, encoding="latin-1") as f:
            for line in f:
                parts = line.strip().split(None, 2)
                if len(parts) >= 2 and parts[0] == name and parts[1].startswith("REG_"):
                    return parts[2] if len(parts) == 3 else ""
        return None

    def reg_key_exists(self, key):
        return vg15.run_wine(self.env, ["reg", "query", key]) == 0

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def run_command_line(self, command):
        """Runs a Windows command line (a Run entry) as Windows does at log-on."""
        lex = shlex.shlex(command, posix=True)
        lex.whitespace_split, lex.escape = True, ""
        args = list(lex)
        return subprocess.run(vg15.wine_command(self.env) + args, env=self.env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              stdin=subprocess.DEVNULL, timeout=120).returncode

    def wait_for(self, pred, timeout, what):
        deadline = time.monotonic() + timeout
        while not pred():
            if time.monotonic() > deadline:
                self.fail("%s: not within %s s" % (what, timeout))
            time.sleep(0.3)

    def end_applet(self):
        harness.probe(self.env, "post", harness.APPLET_CLASS, harness.APPLET_TITLE,
                      str(harness.WM_CLOSE), "0")
        self.wait_for(lambda: harness.probe(self.env, "find", harness.APPLET_CLASS,
                                            harness.APPLET_TITLE)[1] == "none", 20,
                      "the applet ending after WM_CLOSE")

    def errors_in(self, folder):
        path = os.path.join(folder, "errors.txt")
        return self.read(path).decode("latin-1") if os.path.exists(path) else ""

    # -- tests -----------------------------------------------------------------------------

    def test_install_start_at_logon_uninstall(self):
        folder = self.default_dir
        self.run_setup(self.setup)
        self.assertEqual(sorted(os.listdir(folder)), sorted(INSTALLED))
        self.assertTrue(self.read(os.path.join(folder, "LCDKorvane.exe")) ==
                        self.zipped["LCDKorvane.exe"], "the installed program is not the zip's")
        for name in ("lcdkorvane.txt", "lcdkorvane-sample.txt"):
            self.assertEqual(self.read(os.path.join(folder, name)), self.zipped["lcdkorvane.txt"],
                             "%s is not the sample" % name)
        self.assertEqual(sorted(os.listdir(self.menu)), MENU_ENTRIES)
        self.assertEqual(self.reg_value(REG_UNINST, "DisplayVersion"), self.version)
        self.assertEqual(self.reg_value(REG_APP, "InstallDir"), self.win(folder))

        run = self.reg_value(REG_RUN, "LCDKorvane")
        self.assertIsNotNone(run, "no Run entry after a default install")
        self.assertIn('/d "%s"' % self.win(folder), run)

        # Log-on: the Run entry starts the program in its folder, where it reads its
        # settings and writes its log, and frames reach the display.
        since = self.vg.state()["frame_seq"]
        self.run_command_line(run)
        f = self.vg.wait_frame(timeout=60, since=since)
        self.assertIsNotNone(f, "got no frame within 60 s of the log-on start")
        self.wait_for(lambda: MAIL_LINE in self.errors_in(folder), 20,
                      "errors.txt in the install folder (the program's working folder)")
        self.end_applet()

        self.uninstall(folder)
        self.assertEqual(sorted(os.listdir(folder)), ["errors.txt", "lcdkorvane.txt"],
                         "left behind besides the user's settings and log")
        self.assertFalse(os.path.exists(self.menu), "the Start-menu folder is left")
        self.assertIsNone(self.reg_value(REG_RUN, "LCDKorvane"), "the Run entry is left")
        for key in (REG_UNINST, REG_APP):
            self.assertFalse(self.reg_key_exists(key), "%s is left" % key)
        shutil.rmtree(folder)

    def test_upgrade_keeps_settings_and_ends_the_running_copy(self):
        # /D= takes no quotes, so no blanks either.
        folder = os.path.join(self.env["WINEPREFIX"], "drive_c", "korvane-upgrade")
        self.run_setup(self.old_setup, "/AUTOSTART=0", "/D=" + self.win(folder))
        self.assertIsNone(self.reg_value(REG_RUN, "LCDKorvane"), "Run entry with /AUTOSTART=0")
        self.assertEqual(self.reg_value(REG_UNINST, "DisplayVersion"), "2.6.6")
        with open(os.path.join(folder, "LCDKorvane.exe"), "ab") as f:
            f.write(b"an older program")  # still runs; tells the copies apart
        mine = b"# my own settings\r\nanimate_start 0\r\nslot_0 STW\r\n"
        with open(os.path.join(folder, "lcdkorvane.txt"), "wb") as f:
            f.write(mine)
        with open(os.path.join(folder, "lcdkorvane-sample.txt"), "wb") as f:
            f.write(b"an older sample\r\n")

        # The old copy runs while the new version is installed over it.
        since = self.vg.state()["frame_seq"]
        old = subprocess.Popen(vg15.wine_command(self.env) + ["LCDKorvane.exe"], env=self.env,
                               cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               stdin=subprocess.DEVNULL)
        try:
            self.assertIsNotNone(self.vg.wait_frame(timeout=60, since=since),
                                 "the old copy sent no frame")
            self.run_setup(self.setup)  # the install folder comes from the registry
            self.assertEqual(old.wait(30), 0, "the running copy did not end with exit 0")
        finally:
            if old.poll() is None:
                old.kill()
        self.assertEqual(self.read(os.path.join(folder, "lcdkorvane.txt")), mine,
                         "the user's settings were changed by the upgrade")
        self.assertEqual(self.read(os.path.join(folder, "lcdkorvane-sample.txt")),
                         self.zipped["lcdkorvane.txt"], "the sample was not renewed")
        self.assertTrue(self.read(os.path.join(folder, "LCDKorvane.exe")) ==
                        self.zipped["LCDKorvane.exe"], "the program was not replaced")
        self.assertIn(MAIL_LINE, self.errors_in(folder))
        self.assertEqual(self.reg_value(REG_UNINST, "DisplayVersion"), self.version)
        self.assertIn(self.win(folder), self.reg_value(REG_RUN, "LCDKorvane") or "")

        # Asked to, the uninstaller takes the settings and the log too.
        self.uninstall(folder, "/REMOVEUSERDATA")
        self.assertFalse(os.path.exists(folder), "left: %s" % (
            os.listdir(folder) if os.path.exists(folder) else ""))
        self.assertIsNone(self.reg_value(REG_RUN, "LCDKorvane"), "the Run entry is left")


if __name__ == "__main__":
    harness.main()
