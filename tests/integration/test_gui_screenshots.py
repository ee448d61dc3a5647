"""`vantor gui --screenshot DIR` on Qt's offscreen platform: the main window,
the traffic window and every dialog are drawn into non-empty PNG files from
the stored configuration, without a display, a running instance or a change
on the host; the node link dialog's QR code reads back to `vantor nodes
link`. And every text of the window and its dialogs has its Chinese
translation in lang/zh_CN.po.
"""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest

import peers
from catalogue_env import ConfigHome

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

SHOTS = ["main_window", "traffic_window", "loading", "dialog_socks_node", "dialog_ss_node", "dialog_link",
         "dialog_batch_links", "dialog_settings", "dialog_additional_routes", "dialog_events",
         "dialog_subscriptions", "dialog_subscription_edit", "test_window", "action_logs", "about",
         "dialog_node_link", "tray_menu"]


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if len(head) < 24 or head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


def built_for_tsan(binary):
    r = subprocess.run(["ldd", binary], capture_output=True, timeout=30)
    return b"libtsan" in r.stdout


class ScreenshotTest(unittest.TestCase):
    def test_every_window_and_dialog_is_drawn(self):
        binary = peers.vantor_bin()
        if built_for_tsan(binary):
            self.skipTest("Qt is not built for ThreadSanitizer")
        home = ConfigHome()
        self.addCleanup(shutil.rmtree, home.root, True)
        env = dict(home.env, QT_QPA_PLATFORM="offscreen", VANTOR_RUNTIME_DIR=os.path.join(home.root, "run"),
                   ASAN_OPTIONS="detect_leaks=0")
        env.pop("DISPLAY", None)
        for link in ("socks5://192.0.2.1:1080", "ss://aes-256-gcm:pw@192.0.2.2:8388#Home"):
            r = subprocess.run([binary, "nodes", "add", link], env=env, capture_output=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr.decode())
        out = tempfile.mkdtemp(prefix="vantor-shots-")
        self.addCleanup(shutil.rmtree, out, True)
        r = subprocess.run([binary, "gui", "--screenshot", out], env=env, capture_output=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stdout.decode() + r.stderr.decode())
        for name in SHOTS:
            path = os.path.join(out, name + ".png")
            self.assertTrue(os.path.exists(path), name)
            size = png_size(path)
            self.assertIsNotNone(size, f"{name} is no PNG")
            self.assertGreater(size[0], 100, name)
            self.assertGreater(size[1], 40, name)
            self.assertGreater(os.path.getsize(path), 1500, name)
        # Nothing was started: no instance lock, no control endpoint.
        self.assertFalse(os.path.exists(os.path.join(home.root, "run", "control")))
        # The link dialog's QR code (of the Shadowsocks node, id 1) reads back
        # to the link the command line prints for it.
        if shutil.which("zbarimg"):
            r = subprocess.run([binary, "nodes", "link", "1"], env=env, capture_output=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr.decode())
            link = r.stdout.decode().strip()
            self.assertTrue(link.startswith("ss://"), link)
            scan = subprocess.run(["zbarimg", "--raw", "-q", os.path.join(out, "dialog_node_link.png")],
                                  capture_output=True, timeout=60)
            self.assertEqual(scan.stdout.decode().strip(), link)

    def test_every_text_of_the_window_has_a_chinese_translation(self):
        if not shutil.which("xgettext") or not shutil.which("msgcmp"):
            self.skipTest("needs gettext (scripts/setup.sh)")
        pot = tempfile.NamedTemporaryFile(suffix=".pot", delete=False)
        pot.close()
        self.addCleanup(os.unlink, pot.name)
        sources = sorted(os.path.join(REPO, "src", "ui", f) for f in os.listdir(os.path.join(REPO, "src", "ui"))
                         if f.endswith(".cpp"))
        r = subprocess.run(["xgettext", "--from-code=UTF-8", "-kT", "-kN_", "-ktr", "-o", pot.name, *sources],
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        # msgcmp counts an empty translation as missing.
        r = subprocess.run(["msgcmp", os.path.join(REPO, "lang", "zh_CN.po"), pot.name],
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr.decode())


if __name__ == "__main__":
    unittest.main()
