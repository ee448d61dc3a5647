# ctest-timeout: 600
"""The privileged network helper with a user who is not root, in network
namespaces.

The namespaces hold what test_connect's do: the client namespace has its own
resolver and a default route through the veth gateway; the server namespace
holds ss-server (with UDP), an HTTP target, a "whoami" server and the DNS
server the settings name. `vantor-helper` runs as root in the client
namespace on a socket of the test's; the user is a uid without a name
(setpriv), in the helper's group or not.
"""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import netns
from netns import CLIENT_VETH_ADDR, NODE_ADDR, TARGET_ADDR
from test_connect import ASK, DNS_ANSWER, DNS_NAME, RESOLVE, WHOAMI_PORT, connect_world

SKIP = netns.can_run() or (None if shutil.which("setpriv") else "needs setpriv (util-linux)")

USER_UID = 47011
GROUP_GID = 47012

# Speaks the helper's protocol directly: each line of the file named first is
# one request; prints the answers as a JSON list. With "hold", it then waits
# for stdin to close before it leaves (so a session stays open).
RAW = r"""
import json, os, socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(os.environ["VANTOR_HELPER_SOCKET"])
f = s.makefile("rb")
answers = []
for line in open(sys.argv[1]).read().splitlines():
    if line == "hold":
        print(json.dumps(answers), flush=True)
        sys.stdin.read()
        sys.exit(0)
    s.sendall(line.encode() + b"\n")
    answers.append(json.loads(f.readline()))
print(json.dumps(answers), flush=True)
"""


def helper_bin():
    path = os.environ.get("VANTOR_HELPER_BIN") or os.path.join(netns.REPO, "build", "src", "helper",
                                                                  "vantor-helper")
    if not os.access(path, os.X_OK):
        raise netns.TopologyError(f"vantor-helper not found at {path} (set VANTOR_HELPER_BIN)")
    return path


class HelperTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if SKIP:
            raise unittest.SkipTest(SKIP)
        cls.topo = topo = netns.Topology()
        cls.addClassCleanup(topo.close)
        connect_world(cls)
        run = netns.run

        # The helper's folders: the socket's is root's and open to read, the
        # state folder root's alone.
        cls.helper_dir = tempfile.mkdtemp(prefix="vantor-helper-")
        cls.addClassCleanup(shutil.rmtree, cls.helper_dir, True)
        os.chmod(cls.helper_dir, 0o755)
        cls.socket = os.path.join(cls.helper_dir, "sock", "helper.sock")
        cls.state = os.path.join(cls.helper_dir, "state")

        # The user's own folders, owned by the user.
        cls.home = os.path.join(cls.helper_dir, "home")
        os.makedirs(os.path.join(cls.home, "config", "config"))
        with open(os.path.join(cls.home, "config", "config", "config.ini"), "w") as f:
            f.write("[basic]\n"
                    f"public_dns1={TARGET_ADDR}\npublic_dns2=\n"
                    f"TestSites=http://{TARGET_ADDR}/file.bin\n"
                    f"UdpTestPairs={TARGET_ADDR},{DNS_NAME}\n"
                    "AutomaticHideWindow=0\n")
        run(["chown", "-R", f"{USER_UID}:{USER_UID}", cls.home])
        cls.env = [f"HOME={cls.home}", f"VANTOR_CONFIG_DIR={cls.home}/config", f"VANTOR_RUNTIME_DIR={cls.home}/run",
                   f"VANTOR_HELPER_SOCKET={cls.socket}", "GSETTINGS_BACKEND=keyfile",
                   f"XDG_CONFIG_HOME={cls.home}/xdg", "XDG_CURRENT_DESKTOP=GNOME"]
        if cls.as_user(["test", "-x", netns.vantor_bin()]).returncode != 0:
            raise unittest.SkipTest(f"{netns.vantor_bin()} cannot be run by another user from where it lies")
        cls.helper = cls.start_helper()
        cls.before = cls.host_state()

    # -- helpers --------------------------------------------------------------

    @classmethod
    def user(cls, in_group=True):
        groups = ["--groups", str(GROUP_GID)] if in_group else ["--clear-groups"]
        return ["setpriv", "--reuid", str(USER_UID), "--regid", str(USER_UID), *groups, "env", *cls.env]

    @classmethod
    def as_user(cls, argv, in_group=True, timeout=60):
        return cls.topo.client_run(cls.user(in_group) + argv, timeout=timeout)

    @classmethod
    def start_helper(cls):
        p = cls.topo.start(cls.topo.client, [helper_bin(), "--socket", cls.socket, "--group", str(GROUP_GID),
                                             "--state-dir", cls.state], "helper")
        p.wait_for_line("listening on", timeout=10)
        return p

    @classmethod
    def host_state(cls):
        c = cls.topo.client
        routes = netns.run(["ip", "-n", c, "-4", "route", "show", "table", "all"]).stdout.decode()
        # The kernel's own IPv6 routes come and go with address
        # autoconfiguration; ours never carry "proto kernel".
        routes6 = "".join(line for line in netns.run(["ip", "-n", c, "-6", "route", "show", "table", "all"])
                          .stdout.decode().splitlines(True) if "proto kernel" not in line)
        resolv = netns.run(["ip", "netns", "exec", c, "cat", "/etc/resolv.conf"]).stdout
        links = netns.run(["ip", "-n", c, "-o", "link", "show"]).stdout.decode()
        return {"routes": routes, "routes6": routes6, "resolv.conf": resolv,
                "links": sorted(line.split(":")[1].strip().split("@")[0] for line in links.splitlines())}

    def assertRestored(self, context):
        after = self.host_state()
        for key in self.before:
            self.assertEqual(after[key], self.before[key], f"{key} differs {context}")

    def wait_restored(self, limit):
        """Seconds until the host is as before (fails past `limit`)."""
        started = time.monotonic()
        while time.monotonic() - started < limit + 2:
            if self.host_state() == self.before:
                return time.monotonic() - started
            time.sleep(0.05)
        self.assertRestored(f"{limit + 2} s later")
        return None

    def connect(self):
        p = self.topo.start(self.topo.client, self.user() + [netns.vantor_bin(), "connect", "--node", self.node,
                                                              "--mode", "Global wide"], "user-vantor")
        p.wait_for_line("Connected!", timeout=40)
        return p

    def ask(self, host, port=WHOAMI_PORT):
        r = self.topo.client_run(["python3", "-c", ASK, host, str(port)], timeout=30)
        return json.loads(r.stdout.decode().strip().splitlines()[-1])

    def resolve(self, name):
        r = self.topo.client_run(["python3", "-c", RESOLVE, name], timeout=30)
        return json.loads(r.stdout.decode().strip().splitlines()[-1])

    def requests(self, *lines):
        """A file of request lines the user can read."""
        fd, path = tempfile.mkstemp(dir=self.helper_dir)
        with os.fdopen(fd, "w") as f:
            f.write("\n".join(lines) + "\n")
        os.chmod(path, 0o644)
        self.addCleanup(os.unlink, path)
        return path

    def raw(self, *lines, in_group=True):
        r = self.as_user(["python3", "-c", RAW, self.requests(*lines)], in_group=in_group)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        return json.loads(r.stdout.decode().strip().splitlines()[-1])

    # -- tests ----------------------------------------------------------------

    def test_group_member_connects_and_the_helper_alone_undoes_a_kill(self):
        self.assertEqual(self.ask(TARGET_ADDR).get("peer"), CLIENT_VETH_ADDR)
        proc = self.connect()
        self.assertNotEqual(self.ask(TARGET_ADDR).get("peer"), CLIENT_VETH_ADDR, proc.output()[-2000:])
        # DNS goes only through the tunnel: the settings' server hears the
        # query from the node's side, the client's own resolver nothing.
        queries_before = self.client_dns.output().count(DNS_NAME)
        self.assertEqual(self.resolve(DNS_NAME).get("address"), DNS_ANSWER)
        self.assertEqual(self.client_dns.output().count(DNS_NAME), queries_before)
        self.assertIn(DNS_NAME, self.server_dns.output())
        self.assertNotIn(f"from {CLIENT_VETH_ADDR}", self.server_dns.output())

        r = self.as_user([netns.vantor_bin(), "status"])
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertIn("state: connected\n", r.stdout.decode())
        r = self.as_user([netns.vantor_bin(), "disconnect"])
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertEqual(proc.proc.wait(30), 0, proc.output()[-3000:])
        self.assertRestored("after vantor disconnect")

        proc = self.connect()
        self.assertNotEqual(self.host_state(), self.before)
        proc.signal(signal.SIGKILL)
        proc.proc.wait(10)
        took = self.wait_restored(3.0)
        self.assertIsNotNone(took)
        self.assertLess(took, 3.0, "the helper took too long to put the host back")
        # The helper says what it undid for whom (logged once it is done).
        self.helper.wait_for_line(f"uid {USER_UID}: removed the interface", timeout=3)

    def test_a_user_outside_the_group_is_refused_and_nothing_changes(self):
        r = self.as_user([netns.vantor_bin(), "connect", "--node", self.node, "--mode", "Global wide"],
                         in_group=False)
        text = r.stdout.decode() + r.stderr.decode()
        self.assertEqual(r.returncode, 1, text)
        self.assertIn("no right to change the network", text)
        self.assertIn("usermod -aG vantor", text)
        # The failure's message carries the reason on a line of its own.
        self.assertIn("vantor: TUN virtual network interface driver install failed.\n"
                      "vantor: no right to change the network: join the group 'vantor' "
                      "(sudo usermod -aG vantor $USER, then log in again) or run as root\n", r.stderr.decode())
        self.assertNotIn("Connected!", text)
        self.assertRestored("after a refused connect")
        # Not even a request of its own gets through: the socket is not
        # the user's to open.
        r = self.as_user(["python3", "-c", RAW, self.requests('{"op":"status"}')], in_group=False)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("PermissionError", r.stderr.decode())

    def test_requests_outside_the_helpers_rights_are_refused(self):
        many = json.dumps({"op": "routes_add", "via": "tunnel",
                           "routes": [f"10.{i // 256}.{i % 256}.0/24" for i in range(9000)]})
        answers = self.raw(
            '{"op":"tun_configure","name":"lo"}',
            '{"op":"tun_configure"}',
            '{"op":"routes_add","via":"eth0","routes":["10.77.0.0/16"]}',
            '{"op":"routes_add","via":"direct","ifindex":1,"routes":["10.77.0.0/16"]}',
            '{"op":"dns","servers":["10.88.0.53"],"link":1}',
            '{"op":"routes_delete","routes":["0.0.0.0/0"]}',
            many, many,
            '{"op":"undo","path":"/etc/hostname"}',
            '{"op":"status"}')
        errors = [a.get("error", "") for a in answers]
        self.assertIn("only root may name the interface", errors[0])
        self.assertTrue(answers[1]["ok"], errors[1])
        self.assertIn("\"tunnel\" or \"direct\" only", errors[2])
        self.assertIn("\"ifindex\" is not a field", errors[3])
        self.assertIn("\"link\" is not a field", errors[4])
        self.assertTrue(answers[5]["ok"])  # nothing of this session's: nothing deleted
        self.assertTrue(answers[6]["ok"], errors[6])
        self.assertIn("at most 16384 routes", errors[7])
        self.assertIn("\"path\" is not a field", errors[8])
        self.assertTrue(answers[9]["holding"])
        # The session ended with the connection: the host is as it was,
        # default route included.
        self.wait_restored(3.0)
        # The state folder is the helper's alone.
        self.assertNotEqual(self.as_user(["test", "-w", self.state]).returncode, 0)
        self.assertNotEqual(self.as_user(["ls", self.state]).returncode, 0)

    def test_a_killed_helper_puts_the_host_back_at_its_next_start(self):
        lines = self.requests('{"op":"tun_configure"}', '{"op":"block_ipv6"}',
                              '{"op":"routes_add","via":"tunnel","routes":["0.0.0.0/1","128.0.0.0/1"]}',
                              '{"op":"dns","servers":["10.88.0.53"]}', "hold")
        holder = subprocess.Popen(["ip", "netns", "exec", self.topo.client, *self.user(), "python3", "-c", RAW, lines],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            answers = json.loads(holder.stdout.readline())
            self.assertTrue(all(a["ok"] for a in answers), answers)
            changed = self.host_state()
            self.assertNotEqual(changed["routes"], self.before["routes"])
            self.assertNotEqual(changed["resolv.conf"], self.before["resolv.conf"])
            # One session holds the network at a time; the next is told whose.
            second = self.raw('{"op":"tun_configure"}')
            self.assertIn(f"in use by another Vantor connection (uid {USER_UID})", second[0].get("error", ""))
            self.helper.signal(signal.SIGKILL)
            self.helper.proc.wait(10)
        finally:
            holder.stdin.close()
            holder.wait(10)
            holder.stdout.close()
            holder.stderr.close()
        try:
            # The dead helper put nothing back (the link only lost its
            # carrier with the descriptor).
            left = self.host_state()
            self.assertIn("128.0.0.0/1 via 10.198.75.61", left["routes"])
            self.assertIn("10.88.0.53", left["resolv.conf"].decode())
        finally:
            type(self).helper = self.start_helper()
        self.assertRestored("after the helper's restart")


if __name__ == "__main__":
    unittest.main()
