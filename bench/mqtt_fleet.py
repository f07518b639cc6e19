#!/usr/bin/python3
"""Eight cameras on one board: eight emulated bridges, one `lep3 serve` each, all publishing
to one mosquitto broker, watched by one mosquitto_sub.

Every service measures a box that the emulator's warm spot crosses now and then, with an
alarm on it, so alarms are raised and cleared throughout. After a warm-up, for --seconds:
  CPU          each service's processor time (user + system) as a share of one core, and
               the emulators' and the broker's beside it
  messages     what reached the subscriber, a second, by kind
  delay        from a frame's completion (its measurement's time) to the subscriber
  alarms       lost ones: every raising carries the alarm's count of raisings, so a gap
               in the counts, or two raisings or clearings in a row, is a lost message
  backlog      frames the services did not take in time (/api/status dropped) and
               measurements their queues dropped (the last health report)

  bench/mqtt_fleet.py --lep3 build/tools/lep3 --sim build/sim/lep3-bridge-sim [--cameras 8]
                      [--seconds 30] [--interval 1]
"""
import argparse
import json
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from datetime import datetime

WARM_UP = 3.0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(done, seconds, what):
    end = time.monotonic() + seconds
    while not done():
        if time.monotonic() > end:
            sys.exit(f"mqtt_fleet: {what} did not happen in {seconds} s")
        time.sleep(0.05)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Lines:
    """A process's standard output, line by line, kept on a thread of its own."""

    def __init__(self, args, **kwargs):
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True, **kwargs)
        self.lines = []
        self.lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.lock:
                self.lines.append(line.rstrip("\n"))

    def snapshot(self):
        with self.lock:
            return list(self.lines)


def epoch_of(iso):
    return datetime.strptime(iso, "%Y-%m-%dT%H:%M:%S.%f%z").timestamp()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--lep3", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--cameras", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--interval", type=float, default=1.0)
    args = parser.parse_args()

    work = tempfile.TemporaryDirectory(prefix="lep3-fleet-")
    port = free_port()
    conf = os.path.join(work.name, "broker.conf")
    with open(conf, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\nmax_queued_messages 10000\n")
    processes, services = [], []
    try:
        broker = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(broker)

        def broker_up():
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                return True
            except OSError:
                return False

        wait_for(broker_up, 10, "the broker's start")
        sub = Lines(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-q", "1", "-t", "fleet/#", "-F", "%U %t %p"])
        processes.append(sub.proc)

        sims = []
        for k in range(args.cameras):
            device = os.path.join(work.name, f"cam{k}")
            sim = subprocess.Popen([args.sim, "--path", device, "--seed", str(k + 1), "--exit-with-parent"],
                                   stdout=subprocess.DEVNULL)
            processes.append(sim)
            sims.append(sim)
            wait_for(lambda: os.path.exists(device), 10, f"emulator {k}'s start")
            service = Lines([args.lep3, "serve", "--device", device, "--port", "0", "--mqtt",
                             f"mqtt://127.0.0.1:{port}", "--mqtt-topic", f"fleet/cam{k}", "--mqtt-interval",
                             str(args.interval), "--box", "hand=50,30,110,90", "--alarm", "hand>31C",
                             "--hysteresis", "0.5C"])
            processes.append(service.proc)
            services.append(service)
        ports = []
        for k, service in enumerate(services):
            found = []

            def address():
                found[:] = [m for line in service.snapshot() for m in re.findall(r"http://127\.0\.0\.1:(\d+)/", line)]
                return bool(found)

            wait_for(address, 30, f"service {k}'s start")
            ports.append(int(found[0]))

        def status(k):
            with urllib.request.urlopen(f"http://127.0.0.1:{ports[k]}/api/status", timeout=5) as r:
                return json.load(r)

        wait_for(lambda: all(status(k)["frames"] > 0 for k in range(args.cameras)), 30, "the first frames")
        time.sleep(WARM_UP)
        pids = [s.proc.pid for s in services]
        before = {"services": [cpu_seconds(p) for p in pids], "sims": [cpu_seconds(s.pid) for s in sims],
                  "broker": cpu_seconds(broker.pid)}
        dropped_before = [status(k)["dropped"] for k in range(args.cameras)]
        start_line = len(sub.snapshot())
        start = time.monotonic()
        time.sleep(args.seconds)
        span = time.monotonic() - start
        services_cpu = [cpu_seconds(p) - b for p, b in zip(pids, before["services"])]
        sims_cpu = sum(cpu_seconds(s.pid) for s in sims) - sum(before["sims"])
        broker_cpu = cpu_seconds(broker.pid) - before["broker"]
        dropped_frames = [status(k)["dropped"] - dropped_before[k] for k in range(args.cameras)]
        time.sleep(0.5)  # what is on its way arrives
        lines = sub.snapshot()
    finally:
        # The services first, so that each says goodbye to a broker that is still there.
        for group in ([s.proc for s in services], processes):
            for p in group:
                p.terminate()
            for p in group:
                try:
                    p.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    p.kill()

    kinds = {}
    delays = []
    alarms = {}
    health = {}
    for n, line in enumerate(lines):
        arrived, topic, payload = line.split(" ", 2)
        kind = topic.rsplit("/", 1)[1]
        camera = topic.split("/")[1]
        body = json.loads(payload) if payload.startswith("{") else None
        if kind == "alarms":
            alarms.setdefault(camera, []).append(body)
        if kind == "health":
            health[camera] = body
        if n < start_line:
            continue
        kinds[kind] = kinds.get(kind, 0) + 1
        if kind == "measurements":
            delays.append((float(arrived) - epoch_of(body["time"])) * 1000)

    lost = 0
    events = 0
    for camera, list_ in alarms.items():
        last_count, last_event = None, None
        for a in list_:
            events += 1
            if a["event"] == last_event:
                lost += 1
            if a["event"] == "raised":
                if last_count is not None and a["times_raised"] != last_count + 1:
                    lost += a["times_raised"] - last_count - 1
                last_count = a["times_raised"]
            last_event = a["event"]
    queue_dropped = sum(h["mqtt"]["dropped_measurements"] for h in health.values())

    print(f"{args.cameras} cameras, {span:.0f} s, a measurement every {args.interval:g} s each")
    print(f"CPU per service: mean {100 * statistics.mean(services_cpu) / span:.2f} % of a core, "
          f"most {100 * max(services_cpu) / span:.2f} %")
    print(f"CPU of the emulators: {100 * sims_cpu / span / args.cameras:.2f} % each; "
          f"of the broker: {100 * broker_cpu / span:.2f} %")
    total = sum(kinds.values())
    print(f"messages: {total / span:.1f} a second (" +
          ", ".join(f"{k} {v / span:.1f}" for k, v in sorted(kinds.items())) + ")")
    if delays:
        delays.sort()
        print(f"frame to subscriber: median {statistics.median(delays):.1f} ms, "
              f"99th percentile {delays[int(0.99 * (len(delays) - 1))]:.1f} ms, most {delays[-1]:.1f} ms "
              f"({len(delays)} measurements)")
    print(f"alarms: {events} events, {lost} lost")
    print(f"backlog: {sum(dropped_frames)} frames not taken in time, {queue_dropped} measurements dropped "
          "by the queues")


if __name__ == "__main__":
    main()
