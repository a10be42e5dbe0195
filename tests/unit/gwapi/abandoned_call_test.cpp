/*
 * abandoned_call_test.cpp - calls abandoned by a jump out of a signal
 * handler, the way the program's framework leaves a call on a signal. The
 * next call on the session must get its own answer (or a clean "connection
 * lost" / "not connected"), never the abandoned call's, and never hang.
 */
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/time.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gwapi/gwapi.h"
#include "gwapi/library_status.h"
#include "tests/support/gwsim_process.h"

using namespace gwapi_internal;

namespace {

sigjmp_buf jump_target;
volatile sig_atomic_t jump_armed = 0;

void jump_out(int) {
    if (jump_armed) {
        jump_armed = 0;
        siglongjmp(jump_target, 1);
    }
}

void arm_timer(long microseconds) {
    itimerval timer{};
    timer.it_value.tv_sec = microseconds / 1000000;
    timer.it_value.tv_usec = microseconds % 1000000;
    setitimer(ITIMER_REAL, &timer, nullptr);
}

void disarm_timer() {
    jump_armed = 0;
    itimerval timer{};
    setitimer(ITIMER_REAL, &timer, nullptr);
}

const char *const kScenario = R"(
facility_type = 5
[users.demo]
password = "demo-pass"
user_info = "XYABCDE"
[event_types]
list = "1,7,9"
)";

class AbandonedCall : public ::testing::Test {
protected:
    void SetUp() override {
        struct sigaction action{};
        action.sa_handler = jump_out;
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, &previous_);
    }

    void TearDown() override {
        disarm_timer();
        sigaction(SIGALRM, &previous_, nullptr);
        gwapi_close_session(session_);
        gwsim_.reset();
    }

    void start(const std::string &extra) {
        gwsim_ = std::make_unique<GwsimProcess>(std::string(kScenario) + extra);
        ASSERT_TRUE(gwsim_->started()) << gwsim_->error();
        session_ = gwapi_create_session();
        ASSERT_GE(login(), 0);
    }

    int32_t login(const char *host = "127.0.0.1") {
        const GwLoginMessage message = make_login("demo", "demo-pass", gwsim_->port(), host);
        int32_t transaction_status = 0;
        return gwapi_login_ex(session_, &transaction_status, &message);
    }

    int32_t info(int32_t item, std::string &out) {
        char buffer[16] = {};
        int32_t length = item == 1 ? 12 : 4;
        int32_t transaction_status = 0;
        const int32_t status = gwapi_get_info_ex(session_, &transaction_status, item, &length, buffer);
        out.assign(buffer, status >= 0 ? static_cast<std::size_t>(length) : 0);
        return status;
    }

    /* Runs info(item) and jumps out of it after `microseconds`. True if it was abandoned. */
    bool abandoned_info(int32_t item, long microseconds) {
        /* Nothing with a destructor lives in this frame across the jump. */
        static char buffer[16];
        static int32_t length;
        static int32_t transaction_status;
        if (sigsetjmp(jump_target, 1) != 0) return true;
        length = item == 1 ? 12 : 4;
        jump_armed = 1;
        if (microseconds > 0) arm_timer(microseconds);
        gwapi_get_info_ex(session_, &transaction_status, item, &length, buffer);
        disarm_timer();
        return false;
    }

    /* Runs info(item) and jumps out of it once gwsim has taken the call's
     * request, the nth get_info of the test: the call then waits for the
     * answer, which the scenario holds back. True if it was abandoned. */
    bool abandoned_info_once_taken(int32_t item, int nth) {
        const pthread_t caller = pthread_self();
        std::thread watcher([this, caller, nth] {
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, nullptr);
            if (gwsim_->wait_for_request("gwapi_get_info_ex", nth)) pthread_kill(caller, SIGALRM);
        });
        const bool abandoned = abandoned_info(item, 0);
        watcher.join();
        return abandoned;
    }

    std::unique_ptr<GwsimProcess> gwsim_;
    gwapi_session_t session_ = nullptr;
    struct sigaction previous_{};
};

const std::string kUserInfo = "XYABCDE     ";
const std::string kFacilityType("\0\0\0\5", 4);

}  // namespace

TEST_F(AbandonedCall, WhileWaitingTheLateAnswerIsSkipped) {
    /* The delay only has to outlast the jump, which follows the request's
     * journal line at once; the next call waits for the late answer first. */
    start(R"(
[[faults]]
call = "gwapi_get_info_ex"
arg = 2
nth = 1
delay_ms = 1000
)");
    ASSERT_TRUE(abandoned_info_once_taken(2, 1));
    std::string out;
    ASSERT_EQ(info(1, out), 0);
    EXPECT_EQ(out, kUserInfo);
    ASSERT_EQ(info(2, out), 0);
    EXPECT_EQ(out, kFacilityType);
}

TEST_F(AbandonedCall, HangingCallAbandonedThenTheSessionGoesOn) {
    start(R"(
[[faults]]
call = "gwapi_get_info_ex"
arg = 1
nth = 1
action = "hang"
)");
    ASSERT_TRUE(abandoned_info_once_taken(1, 1));
    std::string out;
    ASSERT_EQ(info(2, out), 0);
    EXPECT_EQ(out, kFacilityType);
    ASSERT_EQ(info(1, out), 0);
    EXPECT_EQ(out, kUserInfo);
}

/*
 * Jumps out at many different moments of logins and requests: whatever the
 * moment, the next call answers correctly or cleanly fails, and a new login
 * brings the session back.
 */
TEST_F(AbandonedCall, AtAnyMomentTheNextAnswerIsTheRightOne) {
    start("");
    std::mt19937 random(12345);
    int abandoned = 0;
    for (int round = 0; round < 150; ++round) {
        const long delay = 1 + static_cast<long>(random() % 400);
        const bool during_login = round % 5 == 0;
        const int32_t item = 1 + static_cast<int32_t>(random() % 2);
        if (during_login) {
            if (sigsetjmp(jump_target, 1) == 0) {
                jump_armed = 1;
                arm_timer(delay);
                login(round % 10 == 0 ? "localhost" : "127.0.0.1");
                disarm_timer();
            } else {
                ++abandoned;
            }
        } else if (abandoned_info(item, delay)) {
            ++abandoned;
        }

        /* A call that waited for the abandoned call's answer would end in
         * an answer timeout, which the statuses below do not accept. */
        std::string out;
        const int32_t status = info(1, out);
        if (status == 0) {
            ASSERT_EQ(out, kUserInfo) << "round " << round;
            ASSERT_EQ(info(2, out), 0);
            ASSERT_EQ(out, kFacilityType) << "round " << round;
        } else {
            ASSERT_TRUE(status == kStatusConnectionLost || status == kStatusNotConnected ||
                        status == kStatusNotLoggedIn)
                << "round " << round << " status " << status;
            ASSERT_GE(login(), 0) << "round " << round;
        }
    }
    EXPECT_GT(abandoned, 0);
}
