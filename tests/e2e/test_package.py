"""The release files as a user gets them: the zip made by tools/package (the same bytes
from the same sources, the program with its version resource) and the installer, run
silently under Wine in a fresh prefix: installed files, Start-menu entries and the
start with Windows (a shortcut in the Startup folder, read field by field, and no Run
entry); the installed program started the way Windows starts that shortcut at log-on,
reading its settings and sending frames to the virtual G15 from its own folder; an
upgrade over an older install that keeps the user's settings and leaves one start with
Windows; uninstalling that leaves only the user's settings and log, or nothing when
asked.

The installer and the release program are 32-bit: on a host whose Wine runs only 64-bit
programs the Wine part is skipped (the zip checks still run).
"""

import os
import re
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
# What versions before the Startup shortcut wrote to the Run key (it showed a console).
OLD_RUN = '"C:\\windows\\system32\\cmd.exe" /c start "" /d "%s" "%s\\LCDKorvane.exe"'
TEXT_LARGE = 0x01
LNK_CLSID = bytes.fromhex("0114020000000000c000000000000046")


def read_shell_link(data):
    """The fields of a shell link (.lnk, [MS-SHLLINK]) that say what starts and where:
    {"target": the LinkInfo's local path, "working_dir", "arguments", "show": the show
    command}; raises ValueError on a file that is no shell link."""
    if len(data) < 0x4C or struct.unpack_from("<I", data, 0)[0] != 0x4C or \
            data[4:20] != LNK_CLSID:
        raise ValueError("no shell link header")
    flags, = struct.unpack_from("<I", data, 0x14)
    out = {"show": struct.unpack_from("<I", data, 0x3C)[0], "target": None,
           "working_dir": None, "arguments": None}
    at = 0x4C
    if flags & 0x01:  # HasLinkTargetIDList
        at += 2 + struct.unpack_from("<H", data, at)[0]
    if flags & 0x02:  # HasLinkInfo
        size, header, info_flags, _, base, _, suffix = struct.unpack_from("<7I", data, at)
        if info_flags & 0x01:  # VolumeIDAndLocalBasePath
            if header >= 0x24:
                base_u, suffix_u = struct.unpack_from("<2I", data, at + 28)
                out["target"] = _utf16z(data, at + base_u) + _utf16z(data, at + suffix_u)
            else:
                out["target"] = _ansiz(data, at + base) + _ansiz(data, at + suffix)
        at += size
    unicode = bool(flags & 0x80)
    # StringData, in this order, each there when its flag is set.
    for bit, name in ((0x04, "name"), (0x08, "relative_path"), (0x10, "working_dir"),
                      (0x20, "arguments"), (0x40, "icon")):
        if flags & bit:
            count, = struct.unpack_from("<H", data, at)
            at += 2
            width = 2 if unicode else 1
            raw = data[at:at + count * width]
            at += count * width
            # Wine counts the terminating zero too.
            out[name] = raw.decode("utf-16-le" if unicode else "cp1252").rstrip("\0")
    return out


def _ansiz(data, at):
    return data[at:data.index(b"\0", at)].decode("cp1252")


