# ctest-timeout: 480
"""End-to-end tests of `vantor connect`, `status` and `disconnect` in network
namespaces (root).

The client namespace has an ordinary default route through the veth gateway
and a resolv.conf naming a resolver of its own (a dnsmasq in the client
namespace that logs every query). The server namespace holds the node
(ss-server with UDP, on an address of its own behind the gateway), an HTTP
target, a "whoami" server that answers every TCP connection with the address
it came from (the client's veth address means the connection went directly),
and dnsmasq as the DNS server the settings name. The desktop proxy settings
are gsettings on its keyfile backend in a temporary folder.
"""

import base64
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.parse

import netns
from netns import CLIENT_VETH_ADDR, NODE_ADDR, TARGET_ADDR

SKIP = netns.can_run()

NODE_OWN_ADDR = "10.230.0.1"    # where ss-server listens, behind the gateway
CLIENT_DNS = "10.210.0.53"      # the client namespace's own resolver
WHOAMI_PORT = 4242
DNS_NAME = "probe.test"
DNS_ANSWER = "10.220.0.77"
SS_PORT = 8388

WHOAMI = r"""
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("0.0.0.0", int(sys.argv[1])))
s.listen(64)
print("ready", flush=True)
while True:
    c, peer = s.accept()
    c.sendall(peer[0].encode() + b"\n")
    c.close()
"""

ASK = r"""
import json, socket, sys
host, port = sys.argv[1], int(sys.argv[2])
proxy = sys.argv[3] if len(sys.argv) > 3 else ""
try:
    if proxy:
        c = socket.create_connection(("127.0.0.1", int(proxy)), timeout=10)
        c.sendall(b"CONNECT %s:%d HTTP/1.1\r\n\r\n" % (host.encode(), port))
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = c.recv(1)
            if not chunk:
                raise OSError(0, "closed")
            head += chunk
    else:
        c = socket.create_connection((host, port), timeout=10)
    print(json.dumps({"peer": c.recv(100).decode().strip()}))
except OSError as e:
    print(json.dumps({"error": str(e)}))
"""

# Opens COUNT tunnels through the HTTP proxy at once and holds them idle.
HOLD_TUNNELS = r"""
import socket, sys, time
proxy, host, port, count = int(sys.argv[1]), sys.argv[2].encode(), int(sys.argv[3]), int(sys.argv[4])
held, answers = [], {}
for _ in range(count):
    try:
        c = socket.create_connection(("127.0.0.1", proxy), timeout=30)
        c.sendall(b"CONNECT %s:%d HTTP/1.1\r\n\r\n" % (host, port))
        held.append(c)
    except OSError as e:
        answers[str(e)] = answers.get(str(e), 0) + 1
for c in held:
    try:
        status = c.recv(12).decode(errors="replace")
    except OSError as e:
        status = str(e)
    answers[status] = answers.get(status, 0) + 1
print("held", sorted(answers.items()), flush=True)
time.sleep(300)
"""

# Sends a little through a TCP connection to HOST:PORT (an echo server),
# reads it back and prints the send window the peer advertised (`ss`).
SEND_WINDOW = r"""
import json, re, socket, subprocess, sys
host, port = sys.argv[1], int(sys.argv[2])
c = socket.create_connection((host, port), timeout=10)
for _ in range(4):
    c.sendall(b"x" * 1000)
    got = b""
    while len(got) < 1000:
        got += c.recv(1000 - len(got))
local = "%s:%d" % c.getsockname()
out = subprocess.run(["ss", "-tinH", "src", local], capture_output=True, text=True).stdout
m = re.search(r"snd_wnd:(\d+)", out)
print(json.dumps({"snd_wnd": int(m.group(1))} if m else {"ss": out}))
"""

RESOLVE = r"""
import json, socket, sys
try:
    print(json.dumps({"address": socket.gethostbyname(sys.argv[1])}))
except OSError as e:
    print(json.dumps({"error": str(e)}))
"""


