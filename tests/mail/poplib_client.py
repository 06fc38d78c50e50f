#!/usr/bin/env python3
"""poplib against the POP3 server on 127.0.0.1:<port> (ann/secret, two messages)."""
import poplib
import sys

pop = poplib.POP3("127.0.0.1", int(sys.argv[1]), timeout=10)
assert pop.getwelcome() == b"+OK NETROVE POP3-server", pop.getwelcome()
pop.user("ann")
pop.pass_("secret")
assert pop.stat()[0] == 2, pop.stat()
assert [line.split()[0] for line in pop.list()[1]] == [b"1", b"2"]
assert pop.retr(1)[1] == [b"Subject: hello", b"", b".leading dot", b"line"], pop.retr(1)
assert pop.retr(2)[1] == [b"Subject: second", b"", b".", b"end"], pop.retr(2)  # CR line ends
assert pop.top(1, 0)[1] == [b"Subject: hello", b""], pop.top(1, 0)
pop.dele(1)
try:
    pop.retr(1)
    raise AssertionError("deleted message served")
except poplib.error_proto as e:
    assert b"No such message" in e.args[0], e
assert pop.quit().startswith(b"+OK User disconnected")
