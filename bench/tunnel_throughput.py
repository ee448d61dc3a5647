#!/usr/bin/env python3
"""TCP throughput through the packet tunnel, against ss-redir and against the
same node without the tunnel, all in network namespaces (root only).

A client namespace and a server namespace (tests/e2e/netns.py); the server
namespace runs the targets (an endless source and a timed sink), ss-server
with aes-256-gcm and danted as a SOCKS 5 node. Every figure is measured with
1 and with --streams (8) parallel TCP streams, for --seconds in both
directions (down = server to client); the systems take turns in every round,
in an order that rotates from round to round, and each figure is reported as
the median of the --rounds rounds with its range (min-max):

  ss_tunnel         `vantor tunnel --node ss://...` with its default options,
                    the default route of the client namespace into its TUN interface
  ss_redir          ss-redir behind an iptables REDIRECT rule (the usual Linux whole-host setup)
  ss_serve          a SOCKS 5 client to `vantor serve --node ss://...`: the node without the tunnel
  ss_small          (with --small) the tunnel with `--tcp-window 5840`, the small window of old
  socks5_tunnel     (with --socks5) `vantor tunnel --node socks5://...` (danted)
  socks5_direct     (with --socks5) a SOCKS 5 client straight to danted (the node alone)

Beside the rates: CPU seconds per GB (10^9 bytes) of the process that does
the client side's work (the vantor process for the tunnel, ss-redir for
ss_redir), the median of the rounds; connect_ms, the mean time of one short
connection (connect, one byte there and back, close) through the tunnel and
through `vantor serve`; and the DNS benchmark (dns_throughput.py: queries per
second, median and 99th-percentile latency, tunnel against direct) in the
same topology unless --no-dns.

Progress goes to stderr; stdout gets one line:

  tunnel_throughput down_1_MBps ss_tunnel=MEDIAN[MIN-MAX] ... ss_tunnel_vs_redir=.. up_1_MBps ... down_8_MBps ... cpu_s_per_GB ... connect_ms ... dns ...

MB/s is 10^6 bytes per second.
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
from netns import NODE_ADDR, SS_METHOD, SS_PASSWORD, SS_PORT, SOCKS_PORT, TARGET_ADDR  # noqa: E402
from benchlib import log, thread_cpu_seconds  # noqa: E402
import dns_throughput  # noqa: E402

SEND_PORT, ECHO_PORT = 19, 7
REDIR_PORT = 12345
SERVE_PORT = 17000
DIRECTIONS = ("down", "up")


class Bench:
    def __init__(self, topo, seconds, congestion):
        self.topo = topo
        self.seconds = seconds
        self.congestion = congestion
        self.targets = next(p for p in topo.processes if p.name == "targets")

    def client(self, mode, amount, socks=None, port=None, streams=1):
        port = port or {"down": SEND_PORT, "up": 5001, "connect": ECHO_PORT}[mode]
        argv = ["python3", os.path.join(HERE, "tunnel_bench_client.py"), mode, TARGET_ADDR, str(port), str(amount),
                "--streams", str(streams)]
        if socks:
            argv += ["--socks", socks]
        if self.congestion:
            argv += ["--congestion", self.congestion]
        r = self.topo.client_run(argv, timeout=120)
        if r.returncode != 0:
            raise RuntimeError(f"bench client {mode} failed: {r.stderr.decode(errors='replace')}")
        return json.loads(r.stdout.decode().strip().splitlines()[-1])

    def transfer(self, direction, socks=None, streams=1):
        """Bytes moved and the seconds they took, as the receiving end saw them."""
        if direction == "down":
            r = self.client("down", self.seconds, socks, streams=streams)
            return r["bytes"], r["seconds"]
        before = self.targets.output().count("sink ")
        self.client("up", self.seconds, socks, streams=streams)
        deadline = time.monotonic() + 30
        while self.targets.output().count("sink ") < before + streams:
            if time.monotonic() > deadline:
                raise RuntimeError("the sink never reported")
            time.sleep(0.05)
        lines = [l for l in self.targets.output().splitlines() if l.startswith("sink ")][before:before + streams]
        total = sum(int(l.split()[1]) for l in lines)
        seconds = max(float(l.split()[2]) for l in lines)
        return total, seconds

    def measure(self, name, results, streams, socks=None, pid=None):
        """Both directions; with `pid`, that process's CPU per GB."""
        for direction in DIRECTIONS:
            before = thread_cpu_seconds(pid) if pid else {}
            nbytes, seconds = self.transfer(direction, socks, streams)
            r = results.setdefault((name, direction, streams), {"rate": [], "cpu": []})
            r["rate"].append(nbytes / seconds / 1e6)
            if pid:
                after = thread_cpu_seconds(pid)
                spent = sum(cpu - before.get(tid, (n, 0.0))[1] for tid, (n, cpu) in after.items())
                r["cpu"].append(spent / (nbytes / 1e9))
            text = f"{name} {direction} x{streams}: {r['rate'][-1]:.1f} MB/s"
            if pid:
                text += f", {r['cpu'][-1]:.2f} CPU s/GB"
            log(text)


