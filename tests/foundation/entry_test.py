#!/usr/bin/python3
"""The command line of the real program, run in temporary homes."""
import os
import shutil
import struct
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from harness import BIN, SOURCE, Home, Program, run_piped  # noqa: E402

USAGE = (
    "usage: Netrove <connection> [HIDE]\n"
    "       Netrove ADD [PROXY]\n"
    "       Netrove <connection> STAT\n"
    "       Netrove <connection> SET/CLEAR\n"
    "       Netrove <connection> PROXY\n"
    "       Netrove WAIT <time>\n"
    "       Netrove BREAK <connection_real_name>\n"
)
RULE = ";" + "-" * 62


class EntryTest(unittest.TestCase):
    def setUp(self):
        self.home = Home("netrove_entry_")
        self.dat = self.home.file("netrove.dat")
        self.write = self.home.write

    def read_dat(self):
        return self.home.read("netrove.dat")

    def test_usage_alone_and_for_a_wrong_interface_number(self):
        self.assertEqual(run_piped(self.home), (0, USAGE))
        self.assertFalse(os.path.exists(self.dat), "the usage text reads no configuration")
        self.write("netrove.dat", "[Office]\n")
        call = [os.path.join(BIN, "call_entry"), os.path.join(BIN, "libnetrove.so")]
        for number, want_usage in (("22", True), ("24", True), ("23", False)):
            code, out = run_piped(self.home, cmd=call + [number, "Office", "STAT"])
            self.assertEqual(code, 0, out)
            if want_usage:
                self.assertEqual(out, USAGE, number)
            else:
                self.assertIn("Connection  : Office", out)

    def test_options_are_never_connection_names(self):
        for word in ("--help", "-h"):
            self.assertEqual(run_piped(self.home, word), (0, USAGE))
        code, out = run_piped(self.home, "--version")
        self.assertEqual((code, out.split(" ")[0]), (0, "Netrove"), out)
        self.assertEqual(run_piped(self.home, "--frob", "STAT"),
                         (99, USAGE + "Error: Unknown option --frob\n"))
        self.assertFalse(os.path.exists(self.dat), "no session, no configuration read")

    def test_unknown_connection_is_fatal_also_without_a_terminal(self):
        # Under cron or systemd it used to become a session redialing for ever.
        for word in ("help", "BREAK"):
            code, out = run_piped(self.home, word)
            self.assertEqual(code, 99, out)
            self.assertEqual(out.splitlines(), [
                "Error: Connection not found.",
                f'"{word}" is neither a section of {self.dat} nor an entry of the phonebook '
                f'{self.home.path}/phonebook (which does not exist)'])

    def test_unknown_connection_on_a_terminal_writes_the_default_file(self):
        for words in (("Office", "STAT"), ("WAIT",), ("Break",)):  # one word: a connection
            code, out = Program(self.home, *words).finish(20)  # on a terminal
            self.assertEqual(code, 99, out)
            self.assertIn("Error: Connection not found.", out, words)
        text = self.read_dat()
        self.assertEqual(os.stat(self.dat).st_mode & 0o777, 0o600)
        self.assertNotIn("\r", text)
        lines = text.split("\n")
        self.assertEqual(lines[:3], ["; this default value", "eventID 91 3 exit", "DialPrefix p"])
        self.assertEqual(lines[2 + 105:], [";CostPerMinute Yes", "", RULE, "", ""], "106 template lines")

    def test_statistics_warnings_and_crlf_settings(self):
        # 58-byte record: 3661 s today, 1.25 spent in total.
        self.write("Office.lim", struct.pack("<IIIIHHHIdddd", 3661, 3661, 3661, 7322, 6, 2900, 12,
                                             61, 0.5, 0.5, 0.5, 1.25))
        dat = ("LogFile n.log\r\nFrobnicate 1\r\nwi\x1b[2Jbble\r\n[Office]\r\n"
               "DayTimeLimit 60\r\nWeekTimeLimit 30\r\nZap y\r\n")
        self.write("netrove.dat", dat)
        code, out = run_piped(self.home, "Office", "STAT")
        self.assertEqual(code, 0, out)
        # Named by file and line, control bytes escaped (output is not a
        # terminal), and in the log file as well.
        warnings = ("Warning: Unknown command FROBNICATE. (netrove.dat, line 2)\n"
                    "Warning: Unknown command WI\\x1b[2JBBLE. (netrove.dat, line 3)\n"
                    "Warning: Unknown command ZAP. (netrove.dat, line 7)\n")
        self.assertIn("WARNING! Found errors in netrove.dat\n" + warnings + "\n", out)
        self.assertEqual(self.home.messages("n.log")[-3:], warnings.splitlines())
        self.assertIn("Last times  : 00:01:01  All times: 02:02:02    Cost all: 1.25", out)
        self.assertIn("Day times   : 01:01:01      Limit: 01:00:00    Cost day: 0.50", out)
        self.assertIn("Week times  : 01:01:01      Limit: 01:00:00   Cost week: 0.50", out,
                      "a week limit below the day limit is raised to it")
        self.assertEqual(self.read_dat(), dat, "an existing file is never rewritten")

    def test_stat_without_a_terminal_and_of_the_demo(self):
        self.write("netrove.dat", "[Office]\n")
        code, out = run_piped(self.home, "Office", "stat")
        self.assertEqual(code, 0, out)
        self.assertIn("Day times   : 00:00:00      Limit: 00:00:00    Cost day: 0.00", out)
        demo = Home("netrove_demo_")
        shutil.copytree(os.path.join(SOURCE, "examples", "demo"), demo.path, dirs_exist_ok=True)
        code, out = run_piped(demo, "Demo", "STAT")
        self.assertEqual(code, 0, out)
        self.assertTrue(out.startswith("Connection  : Demo\r\n"), out)

    def test_netrove_dat_that_cannot_be_created_or_read(self):
        os.mkdir(self.dat)  # unreadable as a file, even for root
        for home, want in ((Home(path=self.home.file("no/dir")), "create"), (self.home, "read")):
            self.assertEqual(run_piped(home, "Office", "STAT"),
                             (99, "Error: Can't %s Netrove.dat file.\n" % want))
        self.assertTrue(os.path.isdir(self.dat), "never replaced")

    def test_add_of_an_unknown_name_creates_the_phonebook_entry(self):
        # (add_test.py covers the rest of the ADD dialogue on a terminal.)
        # After the new entry the dialogue carries on with its name; an empty
        # answer to "Phone" keeps the number just stored.
        answers = "Office\ny\nsim\n555\n\ndom\njoe\nsecret\n"
        code, out = run_piped(self.home, "ADD", stdin=answers)
        self.assertEqual(code, 0, out)
        self.assertIn("Sorry, connection name not found", out)
        self.assertEqual(out.count("Connection: "), 1, out)
        self.assertEqual(self.home.read("phonebook"),
                         "[Office]\nDevice sim\nPhone 555\nAnswer connect\n")
        self.assertIn("\n[Office]\n;Connection Office\nUser joe\n", self.read_dat())
        self.assertIn("\nDomain dom\nPhone 555\n", self.read_dat())
        self.assertEqual(os.stat(self.dat).st_mode & 0o777, 0o600, "it holds a password")


if __name__ == "__main__":
    unittest.main(verbosity=2)
