# ctest-timeout: 240
"""Nodes reached over IPv6: ss-server and danted listening on ::1 only, given
to `vantor serve` and `vantor test` by their IPv6 literal. TCP through the
node arrives intact both ways, UDP associations relay to the node's IPv6
address, and the tester passes TCP and UDP."""

import os
import socket
import unittest

import peers
from peers import (HttpFileServer, ServiceTestCase, SsServer, UdpEchoServer, curl_download, curl_upload,
                   socks5_udp_header, udp_exchange)
from test_node_tester import TesterCase

METHOD = "aes-256-gcm"
PASSWORD = "v6-node-pw"


def have_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def danted_ipv6_config(log, port):
    """dante-server on ::1 only, taking clients from ::1 and connecting out
    from either loopback address, with UDP ASSOCIATE."""
    return f"""\
logoutput: {log}
internal: ::1 port = {port}
external: lo
socksmethod: none
clientmethod: none
user.privileged: root
user.unprivileged: nobody
timeout.negotiate: 10
client pass {{
  from: ::1/128 to: 0/0
}}
socks pass {{
  from: 0/0 to: 0/0
  command: bind connect udpassociate bindreply udpreply
  protocol: tcp udp
}}
"""


class DantedIpv6(peers._Daemon):
    def __init__(self):
        super().__init__("danted6")
        binary = peers.require_program(peers.DANTED)
        self.port = peers.free_port_both()
        conf = os.path.join(self.dir, "danted.conf")
        self.log_path = os.path.join(self.dir, "danted.log")
        with open(conf, "w") as f:
            f.write(danted_ipv6_config(self.log_path, self.port))
        self._spawn([binary, "-f", conf, "-p", os.path.join(self.dir, "danted.pid")])
        try:
            peers.wait_tcp(self.port, proc=self.proc, what="danted on ::1", host="::1")
        except Exception:
            self.stop()
            raise

    def log(self):
        text = super().log()
        try:
            with open(self.log_path, "rb") as f:
                text += f.read()[-4000:].decode("utf-8", "replace")
        except OSError:
            pass
        return text


def listens_on_ipv4(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1.0):
            return True
    except OSError:
        return False


@unittest.skipUnless(have_ipv6_loopback(), "no IPv6 on the loopback interface")
class ServiceThroughIpv6Node(ServiceTestCase):
    @classmethod
    def setUpClass(cls):
        cls.http = cls.class_peer(HttpFileServer(3 * 1024 * 1024))
        cls.echo = cls.class_peer(UdpEchoServer())
        cls.ss = cls.class_peer(SsServer(METHOD, PASSWORD, udp=True, host="::1", extra_args=("--mtu", "65535")))

    def check_tcp_both_ways(self, svc, what):
        d = self.tmpdir()
        url = f"http://127.0.0.1:{self.http.port}/blob"
        rc, err, digest = curl_download(["--socks5-hostname", f"127.0.0.1:{svc.port}"], url,
                                        os.path.join(d, "blob"))
        self.assertEqual(rc, 0, f"{what}: download failed: {err}")
        self.assertEqual(digest, self.http.sha256, f"{what}: download corrupted")
        upload = os.path.join(d, "upload")
        with open(upload, "wb") as f:
            f.write(self.http.body)
        rc, err, answer = curl_upload(svc.port, f"http://127.0.0.1:{self.http.port}/upload", upload)
        self.assertEqual(rc, 0, f"{what}: upload failed: {err}")
        self.assertEqual(answer, self.http.sha256, f"{what}: upload corrupted")

    def check_udp(self, svc, what):
        _, udp, relay = self.udp_association(svc)
        header = socks5_udp_header("127.0.0.1", self.echo.port)
        for size in (1, 1400, 30000):
            payload = os.urandom(size)
            try:
                udp_exchange(udp, relay, header + payload, header + payload)
            except AssertionError as e:
                self.fail(f"{what}, {size} bytes: {e}\n{svc.stderr()[-3000:]}")

    def test_shadowsocks_node_on_ipv6_literal(self):
        self.assertFalse(listens_on_ipv4(self.ss.port), "the node must be reachable over IPv6 only")
        svc = self.start_service(f"ss://{METHOD}:{PASSWORD}@[::1]:{self.ss.port}")
        self.check_tcp_both_ways(svc, "ss")
        self.check_udp(svc, "ss")

    def test_socks5_node_on_ipv6_literal(self):
        danted = self.class_peer(DantedIpv6())
        self.assertFalse(listens_on_ipv4(danted.port))
        svc = self.start_service(f"socks5://[::1]:{danted.port}")
        self.check_tcp_both_ways(svc, "danted")
        self.check_udp(svc, "danted")


@unittest.skipUnless(have_ipv6_loopback(), "no IPv6 on the loopback interface")
class TesterOnIpv6Node(TesterCase):
    def test_tcp_and_udp_pass(self):
        ss = self.class_peer(SsServer(METHOD, PASSWORD, udp=True, host="::1"))
        danted = self.class_peer(DantedIpv6())
        for name, link in (("ss", f"ss://{METHOD}:{PASSWORD}@[::1]:{ss.port}"),
                           ("danted", f"socks5://[::1]:{danted.port}")):
            with self.subTest(node=name):
                code, lines, err, _ = self.vantor_test("--both", "--node", link)
                text = "\n".join(lines) + "\n" + err
                self.assertEqual(code, 0, text)
                self.assertIn("TCP transmission...Passed!", lines, text)
                self.assertIn("UDP relay...Passed!", lines, text)


if __name__ == "__main__":
    unittest.main()
