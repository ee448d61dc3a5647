#!/usr/bin/env python3
"""Throughput of ShadowsocksR plugin pairs through the local service.

For one cipher, three nodes served by ssr-test-server: origin + plain (plain
Shadowsocks, the baseline), auth_chain_a + tls1.2_ticket_auth and
auth_aes128_md5 + http_simple. Through `vantor serve` for each node it
measures downloads (zeros streamed by a local source) and uploads (to a local
sink), in one run, alternating the nodes within each round so that drift of
the machine hits all alike. Each figure is the best of --rounds. Progress goes
to stderr; stdout gets exactly one line:

  ssr_throughput cipher=... origin_plain_down=MB/s origin_plain_up=MB/s
  chain_a_tls_down=... chain_a_tls_up=... chain_a_tls_cost_down=... chain_a_tls_cost_up=...
  aes128_http_down=... aes128_http_up=... aes128_http_cost_down=... aes128_http_cost_up=...

  ... <pair>_cpu_down=s/GB <pair>_cpu_up=s/GB ... <pair>_cpu_cost_down=... <pair>_cpu_cost_up=...

MB/s is 10^6 bytes per second; cost = baseline / pair (1.25 means the pair
moves 20% fewer bytes per second than plain Shadowsocks on the same cipher).
The server runs on the same machine and does the server half of the same
work, so the throughput cost covers both ends and the contention of two
cores. The CPU figures isolate the client: CPU seconds (user + system) the
`vantor serve` process spent per 10^9 payload bytes (mean over the rounds),
and cpu_cost = pair / baseline.
"""

import argparse
import struct
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean of __pycache__
import benchlib  # noqa: E402
from benchlib import cpu_seconds, log, peers, socks5_connect  # noqa: E402
import test_ssr  # noqa: E402  (ssr-test-server launcher and share links)

PAIRS = [("origin_plain", "origin", "plain"),
         ("chain_a_tls", "auth_chain_a", "tls1.2_ticket_auth"),
         ("aes128_http", "auth_aes128_md5", "http_simple")]


def measured(pid, fn, *args):
    """(MB/s, CPU seconds of `pid` during the call, bytes moved)."""
    before = cpu_seconds(pid)
    rate, moved = fn(*args)
    return rate, cpu_seconds(pid) - before, moved


def download(port, source_port, total, max_seconds):
    buf = bytearray(1 << 20)
    view = memoryview(buf)
    with socks5_connect(port, source_port, timeout=15) as s:
        started = time.monotonic()
        got = 0
        while got < total and time.monotonic() - started < max_seconds:
            n = s.recv_into(view)
            if n == 0:
                raise RuntimeError("download ended early")
            got += n
        return got / (time.monotonic() - started) / 1e6, got


def upload(port, sink_port, total, max_seconds, rate_guess):
    # The sink must be told the size first; it is fitted to the time cap from
    # the download rate, since an upload cannot stop early.
    block = bytes(1 << 18)
    total = min(total, max(len(block), int(rate_guess * 1e6 * max_seconds)) // len(block) * len(block))
    with socks5_connect(port, sink_port, timeout=15) as s:
        started = time.monotonic()
        s.sendall(struct.pack("!Q", total))
        sent = 0
        while sent < total:
            s.sendall(block)
            sent += len(block)
        # The sink reports what arrived once everything has: the time runs
        # until then, so bytes still queued in buffers are not counted as done.
        counted = struct.unpack("!Q", peers.recv_exact(s, 8))[0]
        elapsed = time.monotonic() - started
        if counted != sent:
            raise RuntimeError(f"sink counted {counted} of {sent} bytes")
        return sent / elapsed / 1e6, sent


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cipher", default="aes-256-cfb")
    benchlib.add_measure_args(parser, size=256 << 20, max_seconds=3.0, rounds=3)
    args = parser.parse_args()

    endpoints = benchlib.Endpoints()
    started = [endpoints]
    try:
        services = {}
        for label, protocol, obfs in PAIRS:
            server = test_ssr.SsrServer(args.cipher, protocol, obfs)
            started.append(server)
            svc = peers.VantorService(test_ssr.ssr_link(server.port, protocol, args.cipher, obfs,
                                                        test_ssr.PASSWORD), port=peers.free_port())
            started.append(svc)
            services[label] = svc
        best, cpu, moved = {}, {}, {}
        for r in range(args.rounds):
            order = PAIRS if r % 2 == 0 else list(reversed(PAIRS))
            for label, _, _ in order:
                svc = services[label]
                down, c1, b1 = measured(svc.proc.pid, download, svc.port, endpoints.stream,
                                        args.bytes, args.max_seconds)
                up, c2, b2 = measured(svc.proc.pid, upload, svc.port, endpoints.sink, args.bytes,
                                      args.max_seconds, down)
                for d, rate, c, b in (("down", down, c1, b1), ("up", up, c2, b2)):
                    key = f"{label}_{d}"
                    best[key] = max(best.get(key, 0), rate)
                    cpu[key] = cpu.get(key, 0) + c
                    moved[key] = moved.get(key, 0) + b
                log(f"round {r + 1}: {label} down {down:.1f} MB/s up {up:.1f} MB/s")
        per_gb = {k: cpu[k] / moved[k] * 1e9 for k in cpu}
        fields = [f"cipher={args.cipher}"]
        for label, _, _ in PAIRS:
            for d in ("down", "up"):
                fields.append(f"{label}_{d}={best[label + '_' + d]:.1f}")
            for d in ("down", "up"):
                fields.append(f"{label}_cpu_{d}={per_gb[label + '_' + d]:.2f}")
            if label != "origin_plain":
                for d in ("down", "up"):
                    fields.append(f"{label}_cost_{d}="
                                  f"{best['origin_plain_' + d] / best[label + '_' + d]:.2f}")
                for d in ("down", "up"):
                    fields.append(f"{label}_cpu_cost_{d}="
                                  f"{per_gb[label + '_' + d] / per_gb['origin_plain_' + d]:.2f}")
        print("ssr_throughput " + " ".join(fields))
    finally:
        for item in reversed(started):
            try:
                item.stop()
            except AssertionError as e:
                print(e, file=sys.stderr)


if __name__ == "__main__":
    main()
