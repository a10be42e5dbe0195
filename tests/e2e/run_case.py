#!/usr/bin/env python3
"""run_case.py - runs one end-to-end case: gwcheck against gwsim.

Usage:
    run_case.py --gwcheck PATH --gwsim PATH [--show] CASE_FILE
    run_case.py --gwcheck PATH --gwsim PATH [--show] --row ROW --fault FAULT TABLE
    run_case.py --expand --row ROW --fault FAULT TABLE

The runner starts gwsim with the case's scenario on a free loopback port
(--listen 127.0.0.1:0 --port-file F --journal J), runs gwcheck once per
"run" section, compares each run's standard output line by line and its exit
status, checks the journal, then stops gwsim (SIGTERM; it must exit 0).
Everything is bounded in time. Exit status 0: the case passed; 1: it failed
(the differences are printed); 2: the case file itself is wrong.

A case file (tests/e2e/cases/NAME.case, one ctest test each) is made of
sections, each opened by a line "### NAME". Lines before the first section
are comments.

    ### scenario
    <the TOML scenario given to gwsim, verbatim>

    ### listen ADDRESS          (optional: gwsim listens on ADDRESS, an IPv4
                                 or IPv6 address, and {host} is it; default
                                 127.0.0.1)

    ### file NAME MODE          (optional, repeatable)
    <the content of {files}/NAME, written with MODE (octal) before the runs;
     {host}, {port} ... are substituted, each line ends with a newline; a
     NAME that ends in "/" is an empty directory instead>

    ### run                     (one or more, run in order)
    args demo demo-pass {host} {port}   # gwcheck's arguments, split like a shell
    env GWAPI_ANSWER_TIMEOUT_MS=2000    # optional, repeatable
    stdin creds                         # optional: {files}/creds through a pipe
    exit 2                              # expected exit status (default 0)
    stderr any                          # optional; by default stderr must be empty;
                                        #   "stderr TEXT": exactly that one line
    timeout 20                          # optional, seconds (default 20)
    signal SIGINT at gwapi_read_event_ext_ex 2
                                        # optional: send gwcheck the signal once
                                        #   gwsim's journal holds the nth (from 1)
                                        #   request of that call sent during this
                                        #   run (see "Moments" below)
    hidden demo-pass                    # optional, with signal: /proc/PID/cmdline,
                                        #   read as the signal is sent, lacks it
    kill gwsim at gwapi_get_info_ex 2   # optional: SIGKILL gwsim at the same kind
                                        #   of moment; the runs after it find
                                        #   nothing listening
    stdout                              # everything below, to the next section,
    Date of run ...                     #   is the expected standard output
                                        #   ("stdout any": not compared, for a run
                                        #   killed where its output may or may
                                        #   not have been written)

    ### metrics NAME            (optional, after a run; checked after that run)
    gwcheck_success{user="demo",gateway="{host}:{port}"} 1
                                        # {files}/NAME parsed by the Prometheus
                                        #   client's parser (run with
                                        #   /usr/bin/python3): one line per
                                        #   sample, labels in file order; every
                                        #   family needs HELP and TYPE
    gwcheck_duration_seconds{user="demo",gateway="{host}:{port}"} 0..{run_seconds}
                                        # the value is compared as a number (see
                                        #   "Sample values" below)
    absent demo-pass                    # the file's text lacks it

    ### files                   (optional; checked after the last run)
    lines creds demo {new_password} {host} {port}
                                        # {files}/NAME holds these lines
    mode creds 0600                     # and has this mode
    only creds gwcheck.prom             # {files} holds nothing else

    ### journal                 (optional; checked after the last run)
    count gwapi_tx_ex 0                 # number of requests of that call
    bytes gwapi_login_ex 1 196 5665     # the nth (from 1) request of that call:
                                        #   message_hex bytes from OFFSET equal HEX
    args gwapi_get_info_ex 1 [1]        # the nth request's "args" equal this JSON

Expected standard output, one line per line, after the variables below are
substituted:
    text          the line must be exactly this text;
    ~ REGEX       the line must match REGEX as a whole (Python syntax); named
                  groups (?P<name>...) become variables for later runs;
    \\text        the line is "text" (for lines that start with "~ " or "\\");
    \\            alone: an empty line (trailing empty lines are otherwise
                  dropped from the expected output).

In "args", "env", "hidden", expected lines, files and the HEX of "bytes",
{host} and {port} stand for gwsim's address, {port_le} for the port as 4
little-endian bytes in hex, {unused_port} for a loopback port that the
runner holds bound without listening (a connection to it is refused),
{files} for the case's own empty directory, and {name} for a variable
captured by an earlier run. After a run, {run_start} and {run_end} are the
Unix times (seconds) just before gwcheck started and just after it ended,
and {run_seconds} how long that took: a metrics section can bound the
run's own times with them.

Sample values. A metrics section's sample line is NAME{LABELS} VALUE, the
name and labels compared as text, VALUE a condition on the number parsed
from the file (never a pattern, whatever way the number is printed):
    1.5           the value equals this number (1, 1.0 and 1e0 are alike);
    LOW..HIGH     a finite value from LOW to HIGH, both included; either end
                  may be left out ("0.." is any finite value not below 0);
    finite        any finite value (not NaN, not an infinity).

Moments. "signal" and "kill" act once gwsim's journal holds the nth request
of the call sent since the run began. gwsim journals a request as it takes
it, before answering it: an action may land while gwcheck still waits for
that answer or after it got it. A case keys it on a request after which both
give the same account: one whose answer hangs or comes late, or one after
which gwcheck waits anyway (the pause between broadcast reads).

A fault table (tests/e2e/cases/NAME.table) crosses networked calls with
faults: every row with every fault is one case, which the runner builds and
then runs like a case file (--expand prints it instead). Its sections:

    ### scenario               the scenario every case starts from
    ### run                    the one run: args, timeout, ... and "stdout"
                               followed by the account of a run without fault
    ### fault NAME             one fault (one or more):
    toml action = "close"        the line it adds to the [[faults]] entry
    env NAME=VALUE               optional, repeatable: added to the run
    status -9004                 {status} in a row: the status the call gets
    text Connection lost.        {text} in a row: that status's text
    ### row NAME               one networked call (one or more):
    call gwapi_get_info_ex 2     the call, and the argument the fault matches
    after Retrieve facility type.  the account is printed up to this line of
                                 the fault-free account, then the row's lines
    exit 2                       the expected exit status
    journal count CALL N         a journal check, as in a case file
    stdout                       the lines after the shared part, to the
                                 next section

Case ROW x FAULT is named fault_ROW_FAULT. Any line of a row may start with
"[FAULT ...] ": it then counts for the listed faults only, as in
"[close] exit 2" or "[error hang] Subscription status: Success". Line
numbers in the failures of such a case are those of the case built
(--expand prints it).
"""

