#!/usr/bin/env python3
"""TCP throughput through the packet tunnel, against ss-redir and against the
same node without the tunnel, all in network namespaces (root only).

A client namespace and a server namespace (tests/e2e/netns.py); the server
namespace runs the targets (an endless source and a timed sink), ss-server
with aes-256-gcm and danted as a SOCKS 5 node. One TCP stream per figure,
each measured for --seconds in both directions (down = server to client);
each figure is the best of --rounds rounds:

  ss_tunnel         `vantor tunnel --node ss://...` with its default options,
                    the default route of the client namespace into its TUN interface
  ss_window         the same with `--tcp-window` (--tcp-window bytes)
  ss_redir          ss-redir behind an iptables REDIRECT rule (the usual Linux whole-host setup)
  ss_serve          a SOCKS 5 client to `vantor serve --node ss://...`: the node without the tunnel
  socks5_tunnel     `vantor tunnel --node socks5://...` (danted)
  socks5_direct     a SOCKS 5 client straight to danted (the node alone)

Beside the rates: CPU seconds per GB (10^9 bytes) of the process that does
the client side's work (the vantor process for the tunnel, ss-redir for
ss_redir), averaged over the rounds; how that CPU time splits between the
tunnel thread and the local service's threads (in cores: CPU seconds per
second) for ss_tunnel and ss_window; connect_ms, the mean time of one short
connection (connect, one byte there and back, close) through the tunnel and
through `vantor serve`; and the DNS benchmark (dns_throughput.py) in the
same topology unless --no-dns.

Progress goes to stderr; stdout gets one line:

  tunnel_throughput down_MBps ss_tunnel=.. ... up_MBps ... cpu_s_per_GB ... threads ... connect_ms ... dns ...

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

    def client(self, mode, amount, socks=None, port=None):
        port = port or {"down": SEND_PORT, "up": 5001, "connect": ECHO_PORT}[mode]
        argv = ["python3", os.path.join(HERE, "tunnel_bench_client.py"), mode, TARGET_ADDR, str(port), str(amount)]
        if socks:
            argv += ["--socks", socks]
        if self.congestion:
            argv += ["--congestion", self.congestion]
        r = self.topo.client_run(argv, timeout=120)
        if r.returncode != 0:
            raise RuntimeError(f"bench client {mode} failed: {r.stderr.decode(errors='replace')}")
        return json.loads(r.stdout.decode().strip().splitlines()[-1])

    def transfer(self, direction, socks=None):
        """Bytes moved and the seconds they took, as the receiving end saw them."""
        if direction == "down":
            r = self.client("down", self.seconds, socks)
            return r["bytes"], r["seconds"]
        before = self.targets.output().count("sink ")
        self.client("up", self.seconds, socks)
        deadline = time.monotonic() + 30
        while self.targets.output().count("sink ") == before:
            if time.monotonic() > deadline:
                raise RuntimeError("the sink never reported")
            time.sleep(0.05)
        line = [l for l in self.targets.output().splitlines() if l.startswith("sink ")][-1]
        _, total, seconds = line.split()
        return int(total), float(seconds)

    def measure(self, name, results, socks=None, pid=None):
        """Both directions; with `pid`, that process's CPU per GB and, for a
        tunnel, its CPU by thread in cores."""
        for direction in DIRECTIONS:
            before = thread_cpu_seconds(pid) if pid else {}
            started = time.monotonic()
            nbytes, seconds = self.transfer(direction, socks)
            wall = time.monotonic() - started
            r = results.setdefault((name, direction), {"rate": [], "cpu": [], "tunnel": [], "service": []})
            r["rate"].append(nbytes / seconds / 1e6)
            if pid:
                after = thread_cpu_seconds(pid)
                spent = {tid: cpu - before.get(tid, (n, 0.0))[1] for tid, (n, cpu) in after.items()}
                tunnel = sum(s for tid, s in spent.items() if after[tid][0] == dns_throughput.TUNNEL_THREAD)
                total = sum(spent.values())
                r["cpu"].append(total / (nbytes / 1e9))
                r["tunnel"].append(tunnel / wall)
                r["service"].append((total - tunnel) / wall)
            text = f"{name} {direction}: {r['rate'][-1]:.1f} MB/s"
            if pid:
                text += f", {r['cpu'][-1]:.2f} CPU s/GB"
            if pid and r["tunnel"][-1] > 0:
                text += f", tunnel thread {r['tunnel'][-1]:.2f} cores, service threads {r['service'][-1]:.2f} cores"
            log(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=4.0, help="length of each measurement")
    parser.add_argument("--rounds", type=int, default=1, help="rounds; each rate is the best of them")
    parser.add_argument("--tcp-window", type=int, default=4 << 20, help="--tcp-window of ss_window (bytes)")
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
    try:
        topo.start_targets({})
        socks_node = topo.start_danted()
        ss_node = topo.start_ss_server(udp=True)
        serve = topo.start(topo.client, [netns.vantor_bin(), "serve", "--node", ss_node, "--port", str(SERVE_PORT)],
                           "vantor-serve")
        serve.wait_for_line("listening on")
        redir = topo.start(topo.client, ["ss-redir", "-s", NODE_ADDR, "-p", str(SS_PORT), "-k", SS_PASSWORD,
                                         "-m", SS_METHOD, "-b", "127.0.0.1", "-l", str(REDIR_PORT)], "ss-redir")
        topo.wait_tcp(topo.client, "127.0.0.1", REDIR_PORT, proc=redir)
        b = Bench(topo, args.seconds, args.congestion)
        log(f"congestion control of the clients: {args.congestion or congestion_control_name}")

        for rnd in range(args.rounds):
            log(f"round {rnd + 1} of {args.rounds}")
            b.measure("socks5_direct", results, socks=f"{NODE_ADDR}:{SOCKS_PORT}")
            b.measure("ss_serve", results, socks=f"127.0.0.1:{SERVE_PORT}", pid=serve.proc.pid)
            if rnd == 0:
                connect["service"] = b.client("connect", args.connections, f"127.0.0.1:{SERVE_PORT}")["mean_ms"]

            # ss-redir: a route makes the target routable, the rule catches
            # the packets before they leave.
            netns.run(["ip", "-n", topo.client, "route", "replace", f"{TARGET_ADDR}/32", "via", NODE_ADDR])
            netns.run(["ip", "netns", "exec", topo.client, "iptables", "-t", "nat", "-A", "OUTPUT", "-p", "tcp",
                       "-d", TARGET_ADDR, "-j", "REDIRECT", "--to-ports", str(REDIR_PORT)])
            b.measure("ss_redir", results, pid=redir.proc.pid)
            netns.run(["ip", "netns", "exec", topo.client, "iptables", "-t", "nat", "-F", "OUTPUT"])
            netns.run(["ip", "-n", topo.client, "route", "del", f"{TARGET_ADDR}/32"])

            for name, node, extra in (("ss_tunnel", ss_node, ()),
                                      ("ss_window", ss_node, ("--tcp-window", str(args.tcp_window))),
                                      ("socks5_tunnel", socks_node, ())):
                tun = topo.start_tunnel(node, extra=extra)
                b.measure(name, results, pid=tun.proc.pid)
                if name == "ss_tunnel" and rnd == 0:
                    connect["tunnel"] = b.client("connect", args.connections)["mean_ms"]
                code, text = topo.stop_tunnel(tun)
                topo.processes.remove(tun)
                if code != 0:
                    raise RuntimeError(f"vantor tunnel ended with {code}: {text[-2000:]}")
        if not args.no_dns:
            dns = dns_throughput.measure(topo, ss_node, args)
    finally:
        topo.close()

    def best(name, d):
        return max(results[(name, d)]["rate"])

    def mean(name, d, key):
        v = results[(name, d)][key]
        return sum(v) / len(v)

    names = ("ss_tunnel", "ss_window", "ss_redir", "ss_serve", "socks5_tunnel", "socks5_direct")
    line = ["tunnel_throughput"]
    for d in DIRECTIONS:
        line.append(f"{d}_MBps " + " ".join(f"{n}={best(n, d):.1f}" for n in names)
                    + f" ss_tunnel_vs_redir={best('ss_tunnel', d) / best('ss_redir', d):.2f}"
                    + f" ss_window_vs_serve={best('ss_window', d) / best('ss_serve', d):.2f}"
                    + f" socks5_tunnel_vs_direct={best('socks5_tunnel', d) / best('socks5_direct', d):.2f}")
    line.append("cpu_s_per_GB " + " ".join(f"{n}_{d}={mean(n, d, 'cpu'):.2f}"
                                           for n in ("ss_tunnel", "ss_window", "ss_redir", "ss_serve")
                                           for d in DIRECTIONS))
    line.append("threads_cores " + " ".join(
        f"{n}_{d}_tunnel={mean(n, d, 'tunnel'):.2f} {n}_{d}_service={mean(n, d, 'service'):.2f}"
        for n in ("ss_tunnel", "ss_window") for d in DIRECTIONS))
    line.append(f"connect_ms tunnel={connect['tunnel']:.2f} service={connect['service']:.2f}")
    line.append(f"congestion={args.congestion or congestion_control_name}")
    if dns:
        line.append("dns " + dns_throughput.result_fields(*dns))
    print(" ".join(line))
    return 0


def congestion_control(topo):
    r = netns.run(["ip", "netns", "exec", topo.client, "sysctl", "-n", "net.ipv4.tcp_congestion_control"],
                  check=False)
    return r.stdout.decode().strip() or "unknown"


if __name__ == "__main__":
    sys.exit(main())
