#!/usr/bin/python3
"""The port mappings of the real program in proxy mode under load, under a
hard limit of 1024 descriptors, on loopback only; a fresh program for each
scenario. bench/load_clients.py uses the helpers at larger counts."""
import os
import re
import resource
import select
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from harness import BODY, REPLY, Home, Origin, Program, free_port, http_get, wait_for  # noqa: E402

REQUESTS, CONCURRENCY, IDLE_CLIENTS, DATAGRAMS = 20000, 100, 2000, 2000
FD_SLACK = 20  # descriptors above the idle count still taken as "back to idle"


def open_idle(port, count, seconds):
    """`count` connections from 127.0.0.1 that send nothing, opened without
    waiting on any: the sockets, and how many are still open at the far end
    after `seconds`."""
    sockets = []
    for i in range(count):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        sockets.append(s)
        if i % 100 == 99:
            time.sleep(0.01)  # lets the program's accept loop keep pace
    time.sleep(seconds)
    poller = select.poll()
    for s in sockets:
        poller.register(s, select.POLLIN)
    ended = {fd for fd, _ in poller.poll(0)}  # closed or reset by the program
    held = 0
    for s in sockets:
        try:
            s.getpeername()
            held += s.fileno() not in ended
        except OSError:
            pass
    return sockets, held


def udp_flood(port, count):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        for i in range(count):
            s.sendto(b"flood %d" % i, ("127.0.0.1", port))
            if i % 100 == 99:
                time.sleep(0.002)  # so that the program, not the kernel, deals with most


def udp_ask(port, source, payload, timeout):
    """The answer to one datagram from `source`, or None by the deadline."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((source, 0))
        s.sendto(payload, ("127.0.0.1", port))
        ready, _, _ = select.select([s], [], [], timeout)
        return s.recv(65536) if ready else None


class LoadTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))
        cls.origin = Origin(process=True)

    def setUp(self):
        self.map_port, self.umap_port = free_port(), free_port()
        home = Home("netrove_load_", {
            "netrove.dat": "LogFile netrove.log\n"
                           f"MAPLINK {self.map_port},127.0.0.1:{self.origin.http},Hide\n"
                           f"MAPULINK {self.umap_port},127.0.0.1:{self.origin.udp},Hide\n"
                           "[office]\n",
            "maplink.ip": "127.0.0.*\n", "MapULink.ip": "127.0.0.*\n"})
        # Hidden mappings bind to IPINTERFACENAME's address only: loopback.
        self.program = Program(home, "office", "PROXY", tty=False,
                               env={"IPINTERFACENAME": "127.0.0.1"},
                               preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE,
                                                                     (1024, 1024)))
        self.addCleanup(self.program.stop)
        self.assertTrue(self.program.wait_log("PROXY READY", 10), "not ready" + self.log_tail())
        time.sleep(0.3)  # lets start-up settle before the idle count
        self.idle_fds = self.descriptors()

    def descriptors(self):
        return len(os.listdir(f"/proc/{self.program.proc.pid}/fd"))

    def log_tail(self):
        return "\n--- netrove.log (tail) ---\n" + "\n".join(self.program.messages()[-25:])

    def assert_back_to_idle(self, after):
        """The program's descriptors come back near the idle count within 15 s (a leak never
        does; a sanitizer build on a busy machine may take a few seconds to close 2000)."""
        fds = []
        wait_for(lambda: fds.append(self.descriptors()) or fds[-1] < self.idle_fds + FD_SLACK, 15)
        self.assertLess(fds[-1], self.idle_fds + FD_SLACK,
                        f"program holds {fds[-1]} descriptors 15 s after {after}; "
                        f"{self.idle_fds} when idle; {self.sockets_held()}" + self.log_tail())

    def sockets_held(self):
        """The program's TCP sockets by local port, peer port and state (for a failure)."""
        pid, states, inodes = self.program.proc.pid, {}, set()
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                inodes.add(os.readlink(f"/proc/{pid}/fd/{fd}").removeprefix("socket:[")[:-1])
            except OSError:  # closed meanwhile
                pass
        with open(f"/proc/{pid}/net/tcp") as table:
            for row in list(table)[1:]:
                f = row.split()
                if f[9] in inodes:
                    key = (int(f[1][-4:], 16), int(f[2][-4:], 16), f[3])
                    states[key] = states.get(key, 0) + 1
        return "sockets (local port, peer port, state): count: %s" % states

    def test_short_http_connections(self):
        # First few enough one after another that the fresh program hits no
        # periodic clean-up, which after a long run may hide a leak by chance.
        for i in range(200):
            reply = http_get(self.map_port, "127.0.0.1", 5)
            self.assertEqual(reply, REPLY, f"request {i}: {len(reply)} of {len(REPLY)} bytes")
        self.assert_back_to_idle("200 requests one after another")
        # -r: a broken connection is counted, not the end of the run.
        run = subprocess.run(["ab", "-q", "-r", "-s", "10", "-n", str(REQUESTS), "-c",
                              str(CONCURRENCY), f"http://127.0.0.1:{self.map_port}/"],
                             capture_output=True, text=True, timeout=60)
        fields = ("Complete requests", "Failed requests", "Non-2xx responses", "Document Length")
        got = [int(m.group(1)) if (m := re.search(rf"^{f}:\s+(\d+)", run.stdout, re.M)) else None
               for f in fields]
        self.assertEqual([run.returncode] + got, [0, REQUESTS, 0, None, len(BODY)],
                         run.stdout[-2000:] + run.stderr[-500:] + self.log_tail())
        self.assert_back_to_idle(f"{REQUESTS} requests")

    def test_idle_clients_do_not_lock_out_another_address(self):
        sockets, held = open_idle(self.map_port, IDLE_CLIENTS, 1.0)
        try:
            started = time.monotonic()
            reply = http_get(self.map_port, "127.0.0.2", 5)
            self.assertEqual(reply, REPLY,
                             f"127.0.0.2 got {len(reply)} of {len(REPLY)} bytes in "
                             f"{time.monotonic() - started:.1f} s while 127.0.0.1 held {held} of "
                             f"{IDLE_CLIENTS} idle connections open; program holds "
                             f"{self.descriptors()} descriptors" + self.log_tail())
        finally:
            for s in sockets:
                s.close()
        self.assert_back_to_idle(f"closing {IDLE_CLIENTS} idle connections")

    def test_datagram_flood_does_not_starve_another_client(self):
        self.assertEqual(udp_ask(self.umap_port, "127.0.0.1", b"warm-up", 2), b"re:warm-up",
                         "UDP mapping does not answer at all" + self.log_tail())
        udp_flood(self.umap_port, DATAGRAMS)
        time.sleep(0.5)  # to read what the flood left queued; a starved mapping stays starved
        answer = udp_ask(self.umap_port, "127.0.0.2", b"probe", 2)
        self.assertEqual(answer, b"re:probe", f"127.0.0.2 got {answer!r} after {DATAGRAMS} "
                         f"datagrams from 127.0.0.1; program holds {self.descriptors()} "
                         "descriptors" + self.log_tail())


if __name__ == "__main__":
    unittest.main(verbosity=2)
