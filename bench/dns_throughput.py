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

Progress goes to stderr; stdout gets one line:

  dns_throughput tunnel_qps=.. tunnel_loss=..% direct_qps=.. direct_loss=..% tunnel_vs_direct=..
"""

import argparse
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import netns  # noqa: E402
from netns import TARGET_ADDR  # noqa: E402
from benchlib import log  # noqa: E402

NAME = "bench.vantor.test"


def generate(topo, ns, args):
    argv = ["ip", "netns", "exec", ns, "python3", os.path.join(HERE, "dns_query_gen.py"), TARGET_ADDR, NAME,
            str(args.seconds), "--flows", str(args.flows), "--window", str(args.window)]
    r = netns.run(argv, timeout=args.seconds + 60)
    return json.loads(r.stdout.decode().strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--flows", type=int, default=8)
    ap.add_argument("--window", type=int, default=8)
    args = ap.parse_args()
    why = netns.can_run()
    if not why and not any(os.path.exists(os.path.join(d, "dnsmasq")) for d in ("/usr/sbin", "/usr/bin")):
        why = "needs dnsmasq (scripts/setup.sh)"
    if why:
        print(f"dns_throughput skipped: {why}")
        return 0
    topo = netns.Topology()
    try:
        topo.start_targets({})
        topo.start_dnsmasq({NAME: "10.9.8.7"})
        node = topo.start_ss_server(udp=True)
        log("direct")
        direct = generate(topo, topo.server, args)
        log(f"  {direct}")
        tun = topo.start_tunnel(node, udp=True)
        log("tunnel")
        tunnel = generate(topo, topo.client, args)
        log(f"  {tunnel}")
        code, text = topo.stop_tunnel(tun)
        if code != 0:
            raise RuntimeError(f"vantor tunnel ended with {code}: {text[-2000:]}")
    finally:
        topo.close()

    def loss(r):
        return 100.0 * r["lost"] / r["sent"] if r["sent"] else 100.0

    ratio = tunnel["qps"] / direct["qps"] if direct["qps"] else 0.0
    print(f"dns_throughput tunnel_qps={tunnel['qps']:.0f} tunnel_loss={loss(tunnel):.2f}% "
          f"direct_qps={direct['qps']:.0f} direct_loss={loss(direct):.2f}% tunnel_vs_direct={ratio:.2f} "
          f"flows={args.flows} window={args.window} seconds={args.seconds:g}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
