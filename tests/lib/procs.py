"""Processes the end-to-end tests start: each in a process group of its own,
ended with the test however the test ends (a failure, Ctrl-C, SIGTERM from
CTest, or the test process killed outright)."""
import atexit
import ctypes
import os
import signal
import subprocess

_running = set()


def die_with_parent():
    """Runs in the child before exec: SIGKILL when the test process dies,
    even by SIGKILL, so nothing outlives the test."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def start_group(args, preexec_fn=None, **options):
    """subprocess.Popen in a new session (and process group), tracked."""
    def prepare():
        die_with_parent()
        if preexec_fn:
            preexec_fn()
    process = subprocess.Popen(args, start_new_session=True, preexec_fn=prepare, **options)
    _running.add(process)
    return process


def stop_group(process, timeout=5, sig=signal.SIGTERM):
    """`sig` to the process group, SIGKILL to what lingers; the exit code
    (None when it had to be killed)."""
    _running.discard(process)
    code = process.poll()
    if code is None:
        try:
            os.killpg(process.pid, sig)
            code = process.wait(timeout=timeout)
        except (subprocess.TimeoutExpired, ProcessLookupError):
            pass
    try:
        os.killpg(process.pid, signal.SIGKILL)  # stray children of the group
    except ProcessLookupError:
        pass
    process.wait(timeout=timeout)
    return code


atexit.register(lambda: [stop_group(p) for p in list(_running)])
# SIGTERM (CTest's time-out, a killed make) unwinds like Ctrl-C, so that
# clean-ups and the exit handler above run.
signal.signal(signal.SIGTERM, signal.default_int_handler)
