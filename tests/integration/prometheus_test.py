#!/usr/bin/env python3
"""prometheus_test.py - gwcheck's metrics through Debian's node exporter and
Prometheus server.

    prometheus_test.py --gwcheck PATH --gwsim PATH [--source DIR] TEST...

Starts, on free loopback ports, gwsim, prometheus-node-exporter (only its
textfile collector, on a temporary directory) and prometheus (a temporary
configuration and database, scraping the exporter every second, evaluating
packaging/gwcheck.rules.yml every second), then runs the named tests. Each
runs gwcheck with --metrics and waits until the Prometheus HTTP API returns
every sample of the file it wrote, with the same value.

Tests:
  success_then_failure  a run that succeeds gives gwcheck_success 1, one whose
                        login is refused 0, and the failing-check alert is
                        pending for that series
  symlinked_file        the file reached through a link made by
                        systemd-tmpfiles from the packaged example is read
  step_durations        every step that ran has gwcheck_step_duration_seconds;
                        a login the gateway delays by 300 ms takes at least that
  credentials_label     with --credentials every sample carries the file's
                        base name; two unreadable files give two series
"""

import json
import math
import os
import re
import subprocess
import sys
import urllib.error
import urllib.parse
import urllib.request

import harness
from harness import TestFailure, expect, gateway_scenario

PROMETHEUS = "/usr/bin/prometheus"
NODE_EXPORTER = "/usr/bin/prometheus-node-exporter"
SYSTEMD_TMPFILES = "/usr/bin/systemd-tmpfiles"

# Where Debian's node exporter reads text files and the packaged unit
# writes metrics; the tmpfiles example names both.
DEBIAN_TEXTFILE_DIR = "/var/lib/prometheus/node-exporter"
PACKAGED_METRICS_DIR = "/var/lib/gwcheck"

USERS = {"alice": "alice-pass", "linked": "linked-pass"}
GATEWAY_SCENARIO = gateway_scenario(USERS)
# The gateway holds every login answer back for 300 ms.
SLOW_LOGIN_SCENARIO = gateway_scenario(USERS, login_delay_ms=300)
SLOW_LOGIN_SECONDS = 0.3


def http_get(url):
    """The body of a 200 answer, or None (not listening yet, not ready)."""
    try:
        with urllib.request.urlopen(url, timeout=10) as answer:
            return answer.read().decode("utf-8")
    except (urllib.error.URLError, ConnectionError, TimeoutError):
        return None


def selector(labels):
    """A PromQL label matcher list for exactly these label values."""
    return "{" + ",".join(f"{name}={json.dumps(value, ensure_ascii=False)}"
                          for name, value in labels.items()) + "}"


SAMPLE_LINE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)\{(.*)\} (\S+)$')
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)",?')


def read_samples(path):
    """[(name, labels, value)] of a metrics file in the text format."""
    samples = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            match = SAMPLE_LINE.match(line)
            if not match:
                raise TestFailure(f"{path}: unexpected line {line!r}")
            labels = {name: re.sub(r'\\(.)', lambda m: "\n" if m.group(1) == "n" else m.group(1), value)
                      for name, value in LABEL.findall(match.group(2))}
            samples.append((match.group(1), labels, float(match.group(3))))
    return samples


def sample_value(samples, name, **labels):
    values = [value for sample_name, sample_labels, value in samples
              if sample_name == name and all(sample_labels.get(k) == v for k, v in labels.items())]
    if len(values) != 1:
        raise TestFailure(f"{len(values)} samples {name}{labels} in the metrics file")
    return values[0]


