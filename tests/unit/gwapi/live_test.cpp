/*
 * live_test.cpp - the library against a live gwsim on loopback: every call
 * with its success path, the gateway's failure answers, short buffers, the
 * end of the broadcast reads, faults (status override, hang, close, delay)
 * and what the library sends as the simulator's journal records it.
 */
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gwapi/gwapi.h"
#include "gwapi/library_status.h"
#include "tests/support/gwsim_process.h"

using namespace gwapi_internal;

namespace {

const char *const kBaseScenario = R"(
facility_type = 5
query_answer = "0011aabb"

[users.demo]
password = "demo-pass"
user_info = "XYABCDE"

[users.old]
password = "old-pass"
password_expired = true

[event_types]
list = "1,7,9"

[[info_objects]]
name = "BO5"

[[info_objects]]
name = "BO6"
auto_loaded = true

[[info_objects]]
name = "BX7"
reply_status = 5

[[broadcast_reads]]
broadcasts = [ { name = "BO5", body = "0102" }, { name = "BN1", network_status = 1 } ]

[[broadcast_reads]]
status = -1
)";

/* A gwsim with the base scenario plus `extra` (faults), and one session. */
class LiveGateway : public ::testing::Test {
protected:
    void start(const std::string &extra = "") {
        gwsim_ = std::make_unique<GwsimProcess>(std::string(kBaseScenario) + extra);
        ASSERT_TRUE(gwsim_->started()) << gwsim_->error();
        session_ = gwapi_create_session();
        ASSERT_NE(session_, nullptr);
    }

    void TearDown() override {
        gwapi_close_session(session_);
        unsetenv("GWAPI_ANSWER_TIMEOUT_MS");
        gwsim_.reset();
    }

    int32_t login(const char *user = "demo", const char *password = "demo-pass") {
        const GwLoginMessage message = make_login(user, password, gwsim_->port());
        return gwapi_login_ex(session_, &transaction_status_, &message);
    }

    /* get_info into `out`, with `capacity` as the caller's length word. */
    int32_t info(int32_t item, std::vector<uint8_t> &out, int32_t capacity) {
        out.assign(64, 0xEE);
        int32_t length = capacity;
        const int32_t status = gwapi_get_info_ex(session_, &transaction_status_, item, &length, out.data());
        if (status >= 0) out.resize(static_cast<std::size_t>(length));
        return status;
    }

    int32_t read_event(int32_t code, std::vector<uint8_t> &out, uint32_t capacity, uint32_t *length_out = nullptr) {
        out.assign(capacity + 16, 0xEE);
        uint32_t length = capacity;
        const int32_t status = gwapi_read_event_ext_ex(session_, code, out.data(), &length, 0, 1);
        if (length_out != nullptr) *length_out = length;
        return status;
    }

    std::unique_ptr<GwsimProcess> gwsim_;
    gwapi_session_t session_ = nullptr;
    int32_t transaction_status_ = 0;
};

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

}  // namespace

TEST_F(LiveGateway, LoginAndInformationItems) {
    start();
    ASSERT_GE(login(), 0);
    std::vector<uint8_t> out;
    ASSERT_EQ(info(2, out, 4), 0);
    EXPECT_EQ(out, bytes({0, 0, 0, 5}));
    ASSERT_EQ(info(1, out, 12), 0);
    EXPECT_EQ(std::string(out.begin(), out.end()), "XYABCDE     ");

    /* Too small: -13, nothing written, the length word as it was. */
    out.assign(8, 0xEE);
    int32_t length = 3;
    EXPECT_EQ(gwapi_get_info_ex(session_, &transaction_status_, 1, &length, out.data()), -13);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(out[0], 0xEE);

    transaction_status_ = 99;
    EXPECT_EQ(info(77, out, 12), -1);
    EXPECT_EQ(transaction_status_, -600164);
    EXPECT_GE(gwapi_logout_ex(session_, &transaction_status_), 0);
    EXPECT_EQ(info(2, out, 4), kStatusNotLoggedIn);
}

