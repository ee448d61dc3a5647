#!/usr/bin/env python3
"""Throughput of the local HTTP proxy against the local SOCKS service it
forwards to.

Downloads from a local zero source go through `vantor serve --http` in two
ways in the same run, alternating: as HTTP CONNECT tunnels through the HTTP
proxy, and as SOCKS 5 CONNECTs straight to the local service. Both reach the
source through the same node (danted), so the ratio shows what the HTTP
proxy adds. Progress goes to stderr; stdout gets exactly one result line:

  http_proxy_throughput http_1=MB/s socks_1=MB/s ratio_1=... http_16=... socks_16=... ratio_16=...

MB/s is 10^6 bytes per second; each figure is the best of --rounds rounds.
"""

import argparse
import re
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean of __pycache__
import benchlib  # noqa: E402
from benchlib import log, peers  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    benchlib.add_measure_args(ap, size=512 << 20, max_seconds=5.0, rounds=5)
    args = ap.parse_args()

    cleanup = []
    try:
        source = benchlib.Endpoints()
        cleanup.append(source.stop)
        node = peers.Danted()
        cleanup.append(node.stop)
        svc = peers.VantorService(f"socks5://127.0.0.1:{node.port}", port=peers.free_port(),
                                  extra_args=["--http", "0"])
        cleanup.append(svc.stop)
        http_port = None
        deadline = time.monotonic() + 10
        while http_port is None and time.monotonic() < deadline:
            for line in list(svc.stdout_lines):
                m = re.match(r"^http proxy 127\.0\.0\.1:(\d+)$", line)
                if m:
                    http_port = int(m.group(1))
            time.sleep(0.02)
        if http_port is None:
            raise RuntimeError(f"no http proxy line: {svc.stdout_lines}")
        log(f"zero source :{source.stream}, danted :{node.port}, vantor :{svc.port}, http proxy :{http_port}")
        proxies = {"http": {"http": http_port}, "socks": {"port": svc.port}}
        benchlib.download(proxies["http"], source.stream, 1, 64 << 20, 2)  # warm-up
        best = {}
        for r in range(args.rounds):
            for name, proxy in proxies.items():
                for streams in (1, 16):
                    mbps = benchlib.download(proxy, source.stream, streams, args.bytes, args.max_seconds)
                    best[f"{name}_{streams}"] = max(best.get(f"{name}_{streams}", 0.0), mbps)
                    log(f"round {r + 1}: {name}_{streams} {mbps:.0f} MB/s")
    finally:
        for stop in reversed(cleanup):
            stop()

    fields = []
    for streams in (1, 16):
        h, s = best[f"http_{streams}"], best[f"socks_{streams}"]
        fields += [f"http_{streams}={h:.1f}", f"socks_{streams}={s:.1f}", f"ratio_{streams}={h / s:.3f}"]
    print("http_proxy_throughput " + " ".join(fields), flush=True)


if __name__ == "__main__":
    main()
