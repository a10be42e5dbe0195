#!/usr/bin/env bash
# run_load.sh [BUILD_DIR] - the load and end-to-end figures of
# docs/performance.md, from a build with -DGWCHECK_BENCH=ON (`make load`
# builds build-bench and runs this).
#
#  1. gwsim_load at 1, 100 and 1000 sessions, each session repeating a
#     gwcheck run's sequence without pause (saturation), then 1000 sessions
#     paced at one sequence per second each (a fixed offered load), and
#     100 sessions at ten per second each (the same load, fewer threads).
#     gwsim_load starts and stops its own gwsim.
#  2. One gwcheck run against gwsim (default scenario, P) next to
#     roundtrip_baseline making as many loopback round trips as the run
#     does (counted from gwsim's journal), and /bin/true for the cost of
#     starting a process: wall time and peak RSS over many runs in turn.
#
# Environment: LOAD_SECONDS (default 10) per load run, 0 for the second part
# alone; E2E_RUNS (default 200).
# Servers listen on loopback only and are stopped on every exit path; each
# also ends by itself (gwsim with gwsim_load, the echo server after 600 s).
set -u

build_dir=${1:-build-bench}
root=$(cd "$(dirname "$0")/.." && pwd)
case $build_dir in /*) ;; *) build_dir=$root/$build_dir ;; esac
bin=$build_dir/bin
seconds=${LOAD_SECONDS:-10}
runs=${E2E_RUNS:-200}
scenario=$root/gwsim/scenarios/default.toml

for program in gwsim gwcheck gwsim_load roundtrip_baseline time_runs; do
    if [ ! -x "$bin/$program" ]; then
        echo "run_load: $bin/$program is missing: build with -DGWCHECK_BENCH=ON (make load)" >&2
        exit 1
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/gwcheck-load.XXXXXX") || exit 1
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits up to 10 s for a server's first output line; prints the port.
wait_for_port() {
    local file=$1
    for _ in $(seq 100); do
        if [ -s "$file" ]; then
            head -n 1 "$file" | sed 's/.*://'
            return 0
        fi
        sleep 0.1
    done
    echo "run_load: no server started ($file)" >&2
    return 1
}

echo "== machine"
echo "nproc: $(nproc)"
lscpu | head -n 15
echo "kernel: $(uname -srm)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

status=0
if [ "$seconds" -gt 0 ]; then
    echo "== load: gwsim_load, $seconds s per run"
    for sessions in 1 100 1000; do
        "$bin/gwsim_load" --sessions "$sessions" --seconds "$seconds" || status=1
        echo
    done
    "$bin/gwsim_load" --sessions 1000 --seconds "$seconds" --interval-ms 1000 || status=1
    echo
    # The same offered load from a tenth of the threads: what the generator's
    # own thread count adds to the latency.
    "$bin/gwsim_load" --sessions 100 --seconds "$seconds" --interval-ms 100 || status=1
    echo
fi

echo "== one gwcheck run, $runs runs side by side"
"$bin/gwsim" --scenario "$scenario" --journal "$work/journal" >"$work/gwsim.out" 2>"$work/gwsim.err" &
pids+=($!)
gwsim_port=$(wait_for_port "$work/gwsim.out") || exit 1
"$bin/roundtrip_baseline" serve 600 >"$work/echo.out" &
pids+=($!)
echo_port=$(wait_for_port "$work/echo.out") || exit 1

"$bin/gwcheck" demo demo-pass 127.0.0.1 "$gwsim_port" P >/dev/null || {
    echo "run_load: gwcheck failed against gwsim" >&2
    exit 1
}
# Every request is one round trip except the close, which is not waited
# for; the handshake is one more.
requests=$(wc -l <"$work/journal")
closes=$(grep -c '"call":"gwapi_close_session"' "$work/journal")
round_trips=$((requests - closes + 1))
echo "gwcheck's run: $requests requests in the journal, $round_trips round trips (handshake included)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

"$bin/time_runs" --runs "$runs" -- \
    "$bin/gwcheck" demo demo-pass 127.0.0.1 "$gwsim_port" P :: \
    /bin/true :: \
    "$bin/roundtrip_baseline" "$echo_port" "$round_trips" || status=1
echo
echo "/usr/bin/time -v, one run each:"
time_once() {
    echo "  ${1##*/} ${*:2}"
    /usr/bin/time -v "$@" 2>&1 >/dev/null |
        grep -E "Elapsed \(wall clock\)|Maximum resident set size" | sed 's/^\s*/    /'
}
time_once "$bin/gwcheck" demo demo-pass 127.0.0.1 "$gwsim_port" P
time_once "$bin/roundtrip_baseline" "$echo_port" "$round_trips"
exit $status
