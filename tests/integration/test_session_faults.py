# ctest-timeout: 400
"""Sessions under strain: bulk both ways at once, half-closed streams, UDP
associations with strangers and broken answers, and a service that runs out
of descriptors or threads for a while."""

import hashlib
import os
import resource
import signal
import socket
import threading
import time
import unittest

from peers import (Danted, ScriptedNode, ServiceTestCase, SsServer, UdpEchoServer,
                   echo_until_close, recv_exact, recv_until_close, socks5_open, socks5_request,
                   socks5_udp_header, udp_exchange)

SS_METHOD = "aes-256-gcm"
SS_PASSWORD = "faults-Pw-7"


def connect_through(svc_port, target_port, timeout=30):
    """A SOCKS 5 CONNECT through the service; the socket, or None when the
    service refused or closed."""
    try:
        s = socks5_open(svc_port, timeout=timeout)
    except (AssertionError, OSError):
        return None
    try:
        s.sendall(socks5_request(1, "127.0.0.1", target_port))
        if recv_exact(s, 10)[:2] == b"\x05\x00":
            return s
    except OSError:
        pass
    s.close()
    return None


def assert_echo(test, s, payload=b"ping"):
    s.sendall(payload)
    test.assertEqual(recv_exact(s, len(payload)), payload)


def patient_echo(conn, log):
    """echo_until_close with the client's own patience. The peers' usual 10 s
    per call is too short here: on a loaded machine one direction of a bulk
    transfer can stand still longer than that, and an echo that gives up
    closes with unread bytes, which resets the whole chain back to the client."""
    conn.settimeout(120)
    echo_until_close(conn)


class BulkBothWays(ServiceTestCase):
    """64 MiB each way at once through one session to an echo peer that
    reads and writes in turn: neither direction may wait for the other."""

    SIZE = 64 << 20

    @classmethod
    def setUpClass(cls):
        cls.echo = cls.class_peer(ScriptedNode(patient_echo))
        cls.danted = cls.class_peer(Danted())
        # Verbose: when a run breaks off, its log tells whether the server gave up.
        cls.ss = cls.class_peer(SsServer(SS_METHOD, SS_PASSWORD, extra_args=["-v"]))

    def test_both_ways_through_each_node_kind(self):
        payload = os.urandom(1 << 20) * (self.SIZE >> 20)
        want = hashlib.sha256(payload).hexdigest()
        nodes = {"danted": f"socks5://127.0.0.1:{self.danted.port}",
                 "ss-server": f"ss://{SS_METHOD}:{SS_PASSWORD}@127.0.0.1:{self.ss.port}"}
        for name, node in nodes.items():
            with self.subTest(node=name):
                svc = self.start_service(node)
                s = connect_through(svc.port, self.echo.port)
                self.assertIsNotNone(s)
                self.addCleanup(s.close)
                s.settimeout(120)
                sender = threading.Thread(target=s.sendall, args=(payload,), daemon=True)
                sender.start()
                got = hashlib.sha256()
                left = self.SIZE
                broken = None
                try:
                    while left:
                        chunk = s.recv(min(left, 1 << 20))
                        if not chunk:
                            break
                        got.update(chunk)
                        left -= len(chunk)
                except OSError as e:
                    broken = e
                sender.join(120)
                # Which side gave up is in the logs of the service and of the node.
                why = f"echo: {self.echo.errors}; service: {svc.stderr()!r}"
                if name == "ss-server":
                    why += f"; ss-server: {self.ss.log()[-1500:]!r}"
                self.assertIsNone(broken, why)
                self.assertEqual(left, 0, f"{left} bytes never came back; {why}")
                self.assertEqual(got.hexdigest(), want, "bytes changed on the way")


    def test_a_node_that_stands_still_for_a_while_is_waited_for(self):
        # 12 s: longer than the peers' usual per-call limit, well inside the
        # service's own limit for a receiver that takes nothing.
        payload = os.urandom(8 << 20)
        svc = self.start_service(f"ss://{SS_METHOD}:{SS_PASSWORD}@127.0.0.1:{self.ss.port}")
        s = connect_through(svc.port, self.echo.port)
        self.assertIsNotNone(s)
        self.addCleanup(s.close)
        s.settimeout(120)
        assert_echo(self, s)
        os.kill(self.ss.proc.pid, signal.SIGSTOP)
        try:
            sender = threading.Thread(target=s.sendall, args=(payload,), daemon=True)
            sender.start()
            time.sleep(12)
        finally:
            os.kill(self.ss.proc.pid, signal.SIGCONT)
        got = recv_exact(s, len(payload))
        sender.join(120)
        self.assertTrue(got == payload, f"bytes changed or lost; echo: {self.echo.errors}; service: {svc.stderr()!r}")


