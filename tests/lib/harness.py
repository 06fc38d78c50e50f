"""The end-to-end tests' harness: the real program in temporary homes, on a pseudo-terminal or
pipes, and small servers on 127.0.0.1. Every process started here runs in a process group of its
own and ends with the test however it ends (failure, Ctrl-C, CTest's SIGTERM, or the test killed
outright). Run as `harness.py origin` it runs an Origin alone and prints its ports."""
import asyncio
import atexit
import contextlib
import ctypes
import http.server
import itertools
import logging
import os
import pty
import random
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import types

BIN = os.path.abspath(os.environ.get("NETROVE_BIN", "build/default/bin"))
SOURCE = os.path.abspath(os.environ.get("NETROVE_SOURCE", "."))
NETROVE = os.path.join(BIN, "netrove")
# The log's stamp: "dd/mm hh:mm", space, "■" (UTF-8, read as latin-1), space.
STAMP = re.compile(r"^\d\d/\d\d \d\d:\d\d \xe2\x96\xa0 ")

_running = set()


def start_group(args, preexec_fn=None, **options):
    """Popen in a new session (and process group), tracked; SIGKILL when the test process dies."""
    def prepare():
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
        if preexec_fn:
            preexec_fn()
    process = subprocess.Popen(args, start_new_session=True, preexec_fn=prepare, **options)
    _running.add(process)
    return process


def stop_group(process, timeout=5):
    """SIGTERM to the process group, SIGKILL to what lingers."""
    _running.discard(process)
    for sig in (signal.SIGTERM, signal.SIGKILL):  # the second for stray children
        try:
            os.killpg(process.pid, sig)
            process.wait(timeout=timeout)
        except (subprocess.TimeoutExpired, ProcessLookupError):
            pass


atexit.register(lambda: [stop_group(p) for p in list(_running)])
# SIGTERM (CTest's time-out, a killed make) unwinds like Ctrl-C: clean-ups and exit handlers run.
signal.signal(signal.SIGTERM, signal.default_int_handler)


def enter_network_namespace(mount=False):
    """Re-executes the test in a network namespace of its own with loopback up, for fixed ports
    (`unshare -n` as root, else `unshare -rn` in a user namespace), unless it runs in one
    already; with `mount`, in a mount namespace of its own too (for scratch file systems). Exits
    77 (CTest's SKIP_RETURN_CODE) when neither is possible."""
    if os.environ.get("NETROVE_NETNS") == "1":
        return subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    for flags in ("-n", "-rn") if shutil.which("unshare") else ():
        flags += "m" if mount else ""
        if subprocess.run(["unshare", flags, "true"], capture_output=True).returncode == 0:
            os.environ["NETROVE_NETNS"] = "1"
            os.execvp("unshare", ["unshare", flags, sys.executable, *sys.argv])
    print("SKIPPED: no network namespace can be made here (unshare -n and -rn fail)", flush=True)
    sys.exit(77)


def wait_for(predicate, timeout, step=0.05):
    """Polls until predicate() is true or `timeout` seconds are over; its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def free_port():
    """A random port in 20000-60000, free on 127.0.0.1 for TCP and UDP now."""
    for _ in range(200):
        port = random.randint(20000, 60000)
        try:
            for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
                with socket.socket(socket.AF_INET, kind) as s:
                    s.bind(("127.0.0.1", port))
            return port
        except OSError:
            continue
    raise RuntimeError("no free port")


class Home:
    """A temporary program directory (removed at exit), or the existing directory `path` (kept),
    with file helpers."""

    def __init__(self, prefix="netrove_", files=None, path=None):
        self.path = path or tempfile.mkdtemp(prefix=prefix)
        if not path:
            atexit.register(shutil.rmtree, self.path, True)
        for name, text in (files or {}).items():
            self.write(name, text)

    def file(self, name):
        return os.path.join(self.path, name)

    def write(self, name, data):
        os.makedirs(os.path.dirname(self.file(name)), exist_ok=True)
        with open(self.file(name), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("latin-1"))

    def read(self, name):
        try:
            with open(self.file(name), encoding="latin-1", newline="") as f:
                return f.read()
        except OSError:
            return ""

    def lines(self, name):
        return self.read(name).splitlines()

    def messages(self, log="netrove.log"):
        """The log lines without their stamps."""
        return [STAMP.sub("", line) for line in self.lines(log)]

    def env(self, **extra):
        return dict(os.environ, NETROVE_HOME=self.path, NETROVE_PHONEBOOK=self.file("phonebook"),
                    NETROVE_HOSTS=self.file("hosts"), TERM="xterm", LANG="C.UTF-8", **extra)


def sanitizer_preload():
    """For a program that loads the library (a front-end): under a sanitizer build the sanitizer's
    runtime must be loaded first, and the front-end's own leaks are not ours."""
    try:
        linked = subprocess.run(["ldd", os.path.join(BIN, "libnetrove.so")], capture_output=True,
                                text=True, timeout=20).stdout
    except (OSError, subprocess.SubprocessError):
        return {}
    for line in linked.splitlines():
        m = re.search(r"(lib[at]san\.so\S*) => (\S+)", line)
        if m:
            return {"LD_PRELOAD": m.group(2), "ASAN_OPTIONS": "detect_leaks=0"}
    return {}


