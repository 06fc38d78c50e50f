#!/usr/bin/python3
"""The front-end exports from outside: the example front-end (C, dlopen only) runs a session on
the simulated modem and stops it through ControlRequest; SET and CLEAR register the AutoDial
function with every phonebook entry; netrove-autodial starts the program with AUTODIAL, which
dials once without redialing and ends, and then returns. Everything runs in a temporary home that
holds copies of the programs, so that the busy markers beside the library stay in it."""
import os
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from harness import (BIN, Checks, Home, sanitizer_preload, start_group,  # noqa: E402
                     stop_group)

check = Checks(quiet=True)


def home_with(phonebook, config):
    home = Home("netrove-exports-", {"phonebook": phonebook, "netrove.dat": config})
    for name in ("netrove", "netrove-autodial", "example-frontend", "libnetrove.so"):
        shutil.copy2(os.path.join(BIN, name), home.path)
    for name in ("phonebook", "netrove.dat"):
        os.chmod(home.file(name), 0o600)
    return home


def end_programs_in(home):
    """The handler starts the program in a session of its own: one the test left running (a
    handler that never returned) is found by its executable, in the test's own home, and ended."""
    program = home.file("netrove")
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink("/proc/%s/exe" % pid) == program:
                os.kill(int(pid), signal.SIGKILL)
        except OSError:
            pass