TEST_F(LiveGateway, RejectedLoginsAndPasswordRenewal) {
    start();
    EXPECT_EQ(login("demo", "wrong"), kStatusInvalidUserOrPassword);
    std::vector<uint8_t> out;
    EXPECT_EQ(info(2, out, 4), kStatusNotLoggedIn);
    EXPECT_EQ(login("nobody", "x"), kStatusInvalidUserOrPassword);

    EXPECT_EQ(login("old", "old-pass"), 2027);
    GwSetNewPasswordMessage change{};
    std::strcpy(change.old_password, "old-pass");
    std::strcpy(change.new_password, "Bc_Dd_0007");
    EXPECT_EQ(gwapi_set_newpwd_ex(session_, &transaction_status_, &change), 0);
    EXPECT_EQ(login("old", "Bc_Dd_0007"), 0);
    EXPECT_EQ(info(2, out, 4), 0);
}

TEST_F(LiveGateway, EventListsAndSubscriptions) {
    start();
    ASSERT_GE(login(), 0);
    std::vector<uint8_t> out;
    uint32_t length = 0;
    ASSERT_EQ(read_event(1000, out, 100, &length), 0);
    ASSERT_EQ(length, 6u);
    EXPECT_EQ(std::memcmp(out.data(), "1,7,9\0", 6), 0);
    EXPECT_EQ(read_event(1000, out, 5, &length), -13);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(out[0], 0xEE);

    ASSERT_EQ(read_event(1002, out, 2048, &length), 0);
    ASSERT_EQ(length, 4u + 3 * 16);
    EXPECT_EQ(swapint32(*reinterpret_cast<const uint32_t *>(out.data())), 3u);
    GwInfObjItem items[3];
    std::memcpy(items, out.data() + 4, sizeof items);
    EXPECT_EQ(std::string(items[0].key.broadcastId.letters, 2), "BO");
    EXPECT_EQ(swapint16(items[0].key.broadcastId.number), 5);
    EXPECT_EQ(items[0].autoLoaded, 0u);
    EXPECT_NE(items[1].autoLoaded, 0u);

    /* Accepted and rejected subscriptions write back clearKey and replyStatus. */
    GwInfObjSubscription accepted{};
    accepted.length = swapint32(24);
    accepted.key = items[0].key;
    accepted.replyStatus = 0x7777;
    EXPECT_GE(gwapi_set_event_ex(session_, 1, &accepted), 0);
    EXPECT_EQ(accepted.replyStatus, 0);
    EXPECT_EQ(std::memcmp(&accepted.key, &items[0].key, sizeof accepted.key), 0);

    GwInfObjSubscription rejected{};
    rejected.length = swapint32(24);
    rejected.key = items[2].key;
    gwapi_set_event_ex(session_, 1, &rejected);
    EXPECT_EQ(static_cast<int32_t>(swapint32(static_cast<uint32_t>(rejected.replyStatus))), 5);

    EXPECT_GE(gwapi_set_event_ex(session_, 7, nullptr), 0);
    GwInfObjUnsubscription clear{swapint32(8), accepted.clearKey};
    EXPECT_GE(gwapi_clear_event_ex(session_, 1, &clear), 0);
    EXPECT_LT(gwapi_clear_event_ex(session_, 1, &clear), 0) << "already cleared";
    EXPECT_GE(gwapi_clear_event_ex(session_, 7, nullptr), 0);
    EXPECT_EQ(gwapi_set_event_ex(session_, 1, nullptr), kStatusInvalidArgument);
}

