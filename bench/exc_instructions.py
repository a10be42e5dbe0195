#!/usr/bin/env python3
"""exc_instructions.py - instructions per block, counted by callgrind.

    exc_instructions.py EXC_BENCH [CALLGRIND_OUT]

Runs the loop-form benchmarks of EXC_BENCH (the exc_bench binary) under
valgrind's callgrind, or reads CALLGRIND_OUT when given, and prints the
instructions that one iteration of each loop executes, with the block's
count over its bare baseline's. The counts do not depend on the machine's
load, so they back up the timed ratios of exc_ratios.py.

One iteration is one save of the resume point: a loop's count is what its
function executed, the calls it made included but not those into the
benchmark library, divided by the calls it made to _setjmp or __sigsetjmp.
"""
import collections
import os
import re
import subprocess
import sys
import tempfile

# label: the function in the callgrind output (its whole name, or a part
# that ends in "(")
LOOPS = {
    "C++ mask-free clean": "loops_mask_free::BM_LoopCleanTryFinally(",
    "C++ mask-free throw + catch": "loops_mask_free::BM_LoopThrowCatch(",
    "C++ bare _setjmp": "loops_mask_free::BM_LoopBareSetjmp(",
    "C++ bare _setjmp + _longjmp": "loops_mask_free::BM_LoopBareSetjmpLongjmp(",
    "C++ clean (mask)": "loops_with_mask::BM_LoopCleanTryFinally(",
    "C++ bare sigsetjmp(env, 1)": "loops_with_mask::BM_LoopBareSigsetjmp(",
    "C mask-free clean": "CLoopMaskFreeCleanTryFinally",
    "C mask-free throw + catch": "CLoopMaskFreeThrowCatch",
    "C bare _setjmp": "CLoopBareSetjmp",
    "C bare _setjmp + _longjmp": "CLoopBareSetjmpLongjmp",
}
COMPARISONS = [
    ("C++ mask-free clean", "C++ bare _setjmp", 1.5),
    ("C++ mask-free throw + catch", "C++ bare _setjmp + _longjmp", 3.0),
    ("C++ clean (mask)", "C++ bare sigsetjmp(env, 1)", 1.2),
    ("C mask-free clean", "C bare _setjmp", 1.5),
    ("C mask-free throw + catch", "C bare _setjmp + _longjmp", 3.0),
]
SAVES = {"_setjmp", "__sigsetjmp"}


def read_callgrind(path):
    """Per function name: (instructions, calls to SAVES), the instructions of
    its own and of its calls, less calls into the benchmark library."""
    names = {}
    cost = collections.Counter()
    saves = collections.Counter()
    function = callee = None
    call_count = None
    name_line = re.compile(r"^(c?fn)=\((\d+)\)(?: (.*))?$")
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            m = name_line.match(line)
            if m:
                kind, number, name = m.groups()
                if name is not None:
                    names[number] = name
                if kind == "fn":
                    function = names.get(number, number)
                else:
                    callee = names.get(number, number)
                continue
            if line.startswith("calls="):
                call_count = int(line[len("calls="):].split()[0])
                continue
            fields = line.split()
            if len(fields) < 2 or not re.match(r"^[-+*0-9]", fields[0]):
                continue
            value = int(fields[-1])
            if call_count is not None:
                if not callee.startswith("benchmark::"):
                    cost[function] += value
                if callee in SAVES:
                    saves[function] += call_count
                call_count = None
            else:
                cost[function] += value
    return cost, saves


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    if len(argv) == 3:
        path = argv[2]
    else:
        path = os.path.join(tempfile.mkdtemp(prefix="exc-callgrind-"), "callgrind.out")
        command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + path, argv[1],
                   "--benchmark_filter=Loop", "--benchmark_min_time=0.01"]
        try:
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        except FileNotFoundError:
            print("exc_instructions.py: valgrind is not installed (apt-get install valgrind)",
                  file=sys.stderr)
            return 1
    cost, saves = read_callgrind(path)
    per_iteration = {}
    for label, pattern in LOOPS.items():
        matches = [name for name in cost if saves[name] > 0 and
                   (name == pattern if "(" not in pattern else pattern in name)]
        if len(matches) != 1:
            print("exc_instructions.py: %s: %d functions match %r" %
                  (label, len(matches), pattern), file=sys.stderr)
            return 1
        name = matches[0]
        per_iteration[label] = cost[name] / saves[name]
        print("%-32s %8.1f instructions per iteration (%d iterations)" %
              (label, per_iteration[label], saves[name]))
    print()
    for block, baseline, limit in COMPARISONS:
        print("%-32s / %-30s %5.2f  (time limit %.1f)" %
              (block, baseline, per_iteration[block] / per_iteration[baseline], limit))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
