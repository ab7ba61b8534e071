#!/usr/bin/env python3
"""Runs LCDKorvane.exe under Wine against the virtual G15, starts every stand-in there is
(standins/*/demo_peer.py) and serves the live view with the four soft buttons:

    tools/demo.py --build build/win --prefix build/demo-prefix \\
                  [--settings docs/demo-lcdkorvane.txt] [--http 8015] [--fresh]

One process: the prefix, LCDMon, the applet, the stand-ins and the page. Every wait is
bounded; a failure prints its cause and ends the demo at once; every way out (a failure,
Ctrl-C, SIGTERM, SIGHUP) ends the prefix's programs and its wineserver.
"""

import argparse
import glob
import html
import importlib.machinery
import importlib.util
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "standins", "vg15"))
import vg15  # noqa: E402

FIRST_FRAME_S = 90  # the applet's first frame (a 32-bit start under qemu takes seconds)
PEER_START_S = 60
PEER_STOP_S = 10

# What a short and a long press do in a slot showing the module, for the page.
MODULE_HELP = {
    "TS2": "TeamSpeak 2. Short: microphone on/off. Long: the players in your channel.",
    "SPK": "Speaker set-up. Short: switch between the two set-ups (before Vista).",
    "NET": "Network traffic. Short: send graph, receive graph, totals. Long: reset the "
           "totals.",
    "AMP": "Winamp. Short: show the track title again.",
    "STW": "Stopwatch. Short: start, lap, resume. Long: reset.",
    "CLK": "World clock. Short: next time zone.",
    "FPS": "FRAPS frame rate. No buttons.",
    "FAN": "SpeedFan. Short: next reading. Long: stop or restart stepping.",
    "TUN": "iTunes. Short: show the track again.",
    "RIP": "Hung application. Short: its title. Long: end it.",
    "TS3": "TeamSpeak 3. Short: microphone on/off. Long: the clients in your channel.",
}


class DemoError(Exception):
    """A failure to show on screen, with its cause."""


