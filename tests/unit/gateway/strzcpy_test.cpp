/* strzcpy_test.cpp - the bounded copy that cuts trailing blanks off a field. */
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "gateway/gateway.h"

namespace {

/* Copies `source` (length given, NULs allowed) into a destination of `size` bytes. */
std::string Copy(size_t size, const std::string &source) {
    char destination[16];
    memset(destination, '#', sizeof destination);
    strzcpy(destination, size, source.data(), source.size());
    /* The terminator must lie inside the destination. */
    const void *terminator = memchr(destination, '\0', size);
    EXPECT_NE(terminator, nullptr);
    EXPECT_EQ(destination[size], '#') << "wrote past the destination";
    return terminator ? std::string(destination) : std::string("<unterminated>");
}

TEST(Strzcpy, TwoByteCodeIntoThreeBytes) {
    EXPECT_EQ(Copy(3, "AB"), "AB");
    EXPECT_EQ(Copy(3, "A "), "A");
    EXPECT_EQ(Copy(3, "  "), "");
    EXPECT_EQ(Copy(3, " A"), " A");
}

TEST(Strzcpy, FiveByteCodeIntoSixBytes) {
    EXPECT_EQ(Copy(6, "123  "), "123");
    EXPECT_EQ(Copy(6, "12 45"), "12 45");
    EXPECT_EQ(Copy(6, "     "), "");
    /* The scan stops at the NUL nearest the end, so the blank before it stays. */
    EXPECT_EQ(Copy(6, std::string("AB \0\0", 5)), "AB ");
}

TEST(Strzcpy, SourceFillingTheDestinationGivesUpItsLastByte) {
    EXPECT_EQ(Copy(4, "ABCDEF"), "ABC");
    EXPECT_EQ(Copy(4, "AB C"), "AB ");
}

TEST(Strzcpy, EmptySourceAndOnlyTabsAreNotBlanks) {
    EXPECT_EQ(Copy(6, ""), "");
    EXPECT_EQ(Copy(6, "A\t"), "A\t");
    EXPECT_EQ(Copy(1, "A"), "");
}

TEST(Strzcpy, BytesAfterTheTerminatorAreLeftAlone) {
    char destination[6];
    memset(destination, '#', sizeof destination);
    strzcpy(destination, sizeof destination, "X", 1);
    EXPECT_STREQ(destination, "X");
    EXPECT_EQ(destination[2], '#');
}

}  // namespace
