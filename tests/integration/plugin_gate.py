"""A gate in front of a plugin's server side: it admits only TCP connections
that open the way the plugin's framing does (an HTTP upgrade request for obfs
http and v2ray-plugin's websocket, a TLS ClientHello for obfs tls), so what
gets through went through the plugin; with ``udp_target`` it also relays its
port's UDP to ss-server as it is. As a program (for a network namespace):
``plugin_gate.py MODE HOST PORT TARGET_PORT [UDP_TARGET_PORT]`` prints "ready",
then "admitted" or "refused" for each connection."""

import socket
import sys
import threading


def verdict(mode, head):
    """True or False once ``head`` tells the plugin's opening from another, None before."""
    if mode == "tls":
        return head[:2] == b"\x16\x03" if len(head) >= 2 else None
    if not b"GET ".startswith(head[:4]):
        return False
    return b"upgrade: websocket" in head.lower() if b"\r\n\r\n" in head else None


def copy(src, dst):
    try:
        while data := src.recv(65536):
            dst.sendall(data)
        dst.shutdown(socket.SHUT_WR)
    except OSError:
        pass


class Gate:
    def __init__(self, mode, tcp_target, udp_target=None, host="127.0.0.1", port=0, report=None):
        self.mode, self.host, self.tcp_target, self.report = mode, host, tcp_target, report
        self.admitted = self.refused = 0
        self.listener = socket.create_server((host, port))
        self.port = self.listener.getsockname()[1]
        self.udp = None
        threading.Thread(target=self._accept, daemon=True).start()
        if udp_target:
            self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.udp.bind((host, self.port))  # a taken UDP port fails the test, never passes it
            threading.Thread(target=self._relay_udp, args=(udp_target,), daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        head, ok = b"", None
        try:
            conn.settimeout(10)
            while ok is None and (data := conn.recv(4096)):
                head += data
                ok = verdict(self.mode, head)
        except OSError:
            pass
        if ok is None:
            conn.close()  # said nothing that tells (a readiness check)
            return
        if ok:
            self.admitted += 1
        else:
            self.refused += 1
            conn.close()
        if self.report:
            self.report("admitted" if ok else "refused")
        if not ok:
            return
        with conn, socket.create_connection((self.host, self.tcp_target)) as up:
            conn.settimeout(None)
            up.sendall(head)
            back = threading.Thread(target=copy, args=(up, conn), daemon=True)
            back.start()
            copy(conn, up)
            back.join()

    def _relay_udp(self, target):
        upstream = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        upstream.connect((self.host, target))
        client = []

        def answers():
            while True:
                data = upstream.recv(65535)
                if client:
                    self.udp.sendto(data, client[0])

        threading.Thread(target=answers, daemon=True).start()
        while True:
            try:
                data, peer = self.udp.recvfrom(65535)
            except OSError:
                return
            client[:] = [peer]
            upstream.send(data)

    def stop(self):
        for s in (self.listener, self.udp):
            if s:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                s.close()


if __name__ == "__main__":
    mode, host, port, target = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    Gate(mode, target, int(sys.argv[5]) if len(sys.argv) > 5 else None, host, port,
         lambda what: print(what, flush=True))
    print("ready", flush=True)
    threading.Event().wait()
