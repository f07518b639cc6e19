#!/usr/bin/env python3
"""What Camera.raw() costs in Python beyond the C call: every LEP3_WaitFrame call is timed
from inside, and the rest of each raw() call is the package's own overhead (allocating
the array, checking arguments, recording the frame's information).

    LEP3_LIBRARY=build/liblep3.so LEP3_SIM=build/sim/lep3-bridge-sim PYTHONPATH=python \\
        /usr/bin/python3 python/bench/raw_overhead.py [-n FRAMES]

The emulator streams as fast as the link takes frames (--fps 0), so the C call waits for
a frame about as long as the link needs to carry one.
"""

import argparse
import statistics
import time

import lep3
from lep3 import _sim


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", "--frames", type=int, default=300)
    args = parser.parse_args()

    with _sim.Emulator(["--fps", "0"]) as sim, lep3.Camera(sim.path) as cam:
        c_call = cam._wait_frame
        inside = []

        def timed(*call_args):
            t0 = time.perf_counter_ns()
            result = c_call(*call_args)
            inside.append(time.perf_counter_ns() - t0)
            return result

        cam._wait_frame = timed
        for _ in range(10):  # the stream settles
            cam.raw()
        inside.clear()
        overhead = []
        for _ in range(args.frames):
            before = len(inside)
            t0 = time.perf_counter_ns()
            cam.raw()
            total = time.perf_counter_ns() - t0
            overhead.append(total - sum(inside[before:]))
        waits = inside

    us = [o / 1000 for o in overhead]
    print("frames: %d, C call (wait for the frame + copy): median %.0f us" % (len(us), statistics.median(waits) / 1000))
    print("Python overhead per raw(): median %.1f us, mean %.1f us, 99th percentile %.1f us, max %.1f us"
          % (statistics.median(us), statistics.mean(us), sorted(us)[int(len(us) * 0.99) - 1], max(us)))


if __name__ == "__main__":
    main()
