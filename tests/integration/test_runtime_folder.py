"""The runtime folder (instance lock, control socket) is used only when it is
the user's own with mode 0700: `vantor connect` refuses to start in any other
and `vantor status` refuses to believe whoever answers there."""

import os
import shutil
import socket
import subprocess
import tempfile
import threading
import unittest

import peers


class RuntimeFolder(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="vantor-runtime-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.run_dir = os.path.join(self.home, "run")

    def vantor(self, *args):
        env = dict(os.environ, VANTOR_CONFIG_DIR=os.path.join(self.home, "config"),
                   VANTOR_RUNTIME_DIR=self.run_dir)
        # Should the check ever let `connect` through, whatever it changes
        # stays in a network namespace of its own.
        jail = ["unshare", "-n"] if os.geteuid() == 0 and args[0] == "connect" else []
        r = subprocess.run([*jail, peers.vantor_bin(), *args], env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=20)
        return r.returncode, r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")

    def fake_instance(self):
        """A control socket in the runtime folder that claims a connection;
        returns a list that collects every client it gets."""
        server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        server.bind(os.path.join(self.run_dir, "control"))
        server.listen(4)
        server.settimeout(0.2)
        clients, stop = [], threading.Event()

        def serve():
            while not stop.is_set():
                try:
                    conn, _ = server.accept()
                except OSError:
                    continue
                clients.append(conn)
                conn.sendall(b"ok\nstate: connected\nnode: somebody else's\n")
                conn.close()

        t = threading.Thread(target=serve, daemon=True)
        t.start()
        self.addCleanup(server.close)
        self.addCleanup(t.join)
        self.addCleanup(stop.set)
        return clients

    def assert_refused(self, code, err, what):
        self.assertNotEqual(code, 0)
        self.assertIn(f"the runtime folder {self.run_dir} {what}", err)

    def test_a_folder_open_to_others_is_refused_by_connect_and_status(self):
        os.mkdir(self.run_dir)
        os.chmod(self.run_dir, 0o755)
        clients = self.fake_instance()
        code, _, err = self.vantor("connect", "--node", "socks5://127.0.0.1:9")
        self.assert_refused(code, err, "is open to other users (mode 0755)")
        self.assertEqual(sorted(os.listdir(self.run_dir)), ["control"], "nothing is created in it")
        code, out, err = self.vantor("status")
        self.assert_refused(code, err, "is open to other users (mode 0755)")
        self.assertNotIn("connected", out)
        self.assertEqual(clients, [], "the socket there was not even asked")

    @unittest.skipUnless(os.geteuid() == 0, "needs root to give a folder to another user")
    def test_a_folder_of_another_user_is_refused_even_when_private(self):
        # Another user made the /tmp fallback first, with a socket that
        # answers like the user's own program.
        os.mkdir(self.run_dir, 0o700)
        clients = self.fake_instance()
        os.chown(self.run_dir, 65534, 65534)
        code, out, err = self.vantor("status")
        self.assert_refused(code, err, "belongs to user 65534, not to this user (0)")
        self.assertNotIn("connected", out)
        self.assertEqual(clients, [])
        code, _, err = self.vantor("connect", "--node", "socks5://127.0.0.1:9")
        self.assert_refused(code, err, "belongs to user 65534")
        self.assertEqual(os.listdir(self.run_dir), ["control"])

    def test_status_without_a_folder_is_simply_not_running(self):
        code, out, _ = self.vantor("status")
        self.assertNotEqual(code, 0)
        self.assertEqual(out, "state: not running\n")
        self.assertFalse(os.path.exists(self.run_dir))


if __name__ == "__main__":
    unittest.main()
