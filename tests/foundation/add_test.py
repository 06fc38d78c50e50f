#!/usr/bin/python3
"""ADD: the console dialogue that appends a connection section to netrove.dat."""
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from procs import start_group, stop_group  # noqa: E402

BIN = os.environ.get("NETROVE_BIN", "build/default/bin")
NETROVE = os.path.join(BIN, "netrove")

DIAL_SCRIPT = """#!/bin/sh
printf '%s' "$NETROVE_PASSWORD" > password.seen
exit 1
"""


class Console:
    """The program on a pseudo-terminal, answered line by line."""

    def __init__(self, home, *words):
        env = dict(os.environ, NETROVE_HOME=home,
                   NETROVE_PHONEBOOK=os.path.join(home, "phonebook"), TERM="xterm")
        self.master, slave = pty.openpty()
        self.proc = start_group([NETROVE, *words], env=env, cwd=home, stdin=slave,
                                stdout=slave, stderr=slave, close_fds=True)
        os.close(slave)
        self.out = b""

    def expect(self, text, timeout=10):
        deadline = time.time() + timeout
        while text.encode() not in self.out and time.time() < deadline:
            r, _, _ = select.select([self.master], [], [], 0.1)
            if r:
                try:
                    self.out += os.read(self.master, 4096)
                except OSError:
                    break
        if text.encode() not in self.out:
            raise AssertionError("no %r in %r" % (text, self.out.decode("latin-1")))

    def send(self, text):
        os.write(self.master, text.encode())

    def finish(self, timeout=10):
        deadline = time.time() + timeout
        while self.proc.poll() is None and time.time() < deadline:
            r, _, _ = select.select([self.master], [], [], 0.1)
            if r:
                try:
                    self.out += os.read(self.master, 4096)
                except OSError:
                    pass
        code = stop_group(self.proc, sig=signal.SIGKILL)
        os.close(self.master)
        return code, self.out.decode("latin-1")


class AddTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="netrove_add_")

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.home, name)

    def lines(self):
        with open(self.path("netrove.dat"), encoding="latin-1") as f:
            return f.read().split("\n")

    def test_add_creates_the_file_and_the_password_loads_back(self):
        with open(self.path("phonebook"), "w") as f:
            f.write("[Office]\nDevice command\nDialCommand ./dial.sh\n"
                    "HangupCommand /bin/true\nStatusCommand /bin/false\n")
        with open(self.path("dial.sh"), "w") as f:
            f.write(DIAL_SCRIPT)
        os.chmod(self.path("dial.sh"), 0o755)

        c = Console(self.home, "ADD")
        c.expect("Connection: ")
        c.send("office\r")  # the phonebook's spelling is taken
        for prompt, answer in (("Phone     : ", "555-0100"), ("Domain    : ", ""),
                               ("User name : ", "bob"), ("Password  : ", "s3cret  pass")):
            c.expect(prompt)
            c.send(answer + "\r")
        c.expect("Base updated.")
        code, out = c.finish()
        self.assertEqual(code, 0, out)

        lines = self.lines()
        self.assertEqual(lines[:4], ["; this default value", "eventID 91 3 exit",
                                     "eventID 630 3 exit", "DialPrefix p"])
        start = lines.index("[Office]")
        self.assertEqual(lines[start - 1], "")
        self.assertEqual(lines[start + 1:start + 4], [";Connection Office", "User bob",
                                                      lines[start + 3]])
        self.assertTrue(lines[start + 3].startswith("Password $"), lines[start + 3])
        self.assertEqual(lines[start + 4:start + 7],
                         [";Domain default", "Phone 555-0100", "HideProxy Yes"])
        self.assertIn("PortDog 139,1027,1019,1032,5000,5001,12345,12346,31337", lines[start:])
        self.assertNotIn("DialPrefix p", lines[start:], "prefixed template lines are left out")
        self.assertNotIn("s3cret", "\n".join(lines), "the password is never stored in clear")

        # The stored password reaches the dial command unchanged.
        with open(self.path("netrove.dat"), "a") as f:
            f.write("MaxRetry 1\nPortDog\n")
        c = Console(self.home, "Office")
        deadline = time.time() + 15
        while not os.path.exists(self.path("password.seen")) and time.time() < deadline:
            time.sleep(0.1)
        c.proc.send_signal(signal.SIGTERM)
        c.finish()
        with open(self.path("password.seen")) as f:
            self.assertEqual(f.read(), "s3cret  pass", "blanks inside survive the scrambled form")

    def test_new_command_entry_must_be_able_to_come_up(self):
        c = Console(self.home, "ADD")
        c.expect("Connection: ")
        c.send("Work\r")
        c.expect("(Y/n) ")
        c.send("\r")
        for prompt, answer in (("Device", "command"), ("Phone number", "0123"),
                               ("Dial command", "/usr/bin/pon isp"), ("Hangup command", ""),
                               ("Interface", ""), ("Status command", "")):
            c.expect(prompt)
            c.send(answer + "\r")
        c.expect("can never come up; nothing was added.")
        c.expect("Connection: ")  # asked again, nothing written
        self.assertFalse(os.path.exists(self.path("phonebook")))
        c.send("Work\r")
        c.expect("(Y/n) ")
        c.send("y")
        for prompt, answer in (("Device", "command"), ("Phone number", "0123"),
                               ("Dial command", "/usr/bin/pon isp"), ("Hangup command", ""),
                               ("Interface", "ppp0")):
            c.expect(prompt)
            c.send(answer + "\r")
        # On with the new entry: its number stands typed and Enter keeps it.
        c.expect("Phone     : 0123")
        for prompt, answer in (("Phone     : ", ""), ("Domain    : ", ""),
                               ("User name : ", "bob"), ("Password  : ", "pw")):
            c.expect(prompt)
            c.send(answer + "\r")
        c.expect("Base updated.")
        code, out = c.finish()
        self.assertEqual(code, 0, out)
        with open(self.path("phonebook")) as f:
            self.assertEqual(f.read(), "[Work]\nDevice command\nPhone 0123\n"
                                       "DialCommand /usr/bin/pon isp\nInterface ppp0\n")
        lines = self.lines()
        self.assertIn("Phone 0123", lines[lines.index("[Work]"):])

    def test_add_proxy_for_a_name_not_in_the_phonebook(self):
        c = Console(self.home, "ADD", "proxy")
        c.expect("Connection: ")
        c.send("Gateway\r")
        c.expect("Base updated.")
        code, out = c.finish()
        self.assertEqual(code, 0, out)
        lines = self.lines()
        start = lines.index("[Gateway]")
        self.assertEqual(lines[start + 1:start + 4], [";Connection for PROXY",
                                                      "User Name_Reserved_for_PROXY_connection",
                                                      "Password $0"])

    def test_empty_name_ends_without_a_section(self):
        c = Console(self.home, "ADD")
        c.expect("Connection: ")
        c.send("\r")
        code, _ = c.finish()
        self.assertEqual(code, 0)
        self.assertFalse([l for l in self.lines() if l.startswith("[")])


if __name__ == "__main__":
    unittest.main(verbosity=2)
