#!/usr/bin/env python3
"""Mixed hostile load on a running development node, for a set time.

Malformed and deeply nested WebSocket messages, clients that never read their
answers, idle sockets that never shake hands, WebSocket clients that shake
hands and then stay silent, HTTP clients that trickle their headers
(slowloris), oversized HTTP bodies, headers and WebSocket messages, and
bursts that exhaust the node's descriptors, all at once. Meanwhile it asks
for /height every half second and samples the node's resident memory; the
height is the count of a miner's blocks when one mines on the node (the
shell script starts one). Prints a line every 5 s and a summary; exits 1 if
the node is not serving at the end, or, with a miner, if its blocks stopped
being accepted for 20 s.

    devnode-hostile-load.py PID HTTP_PORT WS_PORT SECONDS [MINER_PID]
"""
import json
import socket
import sys
import threading
import time

pid, http_port, ws_port, duration = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
miner = len(sys.argv) > 5
stop = threading.Event()
counts = {"bad_messages": 0, "answers": 0, "greedy_dropped": 0, "idle_opened": 0, "oversized": 0, "bursts": 0,
          "silent_ws_opened": 0, "slowloris_opened": 0}
lock = threading.Lock()


def count(key, n=1):
    with lock:
        counts[key] += n


def rss_kb():
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def connect(port, timeout=2.0, rcvbuf=0):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(timeout)
    s.connect(("127.0.0.1", port))
    return s


def ws_open(rcvbuf=0):
    s = connect(ws_port, rcvbuf=rcvbuf)
    s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(1)
        if not chunk:
            raise OSError("closed during handshake")
        head += chunk
    if not head.startswith(b"HTTP/1.1 101"):
        raise OSError("refused: " + head.split(b"\r\n")[0].decode())
    return s


def frame(payload: bytes) -> bytes:
    n = len(payload)
    if n < 126:
        head = bytes([0x81, 0x80 | n])
    elif n < 65536:
        head = bytes([0x81, 0xFE]) + n.to_bytes(2, "big")
    else:
        head = bytes([0x81, 0xFF]) + n.to_bytes(8, "big")
    return head + b"\0\0\0\0" + payload


def recv_message(s):
    def exact(n):
        buf = b""
        while len(buf) < n:
            chunk = s.recv(n - len(buf))
            if not chunk:
                raise OSError("closed")
            buf += chunk
        return buf
    while True:
        h = exact(2)
        n = h[1] & 0x7F
        if n == 126:
            n = int.from_bytes(exact(2), "big")
        elif n == 127:
            n = int.from_bytes(exact(8), "big")
        payload = exact(n)
        if h[0] & 0x0F == 1:
            return payload
        if h[0] & 0x0F == 8:
            raise OSError("closed")


BAD = [b'{"event":5}', b'{"event":null}', b'{"event":["block"]}', b'{"event":"block"}', b"[1,", b"null",
       b'{"event":"block","data":' + b"[" * 70000 + b"]" * 70000 + b"}",
       b'{"event":"block","data":{"timestamp":1.5}}',
       json.dumps({"event": "block", "data": {"timestamp": 1, "transactions": [], "prev_hash": "00", "nonce": 1,
                                              "signature": "30", "proposer": "02", "hash": "1", "diff": "f",
                                              "extra": "x" * 100000}}).encode()]


def bad_messages():
    while not stop.is_set():
        try:
            with ws_open() as s:
                for i in range(200):
                    if stop.is_set():
                        break
                    s.sendall(frame(BAD[i % len(BAD)]))
                    recv_message(s)
                    count("bad_messages")
                    count("answers")
        except OSError:
            time.sleep(0.1)


def greedy():
    burst = frame(b'{"event":5}') * 2000
    while not stop.is_set():
        try:
            with ws_open(rcvbuf=4096) as s:
                s.settimeout(0.5)
                while not stop.is_set():
                    s.sendall(burst)
        except OSError:
            count("greedy_dropped")
            time.sleep(0.2)


def idle():
    held = []
    while not stop.is_set():
        try:
            held.append(connect(ws_port if len(held) % 2 else http_port))
            count("idle_opened")
        except OSError:
            pass
        held = held[-40:]
        time.sleep(0.05)
    for s in held:
        s.close()


def silent_ws():
    """WebSocket clients that shake hands and never send another byte, more
    of them than the node serves, reopened as the node drops them."""
    held = []
    while not stop.is_set():
        try:
            held.append(ws_open())
            count("silent_ws_opened")
        except OSError:
            time.sleep(0.2)
        for s in held[:-80]:
            s.close()
        held = held[-80:]
        time.sleep(0.05)
    for s in held:
        s.close()


