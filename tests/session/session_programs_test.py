#!/usr/bin/python3
"""The EXECUTE and EXECUTEEND program lists of a real call on the simulated
modem: a quoted program path with blanks, a missing program, an option word,
and the end-of-call list after the line drops."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from session_harness import Home, Program, wait_for, write_script  # noqa: E402


class ProgramLists(unittest.TestCase):
    def setUp(self):
        self.home = Home("netrove_programs_")

    def tearDown(self):
        self.home.remove()

    def test_lists_of_a_call_that_drops(self):
        h = self.home
        spaced = h.file("dir with space")
        os.mkdir(spaced)
        write_script(os.path.join(spaced, "prog.sh"),
                     'cd "$(dirname "$0")/.."\n'
                     'printf "%s|" "$0" "$#" "$@" >> start.txt\necho >> start.txt\n')
        write_script(h.file("mark.sh"), 'echo "$*" >> marks.txt\n')
        h.write("netrove.dat",
                "LogFile netrove.log\n"
                "[Drop]\n"
                "DialTime 10\n"
                "Redial No\n"
                "Execute ./missing-program.sh x\n"
                f'Execute "{spaced}/prog.sh" arg1 arg2\n'
                "Execute /M ./mark.sh minimised\n"
                "ExecuteEnd ./mark.sh end of call\n")
        h.write("phonebook", "[Drop]\nDevice sim\nPhone 1\nAnswer connect 0.5 4\n")
        p = Program(h, "Drop")
        try:
            self.assertTrue(wait_for(lambda: h.lines("start.txt"), 15), p.report())
            self.assertEqual(h.lines("start.txt"), [f"{spaced}/prog.sh|2|arg1|arg2|"])
            self.assertTrue(wait_for(lambda: h.lines("marks.txt"), 5), p.report())
            self.assertEqual(h.lines("marks.txt"), ["minimised"],
                             "the end list waits for the line to drop")
            code = p.wait_exit(15)
        finally:
            p.stop()
        self.assertEqual(code, 0, "Redial No ends the program after the call" + p.report())
        self.assertTrue(wait_for(lambda: len(h.lines("marks.txt")) >= 2, 5), p.report())
        self.assertEqual(h.lines("marks.txt"), ["minimised", "end of call"])
        self.assertEqual(h.lines("start.txt"), [f"{spaced}/prog.sh|2|arg1|arg2|"])

        msgs = p.messages()
        start = msgs.index("Start execute program list")
        self.assertEqual(msgs[start + 1:start + 4],
                         ["Execute ./missing-program.sh x",
                          f'Execute "{spaced}/prog.sh" arg1 arg2',
                          "Execute /M ./mark.sh minimised"], p.report())
        # A missing program leaves nothing but its "Execute" line.
        self.assertEqual([m for m in msgs if "missing-program" in m],
                         ["Execute ./missing-program.sh x"])
        self.assertFalse(h.exists("missing-program.sh"))
        dropped = msgs.index("Disconnected")
        self.assertEqual(msgs[dropped + 1:dropped + 5],
                         ["",
                          "Start execute program list for break connection",
                          "Execute ./mark.sh end of call",
                          "Redial not need, exiting."], p.report())
        self.assertEqual(p.count(r"^Connecting to "), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
