"""Real peers for the integration tests of the local proxy service.

Everything here is standard library only. Each peer listens on a free
loopback port, is considered ready only once a connection to it succeeds, and
is stopped by ``stop()``; tests register ``stop`` with ``addCleanup`` or
``addClassCleanup`` right after starting a peer so that a failing test still
leaves nothing running.
"""

import hashlib
import http.server
import os
import queue
import random
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

DANTED = "/usr/sbin/danted"
MICROSOCKS = "/usr/bin/microsocks"
CURL = "/usr/bin/curl"
SS_SERVER = "/usr/bin/ss-server"
SS_LOCAL = "/usr/bin/ss-local"


class PeerError(RuntimeError):
    pass


def free_port(kind=socket.SOCK_STREAM):
    """A loopback port that nothing is bound to right now."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_port_both():
    """A port that is free for TCP and for UDP (danted relays both)."""
    for _ in range(50):
        port = free_port()
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
                u.bind(("127.0.0.1", port))
            return port
        except OSError:
            continue
    raise PeerError("no port free for both TCP and UDP")


def require_program(path):
    if not os.access(path, os.X_OK):
        found = shutil.which(os.path.basename(path))
        if found:
            return found
        raise PeerError(f"{path} is missing: run scripts/setup.sh")
    return path


def wait_tcp(port, timeout=10.0, proc=None, what="peer", host="127.0.0.1"):
    """Waits until a TCP connection to host:port succeeds.

    When ``proc`` is given and exits while we wait, fails at once with its
    output instead of waiting out the whole time-out.
    """
    deadline = time.monotonic() + timeout
    delay = 0.005
    while True:
        if proc is not None and proc.poll() is not None:
            raise PeerError(f"{what} exited with {proc.returncode} before listening"
                            f" on {port}: {read_log(proc)}")
        try:
            with socket.create_connection((host, port), timeout=1.0):
                return
        except OSError:
            pass
        if time.monotonic() > deadline:
            raise PeerError(f"{what} not listening on {host}:{port} after {timeout} s")
        time.sleep(delay)
        delay = min(delay * 2, 0.1)


def read_log(proc):
    path = getattr(proc, "log_path", None)
    if not path:
        return ""
    try:
        with open(path, "rb") as f:
            return f.read()[-4000:].decode("utf-8", "replace")
    except OSError:
        return ""


def stop_process(proc, sig=signal.SIGTERM, timeout=10.0, group=True):
    """Stops a child (and, with ``group``, its whole process group)."""
    if proc is None or proc.poll() is not None:
        return proc.returncode if proc else None
    try:
        if group:
            os.killpg(proc.pid, sig)
        else:
            proc.send_signal(sig)
    except ProcessLookupError:
        pass
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        try:
            if group:
                os.killpg(proc.pid, signal.SIGKILL)
            else:
                proc.kill()
        except ProcessLookupError:
            pass
        proc.wait()
        return None


class _Daemon:
    """A child process in its own process group, with its output in a file."""

    def __init__(self, name):
        self.name = name
        self.dir = tempfile.mkdtemp(prefix=f"vantor-{name}-")
        self.proc = None
        self.port = None

    def _spawn(self, argv):
        log_path = os.path.join(self.dir, "output.log")
        log = open(log_path, "wb")
        try:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT, cwd=self.dir,
                                         start_new_session=True)
        finally:
            log.close()
        self.proc.log_path = log_path

    def _wait_listening(self, what):
        """Waits until ``self.port`` accepts; stops the daemon when it does not."""
        try:
            wait_tcp(self.port, proc=self.proc, what=what)
        except Exception:
            self.stop()
            raise

    def log(self):
        return read_log(self.proc) if self.proc else ""

    def stop(self):
        stop_process(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)


def danted_config(log, internal, port, external, clients="0.0.0.0/0", udp=True, socksmethod="none"):
    """A dante-server configuration, by default without authentication: SOCKS
    4 and 5 CONNECT, and with ``udp`` BIND and UDP ASSOCIATE too.
    ``socksmethod="username"`` asks for a login checked against the system's
    accounts."""
    command = "bind connect udpassociate bindreply udpreply" if udp else "connect"
    protocol = "tcp udp" if udp else "tcp"
    return f"""\