TEST_F(LiveGateway, BroadcastReadsAreLaidOutThenRunOut) {
    start();
    ASSERT_GE(login(), 0);
    std::vector<uint8_t> out;
    uint32_t length = 0;

    /* A batch that does not fit: -13, nothing written past the capacity, and kept for the next read. */
    ASSERT_EQ(read_event(999, out, 20, &length), -13);
    EXPECT_EQ(length, 20u);
    for (std::size_t i = 20; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << i;

    ASSERT_EQ(read_event(999, out, 64000, &length), 0);
    ASSERT_EQ(length, 4u + (6 + 2) + (6 + 4) + 2);
    uint16_t item_length = 0;
    std::memcpy(&item_length, out.data() + 4, 2);
    EXPECT_EQ(item_length, 2);
    EXPECT_EQ(out[6], 'B');
    EXPECT_EQ(out[7], 'O');
    EXPECT_EQ(out[8], 0);
    EXPECT_EQ(out[9], 5);
    EXPECT_EQ(out[10], 1);
    EXPECT_EQ(out[11], 2);
    std::memcpy(&item_length, out.data() + 12, 2);
    EXPECT_EQ(item_length, 4);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out.data() + 14), 2), "BN");
    int32_t network_status = 0;
    std::memcpy(&network_status, out.data() + 18, 4);
    EXPECT_EQ(network_status, 1);
    std::memcpy(&item_length, out.data() + 22, 2);
    EXPECT_EQ(item_length, 0);

    EXPECT_EQ(read_event(999, out, 64000, &length), -1);
    EXPECT_EQ(read_event(999, out, 64000, &length), -26);
    EXPECT_EQ(read_event(999, out, 64000, &length), -26);
}

TEST_F(LiveGateway, TransactionsAndQueries) {
    start();
    ASSERT_GE(login(), 0);
    alignas(4) uint8_t framed[4 + 3];
    const int32_t payload_length = 3;
    std::memcpy(framed, &payload_length, 4);
    std::memcpy(framed + 4, "abc", 3);
    GwMessageDescriptor descriptor{framed, 0};
    char transaction_id[8] = {};
    int32_t order_id = 0;
    EXPECT_GE(gwapi_tx_ex(session_, &transaction_status_, 5, &descriptor, transaction_id, &order_id), 0);
    EXPECT_NE(order_id, 0);
    char second_id[8] = {};
    EXPECT_GE(gwapi_tx_ex(session_, &transaction_status_, 5, &descriptor, second_id, &order_id), 0);
    EXPECT_NE(std::memcmp(transaction_id, second_id, 8), 0);

    /* Lengths outside 0..63996 are refused before anything is sent. */
    for (const int32_t bad : {-1, 63997, 0x7fffffff}) {
        std::memcpy(framed, &bad, 4);
        EXPECT_EQ(gwapi_tx_ex(session_, &transaction_status_, 5, &descriptor, transaction_id, &order_id),
                  kStatusMessageLength);
        int32_t answer_length = 16;
        int32_t scratch = 0;
        uint8_t answer[16];
        EXPECT_EQ(gwapi_query_ex(session_, &transaction_status_, 5, framed, 1, answer, &answer_length,
                                 transaction_id, &scratch),
                  kStatusMessageLength);
    }
    std::memcpy(framed, &payload_length, 4);

    uint8_t answer[16];
    std::memset(answer, 0xEE, sizeof answer);
    int32_t answer_length = sizeof answer;
    int32_t scratch = 42;
    EXPECT_GE(gwapi_query_ex(session_, &transaction_status_, 5, framed, 1, answer, &answer_length,
                             transaction_id, &scratch),
              0);
    EXPECT_EQ(answer_length, 4);
    EXPECT_EQ(std::vector<uint8_t>(answer, answer + 4), bytes({0x00, 0x11, 0xaa, 0xbb}));
    EXPECT_EQ(scratch, 0);

    answer_length = 2;
    std::memset(answer, 0xEE, sizeof answer);
    EXPECT_EQ(gwapi_query_ex(session_, &transaction_status_, 5, framed, 1, answer, &answer_length,
                             transaction_id, &scratch),
              -13);
    EXPECT_EQ(answer_length, 2);
    EXPECT_EQ(answer[0], 0xEE);
}

TEST_F(LiveGateway, StatusOverrideFaultReachesTheCaller) {
    start(R"(
[[faults]]
call = "gwapi_get_info_ex"
arg = 2
completion_status = -1
transaction_status = -600164
)");
    ASSERT_GE(login(), 0);
    std::vector<uint8_t> out;
    EXPECT_EQ(info(2, out, 4), -1);
    EXPECT_EQ(transaction_status_, -600164);
    EXPECT_EQ(info(1, out, 12), 0);
    EXPECT_EQ(transaction_status_, 0);
}

