#!/usr/bin/python3
"""The NNTP gate of the real program on port 119 (in a network namespace of this test's own) with
Python's nntplib in front of a small news server on loopback: nntplib asks CAPABILITIES before
its login and logs in with the server after "@"; an article comes back whole. A POST sent before
the login is refused and never reaches the server, which would wait for its article."""
import os
import socket
import sys
import time
import unittest
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from harness import Home, LineServer, Program, enter_network_namespace  # noqa: E402

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import nntplib

GATE = 119
HEADERS = [b"From: someone@example.org", b"Subject: through the gate", b"Message-ID: <1@test>"]
BODY = [b"first line", b".a line that begins with a dot", b"", b"x" * 1000, b"..", b"last line"]
ARTICLE = HEADERS + [b""] + BODY


def post(session, _):
    """The article up to its "." line, never stored."""
    session.send("340 send the article")
    while (text := session.rfile.readline(4096)) and text.rstrip(b"\r\n") != b".":
        pass
    return "240 posted"


REPLIES = {  # the commands nntplib uses
    "CAPABILITIES": ("101 capabilities", ["VERSION 2", "READER", "POST"]),
    "AUTHINFO USER": "381 password please", "AUTHINFO PASS": "281 welcome",
    "GROUP": "211 1 1 1 alt.test", "ARTICLE": ("220 1 <1@test> article", ARTICLE),
    "BODY": ("222 1 <1@test> body", BODY), "LIST": ("215 list follows", ["alt.test 1 1 y"]),
    "POST": post, "QUIT": "205 bye"}


class NntpGateTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.news = LineServer(REPLIES, [b"200 stub news ready\r\n"])
        cls.target = "127.0.0.1:%d" % cls.news.port
        home = Home("netrove_nntp_", {
            "netrove.dat": "LogFile netrove.log\nNNTP 127.0.0.9\nHideNNTP Yes\n[office]\n",
            "nntp.ip": "127.0.0.*\n"})
        cls.program = Program(home, "office", "PROXY", tty=False, env={
            "IPINTERFACENAME": "127.0.0.1"}).started("^NNTP-gate server started")

    @classmethod
    def tearDownClass(cls):
        cls.program.stop()
        cls.news.close()

    def setUp(self):
        self.news.lines.clear()

    def test_nntplib_reads_an_article_whole(self):
        with nntplib.NNTP("127.0.0.1", GATE, user="reader@" + self.target, password="secret",
                          timeout=20) as news:
            self.assertEqual(news.group("alt.test")[1:], (1, 1, 1, "alt.test"))
            self.assertEqual(news.article(1)[1].lines, ARTICLE)
            self.assertEqual(news.body("<1@test>")[1].lines, BODY)
            self.assertEqual([g.group for g in news.list()[1]], ["alt.test"])
        # The server hears the login first, without "@server".
        self.assertEqual(self.news.lines[:3],
                         ["authinfo user reader", "authinfo pass secret", "CAPABILITIES"])

    def test_post_before_login_is_refused_and_not_replayed(self):
        with socket.create_connection(("127.0.0.1", GATE), timeout=10) as s:
            lines = s.makefile("rb")
            self.assertEqual(lines.readline(), b"201 OK.\r\n")
            s.sendall(b"POST\r\n")
            self.assertEqual(lines.readline(), b"480 Authentication required\r\n")
            s.sendall(b"MODE READER\r\nAUTHINFO USER raw@%s\r\n" % self.target.encode())
            self.assertEqual(lines.readline(), b"201 OK.\r\n")
            start = time.monotonic()
            self.assertEqual(lines.readline(), b"381 password please\r\n")
            self.assertLess(time.monotonic() - start, 5)
        self.assertEqual(self.news.lines[:2], ["MODE READER", "AUTHINFO USER raw"])


if __name__ == "__main__":
    enter_network_namespace()
    unittest.main()
