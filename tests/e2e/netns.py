"""Network namespaces for the end-to-end tests and the tunnel benchmark.

A Topology makes two namespaces with unique names:

  client namespace                         server namespace
  lo, veth CLIENT_VETH_ADDR/24  <------->  veth NODE_ADDR/24 (the node listens here)
  default route -> TUN interface           lo TARGET_ADDR/32 (the targets listen here)

The client namespace reaches the node's address over the veth link only; it
has no route to TARGET_ADDR except the default route that the tests point
into the tunnel's TUN interface. Everything started through the topology
runs in its own process group and is stopped, and both namespaces are
deleted, by close() (also registered with atexit, so an aborted run still
cleans up).
"""

import atexit
import json
import os
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
import peers  # noqa: E402  (shared peer configurations)

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

CLIENT_VETH_ADDR = "10.210.0.1"
NODE_ADDR = "10.210.0.2"
TARGET_ADDR = "10.220.0.1"
TUN_NAME = "vt0"
TUNNEL_HOST_ADDR = "10.198.75.60"
TUNNEL_STACK_ADDR = "10.198.75.61"

SS_METHOD = "aes-256-gcm"
SS_PASSWORD = "e2e-tunnel-password"
SS_PORT = 8388
SOCKS_PORT = 1080


class TopologyError(RuntimeError):
    pass


def can_run():
    """Why the namespace tests cannot run here, or None when they can."""
    if os.geteuid() != 0:
        return "needs root (network namespaces)"
    if not os.path.exists("/dev/net/tun"):
        return "needs /dev/net/tun"
    for tool in ("ip", "ss-server", "danted", "curl"):
        if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
            return f"needs {tool} (scripts/setup.sh)"
    return None


def vantor_bin():
    path = os.environ.get("VANTOR_BIN") or os.path.join(REPO, "build", "src", "cli", "vantor")
    if not os.access(path, os.X_OK):
        raise TopologyError(f"vantor binary not found at {path} (set VANTOR_BIN)")
    return path


def run(argv, check=True, timeout=30, **kw):
    r = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=timeout, **kw)
    if check and r.returncode != 0:
        raise TopologyError(f"{' '.join(argv)} failed ({r.returncode}): {r.stderr.decode(errors='replace')}")
    return r


def _kill_group(proc, sig=signal.SIGTERM, timeout=10.0):
    if proc is None or proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, sig)
    except ProcessLookupError:
        return
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()


