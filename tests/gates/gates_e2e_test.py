#!/usr/bin/python3
"""Port mappings and the port watchdog of the real program in proxy mode,
with real clients (curl, dig) on loopback, in a temporary home."""
import os
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from harness import BODY, Home, Origin, Program, free_port, wait_for  # noqa: E402


class GatesEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.origin = Origin()
        cls.map_port, cls.umap_port, *cls.dog_ports = [free_port() for _ in range(4)]
        cls.busy = socket.create_server(("127.0.0.1", 0))
        cls.busy_port = cls.busy.getsockname()[1]
        cls.home = Home("netrove_gates_", {
            "netrove.dat": "LOGFILE netrove.log\n"
                           f"MAPLINK {cls.map_port},127.0.0.1:{cls.origin.http}\n"
                           f"MAPLINK {cls.map_port},127.0.0.1:9,Show\n"
                           f"MAPULINK {cls.umap_port},127.0.0.1:{cls.origin.dns}\n"
                           f"PORTDOG {cls.dog_ports[0]}, {cls.busy_port}, telnet,"
                           f"{cls.dog_ports[1]}\n"
                           "[office]\n",
            "maplink.ip": "127.0.0.1\n", "mapulink.ip": "127.0.0.1\n"})
        cls.program = Program(cls.home, "office", "PROXY", tty=False)
        if not cls.program.wait_log("PROXY READY", 10):
            cls.tearDownClass()
            raise RuntimeError("program not ready:\n" + cls.program.report())

    @classmethod
    def tearDownClass(cls):
        cls.program.stop()
        cls.busy.close()

    def log(self):
        return self.home.read("netrove.log")

    def assert_denied(self, address, port):
        warning = f"WARNING! {address} Access denied to port {port}"
        self.assertTrue(wait_for(lambda: warning in self.log(), 5), self.log())
        self.assertIn(f"{address} #{port}", self.home.lines("access.ip.error.log"))

    def curl(self, *extra):
        return subprocess.run(["curl", "-s", "--max-time", "10", *extra,
                               f"http://127.0.0.1:{self.map_port}/index.html"],
                              capture_output=True, timeout=20)

    def test_tcp_mapping(self):
        log = self.log()
        self.assertIn("POSIX sockets (IPv4)", log)
        self.assertIn(f"Maped port {self.map_port}, linked to 127.0.0.1:{self.origin.http}", log)
        self.assertIn(f"!NOT! map port {self.map_port}, port busy", log)
        for size in (10, 3000, 6000):  # the first mapping works, a long request passes whole
            r = self.curl("-H", "X-Long: " + "x" * size)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stdout, BODY)
        r = self.curl("--interface", "127.0.0.2")
        self.assertNotEqual(r.returncode, 0)
        self.assertEqual(r.stdout, b"")
        self.assert_denied("127.0.0.2", self.map_port)

    def test_udp_mapping_relays_dns(self):
        self.assertIn(f"Maped UDP port {self.umap_port}, linked to 127.0.0.1:{self.origin.dns}",
                      self.log())
        r = subprocess.run(["dig", "@127.0.0.1", "-p", str(self.umap_port), "+short",
                            "+time=3", "+tries=1", "a.example.test", "A"],
                           capture_output=True, timeout=20)
        self.assertEqual(r.stdout.decode().strip(), "10.1.2.3", r.stdout + r.stderr)

    def test_port_dog(self):
        log = self.log()
        self.assertIn(f"WARNING: port #{self.busy_port} busy???", log)
        self.assertIn("WARNING: port #telnet busy???", log)
        for port in self.dog_ports:
            self.assertIn(f"Dog on port #{port} started", log)
            with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                s.settimeout(5)
                self.assertEqual(s.recv(100), b"")  # closed at once
            self.assert_denied("127.0.0.1", port)
        # A client that connects and leaves at once is reported all the same.
        with socket.socket() as s:
            s.bind(("127.0.0.4", 0))
            s.connect(("127.0.0.1", self.dog_ports[0]))
        self.assert_denied("127.0.0.4", self.dog_ports[0])


if __name__ == "__main__":
    unittest.main(verbosity=2)
