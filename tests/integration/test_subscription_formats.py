"""`vantor subs refresh` with JSON server lists and Clash configurations served
by a local HTTP server: the stored nodes carry their plugins, every entry left
out is named with its line and reason, a second refresh duplicates nothing,
and damaged answers change no node."""

import base64
import json
import unittest

from catalogue_env import ConfigHome, RecordingHttpServer


def node_sections(text):
    """The node file as a list of {key: value} per node section."""
    nodes, current = [], None
    for line in text.splitlines():
        if line.startswith("[node"):
            current = {}
            nodes.append(current)
        elif current is not None and "=" in line:
            key, value = line.split("=", 1)
            current[key] = value
    return nodes


SERVER_LIST = json.dumps({
    "version": 1,
    "servers": [
        {"id": "a", "remarks": "plain", "server": "10.6.0.1", "server_port": 8388,
         "password": "pw1", "method": "aes-256-gcm"},
        {"id": "b", "remarks": "obfs", "server": "10.6.0.2", "server_port": 8389,
         "password": "pw2", "method": "chacha20-ietf-poly1305",
         "plugin": "obfs-local", "plugin_opts": "obfs=http;obfs-host=cdn.example"},
        {"id": "c", "remarks": "bad-cipher", "server": "10.6.0.3", "server_port": 8388,
         "password": "pw3", "method": "aes-256-gmc"},
        {"id": "d", "remarks": "no-port", "server": "10.6.0.4", "password": "pw4", "method": "aes-256-gcm"},
        "not an object",
    ],
}, indent=2)

CLASH = """\
port: 7890
mode: rule
proxies:
  - name: "ss-obfs"
    type: ss
    server: 10.5.0.1
    port: 8388
    cipher: aes-128-gcm
    password: "pw-a"
    plugin: obfs
    plugin-opts:
      mode: tls
      host: bing.example
  - name: "ss-ws"
    type: ss
    server: 10.5.0.2
    port: 443
    cipher: chacha20-ietf-poly1305
    password: "pw-b"
    plugin: v2ray-plugin
    plugin-opts:
      mode: websocket
      host: ws.example
      path: "/ray"
      tls: true
  - name: "ssr-one"
    type: ssr
    server: 10.5.0.3
    port: 9000
    cipher: aes-256-cfb
    password: "pw-c"
    protocol: auth_aes128_md5
    protocol-param: "64:key"
    obfs: tls1.2_ticket_auth
    obfs-param: front.example
  - name: "socks"
    type: socks5
    server: 10.5.0.4
    port: 1080
    username: user
    password: "pw-d"
  - name: "vmess-node"
    type: vmess
    server: 10.5.0.5
    port: 443
  - name: "kcp"
    type: ss
    server: 10.5.0.6
    port: 8388
    cipher: aes-128-gcm
    password: x
    plugin: kcptun
  - name: "bad-obfs"
    type: ssr
    server: 10.5.0.7
    port: 9000
    cipher: aes-256-cfb
    password: x
    protocol: origin
    obfs: made_up
proxy-groups:
  - name: auto
    type: select
    proxies: [ss-obfs]
"""


