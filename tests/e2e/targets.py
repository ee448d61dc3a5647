"""Target servers for the end-to-end tests, run inside the server namespace.

    python3 targets.py --host ADDR --dir DIR

Serves, on ADDR:
  80  HTTP GET of the files in DIR (HTTP/1.0, closes after each response)
  7   echo: every byte back, until the client closes
  9   count: reads until the client's end of stream, then answers
      "got N\\n" and closes; each count is also printed as "count N"
  19  send: writes the number of bytes the client asks for in its first
      line ("N\\n"), then closes at once
  5001 timed sink: reads until the end of stream and prints
      "sink BYTES SECONDS" (first to last byte) for the benchmark
  UDP 7 echo: every datagram back to its sender
  UDP 8 whoami: answers every datagram with the sender's "address:port"
  UDP 10 introducer (A): answers "seen ADDRESS:PORT" with the sender's address,
      and has UDP 11 (B), which the sender never addressed, send
      "from B to ADDRESS:PORT" to that same address
Prints "ready" once every port listens. Runs until killed.
"""

import argparse
import os
import socket
import sys
import threading
import time

HTTP_PORT, ECHO_PORT, COUNT_PORT, SEND_PORT, SINK_PORT = 80, 7, 9, 19, 5001
UDP_ECHO_PORT, UDP_WHOAMI_PORT, UDP_INTRO_PORT, UDP_OTHER_PORT = 7, 8, 10, 11
CHUNK = 65536
OUTPUT_LOCK = threading.Lock()


def say(text):
    """One whole line on stdout, also when connections end at once."""
    with OUTPUT_LOCK:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()


def serve(host, port, handler):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((host, port))
    s.listen(512)

    def loop():
        while True:
            conn, _ = s.accept()
            threading.Thread(target=run, args=(conn,), daemon=True).start()

    def run(conn):
        try:
            handler(conn)
        except OSError:
            pass
        finally:
            conn.close()

    threading.Thread(target=loop, daemon=True).start()


def read_line(conn, limit=8192):
    data = b""
    while b"\n" not in data and len(data) < limit:
        chunk = conn.recv(1024)
        if not chunk:
            break
        data += chunk
    return data


def http_handler(directory):
    def handle(conn):
        request = b""
        while b"\r\n\r\n" not in request:
            chunk = conn.recv(4096)
            if not chunk:
                return
            request += chunk
        parts = request.split(b" ")
        name = os.path.basename(parts[1].decode("latin-1")) if len(parts) > 1 else ""
        path = os.path.join(directory, name)
        if not name or not os.path.isfile(path):
            conn.sendall(b"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n")
            return
        size = os.path.getsize(path)
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                     b"Content-Length: %d\r\n\r\n" % size)
        with open(path, "rb") as f:
            while True:
                block = f.read(CHUNK)
                if not block:
                    break
                conn.sendall(block)
    return handle


def echo_handler(conn):
    while True:
        data = conn.recv(CHUNK)
        if not data:
            return
        conn.sendall(data)


def count_handler(conn):
    total = 0
    while True:
        data = conn.recv(CHUNK)
        if not data:
            break
        total += len(data)
    say(f"count {total}")
    try:
        conn.sendall(b"got %d\n" % total)
    except OSError:
        pass


def send_handler(conn):
    line = read_line(conn)
    try:
        n = int(line.strip() or b"0")
    except ValueError:
        return
    block = bytes(range(256)) * (CHUNK // 256)
    while n > 0:
        piece = block[:min(n, len(block))]
        conn.sendall(piece)
        n -= len(piece)


def timed_sink_handler(conn):
    buf = bytearray(1 << 18)
    total = 0
    first = last = None
    while True:
        n = conn.recv_into(buf)
        if not n:
            break
        last = time.monotonic()
        if first is None:
            first = last
        total += n
    if first is not None:
        say(f"sink {total} {last - first:.6f}")


def serve_udp(host, port, answer):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 21)
    s.bind((host, port))

    def loop():
        while True:
            data, peer = s.recvfrom(65535)
            try:
                s.sendto(answer(data, peer), peer)
            except OSError:
                pass

    threading.Thread(target=loop, daemon=True).start()


def serve_introducer(host):
    """A tells B the address it saw; B writes to it first."""
    a = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    a.bind((host, UDP_INTRO_PORT))
    b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    b.bind((host, UDP_OTHER_PORT))

    def loop():
        while True:
            _, peer = a.recvfrom(65535)
            seen = f"{peer[0]}:{peer[1]}"
            try:
                a.sendto(f"seen {seen}".encode(), peer)
                b.sendto(f"from B to {seen}".encode(), peer)
            except OSError:
                pass

    threading.Thread(target=loop, daemon=True).start()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--dir", required=True)
    args = parser.parse_args()
    serve(args.host, HTTP_PORT, http_handler(args.dir))
    serve(args.host, ECHO_PORT, echo_handler)
    serve(args.host, COUNT_PORT, count_handler)
    serve(args.host, SEND_PORT, send_handler)
    serve(args.host, SINK_PORT, timed_sink_handler)
    serve_udp(args.host, UDP_ECHO_PORT, lambda data, peer: data)
    serve_udp(args.host, UDP_WHOAMI_PORT, lambda data, peer: f"{peer[0]}:{peer[1]}".encode())
    serve_introducer(args.host)
    print("ready", flush=True)
    threading.Event().wait()


if __name__ == "__main__":
    sys.exit(main())
