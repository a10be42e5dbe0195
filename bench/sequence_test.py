#!/usr/bin/env python3
"""sequence_test.py - checks that gwsim_load makes a gwcheck run's requests.

Usage:
    sequence_test.py BIN_DIR SCENARIO

Runs gwcheck once (with P) against one gwsim and gwsim_load with one session
for a moment against another, both with a journal, and compares the calls of
each session of the load with gwcheck's: the same calls in the same order,
carrying the same item, event code or event type. Buffer capacities are
left out: gwsim_load offers larger buffers than gwcheck's first tries.
Also checks that gwsim_load reports no error and fails (exit 1, errors
counted) against a port where nothing listens.

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

    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
