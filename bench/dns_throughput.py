#!/usr/bin/env python3
"""DNS queries per second and query latency through the packet tunnel's UDP
path, against the same queries without the tunnel, in network namespaces
(root only).

The server namespace (tests/e2e/netns.py) runs dnsmasq and ss-server
(aes-256-gcm, UDP on); the client namespace runs `vantor tunnel` with UDP and
its default route into the TUN interface. The generator (dns_query_gen.py)
runs in three places:

  tunnel      from the client namespace, through the tunnel, the local
              service's udpgw relay and the node
  direct      from the client namespace straight across the veth link to
              dnsmasq (a host route via the node's address, present only
              while direct is measured): what the same host sees without
              Vantor, and the figure the tunnel is compared with
  node_fwd    from the client namespace to ss-tunnel (shadowsocks-libev's
              port forwarder, UDP only) on 127.0.0.1, which sends the
              queries to dnsmasq through the same node: the node's own
              client with no TUN interface, what any client of this node
              costs at least (the node's own work is in it)
  node_local  from the server namespace itself to dnsmasq, with no link in
              between: a floor no client can reach, kept for comparison
              with older lines

Tunnel, direct and node_fwd (when ss-tunnel is installed) take turns in
--dns-rounds rounds, in an order that rotates from round to round; each
round has a loaded pass (--flows sockets with
--window queries in flight each for --dns-seconds) and a light pass (one
socket, one query at a time, --latency-seconds) that gives the latency of a
query on its own. Every figure is the median of the rounds with its range
[min-max]; node_local is measured once, before the tunnel starts.

While the tunnel's loaded pass runs, the CPU time of its process is split by
thread: `tunnel_thread` (the packet tunnel) and `service_threads` (the local
service's udpgw stream and its flows), each in cores (CPU seconds per second)
and in microseconds per answered query.

Progress goes to stderr; stdout gets one line:

  dns_throughput tunnel_qps=.. direct_qps=.. node_local_qps=.. tunnel_vs_direct=.. ... light_ms tunnel_median=.. direct_median=.. ...
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
from netns import NODE_ADDR, SS_METHOD, SS_PASSWORD, SS_PORT, TARGET_ADDR, TUN_NAME  # noqa: E402
from benchlib import log, thread_cpu_seconds  # noqa: E402

NAME = "bench.vantor.test"
TUNNEL_THREAD = "vantor-tunnel"
FORWARD_PORT = 5353
SECOND_CLIENT_ADDR = "10.211.0.1"
SECOND_SERVER_ADDR = "10.211.0.2"


def add_args(parser):
    parser.add_argument("--dns-seconds", type=float, default=3.0, help="length of each loaded DNS pass")
    parser.add_argument("--flows", type=int, default=8, help="DNS client sockets of the loaded pass")
    parser.add_argument("--window", type=int, default=8, help="DNS queries in flight per socket")
    parser.add_argument("--latency-seconds", type=float, default=3.0, help="length of each light latency pass")
    parser.add_argument("--dns-rounds", type=int, default=3, help="rounds of tunnel and direct, taking turns")
    parser.add_argument("--compare-bin", help="another vantor binary, measured as tunnel_b in the same rounds")


def unavailable():
    """Why the DNS measurement cannot run here, or None."""
    if not any(os.path.exists(os.path.join(d, "dnsmasq")) for d in ("/usr/sbin", "/usr/bin")):
        return "needs dnsmasq (scripts/setup.sh)"
    return None


def ss_tunnel():
    return next((p for p in (os.path.join(d, "ss-tunnel") for d in ("/usr/bin", "/usr/sbin")) if os.path.exists(p)),
                None)


def generate(ns, args, light=False, forwarded=False):
    seconds, flows, window = (args.latency_seconds, 1, 1) if light else (args.dns_seconds, args.flows, args.window)
    server, port = ("127.0.0.1", FORWARD_PORT) if forwarded else (TARGET_ADDR, 53)
    argv = ["ip", "netns", "exec", ns, "python3", os.path.join(HERE, "dns_query_gen.py"), server, NAME,
            str(seconds), "--port", str(port), "--flows", str(flows), "--window", str(window)]
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


def set_direct_route(topo, on):
    """Adds or removes the client namespace's host route to the target via
    the node's address, and checks where the target's packets now go: over
    the veth link, or into the TUN interface (with a tunnel) or nowhere."""
    if on:
        netns.run(["ip", "-n", topo.client, "route", "replace", f"{TARGET_ADDR}/32", "via", NODE_ADDR])
    else:
        netns.run(["ip", "-n", topo.client, "route", "del", f"{TARGET_ADDR}/32"], check=False)
    r = netns.run(["ip", "-n", topo.client, "route", "get", TARGET_ADDR], check=False)
    text = r.stdout.decode()
    if on and f"via {NODE_ADDR}" not in text:
        raise RuntimeError(f"the direct route did not take: {text.strip()}")
    if not on and r.returncode == 0 and f"dev {TUN_NAME}" not in text:
        raise RuntimeError(f"the target is not routed into the tunnel: {text.strip()}")


def start_tunnel(topo, node, ns=None, binary=None, name="vantor"):
    """`vantor tunnel` with UDP in the client namespace (or `ns`), the
    namespace's default route into it; `binary` replaces the vantor binary."""
    ns = ns or topo.client
    p = topo.start(ns, [binary or netns.vantor_bin(), "tunnel", "--node", node, "--ifname", TUN_NAME], name)
    p.wait_for_line(f"tunnel up on {TUN_NAME}", timeout=15)
    netns.run(["ip", "-n", ns, "route", "replace", "default", "dev", TUN_NAME])
    return p


