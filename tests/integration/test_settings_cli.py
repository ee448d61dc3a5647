"""`vantor settings`: config.ini kept across runs, refused values, a failed
write that leaves the old file, and the autostart entry."""

import os
import unittest

from catalogue_env import ConfigHome


class SettingsCommand(unittest.TestCase):
    def setUp(self):
        self.home = ConfigHome()
        self.addCleanup(self.home.remove)

    def test_values_survive_into_the_next_process(self):
        h = self.home
        self.assertEqual(h.ok(self, "settings", "get", "bGlobalMode").strip(), "0")  # new file defaults
        h.ok(self, "settings", "set", "DelayedConnect", "45")
        h.ok(self, "settings", "set", "public_select_dns_name", "Google DNS")
        h.ok(self, "settings", "set", "GeoServices", "http://127.0.0.1:1/,http://127.0.0.1:2/")
        self.assertEqual(h.ok(self, "settings", "get", "delayedconnect").strip(), "45")
        self.assertEqual(h.ok(self, "settings", "get", "public_dns2").strip(), "8.8.4.4")
        self.assertEqual(h.ok(self, "settings", "get", "GeoServices").strip(),
                         "http://127.0.0.1:1/,http://127.0.0.1:2/")
        self.assertEqual(os.stat(h.path("config.ini")).st_mode & 0o777, 0o600)
        # The file now has its section: missing keys take the load defaults.
        self.assertEqual(h.ok(self, "settings", "get", "bGlobalMode").strip(), "0")
        h.write("config.ini", "[basic]\nDelayedConnect=7\n")
        self.assertEqual(h.ok(self, "settings", "get", "bGlobalMode").strip(), "1")

    def test_list_shows_every_key_with_its_value_and_hides_secrets(self):
        h = self.home
        h.ok(self, "settings", "set", "public_dns1", "10.88.0.53")
        h.ok(self, "settings", "set", "password", "hunter2")
        listed = dict(line.split("=", 1) for line in h.ok(self, "settings", "list").splitlines())
        self.assertEqual(listed["public_dns1"], "10.88.0.53")
        self.assertEqual(listed["DelayedConnect"], h.ok(self, "settings", "get", "DelayedConnect").strip())
        self.assertEqual(listed["password"], "(set)")
        self.assertEqual(listed["username"], "")
        self.assertIn("nTcpWindow", listed)
        self.assertGreater(len(listed), 40)

    def test_refused_values_write_nothing(self):
        h = self.home
        h.ok(self, "settings", "set", "DelayedConnect", "20")
        before = h.read("config.ini")
        for key, value, message in [("DelayedConnect", "0", "1-300"),
                                    ("public_dns1", "0.0.0.0", "Primary DNS must be specific!"),
                                    ("bDontProxyUDP", "perhaps", "0 or 1"),
                                    ("NoSuchKey", "1", "unknown setting")]:
            with self.subTest(key=key, value=value):
                code, _, err = h.run("settings", "set", key, value)
                self.assertEqual(code, 2)
                self.assertEqual(len(err.strip().splitlines()), 1, err)
                self.assertIn(message, err)
                self.assertEqual(h.read("config.ini"), before)

    def test_failed_write_leaves_the_previous_file(self):
        h = self.home
        h.ok(self, "settings", "set", "strOnlinePacUrl", "http://first.example/")
        before = h.read("config.ini")
        # The new file is cut off after 100 bytes, as on a full disk.
        code, _, err = h.run("settings", "set", "strOnlinePacUrl", "http://second.example/",
                             file_size_limit=100)
        self.assertEqual(code, 1)
        self.assertIn("cannot save the settings", err)
        self.assertEqual(h.read("config.ini"), before)
        self.assertEqual(sorted(os.listdir(os.path.dirname(h.path("config.ini")))), ["config.ini"])
        self.assertEqual(h.ok(self, "settings", "get", "strOnlinePacUrl").strip(), "http://first.example/")

    def test_startup_adds_and_removes_the_autostart_entry(self):
        h = self.home
        entry = os.path.join(h.root, "autostart", "vantor.desktop")
        h.ok(self, "settings", "set", "startup", "1")
        with open(entry) as f:
            text = f.read()
        self.assertIn("Exec=", text)
        self.assertIn(h.config, text)
        h.ok(self, "settings", "set", "startup", "0")
        self.assertFalse(os.path.exists(entry))


if __name__ == "__main__":
    unittest.main()
