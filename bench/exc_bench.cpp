/*
 * exc_bench.cpp - what a block costs: a clean try/finally, a throw caught one
 * level deep, a throw through three nested blocks; the same written with
 * native C++ exceptions; and a bare sigsetjmp that saves the signal mask,
 * the least a block that restores the mask on resume can cost. The blocks
 * are in exc_bench_blocks.inc; mask-free ones and their bare baselines are
 * in exc_bench_mask_free.cpp. The same blocks written straight into the
 * benchmark loop are in exc_bench_loops*.cpp and, built as C, exc_bench_c.c.
 */
#include <benchmark/benchmark.h>

#include <csetjmp>
#include <stdexcept>

#include "exc/exc.h"

namespace {

#define BLOCK_KIND "Exc"
#include "bench/exc_bench_blocks.inc"

[[gnu::noinline]] void NativeBody(bool fail) {
    if (fail) throw std::runtime_error("x");
    sink = 1;
}

void BM_NativeCleanTry(benchmark::State &state) {
    for (auto _ : state) {
        try {
            NativeBody(false);
        } catch (const std::runtime_error &) {
            sink = 3;
        }
        sink = 2;
    }
}
BENCHMARK(BM_NativeCleanTry);

void BM_NativeThrowCatch(benchmark::State &state) {
    for (auto _ : state) {
        try {
            NativeBody(true);
        } catch (const std::runtime_error &) {
            sink = 1;
        }
    }
}
BENCHMARK(BM_NativeThrowCatch);

void BM_NativeThrowThroughThreeBlocks(benchmark::State &state) {
    for (auto _ : state) {
        try {
            try {
                try {
                    NativeBody(true);
                } catch (...) {
                    sink = 3;
                    throw;
                }
            } catch (...) {
                sink = 2;
                throw;
            }
        } catch (const std::runtime_error &) {
            sink = 1;
        }
    }
}
BENCHMARK(BM_NativeThrowThroughThreeBlocks);

/* The same stores as the clean block, in a function of its own like it. */
[[gnu::noinline]] void BareSigsetjmp() {
    sigjmp_buf env;
    if (sigsetjmp(env, 1) == 0) sink = 1;
    sink = 2;
}

void BM_BareSigsetjmp(benchmark::State &state) {
    for (auto _ : state) BareSigsetjmp();
}
BENCHMARK(BM_BareSigsetjmp);

}  // namespace

BENCHMARK_MAIN();
