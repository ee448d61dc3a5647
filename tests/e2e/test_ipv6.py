# ctest-timeout: 480
"""End-to-end tests of IPv6 through the tunnel: `vantor connect` in network
namespaces (root) where the client has IPv6 on its default route.

The client reaches the server namespace over the veth link in both families.
The server namespace holds the node (ss-server, or danted), a DNS server
that knows a name with only an AAAA record, and an HTTP server and a UDP
echo on an IPv6 target address that refuses (ip6tables) everything coming
straight from the client's link: only traffic that went through the node
reaches it. ip6tables counters on the client's veth count every IPv6 TCP and
UDP packet that leaves the client directly.

A second ss-server and danted listen on an IPv6 address only (NODE_V6), given by its
literal or by a name the client's hosts file knows only as IPv6: a node that
must be reached over IPv6 while everything, IPv4 and IPv6, goes through it.
"""

import json
import os
import re
import shutil
import signal
import tempfile
import unittest

import netns
from netns import NODE_ADDR, TARGET_ADDR

SKIP = netns.can_run()
if not SKIP:
    for tool in ("ip6tables", "dnsmasq", "getent"):
        if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
            SKIP = f"needs {tool} (scripts/setup.sh)"

NODE_OWN_ADDR = "10.230.0.1"    # where the nodes listen, behind the gateway
CLIENT_V6 = "2001:db8:210::1"
SERVER_V6 = "2001:db8:210::2"
TARGET_V6 = "2001:db8:220::1"   # refuses the client's link
V6_NAME = "v6only.test"         # an AAAA record and nothing else
V4_NAME = "probe.test"
V4_ANSWER = "10.220.0.77"
HTTP6_PORT = 8080
UDP6_PORT = 7007
SS_PORT = 8388
SOCKS_PORT = 1080
NODE_V6 = "2001:db8:230::1"     # a node with no IPv4 address
NODE_V6_NAME = "node6.test"     # known to the client as NODE_V6 only

UDP6_ECHO = r"""
import socket, sys
s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
s.bind((sys.argv[1], int(sys.argv[2])))
print("ready", flush=True)
while True:
    data, peer = s.recvfrom(65535)
    s.sendto(data + b" from " + peer[0].encode(), peer)
"""

UDP6_ASK = r"""
import json, socket, sys
s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
s.settimeout(3)
answer = None
for _ in range(3):
    try:
        s.sendto(b"hello6", (sys.argv[1], int(sys.argv[2])))
        answer = s.recvfrom(2048)[0].decode()
        break
    except OSError as e:
        answer = "error: " + str(e)
print(json.dumps({"answer": answer}))
"""

DANTED_CONF = """\
logoutput: {log}
internal: {internal} port = {port}
external: lo
socksmethod: none
clientmethod: none
user.privileged: root
user.unprivileged: nobody
timeout.negotiate: 10
client pass {{
  from: 0/0 to: 0/0
}}
socks pass {{
  from: 0/0 to: 0/0
  command: bind connect udpassociate bindreply udpreply
  protocol: tcp udp
}}
"""


