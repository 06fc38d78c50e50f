#!/usr/bin/python3
"""The mail side of the real program in a network namespace of the test's own: the local
mailboxes through port 110 with Python's poplib and fetchmail; port 25 with smtplib and swaks, the
queue passed to a provider (aiosmtpd) while the link is up, and a full disk."""
import os
import poplib
import shutil
import smtplib
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from harness import (Home, Program, enter_network_namespace, free_port,  # noqa: E402
                     listening, private_env, start_group, stop_group, wait_for)

SINK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "smtp_sink.py")


def message(n):
    return "From: sender@example.org\r\nSubject: note %d\r\n\r\nbody %d\r\n..dot line\r\n" % (n, n)


def mail(subject, to="ann@office.example", body="hello"):
    return "From: boss@office.example\r\nTo: %s\r\nSubject: %s\r\n\r\n%s\r\n" % (to, subject, body)


class MailEndToEndTest(unittest.TestCase):
    """Port 25: local aliases stored at once, other recipients queued and sent to the provider;
    port 110: the local mailboxes."""

    def start(self, home, *words, tty=False):
        for name, text in {
                "netrove.dat": "[Office]\nDefLoad No\nLogFile netrove.log\nPOP3 localhost\n"
                               "HidePOP3 No\nSMTP 127.0.0.1:%d\nHideSMTP No\n" % self.sink_port,
                "phonebook": "[Office]\nDevice sim\nAnswer connect 1\n",
                "pop3.ip": "127.0.0.1\n", "smtp.ip": "127.0.0.1\n",
                "servpop3.dat": "USER ann secret\nALIAS ann@office.example ann\n"}.items():
            home.write(name, text)
        os.chmod(home.file("phonebook"), 0o600)
        self.home, self.program = home, Program(home, "Office", *words, tty=tty)
        self.addCleanup(self.program.stop)
        self.program.started("^SMTP-gate server started", timeout=15)

    def sink(self, *options):
        """The provider on sink_port, storing into a fresh directory; stopped with the test."""
        out = self.home.file("provider%d" % len(os.listdir(self.home.path)))
        os.mkdir(out)
        process = start_group(["/usr/bin/python3", SINK, str(self.sink_port), out, *options])
        self.addCleanup(stop_group, process)
        self.assertTrue(wait_for(lambda: listening(self.sink_port), 10, 0.2))
        return process, out

    @staticmethod
    def pop(user):
        pop = poplib.POP3("127.0.0.1", 110, timeout=10)
        pop.user(user)
        pop.pass_("secret")
        return pop

    def queue(self):
        return sorted(n for n in os.listdir(self.home.file("MailBox")) if n.endswith(".smtp"))

    def ann(self):
        return sorted(os.listdir(self.home.file("MailBox/ANN")))

    def test_poplib_then_fetchmail(self):
        self.sink_port, home = free_port(), Home("netrove_pop_")
        os.makedirs(home.file("MailBox/ANN"))
        for n in (1, 2, 3):
            home.write("MailBox/ANN/%d.msg" % n, message(n))
        self.start(home, "PROXY")  # POP3 "localhost": port 110 serves the local mailboxes
        pop = self.pop("ann")
        self.assertEqual(pop.getwelcome(), b"+OK NETROVE POP3-server")
        self.assertEqual(pop.stat()[0], 3)
        self.assertEqual(pop.retr(2)[1], [b"From: sender@example.org", b"Subject: note 2", b"",
                                          b"body 2", b".dot line"])
        pop.dele(1)
        pop.quit()
        self.assertEqual(self.ann(), ["2.msg", "3.msg"])
        # The next login numbers the messages 1..N again.
        pop = self.pop("ANN")
        self.assertEqual([line.split()[0] for line in pop.list()[1]], [b"1", b"2"])
        pop.quit()
        self.assertEqual(self.ann(), ["1.msg", "2.msg"])

        if not shutil.which("fetchmail"):
            self.skipTest("fetchmail is not installed")
        rc, out = self.home.file("fetchmailrc"), self.home.file("delivered")
        self.home.write("fetchmailrc", "poll 127.0.0.1 protocol pop3 port 110 "
                                       "user ann password secret fetchall nokeep sslproto ''\n")
        os.chmod(rc, 0o600)
        run = subprocess.run(["fetchmail", "-f", rc, "--nosyslog", "--mda", "tee -a " + out],
                             env=private_env(self.home.path, FETCHMAILHOME=self.home.path),
                             capture_output=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr.decode(errors="replace"))
        delivered = self.home.read("delivered")
        for n in (2, 3):
            self.assertIn("Subject: note %d" % n, delivered)
        self.assertIn("\n.dot line", delivered)  # unstuffed on the way
        self.assertEqual(self.ann(), [])  # fetched, then deleted at the server

    def test_clients_aliases_and_the_provider_while_online(self):
        self.sink_port = free_port()
        self.start(Home("netrove_smtp_"), tty=True)  # a session: the sim modem goes on-line
        provider, delivered = self.sink()
        # smtplib: its EHLO is refused, it says HELO and delivers; an alias is stored at once.
        with smtplib.SMTP("127.0.0.1", 25, timeout=10) as smtp:
            self.assertEqual(smtp.docmd("EHLO", "office")[0], 550)
            smtp.sendmail("boss@office.example", ["ANN@office.example", "ann@office.example"],
                          mail("for ann"))
            smtp.sendmail("boss@office.example", ["friend@world.example"],
                          mail("outside", "friend@world.example", "..dot line"))
        self.assertEqual(self.ann(), ["1.msg"])  # one copy for the two spellings
        stored = self.home.read("MailBox/ANN/1.msg")
        self.assertRegex(stored, r"^Received: from \S+ \[127\.0\.0\.1\] by ")
        self.assertIn("for <ANN@office.example>; ", stored)
        # swaks, too, falls back to HELO.
        run = subprocess.run(["swaks", "--server", "127.0.0.1:25", "--from", "boss@office.example",
                              "--to", "ann@office.example", "--h-Subject", "swaks"],
                             capture_output=True, text=True, timeout=30)
        self.assertEqual(run.returncode, 0, run.stdout[-2000:])
        self.assertEqual(self.ann(), ["1.msg", "2.msg"])
        pop = self.pop("ann")
        self.assertIn(b"Subject: swaks", pop.retr(2)[1])
        pop.quit()
        # The outside recipient goes to the provider once the link is up, then leaves the queue.
        sent = lambda: os.listdir(delivered) and not self.queue()  # noqa: E731
        self.assertTrue(wait_for(sent, 40), self.program.report())
        with open(os.path.join(delivered, os.listdir(delivered)[0]), newline="") as f:
            message = f.read().replace("\r\n", "\n")
        self.assertTrue(message.startswith("MAIL FROM:<boss@office.example>\nRCPT TO:"
                                           "<friend@world.example>\n\nReceived: from "), message)
        self.assertIn("for <friend@world.example>; ", message)
        self.assertIn("\n..dot line\n", message)  # the dot-stuffing undone once, at the end
        self.assertTrue(self.program.wait_log("^Sending SMTP mail to 127\\.0\\.0\\.1:", 1))
        # A provider answering 451 at the final "." keeps the file in the queue.
        stop_group(provider)  # (the queue is empty: no pass tries the port meanwhile)
        self.sink("--data-reply", "451 4.3.0 try later")
        with smtplib.SMTP("127.0.0.1", 25, timeout=10) as smtp:
            smtp.sendmail("boss@office.example", ["friend@world.example"], mail("later"))
        self.assertTrue(self.program.wait_log("^SMTP ERROR: Send error to 127", 40),
                        self.program.report())
        self.assertEqual(len(self.queue()), 1)

    def test_a_full_disk_gives_451_and_loses_nothing(self):
        self.sink_port = free_port()
        home = Home("netrove_full_")
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", home.path],
                          capture_output=True).returncode != 0:
            self.skipTest("no tmpfs can be mounted here")
        self.addCleanup(subprocess.run, ["umount", "-l", home.path])
        self.start(home, "PROXY")
        with smtplib.SMTP("127.0.0.1", 25, timeout=30) as smtp:
            with self.assertRaises(smtplib.SMTPDataError) as refused:
                smtp.sendmail("boss@office.example", ["ann@office.example"],
                              mail("big", body="x" * 70 + ("\r\n" + "y" * 70) * 40000))
            self.assertEqual(refused.exception.smtp_code, 451)
            with self.assertRaises(smtplib.SMTPDataError):
                smtp.sendmail("boss@office.example", ["friend@world.example"],
                              mail("big", body=("z" * 70 + "\r\n") * 40000))
            self.assertEqual(self.ann(), [])  # nothing half-written, no temporary left
            self.assertEqual([n for n in os.listdir(self.home.file("MailBox")) if n != "ANN"], [])
            smtp.sendmail("boss@office.example", ["ann@office.example"], mail("small"))
        self.assertEqual(self.ann(), ["1.msg"])


if __name__ == "__main__":
    enter_network_namespace(mount=True)
    unittest.main(verbosity=2)