def run(home, program, *args, timeout, **extra_env):
    """`program` (a copy in `home`, or a path) with `args`; (exit code, output)."""
    process = start_group([home.file(program), *args], cwd=home.path, env=home.env(**extra_env),
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    try:
        out, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        stop_group(process)
        out, _ = process.communicate()
        check(False, "%s did not end within %d s" % (program, timeout))
    stop_group(process)
    print(out.decode("latin-1"))
    return process.returncode, out.decode("latin-1")


def example_front_end():
    home = home_with("[Demo]\nDevice sim\nPhone 555-0100\nAnswer busy 0.3, connect 0.5\n",
                     "LogFile netrove.log\nWaitTime 1\n\n[Demo]\nUser demo\nPassword *secret\n"
                     "DialTime 20\nAddPhone 555-0101\nAddPhone 555-0102\n")
    code, out = run(home, "example-frontend", home.path, "Demo", "3", timeout=90)
    check(code == 0, "the example front-end ended with %s" % code)
    for want in ["settings: entry Demo", "settings: user demo", "password of 6 characters",
                 "dial time 20", "add phone 555-0101", "add phone 555-0102",
                 "log: Starting services", "request: stop", "stopped"]:
        check(want in out, "the example front-end printed no %r" % want)
    statuses = [line for line in out.splitlines() if line.startswith("status: Demo | ")]
    check(any(" | link 2 | " in line for line in statuses), "no status while dialing")
    check(any(" | link 1 | " in line for line in statuses), "no status on-line")
    check(any(re.search(r" \| link 1 \| today 00:00:0[1-9] \| ", line) for line in statuses),
          "the statistics record never counted on-line time")
    log = home.read("netrove.log")
    check("Starting services" in log and "Connected as" in log,
          "the program's own routine, called by the front-end's, did not write the log file")


def set_and_clear():
    book = ("; three entries\n[Office]\nDevice sim\n\n[Home]\nDevice sim\n"
            "AutoDialFunction Old\n\n[Spare]\nDevice sim\n")
    home = home_with(book, "[Office]\nUser u\n")
    code, out = run(home, "netrove", "office", "SET", timeout=30)
    check(code == 0, "SET ended with %s" % code)
    check(out.count("\rOk.") == 3, "SET did not print \\rOk. three times")
    check("Check connection: Office" in out and
          "Set AutoDial function for connection Office" in out, "SET printed no header")
    registered = home.read("phonebook")
    library = home.file("libnetrove.so")
    check(registered.count("AutoDialLibrary " + library + "\n") == 3, "not every entry registered")
    check(registered.count("AutoDialFunction AutoDial\n") == 3, "not every function set")
    check("Old" not in registered and registered.startswith("; three entries\n[Office]"),
          "SET changed more than the AutoDial lines")
    check(home.read("netrove.autodial") == "Office\n",
          "netrove.autodial does not name the connection")
    code, out = run(home, "netrove", "Office", "CLEAR", timeout=30)
    check(code == 0 and out.count("\rOk.") == 3, "CLEAR failed: %s %r" % (code, out))
    check(home.read("phonebook") == book.replace("AutoDialFunction Old\n", ""),
          "CLEAR left AutoDial lines")
    check(not os.path.exists(home.file("netrove.autodial")), "CLEAR kept netrove.autodial")


def autodial_command():
    # The line drops after one second on-line; REDIAL stays off in AutoDial mode although the
    # file asks for it, so the program ends and removes its busy marker, and the handler returns.
    home = home_with("[Office]\nDevice sim\nAnswer connect 0.3 1\n",
                     "LogFile netrove.log\n\n[Office]\nRedial YES\nWaitTime 1\n")
    started = time.monotonic()
    code, out = run(home, "netrove-autodial", "Office", timeout=60)
    check(code == 0, "netrove-autodial ended with %s" % code)
    print(home.read("netrove.log"))
    check(home.read("netrove.log").count("Starting services") == 1,
          "the AutoDial start did not run once")
    check(not os.path.exists(home.file("netrove.Office.busy")), "the marker was left")
    check(time.monotonic() - started < 45, "netrove-autodial waited too long")
    # A marker whose process is gone does not block the next start.
    home.write("netrove.Office.busy", "999999999 1\n")
    run(home, "netrove-autodial", "Office", timeout=60)
    check(home.read("netrove.log").count("Starting services") == 2,
          "a stale marker blocked AutoDial")
    end_programs_in(home)


# Run in a process of its own (the library starts the program in it): the exports called
# through ctypes as a front-end in another language would.
CTYPES_FRONT_END = r"""
import ctypes, sys, time
lib = ctypes.CDLL(sys.argv[1] + "/libnetrove.so")
def text(s):
    b = s.encode("latin-1")
    return ctypes.create_string_buffer(bytes([len(b)]) + b, 256)
def until(holds, tries):
    for _ in range(tries):
        if holds():
            return
        time.sleep(0.1)
def fn(name, res, *args):
    f = getattr(lib, name) if name.isidentifier() else lib[name]
    f.restype, f.argtypes = res, list(args)
    return f
record = ctypes.create_string_buffer(7516)
load = fn("0x04", ctypes.c_uint8, ctypes.c_char_p, ctypes.c_char_p)
fill = fn("0x24", None, ctypes.c_char_p)
replace = fn("0x12", ctypes.c_int32, ctypes.c_char_p)
count = fn("0x02", ctypes.c_int32)
names = fn("0x03", ctypes.c_int32, ctypes.c_char_p)
node = fn("NetroveChainNode", ctypes.c_void_p, ctypes.c_uint32)
free = fn("NetroveChainFree", None, ctypes.c_char_p)
start = fn("0x16", None, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint8)
request = fn("0x18", None, ctypes.c_uint16)
stopped = fn("0x21", ctypes.c_uint8)
print("sections", count())
chain = ctypes.create_string_buffer(260)
listed, n = [], names(chain)
raw = chain.raw
while True:
    listed.append(raw[1:1 + raw[0]].decode())
    nxt = int.from_bytes(raw[256:260], "little")
    if not nxt:
        break
    raw = ctypes.string_at(node(nxt), 260)
print("names", n, " ".join(listed))
free(chain)
print("after free", int.from_bytes(chain.raw[256:260], "little"), node(1) is None)
print("loaded", load(text("Demo"), record))
fill(record)
mask = record.raw[768:1024]
print("mask", mask[0], all(1 <= c < 32 for c in mask[1:1 + mask[0]]))
print("replaced", replace(record) > 0)
print("stopped before", stopped())
status = fn("0x14", None, ctypes.c_char_p)
start(text("Demo"), text(""), 0)
request(1)
until(stopped, 200)
print("stopped after", stopped())
# Loading settings while a session dials leaves the session alone.
start(text("Demo"), text(""), 0)
record2 = ctypes.create_string_buffer(7516)
st = ctypes.create_string_buffer(768)
until(lambda: status(st) or st.raw[257:257 + st.raw[256]].startswith(b"Dialing... ("), 100)
print("loaded while dialing", load(text("Three"), record2))
time.sleep(1.2)
status(st)
print("still", st.raw[1:1 + st.raw[0]].decode(), st.raw[257:257 + st.raw[256]].decode())
request(1)
until(stopped, 200)
print("stopped after", stopped())
"""


def ctypes_front_end():
    password = "forty-character-password-0123456789abcde"[:40]
    home = home_with("[Demo]\nDevice sim\nAnswer hang\n",
                     "; settings\nWaitTime 1\n[Demo]\nPassword *%s\nUser u\n[Two] x\n[Three]\n"
                     % password)
    code, out = run(home, sys.executable, "-c", CTYPES_FRONT_END, home.path, timeout=60,
                    **sanitizer_preload())
    check(code == 0, "the ctypes front-end ended with %s" % code)
    for want in ["sections 3", "names 3 Demo Two Three", "after free 0 True", "loaded 1",
                 "mask 40 True", "replaced True", "stopped before 1", "stopped after 1",
                 "Exiting....", "loaded while dialing 1", "still Demo Dialing... ("]:
        check(want in out, "the ctypes front-end printed no %r" % want)
    written = home.read("netrove.dat")
    check("Password *%s\n" % password in written, "the 40-character password did not survive")
    check(written.startswith("; settings\nWaitTime 1\n[Demo]\n"), "the file lost its head")


example_front_end()
ctypes_front_end()
set_and_clear()
autodial_command()
sys.exit(check.code())
