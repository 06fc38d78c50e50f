#!/usr/bin/env python3
"""poplib through the POP3 gate on 127.0.0.1:<port> as <user> <password>:
prints the message count and the first message, or the server's refusal."""
import poplib
import sys

pop = poplib.POP3("127.0.0.1", int(sys.argv[1]), timeout=10)
try:
    pop.user(sys.argv[2])
    pop.pass_(sys.argv[3])
    print(pop.stat()[0], pop.retr(1)[1])
    pop.quit()
except poplib.error_proto as e:
    print(e)