def run_piped(home, *words, stdin="", cmd=None, timeout=20):
    """A one-shot form (or `cmd`, a front-end of the library) on pipes: (exit code, standard
    output)."""
    env = home.env(**(sanitizer_preload() if cmd else {}))
    p = subprocess.run(cmd or [NETROVE, *words], env=env, input=stdin.encode(),
                       capture_output=True, timeout=timeout)
    return p.returncode, p.stdout.decode("latin-1")


class Program:
    """`netrove <words>` (or the command `cmd`) in `home` on a pseudo-terminal, or (tty=False) with
    /dev/null as input and its output on a pipe; all output is kept."""

    def __init__(self, home, *words, tty=True, log="netrove.log", preexec_fn=None, env=None,
                 cmd=None, cwd=None):
        self.home, self.log = home, log
        self.fd, child = pty.openpty() if tty else os.pipe()
        self.proc = start_group(cmd or [NETROVE, *words], preexec_fn, env=home.env(**(env or {})),
                                cwd=cwd or home.path, stdin=child if tty else subprocess.DEVNULL,
                                stdout=child, stderr=child, close_fds=True)
        os.close(child)
        self._out, self._lock = bytearray(), threading.Lock()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        try:
            while chunk := os.read(self.fd, 4096):
                with self._lock:
                    self._out += chunk
        except OSError:
            pass

    def output(self):
        with self._lock:
            return self._out.decode("latin-1")

    def messages(self):
        return self.home.messages(self.log)

    def wait_log(self, pattern, timeout):
        return wait_for(lambda: any(re.search(pattern, m) for m in self.messages()), timeout)

    def started(self, *patterns, timeout=10):
        """Itself once its log has lines matching each of `patterns`; else stopped, and an
        error."""
        for pattern in patterns:
            if not self.wait_log(pattern, timeout):
                self.stop()
                raise AssertionError("no %r in the log%s" % (pattern, self.report()))
        return self

    def type(self, text):
        os.write(self.fd, text.encode("latin-1"))

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, timeout=10):
        """SIGTERM (an orderly stop), SIGKILL if it does not end."""
        if self.proc in _running:
            stop_group(self.proc, timeout)
            self._reader.join(2)
            os.close(self.fd)

    def report(self):
        """The log and the tail of the output, for failure messages."""
        tail = re.sub(r"[\x00-\x09\x0b-\x1f\x7f-\x9f]", lambda m: "\\x%02x" % ord(m.group()),
                      self.output()[-1500:])
        return "\n--- %s ---\n%s\n--- output (tail) ---\n%s" % (
            self.log, "\n".join(self.messages()), tail)


def exchange(data, port=3128, source="127.0.0.1", shut=False, timeout=20, limit=4 << 20):
    """`data` from `source` to 127.0.0.1:port (then a half-close if `shut`): (what came until a
    close, an error, the time-out or `limit` bytes; the seconds it took). A refused connection
    raises."""
    start, reply = time.monotonic(), b""
    with socket.socket() as s:
        s.bind((source, 0))
        s.settimeout(timeout)
        s.connect(("127.0.0.1", port))
        with contextlib.suppress(OSError):  # closed before it took everything
            s.sendall(data)
            if shut:
                s.shutdown(socket.SHUT_WR)
        with contextlib.suppress(OSError):  # reset, or the time-out: the caller checks the seconds
            while len(reply) < limit and (left := start + timeout - time.monotonic()) > 0:
                s.settimeout(left)
                if not (chunk := s.recv(65536)):
                    break
                reply += chunk
    return reply, time.monotonic() - start


def http_get(port, source, timeout, request=b"GET / HTTP/1.0\r\n\r\n"):
    """The reply to one request from `source` to 127.0.0.1:port, until an error or timeout."""
    try:
        return exchange(request, port, source, timeout=timeout)[0]
    except OSError:
        return b""


def curl(*args, proxy="127.0.0.1:3128", timeout=30):
    """curl through the proxy: (exit code, reply head, body)."""
    run = subprocess.run(["curl", "-q", "-s", "-i", "-x", proxy, "--max-time", str(timeout), *args],
                         capture_output=True, timeout=timeout + 10)
    head, _, body = run.stdout.partition(b"\r\n\r\n")
    return run.returncode, head, body


