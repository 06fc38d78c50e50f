#!/usr/bin/python3
"""The Debian package as an administrator meets it: scripts/package builds it from the built tree,
its layout, dpkg -i, the program on the PATH, /var/lib/netrove, the systemd units, a session run
as the unit runs it (user netrove, its environment, no console) in a network namespace of its
own, and dpkg --purge. Needs root and a machine without a netrove package (else it is skipped);
whatever happens, the machine is left as it was found."""
import grp
import http.server
import os
import pwd
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from harness import (BIN, SOURCE, Checks, Home, HttpOrigin, Program,  # noqa: E402
                     enter_network_namespace, exchange, wait_for)

HOME = "/var/lib/netrove"
UNITS = ("netrove@.service", "netrove-proxy@.service")


def skip(why):
    print("SKIPPED: " + why, flush=True)
    sys.exit(77)


def run(*args, **options):
    return subprocess.run(args, capture_output=True, text=True, timeout=120, **options)


def installed():
    return "install ok installed" in run("dpkg-query", "-W", "-f=${Status}", "netrove").stdout


def through_proxy(url):
    """(status line, body) of a GET of `url` through the proxy on port 3128."""
    try:
        reply, _ = exchange(b"GET %s HTTP/1.0\r\n\r\n" % url.encode(), timeout=10, limit=1 << 20)
    except OSError as e:
        return str(e), b""
    head, _, body = reply.partition(b"\r\n\r\n")
    return head.split(b"\r\n", 1)[0].decode("latin-1"), body


def check_package(check, deb, autodial):
    listing = run("dpkg-deb", "-c", deb).stdout
    paths = {line.split()[-1].lstrip(".") for line in listing.splitlines()}
    wanted = ["/usr/bin/netrove", "/usr/lib/netrove/libnetrove.so",
              "/usr/share/netrove/mymail/", "/usr/share/netrove/examples/demo/netrove.dat",
              "/usr/share/netrove/examples/demo/phonebook", "/usr/share/doc/netrove/README.md",
              "/usr/share/doc/netrove/docs/configuration.md"]
    wanted += ["/usr/lib/systemd/system/" + u for u in UNITS]
    wanted += ["/usr/bin/netrove-autodial"] if autodial else []
    for path in wanted:
        check(path in paths, "the package holds " + path)
    check(not any(p.startswith(("/var/", "/etc/", "/usr/local/")) for p in paths),
          "nothing outside /usr in the package's files")
    check(len([p for p in paths if p.startswith("/usr/share/netrove/mymail/") and
               not p.endswith("/")]) > 3, "the web mail templates are in the package")
    depends = run("dpkg-deb", "-f", deb, "Depends").stdout
    for name in ("adduser", "libc6", "libstdc++6"):
        check(re.search(r"\b%s\b" % re.escape(name), depends) is not None,
              "it depends on %s (%s)" % (name, depends.strip()))


def check_installed(check, work):
    check(shutil.which("netrove") == "/usr/bin/netrove", "netrove is on the PATH")
    before = set(os.listdir("/usr/bin"))
    usage = run("netrove", cwd=work, env={"PATH": "/usr/bin:/bin"})
    check(usage.returncode == 0 and usage.stdout.startswith("usage: Netrove <connection>"),
          "netrove prints the usage text (%d, %r)" % (usage.returncode, usage.stdout[:60]))
    check(set(os.listdir("/usr/bin")) == before, "the usage text writes nothing beside it")
    user = pwd.getpwnam("netrove") if "netrove" in {p.pw_name for p in pwd.getpwall()} else None
    check(user is not None and user.pw_uid < 1000 and user.pw_dir == HOME,
          "the system user netrove, home %s" % HOME)
    if user is None:
        return
    info = os.stat(HOME)
    check(stat.S_IMODE(info.st_mode) == 0o750 and info.st_uid == user.pw_uid and
          info.st_gid == user.pw_gid, "%s is netrove's, mode 0750 (%o)" % (HOME, info.st_mode))
    for name, mode in (("netrove.dat", 0o600), ("phonebook", 0o600), ("proxy.ip", 0o640)):
        path = os.path.join(HOME, name)
        st = os.stat(path) if os.path.exists(path) else None
        check(st is not None and stat.S_IMODE(st.st_mode) == mode and st.st_uid == user.pw_uid,
              "%s is netrove's, mode %o" % (path, mode))
    check(os.path.isfile(os.path.join(HOME, "mymail", "inbox.htm")) or
          len(os.listdir(os.path.join(HOME, "mymail"))) > 3, "the web mail templates are copied")


