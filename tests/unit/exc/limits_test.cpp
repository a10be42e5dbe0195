/*
 * limits_test.cpp - the framework at its edges: a signal while many
 * exceptions are held, a fault while signals are held back, and the exit
 * status of the exits the framework makes itself.
 */
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>

#include "exc/exc.h"
#include "tests/support/child_process.h"

namespace {

/*
 * Nests `depth` blocks whose catch clauses each hold the exception they
 * took, then raises SIGUSR1 in a block inside the innermost clause.
 * Returns 1 when that block's clause took the signal's exception.
 */
int SignalUnderHeldExceptions(int depth) {
    volatile int caught = 0;
    EXC_TRY {
        EXC_THROW(IllegalArgumentException, "held");
    } EXC_CATCH(IllegalArgumentException) {
        if (depth > 1) {
            caught = SignalUnderHeldExceptions(depth - 1);
        } else {
            EXC_TRY {
                raise(SIGUSR1);
            } EXC_CATCH(ProgramSignal1Exception) {
                caught = 1;
            }
        }
    }
    return caught;
}

TEST(RecordsForSignals, ASignalFindsARecordWhileManyExceptionsAreHeld) {
    for (int depth : {64, 65, 200}) {
        ChildResult r = RunInChild([depth] {
            exc_context_begin(1, exc_print_exception);
            printf("%d\n", SignalUnderHeldExceptions(depth));
            exc_context_end();
        });
        EXPECT_EQ(r.exit_status, 0) << depth << " held: " << r.err;
        EXPECT_EQ(r.out, "1\n") << depth << " held";
        EXPECT_EQ(r.err, "") << depth << " held";
    }
}

/* A store to an address no program maps. */
void StoreToABadPointer() {
    volatile uintptr_t bad = 8;
    *reinterpret_cast<volatile int *>(bad) = 1;
}

const char kHeldBackText[] =
    "\nA fault cannot wait for exc_defer_signals_end: the signal's default action ends the "
    "process.\n";

TEST(FaultWhileHeldBack, IsReportedAndTheDefaultActionEndsTheProcess) {
    struct Case {
        const char *name;
        bool held_back;
        void (*fault)();
        int term_signal;
        const char *err;
        const char *out;
    } cases[] = {
        {"bad pointer held back", true, StoreToABadPointer, SIGSEGV,
         "\n\nFault while signals were held back: SIGSEGV (signal 11), BadPointerException: "
         "Segmentation violation.",
         "before\n"},
        {"illegal instruction held back", true, [] { __builtin_trap(); }, SIGILL,
         "\n\nFault while signals were held back: SIGILL (signal 4), "
         "IllegalInstructionException: Illegal instruction.",
         "before\n"},
        {"bad pointer not held back", false, StoreToABadPointer, 0,
         "", "before\ncaught BadPointerException\n"},
    };
    for (const Case &c : cases) {
        ChildResult r = RunInChild([&c] {
            exc_context_begin(1, exc_print_exception);
            printf("before\n");
            fflush(stdout);
            EXC_TRY {
                if (c.held_back) exc_defer_signals_begin();
                c.fault();
            } EXC_CATCH(RuntimeException) {
                printf("caught %s\n", exc_get_exception()->type_name);
            }
            exc_context_end();
        });
        EXPECT_EQ(r.term_signal, c.term_signal) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        std::string err = c.err;
        if (!err.empty()) err += kHeldBackText;
        EXPECT_EQ(r.err, err) << c.name;
    }
}

TEST(ExitStatus, TheFrameworksOwnExitsUseTheStatusSet) {
    struct Case {
        const char *name;
        void (*run)();
        int exit_status;
        const char *err_begins;
    } cases[] = {
        {"uncaught exception, default status",
         [] {
             exc_context_begin(1, exc_print_exception);
             EXC_THROW(RuntimeException, "escaped");
         },
         1, "\n\nUncaught RuntimeException: escaped\n\n"},
        {"uncaught exception",
         [] {
             exc_set_exit_status(3);
             exc_context_begin(1, exc_print_exception);
             EXC_THROW(RuntimeException, "escaped");
         },
         3, "\n\nUncaught RuntimeException: escaped\n\n"},
        {"uncaught signal",
         [] {
             exc_context_begin(1, exc_print_exception);
             exc_set_exit_status(4);
             raise(SIGTERM);
         },
         4, "\n\nUncaught TerminationException: Termination signal received.\n\n"},
        {"fatal error",
         [] {
             exc_set_exit_status(3);
             exc_context_begin(0, nullptr);
             exc_context_begin(0, nullptr);
         },
         3, "\n\nUncaught ContextAlreadyBegun: "},
        {"exit check",
         [] {
             exc_set_exit_status(255);
             exc_context_begin(0, nullptr);
         },
         255, "\n\nUncaught ContextNotEnded: "},
        {"a status out of range is a fatal error",
         [] {
             exc_set_exit_status(3);
             exc_set_exit_status(256);
         },
         3,
         "\n\nUncaught IllegalArgumentException: exc_set_exit_status: The exit status must be "
         "between 1 and 255.\n\nThe value of errno"},
        {"zero is out of range", [] { exc_set_exit_status(0); }, 1,
         "\n\nUncaught IllegalArgumentException: exc_set_exit_status: "},
    };
    for (const Case &c : cases) {
        ChildResult r = RunInChild(c.run);
        EXPECT_EQ(r.exit_status, c.exit_status) << c.name << r.err;
        EXPECT_EQ(r.err.compare(0, std::string(c.err_begins).size(), c.err_begins), 0)
            << c.name << r.err;
    }
    ChildResult r = RunInChild([] {
        int before = exc_get_exit_status();
        exc_set_exit_status(3);
        printf("%d %d\n", before, exc_get_exit_status());
    });
    EXPECT_EQ(r.out, "1 3\n");
    EXPECT_EQ(r.exit_status, 0);
}

}  // namespace
