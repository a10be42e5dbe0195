/*
 * exc_bench_mask_free.cpp - blocks compiled without the signal mask
 * (EXC_NO_SIGNAL_MASK) next to what they cannot beat: a bare _setjmp, and a
 * bare _setjmp + _longjmp round. Each sits in a function of its own with the
 * same stores as the blocks, so the difference is the framework's own work.
 */
#define EXC_NO_SIGNAL_MASK
#include <benchmark/benchmark.h>

#include <setjmp.h>

#include "exc/exc.h"

namespace {

#define BLOCK_KIND "MaskFree"
#include "bench/exc_bench_blocks.inc"

[[gnu::noinline]] void BareSetjmp() {
    jmp_buf env;
    if (_setjmp(env) == 0) sink = 1;
    sink = 2;
}

[[gnu::noinline]] void JumpBack(jmp_buf env) { _longjmp(env, 1); }

[[gnu::noinline]] void BareSetjmpLongjmp() {
    jmp_buf env;
    if (_setjmp(env) == 0) {
        JumpBack(env);
    } else {
        sink = 1;
    }
}

template <void (*Bare)()>
void BM_Bare(benchmark::State &state) {
    for (auto _ : state) Bare();
}
BENCHMARK(BM_Bare<BareSetjmp>)->Name("BM_BareSetjmp");
BENCHMARK(BM_Bare<BareSetjmpLongjmp>)->Name("BM_BareSetjmpLongjmp");

}  // namespace