class BrokenNodeStream(ServiceTestCase):
    """A node whose answer does not decode ends the session, and the
    service's log says so: the client only sees its connection go."""

    def test_undecodable_answer_is_logged(self):
        def garbage(conn, log):
            conn.recv(65536)
            conn.sendall(os.urandom(4096))
            recv_until_close(conn)

        node = ScriptedNode(garbage)
        self.addCleanup(node.stop)
        svc = self.start_service(f"ss://{SS_METHOD}:{SS_PASSWORD}@127.0.0.1:{node.port}")
        s = connect_through(svc.port, 9)
        self.assertIsNotNone(s)
        with s:
            s.settimeout(30)
            s.sendall(b"request")
            self.assertEqual(recv_until_close(s), b"", "undecodable bytes reached the client")
        deadline = time.monotonic() + 10
        while "a relay ended" not in svc.stderr() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertIn("vantor: a relay ended: the node's stream could not be decoded", svc.stderr())


class HalfClose(ServiceTestCase):
    """A client that sends its request and shuts down its sending side still
    gets the whole answer (danted carries half-closes)."""

    ANSWER = os.urandom(100000)

    @classmethod
    def setUpClass(cls):
        def answer_after_request(conn, log):
            log.append(recv_until_close(conn))
            conn.sendall(cls.ANSWER)

        cls.target = cls.class_peer(ScriptedNode(answer_after_request))
        cls.danted = cls.class_peer(Danted())

    def test_answer_after_the_clients_end_of_stream(self):
        svc = self.start_service(f"socks5://127.0.0.1:{self.danted.port}")
        for attempt in range(3):
            with self.subTest(attempt=attempt):
                s = connect_through(svc.port, self.target.port)
                self.assertIsNotNone(s)
                with s:
                    s.settimeout(30)
                    s.sendall(b"request %d" % attempt)
                    s.shutdown(socket.SHUT_WR)
                    got = recv_until_close(s)
                self.assertEqual(len(got), len(self.ANSWER))
                self.assertTrue(got == self.ANSWER, "answer corrupted")
        self.assertEqual(self.target.log, [b"request 0", b"request 1", b"request 2"])


class RecordingEcho(UdpEchoServer):
    def __init__(self):
        self.payloads = []
        super().__init__()

    def answer(self, data, peer):
        self.payloads.append(data)
        return data


