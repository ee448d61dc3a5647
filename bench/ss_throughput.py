#!/usr/bin/env python3
"""Shadowsocks throughput of the local service against shadowsocks-libev's
own client.

For each cipher, one `ss-server` serves two clients in front of it:
`vantor serve --node ss://...` and Debian's `ss-local`, both SOCKS 5 on
loopback. Downloads from a local zero source (the one of benchlib.py) go
through each in turn, with 1 and with 16 parallel streams, alternating so
that machine drift hits both alike. Progress goes to stderr; stdout gets
exactly one result line:

  ss_throughput <cipher>_vantor_1=MB/s <cipher>_sslocal_1=MB/s <cipher>_ratio_1=...
                <cipher>_vantor_16=... <cipher>_sslocal_16=... <cipher>_ratio_16=... ...

MB/s is 10^6 payload bytes per second; ratio = vantor / ss-local. Each figure
is the best of --rounds rounds. The line ends with the CPU time each client
process spent per 10^9 payload bytes (user + system seconds, mean over the
rounds), <cipher>_vantor_cpu_1=s/GB and so on: on a machine where ss-server,
the zero source and the downloading threads share the cores with the client,
that shows what a client costs even where throughput is bounded by others.
"""

import argparse
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean of __pycache__
import benchlib  # noqa: E402
from benchlib import cpu_seconds, log, peers  # noqa: E402

CIPHERS = ("aes-256-gcm", "chacha20-ietf-poly1305", "aes-256-cfb")
PASSWORD = "bench-Pw-42"
STREAMS = (1, 16)


def measure_cipher(args, cipher, stream_port, cleanup):
    server = peers.SsServer(cipher, PASSWORD)
    cleanup.append(server.stop)
    svc = peers.VantorService(f"ss://{cipher}:{PASSWORD}@127.0.0.1:{server.port}",
                              port=peers.free_port())
    cleanup.append(svc.stop)
    local = peers.SsLocal(server.port, cipher, PASSWORD)
    cleanup.append(local.stop)
    clients = {"vantor": {"port": svc.port, "pid": svc.proc.pid},
               "sslocal": {"port": local.port, "pid": local.proc.pid}}
    log(f"{cipher}: ss-server :{server.port}, vantor :{svc.port}, ss-local :{local.port}")

    for proxy in clients.values():  # warm-up: first connections, page cache, CPU clocks
        benchlib.download(proxy, stream_port, 4, 64 << 20, 1.0)
    best = {}
    cpu = {}
    for r in range(args.rounds):
        # Alternate which client goes first so neither always gets the
        # calmer half of a round.
        order = list(clients.items()) if r % 2 == 0 else list(reversed(clients.items()))
        for streams in STREAMS:
            for name, proxy in order:
                cpu_before, t0 = cpu_seconds(proxy["pid"]), time.monotonic()
                mbps = benchlib.download(proxy, stream_port, streams, args.bytes, args.max_seconds)
                gb = mbps * (time.monotonic() - t0) / 1e3
                used = cpu_seconds(proxy["pid"]) - cpu_before
                key = f"{name}_{streams}"
                best[key] = max(best.get(key, 0.0), mbps)
                cpu.setdefault(key, []).append(used / gb)
                log(f"{cipher} round {r + 1}: {key} {mbps:.0f} MB/s, {used / gb:.2f} CPU s/GB")
    for stop in (local.stop, svc.stop, server.stop):
        cleanup.remove(stop)
        stop()
    return best, {key: sum(values) / len(values) for key, values in cpu.items()}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--ciphers", default=",".join(CIPHERS),
                    help=f"comma-separated methods (default {','.join(CIPHERS)})")
    benchlib.add_measure_args(ap, size=512 << 20, max_seconds=2.5, rounds=4)
    args = ap.parse_args()

    started = time.monotonic()
    cleanup = []
    fields = []
    try:
        source = benchlib.Endpoints()
        cleanup.append(source.stop)
        for cipher in args.ciphers.split(","):
            best, cpu = measure_cipher(args, cipher, source.stream, cleanup)
            for streams in STREAMS:
                v, s = best[f"vantor_{streams}"], best[f"sslocal_{streams}"]
                fields += [f"{cipher}_vantor_{streams}={v:.1f}", f"{cipher}_sslocal_{streams}={s:.1f}",
                           f"{cipher}_ratio_{streams}={v / s:.3f}"]
            for streams in STREAMS:
                fields += [f"{cipher}_{name}_cpu_{streams}={cpu[f'{name}_{streams}']:.2f}"
                           for name in ("vantor", "sslocal")]
    finally:
        for stop in reversed(cleanup):
            stop()
    log(f"finished in {time.monotonic() - started:.0f} s")
    print("ss_throughput " + " ".join(fields), flush=True)


if __name__ == "__main__":
    main()
