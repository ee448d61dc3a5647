"""The local HTTP proxy (`vantor serve --http`) against real peers: curl
through it to a local HTTP server via danted, plain and CONNECT, the proxy
script, and clients that send garbage, floods or nothing at all."""

import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import http.server

import peers
from peers import Danted, HttpFileServer, SsServer, VantorService

HTTP_LINE = re.compile(r"^http proxy 127\.0\.0\.1:(\d+)$")


def http_port_of(service, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for line in list(service.stdout_lines):
            m = HTTP_LINE.match(line)
            if m:
                return int(m.group(1))
        time.sleep(0.02)
    raise AssertionError(f"no http proxy line: {service.stdout_lines}")


def raw_request(port, data, timeout=15.0, shutdown=False):
    """Sends `data`, returns everything the proxy answers until it closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        if shutdown:
            s.shutdown(socket.SHUT_WR)
        return peers.recv_until_close(s)


class EchoServer(peers._HttpServerThread):
    """HTTP/1.1 on 127.0.0.1 that answers every GET or POST with its own
    ``name``, the header fields it received and the body (chunked or not),
    as JSON. Its answer also carries fields meant for one hop only."""

    def __init__(self, name):
        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def _body(self):
                if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
                    body = b""
                    while True:
                        size = int(self.rfile.readline().split(b";")[0], 16)
                        if size == 0:
                            while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                                pass
                            return body
                        body += self.rfile.read(size)
                        self.rfile.readline()
                return self.rfile.read(int(self.headers.get("Content-Length", "0")))

            def _answer(self):
                body = self._body()
                text = json.dumps({"name": name, "path": self.path, "fields": [k.lower() for k in self.headers.keys()],
                                   "host": self.headers.get("Host"), "body": body.decode("latin-1")}).encode()
                self.send_response(200)
                self.send_header("Content-Length", str(len(text)))
                self.send_header("Keep-Alive", "timeout=5")
                self.send_header("Connection", "X-Hop-Answer")
                self.send_header("X-Hop-Answer", "private")
                self.send_header("X-End-To-End", "kept")
                self.end_headers()
                self.wfile.write(text)

            do_GET = do_POST = _answer

            def log_message(self, *args):
                pass

        self._serve(Handler, f"echo server {name}")


def split_response(data):
    """The first HTTP answer (with a Content-Length body) in ``data``:
    (head text, body, the bytes after it)."""
    head, sep, rest = data.partition(b"\r\n\r\n")
    if not sep:
        raise AssertionError(f"no whole head: {data[:200]!r}")
    m = re.search(rb"\r\ncontent-length: *(\d+)", head, re.I)
    length = int(m.group(1)) if m else 0
    return head.decode("latin-1"), rest[:length], rest[length:]


def read_response(sock):
    """One answer on a connection that then stays open: (head text, body)."""
    data = b""
    while True:
        try:
            head, body, _ = split_response(data)
            m = re.search(r"\r\ncontent-length: *(\d+)", head, re.I)
            if len(body) >= (int(m.group(1)) if m else 0):
                return head, body
        except AssertionError:
            pass
        chunk = sock.recv(65536)
        if not chunk:
            raise AssertionError(f"closed inside an answer: {data[:300]!r}")
        data += chunk


def connect_head(sock):
    """Reads a CONNECT answer head; returns it and any bytes that followed."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            return data, b""
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    return head, rest


class HttpProxyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.config = tempfile.mkdtemp(prefix="vantor-http-")
        os.makedirs(os.path.join(cls.config, "config"))
        with open(os.path.join(cls.config, "config", "userpac.txt"), "w") as f:
            f.write("@@direct.example\nproxied.example\n")
        os.environ["VANTOR_CONFIG_DIR"] = cls.config
        cls.web = HttpFileServer(size=3 * 1024 * 1024 + 17)
        cls.danted = Danted()
        cls.service = VantorService(f"socks5://127.0.0.1:{cls.danted.port}", extra_args=["--http", "0"])
        cls.port = http_port_of(cls.service)
        cls.proxy = f"http://127.0.0.1:{cls.port}"
        cls.url = f"http://127.0.0.1:{cls.web.port}/blob"
        cls.echo_a = EchoServer("A")
        cls.echo_b = EchoServer("B")

    @classmethod
    def tearDownClass(cls):
        try:
            cls.service.stop()
        finally:
            cls.danted.stop()
            cls.web.stop()
            cls.echo_a.stop()
            cls.echo_b.stop()
            os.environ.pop("VANTOR_CONFIG_DIR", None)
            shutil.rmtree(cls.config, ignore_errors=True)

    def curl(self, *args, timeout=60):
        return subprocess.run(["curl", "-sS", "--fail", "--max-time", "30", "-x", self.proxy, *args],
                              capture_output=True, timeout=timeout)

    def test_plain_and_connect_requests_reach_the_target_through_the_node(self):
        for extra in ((), ("--proxytunnel",)):
            with self.subTest(extra=extra):
                r = self.curl(*extra, self.url)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(len(r.stdout), len(self.web.body))
                self.assertEqual(peers.hashlib.sha256(r.stdout).hexdigest(), self.web.sha256)
        # Request bodies go through too, plain and tunnelled.
        body = os.urandom(1024 * 1024 + 3)
        upload = os.path.join(self.config, "upload.bin")
        with open(upload, "wb") as f:
            f.write(body)
        for extra in ((), ("--proxytunnel",)):
            with self.subTest(upload=extra):
                r = subprocess.run(["curl", "-sS", "--fail", "-x", self.proxy, *extra, "-T", upload,
                                    f"http://127.0.0.1:{self.web.port}/put"], capture_output=True, timeout=60)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stdout.decode(), peers.hashlib.sha256(body).hexdigest())
        # With a node that does not answer, the same request fails: the
        # proxy goes through the node, never around it.
        dead = VantorService(f"socks5://127.0.0.1:{peers.free_port()}", extra_args=["--http", "0"])
        try:
            port = http_port_of(dead)
            r = subprocess.run(["curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}", "-x",
                                f"http://127.0.0.1:{port}", self.url], capture_output=True, timeout=60)
            self.assertEqual(r.stdout, b"502", r.stderr)
        finally:
            dead.stop()

    def test_proxy_script_is_served_and_answers_per_host(self):
        r = subprocess.run(["curl", "-sS", "--fail", f"{self.proxy}/proxy.pac"], capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        script = r.stdout.decode()
        self.assertIn(f"127.0.0.1:{self.port}", script)
        self.assertIn(f"127.0.0.1:{self.service.port}", script)
        node = shutil.which("node") or shutil.which("nodejs")
        if not node:
            self.skipTest("needs node to evaluate the script (scripts/setup.sh)")
        probe = """
const vm = require('vm');
const names = {'cn.example': '1.0.1.1', 'far.example': '93.184.216.34', 'lan.example': '192.168.1.9'};
const box = {isPlainHostName: h => h.indexOf('.') < 0, dnsResolve: h => names[h] || null};
vm.createContext(box);
vm.runInContext(require('fs').readFileSync(0, 'utf8'), box);
const ask = h => box.FindProxyForURL('http://' + h + '/', h);
console.log(JSON.stringify(['far.example', 'lan.example', '10.2.3.4', 'intranet', 'direct.example',
  'www.proxied.example', 'unknown.example'].map(ask)));
"""
        out = subprocess.run([node, "-e", probe], input=r.stdout, capture_output=True, timeout=30)
        self.assertEqual(out.returncode, 0, out.stderr.decode())
        proxy = f"PROXY 127.0.0.1:{self.port}; SOCKS5 127.0.0.1:{self.service.port}"
        self.assertEqual(json.loads(out.stdout), [proxy, "DIRECT", "DIRECT", "DIRECT", "DIRECT", proxy, proxy])

    def test_bad_requests_are_refused_and_the_proxy_keeps_serving(self):
        cases = [
            (b"\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03" + os.urandom(64), b"400"),
            (b"GET http://127.0.0.1/ HTTP/1.1\r\nNo colon here\r\n\r\n", b"400"),
            (b"GET ftp://127.0.0.1/ HTTP/1.1\r\n\r\n", b"400"),
            (b"CONNECT 127.0.0.1:0 HTTP/1.1\r\n\r\n", b"400"),
            (b"GET /not-the-script HTTP/1.1\r\n\r\n", b"404"),
            (b"GET http://127.0.0.1/ HTTP/1.1\r\n" + b"".join(b"X-%d: v\r\n" % i for i in range(500)) + b"\r\n",
             b"431"),
            (b"GET http://127.0.0.1/ HTTP/1.1\r\nX: " + b"a" * 100000 + b"\r\n\r\n", b"431"),
        ]
        for data, status in cases:
            with self.subTest(data=data[:40]):
                answer = raw_request(self.port, data)
                self.assertTrue(answer.startswith(b"HTTP/1.1 " + status), answer[:200])
        # A target nobody listens on: the node cannot connect, the client hears so.
        closed = peers.free_port()
        answer = raw_request(self.port, b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % closed)
        self.assertTrue(answer.startswith(b"HTTP/1.1 50"), answer[:200])
        r = self.curl(self.url)
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_slow_and_silent_clients_do_not_hold_up_others(self):
        # Many clients that trickle a request head or send nothing at all.
        stalled = []
        try:
            for i in range(60):
                s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
                if i % 2:
                    s.sendall(b"GET http://127.0.0.1/ HTTP/1.1\r\nX-Slow: ")
                stalled.append(s)
            started = time.monotonic()
            r = self.curl(self.url)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertLess(time.monotonic() - started, 5.0, "a normal request waited behind stalled clients")
            # The stalled ones are sent away once their head time runs out.
            for s in stalled[:4]:
                s.settimeout(20)
                answer = peers.recv_until_close(s)
                self.assertTrue(answer == b"" or answer.startswith(b"HTTP/1.1 408"), answer[:100])
        finally:
            for s in stalled:
                s.close()

    def test_requests_on_one_connection_each_reach_their_own_host(self):
        a, b = self.echo_a.port, self.echo_b.port
        body = b"x" * 3000
        chunked = b"5\r\nhello\r\n6\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n"
        # All sent at once, before any answer: a GET, a POST with a length,
        # a chunked POST and a last GET, to two servers in turn.
        pipeline = (b"GET http://127.0.0.1:%d/one HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (a, a)
                    + b"POST http://127.0.0.1:%d/two HTTP/1.1\r\nHost: wrong.example\r\nContent-Length: %d\r\n\r\n"
                    % (b, len(body)) + body
                    + b"POST http://127.0.0.1:%d/three HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" % a + chunked
                    + b"GET http://127.0.0.1:%d/four HTTP/1.1\r\nConnection: close\r\n\r\n" % b)
        with socket.create_connection(("127.0.0.1", self.port), timeout=15) as s:
            s.sendall(pipeline)
            # The last request asks to close: everything arrives before that.
            data = peers.recv_until_close(s)
        answers = []
        for _ in range(4):
            head, text, data = split_response(data)
            self.assertTrue(head.startswith("HTTP/1.1 200"), head)
            answers.append((head, json.loads(text)))
        self.assertEqual(data, b"", "nothing after the last answer")
        self.assertEqual([(j["name"], j["path"]) for _, j in answers],
                         [("A", "/one"), ("B", "/two"), ("A", "/three"), ("B", "/four")])
        self.assertEqual(answers[1][1]["body"], body.decode())
        self.assertEqual(answers[1][1]["host"], f"127.0.0.1:{b}", "Host follows the request's URL")
        self.assertEqual(answers[2][1]["body"], "hello world")
        self.assertIn("Connection: keep-alive", answers[0][0])
        self.assertIn("Connection: close", answers[3][0])

    def test_header_fields_of_one_hop_are_not_passed_on(self):
        request = (b"GET http://127.0.0.1:%d/hop HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                   b"Connection: X-Private, close\r\nX-Private: secret\r\nKeep-Alive: 300\r\nTE: trailers\r\n"
                   b"Trailer: X-Sum\r\nProxy-Authorization: Basic dTpw\r\nProxy-Connection: keep-alive\r\n"
                   b"Upgrade: websocket\r\nX-Kept: yes\r\n\r\n" % self.echo_a.port)
        with socket.create_connection(("127.0.0.1", self.port), timeout=15) as s:
            s.sendall(request)
            head, text = read_response(s)
        fields = json.loads(text)["fields"]
        self.assertIn("x-kept", fields)
        for hop in ("x-private", "keep-alive", "te", "trailer", "proxy-authorization", "proxy-connection", "upgrade"):
            self.assertNotIn(hop, fields)
        self.assertEqual(fields.count("connection"), 1, "only the proxy's own Connection field")
        # The answer's own hop fields stay with the proxy too.
        lines = [line.lower() for line in head.split("\r\n")]
        self.assertIn("x-end-to-end: kept", lines)
        self.assertFalse([line for line in lines if line.startswith(("keep-alive", "x-hop-answer"))], head)
        self.assertIn("connection: close", lines)

    def test_only_http_1_0_and_1_1_are_served(self):
        url = b"http://127.0.0.1:%d/v" % self.echo_a.port
        for line, status in ((b"GET " + url + b" HTTP/2.0", b"505"), (b"GET " + url + b" HTTP/1.2", b"505"),
                             (b"GET " + url + b" HTTP/0.9", b"400"), (b"GET " + url, b"400"),
                             (b"CONNECT 127.0.0.1:%d HTTP/3.0" % self.echo_a.port, b"505")):
            with self.subTest(line=line):
                answer = raw_request(self.port, line + b"\r\n\r\n")
                self.assertTrue(answer.startswith(b"HTTP/1.1 " + status), answer[:200])
        # 1.0 is served, and its connection closes after the answer.
        answer = raw_request(self.port, b"GET " + url + b" HTTP/1.0\r\n\r\n")
        self.assertTrue(answer.startswith(b"HTTP/1.1 200"), answer[:200])
        self.assertIn(b'"name": "A"', answer)

    def test_a_crowd_of_slow_heads_does_not_lock_others_out(self):
        stalled = []
        try:
            for i in range(600):
                s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
                s.sendall(b"GET http://127.0.0.1/ HTTP/1.1\r\nX-Slow: ")
                stalled.append(s)
            started = time.monotonic()
            r = self.curl(self.url)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertLess(time.monotonic() - started, 5.0, "a normal request waited behind slow heads")
        finally:
            for s in stalled:
                s.close()


class HttpProxyShadowsocksTest(unittest.TestCase):
    """The HTTP proxy over a Shadowsocks node (ss-server), which answers no
    connect request: it closes the connection when it cannot reach the target."""

    METHOD = "chacha20-ietf-poly1305"
    IDLE = 3

    @classmethod
    def setUpClass(cls):
        cls.config = tempfile.mkdtemp(prefix="vantor-http-ss-")
        os.environ["VANTOR_CONFIG_DIR"] = cls.config
        cls.web = HttpFileServer(size=64 * 1024)
        cls.ss = SsServer(cls.METHOD, "http-proxy-pw")
        cls.service = VantorService(f"ss://{cls.METHOD}:http-proxy-pw@127.0.0.1:{cls.ss.port}",
                                    extra_args=["--http", "0", "--http-idle", str(cls.IDLE)])
        cls.port = http_port_of(cls.service)

    @classmethod
    def tearDownClass(cls):
        try:
            cls.service.stop()
        finally:
            cls.ss.stop()
            cls.web.stop()
            os.environ.pop("VANTOR_CONFIG_DIR", None)
            shutil.rmtree(cls.config, ignore_errors=True)

    def test_unreachable_targets_get_502_and_connect_is_answered_after_the_node(self):
        closed = peers.free_port()
        answer = raw_request(self.port, b"GET http://127.0.0.1:%d/ HTTP/1.1\r\nHost: x\r\n\r\n" % closed)
        self.assertTrue(answer.startswith(b"HTTP/1.1 502 "), answer[:200])
        self.assertIn(b"127.0.0.1:%d" % closed, answer, "the reason names the target")
        answer = raw_request(self.port, b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % closed)
        self.assertTrue(answer.startswith(b"HTTP/1.1 502 "), answer[:200])
        # A reachable target: 200, then the tunnel carries a whole exchange.
        with socket.create_connection(("127.0.0.1", self.port), timeout=15) as s:
            s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % self.web.port)
            head, rest = connect_head(s)
            self.assertTrue(head.startswith(b"HTTP/1.1 200"), head)
            self.assertEqual(rest, b"")
            _, body = peers.http_get_over(s, "127.0.0.1", self.web.port)
            self.assertEqual(body, self.web.body)
        # A server that speaks first: its greeting follows the 200.
        banner = socket.socket()
        banner.bind(("127.0.0.1", 0))
        banner.listen(4)
        greeter = threading.Thread(target=lambda: banner.accept()[0].sendall(b"220 hello\r\n"), daemon=True)
        greeter.start()
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=15) as s:
                s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % banner.getsockname()[1])
                head, rest = connect_head(s)
                self.assertTrue(head.startswith(b"HTTP/1.1 200"), head)
                while len(rest) < 11:
                    chunk = s.recv(100)
                    if not chunk:
                        break
                    rest += chunk
                self.assertEqual(rest, b"220 hello\r\n")
        finally:
            banner.close()
        # A plain request still works after all that.
        r = subprocess.run(["curl", "-sS", "--fail", "-x", f"http://127.0.0.1:{self.port}",
                            f"http://127.0.0.1:{self.web.port}/blob"], capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, self.web.body)

    def test_idle_tunnels_leave_room_for_the_services_other_clients_and_are_closed(self):
        holder = socket.socket()
        holder.bind(("127.0.0.1", 0))
        holder.listen(1024)
        held = []
        stop = threading.Event()

        def hold():
            holder.settimeout(0.2)
            while not stop.is_set():
                try:
                    held.append(holder.accept()[0])
                except OSError:
                    pass

        keeper = threading.Thread(target=hold, daemon=True)
        keeper.start()
        tunnels = []
        try:
            # 600 tunnels asked for at once, then left idle.
            for _ in range(600):
                s = socket.create_connection(("127.0.0.1", self.port), timeout=20)
                s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % holder.getsockname()[1])
                tunnels.append(s)
            heads = [connect_head(s)[0][:12] for s in tunnels]
            opened = [s for s, h in zip(tunnels, heads) if h == b"HTTP/1.1 200"]
            self.assertGreater(len(opened), 50)
            self.assertEqual(len(opened) + heads.count(b"HTTP/1.1 503"), 600, set(heads))
            # Meanwhile the service still takes many SOCKS clients of its own.
            clients = []
            try:
                for _ in range(100):
                    c = peers.socks5_open(self.service.port)
                    c.sendall(peers.socks5_request(1, "127.0.0.1", self.web.port))
                    reply = peers.recv_exact(c, 10)
                    self.assertEqual(reply[:2], b"\x05\x00")
                    clients.append(c)
                _, body = peers.http_get_over(clients[-1], "127.0.0.1", self.web.port)
                self.assertEqual(body, self.web.body)
            finally:
                for c in clients:
                    c.close()
            # Idle past the limit: the proxy closes the tunnels.
            started = time.monotonic()
            for s in opened:
                s.settimeout(self.IDLE + 15)
                self.assertEqual(peers.recv_until_close(s), b"")
            self.assertLess(time.monotonic() - started, self.IDLE + 15)
            # And their room is free again.
            with socket.create_connection(("127.0.0.1", self.port), timeout=15) as s:
                s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % self.web.port)
                self.assertTrue(connect_head(s)[0].startswith(b"HTTP/1.1 200"))
        finally:
            stop.set()
            for s in tunnels + held:
                s.close()
            holder.close()


if __name__ == "__main__":
    unittest.main()
