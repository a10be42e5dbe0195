#!/usr/bin/env python3
"""signal_storm.py - many gwcheck runs against one gwsim, each hit by one
asynchronous signal at a random moment; every run must end with a whole
account.

Usage:
    signal_storm.py --gwcheck PATH --gwsim PATH [--runs N] [--seed S]
                    [--jobs J] [--time-limit SECONDS] [--replay SIG:MS]
                    [--run-timeout SECONDS] [--slow-limit SECONDS] [--backtrace]

gwsim is started once, with a scenario whose answers are delayed so that a
run lasts a few hundred milliseconds, and stopped at the end (it must exit 0
on SIGTERM). A first run without a signal measures how long a run takes and
must give the normal account. Then each run draws a signal and a delay from
0 to a little more than that length (from --seed and its own index, so a run
is reproduced by --replay SIG:MS), sends the signal and waits for the end.
The library's connect and answer timeouts are set to an hour for every run:
a run that waits for an answer that was not coming (an abandoned call's
answer taken for the next call's, say) does not end with an account that
looks right, it hangs, however fast or slow the machine is.

Every run is classified. Accepted outcomes:
  - the normal end: exit 0, the complete account;
  - caught: exit 2, a prefix of the complete account, cut where the program
    prints a piece of output, then the failure lines for that point (the
    operation's own line when the signal landed inside an operation's block,
    the driver's "main" line) and the logout or "Login status: failed";
    a signal taken by the login's own block lets the run go on, unless it
    is a stop request (SIGINT, SIGTERM, SIGHUP, SIGALRM): the run then stops
    with the driver's line;
  - killed: death by the signal's default action before main began (no
    output): from main's first line signals are held until the try block
    can take them, and blocked once the run is over.
Anything else is a failure: a crash, a hang (no end within --run-timeout;
--backtrace attaches gdb first), a run slower than --slow-limit (if given), a
sanitizer report, a second report on standard error, a line lost, doubled,
garbled or cut where no print ends, a missing date line, a wrong exit status.

Every run writes a metrics file (--metrics). A run that exited, whatever its
status, must leave one that tells that exit status; no run may leave a
temporary file behind.

The outcome table is printed at the end; the exit status is 0 when every run
had an accepted outcome, 1 otherwise, 2 for a setup problem.
"""

import argparse
import collections
import concurrent.futures
import glob
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

SCENARIO = """\
facility_type = 5

[users.demo]
password = "demo-pass"
user_info = "XYABCDE"

[event_types]
list = "1,7,9"

[[info_objects]]
name = "BO5"

[[info_objects]]
name = "BI7"
auto_loaded = true

[[broadcast_reads]]
broadcasts = [ { name = "BO5", body = "0102" }, { name = "BN1", network_status = 1 } ]

# Every networked call is answered late, so that a signal has time to land
# inside each operation.
[[faults]]
call = "gwapi_login_ex"
delay_ms = 25

[[faults]]
call = "gwapi_get_info_ex"
delay_ms = 15

[[faults]]
call = "gwapi_read_event_ext_ex"
delay_ms = 15

[[faults]]
call = "gwapi_set_event_ex"
delay_ms = 15

[[faults]]
call = "gwapi_clear_event_ex"
delay_ms = 15

[[faults]]
call = "gwapi_logout_ex"
delay_ms = 15
"""

GWSIM_START_SECONDS = 60
GWSIM_STOP_SECONDS = 30
# The library's timeouts in every run: far beyond --run-timeout.
LIBRARY_TIMEOUT_MS = "3600000"

