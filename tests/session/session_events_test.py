#!/usr/bin/python3
"""EVENTID rules in real sessions on the simulated modem: a command every
tenth dial without dial tone, an exit after three authentication failures,
and a reload under another section's name after a busy line."""
import os
import re
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from session_harness import Home, Program, wait_for, write_script  # noqa: E402

# Appends its arguments and the number of dial-tone errors logged so far.
MARK = 'echo "$* $(cat netrove.log 2>/dev/null | grep -c \'Error 80:\')" >> marks.txt\n'


class EventRules(unittest.TestCase):
    def setUp(self):
        self.home = Home("netrove_events_")
        write_script(self.home.file("mark.sh"), MARK)

    def tearDown(self):
        self.home.remove()

    def test_exec_rule_runs_on_every_tenth_failure(self):
        self.home.write("netrove.dat",
                        "LogFile netrove.log\n"
                        "[Dry]\n"
                        "DialTime 10\n"
                        "WaitTime 0\n"
                        "EventID 80 10 exec ./mark.sh tenth\n")
        self.home.write("phonebook", "[Dry]\nDevice sim\nPhone 1\nAnswer nodialtone 0.1\n")
        p = Program(self.home, "Dry")
        try:
            ok = p.wait_log(r"^Error 80: ", 60, times=22)
        finally:
            code = p.stop()
        self.assertTrue(ok, "22 dials without dial tone" + p.report())
        self.assertEqual(code, 0, p.report())
        # The rule's log line follows the 10th and the 20th error, no other.
        errors, fired_after = 0, []
        for m in p.messages():
            if m.startswith("Error 80: "):
                errors += 1
            elif m == "Execute ./mark.sh tenth":
                fired_after.append(errors)
        self.assertEqual(fired_after[:2], [10, 20], p.report())
        self.assertEqual(len(fired_after), 2 + (errors >= 30), p.report())
        # ... and the command really ran twice, while 10 and 20 errors stood.
        self.assertTrue(wait_for(lambda: len(self.home.lines("marks.txt")) >= 2, 5))
        marks = self.home.lines("marks.txt")
        self.assertEqual(len(marks), 2, marks)
        self.assertRegex(marks[0], r"^tenth 1[01]$")
        self.assertRegex(marks[1], r"^tenth 2[01]$")

    def test_exit_rule_after_three_authentication_failures(self):
        self.home.write("netrove.dat",
                        "LogFile netrove.log\n"
                        "[Locked]\n"
                        "DialTime 10\n"
                        "WaitTime 0\n"
                        "EventID 91 3 exit\n")
        self.home.write("phonebook", "[Locked]\nDevice sim\nPhone 1\nAnswer 691 0.1\n")
        p = Program(self.home, "Locked")
        code = p.wait_exit(30)
        p.stop()
        self.assertEqual(code, 0, "the program did not end by itself" + p.report())
        msgs = p.messages()
        self.assertEqual(p.count(r"^Error 91: "), 3, p.report())
        self.assertEqual(p.count(r"^Connecting to Locked "), 3, p.report())
        last_error = max(i for i, m in enumerate(msgs) if m.startswith("Error 91: "))
        self.assertIn("Aborted!", msgs[last_error:], p.report())
        self.assertIn("Exiting....", p.screen())

    def test_reload_rule_switches_to_the_other_section(self):
        self.home.write("netrove.dat",
                        "[First]\n"
                        "LogFile first.log\n"
                        "DialTime 10\n"
                        "WaitTime 0\n"
                        "EventID 76 1 reload Second\n"
                        "[Second]\n"
                        "LogFile second.log\n"
                        "DialTime 17\n"
                        "WaitTime 0\n"
                        "ExecuteStart ./mark.sh second-loaded\n")
        self.home.write("phonebook",
                        "[First]\nDevice sim\nPhone 111\nAnswer busy 0.1\n"
                        "[Second]\nDevice sim\nPhone 222\nAnswer connect 0.5\n")
        p = Program(self.home, "First", log="first.log")
        try:
            ok = p.wait_log(r"^Connecting to Second \(222\)$", 20, name="second.log")
            # The second section's own dial time shows in the countdown.
            counted = wait_for(lambda: re.search(r"Connecting\.\.\. \(1[1-7]\)", p.screen()), 5)
        finally:
            code = p.stop()
        self.assertTrue(ok, p.report() + "\n--- second.log ---\n" + self.home.read("second.log"))
        self.assertTrue(counted, p.report())
        self.assertEqual(code, 0)
        first = p.messages("first.log")
        self.assertIn("Connecting to First (111)", first)
        self.assertIn("Error 76: The line is busy.", first)
        self.assertEqual(p.count(r"^Connecting to ", "first.log"), 1,
                         "one busy line is enough to reload")
        second = p.messages("second.log")
        self.assertIn("Execute ./mark.sh second-loaded", second)
        self.assertIn("Starting services", second)
        self.assertEqual(p.count(r"^Connecting to First", "second.log"), 0)
        self.assertTrue(wait_for(lambda: self.home.lines("marks.txt"), 5))
        self.assertEqual(self.home.lines("marks.txt"), ["second-loaded 0"])


class StopSignal(unittest.TestCase):
    def test_sigterm_as_a_dial_begins_ends_the_program(self):
        # The dial attempt clears pending requests as it begins; the stop
        # asked for by a signal in that moment must survive it.
        home = Home("netrove_stop_")
        self.addCleanup(home.remove)
        home.write("netrove.dat", "LogFile netrove.log\n[Dry]\nDialTime 10\nWaitTime 0\n")
        home.write("phonebook", "[Dry]\nDevice sim\nPhone 1\nAnswer nodialtone 0.1\n")
        for attempt in range(3):
            p = Program(home, "Dry")
            try:
                self.assertTrue(p.wait_log(r"^Connecting to ", 10, times=2), p.report())
                seen = p.count(r"^Connecting to ")
                self.assertTrue(wait_for(lambda: p.count(r"^Connecting to ") > seen, 5, 0.005))
                p.proc.send_signal(signal.SIGTERM)
                code = p.wait_exit(8)
            finally:
                p.stop()
            self.assertEqual(code, 0, "attempt %d: the stop was lost" % attempt + p.report())
            self.assertIn("Exiting....", p.screen())
            os.remove(home.file("netrove.log"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
