# ctest-timeout: 400
"""Shadowsocks nodes with a plugin program, against ss-server behind Debian's
obfs-server (http and tls) and behind v2ray-plugin in server mode (websocket).

obfs-server passes plain Shadowsocks through, so each server sits behind a
gate that admits only connections opening the way the plugin's framing does
(an HTTP upgrade request, a TLS ClientHello) and drops any other: traffic
that reaches ss-server went through the plugin. The gate also relays the
public port's UDP to ss-server, since plugins carry no UDP and the node's
datagrams go to the server directly."""

import base64
import os
import re
import signal
import socket
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
PLUGIN_PID = re.compile(r"plugin (\S+) runs as process (\d+) on 127\.0\.0\.1:(\d+)")


class PluginServer(peers._Daemon):
    """The server side of a plugin: listens on ``port`` and hands what it
    decodes to ss-server at ``ss_port``."""

    def __init__(self, mode, ss_port):
        super().__init__(f"plugin-{mode}")
        self.port = free_port()
        if mode in ("http", "tls"):
            self._spawn([require_program(OBFS_SERVER), "-s", "127.0.0.1", "-p", str(self.port),
                         "-r", f"127.0.0.1:{ss_port}", "--obfs", mode])
        else:
            # The SIP003 way: the public side is "remote", ss-server "local".
            env = dict(os.environ, SS_REMOTE_HOST="127.0.0.1", SS_REMOTE_PORT=str(self.port),
                       SS_LOCAL_HOST="127.0.0.1", SS_LOCAL_PORT=str(ss_port),
                       SS_PLUGIN_OPTIONS="server")
            log = open(os.path.join(self.dir, "output.log"), "wb")
            self.proc = subprocess.Popen([require_program(V2RAY_PLUGIN)], env=env, stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=subprocess.STDOUT, cwd=self.dir,
                                         start_new_session=True)
            log.close()
            self.proc.log_path = log.name
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


def plain_link(port):
    return f"ss://{METHOD}:{PASSWORD}@127.0.0.1:{port}"


class PluginCase(ServiceTestCase):
    @classmethod
    def setUpClass(cls):
        cls.http = cls.class_peer(HttpFileServer(size=SIZE))
        cls.echo = cls.class_peer(UdpEchoServer())
        cls.ss = cls.class_peer(SsServer(METHOD, PASSWORD, udp=True))
        cls.gates = {}
        for mode in MODES:
            server = cls.class_peer(PluginServer(mode, cls.ss.port))
            cls.gates[mode] = cls.class_peer(Gate(mode, server.port, cls.ss.port))

    def serve(self, mode, **kw):
        return self.start_service(plugin_link(self.gates[mode].port, MODES[mode]), **kw)

    def download(self, svc):
        dest = os.path.join(self.tmpdir(), "blob")
        return curl_download(["--socks5-hostname", f"127.0.0.1:{svc.port}"],
                             f"http://127.0.0.1:{self.http.port}/blob", dest, timeout=90)

    def plugin_pid(self, svc, after=0):
        """The plugin's process id as the service logged it (the newest one
        other than ``after``)."""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            found = [int(m.group(2)) for m in PLUGIN_PID.finditer(svc.stderr())]
            if found and found[-1] != after:
                return found[-1]
            time.sleep(0.05)
        self.fail(f"no plugin process in the log: {svc.stderr()}")