def load_source(name, path):
    loader = importlib.machinery.SourceFileLoader(name, path)
    spec = importlib.util.spec_from_loader(name, loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def tail(path, lines=12):
    """The last lines of a log file, indented, or "" when there is none."""
    try:
        with open(path, "rb") as f:
            text = f.read()[-4000:].decode("latin-1")
    except OSError:
        return ""
    return "".join("    " + l + "\n" for l in text.splitlines()[-lines:])


def about_slots(settings_text):
    """HTML: each slot's module list (the settings' slot_0..slot_3) with what the
    buttons do there."""
    slots = {}
    for line in settings_text.splitlines():
        words = line.split(None, 1)
        if len(words) == 2 and words[0].lower() in ("slot_0", "slot_1", "slot_2", "slot_3"):
            slots[int(words[0][-1])] = words[1].split()
    rows = []
    for i in range(4):
        items = ["<b>%s</b> %s" % (html.escape(t), html.escape(
            MODULE_HELP.get(t.rstrip("+").upper(), "(unknown module)")))
            for t in slots.get(i, [])]
        rows.append("<tr><td>Button&nbsp;%d</td><td>%s</td></tr>" % (
            i + 1, "<br>".join(items) or "(empty slot)"))
    return ("<p>The slots of this demo, each list in the order Ctrl steps through it; a "
            "module with nothing to show is skipped:</p><table>%s</table>" % "".join(rows))


def applet_exe(build, arch):
    return os.path.join(build, "LCDKorvane.exe") if arch == "i686" else os.path.join(
        build, "x64", "LCDKorvane.exe")


def prepare_prefix(prefix, arch, fresh):
    """The demo's prefix for this architecture: made afresh when asked, when missing, or
    when it was made for the other architecture (a 64-bit-only prefix cannot run the
    32-bit applet)."""
    marker = os.path.join(prefix, ".korvane-demo-arch")
    try:
        with open(marker) as f:
            made_for = f.read().strip()
    except OSError:
        made_for = None
    # A prefix made while 32-bit programs could not run lacks its 32-bit side for good.
    no_32 = arch == "i686" and not os.path.exists(os.path.join(
        prefix, "drive_c", "windows", "syswow64", "kernel32.dll"))
    if fresh or made_for != arch or no_32:
        print("demo: making the Wine prefix %s (%s, about a minute) ..." % (prefix, arch),
              flush=True)
        try:
            env = vg15.make_prefix(prefix, fresh=True, arch=arch)
        except vg15.Vg15Error as e:
            raise DemoError("%s\n%s" % (e, tail(prefix + ".log")))
        with open(marker, "w") as f:
            f.write(arch + "\n")
        return env
    env = vg15.wine_env(prefix, arch)
    vg15.start_wineserver(env)
    return env


class Peers:
    """The stand-ins' demo hooks: standins/<name>/demo_peer.py, start(env, build,
    applet_dir) -> object with .stop(). A hook that fails or hangs is reported and
    skipped; the demo goes on without it."""

    def __init__(self):
        self.running = []  # (name, handle)

    def start_all(self, env, build, applet_dir):
        for path in sorted(glob.glob(os.path.join(ROOT, "standins", "*", "demo_peer.py"))):
            name = os.path.basename(os.path.dirname(path))
            box = {}

            def run(path=path, name=name, box=box):
                try:
                    box["handle"] = load_source("demo_peer_" + name, path).start(
                        env, build, applet_dir)
                except Exception as e:  # reported below; the demo goes on
                    box["error"] = e

            t = threading.Thread(target=run, daemon=True)
            t.start()
            t.join(PEER_START_S)
            if t.is_alive():
                print("demo: stand-in %s: not started within %d s, skipped" % (
                    name, PEER_START_S), flush=True)
            elif "error" in box:
                print("demo: stand-in %s did not start: %s" % (name, box["error"]), flush=True)
            else:
                self.running.append((name, box["handle"]))
                print("demo: stand-in %s started" % name, flush=True)

    def stop_all(self):
        for name, handle in reversed(self.running):
            t = threading.Thread(target=handle.stop, daemon=True)
            t.start()
            t.join(PEER_STOP_S)
            if t.is_alive():
                print("demo: stand-in %s did not stop within %d s" % (name, PEER_STOP_S))
        self.running = []


class Applet:
    """LCDKorvane.exe in its folder of the prefix."""

    def __init__(self, env, folder):
        self.env, self.folder, self.proc, self.started = env, folder, None, 0.0

    def start(self):
        log = open(os.path.join(self.folder, "wine.log"), "ab")
        self.proc = subprocess.Popen(vg15.wine_command(self.env) + ["LCDKorvane.exe"],
                                     env=self.env, cwd=self.folder, stdin=subprocess.DEVNULL,
                                     stdout=log, stderr=log)
        log.close()
        self.started = time.monotonic()

    def exit_code(self):
        return self.proc.poll() if self.proc else None

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)


def newest_frame(viewer):
    """(seq, pid) of LCDMon's newest frame, or (0, 0)."""
    try:
        f = viewer.call(lambda vg: vg.frame())
    except vg15.Vg15Error:
        return 0, 0
    return (f.seq, f.pid) if f else (0, 0)


