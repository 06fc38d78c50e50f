#!/usr/bin/python3
"""The port mappings of the real program under load, in proxy mode, in a
temporary home, under a hard limit of 1024 descriptors, on loopback only:
many short HTTP connections, many idle clients from one address, and a
flood of datagrams from one client. Each scenario gets a fresh program so
that one fault does not spill into the next."""
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
# http_get is also for bench/load_clients.py.
from harness import BODY, REPLY, Home, Origin, Program, free_port, http_get, wait_for  # noqa: E402

REQUESTS, CONCURRENCY = 20000, 100
IDLE_CLIENTS = 2000
DATAGRAMS = 2000
FD_SLACK = 20  # descriptors above the idle count still taken as "back to idle"


def limited_program():
    resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))


def descriptors(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return -1


def open_idle(port, count, seconds):
    """Opens `count` connections to the port from 127.0.0.1 that send
    nothing, without waiting on any one of them: connects the program
    refuses or never accepts are part of the load. Returns the sockets and
    how many are established and still open at the far end after `seconds`."""
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
        # The test's own side holds thousands of sockets at once.
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))
        cls.origin = Origin(process=True)

    def setUp(self):
        self.map_port, self.umap_port = free_port(), free_port()
        self.home = Home("netrove_load_", {
            "netrove.dat": "LogFile netrove.log\n"
                           f"MAPLINK {self.map_port},127.0.0.1:{self.origin.http},Hide\n"
                           f"MAPULINK {self.umap_port},127.0.0.1:{self.origin.udp},Hide\n"
                           "[office]\n",
            "maplink.ip": "127.0.0.*\n", "MapULink.ip": "127.0.0.*\n"})
        # Hidden mappings bind to IPINTERFACENAME's address only: loopback.
        self.program = Program(self.home, "office", "PROXY", tty=False, preexec_fn=limited_program,
                               env={"IPINTERFACENAME": "127.0.0.1"})
        self.addCleanup(self.program.stop)
        if not self.program.wait_log("PROXY READY", 10):
            self.fail("program not ready" + self.log_tail())
        time.sleep(0.3)  # lets start-up settle before the idle count
        self.idle_fds = descriptors(self.program.proc.pid)

    def log_tail(self, lines=25):
        return "\n--- netrove.log (tail) ---\n" + "\n".join(self.program.messages()[-lines:])

    def settled_descriptors(self):
        """The program's descriptors once back near idle, or after 5 s."""
        fds = []
        wait_for(lambda: fds.append(descriptors(self.program.proc.pid)) or
                 fds[-1] < self.idle_fds + FD_SLACK, 5)
        return fds[-1]

    def assert_back_to_idle(self, fds, after):
        self.assertLess(fds, self.idle_fds + FD_SLACK,
                        f"program holds {fds} descriptors 5 s after {after}; "
                        f"{self.idle_fds} when idle" + self.log_tail())

    def test_short_http_connections(self):
        try:  # -r: a broken connection is counted, not the end of the run
            run = subprocess.run(["ab", "-q", "-r", "-s", "10", "-n", str(REQUESTS),
                                  "-c", str(CONCURRENCY), f"http://127.0.0.1:{self.map_port}/"],
                                 capture_output=True, text=True, timeout=60)
        except subprocess.TimeoutExpired:
            self.fail(f"ab did not finish {REQUESTS} requests in 60 s" + self.log_tail())
        report = run.stdout + run.stderr

        def field(name):
            found = re.search(rf"^{name}:\s+(\d+)", run.stdout, re.M)
            return int(found.group(1)) if found else None

        summary = (f"ab exit {run.returncode}: complete {field('Complete requests')}, "
                   f"failed {field('Failed requests')}, non-2xx {field('Non-2xx responses')}, "
                   f"document length {field('Document Length')}\n")
        details = re.search(r"^\s+\(Connect.*\)$", run.stdout, re.M)
        summary += (details.group(0).strip() + "\n" if details else "")
        fds = self.settled_descriptors()
        summary += f"program descriptors: {self.idle_fds} idle, {fds} after the run\n"
        self.assertEqual(run.returncode, 0, summary + report[-2000:] + self.log_tail())
        self.assertEqual(field("Complete requests"), REQUESTS, summary)
        self.assertEqual(field("Failed requests"), 0, summary + self.log_tail())
        self.assertIsNone(field("Non-2xx responses"), summary)
        self.assertEqual(field("Document Length"), len(BODY), summary)
        self.assert_back_to_idle(fds, f"{REQUESTS} requests")

    def test_ended_clients_leave_no_descriptors(self):
        # Few enough that a fresh program has not yet hit any periodic
        # clean-up, which after a long run may hide a leak by chance.
        for i in range(200):
            reply = http_get(self.map_port, "127.0.0.1", 5)
            self.assertEqual(reply, REPLY, f"request {i}: {len(reply)} of {len(REPLY)} bytes")
        self.assert_back_to_idle(self.settled_descriptors(), "200 requests one after another")

    def test_idle_clients_do_not_lock_out_another_address(self):
        sockets, held = open_idle(self.map_port, IDLE_CLIENTS, 1.0)
        try:
            started = time.monotonic()
            reply = http_get(self.map_port, "127.0.0.2", 5)
            took = time.monotonic() - started
            self.assertEqual(reply, REPLY,
                             f"127.0.0.2 got {len(reply)} of {len(REPLY)} bytes in {took:.1f} s "
                             f"while 127.0.0.1 held {held} of {IDLE_CLIENTS} idle connections "
                             f"open; program holds {descriptors(self.program.proc.pid)} "
                             "descriptors" + self.log_tail())
        finally:
            for s in sockets:
                s.close()
        self.assert_back_to_idle(self.settled_descriptors(),
                                 f"closing {IDLE_CLIENTS} idle connections")

    def test_datagram_flood_does_not_starve_another_client(self):
        self.assertEqual(udp_ask(self.umap_port, "127.0.0.1", b"warm-up", 2), b"re:warm-up",
                         "UDP mapping does not answer at all" + self.log_tail())
        udp_flood(self.umap_port, DATAGRAMS)
        # Time to read what the flood left queued; a starved mapping stays starved.
        time.sleep(0.5)
        started = time.monotonic()
        answer = udp_ask(self.umap_port, "127.0.0.2", b"probe", 2)
        self.assertEqual(answer, b"re:probe",
                         f"127.0.0.2 got {answer!r} within {time.monotonic() - started:.1f} s "
                         f"after {DATAGRAMS} datagrams from 127.0.0.1; program holds "
                         f"{descriptors(self.program.proc.pid)} descriptors" + self.log_tail())


if __name__ == "__main__":
    unittest.main(verbosity=2)
