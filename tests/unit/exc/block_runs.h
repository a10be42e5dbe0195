/*
 * block_runs.h - blocks written the same way in C and in C++: block_runs.inc
 * is compiled once as C11 (block_runs_c.c) and once as C++
 * (block_runs_cpp.cpp), and the tests compare what each did with what the
 * framework promises.
 */
#ifndef TESTS_UNIT_EXC_BLOCK_RUNS_H
#define TESTS_UNIT_EXC_BLOCK_RUNS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Where a with-block scenario throws (kInCatch: the use, then the catch clause) or repeats. */
enum BlockPlace { kNowhere, kInAcquire, kInUse, kInDispose, kInCatch, kInFinally };

/* What the throwing step throws. */
enum BlockFault {
    kCaughtType,   /* IllegalArgumentException: the with-block's own clause takes it */
    kOtherType,    /* InputOutputException: only the block around it does */
    kSignal        /* SIGUSR1 raised there: ProgramSignal1Exception */
};

enum BlockRepeat { kReacquire, kRetry };

typedef struct WithScenario {
    enum BlockPlace throw_in;
    enum BlockFault fault;
    int throw_times;             /* the step throws on its first throw_times runs */
    enum BlockPlace repeat_in;   /* kInUse or kInCatch */
    enum BlockRepeat repeat;
    int max_attempts;
} WithScenario;

/*
 * Runs one with-block inside a try block and writes what happened to
 * `trace`, one word per event: "acquire" (and "acquired" when it finished),
 * "use", "dispose", "catch:MESSAGE", "finally", "after" (the code after
 * the with-block), "outer:MESSAGE" (the try block around it took an
 * exception; "<-MESSAGE" for its cause), "HELD" when the resource was
 * still held at the end. A thrown message names the step that threw.
 */
void RunWithBlockC(const WithScenario *scenario, char *trace, size_t size);
void RunWithBlockCpp(const WithScenario *scenario, char *trace, size_t size);

/*
 * Try blocks: a type of the runner's own caught through its supertype,
 * EXC_RETRY(3) (4 runs), a rethrow with its cause, the status in a finally
 * clause, and a signal. The same trace from both languages.
 */
void RunTryBlocksC(char *trace, size_t size);
void RunTryBlocksCpp(char *trace, size_t size);

#ifdef __cplusplus
}
#endif

#endif
