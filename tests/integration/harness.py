"""harness.py - what the integration tests share: programs started in their
own process groups and always stopped, free loopback ports, gwsim on a
scenario, gwcheck runs, waiting for an event with an upper bound, and a
runner for named test functions.

Everything waits for events (a port file, an HTTP answer, a status file
entry), polling with a short pause, never for a fixed time; the bounds are
generous so that a machine ten times slower still passes.
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback

# Upper bound for any one event: a program being ready, a sample arriving.
EVENT_SECONDS = 60
# Upper bound for a program to exit once asked to.
STOP_SECONDS = 20
# Ports the real services use on a monitoring host; never taken by a test.
RESERVED_PORTS = {9090, 9100}

# ctest's return code for a skipped test (SKIP_RETURN_CODE).
SKIPPED = 77


class TestFailure(Exception):
    """A test ran and did not pass."""


class Skip(Exception):
    """A test cannot run here; the reason says why."""


def wait_for(what, probe, seconds=EVENT_SECONDS, pause=0.1):
    """Calls probe() until it returns something true and returns that;
    TestFailure naming `what` when `seconds` pass first."""
    deadline = time.monotonic() + seconds
    while True:
        result = probe()
        if result:
            return result
        if time.monotonic() > deadline:
            raise TestFailure(f"{what}: not within {seconds} s")
        time.sleep(pause)


def free_port():
    """A loopback TCP port that nothing listens on now (the kernel's pick)."""
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port not in RESERVED_PORTS:
            return port


def require_program(path):
    """Fails with a hint when a Debian program is missing."""
    if not (os.path.isfile(path) and os.access(path, os.X_OK)):
        raise TestFailure(f"{path} is missing: scripts/install-deps.sh installs it")
    return path


class Processes:
    """Programs a test started, each in its own process group (so that the
    children it forks go too), each with its output in DIRECTORY/NAME.log.
    stop_all() ends them all: SIGTERM to the group, SIGKILL after
    STOP_SECONDS."""

    def __init__(self, directory):
        self.directory = directory
        self.started = []

    def start(self, name, argv, **kwargs):
        log_path = os.path.join(self.directory, name + ".log")
        with open(log_path, "wb") as log:
            process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log,
                                       stderr=subprocess.STDOUT, start_new_session=True,
                                       **kwargs)
        self.started.append((name, process, log_path))
        return process

    def log(self, name):
        for started_name, _, log_path in self.started:
            if started_name == name:
                with open(log_path, encoding="utf-8", errors="replace") as f:
                    return f.read()
        return ""

    def assert_running(self, name, process):
        if process.poll() is not None:
            raise TestFailure(f"{name} exited with status {process.returncode}:\n"
                              + tail(self.log(name)))

    def stop_all(self):
        for _, process, _ in self.started:
            # Only a group whose leader is not reaped: its id is still ours.
            if process.poll() is None:
                signal_group(process, signal.SIGTERM)
        for name, process, _ in self.started:
            try:
                process.wait(timeout=STOP_SECONDS)
            except subprocess.TimeoutExpired:
                print(f"{name} ignored SIGTERM for {STOP_SECONDS} s: killed", file=sys.stderr)
                signal_group(process, signal.SIGKILL)
                process.wait()

    def show_logs(self):
        for name, _, _ in self.started:
            print(f"--- {name}.log (end)")
            print(tail(self.log(name)))


def signal_group(process, signum):
    try:
        os.killpg(process.pid, signum)
    except ProcessLookupError:
        pass


def tail(text, lines=30):
    return "\n".join(text.rstrip("\n").split("\n")[-lines:])


def start_gwsim(processes, gwsim, directory, name, scenario):
    """gwsim serving the TOML text `scenario` on a free loopback port, as
    DIRECTORY/NAME.toml; returns the port once gwsim has written it."""
    scenario_path = os.path.join(directory, name + ".toml")
    port_path = os.path.join(directory, name + ".port")
    with open(scenario_path, "w", encoding="utf-8") as f:
        f.write(scenario)
    process = processes.start(name, [gwsim, "--scenario", scenario_path,
                                     "--listen", "127.0.0.1:0", "--port-file", port_path])

    def port_written():
        processes.assert_running(name, process)
        try:
            with open(port_path, encoding="ascii") as f:
                text = f.read().strip()
        except FileNotFoundError:
            return None
        return int(text) if text.isdigit() else None

    return wait_for(f"{name}'s port file", port_written)