import argparse
import json
import math
import os
import re
import shlex
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

GWSIM_START_SECONDS = 30
GWSIM_STOP_SECONDS = 30
DEFAULT_RUN_SECONDS = 20


class CaseError(Exception):
    """The case file is malformed."""


class Failure(Exception):
    """The case ran and did not pass."""


def split_sections(text):
    """[(name, line number, body lines)] for every "### NAME" section."""
    sections = []
    for number, line in enumerate(text.split("\n"), 1):
        if line.startswith("### "):
            sections.append((line[4:].strip(), number, []))
        elif sections:
            sections[-1][2].append(line)
    return sections


def parse_case(path):
    """Reads a case file: its scenario, runs and journal checks."""
    with open(path, encoding="utf-8") as f:
        return parse_case_text(f.read())


def parse_case_text(text):
    """Splits a case into its scenario, runs and journal checks."""
    sections = split_sections(text)
    case = {"scenario": None, "runs": [], "journal": [], "files": {}, "file_checks": [],
            "listen": "127.0.0.1"}
    for name, number, body in sections:
        kind, _, label = name.partition(" ")
        if kind == "file":
            file_name, mode = parse_file_header(label, number)
            while body and body[-1] == "":
                body.pop()
            case["files"][file_name] = (mode, body)
        elif kind == "metrics":
            if not case["runs"] or not label.strip():
                raise CaseError(f"line {number}: a metrics section needs a file name "
                                "and a run before it")
            case["runs"][-1]["metrics"].append(parse_metrics_check(label.strip(), body, number))
        elif name == "files":
            for offset, line in enumerate(body, 1):
                if line.strip() and not line.lstrip().startswith("#"):
                    case["file_checks"].append((number + offset,
                                                parse_file_check(line, number + offset)))
        elif name == "scenario":
            if case["scenario"] is not None:
                raise CaseError(f"line {number}: a second scenario section")
            case["scenario"] = "\n".join(body) + "\n"
        elif name == "run":
            case["runs"].append(parse_run(body, number))
        elif kind == "listen" and label.strip():
            case["listen"] = label.strip()
        elif name == "journal":
            for offset, line in enumerate(body, 1):
                if line.strip() and not line.lstrip().startswith("#"):
                    case["journal"].append((number + offset, parse_journal_check(line, number + offset)))
        else:
            raise CaseError(f"line {number}: unknown section '{name}'")
    if case["scenario"] is None:
        raise CaseError("no scenario section")
    if not case["runs"]:
        raise CaseError("no run section")
    return case