# The asynchronous signals of the default mapping, with the exception each
# raises. Fault signals (SIGSEGV, SIGFPE, SIGILL, SIGABRT, SIGTRAP) are left
# out: the sanitizer runtime claims them for real faults.
SIGNAL_TYPES = {
    "SIGINT": ("UserInterruptionException", "Interrupt signal received."),
    "SIGTERM": ("TerminationException", "Termination signal received."),
    "SIGHUP": ("HangUpException", "Hang up signal received."),
    "SIGQUIT": ("UserQuitException", "Quit signal received."),
    "SIGUSR1": ("ProgramSignal1Exception", "User-defined signal 1 received."),
    "SIGUSR2": ("ProgramSignal2Exception", "User-defined signal 2 received."),
    "SIGPIPE": ("BrokenPipeException", "Broken pipe."),
    "SIGALRM": ("SignalAlarmException", "Alarm clock signal received."),
    "SIGCHLD": ("SignalChildException", "Child process signal received."),
    "SIGXCPU": ("CPUTimeException", "Exceeded CPU time."),
}
# Signals whose default action does not end the process.
IGNORED_BY_DEFAULT = {"SIGCHLD"}
# Stop requests: the run stops after the step that caught one.
STOP_SIGNALS = {"SIGINT", "SIGTERM", "SIGHUP", "SIGALRM"}

DATE_LINE = re.compile(r"Date of run: \w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}")
FAILURE_LINE = re.compile(r"(\d+)\. (\w+): \((\w+)\)(.*)")
SUBSCRIBE_HEAD = "gwapi_set_event_ex : Subscribe : '"

# Operations whose block catches a signal, with the exception they rethrow
# and the line the account shows just before their block runs.
OPERATION_BLOCKS = {
    "CreateSession": ("CreateSessionException", "Failed to create session.", "date"),
    "GetFacilityType": ("GetFacilityTypeException", "Failed to get facility type.",
                        "Retrieve facility type."),
    "GetUserInfo": ("GetUserInfoException", "Failed to get user information.",
                    "Retrieve user information."),
}


def normal_pieces(port):
    """The complete account as the pieces the program prints one by one.
    The date piece is None: it is taken from the run itself."""
    pieces = [None,
              "Login username: demo\n", "Login Host: 127.0.0.1\n", f"Login Port: {port}\n",
              "Login status: successful\n",
              "Retrieve facility type.\n", "Retrieve user information.\n",
              "Exchange XY\n", "Customer ABCDE\n",
              "Subscribing to all available broadcasts.\n", "Event Type=1\n"]
    for letters, number, verdict in (("BO", 5, "Accepted.\n"),
                                     ("BI", 7, "Automatic loaded by the gateway\n")):
        pieces += [SUBSCRIBE_HEAD + letters[0], letters[1], f"{number}' : ", verdict]
    pieces += ["Event Type=7\n", "Subscription status: Success\n",
               "Event Type=9\n", "Subscription status: Success\n",
               "Waiting for broadcasts...\n",
               "Broadcast received : BO5\n", "Broadcast received : BN1\n",
               "BN1 Network status: 1\n", "Exiting now...\n",
               "Unsubscribe all broadcasts.\n", "Logout from gateway.\n"]
    return pieces


# Phase of the run a cut belongs to, named after the last whole line before it.
PHASES = [("Login username", "the login"), ("Login status", "the information requests"),
          ("Exchange", "the subscription"), ("Waiting", "the polling"),
          ("Unsubscribe", "the unsubscription"), ("Logout", "the logout")]


def phase_of(prefix_lines):
    phase = "the session" if prefix_lines else "the date line"
    for line in prefix_lines:
        for start, name in PHASES:
            if line.startswith(start):
                phase = name
    return phase


class Account:
    """The complete account of one run and the places it may be cut."""

    def __init__(self, port, date_piece):
        pieces = normal_pieces(port)
        pieces[0] = date_piece
        self.text = "".join(pieces)
        self.cuts = set()
        offset = 0
        for piece in pieces:
            self.cuts.add(offset)
            offset += len(piece)
        self.cuts.add(offset)
        self.lines = self.text.split("\n")[:-1]


def split_lines(text):
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


class Verdict(Exception):
    """A run that is not a whole account."""


def common_prefix_length(a, b):
    n = min(len(a), len(b))
    i = 0
    while i < n and a[i] == b[i]:
        i += 1
    return i


def check_login_tail(rest, logged_in):
    """The driver's catch block after its line: logout or "Login status: failed"."""
    allowed = []
    if logged_in in (True, None):
        allowed.append(["Logout from gateway."])
    if logged_in in (False, None):
        allowed.append(["Login status: failed"])
    if rest not in allowed:
        raise Verdict(f"after the driver's line: {rest!r}, expected one of {allowed!r}")
    return "logout" if rest == ["Logout from gateway."] else "login failed"


