"""Shadowsocks nodes with a plugin program, against ss-server behind Debian's
obfs-server (http, tls) and v2ray-plugin (websocket). obfs-server passes plain
Shadowsocks through, so each sits behind a gate (plugin_gate.py) that admits
only the plugin's openings; the gate relays UDP to ss-server as it is."""

import base64
import os
import re
import signal
import subprocess
import time
import unittest
import urllib.parse

import peers
from plugin_gate import Gate
from peers import (HttpFileServer, ServiceTestCase, SsServer, UdpEchoServer,
                   curl_download, curl_upload, free_port, recv_exact, require_program,
                   socks5_open, socks5_request, socks5_udp_header, udp_exchange, vantor_bin)

METHOD = "aes-256-gcm"
PASSWORD = "plugin-pw-3"
SIZE = 8 * 1024 * 1024
OBFS_SERVER = "/usr/bin/obfs-server"
V2RAY_PLUGIN = "/usr/bin/ss-v2ray-plugin"
PLUGIN_PID = re.compile(r"plugin \S+ runs as process (\d+) on 127\.0\.0\.1:")


class PluginServer(peers._Daemon):
    """A plugin's server side on ``port``, handing what it decodes to ss-server."""

    def __init__(self, mode, ss_port):
        super().__init__(f"plugin-{mode}")
        self.port = free_port()
        if mode in ("http", "tls"):
            self._spawn([require_program(OBFS_SERVER), "-s", "127.0.0.1", "-p", str(self.port),
                         "-r", f"127.0.0.1:{ss_port}", "--obfs", mode])
        else:
            self._spawn([require_program(V2RAY_PLUGIN), "-server", "-localAddr", "127.0.0.1", "-localPort",
                         str(self.port), "-remoteAddr", "127.0.0.1", "-remotePort", str(ss_port)])
        self._wait_listening(f"plugin server {mode}")


MODES = {
    "http": "obfs-local;obfs=http;obfs-host=www.example.com",
    "tls": "obfs-local;obfs=tls;obfs-host=www.example.com",
    "ws": "v2ray-plugin",
}


def plugin_link(port, plugin):
    user = f"{METHOD}:{PASSWORD}"
    return (f"ss://{base64.urlsafe_b64encode(user.encode()).decode().rstrip('=')}@127.0.0.1:{port}"
            f"/?plugin={urllib.parse.quote(plugin, safe='')}#plugged")


class PluginTest(ServiceTestCase):
    @classmethod
    def setUpClass(cls):
        cls.http = cls.class_peer(HttpFileServer(size=SIZE))
        cls.echo = cls.class_peer(UdpEchoServer())
        cls.ss = cls.class_peer(SsServer(METHOD, PASSWORD, udp=True))
        cls.gates = {}
        for mode in MODES:
            server = cls.class_peer(PluginServer(mode, cls.ss.port))
            cls.gates[mode] = cls.class_peer(Gate(mode, server.port, cls.ss.port))

    def link(self, mode):
        return plugin_link(self.gates[mode].port, MODES[mode])

    def download(self, svc):
        dest = os.path.join(self.tmpdir(), "blob")
        code, err, digest = curl_download(["--socks5-hostname", f"127.0.0.1:{svc.port}"],
                                          f"http://127.0.0.1:{self.http.port}/blob", dest, timeout=90)
        return digest == self.http.sha256, err + svc.stderr()

    def plugin_pid(self, svc, other_than=0):
        """The newest plugin process id the service logged."""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            found = [int(m.group(1)) for m in PLUGIN_PID.finditer(svc.stderr())]
            if found and found[-1] != other_than:
                return found[-1]
            time.sleep(0.05)
        self.fail(f"no plugin process in the log: {svc.stderr()}")

    def test_serve_and_test_go_through_each_plugin_and_udp_to_the_server(self):
        for mode in MODES:
            with self.subTest(mode=mode):
                gate = self.gates[mode]
                admitted = gate.admitted
                svc = self.start_service(self.link(mode))
                self.assertEqual(self.download(svc), (True, svc.stderr()))
                src = os.path.join(self.tmpdir(), "up")
                with open(src, "wb") as f:
                    f.write(os.urandom(SIZE))
                code, err, answer = curl_upload(svc.port, f"http://127.0.0.1:{self.http.port}/up", src, 90)
                self.assertEqual((code, answer), (0, peers.file_sha256(src)), err + svc.stderr())
                # UDP goes to the server's port directly (plugins carry none).
                ctl, udp, relay = self.udp_association(svc)
                datagram = socks5_udp_header("127.0.0.1", self.echo.port) + os.urandom(700)
                udp_exchange(udp, relay, datagram, datagram)
                pid = self.plugin_pid(svc)
                svc.signal(signal.SIGTERM)
                self.assertEqual(svc.wait(15), 0)
                self.assertFalse(os.path.exists(f"/proc/{pid}"), "the plugin outlived the service")

                test = subprocess.run([vantor_bin(), "test", "--site", f"http://127.0.0.1:{self.http.port}/blob",
                                       "--node", self.link(mode)], capture_output=True, timeout=90)
                self.assertIn("TCP transmission...Passed!", test.stdout.decode(), test.stderr.decode())
                self.assertGreater(gate.admitted, admitted, "the traffic did not pass the gate")
                self.assertEqual(gate.refused, 0, "a connection without the plugin's opening")

    def test_the_gate_refuses_a_plain_node_and_a_missing_plugin_is_an_error(self):
        svc = self.start_service(f"ss://{METHOD}:{PASSWORD}@127.0.0.1:{self.gates['http'].port}")
        self.assertFalse(self.download(svc)[0])
        deadline = time.monotonic() + 10
        while self.gates["http"].refused == 0 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.gates["http"].refused, 1)
        self.gates["http"].refused = 0

        message = "The Shadowsocks plugin obfs-local was not found (install it or remove it from the node)"
        for command in (["serve", "--port", str(free_port())], ["test"]):
            with self.subTest(command=command[0]):
                r = subprocess.run([vantor_bin(), *command, "--node", self.link("http")], capture_output=True,
                                   env=dict(os.environ, PATH="/nonexistent"), timeout=30)
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(message, r.stdout.decode() + r.stderr.decode())

    def test_a_killed_plugin_is_restarted_on_its_port_for_the_next_connection(self):
        svc = self.start_service(self.link("http"))
        first = self.plugin_pid(svc)
        s = socks5_open(svc.port)
        self.addCleanup(s.close)
        s.sendall(socks5_request(1, "127.0.0.1", self.http.port))
        self.assertEqual(recv_exact(s, 10)[:2], b"\x05\x00")
        s.sendall(b"GET /blob HTTP/1.0\r\n\r\n")
        self.assertTrue(recv_exact(s, 8).startswith(b"HTTP/1."))
        os.kill(first, signal.SIGKILL)  # mid-download: that connection fails
        self.assertNotEqual(self.plugin_pid(svc, other_than=first), first)
        self.assertIn("killed by signal 9; restarting it", svc.stderr())
        self.assertEqual(self.download(svc), (True, svc.stderr()))


if __name__ == "__main__":
    unittest.main()