class EveryPlugin(PluginCase):
    def test_relays_8_mib_each_way_and_udp_through_the_plugin(self):
        for mode in MODES:
            with self.subTest(mode=mode):
                gate = self.gates[mode]
                admitted = gate.admitted
                svc = self.serve(mode)
                code, err, digest = self.download(svc)
                self.assertEqual(code, 0, err + svc.stderr())
                self.assertEqual(digest, self.http.sha256)
                src = os.path.join(self.tmpdir(), "up")
                with open(src, "wb") as f:
                    f.write(os.urandom(SIZE))
                code, err, answer = curl_upload(svc.port, f"http://127.0.0.1:{self.http.port}/up", src, 90)
                self.assertEqual(code, 0, err + svc.stderr())
                self.assertEqual(answer, peers.file_sha256(src))
                self.assertGreater(gate.admitted, admitted, "the traffic did not pass the gate")
                self.assertEqual(gate.refused, 0, "a connection without the plugin's opening")

                # UDP goes to the server's port directly, not to the plugin.
                ctl, udp, relay = self.udp_association(svc)
                payload = os.urandom(700)
                udp_exchange(udp, relay, socks5_udp_header("127.0.0.1", self.echo.port) + payload,
                             socks5_udp_header("127.0.0.1", self.echo.port) + payload)
                pid = self.plugin_pid(svc)
                svc.signal(signal.SIGTERM)
                self.assertEqual(svc.wait(15), 0)
                self.assertFalse(os.path.exists(f"/proc/{pid}"), "the plugin outlived the service")

    def test_vantor_test_passes_tcp_through_the_plugin(self):
        for mode in MODES:
            with self.subTest(mode=mode):
                gate = self.gates[mode]
                admitted = gate.admitted
                proc = subprocess.run([vantor_bin(), "test", "--site", f"http://127.0.0.1:{self.http.port}/blob",
                                       "--node", plugin_link(gate.port, MODES[mode])],
                                      stdin=subprocess.DEVNULL, capture_output=True, timeout=90)
                out = proc.stdout.decode()
                self.assertEqual(proc.returncode, 0, out + proc.stderr.decode())
                self.assertIn("TCP transmission...Passed!", out)
                self.assertGreater(gate.admitted, admitted)
                self.assertEqual(gate.refused, 0)


class PluginFaults(PluginCase):
    def test_a_plain_node_is_refused_by_the_gate(self):
        gate = self.gates["http"]
        refused = gate.refused
        svc = self.start_service(plain_link(gate.port))
        code, _, _ = self.download(svc)
        self.assertNotEqual(code, 0)
        deadline = time.monotonic() + 10
        while gate.refused == refused and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertGreater(gate.refused, refused)

    def test_a_missing_plugin_program_is_an_error_at_serve_and_at_test(self):
        env = dict(os.environ, PATH="/nonexistent")
        link = plugin_link(self.gates["http"].port, MODES["http"])
        message = "The Shadowsocks plugin obfs-local was not found (install it or remove it from the node)"
        serve = subprocess.run([vantor_bin(), "serve", "--port", str(free_port()), "--node", link], env=env,
                               stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        self.assertNotEqual(serve.returncode, 0)
        self.assertIn(message, serve.stderr.decode())
        test = subprocess.run([vantor_bin(), "test", "--node", link], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=30)
        self.assertNotEqual(test.returncode, 0)
        self.assertIn(message, test.stdout.decode() + test.stderr.decode())

    def test_a_killed_plugin_is_restarted_and_the_next_connection_works(self):
        svc = self.serve("http")
        first = self.plugin_pid(svc)
        # A download in progress when the plugin dies fails...
        s = socks5_open(svc.port)
        self.addCleanup(s.close)
        s.sendall(socks5_request(1, "127.0.0.1", self.http.port))
        self.assertEqual(recv_exact(s, 10)[:2], b"\x05\x00")
        s.sendall(f"GET /blob HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n".encode())
        s.settimeout(10)
        got = s.recv(65536)
        self.assertTrue(got.startswith(b"HTTP/1."))
        os.kill(first, signal.SIGKILL)
        try:
            while s.recv(1 << 20):
                pass
        except OSError:
            pass
        # ...and the plugin comes back on the same port for the next one.
        second = self.plugin_pid(svc, after=first)
        self.assertNotEqual(second, first)
        self.assertIn("restarting it", svc.stderr())
        code, err, digest = self.download(svc)
        self.assertEqual(code, 0, err + svc.stderr())
        self.assertEqual(digest, self.http.sha256)


if __name__ == "__main__":
    unittest.main()