class Monitoring:
    """The started programs and what the tests need of them."""

    def __init__(self, args, processes, work_dir):
        self.args = args
        self.processes = processes
        self.work_dir = work_dir
        self.textfile_dir = os.path.join(work_dir, "textfile")
        self.state_dir = os.path.join(work_dir, "state")
        for directory in (self.textfile_dir, self.state_dir):
            os.mkdir(directory)
        self.gateway_port = harness.start_gwsim(processes, args.gwsim, work_dir, "gwsim",
                                                GATEWAY_SCENARIO)
        self.gateway = f"127.0.0.1:{self.gateway_port}"
        self.rules = os.path.join(args.source, "packaging", "gwcheck.rules.yml")
        exporter_port = self.start_listening("node-exporter", lambda port: [
            harness.require_program(NODE_EXPORTER),
            "--collector.disable-defaults", "--collector.textfile",
            f"--collector.textfile.directory={self.textfile_dir}",
            f"--web.listen-address=127.0.0.1:{port}", "--log.level=warn"], "/metrics")
        config = os.path.join(work_dir, "prometheus.yml")
        with open(config, "w", encoding="utf-8") as f:
            f.write(f"""\
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - {json.dumps(self.rules)}
scrape_configs:
  - job_name: node
    static_configs:
      - targets: ["127.0.0.1:{exporter_port}"]
""")
        prometheus_port = self.start_listening("prometheus", lambda port: [
            harness.require_program(PROMETHEUS), f"--config.file={config}",
            f"--storage.tsdb.path={os.path.join(work_dir, 'tsdb')}",
            f"--web.listen-address=127.0.0.1:{port}", "--log.level=warn"], "/-/ready")
        self.prometheus = f"http://127.0.0.1:{prometheus_port}"

    def start_listening(self, name, argv_for_port, ready_path):
        """Starts a program on a free port and waits until ready_path answers
        200 there; another port if the program exits (its port was taken
        since the kernel picked it)."""
        for attempt in range(3):
            port = harness.free_port()
            process = self.processes.start(f"{name}-{attempt}", argv_for_port(port))

            def ready():
                if process.poll() is not None:
                    return "exited"
                return http_get(f"http://127.0.0.1:{port}{ready_path}") is not None and "ready"

            if harness.wait_for(f"{name} answering on {ready_path}", ready) == "ready":
                return port
        raise TestFailure(f"{name} exited three times:\n{harness.tail(self.processes.log(f'{name}-2'))}")

    def api(self, path, **parameters):
        url = f"{self.prometheus}/api/v1/{path}?{urllib.parse.urlencode(parameters)}"
        body = http_get(url)
        if body is None:
            raise TestFailure(f"no answer from {url}")
        answer = json.loads(body)
        expect(answer.get("status") == "success", f"{url}: {body}")
        return answer["data"]

    def query(self, expression):
        """[(labels, value)] of an instant vector query."""
        return [(result["metric"], float(result["value"][1]))
                for result in self.api("query", query=expression)["result"]]

    def value(self, name, labels):
        """The one value of name{labels} in Prometheus now, or None."""
        results = self.query(name + selector(labels))
        if len(results) > 1:
            raise TestFailure(f"{len(results)} series {name}{selector(labels)}: {results}")
        return results[0][1] if results else None

    def run_gwcheck(self, args, expected_status):
        return harness.run_gwcheck(self.args.gwcheck, args, expected_status)

    def assert_scraped(self, path):
        """Waits until Prometheus has the run that wrote `path` (its
        gwcheck_last_run_timestamp_seconds), then finds every sample of the
        file there with the same value. Returns the file's samples."""
        samples = read_samples(path)
        run_labels = next(labels for name, labels, _ in samples
                          if name == "gwcheck_last_run_timestamp_seconds")
        run_end = sample_value(samples, "gwcheck_last_run_timestamp_seconds")
        harness.wait_for(f"Prometheus having the run of {path}",
                         lambda: self.value("gwcheck_last_run_timestamp_seconds", run_labels) == run_end)
        for name, labels, value in samples:
            found = self.value(name, labels)
            expect(found is not None and math.isclose(found, value, rel_tol=1e-9),
                   f"{name}{selector(labels)}: {found} in Prometheus, {value} in {path}")
        expect(self.query("node_textfile_scrape_error") and
               all(value == 0 for _, value in self.query("node_textfile_scrape_error")),
               f"node_textfile_scrape_error: {self.query('node_textfile_scrape_error')}")
        return samples


def test_success_then_failure(monitoring):
    metrics = os.path.join(monitoring.textfile_dir, "gwcheck-alice.prom")
    series = {"user": "alice", "gateway": monitoring.gateway}
    login = ["127.0.0.1", str(monitoring.gateway_port)]

    monitoring.run_gwcheck(["--metrics", metrics, "alice", "alice-pass"] + login, 0)
    monitoring.assert_scraped(metrics)
    expect(monitoring.value("gwcheck_success", series) == 1, "gwcheck_success is not 1")

    monitoring.run_gwcheck(["--metrics", metrics, "alice", "wrong-pass"] + login, 2)
    monitoring.assert_scraped(metrics)
    expect(monitoring.value("gwcheck_success", series) == 0, "gwcheck_success is not 0")
    expect(monitoring.value("gwcheck_exit_status", series) == 2, "gwcheck_exit_status is not 2")
    expect(monitoring.value("gwcheck_step_success", dict(series, step="login")) == 0,
           "the login step is not 0")

    # The packaged rules see the series: the alert waits out its `for`.
    def failing_alert():
        return [alert for alert in monitoring.api("alerts")["alerts"]
                if alert["labels"].get("alertname") == "GwcheckFailing"
                and alert["labels"].get("user") == "alice"
                and alert["labels"].get("gateway") == monitoring.gateway]

    alerts = harness.wait_for("the GwcheckFailing alert", failing_alert)
    expect(alerts[0]["state"] == "pending", f"GwcheckFailing: {alerts}")