def listening(port, host="127.0.0.1"):
    with socket.socket() as s:
        return s.connect_ex((host, port)) == 0


def private_env(path, **extra):
    """The environment for a client that keeps its settings and caches under `path`."""
    return dict(os.environ, HOME=path, XDG_CONFIG_HOME=path, XDG_DATA_HOME=path,
                XDG_CACHE_HOME=path, **extra)


CHROMIUM = ["/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--disable-background-networking"]


def chromium(profile):
    """A headless Chromium under chromedriver that finds "mail" on 127.0.0.1, with its profile,
    caches and home in `profile`; or a reason why there is none."""
    os.makedirs(profile, exist_ok=True)
    os.environ.update(private_env(profile))
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM[0]
        for flag in CHROMIUM[1:] + ["--no-proxy-server", "--user-data-dir=" + profile,
                                    "--host-resolver-rules=MAP mail 127.0.0.1",
                                    "--window-size=1100,1000"]:
            options.add_argument(flag)
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        driver.set_page_load_timeout(30)
        return driver, None
    except Exception as e:  # ImportError, WebDriverException, OSError: no browser to drive
        return None, "%s: %s" % (type(e).__name__, str(e).splitlines()[0] if str(e) else "")


class Checks:
    """The named checks of a script test: each failure printed (with `detail`), and each pass
    unless `quiet`; `code()` prints the count and gives the exit code."""

    def __init__(self, quiet=False):
        self.quiet, self.passed, self.failures = quiet, 0, []

    def __call__(self, ok, what, detail=""):
        if not ok or not self.quiet:
            print(("ok   " if ok else "FAIL ") + what + ("\n" + detail if detail and not ok
                                                        else ""), flush=True)
        self.passed += bool(ok)
        self.failures += [] if ok else [what]
        return ok

    def code(self):
        print("checks: %d passed, %d failed" % (self.passed, len(self.failures)), flush=True)
        return 1 if self.failures else 0


def _line(text):
    return text if isinstance(text, bytes) else text.encode("latin-1")


class LineServer:
    """A scripted server of a line protocol on 127.0.0.1, a thread per client. Each client gets
    the `greeting` chunks, then to each command line (kept in `lines`) the reply `replies` holds
    for its first two words or its first word (in upper case): a line, (a status line, the lines
    of a body that are sent dot-stuffed up to "."), or a function of (the session, the argument)
    that may use session.send, session.rfile and session.cleanup (an ExitStack) and returns one
    of those or None (nothing more); "500 ?" to others. QUIT ends the session after its reply."""

    def __init__(self, replies, greeting=(b"220 scripted\r\n",)):
        self.replies, self.greeting, self.lines, self.connections = replies, greeting, [], 0
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port, self.close = self.listener.getsockname()[1], self.listener.close
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        with contextlib.suppress(OSError):
            while conn := self.listener.accept()[0]:
                self.connections += 1
                threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        conn.settimeout(20)
        session = types.SimpleNamespace(send=lambda *lines: conn.sendall(
            b"".join(_line(x) + b"\r\n" for x in lines)))
        with contextlib.suppress(OSError), contextlib.ExitStack() as session.cleanup, conn, \
                conn.makefile("rb") as session.rfile:
            for chunk in self.greeting:
                conn.sendall(chunk)
            while raw := session.rfile.readline(65536):
                self.lines.append(raw.rstrip(b"\r\n").decode("latin-1"))
                words = self.lines[-1].upper().split(" ", 2)
                reply = self.replies.get(" ".join(words[:2]),
                                         self.replies.get(words[0], "500 ?"))
                if callable(reply):
                    reply = reply(session, self.lines[-1].partition(" ")[2])
                if isinstance(reply, tuple):
                    session.send(reply[0], *[b"." + x if x.startswith(b".") else x
                                             for x in map(_line, reply[1])], ".")
                elif reply:
                    session.send(reply)
                if words[0] == "QUIT":
                    return


BANNER = b"origin says hello\r\n"
BODY = b"origin reply\n" * 40
REPLY = b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n%s" % (
    len(BODY), BODY)


def dns_answer(query):
    """The answer to an A query: 10.1.2.3."""
    end = 12 + query[12:].index(b"\0") + 5
    header = query[:2] + struct.pack(">HHHHH", 0x8180, 1, 1, 0, 0)
    return (header + query[12:end] + b"\xc0\x0c" + struct.pack(">HHIH", 1, 1, 60, 4) +
            bytes([10, 1, 2, 3]))


class _Http(asyncio.Protocol):
    def __init__(self, served, banner=False):
        self.served, self.request, self.banner = served, b"", banner

    def connection_made(self, transport):
        self.transport = transport
        if self.banner:
            self.served()
            transport.write(BANNER)
            transport.close()

    def data_received(self, data):
        self.request += data
        if b"\r\n\r\n" in self.request:
            self.served()
            self.transport.write(REPLY)
            self.transport.close()


