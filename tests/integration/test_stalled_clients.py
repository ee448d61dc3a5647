# ctest-timeout: 400
"""Clients that stop reading: their sessions end after the idle limit,
give back their threads, and the service accepts and relays for new clients
again, even after more such clients than it has session slots."""

import os
import re
import socket
import time
import unittest

import peers
from peers import ScriptedNode, ServiceTestCase, echo_until_close, recv_exact, recv_until_close

IDLE_LIMIT = 60          # seconds: the service's idle limit for a relay without progress
STREAM_PORT, ECHO_PORT = 1, 2
STREAM_BYTES = 256 << 10  # far more than a non-reading client and the sockets between hold
STATS = re.compile(r"^connections=(-?\d+) ")


def node_handler(conn, log):
    """A SOCKS 5 node: CONNECT to port 1 streams to the client, to port 2 echoes."""
    recv_exact(conn, 3)
    conn.sendall(b"\x05\x00")
    request = recv_exact(conn, 10)
    conn.sendall(b"\x05\x00\x00\x01" + bytes(6))
    conn.settimeout(None)
    if request[8:10] == ECHO_PORT.to_bytes(2, "big"):
        echo_until_close(conn)
        return
    try:
        conn.sendall(bytes(STREAM_BYTES))
    except OSError:
        return  # the session ended while the client still did not read
    recv_until_close(conn)


def thread_count(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


class StalledClients(ServiceTestCase):
    def live_connections(self, svc):
        for line in reversed(svc.stdout_lines):
            m = STATS.match(line)
            if m:
                return int(m.group(1))
        return None

    def wait_for(self, what, condition, seconds):
        deadline = time.monotonic() + seconds
        while not condition():
            self.assertLess(time.monotonic(), deadline, what)
            time.sleep(0.5)

    def test_six_hundred_clients_that_never_read(self):
        node = ScriptedNode(node_handler)
        self.addCleanup(node.stop)
        svc = self.start_service(f"socks5://127.0.0.1:{node.port}", extra_args=["--stats", "1"])
        idle_threads = thread_count(svc.proc.pid)
        clients = []
        self.addCleanup(lambda: [c.close() for c in clients])
        for _ in range(600):
            c = socket.socket()
            c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            c.connect(("127.0.0.1", svc.port))
            c.sendall(b"\x05\x01\x00" + peers.socks5_request(1, "127.0.0.1", STREAM_PORT))
            clients.append(c)
        self.wait_for("the sessions never filled up", lambda: (self.live_connections(svc) or 0) >= 500, 30)
        started = time.monotonic()
        self.wait_for("sessions whose clients never read did not end",
                      lambda: self.live_connections(svc) == 0, IDLE_LIMIT + 30)
        self.assertGreater(time.monotonic() - started, IDLE_LIMIT / 2,
                           "sessions ended long before the idle limit")
        # The session threads go back to idle and then away.
        self.wait_for("session threads stayed", lambda: thread_count(svc.proc.pid) <= idle_threads + 1, 30)
        with peers.socks5_open(svc.port) as s:
            s.sendall(peers.socks5_request(1, "127.0.0.1", ECHO_PORT))
            self.assertEqual(recv_exact(s, 10)[:2], b"\x05\x00")
            s.sendall(b"still serving")
            self.assertEqual(recv_exact(s, 13), b"still serving")


if __name__ == "__main__":
    unittest.main()