logoutput: {log}
internal: {internal} port = {port}
external: {external}
socksmethod: {socksmethod}
clientmethod: none
user.privileged: root
user.unprivileged: nobody
timeout.negotiate: 10
client pass {{
  from: {clients} to: 0.0.0.0/0
}}
socks pass {{
  from: 0.0.0.0/0 to: 0.0.0.0/0
  command: {command}
  protocol: {protocol}
}}
"""


class Danted(_Daemon):
    """dante-server accepting SOCKS 4 and 5 without authentication, TCP and
    UDP, on 127.0.0.1 only."""

    def __init__(self, external="127.0.0.1", socksmethod="none"):
        """``external``: the loopback address danted connects from, so that a
        target can tell connections through danted from direct ones;
        ``socksmethod``: as in danted_config."""
        super().__init__("danted")
        binary = require_program(DANTED)
        self.port = free_port_both()
        conf = os.path.join(self.dir, "danted.conf")
        with open(conf, "w") as f:
            f.write(danted_config(os.path.join(self.dir, "danted.log"), "127.0.0.1", self.port,
                                  external, clients="127.0.0.0/8", socksmethod=socksmethod))
        self._spawn([binary, "-f", conf, "-p", os.path.join(self.dir, "danted.pid")])
        self._wait_listening("danted")

    def log(self):
        text = super().log()
        try:
            with open(os.path.join(self.dir, "danted.log"), "rb") as f:
                text += f.read()[-4000:].decode("utf-8", "replace")
        except OSError:
            pass
        return text


class Microsocks(_Daemon):
    """microsocks, a SOCKS 5 server demanding a user name and password."""

    def __init__(self, user, password):
        super().__init__("microsocks")
        binary = require_program(MICROSOCKS)
        self.user, self.password = user, password
        self.port = free_port()
        self._spawn([binary, "-i", "127.0.0.1", "-p", str(self.port),
                     "-u", user, "-P", password])
        self._wait_listening("microsocks")


class SsServer(_Daemon):
    """shadowsocks-libev's ss-server on 127.0.0.1 (or ``host``, "::1" say)
    with one method and password; ``udp`` also opens its UDP relay on the
    same port."""

    def __init__(self, method, password, udp=False, wait=True, extra_args=(), host="127.0.0.1"):
        super().__init__("ss-server")
        binary = require_program(SS_SERVER)
        self.method, self.password, self.udp, self.host = method, password, udp, host
        self._argv = ([binary, "-s", host, "-p", None, "-k", password, "-m", method]
                      + (["-u"] if udp else []) + list(extra_args))
        self._start()
        if wait:
            self.wait_ready()

    def _start(self):
        self.port = free_port_both() if self.udp else free_port()
        self._argv[4] = str(self.port)
        self._spawn(self._argv)

    def wait_ready(self):
        """Waits until the TCP side accepts; stops the server when it does not.
        A port found free can be taken by another test's socket before the
        server binds it; such a start is retried on a fresh port."""
        for attempt in range(5):
            try:
                wait_tcp(self.port, proc=self.proc, what=f"ss-server -m {self.method}", host=self.host)
                if self.udp:
                    self._wait_udp()
                return
            except Exception:
                if "Address already in use" not in self.log() or attempt == 4:
                    self.stop()
                    raise
                stop_process(self.proc)
                self._start()

    def _wait_udp(self, timeout=10.0):
        # The TCP side listens first; the UDP bind can still fail after it.
        deadline = time.monotonic() + timeout
        while "udp server listening" not in self.log():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise PeerError(f"ss-server -m {self.method} has no UDP side: {self.log()}")
            time.sleep(0.01)


class SsLocal(_Daemon):
    """shadowsocks-libev's ss-local: a SOCKS 5 service on 127.0.0.1 that
    speaks Shadowsocks to ``server_port``; the reference client the
    benchmarks compare against."""

    def __init__(self, server_port, method, password):
        super().__init__("ss-local")
        binary = require_program(SS_LOCAL)
        self.port = free_port()
        self._spawn([binary, "-s", "127.0.0.1", "-p", str(server_port), "-b", "127.0.0.1",
                     "-l", str(self.port), "-k", password, "-m", method])
        self._wait_listening("ss-local")


class _QuietThreadingHTTPServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128

    def handle_error(self, request, client_address):
        # A client that gives up mid-body (a refused test case) is expected.
        pass


class _HttpServerThread:
    """An HTTP server on 127.0.0.1 on a thread of its own; ``stop()`` ends it."""

    def _serve(self, handler, what):
        self.server = _QuietThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever,
                                       kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()
        wait_tcp(self.port, what=what)

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(5)


class HttpFileServer(_HttpServerThread):
    """Threaded HTTP server on 127.0.0.1 serving one random file at /blob;
    a PUT to any path is answered with the SHA-256 (hex) of its body."""

    def __init__(self, size=4 * 1024 * 1024):
        self.body = os.urandom(size)
        self.sha256 = hashlib.sha256(self.body).hexdigest()
        body = self.body

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                if self.path != "/blob":
                    self.send_error(404)
                    return
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(body)
                self.close_connection = True

            def do_PUT(self):
                left = int(self.headers.get("Content-Length", "0"))
                h = hashlib.sha256()
                while left > 0:
                    chunk = self.rfile.read(min(left, 1 << 20))
                    if not chunk:
                        break
                    h.update(chunk)
                    left -= len(chunk)
                answer = h.hexdigest().encode()
                self.send_response(200)
                self.send_header("Content-Length", str(len(answer)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(answer)
                self.close_connection = True

            def log_message(self, *args):
                pass

        self._serve(Handler, "HTTP server")


class _SocketLoop:
    """Serves ``sock`` on a thread of its own: ``_readable()`` runs each time
    it can be read, until ``stop()``, which also closes it."""

    def __init__(self, sock):
        self.sock = sock
        self._stop_r, self._stop_w = os.pipe()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while True:
            ready, _, _ = select.select([self.sock, self._stop_r], [], [])
            if self._stop_r in ready:
                return
            self._readable()

    def _readable(self):
        raise NotImplementedError

    def stop(self):
        os.write(self._stop_w, b"x")
        self.thread.join(5)
        self.sock.close()
        os.close(self._stop_r)
        os.close(self._stop_w)


class UdpEchoServer(_SocketLoop):
    """Answers every datagram to where it came from, with ``answer()`` of it:
    the datagram itself."""

    def __init__(self, host="127.0.0.1", port=0):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            sock.bind((host, port))
        except OSError:
            sock.close()
            raise
        self.host, self.port = sock.getsockname()
        self.received = 0
        super().__init__(sock)

    def answer(self, data, peer):
        return data

    def _readable(self):
        try:
            data, peer = self.sock.recvfrom(65535)
            self.received += 1
            self.sock.sendto(self.answer(data, peer), peer)
        except OSError:
            pass


# --- the service under test ------------------------------------------------

def vantor_bin():
    path = os.environ.get("VANTOR_BIN") or os.path.join(REPO, "build", "src", "cli", "vantor")
    if not os.access(path, os.X_OK):
        raise PeerError(f"vantor binary not found at {path}; build it or set VANTOR_BIN")
    return path


LISTENING = re.compile(r"^listening on 127\.0\.0\.1:(\d+)$")
SANITIZER = re.compile(r"(AddressSanitizer|LeakSanitizer|ThreadSanitizer|UndefinedBehaviorSanitizer"
                       r"|runtime error:)")


class VantorService:
    """`vantor serve` in the foreground, ready once it printed its listening
    line and accepts a connection."""

    def __init__(self, node, port=None, local_user=None, local_password=None,
                 extra_args=(), timeout=15.0, preexec_fn=None, popen_kw=None):
        argv = [vantor_bin(), "serve", "--node", node]
        if port is not None:
            argv += ["--port", str(port)]
        if local_user is not None:
            argv += ["--local-user", local_user]
        if local_password is not None:
            argv += ["--local-password", local_password]
        argv += list(extra_args)
        self.argv = argv
        self.stdout_lines = []
        self._lines = queue.Queue()
        self._stderr_path = tempfile.mkstemp(prefix="vantor-serve-", suffix=".err")[1]
        err = open(self._stderr_path, "wb")
        try:
            # ``popen_kw``: more for Popen, such as the user to run as.
            kw = {"preexec_fn": preexec_fn, **(popen_kw or {})}
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=err, start_new_session=True, **kw)
        finally:
            err.close()
        self._reader = threading.Thread(target=self._read_stdout, daemon=True)
        self._reader.start()
        self.port = None
        self.returncode = None
        try:
            self.port = self._await_listening(timeout)
            wait_tcp(self.port, proc=self.proc, what="vantor serve")
        except Exception:
            self.kill()
            raise

    def _read_stdout(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            self.stdout_lines.append(line)
            self._lines.put(line)
        self._lines.put(None)

    def _await_listening(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise PeerError(f"no listening line from {self.argv} within {timeout} s;"
                                f" stdout={self.stdout_lines} stderr={self.stderr()!r}")
            try:
                line = self._lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                self.proc.wait()
                raise PeerError(f"vantor serve exited with {self.proc.returncode} before"
                                f" listening; stderr={self.stderr()!r}")
            m = LISTENING.match(line)
            if m:
                return int(m.group(1))

    def stderr(self):
        try:
            with open(self._stderr_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def signal(self, sig):
        self.proc.send_signal(sig)

    def wait(self, timeout):
        """Exit code, or None when the process is still running after timeout."""
        try:
            self.returncode = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        self._reader.join(2)
        return self.returncode

    def kill(self):
        """Ends the process without judging how; for tests that checked the
        exit themselves, and for start-up failures."""
        if self.proc.poll() is None:
            stop_process(self.proc, signal.SIGKILL, group=False)
        self._cleanup()
        self._forget_stderr()

    def _cleanup(self):
        self._reader.join(2)
        if self.proc.stdout:
            self.proc.stdout.close()

    def _forget_stderr(self):
        try:
            os.unlink(self._stderr_path)
        except OSError:
            pass

    def stop(self, timeout=10.0):
        """SIGTERM, then checks for a clean exit.

        Raises when the service did not exit in time, exited non-zero, or a
        sanitizer reported anything: those are findings the test must show.
        """
        problem = None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            if self.wait(timeout) is None:
                problem = f"did not exit within {timeout} s of SIGTERM"
                stop_process(self.proc, signal.SIGKILL, group=False)
        self.returncode = self.proc.returncode
        self._cleanup()
        err = self.stderr()
        self._forget_stderr()
        if problem is None and self.returncode != 0:
            problem = f"exited with {self.returncode}"
        if problem is None and SANITIZER.search(err):
            problem = "sanitizer report"
        if problem:
            raise AssertionError(f"vantor serve {problem}; stderr:\n{err[-6000:]}")


def run_vantor(args, timeout=10.0):
    """Runs the CLI to completion; returns (code, stdout, stderr)."""
    proc = subprocess.run([vantor_bin()] + list(args), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)
    return (proc.returncode, proc.stdout.decode("utf-8", "replace"),
            proc.stderr.decode("utf-8", "replace"))


# --- a minimal SOCKS client for exact wire checks --------------------------

def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def recv_until_close(sock, limit=1 << 20):
    """Reads until the peer closes (b'' on an immediate close)."""
    data = b""
    while len(data) < limit:
        try:
            chunk = sock.recv(65536)
        except ConnectionResetError:
            break
        if not chunk:
            break
        data += chunk
    return data


def socks5_request(cmd, host, port):
    if isinstance(host, str):
        try:
            addr = b"\x01" + socket.inet_aton(host)
        except OSError:
            name = host.encode()
            addr = b"\x03" + bytes([len(name)]) + name
    else:
        addr = host  # raw ATYP + address bytes
    return b"\x05" + bytes([cmd]) + b"\x00" + addr + struct.pack("!H", port)


def socks5_open(service_port, user=None, password=None, timeout=10.0):
    """Connects and finishes the method selection (and login when given).
    Returns the socket."""
    sock = socket.create_connection(("127.0.0.1", service_port), timeout=timeout)
    if user is None:
        sock.sendall(b"\x05\x01\x00")
        reply = recv_exact(sock, 2)
        if reply != b"\x05\x00":
            sock.close()
            raise AssertionError(f"method selection answered {reply.hex()}")
    else:
        sock.sendall(b"\x05\x01\x02")
        reply = recv_exact(sock, 2)
        if reply != b"\x05\x02":
            sock.close()
            raise AssertionError(f"method selection answered {reply.hex()}")
        u, p = user.encode(), password.encode()
        sock.sendall(b"\x01" + bytes([len(u)]) + u + bytes([len(p)]) + p)
        reply = recv_exact(sock, 2)
        if reply != b"\x01\x00":
            sock.close()
            raise AssertionError(f"login answered {reply.hex()}")
    return sock


def socks4_request(host, port, userid=b"", name=None):
    """SOCKS 4 CONNECT to an IPv4 address, or SOCKS 4a when ``name`` is given."""
    if name is None:
        return b"\x04\x01" + struct.pack("!H", port) + socket.inet_aton(host) + userid + b"\x00"
    return (b"\x04\x01" + struct.pack("!H", port) + b"\x00\x00\x00\x01" + userid + b"\x00"
            + name.encode() + b"\x00")


def socks5_udp_header(host, port):
    return b"\x00\x00\x00\x01" + socket.inet_aton(host) + struct.pack("!H", port)


def socks5_udp_associate(service_port, timeout=10.0, expect_host=None):
    """Opens a UDP association. Returns (control socket, bound UDP socket,
    relay address); the caller closes both sockets. With ``expect_host`` the
    answer must name exactly that address; without, an answer of 0.0.0.0
    stands for the service's own address."""
    ctl = socks5_open(service_port, timeout=timeout)
    try:
        ctl.sendall(socks5_request(3, "0.0.0.0", 0))
        reply = recv_exact(ctl, 10)
        if reply[:4] != b"\x05\x00\x00\x01":
            raise AssertionError(f"UDP ASSOCIATE answered {reply.hex()}")
        relay = (socket.inet_ntoa(reply[4:8]), int.from_bytes(reply[8:10], "big"))
        if relay[1] == 0:
            raise AssertionError("UDP ASSOCIATE named port 0")
        if expect_host is not None and relay[0] != expect_host:
            raise AssertionError(f"UDP ASSOCIATE named {relay[0]}, not {expect_host}")
        if relay[0] == "0.0.0.0":
            relay = ("127.0.0.1", relay[1])
    except Exception:
        ctl.close()
        raise
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", 0))
    return ctl, udp, relay


