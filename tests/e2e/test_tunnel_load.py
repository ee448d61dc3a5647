# ctest-timeout: 900
"""End-to-end load tests of `vantor tunnel` in network namespaces (root only):
connection churn, and the memory that many connections may hold.

Each test runs its own tunnel and reads the counters that `vantor tunnel`
prints when it stops ("tunnel counters: ...").
"""

import os
import re
import time
import unittest

import netns
from netns import TARGET_ADDR

SKIP = netns.can_run()

COUNTER_NAMES = {
    "accepted": "accepted",
    "accept failed": "accept_failed",
    "SYN replaced TIME-WAIT": "syn_timewait",
    "SYN met open connection": "syn_open",
    "SYN dropped": "syn_dropped",
    "input dropped": "input_dropped",
}


def tunnel_counters(text):
    line = [l for l in text.splitlines() if l.startswith("tunnel counters: ")]
    if not line:
        raise AssertionError(f"no counters in the tunnel's output:\n{text[-2000:]}")
    counters = {}
    for name, key in COUNTER_NAMES.items():
        m = re.search(re.escape(name) + r" (\d+)", line[-1])
        counters[key] = int(m.group(1))
    return counters


class LoadCase(unittest.TestCase):
    node_kind = "ss"
    files = {}

    @classmethod
    def setUpClass(cls):
        if SKIP:
            raise unittest.SkipTest(SKIP)
        cls.topo = netns.Topology()
        cls.addClassCleanup(cls.topo.close)
        cls.www = cls.topo.start_targets(cls.files)
        cls.node = cls.topo.start_ss_server()

    def start(self, extra=()):
        return self.topo.start_tunnel(self.node, extra=extra)

    def stop(self, tun):
        code, text = self.topo.stop_tunnel(tun)
        self.topo.processes.remove(tun)
        self.assertEqual(code, 0, text[-3000:])
        return text


class ChurnTest(LoadCase):
    files = {"quarter.bin": 256 * 1024}

    def test_every_one_of_5000_short_connections_connects(self):
        # Four loops fetch 256 KiB each, 25 new connections a second. Two of
        # them take the kernel's source ports; the other two cycle through 40
        # ports each, so that a port comes back within seconds while the
        # stack still holds the last connection from it in TIME-WAIT (the
        # target closes first): a SYN answered from there would time out.
        tun = self.start()
        try:
            r = self.topo.client_action("churn", TARGET_ADDR, 80, "quarter.bin", 5000, 4, 25, 40, timeout=900)
        finally:
            text = self.stop(tun)
        counters = tunnel_counters(text)
        self.assertEqual(r["failed"], 0, r)
        self.assertEqual(r["connected"], 5000, r)
        self.assertEqual(r["complete"], 5000, r)
        # No connect waited for a retransmitted SYN (the first comes after 1 s).
        self.assertLess(r["connect_max"], 0.9, r)
        self.assertEqual(counters["accepted"], 5000, counters)
        # The reused ports did meet TIME-WAIT records, and those SYNs opened
        # connections instead of being answered from the old one.
        self.assertGreaterEqual(counters["syn_timewait"], r["pooled"] - 2 * 40, (counters, r))
        self.assertEqual(counters["syn_open"], 0, counters)
        self.assertEqual(counters["syn_dropped"], 0, counters)
        self.assertEqual(counters["accept_failed"], 0, counters)
        self.assertEqual(counters["input_dropped"], 0, counters)


if __name__ == "__main__":
    unittest.main()
