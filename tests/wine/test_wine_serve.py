# ctest-timeout: 900
"""`vantor.exe serve` under Wine against real nodes on loopback: 8 MiB each
way intact through ss-server (aes-256-gcm), through a ShadowsocksR node of
our SSR test server and through danted; a UDP association through ss-server;
streams from a target faster than their client arrive whole.
The controls show that the checks are live: a byte flipped between the
service and the node is caught by the checksums, and a wrong password gets
nothing through."""

import hashlib
import os
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

import wine_env
from wine_env import peers
from peers import (Danted, HttpFileServer, SsServer, UdpEchoServer, curl_download, curl_upload, recv_exact,
                   shut_down, socks5_open, socks5_request, socks5_udp_associate, socks5_udp_header, udp_exchange)

SIZE = 8 * 1024 * 1024
FAST_SIZE = 128 * 1024 * 1024
PASSWORD = "Wine-relay-pw-3"


def setUpModule():
    wine_env.setup()


class FlippingForwarder:
    """A TCP forwarder in front of ``port`` that inverts the byte at offset
    ``flip_at`` of each direction of each connection (counted per
    direction)."""

    def __init__(self, port, flip_at):
        self.port_to, self.flip_at = port, flip_at
        self.flips = 0
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.socks = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            node = socket.create_connection(("127.0.0.1", self.port_to))
            self.socks += [client, node]
            for src, dst in ((client, node), (node, client)):
                threading.Thread(target=self._pump, args=(src, dst), daemon=True).start()

    def _pump(self, src, dst):
        seen = 0
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                if seen <= self.flip_at < seen + len(data):
                    data = bytearray(data)
                    data[self.flip_at - seen] ^= 0xFF
                    self.flips += 1
                seen += len(data)
                dst.sendall(data)
        except OSError:
            pass
        finally:
            shut_down(src, dst)

    def stop(self):
        shut_down(self.listener)
        self.listener.close()
        self.thread.join(5)
        for s in self.socks:
            s.close()


ZERO_SOURCE = r"""
import os, socket, sys, threading
size = int(sys.argv[1])
fd = os.memfd_create("zeros")
os.ftruncate(fd, size)
listener = socket.create_server(("127.0.0.1", 0), backlog=64)
print(listener.getsockname()[1], flush=True)

def serve(conn):
    with conn:
        offset = 0
        try:
            while offset < size:
                offset += os.sendfile(conn.fileno(), fd, offset, size - offset)
        except OSError:
            pass

while True:
    conn, _ = listener.accept()
    threading.Thread(target=serve, args=(conn,), daemon=True).start()
"""


class ZeroSource:
    """A TCP server on 127.0.0.1 that sends each client ``size`` zero bytes
    as fast as it takes them (sendfile from memory, in a process of its own
    so that it never waits for the client's Python), then closes."""

    def __init__(self, size):
        self.proc = subprocess.Popen([sys.executable, "-c", ZERO_SOURCE, str(size)], stdout=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL)
        self.port = int(self.proc.stdout.readline())

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()


