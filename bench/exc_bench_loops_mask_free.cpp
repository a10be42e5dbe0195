/*
 * exc_bench_loops_mask_free.cpp - mask-free blocks (EXC_NO_SIGNAL_MASK)
 * written straight into the benchmark loop, next to a bare _setjmp and a
 * bare _setjmp + _longjmp round in the same loop; and the same blocks and
 * baselines built as C (exc_bench_c.c), each in a loop of its own that runs
 * a batch of iterations.
 */
#define EXC_NO_SIGNAL_MASK
#include <benchmark/benchmark.h>

#include <setjmp.h>

#include "exc/exc.h"

extern "C" {
void CLoopMaskFreeCleanTryFinally(long count);
void CLoopMaskFreeThrowCatch(long count);
void CLoopBareSetjmp(long count);
void CLoopBareSetjmpLongjmp(long count);
}

namespace {
namespace loops_mask_free {

#define BLOCK_KIND "MaskFree"
#include "bench/exc_bench_loops.inc"

void BM_LoopBareSetjmp(benchmark::State &state) {
    for (auto _ : state) {
        jmp_buf env;
        if (_setjmp(env) == 0) sink = 1;
        sink = 2;
    }
}
BENCHMARK(BM_LoopBareSetjmp);

[[gnu::noinline]] void JumpBack(jmp_buf env) { _longjmp(env, 1); }

void BM_LoopBareSetjmpLongjmp(benchmark::State &state) {
    for (auto _ : state) {
        jmp_buf env;
        if (_setjmp(env) == 0) {
            JumpBack(env);
        } else {
            sink = 1;
        }
    }
}
BENCHMARK(BM_LoopBareSetjmpLongjmp);

template <void (*Loop)(long)>
void BM_CLoop(benchmark::State &state) {
    constexpr long kBatch = 1000;
    exc_context_begin(0, nullptr);
    while (state.KeepRunningBatch(kBatch)) Loop(kBatch);
    exc_context_end();
}
BENCHMARK(BM_CLoop<CLoopMaskFreeCleanTryFinally>)->Name("BM_CLoopMaskFreeCleanTryFinally");
BENCHMARK(BM_CLoop<CLoopMaskFreeThrowCatch>)->Name("BM_CLoopMaskFreeThrowCatch");
BENCHMARK(BM_CLoop<CLoopBareSetjmp>)->Name("BM_CLoopBareSetjmp");
BENCHMARK(BM_CLoop<CLoopBareSetjmpLongjmp>)->Name("BM_CLoopBareSetjmpLongjmp");

}  // namespace loops_mask_free
}  // namespace