def classify_caught(out, signame, port, exit_status):
    """Exit 2 (or a login block that took the signal and let the run end with
    0): the complete account up to a cut, then the failure lines."""
    sig_type, sig_message = SIGNAL_TYPES[signame]
    first = out.split("\n", 1)[0]
    if DATE_LINE.fullmatch(first):
        account = Account(port, first + "\n\n")
        cut = common_prefix_length(out, account.text)
    elif FAILURE_LINE.fullmatch(first):
        account, cut = Account(port, "\0"), 0
    else:
        raise Verdict("the account does not begin with the date line")
    if cut not in account.cuts:
        raise Verdict(f"output cut where no print ends, at byte {cut}: {out[max(cut - 30, 0):cut]!r}")
    prefix_lines = split_lines(account.text[:cut])
    tail = split_lines(out[cut:])
    # A cut inside a subscription line puts the failure line on the same line.
    partial = not account.text[:cut].endswith("\n") and cut > 0
    if partial and not prefix_lines[-1].startswith(SUBSCRIBE_HEAD):
        raise Verdict(f"output cut inside the line {prefix_lines[-1]!r}")
    last_line = prefix_lines[-1] if prefix_lines and not partial else ""
    if prefix_lines and DATE_LINE.fullmatch(prefix_lines[0]) and len(prefix_lines) == 2:
        last_line = "date"
    phase = phase_of(prefix_lines)
    if "Login status: successful" in prefix_lines:
        logged_in = True
    elif last_line.startswith("Login Port:"):
        logged_in = None  # the flag may be set before the status line is printed
    else:
        logged_in = False

    match = FAILURE_LINE.fullmatch(tail[0]) if tail else None
    if match is None:
        raise Verdict(f"no failure line after the cut: {tail[:1]!r}")
    depth, operation, type_name, message = int(match[1]), match[2], match[3], match[4]
    if (type_name, message) != (sig_type, sig_message):
        raise Verdict(f"first failure line {tail[0]!r} does not name {sig_type}")

    if operation == "main":
        if depth != 1:
            raise Verdict(f"driver's line at nesting level {depth}")
        ending = check_login_tail(tail[1:], logged_in)
        status = 2
        outcome = f"caught by the driver (level {depth}) in {phase}, {ending}"
    elif operation in OPERATION_BLOCKS:
        rethrown, default_message, before = OPERATION_BLOCKS[operation]
        if depth != 2 or last_line != before:
            raise Verdict(f"{tail[0]!r} after {last_line!r}")
        want = f"1. main: ({rethrown}){default_message}"
        if tail[1:2] != [want]:
            raise Verdict(f"after {tail[0]!r}: {tail[1:2]!r}, expected {want!r}")
        ending = check_login_tail(tail[2:], logged_in)
        status = 2
        outcome = f"caught by {operation}, {ending}"
    elif operation == "GatewayLogin":
        if depth != 2 or not last_line.startswith("Login Port:"):
            raise Verdict(f"{tail[0]!r} after {last_line!r}")
        rest = tail[1:]
        if signame in STOP_SIGNALS:
            stopped = f"1. main: ({sig_type}){sig_message}"
            if rest[:1] != [stopped]:
                raise Verdict(f"after {tail[0]!r}: {rest[:1]!r}, expected {stopped!r}")
            ending = check_login_tail(rest[1:], None)
            if exit_status != 2:
                raise Verdict(f"exit status {exit_status} for a stopped run, expected 2")
            return f"caught by GatewayLogin, stopped, {ending}"
        remainder = account.lines[account.lines.index("Login status: successful") + 1:]
        lost = ["Retrieve facility type.", "2. GetFacilityType: (GatewayApiException)%s",
                "1. main: (GetFacilityTypeException)Failed to get facility type.",
                "Login status: failed"]
        if rest == remainder:
            status, outcome = 2, "caught by GatewayLogin, the session still logged in the run"
        elif rest == ["Login status: successful"] + remainder:
            status, outcome = 0, "caught by GatewayLogin after the login succeeded"
        elif rest in ([line.replace("%s", text) for line in lost]
                      for text in ("Connection lost.", "Not connected.")):
            status, outcome = 2, "caught by GatewayLogin, the connection dropped"
        else:
            raise Verdict(f"after {tail[0]!r}: {rest!r}")
    else:
        raise Verdict(f"a failure line of {operation}: {tail[0]!r}")
    if exit_status != status:
        raise Verdict(f"exit status {exit_status} for this account, expected {status}")
    return outcome


