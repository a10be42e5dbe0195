#!/bin/sh
# fuzz_all.sh BUILD_DIR SECONDS - runs every fuzz target built in BUILD_DIR
# for SECONDS each, one after the other, from a scratch copy of its seed
# corpus under BUILD_DIR/fuzz-runs/<target>/, then prints per target the
# executions, the coverage (cov: edges, ft: features), the corpus size and
# whether it found a crash. Exits 1 when any target failed.
set -u
if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR SECONDS" >&2
    exit 2
fi
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
list="$build/tests/fuzz/targets.txt"
if [ ! -f "$list" ]; then
    echo "fuzz_all.sh: no fuzz targets in $build (configure with clang and -DGWCHECK_FUZZ=ON)" >&2
    exit 2
fi

failed=0
summary=""
for name in $(cat "$list"); do
    work="$build/fuzz-runs/$name"
    log="$build/fuzz-runs/$name.log"
    mkdir -p "$build/fuzz-runs"
    echo "== fuzz_$name: $seconds s"
    if "$here/run_fuzz.sh" "$build/bin/fuzz_$name" "$here/corpus/$name" "$work" "$seconds" \
        >"$log" 2>&1; then
        result=ok
    else
        result="FAILED (see $log and $work/artifacts/)"
        failed=1
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    corpus=$(find "$work/corpus" -type f | wc -l)
    line=$(printf '%-18s execs %10s (%6s/s)  cov %5s  ft %6s  corpus %5s  %s' \
        "$name" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "$corpus" "$result")
    echo "$line"
    summary="$summary$line
"
done
echo
echo "Fuzzing summary ($seconds s per target):"
printf '%s' "$summary"
exit $failed
