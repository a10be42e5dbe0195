#!/usr/bin/env python3
"""nagios_test.py - gwcheck run as a service check by Debian's Nagios Core.

    nagios_test.py --gwcheck PATH --gwsim PATH [--source DIR] TEST...

Starts gwsim (a gateway that takes alice's password, one that refuses it,
one that holds every login answer 1.5 s) on free loopback ports, writes
each test's credentials file (mode 0600), and runs nagios4 in the
foreground from a temporary configuration: one host, one service per
named test whose check command runs gwcheck with that file, every check
at once (interval_length 1, reaper and status updates every second).
Nagios runs as root so that it may read the 0600 files; elsewhere the
test is skipped. Once status.dat says every service has been checked, each
test reads its service's entry there.

Tests of the plain command (gwcheck --credentials FILE; exit 0 OK, 2
CRITICAL, 1 read by Nagios as WARNING):
  plain_ok                    OK, the account as the output
  plain_critical              the login refused: CRITICAL
  plain_missing_credentials   no credentials file: WARNING (exit 1)
Tests of the plugin mode (gwcheck --nagios -t 30 -w 5 -c 10 --credentials FILE):
  plugin_ok                   OK, the status line, performance data for the
                              whole run and each step
  plugin_warning              a login held 1.5 s, -w 1: WARNING
  plugin_critical             the login refused: CRITICAL
  plugin_unknown              no credentials file: UNKNOWN
"""

import os
import re
import subprocess
import sys

import harness
from harness import Skip, TestFailure, expect, gateway_scenario

NAGIOS = "/usr/sbin/nagios4"

GATEWAY_SCENARIO = gateway_scenario({"alice": "alice-pass"})
SLOW_LOGIN_SCENARIO = gateway_scenario({"alice": "alice-pass"}, login_delay_ms=1500)
SLOW_LOGIN_SECONDS = 1.5

STATES = {0: "OK", 1: "WARNING", 2: "CRITICAL", 3: "UNKNOWN"}
STEPS = {"session", "login", "facility_type", "user_info", "subscribe", "poll", "unsubscribe",
         "logout"}

PLUGIN = ["--nagios", "-t", "30", "-w", "5", "-c", "10"]

# Each test: the gateway its credentials file names (None: no file) and
# the options before --credentials.
SERVICES = {
    "plain_ok": ("gateway", []),
    "plain_critical": ("refusing", []),
    "plain_missing_credentials": (None, []),
    "plugin_ok": ("gateway", PLUGIN),
    "plugin_warning": ("slow", ["--nagios", "-t", "30", "-w", "1", "-c", "30"]),
    "plugin_critical": ("refusing", PLUGIN),
    "plugin_unknown": (None, PLUGIN),
}


