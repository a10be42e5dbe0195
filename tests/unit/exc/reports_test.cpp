/*
 * reports_test.cpp - what the framework writes to standard error, byte for
 * byte, and how it ends the process: the uncaught-exception report, the
 * hierarchy print, fatal errors and the exit check.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "exc/exc.h"
#include "tests/support/child_process.h"

namespace {

const std::string kRule(64, '_');
const std::string kUnrecoverable =
    "\n\nThis is an unrecoverable programming error; the application will be terminated\n"
    "immediately.\n";
const std::string kClosing =
    "\n\nIf this application is making use of threads, please recompile the exception "
    "framework\nwith thread support (by defining the macro EXC_THREADSAFE).\n\n\nThe program "
    "will now yield a failure exit code due to exception system errors.\n";

std::string Hierarchy(const std::string &path_lines) {
    return "Exception hierarchy\n" + kRule + "\n\n" + path_lines + kRule + "\n";
}

const std::string kFatalErrorPath =
    "    RuntimeException\n"
    "     |\n"
    "     +--ExceptionSystemFatalError\n";

/* The part of a report from the errno line on. */
std::string Tail(int errno_value, const std::string &path_lines) {
    return "The value of errno was " + std::to_string(errno_value) + ".\n\n" +
           Hierarchy(path_lines);
}

TEST(HierarchyPrint, BadPointerExceptionShowsThePathFromTheRoot) {
    ChildResult r = RunInChild([] { exc_print_exception_type(&BadPointerException); });
    EXPECT_EQ(r.err, Hierarchy("    RuntimeException\n"
                               "     |\n"
                               "     +--SignalException\n"
                               "         |\n"
                               "         +--ErrorSignalException\n"
                               "             |\n"
                               "             +--BadPointerException\n"));
    EXPECT_EQ(r.out, "");
}

TEST(HierarchyPrint, RootsPrintOnlyThemselves) {
    ChildResult r = RunInChild([] {
        exc_print_exception_type(&RuntimeException);
        exc_print_exception_type(&AssertionException);
    });
    EXPECT_EQ(r.err, Hierarchy("    RuntimeException\n") + Hierarchy("    AssertionException\n"));
}

TEST(UncaughtReport, CauseChainThrownAtLinesAndExitStatus) {
    ChildResult r = RunInChild([] {
        exc_context_begin(1, exc_print_exception);
        printf("buffered output before the end\n");
        EXC_TRY {
            errno = 0;
            EXC_THROW(IllegalArgumentException, "inner text");
        } EXC_CATCH(RuntimeException) {
            errno = 7;
            EXC_THROW(InputOutputException, "");
        }
    });
    const std::string site = "    thrown at operator() (" + std::string(__FILE__) + ":";
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "buffered output before the end\n");
    std::string head = "\n\nUncaught InputOutputException: \n\n" + site;
    ASSERT_EQ(r.err.compare(0, head.size(), head), 0) << r.err;
    EXPECT_NE(r.err.find(")\n\nCaused by IllegalArgumentException: inner text\n\n" + site),
              std::string::npos)
        << r.err;
    std::string tail = Tail(7, "    RuntimeException\n"
                               "     |\n"
                               "     +--InputOutputException\n");
    ASSERT_GE(r.err.size(), tail.size());
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
    EXPECT_EQ(r.err.find("errno was 0"), std::string::npos) << "only the outer errno is printed";
}