def parse_file_header(label, number):
    """'NAME MODE' -> (NAME, mode); the name stays inside {files}."""
    words = label.split()
    if len(words) != 2 or "/" in words[0].rstrip("/") or words[0].strip("/.") == "":
        raise CaseError(f"line {number}: a file section needs 'file NAME MODE'")
    try:
        return words[0], int(words[1], 8)
    except ValueError:
        raise CaseError(f"line {number}: '{words[1]}' is not an octal mode")


def parse_metrics_check(file_name, body, number):
    samples, absent = [], []
    for offset, line in enumerate(body, 1):
        if line.startswith("absent "):
            absent.append(line[len("absent "):])
        elif line.strip():
            check_sample_line(line, number + offset)
            samples.append(line)
    return {"file": file_name, "samples": samples, "absent": absent, "line": number}


def split_sample(line):
    """'NAME{LABELS} VALUE' -> ('NAME{LABELS}', 'VALUE'), or None."""
    series, sep, value = line.rpartition(" ")
    if not sep or not series.endswith("}") or "{" not in series or not value:
        return None
    return series, value


def check_sample_line(line, number):
    """An expected sample must say its value as a number, a range or
    "finite" (variables standing for numbers), never as a pattern."""
    parts = split_sample(line)
    if line.startswith("~ ") or parts is None:
        raise CaseError(f"line {number}: a sample is 'NAME{{LABELS}} VALUE', VALUE a number, "
                        f"LOW..HIGH or finite: {line!r}")
    try:
        parse_value_condition(re.sub(r"\{[A-Za-z_][A-Za-z0-9_]*\}", "0", parts[1]))
    except ValueError as error:
        raise CaseError(f"line {number}: {error}")


def parse_value_condition(text):
    """A sample's expected value -> a test on the number parsed from the file:
    "finite"; "LOW..HIGH", inclusive, either end may be left out, for a
    finite number in that range; or a number it must equal."""
    if text == "finite":
        return math.isfinite
    if ".." in text:
        low_text, high_text = text.split("..", 1)
        low = float(low_text) if low_text else -math.inf
        high = float(high_text) if high_text else math.inf
        if math.isnan(low) or math.isnan(high) or low > high:
            raise ValueError(f"'{text}' is not a range LOW..HIGH")
        return lambda value: math.isfinite(value) and low <= value <= high
    try:
        wanted = float(text)
    except ValueError:
        raise ValueError(f"'{text}' is not a number, LOW..HIGH or finite")
    return lambda value: value == wanted


def parse_file_check(line, number):
    """One check of {files}: [kind, name, value...]."""
    try:
        words = shlex.split(line)
    except ValueError as error:
        raise CaseError(f"line {number}: {error}")
    if words[0] == "lines" and len(words) >= 2:
        return words
    if words[0] == "mode" and len(words) == 3:
        return [words[0], words[1], parse_number(lambda text: int(text, 8), words[2], number)]
    if words[0] == "only":
        return words
    raise CaseError(f"line {number}: unknown or incomplete file check '{line}'")


def parse_number(kind, text, number):
    try:
        return kind(text)
    except ValueError:
        raise CaseError(f"line {number}: '{text}' is not a number")


def parse_journal_moment(words, number, usage):
    """['at', CALL, NTH] -> (CALL, NTH): the moment gwsim's journal holds the
    nth request of CALL sent during the run."""
    if len(words) != 3 or words[0] != "at":
        raise CaseError(f"line {number}: {usage}")
    nth = parse_number(int, words[2], number)
    if nth < 1:
        raise CaseError(f"line {number}: {usage} (NTH from 1)")
    return words[1], nth


def parse_signal(value, number):
    """'SIGINT at CALL NTH' -> (signal number, CALL, NTH)."""
    usage = "signal needs 'SIGNAME at CALL NTH'"
    words = value.split()
    if not words or not words[0].startswith("SIG") or not hasattr(signal, words[0]):
        raise CaseError(f"line {number}: {usage}")
    return (int(getattr(signal, words[0])),) + parse_journal_moment(words[1:], number, usage)


def parse_kill(value, number):
    """'gwsim at CALL NTH' -> (CALL, NTH)."""
    usage = "kill needs 'gwsim at CALL NTH'"
    words = value.split()
    if not words or words[0] != "gwsim":
        raise CaseError(f"line {number}: {usage}")
    return parse_journal_moment(words[1:], number, usage)