class AssociationOwner(ServiceTestCase):
    """A UDP association answers only its owner: the address the client
    declared, or else the source of its first datagram. Datagrams of anyone
    else are dropped."""

    @classmethod
    def setUpClass(cls):
        cls.echo = cls.class_peer(RecordingEcho())
        cls.danted = cls.class_peer(Danted())
        cls.ss = cls.class_peer(SsServer(SS_METHOD, SS_PASSWORD, udp=True))

    def assert_silent(self, sock, wait=0.5):
        sock.settimeout(wait)
        try:
            data, _ = sock.recvfrom(65535)
        except (socket.timeout, ConnectionRefusedError):
            return
        self.fail(f"a stranger received {data[:40]!r}")

    def stranger(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        self.addCleanup(s.close)
        return s

    def test_strangers_neither_reach_the_node_nor_get_answers(self):
        header = socks5_udp_header("127.0.0.1", self.echo.port)
        nodes = {"danted": f"socks5://127.0.0.1:{self.danted.port}",
                 "ss-server": f"ss://{SS_METHOD}:{SS_PASSWORD}@127.0.0.1:{self.ss.port}"}
        for name, node in nodes.items():
            with self.subTest(node=name, owner="first datagram"):
                svc = self.start_service(node)
                _, udp, relay = self.udp_association(svc)
                udp_exchange(udp, relay, header + b"owner", header + b"owner")
                intruder = self.stranger()
                intruder.sendto(header + b"intruder", relay)
                udp_exchange(udp, relay, header + b"again", header + b"again")
                self.assert_silent(intruder)
                self.assertNotIn(b"intruder", self.echo.payloads, "a stranger's datagram was relayed")
            with self.subTest(node=name, owner="declared"):
                owner = self.stranger()
                ctl = socks5_open(svc.port)
                self.addCleanup(ctl.close)
                ctl.sendall(socks5_request(3, "127.0.0.1", owner.getsockname()[1]))
                reply = recv_exact(ctl, 10)
                self.assertEqual(reply[:2], b"\x05\x00")
                relay = (socket.inet_ntoa(reply[4:8]), int.from_bytes(reply[8:10], "big"))
                intruder = self.stranger()
                intruder.sendto(header + b"first", relay)
                self.assert_silent(intruder)
                udp_exchange(owner, relay, header + b"owner", header + b"owner")


class UndecodableDatagram(ServiceTestCase):
    """A datagram from the node that does not decode is dropped: the client
    never sees an empty datagram, and the association goes on."""

    def test_garbage_from_the_node_is_dropped(self):
        node = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        node.bind(("127.0.0.1", 0))
        self.addCleanup(node.close)
        node.settimeout(10)
        svc = self.start_service(f"ss://{SS_METHOD}:{SS_PASSWORD}@127.0.0.1:{node.getsockname()[1]}")
        _, udp, relay = self.udp_association(svc)
        datagram = socks5_udp_header("127.0.0.1", 9) + b"ping"
        udp.sendto(datagram, relay)
        sealed, source = node.recvfrom(65535)
        node.sendto(os.urandom(len(sealed)), source)
        node.sendto(b"", source)
        # The client's own datagram decodes with the same key: a good answer.
        node.sendto(sealed, source)
        udp.settimeout(10)
        got, _ = udp.recvfrom(65535)
        self.assertEqual(got, datagram, "the first datagram to arrive is not the good answer")


def limit_descriptors(count):
    def apply():
        resource.setrlimit(resource.RLIMIT_NOFILE, (count, count))
    return apply


def limit_threads(count, uid=65533):
    """Runs the service as a user of its own whose processes may have at most
    ``count`` threads in all (root is not held to the limit)."""
    def apply():
        resource.setrlimit(resource.RLIMIT_NPROC, (count, count))
        os.setgroups([])
        os.setgid(uid)
        os.setuid(uid)
    return apply


class Shortages(ServiceTestCase):
    """Running out of descriptors or threads for a while ends only the
    connections that came in meanwhile: the service accepts and relays again
    once sessions have given them back."""

    @classmethod
    def setUpClass(cls):
        cls.echo = cls.class_peer(ScriptedNode(lambda conn, log: echo_until_close(conn)))
        cls.danted = cls.class_peer(Danted())

    def hold_sessions(self, svc, count):
        held = []
        for _ in range(count):
            s = connect_through(svc.port, self.echo.port, timeout=2)
            if s is not None:
                held.append(s)
        return held

    def assert_serves_again(self, svc):
        deadline = time.monotonic() + 20
        while True:
            s = connect_through(svc.port, self.echo.port, timeout=5)
            if s is not None:
                with s:
                    assert_echo(self, s)
                return
            self.assertLess(time.monotonic(), deadline, "the service does not serve any more")
            time.sleep(0.2)

    def test_out_of_descriptors(self):
        svc = self.start_service(f"socks5://127.0.0.1:{self.danted.port}",
                                 preexec_fn=limit_descriptors(40))
        # A first session, before the shortage, as in a service that has been
        # running (the sanitizer build checks each dynamic type once, and
        # needs descriptors for that first check).
        self.assert_serves_again(svc)
        # Connections that say nothing yet each hold one descriptor of the
        # service, until accept finds none left.
        held = [socket.create_connection(("127.0.0.1", svc.port)) for _ in range(50)]
        deadline = time.monotonic() + 5
        while len(os.listdir(f"/proc/{svc.proc.pid}/fd")) < 38:
            self.assertLess(time.monotonic(), deadline, "the descriptor limit never bit")
            time.sleep(0.05)
        time.sleep(0.3)  # accept keeps failing meanwhile
        for s in held:
            s.close()
        self.assert_serves_again(svc)
        self.assertIn("cannot accept a connection", svc.stderr())

    @unittest.skipIf(os.geteuid() != 0, "needs root to run the service as another user")
    def test_out_of_threads(self):
        svc = self.start_service(f"socks5://127.0.0.1:{self.danted.port}",
                                 preexec_fn=limit_threads(8))
        held = self.hold_sessions(svc, 12)
        self.assertGreater(len(held), 0)
        self.assertLess(len(held), 12, "the thread limit never bit")
        for s in held:
            assert_echo(self, s)
            s.close()
        self.assert_serves_again(svc)
        self.assertIn("cannot start a session thread", svc.stderr())


if __name__ == "__main__":
    unittest.main()