def is_complete(out, port):
    first = out.split("\n", 1)[0]
    return DATE_LINE.fullmatch(first) is not None and out == Account(port, first + "\n\n").text


def classify(exit_status, out, err, signame, port):
    """Returns the outcome's name; raises Verdict for anything unaccepted."""
    signum = int(getattr(signal, signame))
    for marker in ("Sanitizer", "runtime error:", "AddressSanitizer", "LeakSanitizer"):
        if marker in err:
            raise Verdict("sanitizer report on standard error")
    if exit_status == -signum:
        if err:
            raise Verdict("killed by the signal, with standard error output")
        if out == "":
            return "killed by the signal before main began"
        raise Verdict("killed by the signal with an account begun")
    if exit_status < 0:
        raise Verdict(f"died of signal {-exit_status}")
    if exit_status == 1:
        raise Verdict("exit 1: the signal was not taken by the run's blocks")
    if err:
        raise Verdict("standard error output")
    if exit_status == 0 and is_complete(out, port):
        return "normal end" if signame not in IGNORED_BY_DEFAULT else "normal end (signal ignored)"
    if exit_status in (0, 2):
        if out and not out.endswith("\n"):
            raise Verdict("standard output does not end with a line end")
        return classify_caught(out, signame, port, exit_status)
    raise Verdict(f"exit status {exit_status}")


class Gwsim:
    """One gwsim for the whole storm, on a free loopback port."""

    def __init__(self, path, workdir, scenario_text=SCENARIO):
        scenario = os.path.join(workdir, "storm.toml")
        with open(scenario, "w", encoding="utf-8") as f:
            f.write(scenario_text)
        port_file = os.path.join(workdir, "port")
        self.err_path = os.path.join(workdir, "gwsim.err")
        with open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(
                [path, "--scenario", scenario, "--listen", "127.0.0.1:0",
                 "--port-file", port_file],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        deadline = time.monotonic() + GWSIM_START_SECONDS
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"gwsim exited with {self.process.returncode}")
            try:
                with open(port_file, encoding="utf-8") as f:
                    text = f.read()
                if text.endswith("\n"):
                    self.port = text.strip()
                    return
            except FileNotFoundError:
                pass
            time.sleep(0.01)
        self.stop()
        raise RuntimeError("gwsim did not write its port file")

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        """SIGTERM; returns a complaint or None."""
        if self.process.poll() is not None:
            return f"gwsim ended early with status {self.process.returncode}"
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=GWSIM_STOP_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return "gwsim did not stop on SIGTERM"
        if self.process.returncode != 0:
            return f"gwsim exited with {self.process.returncode} on SIGTERM"
        return None


def describe_hang(pid, backtrace):
    """What a process that does not end is doing: its state and kernel wait
    channel, and with backtrace a gdb backtrace."""
    notes = []
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as f:
            notes.append("state " + f.read().rsplit(")", 1)[1].split()[0])
        with open(f"/proc/{pid}/wchan", encoding="ascii", errors="replace") as f:
            notes.append("waiting in " + (f.read().strip() or "-"))
    except OSError:
        pass
    if backtrace:
        try:
            gdb = subprocess.run(["gdb", "-batch", "-p", str(pid), "-ex", "bt"],
                                 capture_output=True, text=True, timeout=30)
            notes.append("\n" + "\n".join(line for line in gdb.stdout.splitlines()
                                           if line.startswith("#")))
        except (OSError, subprocess.TimeoutExpired):
            notes.append("(no backtrace)")
    return ", ".join(notes)


