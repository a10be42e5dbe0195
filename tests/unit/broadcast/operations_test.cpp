/*
 * operations_test.cpp - subscription, unsubscription and polling against the
 * scripted fake gateway: the lines printed, the calls made with their
 * records, the buffer sizes offered, and what is held afterwards.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "broadcast/broadcast.h"
#include "tests/unit/broadcast/fake_gateway.h"

namespace {

constexpr int32_t kEventTypes = GWAPI_EVENT_TYPE_LIST;
constexpr int32_t kInfObjs = GWAPI_EVENT_INFO_OBJECT_LIST;
constexpr int32_t kBroadcasts = GWAPI_EVENT_BROADCASTS;

class BroadcastOperations : public testing::Test {
protected:
    void SetUp() override { ResetFakeGateway(); }
    void TearDown() override { ResetFakeGateway(); }

    static void QueueRead(int32_t code, int32_t status, const std::string &bytes = "",
                          int64_t length_out = -1) {
        Fake().reads[code].push_back(FakeRead{status, bytes, length_out});
    }

    /* Runs f with standard output captured; returns what it printed. */
    template <typename F>
    static std::string Output(F f) {
        testing::internal::CaptureStdout();
        f();
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }

    /* Runs an operation with what it prints thrown away; its result. */
    static int32_t Quiet(int32_t (*operation)()) {
        int32_t result = 0;
        (void)Output([&] { result = operation(); });
        return result;
    }

    static std::vector<int32_t> PlainSetTypes() {
        std::vector<int32_t> types;
        for (const FakeSetCall &call : Fake().set_calls) {
            if (!call.has_record) types.push_back(call.event_type);
        }
        return types;
    }
};

using Types = std::vector<int32_t>;
using Sizes = std::vector<uint32_t>;

TEST_F(BroadcastOperations, PositiveListStatusIsAFailedRead) {
    QueueRead(kInfObjs, 3, InfObjListBytes(1, {{"BO5"}}));
    EXPECT_EQ(Output([] { EXPECT_EQ(SubscrAllInfObj(), 3); }),
              "Error: Status = 3\nError retrieving info objects, status=3\n");
    EXPECT_TRUE(Fake().set_calls.empty());
    EXPECT_EQ(subscribedInfObjBuffer, nullptr);

    QueueRead(kEventTypes, 2, "4,5");
    EXPECT_EQ(Output([] { EXPECT_EQ(SubscrAllBroadcasts(), 2); }),
              "Subscribing to all available broadcasts.\nError : Completion status = 2\n");
    EXPECT_TRUE(Fake().set_calls.empty());
    EXPECT_EQ(eventTypeBuffer, nullptr);
    EXPECT_EQ(eventTypeBufferSize, 0u);
}

TEST_F(BroadcastOperations, ListBufferDoublesTheLengthTheRefusedCallLeaves) {
    QueueRead(kInfObjs, -13, "", 5000);
    QueueRead(kInfObjs, 0, InfObjListBytes(0, {}));
    EXPECT_EQ(Quiet(SubscrAllInfObj), 0);
    EXPECT_EQ(Fake().offered_sizes[kInfObjs], (Sizes{2048, 10000}));
}

TEST_F(BroadcastOperations, ListBufferGrowthEndsAt16MiB) {
    /* A gateway that refuses every size, once even leaving the length at 0. */
    QueueRead(kEventTypes, -13, "", 0);
    for (int i = 0; i < 40; ++i) QueueRead(kEventTypes, -13);
    int32_t result = 0;
    EXPECT_EQ(Output([&] { result = SubscrAllBroadcasts(); }),
              "Subscribing to all available broadcasts.\n"
              "Error : Completion status = -13\n");
    EXPECT_EQ(result, -13);
    const Sizes &sizes = Fake().offered_sizes[kEventTypes];
    ASSERT_GE(sizes.size(), 3u);
    EXPECT_EQ(sizes[1], 200u);
    EXPECT_EQ(sizes.back(), kMaxListBufferSize);
    EXPECT_EQ(sizes[sizes.size() - 2], 100u << 17);
    EXPECT_EQ(eventTypeBuffer, nullptr);
    EXPECT_EQ(eventTypeBufferSize, 0u);
    EXPECT_TRUE(Fake().set_calls.empty());

    /* A refused call claiming a length past the limit goes straight to it. */
    ResetFakeGateway();
    QueueRead(kInfObjs, -13, "", 0xFFFFFFFFu);
    QueueRead(kInfObjs, -13);
    EXPECT_EQ(Output([] { EXPECT_EQ(SubscrAllInfObj(), -13); }),
              "Error: Status = -13\nError retrieving info objects, status=-13\n");
    EXPECT_EQ(Fake().offered_sizes[kInfObjs], (Sizes{2048, kMaxListBufferSize}));
}

