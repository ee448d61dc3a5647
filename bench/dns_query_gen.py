"""DNS query generator for bench/dns_throughput.py.

    python3 dns_query_gen.py SERVER NAME SECONDS [--port P] [--flows N] [--window W] [--timeout S]
    python3 dns_query_gen.py SERVER NAME SECONDS --interleave NETNS_A NETNS_B

Sends A queries for NAME to SERVER:53 (or --port) from N sockets (N UDP flows), each
keeping up to W queries in flight, for SECONDS; a query unanswered after
--timeout seconds counts as lost. Prints one JSON object: sent, answered,
lost, qps (answers per second over the sending time), and the median and
99th percentile of the answered queries' latency in milliseconds.

With --interleave (root), one socket in each of two network namespaces asks
one query at a time, taking turns query by query, so that both see the same
load on the machine; prints {"a": ..., "b": ...} with the figures above for
each, and the 10th percentile (p10_ms): on a busy machine the fast end of
the latencies shows the path's own cost best.
"""

import argparse
import ctypes
import json
import os
import selectors
import socket
import struct
import time


def query(qid, name):
    header = struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0)
    labels = b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\0"
    return header + labels + struct.pack(">HH", 1, 1)


CLONE_NEWNET = 0x40000000


def socket_in(netns, server, port):
    """A UDP socket of network namespace `netns` connected to server:port."""
    libc = ctypes.CDLL(None, use_errno=True)
    own = os.open("/proc/self/ns/net", os.O_RDONLY)
    target = os.open(f"/var/run/netns/{netns}", os.O_RDONLY)
    try:
        if libc.setns(target, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), f"setns {netns}")
        try:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.connect((server, port))
        finally:
            if libc.setns(own, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns back")
    finally:
        os.close(own)
        os.close(target)
    s.settimeout(1.0)
    return s


def figures(latencies, sent, seconds):
    latencies.sort()

    def percentile(q):
        return 1000 * latencies[min(len(latencies) - 1, int(len(latencies) * q))] if latencies else None

    return {"sent": sent, "answered": len(latencies), "lost": sent - len(latencies), "qps": len(latencies) / seconds,
            "p10_ms": percentile(0.1), "median_ms": percentile(0.5), "p99_ms": percentile(0.99)}


def interleave(a, netns, seconds):
    socks = [socket_in(ns, a.server, a.port) for ns in netns]
    latencies = [[], []]
    sent = [0, 0]
    spent = [0.0, 0.0]
    qid = 0
    stop = time.monotonic() + seconds
    while time.monotonic() < stop:
        for i, s in enumerate(socks):
            qid = qid % 65535 + 1
            q = query(qid, a.name)
            started = time.monotonic()
            s.send(q)
            sent[i] += 1
            try:
                while True:
                    data = s.recv(4096)
                    if len(data) >= 12 and struct.unpack(">H", data[:2])[0] == qid:
                        latencies[i].append(time.monotonic() - started)
                        break
            except (socket.timeout, ConnectionRefusedError):
                pass
            spent[i] += time.monotonic() - started
    print(json.dumps({k: figures(latencies[i], sent[i], spent[i] or 1) for i, k in enumerate("ab")}), flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("server")
    ap.add_argument("name")
    ap.add_argument("seconds", type=float)
    ap.add_argument("--port", type=int, default=53)
    ap.add_argument("--flows", type=int, default=8)
    ap.add_argument("--window", type=int, default=8)
    ap.add_argument("--timeout", type=float, default=1.0)
    ap.add_argument("--interleave", nargs=2, metavar=("NETNS_A", "NETNS_B"))
    a = ap.parse_args()
    if a.interleave:
        interleave(a, a.interleave, a.seconds)
        return

    sel = selectors.DefaultSelector()
    flows = []
    for i in range(a.flows):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setblocking(False)
        s.connect((a.server, a.port))
        f = {"sock": s, "next": 1, "inflight": {}}
        flows.append(f)
        sel.register(s, selectors.EVENT_READ, f)
    sent = answered = lost = 0
    latencies = []
    start = time.monotonic()
    stop_sending = start + a.seconds
    while True:
        now = time.monotonic()
        sending = now < stop_sending
        for f in flows:
            for qid, t in list(f["inflight"].items()):
                if now - t > a.timeout:
                    del f["inflight"][qid]
                    lost += 1
            while sending and len(f["inflight"]) < a.window:
                qid = f["next"]
                f["next"] = qid % 65535 + 1
                try:
                    f["sock"].send(query(qid, a.name))
                except BlockingIOError:
                    break
                f["inflight"][qid] = now
                sent += 1
        if not sending and not any(f["inflight"] for f in flows):
            break
        for key, _ in sel.select(timeout=0.05):
            f = key.data
            while True:
                try:
                    data = f["sock"].recv(4096)
                except (BlockingIOError, ConnectionRefusedError):
                    break
                if len(data) >= 12:
                    qid = struct.unpack(">H", data[:2])[0]
                    sent_at = f["inflight"].pop(qid, None)
                    if sent_at is not None and struct.unpack(">H", data[6:8])[0] >= 1:
                        answered += 1
                        latencies.append(time.monotonic() - sent_at)
    latencies.sort()

    def percentile(q):
        return 1000 * latencies[min(len(latencies) - 1, int(len(latencies) * q))] if latencies else None

    print(json.dumps({"sent": sent, "answered": answered, "lost": lost, "qps": answered / a.seconds,
                      "median_ms": percentile(0.5), "p99_ms": percentile(0.99)}), flush=True)


if __name__ == "__main__":
    main()
