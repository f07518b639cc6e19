#!/usr/bin/env python3
"""Prints the centre temperature of each frame, live.

    python3 centre_temperature.py --sim          # the bundled emulator
    python3 centre_temperature.py -d /dev/ttyACM0 -n 100
"""

import argparse

import lep3


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-d", "--device", help="the bridge's serial device (default /dev/ttyACM0)")
    parser.add_argument("--sim", action="store_true", help="use the bundled bridge emulator")
    parser.add_argument("-n", "--frames", type=int, default=0, help="stop after N frames (default: Ctrl-C)")
    args = parser.parse_args()

    with lep3.Camera(args.device, sim=args.sim) as cam:
        # Frames until Ctrl-C (or -n of them).
        for taken, raw in enumerate(cam, start=1):
            temps = cam.celsius(raw)
            # The centre pixel (row 60, column 80), as lep3 capture and the viewer report it.
            print("frame %d: centre %.2f °C, scene %.2f .. %.2f °C"
                  % (cam.last_info.frame_number, temps[60, 80], temps.min(), temps.max()), flush=True)
            if taken == args.frames:
                break


if __name__ == "__main__":
    main()