def stop_tunnel(topo, tun):
    code, text = topo.stop_tunnel(tun)
    topo.processes.remove(tun)
    if code != 0:
        raise RuntimeError(f"{tun.name} ended with {code}: {text[-2000:]}")


def add_second_client(topo):
    """A second client namespace with a veth link of its own to the server
    namespace (10.211.0.0/24), reaching the node's address through it."""
    ns = topo.client + "-b"
    tag = topo.client[-9:]
    here, there = f"vb{tag}"[:15], f"wb{tag}"[:15]
    netns.run(["ip", "netns", "add", ns])
    netns.run(["ip", "link", "add", here, "netns", ns, "type", "veth", "peer", "name", there, "netns", topo.server])
    for space, dev, addr in ((ns, here, SECOND_CLIENT_ADDR), (topo.server, there, SECOND_SERVER_ADDR)):
        netns.run(["ip", "-n", space, "link", "set", "lo", "up"])
        netns.run(["ip", "-n", space, "addr", "add", f"{addr}/24", "dev", dev])
        netns.run(["ip", "-n", space, "link", "set", dev, "up"])
    netns.run(["ip", "-n", ns, "route", "add", f"{NODE_ADDR}/32", "via", SECOND_SERVER_ADDR])
    return ns


def measure(topo, node, args):
    """node_local, then direct, tunnel (and node_fwd, tunnel_b) taking
    turns, in an existing topology whose targets run; `node` must carry UDP
    (ss-server with -u). Starts dnsmasq, ss-tunnel and the tunnel with UDP
    and stops the tunnel again. Returns {"node_local": pass, NAME: [passes]
    for the others}; a pass is the generator's result with the light pass
    under "light" (and, for a tunnel, the CPU split under "split").

    With args.compare_bin, `tunnel_b` is the tunnel of that binary in a
    second client namespace, and every round adds a light pass that asks
    through both tunnels query by query in turn ("interleaved": [{"a":
    tunnel, "b": tunnel_b}])."""
    topo.start_dnsmasq({NAME: "10.9.8.7"})
    log("dns node_local (server namespace to dnsmasq)")
    node_local = generate(topo.server, args)
    node_local["light"] = generate(topo.server, args, light=True)
    log(f"  {node_local}")
    names = ["direct", "tunnel"]
    if ss_tunnel():
        fwd = topo.start(topo.client, [ss_tunnel(), "-s", NODE_ADDR, "-p", str(SS_PORT), "-k", SS_PASSWORD,
                                       "-m", SS_METHOD, "-b", "127.0.0.1", "-l", str(FORWARD_PORT), "-U",
                                       "-L", f"{TARGET_ADDR}:53"], "ss-tunnel")
        time.sleep(0.5)  # UDP only: nothing to connect to for a readiness check
        if fwd.proc.poll() is not None:
            raise RuntimeError(f"ss-tunnel ended: {fwd.output()[-2000:]}")
        names.append("node_fwd")
    second = None
    tunnels = {}
    try:
        if args.compare_bin:
            second = add_second_client(topo)
            names += ["tunnel_b", "interleaved"]
            tunnels["tunnel_b"] = start_tunnel(topo, node, second, args.compare_bin, "vantor-b")
        tunnels["tunnel"] = start_tunnel(topo, node)
        runs = {"node_local": node_local, **{name: [] for name in names}}
        for rnd in range(args.dns_rounds):
            order = names[rnd % len(names):] + names[:rnd % len(names)]
            for name in order:
                log(f"dns {name}, round {rnd + 1} of {args.dns_rounds}")
                if name == "interleaved":
                    argv = ["python3", os.path.join(HERE, "dns_query_gen.py"), TARGET_ADDR, NAME,
                            str(args.latency_seconds), "--interleave", topo.client, second]
                    r = json.loads(netns.run(argv, timeout=args.latency_seconds + 60).stdout.decode()
                                   .strip().splitlines()[-1])
                    log(f"  {r}")
                    runs[name].append(r)
                    continue
                ns = second if name == "tunnel_b" else topo.client
                tun = tunnels.get(name)
                set_direct_route(topo, name == "direct")
                try:
                    before = thread_cpu_seconds(tun.proc.pid) if tun else {}
                    started = time.monotonic()
                    forwarded = name == "node_fwd"
                    r = generate(ns, args, forwarded=forwarded)
                    if tun:
                        r["split"] = thread_split(before, thread_cpu_seconds(tun.proc.pid),
                                                  time.monotonic() - started, r["answered"])
                    r["light"] = generate(ns, args, light=True, forwarded=forwarded)
                finally:
                    set_direct_route(topo, False)
                log(f"  {r}")
                runs[name].append(r)
    finally:
        for tun in tunnels.values():
            stop_tunnel(topo, tun)
        if second:
            netns.run(["ip", "netns", "del", second], check=False)
    return runs


