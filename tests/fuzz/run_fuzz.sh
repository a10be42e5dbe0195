#!/bin/sh
# run_fuzz.sh TARGET SEED_DIR WORK_DIR SECONDS [libFuzzer options...]
# Runs one fuzz target for SECONDS from a fresh copy of its seed corpus in
# WORK_DIR (new inputs go there, never into the seed directory), printing
# libFuzzer's final statistics. The status is the fuzzer's: non-zero when an
# input crashed, tripped a sanitizer, timed out or ran out of memory; the
# input is then saved in WORK_DIR/artifacts/. An input counts as hung after
# 60 s, far above any real one (milliseconds): on a loaded shared machine a
# process was seen to get no CPU for 49 s, and that must not pass for a hang. Options given after SECONDS come
# later on the command line and override these.
set -eu
if [ $# -lt 4 ]; then
    echo "usage: $0 TARGET SEED_DIR WORK_DIR SECONDS [libFuzzer options...]" >&2
    exit 2
fi
target=$1
seeds=$2
work=$3
seconds=$4
shift 4

rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
if [ -d "$seeds" ]; then
    cp -R "$seeds/." "$work/corpus/"
fi
exec "$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$@" "$work/corpus"
