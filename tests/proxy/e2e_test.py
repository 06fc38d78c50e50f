#!/usr/bin/python3
"""The HTTP proxy on port 3128 with curl, headless Chromium and raw clients, a recording origin,
openssl s_server and upstream proxies, on loopback in a network namespace of the test's own."""
import base64
import concurrent.futures
import http.server
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from harness import (CHROMIUM, Home, HttpOrigin, Program, curl,  # noqa: E402
                     enter_network_namespace, exchange, free_port, listening, private_env,
                     start_group, stop_group, wait_for)

GIF = b"GIF89a" + bytes(range(256)) * 8
PAGE = b"<html><body><p id=hi>Hello through the proxy</p><img src=/pic.gif></body></html>"
SKIPPED = (b"HTTP/1.0 404 Skipped URL\r\nContent-Length: 0\r\nConnection: close\r\n"
           b"Proxy-Connection: close\r\nContent-Type: text/html\r\n\r\n")


def local(target):
    """The path and query of a request target in absolute or origin form."""
    return re.sub(r"^http://[^/]*", "", target)


class OriginHandler(http.server.BaseHTTPRequestHandler):
    """Pages, GIFs and text with a Last-Modified; /cut.gif hangs up after 500 of 1000 bytes,
    /halfhead in its head. It takes absolute URLs too: it also plays a recording upstream proxy."""

    def do_GET(self):
        path = local(self.path)
        if path == "/halfhead":
            return self.wfile.write(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n")
        body, kind = ((b"x" * 500, b"image/gif") if path == "/cut.gif" else
                      (PAGE, b"text/html") if path.endswith(".html") else
                      (GIF, b"image/gif") if path.endswith(".gif") else
                      (b"origin:" + path.encode(), b"text/plain"))
        self.wfile.write(b"HTTP/1.0 200 OK\r\nContent-Type: %s\r\nContent-Length: %d\r\n"
                         b"Last-Modified: Sat, 01 Jan 2022 10:00:00 GMT\r\n\r\n%s" % (
                             kind, 1000 if path == "/cut.gif" else len(body),
                             b"" if self.command == "HEAD" else body))

    do_HEAD = do_DELETE = do_GET


class Origin(HttpOrigin):
    def __init__(self):
        super().__init__(OriginHandler)

    def hits(self, path, method="GET"):
        return [h for m, p, _, h in self.seen if m == method and local(p) == path]


def body(reply):
    return reply.partition(b"\r\n\r\n")[2]


def get(url, *headers):
    return ("GET %s HTTP/1.0\r\n%s\r\n" % (url, "".join(h + "\r\n" for h in headers))).encode()


def basic(user_password):
    return "Proxy-Authorization: Basic " + base64.b64encode(user_password.encode()).decode()


class ProxyEndToEndTest(unittest.TestCase):
    def setUp(self):
        self.origin = Origin()
        self.addCleanup(self.origin.stop)
        self.home = Home("netrove_proxy_", {"proxy.ip": "*.*.*.*\n", "authpass.usr": "- -\n"})
        self.program = None

    def start(self, proxy="LOCALHOST", extra=""):
        """(Re)starts the program in proxy mode, with the same home (its cache and its log)."""
        if self.program:
            self.program.stop()
        self.home.write("netrove.dat", "[Office]\nDefLoad No\nLogFile netrove.log\nHideProxy No\n"
                        f"ProxyLog proxy.log\nProxy {proxy}\n{extra}")
        starts = lambda: self.home.messages().count("Proxy server started")  # noqa: E731
        before = starts()  # a restart's line, not the last run's; not "!NOT! Proxy server ..."
        self.program = Program(self.home, "Office", "PROXY", tty=False)
        self.addCleanup(self.program.stop)
        self.assertTrue(wait_for(lambda: starts() > before, 10), self.report())

    def report(self):
        return self.program.report() + "\n--- proxy.log ---\n" + self.home.read("proxy.log")

    def cached(self):
        directory = self.home.file(f"ProxyCache/127.0.0.1...{self.origin.port}")
        return sorted(os.listdir(directory)) if os.path.isdir(directory) else []

    def assert_served(self, path, want, *args, proxy="127.0.0.1:3128"):
        code, head, got = curl(self.origin.url + path, *args, proxy=proxy)
        self.assertEqual((code, head[:15], got[:300]),
                         (0, b"HTTP/1.0 200 OK", want[:300]), f"GET {path[:80]}" + self.report())

    def test_clients_and_cache(self):
        o = self.origin
        self.start()
        for _ in range(2):
            self.assert_served("/page.html", PAGE)
            self.assert_served("/pic.gif", GIF)
        self.assertEqual((len(o.hits("/pic.gif")), self.cached()), (1, ["page.html", "pic.gif"]),
                         "the second GIF comes from disk")

        # Chromium's own traffic goes to the proxy too (and to nowhere from there).
        browser = subprocess.run(
            [*CHROMIUM, "--user-data-dir=" + self.home.file("chromium"), "--dump-dom",
             "--proxy-server=127.0.0.1:3128", "--proxy-bypass-list=<-loopback>",
             o.url + "/browser.html"], capture_output=True, timeout=90)
        self.assertIn(b"Hello through the proxy", browser.stdout, browser.stderr[-1500:])
        self.assertIn(f'"GET {o.url}/browser.html"', self.home.read("proxy.log"))

        tls, key, cert = free_port(), self.home.file("key.pem"), self.home.file("cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=t",
                        "-keyout", key, "-out", cert], capture_output=True, check=True, timeout=20)
        self.serve(tls, "openssl", "s_server", "-accept", f"127.0.0.1:{tls}", "-www", "-key", key,
                   "-cert", cert)
        code, *reply = curl("-k", f"https://127.0.0.1:{tls}/")
        self.assertTrue(code == 0 and b"s_server" in reply[1], f"CONNECT: {code} {reply}")

        before = self.cached()
        for _ in range(2):
            self.assert_served("/private.gif", GIF, "-H", "Authorization: Basic dTpw")
        self.assertEqual([h["Authorization"] for h in o.hits("/private.gif")], ["Basic dTpw"] * 2)
        long_path = "/long?" + "q" * 10000
        self.assert_served(long_path, b"origin:" + long_path.encode())
        self.assertEqual((curl(o.url + "/cut.gif")[0], self.cached()), (18, before),
                         "a cut body, a private reply, a 10,000-character URL: nothing stored")
        reply, seconds = exchange(b"DELETE %s/x.txt HTTP/1.0\r\n\r\n" % o.url.encode(), timeout=5)
        self.assertTrue(reply == b"" and seconds < 5 and not o.hits("/x.txt", "DELETE"),
                        f"DELETE: {reply[:200]} after {seconds:.1f} s")

        # A fresh program has an empty list of confirmed entries: the page is confirmed with HEAD.
        self.start()
        self.assert_served("/pic.gif", GIF)
        self.assert_served("/page.html", PAGE)
        self.assertEqual([(m, p) for m, p, _, _ in o.seen if p in ("/page.html", "/pic.gif")],
                         [("GET", "/page.html"), ("GET", "/pic.gif"), ("HEAD", "/page.html")])
        o.stop()  # and a fresh program again: the page's confirmation fails, the copy serves
        self.start()
        self.assert_served("/pic.gif", GIF)
        self.assert_served("/page.html", PAGE)
        reply, _ = exchange(get(o.url + "/gone.txt"))
        self.assertRegex(reply.split(b"\r\n")[0], rb"^HTTP/1.0 404 .*\(D\+\)$", "origin down")

    def serve(self, port, *args):  # a server stopped with the test, once it listens
        server = start_group(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        self.addCleanup(stop_group, server)
        self.assertTrue(wait_for(lambda: listening(port), 10, 0.1), f"no {args[0]}")
        return server

    def test_users_filters_and_hostile_clients(self):
        o, url = self.origin, self.origin.url.encode()
        self.home.write("authpass.usr", "ANNA Secret1\nBOB - 127.0.0.2\n- -\n")
        self.home.write("url.bad", f"!{o.url}/blocked/ok\n{o.url}/blocked/\n")
        self.home.write("files.bad", "*.zip,*.exe\n")
        self.start()
        pool = concurrent.futures.ThreadPoolExecutor(12)
        self.addCleanup(pool.shutdown)
        refused = [pool.submit(exchange, get(o.url + "/r.txt", h), timeout=40) for h in
                   (basic("anna:secret1"), basic("bob:x"), "Proxy-Authorization: Basic ~~~~****")]
        closed, page = rb"\A\Z", rb"\AHTTP/1.0 404 Not found \(D\+\)\r\n"  # what each gets
        hostile = {
            "huge head": (get(o.url + "/big.txt", *["X-Pad: " + "a" * 993] * 70), closed),
            "no HTTP/1": (b"GET %s/v.txt\r\n\r\n" % url, closed),
            "unended header line": (b"GET %s/u.txt HTTP/1.0\r\nX-Half: ab" % url, closed),
            "CONNECT to a closed port": (b"CONNECT 127.0.0.1:110 HTTP/1.0\r\n\r\n", page),
            "CONNECT to the proxy itself": (b"CONNECT 127.0.0.1:3128 HTTP/1.0\r\n\r\n", page)}
        # Each but the line without end stays silent after its request, as a browser does.
        hostile = {k: (pool.submit(exchange, data, shut=k == "unended header line"), want)
                   for k, (data, want) in hostile.items()}

        self.assert_served("/users/anon.txt", b"origin:/users/anon.txt")
        self.assert_served("/users/anna.txt", b"origin:/users/anna.txt", "-U", "anna:Secret1")
        self.assert_served("/users/bob.txt", b"origin:/users/bob.txt", "-U", "bob:any",
                           proxy="127.0.0.2:3128")
        log = self.home.read("proxy.log")
        for user, path in (("-", "anon"), ("ANNA", "anna"), ("BOB", "bob")):
            self.assertRegex(log, r'(?m)^127\.0\.0\.1 - %s \[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\] '
                             r'"GET %s/users/%s\.txt"$' % (user, re.escape(o.url), path))

        self.assertEqual(exchange(get(o.url + "/blocked/other.txt"))[0], SKIPPED)
        _, head, got = curl(o.url + "/d/setup.exe")
        self.assertTrue(head.startswith(b"HTTP/1.0 404 Not found (D+)") and
                        b"File Not Found" in got, head + got[:300])

        for name, (future, want) in hostile.items():
            reply, seconds = future.result()
            self.assertRegex(reply[:200], want, name)
            self.assertLess(seconds, 15, name)
        for future in refused:
            reply, seconds = future.result()
            self.assertTrue(reply.startswith(b"HTTP/1.0 407 ") and seconds >= 14 and
                            b"Proxy authentication error" in reply, f"{seconds:.1f} s: {reply}")
        seen = {local(p) for _, p, _, _ in o.seen}
        self.assertFalse(seen & {"/r.txt", "/big.txt", "/v.txt", "/u.txt", "/blocked/other.txt",
                                 "/d/setup.exe"}, "refused requests reached the origin")
        self.assert_served("/after.txt", b"origin:/after.txt")

    def test_upstream_proxies(self):
        o = self.origin
        # The origin as the upstream proxy: the head it receives, and a reply cut in its head.
        self.start(f"127.0.0.1:{o.port}", "ProxyAuthString Basic dXA6c2VjcmV0\n")
        reply, _ = exchange(get(o.url + "/order.txt", "Host: elsewhere", basic("a:b"),
                                "Accept: */*", "X-Client: 1"))
        self.assertEqual(body(reply), b"origin:/order.txt", self.report())
        _, _, line, headers = o.seen[-1]
        self.assertEqual([line, *map(": ".join, headers.items())], [
            f"GET {o.url}/order.txt HTTP/1.0", f"Host: 127.0.0.1:{o.port}",
            "Proxy-Authorization: Basic dXA6c2VjcmV0", "Accept: */*", "X-Client: 1"])
        self.assertEqual(exchange(get(o.url + "/halfhead"))[0], b"HTTP/1.0 404 ERROR (D+)\r\n\r\n")

        # tinyproxy as the upstream proxy, then gone: the direct relay takes over.
        port = free_port()
        self.home.write("tp.conf", f'Port {port}\nLogLevel Info\nLogFile "{self.home.path}/tp.log"')
        tiny = self.serve(port, "/usr/bin/tinyproxy", "-d", "-c", self.home.file("tp.conf"))
        self.start(f"127.0.0.1:{port}")
        self.assert_served("/via.txt", b"origin:/via.txt")
        self.assertIn(f"GET {o.url}/via.txt", self.home.read("tp.log"))
        stop_group(tiny)
        self.assert_served("/fallback.txt", b"origin:/fallback.txt")


if __name__ == "__main__":
    enter_network_namespace()
    user = Home("netrove_user_").path  # for Chromium's profile and the caches of all
    os.environ.update(private_env(user))
    unittest.main(verbosity=2)