def parse_run(body, first_line):
    run = {"args": None, "env": {}, "exit": 0, "stderr_any": False,
           "timeout": DEFAULT_RUN_SECONDS, "stdout": None, "line": first_line,
           "signal": None, "kill_gwsim": None, "stdin": None, "stderr": None,
           "hidden": None, "metrics": [], "stdout_any": False}
    for offset, line in enumerate(body, 1):
        number = first_line + offset
        if run["stdout"] is not None:
            run["stdout"].append(line)
            continue
        words = line.split(None, 1)
        if not words or words[0].startswith("#"):
            continue
        key, value = words[0], (words[1] if len(words) > 1 else "")
        if key == "args":
            run["args"] = value
        elif key == "env":
            name, sep, text = value.partition("=")
            if not sep or not name:
                raise CaseError(f"line {number}: env needs NAME=VALUE")
            run["env"][name] = text
        elif key == "exit":
            run["exit"] = parse_number(int, value, number)
        elif key == "stderr" and value.strip() == "any":
            run["stderr_any"] = True
        elif key == "stderr" and value.strip():
            run["stderr"] = value.strip()
        elif key == "stdin" and value.strip():
            run["stdin"] = value.strip()
        elif key == "hidden" and value.strip():
            run["hidden"] = value.strip()
        elif key == "timeout":
            run["timeout"] = parse_number(float, value, number)
        elif key == "stdout" and value.strip() == "any":
            run["stdout"], run["stdout_any"] = [], True
        elif key == "stdout":
            run["stdout"] = []
        elif key == "signal":
            run["signal"] = parse_signal(value, number)
        elif key == "kill":
            run["kill_gwsim"] = parse_kill(value, number)
        else:
            raise CaseError(f"line {number}: unknown run key '{key}'")
    if run["args"] is None:
        raise CaseError(f"line {first_line}: the run has no args")
    if run["stdout"] is None:
        raise CaseError(f"line {first_line}: the run has no stdout")
    if run["hidden"] is not None and run["signal"] is None:
        raise CaseError(f"line {first_line}: hidden needs a signal to read the command line at")
    while run["stdout"] and run["stdout"][-1] == "":
        run["stdout"].pop()
    return run


def parse_journal_check(line, number):
    """One journal check: [kind, call, value...] with numbers converted."""
    words = line.split(None, 3)
    kind = words[0]
    counts = {"count": 3, "bytes": 4, "args": 4}
    if kind not in counts:
        raise CaseError(f"line {number}: unknown journal check '{kind}'")
    if len(words) != counts[kind]:
        raise CaseError(f"line {number}: '{kind}' takes {counts[kind] - 1} values")
    try:
        if kind == "count":
            return [kind, words[1], int(words[2])]
        if kind == "bytes":
            offset, hex_text = words[3].split()
            return [kind, words[1], int(words[2]), int(offset), hex_text.lower()]
        return [kind, words[1], int(words[2]), json.loads(words[3])]
    except ValueError as error:
        raise CaseError(f"line {number}: {error}")


def parse_table(path):
    """Reads a fault table: its scenario, run, faults and rows."""
    with open(path, encoding="utf-8") as f:
        sections = split_sections(f.read())
    table = {"scenario": None, "run": None, "faults": {}, "rows": {}}
    for name, number, body in sections:
        kind, _, label = name.partition(" ")
        label = label.strip()
        if kind in ("scenario", "run") and not label and table[kind] is None:
            table[kind] = body
        elif kind == "fault" and label and label not in table["faults"]:
            table["faults"][label] = parse_table_fault(body, number)
        elif kind == "row" and label and label not in table["rows"]:
            table["rows"][label] = (number, body)
        else:
            raise CaseError(f"line {number}: unexpected or repeated section '{name}'")
    if table["scenario"] is None or table["run"] is None:
        raise CaseError("a table needs a scenario and a run section")
    if "stdout" not in table["run"]:
        raise CaseError("the table's run has no stdout")
    return table


def parse_table_fault(body, first_line):
    fault = {"toml": None, "env": [], "status": None, "text": None}
    for offset, line in enumerate(body, 1):
        words = line.split(None, 1)
        if not words or words[0].startswith("#"):
            continue
        key, value = words[0], (words[1].strip() if len(words) > 1 else "")
        if key == "env":
            fault["env"].append(value)
        elif key in fault and fault[key] is None and value:
            fault[key] = value
        else:
            raise CaseError(f"line {first_line + offset}: unexpected fault line '{line}'")
    missing = [key for key in ("toml", "status", "text") if fault[key] is None]
    if missing:
        raise CaseError(f"line {first_line}: the fault has no {', '.join(missing)}")
    return fault


def lines_for_fault(lines, fault, faults, first_line):
    """The lines that count for one fault, without their "[FAULT ...] " marks."""
    kept = []
    for offset, line in enumerate(lines, 1):
        if line.startswith("["):
            names, sep, rest = line[1:].partition("] ")
            if not sep or not names.split() or any(n not in faults for n in names.split()):
                raise CaseError(f"line {first_line + offset}: bad fault mark in '{line}'")
            if fault in names.split():
                kept.append(rest)
        else:
            kept.append(line)
    return kept


