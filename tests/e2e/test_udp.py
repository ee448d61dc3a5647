"""End-to-end tests of the tunnel's UDP path in network namespaces (root
only).

The client namespace reaches the server namespace's DNS server and UDP
targets only through the tunnel: UDP entering the TUN interface travels as
udpgw messages to the local service, which sends every datagram through the
node (Shadowsocks UDP or a SOCKS 5 UDP association) and returns the answers.
"""

import json
import os
import re
import shutil
import time
import unittest

import netns
from netns import CLIENT_VETH_ADDR, TARGET_ADDR, TUNNEL_HOST_ADDR

SKIP = netns.can_run()
if not SKIP:
    for tool in ("dig", "dnsmasq"):
        if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
            SKIP = f"needs {tool} (scripts/setup.sh)"

UDP_ECHO_PORT, UDP_WHOAMI_PORT = 7, 8
RECORDS = {"host.vantor.test": "10.1.2.3", "other.vantor.test": "10.4.5.6"}
CLIENT_ADDRS = {TUNNEL_HOST_ADDR, CLIENT_VETH_ADDR}
SERVER_ADDRS = {TARGET_ADDR, netns.NODE_ADDR}


class UdpCase(unittest.TestCase):
    """One topology with DNS, the UDP targets, a node and the tunnel (UDP on)."""

    node_kind = None  # "ss" or "socks5"
    udp = True

    @classmethod
    def setUpClass(cls):
        if SKIP:
            raise unittest.SkipTest(SKIP)
        cls.topo = netns.Topology()
        cls.addClassCleanup(cls.topo.close)
        cls.topo.start_targets({})
        cls.dnsmasq = cls.topo.start_dnsmasq(RECORDS)
        if cls.node_kind == "ss":
            cls.node = cls.topo.start_ss_server(udp=True)
        else:
            cls.node = cls.topo.start_danted(udp=True)
        # Before the tunnel exists the DNS server is out of reach.
        if cls.dig("host.vantor.test", tries=1)[1] == RECORDS["host.vantor.test"]:
            raise AssertionError("the client namespace reaches the DNS server without the tunnel")
        cls.vantor = cls.topo.start_tunnel(cls.node, extra=["--verbose"], udp=cls.udp)

    @classmethod
    def tearDownClass(cls):
        code, text = cls.topo.stop_tunnel(cls.vantor)
        if code != 0:
            raise AssertionError(f"vantor tunnel ended with {code}:\n{text[-3000:]}")

    @classmethod
    def dig(cls, name, tries=2, timeout=3):
        r = cls.topo.client_run(["dig", f"@{TARGET_ADDR}", name, "A", "+short", f"+time={timeout}",
                                 f"+tries={tries}"], timeout=60)
        return r.returncode, r.stdout.decode(errors="replace").strip()

    def query_sources(self):
        return re.findall(r"query\[A\] \S+ from (\S+)", self.dnsmasq.output())

    def udp_exchange(self, port, text):
        return self.topo.client_action("udp_exchange", TARGET_ADDR, port, text)


class CarriesUdp:
    """What every node kind must show with UDP on."""

    def test_dns_resolves_through_the_node(self):
        before = len(self.query_sources())
        for name, addr in RECORDS.items():
            code, answer = self.dig(name)
            self.assertEqual((code, answer), (0, addr), self.vantor.output()[-2000:])
        sources = self.query_sources()[before:]
        self.assertEqual(len(sources), len(RECORDS), self.dnsmasq.output()[-2000:])
        # The queries come from the node's side, never from the client.
        for s in sources:
            self.assertIn(s, SERVER_ADDRS)

    def test_echo_round_trip_from_the_node_address(self):
        payload = "echo " + os.urandom(600).hex()  # 1205 bytes
        r = self.udp_exchange(UDP_ECHO_PORT, payload)
        self.assertEqual(r["answer"], payload)
        self.assertEqual(r["peer"], f"{TARGET_ADDR}:{UDP_ECHO_PORT}")
        r = self.udp_exchange(UDP_WHOAMI_PORT, "who")
        self.assertIsNotNone(r["answer"])
        seen_ip = r["answer"].rsplit(":", 1)[0]
        self.assertIn(seen_ip, SERVER_ADDRS, r)
        self.assertNotIn(seen_ip, CLIENT_ADDRS, r)

    def test_300_parallel_flows_get_their_answers(self):
        r = self.topo.client_action("udp_flows", TARGET_ADDR, UDP_ECHO_PORT, 300, timeout=120)
        self.assertEqual(r["ok"], 300, r)
        self.assertEqual(r["wrong"], 0, r)


