"""A private configuration folder for `vantor` runs of the catalogue tests.

Every run gets XDG_CONFIG_HOME and VANTOR_CONFIG_DIR inside one temporary
folder, so nothing reads or writes the user's own configuration or autostart
entries.
"""

import http.server
import os
import resource
import shutil
import signal
import subprocess
import tempfile
import threading

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


class RecordingHttpServer:
    """A threaded HTTP server on ``host`` answering GETs from ``routes``
    (path -> (status, body bytes), or path -> callable(handler) that writes
    the answer itself) and recording (client address, path) of every request.
    With ``only_from`` set, requests from any other address get 403."""

    def __init__(self, routes, host="127.0.0.1", only_from=None):
        self.routes = routes
        self.requests = []
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                server.requests.append((self.client_address[0], self.path))
                route = server.routes.get(self.path)
                if only_from is not None and self.client_address[0] != only_from:
                    route = (403, b"direct requests are refused")
                if route is None:
                    route = (404, b"not found")
                if callable(route):
                    route(self)
                    return
                status, body = route
                self.send_response(status)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = peers._QuietThreadingHTTPServer((host, 0), Handler)
        self.port = self.httpd.server_address[1]
        self.base = f"http://{host}:{self.port}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def stream_without_length(total, block=b"A" * 65536):
    """A route that sends ``total`` bytes with no Content-Length (the end is
    the close), so only a limit on what arrives can stop it."""
    def answer(handler):
        handler.send_response(200)
        handler.send_header("Content-Type", "text/plain")
        handler.send_header("Connection", "close")
        handler.end_headers()
        handler.close_connection = True
        sent = 0
        try:
            while sent < total:
                handler.wfile.write(block)
                sent += len(block)
        except OSError:
            pass
    return answer
