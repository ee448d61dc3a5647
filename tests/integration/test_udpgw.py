# ctest-timeout: 420
"""The udpgw stream: one SOCKS 5 CONNECT to 127.0.0.1:7300 through the local
service carries UDP flows, each relayed through the node's own UDP form."""

import errno
import hashlib
import os
import random
import re
import socket
import struct
import time
import unittest

from peers import (Danted, ServiceTestCase, SsServer, UdpEchoServer, recv_exact, socks5_open,
                   socks5_request)

KEEPALIVE, REBIND, DNS, IPV6 = 0x01, 0x02, 0x04, 0x08
STATS = re.compile(r"^connections=(\d+) ")


def frame(flags, conid, ip, port, data=b""):
    body = bytes([flags]) + struct.pack("<H", conid)
    if ip is not None:
        body += socket.inet_aton(ip) + struct.pack("!H", port)
    return struct.pack("<H", len(body) + len(data)) + body + data


class TaggingEcho(UdpEchoServer):
    """UDP echo that answers with the sender's port in front of the data, so a
    test can see which upstream socket a datagram came from."""

    def __init__(self, host="127.0.0.1", port=0):
        self.peers = set()
        super().__init__(host, port)
        # Bursts of hundreds of flows must not overflow the echo's own buffer.
        self.sock.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_RCVBUFFORCE", socket.SO_RCVBUF), 4 << 20)

    def answer(self, data, peer):
        self.peers.add(peer)
        return struct.pack("!H", peer[1]) + data


def threads_of(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def dns_port_echo():
    """An echo on port 53 of a loopback address of its own: a fixed one
    could already be taken by a local resolver or a parallel test run."""
    for _ in range(20):
        host = f"127.{random.randrange(1, 255)}.{random.randrange(1, 255)}.{random.randrange(2, 255)}"
        try:
            echo = TaggingEcho(host, 53)
        except OSError as e:
            if e.errno != errno.EADDRINUSE:
                raise
            continue
        return echo
    raise AssertionError("no loopback address with port 53 free")


def udp_ports_of(pid):
    """Local ports of the UDP sockets the process holds."""
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    ports = []
    with open("/proc/net/udp") as f:
        for line in f.readlines()[1:]:
            parts = line.split()
            if parts[9] in inodes:
                ports.append(int(parts[1].split(":")[1], 16))
    return ports


def spoofed_udp(source, destination, payload):
    """Sends a UDP datagram that claims to come from ``source`` (root only)."""
    length = 8 + len(payload)
    udp = struct.pack("!HHHH", source[1], destination[1], length, 0) + payload  # no checksum
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + length, 0, 0, 64, socket.IPPROTO_UDP, 0,
                     socket.inet_aton(source[0]), socket.inet_aton(destination[0]))
    with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW) as raw:
        raw.sendto(ip + udp, (destination[0], 0))


class UdpgwStream:
    """The tunnel's side of the udpgw stream."""

    def __init__(self, service_port):
        self.sock = socks5_open(service_port)
        self.sock.sendall(socks5_request(1, "127.0.0.1", 7300))
        reply = recv_exact(self.sock, 10)
        if reply[1] != 0:
            raise AssertionError(f"udpgw CONNECT refused: {reply.hex()}")
        self.buf = b""

    def send(self, data):
        self.sock.sendall(data)

    def messages(self, count, timeout=10.0):
        """The next `count` messages as (flags, conid, ip, port, data)."""
        out = []
        deadline = time.monotonic() + timeout
        while len(out) < count:
            while len(self.buf) >= 2:
                n = struct.unpack("<H", self.buf[:2])[0]
                if len(self.buf) < n + 2:
                    break
                m, self.buf = self.buf[2:n + 2], self.buf[n + 2:]
                flags, conid = m[0], struct.unpack("<H", m[1:3])[0]
                ip = socket.inet_ntoa(m[3:7])
                port = struct.unpack("!H", m[7:9])[0]
                out.append((flags, conid, ip, port, m[9:]))
            if len(out) >= count:
                break
            left = deadline - time.monotonic()
            if left <= 0:
                break
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                break
            if not chunk:
                break
            self.buf += chunk
        return out

    def echo_all(self, echo_port, payloads, flags=0, tries=4):
        """Sends one datagram per conid of ``payloads`` to a TaggingEcho and
        resends, without flags, those still unanswered: a peer with a full
        buffer drops datagrams, a flow must not. Returns the conids that
        never got their payload back."""
        missing = set(payloads)
        for attempt in range(tries):
            self.send(b"".join(frame(flags if attempt == 0 else 0, c, "127.0.0.1", echo_port, payloads[c])
                               for c in sorted(missing)))
            deadline = time.monotonic() + 10
            while missing and time.monotonic() < deadline:
                for _, conid, _, _, data in self.messages(len(missing), timeout=1):
                    if conid in missing and data[2:] == payloads[conid]:
                        missing.discard(conid)
            if not missing:
                break
        return missing

    def close(self):
        self.sock.close()


