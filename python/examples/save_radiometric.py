#!/usr/bin/env python3
"""Saves one radiometric frame: temperatures in °C as a float32 (120, 160) array.

    python3 save_radiometric.py --sim frame       # writes frame.npy
    python3 -c "import numpy; t = numpy.load('frame.npy'); print(t.max())"
"""

import argparse

import numpy as np

import lep3


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", help="file name; NumPy adds .npy")
    parser.add_argument("-d", "--device", help="the bridge's serial device (default /dev/ttyACM0)")
    parser.add_argument("--sim", action="store_true", help="use the bundled bridge emulator")
    args = parser.parse_args()

    with lep3.Camera(args.device, sim=args.sim) as cam:
        raw = cam.raw()
        temps = cam.celsius(raw)
        np.save(args.output, temps)
        print("frame %d saved: %s, %.2f .. %.2f °C (R %d, O %d)"
              % (cam.last_info.frame_number, args.output, temps.min(), temps.max(), cam.rbfo.r, cam.rbfo.o))


if __name__ == "__main__":
    main()