class Relay(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.http = HttpFileServer(SIZE)
        cls.addClassCleanup(cls.http.stop)
        cls.echo = UdpEchoServer()
        cls.addClassCleanup(cls.echo.stop)
        cls.tmp = tempfile.mkdtemp(prefix="vantor-wine-relay-")
        cls.addClassCleanup(__import__("shutil").rmtree, cls.tmp, True)
        # The upload differs from the download, so that a service handing
        # back what the server sent cannot pass.
        body = os.urandom(SIZE + 17)
        cls.upload = os.path.join(cls.tmp, "upload")
        with open(cls.upload, "wb") as f:
            f.write(body)
        cls.upload_sha256 = hashlib.sha256(body).hexdigest()

    def relay_problems(self, svc, timeout=120):
        """Downloads the server's 8 MiB and uploads 8 MiB through ``svc``,
        each within ``timeout`` seconds; what did not arrive intact."""
        problems = []
        url = f"http://127.0.0.1:{self.http.port}"
        code, err, digest = curl_download(["--socks5-hostname", f"127.0.0.1:{svc.port}"], f"{url}/blob",
                                          os.path.join(self.tmp, "download"), timeout=timeout)
        if code != 0:
            problems.append(f"download failed: curl {code} {err.strip()[:300]}")
        elif digest != self.http.sha256:
            problems.append("download corrupted")
        code, err, answer = curl_upload(svc.port, f"{url}/upload", self.upload, timeout=timeout)
        if code != 0:
            problems.append(f"upload failed: curl {code} {err.strip()[:300]}")
        elif answer != self.upload_sha256:
            problems.append("upload corrupted")
        return problems

    def test_shadowsocks_aes_256_gcm(self):
        server = SsServer("aes-256-gcm", PASSWORD)
        self.addCleanup(server.stop)
        svc = wine_env.start_service(self, f"ss://aes-256-gcm:{PASSWORD}@127.0.0.1:{server.port}")
        self.assertEqual(self.relay_problems(svc), [], server.log())

    def test_shadowsocksr_auth_chain_a_tls_ticket(self):
        from test_ssr import SsrServer, ssr_link
        server = SsrServer("aes-256-cfb", "auth_chain_a", "tls1.2_ticket_auth", password="ssr-Wine-pw",
                           users="1024:user-pass", obfsparam="cdn.example.com")
        self.addCleanup(server.stop)
        link = ssr_link(server.port, "auth_chain_a", "aes-256-cfb", "tls1.2_ticket_auth", "ssr-Wine-pw",
                        obfsparam="cdn.example.com", protoparam="1024:user-pass")
        svc = wine_env.start_service(self, link)
        self.assertEqual(self.relay_problems(svc), [])
        # The server checks every MAC, checksum and name the client sends.
        self.assertEqual(server.refusals(), [])

    def test_danted(self):
        danted = Danted()
        self.addCleanup(danted.stop)
        svc = wine_env.start_service(self, f"socks5://127.0.0.1:{danted.port}")
        self.assertEqual(self.relay_problems(svc), [], danted.log())

    def test_udp_association_through_ss_server(self):
        server = SsServer("aes-256-gcm", PASSWORD, udp=True, extra_args=("--mtu", "65535"))
        self.addCleanup(server.stop)
        svc = wine_env.start_service(self, f"ss://aes-256-gcm:{PASSWORD}@127.0.0.1:{server.port}")
        ctl, udp, relay = socks5_udp_associate(svc.port)
        self.addCleanup(ctl.close)
        self.addCleanup(udp.close)
        header = socks5_udp_header("127.0.0.1", self.echo.port)
        before = self.echo.received
        for size in (1, 1400, 8000):
            with self.subTest(size=size):
                datagram = header + os.urandom(size)
                udp_exchange(udp, relay, datagram, datagram)
        self.assertGreater(self.echo.received, before)

    def test_fast_streams_are_not_cut(self):
        # The target sends faster than the client reads, so the service
        # often has bytes waiting for the client and nothing to ask of the
        # node, whose socket then sits out the wait. Each stream must arrive
        # whole and end only with the target's close.
        server = SsServer("aes-256-gcm", PASSWORD)
        self.addCleanup(server.stop)
        source = ZeroSource(FAST_SIZE)
        self.addCleanup(source.stop)
        svc = wine_env.start_service(self, f"ss://aes-256-gcm:{PASSWORD}@127.0.0.1:{server.port}")
        for attempt in range(4):
            with self.subTest(attempt=attempt):
                self.assertEqual(self.read_through(svc, source.port), FAST_SIZE, "the stream ended early")

    def read_through(self, svc, port):
        """Reads the stream from 127.0.0.1:``port`` through ``svc`` to its
        end; how many bytes came."""
        with socks5_open(svc.port) as s:
            s.sendall(socks5_request(1, "127.0.0.1", port))
            self.assertEqual(recv_exact(s, 10)[:2], b"\x05\x00")
            buf = bytearray(1 << 20)
            got = 0
            while True:
                n = s.recv_into(buf)
                if n == 0:
                    return got
                got += n

    # -- the controls ------------------------------------------------------

    def test_a_flipped_byte_is_caught_both_ways(self):
        # danted speaks plain SOCKS, so a flipped byte between the service and
        # it goes through undetected by the protocol: only the checksums can
        # see it, in each direction.
        danted = Danted()
        self.addCleanup(danted.stop)
        mitm = FlippingForwarder(danted.port, 4 * 1024 * 1024)
        self.addCleanup(mitm.stop)
        svc = wine_env.start_service(self, f"socks5://127.0.0.1:{mitm.port}")
        self.assertEqual(self.relay_problems(svc), ["download corrupted", "upload corrupted"])
        # Only the answer of the download and the body of the upload reach
        # the offset.
        self.assertEqual(mitm.flips, 2)

    def test_a_wrong_password_gets_nothing_through(self):
        server = SsServer("aes-256-gcm", PASSWORD)
        self.addCleanup(server.stop)
        svc = wine_env.start_service(self, f"ss://aes-256-gcm:not-{PASSWORD}@127.0.0.1:{server.port}")
        # ss-server holds a request it cannot authenticate without a word.
        problems = self.relay_problems(svc, timeout=8)
        self.assertEqual(len(problems), 2, problems)
        self.assertTrue(problems[0].startswith("download failed"), problems)
        self.assertTrue(problems[1].startswith("upload failed"), problems)


if __name__ == "__main__":
    unittest.main()