class Ipv6Test(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if SKIP:
            raise unittest.SkipTest(SKIP)
        cls.topo = topo = netns.Topology()
        cls.addClassCleanup(topo.close)
        c, s = topo.client, topo.server
        run = netns.run
        veth = {}
        for ns in (c, s):
            veth[ns] = run(["ip", "-n", ns, "-o", "link", "show", "type", "veth"]).stdout.decode() \
                .split(":")[1].strip().split("@")[0]
        cls.veth = veth[c]
        run(["ip", "-n", s, "addr", "add", f"{NODE_OWN_ADDR}/32", "dev", "lo"])
        run(["ip", "-n", c, "route", "add", "default", "via", NODE_ADDR])
        run(["ip", "-n", c, "addr", "add", f"{CLIENT_V6}/64", "dev", veth[c], "nodad"])
        run(["ip", "-n", s, "addr", "add", f"{SERVER_V6}/64", "dev", veth[s], "nodad"])
        run(["ip", "-n", s, "addr", "add", f"{TARGET_V6}/128", "dev", "lo"])
        run(["ip", "-n", s, "addr", "add", f"{NODE_V6}/128", "dev", "lo"])
        run(["ip", "-n", c, "-6", "route", "add", "default", "via", SERVER_V6])
        # The target refuses the client's link; the node reaches it from
        # inside the server namespace.
        run(["ip", "netns", "exec", s, "ip6tables", "-A", "INPUT", "-s", f"{CLIENT_V6}/64", "-d", TARGET_V6,
             "-j", "REJECT"])
        # What leaves the client directly over IPv6 (neighbour discovery aside).
        for proto in ("tcp", "udp"):
            run(["ip", "netns", "exec", c, "ip6tables", "-A", "OUTPUT", "-o", cls.veth, "-p", proto])
        # ...and of that, what went to the IPv6 node (which is no leak).
        for proto in ("tcp", "udp"):
            run(["ip", "netns", "exec", c, "ip6tables", "-A", "OUTPUT", "-o", cls.veth, "-d", NODE_V6, "-p", proto])
        netns_etc = f"/etc/netns/{c}"
        os.makedirs(netns_etc, exist_ok=True)
        cls.addClassCleanup(shutil.rmtree, netns_etc, True)
        with open(os.path.join(netns_etc, "resolv.conf"), "w") as f:
            f.write("# the client's own (nobody answers there)\nnameserver 10.210.0.53\n"
                    "options timeout:1 attempts:1\n")
        with open(os.path.join(netns_etc, "hosts"), "w") as f:
            f.write(f"127.0.0.1 localhost\n::1 localhost\n{NODE_V6} {NODE_V6_NAME}\n")

        www = topo.start_targets({"file.bin": 256 * 1024})
        with open(os.path.join(www, "file.bin"), "rb") as f:
            cls.expected = f.read()
        cls.http6 = topo.start(s, ["python3", "-u", "-m", "http.server", "--bind", TARGET_V6, "--directory", www,
                                   str(HTTP6_PORT)], "http6")
        cls.http6.wait_for_line("Serving HTTP")
        topo.start(s, ["python3", "-u", "-c", UDP6_ECHO, TARGET_V6, str(UDP6_PORT)], "udp6").wait_for_line("ready")
        cls.dns = topo.start_dnsmasq({V4_NAME: V4_ANSWER, V6_NAME: TARGET_V6})

        ss = topo.start(s, ["ss-server", "-s", NODE_OWN_ADDR, "-p", str(SS_PORT), "-k", netns.SS_PASSWORD,
                            "-m", netns.SS_METHOD, "-u"], "ss-server")
        topo.wait_tcp(s, NODE_OWN_ADDR, SS_PORT, proc=ss)
        cls.ss_node = f"ss://{netns.SS_METHOD}:{netns.SS_PASSWORD}@{NODE_OWN_ADDR}:{SS_PORT}"
        conf = os.path.join(topo.dir, "danted6.conf")
        with open(conf, "w") as f:
            f.write(DANTED_CONF.format(log=os.path.join(topo.dir, "danted6-own.log"), internal=NODE_OWN_ADDR,
                                       port=SOCKS_PORT))
        dante = topo.start(s, ["danted", "-f", conf, "-p", os.path.join(topo.dir, "danted6.pid")], "danted")
        topo.wait_tcp(s, NODE_OWN_ADDR, SOCKS_PORT, proc=dante)
        cls.socks_node = f"socks5://{NODE_OWN_ADDR}:{SOCKS_PORT}"
        ss6 = topo.start(s, ["ss-server", "-s", NODE_V6, "-p", str(SS_PORT), "-k", netns.SS_PASSWORD,
                             "-m", netns.SS_METHOD, "-u"], "ss-server6")
        topo.wait_tcp(s, NODE_V6, SS_PORT, proc=ss6)
        conf6 = os.path.join(topo.dir, "danted-v6node.conf")
        with open(conf6, "w") as f:
            f.write(DANTED_CONF.format(log=os.path.join(topo.dir, "danted-v6node-own.log"), internal=NODE_V6,
                                       port=SOCKS_PORT))
        dante6 = topo.start(s, ["danted", "-f", conf6, "-p", os.path.join(topo.dir, "danted-v6node.pid")],
                            "danted-v6node")
        topo.wait_tcp(s, NODE_V6, SOCKS_PORT, proc=dante6)

        cls.home = tempfile.mkdtemp(prefix="vantor-ipv6-", dir=topo.dir)
        os.makedirs(os.path.join(cls.home, "config", "config"))
        # A rule mode whose file lists the target's IPv6 network (and its IPv4 one).
        os.makedirs(os.path.join(cls.home, "config", "rules"))
        with open(os.path.join(cls.home, "config", "rules", "v6rule.rules"), "w") as f:
            f.write("#V6 rule,V6 rule,0,0,1,x\n2001:db8:220::/48\n10.220.0.0/16\n")
        with open(os.path.join(cls.home, "config", "config", "config.ini"), "w") as f:
            f.write("[basic]\n"
                    f"public_dns1={TARGET_ADDR}\npublic_dns2=\n"
                    f"TestSites=http://{TARGET_ADDR}/file.bin\n"
                    f"UdpTestPairs={TARGET_ADDR},{V4_NAME}\n"
                    "AutomaticHideWindow=0\n")
        cls.env = [f"VANTOR_CONFIG_DIR={cls.home}/config", f"VANTOR_RUNTIME_DIR={cls.home}/run"]

    # -- helpers --------------------------------------------------------------

    def vantor(self, *args, timeout=60):
        return self.topo.client_run(["env", *self.env, netns.vantor_bin(), *args], timeout=timeout)

    def connect(self, node, mode="Global wide"):
        p = self.topo.start(self.topo.client, ["env", *self.env, netns.vantor_bin(), "connect", "--node", node,
                                               "--mode", mode], "vantor")
        p.wait_for_line("Connected!", timeout=40)
        return p

    def udp6(self):
        r = self.topo.client_run(["python3", "-c", UDP6_ASK, TARGET_V6, str(UDP6_PORT)])
        return json.loads(r.stdout.decode().strip().splitlines()[-1])["answer"]

    def routes6(self):
        return self.topo.client_run(["ip", "-6", "route", "show"]).stdout.decode()

    def stop(self, proc):
        proc.signal(signal.SIGTERM)
        code = proc.proc.wait(30)
        text = proc.output()
        self.assertEqual(code, 0, text[-3000:])
        self.assertNotIn("Sanitizer", text)

    def set_ipv6(self, on):
        r = self.vantor("settings", "set", "bIPv6", "1" if on else "0")
        self.assertEqual(r.returncode, 0, r.stdout.decode() + r.stderr.decode())

    def counted_packets(self, to_node):
        out = self.topo.client_run(["ip6tables", "-L", "OUTPUT", "-v", "-n", "-x"]).stdout.decode()
        return sum(int(line.split()[0]) for line in out.splitlines()[2:]
                   if line.split() and (NODE_V6 in line) == to_node)

    def direct_packets(self):
        """IPv6 TCP and UDP packets that left over the client's veth so far,
        those to the IPv6 node aside."""
        return self.counted_packets(False) - self.counted_packets(True)

    def node6_packets(self):
        """IPv6 TCP and UDP packets sent to the IPv6 node so far."""
        return self.counted_packets(True)

    def curl6(self, url):
        r = self.topo.client_run(["curl", "-6", "-sS", "--max-time", "15", "-o", "-", url], timeout=60)
        return r.returncode, r.stdout, r.stderr.decode(errors="replace")

    def sources_seen_by_http6(self):
        return re.findall(r"^(\S+) - - \[.*\"GET /file.bin", self.http6.output(), re.M)

    # -- tests ----------------------------------------------------------------

    def test_1_without_the_tunnel_the_target_refuses_the_client(self):
        before = self.direct_packets()
        code, _, err = self.curl6(f"http://[{TARGET_V6}]:{HTTP6_PORT}/file.bin")
        self.assertNotEqual(code, 0)
        # The counters see what goes out directly (so zero later means zero).
        self.assertGreater(self.direct_packets(), before)

    def test_2_ipv6_goes_through_the_shadowsocks_node(self):
        self.set_ipv6(True)
        proc = self.connect(self.ss_node)
        try:
            proc.wait_for_line("IPv6 goes through the tunnel")
            routes = self.routes6()
            self.assertIn("::/1 dev KOVAL", routes)
            self.assertIn("8000::/1 dev KOVAL", routes)
            before = self.direct_packets()
            seen_before = len(self.sources_seen_by_http6())

            # A name with only an AAAA record resolves through the tunnel's DNS.
            r = self.topo.client_run(["getent", "ahosts", V6_NAME])
            self.assertEqual(r.returncode, 0, r.stderr.decode())
            self.assertIn(TARGET_V6, r.stdout.decode())
            aaaa = re.findall(rf"query\[AAAA\] {re.escape(V6_NAME)} from (\S+)", self.dns.output())
            self.assertTrue(aaaa, self.dns.output()[-2000:])
            self.assertNotIn(CLIENT_V6, aaaa)

            # TCP by that name, whole, from the node's side.
            code, body, err = self.curl6(f"http://{V6_NAME}:{HTTP6_PORT}/file.bin")
            self.assertEqual(code, 0, err + proc.output()[-2000:])
            self.assertEqual(body, self.expected)
            sources = self.sources_seen_by_http6()[seen_before:]
            self.assertEqual(len(sources), 1, self.http6.output()[-1000:])
            self.assertNotEqual(sources[0], CLIENT_V6)

            # UDP over IPv6: the echo answers the node, not the client.
            answer = self.udp6()
            self.assertTrue(answer.startswith("hello6 from "), answer)
            self.assertNotIn(CLIENT_V6, answer)

            self.assertEqual(self.direct_packets(), before, "IPv6 left the client beside the tunnel")
        finally:
            self.stop(proc)
        routes = self.routes6()
        self.assertNotIn("::/1", routes)
        self.assertNotIn("fdc6:4b3c", self.topo.client_run(["ip", "-6", "addr", "show"]).stdout.decode())

    def test_3_ipv6_goes_through_the_socks5_node(self):
        self.set_ipv6(True)
        proc = self.connect(self.socks_node)
        try:
            seen_before = len(self.sources_seen_by_http6())
            before = self.direct_packets()
            code, body, err = self.curl6(f"http://[{TARGET_V6}]:{HTTP6_PORT}/file.bin")
            self.assertEqual(code, 0, err + proc.output()[-2000:])
            self.assertEqual(body, self.expected)
            sources = self.sources_seen_by_http6()[seen_before:]
            self.assertEqual(len(sources), 1, self.http6.output()[-1000:])
            self.assertNotEqual(sources[0], CLIENT_V6)
            # UDP over IPv6 through a SOCKS 5 association.
            answer = self.udp6()
            self.assertTrue(answer.startswith("hello6 from "), answer)
            self.assertNotIn(CLIENT_V6, answer)
            self.assertEqual(self.direct_packets(), before)
        finally:
            self.stop(proc)

    def test_4_with_the_setting_off_ipv6_is_blocked_and_nothing_leaves(self):
        self.set_ipv6(False)
        try:
            proc = self.connect(self.ss_node)
            try:
                self.assertNotIn("IPv6 goes through the tunnel", proc.output())
                routes = self.routes6()
                self.assertIn("unreachable ::/1", routes)
                before = self.direct_packets()
                seen_before = len(self.sources_seen_by_http6())
                for url in (f"http://[{TARGET_V6}]:{HTTP6_PORT}/file.bin", f"http://{V6_NAME}:{HTTP6_PORT}/file.bin"):
                    code, _, err = self.curl6(url)
                    self.assertNotEqual(code, 0, url)
                self.assertTrue(self.udp6().startswith("error"))
                self.assertEqual(self.direct_packets(), before, "IPv6 left the client beside the tunnel")
                self.assertEqual(len(self.sources_seen_by_http6()), seen_before)
            finally:
                self.stop(proc)
        finally:
            self.set_ipv6(True)
        routes = self.routes6()
        self.assertNotIn("unreachable ::/1", routes)


    def test_5_a_rule_mode_routes_its_ipv6_networks_into_the_tunnel(self):
        self.set_ipv6(True)
        proc = self.connect(self.ss_node, mode="V6 rule")
        try:
            routes = self.routes6()
            self.assertIn("2001:db8:220::/48 dev KOVAL", routes)
            self.assertNotIn("::/1", routes)  # only the listed networks
            self.assertNotIn("unreachable", routes)
            seen_before = len(self.sources_seen_by_http6())
            code, body, err = self.curl6(f"http://[{TARGET_V6}]:{HTTP6_PORT}/file.bin")
            self.assertEqual(code, 0, err + proc.output()[-2000:])
            self.assertEqual(body, self.expected)
            sources = self.sources_seen_by_http6()[seen_before:]
            self.assertEqual(len(sources), 1)
            self.assertNotEqual(sources[0], CLIENT_V6)
            # Everything else of IPv6 stays on the host's own route.
            other = self.topo.client_run(["ip", "-6", "route", "get", SERVER_V6]).stdout.decode()
            self.assertNotIn("KOVAL", other)
        finally:
            self.stop(proc)
        self.assertNotIn("2001:db8:220::/48", self.routes6())

    def test_6_without_an_ipv6_default_route_ipv6_stays_blocked(self):
        self.set_ipv6(True)
        netns.run(["ip", "-n", self.topo.client, "-6", "route", "del", "default", "via", SERVER_V6])
        try:
            proc = self.connect(self.ss_node)
            try:
                routes = self.routes6()
                self.assertIn("unreachable ::/1", routes)
                # (The kernel gives the interface its link-local route itself.)
                self.assertEqual([r for r in routes.splitlines() if "dev KOVAL" in r and not r.startswith("fe80::")],
                                 [], routes)
                self.assertNotIn("fdc6:4b3c", self.topo.client_run(["ip", "-6", "addr", "show"]).stdout.decode())
                self.assertNotEqual(self.curl6(f"http://[{TARGET_V6}]:{HTTP6_PORT}/file.bin")[0], 0)
            finally:
                self.stop(proc)
            self.assertNotIn("IPv6 goes through the tunnel", proc.output())
        finally:
            netns.run(["ip", "-n", self.topo.client, "-6", "route", "add", "default", "via", SERVER_V6])


    def test_7_a_socks4_node_cannot_carry_ipv6_so_it_stays_blocked(self):
        self.set_ipv6(True)
        proc = self.connect(f"socks4://{NODE_OWN_ADDR}:{SOCKS_PORT}")
        try:
            routes = self.routes6()
            self.assertIn("unreachable ::/1", routes)
            self.assertNotIn("::/1 dev KOVAL", routes)
            before = self.direct_packets()
            self.assertNotEqual(self.curl6(f"http://[{TARGET_V6}]:{HTTP6_PORT}/file.bin")[0], 0)
            self.assertEqual(self.direct_packets(), before)
        finally:
            self.stop(proc)


    def test_8_kill9_then_cleanup_takes_the_ipv6_routes_back(self):
        self.set_ipv6(True)
        before = self.routes6()
        proc = self.connect(self.ss_node)
        proc.wait_for_line("IPv6 goes through the tunnel")
        proc.signal(signal.SIGKILL)
        proc.proc.wait(10)
        self.assertIn("::/1 dev KOVAL", self.routes6())
        r = self.vantor("cleanup", timeout=30)
        self.assertEqual(r.returncode, 0, r.stdout.decode() + r.stderr.decode())
        self.assertEqual(self.routes6(), before)
        self.assertNotIn("fdc6:4b3c", self.topo.client_run(["ip", "-6", "addr", "show"]).stdout.decode())

    # -- a node reached over IPv6 ------------------------------------------------

    def node6(self, host):
        return f"ss://{netns.SS_METHOD}:{netns.SS_PASSWORD}@{host}:{SS_PORT}"

    def curl4(self, url):
        r = self.topo.client_run(["curl", "-4", "-sS", "--max-time", "15", "-o", "-", url], timeout=60)
        return r.returncode, r.stdout, r.stderr.decode(errors="replace")

    def check_node6_direct(self, proc):
        """The node's own address leaves over the veth, not into the tunnel."""
        way = self.topo.client_run(["ip", "-6", "route", "get", NODE_V6]).stdout.decode()
        self.assertIn(f"dev {self.veth}", way, way + self.routes6())
        self.assertNotIn("KOVAL", way)
        self.assertIn(f"{NODE_V6} ", self.routes6(), proc.output()[-2000:])

    def check_ipv4_target_through_node6(self, proc):
        way = self.topo.client_run(["ip", "route", "get", TARGET_ADDR]).stdout.decode()
        self.assertIn("KOVAL", way)
        sent = self.node6_packets()
        code, body, err = self.curl4(f"http://{TARGET_ADDR}/file.bin")
        self.assertEqual(code, 0, err + proc.output()[-2000:])
        self.assertEqual(body, self.expected)
        # The tunnel carried it to the node, over IPv6.
        self.assertGreater(self.node6_packets(), sent)

    def test_9a_a_node_reached_over_ipv6_carries_both_families(self):
        self.set_ipv6(True)
        for node in (self.node6(f"[{NODE_V6}]"), self.node6(NODE_V6_NAME), f"socks5://[{NODE_V6}]:{SOCKS_PORT}"):
            with self.subTest(node=node):
                proc = self.connect(node)
                try:
                    proc.wait_for_line("IPv6 goes through the tunnel")
                    self.check_node6_direct(proc)
                    before = self.direct_packets()
                    self.check_ipv4_target_through_node6(proc)
                    seen_before = len(self.sources_seen_by_http6())
                    code, body, err = self.curl6(f"http://[{TARGET_V6}]:{HTTP6_PORT}/file.bin")
                    self.assertEqual(code, 0, err + proc.output()[-2000:])
                    self.assertEqual(body, self.expected)
                    sources = self.sources_seen_by_http6()[seen_before:]
                    self.assertEqual(len(sources), 1, self.http6.output()[-1000:])
                    self.assertNotEqual(sources[0], CLIENT_V6)
                    # UDP through the node's IPv6 address too.
                    answer = self.udp6()
                    self.assertTrue(answer.startswith("hello6 from "), answer)
                    self.assertNotIn(CLIENT_V6, answer)
                    self.assertEqual(self.direct_packets(), before, "IPv6 left the client beside the tunnel")
                finally:
                    self.stop(proc)
                self.assertNotIn(NODE_V6, self.routes6())

    def test_9b_with_ipv6_blocked_the_ipv6_node_still_works(self):
        self.set_ipv6(False)
        try:
            proc = self.connect(self.node6(f"[{NODE_V6}]"))
            try:
                self.assertIn("unreachable ::/1", self.routes6())
                self.check_node6_direct(proc)
                before = self.direct_packets()
                self.check_ipv4_target_through_node6(proc)
                self.assertNotEqual(self.curl6(f"http://[{TARGET_V6}]:{HTTP6_PORT}/file.bin")[0], 0)
                self.assertTrue(self.udp6().startswith("error"))
                self.assertEqual(self.direct_packets(), before, "IPv6 left the client beside the tunnel")
            finally:
                self.stop(proc)
        finally:
            self.set_ipv6(True)
        routes = self.routes6()
        self.assertNotIn(NODE_V6, routes)
        self.assertNotIn("unreachable ::/1", routes)

    def test_9c_kill9_then_cleanup_takes_the_nodes_route_back(self):
        self.set_ipv6(True)
        before = self.routes6()
        proc = self.connect(self.node6(f"[{NODE_V6}]"))
        proc.wait_for_line("IPv6 goes through the tunnel")
        self.check_node6_direct(proc)
        proc.signal(signal.SIGKILL)
        proc.proc.wait(10)
        self.assertIn(NODE_V6, self.routes6())
        r = self.vantor("cleanup", timeout=30)
        self.assertEqual(r.returncode, 0, r.stdout.decode() + r.stderr.decode())
        self.assertEqual(self.routes6(), before)

    def test_9d_vantor_tunnel_routes_listed_ipv6_networks(self):
        """`vantor tunnel --route` with IPv6 networks, one of which covers the
        node's own IPv6 address: that address stays direct."""
        proc = self.topo.start(self.topo.client, ["env", *self.env, netns.vantor_bin(), "tunnel", "--node",
                                                  self.node6(f"[{NODE_V6}]"), "--ifname", "vt6",
                                                  "--route", "2001:db8:220::/48", "--route", "2001:db8:230::/48"],
                               "vantor-tunnel6")
        try:
            proc.wait_for_line("tunnel up on vt6", timeout=20)
            routes = self.routes6()
            self.assertIn("2001:db8:220::/48 dev vt6", routes)
            self.assertIn("2001:db8:230::/48 dev vt6", routes)
            self.check_node6_direct(proc)
            before = self.direct_packets()
            seen_before = len(self.sources_seen_by_http6())
            code, body, err = self.curl6(f"http://[{TARGET_V6}]:{HTTP6_PORT}/file.bin")
            self.assertEqual(code, 0, err + proc.output()[-2000:])
            self.assertEqual(body, self.expected)
            sources = self.sources_seen_by_http6()[seen_before:]
            self.assertEqual(len(sources), 1)
            self.assertNotEqual(sources[0], CLIENT_V6)
            answer = self.udp6()
            self.assertTrue(answer.startswith("hello6 from "), answer)
            self.assertNotIn(CLIENT_V6, answer)
            self.assertEqual(self.direct_packets(), before)
        finally:
            code, text = self.topo.stop_tunnel(proc)
        self.assertEqual(code, 0, text[-3000:])
        routes = self.routes6()
        self.assertNotIn("vt6", routes)
        self.assertNotIn(NODE_V6, routes)


if __name__ == "__main__":
    unittest.main()
