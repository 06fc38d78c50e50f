#!/usr/bin/python3
"""The command line of the real program, run in temporary homes."""
import os
import pty
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BIN = os.environ.get("NETROVE_BIN", "build/default/bin")
NETROVE = os.path.join(BIN, "netrove")

USAGE = (
    "usage: Netrove <connection> [HIDE]\n"
    "       Netrove ADD [PROXY]\n"
    "       Netrove <connection> STAT\n"
    "       Netrove <connection> SET/CLEAR\n"
    "       Netrove <connection> PROXY\n"
    "       Netrove WAIT <time>\n"
    "       Netrove BREAK <connection_real_name>\n"
)


def run_piped(home, *words, timeout=20):
    env = dict(os.environ, NETROVE_HOME=home, NETROVE_PHONEBOOK=os.path.join(home, "phonebook"))
    p = subprocess.run([NETROVE, *words], env=env, stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=timeout)
    return p.returncode, p.stdout.decode("latin-1")


def run_on_terminal(home, *words, timeout=20):
    """Runs the program with a pseudo-terminal as its console."""
    env = dict(os.environ, NETROVE_HOME=home, NETROVE_PHONEBOOK=os.path.join(home, "phonebook"),
               TERM="xterm")
    master, slave = pty.openpty()
    p = subprocess.Popen([NETROVE, *words], env=env, stdin=slave, stdout=slave, stderr=slave,
                         close_fds=True, start_new_session=True)
    os.close(slave)
    out = b""
    deadline = time.time() + timeout
    while time.time() < deadline:
        r, _, _ = select.select([master], [], [], 0.2)
        if r:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        elif p.poll() is not None:
            break
    os.close(master)
    try:
        code = p.wait(timeout=5)
    except subprocess.TimeoutExpired:
        p.kill()
        code = p.wait()
    return code, out.decode("latin-1")


class EntryTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="netrove_entry_")

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def write(self, name, text):
        with open(os.path.join(self.home, name), "w") as f:
            f.write(text)

    def test_usage_without_words(self):
        code, out = run_piped(self.home)
        self.assertEqual(code, 0)
        self.assertEqual(out, USAGE)
        self.assertFalse(os.path.exists(os.path.join(self.home, "netrove.dat")),
                         "the usage text reads no configuration")

    def test_usage_for_a_wrong_interface_number(self):
        helper = os.path.join(BIN, "call_entry")
        lib = os.path.join(BIN, "libnetrove.so")
        env = dict(os.environ, NETROVE_HOME=self.home)
        for number, want_usage in (("22", True), ("24", True), ("23", False)):
            p = subprocess.run([helper, lib, number, "Office", "STAT"], env=env,
                               stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
            out = p.stdout.decode("latin-1")
            self.assertEqual(p.returncode, 0, out)
            if want_usage:
                self.assertEqual(out, USAGE, number)
            else:
                self.assertIn("Connection  : Office", out)

    def test_unknown_connection_on_a_terminal_creates_the_default_file(self):
        code, out = run_on_terminal(self.home, "Office", "STAT")
        self.assertEqual(code, 99, out)
        self.assertIn("Error: Connection not found.", out)
        with open(os.path.join(self.home, "netrove.dat"), encoding="latin-1") as f:
            text = f.read()
        lines = text.split("\n")
        self.assertEqual(lines[0], "; this default value")
        self.assertEqual(lines[1], "eventID 91 3 exit")
        self.assertEqual(lines[2], "DialPrefix p")
        self.assertEqual(lines[2 + 106 - 1], ";CostPerMinute Yes", "106 template lines")
        self.assertIn("PortDog 139,1027,1019,1032,5000,5001,12345,12346,31337", lines)
        self.assertTrue(text.endswith(";CostPerMinute Yes\n\n;" + "-" * 62 + "\n\n"), text[-120:])

    def test_unknown_connection_without_terminal_still_prints_statistics(self):
        code, out = run_piped(self.home, "Office", "stat")
        self.assertEqual(code, 0, out)
        self.assertIn("Connection  : Office", out)
        self.assertIn("Day times   : 00:00:00      Limit: 00:00:00    Cost day: 0.00", out)

    def test_wait_and_break_without_second_word_are_connection_names(self):
        for word in ("WAIT", "Break"):
            code, out = run_on_terminal(self.home, word)
            self.assertEqual(code, 99, out)
            self.assertIn("Error: Connection not found.", out, word)

    def test_unknown_keywords_are_listed_and_the_rest_loads(self):
        self.write("netrove.dat", "LogFile run.log\nFrobnicate 1\nwibble\n[Office]\nDialTime 30\nZap yes\n")
        code, out = run_piped(self.home, "Office", "STAT")
        self.assertEqual(code, 0, out)
        self.assertIn("WARNING! Found errors in netrove.dat\n"
                      "Warning: Unknown command FROBNICATE.\n"
                      "Warning: Unknown command WIBBLE.\n"
                      "Warning: Unknown command ZAP.\n"
                      "\n", out)
        self.assertTrue(os.path.exists(os.path.join(self.home, "netrove.dat")))

    def test_statistics_of_a_section(self):
        # 58-byte record: 3661 s today, 1.25 spent in total.
        import struct
        record = struct.pack("<IIIIHHHIdddd", 3661, 3661, 3661, 7322, 6, 2900, 12, 61,
                             0.5, 0.5, 0.5, 1.25)
        self.assertEqual(len(record), 58)
        with open(os.path.join(self.home, "Office.lim"), "wb") as f:
            f.write(record)
        self.write("netrove.dat", "[Office]\nDayTimeLimit 60\nWeekTimeLimit 30\n")
        code, out = run_piped(self.home, "Office", "STAT")
        self.assertEqual(code, 0, out)
        self.assertIn("Last times  : 00:01:01  All times: 02:02:02    Cost all: 1.25", out)
        self.assertIn("Day times   : 01:01:01      Limit: 01:00:00    Cost day: 0.50", out)
        self.assertIn("Week times  : 01:01:01      Limit: 01:00:00   Cost week: 0.50", out,
                      "a week limit below the day limit is raised to it")

    def test_home_where_the_file_cannot_be_created(self):
        missing = os.path.join(self.home, "no", "such", "dir")
        code, out = run_piped(missing, "Office", "STAT")
        self.assertEqual(code, 99)
        self.assertEqual(out, "Error: Can't create Netrove.dat file.\n")

    def test_unreadable_file_is_never_replaced(self):
        os.mkdir(os.path.join(self.home, "netrove.dat"))  # unreadable as a file, even for root
        code, out = run_piped(self.home, "Office", "STAT")
        self.assertEqual(code, 99)
        self.assertEqual(out, "Error: Can't read Netrove.dat file.\n")
        self.assertTrue(os.path.isdir(os.path.join(self.home, "netrove.dat")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
