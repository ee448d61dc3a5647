"""The local service with Shadowsocks nodes, end to end against
shadowsocks-libev's ss-server: every method both directions over TCP and
over UDP, the share-link forms, and what a client sees when the node is
misconfigured, unreachable or answers with bytes that do not authenticate."""

import base64
import os
import socket
import subprocess
import threading
import time
import unittest

import peers
from peers import (HttpFileServer, ServiceTestCase, SsServer, UdpEchoServer, curl_download,
                   curl_parallel_downloads, curl_upload, recv_exact, recv_until_close,
                   shut_down, socks4_request, socks5_open, socks5_request, socks5_udp_header,
                   udp_exchange)

NAME = peers.ipv4_only_name() or "127.0.0.1"

STREAM_METHODS = [
    "rc4-md5",
    "aes-128-cfb", "aes-192-cfb", "aes-256-cfb",
    "aes-128-ctr", "aes-192-ctr", "aes-256-ctr",
    "camellia-128-cfb", "camellia-192-cfb", "camellia-256-cfb",
    "salsa20", "chacha20", "chacha20-ietf",
]
AEAD_METHODS = [
    "aes-128-gcm", "aes-192-gcm", "aes-256-gcm",
    "chacha20-ietf-poly1305", "xchacha20-ietf-poly1305",
]
METHODS = STREAM_METHODS + AEAD_METHODS
PASSWORD = "Vt-node-pw-7"

# ss-server drops UDP datagrams above roughly 2.7 KB unless told a larger MTU;
# with it, the large sizes below exercise the service's own buffers.
SS_SERVER_UDP_ARGS = ("--mtu", "65535")
UDP_SIZES = (1, 512, 1400, 8000, 60000)


def b64(text, urlsafe=False, pad=True):
    raw = text.encode() if isinstance(text, str) else text
    out = (base64.urlsafe_b64encode if urlsafe else base64.standard_b64encode)(raw).decode()
    return out if pad else out.rstrip("=")


def start_servers(methods, password, **kw):
    """ss-server for each method, all spawned before waiting on any."""
    servers = {}
    try:
        for method in methods:
            servers[method] = SsServer(method, password, wait=False, **kw)
        for server in servers.values():
            server.wait_ready()
    except Exception:
        for server in servers.values():
            server.stop()
        raise
    return servers


class SsTestCase(ServiceTestCase):
    def socks_connect(self, svc, port, host="127.0.0.1"):
        s = socks5_open(svc.port)
        self.addCleanup(s.close)
        s.sendall(socks5_request(1, host, port))
        reply = recv_exact(s, 10)
        self.assertEqual(reply[:4], b"\x05\x00\x00\x01", f"CONNECT answered {reply.hex()}")
        return s

    def download(self, svc, dest):
        """curl of the class's HTTP server's /blob through ``svc`` into
        ``dest``: (code, stderr, sha256)."""
        return curl_download(["--socks5-hostname", f"127.0.0.1:{svc.port}"],
                             f"http://{NAME}:{self.http.port}/blob", dest)


