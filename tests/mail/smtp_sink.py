#!/usr/bin/python3
"""A provider's SMTP server for tests: aiosmtpd on 127.0.0.1:PORT.

Each accepted message is written to OUTDIR as <k>.eml (written under a
temporary name, then renamed): the line "MAIL FROM:<sender>", one line
"RCPT TO:<recipient>" per accepted recipient, an empty line, then the
message as received (dot-stuffing removed, CR LF line ends).

  smtp_sink.py PORT OUTDIR [--reject ADDR]... [--defer ADDR]...
                           [--data-reply "451 4.3.0 try later"]

--reject answers RCPT TO for ADDR with 550, --defer with 450 (any case);
--data-reply answers the end of DATA with that reply and stores nothing.
Runs until killed.
"""
import argparse
import asyncio
import os
import signal

from aiosmtpd.controller import Controller


class Sink:
    def __init__(self, args):
        self.args = args
        self.rejected = {a.lower() for a in args.reject}
        self.deferred = {a.lower() for a in args.defer}
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.rejected:
            return "550 5.1.1 <%s>: no such user" % address
        if address.lower() in self.deferred:
            return "450 4.2.1 <%s>: mailbox busy" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("outdir")
    parser.add_argument("--reject", action="append", default=[])
    parser.add_argument("--defer", action="append", default=[])
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


if __name__ == "__main__":
    main()
