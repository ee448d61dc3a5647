#!/usr/bin/env python3
"""Wall time of `vantor test --both` over 50 nodes against local peers, then
over the same 50 with a quarter of them unreachable.

The reachable nodes are Shadowsocks (ss-server, AEAD, UDP on), ShadowsocksR
(our test server, auth_chain_a + tls1.2_ticket_auth, UDP on) and SOCKS 5
(danted with its UDP relay); the test site is a local HTTP server and the DNS
server dnsmasq on a loopback address of its own. In the second run 13 of the
50 are unreachable: 6 refuse (closed ports) and 7 are silent (a listener
whose accept queue is full, so connects never complete, and a UDP socket on
the same port that never answers). Progress goes to stderr; stdout gets one
line:

  node_test nodes=50 reachable_s=... unreachable_s=... refused=6 silent=7
            silent_bound_s=... silent_s=... silent_share=...

silent_bound_s is what the time-outs allow the silent nodes: per kind-6 node
10 s per site for the connect and 3 s per DNS pair; per SOCKS 5 node 4 s per
site for the connect and 10 s for the UDP association's connect. silent_s is
the second run's time minus what its reachable and refusing nodes took
(their share of the first run), and silent_share = silent_s / silent_bound_s:
how close the silent nodes come to that bound (1.0 = they use all of it).
There is no peer program to compare with: no other tool tests nodes this way.
"""

import argparse
import os
import socket
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean of __pycache__
import benchlib  # noqa: E402
from benchlib import log, peers  # noqa: E402

sys.path.insert(0, peers.HERE)
from test_ssr import SsrServer, ssr_link  # noqa: E402

NODES = 50
REFUSED = 6
SILENT = 7
NAME = "bench-node.example"
SS_METHOD = "aes-256-gcm"
SS_PASSWORD = "bench-Pw-42"
SSR_PASSWORD = "p@ss:w/rd+1"

# What the time-outs allow one silent node (one site, one DNS pair).
SILENT_SS_S = 10 + 3
SILENT_SOCKS_S = 4 + 10


class SilentNode:
    """A port that takes neither TCP connects nor answers UDP: the listener's
    accept queue is filled and never drained, so further SYNs are dropped."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(0)
        self.port = self.listener.getsockname()[1]
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.1", self.port))
        self.fillers = []
        for _ in range(4):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", self.port))
            self.fillers.append(s)
        probe = socket.socket()
        probe.settimeout(1.0)
        try:
            probe.connect(("127.0.0.1", self.port))
            raise RuntimeError("the silent node accepted a connection")
        except socket.timeout:
            pass
        finally:
            probe.close()

    def stop(self):
        for s in self.fillers + [self.listener, self.udp]:
            s.close()


def run(args, links):
    argv = [peers.vantor_bin(), "test", "--both", "--site", args.site, "--dns", args.dns]
    for link in links:
        argv += ["--node", link]
    t0 = time.monotonic()
    proc = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=1200)
    elapsed = time.monotonic() - t0
    out = proc.stdout.decode("utf-8", "replace")
    lines = out.splitlines()
    passed = lines.count("TCP transmission...Passed!") + lines.count("UDP relay...Passed!")
    log(f"{len(links)} nodes: {elapsed:.2f} s, exit {proc.returncode}, {passed} tests passed")
    return elapsed, passed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.parse_args()
    cleanup = []
    try:
        site = peers.HttpFileServer(size=4096)
        cleanup.append(site.stop)
        dns = peers.Dnsmasq({NAME: "10.9.8.7"})
        cleanup.append(dns.stop)
        ss = peers.SsServer(SS_METHOD, SS_PASSWORD, udp=True)
        cleanup.append(ss.stop)
        ssr = SsrServer("aes-256-cfb", "auth_chain_a", "tls1.2_ticket_auth", password=SSR_PASSWORD,
                        obfsparam="127.0.0.1", udp=True)
        cleanup.append(ssr.stop)
        danted = peers.Danted()
        cleanup.append(danted.stop)
        args = argparse.Namespace(site=f"http://127.0.0.1:{site.port}/blob", dns=f"{dns.host},{NAME}")

        kinds = [f"ss://{SS_METHOD}:{SS_PASSWORD}@127.0.0.1:{ss.port}",
                 ssr_link(ssr.port, "auth_chain_a", "aes-256-cfb", "tls1.2_ticket_auth", SSR_PASSWORD),
                 f"socks5://127.0.0.1:{danted.port}"]
        reachable = [kinds[i % len(kinds)] for i in range(NODES)]
        all_reachable_s, passed = run(args, reachable)
        if passed != 2 * NODES:
            raise RuntimeError(f"only {passed} of {2 * NODES} tests passed with every node reachable")

        # A quarter unreachable, spread over the list, kinds alternating.
        mixed = list(reachable)
        bound = 0.0
        slots = iter(range(1, NODES, 4))
        for i in range(REFUSED + SILENT):
            at = next(slots)
            shadowsocks = i % 2 == 0
            if i < REFUSED:
                port = peers.free_port_both()
            else:
                node = SilentNode()
                cleanup.append(node.stop)
                port = node.port
                bound += SILENT_SS_S if shadowsocks else SILENT_SOCKS_S
            mixed[at] = (f"ss://{SS_METHOD}:{SS_PASSWORD}@127.0.0.1:{port}" if shadowsocks
                         else f"socks5://127.0.0.1:{port}")
        unreachable_s, _ = run(args, mixed)
        others_s = all_reachable_s * (NODES - SILENT) / NODES
        silent_s = unreachable_s - others_s
        print(f"node_test nodes={NODES} reachable_s={all_reachable_s:.2f} unreachable_s={unreachable_s:.2f}"
              f" refused={REFUSED} silent={SILENT} silent_bound_s={bound:.1f} silent_s={silent_s:.2f}"
              f" silent_share={silent_s / bound:.3f}", flush=True)
    finally:
        for stop in reversed(cleanup):
            try:
                stop()
            except Exception as e:  # a peer that fails to stop must not hide the result
                log(f"cleanup: {e!r}")


if __name__ == "__main__":
    main()
