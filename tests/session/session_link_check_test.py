#!/usr/bin/python3
"""The first link test of a fresh call (CHECKURL): against a local web origin
it passes and announces the address; against a closed port the call counts
as a failed try and fires event 0."""
import http.server
import os
import socket
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from session_harness import Home, Program, wait_for, write_script  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Origin:
    """A web origin on loopback that answers every GET with a page."""

    def __init__(self):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.end_headers()
                self.wfile.write(b"ok")

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class LinkCheck(unittest.TestCase):
    def setUp(self):
        self.home = Home("netrove_linkcheck_")

    def tearDown(self):
        self.home.remove()

    def session(self, check_url, extra=""):
        h = self.home
        h.write("netrove.dat", "LogFile netrove.log\n[Check]\nDialTime 10\nWaitTime 1\n"
                f"CheckURL {check_url}\n{extra}")
        h.write("phonebook", "[Check]\nDevice sim\nPhone 1\nAnswer connect 0.3\n")
        return Program(h, "Check")

    def test_reachable_origin_passes_and_announces(self):
        origin = Origin()
        p = self.session(f"http://127.0.0.1:{origin.port}/some/path")
        try:
            self.assertTrue(p.wait_log(r"^Contacting with host ", 15), p.report())
            self.assertTrue(wait_for(lambda: "On-Line 00:00:0" in p.screen(), 10), p.report())
        finally:
            p.stop()
            origin.close()
        msgs = p.messages()
        self.assertIn("Connected as ", "\n".join(msgs))
        self.assertIn(f"Contacting with host 127.0.0.1:{origin.port} [127.0.0.1]", msgs,
                      "only the host part of the URL is contacted")
        self.assertNotIn("Error: Bad connection.", msgs, p.report())
        self.assertEqual(p.count(r"^Connecting to "), 1, "a passing test keeps the call")

    def test_closed_port_fails_the_try_and_fires_event_0(self):
        write_script(self.home.file("event0.sh"), 'echo fired >> event0.txt\n')
        port = free_port()  # nothing listens there
        p = self.session(f"127.0.0.1:{port}", "EventID 0 1 exec ./event0.sh\nMaxRetry 2\n")
        try:
            code = p.wait_exit(30)
        finally:
            p.stop()
        msgs = p.messages()
        self.assertEqual(code, 0, p.report())
        self.assertEqual(p.count(r"^Not found DNS or not found host IP address$"), 2, p.report())
        self.assertEqual(p.count(r"^Error: Bad connection\.$"), 2, p.report())
        self.assertEqual(p.count(r"^Aborted!$"), 1, "MaxRetry 2 counts both failed tests")
        self.assertEqual(self.home.lines("event0.txt"), ["fired", "fired"], p.report())
        self.assertNotIn("Connected as ", "\n".join(msgs))


if __name__ == "__main__":
    unittest.main(verbosity=2)
