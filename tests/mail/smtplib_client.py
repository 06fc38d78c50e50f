#!/usr/bin/env python3
"""smtplib against the SMTP server on 127.0.0.1:<port>: EHLO is refused, so
sendmail must fall back to HELO and deliver to joe@home.lan."""
import smtplib
import sys

smtp = smtplib.SMTP("127.0.0.1", int(sys.argv[1]), local_hostname="py.lan", timeout=10)
smtp.sendmail("ann@lan", ["joe@home.lan"], "Subject: py\r\n\r\n.dot\r\nbody\r\n")
assert smtp.does_esmtp == 0 and smtp.helo_resp == b"mailgate.netrove.invalid", smtp.helo_resp
smtp.quit()
