#!/usr/bin/python3
"""Flag files steering a real session on the simulated modem: EXECUTEFLAG
commands, the break flag, and the sleep flag created by the connect list."""
import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from session_harness import Home, Program, wait_for, write_script  # noqa: E402


class FlagFiles(unittest.TestCase):
    def setUp(self):
        self.home = Home("netrove_flags_")
        write_script(self.home.file("mark.sh"), 'echo "$*" >> marks.txt\n')

    def tearDown(self):
        self.home.remove()

    def touch(self, name):
        open(self.home.file(name), "w").close()

    def test_execute_flag_runs_once_per_appearance_and_break_flag_stops(self):
        self.home.write("netrove.dat",
                        "LogFile netrove.log\n"
                        "[Mail]\n"
                        "DialTime 10\n"
                        "WaitTime 1\n"
                        "ConnectFlag online.flg\n"
                        "BreakFlag break.flg\n"
                        "ExecuteFlag mail.flg ./mark.sh mail\n")
        self.home.write("phonebook", "[Mail]\nDevice sim\nPhone 1\nAnswer connect 0.5\n")
        h = self.home
        p = Program(h, "Mail")
        try:
            self.assertTrue(wait_for(lambda: h.exists("online.flg"), 15), p.report())
            for n in (1, 2):
                self.touch("mail.flg")
                self.assertTrue(wait_for(lambda: not h.exists("mail.flg"), 8),
                                "flag %d not taken" % n + p.report())
                self.assertTrue(wait_for(lambda: len(h.lines("marks.txt")) >= n, 3))
                self.assertEqual(h.lines("marks.txt"), ["mail"] * n)
                time.sleep(1)
            self.touch("break.flg")
            flagged = time.monotonic()
            code = p.wait_exit(10)
            took = time.monotonic() - flagged
        finally:
            p.stop()
        self.assertEqual(code, 0, "the break flag did not stop the program" + p.report())
        self.assertLess(took, 8.5, "stopped %.1f s after the break flag" % took)
        self.assertFalse(h.exists("break.flg"), "the break flag is removed")
        self.assertFalse(h.exists("online.flg"), "the hang-up removes the connect flag")
        self.assertIn("Aborted!", p.messages(), p.report())
        self.assertEqual(p.count(r"^Connecting to "), 1, "no redial after a break" + p.report())
        # Still once per appearance, although the watcher went round again.
        self.assertEqual(p.count(r"^Execute \./mark\.sh mail$"), 2, p.report())
        self.assertEqual(h.lines("marks.txt"), ["mail", "mail"])

    def test_sleep_flag_from_the_connect_list_puts_the_dialer_to_sleep(self):
        self.home.write("netrove.dat",
                        "LogFile netrove.log\n"
                        "[Nap]\n"
                        "DialTime 10\n"
                        "WaitTime 1\n"
                        "SleepTime 2\n"
                        "SleepFlag sleep.flg\n"
                        "Execute $CREATEFLAG sleep.flg\n")
        self.home.write("phonebook", "[Nap]\nDevice sim\nPhone 1\nAnswer connect 0.5\n")
        h = self.home
        p = Program(h, "Nap")
        try:
            self.assertTrue(p.wait_log(r"^Execute \$CREATEFLAG sleep\.flg$", 15), p.report())
            self.assertTrue(h.exists("sleep.flg"))
            # The watcher hangs up within its 5 s round; the dialer then sleeps.
            self.assertTrue(p.wait_log(r"^Disconnected$", 9), p.report())
            mark = len(p.screen())
            self.assertTrue(wait_for(lambda: re.search(r"Sleeping\.\.\.\(\d\)",
                                                       p.screen()[mark:]), 5), p.report())
            time.sleep(7)  # more than three sleep countdowns
            self.assertEqual(p.count(r"^Connecting to "), 1, "redialed while asleep" + p.report())
            self.assertTrue(h.exists("sleep.flg"))
            self.assertRegex(p.screen()[-400:], r"Sleeping\.\.\.\(\d\)")
            # Without the flag the next countdown ends the sleep and it dials.
            os.remove(h.file("sleep.flg"))
            self.assertTrue(p.wait_log(r"^Connecting to ", 6, times=2), p.report())
            # The connect list puts it to sleep again; ESC while asleep ends
            # the program and takes the flag away.
            self.assertTrue(p.wait_log(r"^Disconnected$", 15, times=2), p.report())
            mark = len(p.screen())
            self.assertTrue(wait_for(lambda: "Sleeping...(" in p.screen()[mark:], 5))
            p.send(b"\x1b")
            code = p.wait_exit(8)
        finally:
            p.stop()
        self.assertEqual(code, 0, p.report())
        self.assertFalse(h.exists("sleep.flg"), "ESC while asleep deletes the sleep flag")
        self.assertIn("Aborted!", p.messages())


if __name__ == "__main__":
    unittest.main(verbosity=2)