def check_upgrade(check, deb):
    """Installing again (an upgrade's configure) keeps the administrator's files as they are."""
    dat = os.path.join(HOME, "netrove.dat")
    with open(dat, "a") as f:
        f.write("; edited by the administrator\n")
    edited = open(dat).read()
    os.remove(os.path.join(HOME, "maplink.ip"))
    done = run("dpkg", "-i", deb)
    check(done.returncode == 0 and open(dat).read() == edited and
          not os.path.exists(os.path.join(HOME, "maplink.ip")),
          "installing again keeps netrove.dat as edited and a removed file removed")
    check(stat.S_IMODE(os.stat(dat).st_mode) == 0o600, "and netrove.dat's mode")


def check_units(check):
    if not shutil.which("systemd-analyze"):
        print("SKIPPED (part): systemd-analyze is not installed: the units are not verified")
        return
    for unit in UNITS:
        instance = unit.replace("@", "@Demo")
        done = run("systemd-analyze", "verify", instance)
        problems = [line for line in (done.stdout + done.stderr).splitlines()
                    if "netrove" in line]
        check(done.returncode == 0 and not problems,
              "systemd-analyze verify %s: %s" % (instance, problems or "accepted"))


def unit_command(unit, instance):
    """The command line that runs the installed `unit`'s instance as systemd would: its User and
    Group, AmbientCapabilities, NoNewPrivileges, Environment only, ExecStart; and its
    WorkingDirectory."""
    keys = {}
    with open("/usr/lib/systemd/system/" + unit) as f:
        for line in f:
            key, sep, value = line.strip().partition("=")
            if sep and not key.startswith("#"):
                keys.setdefault(key, []).append(value)
    caps = ",".join("+" + c.lower().removeprefix("cap_")
                    for c in " ".join(keys.get("AmbientCapabilities", [])).split())
    command = ["setpriv", "--reuid=" + keys["User"][0], "--regid=" + keys["Group"][0],
               "--init-groups"]
    command += ["--inh-caps=" + caps, "--ambient-caps=" + caps] if caps else []
    command += ["--no-new-privs"] if keys.get("NoNewPrivileges") == ["yes"] else []
    command += ["env", "-i", "PATH=/usr/bin:/bin", "LANG=C.UTF-8", *keys.get("Environment", [])]
    command += keys["ExecStart"][0].replace("%I", instance).split()
    return command, keys.get("WorkingDirectory", ["/"])[0]