TEST_F(BroadcastOperations, DeliveredLengthBeyondTheBufferIsCut) {
    /* Whatever lies in the rest of the buffer is walked, but nothing beyond it. */
    QueueRead(kEventTypes, 0, "4,", 1u << 30);
    EXPECT_EQ(Quiet(SubscrAllBroadcasts), 0);
    EXPECT_EQ(eventTypeBufferSize, 100u);
    EXPECT_EQ(PlainSetTypes().front(), 4);
}

TEST_F(BroadcastOperations, CountZeroAndCountBeyondTheDeliveredItems) {
    QueueRead(kInfObjs, 0, InfObjListBytes(0, {{"BO5"}}));
    EXPECT_EQ(Output([] { EXPECT_EQ(SubscrAllInfObj(), 0); }), "");
    EXPECT_EQ(subscribedInfObjCount, 0u);
    EXPECT_TRUE(Fake().set_calls.empty());

    ResetFakeGateway();
    QueueRead(kInfObjs, 0, InfObjListBytes(1000000, {{"BO5"}, {"BO6"}}) + "partial");
    EXPECT_EQ(Output([] { EXPECT_EQ(SubscrAllInfObj(), 0); }),
              "gwapi_set_event_ex : Subscribe : 'BO5' : Accepted.\n"
              "gwapi_set_event_ex : Subscribe : 'BO6' : Accepted.\n"
              "Information-object list truncated: 1000000 items announced, 2 delivered.\n");
    EXPECT_EQ(subscribedInfObjCount, 2u);

    ResetFakeGateway();
    QueueRead(kInfObjs, 0, "ab");
    EXPECT_EQ(Output([] { EXPECT_EQ(SubscrAllInfObj(), 0); }),
              "Information-object list too short: 2 bytes delivered, no count.\n");
}

TEST_F(BroadcastOperations, PositivePlainSubscriptionIsASuccessAndTheResult) {
    QueueRead(kEventTypes, 0, "2,3");
    Fake().on_set = [](int32_t type, InfObjSubscription *) { return type == 3 ? 4 : 0; };
    EXPECT_EQ(Output([] { EXPECT_EQ(SubscrAllBroadcasts(), 4); }),
              "Subscribing to all available broadcasts.\n"
              "Event Type=2\nSubscription status: Success\n"
              "Event Type=3\nSubscription status: Success\n");
}

TEST_F(BroadcastOperations, UnsubscribesEverythingAndReleasesBoth) {
    QueueRead(kEventTypes, 0, std::string("7,1,9\0", 6));
    QueueRead(kInfObjs, 0, InfObjListBytes(3, {{"BO1"}, {"BO2"}, {"BO3"}}));
    uint32_t clear_key = 100;
    Fake().on_set = [&](int32_t, InfObjSubscription *record) {
        if (record != nullptr) record->clearKey = clear_key++;
        return 0;
    };
    ASSERT_EQ(Quiet(SubscrAllBroadcasts), 0);
    Fake().on_clear = [](int32_t type, const InfObjUnsubscription *record) {
        return type == 1 && record->clearKey == 101 ? -9 : 0;
    };
    EXPECT_EQ(Output([] { UnsubscrAllBroadcasts(); }),
              "Unsubscribe all broadcasts.\nError, Status = -9\n");
    EXPECT_EQ(glUnsubscribeStatus, -9) << "the first failed clear, for the run's account";
    const std::vector<FakeClearCall> &calls = Fake().clear_calls;
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].event_type, 7);
    EXPECT_FALSE(calls[0].has_record);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(calls[1 + i].event_type, 1);
        EXPECT_EQ(swapint32(calls[1 + i].record.length), 8u);
        EXPECT_EQ(calls[1 + i].record.clearKey, 100u + i);
    }
    EXPECT_EQ(calls[4].event_type, 9);
    EXPECT_EQ(subscribedInfObjBuffer, nullptr);
    EXPECT_EQ(subscribedInfObjCount, 0u);
    EXPECT_EQ(eventTypeBuffer, nullptr);
    EXPECT_EQ(eventTypeBufferSize, 0u);
}

TEST_F(BroadcastOperations, FailedPlainClearEndsTheWalkButReleasesTheList) {
    QueueRead(kEventTypes, 0, "4,5,1");
    QueueRead(kInfObjs, 0, InfObjListBytes(1, {{"BO1"}}));
    ASSERT_EQ(Quiet(SubscrAllBroadcasts), 0);
    Fake().on_clear = [](int32_t type, const InfObjUnsubscription *) { return type == 5 ? -1 : 0; };
    EXPECT_EQ(Output([] { UnsubscrAllBroadcasts(); }),
              "Unsubscribe all broadcasts.\nFail : Status = -1\n");
    EXPECT_EQ(glUnsubscribeStatus, -1);
    EXPECT_EQ(Fake().clear_calls.size(), 2u);
    EXPECT_EQ(eventTypeBuffer, nullptr);
    EXPECT_EQ(subscribedInfObjCount, 1u); /* not reached: still held */
}