def run_demo(args, view, stop_event):
    build, prefix = os.path.abspath(args.build), os.path.abspath(args.prefix)
    arch = vg15.default_arch()
    exe = applet_exe(build, arch)
    print("demo: Wine here runs %s; the applet is %s" % (
        "32-bit Windows programs (the real product)" if arch == "i686" else
        "only 64-bit Windows programs (the 64-bit copy of the same sources)", exe), flush=True)
    note = getattr(vg15, "arch_note", lambda: None)()
    if note and arch != "i686":
        print("demo: %s" % note, flush=True)
    missing = [p for p in (exe, os.path.join(vg15.standin_dir(build, arch), "LCDMon.exe"))
               if not os.path.exists(p)]
    if missing:
        raise DemoError("missing %s: build the Windows tree first (tools/demo does)" %
                        ", ".join(missing))
    settings = None
    if args.settings:
        with open(args.settings, encoding="latin-1") as f:
            settings = f.read()

    env_box = {}
    vg = vg15.VirtualG15(vg15.wine_env(prefix, arch), port=args.port, arch=arch)
    viewer = view.Viewer(vg)
    viewer.note = "preparing the Wine prefix ..."
    try:
        server = view.make_server(viewer, args.http, about_slots(settings or ""))
    except OSError as e:
        raise DemoError("cannot serve the page on 127.0.0.1:%d (%s): choose another port "
                        "with --http" % (args.http, e.strerror or e))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print("demo: open http://127.0.0.1:%d/ (the LCD shows once the applet runs)" % args.http,
          flush=True)
    peers = Peers()
    applet = None
    try:
        env = prepare_prefix(prefix, arch, args.fresh)
        env_box["env"] = env
        vg.env = env
        viewer.keys = view.KeySender(env, build)
        vg.install(build)
        viewer.note = "starting LCDMon ..."
        try:
            vg.start_lcdmon(timeout=60)
        except vg15.Vg15Error as e:
            raise DemoError("%s\n%s" % (e, tail(os.path.join(vg.install_dir, "lcdmon.log"))))

        folder = os.path.join(prefix, "drive_c", "LCDKorvane")
        os.makedirs(folder, exist_ok=True)
        shutil.copy2(exe, os.path.join(folder, "LCDKorvane.exe"))
        if settings is not None:
            shutil.copy2(args.settings, os.path.join(folder, "lcdkorvane.txt"))
        for name in ("errors.txt", "wine.log"):  # each run starts with an empty log
            if os.path.exists(os.path.join(folder, name)):
                os.remove(os.path.join(folder, name))

        peers.start_all(env, build, folder)
        viewer.note = "starting LCDKorvane ..."
        applet = Applet(env, folder)
        applet.start()
        print("demo: LCDKorvane runs in %s; its errors go to %s" % (
            folder, os.path.join(folder, "errors.txt")), flush=True)

        seq, _ = newest_frame(viewer)
        deadline = time.monotonic() + FIRST_FRAME_S
        while newest_frame(viewer)[0] == seq:
            if applet.exit_code() is not None:
                raise DemoError("LCDKorvane ended at start with code %s\n%s%s" % (
                    applet.exit_code(), tail(os.path.join(folder, "errors.txt")),
                    tail(os.path.join(folder, "wine.log"))))
            if time.monotonic() > deadline or stop_event.wait(0.5):
                if stop_event.is_set():
                    return 0
                raise DemoError("no frame from LCDKorvane within %d s\n%s" % (
                    FIRST_FRAME_S, tail(os.path.join(folder, "errors.txt"))))
        viewer.note = None
        print("demo: the LCD is live. Ctrl-C ends the demo", flush=True)

        quick_ends = 0
        while not stop_event.wait(0.5):
            code = applet.exit_code()
            if code is None:
                continue
            lived = time.monotonic() - applet.started
            quick_ends = quick_ends + 1 if lived < 15 else 0
            if quick_ends >= 3:
                raise DemoError("LCDKorvane ended three times in a row right after starting "
                                "(last code %s)\n%s" % (code, tail(os.path.join(
                                    folder, "errors.txt"))))
            print("demo: LCDKorvane ended (code %s; all four soft buttons end it): starting "
                  "it again" % code, flush=True)
            applet.start()
        return 0
    finally:
        viewer.note = "the demo has ended"
        server.shutdown()
        server.server_close()
        viewer.release_all()
        peers.stop_all()
        if applet:
            applet.stop()
        if "env" in env_box:
            vg.stop(timeout=5)
            vg15.stop_wineserver(env_box["env"])
        else:
            vg15.stop_wineserver(vg15.wine_env(prefix, arch))


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True, help="the Windows build folder")
    ap.add_argument("--prefix", required=True, help="the demo's Wine prefix")
    ap.add_argument("--settings", help="settings file for the applet (as lcdkorvane.txt)")
    ap.add_argument("--http", type=int, default=8015, help="port of the page (127.0.0.1)")
    ap.add_argument("--port", type=int, default=vg15.DEFAULT_PORT, help="LCDMon control port")
    ap.add_argument("--fresh", action="store_true", help="make the prefix afresh")
    args = ap.parse_args()

    view = load_source("vg15_view", os.path.join(ROOT, "tools", "vg15-view"))
    stop_event = threading.Event()

    def on_signal(*_):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)  # the clean-up runs to its end
        stop_event.set()
        raise KeyboardInterrupt

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    try:
        return run_demo(args, view, stop_event)
    except DemoError as e:
        print("demo: FAILED: %s" % e, file=sys.stderr, flush=True)
        return 1
    except KeyboardInterrupt:
        return 0
    finally:
        print("demo: ended; the prefix's programs and wineserver are stopped", flush=True)


if __name__ == "__main__":
    sys.exit(main())