def check_metrics(path, status):
    """A run that exited left a metrics file telling its exit status."""
    if status is None or status < 0:
        return
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        raise Verdict(f"exit status {status} without a metrics file")
    told = re.search(r"^gwcheck_exit_status\{[^}]*\} (\d+)$", text, re.MULTILINE)
    if told is None or int(told[1]) != status:
        raise Verdict(f"exit status {status}, the metrics file tells "
                      f"{told[1] if told else 'none'}")


def run_gwcheck(gwcheck, port, signame, delay, run_timeout, env, metrics, backtrace=False):
    """One run, its metrics written to the file metrics; the signal goes
    delay seconds after the start (None: none). Returns (exit status or None
    on a hang, stdout, stderr, seconds, the signal or None if the run ended
    before it was sent); on a hang stderr ends with what the process was
    doing."""
    start = time.monotonic()
    process = subprocess.Popen([gwcheck, "--metrics", metrics,
                                "demo", "demo-pass", "127.0.0.1", port, "P"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=env)
    if signame is not None:
        left = start + delay - time.monotonic()
        if left > 0:
            time.sleep(left)
        if process.poll() is None:
            process.send_signal(int(getattr(signal, signame)))
        else:
            signame = None
    try:
        out, err = process.communicate(timeout=run_timeout)
        status = process.returncode
    except subprocess.TimeoutExpired:
        hang = describe_hang(process.pid, backtrace)
        process.kill()
        out, err = process.communicate()
        err += f"\n[signal_storm: hung: {hang}]\n".encode()
        status = None
    return (status, out.decode("utf-8", errors="replace"),
            err.decode("utf-8", errors="replace"), time.monotonic() - start, signame)


def draw(seed, index, length):
    """The signal and the delay (seconds) of run number index."""
    rng = random.Random(seed * 1_000_003 + index)
    signame = rng.choice(sorted(SIGNAL_TYPES))
    return signame, rng.uniform(0.0, 1.2 * length)


def main():
    parser = argparse.ArgumentParser(description="Signal storm against gwcheck.")
    parser.add_argument("--gwcheck", required=True)
    parser.add_argument("--gwsim", required=True)
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--time-limit", type=float, default=0,
                        help="start no run after this many seconds (0: no limit)")
    parser.add_argument("--run-timeout", type=float, default=30.0,
                        help="kill a run that has not ended after this many seconds")
    parser.add_argument("--slow-limit", type=float, default=0.0,
                        help="a run that ends later than this many seconds fails "
                             "(0: no limit, the default: how long a run takes depends on "
                             "the machine)")
    parser.add_argument("--replay", help="one run: SIGNAME:DELAY_MS")
    parser.add_argument("--show-failures", type=int, default=5)
    parser.add_argument("--backtrace", action="store_true",
                        help="attach gdb to a run that hangs and print its backtrace")
    options = parser.parse_args()

    # Stopped from outside: unwind, so that gwsim is stopped too.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(1))
    env = dict(os.environ, GWAPI_CONNECT_TIMEOUT_MS=LIBRARY_TIMEOUT_MS,
               GWAPI_ANSWER_TIMEOUT_MS=LIBRARY_TIMEOUT_MS)
    with tempfile.TemporaryDirectory(prefix="gwcheck-storm-") as workdir:
        try:
            gwsim = Gwsim(options.gwsim, workdir)
        except RuntimeError as error:
            print(f"signal_storm: {error}", file=sys.stderr)
            return 2
        try:
            return storm(options, gwsim, env, workdir)
        finally:
            complaint = gwsim.stop()
            if complaint:
                print(f"signal_storm: FAILED: {complaint}")
                with open(gwsim.err_path, encoding="utf-8", errors="replace") as f:
                    print(f.read())
                sys.exit(1)


