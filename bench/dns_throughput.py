#!/usr/bin/env python3
"""DNS queries per second through the packet tunnel's UDP path, against the
same queries sent straight to the server, in network namespaces (root only).

The server namespace (tests/e2e/netns.py) runs dnsmasq and ss-server
(aes-256-gcm, UDP on); the client namespace runs `vantor tunnel` with UDP and
its default route into the TUN interface. The generator (dns_query_gen.py)
keeps --flows sockets with --window queries in flight each for --seconds:

  tunnel  from the client namespace, through the tunnel, the local service's
          udpgw relay and the node
  direct  from the server namespace straight to dnsmasq

Then a light pass (one socket, one query at a time, --latency-seconds) each
way gives the latency of a query on its own; both passes report the median
and 99th percentile latency of the answered queries.

While the tunnel is measured, the CPU time of its process is split by
thread: `tunnel_thread` (the packet tunnel) and `service_threads` (the local
service's udpgw stream and its flows), each in cores (CPU seconds per second)
and in microseconds per answered query.

Progress goes to stderr; stdout gets one line:

  dns_throughput tunnel_qps=.. tunnel_loss=..% direct_qps=.. direct_loss=..% tunnel_vs_direct=.. ...
"""

import argparse
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import netns  # noqa: E402
from netns import TARGET_ADDR  # noqa: E402
from benchlib import log, thread_cpu_seconds  # noqa: E402

NAME = "bench.vantor.test"
TUNNEL_THREAD = "vantor-tunnel"


def add_args(parser):
    parser.add_argument("--dns-seconds", type=float, default=5.0, help="length of each DNS measurement")
    parser.add_argument("--flows", type=int, default=8, help="DNS client sockets")
    parser.add_argument("--window", type=int, default=8, help="DNS queries in flight per socket")
    parser.add_argument("--latency-seconds", type=float, default=3.0, help="length of the light latency pass")


def unavailable():
    """Why the DNS measurement cannot run here, or None."""
    if not any(os.path.exists(os.path.join(d, "dnsmasq")) for d in ("/usr/sbin", "/usr/bin")):
        return "needs dnsmasq (scripts/setup.sh)"
    return None


def generate(ns, args, light=False):
    seconds, flows, window = (args.latency_seconds, 1, 1) if light else (args.dns_seconds, args.flows, args.window)
    argv = ["ip", "netns", "exec", ns, "python3", os.path.join(HERE, "dns_query_gen.py"), TARGET_ADDR, NAME,
            str(seconds), "--flows", str(flows), "--window", str(window)]
    r = netns.run(argv, timeout=seconds + 60)
    return json.loads(r.stdout.decode().strip().splitlines()[-1])


def thread_split(before, after, seconds, answered):
    """CPU of the tunnel thread and of the other threads between two
    thread_cpu_seconds() samples: cores, and microseconds per answer."""
    tunnel = other = 0.0
    for tid, (name, cpu) in after.items():
        spent = cpu - before.get(tid, (name, 0.0))[1]
        if name == TUNNEL_THREAD:
            tunnel += spent
        else:
            other += spent
    per = 1e6 / answered if answered else 0.0
    return {"tunnel_cores": tunnel / seconds, "service_cores": other / seconds,
            "tunnel_us_per_query": tunnel * per, "service_us_per_query": other * per}


def measure(topo, node, args):
    """Direct and tunnel figures in an existing topology whose targets run;
    `node` must carry UDP (ss-server with -u). Starts dnsmasq and a tunnel
    with UDP and stops the tunnel again."""
    topo.start_dnsmasq({NAME: "10.9.8.7"})
    log("dns direct")
    direct = generate(topo.server, args)
    direct["light"] = generate(topo.server, args, light=True)
    log(f"  {direct}")
    tun = topo.start_tunnel(node, udp=True)
    try:
        log("dns through the tunnel")
        before = thread_cpu_seconds(tun.proc.pid)
        started = time.monotonic()
        tunnel = generate(topo.client, args)
        split = thread_split(before, thread_cpu_seconds(tun.proc.pid), time.monotonic() - started,
                             tunnel["answered"])
        tunnel["light"] = generate(topo.client, args, light=True)
        log(f"  {tunnel} {split}")
    finally:
        code, text = topo.stop_tunnel(tun)
        topo.processes.remove(tun)
    if code != 0:
        raise RuntimeError(f"vantor tunnel ended with {code}: {text[-2000:]}")
    return direct, tunnel, split


def result_fields(direct, tunnel, split):
    def loss(r):
        return 100.0 * r["lost"] / r["sent"] if r["sent"] else 100.0

    ratio = tunnel["qps"] / direct["qps"] if direct["qps"] else 0.0
    return (f"tunnel_qps={tunnel['qps']:.0f} tunnel_loss={loss(tunnel):.2f}% "
            f"direct_qps={direct['qps']:.0f} direct_loss={loss(direct):.2f}% tunnel_vs_direct={ratio:.2f} "
            f"tunnel_thread_cores={split['tunnel_cores']:.2f} service_threads_cores={split['service_cores']:.2f} "
            f"tunnel_thread_us_per_query={split['tunnel_us_per_query']:.1f} "
            f"service_threads_us_per_query={split['service_us_per_query']:.1f} "
            f"loaded_ms tunnel_median={tunnel['median_ms']:.2f} tunnel_p99={tunnel['p99_ms']:.2f} "
            f"direct_median={direct['median_ms']:.2f} direct_p99={direct['p99_ms']:.2f} "
            f"light_ms tunnel_median={tunnel['light']['median_ms']:.3f} tunnel_p99={tunnel['light']['p99_ms']:.3f} "
            f"direct_median={direct['light']['median_ms']:.3f} direct_p99={direct['light']['p99_ms']:.3f} "
            f"light_qps tunnel={tunnel['light']['qps']:.0f} direct={direct['light']['qps']:.0f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_args(ap)
    args = ap.parse_args()
    why = netns.can_run() or unavailable()
    if why:
        print(f"dns_throughput skipped: {why}")
        return 0
    topo = netns.Topology()
    try:
        topo.start_targets({})
        node = topo.start_ss_server(udp=True)
        direct, tunnel, split = measure(topo, node, args)
    finally:
        topo.close()
    print(f"dns_throughput {result_fields(direct, tunnel, split)} "
          f"flows={args.flows} window={args.window} seconds={args.dns_seconds:g}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