TEST(UncaughtReport, ExactBytesForAThrowOutsideEveryBlock) {
    ChildResult r = RunInChild([] {
        exc_context_begin(0, exc_print_exception);
        errno = 3;
        exc_exception_throw_verbatim_(&NullPointerException, "here.c", 12, "fn", nullptr);
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "\n\nUncaught NullPointerException: Null pointer.\n\n"
                     "    thrown at fn (here.c:12)\n\n" +
                         Tail(3, "    RuntimeException\n"
                                 "     |\n"
                                 "     +--SignalException\n"
                                 "         |\n"
                                 "         +--ErrorSignalException\n"
                                 "             |\n"
                                 "             +--BadPointerException\n"
                                 "                 |\n"
                                 "                 +--NullPointerException\n"));
}

TEST(UncaughtReport, ThrownAtLineWithoutFunctionAndWithoutFile) {
    ChildResult r = RunInChild([] {
        Exception e{};
        e.type_name = "X";
        snprintf(e.message, sizeof e.message, "m");
        e.source_file = "f.c";
        e.source_line = 9;
        Exception cause{};
        cause.type_name = "Y";
        e.caused_by = &cause;
        exc_print_exception(&e);
    });
    EXPECT_EQ(r.err, "\n\nUncaught X: m\n\n    thrown at f.c:9\n\nCaused by Y: \n\n"
                     "The value of errno was 0.\n\n");
}

TEST(FatalError, BeginningTheContextTwice) {
    ChildResult r = RunInChild([] {
        printf("kept\n");
        exc_context_begin(0, nullptr);
        errno = 0;
        exc_context_begin(0, nullptr);
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "kept\n");
    EXPECT_EQ(r.err, "\n\nUncaught ContextAlreadyBegun: exc_context_begin: The exception context "
                     "for this program has already begun.\n\n" +
                         Tail(0, kFatalErrorPath +
                                     "         |\n"
                                     "         +--ContextAlreadyBegun\n") +
                         kUnrecoverable + kClosing);
}

/* Leaves its block by return: the block's frame stays on the stack. */
void LeaveABlockByReturn() {
    EXC_TRY {
        return;
    }
}

TEST(FatalError, ABlockLeftOpen) {
    struct Case {
        void (*misuse)();
        const char *where;
    } cases[] = {
        {[] {
             EXC_TRY {
                 exc_context_end();
             }
         },
         "exc_context_end"},
        {[] {
             EXC_TRY {
                 LeaveABlockByReturn();
             }
         },
         "exc_frame_next_stage_"},
    };
    for (const Case &c : cases) {
        ChildResult r = RunInChild([&c] {
            exc_context_begin(0, nullptr);
            c.misuse();
        });
        EXPECT_EQ(r.exit_status, 1) << c.where;
        EXPECT_NE(r.err.find(std::string("\n\nUncaught ExceptionSystemFatalError: There are too "
                                         "many exception frames. Probably some try{...} block "
                                         "was exited through 'return' or 'break'.\n\n    thrown "
                                         "at ") +
                             c.where + " (exc:"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.substr(r.err.size() - kUnrecoverable.size() - kClosing.size()),
                  kUnrecoverable + kClosing);
    }
}

TEST(FatalError, MisuseOutsideABlockOrContext) {
    struct Case {
        void (*misuse)();
        const char *message;
    };
    const Case cases[] = {
        {[] {
             exc_context_begin(0, nullptr);
             EXC_RETRY(1);
         },
         "Uncaught ExceptionSystemFatalError: EXC_RETRY: There is no EXC_TRY block to retry."},
        {[] {
             exc_context_begin(0, nullptr);
             EXC_REACQUIRE(1);
         },
         "Uncaught ExceptionSystemFatalError: EXC_REACQUIRE: There is no EXC_WITH block to "
         "reacquire."},
        {[] {
             exc_context_begin(0, nullptr);
             EXC_TRY {
                 exc_frame_repeat_(1, 2, "f", 1, "g");
             }
         },
         "Uncaught ExceptionSystemFatalError: exc_frame_repeat: The specified stage can't be "
         "repeated.\n\n    thrown at g (f:1)"},
        {[] { exc_context_end(); },
         "Uncaught ContextHasNotBegunYet: exc_context_end: The exception context for this "
         "program has not begun yet.\n\nThe value"},
        {[] { EXC_THROW(RuntimeException, nullptr); },
         "Uncaught ContextHasNotBegunYet: exc_exception_throw_verbatim_: The exception context "
         "for this program has not begun yet."},
        {[] {
             EXC_TRY {
             }
         },
         "Uncaught ContextHasNotBegunYet: EXC_TRY: The exception context for this program has "
         "not begun yet."},
        {[] { exc_get_exception(); },
         "Uncaught ContextHasNotBegunYet: exc_get_exception: The exception context for this "
         "program has not begun yet."},
        {[] { exc_get_status(); },
         "Uncaught ContextHasNotBegunYet: exc_get_status: The exception context for this program "
         "has not begun yet."},
        {[] { exc_context_get_signal_mappings(); },
         "Uncaught ContextHasNotBegunYet: exc_context_get_signal_mappings: The exception context "
         "for this program has not begun yet."},
        {[] { exc_context_set_signal_mappings(nullptr); },
         "Uncaught ContextHasNotBegunYet: exc_context_set_signal_mappings: The exception context "
         "for this program has not begun yet."},
        {[] {
             exc_context_begin(0, nullptr);
             EXC_TRY {
                 EXC_THROW(RuntimeException, nullptr);
             } else if (exc_frame_catch_(nullptr, "site.c", 5, "fn")) {
             }
         },
         "Uncaught NullPointerException: EXC_CATCH: A NULL argument was passed.\n\n"
         "    thrown at fn (site.c:5)"},
    };
    for (const Case &c : cases) {
        ChildResult r = RunInChild(c.misuse);
        EXPECT_EQ(r.exit_status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(kUnrecoverable + kClosing), std::string::npos) << r.err;
    }
}

TEST(ExitCheck, ExitingWithTheContextBegunIsReported) {
    ChildResult r = RunInChild([] {
        exc_context_begin(0, nullptr);
        printf("still flushed\n");
        errno = 0;
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "still flushed\n");
    std::string head =
        "\n\nUncaught ContextNotEnded: The program did not end its exception context "
        "properly.\n\n    thrown at _exc_library_finalize (exc:";
    ASSERT_EQ(r.err.compare(0, head.size(), head), 0) << r.err;
    std::string tail = Tail(0, kFatalErrorPath +
                                   "         |\n"
                                   "         +--ContextNotEnded\n") +
                       kClosing;
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
    EXPECT_EQ(r.err.find("unrecoverable"), std::string::npos);
}

TEST(ExitCheck, CleanEndReportsNothing) {
    ChildResult r = RunInChild([] {
        exc_context_begin(1, exc_print_exception);
        exc_context_end();
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
}

}  // namespace
