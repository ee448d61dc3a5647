# ctest-timeout: 300
"""ShadowsocksR nodes end to end: curl through `vantor serve --node ssr://...`
to the local HTTP server via ssr-test-server, for every protocol and obfs
pair with a stream and an AEAD cipher; UDP associations and udpgw flows for
every protocol.

ssr-test-server checks everything the client sends (MACs, checksums,
lengths, the handshakes, the names it was told to expect) and refuses a
connection on the first mismatch, printing "refused: REASON"; each case
therefore also requires that the server refused nothing.
"""

import base64
import concurrent.futures
import os
import socket
import struct
import tempfile
import time
import unittest

import peers
from peers import (stop_process, CURL, HttpFileServer, PeerError, ServiceTestCase, UdpEchoServer,
                   VantorService, _Daemon, curl_download, curl_upload, free_port,
                   recv_exact, require_program, socks5_open, socks5_request, socks5_udp_associate,
                   socks5_udp_header, udp_exchange)

PROTOCOLS = ["origin", "auth_sha1_v4", "auth_aes128_md5", "auth_aes128_sha1", "auth_chain_a",
             "auth_chain_b"]
OBFS = ["plain", "http_simple", "http_post", "random_head", "tls1.2_ticket_auth",
        "tls1.2_ticket_fastauth"]
STREAM = "aes-256-cfb"
AEAD = "chacha20-ietf-poly1305"
PASSWORD = "p@ss:w/rd+1"
USERS = "1024:user-pass,7:other"  # what the server knows; the client names user 1024
WORKERS = 4


def ssr_test_server():
    path = os.environ.get("SSR_TEST_SERVER")
    if not path:
        build = os.path.dirname(os.path.dirname(os.path.dirname(peers.vantor_bin())))
        path = os.path.join(build, "tests", "peers", "ssr_server", "ssr-test-server")
    if not os.access(path, os.X_OK):
        raise PeerError(f"ssr-test-server not found at {path}; build it or set SSR_TEST_SERVER")
    return path


def b64url(data):
    return base64.urlsafe_b64encode(data).decode().rstrip("=")


def ssr_link(port, protocol, method, obfs, password, obfsparam="", protoparam=""):
    main = f"127.0.0.1:{port}:{protocol}:{method}:{obfs}:{b64url(password.encode())}"
    query = (f"/?obfsparam={b64url(obfsparam.encode())}&protoparam={b64url(protoparam.encode())}"
             f"&remarks={b64url(b'integration')}")
    return "ssr://" + b64url((main + query).encode())


