#!/usr/bin/python3
"""Processor time per frame and wake-ups a second of each host on the session, against the
emulator streaming at real time: `lep3 view` serving one event-stream follower, `lep3
record`, `gst-launch-1.0 lep3src ! fakesink`, and the Python package taking frames in °C.

    bench/host_costs.py build                       # one build tree
    bench/host_costs.py /other/tree/build build     # side by side, e.g. before and after

Each host runs alone beside its emulator; after a warm-up, the processor time of all its
threads (their scheduler statistics, in nanoseconds) and their voluntary context switches
(a thread that slept and was woken) are counted over a window. Frames are the emulator's
rate times the window. The follower of `lep3 view` (curl) is not counted.
"""

import argparse
import os
import pathlib
import signal
import socket
import subprocess
import sys
import tempfile
import time

FPS = 8.7  # the emulator's real-time rate

PYTHON_HOST = """
import sys, lep3
with lep3.Camera(sys.argv[1]) as cam:
    while True:  # as plain as the package's first versions allow
        cam.celsius(cam.raw())
"""


def source_of(build: pathlib.Path) -> pathlib.Path:
    for line in (build / "CMakeCache.txt").read_text().splitlines():
        if line.startswith("CMAKE_HOME_DIRECTORY:"):
            return pathlib.Path(line.split("=", 1)[1])
    raise SystemExit(f"{build} is not a CMake build tree")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def sample(pid: int):
    """(processor ns, voluntary switches) summed over the process's threads."""
    ns = switches = 0
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        try:
            ns += int((task / "schedstat").read_text().split()[0])
            for line in (task / "status").read_text().splitlines():
                if line.startswith("voluntary_ctxt_switches:"):
                    switches += int(line.split()[1])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended meanwhile
    return ns, switches


def host_command(host: str, build: pathlib.Path, device: str, work: pathlib.Path):
    """(command, environment, port of view or None)."""
    env = dict(os.environ)
    tool = str(build / "tools" / "lep3")
    if host == "view":
        port = free_port()
        return [tool, "--device", device, "view", "--port", str(port)], env, port
    if host == "record":
        return [tool, "--device", device, "record", "-o", str(work / "recording.tif")], env, None
    if host == "gst":
        env["GST_PLUGIN_PATH"] = str(build / "gstreamer")
        return ["gst-launch-1.0", "-q", "lep3src", f"device={device}", "!", "fakesink"], env, None
    env["PYTHONPATH"] = str(source_of(build) / "python")
    env["LEP3_LIBRARY"] = str(build / "liblep3.so")
    return [sys.executable, "-c", PYTHON_HOST, device], env, None


def wait_for(predicate, limit: float) -> bool:
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def measure(host: str, build: pathlib.Path, warm_up: float, window: float):
    with tempfile.TemporaryDirectory(prefix="lep3-host-costs-") as tmp:
        work = pathlib.Path(tmp)
        device = str(work / "ttyACM0")
        sim = subprocess.Popen([str(build / "sim" / "lep3-bridge-sim"), "--path", device, "--exit-with-parent"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        started = []
        try:
            if not wait_for(lambda: os.path.exists(device), 5):
                raise SystemExit("the emulator did not publish its device")
            command, env, port = host_command(host, build, device, work)
            proc = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            started.append(proc)
            if port is not None:
                url = f"http://127.0.0.1:{port}/api/stream"

                def listening():
                    with socket.socket() as s:
                        return s.connect_ex(("127.0.0.1", port)) == 0

                if not wait_for(listening, 10):
                    raise SystemExit("lep3 view did not listen")
                started.append(subprocess.Popen(["curl", "-sN", "-o", "/dev/null", url]))
            time.sleep(warm_up)
            if proc.poll() is not None:
                raise SystemExit(f"{host} ended early (status {proc.returncode})")
            ns0, sw0 = sample(proc.pid)
            t0 = time.monotonic()
            time.sleep(window)
            ns1, sw1 = sample(proc.pid)
            elapsed = time.monotonic() - t0
        finally:
            for p in reversed(started):
                p.send_signal(signal.SIGINT)
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
            sim.terminate()
            sim.wait()
    cpu = (ns1 - ns0) / 1e9
    return {
        "core": 100.0 * cpu / elapsed,
        "per_frame_us": 1e6 * cpu / (FPS * elapsed),
        "wakeups": (sw1 - sw0) / elapsed,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="+", type=pathlib.Path, help="build trees to compare")
    parser.add_argument("--hosts", default="view,record,gst,python", help="comma-separated (default: all four)")
    parser.add_argument("--warm-up", type=float, default=3.0, help="seconds before counting (default 3)")
    parser.add_argument("--seconds", type=float, default=20.0, help="the counted window (default 20)")
    parser.add_argument("--repeat", type=int, default=1, help="runs of each (default 1)")
    args = parser.parse_args()
    print(f"{'host':8} {'build':32} {'% core':>8} {'us/frame':>9} {'wake/s':>8}")
    for host in args.hosts.split(","):
        for build in args.builds:
            for _ in range(args.repeat):
                r = measure(host, build.resolve(), args.warm_up, args.seconds)
                print(f"{host:8} {str(build)[-32:]:32} {r['core']:8.2f} {r['per_frame_us']:9.0f} {r['wakeups']:8.1f}",
                      flush=True)


if __name__ == "__main__":
    main()
