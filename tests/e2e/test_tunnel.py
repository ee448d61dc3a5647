"""End-to-end tests of `vantor tunnel` in network namespaces (root only).

Traffic from the client namespace can reach the targets only through the
tunnel: the default route leads into the TUN interface, the tunnel hands
every TCP connection to the local service, and the service carries it to
the node in the server namespace, which connects to the targets.

The device moves TCP super-packets (segmentation offload) unless started
with --no-offload; the transfers run both ways, and the interface's packet
counters tell which way the device worked.
"""

import json
import os
import time
import unittest

import netns
from peers import file_sha256
from netns import TARGET_ADDR, TUNNEL_STACK_ADDR, TUN_NAME

SKIP = netns.can_run()

DOWNLOAD_SIZE = 8 * 1024 * 1024


class TunnelCase(unittest.TestCase):
    """One topology with a node and the targets for the whole class."""

    node_kind = None  # "ss" or "socks5"
    start_tunnel_in_setup_class = True
    extra = ()  # further `vantor tunnel` options
    offload = True  # the device path the tunnel is expected to take

    @classmethod
    def setUpClass(cls):
        if SKIP:
            raise unittest.SkipTest(SKIP)
        cls.topo = netns.Topology()
        cls.addClassCleanup(cls.topo.close)
        cls.www = cls.topo.start_targets({"file.bin": DOWNLOAD_SIZE, "big.bin": 64 * 1024 * 1024})
        cls.node = cls.topo.start_ss_server() if cls.node_kind == "ss" else cls.topo.start_danted()
        # Before the tunnel exists the targets are unreachable from the client.
        r = cls.topo.client_action("connect", TARGET_ADDR, 80)
        if r["connected"]:
            raise AssertionError("the client namespace reaches the targets without the tunnel")
        cls.vantor = cls.topo.start_tunnel(cls.node, extra=cls.extra) if cls.start_tunnel_in_setup_class else None

    @classmethod
    def tearDownClass(cls):
        # The tunnel must have survived every test of the class and stop cleanly.
        if cls.start_tunnel_in_setup_class and cls.vantor is not None:
            code, text = cls.topo.stop_tunnel(cls.vantor)
            if code != 0:
                raise AssertionError(f"vantor tunnel ended with {code}:\n{text[-3000:]}")

    def curl(self, url, dest, extra=(), timeout=120):
        return self.topo.client_run(["curl", "-sS", "--fail", "-o", dest, *extra, url], timeout=timeout)

    def download_and_compare(self, name):
        dest = os.path.join(self.topo.dir, f"got-{name}")
        r = self.curl(f"http://{TARGET_ADDR}/{name}", dest)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace") + self.vantor.output()[-2000:])
        self.assertEqual(os.path.getsize(dest), os.path.getsize(os.path.join(self.www, name)))
        self.assertEqual(file_sha256(dest), file_sha256(os.path.join(self.www, name)))

    def assert_device_path(self, before, after, direction, nbytes):
        """Packets the device moved for `nbytes` of payload in `direction`
        ("rx": written by the tunnel, "tx": read by it): with offload,
        super-packets carry several segments each (what the tunnel writes
        joins at least two on average; what the host sends is cut to its own
        measure, still fewer packets than segments even with the
        acknowledgements counted); without, every packet carries at most one."""
        packets = after[direction][0] - before[direction][0]
        moved = after[direction][1] - before[direction][1]
        self.assertGreaterEqual(moved, nbytes)
        if self.offload:
            per_packet = 2 * 1460 if direction == "rx" else 1460
            self.assertLess(packets, nbytes / per_packet, f"{packets} packets for {moved} bytes")
        else:
            self.assertGreaterEqual(packets, nbytes / 1500, f"{packets} packets for {moved} bytes")

    def transfers_both_ways(self):
        self.assertIn(f"segmentation offload {'on' if self.offload else 'off'}", self.vantor.output())
        before = self.topo.interface_counters()
        self.download_and_compare("file.bin")
        middle = self.topo.interface_counters()
        self.assert_device_path(before, middle, "rx", DOWNLOAD_SIZE)
        n = 16 * 1024 * 1024
        r = self.topo.client_action("echo_bulk", TARGET_ADDR, 7, n, timeout=180)
        self.assertEqual(r["received"], n, r)
        self.assertTrue(r["intact"], r)
        self.assert_device_path(middle, self.topo.interface_counters(), "tx", n)


class ShadowsocksNodeTest(TunnelCase):
    node_kind = "ss"

    def test_download_and_upload_are_intact_through_super_packets(self):
        self.transfers_both_ways()

    def test_200_concurrent_connections_complete(self):
        r = self.topo.client_action("concurrent", TARGET_ADDR, 7, 200, timeout=180)
        self.assertEqual(r["ok"], 200, r)

    def test_icmp_echo_only_for_the_stack_address(self):
        own = self.topo.client_run(["ping", "-c", "2", "-W", "2", TUNNEL_STACK_ADDR])
        self.assertEqual(own.returncode, 0, own.stdout.decode(errors="replace"))
        other = self.topo.client_run(["ping", "-c", "2", "-W", "1", TARGET_ADDR])
        self.assertNotEqual(other.returncode, 0, "an echo to another address was answered")
        self.assertIn(b" 0 received", other.stdout)


