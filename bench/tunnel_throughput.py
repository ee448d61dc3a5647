#!/usr/bin/env python3
"""TCP throughput through the packet tunnel, against the same node without
the tunnel and against ss-redir, all in network namespaces (root only).

A client namespace and a server namespace (tests/e2e/netns.py); the server
namespace runs the targets (an endless source and a timed sink), danted as a
SOCKS 5 node and ss-server with aes-256-gcm. One TCP stream per figure, each
measured for --seconds in both directions (down = server to client); each
figure is the best of --rounds rounds:

  socks5_tunnel   `vantor tunnel --node socks5://...`, default route into the TUN interface
  socks5_service  a SOCKS 5 client to `vantor serve --node socks5://...` (the same local service, no tunnel)
  socks5_direct   a SOCKS 5 client straight to danted (the node alone)
  ss_tunnel       `vantor tunnel --node ss://aes-256-gcm...`
  ss_direct       a SOCKS 5 client to `vantor serve --node ss://...` (the same local service, no tunnel)
  ss_redir        ss-redir with an iptables REDIRECT rule in the client namespace
  connect_ms      mean time of one connection (connect, 1 byte there and back, close)
                  through the tunnel and through `vantor serve` with a SOCKS client

Progress goes to stderr; stdout gets one line:

  tunnel_throughput down_MBps socks5_tunnel=.. ... ss_tunnel_vs_redir=.. up_MBps ... connect_ms tunnel=.. service=..

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
from benchlib import log  # noqa: E402

SEND_PORT, ECHO_PORT, SINK_PORT = 19, 7, 5001
REDIR_PORT = 12345


class Bench:
    def __init__(self, topo, seconds):
        self.topo = topo
        self.seconds = seconds
        self.targets = next(p for p in topo.processes if p.name == "targets")

    def client(self, mode, amount, socks=None, port=None):
        port = port or {"down": SEND_PORT, "up": SINK_PORT, "connect": ECHO_PORT}[mode]
        argv = ["python3", os.path.join(HERE, "tunnel_bench_client.py"), mode, TARGET_ADDR, str(port), str(amount)]
        if socks:
            argv += ["--socks", socks]
        r = self.topo.client_run(argv, timeout=120)
        if r.returncode != 0:
            raise RuntimeError(f"bench client {mode} failed: {r.stderr.decode(errors='replace')}")
        return json.loads(r.stdout.decode().strip().splitlines()[-1])

    def down(self, socks=None):
        r = self.client("down", self.seconds, socks)
        return r["bytes"] / r["seconds"] / 1e6

    def up(self, socks=None):
        before = self.targets.output().count("sink ")
        self.client("up", self.seconds, socks)
        deadline = time.monotonic() + 30
        while self.targets.output().count("sink ") == before:
            if time.monotonic() > deadline:
                raise RuntimeError("the sink never reported")
            time.sleep(0.05)
        line = [l for l in self.targets.output().splitlines() if l.startswith("sink ")][-1]
        _, total, seconds = line.split()
        return int(total) / float(seconds) / 1e6

    def both(self, name, socks=None):
        d = self.down(socks)
        u = self.up(socks)
        log(f"{name}: down {d:.1f} MB/s, up {u:.1f} MB/s")
        return d, u


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=4.0, help="length of each measurement")
    parser.add_argument("--connections", type=int, default=200, help="connections for connect_ms")
    parser.add_argument("--rounds", type=int, default=2, help="rounds; each figure is the best of them")
    args = parser.parse_args()
    why = netns.can_run()
    if why:
        print(f"tunnel_throughput skipped: {why}")
        return 0
    for tool in ("ss-redir", "iptables"):
        if not any(os.path.exists(os.path.join(d, tool)) for d in ("/usr/bin", "/usr/sbin")):
            print(f"tunnel_throughput skipped: needs {tool} (scripts/setup.sh)")
            return 0

    topo = netns.Topology()
    best = {}

    def record(name, pair):
        old = best.get(name, (0.0, 0.0))
        best[name] = (max(old[0], pair[0]), max(old[1], pair[1]))

    try:
        topo.start_targets({})
        socks_node = topo.start_danted()
        ss_node = topo.start_ss_server()
        socks_serve = topo.start(topo.client, [netns.vantor_bin(), "serve", "--node", socks_node, "--port", "17001"],
                                 "vantor-serve-socks5")
        socks_serve.wait_for_line("listening on")
        ss_serve = topo.start(topo.client, [netns.vantor_bin(), "serve", "--node", ss_node, "--port", "17000"],
                              "vantor-serve-ss")
        ss_serve.wait_for_line("listening on")
        redir = topo.start(topo.client, ["ss-redir", "-s", NODE_ADDR, "-p", str(SS_PORT), "-k", SS_PASSWORD,
                                         "-m", SS_METHOD, "-b", "127.0.0.1", "-l", str(REDIR_PORT)], "ss-redir")
        topo.wait_tcp(topo.client, "127.0.0.1", REDIR_PORT, proc=redir)
        b = Bench(topo, args.seconds)
        connect = {}

        for rnd in range(args.rounds):
            log(f"round {rnd + 1} of {args.rounds}")
            # Straight through the nodes, no tunnel.
            record("socks5_direct", b.both("socks5 direct to danted", f"{NODE_ADDR}:{SOCKS_PORT}"))
            record("socks5_service", b.both("socks5 via vantor serve", "127.0.0.1:17001"))
            record("ss_direct", b.both("ss via vantor serve", "127.0.0.1:17000"))
            if rnd == 0:
                connect["direct"] = b.client("connect", args.connections, "127.0.0.1:17001")["mean_ms"]

            # ss-redir with an iptables REDIRECT rule (a route makes the
            # target routable; the rule catches the packets before they leave).
            netns.run(["ip", "-n", topo.client, "route", "replace", f"{TARGET_ADDR}/32", "via", NODE_ADDR])
            netns.run(["ip", "netns", "exec", topo.client, "iptables", "-t", "nat", "-A", "OUTPUT", "-p", "tcp",
                       "-d", TARGET_ADDR, "-j", "REDIRECT", "--to-ports", str(REDIR_PORT)])
            record("ss_redir", b.both("ss-redir + REDIRECT"))
            netns.run(["ip", "netns", "exec", topo.client, "iptables", "-t", "nat", "-F", "OUTPUT"])
            netns.run(["ip", "-n", topo.client, "route", "del", f"{TARGET_ADDR}/32"])

            # Through the tunnel.
            for name, node in (("socks5_tunnel", socks_node), ("ss_tunnel", ss_node)):
                tun = topo.start_tunnel(node)
                record(name, b.both(name.replace("_", " ")))
                if name == "socks5_tunnel" and rnd == 0:
                    connect["tunnel"] = b.client("connect", args.connections)["mean_ms"]
                code, text = topo.stop_tunnel(tun)
                topo.processes.remove(tun)
                if code != 0:
                    raise RuntimeError(f"vantor tunnel ended with {code}: {text[-2000:]}")
    finally:
        topo.close()

    def fmt(i):
        v = {k: best[k][i] for k in best}
        return (f"socks5_tunnel={v['socks5_tunnel']:.1f} socks5_service={v['socks5_service']:.1f} "
                f"socks5_direct={v['socks5_direct']:.1f} "
                f"socks5_tunnel_vs_service={v['socks5_tunnel'] / v['socks5_service']:.2f} "
                f"socks5_tunnel_vs_direct={v['socks5_tunnel'] / v['socks5_direct']:.2f} "
                f"ss_tunnel={v['ss_tunnel']:.1f} ss_direct={v['ss_direct']:.1f} "
                f"ss_tunnel_vs_direct={v['ss_tunnel'] / v['ss_direct']:.2f} "
                f"ss_redir={v['ss_redir']:.1f} ss_tunnel_vs_redir={v['ss_tunnel'] / v['ss_redir']:.2f}")

    print(f"tunnel_throughput down_MBps {fmt(0)} up_MBps {fmt(1)} "
          f"connect_ms tunnel={connect['tunnel']:.2f} service={connect['direct']:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