class UdpgwCase:
    """Shared cases; subclasses provide the node."""

    def start(self, extra=()):
        return self.start_service(self.node_link(), extra_args=list(extra))

    def setUp(self):
        self.echo = TaggingEcho()
        self.addCleanup(self.echo.stop)

    def test_flows_get_their_answers(self):
        svc = self.start()
        stream = UdpgwStream(svc.port)
        self.addCleanup(stream.close)
        sent = {}
        for conid in range(1, 21):
            data = os.urandom(50 + conid * 37)
            sent[conid] = data
            stream.send(frame(0, conid, "127.0.0.1", self.echo.port, data))
        # A keepalive between them is consumed without an answer.
        stream.send(frame(KEEPALIVE, 0, None, 0))
        replies = stream.messages(20)
        self.assertEqual(len(replies), 20, "every flow answered once")
        for flags, conid, ip, port, data in replies:
            self.assertEqual(flags, 0)
            self.assertEqual((ip, port), ("127.0.0.1", self.echo.port))
            self.assertEqual(data[2:], sent[conid], f"conid {conid} got another flow's data")
        self.assertEqual(stream.messages(1, timeout=0.5), [], "nothing beyond the 20 answers")

    def test_a_thousand_flows_are_served_and_rebound(self):
        svc = self.start()
        stream = UdpgwStream(svc.port)
        self.addCleanup(stream.close)
        for rnd in range(3):
            # Every conid again, with REBIND after the first round: each flow
            # is reset and reopened while the others carry datagrams.
            payloads = {c: struct.pack("!HH", c, rnd) * 4 for c in range(1000)}
            missing = stream.echo_all(self.echo.port, payloads, REBIND if rnd else 0)
            self.assertEqual(missing, set(), f"round {rnd}: {len(missing)} flows never answered")

    def test_rebind_opens_a_new_upstream_socket(self):
        svc = self.start()
        stream = UdpgwStream(svc.port)
        self.addCleanup(stream.close)
        stream.send(frame(0, 7, "127.0.0.1", self.echo.port, b"first"))
        (_, _, _, _, first), = stream.messages(1)
        stream.send(frame(0, 7, "127.0.0.1", self.echo.port, b"again"))
        (_, _, _, _, again), = stream.messages(1)
        stream.send(frame(REBIND, 7, "127.0.0.1", self.echo.port, b"rebound"))
        (_, conid, _, _, rebound), = stream.messages(1)
        self.assertEqual(first[:2], again[:2], "one flow, one upstream socket")
        self.assertEqual(rebound[2:], b"rebound")
        self.assertEqual(conid, 7)
        self.assertNotEqual(first[:2], rebound[:2], "REBIND must open a fresh upstream socket")

    def test_idle_dns_flows_close_and_their_workers_go(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to listen on port 53")
        dns = dns_port_echo()
        self.addCleanup(dns.stop)
        svc = self.start(["--stats", "1"])
        stream = UdpgwStream(svc.port)
        self.addCleanup(stream.close)
        # 40 flows: more than one worker serves.
        stream.send(b"".join(frame(0, c, dns.host, 53, b"query") for c in range(1, 41)))
        self.assertEqual(len(stream.messages(40)), 40)
        counts = self.wait_counts(svc, lambda n: n == 41, 5)
        self.assertEqual(counts[-1], 41, "the stream's session and the DNS flows")
        busy = threads_of(svc.proc.pid)
        start = time.monotonic()
        counts = self.wait_counts(svc, lambda n: n == 1, 30)
        self.assertEqual(counts[-1], 1, "the idle DNS flows were closed")
        self.assertGreaterEqual(time.monotonic() - start, 15, "not before their 20 s idle limit")
        # Threads follow the flows: the workers of the closed flows end.
        deadline = time.monotonic() + 5
        while threads_of(svc.proc.pid) > busy - 2 and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertLessEqual(threads_of(svc.proc.pid), busy - 2, "workers without flows remain")
        stream.close()
        counts = self.wait_counts(svc, lambda n: n == 0, 5)
        self.assertEqual(counts[-1], 0, "closing the stream ends its session")

    def wait_counts(self, svc, done, timeout):
        seen = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for line in list(svc.stdout_lines[len(seen):]):
                m = STATS.match(line)
                seen.append(int(m.group(1)) if m else -1)
            if seen and seen[-1] >= 0 and done(seen[-1]):
                break
            time.sleep(0.2)
        return [c for c in seen if c >= 0] or [-1]


class UdpgwThroughShadowsocks(UdpgwCase, ServiceTestCase):
    @classmethod
    def setUpClass(cls):
        cls.ss = cls.class_peer(SsServer("aes-256-gcm", "udpgw-test", udp=True))

    def node_link(self):
        return f"ss://{self.ss.method}:{self.ss.password}@127.0.0.1:{self.ss.port}"

    def test_a_new_dns_flow_beside_a_long_idle_one_closes_on_time(self):
        # The worker waits for the 60 s limit of an ordinary flow when the
        # reader opens a DNS flow of its shard, whose server never answers
        # (nothing listens there): the DNS flow must still close after its
        # own 20 s. (A SOCKS node's association wakes the worker anyway.)
        silent = f"127.{random.randrange(1, 255)}.{random.randrange(1, 255)}.{random.randrange(2, 255)}"
        svc = self.start(["--stats", "1"])
        stream = UdpgwStream(svc.port)
        self.addCleanup(stream.close)
        stream.send(frame(0, 1, "127.0.0.1", self.echo.port, b"ordinary"))
        self.assertEqual(len(stream.messages(1)), 1)
        time.sleep(0.5)  # the worker is waiting now
        stream.send(frame(0, 2, silent, 53, b"query"))
        counts = self.wait_counts(svc, lambda n: n == 3, 5)
        self.assertEqual(counts[-1], 3, "the stream's session and both flows")
        start = time.monotonic()
        counts = self.wait_counts(svc, lambda n: n == 2, 35)
        self.assertEqual(counts[-1], 2, "the DNS flow was not closed after its idle limit")
        self.assertGreaterEqual(time.monotonic() - start, 15, "not before its 20 s idle limit")

    def test_many_flows_answer_a_slow_reader_whole_and_in_order(self):
        # 80 flows, so three workers and the writer take turns at the
        # stream, answer bursts of large datagrams while the tunnel's side
        # reads nothing and then reads in small pieces: the stream fills, a
        # worker finds it taken or full and what it could not write waits
        # for the writer. Every message must arrive whole, each flow's
        # answers in the order they were sent, and the reader must go on
        # taking the stream all the while (else the sends below stall).
        flows, rounds, size = 80, 60, 1400
        svc = self.start()
        stream = UdpgwStream(svc.port)
        self.addCleanup(stream.close)
        stream.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32768)
        stream.sock.settimeout(20)

        def payload(conid, seq):
            head = struct.pack("!HH", conid, seq)
            return head + hashlib.sha256(head).digest() * (size // 32)

        for seq in range(rounds):
            stream.send(b"".join(frame(0, c, "127.0.0.1", self.echo.port, payload(c, seq))
                                 for c in range(1, flows + 1)))
            time.sleep(0.01)  # the node and the echo keep up: few datagrams lost on the way
        time.sleep(0.5)
        last, received, buf, reads = {}, 0, b"", 0
        stream.sock.settimeout(3)
        while True:
            try:
                chunk = stream.sock.recv(4096)
            except socket.timeout:
                break
            if not chunk:
                break
            reads += 1
            if reads % 8 == 0:
                time.sleep(0.001)
            buf += chunk
            while len(buf) >= 2:
                n = struct.unpack("<H", buf[:2])[0]
                if len(buf) < n + 2:
                    break
                m, buf = buf[2:n + 2], buf[n + 2:]
                conid = struct.unpack("<H", m[1:3])[0]
                self.assertEqual((m[0], m[3:9]), (0, socket.inet_aton("127.0.0.1") + struct.pack("!H", self.echo.port)),
                                 f"message {received}: a broken head")
                data = m[11:]
                self.assertGreaterEqual(len(data), 4, f"message {received}: too short")
                owner, seq = struct.unpack("!HH", data[:4])
                self.assertEqual((owner, data), (conid, payload(conid, seq)),
                                 f"message {received}: torn, mixed with another, or of another flow")
                self.assertGreater(seq, last.get(conid, -1), f"conid {conid}: answers out of order")
                last[conid] = seq
                received += 1
        self.assertEqual(buf, b"", "a message left half written")
        self.assertEqual(len(last), flows, "flows that never answered")
        self.assertGreaterEqual(received, flows * rounds * 3 // 4, "most answers arrive")

    def test_datagrams_from_elsewhere_or_garbage_leave_the_flow_alone(self):
        svc = self.start()
        stream = UdpgwStream(svc.port)
        self.addCleanup(stream.close)
        stream.send(frame(0, 5, "127.0.0.1", self.echo.port, b"one"))
        (_, _, _, _, first), = stream.messages(1)
        ports = udp_ports_of(svc.proc.pid)
        self.assertEqual(len(ports), 1, "one flow, one socket")
        flow_port = ports[0]
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as stranger:
            stranger.sendto(os.urandom(60), ("127.0.0.1", flow_port))
            stranger.sendto(b"", ("127.0.0.1", flow_port))
        if os.geteuid() == 0:
            # Garbage that seems to come from the node itself.
            spoofed_udp(("127.0.0.1", self.ss.port), ("127.0.0.1", flow_port), os.urandom(80))
            spoofed_udp(("127.0.0.1", self.ss.port), ("127.0.0.1", flow_port), b"\x01")
        time.sleep(0.3)
        stream.send(frame(0, 5, "127.0.0.1", self.echo.port, b"two"))
        replies = stream.messages(2, timeout=2)
        self.assertEqual([r[4][2:] for r in replies], [b"two"], "garbage reached the tunnel, or the answer did not")
        self.assertEqual(replies[0][4][:2], first[:2], "the flow was reset and opened a new upstream socket")


class UdpgwThroughSocks5(UdpgwCase, ServiceTestCase):
    @classmethod
    def setUpClass(cls):
        cls.danted = cls.class_peer(Danted())

    def node_link(self):
        return f"socks5://127.0.0.1:{self.danted.port}"


if __name__ == "__main__":
    unittest.main()
