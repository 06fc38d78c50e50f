#!/usr/bin/python3
"""Ctrl-Z: an interactive shell on a pseudo-terminal runs `netrove Demo` as a job. Ctrl-Z stops it
with the terminal as the shell had it (echo and line editing: the shell works), `fg` brings it
back in raw mode with the session going on, `bg` leaves the terminal to the shell, and ESC ends
it with the terminal sane. Under dash, which leaves the terminal as a stopped job left it, and
under bash, which puts its own modes back at a stop and leaves them at `fg`."""
import fcntl
import os
import re
import sys
import termios

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from harness import NETROVE, Checks, Home, Program, wait_for  # noqa: E402

COOKED = termios.ICANON | termios.ECHO
check = Checks()


def local_modes(shell):
    return termios.tcgetattr(shell.fd)[3] & COOKED


def job_state(shell):
    """State letter of the shell's child (the job), or None when there is none."""
    try:
        with open("/proc/%d/task/%d/children" % (shell.proc.pid, shell.proc.pid)) as f:
            pids = f.read().split()
        with open("/proc/%s/stat" % pids[0]) as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return None


def run(command):
    """The scenario under the shell `command`, on a terminal it controls."""
    home = Home(files={"netrove.dat": "LogFile netrove.log\nWaitTime 1\n",
                       "phonebook": "[Demo]\nDevice sim\nAnswer connect 0.5\n"})
    os.chmod(home.file("phonebook"), 0o600)
    shell = Program(home, cmd=command, preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0),
                    env={"PS1": "$ ", "HISTFILE": "/dev/null"})

    def expect(ok, what):
        check(ok, "%s: %s" % (command[0], what),
              "--- output (tail) ---\n" + shell.output()[-1500:])
    try:
        expect(wait_for(lambda: shell.output().endswith("$ "), 10), "the shell prompts")
        shell.type(NETROVE + " Demo\n")
        expect(wait_for(lambda: local_modes(shell) == 0 and
                        re.search(r"On-Line 00:00:0[1-9]", shell.output()), 15),
               "the session runs on-line with the terminal raw")
        rounds = 0
        for key, state, modes, what in (
                ("\x1a", "T", COOKED, "Ctrl-Z stops it and the terminal is the shell's again"),
                ("fg\n", "S", 0, "fg: it goes on with the terminal raw"),
                ("\x1a", "T", COOKED, "a second Ctrl-Z: the same"),
                ("bg\n", None, COOKED, "bg: the terminal stays the shell's")):
            rounds += 1
            shell.type(key)
            expect(wait_for(lambda: local_modes(shell) == modes and (
                state is None or (job_state(shell) == "T") == (state == "T")), 10), what)
            if modes == COOKED:
                shell.type("echo round-$((%d * 11))\n" % rounds)
                expect(wait_for(lambda: "round-%d" % (rounds * 11) in shell.output(), 10),
                       "a command typed to the shell runs (round %d)" % rounds)
        shell.type("fg\n")
        expect(wait_for(lambda: local_modes(shell) == 0 and job_state(shell) != "T", 10),
               "fg after bg: raw again")
        shell.type("\x1b")
        expect(wait_for(lambda: job_state(shell) is None and local_modes(shell) == COOKED and
                        "Exiting...." in shell.output(), 15), "ESC ends it, the terminal sane")
        expect(any(line.endswith("Starting services") for line in home.lines("netrove.log")),
               "the session logged")
    finally:
        shell.type("exit\n")
        shell.stop()


if __name__ == "__main__":
    run(["dash", "-i"])
    run(["bash", "--norc", "--noprofile", "--noediting", "-i"])
    sys.exit(check.code())
