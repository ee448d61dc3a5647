#!/usr/bin/env python3
"""Node catalogue at scale: a generated subscription of N share links (mixed
ss:// and ssr://, base64 as providers serve it) fetched from a local HTTP
server by `vantor subs refresh`, which parses, stores and saves the nodes; then
`vantor nodes list` as the start-up with those nodes stored.

Figures (best of --rounds for times, peak resident memory of the process):
  refresh_s, refresh_rss_mb   the import of N links
  startup_s, startup_rss_mb   loading N stored nodes and listing them
  base_rss_mb                 `vantor settings get` (the process without nodes)
  bytes_per_node              (startup RSS at N - at N/10) / (N - N/10)
"""

import argparse
import base64
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from benchlib import log, peers  # noqa: E402


def b64url(data):
    return base64.urlsafe_b64encode(data.encode()).decode().rstrip("=")


def links(count):
    out = []
    for i in range(count):
        host = f"10.{i >> 16 & 255}.{i >> 8 & 255}.{i & 255}"
        if i % 2:
            out.append("ss://" + base64.b64encode(f"aes-256-gcm:password-{i}".encode()).decode() +
                       f"@{host}:{8000 + i % 1000}#node-{i}")
        else:
            body = (f"{host}:{443 + i % 100}:auth_aes128_md5:aes-256-cfb:tls1.2_ticket_auth:{b64url(f'pw-{i}')}"
                    f"/?obfsparam={b64url('cdn.example.com')}&remarks={b64url(f'Node {i} 节点')}"
                    f"&group={b64url('Bench Provider')}")
            out.append("ssr://" + b64url(body))
    return base64.b64encode("\n".join(out).encode())


class Server:
    def __init__(self, bodies):
        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                body = bodies.get(self.path, b"")
                self.send_response(200 if body else 404)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.base = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()


def run(config, *args):
    """Runs vantor; returns (seconds, peak RSS in MB)."""
    env = dict(os.environ, VANTOR_CONFIG_DIR=config, XDG_CONFIG_HOME=config)
    started = time.monotonic()
    proc = subprocess.Popen([peers.vantor_bin(), *args], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.monotonic() - started
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"vantor {' '.join(args)} failed: {err}")
    return elapsed, usage.ru_maxrss / 1024.0


def measure(server, count, rounds):
    best_refresh, best_startup = None, None
    for _ in range(rounds):
        config = tempfile.mkdtemp(prefix="vantor-bench-catalogue-")
        try:
            url = f"{server.base}/{count}"
            run(config, "subs", "add", url)
            refresh = run(config, "subs", "refresh", url)
            startup = run(config, "nodes", "list")
            base = run(config, "settings", "get", "startup")
        finally:
            shutil.rmtree(config, ignore_errors=True)
        if best_refresh is None or refresh[0] < best_refresh[0]:
            best_refresh = refresh
        if best_startup is None or startup[0] < best_startup[0]:
            best_startup = startup
    return best_refresh, best_startup, base


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--links", type=int, default=10000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    small = max(args.links // 10, 1)
    server = Server({f"/{args.links}": links(args.links), f"/{small}": links(small)})
    log(f"catalogue_import: {args.links} links, {args.rounds} rounds")
    refresh, startup, base = measure(server, args.links, args.rounds)
    _, small_startup, _ = measure(server, small, 1)
    per_node = (startup[1] - small_startup[1]) * 1024 * 1024 / (args.links - small) if args.links > small else 0
    print(f"catalogue_import links={args.links} refresh_s={refresh[0]:.3f} refresh_rss_mb={refresh[1]:.1f} "
          f"startup_s={startup[0]:.3f} startup_rss_mb={startup[1]:.1f} base_rss_mb={base[1]:.1f} "
          f"bytes_per_node={per_node:.0f}", flush=True)


if __name__ == "__main__":
    main()