class SsrServer(_Daemon):
    def __init__(self, method, protocol, obfs, password=PASSWORD, users="", obfsparam="",
                 udp=False, mss=None):
        super().__init__("ssr-server")
        options = ["-k", password, "-m", method, "-O", protocol, "-o", obfs]
        if users:
            options += ["-g", users]
        if obfsparam:
            options += ["-G", obfsparam]
        if udp:
            options.append("-u")
        if mss:
            options += ["--mss", str(mss)]
        # The server binds a port of the kernel's choice and names it in its
        # "ready PORT" line: a port picked here could be taken by another
        # test before the server binds it, and a check that the port accepts
        # would then find the other test's listener. With UDP the same port
        # must be free for datagrams too; a start where it is not is retried.
        for attempt in range(5):
            self._spawn([ssr_test_server(), "-s", "127.0.0.1", "-p", "0"] + options)
            self.port = self._ready_port()
            if self.port:
                return
            if "Address already in use" not in self.log() or attempt == 4:
                log = self.log()
                self.stop()
                raise PeerError(f"ssr-test-server did not start: {log}")
            stop_process(self.proc)

    def _ready_port(self, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for line in self.log().splitlines():
                if line.startswith("ready "):
                    return int(line.split()[1])
            if self.proc.poll() is not None:
                return None
            time.sleep(0.01)
        return None

    def refusals(self):
        return [line for line in self.log().splitlines() if line.startswith("refused:")]


class Case:
    """One node: the client's parameters and what the server expects."""

    def __init__(self, protocol, obfs, method, variant):
        self.protocol, self.obfs, self.method = protocol, obfs, method
        self.protoparam = self.users = self.obfsparam = self.expect = ""
        self.mss = None
        if variant and protocol.startswith(("auth_aes128", "auth_chain")):
            self.protoparam, self.users = "1024:user-pass", USERS
        if obfs in ("http_simple", "http_post"):
            if variant:
                self.obfsparam = r"a.example.com, b.example.com#X-Forwarded-For: 10.1.2.3\nX-Test: yes"
                self.expect = self.obfsparam
        elif obfs.startswith("tls1.2"):
            # The node's server is an address, which goes out as an empty name.
            self.obfsparam = "cdn.example.com,static.example.net" if variant else ""
            self.expect = self.obfsparam or "127.0.0.1"
        if not variant and protocol.startswith("auth_chain"):
            self.mss = 1000

    def __str__(self):
        return f"{self.protocol}+{self.obfs}+{self.method}"


def through_service(server, link, use):
    """Starts the service for ``link``, a node served by ``server``, runs
    ``use(svc, problems)`` and stops both. Returns the problems: those
    ``use`` added, a service that did not stop cleanly, and whatever the
    server refused."""
    problems = []
    try:
        svc = VantorService(link, port=free_port())
        try:
            use(svc, problems)
        finally:
            try:
                svc.stop()
            except AssertionError as e:
                problems.append(str(e)[:2000])
    finally:
        refused = server.refusals()
        exited = server.proc.poll()
        server.stop()
    if exited is not None:
        problems.append(f"ssr-test-server exited with status {exited} while in use")
    if refused:
        problems.append(f"server refused: {refused[:3]}")
    return problems


def udp_node(protocol, method, variant):
    """A server with its UDP relay on and plain obfs, and the link to it:
    named users with ``variant``, else the node's key."""
    server = SsrServer(method, protocol, "plain", users=USERS if variant else "", udp=True)
    protoparam = "1024:user-pass" if variant and protocol != "origin" else ""
    return server, ssr_link(server.port, protocol, method, "plain", PASSWORD, protoparam=protoparam)


def udpgw_frame(conid, port, data):
    """A udpgw message from the tunnel: flags 0, IPv4 127.0.0.1."""
    body = b"\x00" + struct.pack("<H", conid) + socket.inet_aton("127.0.0.1") + struct.pack("!H", port)
    return struct.pack("<H", len(body) + len(data)) + body + data


def udpgw_answers(sock, count, timeout=5.0):
    """{conid: [data, ...]} of the next `count` messages."""
    answers, buf, got = {}, b"", 0
    deadline = time.monotonic() + timeout
    while got < count and time.monotonic() < deadline:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            break
        if not chunk:
            break
        buf += chunk
        while len(buf) >= 2 and len(buf) >= 2 + struct.unpack("<H", buf[:2])[0]:
            n = struct.unpack("<H", buf[:2])[0]
            m, buf = buf[2:2 + n], buf[2 + n:]
            answers.setdefault(struct.unpack("<H", m[1:3])[0], []).append(m[9:])
            got += 1
    return answers


class ShadowsocksRNodes(ServiceTestCase):
    @classmethod
    def setUpClass(cls):
        require_program(CURL)
        ssr_test_server()
        cls.http = cls.class_peer(HttpFileServer(size=3 * 1024 * 1024))
        cls.echo = cls.class_peer(UdpEchoServer())
        cls.tmp = tempfile.mkdtemp(prefix="vantor-ssr-")
        cls.upload = os.path.join(cls.tmp, "upload")
        cls.upload_body = os.urandom(2 * 1024 * 1024 + 17)
        with open(cls.upload, "wb") as f:
            f.write(cls.upload_body)
        import hashlib
        cls.upload_sha256 = hashlib.sha256(cls.upload_body).hexdigest()

    @classmethod
    def tearDownClass(cls):
        import shutil
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_jobs(self, jobs, run, name):
        """run(job) for every job, WORKERS at a time; each must report no
        problems, in a subTest named name(job)."""
        with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
            results = list(pool.map(run, jobs))
        for job, problems in zip(jobs, results):
            with self.subTest(name(job)):
                self.assertEqual(problems, [])

    # -- TCP --------------------------------------------------------------

    def transfer(self, case, index):
        """Download and upload through one node; a list of problems."""
        def use(svc, problems):
            dest = os.path.join(self.tmp, f"download-{index}")
            code, err, digest = curl_download(
                ["--socks5-hostname", f"127.0.0.1:{svc.port}"],
                f"http://localhost:{self.http.port}/blob", dest)
            if code != 0 or digest != self.http.sha256:
                problems.append(f"download: curl {code} {err.strip()[:200]}")
            code, err, answer = curl_upload(svc.port, f"http://localhost:{self.http.port}/up",
                                            self.upload)
            if code != 0 or answer != self.upload_sha256:
                problems.append(f"upload: curl {code} {err.strip()[:200]} {answer[:70]}")

        server = SsrServer(case.method, case.protocol, case.obfs, users=case.users,
                           obfsparam=case.expect, mss=case.mss)
        return through_service(server, ssr_link(server.port, case.protocol, case.method, case.obfs,
                                                PASSWORD, case.obfsparam, case.protoparam), use)

    def run_matrix(self, method, variant):
        cases = [Case(p, o, method, variant) for p in PROTOCOLS for o in OBFS]
        self.run_jobs(list(enumerate(cases)), lambda ic: self.transfer(ic[1], f"{method}-{ic[0]}"),
                      lambda ic: str(ic[1]))

    def test_every_pair_with_a_stream_cipher(self):
        # Node-key users, the server's own address as the TLS name, an MSS of
        # 1000 announced by the auth_chain server.
        self.run_matrix(STREAM, variant=False)

    def test_every_pair_with_an_aead_cipher(self):
        # Named users, several hosts with custom HTTP headers, several TLS names.
        self.run_matrix(AEAD, variant=True)

    def test_server_refuses_a_client_with_the_wrong_user_password(self):
        # The server checks what it is sent: the same node with another
        # password for user 1024 fails at the first MAC keyed with it.
        server = SsrServer(STREAM, "auth_chain_a", "tls1.2_ticket_auth", users="1024:other-pass")
        self.addCleanup(server.stop)
        svc = self.start_service(ssr_link(server.port, "auth_chain_a", STREAM, "tls1.2_ticket_auth",
                                          PASSWORD, protoparam="1024:user-pass"))
        code, _, _ = curl_download(["--socks5-hostname", f"127.0.0.1:{svc.port}"],
                                   f"http://localhost:{self.http.port}/blob",
                                   os.path.join(self.tmp, "refused"), timeout=10)
        self.assertNotEqual(code, 0)
        deadline = time.monotonic() + 5
        while not server.refusals() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(server.refusals(), ["refused: auth_chain_a: identity MAC"])

    # -- UDP --------------------------------------------------------------

    def udp_round_trips(self, protocol, method, variant):
        def use(svc, problems):
            ctl, udp, relay = socks5_udp_associate(svc.port)
            with ctl, udp:
                header = socks5_udp_header("127.0.0.1", self.echo.port)
                for size in (1, 100, 1400, 9000):
                    datagram = header + os.urandom(size)
                    try:
                        udp_exchange(udp, relay, datagram, datagram)
                    except AssertionError:
                        problems.append(f"{size}-byte datagram did not come back")

        return through_service(*udp_node(protocol, method, variant), use)

    def udpgw_flows(self, protocol, method, variant):
        """Two udpgw flows (each a fresh protocol state) through one node."""
        def use(svc, problems):
            with socks5_open(svc.port) as stream:
                stream.sendall(socks5_request(1, "127.0.0.1", 7300))
                if recv_exact(stream, 10)[1] != 0:
                    problems.append("udpgw CONNECT refused")
                    return
                sent = {1: [os.urandom(30), os.urandom(1200)], 2: [os.urandom(5)]}
                for conid, datas in sent.items():
                    for d in datas:
                        stream.sendall(udpgw_frame(conid, self.echo.port, d))
                answers = udpgw_answers(stream, 3)
                for conid, datas in sent.items():
                    if sorted(answers.get(conid, [])) != sorted(datas):
                        problems.append(f"flow {conid}: {len(answers.get(conid, []))} of"
                                        f" {len(datas)} answers came back intact")

        return through_service(*udp_node(protocol, method, variant), use)

    def run_every_protocol(self, run):
        """run(protocol, method, variant) for every protocol with both
        ciphers, named users with the AEAD one."""
        self.run_jobs([(p, m, m == AEAD) for p in PROTOCOLS for m in (STREAM, AEAD)],
                      lambda j: run(*j), lambda j: f"{j[0]}+{j[1]}")

    def test_udpgw_flows_for_every_protocol(self):
        self.run_every_protocol(self.udpgw_flows)

    def test_udp_associations_for_every_protocol(self):
        self.run_every_protocol(self.udp_round_trips)


if __name__ == "__main__":
    unittest.main()
