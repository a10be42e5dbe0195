#!/usr/bin/env python3
"""renewal_stress.py - gwcheck renewing an expired password from a
credentials file, stopped at a random moment; the next runs must log in.

Usage:
    renewal_stress.py --gwcheck PATH --gwsim PATH [--trials N] [--seed S]
                      [--jobs J] [--signals SIGKILL,SIGTERM] [--delays 0,20]

For each change-answer delay (ms; 0 is none) a gwsim is started whose
users user0, user1, ... all have an expired password, and each trial takes
a user of its own: its credentials file is written, gwcheck --credentials
runs against it and gets the signal after a random delay (up to a little
more than a whole renewal run lasts), then gwcheck runs again, without a
signal, until it logs in (at most twice: the first may have to renew).

A trial fails when the user is locked out (neither run logs in), when the
credentials file is ever corrupt (not four lines: the user, a password, the
host, the port; or not mode 0600), or when anything but the file and its
lock file is left beside it after the next runs (a pending password or a
temporary file still holding a secret). The outcome table is printed; exit
status 0 when every trial passed, 1 otherwise, 2 for a setup problem.
"""

import argparse
import collections
import concurrent.futures
import os
import random
import signal
import stat
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from signal_storm import Gwsim  # noqa: E402

RUN_TIMEOUT = 60


def scenario(users, delay_ms):
    text = "facility_type = 5\n\n[event_types]\nlist = \"\"\nnul_terminated = false\n"
    for i in range(users):
        text += (f"\n[users.user{i}]\npassword = \"old-pass-{i}\"\n"
                 "user_info = \"XYABCDE\"\npassword_expired = true\n")
    if delay_ms:
        text += f"\n[[faults]]\ncall = \"gwapi_set_newpwd_ex\"\ndelay_ms = {delay_ms}\n"
    return text


def run(gwcheck, path, signame=None, delay=None):
    """One gwcheck run; the signal, if any, goes delay seconds after the start."""
    process = subprocess.Popen([gwcheck, "--credentials", path],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    if signame is not None:
        time.sleep(delay)
        try:
            process.send_signal(getattr(signal, signame))
        except ProcessLookupError:
            pass
    out, err = process.communicate(timeout=RUN_TIMEOUT)
    return process.returncode, out.decode(errors="replace"), err.decode(errors="replace")


def check_file(path, user, port):
    """The credentials file is whole: the user, a password, the host, the port; 0600."""
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.read().split("\n")
    if (len(lines) != 5 or lines[4] != "" or lines[0] != user or not lines[1]
            or lines[2] != "127.0.0.1" or lines[3] != port):
        return f"corrupt credentials file: {lines!r}"
    if stat.S_IMODE(os.stat(path).st_mode) != 0o600:
        return f"credentials file mode {stat.S_IMODE(os.stat(path).st_mode):o}"
    return None


def left_state(directory, user, old_password):
    """What the stopped run left: line 2 changed, a pending password, a temporary file."""
    with open(os.path.join(directory, user), encoding="utf-8", errors="replace") as f:
        saved = f.read().split("\n")[1] != old_password
    beside = [n for n in os.listdir(directory) if n.startswith(user + ".gwcheck-")]
    parts = ["line 2 new" if saved else "line 2 old"]
    if user + ".gwcheck-pending" in beside:
        parts.append("pending")
    if any(n.startswith(user + ".gwcheck-tmp-") for n in beside):
        parts.append("temporary")
    return ", ".join(parts)


def trial(gwcheck, port, directory, index, signame, delay):
    """Returns (outcome, complaint or None)."""
    user = f"user{index}"
    path = os.path.join(directory, user)
    with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as f:
        f.write(f"{user}\nold-pass-{index}\n127.0.0.1\n{port}\n")
    status, out, _ = run(gwcheck, path, signame, delay)
    complaint = check_file(path, user, port)
    if complaint:
        return "corrupt", complaint
    stopped = "killed" if status == -signal.SIGKILL else f"exit {status}"
    stopped += ": " + left_state(directory, user, f"old-pass-{index}")
    for attempt in (1, 2):
        status, out, err = run(gwcheck, path)
        complaint = check_file(path, user, port)
        if complaint:
            return "corrupt", complaint
        if status == 0 and "Login status: successful" in out:
            left = sorted(n for n in os.listdir(directory) if n.startswith(user + "."))
            if left != [user + ".gwcheck-lock"]:
                return "leftover", f"beside the file after the next run: {left}"
            return f"{stopped}; next run {attempt} logs in", None
    return "lockout", f"no login after the stop ({stopped}); last run:\n{out}{err}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--gwcheck", required=True)
    parser.add_argument("--gwsim", required=True)
    parser.add_argument("--trials", type=int, default=300, help="per signal and delay")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--signals", default="SIGKILL,SIGTERM")
    parser.add_argument("--delays", default="0,20", help="change-answer delays in ms")
    options = parser.parse_args()
    signals = options.signals.split(",")
    delays = [int(d) for d in options.delays.split(",")]
    users = options.trials * len(signals) + 1

    failures = 0
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="gwcheck-renewal-") as workdir:
        for delay_ms in delays:
            directory = os.path.join(workdir, f"delay{delay_ms}")
            os.mkdir(directory)
            os.mkdir(directory + "-gwsim")
            try:
                gwsim = Gwsim(options.gwsim, directory + "-gwsim", scenario(users, delay_ms))
            except RuntimeError as e:
                print(f"renewal_stress: {e}", file=sys.stderr)
                return 2
            # One run without a signal measures how long a renewal lasts.
            begin = time.monotonic()
            trial(options.gwcheck, gwsim.port, directory, users - 1, None, None)
            span = (time.monotonic() - begin) / 2 + delay_ms / 1000
            rng = random.Random(options.seed * 1000 + delay_ms)
            plans = [(i, signals[i // options.trials], rng.uniform(0, span * 1.2))
                     for i in range(options.trials * len(signals))]
            table = collections.Counter()
            with concurrent.futures.ThreadPoolExecutor(options.jobs) as pool:
                results = pool.map(lambda p: (p, trial(options.gwcheck, gwsim.port, directory, *p)),
                                   plans)
                for (index, signame, delay), (outcome, complaint) in results:
                    table[(signame, outcome)] += 1
                    if complaint:
                        failures += 1
                        print(f"FAILED trial {index} ({signame} after {delay * 1000:.1f} ms, "
                              f"change delay {delay_ms} ms): {complaint}")
            problem = gwsim.stop()
            if problem:
                print(f"renewal_stress: {problem}")
                failures += 1
            print(f"change answer delayed {delay_ms} ms, signal within {span * 1200:.0f} ms:")
            for (signame, outcome), count in sorted(table.items()):
                print(f"  {signame:8} {outcome:60} {count:5}")
    print(f"renewal_stress: {failures} failed trials, {time.monotonic() - started:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
