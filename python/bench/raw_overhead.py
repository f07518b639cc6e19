#!/usr/bin/env python3
"""What Camera.raw() costs in Python beyond the C call.

Every LEP3_WaitFrame call is timed from inside while the emulator streams; the rest of
each raw() call (allocating the array, checking arguments, recording the frame's
information, taking the interpreter lock back) is the package's overhead, in wall-clock
time (which on a busy machine includes waiting for a CPU) and in the thread's CPU time.
"warm" is raw() with the C call replaced by one that returns at once, many times in a
row: the same Python work with hot caches.

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
        inside = []  # (wall ns, thread CPU ns) of each C call

        def timed(*call_args):
            w0, c0 = time.perf_counter_ns(), time.thread_time_ns()
            result = c_call(*call_args)
            inside.append((time.perf_counter_ns() - w0, time.thread_time_ns() - c0))
            return result

        cam._wait_frame = timed
        for _ in range(10):  # the stream settles
            cam.raw()
        inside.clear()
        wall, cpu = [], []
        for _ in range(args.frames):
            before = len(inside)
            w0, c0 = time.perf_counter_ns(), time.thread_time_ns()
            cam.raw()
            w1, c1 = time.perf_counter_ns(), time.thread_time_ns()
            wall.append((w1 - w0 - sum(w for w, _ in inside[before:])) / 1000)
            cpu.append((c1 - c0 - sum(c for _, c in inside[before:])) / 1000)

        cam._wait_frame = lambda *call_args: 0
        calls = 20000
        warm = timeit.timeit(cam.raw, number=calls) / calls * 1e6

    def summary(us):
        us = sorted(us)
        return "median %.1f us, mean %.1f us, 99th percentile %.1f us, max %.1f us" % (
            statistics.median(us), statistics.mean(us), us[int(len(us) * 0.99) - 1], us[-1])

    print("%d frames at %s fps; C call median %.1f ms" % (len(wall), args.fps,
                                                       statistics.median(w for w, _ in inside) / 1e6))
    print("Python overhead per raw(), wall clock: " + summary(wall))
    print("Python overhead per raw(), thread CPU: " + summary(cpu))
    print("Python overhead per raw(), warm (C call stubbed, %d calls): %.1f us" % (calls, warm))


if __name__ == "__main__":
    main()