class _Udp(asyncio.DatagramProtocol):
    def __init__(self, answer):
        self.answer = answer

    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, address):
        self.transport.sendto(self.answer(data), address)


async def _serve(ready, served):
    loop = asyncio.get_running_loop()
    http = await loop.create_server(lambda: _Http(served), "127.0.0.1", 0, backlog=1024)
    echo, _ = await loop.create_datagram_endpoint(lambda: _Udp(lambda d: b"re:" + d),
                                                  local_addr=("127.0.0.1", 0))
    dns, _ = await loop.create_datagram_endpoint(lambda: _Udp(dns_answer),
                                                 local_addr=("127.0.0.1", 0))
    banner = await loop.create_server(lambda: _Http(served, banner=True), "127.0.0.1", 0)
    ready(http.sockets[0].getsockname()[1], echo.get_extra_info("sockname")[1],
          dns.get_extra_info("sockname")[1], banner.sockets[0].getsockname()[1])
    await loop.create_future()  # until the process ends


class Origin:
    """Servers on 127.0.0.1: HTTP (REPLY to every request, then it closes), a banner (BANNER to
    each client, then it closes: the server speaks first), UDP echo ("re:" and the datagram) and
    a DNS stub. In a thread of the test, or with process=True in a process of its own (a core to
    itself under load); `served` counts HTTP requests and banner clients (thread only)."""

    def __init__(self, process=False):
        self.served, ports = 0, []
        if process:
            self.proc = start_group([sys.executable, __file__, "origin"], stdout=subprocess.PIPE,
                                    stdin=subprocess.DEVNULL)
            if select.select([self.proc.stdout], [], [], 10)[0]:
                ports = self.proc.stdout.readline().split()
        else:
            started = threading.Event()
            threading.Thread(target=asyncio.run, daemon=True, args=(_serve(
                lambda *p: (ports.extend(p), started.set()), self._count),)).start()
            started.wait(10)
        if len(ports) != 4:
            raise RuntimeError("the origin did not start")
        self.http, self.udp, self.dns, self.banner = map(int, ports)

    def _count(self):
        self.served += 1


class HttpOrigin(http.server.ThreadingHTTPServer):
    """http.server on 127.0.0.1:port (a free one by default) in a thread, answering with
    `handler`; `seen` holds (command, path, request line, headers) of each request, `url` its
    address."""

    def __init__(self, handler, port=0):
        class Recording(handler):
            def parse_request(self):
                if not super().parse_request():
                    return False
                self.server.seen.append((self.command, self.path, self.requestline, self.headers))
                return True

            def log_message(self, *_):
                pass
        self.seen = []
        super().__init__(("127.0.0.1", port), Recording)
        self.port = self.server_address[1]
        self.url = f"http://127.0.0.1:{self.port}"
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def stop(self):
        self.shutdown()
        self.server_close()


class FtpServer:
    """pyftpdlib on 127.0.0.1 over `root` in a thread: anonymous and `users` (name -> password)
    log in; `commands` holds the command lines received, in order, and `sessions` those of each
    session by number. `handler` (an FTPHandler)
    changes what it serves; `threaded` gives each session a thread of its own."""

    def __init__(self, root, banner=None, users=None, handler=None, threaded=False):
        from pyftpdlib.authorizers import DummyAuthorizer
        from pyftpdlib.handlers import FTPHandler
        from pyftpdlib.servers import FTPServer, ThreadedFTPServer

        logging.getLogger("pyftpdlib").setLevel(logging.WARNING)
        self.commands, self.sessions, numbers = [], {}, itertools.count()
        commands, sessions, self.stopping = self.commands, self.sessions, threading.Event()

        class Handler(handler or FTPHandler):
            authorizer, timeout = DummyAuthorizer(), 30

            def pre_process_command(self, line, cmd, arg):
                commands.append(line)
                self.number = getattr(self, "number", None) or next(numbers) + 1
                sessions.setdefault(self.number, []).append(line)
                return super().pre_process_command(line, cmd, arg)

        Handler.authorizer.add_anonymous(root)
        for name, password in (users or {}).items():
            Handler.authorizer.add_user(name, password, root)
        if banner:
            Handler.banner = banner
        self.server = (ThreadedFTPServer if threaded else FTPServer)(("127.0.0.1", 0), Handler)
        self.port = self.server.address[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopping.is_set():
            self.server.serve_forever(timeout=0.05, blocking=False, handle_exit=False)
        self.server.close_all()

    def stop(self):
        self.stopping.set()
        self.thread.join(5)


if __name__ == "__main__" and sys.argv[1:] == ["origin"]:
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    asyncio.run(_serve(lambda *ports: print(*ports, flush=True), lambda: None))
