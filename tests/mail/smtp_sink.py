#!/usr/bin/python3
"""A provider's SMTP server for tests: aiosmtpd on 127.0.0.1:PORT until killed.

  smtp_sink.py PORT OUTDIR [--refuse ADDR REPLY]... [--data-reply REPLY]

Each message becomes OUTDIR/<k>.eml: "MAIL FROM:<sender>", a "RCPT TO:<r>" line per accepted
recipient, an empty line, the message as received. --refuse answers RCPT TO for ADDR (any case)
with REPLY; --data-reply answers the end of DATA with REPLY and stores nothing.
"""
import argparse
import os
import signal

from aiosmtpd.controller import Controller


class Sink:
    def __init__(self, args):
        self.args = args
        self.refused = {a.lower(): reply for a, reply in args.refuse}
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        reply = self.refused.get(address.lower())
        if not reply:
            envelope.rcpt_tos.append(address)
        return reply or "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.args.data_reply:
            return self.args.data_reply
        self.count += 1
        head = "MAIL FROM:<%s>\r\n" % envelope.mail_from
        head += "".join("RCPT TO:<%s>\r\n" % r for r in envelope.rcpt_tos) + "\r\n"
        path = os.path.join(self.args.outdir, "%d.eml" % self.count)
        with open(path + ".tmp", "wb") as f:
            f.write(head.encode() + envelope.original_content)
        os.rename(path + ".tmp", path)
        return "250 2.0.0 queued as %d" % self.count


parser = argparse.ArgumentParser()
parser.add_argument("port", type=int)
parser.add_argument("outdir")
parser.add_argument("--refuse", nargs=2, action="append", default=[])
parser.add_argument("--data-reply", default="")
args = parser.parse_args()
os.makedirs(args.outdir, exist_ok=True)
controller = Controller(Sink(args), hostname="127.0.0.1", port=args.port,
                        server_hostname="sink.test.invalid")
stop = {signal.SIGTERM, signal.SIGINT}
signal.pthread_sigmask(signal.SIG_BLOCK, stop)  # (inherited by the server's thread)
controller.start()
try:
    signal.sigwait(stop)
finally:
    controller.stop()
