#!/usr/bin/env python3
"""load_tools_test.py - checks the load and timing tools of bench/.

Usage:
    load_tools_test.py BIN_DIR SCENARIO

Runs gwcheck once (with P) against one gwsim and gwsim_load with one session
for a moment against another, both with a journal, and compares the calls of
each session of the load with gwcheck's: the same calls in the same order,
carrying the same item, event code or event type. Buffer capacities are
left out: gwsim_load offers larger buffers than gwcheck's first tries.
Also checks that gwsim_load reports no error and fails (exit 1, errors
counted) against a port where nothing listens; that roundtrip_baseline makes
its round trips against its own echo server; and that time_runs reports a
row per command and fails when a command fails.

Every server listens on loopback only and is stopped here; every wait is
bounded. Exit 0 passed, 1 failed.
"""
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

TIMEOUT = 20


def start_gwsim(bin_dir, scenario, journal):
    process = subprocess.Popen(
        [os.path.join(bin_dir, "gwsim"), "--scenario", scenario, "--journal", journal],
        stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline()  # "gwsim listening on 127.0.0.1:PORT"
    if not line.startswith("gwsim listening on 127.0.0.1:"):
        process.kill()
        sys.exit("gwsim did not start: " + line)
    return process, int(line.rsplit(":", 1)[1])


def stop(process):
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        sys.exit("gwsim did not stop on SIGTERM")


def sessions_of(journal):
    """The calls of each session: (call, item / event code / event type)."""
    sessions = {}
    with open(journal) as f:
        for line in f:
            entry = json.loads(line)
            args = entry["args"]
            key = args.get("item", args.get("event_code", args.get("event_type")))
            sessions.setdefault(entry["session"], []).append((entry["call"], key))
    return sessions


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def check_yardsticks(bin_dir):
    failures = []
    baseline = os.path.join(bin_dir, "roundtrip_baseline")
    time_runs = os.path.join(bin_dir, "time_runs")
    echo = subprocess.Popen([baseline, "serve", "30"], stdout=subprocess.PIPE, text=True)
    try:
        line = echo.stdout.readline()
        if not line.startswith("listening on 127.0.0.1:"):
            return ["roundtrip_baseline serve printed " + repr(line)]
        port = line.rsplit(":", 1)[1].strip()
        trips = subprocess.run([baseline, port, "14"], timeout=TIMEOUT)
        if trips.returncode != 0:
            failures.append("roundtrip_baseline %s 14 exited %d" % (port, trips.returncode))
        big = subprocess.run([baseline, port, "3", "65536"], timeout=TIMEOUT)
        if big.returncode != 0:
            failures.append("65536-byte round trips exited %d" % big.returncode)
        if subprocess.run([baseline, port, "3", "65537"], stderr=subprocess.DEVNULL,
                          timeout=TIMEOUT).returncode != 2:
            failures.append("roundtrip_baseline took a message above 65536 bytes")

        timed = subprocess.run([time_runs, "--runs", "3", "--", "/bin/true", "::", baseline, port, "5"],
                               capture_output=True, text=True, timeout=TIMEOUT)
        rows = [r.split() for r in timed.stdout.splitlines()[1:]]
        if timed.returncode != 0 or [r[0] for r in rows] != ["true", "roundtrip_baseline"] or \
                rows[1][1] != "3" or rows[1][-1] != "1.00":
            failures.append("time_runs printed:\n" + timed.stdout + timed.stderr)
    finally:
        echo.send_signal(signal.SIGTERM)
        try:
            if echo.wait(timeout=TIMEOUT) != 0:
                failures.append("the echo server did not exit 0 on SIGTERM")
        except subprocess.TimeoutExpired:
            echo.kill()
            failures.append("the echo server did not stop on SIGTERM")

    failed = subprocess.run([time_runs, "--runs", "2", "--", "/bin/false"],
                            capture_output=True, text=True, timeout=TIMEOUT)
    if failed.returncode != 1 or "ended with status 1" not in failed.stderr:
        failures.append("time_runs did not report a failing command:\n" + failed.stderr)
    return failures


def main():
    bin_dir, scenario = sys.argv[1], sys.argv[2]
    failures = []
    with tempfile.TemporaryDirectory() as work:
        check_journal = os.path.join(work, "check.jsonl")
        gwsim, port = start_gwsim(bin_dir, scenario, check_journal)
        try:
            run = subprocess.run(
                [os.path.join(bin_dir, "gwcheck"), "demo", "demo-pass", "127.0.0.1", str(port), "P"],
                stdout=subprocess.DEVNULL, timeout=TIMEOUT)
        finally:
            stop(gwsim)
        if run.returncode != 0:
            failures.append("gwcheck exited %d" % run.returncode)
        expected = sessions_of(check_journal)[1]

        load_journal = os.path.join(work, "load.jsonl")
        gwsim, port = start_gwsim(bin_dir, scenario, load_journal)
        try:
            load = subprocess.run(
                [os.path.join(bin_dir, "gwsim_load"), "--sessions", "1", "--seconds", "0.2",
                 "--connect", "127.0.0.1:%d" % port],
                capture_output=True, text=True, timeout=TIMEOUT)
        finally:
            stop(gwsim)
        if load.returncode != 0 or " errors=0" not in load.stdout:
            failures.append("gwsim_load failed:\n" + load.stdout + load.stderr)
        sequences = sessions_of(load_journal)
        if not sequences:
            failures.append("gwsim_load made no request")
        for session, calls in sequences.items():
            if calls != expected:
                failures.append("session %d made %s\n  gwcheck made %s" % (session, calls, expected))
                break

        # Nothing listening: every login fails, and the report says so.
        refused = subprocess.run(
            [os.path.join(bin_dir, "gwsim_load"), "--sessions", "2", "--seconds", "0.1",
             "--connect", "127.0.0.1:%d" % free_port()],
            capture_output=True, text=True, timeout=TIMEOUT)
        if refused.returncode != 1 or " errors=0" in refused.stdout or \
                "gwapi_login_ex answered -9008" not in refused.stdout:
            failures.append("against a closed port gwsim_load exited %d:\n%s" %
                            (refused.returncode, refused.stdout + refused.stderr))

    failures += check_yardsticks(bin_dir)
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
