"""Client-side actions of the end-to-end tests, run inside the client
namespace (whose default route leads into the tunnel). Each command prints
one JSON object with what it observed.

    python3 clients.py concurrent HOST PORT COUNT
    python3 clients.py halfclose HOST PORT NBYTES
    python3 clients.py slowread HOST PORT NBYTES
    python3 clients.py refused HOST PORT
    python3 clients.py connect HOST PORT
    python3 clients.py exchange HOST PORT TEXT NREAD
    python3 clients.py stream HOST PORT NBYTES
    python3 clients.py echo_bulk HOST PORT NBYTES
    python3 clients.py udp_exchange HOST PORT TEXT
    python3 clients.py udp_flows HOST PORT COUNT
    python3 clients.py udp_hold HOST PORT TRIGGER_FILE
    python3 clients.py udp_cone HOST PORT
    python3 clients.py churn HOST PORT PATH COUNT WORKERS RATE POOL
    python3 clients.py stall HOST PORT COUNT NBYTES TRIGGER_FILE
"""

import json
import os
import socket
import sys
import threading
import time


def out(**fields):
    print(json.dumps(fields), flush=True)


def concurrent(host, port, count):
    """COUNT connections open at once, each echoing its own 32 KiB."""
    count = int(count)
    barrier = threading.Barrier(count, timeout=60)
    results = [None] * count

    def one(i):
        payload = (b"%05d" % i) * 6554  # 32770 bytes, unique per connection
        try:
            s = socket.create_connection((host, int(port)), timeout=60)
            with s:
                barrier.wait()  # every connection is established before any data flows
                s.sendall(payload)
                got = bytearray()
                while len(got) < len(payload):
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    got += chunk
            results[i] = bytes(got) == payload
        except Exception as e:  # noqa: BLE001 - reported to the test
            results[i] = repr(e)

    threads = [threading.Thread(target=one, args=(i,)) for i in range(count)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    ok = sum(1 for r in results if r is True)
    errors = [r for r in results if r is not True][:5]
    out(ok=ok, count=count, seconds=time.monotonic() - start, errors=[str(e) for e in errors])


def halfclose(host, port, nbytes):
    """Sends NBYTES, half-closes, then reads what comes back."""
    n = int(nbytes)
    s = socket.create_connection((host, int(port)), timeout=20)
    s.sendall(os.urandom(n))
    s.shutdown(socket.SHUT_WR)
    got = b""
    error = None
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            got += chunk
    except OSError as e:
        error = e.__class__.__name__
    s.close()
    out(received=len(got), data=got[:64].decode("latin-1"), error=error)


def slowread(host, port, nbytes):
    """Asks the send server for NBYTES, waits until the server must have
    finished and closed, then reads everything slowly."""
    n = int(nbytes)
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.settimeout(30)
    s.connect((host, int(port)))
    s.sendall(b"%d\n" % n)
    time.sleep(1.0)
    got = 0
    error = None
    try:
        while True:
            chunk = s.recv(1024)
            if not chunk:
                break
            got += len(chunk)
            if got % (64 * 1024) < 1024:
                time.sleep(0.01)
    except OSError as e:
        error = e.__class__.__name__
    s.close()
    out(received=got, error=error)


def refused(host, port):
    """Connects to a port nobody serves behind the node."""
    result = {}
    try:
        s = socket.create_connection((host, int(port)), timeout=20)
        result["connected"] = True
        got = b""
        try:
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    break
                got += chunk
            result["end"] = "eof"
        except OSError as e:
            result["end"] = e.__class__.__name__
        result["received"] = len(got)
        s.close()
    except OSError as e:
        result["connected"] = False
        result["error"] = e.__class__.__name__
    out(**result)


def exchange(host, port, text, nread):
    """Sends TEXT plus a line end, reads NREAD bytes back (hex)."""
    s = socket.create_connection((host, int(port)), timeout=20)
    s.sendall(text.encode() + b"\n")
    got = b""
    while len(got) < int(nread):
        chunk = s.recv(4096)
        if not chunk:
            break
        got += chunk
    s.close()
    out(hex=got.hex())


def stream(host, port, nbytes):
    """Reads NBYTES from the send server at a limited pace; prints
    "receiving on port P" (its own port) once data flows and, at the end,
    when and how it ended."""
    s = socket.create_connection((host, int(port)), timeout=30)
    s.sendall(b"%d\n" % int(nbytes))
    got = 0
    announced = False
    error = None
    try:
        while True:
            chunk = s.recv(16384)
            if not chunk:
                break
            got += len(chunk)
            if not announced and got >= 1 << 20:
                print("receiving on port %d" % s.getsockname()[1], flush=True)
                announced = True
            time.sleep(0.002)
    except OSError as e:
        error = e.__class__.__name__
    out(received=got, error=error, ended_at=time.time())


def echo_bulk(host, port, nbytes):
    """Sends NBYTES of random data to the echo server while reading the
    echo back on another thread; reports whether every byte came back intact."""
    import hashlib
    n = int(nbytes)
    data = os.urandom(n)
    s = socket.create_connection((host, int(port)), timeout=60)
    got = hashlib.sha256()
    received = [0]

    def reader():
        while received[0] < n:
            chunk = s.recv(1 << 18)
            if not chunk:
                break
            got.update(chunk)
            received[0] += len(chunk)

    t = threading.Thread(target=reader)
    t.start()
    start = time.monotonic()
    s.sendall(data)
    t.join(120)
    s.close()
    out(received=received[0], intact=got.hexdigest() == hashlib.sha256(data).hexdigest(),
        seconds=time.monotonic() - start)


def connect(host, port):
    try:
        socket.create_connection((host, int(port)), timeout=3).close()
        out(connected=True)
    except OSError as e:
        out(connected=False, error=e.__class__.__name__, errno=e.errno)


def udp_exchange(host, port, text):
    """One datagram, one answer (or none within 5 s)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(5)
    s.sendto(text.encode(), (host, int(port)))
    try:
        data, peer = s.recvfrom(65535)
        out(answer=data.decode("latin-1"), peer=f"{peer[0]}:{peer[1]}", local=s.getsockname()[0])
    except socket.timeout:
        out(answer=None)


def udp_flows(host, port, count):
    """COUNT sockets (COUNT flows) each send their own datagram to the echo
    at once and wait for it to come back; a flow that got nothing resends
    every 3 s, for 30 s at most."""
    import selectors
    count = int(count)
    sel = selectors.DefaultSelector()
    socks = []
    for i in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setblocking(False)
        s.connect((host, int(port)))
        socks.append(s)
        sel.register(s, selectors.EVENT_READ, i)
    payload = [b"flow %05d %s" % (i, os.urandom(8).hex().encode()) for i in range(count)]
    answered = [False] * count
    first_try = 0
    wrong = 0
    sends = 0
    start = time.monotonic()
    deadline = start + 30
    next_send = start
    while not all(answered) and time.monotonic() < deadline:
        if time.monotonic() >= next_send:
            for i, s in enumerate(socks):
                if not answered[i]:
                    s.send(payload[i])
            sends += 1
            next_send = time.monotonic() + 3
        for key, _ in sel.select(timeout=0.2):
            i = key.data
            try:
                data = socks[i].recv(65535)
            except OSError:
                continue
            if data != payload[i]:
                wrong += 1
            elif not answered[i]:
                answered[i] = True
                first_try += sends == 1
    out(ok=sum(answered), count=count, first_try=first_try, wrong=wrong,
        seconds=time.monotonic() - start)


def udp_hold(host, port, trigger):
    """Keeps one flow: an exchange at once ("ready" after it), then, when
    TRIGGER appears, a single datagram whose answer may take a while."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.connect((host, int(port)))
    s.settimeout(5)
    s.send(b"before")
    first = s.recv(65535)
    print("ready" if first == b"before" else "wrong first answer", flush=True)
    while not os.path.exists(trigger):
        time.sleep(0.01)
    sent_at = time.monotonic()
    s.settimeout(20)
    s.send(b"during")
    try:
        got = s.recv(65535).decode("latin-1")
    except socket.timeout:
        got = None
    out(answer=got, seconds=time.monotonic() - sent_at)


def udp_cone(host, port):
    """One socket sends one datagram to HOST:PORT and collects what reaches
    it from anywhere for 3 s: each answer with its source."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", 0))
    s.sendto(b"hello", (host, int(port)))
    got = []
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        s.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            data, peer = s.recvfrom(65535)
        except socket.timeout:
            break
        got.append({"from": f"{peer[0]}:{peer[1]}", "data": data.decode("latin-1")})
        if len(got) == 2:
            break
    out(local_port=s.getsockname()[1], got=got)


def churn(host, port, path, count, workers, rate, pool):
    """COUNT short HTTP/1.0 fetches of PATH by WORKERS loops, RATE new
    connections a second in all, each with a 10 s connect timeout (curl's
    --connect-timeout). Half of the loops take the kernel's source ports;
    with POOL > 0 the others each cycle through their own POOL ports, so that
    a port comes back while the far end may still hold its last connection."""
    count, workers, rate, pool = int(count), int(workers), float(rate), int(pool)
    lock = threading.Lock()
    state = {"next": 0, "connected": 0, "complete": 0, "pooled": 0}
    failures = []
    connect_times = []
    start = time.monotonic()
    request = b"GET /%s HTTP/1.0\r\n\r\n" % path.encode()

    def fetch(src_port):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            if src_port:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                s.bind(("0.0.0.0", src_port))
            s.settimeout(10)
            t0 = time.monotonic()
            try:
                s.connect((host, int(port)))
            except OSError as e:
                return f"connect: {e.__class__.__name__} {e}"
            with lock:
                state["connected"] += 1
                connect_times.append(time.monotonic() - t0)
            s.settimeout(30)
            s.sendall(request)
            data = bytearray()
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
            head, _, body = bytes(data).partition(b"\r\n\r\n")
            length = [int(line.split(b":")[1]) for line in head.split(b"\r\n")
                      if line.lower().startswith(b"content-length:")]
            if not length or len(body) != length[0]:
                return f"transfer: {len(body)} bytes of {length}"
            return None
        except OSError as e:
            return f"transfer: {e.__class__.__name__} {e}"
        finally:
            s.close()

    def loop(w):
        ports = [0]
        if pool and w % 2 == 1:
            base = 20000 + (w // 2) * pool
            ports = list(range(base, base + pool))
        k = 0
        while True:
            with lock:
                i = state["next"]
                if i >= count:
                    return
                state["next"] += 1
            due = start + i / rate
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            src = ports[k % len(ports)]
            k += 1
            error = fetch(src)
            with lock:
                if src:
                    state["pooled"] += 1
                if error is None:
                    state["complete"] += 1
                else:
                    failures.append(error)

    threads = [threading.Thread(target=loop, args=(w,)) for w in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    connect_times.sort()
    out(count=count, connected=state["connected"], complete=state["complete"], pooled=state["pooled"],
        failures=failures[:10], failed=len(failures), seconds=time.monotonic() - start,
        connect_max=connect_times[-1] if connect_times else None,
        connect_p99=connect_times[int(len(connect_times) * 0.99)] if connect_times else None)


def stall(host, port, count, nbytes, trigger):
    """COUNT connections each ask the send server for NBYTES and read
    nothing (small receive buffers); "ready" once all asked. When TRIGGER
    appears, reads each for a moment (every one must still deliver), then
    closes them all."""
    count, n = int(count), int(nbytes)
    socks = []
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.settimeout(20)
        s.connect((host, int(port)))
        s.sendall(b"%d\n" % n)
        socks.append(s)
    print("ready", flush=True)
    while not os.path.exists(trigger):
        time.sleep(0.05)
    delivering = 0
    for s in socks:
        try:
            got = 0
            while got < 65536:
                chunk = s.recv(65536)
                if not chunk:
                    break
                got += len(chunk)
            delivering += got >= 65536
        except OSError:
            pass
        s.close()
    out(count=count, delivering=delivering)


if __name__ == "__main__":
    command, *rest = sys.argv[1:]
    globals()[command](*rest)
