/*
 * exc_bench_loops.cpp - blocks that restore the signal mask, written
 * straight into the benchmark loop, next to a bare sigsetjmp(env, 1) in the
 * same loop.
 */
#include <benchmark/benchmark.h>

#include <setjmp.h>

#include "exc/exc.h"

namespace {
namespace loops_with_mask {

#define BLOCK_KIND ""
#include "bench/exc_bench_loops.inc"

void BM_LoopBareSigsetjmp(benchmark::State &state) {
    for (auto _ : state) {
        sigjmp_buf env;
        if (sigsetjmp(env, 1) == 0) sink = 1;
        sink = 2;
    }
}
BENCHMARK(BM_LoopBareSigsetjmp);

}  // namespace loops_with_mask
}  // namespace
