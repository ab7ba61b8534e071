#!/usr/bin/env python3
"""Frames of the real applet as pictures: runs LCDKorvane.exe under Wine against the
virtual G15 with a few settings and writes PNGs (and text forms) of what the panel
shows. Needs a Windows build (tools/demo or tools/test-all makes one).

    tools/snapshot.py --build build/win --out docs
"""

import argparse
import os
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--out", default=os.path.join(ROOT, "docs"))
    args = ap.parse_args()
    sys.argv = [sys.argv[0], "--build", args.build]
    import harness
    harness.parse_args()
    env = harness.prefix_env()
    vg = harness.vg15.VirtualG15(env)
    vg.start_lcdmon()
    try:
        a = harness.Applet(env, "snapshot", "animate_start 0\n"
                           "worldtime_list UTC CET JST NZST\n"
                           "slot_0 STW\nslot_1 CLK++\nslot_2 CLK+++\nslot_3 TS2 CLK\n").start()
        seq = vg.state()["frame_seq"]
        f = vg.wait_frame(15, since=seq)
        shots = [("frame-banner", f)]
        vg.press(0, 200)  # start the stopwatch
        time.sleep(3.0)
        shots.append(("frame-running", vg.wait_frame(2, since=vg.state()["frame_seq"])))
        for name, frame in shots:
            path = os.path.join(args.out, name + ".png")
            harness.save_png(frame.pixels, path)
            with open(os.path.join(args.out, name + ".txt"), "w") as t:
                for y in range(43):
                    t.write("".join("#" if frame.pixels[y * 160 + x] else "."
                                    for x in range(160)) + "\n")
            print("wrote", path)
        a.kill()
    finally:
        vg.stop()
        harness.vg15.stop_wineserver(env)


if __name__ == "__main__":
    main()
