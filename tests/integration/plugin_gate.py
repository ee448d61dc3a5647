"""A gate in front of a plugin's server side that admits only TCP connections
opening the way the plugin's framing does (an HTTP upgrade request for obfs
http and v2ray-plugin's websocket, a TLS ClientHello for obfs tls) and drops
any other, so traffic that gets through provably went through the plugin. It
can also relay its port's UDP to the Shadowsocks server as it is.

Run as a program (for other network namespaces):
    plugin_gate.py MODE HOST PORT TARGET_PORT [UDP_TARGET_PORT]
prints "ready", then "admitted" or "refused" for each connection.
"""

import select
import socket
import sys
import threading


def opens_like(mode, head):
    """Whether the first bytes of a connection are the plugin's opening."""
    if mode == "tls":
        return head[:2] == b"\x16\x03"
    # obfs http and v2ray-plugin's websocket both open with an upgrade request.
    return head.startswith(b"GET ") and b"upgrade: websocket" in head.lower()


def decided(mode, head):
    """Whether ``head`` is enough to tell a plugin's opening from another."""
    if mode == "tls" or not b"GET ".startswith(head[:4]):
        return len(head) >= 2
    return len(head) >= 4096 or b"\r\n\r\n" in head


class Gate:
    """Public TCP and UDP port in front of a server: TCP connections whose
    opening is not ``mode``'s are dropped; UDP is relayed as it is."""

    def __init__(self, mode, tcp_target, udp_target=None, host="127.0.0.1", port=0, report=None):
        """``udp_target``: ss-server's port for the UDP relay (none without);
        ``port`` 0: one free for TCP and UDP; ``report``: called with
        "admitted" or "refused" for each connection."""
        self.mode, self.host, self.tcp_target, self.report = mode, host, tcp_target, report
        self.admitted = self.refused = 0
        self.listener = self.udp = self.upstream_udp = None
        for _ in range(20):
            self.listener = socket.socket()
            self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                self.listener.bind((host, port))
                if udp_target:
                    self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                    self.udp.bind((host, self.listener.getsockname()[1]))
                break
            except OSError:
                self.listener.close()
                if self.udp:
                    self.udp.close()
                    self.udp = None
                if port:
                    raise
        self.port = self.listener.getsockname()[1]
        self.listener.listen(64)
        self.udp_client = None
        self.stopping = False
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        if udp_target:
            self.upstream_udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.upstream_udp.connect((host, udp_target))
            self.threads.append(threading.Thread(target=self._relay_udp, daemon=True))
        for t in self.threads:
            t.start()

    def _accept(self):
        while not self.stopping:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        with conn:
            conn.settimeout(10)
            head = b""
            try:
                while not decided(self.mode, head):
                    data = conn.recv(4096)
                    if not data:
                        break
                    head += data
            except OSError:
                return
            if not head:
                return  # a connection that said nothing (a readiness check) proves nothing
            if not opens_like(self.mode, head):
                self.refused += 1
                if self.report:
                    self.report("refused")
                return
            self.admitted += 1
            if self.report:
                self.report("admitted")
            with socket.create_connection((self.host, self.tcp_target)) as up:
                up.sendall(head)
                conn.settimeout(None)
                pipe(conn, up)

    def _relay_udp(self):
        while not self.stopping:
            ready, _, _ = select.select([self.udp, self.upstream_udp], [], [], 0.2)
            try:
                if self.udp in ready:
                    data, self.udp_client = self.udp.recvfrom(65535)
                    self.upstream_udp.send(data)
                if self.upstream_udp in ready:
                    data = self.upstream_udp.recv(65535)
                    if self.udp_client:
                        self.udp.sendto(data, self.udp_client)
            except OSError:
                pass

    def stop(self):
        self.stopping = True
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()
        for t in self.threads:
            t.join(5)
        for s in (self.udp, self.upstream_udp):
            if s:
                s.close()


def pipe(a, b):
    """Relays both ways until both directions closed."""
    socks = [a, b]
    open_from = {a: True, b: True}
    while any(open_from.values()):
        ready, _, _ = select.select([s for s in socks if open_from[s]], [], [], 30)
        if not ready:
            return
        for s in ready:
            other = b if s is a else a
            try:
                data = s.recv(65536)
                if data:
                    other.sendall(data)
                    continue
            except OSError:
                return
            open_from[s] = False
            try:
                other.shutdown(socket.SHUT_WR)
            except OSError:
                pass


if __name__ == "__main__":
    mode, host, port, target = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    udp_target = int(sys.argv[5]) if len(sys.argv) > 5 else None
    gate = Gate(mode, target, udp_target, host=host, port=port, report=lambda what: print(what, flush=True))
    print("ready", flush=True)
    threading.Event().wait()