def median(values):
    v = sorted(values)
    n = len(v)
    return (v[n // 2] + v[(n - 1) // 2]) / 2 if n else 0.0


def result_fields(runs):
    """The result line's fields: every figure the median of the rounds with
    its range, node_local's the one pass."""

    def figure(values, digits):
        values = [v if v is not None else float("nan") for v in values]
        return f"{median(values):.{digits}f}[{min(values):.{digits}f}-{max(values):.{digits}f}]"

    def loss(r):
        return 100.0 * r["lost"] / r["sent"] if r["sent"] else 100.0

    def pick(r, key, light):
        return (r["light"] if light else r)[key]

    def fig(name, key, light=False, digits=2):
        if name == "node_local":
            return f"{pick(runs[name], key, light):.{digits}f}"
        return figure([pick(r, key, light) for r in runs[name]], digits)

    def ratio(a, b, key, light=False):
        # Each round's own pair too: both ran in the same round.
        pairs = [pick(x, key, light) / pick(y, key, light) for x, y in zip(runs[a], runs[b]) if pick(y, key, light)]
        whole = median([pick(x, key, light) for x in runs[a]]) / (median([pick(y, key, light) for y in runs[b]]) or 1)
        return f"{whole:.2f}[{min(pairs):.2f}-{max(pairs):.2f}]" if pairs else "0"

    systems = [n for n in ("tunnel", "tunnel_b", "direct", "node_fwd") if runs.get(n)] + ["node_local"]
    tunnels = [n for n in ("tunnel", "tunnel_b") if runs.get(n)]
    out = [" ".join(f"{n}_qps={fig(n, 'qps', digits=0)}" for n in systems),
           f"tunnel_vs_direct={ratio('tunnel', 'direct', 'qps')}",
           " ".join(f"{n}_loss={figure([loss(r) for r in runs[n]], 2)}%" for n in systems if n != "node_local")]
    for n in tunnels:
        split = [r["split"] for r in runs[n]]
        prefix = "" if n == "tunnel" else "b_"
        out.append(f"{prefix}tunnel_thread_cores={figure([s['tunnel_cores'] for s in split], 2)} "
                   f"{prefix}service_threads_cores={figure([s['service_cores'] for s in split], 2)} "
                   f"{prefix}tunnel_thread_us_per_query={figure([s['tunnel_us_per_query'] for s in split], 1)} "
                   f"{prefix}service_threads_us_per_query={figure([s['service_us_per_query'] for s in split], 1)}")
    out.append("loaded_ms " + " ".join(f"{n}_median={fig(n, 'median_ms')} {n}_p99={fig(n, 'p99_ms')}"
                                       for n in systems))
    out.append("light_ms " + " ".join(f"{n}_median={fig(n, 'median_ms', True, 3)} "
                                      f"{n}_p99={fig(n, 'p99_ms', True, 3)}" for n in systems))
    out.append(" ".join(f"light_median_{n}_vs_direct={ratio(n, 'direct', 'median_ms', True)}"
                        for n in tunnels + (["node_fwd"] if runs.get("node_fwd") else [])))
    if runs.get("interleaved"):
        inter = runs["interleaved"]
        def pairs(key):
            p = [r["b"][key] / r["a"][key] for r in inter if r["a"][key]]
            return f"{median(p):.2f}[{min(p):.2f}-{max(p):.2f}]"

        out.append("interleaved_ms " + " ".join(
            f"{k}_{q}={figure([r[ab][key] for r in inter], 3)}" for ab, k in (("a", "tunnel"), ("b", "tunnel_b"))
            for q, key in (("p10", "p10_ms"), ("median", "median_ms"), ("p99", "p99_ms"))) +
            f" interleaved_p10_b_vs_a={pairs('p10_ms')} interleaved_median_b_vs_a={pairs('median_ms')}")
    out.append("light_qps " + " ".join(f"{n}={fig(n, 'qps', True, 0)}" for n in systems))
    out.append(f"dns_rounds={len(runs['tunnel'])}")
    return " ".join(out)


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
        runs = measure(topo, node, args)
    finally:
        topo.close()
    print(f"dns_throughput {result_fields(runs)} "
          f"flows={args.flows} window={args.window} seconds={args.dns_seconds:g}/{args.latency_seconds:g}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