def median(values):
    v = sorted(values)
    n = len(v)
    return v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=4.0, help="length of each measurement")
    parser.add_argument("--rounds", type=int, default=3, help="rounds; each figure is their median")
    parser.add_argument("--streams", type=int, default=8, help="parallel streams of the second set of figures")
    parser.add_argument("--small", action="store_true", help="also the tunnel with the small window (5840)")
    parser.add_argument("--socks5", action="store_true", help="also the tunnel with a danted node and danted alone")
    parser.add_argument("--connections", type=int, default=200, help="connections for connect_ms")
    parser.add_argument("--no-dns", action="store_true", help="leave out the DNS benchmark")
    parser.add_argument("--congestion", help="congestion control of the clients' sockets (default: the system's)")
    dns_throughput.add_args(parser)
    args = parser.parse_args()
    why = netns.can_run()
    for tool in ("ss-redir", "iptables"):
        if not why and not any(os.path.exists(os.path.join(d, tool)) for d in ("/usr/bin", "/usr/sbin")):
            why = f"needs {tool} (scripts/setup.sh)"
    if not why and not args.no_dns:
        why = dns_throughput.unavailable()
    if why:
        print(f"tunnel_throughput skipped: {why}")
        return 0

    topo = netns.Topology()
    congestion_control_name = congestion_control(topo)
    results = {}
    connect = {}
    dns = None
    names = ["ss_tunnel", "ss_redir", "ss_serve"] + (["ss_small"] if args.small else []) + \
        (["socks5_tunnel", "socks5_direct"] if args.socks5 else [])
    stream_counts = (1, args.streams)
    try:
        topo.start_targets({})
        socks_node = topo.start_danted() if args.socks5 else None
        ss_node = topo.start_ss_server(udp=True)
        serve = topo.start(topo.client, [netns.vantor_bin(), "serve", "--node", ss_node, "--port", str(SERVE_PORT)],
                           "vantor-serve")
        serve.wait_for_line("listening on")
        redir = topo.start(topo.client, ["ss-redir", "-s", NODE_ADDR, "-p", str(SS_PORT), "-k", SS_PASSWORD,
                                         "-m", SS_METHOD, "-b", "127.0.0.1", "-l", str(REDIR_PORT)], "ss-redir")
        topo.wait_tcp(topo.client, "127.0.0.1", REDIR_PORT, proc=redir)
        b = Bench(topo, args.seconds, args.congestion)
        log(f"congestion control of the clients: {args.congestion or congestion_control_name}")

        def run_system(name, streams):
            if name == "ss_serve":
                b.measure(name, results, streams, socks=f"127.0.0.1:{SERVE_PORT}", pid=serve.proc.pid)
                if "service" not in connect:
                    connect["service"] = b.client("connect", args.connections, f"127.0.0.1:{SERVE_PORT}")["mean_ms"]
            elif name == "socks5_direct":
                b.measure(name, results, streams, socks=f"{NODE_ADDR}:{SOCKS_PORT}")
            elif name == "ss_redir":
                # A route makes the target routable, the rule catches the
                # packets before they leave.
                netns.run(["ip", "-n", topo.client, "route", "replace", f"{TARGET_ADDR}/32", "via", NODE_ADDR])
                netns.run(["ip", "netns", "exec", topo.client, "iptables", "-t", "nat", "-A", "OUTPUT", "-p", "tcp",
                           "-d", TARGET_ADDR, "-j", "REDIRECT", "--to-ports", str(REDIR_PORT)])
                try:
                    b.measure(name, results, streams, pid=redir.proc.pid)
                finally:
                    netns.run(["ip", "netns", "exec", topo.client, "iptables", "-t", "nat", "-F", "OUTPUT"])
                    netns.run(["ip", "-n", topo.client, "route", "del", f"{TARGET_ADDR}/32"])
            else:
                node = socks_node if name == "socks5_tunnel" else ss_node
                extra = ("--tcp-window", "5840") if name == "ss_small" else ()
                tun = topo.start_tunnel(node, extra=extra)
                b.measure(name, results, streams, pid=tun.proc.pid)
                if name == "ss_tunnel" and "tunnel" not in connect:
                    connect["tunnel"] = b.client("connect", args.connections)["mean_ms"]
                code, text = topo.stop_tunnel(tun)
                topo.processes.remove(tun)
                if code != 0:
                    raise RuntimeError(f"vantor tunnel ended with {code}: {text[-2000:]}")

        for rnd in range(args.rounds):
            log(f"round {rnd + 1} of {args.rounds}")
            order = names[rnd % len(names):] + names[:rnd % len(names)]
            for streams in stream_counts:
                for name in order:
                    run_system(name, streams)
        if not args.no_dns:
            dns = dns_throughput.measure(topo, ss_node, args)
    finally:
        topo.close()

    def fig(name, d, streams):
        v = results[(name, d, streams)]["rate"]
        return f"{name}={median(v):.1f}[{min(v):.1f}-{max(v):.1f}]"

    def ratio(a, c, d, streams):
        return median(results[(a, d, streams)]["rate"]) / median(results[(c, d, streams)]["rate"])

    line = ["tunnel_throughput"]
    for streams in stream_counts:
        for d in DIRECTIONS:
            # The ratio of each round's pair too: both ran in the same round.
            pairs = [t / r for t, r in zip(results[("ss_tunnel", d, streams)]["rate"],
                                           results[("ss_redir", d, streams)]["rate"])]
            line.append(f"{d}_{streams}_MBps " + " ".join(fig(n, d, streams) for n in names)
                        + f" ss_tunnel_vs_redir={ratio('ss_tunnel', 'ss_redir', d, streams):.2f}"
                        + f"[{min(pairs):.2f}-{max(pairs):.2f}]"
                        + f" ss_tunnel_vs_serve={ratio('ss_tunnel', 'ss_serve', d, streams):.2f}")
    line.append("cpu_s_per_GB " + " ".join(f"{n}_{d}_{k}={median(results[(n, d, k)]['cpu']):.2f}"
                                           for n in names if results[(n, "down", 1)]["cpu"]
                                           for d in DIRECTIONS for k in stream_counts))
    line.append(f"connect_ms tunnel={connect['tunnel']:.2f} service={connect['service']:.2f}")
    line.append(f"rounds={args.rounds} seconds={args.seconds:g} congestion={args.congestion or congestion_control_name}")
    if dns:
        line.append("dns " + dns_throughput.result_fields(dns))
    print(" ".join(line))
    return 0


def congestion_control(topo):
    r = netns.run(["ip", "netns", "exec", topo.client, "sysctl", "-n", "net.ipv4.tcp_congestion_control"],
                  check=False)
    return r.stdout.decode().strip() or "unknown"


if __name__ == "__main__":
    sys.exit(main())