def udp_exchange(udp, relay, datagram, expected, tries=5, wait=1.0):
    """Sends ``datagram`` until ``expected`` comes back (UDP may drop, and a
    late answer to an earlier try may still arrive). Returns the first bytes
    of any other datagrams seen, or raises AssertionError."""
    others = []
    for _ in range(tries):
        udp.sendto(datagram, relay)
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            udp.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                data, _ = udp.recvfrom(65535)
            except (socket.timeout, ConnectionRefusedError):
                break
            if data == expected:
                return others
            others.append(data[:40])
    raise AssertionError(f"no answer of {len(expected)} bytes through the association;"
                         f" other datagrams: {others}")


def http_get_over(sock, host, port, path="/blob"):
    """Plain HTTP/1.0 GET on an already tunnelled socket; returns the body."""
    sock.sendall(f"GET {path} HTTP/1.0\r\nHost: {host}:{port}\r\n\r\n".encode())
    data = recv_until_close(sock, limit=1 << 30)
    head, sep, body = data.partition(b"\r\n\r\n")
    if not sep or not head.startswith(b"HTTP/1."):
        raise AssertionError(f"no HTTP response: {data[:200]!r}")
    return head, body


def file_sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def curl_argv(args, timeout):
    """curl, quiet but for errors, failing on HTTP errors, within ``timeout``."""
    return [require_program(CURL), "-sS", "--fail", "--max-time", str(timeout)] + list(args)


