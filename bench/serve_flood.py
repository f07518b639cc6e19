#!/usr/bin/python3
"""The viewer's answer time for a legitimate client while hostile clients flood it.

Starts the emulator and `lep3 view` on it, then, one flood at a time, times GET /api/status
from 127.0.0.1 on a new connection each time, while the flood comes from 127.0.0.2 (one
client address) or from 127.0.1.x (an address per client):
  slow-headers   50 clients sending one header line a second, never finishing
  stream         50 followers of /api/stream that keep reading
  frame.png      200 clients fetching /frame.png over and over

  bench/serve_flood.py --lep3 build/tools/lep3 --sim build/sim/lep3-bridge-sim [--seconds 5]
"""
import argparse
import multiprocessing
import os
import re
import selectors
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

LEGIT_TIMEOUT = 2.0


def connect(port, source):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((source, 0))
    s.settimeout(2)
    s.connect(("127.0.0.1", port))
    return s


def request(path, port):
    return f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nConnection: close\r\n\r\n".encode()


def legit_once(port):
    """Seconds to the status line of GET /api/status, or None when none came in time."""
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=LEGIT_TIMEOUT) as s:
            s.settimeout(LEGIT_TIMEOUT)
            s.sendall(request("/api/status", port))
            data = s.recv(64)
            if not data.startswith(b"HTTP/1.1 200"):
                return None
    except OSError:
        return None
    return time.monotonic() - start


class Flood:
    """The flooding clients, in a process of their own so that the timed client does not
    share an interpreter (and its lock) with them."""

    def __init__(self, kind, port, sources):
        self.kind, self.port, self.sources = kind, port, sources
        self.stop = multiprocessing.Event()
        self.threads = []
        self.refused_count = multiprocessing.Value("i", 0)
        self.process = None

    @property
    def refused(self):
        return self.refused_count.value

    def count_refusal(self):
        with self.refused_count.get_lock():
            self.refused_count.value += 1

    def source(self, i):
        return self.sources[i % len(self.sources)]

    def start(self):
        self.process = multiprocessing.Process(target=self.run)
        self.process.start()

    def run(self):
        if self.kind == "frame.png":
            for i in range(200):
                t = threading.Thread(target=self.fetcher, args=(self.source(i),), daemon=True)
                t.start()
                self.threads.append(t)
        else:
            t = threading.Thread(target=self.holders, daemon=True)
            t.start()
            self.threads.append(t)
        for t in self.threads:
            t.join()

    def fetcher(self, source):
        while not self.stop.is_set():
            try:
                with connect(self.port, source) as s:
                    s.sendall(request("/frame.png", self.port))
                    while s.recv(65536):
                        pass
            except OSError:
                # Refused at once: the server's limit for the address. Retried a little
                # later, so that on a machine both share the flood's own processor time
                # does not pass for the server's.
                self.count_refusal()
                time.sleep(0.05)

    def open_holder(self, i):
        s = connect(self.port, self.source(i))
        if self.kind == "stream":
            s.sendall(request("/api/stream", self.port).replace(b"Connection: close\r\n", b""))
        else:
            s.sendall(b"GET /api/status HTTP/1.1\r\n")
        s.setblocking(False)
        return s

    def holders(self):
        """50 connections that slowly send headers or keep reading a stream; reopened when closed."""
        sel = selectors.DefaultSelector()
        socks = {}
        next_line = time.monotonic()
        while not self.stop.is_set():
            for i in range(50):
                if i not in socks:
                    try:
                        socks[i] = self.open_holder(i)
                        sel.register(socks[i], selectors.EVENT_READ, i)
                    except OSError:
                        self.count_refusal()
            for key, _ in sel.select(timeout=0.1):
                i = key.data
                try:
                    if key.fileobj.recv(65536):
                        continue
                except OSError:
                    pass
                sel.unregister(key.fileobj)
                key.fileobj.close()
                del socks[i]
            if self.kind == "slow-headers" and time.monotonic() >= next_line:
                next_line += 1
                for i, s in list(socks.items()):
                    try:
                        s.send(b"X-Slow: 1\r\n")
                    except OSError:
                        pass
        for s in socks.values():
            s.close()

    def end(self):
        self.stop.set()
        self.process.join()


def measure(port, seconds):
    times, failed = [], 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        t = legit_once(port)
        if t is None:
            failed += 1
        else:
            times.append(t)
        time.sleep(0.1)
    return times, failed


def report(name, times, failed, refused):
    if times:
        times.sort()
        p95 = times[min(len(times) - 1, int(len(times) * 0.95))]
        print(f"{name:32} {len(times):5} {failed:6} {statistics.median(times) * 1000:9.1f} {p95 * 1000:8.1f} "
              f"{times[-1] * 1000:8.1f} {refused:8}")
    else:
        print(f"{name:32} {0:5} {failed:6} {'-':>9} {'-':>8} {'-':>8} {refused:8}")
    sys.stdout.flush()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--lep3", required=True)
    p.add_argument("--sim", required=True)
    p.add_argument("--seconds", type=float, default=5)
    args = p.parse_args()
    work = tempfile.mkdtemp(prefix="lep3-serve-flood-")
    device = os.path.join(work, "ttyACM0")
    sim = subprocess.Popen([args.sim, "--path", device, "--boot-path", os.path.join(work, "ttyACM1"),
                            "--fps", "8.7"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while not os.path.exists(device):
        time.sleep(0.05)
    viewer = subprocess.Popen([args.lep3, "view", "--device", device, "--port", "0"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
    line = viewer.stdout.readline()
    port = int(re.search(r"http://[^ ]*:([0-9]+)/", line).group(1))
    time.sleep(1)  # the first frames
    print(f"lep3 view on port {port}; GET /api/status from 127.0.0.1 every 0.1 s for {args.seconds:g} s, "
          f"each on a new connection; no answer within {LEGIT_TIMEOUT:g} s counts as failed")
    print(f"{'flood':32} {'answers':>5} {'failed':>6} {'median ms':>9} {'p95 ms':>8} {'max ms':>8} {'refused':>8}")
    try:
        report("none", *measure(port, args.seconds), 0)
        one = ["127.0.0.2"]
        many = [f"127.0.1.{i}" for i in range(1, 201)]
        for kind in ("slow-headers", "stream", "frame.png"):
            for name, sources in ((f"{kind}, one address", one), (f"{kind}, an address each", many)):
                flood = Flood(kind, port, sources)
                flood.start()
                time.sleep(1)
                times, failed = measure(port, args.seconds)
                flood.end()
                report(name, times, failed, flood.refused)
                time.sleep(1)
    finally:
        viewer.terminate()
        viewer.wait()
        sim.terminate()
        sim.wait()


if __name__ == "__main__":
    main()