def slowloris():
    """HTTP clients that send a header a byte at a time, never finishing it,
    more of them than the node serves, reopened as the node cuts them off."""
    held = []
    while not stop.is_set():
        try:
            s = connect(http_port)
            s.sendall(b"GET /height HTTP/1.1\r\n")
            held.append(s)
            count("slowloris_opened")
        except OSError:
            time.sleep(0.2)
        alive = []
        for s in held:
            try:
                s.sendall(b"X")
                alive.append(s)
            except OSError:
                s.close()
        held = alive[-80:]
        for s in alive[:-80]:
            s.close()
        time.sleep(0.05)
    for s in held:
        s.close()


def height():
    try:
        with connect(http_port, timeout=2) as s:
            s.sendall(b"GET /height HTTP/1.1\r\nConnection: close\r\n\r\n")
            reply = b""
            while chunk := s.recv(4096):
                reply += chunk
            return json.loads(reply.split(b"\r\n\r\n", 1)[1])["height"]
    except (OSError, ValueError, KeyError, IndexError):
        return None


def oversized():
    body = b" " * (2 << 20)
    while not stop.is_set():
        for request in (b"POST /tx HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % len(body) + body,
                        b"GET /height HTTP/1.1\r\nX: " + b"x" * 20000 + b"\r\n\r\n",
                        b"POST /tx HTTP/1.1\r\nContent-Length: 950000\r\n\r\n" +
                        b'{"sender":"02","receiver":"03","amount":1,"signature":"30","nonce":1,"timestamp":1,'
                        b'"token":"' + b"a" * 949800 + b'"}'):
            try:
                with connect(http_port) as s:
                    s.sendall(request)
                    s.recv(100)
                count("oversized")
            except OSError:
                pass
        try:
            with ws_open() as s:
                s.sendall(frame(b" " * (5 << 20)))
                recv_message(s)
        except OSError:
            count("oversized")
        time.sleep(0.1)


def exhaust():
    while not stop.is_set():
        held = []
        for _ in range(400):
            try:
                held.append(connect(ws_port, timeout=0.5))
            except OSError:
                break
        count("bursts")
        time.sleep(2)
        for s in held:
            s.close()
        time.sleep(1)


def probe():
    try:
        with connect(http_port, timeout=2) as s:
            s.sendall(b"GET /height HTTP/1.1\r\nConnection: close\r\n\r\n")
            return s.recv(200).startswith(b"HTTP/1.1 200")
    except OSError:
        return False


threads = [threading.Thread(target=f, daemon=True) for f in (bad_messages, bad_messages, greedy, idle, oversized,
                                                             exhaust, silent_ws, slowloris)]
start = time.monotonic()
print(f"t=0s rss={rss_kb()}kB (before the load)", flush=True)
for t in threads:
    t.start()
ok = total = 0
samples = []
next_report = 5
first_height = last_height = height() or 0
last_rise = start
longest_wait = 0.0
while time.monotonic() - start < duration:
    total += 1
    ok += probe()
    time.sleep(0.5)
    elapsed = time.monotonic() - start
    h = height()
    if h is not None and h > last_height:
        longest_wait = max(longest_wait, time.monotonic() - last_rise)
        last_height, last_rise = h, time.monotonic()
    if elapsed >= next_report:
        samples.append(rss_kb())
        with lock:
            snapshot = dict(counts)
        print(f"t={int(elapsed)}s rss={samples[-1]}kB served={ok}/{total} height={last_height} {snapshot}",
              flush=True)
        next_report += 5
longest_wait = max(longest_wait, time.monotonic() - last_rise)
stop.set()
for t in threads:
    t.join(timeout=10)
time.sleep(1)
served_after = any(probe() or time.sleep(0.5) for _ in range(10))
print(f"after the load: serving={'yes' if served_after else 'NO'} rss={rss_kb()}kB; "
      f"rss over the run: first {samples[0]}kB, min {min(samples)}kB, max {max(samples)}kB, last {samples[-1]}kB; "
      f"served {ok} of {total} probes during the load")
if miner:
    print(f"the miner's blocks: height {first_height} -> {last_height} during the load, "
          f"longest wait for the next accepted block {longest_wait:.1f}s")
sys.exit(0 if served_after and (not miner or (last_height > first_height and longest_wait < 20)) else 1)