def curl_download(proxy_args, url, dest, timeout=60):
    """curl through a SOCKS proxy into ``dest``; returns (code, stderr, sha256)."""
    proc = subprocess.run(curl_argv(["-o", dest] + list(proxy_args) + [url], timeout),
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout + 10)
    digest = file_sha256(dest) if proc.returncode == 0 else None
    return proc.returncode, proc.stderr.decode("utf-8", "replace"), digest


def curl_upload(service_port, url, path, timeout=60):
    """curl -T ``path`` through the service (SOCKS 5, names resolved there);
    returns (code, stderr, the answer's body)."""
    argv = curl_argv(["-T", path, "--socks5-hostname", f"127.0.0.1:{service_port}", url], timeout)
    proc = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout + 10)
    return (proc.returncode, proc.stderr.decode("utf-8", "replace"),
            proc.stdout.decode("utf-8", "replace"))


def curl_parallel_downloads(service_port, url, directory, count, sha256, timeout=90):
    """``count`` curl downloads of ``url`` at once through the service (SOCKS
    5, names resolved there) into ``directory``. Returns what went wrong: each
    failed curl and each body whose SHA-256 is not ``sha256``."""
    procs = []
    try:
        for i in range(count):
            out = os.path.join(directory, f"blob{i}")
            argv = curl_argv(["-o", out, "--socks5-hostname", f"127.0.0.1:{service_port}", url],
                             timeout)
            procs.append((out, subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                                stderr=subprocess.PIPE)))
        failures = []
        for out, proc in procs:
            _, err = proc.communicate(timeout=timeout + 30)
            if proc.returncode != 0:
                failures.append(f"{out}: curl {proc.returncode} {err.decode()}")
            elif file_sha256(out) != sha256:
                failures.append(f"{out}: body corrupted")
        return failures
    finally:
        for _, proc in procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()