TEST_F(BroadcastOperations, InformationObjectsListedTwice) {
    QueueRead(kEventTypes, 0, "1,1");
    QueueRead(kInfObjs, 0, InfObjListBytes(2, {{"BO1"}, {"BO2"}}));
    QueueRead(kInfObjs, 0, InfObjListBytes(1, {{"BO3"}}));
    ASSERT_EQ(Quiet(SubscrAllBroadcasts), 0);
    /* The first table was released (the leak check would see it otherwise). */
    ASSERT_EQ(subscribedInfObjCount, 1u);
    EXPECT_EQ(swapint16(subscribedInfObjBuffer[0].key.broadcastId.number), 3);
    (void)Output([] { UnsubscrAllBroadcasts(); });
    EXPECT_EQ(Fake().clear_calls.size(), 1u);
}

TEST_F(BroadcastOperations, PollingUntilTheNetworkStatusBroadcast) {
    QueueRead(kBroadcasts, -26);
    QueueRead(kBroadcasts, 0, BroadcastBufferBytes({}));
    QueueRead(kBroadcasts, 0, BroadcastBufferBytes({BroadcastItemBytes("BO5", "ab")}));
    QueueRead(kBroadcasts, 0,
              BroadcastBufferBytes({BroadcastItemBytes("BO6", "c"),
                                    BroadcastItemBytes("BN1", NetworkStatusBody(1)),
                                    BroadcastItemBytes("BO7", "d")}));
    int32_t result = -1;
    EXPECT_EQ(Output([&] { result = PollBroadcasts(); }),
              "Waiting for broadcasts...\n"
              "Broadcast received : BO5\n"
              "Broadcast received : BO6\n"
              "Broadcast received : BN1\n"
              "BN1 Network status: 1\n"
              "Exiting now...\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(glNetworkStatusRead, 1);
    EXPECT_EQ(glNetworkStatus, 1);
    EXPECT_EQ(Fake().pauses, (std::vector<unsigned>{1000, 1000, 1000}));
    EXPECT_EQ(Fake().offered_sizes[kBroadcasts], (Sizes{64000, 64000, 64000, 64000}));
}

/* BN1 arrived, so polling ends, but without the status the check waited for. */
TEST_F(BroadcastOperations, NetworkStatusBroadcastWithoutItsStatusEndsPolling) {
    QueueRead(kBroadcasts, 0,
              BroadcastBufferBytes({BroadcastItemBytes("BO5", "ab"),
                                    BroadcastItemBytes("BN1", std::string("\x01\x00", 2))}));
    QueueRead(kBroadcasts, 0, BroadcastBufferBytes({BroadcastItemBytes("BN1", NetworkStatusBody(1))}));
    int32_t result = 0;
    EXPECT_EQ(Output([&] { result = PollBroadcasts(); }),
              "Waiting for broadcasts...\n"
              "Broadcast received : BO5\n"
              "Broadcast received : BN1\n"
              "BN1 broadcast too short: 2 body bytes, no network status.\n"
              "Exiting now...\n");
    EXPECT_EQ(result, kPollNoNetworkStatus);
    EXPECT_EQ(glNetworkStatusRead, 0);
    EXPECT_LT(result, 0) << "the run counts a negative result as a failed poll";
    EXPECT_NE(result, GWAPI_NO_BROADCASTS);
    EXPECT_TRUE(Fake().pauses.empty());
    EXPECT_EQ(Fake().reads[kBroadcasts].size(), 1u) << "no further read";
}

TEST_F(BroadcastOperations, PollingNeverShowsBytesOfAnEarlierRead) {
    QueueRead(kBroadcasts, 0,
              BroadcastBufferBytes({BroadcastItemBytes("BO1", std::string(20, 'x')),
                                    BroadcastItemBytes("BN1", NetworkStatusBody(1))}));
    /* The first read is cut before BN1; the second one delivers less still. */
    Fake().reads[kBroadcasts].front().length_out = 4 + 26;
    QueueRead(kBroadcasts, 0, std::string(4, '\0') + BroadcastItemBytes("BO2", "y"));
    QueueRead(kBroadcasts, -1);
    int32_t result = 0;
    EXPECT_EQ(Output([&] { result = PollBroadcasts(); }),
              "Waiting for broadcasts...\n"
              "Broadcast received : BO1\n"
              "Broadcast received : BO2\n"
              "gwapi_read_event_ext_ex : PollBroadcasts: status=-1\n");
    /* The failed read ends polling at once: a pause after each of the first two only. */
    EXPECT_EQ(result, -1);
    EXPECT_EQ(Fake().pauses, (std::vector<unsigned>{1000, 1000}));
}

}  // namespace