def connect_world(cls):
    """The namespaces' contents for a whole-host connect, set on `cls`: the
    client's own resolver (`client_dns`) named by its resolv.conf, a default
    route through the veth gateway, the targets (`www`), the whoami server,
    the settings' DNS server (`server_dns`) and the node (`node`, and
    `dead_node` on a closed port)."""
    topo = cls.topo
    c, s = topo.client, topo.server
    run = netns.run
    run(["ip", "-n", s, "addr", "add", f"{NODE_OWN_ADDR}/32", "dev", "lo"])
    run(["ip", "-n", c, "addr", "add", f"{CLIENT_DNS}/32", "dev", "lo"])
    run(["ip", "-n", c, "route", "add", "default", "via", NODE_ADDR])
    cls.veth = run(["ip", "-n", c, "-o", "link", "show", "type", "veth"]).stdout.decode().split(":")[1] \
        .strip().split("@")[0]
    # `ip netns exec` binds this file over /etc/resolv.conf in the client.
    cls.netns_etc = f"/etc/netns/{c}"
    os.makedirs(cls.netns_etc, exist_ok=True)
    cls.addClassCleanup(shutil.rmtree, cls.netns_etc, True)
    with open(os.path.join(cls.netns_etc, "resolv.conf"), "w") as f:
        f.write(f"# the client's own\nnameserver {CLIENT_DNS}\n")

    cls.www = topo.start_targets({"file.bin": 2 * 1024 * 1024})
    topo.start(s, ["python3", "-u", "-c", WHOAMI, str(WHOAMI_PORT)], "whoami").wait_for_line("ready")
    cls.server_dns = topo.start_dnsmasq({DNS_NAME: DNS_ANSWER})
    cls.client_dns = topo.start(c, [shutil.which("dnsmasq") or "/usr/sbin/dnsmasq", "--keep-in-foreground",
                                    "--no-resolv", "--no-hosts", "--bind-interfaces",
                                    f"--listen-address={CLIENT_DNS}", "--pid-file=", "--user=root",
                                    "--log-queries", "--log-facility=-", "--cache-size=0",
                                    f"--host-record={DNS_NAME},10.99.99.99"], "client-dns")
    cls.client_dns.wait_for_line("started, version")
    ss = topo.start(s, ["ss-server", "-s", NODE_OWN_ADDR, "-p", str(SS_PORT), "-k", netns.SS_PASSWORD,
                        "-m", netns.SS_METHOD, "-u"], "ss-server")
    topo.wait_tcp(s, NODE_OWN_ADDR, SS_PORT, proc=ss)
    cls.node = f"ss://{netns.SS_METHOD}:{netns.SS_PASSWORD}@{NODE_OWN_ADDR}:{SS_PORT}"
    cls.dead_node = f"ss://{netns.SS_METHOD}:{netns.SS_PASSWORD}@{NODE_OWN_ADDR}:{SS_PORT + 1}"


class ConnectTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if SKIP:
            raise unittest.SkipTest(SKIP)
        if not shutil.which("gsettings"):
            raise unittest.SkipTest("needs gsettings (scripts/setup.sh)")
        cls.topo = topo = netns.Topology()
        cls.addClassCleanup(topo.close)
        connect_world(cls)
        cls.home = tempfile.mkdtemp(prefix="vantor-connect-", dir=topo.dir)
        os.makedirs(os.path.join(cls.home, "config", "config"))
        with open(os.path.join(cls.home, "config", "config", "config.ini"), "w") as f:
            f.write("[basic]\n"
                    f"public_dns1={TARGET_ADDR}\npublic_dns2=\n"
                    f"TestSites=http://{TARGET_ADDR}/file.bin\n"
                    f"UdpTestPairs={TARGET_ADDR},{DNS_NAME}\n"
                    "AutomaticHideWindow=0\n")
        cls.env = [f"VANTOR_CONFIG_DIR={cls.home}/config", f"VANTOR_RUNTIME_DIR={cls.home}/run",
                   "GSETTINGS_BACKEND=keyfile", f"XDG_CONFIG_HOME={cls.home}/xdg", "XDG_CURRENT_DESKTOP=GNOME"]
        # The user's own desktop proxy settings.
        cls.gsettings("set", "org.gnome.system.proxy.http", "host", "corp.example")
        cls.gsettings("set", "org.gnome.system.proxy.http", "port", "3128")
        # The node kept in the store, as a user adds it.
        r = topo.client_run(["env", *cls.env, netns.vantor_bin(), "nodes", "add", cls.node], timeout=30)
        if r.returncode != 0:
            raise AssertionError(f"vantor nodes add: {r.stdout.decode()} {r.stderr.decode()}")
        cls.before = cls.host_state()

    # -- helpers --------------------------------------------------------------

    @classmethod
    def gsettings(cls, *args):
        r = subprocess.run(["env", *cls.env, "gsettings", *args], capture_output=True, timeout=10)
        if r.returncode != 0:
            raise AssertionError(f"gsettings {args}: {r.stderr.decode()}")
        return r.stdout.decode().strip()

    @classmethod
    def host_state(cls):
        c = cls.topo.client
        routes = netns.run(["ip", "-n", c, "-4", "route", "show", "table", "all"]).stdout.decode()
        resolv = netns.run(["ip", "netns", "exec", c, "cat", "/etc/resolv.conf"]).stdout
        links = netns.run(["ip", "-n", c, "-o", "link", "show"]).stdout.decode()
        proxy = {f"{schema} {key}": cls.gsettings("get", schema, key)
                 for schema, key in (("org.gnome.system.proxy", "mode"), ("org.gnome.system.proxy", "autoconfig-url"),
                                     ("org.gnome.system.proxy.http", "host"),
                                     ("org.gnome.system.proxy.http", "port"),
                                     ("org.gnome.system.proxy.https", "host"))}
        return {"routes": routes, "resolv.conf": resolv, "proxy": proxy,
                "links": sorted(line.split(":")[1].strip().split("@")[0] for line in links.splitlines())}

    def assertRestored(self, context):
        after = self.host_state()
        for key in self.before:
            self.assertEqual(after[key], self.before[key], f"{key} differs {context}")

    def vantor(self, *args, timeout=60):
        return self.topo.client_run(["env", *self.env, netns.vantor_bin(), *args], timeout=timeout)

    def connect(self, mode, node=None, wait=True):
        p = self.topo.start(self.topo.client, ["env", *self.env, netns.vantor_bin(), "connect", "--node",
                                               node or self.node, "--mode", str(mode)], "vantor")
        if wait:
            p.wait_for_line("Connected!", timeout=40)
        return p

    def stop(self, proc):
        proc.signal(signal.SIGTERM)
        code = proc.proc.wait(30)
        text = proc.output()
        self.assertEqual(code, 0, text[-3000:])
        self.assertNotIn("Sanitizer", text)
        self.assertIn("Disconnected!", text)

    def ask(self, host, port=WHOAMI_PORT, proxy=None):
        args = [host, str(port)] + ([str(proxy)] if proxy else [])
        r = self.topo.client_run(["python3", "-c", ASK, *args], timeout=30)
        return json.loads(r.stdout.decode().strip().splitlines()[-1])

    def resolve(self, name):
        r = self.topo.client_run(["python3", "-c", RESOLVE, name], timeout=30)
        return json.loads(r.stdout.decode().strip().splitlines()[-1])

    @staticmethod
    def port_of(proc, what):
        for line in proc.output().splitlines():
            if line.startswith(what + " 127.0.0.1:"):
                return int(line.rsplit(":", 1)[1])
        raise AssertionError(f"no '{what}' line:\n{proc.output()[-2000:]}")

    # -- tests ----------------------------------------------------------------

    def test_global_mode_status_second_start_and_disconnect(self):
        self.assertEqual(self.ask(TARGET_ADDR).get("peer"), CLIENT_VETH_ADDR)
        proc = self.connect("Global wide", node="0")
        out = proc.output()
        self.assertIn("UDP is enabled", out)
        self.assertLess(out.index("local service 127.0.0.1:"), out.index("Connected!"))
        self.assertNotEqual(self.ask(TARGET_ADDR).get("peer"), CLIENT_VETH_ADDR, out[-2000:])

        # Name resolution reaches the settings' DNS server through the
        # tunnel; the client's own resolver hears nothing.
        queries_before = self.client_dns.output().count(DNS_NAME)
        self.assertEqual(self.resolve(DNS_NAME).get("address"), DNS_ANSWER)
        self.assertEqual(self.client_dns.output().count(DNS_NAME), queries_before)
        self.assertIn(DNS_NAME, self.server_dns.output())
        self.assertNotIn(f"from {CLIENT_VETH_ADDR}", self.server_dns.output())

        r = self.vantor("status")
        status = r.stdout.decode()
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertIn("state: connected\n", status)
        self.assertIn(f"node: [SR] {NODE_OWN_ADDR}:{SS_PORT}", status)
        self.assertIn("mode: Global wide\n", status)
        self.assertIn("udp: enabled\n", status)

        # Requests sent by halves and never finished keep no one waiting long.
        with open(f"/proc/{proc.proc.pid}/net/unix") as f:
            endpoints = {line.split()[-1] for line in f if line.rstrip().endswith("/control")}
        self.assertEqual(len(endpoints), 1, endpoints)
        half_sent = []
        try:
            for _ in range(40):
                s = socket.socket(socket.AF_UNIX)
                half_sent.append(s)
                s.connect(endpoints.pop() if len(half_sent) == 1 else half_sent[0].getpeername())
                try:
                    s.sendall(b"sta")
                except OSError:
                    pass  # past the endpoint's readers: told it is busy, and closed
            r = self.vantor("status", timeout=30)
            self.assertEqual(r.returncode, 0, r.stdout.decode() + r.stderr.decode())
            self.assertIn("state: connected\n", r.stdout.decode())
        finally:
            for s in half_sent:
                s.close()

        # Idle tunnels through the HTTP proxy leave room for the tunnelled
        # connections of the host.
        tunnelled = self.ask(TARGET_ADDR).get("peer")
        self.assertTrue(tunnelled)
        holder = self.topo.start(self.topo.client, ["python3", "-u", "-c", HOLD_TUNNELS,
                                                    str(self.port_of(proc, "http proxy")), TARGET_ADDR, "7", "600"],
                                 "tunnel holder")
        try:
            holder.wait_for_line("held", timeout=60)
            self.assertIn("HTTP/1.1 200", holder.output())
            self.assertEqual(self.ask(TARGET_ADDR).get("peer"), tunnelled, holder.output()[-500:])
        finally:
            holder.stop()

        # A second start while one runs ends at once and changes nothing.
        connected = self.host_state()
        started = time.monotonic()
        second = self.vantor("connect", "--node", self.node, "--mode", "0", timeout=30)
        self.assertEqual(second.returncode, 1, second.stdout.decode() + second.stderr.decode())
        self.assertIn(b"already running", second.stderr)
        self.assertLess(time.monotonic() - started, 5.0)
        self.assertEqual(self.host_state(), connected)
        self.assertEqual(self.vantor("status").returncode, 0)

        r = self.vantor("disconnect")
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertEqual(proc.proc.wait(30), 0, proc.output()[-3000:])
        self.assertIn("Disconnected!", proc.output())
        self.assertRestored("after vantor disconnect")
        self.assertEqual(self.ask(TARGET_ADDR).get("peer"), CLIENT_VETH_ADDR)
        self.assertEqual(self.vantor("status").stdout.decode(), "state: not running\n")

    def test_browser_modes_set_the_desktop_proxy_and_touch_no_route(self):
        for mode, expect in ((1, "'manual'"), (2, "'auto'")):
            with self.subTest(mode=mode):
                proc = self.connect(mode)
                http = self.port_of(proc, "http proxy")
                self.assertEqual(self.gsettings("get", "org.gnome.system.proxy", "mode"), expect)
                state = self.host_state()
                self.assertEqual(state["routes"], self.before["routes"])
                self.assertEqual(state["resolv.conf"], self.before["resolv.conf"])
                if mode == 1:
                    self.assertEqual(self.gsettings("get", "org.gnome.system.proxy.http", "host"), "'127.0.0.1'")
                    self.assertEqual(self.gsettings("get", "org.gnome.system.proxy.http", "port"), str(http))
                    # Through the HTTP proxy the target sees the node, not the client.
                    self.assertNotEqual(self.ask(TARGET_ADDR, proxy=http).get("peer"), CLIENT_VETH_ADDR)
                    dest = os.path.join(self.topo.dir, "via-proxy.bin")
                    for extra in ([], ["--proxytunnel"]):
                        r = self.topo.client_run(["curl", "-sS", "--fail", "-x", f"http://127.0.0.1:{http}", *extra,
                                                  "-o", dest, f"http://{TARGET_ADDR}/file.bin"])
                        self.assertEqual(r.returncode, 0, r.stderr.decode())
                        self.assertEqual(netns.peers.file_sha256(dest),
                                         netns.peers.file_sha256(os.path.join(self.www, "file.bin")))
                else:
                    url = self.gsettings("get", "org.gnome.system.proxy", "autoconfig-url").strip("'")
                    self.assertEqual(url, f"http://127.0.0.1:{http}/proxy.pac")
                    r = self.topo.client_run(["curl", "-sS", "--fail", url])
                    self.assertEqual(r.returncode, 0, r.stderr.decode())
                    self.assertIn(b"function FindProxyForURL", r.stdout)
                    self.assertIn(f"PROXY 127.0.0.1:{http}".encode(), r.stdout.replace(b'"PROXY __PROXY__', b""))
                self.stop(proc)
                self.assertRestored(f"after browser mode {mode}")

    def test_kill9_then_a_new_start_restores_routes_dns_and_desktop_proxy(self):
        for mode in ("Global wide", "Web Browser only(Global)"):
            with self.subTest(mode=mode):
                proc = self.connect(mode)
                proc.signal(signal.SIGKILL)
                proc.proc.wait(10)
                self.assertNotEqual(self.host_state(), self.before, "nothing was changed?")
                # The next start cleans up before it does anything else; its
                # own attempt then fails at the node test and changes nothing.
                again = self.connect(0, node=self.dead_node, wait=False)
                self.assertEqual(again.proc.wait(60), 1, again.output()[-3000:])
                self.assertIn("TCP connection test has failed", again.output())
                # ... and says why, on a line of its own.
                self.assertIn(f"vantor: connection refused by the node ({NODE_OWN_ADDR}:{SS_PORT + 1})\n",
                              again.output())
                self.assertRestored(f"after kill -9 in {mode} and a new start")

    def test_cleanup_after_kill9_in_a_browser_mode_restores_the_desktop_proxy(self):
        run_dir = os.path.join(self.home, "run")
        leftovers = [os.path.join(run_dir, name) for name in ("system-proxy.state", "control")]
        for mode in (1, 2):
            with self.subTest(mode=mode):
                proc = self.connect(mode)
                try:
                    changed = self.host_state()["proxy"]
                    self.assertNotEqual(changed, self.before["proxy"], "nothing was changed?")
                    # While the program runs, its settings and files are its own.
                    r = self.vantor("cleanup")
                    self.assertIn(b"vantor is running", r.stdout, r.stdout + r.stderr)
                    self.assertEqual(self.host_state()["proxy"], changed)
                    self.assertEqual([os.path.exists(p) for p in leftovers], [True, True])
                    self.assertEqual(self.vantor("status").returncode, 0)
                finally:
                    proc.signal(signal.SIGKILL)
                    proc.proc.wait(10)
                self.assertEqual(self.host_state()["proxy"], changed)
                r = self.vantor("cleanup")
                out = r.stdout.decode()
                self.assertEqual(r.returncode, 0, out + r.stderr.decode())
                self.assertIn("GNOME proxy settings restored", out)
                self.assertRestored(f"after kill -9 in {mode} and vantor cleanup")
                self.assertEqual([os.path.exists(p) for p in leftovers], [False, False])
                self.assertEqual(self.vantor("status").stdout.decode(), "state: not running\n")

    def test_three_link_losses_in_a_row_each_end_connected_through_the_node(self):
        proc = self.connect("Global wide")
        c = self.topo.client
        tunnelled = self.ask(TARGET_ADDR).get("peer")
        self.assertNotIn(tunnelled, (None, CLIENT_VETH_ADDR), proc.output()[-2000:])
        for loss in range(1, 4):
            with self.subTest(loss=loss):
                disconnects = proc.output().count("Disconnected!")
                netns.run(["ip", "-n", c, "link", "set", self.veth, "down"])
                down = time.monotonic()
                deadline = down + 10
                while proc.output().count("Disconnected!") == disconnects and time.monotonic() < deadline:
                    time.sleep(0.1)
                self.assertEqual(proc.output().count("Disconnected!"), disconnects + 1, proc.output()[-3000:])
                self.assertLess(time.monotonic() - down, 6.5, "the monitor took too long")
                netns.run(["ip", "-n", c, "link", "set", self.veth, "up"])
                netns.run(["ip", "-n", c, "route", "replace", "default", "via", NODE_ADDR])
                # A default route again: the controller connects by itself,
                # in the same process, on a TUN interface made for this
                # connect (the last disconnect deleted the previous one).
                deadline = time.monotonic() + 30
                while proc.output().count("Connected!") < loss + 1 and time.monotonic() < deadline:
                    time.sleep(0.1)
                self.assertEqual(proc.output().count("Connected!"), loss + 1, proc.output()[-3000:])
                self.assertNotIn("not installed", proc.output())
                status = self.vantor("status").stdout.decode()
                self.assertIn("state: connected\n", status)
                # The target is reached through the node, over the tunnel.
                route = self.topo.client_run(["ip", "route", "get", TARGET_ADDR]).stdout.decode()
                self.assertIn("dev KOVAL", route)
                self.assertEqual(self.ask(TARGET_ADDR).get("peer"), tunnelled, proc.output()[-2000:])
        proc.signal(signal.SIGTERM)
        self.assertEqual(proc.proc.wait(30), 0, proc.output()[-3000:])
        self.assertRestored("after three link losses")

    def test_tcp_window_setting_is_advertised_by_every_connect(self):
        # The window the tunnel's stack advertises to a client of the host,
        # as the client's kernel sees it: scaled and growing up to 1 MiB by
        # default, 5840 bytes unscaled with nTcpWindow=5840, up to the
        # setting's size (scaled) with a larger one.
        try:
            for window in (0, 5840, 4194304):
                with self.subTest(nTcpWindow=window):
                    r = self.vantor("settings", "set", "nTcpWindow", str(window))
                    self.assertEqual(r.returncode, 0, r.stdout.decode() + r.stderr.decode())
                    proc = self.connect("Global wide")
                    try:
                        r = self.topo.client_run(["python3", "-c", SEND_WINDOW, TARGET_ADDR, "7"], timeout=60)
                        seen = json.loads(r.stdout.decode().strip().splitlines()[-1])
                    finally:
                        self.stop(proc)
                    self.assertIn("snd_wnd", seen, r.stderr.decode())
                    if window == 5840:
                        self.assertLessEqual(seen["snd_wnd"], 5840, seen)
                    else:
                        self.assertGreater(seen["snd_wnd"], 65535, seen)
                        self.assertLessEqual(seen["snd_wnd"], window or 1048576, seen)
        finally:
            self.vantor("settings", "set", "nTcpWindow", "0")

    def test_localdns_routes_no_lan_dns_server_and_one_connect_path(self):
        # With "localdns" the tunnel's DNS servers are the local network's
        # own: no route may take them into the tunnel (the node cannot reach
        # a LAN's resolver) and none is needed to keep them direct.
        try:
            r = self.vantor("settings", "set", "public_dns1", "localdns")
            self.assertEqual(r.returncode, 0, r.stdout.decode() + r.stderr.decode())
            proc = self.connect("Global wide")
            try:
                routes = netns.run(["ip", "-n", self.topo.client, "-4", "route", "show", "table", "all"]).stdout
                lines = [line for line in routes.decode().splitlines() if line.startswith(CLIENT_DNS)]
                self.assertEqual(lines, [], routes.decode())
                route = self.topo.client_run(["ip", "route", "get", CLIENT_DNS]).stdout.decode()
                self.assertNotIn("KOVAL", route)
                resolv = netns.run(["ip", "netns", "exec", self.topo.client, "cat", "/etc/resolv.conf"]).stdout
                self.assertIn(f"nameserver {CLIENT_DNS}\n".encode(), resolv)
            finally:
                self.stop(proc)
        finally:
            self.vantor("settings", "set", "public_dns1", TARGET_ADDR)
        self.assertRestored("after a connect with localdns")
        # The debugging tunnel plans no mode of its own: it points at connect.
        r = self.vantor("tunnel", "--node", self.node, "--mode", "Global wide")
        self.assertEqual(r.returncode, 2, r.stdout.decode() + r.stderr.decode())
        self.assertIn(b"vantor connect --node NODE --mode Global wide", r.stderr)
        self.assertRestored("after a refused vantor tunnel --mode")

    def test_a_plugin_node_carries_the_host_through_its_plugin(self):
        # The plugin's server side in front of the node's ss-server, and in
        # front of it a gate that drops every connection not opening the
        # plugin's way: what reaches ss-server went through the plugin. UDP
        # goes to the gate's port directly and is relayed to ss-server as it is.
        s = self.topo.server
        plugins = {
            "http": ("obfs-local;obfs=http;obfs-host=example.com", ["obfs-server", "--obfs", "http"]),
            "tls": ("obfs-local;obfs=tls;obfs-host=example.com", ["obfs-server", "--obfs", "tls"]),
            "ws": ("v2ray-plugin", ["ss-v2ray-plugin", "-server"]),
        }
        for i, (mode, (plugin, server)) in enumerate(plugins.items()):
            with self.subTest(plugin=mode):
                server_port, gate_port = SS_PORT + 10 + 2 * i, SS_PORT + 11 + 2 * i
                if server[0] == "obfs-server":
                    argv = server + ["-s", NODE_OWN_ADDR, "-p", str(server_port), "-r", f"{NODE_OWN_ADDR}:{SS_PORT}"]
                else:
                    argv = server + ["-localAddr", NODE_OWN_ADDR, "-localPort", str(server_port), "-remoteAddr",
                                     NODE_OWN_ADDR, "-remotePort", str(SS_PORT)]
                side = self.topo.start(s, argv, f"plugin-server-{mode}")
                self.addCleanup(side.stop)
                self.topo.wait_tcp(s, NODE_OWN_ADDR, server_port, proc=side)
                gate = self.topo.start(s, ["python3", "-u", os.path.join(netns.REPO, "tests", "integration",
                                                                        "plugin_gate.py"),
                                           mode, NODE_OWN_ADDR, str(gate_port), str(server_port), str(SS_PORT)],
                                       f"gate-{mode}")
                self.addCleanup(gate.stop)
                gate.wait_for_line("ready")
                self.connect_through_plugin(plugin, gate_port, gate)

    def connect_through_plugin(self, plugin, gate_port, gate):
        user = base64.urlsafe_b64encode(f"{netns.SS_METHOD}:{netns.SS_PASSWORD}".encode()).decode().rstrip("=")
        node = f"ss://{user}@{NODE_OWN_ADDR}:{gate_port}/?plugin={urllib.parse.quote(plugin, safe='')}"
        proc = self.connect("Global wide", node=node)
        try:
            out = proc.output()
            self.assertIn("UDP is enabled", out)
            plugin_pid = re.search(r"plugin \S+ runs as process (\d+)", out)
            self.assertTrue(plugin_pid, out[-2000:])
            peer = self.ask(TARGET_ADDR).get("peer")
            self.assertTrue(peer, out[-2000:])
            self.assertNotEqual(peer, CLIENT_VETH_ADDR, out[-2000:])
            self.assertIn("admitted", gate.output())
            self.assertNotIn("refused", gate.output())
            # The node's real address keeps its direct route: the plugin's
            # own connection does not loop into the tunnel.
            route = self.topo.client_run(["ip", "route", "get", NODE_OWN_ADDR]).stdout.decode()
            self.assertNotIn("KOVAL", route)
        finally:
            self.stop(proc)
        self.assertFalse(os.path.exists(f"/proc/{plugin_pid.group(1)}"), "the plugin outlived the connection")
        self.assertRestored("after a connect through a plugin node")

if __name__ == "__main__":
    unittest.main()
