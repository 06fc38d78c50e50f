#!/usr/bin/python3
"""run_case.py <dir>...: runs cases tests/cases/<name>/ (docs/testing.md): the directory's files
but `case` make a temporary program directory, where the steps of `case` drive the program."""
import os
import re
import shlex
import signal
import stat
import sys
import termios
import time
from glob import glob

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from harness import (BANNER, BIN, SOURCE, Home, Origin, Program, free_port,  # noqa: E402
                     http_get, run_piped, wait_for)

KEYS = {"ESC": "\x1b", "Up": "\x1b[A", "F1": "\x1bOP", "M-x": "\x1bx", "Enter": "\r", "Space": " "}
OPTION = re.compile(r"(?:(=|>=|\+)(\d+)|(\d+(?:\.\d+)?)s|@(\S+))(?: +|$)")
PLACEHOLDER = re.compile(r"%(HOME|BIN|HTTP|UDP|DNS|BANNER|PORT\d)\b")


def unescape(text):  # \n, \r, \xNN and \\ of a step's text
    return text.encode("latin-1").decode("unicode_escape")


class Step:
    """[no] verb [=N|>=N|+N] [<seconds>s] [@log] argument, and the indented lines under it."""

    def __init__(self, number, line):
        self.number, self.text, self.block = number, line.strip(), []
        self.negated = self.text.startswith("no ")
        self.verb, _, rest = self.text[3 * self.negated:].partition(" ")
        self.compare, self.count, self.timeout, self.log = None, None, 10.0, None
        while m := OPTION.match(rest):
            if m.group(1):
                self.compare, self.count = m.group(1), int(m.group(2))
            elif m.group(3):
                self.timeout = float(m.group(3))
            else:
                self.log = m.group(4)
            rest = rest[m.end():]
        self.arg = rest.strip()

    def counted(self, n, base=0):
        if self.compare == "=":
            return n == self.count
        return n >= {None: 1, ">=": self.count, "+": base + (self.count or 0)}[self.compare]


def parse(text):
    steps = []
    for number, line in enumerate(text.splitlines(), 1):
        if line.strip() and not line.lstrip().startswith("#"):
            if line[0] in " \t":
                steps[-1].block.append(line.strip())
            else:
                steps.append(Step(number, line))
    for s in steps:  # a check without its argument (or block) would hold always
        bare = s.verb in ("served", "running", "lines")
        if (bare == bool(s.arg) and s.verb != "call") or (s.verb == "lines" and not s.block) or (
                s.verb in ("grep", "chmod", "append") and " " not in s.arg):
            raise ValueError("line %d: %r lacks or has a stray argument" % (s.number, s.text))
    return steps


