#!/usr/bin/env python3
"""exc_ratios.py - the exception framework's speed as ratios.

    exc_ratios.py RESULTS.json

RESULTS.json is what exc_bench wrote with --benchmark_out (make bench runs
it with its repetitions interleaved). Prints each benchmark's median CPU
time, then each block's median over its bare baseline's median from the
same run, with the limit it is held to. Exits 1 when a benchmark is missing.
"""
import json
import sys

# (block, baseline, limit or None, what is compared)
COMPARISONS = [
    ("BM_ExcCleanTryFinally", "BM_BareSigsetjmp", 1.2,
     "function form: clean try/finally / bare sigsetjmp(env, 1)"),
    ("BM_MaskFreeCleanTryFinally", "BM_BareSetjmp", 1.5,
     "function form: mask-free clean try/finally / bare _setjmp"),
    ("BM_MaskFreeThrowCatch", "BM_BareSetjmpLongjmp", 3.0,
     "function form: mask-free throw + catch / bare _setjmp + _longjmp"),
    ("BM_LoopCleanTryFinally", "BM_LoopBareSigsetjmp", 1.2,
     "loop form: clean try/finally / bare sigsetjmp(env, 1)"),
    ("BM_LoopMaskFreeCleanTryFinally", "BM_LoopBareSetjmp", 1.5,
     "loop form: mask-free clean try/finally / bare _setjmp"),
    ("BM_LoopMaskFreeThrowCatch", "BM_LoopBareSetjmpLongjmp", 3.0,
     "loop form: mask-free throw + catch / bare _setjmp + _longjmp"),
    ("BM_CLoopMaskFreeCleanTryFinally", "BM_CLoopBareSetjmp", 1.5,
     "C loop: mask-free clean try/finally / bare _setjmp"),
    ("BM_CLoopMaskFreeThrowCatch", "BM_CLoopBareSetjmpLongjmp", 3.0,
     "C loop: mask-free throw + catch / bare _setjmp + _longjmp"),
    ("BM_CLoopMaskFreeCleanTryFinally", "BM_LoopMaskFreeCleanTryFinally", None,
     "C loop / C++ loop: mask-free clean try/finally"),
    ("BM_CLoopMaskFreeThrowCatch", "BM_LoopMaskFreeThrowCatch", None,
     "C loop / C++ loop: mask-free throw + catch"),
    ("BM_NativeThrowCatch", "BM_MaskFreeThrowCatch", None,
     "native C++ throw + catch / mask-free throw + catch"),
]


def medians(results):
    """Median CPU time in ns per benchmark name, from the aggregates or, for a
    run without repetitions, the single result."""
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    found = {}
    for entry in results["benchmarks"]:
        name = entry["run_name"]
        value = entry["cpu_time"] * scale[entry["time_unit"]]
        if entry.get("aggregate_name") == "median":
            found[name] = value
        elif entry.get("run_type") == "iteration" and name not in found:
            found.setdefault(name, value)
    return found


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(argv[1]) as f:
        results = json.load(f)
    times = medians(results)
    load = results["context"].get("load_avg", [])
    print("median CPU time (load average at the start: %s)" %
          ", ".join("%.2f" % x for x in load))
    for name in sorted(times):
        print("  %-36s %12.2f ns" % (name, times[name]))
    print()
    print("%-70s %6s %6s" % ("comparison", "ratio", "limit"))
    missing = False
    for block, baseline, limit, what in COMPARISONS:
        if block not in times or baseline not in times:
            print("%-70s %6s" % (what, "missing"))
            missing = True
            continue
        ratio = times[block] / times[baseline]
        verdict = ""
        if limit is not None:
            verdict = "%6.1f  %s" % (limit, "met" if ratio <= limit else "NOT MET")
        print("%-70s %6.2f %s" % (what, ratio, verdict))
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