class EveryMethod(SsTestCase):
    """One ss-server (TCP and UDP) per method and the service in front of it."""

    @classmethod
    def setUpClass(cls):
        cls.http = cls.class_peer(HttpFileServer(6 * 1024 * 1024))
        cls.echo = cls.class_peer(UdpEchoServer())
        cls.servers = start_servers(METHODS, PASSWORD, udp=True, extra_args=SS_SERVER_UDP_ARGS)
        for server in cls.servers.values():
            cls.addClassCleanup(server.stop)

    def service_for(self, method):
        return self.start_service(f"ss://{method}:{PASSWORD}@127.0.0.1:{self.servers[method].port}")

    def test_download_and_upload_intact(self):
        d = self.tmpdir()
        upload = os.path.join(d, "upload")
        with open(upload, "wb") as f:
            f.write(self.http.body)
        for method in METHODS:
            with self.subTest(method=method):
                svc = self.service_for(method)
                rc, err, digest = self.download(svc, os.path.join(d, "blob"))
                self.assertEqual(rc, 0, f"download failed: {err}\n{self.servers[method].log()}")
                self.assertEqual(digest, self.http.sha256, "download corrupted")
                rc, err, answer = curl_upload(svc.port, f"http://{NAME}:{self.http.port}/upload",
                                              upload)
                self.assertEqual(rc, 0, f"upload failed: {err}")
                self.assertEqual(answer, self.http.sha256, "upload corrupted")

    def test_udp_round_trip(self):
        header = socks5_udp_header("127.0.0.1", self.echo.port)
        for method in METHODS:
            with self.subTest(method=method):
                _, udp, relay = self.method_association(method)
                for size in UDP_SIZES:
                    payload = os.urandom(size)
                    # The answer names the echo server as its source.
                    udp_exchange(udp, relay, header + payload, header + payload)
                # A target given by name reaches the same server; ss-server
                # names the answer's source by its IPv4 address.
                by_name = (b"\x00\x00\x00\x03" + bytes([len(NAME)]) + NAME.encode()
                           + self.echo.port.to_bytes(2, "big"))
                udp_exchange(udp, relay, by_name + b"named", header + b"named")

    def method_association(self, method):
        return self.udp_association(self.service_for(method))

    def test_unusable_datagrams_dropped_association_lives_on(self):
        """Datagrams that cannot be relayed (too short to hold a header, an
        unknown address type, too large once encrypted to fit in one UDP
        datagram to the node) are dropped one by one; the association and
        its control connection stay up for the next datagram."""
        header = socks5_udp_header("127.0.0.1", self.echo.port)
        # 65470 bytes from the client are 65515 bytes with the salt and tag of
        # aes-256-gcm, above the 65507 an IPv4 UDP datagram can carry.
        cases = {
            "2 bytes": b"\x00\x00",
            "3 bytes": b"\x00\x00\x00",
            "address type 7": b"\x00\x00\x00\x07" + bytes(6) + b"x",
            "65470 bytes": header + os.urandom(65470 - len(header)),
        }
        ctl, udp, relay = self.method_association("aes-256-gcm")
        for what, datagram in cases.items():
            with self.subTest(datagram=what):
                udp.sendto(datagram, relay)
                others = udp_exchange(udp, relay, header + b"next", header + b"next")
                self.assertEqual(others, [])
                ctl.settimeout(0.05)
                with self.assertRaises(socket.timeout, msg="control connection ended"):
                    ctl.recv(1)

    def test_fragments_not_relayed(self):
        """This relay does not reassemble SOCKS 5 UDP fragments, so a
        datagram with FRAG other than 0 is only a piece of the client's
        datagram: passing it on as a whole one would hand the target a
        truncated message. It must be dropped."""
        header = socks5_udp_header("127.0.0.1", self.echo.port)
        ctl, udp, relay = self.method_association("chacha20-ietf-poly1305")
        for frag in (1, 0x81):
            with self.subTest(frag=frag):
                udp.sendto(b"\x00\x00" + bytes([frag]) + header[3:] + b"fragment", relay)
                others = udp_exchange(udp, relay, header + b"whole", header + b"whole")
                self.assertEqual(others, [], "the fragment was relayed as a datagram")

    def test_parallel_downloads(self):
        for method in ("aes-256-cfb", "chacha20-ietf-poly1305"):
            with self.subTest(method=method):
                svc = self.service_for(method)
                failures = curl_parallel_downloads(svc.port, f"http://{NAME}:{self.http.port}/blob",
                                                   self.tmpdir(), 8, self.http.sha256)
                self.assertEqual(failures, [])

    def test_tampered_answer_is_cut_not_delivered(self):
        """A byte flipped on the way from the node fails the tag of its chunk:
        the client gets the intact bytes before that chunk and then a closed
        connection, never the damaged chunk nor anything after it."""
        flip_at = 300_000
        for method in AEAD_METHODS:
            with self.subTest(method=method):
                mitm = TamperingForwarder(self.servers[method].port, flip_at)
                self.addCleanup(mitm.stop)
                svc = self.start_service(f"ss://{method}:{PASSWORD}@127.0.0.1:{mitm.port}")
                s = self.socks_connect(svc, self.http.port)
                s.settimeout(15)
                s.sendall(f"GET /blob HTTP/1.0\r\nHost: 127.0.0.1:{self.http.port}\r\n\r\n".encode())
                data = recv_until_close(s, limit=1 << 30)
                self.assertTrue(mitm.flipped.wait(5), "the forwarder never reached the flip")
                head, sep, body = data.partition(b"\r\n\r\n")
                self.assertTrue(sep and head.startswith(b"HTTP/1."), data[:100])
                self.assertLess(len(body), len(self.http.body), "damaged stream delivered in full")
                self.assertGreater(len(body), 0, "nothing delivered before the damaged chunk")
                self.assertTrue(body == self.http.body[:len(body)],
                                "bytes that differ from the source reached the client")
                # What was decoded before the damaged chunk arrives; at most
                # one read (60 KB) and one chunk (16 KiB) before the flip may
                # be lost with it.
                self.assertGreater(len(data), flip_at - 128 * 1024)


