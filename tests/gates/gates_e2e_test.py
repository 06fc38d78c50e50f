#!/usr/bin/python3
"""Port mappings and the port watchdog of the real program in proxy mode,
with real clients (curl, dig) on loopback, in a temporary home."""
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

BIN = os.environ.get("NETROVE_BIN", "build/default/bin")
NETROVE = os.path.join(BIN, "netrove")
PYTHON = "/usr/bin/python3"


def free_port(kind=socket.SOCK_STREAM):
    """A random port in 20000-60000 that is free for TCP and UDP right now."""
    for _ in range(200):
        port = random.randint(20000, 60000)
        ok = True
        for k in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
            s = socket.socket(socket.AF_INET, k)
            try:
                s.bind(("0.0.0.0", port))
            except OSError:
                ok = False
            finally:
                s.close()
        if ok:
            return port
    raise RuntimeError("no free port")


def wait_for(predicate, timeout=10.0):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return False


class DnsStub(threading.Thread):
    """Answers every A query with 10.1.2.3, on 127.0.0.1."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", port))
        self.sock.settimeout(0.2)
        self.stopped = False
        self.queries = 0

    def run(self):
        while not self.stopped:
            try:
                data, peer = self.sock.recvfrom(512)
            except socket.timeout:
                continue
            if len(data) < 12:
                continue
            self.queries += 1
            qid = data[:2]
            question = data[12:]
            end = question.index(b"\0") + 5
            header = qid + struct.pack(">HHHHH", 0x8180, 1, 1, 0, 0)
            answer = b"\xc0\x0c" + struct.pack(">HHIH", 1, 1, 60, 4) + bytes([10, 1, 2, 3])
            self.sock.sendto(header + question[:end] + answer, peer)

    def stop(self):
        self.stopped = True
        self.join(2)
        self.sock.close()


class GatesEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.mkdtemp(prefix="netrove_gates_")
        cls.www = tempfile.mkdtemp(prefix="netrove_www_")
        with open(os.path.join(cls.www, "index.html"), "w") as f:
            f.write("<html>origin page</html>\n")
        cls.origin_port = free_port()
        cls.origin = subprocess.Popen(
            [PYTHON, "-m", "http.server", str(cls.origin_port), "--bind", "127.0.0.1",
             "--directory", cls.www], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.dns_port = free_port()
        cls.dns = DnsStub(cls.dns_port)
        cls.dns.start()
        cls.map_port = free_port()
        cls.umap_port = free_port()
        cls.dog_ports = [free_port(), free_port()]
        cls.busy = socket.socket()
        cls.busy.bind(("127.0.0.1", 0))
        cls.busy.listen(1)
        cls.busy_port = cls.busy.getsockname()[1]
        with open(os.path.join(cls.home, "netrove.dat"), "w") as f:
            f.write("LOGFILE netrove.log\n"
                    f"MAPLINK {cls.map_port},127.0.0.1:{cls.origin_port}\n"
                    f"MAPLINK {cls.map_port},127.0.0.1:9,Show\n"
                    f"MAPULINK {cls.umap_port},127.0.0.1:{cls.dns_port}\n"
                    f"PORTDOG {cls.dog_ports[0]}, {cls.busy_port}, {cls.dog_ports[1]}\n")
        for name in ("maplink.ip", "mapulink.ip"):
            with open(os.path.join(cls.home, name), "w") as f:
                f.write("127.0.0.1\n")
        env = dict(os.environ, NETROVE_HOME=cls.home,
                   NETROVE_PHONEBOOK=os.path.join(cls.home, "phonebook"),
                   NETROVE_HOSTS=os.path.join(cls.home, "hosts"))
        cls.program = subprocess.Popen([NETROVE, "office", "PROXY"], env=env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        ready = wait_for(lambda: "PROXY READY" in cls.log())
        wait_for(lambda: cls.origin_reachable(), 10)
        if not ready:
            cls.tearDownClass()
            raise RuntimeError("program not ready:\n" + cls.log())

    @classmethod
    def tearDownClass(cls):
        cls.program.send_signal(signal.SIGTERM)
        try:
            cls.program.wait(timeout=10)
        except subprocess.TimeoutExpired:
            cls.program.kill()
            cls.program.wait()
        cls.origin.terminate()
        cls.origin.wait(timeout=10)
        cls.dns.stop()
        cls.busy.close()
        shutil.rmtree(cls.home, ignore_errors=True)
        shutil.rmtree(cls.www, ignore_errors=True)

    @classmethod
    def log(cls):
        try:
            with open(os.path.join(cls.home, "netrove.log"), encoding="latin-1") as f:
                return f.read()
        except OSError:
            return ""

    @classmethod
    def origin_reachable(cls):
        try:
            socket.create_connection(("127.0.0.1", cls.origin_port), timeout=1).close()
            return True
        except OSError:
            return False

    def denial_log(self):
        try:
            with open(os.path.join(self.home, "access.ip.error.log")) as f:
                return f.read().splitlines()
        except OSError:
            return []

    def curl(self, *extra):
        return subprocess.run(["curl", "-s", "--max-time", "10", *extra,
                               f"http://127.0.0.1:{self.map_port}/"],
                              capture_output=True, timeout=20)

    def test_start_lines(self):
        log = self.log()
        self.assertIn("POSIX sockets (IPv4)", log)
        self.assertIn("Main host: ", log)
        self.assertIn(f"Maped port {self.map_port}, linked to 127.0.0.1:{self.origin_port}", log)
        self.assertIn(f"!NOT! map port {self.map_port}, port busy", log)
        self.assertIn(f"Maped UDP port {self.umap_port}, linked to 127.0.0.1:{self.dns_port}",
                      log)

    def test_tcp_mapping_relays_admitted_clients(self):
        for _ in range(3):
            r = self.curl()
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stdout, b"<html>origin page</html>\n")

    def test_tcp_mapping_refuses_others(self):
        r = self.curl("--interface", "127.0.0.2")
        self.assertNotEqual(r.returncode, 0)
        self.assertEqual(r.stdout, b"")
        warning = f"WARNING! 127.0.0.2 Access denied to port {self.map_port}"
        self.assertTrue(wait_for(lambda: warning in self.log(), 5), self.log())
        self.assertIn(f"127.0.0.2 #{self.map_port}", self.denial_log())

    def test_udp_mapping_relays_dns(self):
        r = subprocess.run(["dig", "@127.0.0.1", "-p", str(self.umap_port), "+short",
                            "+time=3", "+tries=1", "a.example.test", "A"],
                           capture_output=True, timeout=20)
        self.assertEqual(r.stdout.decode().strip(), "10.1.2.3", r.stdout + r.stderr)
        self.assertGreaterEqual(self.dns.queries, 1)

    def test_port_dog(self):
        log = self.log()
        for port in self.dog_ports:
            self.assertIn(f"Dog on port #{port} started", log)
        self.assertIn(f"WARNING: port #{self.busy_port} busy???", log)
        for port in self.dog_ports:
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
            s.settimeout(5)
            self.assertEqual(s.recv(100), b"")  # closed at once
            s.close()
            self.assertTrue(wait_for(lambda: f"127.0.0.1 #{port}" in self.denial_log(), 5))
            self.assertIn(f"WARNING! 127.0.0.1 Access denied to port {port}", self.log())


if __name__ == "__main__":
    unittest.main(verbosity=2)
