#!/usr/bin/python3
"""A call on the simulated modem that runs into the daily time limit: the
log line, the report on the terminal, the statistics file and STAT."""
import os
import re
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from harness import Home, Program, run_piped  # noqa: E402

RECORD = struct.Struct("<IIIIHHHIdddd")  # the 58-byte statistics record
RATE = 0.1  # "Cost 00:00 6" is 6 per minute


class DayTimeLimit(unittest.TestCase):
    def test_limit_ends_the_call_and_is_accounted(self):
        self.home = Home("netrove_limit_", {
            "netrove.dat": "LogFile netrove.log\n[Metered]\nDayTimeLimit 1\nCost 00:00 6\n"
                           "WaitTime 1\nDialTime 10\n",
            "phonebook": "[Metered]\nDevice sim\nPhone 555-0100\nAnswer connect 1\n"})
        with Program(self.home, "Metered") as p:
            self.assertTrue(p.wait_log(r"^Connecting to Metered \(555-0100\)$", 10), p.report())
            dialed = time.monotonic()
            code = p.wait_exit(95)
            self.assertIsNotNone(code, "the program did not stop at the limit" + p.report())
            elapsed = time.monotonic() - dialed
        self.assertEqual(code, 0, p.report())
        msgs = p.messages()
        self.assertIn("FATAL: TIME LIMIT!!!", msgs, p.report())
        self.assertEqual(p.count(r"^Connecting to "), 1, "one call only" + p.report())
        screen = p.output()
        self.assertIn("DAY TIME LIMIT!!!", screen)
        self.assertGreater(screen.rfind("DAY TIME LIMIT!!!"), screen.rfind("Month times : "),
                           "the closing message follows the report")
        self.assertIn("Connection  : Metered", screen)
        day = re.search(r"Day times   : 00:01:(\d\d)      Limit: 00:01:00    Cost day: (\d+\.\d\d)",
                        screen)
        self.assertIsNotNone(day, screen[-1500:])
        self.assertGreaterEqual(int(day.group(1)), 1, "more than the 60 s of the limit")
        self.assertGreater(elapsed, 60, "stopped before the limit")
        self.assertLess(elapsed, 75, "stopped long after the limit")

        with open(self.home.file("Metered.lim"), "rb") as f:
            raw = f.read()
        self.assertEqual(len(raw), 58)
        (today, week, month, total, _mday, _weekno, _mon, last,
         c_day, c_week, c_month, c_total) = RECORD.unpack(raw)
        for name, value in (("day", today), ("week", week), ("month", month), ("total", total),
                            ("connection", last)):
            self.assertGreaterEqual(value, 61, name)
            self.assertLessEqual(value, 70, name)
        self.assertEqual(today, total)
        self.assertEqual(day.group(1), "%02d" % (today - 60), "the report shows the saved day")
        self.assertEqual(day.group(2), "%.2f" % c_day)
        for name, cost, seconds in (("day", c_day, today), ("week", c_week, week),
                                    ("month", c_month, month), ("total", c_total, total)):
            self.assertAlmostEqual(cost, seconds * RATE, delta=0.011, msg=name)

        # The one-shot STAT form shows the same numbers.
        code, out = run_piped(self.home, "Metered", "STAT")
        self.assertEqual(code, 0, out)
        hms = lambda s: "%02d:%02d:%02d" % (s // 3600, s // 60 % 60, s % 60)  # noqa: E731
        self.assertIn("Last times  : %s  All times: %s    Cost all: %.2f"
                      % (hms(last), hms(total), c_total), out)
        self.assertIn("Day times   : %s      Limit: 00:01:00    Cost day: %.2f"
                      % (hms(today), c_day), out)
        self.assertIn("Month times : %s      Limit: 00:00:00  Cost month: %.2f"
                      % (hms(month), c_month), out)


if __name__ == "__main__":
    unittest.main(verbosity=2)