def expand_table(table, row_name, fault_name):
    """The text of the case that crosses one row with one fault."""
    if row_name not in table["rows"]:
        raise CaseError(f"no row '{row_name}'")
    if fault_name not in table["faults"]:
        raise CaseError(f"no fault '{fault_name}'")
    fault = table["faults"][fault_name]
    first_line, body = table["rows"][row_name]
    lines = lines_for_fault(body, fault_name, table["faults"], first_line)
    lines = [line.replace("{status}", fault["status"]).replace("{text}", fault["text"])
             for line in lines]

    call, after, exit_line, journal, stdout = None, None, None, [], None
    for line in lines:
        if stdout is not None:
            stdout.append(line)
            continue
        words = line.split(None, 1)
        if not words or words[0].startswith("#"):
            continue
        key, value = words[0], (words[1] if len(words) > 1 else "")
        if key == "call" and call is None and 1 <= len(value.split()) <= 2:
            call = value.split()
        elif key == "after" and after is None:
            after = value
        elif key == "exit" and exit_line is None:
            exit_line = line
        elif key == "journal":
            journal.append(value)
        elif key == "stdout":
            stdout = []
        else:
            raise CaseError(f"row {row_name}, fault {fault_name}: unexpected line '{line}'")
    if call is None or after is None or exit_line is None:
        raise CaseError(f"row {row_name}, fault {fault_name}: needs call, after and exit")

    run = table["run"]
    head, account = run[:run.index("stdout")], run[run.index("stdout") + 1:]
    if after not in account:
        raise CaseError(f"row {row_name}: '{after}' is not a line of the run's account")
    shared = account[:account.index(after) + 1]

    scenario = "\n".join(table["scenario"]).rstrip("\n")
    faults = [f'call = "{call[0]}"'] + ([f"arg = {call[1]}"] if len(call) == 2 else [])
    return "\n".join(
        ["### scenario", scenario, "", "[[faults]]"] + faults + [fault["toml"], "",
         "### run"] + [line for line in head if line.strip()]
        + [f"env {env}" for env in fault["env"]] + [exit_line, "stdout"]
        + shared + (stdout or []) + ["", "### journal"] + journal) + "\n"


def substitute(text, variables):
    def replace(match):
        name = match.group(1)
        if name not in variables:
            raise Failure(f"unknown variable {{{name}}} in '{text}'")
        return variables[name]
    return re.sub(r"\{([A-Za-z_][A-Za-z0-9_]*)\}", replace, text)


def start_gwsim(gwsim, workdir, scenario, address="127.0.0.1"):
    scenario_file = os.path.join(workdir, "scenario.toml")
    port_file = os.path.join(workdir, "port")
    journal_file = os.path.join(workdir, "journal.jsonl")
    with open(scenario_file, "w", encoding="utf-8") as f:
        f.write(scenario)
    out = open(os.path.join(workdir, "gwsim.out"), "wb")
    err = open(os.path.join(workdir, "gwsim.err"), "wb")
    process = subprocess.Popen(
        [gwsim, "--scenario", scenario_file,
         "--listen", (f"[{address}]" if ":" in address else address) + ":0",
         "--port-file", port_file, "--journal", journal_file],
        stdin=subprocess.DEVNULL, stdout=out, stderr=err)
    out.close()
    err.close()
    deadline = time.monotonic() + GWSIM_START_SECONDS
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise Failure(f"gwsim exited with {process.returncode} before listening:\n"
                          + read_text(os.path.join(workdir, "gwsim.err")))
        try:
            with open(port_file, encoding="utf-8") as f:
                text = f.read()
            if text.endswith("\n") and text.strip().isdigit():
                return process, text.strip(), journal_file
        except FileNotFoundError:
            pass
        time.sleep(0.01)
    process.kill()
    process.wait()
    raise Failure("gwsim did not write its port file in time")


def stop_gwsim(process, workdir, killed):
    """Stops gwsim with SIGTERM; returns a complaint, or None."""
    if killed.is_set():
        process.wait()
        return None
    if process.poll() is not None:
        return f"gwsim ended early with status {process.returncode}"
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=GWSIM_STOP_SECONDS)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return "gwsim did not stop on SIGTERM"
    if process.returncode != 0:
        return (f"gwsim exited with {process.returncode} on SIGTERM:\n"
                + read_text(os.path.join(workdir, "gwsim.err")))
    return None


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def paired_lines(expected, actual_text, problems):
    """Pairs the expected lines with the text's lines: yields (index, want,
    got) where both are there, and adds a complaint for each line missing
    on either side."""
    actual = actual_text.split("\n")
    if actual and actual[-1] == "":
        actual.pop()
    for index in range(max(len(expected), len(actual))):
        want = expected[index] if index < len(expected) else None
        got = actual[index] if index < len(actual) else None
        if want is None:
            problems.append(f"line {index + 1}: unexpected {got!r}")
        elif got is None:
            problems.append(f"line {index + 1}: missing {want!r}")
        else:
            yield index, want, got