class TamperingForwarder:
    """TCP forwarder to a node that inverts one byte of the node's answer at
    the given offset (counted per connection; None: no byte), and counts
    the connections made through it."""

    def __init__(self, node_port, flip_at):
        self.node_port = node_port
        self.flip_at = flip_at
        self.flipped = threading.Event()
        self.connections = 0
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
            self.connections += 1
            node = socket.create_connection(("127.0.0.1", self.node_port))
            self.socks += [client, node]
            threading.Thread(target=self._pump, args=(client, node, None), daemon=True).start()
            threading.Thread(target=self._pump, args=(node, client, self.flip_at),
                             daemon=True).start()

    def _pump(self, src, dst, flip_at):
        seen = 0
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                if flip_at is not None and seen <= flip_at < seen + len(data):
                    data = bytearray(data)
                    data[flip_at - seen] ^= 0xFF
                    self.flipped.set()
                seen += len(data)
                dst.sendall(data)
        except OSError:
            pass
        finally:
            shut_down(src, dst)

    def stop(self):
        shut_down(self.listener)  # wakes the blocked accept
        self.listener.close()
        self.thread.join(5)
        for s in self.socks:
            s.close()


class ShareLinks(SsTestCase):
    """Each way of writing a Shadowsocks node gives a working node."""

    METHOD = "aes-256-gcm"
    # "@" and ":" inside the password are the characters the forms must
    # keep apart from the host part and the method.
    SECRET = "p@ss:w0rd"

    @classmethod
    def setUpClass(cls):
        cls.http = cls.class_peer(HttpFileServer(1024 * 1024))
        cls.server = cls.class_peer(SsServer(cls.METHOD, cls.SECRET))

    def links(self):
        m, pw, port = self.METHOD, self.SECRET, self.server.port
        ssr_body = (f"127.0.0.1:{port}:origin:{m}:plain:{b64(pw, True, False)}"
                    f"/?obfsparam={b64('cdn.example', True, False)}"
                    f"&protoparam={b64('32', True, False)}"
                    f"&remarks={b64('Test node', True, False)}&group={b64('Lab', True, False)}")
        return {
            "plain": f"ss://{m}:{pw}@127.0.0.1:{port}",
            "plain, method in capitals, tag": f"ss://{m.upper()}:{pw}@127.0.0.1:{port}#lab%20node",
            "whole body base64": f"ss://{b64(f'{m}:{pw}@127.0.0.1:{port}')}#lab-node",
            "user part base64url": f"ss://{b64(f'{m}:{pw}', True, False)}@127.0.0.1:{port}#lab-node",
            "ssr": "ssr://" + b64(ssr_body, True, False),
        }

    def test_every_form_downloads(self):
        d = self.tmpdir()
        for form, link in self.links().items():
            with self.subTest(form=form, link=link):
                svc = self.start_service(link)
                rc, err, digest = self.download(svc, os.path.join(d, "blob"))
                self.assertEqual(rc, 0, err)
                self.assertEqual(digest, self.http.sha256)


