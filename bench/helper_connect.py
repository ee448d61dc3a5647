#!/usr/bin/env python3
"""Connect time through the out-of-process network helper against the helper
run inside the program (root without a helper), and the time from a kill -9
of the client to the host put back by the helper, in network namespaces
(root).

Each round runs `vantor tunnel --route 0.0.0.0/1 --route 128.0.0.0/1` (TUN
interface, address, gateway, the node's host route and the two half-default
routes; a connection with a mode adds the IPv6 block and DNS) once each way, alternating, and takes the time from the start to
"tunnel up"; then it starts one more through the helper, kills it with
SIGKILL and polls routes, resolv.conf and links until they are as before.
Progress goes to stderr; stdout gets one line:

  helper_connect rounds=N inprocess_ms=MEDIAN[MIN-MAX] helper_ms=MEDIAN[MIN-MAX] extra_ms=MEDIAN
                 restore_ms=MEDIAN[MIN-MAX]

extra_ms is the median of the per-round differences (helper - in-process).
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
import netns  # noqa: E402
from netns import NODE_ADDR  # noqa: E402

NODE_OWN_ADDR = "10.230.0.1"


def log(text):
    print(text, file=sys.stderr, flush=True)


def helper_bin():
    return os.environ.get("VANTOR_HELPER_BIN") or os.path.join(os.path.dirname(os.path.dirname(netns.vantor_bin())),
                                                              "helper", "vantor-helper")


def host_state(topo):
    c = topo.client
    return (netns.run(["ip", "-n", c, "-4", "route", "show", "table", "all"]).stdout,
            # the kernel's own IPv6 routes follow address autoconfiguration
            [line for line in netns.run(["ip", "-n", c, "-6", "route", "show", "table", "all"]).stdout.splitlines()
             if b"proto kernel" not in line],
            netns.run(["ip", "netns", "exec", c, "cat", "/etc/resolv.conf"]).stdout,
            netns.run(["ip", "-n", c, "-o", "link", "show"]).stdout)


def start_tunnel(topo, env, node):
    argv = ["ip", "netns", "exec", topo.client, "env", *env, netns.vantor_bin(), "tunnel", "--node", node,
            "--route", "0.0.0.0/1", "--route", "128.0.0.0/1", "--no-udp"]
    started = time.monotonic()
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    for raw in proc.stdout:
        if raw.startswith(b"tunnel up on "):
            return proc, (time.monotonic() - started) * 1000
    proc.wait()
    raise RuntimeError(f"vantor tunnel exited ({proc.returncode}) before the tunnel was up")


def stop(proc, sig=signal.SIGTERM):
    os.killpg(proc.pid, sig)
    proc.wait(30)


def spread(values):
    return f"{statistics.median(values):.1f}[{min(values):.1f}-{max(values):.1f}]"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("helper_connect: needs root (network namespaces)")
    topo = netns.Topology()
    try:
        c, s = topo.client, topo.server
        netns.run(["ip", "-n", s, "addr", "add", f"{NODE_OWN_ADDR}/32", "dev", "lo"])
        netns.run(["ip", "-n", c, "route", "add", "default", "via", NODE_ADDR])
        etc = f"/etc/netns/{c}"
        os.makedirs(etc, exist_ok=True)
        with open(os.path.join(etc, "resolv.conf"), "w") as f:
            f.write("nameserver 10.210.0.53\n")
        ss = topo.start(s, ["ss-server", "-s", NODE_OWN_ADDR, "-p", "8388", "-k", netns.SS_PASSWORD, "-m",
                            netns.SS_METHOD], "ss-server")
        topo.wait_tcp(s, NODE_OWN_ADDR, 8388, proc=ss)
        node = f"ss://{netns.SS_METHOD}:{netns.SS_PASSWORD}@{NODE_OWN_ADDR}:8388"

        work = tempfile.mkdtemp(prefix="vantor-helper-bench-")
        os.chmod(work, 0o755)
        socket_path = os.path.join(work, "sock", "helper.sock")
        helper = topo.start(c, [helper_bin(), "--socket", socket_path, "--group", "0", "--state-dir",
                                os.path.join(work, "state")], "helper")
        helper.wait_for_line("listening on")
        base = [f"VANTOR_CONFIG_DIR={work}/config", f"VANTOR_RUNTIME_DIR={work}/run"]
        ways = {"inprocess": base + [f"VANTOR_HELPER_SOCKET={work}/none.sock"],
                "helper": base + [f"VANTOR_HELPER_SOCKET={socket_path}"]}
        before = host_state(topo)
        times = {"inprocess": [], "helper": []}
        extra, restore = [], []
        for round_no in range(args.rounds):
            order = ("inprocess", "helper") if round_no % 2 == 0 else ("helper", "inprocess")
            for way in order:
                proc, ms = start_tunnel(topo, ways[way], node)
                times[way].append(ms)
                stop(proc)
                if host_state(topo) != before:
                    raise RuntimeError(f"the host was not put back after a stop ({way})")
            extra.append(times["helper"][-1] - times["inprocess"][-1])
            proc, _ = start_tunnel(topo, ways["helper"], node)
            killed = time.monotonic()
            stop(proc, signal.SIGKILL)
            while host_state(topo) != before:
                if time.monotonic() - killed > 10:
                    raise RuntimeError("the helper did not put the host back within 10 s")
                time.sleep(0.005)
            restore.append((time.monotonic() - killed) * 1000)
            log(f"round {round_no + 1}: in-process {times['inprocess'][-1]:.1f} ms, helper {times['helper'][-1]:.1f}"
                f" ms, restore {restore[-1]:.1f} ms")
        print(f"helper_connect rounds={args.rounds} inprocess_ms={spread(times['inprocess'])} "
              f"helper_ms={spread(times['helper'])} extra_ms={statistics.median(extra):.1f} "
              f"restore_ms={spread(restore)}")
        shutil.rmtree(etc, ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)
    finally:
        topo.close()


if __name__ == "__main__":
    main()
