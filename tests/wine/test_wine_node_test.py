# ctest-timeout: 300
"""`vantor.exe test --node ...` under Wine: TCP through ss-server to a local
site and a DNS query through its UDP relay to dnsmasq, both passing; with a
wrong password, both failing."""

import subprocess
import unittest

import wine_env
from wine_env import peers
from peers import Dnsmasq, HttpFileServer, SsServer

NAME = "wine-test.example"
ADDRESS = "10.9.8.6"
METHOD = "aes-256-gcm"
PASSWORD = "Wine-tester-pw"


def setUpModule():
    wine_env.setup()


class NodeTester(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.site = HttpFileServer(size=4096)
        cls.addClassCleanup(cls.site.stop)
        cls.dns = Dnsmasq({NAME: ADDRESS})
        cls.addClassCleanup(cls.dns.stop)
        cls.ss = SsServer(METHOD, PASSWORD, udp=True)
        cls.addClassCleanup(cls.ss.stop)

    def vantor_test(self, password):
        argv = [peers.vantor_bin(), "test", "--both", "--site", f"http://127.0.0.1:{self.site.port}/blob",
                "--dns", f"{self.dns.host},{NAME}", "--node",
                f"ss://{METHOD}:{password}@127.0.0.1:{self.ss.port}"]
        r = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        lines = r.stdout.decode("utf-8", "replace").replace("\r\n", "\n").splitlines()
        return r.returncode, lines, r.stderr.decode("utf-8", "replace")

    def test_tcp_and_udp_pass(self):
        queries = len([q for q in self.dns.queries() if q[0] == NAME])
        code, lines, err = self.vantor_test(PASSWORD)
        text = "\n".join(lines)
        self.assertEqual(code, 0, text + err)
        self.assertIn("TCP transmission...Passed!", lines, text)
        self.assertIn("UDP relay...Passed!", lines, text)
        # The UDP pass is an answer dnsmasq really gave, through ss-server.
        self.assertGreater(len([q for q in self.dns.queries() if q[0] == NAME]), queries)

    def test_wrong_password_fails_both(self):
        code, lines, err = self.vantor_test("not-" + PASSWORD)
        text = "\n".join(lines)
        self.assertNotEqual(code, 0, text)
        self.assertIn("TCP transmission...UnPassed!", lines, text)
        self.assertIn("UDP relay...Unpassed!", lines, text)
        self.assertNotIn("TCP transmission...Passed!", lines, text)


if __name__ == "__main__":
    unittest.main()
