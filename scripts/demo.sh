#!/usr/bin/env bash
# demo.sh BUILD_DIR - run gwcheck against a simulated gateway.
#
# Starts BUILD_DIR/bin/gwsim with gwsim/scenarios/default.toml on a free
# loopback port, waits for its port file, runs
#   gwcheck demo demo-pass 127.0.0.1 PORT P
# (the account appears on standard output), stops gwsim, and exits with
# gwcheck's status. `make demo` runs this after building.
set -u

build_dir=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
case $build_dir in /*) ;; *) build_dir=$root/$build_dir ;; esac
gwsim=$build_dir/bin/gwsim
gwcheck=$build_dir/bin/gwcheck
scenario=$root/gwsim/scenarios/default.toml
password=demo-pass

for program in "$gwsim" "$gwcheck"; do
    if [ ! -x "$program" ]; then
        echo "demo: $program is missing: build first (make build)" >&2
        exit 1
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/gwcheck-demo.XXXXXX") || exit 1
gwsim_pid=
cleanup() {
    if [ -n "$gwsim_pid" ] && kill -0 "$gwsim_pid" 2>/dev/null; then
        kill -TERM "$gwsim_pid" 2>/dev/null
        wait "$gwsim_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$gwsim" --scenario "$scenario" --listen 127.0.0.1:0 --port-file "$work/port" \
    >"$work/gwsim.out" 2>"$work/gwsim.err" &
gwsim_pid=$!

# Wait up to 10 s for the port file (gwsim writes it once listening).
for _ in $(seq 100); do
    [ -s "$work/port" ] && break
    if ! kill -0 "$gwsim_pid" 2>/dev/null; then
        echo "demo: gwsim did not start:" >&2
        cat "$work/gwsim.err" >&2
        exit 1
    fi
    sleep 0.1
done
if [ ! -s "$work/port" ]; then
    echo "demo: gwsim wrote no port file within 10 seconds" >&2
    exit 1
fi
port=$(head -n 1 "$work/port")

echo "demo: gwsim serves $scenario on 127.0.0.1:$port"
echo "demo: gwcheck demo ******** 127.0.0.1 $port P"
echo
"$gwcheck" demo "$password" 127.0.0.1 "$port" P
status=$?
echo
echo "demo: gwcheck exited with status $status"
exit "$status"
