/*
 * exc_bench_c.c - the C build of the loop-form benchmarks: mask-free blocks
 * and their bare baselines, each run `count` times in a loop of its own
 * (exc_bench_mask_free.cpp times them). Compiled as C11 with -O2.
 */
#define EXC_NO_SIGNAL_MASK
#include <setjmp.h>

#include "exc/exc.h"

void CLoopMaskFreeCleanTryFinally(long count);
void CLoopMaskFreeThrowCatch(long count);
void CLoopBareSetjmp(long count);
void CLoopBareSetjmpLongjmp(long count);

/* Keeps the optimiser from folding the bodies away. */
static volatile int sink;

void CLoopMaskFreeCleanTryFinally(long count) {
    for (volatile long i = 0; i < count; i = i + 1) {
        EXC_TRY {
            sink = 1;
        } EXC_FINALLY {
            sink = 2;
        }
    }
}

void CLoopMaskFreeThrowCatch(long count) {
    for (volatile long i = 0; i < count; i = i + 1) {
        EXC_TRY {
            EXC_THROW(RuntimeException, "x");
        } EXC_CATCH(RuntimeException) {
            sink = 1;
        }
    }
}

void CLoopBareSetjmp(long count) {
    for (volatile long i = 0; i < count; i = i + 1) {
        jmp_buf env;
        if (_setjmp(env) == 0) sink = 1;
        sink = 2;
    }
}

__attribute__((noinline)) static void JumpBack(jmp_buf env) { _longjmp(env, 1); }

void CLoopBareSetjmpLongjmp(long count) {
    for (volatile long i = 0; i < count; i = i + 1) {
        jmp_buf env;
        if (_setjmp(env) == 0) {
            JumpBack(env);
        } else {
            sink = 1;
        }
    }
}