class SubscriptionFormats(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.http = RecordingHttpServer({
            "/sip008": (200, SERVER_LIST.encode()),
            "/clash": (200, CLASH.encode()),
            "/broken-json": (200, b'{"version": 1, "servers": [ {"server": '),
            "/broken-yaml": (200, b"proxies:\n  - name: [unclosed\n    type: ss\n"),
            "/no-proxies": (200, b"proxies:\n  just: a map\n"),
            "/deep-json": (200, b"{\"servers\": " + b"[" * 100000),
        })
        cls.addClassCleanup(cls.http.stop)

    def setUp(self):
        self.home = ConfigHome()
        self.addCleanup(self.home.remove)

    def subscribe(self, path):
        url = self.http.base + path
        self.home.ok(self, "subs", "add", url, "--frequency", "0")
        return url

    def nodes(self):
        return node_sections(self.home.read("nodes.ini").decode())

    def test_server_list_keeps_plugins_and_names_what_it_leaves_out(self):
        h = self.home
        h.ok(self, "nodes", "add", "socks5://10.6.9.9:1080")
        url = self.subscribe("/sip008")
        for attempt in range(2):
            code, out, err = h.run("subs", "refresh", url)
            self.assertEqual(code, 0, err)
            self.assertIn("2 nodes in group 127.0.0.1", out)
            self.assertIn("3 lines not added", out)
            # Every refused entry with the line it starts on and why.
            self.assertIn(f"{url}: line 22: server \"bad-cipher\": Unsupported encryption: aes-256-gmc", err)
            self.assertIn(f"{url}: line 30: server \"no-port\": no valid port", err)
            self.assertIn(f"{url}: line 37: server entry 5: not an object", err)
            nodes = self.nodes()
            # The node added by hand and the two offered; no duplicates after
            # the second refresh.
            self.assertEqual(sorted(n["server"] for n in nodes), ["10.6.0.1", "10.6.0.2", "10.6.9.9"], attempt)
            obfs = next(n for n in nodes if n["server"] == "10.6.0.2")
            self.assertEqual(obfs["port"], "8389")
            self.assertEqual(obfs["method"], "chacha20-ietf-poly1305")
            self.assertEqual(obfs["password"], "pw2")
            self.assertEqual(obfs["remarks"], "obfs")
            self.assertEqual(obfs["plugin"], "obfs-local")
            self.assertEqual(obfs["plugin_opts"], "obfs=http;obfs-host=cdn.example")
            plain = next(n for n in nodes if n["server"] == "10.6.0.1")
            self.assertNotIn("plugin", plain)
        # The second refresh replaced the two rather than adding two more.
        self.assertIn("(2 added, 2 removed, 3 lines not added)", out)

    def test_clash_configuration_maps_plugins_and_kinds(self):
        h = self.home
        url = self.subscribe("/clash")
        for attempt in range(2):
            code, out, err = h.run("subs", "refresh", url)
            self.assertEqual(code, 0, err)
            self.assertIn("4 nodes in group", out)
            self.assertIn(f"{url}: line 42: proxy \"vmess-node\": type vmess is not supported", err)
            self.assertIn(f"{url}: line 46: proxy \"kcp\": plugin kcptun is not supported", err)
            self.assertIn(f"{url}: line 53: proxy \"bad-obfs\": obfs made_up is not supported", err)
            nodes = {n["remarks"]: n for n in self.nodes()}
            self.assertEqual(sorted(nodes), ["socks", "ss-obfs", "ss-ws", "ssr-one"], attempt)
        self.assertEqual(nodes["ss-obfs"]["plugin"], "obfs-local")
        self.assertEqual(nodes["ss-obfs"]["plugin_opts"], "obfs=tls;obfs-host=bing.example")
        self.assertEqual(nodes["ss-obfs"]["method"], "aes-128-gcm")
        self.assertEqual(nodes["ss-ws"]["plugin"], "v2ray-plugin")
        self.assertEqual(nodes["ss-ws"]["plugin_opts"], "mode=websocket;host=ws.example;path=/ray;tls")
        ssr = nodes["ssr-one"]
        self.assertEqual((ssr["type"], ssr["port"], ssr["protocol"], ssr["protocolparam"], ssr["obfs"],
                          ssr["obfsparam"], ssr["password"]),
                         ("6", "9000", "auth_aes128_md5", "64:key", "tls1.2_ticket_auth", "front.example", "pw-c"))
        self.assertNotIn("plugin", ssr)
        socks = nodes["socks"]
        self.assertEqual((socks["type"], socks["username"], socks["password"]), ("5", "user", "pw-d"))

        # The stored plugin node, its program not installed, is refused at
        # test time rather than tested without its plugin.
        ids = {r.split("\t")[4]: r.split("\t")[1] for r in h.ok(self, "nodes", "list").splitlines() if r}
        path = h.env["PATH"]
        h.env["PATH"] = "/nonexistent"
        try:
            code, _, err = h.run("test", ids["[SR] ss-obfs"])
        finally:
            h.env["PATH"] = path
        self.assertEqual(code, 2, err)
        self.assertIn("The Shadowsocks plugin obfs-local was not found", err)

        # Export writes the plugin form back; adding that link gives a node
        # with the same fields (the ShadowsocksR node too).
        user = base64.urlsafe_b64encode(b"chacha20-ietf-poly1305:pw-b").decode().rstrip("=")
        link = h.ok(self, "nodes", "link", ids["[SR] ss-ws"]).strip()
        self.assertEqual(link, f"ss://{user}@10.5.0.2:443/?plugin=v2ray-plugin%3Bmode%3Dwebsocket%3Bhost%3Dws.example"
                               "%3Bpath%3D%2Fray%3Btls#ss-ws")
        for name in ("ss-ws", "ssr-one", "socks"):
            link = h.ok(self, "nodes", "link", ids["[" + ("S5" if name == "socks" else "SR") + "] " + name]).strip()
            self.assertIn("added node", h.ok(self, "nodes", "add", link))
            copies = [n for n in self.nodes() if n.get("remarks") == name or
                      (name == "socks" and n["type"] == "5")]
            self.assertEqual(len(copies), 2, name)
            keys = ("type", "server", "port", "username", "password", "method", "protocol", "protocolparam", "obfs",
                    "obfsparam", "plugin", "plugin_opts")
            self.assertEqual([copies[0].get(k) for k in keys], [copies[1].get(k) for k in keys], name)

    def test_damaged_answers_change_nothing(self):
        h = self.home
        good = self.subscribe("/sip008")
        h.ok(self, "subs", "refresh", good)
        before = h.read("nodes.ini")
        cases = {"/broken-json": "not valid JSON", "/broken-yaml": "not valid YAML (line 3): end of sequence flow not found",
                 "/no-proxies": "no \"proxies\" list", "/deep-json": "not valid JSON"}
        for path, message in cases.items():
            with self.subTest(path=path):
                url = self.subscribe(path)
                code, _, err = h.run("subs", "refresh", url)
                self.assertEqual(code, 1, err)
                self.assertIn(message, err)
                self.assertEqual(h.read("nodes.ini"), before)


if __name__ == "__main__":
    unittest.main()