def nagios_config(work_dir, check_commands):
    """nagios.cfg and objects.cfg in work_dir/nagios for these
    {service: command line}; returns the path of nagios.cfg."""
    directory = os.path.join(work_dir, "nagios")
    os.makedirs(os.path.join(directory, "checkresults"))
    main_cfg = os.path.join(directory, "nagios.cfg")
    settings = {
        "log_file": f"{directory}/nagios.log",
        "cfg_file": f"{directory}/objects.cfg",
        "object_cache_file": f"{directory}/objects.cache",
        "precached_object_file": f"{directory}/objects.precache",
        "status_file": f"{directory}/status.dat",
        "status_update_interval": 1,
        # Root may read the 0600 credentials files; gwcheck runs as Nagios does.
        "nagios_user": "root",
        "nagios_group": "root",
        "check_external_commands": 0,
        "command_file": f"{directory}/nagios.cmd",
        # Unix socket: its path must fit 108 bytes.
        "query_socket": f"{directory}/nagios.qh",
        "lock_file": f"{directory}/nagios.lock",
        "temp_file": f"{directory}/nagios.tmp",
        "temp_path": directory,
        "check_result_path": f"{directory}/checkresults",
        "state_retention_file": f"{directory}/retention.dat",
        "retain_state_information": 0,
        "use_syslog": 0,
        "log_rotation_method": "n",
        "log_archive_path": directory,
        # Intervals in seconds; every check scheduled at once.
        "interval_length": 1,
        "check_result_reaper_frequency": 1,
        "max_check_result_reaper_time": 1,
        "service_inter_check_delay_method": "n",
        "host_inter_check_delay_method": "n",
        "max_service_check_spread": 1,
        "max_host_check_spread": 1,
        "service_check_timeout": 120,
        "check_workers": 2,
        "enable_notifications": 0,
        "enable_flap_detection": 0,
        "enable_environment_macros": 0,
        "process_performance_data": 0,
        "check_for_orphaned_services": 0,
        "check_for_updates": 0,
        "illegal_macro_output_chars": "`~$&|'\"<>",
    }
    with open(main_cfg, "w", encoding="utf-8") as f:
        f.writelines(f"{key}={value}\n" for key, value in settings.items())

    once_an_hour = ("max_check_attempts 1\n  check_interval 3600\n  retry_interval 3600\n"
                    "  check_period always\n  notification_period always\n"
                    "  notification_interval 0\n  notifications_enabled 0\n  contacts nobody\n")
    objects = ["define timeperiod {\n  timeperiod_name always\n  alias always\n"
               + "".join(f"  {day} 00:00-24:00\n" for day in
                         ("sunday", "monday", "tuesday", "wednesday", "thursday", "friday",
                          "saturday")) + "}\n",
               "define command {\n  command_name do_nothing\n  command_line /bin/true\n}\n",
               # Nagios wants a contact; notifications are off.
               "define contact {\n  contact_name nobody\n  host_notifications_enabled 0\n"
               "  service_notifications_enabled 0\n  host_notification_period always\n"
               "  service_notification_period always\n  host_notification_options n\n"
               "  service_notification_options n\n  host_notification_commands do_nothing\n"
               "  service_notification_commands do_nothing\n}\n",
               "define host {\n  host_name gateway\n  alias gateway\n  address 127.0.0.1\n"
               f"  check_command do_nothing\n  {once_an_hour}}}\n"]
    for service, command_line in check_commands.items():
        # ";" would start a comment in an object definition.
        expect(";" not in command_line, f"a ';' in the command line {command_line}")
        objects.append(f"define command {{\n  command_name {service}\n"
                       f"  command_line {command_line}\n}}\n")
        objects.append(f"define service {{\n  host_name gateway\n  service_description {service}\n"
                       f"  check_command {service}\n  {once_an_hour}}}\n")
    with open(os.path.join(directory, "objects.cfg"), "w", encoding="utf-8") as f:
        f.write("\n".join(objects))
    return main_cfg


