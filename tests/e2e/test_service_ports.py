"""`vantor serve` under connection churn: thousands of short sessions in a
row, each through a Shadowsocks node to an echo target and closed by the
client, never leave a session without an upstream socket.

Everything runs on loopback inside one namespace of its own whose ephemeral
port range is narrowed (the range is per namespace), so that ports held in
TIME_WAIT by closed sessions matter after a few thousand sessions instead of
tens of thousands.
"""

import json
import os
import sys
import unittest

import netns

PORT_RANGE = "40000 44095"
SESSIONS = 3500
NODE_PORT, SERVICE_PORT, ECHO_PORT = 8388, 16666, 7

CHURN = r"""
import json, socket, sys, time
port, target, count = (int(a) for a in sys.argv[1:4])
request = b"\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01" + target.to_bytes(2, "big")
failures, started = {}, time.monotonic()
for i in range(count):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(request)
            reply = b""
            while len(reply) < 12:
                chunk = s.recv(12 - len(reply))
                if not chunk:
                    break
                reply += chunk
            if reply[:4] != b"\x05\x00\x05\x00":
                raise RuntimeError("reply " + reply.hex())
            s.sendall(b"x")
            if s.recv(1) != b"x":
                raise RuntimeError("no echo")
    except Exception as e:
        failures[str(e)] = failures.get(str(e), 0) + 1
print(json.dumps({"failed": sum(failures.values()), "reasons": failures,
                  "seconds": round(time.monotonic() - started, 1)}))
"""


class PortChurn(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        why = netns.can_run()
        if why:
            raise unittest.SkipTest(why)

    def test_thousands_of_short_sessions(self):
        topo = netns.Topology()
        self.addCleanup(topo.close)
        ns = topo.client
        netns.run(["ip", "netns", "exec", ns, "sysctl", "-qw", f"net.ipv4.ip_local_port_range={PORT_RANGE}"])
        # ss-server connects out without a bind of its own, so every port
        # that runs short is one the service took.
        node = topo.start(ns, ["ss-server", "-s", "127.0.0.1", "-p", str(NODE_PORT), "-k", netns.SS_PASSWORD,
                               "-m", netns.SS_METHOD], "ss-server-lo")
        topo.wait_tcp(ns, "127.0.0.1", NODE_PORT, proc=node)
        www = os.path.join(topo.dir, "www")
        os.makedirs(www)
        targets = topo.start(ns, [sys.executable, "-u", os.path.join(netns.HERE, "targets.py"),
                                  "--host", "127.0.0.1", "--dir", www], "targets-lo")
        targets.wait_for_line("ready")
        link = f"ss://{netns.SS_METHOD}:{netns.SS_PASSWORD}@127.0.0.1:{NODE_PORT}"
        svc = topo.start(ns, [netns.vantor_bin(), "serve", "--node", link, "--port", str(SERVICE_PORT)], "serve")
        svc.wait_for_line(f"listening on 127.0.0.1:{SERVICE_PORT}")
        r = topo.client_run([sys.executable, "-c", CHURN, str(SERVICE_PORT), str(ECHO_PORT), str(SESSIONS)],
                            timeout=600, check=True)
        result = json.loads(r.stdout.decode().strip().splitlines()[-1])
        self.assertEqual(result["failed"], 0, f"{result}; service output:\n{svc.output()[-2000:]}")


if __name__ == "__main__":
    unittest.main()
