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

volatile int sink;

[[gnu::noinline]] void MaskFreeCleanTryFinally() {
    EXC_TRY {
        sink = 1;
    } EXC_FINALLY {
        sink = 2;
    }
}

[[gnu::noinline]] void MaskFreeThrowCatch() {
    EXC_TRY {
        EXC_THROW(RuntimeException, "x");
    } EXC_CATCH(RuntimeException) {
        sink = 1;
    }
}

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

template <void (*Block)()>
void BM_InContext(benchmark::State &state) {
    exc_context_begin(0, nullptr);
    for (auto _ : state) Block();
    exc_context_end();
}
BENCHMARK(BM_InContext<MaskFreeCleanTryFinally>)->Name("BM_MaskFreeCleanTryFinally");
BENCHMARK(BM_InContext<MaskFreeThrowCatch>)->Name("BM_MaskFreeThrowCatch");

template <void (*Bare)()>
void BM_Bare(benchmark::State &state) {
    for (auto _ : state) Bare();
}
BENCHMARK(BM_Bare<BareSetjmp>)->Name("BM_BareSetjmp");
BENCHMARK(BM_Bare<BareSetjmpLongjmp>)->Name("BM_BareSetjmpLongjmp");

}  // namespace
