#!/usr/bin/python3
"""Port mappings and the port watchdog of the real program in proxy mode,
with real clients (curl, dig) on loopback, in a temporary home."""
import functools
import http.server
import os
import random
import shutil
import socket
import socketserver
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from procs import start_group, stop_group  # noqa: E402

BIN = os.environ.get("NETROVE_BIN", "build/default/bin")


def free_port():
    """A random port in 20000-60000 that is free for TCP and UDP right now."""
    for _ in range(200):
        port = random.randint(20000, 60000)
        try:
            for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
                with socket.socket(socket.AF_INET, kind) as s:
                    s.bind(("0.0.0.0", port))
            return port
        except OSError:
            continue
    raise RuntimeError("no free port")


def wait_for(predicate, timeout=10.0):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False


class DnsStub(socketserver.BaseRequestHandler):
    """Answers every A query with 10.1.2.3."""

    def handle(self):
        data, sock = self.request
        end = 12 + data[12:].index(b"\0") + 5
        header = data[:2] + struct.pack(">HHHHH", 0x8180, 1, 1, 0, 0)
        answer = b"\xc0\x0c" + struct.pack(">HHIH", 1, 1, 60, 4) + bytes([10, 1, 2, 3])
        sock.sendto(header + data[12:end] + answer, self.client_address)


def serve(server):
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class GatesEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.mkdtemp(prefix="netrove_gates_")
        with open(os.path.join(cls.home, "index.html"), "w") as f:
            f.write("<html>origin page</html>\n")
        quiet = type("Quiet", (http.server.SimpleHTTPRequestHandler,),
                     {"log_message": lambda *args: None})
        cls.origin = serve(http.server.ThreadingHTTPServer(
            ("127.0.0.1", 0), functools.partial(quiet, directory=cls.home)))
        cls.dns = serve(socketserver.UDPServer(("127.0.0.1", 0), DnsStub))
        cls.origin_port = cls.origin.server_address[1]
        cls.dns_port = cls.dns.server_address[1]
        cls.map_port, cls.umap_port, *cls.dog_ports = [free_port() for _ in range(4)]
        cls.busy = socket.create_server(("127.0.0.1", 0))
        cls.busy_port = cls.busy.getsockname()[1]
        with open(os.path.join(cls.home, "netrove.dat"), "w") as f:
            f.write("LOGFILE netrove.log\n"
                    f"MAPLINK {cls.map_port},127.0.0.1:{cls.origin_port}\n"
                    f"MAPLINK {cls.map_port},127.0.0.1:9,Show\n"

                    f"MAPULINK {cls.umap_port},127.0.0.1:{cls.dns_port}\n"
                    f"PORTDOG {cls.dog_ports[0]}, {cls.busy_port}, telnet,{cls.dog_ports[1]}\n"
                    "[office]\n")
        for name in ("maplink.ip", "mapulink.ip"):
            with open(os.path.join(cls.home, name), "w") as f:
                f.write("127.0.0.1\n")
        env = dict(os.environ, NETROVE_HOME=cls.home,
                   NETROVE_PHONEBOOK=os.path.join(cls.home, "phonebook"),
                   NETROVE_HOSTS=os.path.join(cls.home, "hosts"))
        cls.program = start_group([os.path.join(BIN, "netrove"), "office", "PROXY"], env=env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        if not wait_for(lambda: "PROXY READY" in cls.read("netrove.log")):
            cls.tearDownClass()
            raise RuntimeError("program not ready:\n" + cls.read("netrove.log"))

    @classmethod
    def tearDownClass(cls):
        stop_group(cls.program, timeout=10)
        for server in (cls.origin, cls.dns):
            server.shutdown()
            server.server_close()
        cls.busy.close()
        shutil.rmtree(cls.home, ignore_errors=True)

    @classmethod
    def read(cls, name):
        try:
            with open(os.path.join(cls.home, name), encoding="latin-1") as f:
                return f.read()
        except OSError:
            return ""

    def assert_denied(self, address, port):
        warning = f"WARNING! {address} Access denied to port {port}"
        self.assertTrue(wait_for(lambda: warning in self.read("netrove.log"), 5),
                        self.read("netrove.log"))
        self.assertIn(f"{address} #{port}", self.read("access.ip.error.log").splitlines())

    def curl(self, *extra):
        return subprocess.run(["curl", "-s", "--max-time", "10", *extra,
                               f"http://127.0.0.1:{self.map_port}/index.html"],
                              capture_output=True, timeout=20)

    def test_tcp_mapping(self):
        log = self.read("netrove.log")
        self.assertIn("POSIX sockets (IPv4)", log)
        self.assertIn(f"Maped port {self.map_port}, linked to 127.0.0.1:{self.origin_port}", log)
        self.assertIn(f"!NOT! map port {self.map_port}, port busy", log)
        for size in (10, 3000, 6000):  # the first mapping works, a long request passes whole
            r = self.curl("-H", "X-Long: " + "x" * size)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stdout, b"<html>origin page</html>\n")
        r = self.curl("--interface", "127.0.0.2")
        self.assertNotEqual(r.returncode, 0)
        self.assertEqual(r.stdout, b"")
        self.assert_denied("127.0.0.2", self.map_port)

    def test_udp_mapping_relays_dns(self):
        self.assertIn(f"Maped UDP port {self.umap_port}, linked to 127.0.0.1:{self.dns_port}",
                      self.read("netrove.log"))
        r = subprocess.run(["dig", "@127.0.0.1", "-p", str(self.umap_port), "+short",
                            "+time=3", "+tries=1", "a.example.test", "A"],
                           capture_output=True, timeout=20)
        self.assertEqual(r.stdout.decode().strip(), "10.1.2.3", r.stdout + r.stderr)

    def test_port_dog(self):
        log = self.read("netrove.log")
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
