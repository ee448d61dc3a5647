"""What the Python benchmarks share: the local endpoints that downloads and
uploads run against, a SOCKS 5 client for them, and the measuring helpers.

Run as a script with --endpoints, this file is the endpoint process the
benchmarks start (see Endpoints).
"""

import os
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # keep the source tree clean of __pycache__
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "integration"))
import peers  # noqa: E402  (the test peers: node daemons and the service runner)

SMALL_REPLY = 1024
ZEROS_SIZE = 64 << 20


def log(text):
    print(text, file=sys.stderr, flush=True)


def cpu_seconds(pid):
    """User + system CPU time of a process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def thread_cpu_seconds(pid):
    """User + system CPU time of each thread of a process so far, as
    {thread id: (thread name, seconds)}."""
    out = {}
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return out
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                text = f.read()
        except OSError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        fields = text.rpartition(")")[2].split()
        out[tid] = (name, (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK"))
    return out


def add_measure_args(parser, size, max_seconds, rounds):
    """--bytes, --max-seconds and --rounds with the given defaults."""
    parser.add_argument("--bytes", type=int, default=size,
                        help=f"bytes per measurement (default {size >> 20} MiB)")
    parser.add_argument("--max-seconds", type=float, default=max_seconds,
                        help=f"cap in seconds on one measurement (default {max_seconds:g})")
    parser.add_argument("--rounds", type=int, default=rounds,
                        help=f"each figure is the best of this many rounds (default {rounds})")


# --- servers in child processes --------------------------------------------

def serve_forever(listener, handler):
    """Runs handler(conn) on a thread of its own for every connection. An
    OSError there (mostly the client going away) ends that connection only."""
    def run(conn):
        with conn:
            try:
                handler(conn)
            except OSError:
                pass

    while True:
        conn, _ = listener.accept()
        threading.Thread(target=run, args=(conn,), daemon=True).start()


def endpoints():
    """Three listeners, their ports printed on one line of stdout:

    - stream: zeros until the client goes away;
    - small: SMALL_REPLY bytes, then the close;
    - sink: reads as many bytes as the client announced in front of them
      (8 bytes, big-endian) and answers with the count once all arrived.

    Zeros come from a sparse memfd through sendfile, so the source copies
    nothing in user space and is never what limits a measurement."""
    fd = os.memfd_create("zeros")
    os.ftruncate(fd, ZEROS_SIZE)
    stream_listener = socket.create_server(("127.0.0.1", 0), backlog=256)
    small_listener = socket.create_server(("127.0.0.1", 0), backlog=1024)
    sink_listener = socket.create_server(("127.0.0.1", 0), backlog=256)

    def stream(conn):
        while True:
            offset = 0
            while offset < ZEROS_SIZE:
                sent = os.sendfile(conn.fileno(), fd, offset, ZEROS_SIZE - offset)
                if sent == 0:
                    return
                offset += sent

    def small(conn):
        conn.sendall(bytes(SMALL_REPLY))

    def sink(conn):
        buf = bytearray(1 << 20)
        expected = struct.unpack("!Q", peers.recv_exact(conn, 8))[0]
        total = 0
        while total < expected:
            n = conn.recv_into(buf)
            if n == 0:
                break
            total += n
        conn.sendall(struct.pack("!Q", total))

    for listener, handler in ((small_listener, small), (sink_listener, sink)):
        threading.Thread(target=serve_forever, args=(listener, handler), daemon=True).start()
    print(stream_listener.getsockname()[1], small_listener.getsockname()[1],
          sink_listener.getsockname()[1], flush=True)
    serve_forever(stream_listener, stream)


class ChildServer:
    """`python3 script args...` in a process group of its own, ready once it
    printed its ports on one line; ``ports`` holds them."""

    def __init__(self, script, *args):
        self.proc = subprocess.Popen([sys.executable, script] + [str(a) for a in args],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     start_new_session=True)
        line = self.proc.stdout.readline()
        try:
            self.ports = [int(p) for p in line.split()]
        except ValueError:
            self.ports = []
        if not self.ports:
            self.stop()
            raise RuntimeError(f"{os.path.basename(script)} {' '.join(map(str, args))}"
                               f" printed no ports: {line!r}")

    def stop(self):
        peers.stop_process(self.proc)
        self.proc.stdout.close()


class Endpoints(ChildServer):
    """endpoints() in a child process: ``stream``, ``small`` and ``sink`` are
    the ports."""

    def __init__(self):
        super().__init__(os.path.abspath(__file__), "--endpoints")
        self.stream, self.small, self.sink = self.ports


# --- clients ---------------------------------------------------------------

def socks5_connect(port, target_port, user=None, password=None, timeout=10):
    """A SOCKS 5 CONNECT to 127.0.0.1:target_port through the proxy at
    `port` (with a login when `user` is given); returns the socket."""
    s = peers.socks5_open(port, user, password, timeout=timeout)
    try:
        s.sendall(peers.socks5_request(1, "127.0.0.1", target_port))
        reply = peers.recv_exact(s, 10)
        if reply[:2] != b"\x05\x00":
            raise RuntimeError(f"CONNECT refused: {reply.hex()}")
    except BaseException:
        s.close()
        raise
    return s


def http_connect(port, target_port, timeout=10):
    """An HTTP CONNECT to 127.0.0.1:target_port through the HTTP proxy at
    `port`; returns the socket once the proxy answered 200."""
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    try:
        s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (target_port, target_port))
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = s.recv(1)
            if not chunk:
                raise RuntimeError("proxy closed during CONNECT")
            head += chunk
        if not head.startswith(b"HTTP/1.1 200"):
            raise RuntimeError(f"CONNECT refused: {head[:60]!r}")
    except BaseException:
        s.close()
        raise
    return s


def proxy_connect(proxy, target_port):
    """socks5_connect through `proxy`, a dict with "port" and, for a node
    with a login, "user" and "password"; with "http" set, an HTTP CONNECT
    through the HTTP proxy on that port instead."""
    if proxy.get("http"):
        return http_connect(proxy["http"], target_port)
    return socks5_connect(proxy["port"], target_port, proxy.get("user"), proxy.get("password"))


def run_threads(worker, count):
    """worker(i) for each i in range(count), each on a thread of its own;
    returns the seconds until the last one ended."""
    threads = [threading.Thread(target=worker, args=(i,)) for i in range(count)]
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.monotonic() - started


def download(proxy, target_port, streams, total, max_seconds):
    """`streams` parallel downloads through `proxy` (see proxy_connect)
    sharing `total` bytes, each stopping early at the time cap; returns MB/s
    over all of them."""
    share = total // streams
    counts = [0] * streams
    errors = []
    deadline = time.monotonic() + max_seconds

    def worker(i):
        buf = bytearray(1 << 20)
        view = memoryview(buf)
        try:
            s = proxy_connect(proxy, target_port)
        except Exception as e:
            errors.append(repr(e))
            return
        with s:
            got = 0
            while got < share:
                n = s.recv_into(view, min(len(buf), share - got))
                if n == 0:
                    errors.append("stream ended early")
                    break
                got += n
                if time.monotonic() > deadline:
                    break
            counts[i] = got

    elapsed = run_threads(worker, streams)
    if errors:
        raise RuntimeError(f"download failed: {errors[:3]}")
    return sum(counts) / elapsed / 1e6


def connection_rate(proxy, target_port, workers, seconds):
    """Short connections (SOCKS 5 CONNECT + SMALL_REPLY bytes) per second."""
    done = [0] * workers
    errors = []
    deadline = time.monotonic() + seconds

    def worker(i):
        while time.monotonic() < deadline:
            try:
                with proxy_connect(proxy, target_port) as s:
                    if len(peers.recv_until_close(s)) != SMALL_REPLY:
                        errors.append("short reply")
                        return
            except Exception as e:
                errors.append(repr(e))
                return
            done[i] += 1

    elapsed = run_threads(worker, workers)
    if errors:
        raise RuntimeError(f"connections failed after {sum(done)}: {errors[:3]}")
    return sum(done) / elapsed


if __name__ == "__main__":
    if sys.argv[1:] != ["--endpoints"]:
        sys.exit("usage: benchlib.py --endpoints (started by the benchmarks)")
    endpoints()
