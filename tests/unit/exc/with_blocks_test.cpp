/*
 * with_blocks_test.cpp - with-blocks stage by stage, and the same blocks
 * compiled as C and as C++ (block_runs.inc) doing the same.
 */
#include <gtest/gtest.h>

#include <string>

#include "exc/exc.h"
#include "tests/unit/exc/block_runs.h"

namespace {

class WithBlocksTest : public ::testing::Test {
protected:
    void SetUp() override { exc_context_begin(1, nullptr); }
    void TearDown() override { exc_context_end(); }
};

struct WithCase {
    const char *name;
    WithScenario scenario;
    const char *trace;
};

const WithCase kWithCases[] = {
    {"clean", {kNowhere, kCaughtType, 0, kNowhere, kReacquire, 0},
     "acquire acquired use dispose finally after"},
    {"exception in the acquisition: no use, no disposal",
     {kInAcquire, kCaughtType, 1, kNowhere, kReacquire, 0},
     "acquire catch:acquire finally after"},
    {"exception in the use: disposal before the catch clause",
     {kInUse, kCaughtType, 1, kNowhere, kReacquire, 0},
     "acquire acquired use dispose catch:use finally after"},
    {"exception in the disposal", {kInDispose, kCaughtType, 1, kNowhere, kReacquire, 0},
     "acquire acquired use dispose catch:dispose finally after"},
    {"exception in the catch clause leaves with the caught one as cause",
     {kInCatch, kCaughtType, 2, kNowhere, kReacquire, 0},
     "acquire acquired use dispose catch:use finally outer:catch <-use"},
    {"exception in the finally clause", {kInFinally, kCaughtType, 1, kNowhere, kReacquire, 0},
     "acquire acquired use dispose finally outer:finally"},
    {"exception no clause takes: disposal, finally, out",
     {kInUse, kOtherType, 1, kNowhere, kReacquire, 0},
     "acquire acquired use dispose finally outer:use"},
    {"signal in the use", {kInUse, kSignal, 1, kNowhere, kReacquire, 0},
     "acquire acquired use dispose finally outer:User-defined signal 1 received."},
    {"reacquire after a failed use", {kInUse, kCaughtType, 1, kInCatch, kReacquire, 1},
     "acquire acquired use dispose catch:use acquire acquired use dispose finally after"},
    {"reacquire after failed acquisitions, up to its limit",
     {kInAcquire, kCaughtType, 5, kInCatch, kReacquire, 2},
     "acquire catch:acquire acquire catch:acquire acquire catch:acquire finally after"},
    {"reacquire in the use disposes of the held resource first",
     {kNowhere, kCaughtType, 0, kInUse, kReacquire, 1},
     "acquire acquired use dispose acquire acquired use dispose finally after"},
    {"retry from the catch clause acquires anew",
     {kInUse, kCaughtType, 1, kInCatch, kRetry, 1},
     "acquire acquired use dispose catch:use acquire acquired use dispose finally after"},
    {"retry in the use keeps the resource", {kNowhere, kCaughtType, 0, kInUse, kRetry, 1},
     "acquire acquired use use dispose finally after"},
};

TEST_F(WithBlocksTest, StagesInCAndCpp) {
    for (const WithCase &c : kWithCases) {
        char trace[512];
        RunWithBlockCpp(&c.scenario, trace, sizeof trace);
        EXPECT_EQ(std::string(trace), c.trace) << "C++: " << c.name;
        RunWithBlockC(&c.scenario, trace, sizeof trace);
        EXPECT_EQ(std::string(trace), c.trace) << "C: " << c.name;
        EXPECT_EQ(exc_get_status(), 0) << c.name;
    }
}

TEST_F(WithBlocksTest, TryBlocksInCAndCpp) {
    const std::string expected =
        "retried:4:Runner failure. status:2 rethrown:''<-Runner failure. "
        "signal:SIGUSR2:12 status:1";
    char trace[512];
    RunTryBlocksCpp(trace, sizeof trace);
    EXPECT_EQ(std::string(trace), expected);
    RunTryBlocksC(trace, sizeof trace);
    EXPECT_EQ(std::string(trace), expected);
}

}  // namespace
