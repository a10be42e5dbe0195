/*
 * password_and_login_message_test.cpp - the generated password and the
 * login message as they are laid out byte for byte; no gateway needed.
 */
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>

#include "gateway/gateway.h"

namespace {

bool HasPasswordFormat(const char *text) {
    if (strlen(text) != 9) return false;
    auto capital = [](char c) { return c >= 'B' && c <= 'Z'; };
    auto small = [](char c) { return c >= 'b' && c <= 'z'; };
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return capital(text[0]) && small(text[1]) && capital(text[2]) && small(text[3]) &&
           text[4] == '_' && digit(text[5]) && digit(text[6]) && digit(text[7]) &&
           digit(text[8]);
}

TEST(RandomPassword, EveryCharacterInItsRangeAndBothEndsReached) {
    std::set<char> capitals, smalls, first_digits;
    for (int i = 0; i < 3000; ++i) {
        char buffer[20];
        RandomPassword(buffer, sizeof buffer);
        ASSERT_TRUE(HasPasswordFormat(buffer)) << buffer;
        capitals.insert(buffer[0]);
        capitals.insert(buffer[2]);
        smalls.insert(buffer[1]);
        smalls.insert(buffer[3]);
        first_digits.insert(buffer[5]);
    }
    /* 25 letters each (A and a never), all of them drawn. */
    EXPECT_EQ(capitals.size(), 25u);
    EXPECT_EQ(smalls.size(), 25u);
    EXPECT_EQ(*capitals.begin(), 'B');
    EXPECT_EQ(*capitals.rbegin(), 'Z');
    EXPECT_EQ(*smalls.begin(), 'b');
    EXPECT_EQ(*smalls.rbegin(), 'z');
    EXPECT_EQ(first_digits.size(), 10u);
}

TEST(RandomPassword, TwoCallsInTheSameSecondDiffer) {
    char first[20], second[20];
    RandomPassword(first, sizeof first);
    RandomPassword(second, sizeof second);
    EXPECT_STRNE(first, second);
}

TEST(RandomPassword, CapacityBelowTwentyGivesTheEmptyText) {
    char buffer[32];
    memset(buffer, 'x', sizeof buffer);
    RandomPassword(buffer, 19);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(buffer[1], 'x');
    RandomPassword(buffer, -1);
    EXPECT_STREQ(buffer, "");
    RandomPassword(buffer, 32);
    EXPECT_TRUE(HasPasswordFormat(buffer));
    EXPECT_EQ(buffer[10], 'x') << "wrote past the terminator";
}

LoginRecord Record(const char *port) {
    LoginRecord record;
    memset(&record, 0, sizeof record);
    strcpy(record.user_name, "demo");
    strcpy(record.password, "demo-pass");
    strcpy(record.host, "127.0.0.1");
    strcpy(record.port, port);
    return record;
}

TEST(LoginMessage, FieldsApplicationNameFlagAndTail) {
    LoginRecord record = Record("9000");
    GwLoginMessage login_message;
    memset(&login_message, 0xAA, sizeof login_message);
    BuildLoginMessage(&login_message, &record);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&login_message);

    EXPECT_STREQ(login_message.user_name, "demo");
    EXPECT_STREQ(login_message.password, "demo-pass");
    EXPECT_STREQ(login_message.host, "127.0.0.1");
    for (size_t i = strlen("127.0.0.1"); i < 128; ++i) ASSERT_EQ(bytes[64 + i], 0) << i;
    EXPECT_EQ(login_message.port, 9000);
    int32_t host_order_port;
    memcpy(&host_order_port, bytes + 192, 4);
    EXPECT_EQ(host_order_port, 9000);
    EXPECT_EQ(memcmp(bytes + 196, "Velmar_gwcheck", 14), 0);
    for (int i = 196 + 14; i < 232; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
}

TEST(LoginMessage, PortTextReadTheWayAtoiReadsIt) {
    EXPECT_EQ(PortNumber("9000"), 9000);
    EXPECT_EQ(PortNumber("9000abc"), 9000);
    EXPECT_EQ(PortNumber("abc"), 0);
    EXPECT_EQ(PortNumber("-5"), -5);
    EXPECT_EQ(PortNumber(" +12"), 12);
    EXPECT_EQ(PortNumber(""), 0);
    /* Out of range: clamped instead of undefined. */
    EXPECT_EQ(PortNumber("99999999999"), INT32_MAX);
    EXPECT_EQ(PortNumber("-99999999999"), INT32_MIN);

    LoginRecord record = Record("-5");
    GwLoginMessage login_message;
    BuildLoginMessage(&login_message, &record);
    EXPECT_EQ(login_message.port, -5);
}

TEST(LoginMessage, UnterminatedRecordFieldsStayInsideTheirFields) {
    LoginRecord record;
    memset(&record, 'u', sizeof record.user_name);
    memset(record.password, 'p', sizeof record.password);
    memset(record.host, 'h', sizeof record.host);
    memset(record.port, '7', sizeof record.port);
    record.logged_in = 0;
    GwLoginMessage login_message;
    BuildLoginMessage(&login_message, &record);
    /* Each text field of the message keeps its terminator, whatever the record holds. */
    EXPECT_EQ(std::string(login_message.user_name), std::string(31, 'u'));
    EXPECT_EQ(std::string(login_message.password), std::string(31, 'p'));
    EXPECT_EQ(std::string(login_message.host), std::string(127, 'h'));
    EXPECT_EQ(login_message.port, 77777777);
}

}  // namespace
