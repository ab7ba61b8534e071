#!/usr/bin/env python3
"""Runs LCDKorvane.exe under Wine against the virtual G15 and serves the live view.

    tools/demo.py --build build/win --prefix build/demo-prefix --settings docs/lcdkorvane.txt
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "standins", "vg15"))
import vg15  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--settings", help="settings file to use (copied as lcdkorvane.txt)")
    ap.add_argument("--http", type=int, default=8015)
    args = ap.parse_args()
    build, prefix = os.path.abspath(args.build), os.path.abspath(args.prefix)

    fresh = not os.path.exists(os.path.join(prefix, "system.reg"))
    view = subprocess.Popen([sys.executable, os.path.join(ROOT, "tools", "vg15-view"), "--start",
                             prefix, "--build", build, "--http", str(args.http)] +
                            (["--fresh"] if fresh else []))
    env = vg15.wine_env(prefix)
    vg = vg15.VirtualG15(env)
    try:
        vg.wait_lcdmon(timeout=240)
    except vg15.Vg15Error as e:
        print("demo: the virtual G15 did not come up: %s" % e, file=sys.stderr)
        view.terminate()
        return 1
    vg.close()

    arch = env["VG15_ARCH"]
    exe = os.path.join(build, "LCDKorvane.exe") if arch == "i686" else os.path.join(
        build, "x64", "LCDKorvane.exe")
    folder = os.path.join(prefix, "drive_c", "LCDKorvane")
    os.makedirs(folder, exist_ok=True)
    shutil.copy2(exe, os.path.join(folder, "LCDKorvane.exe"))
    if args.settings:
        shutil.copy2(args.settings, os.path.join(folder, "lcdkorvane.txt"))
    applet = subprocess.Popen(vg15.wine_command(env) + ["LCDKorvane.exe"], env=env, cwd=folder,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    print("demo: LCDKorvane runs (%s build) in %s" % (arch, folder))
    print("demo: open http://127.0.0.1:%d/ ; errors go to %s" % (
        args.http, os.path.join(folder, "errors.txt")))
    print("demo: Ctrl-C ends it")

    def stop(*_):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, stop)
    try:
        while applet.poll() is None and view.poll() is None:
            time.sleep(0.5)
    except KeyboardInterrupt:
        pass
    finally:
        if applet.poll() is None:
            applet.terminate()
            try:
                applet.wait(5)
            except subprocess.TimeoutExpired:
                applet.kill()
        if view.poll() is None:
            view.send_signal(signal.SIGINT)
            try:
                view.wait(20)
            except subprocess.TimeoutExpired:
                view.kill()
        vg15.stop_wineserver(env)
    return 0


if __name__ == "__main__":
    sys.exit(main())
