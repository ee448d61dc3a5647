# ctest-timeout: 300
"""`vantor.exe nodes` and `vantor.exe settings` under Wine with a %APPDATA%
whose name is not ASCII: what one process writes the next reads, the files
land in %APPDATA%\\Vantor\\config and nowhere else, and they are written as
the Windows program writes them (UTF-16 LE with a byte order mark, CRLF line
ends). A file in the Linux layout (UTF-8, LF) is read, and rewritten in the
Windows one."""

import glob
import os
import shutil
import subprocess
import unittest
import urllib.parse

import wine_env
from wine_env import peers

NODE_NAME = "Zürich-узел-节点"


def setUpModule():
    wine_env.setup()


class StoredFiles(unittest.TestCase):
    def setUp(self):
        if wine_env.native():
            self.skipTest("the Windows file layout is only checked under Wine")
        self.root = os.path.join(wine_env.appdata(), "Vantor")
        shutil.rmtree(self.root, ignore_errors=True)
        self.addCleanup(shutil.rmtree, self.root, True)

    def ok(self, *args):
        r = subprocess.run([peers.vantor_bin(), *args], stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=60)
        self.assertEqual(r.returncode, 0, f"vantor {' '.join(args)}: {r.stderr.decode(errors='replace')}")
        return r.stdout.decode("utf-8", "replace").replace("\r\n", "\n")

    def path(self, name):
        return os.path.join(self.root, "config", name)

    def windows_text(self, name):
        """The file's text, after checking that it is UTF-16 LE with a byte
        order mark and that every line ends in CRLF."""
        with open(self.path(name), "rb") as f:
            data = f.read()
        self.assertEqual(data[:2], b"\xff\xfe", f"{name} has no UTF-16 LE byte order mark: {data[:40]!r}")
        text = data[2:].decode("utf-16-le")  # strict: an odd length or a lone surrogate fails
        self.assertGreater(text.count("\n"), 1, name)
        self.assertEqual(text.count("\n"), text.count("\r\n"), f"{name} has line ends other than CRLF")
        self.assertNotIn("\r\r", text, name)
        return text.replace("\r\n", "\n")

    def test_nodes_and_settings_round_trip(self):
        link = f"ss://aes-256-gcm:pw@10.9.0.1:8388#{urllib.parse.quote(NODE_NAME)}"
        self.assertIn("added node 0", self.ok("nodes", "add", link))
        self.assertIn("added node 1", self.ok("nodes", "add", "socks5://10.9.0.3:1080"))
        rows = [line.split("\t") for line in self.ok("nodes", "list").splitlines() if line]
        self.assertEqual([r[1] for r in rows], ["0", "1"], rows)
        self.assertEqual(rows[0][3:5], ["SR", f"[SR] {NODE_NAME}"])
        self.assertEqual(rows[1][3:5], ["S5", "[S5] 10.9.0.3:1080"])

        self.ok("settings", "set", "DelayedConnect", "45")
        self.ok("settings", "set", "public_dns1", "10.88.0.53")
        self.assertEqual(self.ok("settings", "get", "DelayedConnect").strip(), "45")
        self.assertEqual(self.ok("settings", "get", "public_dns1").strip(), "10.88.0.53")

        nodes = self.windows_text("nodes.ini")
        self.assertIn(f"remarks={NODE_NAME}\n", nodes)
        self.assertIn("server=10.9.0.1\n", nodes)
        self.assertIn("server=10.9.0.3\n", nodes)
        config = self.windows_text("config.ini")
        self.assertIn("DelayedConnect=45\n", config)
        self.assertIn("public_dns1=10.88.0.53\n", config)
        # Nothing went to the prefix's own profile folder instead.
        prefix = os.environ["WINEPREFIX"]
        self.assertEqual(glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Roaming", "Vantor")),
                         [])

    def test_a_linux_file_is_read_and_rewritten_as_windows_writes(self):
        os.makedirs(os.path.dirname(self.path("config.ini")))
        with open(self.path("config.ini"), "wb") as f:
            f.write(f"[basic]\nDelayedConnect=7\nstrOnlinePacUrl=http://{NODE_NAME}.example/\n".encode())
        self.assertEqual(self.ok("settings", "get", "DelayedConnect").strip(), "7")
        self.ok("settings", "set", "public_dns1", "10.88.0.54")
        config = self.windows_text("config.ini")
        self.assertIn("DelayedConnect=7\n", config)
        self.assertIn(f"strOnlinePacUrl=http://{NODE_NAME}.example/\n", config)
        self.assertIn("public_dns1=10.88.0.54\n", config)


if __name__ == "__main__":
    unittest.main()
