#!/usr/bin/python3
"""Dial on demand: a sleeping session on the simulated modem with a TCP port
mapping to a loopback origin. A client listed in dialfor.ip makes it dial
and gets the origin's data; a client that is not listed gets the data
without a dial."""
import os
import random
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from session_harness import Home, Program, wait_for  # noqa: E402

GREETING = b"origin says hello\r\n"


def free_port():
    for _ in range(200):
        port = random.randint(20000, 60000)
        s = socket.socket()
        try:
            s.bind(("0.0.0.0", port))
            return port
        except OSError:
            continue
        finally:
            s.close()
    raise RuntimeError("no free port")


class Origin(threading.Thread):
    """Sends a greeting to every client on 127.0.0.1 and closes."""

    def __init__(self):
        super().__init__(daemon=True)
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.stopped = False
        self.served = 0

    def run(self):
        while not self.stopped:
            try:
                conn, _ = self.sock.accept()
            except (socket.timeout, OSError):
                continue
            self.served += 1
            conn.sendall(GREETING)
            conn.close()

    def stop(self):
        self.stopped = True
        self.join(2)
        self.sock.close()


def fetch(port, source, timeout):
    """Connects from `source` to the mapped port; returns what arrives."""
    s = socket.socket()
    s.bind((source, 0))
    s.settimeout(timeout)
    deadline = time.monotonic() + timeout
    data = b""
    try:
        s.connect(("127.0.0.1", port))
        while time.monotonic() < deadline:
            chunk = s.recv(1024)
            if not chunk:
                break
            data += chunk
    except OSError:
        pass
    finally:
        s.close()
    return data


class DialOnDemand(unittest.TestCase):
    def setUp(self):
        self.origin = Origin()
        self.origin.start()
        self.home = Home("netrove_demand_")
        self.port = free_port()
        self.home.write("netrove.dat",
                        "LogFile netrove.log\n"
                        "[Demand]\n"
                        "DialTime 10\n"
                        "WaitTime 1\n"
                        "SleepTime 3\n"
                        "SleepFlag sleep.flg\n"
                        f"MapLink {self.port},127.0.0.1:{self.origin.port}\n")
        self.home.write("phonebook", "[Demand]\nDevice sim\nPhone 1\nAnswer connect 0.5\n")
        self.home.write("maplink.ip", "127.0.0.*\n")
        self.home.write("dialfor.ip", "127.0.0.1\n")
        open(self.home.file("sleep.flg"), "w").close()

    def tearDown(self):
        self.origin.stop()
        self.home.remove()

    def test_listed_client_makes_the_sleeping_session_dial(self):
        h = self.home
        p = Program(h, "Demand")
        try:
            self.assertTrue(p.wait_log(f"^Maped port {self.port}, linked to 127.0.0.1:"
                                       f"{self.origin.port}$", 10), p.report())
            self.assertTrue(wait_for(lambda: "Sleeping...(" in p.screen(), 5), p.report())

            # Not in dialfor.ip: served at once, without the link, no dial.
            began = time.monotonic()
            self.assertEqual(fetch(self.port, "127.0.0.2", 10), GREETING, p.report())
            self.assertLess(time.monotonic() - began, 3)
            time.sleep(2)
            self.assertEqual(p.count(r"^Connecting to "), 0, "dialed for 127.0.0.2" + p.report())
            self.assertTrue(h.exists("sleep.flg"))
            self.assertNotIn("WARNING! 127.0.0.2", "\n".join(p.messages()))

            # Listed: the sleeping session wakes up, dials, and the client
            # gets the origin's data once the link is up.
            before = self.origin.served
            began = time.monotonic()
            data = fetch(self.port, "127.0.0.1", 25)
            took = time.monotonic() - began
            self.assertEqual(data, GREETING, p.report())
            self.assertEqual(self.origin.served, before + 1)
            self.assertEqual(p.count(r"^Connecting to Demand \(1\)$"), 1, p.report())
            self.assertFalse(h.exists("sleep.flg"), "the wake-up takes the sleep flag away")
            self.assertLess(took, 20, "the client waited %.1f s" % took)
            self.assertRegex(p.screen()[-300:], r"On-Line 00:00:\d\d")
        finally:
            code = p.stop()
        self.assertEqual(code, 0, p.report())

    def test_listed_client_cuts_the_wait_between_dials_short(self):
        h = self.home
        os.remove(h.file("sleep.flg"))
        h.write("netrove.dat", h.read("netrove.dat").replace("WaitTime 1", "WaitTime 120"))
        h.write("phonebook", "[Demand]\nDevice sim\nPhone 1\nAnswer busy 0.1, connect 0.5\n")
        p = Program(h, "Demand")
        try:
            self.assertTrue(p.wait_log(r"^Error 76: ", 10), p.report())
            self.assertTrue(wait_for(lambda: "Waiting...(11" in p.screen(), 5), p.report())
            began = time.monotonic()
            data = fetch(self.port, "127.0.0.1", 25)
            took = time.monotonic() - began
            self.assertEqual(data, GREETING, p.report())
            self.assertEqual(p.count(r"^Connecting to "), 2, p.report())
            self.assertLess(took, 20, "the client waited %.1f s" % took)
        finally:
            code = p.stop()
        self.assertEqual(code, 0, p.report())


if __name__ == "__main__":
    unittest.main(verbosity=2)