def _utf16z(data, at):
    end = at
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[at:end].decode("utf-16-le")


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
        programs = os.path.join(users, cls.user, "AppData", "Roaming", "Microsoft", "Windows",
                                "Start Menu", "Programs")
        cls.menu = os.path.join(programs, "LCDKorvane")
        cls.startup = os.path.join(programs, "StartUp")

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

    def reg_values(self, key):
        """{name: text} of a key's values ({} when the key is missing)."""
        log = os.path.join(harness.BUILD, "package-test", "reg.txt")
        if os.path.exists(log):
            os.remove(log)
        if vg15.run_wine(self.env, ["reg", "query", key], log=log) != 0:
            return {}
        out = {}
        with open(log, encoding="latin-1") as f:
            for line in f:
                parts = line.strip().split(None, 2)
                if len(parts) >= 2 and parts[1].startswith("REG_"):
                    out[parts[0]] = parts[2] if len(parts) == 3 else ""
        return out

    def unix(self, path):
        """C:\\x\\y -> <prefix>/drive_c/x/y"""
        if not path[:3].upper() == "C:\\":
            raise AssertionError("got %r, expected a path on C:" % path)
        return os.path.join(self.env["WINEPREFIX"], "drive_c", *path[3:].split("\\"))

    def autostarts(self):
        """Everything that starts LCDKorvane at log-on: the Startup folder's shortcuts
        (name: fields) and the Run key's values that name it."""
        links = {}
        if os.path.isdir(self.startup):
            for name in os.listdir(self.startup):
                links[name] = read_shell_link(self.read(os.path.join(self.startup, name)))
        runs = {n: v for n, v in self.reg_values(REG_RUN).items()
                if "lcdkorvane" in (n + v).lower()}
        return links, runs

    def assert_one_autostart(self, folder, when):
        """Exactly one start at log-on: the Startup shortcut to the program, starting in
        the install folder, with no arguments; no Run entry."""
        links, runs = self.autostarts()
        self.assertEqual(runs, {}, "%s: got Run entries %s, expected none" % (when, runs))
        self.assertEqual(sorted(links), ["LCDKorvane.lnk"],
                         "%s: got Startup entries %s, expected LCDKorvane.lnk" % (when, links))
        link = links["LCDKorvane.lnk"]
        expected = {"target": self.win(folder) + "\\LCDKorvane.exe",
                    "working_dir": self.win(folder), "arguments": ""}
        got = {k: link[k] or "" for k in expected}
        self.assertEqual(got, expected, "%s: the Startup shortcut" % when)
        return link

    def assert_no_autostart(self, when):
        links, runs = self.autostarts()
        self.assertEqual((links, runs), ({}, {}),
                         "%s: got Startup entries and Run entries %s, expected none" % (
                             when, (sorted(links), runs)))

    def start_link(self, link):
        """Starts a shortcut as Windows does at log-on: its target, in its working folder."""
        return subprocess.Popen(vg15.wine_command(self.env) + [link["target"]], env=self.env,
                                cwd=self.unix(link["working_dir"]), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)

    def reg_key_exists(self, key):
        return vg15.run_wine(self.env, ["reg", "query", key]) == 0

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

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

        link = self.assert_one_autostart(folder, "default install")

        # Log-on: the shortcut starts the program in its folder, where it reads its
        # settings (the sample's not_edited 1: its notice, not the missing-file warning,
        # is the first frame's middle band) and writes its log.
        edit = harness.render((TEXT_LARGE, 0, 8, "Please edit the 'lcdkorvane.txt' file!"))
        since = self.vg.state()["frame_seq"]
        applet = self.start_link(link)
        try:
            f = self.vg.wait_frame(timeout=60, since=since)
            self.assertIsNotNone(f, "got no frame within 60 s of the log-on start")
            d = harness.region_diff(f.pixels, edit, 0, 8, 159, 20)
            self.assertIsNone(d, "first frame after the log-on start: %s" % d)
            self.wait_for(lambda: MAIL_LINE in self.errors_in(folder), 20,
                          "errors.txt in the install folder (the program's working folder)")
            self.end_applet()
            self.assertEqual(applet.wait(30), 0, "the applet did not end with exit 0")
        finally:
            if applet.poll() is None:
                applet.kill()

        self.uninstall(folder)
        self.assertEqual(sorted(os.listdir(folder)), ["errors.txt", "lcdkorvane.txt"],
                         "left behind besides the user's settings and log")
        self.assertFalse(os.path.exists(self.menu), "the Start-menu folder is left")
        self.assert_no_autostart("after uninstalling")
        for key in (REG_UNINST, REG_APP):
            self.assertFalse(self.reg_key_exists(key), "%s is left" % key)
        shutil.rmtree(folder)

    def test_upgrade_keeps_settings_and_ends_the_running_copy(self):
        # /D= takes no quotes, so no blanks either.
        folder = os.path.join(self.env["WINEPREFIX"], "drive_c", "korvane-upgrade")
        self.run_setup(self.old_setup, "/AUTOSTART=0", "/D=" + self.win(folder))
        self.assert_no_autostart("/AUTOSTART=0")
        # What an earlier version left for its start with Windows.
        old_run = OLD_RUN % (self.win(folder), self.win(folder))
        self.assertEqual(vg15.run_wine(self.env, ["reg", "add", REG_RUN, "/v", "LCDKorvane",
                                                  "/d", old_run, "/f"]), 0, "reg add")
        self.assertEqual(self.reg_value(REG_RUN, "LCDKorvane"), old_run)
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
        self.assert_one_autostart(folder, "upgrade over an earlier version's Run entry")
        self.run_setup(self.setup)  # the same version again
        self.assert_one_autostart(folder, "installed twice")

        # Asked to, the uninstaller takes the settings and the log too.
        self.uninstall(folder, "/REMOVEUSERDATA")
        self.assertFalse(os.path.exists(folder), "left: %s" % (
            os.listdir(folder) if os.path.exists(folder) else ""))
        self.assert_no_autostart("after uninstalling")


if __name__ == "__main__":
    harness.main()
