#!/usr/bin/env python3
"""The miner's hash rate with and without a flood of API clients.

Usage: api_flood.py API_PORT SECONDS ROUNDS

Alternates quiet and flooded periods of SECONDS each, ROUNDS times, and
reads the miner's hash count from /summary at the edges of each period. The
flood: 64 threads, each opening a new connection for every request (the
summary, the metrics, the page, unknown paths and oversized headers), plus
connections that never send anything.
"""
import http.client
import json
import socket
import sys
import threading
import time

port, seconds, rounds = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])


def hashes():
    for _ in range(50):
        try:
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            c.request("GET", "/summary")
            r = c.getresponse()
            body = r.read()
            c.close()
            if r.status == 200:
                return json.loads(body)["totals"]["hashes"]
        except OSError:
            pass
        time.sleep(0.2)
    raise SystemExit("the API did not answer")


served = [0]
stop = threading.Event()


def flooder(n):
    paths = ["/summary", "/metrics", "/", "/health", "/nothing"]
    i = 0
    while not stop.is_set():
        try:
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
            headers = {"X-Filler": "a" * 9000} if i % 7 == 0 else {}
            c.request("GET", paths[(n + i) % len(paths)], headers=headers)
            c.getresponse().read()
            c.close()
            served[0] += 1
        except OSError:
            pass
        i += 1


def silent():
    held = []
    while not stop.is_set():
        try:
            held.append(socket.create_connection(("127.0.0.1", port), timeout=5))
        except OSError:
            pass
        if len(held) > 32:
            held.pop(0).close()
        time.sleep(0.05)
    for s in held:
        s.close()


def period(flood):
    threads = []
    if flood:
        stop.clear()
        threads = [threading.Thread(target=flooder, args=(n,)) for n in range(64)]
        threads += [threading.Thread(target=silent)]
        for t in threads:
            t.start()
    h0, t0 = hashes(), time.monotonic()
    time.sleep(seconds)
    h1, t1 = hashes(), time.monotonic()
    stop.set()
    for t in threads:
        t.join()
    return (h1 - h0) / (t1 - t0)


quiet, flooded = [], []
for r in range(rounds):
    quiet.append(period(False))
    before = served[0]
    flooded.append(period(True))
    print(f"round {r + 1}: quiet {quiet[-1]:.1f} H/s, flooded {flooded[-1]:.1f} H/s "
          f"({served[0] - before} requests answered during the flood)", flush=True)
q, f = sum(quiet) / len(quiet), sum(flooded) / len(flooded)
spread = (max(quiet) - min(quiet)) / q * 100 if q else 0
print(f"mean: quiet {q:.1f} H/s, flooded {f:.1f} H/s, change {(f - q) / q * 100:+.1f} % "
      f"(quiet periods differ among themselves by up to {spread:.1f} %)")
