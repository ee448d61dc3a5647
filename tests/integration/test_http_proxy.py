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

import peers
from peers import Danted, HttpFileServer, VantorService

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

    @classmethod
    def tearDownClass(cls):
        try:
            cls.service.stop()
        finally:
            cls.danted.stop()
            cls.web.stop()
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


if __name__ == "__main__":
    unittest.main()
