#!/usr/bin/python3
"""Clients of the load benchmark (bench/load.sh), on loopback, built from
the helpers of the load test. Each prints one line of key=value figures.
  load_clients.py idle <port> <count>      idle connections from 127.0.0.1,
                                           then one request from 127.0.0.2
  load_clients.py udp-rate <port> <count>  datagram round trips one at a time
  load_clients.py flood <port> <count>     datagrams from 127.0.0.1, then
                                           one from 127.0.0.2"""
import os
import re
import resource
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "gates"))
from load_test import http_get, open_idle, udp_ask, udp_flood  # noqa: E402


def complete(reply):
    """Whether the reply is a 200 with all the body its length announces."""
    head, _, body = reply.partition(b"\r\n\r\n")
    length = re.search(rb"(?im)^content-length:\s*(\d+)", head)
    return head.startswith(b"HTTP/1.0 200") and length and int(length.group(1)) == len(body)


def idle(port, count):
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(count + 100, hard), hard))
    sockets, held = open_idle(port, count, 1.0)
    started = time.monotonic()
    ok = complete(http_get(port, "127.0.0.2", 5))
    print(f"held={held} probe={'ok' if ok else 'failed'} "
          f"seconds={time.monotonic() - started:.3f}")
    for s in sockets:
        s.close()


def udp_rate(port, count):
    """One datagram at a time, each answered before the next; stops at the
    first one unanswered for a second, and after 30 s in all."""
    answered = 0
    started = time.monotonic()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        s.settimeout(1)
        while answered < count and time.monotonic() - started < 30:
            s.sendto(b"q%d" % answered, ("127.0.0.1", port))
            try:
                if s.recv(65536) != b"re:q%d" % answered:
                    break
            except socket.timeout:
                break
            answered += 1
    print(f"answered={answered} rate={answered / (time.monotonic() - started):.0f}")


def flood(port, count):
    udp_flood(port, count)
    time.sleep(0.5)
    started = time.monotonic()
    answer = udp_ask(port, "127.0.0.2", b"probe", 2)
    print(f"probe={'ok' if answer == b're:probe' else 'none'} "
          f"seconds={time.monotonic() - started:.3f}")


if __name__ == "__main__":
    mode, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    {"idle": idle, "udp-rate": udp_rate, "flood": flood}[mode](port, count)
