/*
 * walks_test.cpp - the pure walks over delivered bytes: event-type numbers,
 * the information-object list's extent, and broadcast buffers. Every input
 * sits in a heap block of exactly its delivered size, so the sanitizer build
 * catches any read past it.
 */
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "broadcast/broadcast.h"
#include "tests/unit/broadcast/fake_gateway.h"

namespace {

/* A heap copy of exactly the given bytes. */
struct ExactBytes {
    explicit ExactBytes(const std::string &bytes) : size(static_cast<uint32_t>(bytes.size())) {
        data = static_cast<char *>(malloc(bytes.empty() ? 1 : bytes.size()));
        memcpy(data, bytes.data(), bytes.size());
    }
    ~ExactBytes() { free(data); }
    ExactBytes(const ExactBytes &) = delete;
    ExactBytes &operator=(const ExactBytes &) = delete;
    char *data;
    uint32_t size;
};

/* Every event type the list walk sees, the way the subscription walk steps. */
std::vector<int32_t> WalkEventTypes(const std::string &text) {
    ExactBytes list(text);
    std::vector<int32_t> types;
    uint32_t position = 0;
    while (position < list.size) {
        int32_t type = 0;
        position = ParseEventType(list.data, list.size, position, &type);
        types.push_back(type);
    }
    return types;
}

using Types = std::vector<int32_t>;

TEST(EventTypeList, SeparatorsAndTerminator) {
    EXPECT_EQ(WalkEventTypes(std::string("1,7,9\0", 6)), (Types{1, 7, 9}));
    EXPECT_EQ(WalkEventTypes(std::string("1,7,\0", 5)), (Types{1, 7, 0}));
    EXPECT_EQ(WalkEventTypes("5,,6"), (Types{5, 0, 6}));
    EXPECT_EQ(WalkEventTypes("5  6"), (Types{5, 6}));
    EXPECT_EQ(WalkEventTypes(""), Types{});
}

TEST(EventTypeList, NumberEndingAtTheDeliveredLengthIsNotReadPast) {
    EXPECT_EQ(WalkEventTypes("12"), (Types{12}));
    EXPECT_EQ(WalkEventTypes("3,   "), (Types{3, 0, 0, 0}));
    /* Only the delivered length counts, even when more digits follow in memory. */
    ExactBytes list("123");
    int32_t type = 0;
    EXPECT_EQ(ParseEventType(list.data, 2, 0, &type), 3u);
    EXPECT_EQ(type, 12);
}

TEST(EventTypeList, SignsAndValuesCutTo32Bits) {
    EXPECT_EQ(WalkEventTypes("-3,+7"), (Types{-3, 7}));
    EXPECT_EQ(WalkEventTypes(" \t\n42"), (Types{42}));
    EXPECT_EQ(WalkEventTypes("4294967297"), (Types{1}));
    EXPECT_EQ(WalkEventTypes("4294967295"), (Types{-1}));
    EXPECT_EQ(WalkEventTypes("99999999999999999999999"), (Types{-1}));
}

TEST(EventTypeList, NoDigitsLeaveThePositionWhereItWas) {
    ExactBytes list("  -x9");
    int32_t type = 77;
    EXPECT_EQ(ParseEventType(list.data, list.size, 0, &type), 1u);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(ParseEventType(list.data, list.size, 3, &type), 4u);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(ParseEventType(list.data, list.size, 4, &type), 6u);
    EXPECT_EQ(type, 9);
}

/* Random lists of digits, signs, blanks and separators: each parse moves on,
 * and nothing past the delivered length is read (the sanitizer build checks). */
TEST(EventTypeList, RandomListsStayInBounds) {
    std::mt19937 random(7);
    const char alphabet[] = "0123456789+- ,\t\0";
    for (int round = 0; round < 500; ++round) {
        std::string text(random() % 40, '\0');
        for (char &c : text) c = alphabet[random() % (sizeof alphabet - 1)];
        ExactBytes list(text);
        uint32_t position = 0;
        while (position < list.size) {
            int32_t type = 0;
            uint32_t next = ParseEventType(list.data, list.size, position, &type);
            ASSERT_GT(next, position);
            position = next;
        }
    }
}

TEST(InfObjListExtent, CountAgainstDeliveredItems) {
    std::string three = InfObjListBytes(3, {{"BO1"}, {"BO2"}, {"BO3"}});
    ExactBytes whole(three);
    InfObjListExtent extent =
        MeasureInfObjList(reinterpret_cast<const InfObjList *>(whole.data), whole.size);
    EXPECT_TRUE(extent.count_delivered);
    EXPECT_EQ(extent.announced, 3u);
    EXPECT_EQ(extent.walkable, 3u);

    /* The count claims more than arrived; a partial item is not walked. */
    std::string cut = InfObjListBytes(0xFFFFFFFFu, {{"BO1"}, {"BO2"}, {"BO3"}});
    ExactBytes partial(cut.substr(0, cut.size() - 5));
    extent = MeasureInfObjList(reinterpret_cast<const InfObjList *>(partial.data), partial.size);
    EXPECT_EQ(extent.announced, 0xFFFFFFFFu);
    EXPECT_EQ(extent.walkable, 2u);
    InfObjItem second = InfObjListItem(reinterpret_cast<const InfObjList *>(partial.data), 1);
    EXPECT_EQ(std::string(second.key.broadcastId.letters, 2), "BO");
    EXPECT_EQ(swapint16(second.key.broadcastId.number), 2);

    ExactBytes short_list(std::string("\0\0", 2));
    extent = MeasureInfObjList(reinterpret_cast<const InfObjList *>(short_list.data), 2);
    EXPECT_FALSE(extent.count_delivered);
    EXPECT_EQ(extent.walkable, 0u);
}

/* Runs ShowBroadcasts over an exact heap copy and returns what it printed. */
std::string Show(const std::string &bytes, int32_t *result, int64_t delivered = -1) {
    ExactBytes buffer(bytes);
    testing::internal::CaptureStdout();
    *result = ShowBroadcasts(buffer.data, delivered < 0 ? buffer.size
                                                        : static_cast<uint32_t>(delivered));
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(ShowBroadcasts, StopsAtTheNetworkStatusBroadcast) {
    int32_t result = -1;
    std::string out = Show(BroadcastBufferBytes({BroadcastItemBytes("BO5", "\x01\x02"),
                                                 BroadcastItemBytes("BN10", "abc"),
                                                 BroadcastItemBytes("BN1", NetworkStatusBody(1)),
                                                 BroadcastItemBytes("BO6", "x")}),
                           &result);
    EXPECT_EQ(out,
              "Broadcast received : BO5\n"
              "Broadcast received : BN10\n"
              "Broadcast received : BN1\n"
              "BN1 Network status: 1\n");
    EXPECT_EQ(result, 1);
}

TEST(ShowBroadcasts, NetworkStatusAndLengthAreInHostOrder) {
    if constexpr (std::endian::native != std::endian::little) {
        GTEST_SKIP() << "byte patterns below are written for a little-endian host";
    }
    int32_t result = -1;
    std::string bn1 = BroadcastItemBytes("BN1", std::string("\0\0\0\x01", 4));
    EXPECT_EQ(Show(BroadcastBufferBytes({bn1}), &result),
              "Broadcast received : BN1\nBN1 Network status: 16777216\n");

    /* Length bytes 08 00: an eight-byte body, then the next item. */
    std::string head("\x08\x00" "AB\x00\x07", 6);
    std::string bytes = std::string(4, '\0') + head + "12345678" +
                        BroadcastItemBytes("BN1", NetworkStatusBody(-5)) + std::string(2, '\0');
    EXPECT_EQ(Show(bytes, &result),
              "Broadcast received : AB7\nBroadcast received : BN1\nBN1 Network status: -5\n");
    EXPECT_EQ(result, 1);
}

TEST(ShowBroadcasts, ZeroLengthInTheMiddleEndsTheWalk) {
    int32_t result = -1;
    std::string bytes = BroadcastBufferBytes({BroadcastItemBytes("BO1", "a")}) +
                        BroadcastItemBytes("BN1", NetworkStatusBody(1));
    EXPECT_EQ(Show(bytes, &result), "Broadcast received : BO1\n");
    EXPECT_EQ(result, 0);

    EXPECT_EQ(Show(BroadcastBufferBytes({}), &result), "");
    EXPECT_EQ(Show("", &result), "");
}

TEST(ShowBroadcasts, ItemRunningPastTheDeliveredBytesIsNotShown) {
    int32_t result = -1;
    std::string whole = BroadcastBufferBytes(
        {BroadcastItemBytes("BO1", "a"), BroadcastItemBytes("BN1", NetworkStatusBody(1))});
    /* Cut inside BN1's body: BO1 is shown, BN1 is not. */
    std::string out = Show(whole.substr(0, 4 + 7 + 8), &result);
    EXPECT_EQ(out,
              "Broadcast received : BO1\n"
              "Broadcast item at offset 11 runs past the 19 bytes delivered; rest ignored.\n");
    EXPECT_EQ(result, 0);

    /* Cut inside a length field. */
    out = Show(whole.substr(0, 4 + 7 + 1), &result);
    EXPECT_EQ(out,
              "Broadcast received : BO1\n"
              "Broadcast item at offset 11 runs past the 12 bytes delivered; rest ignored.\n");

    /* Delivered bytes ending cleanly at an item boundary, without a zero length field. */
    EXPECT_EQ(Show(whole.substr(0, 4 + 7), &result), "Broadcast received : BO1\n");
}

TEST(ShowBroadcasts, WalkStaysWithinTheBroadcastBuffer) {
    /* A full buffer of items with no end marker, announced as longer than the buffer. */
    std::string bytes(4, '\0');
    std::string item = BroadcastItemBytes("BO9", std::string(994, 'q'));
    while (bytes.size() + item.size() <= kBroadcastBufferSize) {
        bytes += item;
    }
    std::string tail_item = BroadcastItemBytes("BN1", std::string(4000, '\x01'));
    bytes += tail_item.substr(0, kBroadcastBufferSize - bytes.size());
    ASSERT_EQ(bytes.size(), kBroadcastBufferSize);
    int32_t result = -1;
    std::string out = Show(bytes, &result, 1 << 20);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out.find("BN1"), std::string::npos);
    EXPECT_NE(out.find("runs past the 64000 bytes delivered"), std::string::npos);
}

TEST(ShowBroadcasts, NetworkStatusBroadcastTooShortForItsStatus) {
    int32_t result = -1;
    std::string out = Show(BroadcastBufferBytes({BroadcastItemBytes("BN1", std::string("\x01\x00", 2))}), &result);
    EXPECT_EQ(out,
              "Broadcast received : BN1\n"
              "BN1 broadcast too short: 2 body bytes, no network status.\n");
    EXPECT_EQ(result, -1);
}

/* Random buffers: every walk ends, stays within the delivered bytes (the
 * sanitizer build checks), and reports BN1 only with its status line. */
TEST(ShowBroadcasts, RandomBuffersStayInBounds) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(random() % 300, '\0');
        for (char &c : bytes) {
            /* Small values make short items and the letters B/N likely. */
            unsigned r = random() % 8;
            c = r < 4 ? static_cast<char>(r) : (r < 6 ? 'B' : (r == 6 ? 'N' : static_cast<char>(random())));
        }
        int32_t result = -1;
        std::string out = Show(bytes, &result);
        EXPECT_EQ(result == 1, out.find("BN1 Network status: ") != std::string::npos) << out;
        EXPECT_EQ(result == -1, out.find("BN1 broadcast too short: ") != std::string::npos) << out;
    }
}

}  // namespace
