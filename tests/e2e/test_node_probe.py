# ctest-timeout: 180
"""The background probe of `vantor nodes list --probe` in a client namespace,
run as an unprivileged user: the latency of a node that answers and of one
that does not (by the TCP connection time to the node's port while the
namespace allows nobody ICMP datagram sockets, then by an ICMP echo once it
does; never through a raw socket), and the country of a public address from
the local GeoIP data without asking any online service."""

import os
import re
import shutil
import tempfile
import unittest

import netns
from netns import NODE_ADDR


class NodeProbe(unittest.TestCase):
    SILENT_ADDR = "10.210.0.77"  # on the veth network, but nobody has it

    @classmethod
    def setUpClass(cls):
        reason = netns.can_run()
        if reason:
            raise unittest.SkipTest(reason)
        cls.topo = netns.Topology()
        cls.addClassCleanup(cls.topo.close)
        cls.config = tempfile.mkdtemp(prefix="vantor-probe-")
        cls.addClassCleanup(shutil.rmtree, cls.config, True)
        # A stand-in geolocation service in the client namespace; it answers
        # 404 to everything and logs what it was asked.
        port = netns.free_port_in(cls.topo, cls.topo.client)
        cls.geo = cls.topo.start(cls.topo.client, ["python3", "-m", "http.server", "--bind", "127.0.0.1",
                                                   str(port), "--directory", cls.config], "geo")
        cls.topo.wait_tcp(cls.topo.client, "127.0.0.1", port, proc=cls.geo)
        cls.vantor("settings", "set", "GeoServices", f"http://127.0.0.1:{port},,,")
        for server in (NODE_ADDR, cls.SILENT_ADDR, "8.8.8.8"):
            cls.vantor("nodes", "add", f"socks5://{server}:1080")
        # The node's port: every connection it gets is one line of output.
        accept_loop = ("import socket\ns = socket.create_server(('0.0.0.0', 1080))\nprint('listening', flush=True)\n"
                       "while True:\n    c, _ = s.accept()\n    print('accepted', flush=True)\n    c.close()\n")
        cls.port_log = cls.topo.start(cls.topo.server, ["python3", "-u", "-c", accept_loop], "node-port")
        cls.port_log.wait_for_line("listening")
        # From here on the probe runs as nobody.
        for root, dirs, files in os.walk(cls.config):
            for name in [root] + [os.path.join(root, f) for f in files]:
                os.chown(name, 65534, 65534)

    @classmethod
    def vantor(cls, *args, user=None):
        who = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"] if user else []
        r = cls.topo.client_run([*who, netns.vantor_bin(), "--config-dir", cls.config, *args])
        out, err = r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")
        if r.returncode != 0:
            raise AssertionError(f"vantor {' '.join(args)} failed ({r.returncode}): {err}")
        return out

    def probe(self):
        rows = {}
        for line in self.vantor("nodes", "list", "--probe", user=65534).splitlines():
            fields = line.split("\t")
            rows[fields[4].split()[1].rsplit(":", 1)[0]] = (fields[5], fields[6])
        return rows

    def check(self, rows):
        self.assertRegex(rows[NODE_ADDR][0], r"^\d+ ms$")
        self.assertEqual(rows[self.SILENT_ADDR][0], "-")
        self.assertEqual(rows["8.8.8.8"], ("-", "US"))  # no route out, but the local data knows it

    def connections(self):
        return self.port_log.output().count("accepted")

    def test_probe_by_tcp_connect_then_by_datagram_socket(self):
        # A new namespace allows ICMP datagram sockets to nobody: the node's
        # port is timed instead.
        self.check(self.probe())
        self.assertGreaterEqual(self.connections(), 1)
        log = self.geo.output()
        self.assertIn(f"GET /json/{NODE_ADDR} ", log)
        self.assertIn(f"GET /json/{self.SILENT_ADDR} ", log)
        self.assertNotIn("8.8.8.8", log)
        # Now every group may use them: the echo, and the port is left alone.
        # A measured latency is kept: the node comes anew to be measured again.
        before = self.connections()
        self.topo.client_run(["sysctl", "-q", "-w", "net.ipv4.ping_group_range=0 2147483647"], check=True)
        for line in self.vantor("nodes", "list", user=65534).splitlines():
            fields = line.split("\t")
            if f" {NODE_ADDR}:" in fields[4]:
                self.vantor("nodes", "remove", fields[1], user=65534)
        self.vantor("nodes", "add", f"socks5://{NODE_ADDR}:1080", user=65534)
        self.check(self.probe())
        self.assertEqual(self.connections(), before)
        self.assertNotIn("8.8.8.8", self.geo.output())


if __name__ == "__main__":
    unittest.main()