class ShadowsocksUdpTest(UdpCase, CarriesUdp):
    node_kind = "ss"

    def test_full_cone_a_peer_told_of_the_mapping_reaches_the_same_socket(self):
        # The socket writes to A only. A reports the address it saw (the
        # node's mapping) to B, and B's datagram to that address arrives on
        # the same socket, from B.
        r = self.topo.client_action("udp_cone", TARGET_ADDR, 10)
        sources = {g["from"]: g["data"] for g in r["got"]}
        self.assertIn(f"{TARGET_ADDR}:10", sources, r)
        self.assertIn(f"{TARGET_ADDR}:11", sources, r)
        mapped = sources[f"{TARGET_ADDR}:10"].split(" ", 1)[1]
        self.assertEqual(sources[f"{TARGET_ADDR}:11"], f"from B to {mapped}")
        self.assertIn(mapped.rsplit(":", 1)[0], SERVER_ADDRS, r)

    def test_killed_stream_reconnects_after_5_s_keeping_flows(self):
        # The udpgw stream is the tunnel's only connection to the local
        # service while no TCP flows: destroy it from outside (ss -K).
        listening = self.topo.client_run(["ss", "-Htlnp"]).stdout.decode()
        ports = re.findall(r"127\.0\.0\.1:(\d+)\s.*vantor", listening)
        self.assertEqual(len(ports), 1, listening)
        service_port = ports[0]
        trigger = os.path.join(self.topo.dir, "udp-hold-trigger")
        holder = self.topo.start(self.topo.client, ["python3", "-u", os.path.join(netns.HERE, "clients.py"),
                                                    "udp_hold", TARGET_ADDR, str(UDP_ECHO_PORT), trigger],
                                 "udp-hold")
        holder.wait_for_line("ready", timeout=15)
        ups_before = self.vantor.output().count("SOCKS up")
        killed = self.topo.client_run(["ss", "-K", "-tn", "dst", "127.0.0.1", "dport", "=", f":{service_port}"])
        self.assertEqual(killed.returncode, 0, killed.stderr)
        self.assertIn(service_port, killed.stdout.decode(), "no connection to the service was killed")
        killed_at = time.monotonic()
        # A datagram of the held flow sent while the stream is down.
        open(trigger, "w").close()

        deadline = killed_at + 15
        while self.vantor.output().count("SOCKS up") == ups_before and time.monotonic() < deadline:
            time.sleep(0.02)
        up_after = time.monotonic() - killed_at
        self.assertGreater(self.vantor.output().count("SOCKS up"), ups_before, self.vantor.output()[-2000:])
        self.assertIn("SOCKS error", self.vantor.output())
        self.assertGreater(up_after, 4.5)
        self.assertLess(up_after, 7.0)

        holder.proc.wait(timeout=30)
        result = json.loads(holder.output().strip().splitlines()[-1])
        # Kept in the flow's buffer and delivered on the new stream.
        self.assertEqual(result["answer"], "during", result)
        self.assertGreater(result["seconds"], 4.0, result)
        # The path works as before for new flows too.
        self.assertEqual(self.dig("host.vantor.test")[1], RECORDS["host.vantor.test"])


class Socks5UdpTest(UdpCase, CarriesUdp):
    node_kind = "socks5"


class NoUdpTest(UdpCase):
    node_kind = "ss"
    udp = False

    def test_dns_is_not_taken(self):
        before = len(self.query_sources())
        code, answer = self.dig("host.vantor.test", tries=1, timeout=2)
        self.assertNotEqual(code, 0)
        self.assertEqual(answer.find(RECORDS["host.vantor.test"]), -1)
        self.assertEqual(self.udp_exchange(UDP_ECHO_PORT, "x")["answer"], None)
        self.assertEqual(len(self.query_sources()), before)
        self.assertNotIn("SOCKS up", self.vantor.output())


if __name__ == "__main__":
    unittest.main()
