#!/usr/bin/env python3
"""What Camera.raw() costs in Python beyond the C call.

Two figures:
  live: every LEP3_WaitFrame call is timed from inside while the emulator streams, and the
        rest of each raw() call (allocating the array, checking arguments, recording the
        frame's information, taking the interpreter lock back) is the package's overhead;
  warm: raw() with the C call replaced by one that returns at once, many times in a row:
        the same Python work with hot caches.

    LEP3_LIBRARY=build/liblep3.so LEP3_SIM=build/sim/lep3-bridge-sim PYTHONPATH=python \\
        /usr/bin/python3 python/bench/raw_overhead.py [-n FRAMES] [--fps RATE]
"""

import argparse
import statistics
import time
import timeit

import lep3
from lep3 import _sim


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", "--frames", type=int, default=300)
    parser.add_argument("--fps", default="30", help="emulator frame rate (default 30)")
    args = parser.parse_args()

    with _sim.Emulator(["--fps", args.fps]) as sim, lep3.Camera(sim.path) as cam:
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
            overhead.append((total - sum(inside[before:])) / 1000)

        cam._wait_frame = lambda *call_args: 0
        calls = 20000
        warm = timeit.timeit(cam.raw, number=calls) / calls * 1e6

    overhead.sort()
    print("live, %d frames at %s fps: C call median %.1f ms" % (len(overhead), args.fps,
                                                              statistics.median(inside) / 1e6))
    print("live Python overhead per raw(): median %.1f us, mean %.1f us, 99th percentile %.1f us, max %.1f us"
          % (statistics.median(overhead), statistics.mean(overhead), overhead[int(len(overhead) * 0.99) - 1],
             overhead[-1]))
    print("warm Python overhead per raw(): %.1f us" % warm)


if __name__ == "__main__":
    main()