def ipv4_only_name():
    """A host name that resolves to 127.0.0.1 and to nothing else, so that a
    node which resolves it cannot pick an IPv6 address our servers do not
    listen on. None when the machine has no such name."""
    candidates = ["localhost", socket.gethostname()]
    for name in candidates:
        try:
            infos = socket.getaddrinfo(name, 80, type=socket.SOCK_STREAM)
        except OSError:
            continue
        addrs = {info[4][0] for info in infos}
        if addrs == {"127.0.0.1"}:
            return name
    return None


class ScriptedNode(_SocketLoop):
    """A TCP server that runs ``handler(conn, log)`` for every connection, on
    its own thread. ``log`` is a list shared by all connections, in which the
    handler records what it saw; ``connections`` counts accepted clients."""

    def __init__(self, handler):
        self.handler = handler
        self.log = []
        self.connections = 0
        self.errors = []
        self._threads = []
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", 0))
        listener.listen(64)
        self.port = listener.getsockname()[1]
        super().__init__(listener)

    def _readable(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        self.connections += 1
        t = threading.Thread(target=self._serve, args=(conn,), daemon=True)
        self._threads.append(t)
        t.start()

    def _serve(self, conn):
        conn.settimeout(10)
        try:
            self.handler(conn, self.log)
        except Exception as e:  # recorded so that a test can show it
            self.errors.append(repr(e))
        finally:
            conn.close()

    def stop(self):
        super().stop()
        for t in self._threads:
            t.join(5)


def shut_down(*socks):
    """shutdown(SHUT_RDWR) on each socket; one already closed or never
    connected is passed over."""
    for s in socks:
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def echo_until_close(conn):
    while True:
        data = conn.recv(65536)
        if not data:
            return
        conn.sendall(data)


# --- a base for the test cases ---------------------------------------------

class ServiceTestCase(unittest.TestCase):
    """Peers, services, folders and UDP associations that the cleanups undo."""

    @classmethod
    def class_peer(cls, peer):
        """Keeps ``peer`` until the class's tests are done; returns it."""
        cls.addClassCleanup(peer.stop)
        return peer

    def start_service(self, node, **kw):
        svc = VantorService(node, port=free_port(), **kw)
        self.addCleanup(svc.stop)
        return svc

    def tmpdir(self):
        d = tempfile.mkdtemp(prefix="vantor-test-")
        self.addCleanup(shutil.rmtree, d, True)
        return d

    def udp_association(self, svc, **kw):
        """socks5_udp_associate through ``svc``: (control socket, UDP socket,
        relay address)."""
        ctl, udp, relay = socks5_udp_associate(svc.port, **kw)
        self.addCleanup(ctl.close)
        self.addCleanup(udp.close)
        return ctl, udp, relay


# --- the node tester's targets -----------------------------------------------

DNSMASQ = "/usr/sbin/dnsmasq"


def bind_loopback(port, kind=socket.SOCK_DGRAM):
    """A socket bound to ``port`` on an address in 127.0.0.0/8 (all of it is
    this host's) where that port was free: tests need DNS servers on port 53,
    which only one socket per address can have, and a parallel test may take
    an address between a check and a bind, so the bind itself is the check."""
    for _ in range(50):
        host = f"127.{random.randint(16, 250)}.{random.randint(0, 255)}.{random.randint(1, 254)}"
        s = socket.socket(socket.AF_INET, kind)
        try:
            s.bind((host, port))
            return s
        except OSError:
            s.close()
    raise PeerError(f"no loopback address with port {port} free")


def free_loopback_address(port, kind=socket.SOCK_DGRAM):
    """An address on which ``port`` was free a moment ago, for daemons that
    bind it themselves."""
    with bind_loopback(port, kind) as s:
        return s.getsockname()[0]


class Dnsmasq(_Daemon):
    """dnsmasq answering ``records`` (name -> IPv4 address) on HOST:53, a
    loopback address of its own, over UDP and TCP; every query is logged."""

    def __init__(self, records):
        super().__init__("dnsmasq")
        binary = require_program(DNSMASQ)
        self.host = free_loopback_address(53)
        self.port = 53
        argv = [binary, "--keep-in-foreground", "--no-resolv", "--no-hosts", "--no-poll",
                "--bind-interfaces", f"--listen-address={self.host}", "--port=53", "--pid-file=",
                "--user=root", "--log-queries", "--log-facility=-", "--cache-size=0"]
        argv += [f"--host-record={name},{addr}" for name, addr in records.items()]
        self._spawn(argv)
        try:
            wait_tcp(53, proc=self.proc, what="dnsmasq", host=self.host)
        except Exception:
            self.stop()
            raise

    def queries(self):
        """(name, source) of every A query so far."""
        return re.findall(r"query\[A\] (\S+) from (\S+)", self.log())


class HttpTextServer(_HttpServerThread):
    """HTTP/1.1 on 127.0.0.1 answering GET ``path`` with ``pages[path](client
    address)`` as a text body (Content-Length set; head and body written
    separately, as servers often do), 404 otherwise."""

    def __init__(self, pages):
        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                page = pages.get(self.path)
                body = page(self.client_address[0]).encode() if page else b"not here\n"
                self.send_response(200 if page else 404)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.flush()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self._serve(Handler, "HTTP text server")

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"
