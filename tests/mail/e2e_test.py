#!/usr/bin/python3
"""The local mailboxes through the real program's port 110 with Python's poplib and fetchmail,
in a network namespace of the test's own."""
import os
import poplib
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from harness import Home, Program, enter_network_namespace, wait_for  # noqa: E402


def message(n):
    return "From: sender@example.org\r\nSubject: note %d\r\n\r\nbody %d\r\n..dot line\r\n" % (n, n)


class MailEndToEndTest(unittest.TestCase):
    def setUp(self):
        # POP3 "localhost": every client of port 110 is served by the local POP3 server.
        self.home = Home("netrove_mail_", {
            "netrove.dat": "[Office]\nDefLoad No\nLogFile netrove.log\nPOP3 localhost\n"
                           "HidePOP3 No\n",
            "pop3.ip": "127.0.0.1\n", "servpop3.dat": "USER ann secret\n"})
        os.makedirs(self.home.file("MailBox/ANN"))
        for n in (1, 2, 3):
            self.home.write("MailBox/ANN/%d.msg" % n, message(n))
        self.program = Program(self.home, "Office", "PROXY", tty=False)
        self.addCleanup(self.program.stop)
        started = lambda: "POP3-gate server started" in self.home.messages()  # noqa: E731
        self.assertTrue(wait_for(started, 10), self.program.report())

    def mailbox(self):
        return sorted(os.listdir(self.home.file("MailBox/ANN")))

    def test_poplib_then_fetchmail(self):
        pop = poplib.POP3("127.0.0.1", 110, timeout=10)
        self.assertEqual(pop.getwelcome(), b"+OK NETROVE POP3-server")
        pop.user("ann")
        pop.pass_("secret")
        self.assertEqual(pop.stat()[0], 3)
        self.assertEqual(pop.retr(2)[1], [b"From: sender@example.org", b"Subject: note 2", b"",
                                          b"body 2", b".dot line"])
        pop.dele(1)
        pop.quit()
        self.assertEqual(self.mailbox(), ["2.msg", "3.msg"])
        # The next login numbers the messages 1..N again.
        pop = poplib.POP3("127.0.0.1", 110, timeout=10)
        pop.user("ANN")
        pop.pass_("secret")
        self.assertEqual([line.split()[0] for line in pop.list()[1]], [b"1", b"2"])
        pop.quit()
        self.assertEqual(self.mailbox(), ["1.msg", "2.msg"])

        if not shutil.which("fetchmail"):
            self.skipTest("fetchmail is not installed")
        rc, out = self.home.file("fetchmailrc"), self.home.file("delivered")
        self.home.write("fetchmailrc", "poll 127.0.0.1 protocol pop3 port 110 "
                                       "user ann password secret fetchall nokeep sslproto ''\n")
        os.chmod(rc, 0o600)
        run = subprocess.run(["fetchmail", "-f", rc, "--nosyslog", "--mda", "tee -a " + out],
                             env=dict(os.environ, HOME=self.home.path,
                                      FETCHMAILHOME=self.home.path),
                             capture_output=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr.decode(errors="replace"))
        delivered = self.home.read("delivered")
        for n in (2, 3):
            self.assertIn("Subject: note %d" % n, delivered)
        self.assertIn("\n.dot line", delivered)  # unstuffed on the way
        self.assertEqual(self.mailbox(), [])  # fetched, then deleted at the server


if __name__ == "__main__":
    enter_network_namespace()
    unittest.main(verbosity=2)