def storm(options, gwsim, env, workdir):
    port = gwsim.port
    metrics_dir = os.path.join(workdir, "metrics")
    os.mkdir(metrics_dir)
    # Calibration: runs without a signal give the complete account and the length.
    lengths = []
    for _ in range(3):
        status, out, err, seconds, _ = run_gwcheck(options.gwcheck, port, None, 0,
                                                   options.run_timeout, env,
                                                   os.path.join(metrics_dir, "calibration.prom"))
        if status != 0 or err or not is_complete(out, port):
            print(f"signal_storm: the run without a signal is not the normal account "
                  f"(exit {status}):\n{out}{err}")
            return 1
        lengths.append(seconds)
    length = sorted(lengths)[1]

    if options.replay:
        signame, _, ms = options.replay.partition(":")
        jobs = [(0, signame, float(ms) / 1000.0)]
    else:
        jobs = [(i,) + draw(options.seed, i, length) for i in range(options.runs)]

    outcomes = collections.Counter()
    failures = []
    lock = threading.Lock()
    started = time.monotonic()
    skipped = [0]
    slowest = [0.0]

    def one(job):
        index, signame, delay = job
        if options.time_limit and time.monotonic() - started > options.time_limit:
            with lock:
                skipped[0] += 1
            return
        metrics = os.path.join(metrics_dir, f"run{index}.prom")
        status, out, err, seconds, sent = run_gwcheck(options.gwcheck, port, signame, delay,
                                                      options.run_timeout, env, metrics,
                                                      options.backtrace)
        with lock:
            slowest[0] = max(slowest[0], seconds)
        try:
            if status is None:
                raise Verdict(f"no end within {options.run_timeout} s (killed)")
            if sent is None:
                if status != 0 or err or not is_complete(out, port):
                    raise Verdict(f"exit status {status} without a signal")
                outcome = "normal end before the signal was sent"
            else:
                outcome = classify(status, out, err, signame, port)
            check_metrics(metrics, status)
            if options.slow_limit and seconds > options.slow_limit:
                raise Verdict(f"slow: ended after {seconds:.2f} s ({outcome})")
        except Verdict as verdict:
            with lock:
                outcomes["FAILURE: " + str(verdict).split(":")[0]] += 1
                failures.append((index, signame, delay, status, str(verdict), out, err))
            return
        with lock:
            outcomes[outcome] += 1

    with concurrent.futures.ThreadPoolExecutor(max_workers=max(options.jobs, 1)) as pool:
        list(pool.map(one, jobs))
    elapsed = time.monotonic() - started

    done = len(jobs) - skipped[0]
    print(f"signal storm: {done} runs (seed {options.seed}, jobs {options.jobs}), "
          f"run length {length * 1000:.0f} ms, delays 0-{1.2 * length * 1000:.0f} ms, "
          f"{elapsed:.1f} s, slowest run {slowest[0]:.2f} s"
          + (f", {skipped[0]} not started (time limit)" if skipped[0] else ""))
    width = max([len(k) for k in outcomes] + [10])
    for outcome, count in sorted(outcomes.items(), key=lambda kv: (-kv[1], kv[0])):
        print(f"  {outcome:<{width}}  {count:6d}")
    if not gwsim.alive():
        print("signal_storm: FAILED: gwsim died during the storm")
        return 1
    # gwsim reports a connection it drops for a broken frame on standard error;
    # a client abandoned halfway through a send may cause one. A sanitizer
    # report there is a failure.
    with open(gwsim.err_path, encoding="utf-8", errors="replace") as f:
        gwsim_err = f.read()
    if gwsim_err:
        lines = gwsim_err.splitlines()
        print(f"gwsim wrote {len(lines)} lines on standard error, e.g. {lines[0]!r}")
    if "Sanitizer" in gwsim_err or "runtime error:" in gwsim_err:
        print(f"signal_storm: FAILED: sanitizer report from gwsim:\n{gwsim_err}")
        return 1
    for index, signame, delay, status, verdict, out, err in failures[:options.show_failures]:
        print(f"\nFAILED run {index}: {signame} after {delay * 1000:.1f} ms, exit {status}: "
              f"{verdict}\n  replay: --replay {signame}:{delay * 1000:.1f}"
              f"\n--- stdout\n{out}--- stderr\n{err}---")
    if failures:
        print(f"signal_storm: FAILED: {len(failures)} of {done} runs")
        return 1
    left = glob.glob(os.path.join(metrics_dir, "*.prom.*"))
    if left:
        print(f"signal_storm: FAILED: temporary metrics files left behind: {left}")
        return 1
    if done == 0:
        print("signal_storm: FAILED: no run within the time limit")
        return 1
    print("signal_storm: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
