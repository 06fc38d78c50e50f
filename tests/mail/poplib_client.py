#!/usr/bin/env python3
"""Python's poplib against the POP3 server on 127.0.0.1:<port>, mailbox of
ann/secret holding two messages; exits non-zero on the first surprise."""
import poplib
import sys

pop = poplib.POP3("127.0.0.1", int(sys.argv[1]), timeout=10)
assert pop.getwelcome() == b"+OK NETROVE POP3-server", pop.getwelcome()
pop.user("ann")
pop.pass_("secret")
count, size = pop.stat()
assert count == 2, (count, size)
_, listing, _ = pop.list()
assert [line.split()[0] for line in listing] == [b"1", b"2"], listing
_, lines, _ = pop.retr(1)
assert lines == [b"Subject: hello", b"", b".leading dot", b"line"], lines  # poplib unstuffs
_, lines, _ = pop.retr(2)
assert lines == [b"Subject: second", b"", b".", b"end"], lines  # CR line ends
_, lines, _ = pop.top(1, 0)
assert lines == [b"Subject: hello", b""], lines
pop.dele(1)
try:
    pop.retr(1)
    raise AssertionError("deleted message served")
except poplib.error_proto as e:
    assert b"No such message" in e.args[0], e
assert pop.quit().startswith(b"+OK User disconnected")
print("ok")