TEST_F(LiveGateway, HangingAnswerTimesOutAndTheSessionGoesOn) {
    start(R"(
[[faults]]
call = "gwapi_get_info_ex"
arg = 2
nth = 1
action = "hang"
)");
    ASSERT_GE(login(), 0);
    setenv("GWAPI_ANSWER_TIMEOUT_MS", "200", 1);
    std::vector<uint8_t> out;
    transaction_status_ = 99;
    EXPECT_EQ(info(2, out, 4), kStatusAnswerTimeout);
    EXPECT_EQ(transaction_status_, 0);
    /* The next answer comes at once; the default timeout leaves it all the time it needs. */
    unsetenv("GWAPI_ANSWER_TIMEOUT_MS");
    ASSERT_EQ(info(2, out, 4), 0);
    EXPECT_EQ(out, bytes({0, 0, 0, 5}));
}

TEST_F(LiveGateway, LateAnswerIsNotTakenForTheNextOne) {
    /* The answer comes long after the call gave up, however late this
     * process gets to run at its deadline. */
    start(R"(
[[faults]]
call = "gwapi_get_info_ex"
arg = 2
nth = 1
delay_ms = 1000
)");
    ASSERT_GE(login(), 0);
    setenv("GWAPI_ANSWER_TIMEOUT_MS", "100", 1);
    std::vector<uint8_t> out;
    EXPECT_EQ(info(2, out, 4), kStatusAnswerTimeout);
    unsetenv("GWAPI_ANSWER_TIMEOUT_MS");
    ASSERT_EQ(info(1, out, 12), 0);
    EXPECT_EQ(std::string(out.begin(), out.end()), "XYABCDE     ");
}

TEST_F(LiveGateway, DroppedConnectionIsReportedThenNotConnected) {
    start(R"(
[[faults]]
call = "gwapi_get_info_ex"
action = "close"

[[faults]]
call = "gwapi_set_event_ex"
action = "close"
)");
    ASSERT_GE(login(), 0);
    std::vector<uint8_t> out;
    EXPECT_EQ(info(2, out, 4), kStatusConnectionLost);
    EXPECT_EQ(info(2, out, 4), kStatusNotConnected);
    /* A new login opens a new connection. */
    EXPECT_GE(login(), 0);
    uint32_t length = 0;
    EXPECT_EQ(read_event(1000, out, 100, &length), 0);

    /* A subscription whose answer never came is not left looking accepted. */
    GwInfObjSubscription subscription{};
    subscription.length = swapint32(24);
    EXPECT_EQ(gwapi_set_event_ex(session_, 1, &subscription), kStatusConnectionLost);
    EXPECT_EQ(static_cast<int32_t>(swapint32(static_cast<uint32_t>(subscription.replyStatus))),
              kStatusConnectionLost);
}

TEST_F(LiveGateway, LoginMessageTravelsByteForByte) {
    start();
    ASSERT_GE(login(), 0);
    std::vector<uint8_t> out;
    info(2, out, 4);
    gwapi_logout_ex(session_, &transaction_status_);
    const std::string journal = gwsim_->journal();
    EXPECT_NE(journal.find("\"gwapi_login_ex\""), std::string::npos) << journal;
    EXPECT_NE(journal.find("\"gwapi_get_info_ex\""), std::string::npos) << journal;
    EXPECT_NE(journal.find("\"gwapi_logout_ex\""), std::string::npos) << journal;
    /* User name "demo" padded with NULs to 32 bytes, then the password field (zeroed by the
       journal), then the host; the application name later on. */
    const std::string user_hex = "64656d6f" + std::string(56, '0');
    EXPECT_NE(journal.find(user_hex + std::string(64, '0') + "3132372e302e302e31"), std::string::npos)
        << journal;
    EXPECT_NE(journal.find("56656c6d61725f6777636865636b"), std::string::npos) << journal;
}
