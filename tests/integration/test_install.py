"""The staged install: the program, the network helper and its unit, and no
file that carries a capability or a setuid/setgid bit."""

import os
import shutil
import subprocess
import tempfile
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class StagedInstallTest(unittest.TestCase):
    def test_staged_install_holds_no_privilege_bits(self):
        vantor = os.environ.get("VANTOR_BIN") or os.path.join(REPO, "build", "src", "cli", "vantor")
        build = os.path.dirname(os.path.dirname(os.path.dirname(vantor)))
        if not os.access(os.path.join(build, "src", "helper", "vantor-helper"), os.X_OK):
            self.skipTest("vantor-helper not built next to " + vantor)
        stage = tempfile.mkdtemp(prefix="vantor-stage-")
        self.addCleanup(shutil.rmtree, stage, True)
        r = subprocess.run([os.path.join(REPO, "scripts", "install.sh"), "/usr"], cwd=REPO,
                           env={**os.environ, "DESTDIR": stage, "BUILD_DIR": build},
                           capture_output=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        for path in ("usr/bin/vantor", "usr/bin/vantor-helper", "lib/systemd/system/vantor-helper.service"):
            self.assertTrue(os.path.exists(os.path.join(stage, path)), path)

        special = subprocess.run(["find", stage, "-perm", "/6000"], capture_output=True, timeout=30)
        self.assertEqual(special.stdout.decode(), "", "setuid/setgid files")
        getcap = shutil.which("getcap") or "/usr/sbin/getcap"
        if os.access(getcap, os.X_OK):
            caps = subprocess.run([getcap, "-r", stage], capture_output=True, timeout=30)
            self.assertEqual(caps.stdout.decode().strip(), "", "files with capabilities")
        for root, _, files in os.walk(stage):
            for name in files:
                path = os.path.join(root, name)
                if not os.path.islink(path):
                    self.assertNotIn("security.capability", os.listxattr(path), path)

        with open(os.path.join(stage, "lib/systemd/system/vantor-helper.service")) as f:
            unit = f.read()
        self.assertIn("ExecStart=/usr/bin/vantor-helper --socket /run/vantor/helper.sock --group vantor", unit)
        for line in ("NoNewPrivileges=yes", "ProtectHome=yes", "ProtectSystem=strict", "PrivateTmp=yes",
                     "CapabilityBoundingSet=CAP_NET_ADMIN CAP_CHOWN"):
            self.assertIn(line + "\n", unit)


if __name__ == "__main__":
    unittest.main()
