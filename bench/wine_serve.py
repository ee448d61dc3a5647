#!/usr/bin/env python3
"""The Windows build's local service under Wine against the Linux build's,
on the same Shadowsocks node.

One `ss-server` (aes-256-gcm) serves two clients in front of it: `vantor.exe
serve` under Wine and the Linux `vantor serve`, both SOCKS 5 on loopback.
Downloads from the zero source of benchlib.py and uploads to its sink go
through each in turn, with 1 and with 16 parallel streams, the two clients
alternating within every round and taking turns at going first, so that
machine drift hits both alike. Wine adds its own cost (its socket calls go
through its server and its Unix side), so the ratio is a sanity check, not a
target. Progress goes to stderr; stdout gets exactly one result line:

  wine_serve down_1_wine=MED[MIN-MAX] down_1_linux=MED[MIN-MAX] down_1_ratio=R
             up_1_wine=... up_1_linux=... up_1_ratio=... down_16_... up_16_...

MB/s is 10^6 payload bytes per second, MED the median over --rounds rounds
with the smallest and largest in brackets; ratio = median Wine / median Linux.
Needs the Windows build (VANTOR_EXE, else build-windows/src/cli/vantor.exe),
the Linux one (VANTOR_BIN, else build/src/cli/vantor), wine and ss-server.
"""

import argparse
import os
import statistics
import struct
import sys
import threading
import time

sys.dont_write_bytecode = True  # keep the source tree clean of __pycache__
import benchlib  # noqa: E402
from benchlib import log, peers  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(benchlib.HERE), "tests", "wine"))
import wine_env  # noqa: E402

CIPHER = "aes-256-gcm"
PASSWORD = "bench-Wine-7"
STREAMS = (1, 16)


def upload(port, sink_port, streams, total):
    """`streams` parallel uploads of total/streams bytes each through the
    SOCKS 5 service on `port` to the sink; MB/s over all of them, counted
    until the sink has confirmed every byte."""
    share = max(1 << 18, total // streams) // (1 << 18) * (1 << 18)
    block = bytes(1 << 18)
    errors = []

    def worker(i):
        try:
            with benchlib.socks5_connect(port, sink_port, timeout=30) as s:
                s.sendall(struct.pack("!Q", share))
                for _ in range(share // len(block)):
                    s.sendall(block)
                counted = struct.unpack("!Q", peers.recv_exact(s, 8))[0]
                if counted != share:
                    errors.append(f"sink counted {counted} of {share} bytes")
        except Exception as e:
            errors.append(repr(e))

    elapsed = benchlib.run_threads(worker, streams)
    if errors:
        raise RuntimeError(f"upload failed: {errors[:3]}")
    return share * streams / elapsed / 1e6


def start_services(node):
    """The Linux service, then the Wine one (VANTOR_BIN is the Linux build
    until wine_env points it at its Wine launcher)."""
    linux_bin = peers.vantor_bin()
    linux = peers.VantorService(node, port=peers.free_port())
    try:
        wine_env.setup()
        wine = peers.VantorService(node, port=peers.free_port(), timeout=60)
    except BaseException:
        linux.stop()
        raise
    finally:
        os.environ["VANTOR_BIN"] = linux_bin
    return {"wine": wine, "linux": linux}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    benchlib.add_measure_args(ap, size=256 << 20, max_seconds=2.5, rounds=5)
    args = ap.parse_args()

    started = time.monotonic()
    cleanup = []
    try:
        source = benchlib.Endpoints()
        cleanup.append(source.stop)
        server = peers.SsServer(CIPHER, PASSWORD)
        cleanup.append(server.stop)
        services = start_services(f"ss://{CIPHER}:{PASSWORD}@127.0.0.1:{server.port}")
        cleanup.append(services["linux"].stop)
        cleanup.append(lambda: wine_env.stop_service(services["wine"]))
        log(f"ss-server :{server.port}, vantor.exe under Wine :{services['wine'].port},"
            f" Linux vantor :{services['linux'].port}")

        for svc in services.values():  # warm-up: first connections, page cache, CPU clocks
            benchlib.download({"port": svc.port}, source.stream, 4, 64 << 20, 1.0)
        figures = {}
        rate = {}
        for r in range(args.rounds):
            order = list(services.items()) if r % 2 == 0 else list(reversed(services.items()))
            for streams in STREAMS:
                for name, svc in order:
                    down = benchlib.download({"port": svc.port}, source.stream, streams, args.bytes,
                                             args.max_seconds)
                    # An upload cannot stop early: its size is fitted to the
                    # time cap from the first download rate of this client.
                    guess = rate.setdefault((name, streams), down)
                    up = upload(svc.port, source.sink, streams,
                                min(args.bytes, int(guess * 1e6 * args.max_seconds)))
                    figures.setdefault(f"down_{streams}_{name}", []).append(down)
                    figures.setdefault(f"up_{streams}_{name}", []).append(up)
                    log(f"round {r + 1}: {name} {streams} stream(s): down {down:.0f} MB/s, up {up:.0f} MB/s")
        fields = []
        for streams in STREAMS:
            for way in ("down", "up"):
                medians = {}
                for name in ("wine", "linux"):
                    values = figures[f"{way}_{streams}_{name}"]
                    medians[name] = statistics.median(values)
                    fields.append(f"{way}_{streams}_{name}={medians[name]:.1f}"
                                  f"[{min(values):.1f}-{max(values):.1f}]")
                fields.append(f"{way}_{streams}_ratio={medians['wine'] / medians['linux']:.3f}")
    finally:
        for stop in reversed(cleanup):
            stop()
    log(f"finished in {time.monotonic() - started:.0f} s")
    print("wine_serve " + " ".join(fields), flush=True)


if __name__ == "__main__":
    main()