class Socks5NodeTest(TunnelCase):
    node_kind = "socks5"

    def test_download_is_intact(self):
        self.download_and_compare("file.bin")

    def test_larger_window_carries_big_transfers_intact(self):
        # Its own tunnel beside this class's: the option changes every connection.
        code, text = self.topo.stop_tunnel(self.vantor)
        self.assertEqual(code, 0, text[-2000:])
        self.topo.processes.remove(self.vantor)
        try:
            type(self).vantor = self.topo.start_tunnel(self.node, extra=("--tcp-window", str(1 << 20)))
            self.download_and_compare("big.bin")
            r = self.topo.client_action("echo_bulk", TARGET_ADDR, 7, 32 * 1024 * 1024, timeout=180)
            self.assertEqual(r["received"], 32 * 1024 * 1024, r)
            self.assertTrue(r["intact"], r)
        finally:
            code, text = self.topo.stop_tunnel(self.vantor)
            self.topo.processes.remove(self.vantor)
            type(self).vantor = self.topo.start_tunnel(self.node)
        self.assertEqual(code, 0, text[-2000:])

    def test_target_is_exactly_the_destination(self):
        # The same request to two ports of the same address reaches two
        # different servers: the echo answers "4\n", the sender 4 bytes.
        r = self.topo.client_action("exchange", TARGET_ADDR, 7, "4", 2)
        self.assertEqual(r["hex"], "340a")
        r = self.topo.client_action("exchange", TARGET_ADDR, 19, "4", 4)
        self.assertEqual(r["hex"], "00010203")

    def test_half_close_carries_the_request_and_ends_in_order(self):
        # The client sends, then ends its sending side: the server sees the
        # end of the stream after every byte. Its answer comes back whole
        # where the local service passes half-closes on; where it ends both
        # directions, nothing comes back; either way the end is orderly, never
        # a reset. Repeated with sizes that leave data buffered in the tunnel
        # when the FIN arrives.
        targets = next(p for p in self.topo.processes if p.name == "targets")
        for n in (200000, 300000, 100000, 250000, 150000):
            before = targets.output().count("count ")
            r = self.topo.client_action("halfclose", TARGET_ADDR, 9, n)
            self.assertIsNone(r["error"], r)
            self.assertIn(r["data"], ("", f"got {n}\n"), r)
            deadline = time.monotonic() + 10
            while targets.output().count("count ") == before and time.monotonic() < deadline:
                time.sleep(0.05)
            counts = [line for line in targets.output().splitlines() if line.startswith("count ")]
            self.assertGreater(len(counts), before, "the server never saw the end of the stream")
            self.assertEqual(counts[-1], f"count {n}")

    def test_server_close_waits_for_the_client_to_take_everything(self):
        # The server writes and closes at once while the client reads
        # slowly: every byte arrives before the orderly end of stream.
        n = 3 * 1024 * 1024
        r = self.topo.client_action("slowread", TARGET_ADDR, 19, n)
        self.assertEqual(r, {"received": n, "error": None})

    def test_failed_socks_connect_closes_without_data(self):
        port = netns.free_port_in(self.topo, self.topo.server)
        r = self.topo.client_action("refused", TARGET_ADDR, port)
        # The stack accepts before SOCKS is asked; the failure then closes
        # the established connection without a byte.
        self.assertTrue(r["connected"], r)
        self.assertEqual(r["received"], 0, r)


class PlainDevicePathTest(TunnelCase):
    """The same transfers with one plain packet per device read and write,
    as on a device without offload."""
    node_kind = "socks5"
    extra = ("--no-offload",)
    offload = False

    def test_download_and_upload_are_intact_one_packet_at_a_time(self):
        self.transfers_both_ways()


class StopDuringDownloadTest(TunnelCase):
    node_kind = "socks5"
    start_tunnel_in_setup_class = False

    def test_stop_aborts_clients_and_removes_the_interface(self):
        self.vantor = self.topo.start_tunnel(self.node)
        total = 1 << 30
        readers = [self.topo.start(self.topo.client,
                                   ["python3", "-u", os.path.join(netns.HERE, "clients.py"), "stream",
                                    TARGET_ADDR, "19", str(total)], f"reader{i}") for i in range(3)]
        for r in readers:
            r.wait_for_line("receiving", timeout=20)
        signalled_at = time.time()
        code, text = self.topo.stop_tunnel(self.vantor)
        exited_after = time.time() - signalled_at
        for r in readers:
            r.proc.wait(timeout=10)
        for r in readers:
            result = json.loads(r.output().strip().splitlines()[-1])
            self.assertLess(result["received"], total, "the transfer finished instead of being aborted")
            self.assertEqual(result["error"], "ConnectionResetError", result)
            # The tunnel stops at its next 250 ms tick and aborts every client.
            self.assertLess(result["ended_at"] - signalled_at, 1.5, result)
        self.assertEqual(code, 0, text[-2000:])
        # The service waits up to a second for its own sessions after that.
        self.assertLess(exited_after, 5.0)
        self.assertFalse(self.topo.interface_exists(TUN_NAME), "the TUN interface was left behind")

if __name__ == "__main__":
    unittest.main()
