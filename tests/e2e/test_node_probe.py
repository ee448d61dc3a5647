# ctest-timeout: 180
"""The background probe of `vantor nodes list --probe` in a client namespace:
an ICMP echo to a node that answers and to one that does not (through a raw
socket, then through an unprivileged datagram socket), and the country of a
public address from the local GeoIP data without asking any online service."""

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

    @classmethod
    def vantor(cls, *args):
        r = cls.topo.client_run([netns.vantor_bin(), "--config-dir", cls.config, *args])
        out, err = r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")
        if r.returncode != 0:
            raise AssertionError(f"vantor {' '.join(args)} failed ({r.returncode}): {err}")
        return out

    def probe(self):
        rows = {}
        for line in self.vantor("nodes", "list", "--probe").splitlines():
            fields = line.split("\t")
            rows[fields[4].split()[1].rsplit(":", 1)[0]] = (fields[5], fields[6])
        return rows

    def check(self, rows):
        self.assertRegex(rows[NODE_ADDR][0], r"^\d+ ms$")
        self.assertEqual(rows[self.SILENT_ADDR][0], "-")
        self.assertEqual(rows["8.8.8.8"], ("-", "US"))  # no route out, but the local data knows it

    def test_probe_through_raw_and_datagram_sockets(self):
        # A new namespace allows ICMP datagram sockets to nobody: raw socket.
        self.check(self.probe())
        log = self.geo.output()
        self.assertIn(f"GET /json/{NODE_ADDR} ", log)
        self.assertIn(f"GET /json/{self.SILENT_ADDR} ", log)
        self.assertNotIn("8.8.8.8", log)
        # Now every group may use them: the unprivileged path.
        self.topo.client_run(["sysctl", "-q", "-w", "net.ipv4.ping_group_range=0 2147483647"], check=True)
        self.check(self.probe())
        self.assertNotIn("8.8.8.8", self.geo.output())


if __name__ == "__main__":
    unittest.main()