class NodeFailures(SsTestCase):
    """What the client sees when the node cannot serve it."""

    def silent_node(self):
        """A plain TCP listener in the node's place, counting connections."""
        node = peers.ScriptedNode(lambda conn, log: log.append(recv_until_close(conn)))
        self.addCleanup(node.stop)
        return node

    def assert_closed_without_reply(self, svc):
        # SOCKS 5 greeting, SOCKS 5 greeting with the request right behind
        # it, and SOCKS 4: each gets nothing but the close.
        for hello in (b"\x05\x01\x00", b"\x05\x01\x00" + socks5_request(1, "127.0.0.1", 80),
                      socks4_request("127.0.0.1", 80)):
            with socket.create_connection(("127.0.0.1", svc.port), timeout=10) as s:
                s.sendall(hello)
                self.assertEqual(recv_until_close(s), b"", f"answer to {hello.hex()}")

    def test_unknown_names_refused_before_reaching_node(self):
        node = self.silent_node()
        pw = b64("pw", True, False)
        # A method ss-server knows but this client does not, or a misspelt one:
        # the link itself is refused, before any service starts.
        for method in ("bf-cfb", "aes-256-gcmx"):
            with self.subTest(unknown=method):
                r = subprocess.run([peers.vantor_bin(), "serve", "--node", f"ss://{method}:pw@127.0.0.1:{node.port}"],
                                   capture_output=True, timeout=30)
                self.assertEqual(r.returncode, 2, r.stderr.decode())
                self.assertEqual(r.stderr.decode(), f"vantor: Unsupported encryption: {method}\n")
        links = {
            "protocol": "ssr://" + b64(f"127.0.0.1:{node.port}:auth_bogus:aes-256-cfb:plain:{pw}",
                                       True, False),
            "obfs": "ssr://" + b64(f"127.0.0.1:{node.port}:origin:aes-256-cfb:obfs_bogus:{pw}",
                                   True, False),
        }
        for what, link in links.items():
            with self.subTest(unknown=what):
                svc = self.start_service(link)
                self.assert_closed_without_reply(svc)
        self.assertEqual(node.connections, 0, "a refused node was connected to")

    def test_unreachable_node(self):
        svc = self.start_service(f"ss://aes-256-gcm:pw@127.0.0.1:{peers.free_port()}")
        started = time.monotonic()
        with socks5_open(svc.port) as s:
            s.sendall(socks5_request(1, "127.0.0.1", 80))
            self.assertEqual(recv_until_close(s), b"\x05\x01\x00\x01" + bytes(6))
        with socket.create_connection(("127.0.0.1", svc.port), timeout=10) as s:
            s.sendall(socks4_request("127.0.0.1", 80))
            self.assertEqual(recv_until_close(s), b"\x00\x5c" + bytes(6))
        self.assertLess(time.monotonic() - started, 5, "refused connects retried too long")

    def test_garbage_answer_never_delivered(self):
        """A node whose answer does not authenticate (a wrong key, a
        corrupted path, a server of some other protocol): the client gets
        no byte of it, and the connection ends."""
        def garbage_node(conn, log):
            log.append(conn.recv(4096))
            conn.sendall(os.urandom(32 + 2 + 16 + 1000 + 16))
            recv_until_close(conn)

        node = peers.ScriptedNode(garbage_node)
        self.addCleanup(node.stop)
        for method in AEAD_METHODS:
            with self.subTest(method=method):
                svc = self.start_service(f"ss://{method}:pw@127.0.0.1:{node.port}")
                s = self.socks_connect(svc, 80)
                s.settimeout(10)
                s.sendall(b"GET / HTTP/1.0\r\n\r\n")
                self.assertEqual(recv_until_close(s), b"", "undecodable bytes reached the client")
        self.assertEqual(node.errors, [])

    def test_wrong_password(self):
        """With the wrong key the node reads a garbage request. The client
        has its CONNECT success (the node was reached before the password
        could be judged) and then never the real answer.

        ss-server cannot authenticate an AEAD request and holds the
        connection silently, so nothing at all arrives. A stream method
        cannot detect the wrong key: the garbage header now and then names
        a valid address, the node connects there, and whatever answers is
        relayed back as more garbage. Only the real answer must never
        come through."""
        http = HttpFileServer(64 * 1024)
        self.addCleanup(http.stop)
        servers = start_servers(("aes-256-gcm", "aes-256-cfb"), "right")
        for server in servers.values():
            self.addCleanup(server.stop)
        for method, server in servers.items():
            with self.subTest(method=method):
                svc = self.start_service(f"ss://{method}:wrong@127.0.0.1:{server.port}")
                s = self.socks_connect(svc, http.port)
                s.sendall(f"GET /blob HTTP/1.0\r\nHost: 127.0.0.1:{http.port}\r\n\r\n".encode())
                s.settimeout(2)
                try:
                    data = s.recv(65536)
                except socket.timeout:
                    data = None
                if method in AEAD_METHODS:
                    self.assertIn(data, (None, b""), "data arrived through a node with the wrong key")
                else:
                    self.assertFalse(data and (b"HTTP/1." in data or http.body[:32] in data),
                                     "the real answer arrived through a node with the wrong key")

if __name__ == "__main__":
    unittest.main()
