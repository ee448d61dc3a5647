"""Client side of bench/tunnel_throughput.py, run inside the client namespace.

    python3 tunnel_bench_client.py down HOST PORT SECONDS [--socks H:P]
    python3 tunnel_bench_client.py up HOST PORT SECONDS [--socks H:P]
    python3 tunnel_bench_client.py connect HOST PORT COUNT [--socks H:P]

--congestion NAME sets the congestion control of the client's socket
(TCP_CONGESTION) instead of the system's default. --streams N runs down or
up on N connections at once, each in its own process (down then reports the
bytes of all and the longest of their times; up leaves the sink one report
per connection).

down: asks the target's send port for an endless stream and reads it for
SECONDS (from the first byte); up: writes to the target's timed sink for
SECONDS, then closes (the sink reports what arrived); connect: COUNT
sequential connections to the echo port, one byte there and back each.
Prints one JSON object.
"""

import argparse
import json
import socket
import struct
import time


CONGESTION = None


def connect_tcp(host, port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if CONGESTION:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_CONGESTION, CONGESTION.encode())
    s.settimeout(30)
    s.connect((host, port))
    return s


def open_conn(host, port, socks):
    if not socks:
        s = connect_tcp(host, port)
    else:
        sh, sp = socks.rsplit(":", 1)
        s = connect_tcp(sh, int(sp))
        s.sendall(b"\x05\x01\x00")
        if s.recv(2) != b"\x05\x00":
            raise RuntimeError("SOCKS method refused")
        s.sendall(b"\x05\x01\x00\x01" + socket.inet_aton(host) + struct.pack(">H", port))
        reply = b""
        while len(reply) < 10:
            chunk = s.recv(10 - len(reply))
            if not chunk:
                raise RuntimeError("SOCKS connection closed")
            reply += chunk
        if reply[1] != 0:
            raise RuntimeError(f"SOCKS reply {reply[1]}")
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def down(host, port, seconds, socks):
    s = open_conn(host, port, socks)
    s.sendall(b"%d\n" % (1 << 50))
    buf = bytearray(1 << 18)
    total = 0
    n = s.recv_into(buf)
    start = time.monotonic()
    deadline = start + seconds
    while n and time.monotonic() < deadline:
        n = s.recv_into(buf)
        total += n
    elapsed = time.monotonic() - start
    s.close()
    return {"bytes": total, "seconds": elapsed}


def up(host, port, seconds, socks):
    s = open_conn(host, port, socks)
    block = bytes(1 << 17)
    total = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        s.sendall(block)
        total += len(block)
    s.close()
    return {"sent": total}


def connect(host, port, count, socks):
    times = []
    for _ in range(count):
        start = time.monotonic()
        s = open_conn(host, port, socks)
        s.sendall(b"x")
        if s.recv(1) != b"x":
            raise RuntimeError("echo failed")
        s.close()
        times.append(time.monotonic() - start)
    times.sort()
    return {"mean_ms": 1000 * sum(times) / len(times), "median_ms": 1000 * times[len(times) // 2]}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("mode", choices=["down", "up", "connect"])
    p.add_argument("host")
    p.add_argument("port", type=int)
    p.add_argument("amount", type=float)
    p.add_argument("--socks")
    p.add_argument("--congestion")
    p.add_argument("--streams", type=int, default=1)
    a = p.parse_args()
    global CONGESTION
    CONGESTION = a.congestion
    if a.mode == "connect":
        result = connect(a.host, a.port, int(a.amount), a.socks)
    elif a.streams > 1:
        import multiprocessing
        with multiprocessing.Pool(a.streams) as pool:
            parts = pool.starmap(globals()[a.mode], [(a.host, a.port, a.amount, a.socks)] * a.streams)
        if a.mode == "down":
            result = {"bytes": sum(p["bytes"] for p in parts), "seconds": max(p["seconds"] for p in parts)}
        else:
            result = {"sent": sum(p["sent"] for p in parts)}
    else:
        result = globals()[a.mode](a.host, a.port, a.amount, a.socks)
    print(json.dumps(result), flush=True)


if __name__ == "__main__":
    main()
