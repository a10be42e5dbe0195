/*
 * blocks_test.cpp - try/catch/finally blocks: which clause takes an
 * exception, when finally runs, causes, status, retry, and the exception
 * records themselves.
 */
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "exc/exc.h"
#include "tests/support/child_process.h"

EXC_DECLARE_EXCEPTION(TestException);
EXC_DEFINE_EXCEPTION(TestException, "Test default message.", IllegalArgumentException);

namespace {

/* Each test runs inside a fresh context without signal handling. */
class BlocksTest : public ::testing::Test {
protected:
    void SetUp() override { exc_context_begin(0, nullptr); }
    void TearDown() override { exc_context_end(); }
};

/* What the blocks below saw, in order. */
std::vector<std::string> events;

TEST_F(BlocksTest, FirstMatchingClauseInSourceOrderTakesTheException) {
    events.clear();
    EXC_TRY {
        events.push_back("body");
        EXC_THROW(TestException, "boom");
        events.push_back("after throw");
    } EXC_CATCH(BadPointerException) {
        events.push_back("bad pointer");
    } EXC_CATCH(IllegalArgumentException) {
        events.push_back(std::string("illegal argument: ") + exc_get_exception()->message);
    } EXC_CATCH(RuntimeException) {
        events.push_back("runtime");
    } EXC_FINALLY {
        events.push_back("finally");
    }
    EXPECT_EQ(events, (std::vector<std::string>{"body", "illegal argument: boom", "finally"}));
}

TEST_F(BlocksTest, CleanBodyRunsFinallyOnceAndNeverConsultsCatch) {
    events.clear();
    int status_in_finally = -1;
    EXC_TRY {
        events.push_back("body");
    } EXC_CATCH(RuntimeException) {
        events.push_back("catch");
    } EXC_FINALLY {
        events.push_back("finally");
        status_in_finally = exc_get_status();
    }
    EXPECT_EQ(events, (std::vector<std::string>{"body", "finally"}));
    EXPECT_EQ(status_in_finally, 0);
}

TEST_F(BlocksTest, StatusInFinallyIsCaughtOrPending) {
    volatile int caught_status = -1;
    volatile int pending_status = -1;
    EXC_TRY {
        EXC_THROW(TestException, nullptr);
    } EXC_CATCH(TestException) {
    } EXC_FINALLY {
        caught_status = exc_get_status();
    }
    EXC_TRY {
        EXC_TRY {
            EXC_THROW(TestException, nullptr);
        } EXC_FINALLY {
            pending_status = exc_get_status();
        }
    } EXC_CATCH(RuntimeException) {
    }
    EXPECT_EQ(caught_status, 1);
    EXPECT_EQ(pending_status, 2);
}

TEST_F(BlocksTest, UncaughtExceptionPassesFinallyToTheOuterRuntimeClause) {
    events.clear();
    EXC_TRY {
        EXC_TRY {
            EXC_THROW(TestException, "inner");
        } EXC_CATCH(BadPointerException) {
            events.push_back("wrong clause");
        } EXC_FINALLY {
            events.push_back("inner finally");
        }
        events.push_back("after inner block");
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        events.push_back(std::string(e->type_name) + ": " + e->message);
        EXPECT_EQ(e->caused_by, nullptr);
    }
    EXPECT_EQ(events, (std::vector<std::string>{"inner finally", "TestException: inner"}));
}

TEST_F(BlocksTest, ThrowFromCatchCarriesTheCaughtExceptionAsCause) {
    events.clear();
    EXC_TRY {
        EXC_TRY {
            EXC_THROW(TestException, "first");
        } EXC_CATCH(TestException) {
            EXC_THROW(InputOutputException, nullptr);
        } EXC_CATCH(RuntimeException) {
            events.push_back("second clause must not run");
        } EXC_FINALLY {
            events.push_back("finally");
        }
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        EXPECT_STREQ(e->type_name, "InputOutputException");
        EXPECT_STREQ(e->message, "Input/output exception.");
        ASSERT_NE(e->caused_by, nullptr);
        EXPECT_STREQ(e->caused_by->message, "first");
        EXPECT_EQ(e->caused_by->caused_by, nullptr);
    }
    EXPECT_EQ(events, (std::vector<std::string>{"finally"}));
}

TEST_F(BlocksTest, ThrowFromFinallyCarriesThePendingExceptionAsCause) {
    volatile int finally_runs = 0;
    EXC_TRY {
        EXC_TRY {
            EXC_THROW(TestException, "pending");
        } EXC_FINALLY {
            finally_runs = finally_runs + 1;
            EXC_THROW(InputOutputException, "from finally");
        }
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        EXPECT_STREQ(e->message, "from finally");
        ASSERT_NE(e->caused_by, nullptr);
        EXPECT_STREQ(e->caused_by->message, "pending");
    }
    EXPECT_EQ(finally_runs, 1);
}

TEST_F(BlocksTest, RetryWithTwoAttemptsRunsTheBodyAtMostThreeTimes) {
    volatile int runs = 0;
    volatile int handled = 0;
    EXC_TRY {
        EXC_TRY {
            runs = runs + 1;
            EXC_THROW(TestException, nullptr);
        } EXC_CATCH(TestException) {
            EXC_RETRY(2);
            handled = handled + 1;
        }
    } EXC_CATCH(RuntimeException) {
        ADD_FAILURE() << "the exception must stay in the retried block";
    }
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(handled, 1);
}

TEST_F(BlocksTest, RetryWithZeroAttemptsDoesNothing) {
    volatile int runs = 0;
    EXC_TRY {
        runs = runs + 1;
        EXC_THROW(TestException, nullptr);
    } EXC_CATCH(TestException) {
        EXC_RETRY(0);
    }
    EXPECT_EQ(runs, 1);
}

TEST_F(BlocksTest, MessagesAreCutDefaultedOrLeftEmpty) {
    std::string long_message(200, 'm');
    EXC_TRY {
        EXC_THROW(TestException, long_message.c_str());
    } EXC_CATCH(TestException) {
        EXPECT_EQ(std::string(exc_get_exception()->message), std::string(127, 'm'));
    }
    EXC_TRY {
        EXC_THROW(TestException, nullptr);
    } EXC_CATCH(TestException) {
        EXPECT_STREQ(exc_get_exception()->message, "Test default message.");
    }
    EXC_TRY {
        EXC_THROW(TestException, "");
    } EXC_CATCH(TestException) {
        EXPECT_STREQ(exc_get_exception()->message, "");
    }
}

TEST_F(BlocksTest, ThrowRecordsItsSiteAndErrno) {
    int expected_line = 0;
    EXC_TRY {
        errno = 42;
        expected_line = __LINE__ + 1;
        EXC_THROW(TestException, nullptr);
    } EXC_CATCH(TestException) {
        const Exception *e = exc_get_exception();
        EXPECT_EQ(e->source_line, expected_line);
        EXPECT_NE(std::string(e->source_file).find("blocks_test.cpp"), std::string::npos);
        EXPECT_STREQ(e->source_function, "TestBody");
        EXPECT_EQ(e->errno_value, 42);
        EXPECT_EQ(e->type, &TestException);
    }
}

TEST_F(BlocksTest, NullTypeThrowsNullPointerException) {
    EXC_TRY {
        exc_exception_throw_verbatim_(nullptr, __FILE__, __LINE__, __func__, nullptr);
    } EXC_CATCH(BadPointerException) {
        EXPECT_STREQ(exc_get_exception()->type_name, "NullPointerException");
        EXPECT_STREQ(exc_get_exception()->message, "Null pointer.");
    }
}

TEST_F(BlocksTest, RethrowKeepsTheTypeWithAnEmptyMessage) {
    EXC_TRY {
        EXC_TRY {
            EXC_THROW(TestException, "original");
        } EXC_CATCH(TestException) {
            EXC_RETHROW();
        }
    } EXC_CATCH(TestException) {
        EXPECT_STREQ(exc_get_exception()->message, "");
        EXPECT_STREQ(exc_get_exception()->caused_by->message, "original");
    }
}

TEST_F(BlocksTest, InstanceTestFollowsTheHierarchy) {
    EXC_TRY {
        EXC_THROW(NullPointerException, nullptr);
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        EXPECT_EQ(exc_is_instance_of(e, &RuntimeException), 1);
        EXPECT_EQ(exc_is_instance_of(e, &SignalException), 1);
        EXPECT_EQ(exc_is_instance_of(e, &BadPointerException), 1);
        EXPECT_EQ(exc_is_instance_of(e, &ControlSignalException), 0);
    }
    Exception assertion{};
    assertion.type = &AssertionException;
    EXPECT_EQ(exc_is_instance_of(&assertion, &RuntimeException), 0);
    EXPECT_EQ(exc_is_instance_of(&assertion, &AssertionException), 1);
}

TEST_F(BlocksTest, InstanceTestWithNullArgumentsThrows) {
    EXC_TRY {
        exc_is_instance_of(nullptr, &RuntimeException);
    } EXC_CATCH(NullPointerException) {
        EXPECT_STREQ(exc_get_exception()->message, "Null exception instance.");
        EXPECT_STREQ(exc_get_exception()->source_file, "exc");
        EXPECT_STREQ(exc_get_exception()->source_function, "exc_is_instance_of");
    }
    Exception any{};
    any.type = &RuntimeException;
    EXC_TRY {
        exc_is_instance_of(&any, nullptr);
    } EXC_CATCH(NullPointerException) {
        EXPECT_STREQ(exc_get_exception()->message, "Null exception type.");
    }
}

TEST_F(BlocksTest, NullCatchTypeGoesUnnoticedInACleanBlock) {
    volatile bool ran = false;
    EXC_TRY {
        ran = true;
    } else if (exc_frame_catch_(nullptr, __FILE__, __LINE__, __func__)) {
    }
    EXPECT_TRUE(ran);
}

TEST_F(BlocksTest, ExceptionInsideAFunctionAbandonsItsRest) {
    events.clear();
    auto thrower = [] {
        events.push_back("before");
        EXC_THROW(TestException, nullptr);
    };
    EXC_TRY {
        thrower();
        events.push_back("not reached");
    } EXC_CATCH(TestException) {
        events.push_back("caught");
    }
    EXPECT_EQ(events, (std::vector<std::string>{"before", "caught"}));
}

TEST(ContextTest, VersionAndReadiness) {
    EXPECT_EQ(exc_library_version(), 2008015);
    EXPECT_EQ(exc_context_is_ready(), 0);
    exc_context_begin(0, nullptr);
    EXPECT_EQ(exc_context_is_ready(), 1);
    EXPECT_EQ(exc_get_status(), 0);
    EXPECT_EQ(exc_get_exception(), nullptr);
    exc_context_end();
    EXPECT_EQ(exc_context_is_ready(), 0);
    /* A context can be begun again after it ended. */
    exc_context_begin(0, nullptr);
    exc_context_end();
}

TEST(ContextTest, AssertionExceptionIsNeverCaughtButRunsEveryFinally) {
    ChildResult r = RunInChild([] {
        exc_context_begin(0, nullptr);
        EXC_TRY {
            EXC_TRY {
                EXC_THROW(AssertionException, nullptr);
            } EXC_CATCH(AssertionException) {
                printf("inner catch\n");
            } EXC_FINALLY {
                printf("inner finally\n");
            }
        } EXC_CATCH(RuntimeException) {
            printf("outer catch\n");
        } EXC_FINALLY {
            printf("outer finally\n");
        }
        printf("after the blocks\n");
    });
    EXPECT_EQ(r.out, "inner finally\nouter finally\n");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "");
}

TEST(ContextTest, RetryInAFinallyDoesNotRepeatAPendingAssertion) {
    ChildResult r = RunInChild([] {
        exc_context_begin(0, exc_print_exception);
        EXC_TRY {
            EXC_THROW(AssertionException, "stop");
        } EXC_FINALLY {
            printf("finally\n");
            EXC_RETRY(INT_MAX);
        }
    });
    EXPECT_EQ(r.out, "finally\n");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("Uncaught AssertionException: stop"), std::string::npos);
}

}  // namespace