def test_symlinked_file(monitoring):
    series = {"user": "linked", "gateway": monitoring.gateway}
    login = ["127.0.0.1", str(monitoring.gateway_port)]
    metrics = os.path.join(monitoring.state_dir, "gwcheck-linked.prom")
    link = os.path.join(monitoring.textfile_dir, "gwcheck-linked.prom")
    # As the packaged unit does: the file outside the exporter's directory.
    monitoring.run_gwcheck(["--metrics", metrics, "linked", "linked-pass"] + login, 0)

    # Then the link, from the packaged tmpfiles example moved to the test's
    # directories, made by systemd-tmpfiles.
    example = os.path.join(monitoring.args.source, "packaging", "gwcheck-node-exporter.tmpfiles")
    with open(example, encoding="utf-8") as f:
        lines = [line for line in f if line.startswith("L ")]
    expect(len(lines) == 1, f"{example}: {len(lines)} lines of type L")
    line = (lines[0].replace(DEBIAN_TEXTFILE_DIR, monitoring.textfile_dir)
            .replace(PACKAGED_METRICS_DIR, monitoring.state_dir).replace("alice", "linked"))
    config = os.path.join(monitoring.work_dir, "gwcheck-linked.conf")
    with open(config, "w", encoding="utf-8") as f:
        f.write(line)
    done = subprocess.run([harness.require_program(SYSTEMD_TMPFILES), "--create", config],
                          capture_output=True, text=True, timeout=harness.EVENT_SECONDS)
    expect(done.returncode == 0, f"systemd-tmpfiles --create {line}: {done.stdout}{done.stderr}")
    expect(os.path.islink(link) and os.readlink(link) == metrics,
           f"systemd-tmpfiles made no link {link} -> {metrics} from: {line}")

    monitoring.assert_scraped(metrics)
    expect(monitoring.value("gwcheck_success", series) == 1, "gwcheck_success is not 1")
    # The next run replaces the file beside the link, which still leads to it.
    monitoring.run_gwcheck(["--metrics", metrics, "linked", "wrong-pass"] + login, 2)
    monitoring.assert_scraped(metrics)
    expect(monitoring.value("gwcheck_success", series) == 0, "gwcheck_success is not 0")


def test_step_durations(monitoring):
    port = harness.start_gwsim(monitoring.processes, monitoring.args.gwsim, monitoring.work_dir,
                               "gwsim-slow-login", SLOW_LOGIN_SCENARIO)
    metrics = os.path.join(monitoring.textfile_dir, "gwcheck-slow.prom")
    monitoring.run_gwcheck(["--metrics", metrics, "alice", "alice-pass", "127.0.0.1", str(port)], 0)
    samples = read_samples(metrics)
    steps_run = {labels["step"] for name, labels, _ in samples if name == "gwcheck_step_success"}
    durations = {labels["step"]: value for name, labels, value in samples
                 if name == "gwcheck_step_duration_seconds"}
    expect(durations, f"{metrics} has no gwcheck_step_duration_seconds")
    expect(set(durations) == steps_run,
           f"steps with a duration {sorted(durations)}, steps that ran {sorted(steps_run)}")
    total = sample_value(samples, "gwcheck_duration_seconds")
    # Each step lies within the run (1 ms for the clocks' rounding).
    expect(all(0 <= value <= total + 0.001 for value in durations.values()),
           f"step durations {durations} outside 0..{total}")
    expect(durations["login"] >= SLOW_LOGIN_SECONDS,
           f"login took {durations['login']} s; the gateway held it {SLOW_LOGIN_SECONDS} s")
    monitoring.assert_scraped(metrics)
    found = monitoring.value("gwcheck_step_duration_seconds",
                             {"user": "alice", "gateway": f"127.0.0.1:{port}", "step": "login"})
    expect(found is not None and found >= SLOW_LOGIN_SECONDS, f"login duration {found} in Prometheus")


def test_credentials_label(monitoring):
    credentials_dir = os.path.join(monitoring.work_dir, "credentials")
    os.makedirs(credentials_dir, exist_ok=True)
    credentials = os.path.join(credentials_dir, "alice.conf")
    harness.write_credentials(credentials, "alice", "alice-pass", "127.0.0.1", monitoring.gateway_port)
    metrics = os.path.join(monitoring.textfile_dir, "gwcheck-credentials.prom")
    monitoring.run_gwcheck(["--credentials", credentials, "--metrics", metrics], 0)
    samples = read_samples(metrics)
    unlabelled = [(name, labels) for name, labels, _ in samples
                  if labels.get("credentials") != "alice.conf"]
    expect(not unlabelled, f"samples without credentials=\"alice.conf\": {unlabelled}")
    monitoring.assert_scraped(metrics)

    # Two files that cannot be read: the same empty user and gateway, told
    # apart by the label, so the exporter serves both.
    unreadable = {}
    try:
        for name in ("missing-a.conf", "missing-b.conf"):
            unreadable[name] = os.path.join(monitoring.textfile_dir, f"gwcheck-{name}.prom")
            monitoring.run_gwcheck(["--credentials", os.path.join(credentials_dir, name),
                                    "--metrics", unreadable[name]], 1)
        for name, path in unreadable.items():
            monitoring.assert_scraped(path)
            expect(monitoring.value("gwcheck_success", {"credentials": name}) == 0,
                   f"gwcheck_success{{credentials=\"{name}\"}} is not 0")
    finally:
        for path in unreadable.values():
            if os.path.exists(path):
                os.remove(path)


TESTS = {
    "success_then_failure": test_success_then_failure,
    "symlinked_file": test_symlinked_file,
    "step_durations": test_step_durations,
    "credentials_label": test_credentials_label,
}

if __name__ == "__main__":
    sys.exit(harness.main(__doc__.split("\n")[0], TESTS, Monitoring))