def compare_stdout(expected, actual_text, variables):
    """Compares line by line; returns a list of complaints."""
    problems = []
    if actual_text and not actual_text.endswith("\n"):
        problems.append("standard output does not end with a line end")
    for index, want, got in paired_lines(expected, actual_text, problems):
        want = substitute(want, variables)
        if want.startswith("~ "):
            match = re.fullmatch(want[2:], got)
            if match is None:
                problems.append(f"line {index + 1}: {got!r} does not match /{want[2:]}/")
            else:
                variables.update({k: v for k, v in match.groupdict().items() if v is not None})
            continue
        if want.startswith("\\"):
            want = want[1:]
        if got != want:
            problems.append(f"line {index + 1}: expected {want!r}, got {got!r}")
    return problems


class JournalWatch(threading.Thread):
    """Waits until gwsim's journal holds the nth request of a call, counting
    the lines written after `offset` (the journal's size when the run
    began), then calls act() once. gwsim writes a request's line before it
    answers, flushed per line, so the moment is the request's arrival."""

    POLL_SECONDS = 0.002

    def __init__(self, journal_file, offset, call, nth, act):
        super().__init__(daemon=True)
        self.journal_file, self.offset, self.call, self.nth = journal_file, offset, call, nth
        self.act = act
        self.stopping = threading.Event()
        self.fired = threading.Event()

    def run(self):
        seen, pending = 0, b""
        with open(self.journal_file, "rb") as journal:
            journal.seek(self.offset)
            while not self.stopping.is_set():
                pending += journal.read()
                *lines, pending = pending.split(b"\n")
                for line in lines:
                    try:
                        seen += json.loads(line).get("call") == self.call
                    except ValueError:
                        pass  # not a request's line: the journal check reports it
                if seen >= self.nth:
                    self.act()
                    self.fired.set()
                    return
                self.stopping.wait(self.POLL_SECONDS)

    def finish(self):
        """Stops watching; True if act() was called."""
        self.stopping.set()
        self.join()
        return self.fired.is_set()


def journal_size(journal_file):
    try:
        return os.path.getsize(journal_file)
    except FileNotFoundError:
        return 0


def execute_run(gwcheck, run, variables, show, gwsim):
    args = [substitute(word, variables) for word in shlex.split(run["args"])]
    env = dict(os.environ)
    env.update({k: substitute(v, variables) for k, v in run["env"].items()})
    problems = []
    for check in run["metrics"]:
        # A file left by an earlier run must not pass for this run's.
        path = os.path.join(variables["files"], check["file"])
        if os.path.isfile(path):
            os.remove(path)
    returncode, stdout, stderr = run_gwcheck(gwcheck, run, args, env, problems, variables, gwsim)
    if show:
        print(f"--- gwcheck {' '.join(args)} (exit {returncode})")
        print(stdout, end="")
        print(f"--- stderr\n{stderr}", end="")
    if not run["stdout_any"]:
        problems += compare_stdout(run["stdout"], stdout, variables)
    if returncode != run["exit"]:
        problems.append(f"exit status {returncode}, expected {run['exit']}")
    if run["stderr"] is not None:
        wanted = substitute(run["stderr"], variables) + "\n"
        if stderr != wanted:
            problems.append(f"standard error {stderr!r}, expected {wanted!r}")
    elif stderr and not run["stderr_any"]:
        problems.append("unexpected standard error output:\n" + stderr)
    for check in run["metrics"]:
        problems += check_metrics(check, variables)
    if problems:
        raise Failure(f"run at line {run['line']}: gwcheck {' '.join(args)}\n  "
                      + "\n  ".join(problems) + "\n--- actual standard output:\n" + stdout)


