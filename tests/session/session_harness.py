"""Runs the real program for one connection on a pseudo-terminal in a
temporary home, with a generated netrove.dat and phonebook, and reads its
log. Shared by the session script tests of this folder."""
import os
import pty
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from procs import start_group, stop_group  # noqa: E402

BIN = os.environ.get("NETROVE_BIN", "build/default/bin")
NETROVE = os.path.join(BIN, "netrove")

# "dd/mm hh:mm", space, "■" (UTF-8, read here as latin-1), space.
STAMP = re.compile(r"^\d\d/\d\d \d\d:\d\d \xe2\x96\xa0 ")


def wait_for(predicate, timeout, step=0.1):
    """Polls until predicate() is true or the time is over; bounded."""
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)


def write_script(path, body):
    """An executable shell script."""
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body)
    os.chmod(path, 0o755)


class Home:
    """A temporary program directory."""

    def __init__(self, prefix):
        self.path = tempfile.mkdtemp(prefix=prefix)

    def file(self, name):
        return os.path.join(self.path, name)

    def write(self, name, text):
        with open(self.file(name), "w") as f:
            f.write(text)

    def read(self, name):
        try:
            with open(self.file(name), encoding="latin-1") as f:
                return f.read()
        except OSError:
            return ""

    def lines(self, name):
        return self.read(name).splitlines()

    def exists(self, name):
        return os.path.exists(self.file(name))

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


class Program:
    """`netrove <words>` on a pseudo-terminal; the terminal output is kept."""

    def __init__(self, home, *words, log="netrove.log"):
        self.home = home
        self.log_name = log
        env = dict(os.environ, NETROVE_HOME=home.path, NETROVE_PHONEBOOK=home.file("phonebook"),
                   TERM="xterm", LANG="C.UTF-8")
        master, slave = pty.openpty()
        self.master = master
        self.started = time.monotonic()
        self.proc = start_group([NETROVE, *words], env=env, stdin=slave, stdout=slave,
                                stderr=slave, close_fds=True, cwd=home.path)
        os.close(slave)
        self._out = bytearray()
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        while True:
            try:
                chunk = os.read(self.master, 4096)
            except OSError:
                return
            if not chunk:
                return
            with self._lock:
                self._out += chunk

    def screen(self):
        """Everything written to the terminal so far."""
        with self._lock:
            return self._out.decode("latin-1")

    def messages(self, name=None):
        """The log lines without their time stamps."""
        return [STAMP.sub("", line) for line in self.home.lines(name or self.log_name)]

    def count(self, pattern, name=None):
        rx = re.compile(pattern)
        return sum(1 for m in self.messages(name) if rx.search(m))

    def wait_log(self, pattern, timeout, times=1, name=None):
        return wait_for(lambda: self.count(pattern, name) >= times, timeout)

    def send(self, data):
        os.write(self.master, data)

    def running(self):
        return self.proc.poll() is None

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, timeout=15):
        """SIGTERM (an orderly stop); kills the process if it does not end."""
        code = stop_group(self.proc, timeout)
        self._reader.join(2)
        try:
            os.close(self.master)
        except OSError:
            pass
        return code

    def report(self):
        """The log and the tail of the terminal, for failure messages."""
        return ("\n--- log ---\n" + "\n".join(self.messages()) + "\n--- terminal (tail) ---\n" +
                self.screen()[-1500:])
