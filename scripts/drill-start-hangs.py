#!/usr/bin/env python3
"""A GPU that hangs in each phase of the start, and a stop in each phase.

Runs the built miner (host flavour) with the test-only hang stand-in and
the watchdog's floor at 1 s, and prints, per phase, the time from the hang
to the line naming it and from a SIGTERM to the process's end.

    scripts/drill-start-hangs.py [build/quorlen-gpu-miner]
"""
import os
import signal
import subprocess
import sys
import threading
import time

MINER = sys.argv[1] if len(sys.argv) > 1 else "build/quorlen-gpu-miner"
KEY = "1f1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100"
BASE = [MINER, "--priv", KEY, "--goida", "--step-seconds", "1", "--warmup-seconds", "0",
        "--start-batch", "8", "--max-batch", "16", "--ws", "", "--http", "http://127.0.0.1:1"]


def start(hang, extra=()):
    env = dict(os.environ, QUORLEN_WATCHDOG_TEST_MS="1000")
    env.pop("QUORLEN_TEST_HANG", None)
    if hang:
        env["QUORLEN_TEST_HANG"] = hang
    p = subprocess.Popen(BASE + list(extra), env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    lines = []  # (time, line)

    def read():
        for line in p.stderr:
            lines.append((time.monotonic(), line.rstrip("\n")))

    threading.Thread(target=read, daemon=True).start()
    return p, lines


def wait_for(lines, text, limit=60):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        for at, line in lines:
            if text in line:
                return at
        time.sleep(0.01)
    return None


def hang_to_line(hang, extra, before, named):
    """Seconds from the hang to the line naming it."""
    p, lines = start(hang, extra)
    said = wait_for(lines, named)
    p.send_signal(signal.SIGTERM)
    p.wait(10)
    if said is None:
        return "not named"
    last = max((at for at, line in lines if before in line and at <= said), default=None)
    return f"{said - last:.2f} s" if last is not None else "?"


def signal_to_end(hang, extra, reached):
    p, lines = start(hang, extra)
    if wait_for(lines, reached) is None:
        p.kill()
        return "phase not reached"
    time.sleep(0.3)
    at = time.monotonic()
    p.send_signal(signal.SIGTERM)
    p.wait(10)
    return f"{time.monotonic() - at:.2f} s (status {p.returncode})"


HELD = "[test] device wait held"  # what the stand-in says as it holds a wait

PHASES = [
    # phase, hang, extra options, last line before the hang, naming line, line that shows the phase
    ("listing the devices", "main:0", [], None, None, HELD),
    ("self-test", "start:0", [], HELD, "during its self-test", HELD),
    ("tuning", "start:1", [], HELD, "while tuning", HELD),
    ("GPU#0 mining while GPU#1 tunes", "3:one", ["--devices", "0,0", "--step-seconds", "3"],
     HELD, "no batch finished", HELD),
    ("mining", "3", [], HELD, "no batch finished", HELD),
]

print("| phase | hang to the line naming it | SIGTERM to the end |")
print("|---|---|---|")
for phase, hang, extra, before, named, reached in PHASES:
    named_after = hang_to_line(hang, extra, before, named) if named else "(nothing to name: no watchdog on listing)"
    print(f"| {phase} | {named_after} | {signal_to_end(hang, extra, reached)} |", flush=True)