def run_gwcheck(gwcheck, run, args, env, problems, variables, gwsim):
    """Runs gwcheck once, killing gwsim or sending gwcheck a signal when the
    journal shows the run's request for it; returns (exit status, stdout
    text, stderr text). Sets {run_start}, {run_end} (Unix time, seconds) and
    {run_seconds} to an interval that holds the whole run."""
    stdin_bytes = None
    if run["stdin"] is not None:
        with open(os.path.join(variables["files"], run["stdin"]), "rb") as f:
            stdin_bytes = f.read()
    offset = journal_size(gwsim["journal"])
    run_start, started = time.time(), time.monotonic()
    process = subprocess.Popen([gwcheck] + args, env=env,
                               stdin=subprocess.DEVNULL if stdin_bytes is None else subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    watches = []  # (what did not happen, (call, nth), its JournalWatch)

    def watch(complaint, moment, act):
        watches.append((complaint, moment, JournalWatch(gwsim["journal"], offset, *moment, act)))
        watches[-1][2].start()

    if run["kill_gwsim"] is not None:
        def kill_gwsim():
            gwsim["killed"].set()
            gwsim["process"].kill()
        watch("gwsim was not killed", run["kill_gwsim"], kill_gwsim)
    cmdline = []  # /proc/PID/cmdline as the signal is sent
    if run["signal"] is not None:
        signum = run["signal"][0]

        def send_signal():
            try:
                with open(f"/proc/{process.pid}/cmdline", "rb") as f:
                    cmdline.append(f.read())
            except OSError:
                cmdline.append(b"")
            process.send_signal(signum)
        watch(f"{signal.Signals(signum).name} was not sent", run["signal"][1:], send_signal)
    try:
        stdout, stderr = process.communicate(input=stdin_bytes, timeout=run["timeout"])
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        raise Failure(f"gwcheck {' '.join(args)}: no end within {run['timeout']} s")
    finally:
        for complaint, moment, watch in watches:
            if not watch.finish():
                problems.append("%s: the journal shows no request %s #%d during the run"
                                % ((complaint,) + moment))
    # Rounded outwards to whole microseconds, as the metrics file writes times.
    variables["run_start"] = "%.6f" % (math.floor(run_start * 1e6) / 1e6)
    variables["run_end"] = "%.6f" % (math.ceil(time.time() * 1e6) / 1e6)
    variables["run_seconds"] = "%.6f" % (math.ceil((time.monotonic() - started) * 1e6) / 1e6)
    if cmdline and run["hidden"] is not None:
        problems += check_cmdline(cmdline[0], gwcheck, substitute(run["hidden"], variables))
    return (process.returncode, stdout.decode("utf-8", errors="replace"),
            stderr.decode("utf-8", errors="replace"))


def check_cmdline(cmdline, gwcheck, hidden):
    """Complaints about a /proc/PID/cmdline that shows what it should hide."""
    if not cmdline.startswith(gwcheck.encode() + b"\0"):
        return [f"/proc/PID/cmdline is not gwcheck's: {cmdline!r}"]
    if hidden.encode() in cmdline:
        return [f"/proc/PID/cmdline shows {hidden!r}: {cmdline!r}"]
    return []


METRICS_PARSER = "/usr/bin/python3"
METRICS_SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "metrics_samples.py")


def check_metrics(check, variables):
    """Complaints about a metrics file: its parsed samples against the
    expected lines, and texts it must not hold."""
    path = os.path.join(variables["files"], check["file"])
    if not os.path.exists(path):
        return [f"metrics file {check['file']} was not written"]
    problems = []
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    for absent in check["absent"]:
        if substitute(absent, variables) in text:
            problems.append(f"metrics file {check['file']} holds {absent!r}")
    result = subprocess.run([METRICS_PARSER, METRICS_SAMPLES, path], capture_output=True,
                            timeout=DEFAULT_RUN_SECONDS)
    if result.returncode != 0:
        return problems + [f"metrics file {check['file']} does not parse: "
                           + result.stderr.decode("utf-8", errors="replace")]
    listing = result.stdout.decode("utf-8")
    complaints = compare_samples(check["samples"], listing, variables)
    if complaints:
        problems.append(f"metrics section at line {check['line']}:\n  " + "\n  ".join(complaints)
                        + "\n--- parsed samples:\n" + listing)
    return problems


def compare_samples(expected, listing, variables):
    """Compares the parsed samples with the expected ones, line by line: the
    name and labels as text, the value as a number against its condition.
    Returns a list of complaints."""
    problems = []
    for index, want, got in paired_lines(expected, listing, problems):
        want = substitute(want, variables)
        series, condition = split_sample(want)
        got_parts = split_sample(got)
        if got_parts is None or got_parts[0] != series:
            problems.append(f"line {index + 1}: expected {series} ..., got {got!r}")
            continue
        try:
            holds = parse_value_condition(condition)
        except ValueError as error:
            raise CaseError(f"line {index + 1} of the metrics section: {error}")
        try:
            value = float(got_parts[1])
        except ValueError:
            problems.append(f"line {index + 1}: {got!r} has no number for its value")
            continue
        if not holds(value):
            problems.append(f"line {index + 1}: {series} is {got_parts[1]}, expected {condition}")
    return problems


def write_case_files(files, variables):
    for name, (mode, lines) in files.items():
        path = os.path.join(variables["files"], name)
        if name.endswith("/"):
            os.mkdir(path, mode)
            continue
        with open(path, "w", encoding="utf-8") as f:
            f.write("".join(substitute(line, variables) + "\n" for line in lines))
        os.chmod(path, mode)


