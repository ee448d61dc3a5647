"""A private configuration folder for `vantor` runs of the catalogue tests.

Every run gets XDG_CONFIG_HOME and VANTOR_CONFIG_DIR inside one temporary
folder, so nothing reads or writes the user's own configuration or autostart
entries.
"""

import os
import resource
import shutil
import signal
import subprocess
import tempfile

import peers


class ConfigHome:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="vantor-config-")
        self.config = os.path.join(self.root, "vantor")
        self.env = dict(os.environ)
        self.env["XDG_CONFIG_HOME"] = self.root
        self.env["VANTOR_CONFIG_DIR"] = self.config

    def path(self, name):
        """A file of the configuration's config/ folder."""
        return os.path.join(self.config, "config", name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def write(self, name, data):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)

    def run(self, *args, timeout=60, file_size_limit=None):
        """Runs `vantor ARGS`; returns (code, stdout, stderr).

        With ``file_size_limit`` every file the process writes is cut off at
        that many bytes (the write fails as on a full disk)."""
        def limit():
            if file_size_limit is not None:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
        r = subprocess.run([peers.vantor_bin(), *args], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                           preexec_fn=limit)
        return r.returncode, r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")

    def ok(self, test, *args, **kw):
        code, out, err = self.run(*args, **kw)
        test.assertEqual(code, 0, f"vantor {' '.join(args)}: {err}")
        return out

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)
