#!/usr/bin/python3
"""ADD: the console dialogue that appends a connection section to netrove.dat."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from harness import Home, Program, wait_for  # noqa: E402


def answer(console, *pairs):
    """Waits for each prompt in turn and types its answer."""
    for prompt, text in pairs:
        console.expect(prompt)
        console.send(text + "\r")
    return console


class AddTest(unittest.TestCase):
    def setUp(self):
        self.home = Home("netrove_add_")

    def lines(self):
        return self.home.read("netrove.dat").split("\n")

    def test_add_creates_the_file_and_the_password_loads_back(self):
        self.home.write("phonebook", "[Office]\nDevice command\nDialCommand ./dial.sh\n"
                        "HangupCommand /bin/true\nStatusCommand /bin/false\n")
        self.home.write("dial.sh", "#!/bin/sh\nprintf '%s' \"$NETROVE_PASSWORD\" > password.seen\n"
                        "exit 1\n", 0o755)
        c = Program(self.home, "ADD")
        answer(c, ("Connection: ", "office"),  # the phonebook's spelling is taken
               ("Phone     : ", "555-0100"), ("Domain    : ", ""), ("User name : ", "bob"),
               ("Password  : ", "s3cret  pass"))
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
        self.home.write("netrove.dat", self.home.read("netrove.dat") + "MaxRetry 1\nPortDog\n")
        with Program(self.home, "Office"):
            wait_for(lambda: self.home.exists("password.seen"), 15)
        self.assertEqual(self.home.read("password.seen"), "s3cret  pass",
                         "blanks inside survive the scrambled form")

    def test_new_command_entry_must_be_able_to_come_up(self):
        entry = (("Device", "command"), ("Phone number", "0123"),
                 ("Dial command", "/usr/bin/pon isp"), ("Hangup command", ""))
        c = Program(self.home, "ADD")
        answer(c, ("Connection: ", "Work"), ("(Y/n) ", ""), *entry, ("Interface", ""),
               ("Status command", ""))
        c.expect("can never come up; nothing was added.")
        c.expect("Connection: ")  # asked again, nothing written
        self.assertFalse(self.home.exists("phonebook"))
        c.send("Work\r")
        c.expect("(Y/n) ")
        c.send("y")
        answer(c, *entry, ("Interface", "ppp0"))
        # On with the new entry: its number stands typed and Enter keeps it.
        answer(c, ("Phone     : 0123", ""), ("Domain    : ", ""), ("User name : ", "bob"),
               ("Password  : ", "pw"))
        c.expect("Base updated.")
        code, out = c.finish()
        self.assertEqual(code, 0, out)
        self.assertEqual(self.home.read("phonebook"), "[Work]\nDevice command\nPhone 0123\n"
                         "DialCommand /usr/bin/pon isp\nInterface ppp0\n")
        lines = self.lines()
        self.assertIn("Phone 0123", lines[lines.index("[Work]"):])

    def test_add_proxy_for_a_name_not_in_the_phonebook(self):
        c = Program(self.home, "ADD", "proxy")
        answer(c, ("Connection: ", "Gateway"))
        c.expect("Base updated.")
        code, out = c.finish()
        self.assertEqual(code, 0, out)
        lines = self.lines()
        start = lines.index("[Gateway]")
        self.assertEqual(lines[start + 1:start + 4], [";Connection for PROXY",
                                                      "User Name_Reserved_for_PROXY_connection",
                                                      "Password $0"])

    def test_empty_name_ends_without_a_section(self):
        code, _ = answer(Program(self.home, "ADD"), ("Connection: ", "")).finish()
        self.assertEqual(code, 0)
        self.assertFalse([l for l in self.lines() if l.startswith("[")])


if __name__ == "__main__":
    unittest.main(verbosity=2)