def write_credentials(path, user, password, host, port):
    """A credentials file as gwcheck reads it, readable by its owner only."""
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(descriptor, "w", encoding="utf-8") as f:
        f.write(f"{user}\n{password}\n{host}\n{port}\n")


def run_gwcheck(gwcheck, args, expected_status):
    """Runs gwcheck ARGS to the end; TestFailure unless it exits with
    expected_status. Returns its standard output."""
    try:
        done = subprocess.run([gwcheck] + args, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=EVENT_SECONDS)
    except subprocess.TimeoutExpired:
        raise TestFailure(f"gwcheck {' '.join(args)}: still running after {EVENT_SECONDS} s")
    if done.returncode != expected_status:
        raise TestFailure(f"gwcheck {' '.join(args)}: exit status {done.returncode}, "
                          f"expected {expected_status}\nstdout:\n{done.stdout}\nstderr:\n{done.stderr}")
    return done.stdout


def expect(condition, message):
    if not condition:
        raise TestFailure(message)


def main(description, tests, set_up):
    """Runs the named test functions of `tests` (a dict) on one set-up.

    Command line: --gwcheck PATH --gwsim PATH [--source DIR] TEST...
    set_up(args, processes, work_dir) starts what the tests share and
    returns the object each test function gets. Every test runs even when
    one fails; exit status 0 all passed, 1 one failed, 77 skipped."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--gwcheck", required=True)
    parser.add_argument("--gwsim", required=True)
    parser.add_argument("--source", default=os.path.join(os.path.dirname(__file__), "..", ".."),
                        help="the source tree (packaged files are read from it)")
    parser.add_argument("tests", nargs="+", metavar="TEST", help=", ".join(tests))
    args = parser.parse_args()
    # Programs started elsewhere (Nagios's workers) find them too.
    args.gwcheck, args.gwsim, args.source = (os.path.abspath(path) for path in
                                             (args.gwcheck, args.gwsim, args.source))
    unknown = [name for name in args.tests if name not in tests]
    if unknown:
        parser.error(f"unknown test {', '.join(unknown)}; known: {', '.join(tests)}")

    # Short: a Unix socket path in it must fit 108 bytes.
    work_dir = tempfile.mkdtemp(prefix="gwi.")
    processes = Processes(work_dir)
    failed = []
    try:
        try:
            context = set_up(args, processes, work_dir)
        except Skip as skip:
            print(f"skipped: {skip}")
            return SKIPPED
        except TestFailure as failure:
            print(f"FAIL set-up: {failure}")
            processes.show_logs()
            return 1
        for name in args.tests:
            try:
                tests[name](context)
                print(f"ok   {name}")
            except TestFailure as failure:
                failed.append(name)
                print(f"FAIL {name}: {failure}")
            except Exception:  # a fault of the test itself: report, go on
                failed.append(name)
                print(f"FAIL {name}:\n{traceback.format_exc()}")
        if failed:
            processes.show_logs()
    finally:
        processes.stop_all()
        shutil.rmtree(work_dir, ignore_errors=True)
    print(f"{len(args.tests) - len(failed)} passed, {len(failed)} failed")
    return 1 if failed else 0


def gateway_scenario(users, login_delay_ms=0):
    """A gwsim scenario with these users (name -> password), the event types
    1 and 7, and, with login_delay_ms, every login answer held back that long."""
    text = "facility_type = 5\n"
    for name, password in users.items():
        text += f'\n[users.{name}]\npassword = "{password}"\nuser_info = "XYABCDE"\n'
    text += '\n[event_types]\nlist = "1,7"\nnul_terminated = true\n'
    if login_delay_ms:
        text += f'\n[[faults]]\ncall = "gwapi_login_ex"\ndelay_ms = {login_delay_ms}\n'
    return text
