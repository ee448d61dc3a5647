#!/usr/bin/env python3
"""Time from `vantor connect` to "Connected!" against local peers, split by
step, and the time to disconnect (SIGTERM to exit), in network namespaces
(root). The node (ss-server with UDP), the test site and the DNS server run
in the server namespace and answer at once.

Progress goes to stderr; stdout gets exactly one result line:

  connect_time connect_ms=... disconnect_ms=... <step>_ms=... ...

where each step is named by the status line that starts it (the time until
the next line). The best (shortest) of --rounds runs is reported.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
import netns  # noqa: E402
from netns import NODE_ADDR, TARGET_ADDR  # noqa: E402

NODE_OWN_ADDR = "10.230.0.1"


def log(text):
    print(text, file=sys.stderr, flush=True)


def step_name(line):
    return re.sub(r"[^a-z0-9]+", "_", line.lower()).strip("_")[:40]


def one_run(topo, env, node, mode):
    argv = ["ip", "netns", "exec", topo.client, "env", *env, netns.vantor_bin(), "connect", "--node", node,
            "--mode", mode]
    started = time.monotonic()
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    lines = []
    for raw in proc.stdout:
        line = raw.decode(errors="replace").rstrip("\n")
        lines.append((time.monotonic() - started, line))
        if line == "Connected!":
            break
    if not lines or lines[-1][1] != "Connected!":
        proc.kill()
        raise RuntimeError(f"no Connected!: {lines}")
    connect = lines[-1][0]
    steps = {}
    for (t0, line), (t1, _) in zip(lines, lines[1:]):
        key = step_name(line)
        steps[key] = steps.get(key, 0.0) + (t1 - t0)
    stop = time.monotonic()
    os.killpg(proc.pid, signal.SIGTERM)
    for _ in proc.stdout:
        pass
    code = proc.wait(30)
    disconnect = time.monotonic() - stop
    if code != 0:
        raise RuntimeError(f"vantor connect ended with {code}")
    return connect, disconnect, steps


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--mode", default="Global wide")
    args = ap.parse_args()
    why = netns.can_run()
    if why:
        sys.exit(f"connect_time: {why}")
    topo = netns.Topology()
    try:
        c, s = topo.client, topo.server
        netns.run(["ip", "-n", s, "addr", "add", f"{NODE_OWN_ADDR}/32", "dev", "lo"])
        netns.run(["ip", "-n", c, "route", "add", "default", "via", NODE_ADDR])
        topo.start_targets({"index.html": 1024})
        topo.start_dnsmasq({"probe.test": "10.220.0.77"})
        ss = topo.start(s, ["ss-server", "-s", NODE_OWN_ADDR, "-p", "8388", "-k", netns.SS_PASSWORD, "-m",
                            netns.SS_METHOD, "-u"], "ss-server")
        topo.wait_tcp(s, NODE_OWN_ADDR, 8388, proc=ss)
        home = tempfile.mkdtemp(prefix="vantor-bench-", dir=topo.dir)
        os.makedirs(os.path.join(home, "config", "config"))
        with open(os.path.join(home, "config", "config", "config.ini"), "w") as f:
            f.write(f"[basic]\npublic_dns1={TARGET_ADDR}\npublic_dns2=\nTestSites=http://{TARGET_ADDR}/index.html\n"
                    f"UdpTestPairs={TARGET_ADDR},probe.test\nAutomaticHideWindow=0\n")
        env = [f"VANTOR_CONFIG_DIR={home}/config", f"VANTOR_RUNTIME_DIR={home}/run"]
        node = f"ss://{netns.SS_METHOD}:{netns.SS_PASSWORD}@{NODE_OWN_ADDR}:8388"
        best = None
        for r in range(args.rounds):
            connect, disconnect, steps = one_run(topo, env, node, args.mode)
            log(f"round {r + 1}: connect {connect * 1000:.0f} ms, disconnect {disconnect * 1000:.0f} ms")
            if best is None or connect < best[0]:
                best = (connect, disconnect, steps)
    finally:
        topo.close()
    connect, disconnect, steps = best
    fields = [f"connect_ms={connect * 1000:.0f}", f"disconnect_ms={disconnect * 1000:.0f}"]
    fields += [f"{k}_ms={v * 1000:.0f}" for k, v in steps.items()]
    print("connect_time " + " ".join(fields), flush=True)


if __name__ == "__main__":
    main()