class Process:
    """A child in a namespace, in its own process group, output in a file."""

    def __init__(self, topology, ns, argv, name):
        self.name = name
        self.log_path = os.path.join(topology.dir, f"{name}.log")
        log = open(self.log_path, "wb")
        try:
            self.proc = subprocess.Popen(["ip", "netns", "exec", ns] + argv,
                                         stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT, start_new_session=True)
        finally:
            log.close()

    def output(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def wait_for_line(self, text, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.output():
                return
            if self.proc.poll() is not None:
                raise TopologyError(f"{self.name} exited ({self.proc.returncode}) before '{text}':\n"
                                    f"{self.output()[-3000:]}")
            time.sleep(0.02)
        raise TopologyError(f"{self.name} did not print '{text}' in {timeout}s:\n{self.output()[-3000:]}")

    def signal(self, sig):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, sig)

    def stop(self, timeout=10.0):
        _kill_group(self.proc, timeout=timeout)


class Topology:
    def __init__(self):
        tag = f"{os.getpid() % 100000:05d}{secrets.token_hex(2)}"
        self.client = f"vantor-c-{tag}"
        self.server = f"vantor-s-{tag}"
        self.dir = tempfile.mkdtemp(prefix="vantor-e2e-")
        self.processes = []
        self._closed = False
        atexit.register(self.close)
        try:
            self._build(tag)
        except Exception:
            self.close()
            raise

    def _build(self, tag):
        run(["ip", "netns", "add", self.client])
        run(["ip", "netns", "add", self.server])
        veth_c, veth_s = f"vc{tag}"[:15], f"vs{tag}"[:15]
        run(["ip", "link", "add", veth_c, "netns", self.client, "type", "veth",
             "peer", "name", veth_s, "netns", self.server])
        for ns, dev, addr in ((self.client, veth_c, CLIENT_VETH_ADDR), (self.server, veth_s, NODE_ADDR)):
            run(["ip", "-n", ns, "link", "set", "lo", "up"])
            run(["ip", "-n", ns, "addr", "add", f"{addr}/24", "dev", dev])
            run(["ip", "-n", ns, "link", "set", dev, "up"])
        run(["ip", "-n", self.server, "addr", "add", f"{TARGET_ADDR}/32", "dev", "lo"])

    # -- processes ----------------------------------------------------------

    def start(self, ns, argv, name):
        p = Process(self, ns, argv, name)
        self.processes.append(p)
        return p

    def wait_tcp(self, ns, host, port, timeout=10.0, proc=None):
        """Waits until a TCP connection to host:port from namespace `ns` succeeds."""
        deadline = time.monotonic() + timeout
        probe = ("import socket,sys\n"
                 "try:\n socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=1).close()\n"
                 "except OSError:\n sys.exit(1)\n")
        while time.monotonic() < deadline:
            if proc is not None and proc.proc.poll() is not None:
                raise TopologyError(f"{proc.name} exited before listening:\n{proc.output()[-3000:]}")
            if run(["ip", "netns", "exec", ns, "python3", "-c", probe, host, str(port)],
                   check=False).returncode == 0:
                return
            time.sleep(0.05)
        raise TopologyError(f"nothing listens on {host}:{port} in {ns}")

    def start_targets(self, files):
        """Starts the target servers; `files` maps file names to sizes (random bytes)."""
        www = os.path.join(self.dir, "www")
        os.makedirs(www, exist_ok=True)
        for name, size in files.items():
            with open(os.path.join(www, name), "wb") as f:
                remaining = size
                while remaining:
                    block = os.urandom(min(remaining, 1 << 20))
                    f.write(block)
                    remaining -= len(block)
        p = self.start(self.server, ["python3", "-u", os.path.join(HERE, "targets.py"),
                                     "--host", TARGET_ADDR, "--dir", www], "targets")
        p.wait_for_line("ready")
        return www

    def start_ss_server(self, method=SS_METHOD, password=SS_PASSWORD, port=SS_PORT, udp=False):
        p = self.start(self.server, ["ss-server", "-s", NODE_ADDR, "-p", str(port), "-k", password,
                                     "-m", method, *(["-u"] if udp else [])], "ss-server")
        self.wait_tcp(self.server, NODE_ADDR, port, proc=p)
        return f"ss://{method}:{password}@{NODE_ADDR}:{port}"

    def start_danted(self, port=SOCKS_PORT, udp=False):
        conf = os.path.join(self.dir, "danted.conf")
        with open(conf, "w") as f:
            f.write(peers.danted_config(os.path.join(self.dir, "danted-own.log"), NODE_ADDR, port,
                                        TARGET_ADDR, udp=udp))
        p = self.start(self.server, ["danted", "-f", conf, "-p", os.path.join(self.dir, "danted.pid")],
                       "danted")
        self.wait_tcp(self.server, NODE_ADDR, port, proc=p)
        return f"socks5://{NODE_ADDR}:{port}"

    def start_dnsmasq(self, records):
        """Runs dnsmasq on TARGET_ADDR:53 answering `records` (name ->
        IPv4 address) and logging every query with its source."""
        argv = [shutil.which("dnsmasq") or "/usr/sbin/dnsmasq", "--keep-in-foreground",
                "--no-resolv", "--no-hosts", "--no-poll", "--bind-interfaces",
                f"--listen-address={TARGET_ADDR}", "--port=53",
                "--pid-file=", "--user=root", "--log-queries", "--log-facility=-",
                "--cache-size=0", "--dns-forward-max=1000"]
        argv += [f"--host-record={name},{addr}" for name, addr in records.items()]
        p = self.start(self.server, argv, "dnsmasq")
        p.wait_for_line("started, version")
        return p

    def start_tunnel(self, node, extra=(), udp=False):
        """Runs `vantor tunnel` in the client namespace and points the
        default route into its TUN interface; UDP is carried only with
        `udp`."""
        p = self.start(self.client, [vantor_bin(), "tunnel", "--node", node, "--ifname", TUN_NAME,
                                     *([] if udp else ["--no-udp"]), *extra], "vantor")
        p.wait_for_line(f"tunnel up on {TUN_NAME}", timeout=15)
        run(["ip", "-n", self.client, "route", "replace", "default", "dev", TUN_NAME])
        return p

    def stop_tunnel(self, proc, timeout=15):
        """Stops `vantor tunnel` as a user would (SIGINT); returns its exit
        code and output. A sanitizer report counts as a failure."""
        proc.signal(signal.SIGINT)
        try:
            code = proc.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.stop()
            code = "timeout"
        text = proc.output()
        if "Sanitizer" in text or "runtime error:" in text:
            code = f"sanitizer report ({code})"
        return code, text

    def client_run(self, argv, timeout=120, check=False):
        return run(["ip", "netns", "exec", self.client] + argv, check=check, timeout=timeout)

    def client_action(self, *args, timeout=120):
        """Runs clients.py in the client namespace; returns its JSON result."""
        r = self.client_run(["python3", os.path.join(HERE, "clients.py"), *map(str, args)], timeout=timeout)
        text = r.stdout.decode(errors="replace").strip().splitlines()
        if r.returncode != 0 or not text:
            raise TopologyError(f"clients.py {args} failed ({r.returncode}): {r.stderr.decode(errors='replace')}")
        return json.loads(text[-1])

    def interface_counters(self, name=TUN_NAME):
        """The interface's packet and byte counters as the host sees them:
        rx = what the tunnel wrote, tx = what the tunnel read."""
        r = run(["ip", "-n", self.client, "-s", "-j", "link", "show", name])
        stats = json.loads(r.stdout)[0]["stats64"]
        return {d: (stats[d]["packets"], stats[d]["bytes"]) for d in ("rx", "tx")}

    def interface_exists(self, name=TUN_NAME):
        return run(["ip", "-n", self.client, "link", "show", name], check=False).returncode == 0

    # -- cleanup ------------------------------------------------------------

    def close(self):
        if self._closed:
            return
        self._closed = True
        for p in reversed(self.processes):
            p.stop()
        for ns in (self.client, self.server):
            run(["ip", "netns", "del", ns], check=False)
        shutil.rmtree(self.dir, ignore_errors=True)


def free_port_in(topology, ns):
    """A TCP port nothing listens on in `ns` (asked from inside it)."""
    r = run(["ip", "netns", "exec", ns, "python3", "-c",
             "import socket; s=socket.socket(); s.bind(('0.0.0.0', 0)); print(s.getsockname()[1])"])
    return int(r.stdout)
