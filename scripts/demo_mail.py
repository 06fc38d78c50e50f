#!/usr/bin/python3
"""The mail part of scripts/demo: `netrove Demo PROXY` in a network namespace of its own (ports 25
and 110 are privileged), a message to a local alias sent with smtplib and read back with poplib,
and one to an outside address left in the queue; then ann's inbox as the web mail shows it on
port 3128 (the host "mail"). Argument: the demo's home directory."""
import base64
import html
import os
import poplib
import re
import smtplib
import socket
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
os.environ.setdefault("NETROVE_BIN", os.path.join(ROOT, "build", "default", "bin"))
sys.path.insert(0, os.path.join(ROOT, "tests", "lib"))
from harness import Home, Program, enter_network_namespace, wait_for  # noqa: E402

MESSAGE = "From: boss@office.example\r\nTo: %s\r\nSubject: %s\r\n\r\n%s\r\n"


def web_mail():
    """The inbox page of the web mail as a browser would get it, its message list as text."""
    auth = base64.b64encode(b"ann:demo")
    reply = b""
    with socket.create_connection(("127.0.0.1", 3128), timeout=10) as s:
        s.sendall(b"GET / HTTP/1.0\r\nHost: mail\r\nAuthorization: Basic %s\r\n\r\n" % auth)
        while len(reply) < 1 << 20 and (chunk := s.recv(65536)):
            reply += chunk
    page = reply.decode("latin-1")
    print("-- the web mail: http://mail:3128/ as ann (%s):" % page.split("\r\n", 1)[0])
    for row in re.findall(r"<tr>(.*?)</tr>", page, re.S):
        cells = [html.unescape(re.sub(r"<[^>]*>", "", c)).strip()
                 for c in re.findall(r"<t[hd][^>]*>(.*?)</t[hd]>", row, re.S)]
        print("   " + " | ".join(c for c in cells if c))


def main(path):
    home = Home(path=path)
    before = len(home.messages())  # the log may hold an earlier run's lines
    program = Program(home, "Demo", "PROXY", tty=False)
    try:
        started = lambda: "SMTP-gate server started" in program.messages()[before:]  # noqa: E731
        if not wait_for(started, 15):
            print("   the SMTP server did not start: see %s/netrove.log" % path)
            return 1
        with smtplib.SMTP("127.0.0.1", 25, timeout=10) as smtp:
            print("-- smtplib to port 25 (its EHLO is refused, it says HELO):")
            smtp.sendmail("boss@office.example", ["ann@office.example"],
                          MESSAGE % ("ann@office.example", "Lunch", "At noon, downstairs."))
            print("   ann@office.example: stored at once (a local alias)")
            smtp.sendmail("boss@office.example", ["friend@elsewhere.example"],
                          MESSAGE % ("friend@elsewhere.example", "Hello", "From the office."))
            print("   friend@elsewhere.example: queued for the provider")
        queue = sorted(n for n in os.listdir(os.path.join(path, "MailBox")) if n.endswith(".smtp"))
        print("-- the queue: MailBox/%s (sent while the link is up)" % ", MailBox/".join(queue))
        pop = poplib.POP3("127.0.0.1", 110, timeout=10)
        pop.user("ann")
        pop.pass_("demo")
        print("-- poplib as ann on port 110: %d message(s); the first:" % pop.stat()[0])
        for line in pop.retr(1)[1]:
            print("   " + line.decode("latin-1"))
        pop.quit()
        web_mail()
        return 0
    finally:
        program.stop()


if __name__ == "__main__":
    enter_network_namespace()
    sys.exit(main(sys.argv[1]))