def read_status(path):
    """{service description: {key: value}} of the servicestatus entries in
    status.dat, or None while it is not written yet."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
    except FileNotFoundError:
        return None
    services = {}
    for body in re.findall(r"^servicestatus \{\n(.*?)\n\t\}", text, re.M | re.S):
        entry = dict(line.strip().split("=", 1) for line in body.split("\n") if "=" in line)
        services[entry.get("service_description")] = entry
    return services


def parse_performance_data(text):
    """{label: (value, unit, warn, crit, min)} of 'label'=VALUE[UNIT];W;C;MIN..."""
    values = {}
    for match in re.finditer(r"'([^']+)'=(\S+)", text):
        fields = (match.group(2).split(";") + [""] * 4)[:4]
        number = re.match(r"^(-?[0-9.]+)(.*)$", fields[0])
        if not number:
            raise TestFailure(f"performance value {match.group(0)!r}")
        values[match.group(1)] = (float(number.group(1)), number.group(2), fields[1], fields[2],
                                  fields[3])
    return values


class Nagios:
    def __init__(self, args, processes, work_dir):
        if os.geteuid() != 0:
            raise Skip("Nagios must run as root to read the 0600 credentials files; run as root")
        harness.require_program(NAGIOS)
        ports = {}
        for name, scenario in (("gateway", GATEWAY_SCENARIO),
                               ("refusing", GATEWAY_SCENARIO.replace("alice-pass", "other-pass")),
                               ("slow", SLOW_LOGIN_SCENARIO)):
            if any(SERVICES[test][0] == name for test in args.tests):
                ports[name] = harness.start_gwsim(processes, args.gwsim, work_dir,
                                                  f"gwsim-{name}", scenario)
        self.ports = ports
        check_commands = {}
        for test in args.tests:
            gateway, options = SERVICES[test]
            credentials = os.path.join(work_dir, f"{test}.conf")
            if gateway:
                harness.write_credentials(credentials, "alice", "alice-pass", "127.0.0.1",
                                          ports[gateway])
            check_commands[test] = " ".join([args.gwcheck] + options + ["--credentials", credentials])
        config = nagios_config(work_dir, check_commands)

        verified = subprocess.run([NAGIOS, "-v", config], capture_output=True, text=True,
                                  timeout=harness.EVENT_SECONDS)
        if verified.returncode != 0:
            raise TestFailure(f"nagios4 -v {config}:\n{verified.stdout}{verified.stderr}")
        nagios = processes.start("nagios", [NAGIOS, config])
        status_file = os.path.join(os.path.dirname(config), "status.dat")

        def all_checked():
            processes.assert_running("nagios", nagios)
            status = read_status(status_file)
            if status and all(status.get(test, {}).get("has_been_checked") == "1"
                              for test in args.tests):
                return status
            return None

        self.status = harness.wait_for("every service checked in status.dat", all_checked)

    def service(self, test, expected_state):
        entry = self.status[test]
        state = int(entry["current_state"])
        expect(state == expected_state,
               f"state {state} ({STATES.get(state)}), expected {expected_state} "
               f"({STATES[expected_state]}); output: {entry.get('plugin_output')!r}, "
               f"long output: {entry.get('long_plugin_output')!r}")
        return entry


def long_output(entry):
    # status.dat writes the lines of the long output joined by "\n".
    return entry.get("long_plugin_output", "").replace("\\n", "\n").split("\n")


def test_plain_ok(nagios):
    entry = nagios.service("plain_ok", 0)
    expect(entry["plugin_output"].startswith("Date of run: "), f"output {entry['plugin_output']!r}")
    expect("Login status: successful" in long_output(entry), f"long output {long_output(entry)}")


def test_plain_critical(nagios):
    entry = nagios.service("plain_critical", 2)
    expect("Login status: failed" in long_output(entry), f"long output {long_output(entry)}")


def test_plain_missing_credentials(nagios):
    nagios.service("plain_missing_credentials", 1)


def check_plugin_run(entry, state_word, port, warn, crit):
    """The status line names the state, the user and gateway; the
    performance data has 'time' with the thresholds and one value per step
    that ran, in seconds. Returns the performance values."""
    output = entry["plugin_output"]
    over = {"OK": "", "WARNING": r", over the warning threshold of [0-9.]+ s"}[state_word]
    match = re.fullmatch(rf"GWCHECK {state_word} - alice@127\.0\.0\.1:{port} logged in, "
                         rf"(\d+) steps in ([0-9.]+) s{over}", output.strip())
    expect(match, f"status line {output!r}")
    performance = parse_performance_data(entry.get("performance_data", ""))
    expect("time" in performance, f"no 'time' in the performance data {performance}")
    total, unit, warn_text, crit_text, minimum = performance["time"]
    expect(unit == "s" and float(warn_text) == warn and float(crit_text) == crit
           and float(minimum) == 0, f"'time' {performance['time']}, expected s;{warn};{crit};0")
    expect(abs(total - float(match.group(2))) < 0.001,
           f"'time' {total} and the status line's {match.group(2)} s differ")
    steps = {label: value for label, value in performance.items() if label != "time"}
    expect(set(steps) <= STEPS and "login" in steps and "logout" in steps,
           f"step values {sorted(steps)}")
    expect(len(steps) == int(match.group(1)), f"{len(steps)} step values, the line says {match.group(1)}")
    for label, (value, unit, _, _, minimum) in steps.items():
        expect(unit == "s" and minimum == "0" and 0 <= value <= total,
               f"'{label}' {performance[label]} (the run took {total} s)")
    expect("Login status: successful" in long_output(entry), f"long output {long_output(entry)}")
    return performance


def test_plugin_ok(nagios):
    entry = nagios.service("plugin_ok", 0)
    check_plugin_run(entry, "OK", nagios.ports["gateway"], 5, 10)


def test_plugin_warning(nagios):
    entry = nagios.service("plugin_warning", 1)
    performance = check_plugin_run(entry, "WARNING", nagios.ports["slow"], 1, 30)
    expect(performance["login"][0] >= SLOW_LOGIN_SECONDS,
           f"login {performance['login']}; the gateway held it {SLOW_LOGIN_SECONDS} s")


def test_plugin_critical(nagios):
    entry = nagios.service("plugin_critical", 2)
    expect(entry["plugin_output"].startswith("GWCHECK CRITICAL - "), f"output {entry['plugin_output']!r}")
    expect("Login status: failed" in long_output(entry), f"long output {long_output(entry)}")


def test_plugin_unknown(nagios):
    entry = nagios.service("plugin_unknown", 3)
    expect(entry["plugin_output"].startswith("GWCHECK UNKNOWN - "), f"output {entry['plugin_output']!r}")


TESTS = {
    "plain_ok": test_plain_ok,
    "plain_critical": test_plain_critical,
    "plain_missing_credentials": test_plain_missing_credentials,
    "plugin_ok": test_plugin_ok,
    "plugin_warning": test_plugin_warning,
    "plugin_critical": test_plugin_critical,
    "plugin_unknown": test_plugin_unknown,
}

if __name__ == "__main__":
    sys.exit(harness.main(__doc__.split("\n")[0], TESTS, Nagios))