def check_session(check, work):
    """`netrove Demo` as netrove@Demo.service runs it: the simulated modem, the proxy, the log on
    standard output and in its file, SIGHUP, SIGTERM."""
    www = os.path.join(work, "www")
    os.makedirs(www)
    with open(os.path.join(www, "index.html"), "w") as f:
        f.write("<h1>origin</h1>\n")
    with open(os.path.join(www, "dot.gif"), "wb") as f:
        f.write(b"GIF89a\x01\x00\x01\x00\x00\x00\x00;")
    class Files(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *a, **kw):
            super().__init__(*a, directory=www, **kw)
    origin = HttpOrigin(Files, 18080)  # the demo configuration's CheckURL
    command, cwd = unit_command("netrove@.service", "Demo")
    print("as the unit runs it: " + " ".join(command), flush=True)
    program = Program(Home(path=HOME), cmd=command, cwd=cwd, tty=False)
    proc, messages = program.proc, program.messages
    try:
        online = wait_for(lambda: any(m.startswith("Connected as") for m in messages()), 40)
        check(online and any(m.startswith("Connecting to Demo") for m in messages()),
              "the session dials the simulated modem and tests the link")
        if not online:
            return
        status = open("/proc/%d/status" % proc.pid).read()
        uid = pwd.getpwnam("netrove").pw_uid
        check(re.search(r"^Uid:\s+%d\s+%d" % (uid, uid), status, re.M) is not None,
              "it runs as netrove")
        firsts = [through_proxy("http://127.0.0.1:18080/dot.gif") for _ in range(2)]
        check(all(f[0].split()[1:2] == ["200"] and f[1].startswith(b"GIF89a") for f in firsts),
              "the proxy serves a page twice (%s)" % [f[0] for f in firsts])
        asked = [p for _, p, _, _ in origin.seen].count("/dot.gif")
        check(asked == 1, "the second came from the disk cache (origin asked %s times)" % asked)
        check(any("SMTP-gate server started" in m for m in messages()),
              "the SMTP server has port 25 (CAP_NET_BIND_SERVICE)")
        text = program.output().encode("latin-1").decode("utf-8", "replace")
        check(re.search(r"^\d\d/\d\d \d\d:\d\d \u25a0 Starting services$", text, re.M) is not None,
              "log lines on standard output, stamped, the mark as UTF-8")
        check("\x1b" not in text and "\r" not in text, "no screen drawing on standard output")
        starts = sum(m == "Starting services" for m in messages())
        proc.send_signal(signal.SIGHUP)
        check(wait_for(lambda: sum(m == "Starting services" for m in messages()) > starts, 20),
              "SIGHUP reloads: services started again")
        check(any(m == "Reloading netrove.dat" for m in messages()) and proc.poll() is None,
              "and it runs on")
        proc.send_signal(signal.SIGTERM)
        code = program.wait_exit(20)
        program.stop()  # and all its output read
        check(code == 0, "SIGTERM ends it in order (exit code %s)" % code)
        check("Exiting...." in program.output() and "Stop services" in messages(),
              "Exiting.... on standard output, Stop services in the log")
        check(os.stat(os.path.join(HOME, "netrove.log")).st_uid == uid, "the log file is netrove's")
    finally:
        program.stop()
        origin.stop()


def main():
    if os.geteuid() != 0:
        skip("not root: installing a package needs root")
    for tool in ("dpkg", "dpkg-deb", "cpack", "setpriv", "adduser"):
        if not shutil.which(tool):
            skip(tool + " is not installed")
    if installed() or os.path.exists(HOME):
        skip("a netrove package (or %s) is already on this machine; never installed over" % HOME)
    enter_network_namespace()
    check = Checks()
    had_user = "netrove" in {p.pw_name for p in pwd.getpwall()}
    had_group = "netrove" in {g.gr_name for g in grp.getgrall()}
    work = tempfile.mkdtemp(prefix="netrove_package_")
    try:
        made = run(os.path.join(SOURCE, "scripts", "package"), "--no-build", "-o", work)
        debs = [p for p in made.stdout.split() if p.endswith(".deb")]
        if made.returncode != 0 or len(debs) != 1:
            check(False, "scripts/package builds one .deb:\n" + made.stdout + made.stderr)
            return 1
        check(True, "scripts/package built " + os.path.basename(debs[0]))
        check_package(check, debs[0], os.path.exists(os.path.join(BIN, "netrove-autodial")))
        done = run("dpkg", "-i", debs[0])
        check(done.returncode == 0 and installed(), "dpkg -i installs it: " + done.stderr[-300:])
        if installed():
            check_installed(check, work)
            if os.path.isdir(HOME):
                check_upgrade(check, debs[0])
            check_units(check)
            if os.path.isdir(HOME):
                check_session(check, work)
            done = run("dpkg", "--purge", "netrove")
            check(done.returncode == 0 and not installed(), "dpkg --purge removes it")
            check(not os.path.exists("/usr/bin/netrove") and not os.path.exists(HOME) and
                  not os.path.exists("/usr/lib/systemd/system/netrove@.service"),
                  "no program, program directory or unit is left")
    finally:
        if installed():
            run("dpkg", "--purge", "netrove")
        shutil.rmtree(HOME, ignore_errors=True)
        if not had_user:
            run("userdel", "netrove")
        if not had_group and "netrove" in {g.gr_name for g in grp.getgrall()}:
            run("groupdel", "netrove")
        shutil.rmtree(work, ignore_errors=True)
    return check.code()


if __name__ == "__main__":
    sys.exit(main())