class Case:
    def __init__(self, directory):
        self.dir = os.path.abspath(directory)
        self.name = os.path.basename(self.dir)
        self.files = {}  # name: (text, mode) of the home's files
        for path in glob(os.path.join(self.dir, "*")):
            with open(path, encoding="latin-1") as f:
                self.files[os.path.basename(path)] = (f.read(), os.stat(path).st_mode)
        self.text = self.files.pop("case")[0]

    def run(self):
        names = set(PLACEHOLDER.findall(self.text + "".join(t for t, _ in self.files.values())))
        steps = parse(self.text)
        self.origin = Origin() if names & {"HTTP", "UDP", "DNS", "BANNER"} or any(
            s.verb in ("banner", "served") for s in steps) else None
        repeat = int(steps[0].arg) if steps and steps[0].verb == "repeat" else 0
        for _ in range(repeat or 1):
            self.home = Home("netrove_%s_" % self.name)
            values = {"HOME": self.home.path, "BIN": BIN,
                      **{n: free_port() for n in names if "PORT" in n}}
            if self.origin:
                values.update(HTTP=self.origin.http, UDP=self.origin.udp, DNS=self.origin.dns,
                              BANNER=self.origin.banner)
            fill = lambda text: PLACEHOLDER.sub(lambda m: str(values[m.group(1)]), text)  # noqa
            for name, (text, mode) in self.files.items():
                self.home.write(name, fill(text))
                os.chmod(self.home.file(name), stat.S_IMODE(mode))
            self.program, self.out = None, ""
            try:
                for step in parse(fill(self.text))[1 if repeat else 0:]:
                    self.step = step
                    getattr(self, "do_" + step.verb.replace("-", "_"))(step)
            finally:
                if self.program:
                    self.program.stop()

    # --- checks: each waits (bounded) until it holds; "no" waits for the opposite ---

    def check(self, step, predicate, detail, timeout=None):
        timeout = step.timeout if timeout is None else timeout
        if not wait_for(lambda: bool(predicate()) != step.negated, timeout, 0.005):
            raise AssertionError("%s (waited %g s)\n%s" % (
                "still true" if step.negated else "never true", timeout, detail()))

    def log_lines(self, step):
        return self.home.messages(step.log or (self.program.log if self.program else "netrove.log"))

    def do_log(self, step):
        matches = lambda: sum(1 for m in self.log_lines(step) if re.search(step.arg, m))  # noqa
        base = matches()
        self.check(step, lambda: step.counted(matches(), base),
                   lambda: "%d matching line(s)" % matches())

    def do_lines(self, step):
        def found():
            lines = [m for m in self.log_lines(step) if m.strip()]
            return any(lines[i:i + len(step.block)] == step.block for i in range(len(lines)))
        self.check(step, found, lambda: "expected consecutive lines:\n  " + "\n  ".join(step.block))

    def do_screen(self, step):
        self.check(step, lambda: re.search(step.arg, self.program.output()),
                   lambda: "(the output is below)")

    def do_file(self, step):
        holds = lambda: glob(self.home.file(step.arg)) and (  # noqa: E731
            not step.block or self.home.lines(step.arg) == step.block)
        self.check(step, holds, lambda: "%s holds: %r" % (step.arg, self.home.lines(step.arg)))

    def do_grep(self, step):
        name, _, pattern = step.arg.partition(" ")
        self.check(step, lambda: re.search(pattern, self.home.read(name), re.M),
                   lambda: "%s holds: %r" % (name, self.home.read(name)))

    def do_out(self, step):
        self.check(step, lambda: re.search(step.arg, self.out, re.M),
                   lambda: "output: %r" % self.out, 0)

    def do_dead(self, step):
        pid = self.home.read(step.arg).strip()
        if not pid.isdigit():
            raise AssertionError("no process number in " + step.arg)

        def gone():
            try:
                with open("/proc/%s/stat" % pid) as f:
                    return " Z " in f.read()
            except OSError:
                return True
        try:
            self.check(step, gone, lambda: "process %s is alive" % pid)
        except AssertionError:
            os.kill(int(pid), signal.SIGKILL)  # what the dial command left behind
            raise

    def do_exit(self, step):
        code = self.program.wait_exit(step.timeout)
        if code != int(step.arg):
            raise AssertionError("still running after %g s" % step.timeout if code is None else
                         "exit code %s, expected %s" % (code, step.arg))

    def do_running(self, step):
        if self.program.proc.poll() is not None:
            raise AssertionError("ended with exit code %s" % self.program.proc.returncode)

    def do_tty(self, step):
        flags = termios.tcgetattr(self.program.fd)[3] & (termios.ICANON | termios.ECHO)
        if flags != {"sane": termios.ICANON | termios.ECHO, "raw": 0}[step.arg]:
            raise AssertionError("terminal local modes ICANON|ECHO are %#o" % flags)

    def do_banner(self, step):
        source, port = step.arg.split()
        began = time.monotonic()
        reply = http_get(int(port), source, step.timeout, request=b"")
        took = time.monotonic() - began
        if reply != BANNER:
            raise AssertionError("got %r of the banner in %.1f s" % (reply, took))

    def do_served(self, step):
        self.check(step, lambda: step.counted(self.origin.served),
                   lambda: "the origin served %d request(s)" % self.origin.served)

    # --- actions ---

    def do_start(self, step):
        if self.program:
            self.program.stop()
        self.program = Program(self.home, *shlex.split(step.arg), tty=step.verb == "start",
                               log=step.log or "netrove.log")
    do_start_bare = do_start

    def do_call(self, step):
        words, _, stdin = step.arg.partition(" < ")
        words = shlex.split(words)
        cmd = words if words and words[0].startswith("/") else None
        code, self.out = run_piped(self.home, *words, cmd=cmd, stdin=unescape(stdin))
        if step.compare and code != step.count:
            raise AssertionError("exit code %d, output: %r" % (code, self.out))

    def do_key(self, step):
        for name in shlex.split(step.arg):
            os.write(self.program.fd, KEYS.get(name, name).encode("latin-1"))

    def do_write(self, step, how="wb"):
        name, _, text = step.arg.partition(" ")
        with open(self.home.file(name), how) as f:
            f.write(unescape(text).encode("latin-1"))

    def do_append(self, step):
        self.do_write(step, "ab")

    def do_chmod(self, step):
        mode, _, name = step.arg.partition(" ")
        os.chmod(self.home.file(name), int(mode, 8))

    def do_copy(self, step):
        for path in glob(os.path.join(SOURCE, step.arg, "*")):
            with open(path, "rb") as f:
                self.home.write(os.path.basename(path), f.read())

    def do_signal(self, step):
        self.program.proc.send_signal(getattr(signal, "SIG" + step.arg))

    def do_sleep(self, step):
        time.sleep(float(step.arg))

    def do_remove(self, step):
        os.remove(self.home.file(step.arg))


def main(directories):
    failures = 0
    for case in map(Case, directories):
        began, case.step, case.program = time.monotonic(), None, None
        try:
            case.run()
            print("PASS %s (%.1f s)" % (case.name, time.monotonic() - began))
        except (AssertionError, AttributeError, KeyError, OSError, ValueError) as e:
            failures += 1
            print("FAIL %s, %s line %d: %s\n%s" % (case.name, os.path.join(case.dir, "case"),
                                                    case.step.number if case.step else 0,
                                                    case.step.text if case.step else "", e))
            print(case.program.report() if case.program else "")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