def check_files(checks, variables):
    problems = []
    directory = variables["files"]
    for line, check in checks:
        kind = check[0]
        if kind == "only":
            found = sorted(entry + "/" * os.path.isdir(os.path.join(directory, entry))
                           for entry in os.listdir(directory))
            wanted = sorted(check[1:])
            if found != wanted:
                problems.append(f"line {line}: {{files}} holds {found}, expected {wanted}")
            continue
        name = check[1]
        path = os.path.join(directory, name)
        if not os.path.exists(path):
            problems.append(f"line {line}: no file {name}")
        elif kind == "mode":
            mode = os.stat(path).st_mode & 0o7777
            if mode != check[2]:
                problems.append(f"line {line}: {name} has mode {mode:04o}, expected {check[2]:04o}")
        else:
            want = "".join(substitute(word, variables) + "\n" for word in check[2:])
            got = read_text(path)
            if got != want:
                problems.append(f"line {line}: {name} holds {got!r}, expected {want!r}")
    if problems:
        raise Failure("files:\n  " + "\n  ".join(problems))


def check_journal(journal_file, checks, variables):
    records = []
    for number, line in enumerate(read_text(journal_file).splitlines(), 1):
        try:
            records.append(json.loads(line))
        except ValueError:
            raise Failure(f"journal line {number} is not JSON: {line!r}")
    problems = []
    for line, check in checks:
        kind, call = check[0], check[1]
        calls = [r for r in records if r.get("call") == call]
        if kind == "count":
            if len(calls) != check[2]:
                problems.append(f"line {line}: {len(calls)} requests {call}, expected {check[2]}")
            continue
        nth = check[2]
        if nth < 1 or nth > len(calls):
            problems.append(f"line {line}: no request {nth} of {call} ({len(calls)} in the journal)")
            continue
        record = calls[nth - 1]
        if kind == "bytes":
            offset, want = check[3], substitute(check[4], variables).lower()
            if not re.fullmatch(r"([0-9a-f]{2})*", want):
                raise Failure(f"line {line}: '{want}' is not hex bytes")
            got = str(record.get("message_hex", "")).lower()[2 * offset:2 * offset + len(want)]
            if got != want:
                problems.append(f"line {line}: {call} #{nth} bytes at {offset}: "
                                f"expected {want}, got {got}")
        elif record.get("args") != check[3]:
            problems.append(f"line {line}: {call} #{nth} args: expected {check[3]}, "
                            f"got {record.get('args')}")
    if problems:
        raise Failure("journal:\n  " + "\n  ".join(problems))


def run_case(options, case):
    with tempfile.TemporaryDirectory(prefix="gwcheck-e2e-") as workdir, \
            socket.socket(socket.AF_INET, socket.SOCK_STREAM) as unused:
        unused.bind(("127.0.0.1", 0))  # bound, never listening: connections are refused
        process, port, journal_file = start_gwsim(options.gwsim, workdir, case["scenario"],
                                                  case["listen"])
        gwsim = {"process": process, "journal": journal_file, "killed": threading.Event()}
        variables = {"host": case["listen"], "port": port,
                     "port_le": struct.pack("<i", int(port)).hex(),
                     "unused_port": str(unused.getsockname()[1]),
                     "files": os.path.join(workdir, "files")}
        os.mkdir(variables["files"])
        try:
            write_case_files(case["files"], variables)
            for run in case["runs"]:
                execute_run(options.gwcheck, run, variables, options.show, gwsim)
        finally:
            complaint = stop_gwsim(process, workdir, gwsim["killed"])
        if complaint:
            raise Failure(complaint)
        check_files(case["file_checks"], variables)
        check_journal(journal_file, case["journal"], variables)


def main():
    parser = argparse.ArgumentParser(description="Runs one gwcheck end-to-end case.")
    parser.add_argument("--gwcheck")
    parser.add_argument("--gwsim")
    parser.add_argument("--show", action="store_true", help="print what gwcheck printed")
    parser.add_argument("--row", help="the table row to run")
    parser.add_argument("--fault", help="the table fault to run")
    parser.add_argument("--expand", action="store_true",
                        help="print the case a table row and fault make, run nothing")
    parser.add_argument("case", help="a case file, or a fault table with --row and --fault")
    options = parser.parse_args()
    name = options.case
    try:
        if options.row is None and options.fault is None and not options.expand:
            case = parse_case(options.case)
        elif options.row is None or options.fault is None:
            raise CaseError("a table needs both --row and --fault")
        else:
            name = f"{options.case} [fault_{options.row}_{options.fault}]"
            text = expand_table(parse_table(options.case), options.row, options.fault)
            if options.expand:
                print(text, end="")
                return 0
            case = parse_case_text(text)
        if not (options.gwcheck and options.gwsim):
            raise CaseError("running a case needs --gwcheck and --gwsim")
        run_case(options, case)
    except CaseError as error:
        print(f"{name}: {error}", file=sys.stderr)
        return 2
    except Failure as error:
        print(f"{name}: FAILED\n{error}", file=sys.stderr)
        return 1
    print(f"{name}: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
