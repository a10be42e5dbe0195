/*
 * offline_test.cpp - what the library does without a gateway: status texts,
 * byte swaps, calls before a connection, names that do not resolve, ports
 * with nothing listening, and a listener that never accepts.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "gwapi/gwapi.h"
#include "gwapi/library_status.h"
#include "tests/support/gwsim_process.h"

using namespace gwapi_internal;

namespace {

std::string text_of(int32_t status, int32_t capacity = 256, int32_t *result = nullptr,
                    int32_t *length_out = nullptr) {
    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);
    int32_t length = capacity;
    const int32_t rc = gwapi_get_message_ex(nullptr, status, buffer, &length, 0);
    if (result != nullptr) *result = rc;
    if (length_out != nullptr) *length_out = length;
    return rc >= 0 || rc == GWAPI_BUFFER_TOO_SMALL ? std::string(buffer) : std::string("<none>");
}

/* A loopback port on which nothing listens (bound, then released). */
int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

int32_t login(gwapi_session_t session, const GwLoginMessage &message) {
    int32_t transaction_status = 12345;
    return gwapi_login_ex(session, &transaction_status, &message);
}

}  // namespace

TEST(StatusTexts, GatewayStatusesHaveTheirFixedTexts) {
    EXPECT_EQ(text_of(-1), "General failure.");
    EXPECT_EQ(text_of(-13), "Buffer too small.");
    EXPECT_EQ(text_of(-26), "No broadcasts available.");
    EXPECT_EQ(text_of(2027), "Password has expired.");
    EXPECT_EQ(text_of(-600164), "Item not found.");
    int32_t length = 0;
    text_of(-13, 256, nullptr, &length);
    EXPECT_EQ(length, 17);
}

TEST(StatusTexts, LibraryStatusesHaveDistinctTexts) {
    const int32_t codes[] = {kStatusNotConnected,   kStatusConnectionLost, kStatusConnectTimeout,
                             kStatusAnswerTimeout,  kStatusProtocolError,  kStatusNameNotResolved,
                             kStatusConnectFailed,  kStatusInvalidArgument, kStatusNotLoggedIn,
                             kStatusInvalidUserOrPassword, kStatusVersionMismatch,
                             kStatusMessageLength};
    for (const int32_t code : codes) {
        EXPECT_LT(code, 0);
        int32_t rc = 1;
        const std::string text = text_of(code, 256, &rc);
        EXPECT_EQ(rc, 0) << code;
        EXPECT_FALSE(text.empty()) << code;
        for (const int32_t other : codes) {
            if (other == code) continue;
            EXPECT_NE(text, text_of(other)) << code << " " << other;
        }
    }
}

TEST(StatusTexts, UnknownStatusAndBadArgumentsAnswerNegative) {
    int32_t rc = 0;
    text_of(4242, 256, &rc);
    EXPECT_LT(rc, 0);
    text_of(0, 256, &rc);
    EXPECT_LT(rc, 0);
    int32_t length = 256;
    EXPECT_LT(gwapi_get_message_ex(nullptr, -1, nullptr, &length, 0), 0);
    char buffer[8];
    EXPECT_LT(gwapi_get_message_ex(nullptr, -1, buffer, nullptr, 0), 0);
    length = 0;
    EXPECT_LT(gwapi_get_message_ex(nullptr, -1, buffer, &length, 0), 0);
}

TEST(StatusTexts, ShortBufferGetsATerminatedPrefixAndNoMore) {
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    int32_t length = 5;
    EXPECT_EQ(gwapi_get_message_ex(nullptr, -1, buffer, &length, 0), GWAPI_BUFFER_TOO_SMALL);
    EXPECT_STREQ(buffer, "Gene");
    EXPECT_EQ(length, 4);
    EXPECT_EQ(buffer[5], 'x');
}

TEST(Swaps, ReverseByteOrder) {
    EXPECT_EQ(swapint16(0x0102), 0x0201);
    EXPECT_EQ(swapint16(swapint16(0xBEEF)), 0xBEEF);
    EXPECT_EQ(swapint32(0x01020304u), 0x04030201u);
    EXPECT_EQ(swapint32(0x00000005u), 0x05000000u);
}

TEST(Session, EveryNetworkedCallAnswersNotConnectedBeforeLogin) {
    gwapi_session_t session = gwapi_create_session();
    ASSERT_NE(session, nullptr);
    int32_t transaction_status = 0;
    GwSetNewPasswordMessage password{};
    EXPECT_EQ(gwapi_set_newpwd_ex(session, &transaction_status, &password), kStatusNotConnected);
    EXPECT_EQ(gwapi_logout_ex(session, &transaction_status), kStatusNotConnected);
    char buffer[64] = {};
    int32_t length = 4;
    EXPECT_EQ(gwapi_get_info_ex(session, &transaction_status, 2, &length, buffer),
              kStatusNotConnected);
    EXPECT_EQ(length, 4);

    uint8_t framed[8] = {};
    GwMessageDescriptor descriptor{framed, 0};
    char transaction_id[8];
    int32_t order_id = 0;
    EXPECT_EQ(gwapi_tx_ex(session, &transaction_status, 5, &descriptor, transaction_id, &order_id),
              kStatusNotConnected);
    int32_t answer_length = 16;
    int32_t scratch = 0;
    EXPECT_EQ(gwapi_query_ex(session, &transaction_status, 5, framed, 1, buffer, &answer_length,
                             transaction_id, &scratch),
              kStatusNotConnected);
    uint32_t event_length = sizeof buffer;
    EXPECT_EQ(gwapi_read_event_ext_ex(session, 1000, buffer, &event_length, 0, 0),
              kStatusNotConnected);
    EXPECT_EQ(event_length, sizeof buffer);
    EXPECT_EQ(gwapi_read_event_ext_ex(session, 999, buffer, &event_length, 0, 1),
              kStatusNotConnected);
    GwInfObjSubscription subscription{};
    EXPECT_EQ(gwapi_set_event_ex(session, 1, &subscription), kStatusNotConnected);
    /* Not accepted: the record must not keep the replyStatus 0 it was sent with. */
    EXPECT_EQ(subscription.replyStatus, static_cast<int32_t>(swapint32(static_cast<uint32_t>(kStatusNotConnected))));
    EXPECT_EQ(gwapi_set_event_ex(session, 7, nullptr), kStatusNotConnected);
    GwInfObjUnsubscription unsubscription{};
    EXPECT_EQ(gwapi_clear_event_ex(session, 1, &unsubscription), kStatusNotConnected);
    gwapi_close_session(session);
}

TEST(Session, NullHandleIsHarmless) {
    EXPECT_EQ(gwapi_close_session(nullptr), 0);
    int32_t transaction_status = 0;
    EXPECT_EQ(gwapi_logout_ex(nullptr, &transaction_status), kStatusNotConnected);
    const GwLoginMessage message = make_login("demo", "pw", 1);
    EXPECT_EQ(gwapi_login_ex(nullptr, &transaction_status, &message), kStatusNotConnected);
}

TEST(Connect, UnresolvableNameIsReportedAndLeavesSessionUsable) {
    gwapi_session_t session = gwapi_create_session();
    const GwLoginMessage message = make_login("demo", "pw", 4000, "no-such-gateway.invalid");
    EXPECT_EQ(login(session, message), kStatusNameNotResolved);
    int32_t transaction_status = 0;
    EXPECT_EQ(gwapi_logout_ex(session, &transaction_status), kStatusNotConnected);
    gwapi_close_session(session);
}

/* Refused at once: the three attempts together end long before one connect
 * timeout, and a timeout would have its own status. */
TEST(Connect, PortWithNothingListeningFailsQuickly) {
    constexpr int kConnectTimeoutMs = 15000;
    setenv("GWAPI_CONNECT_TIMEOUT_MS", std::to_string(kConnectTimeoutMs).c_str(), 1);
    gwapi_session_t session = gwapi_create_session();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(login(session, make_login("demo", "pw", free_port())), kStatusConnectFailed);
    EXPECT_EQ(login(session, make_login("demo", "pw", free_port(), "::1")), kStatusConnectFailed);
    EXPECT_EQ(login(session, make_login("demo", "pw", free_port(), "localhost")),
              kStatusConnectFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kConnectTimeoutMs));
    unsetenv("GWAPI_CONNECT_TIMEOUT_MS");
    gwapi_close_session(session);
}

TEST(Connect, PortOutOfRangeIsRefusedWithoutNetwork) {
    gwapi_session_t session = gwapi_create_session();
    EXPECT_EQ(login(session, make_login("demo", "pw", 0)), kStatusInvalidArgument);
    EXPECT_EQ(login(session, make_login("demo", "pw", 70000)), kStatusInvalidArgument);
    EXPECT_EQ(login(session, make_login("demo", "pw", -5)), kStatusInvalidArgument);
    gwapi_close_session(session);
}

TEST(Connect, HostFieldWithoutTerminatorIsNotOverread) {
    gwapi_session_t session = gwapi_create_session();
    GwLoginMessage message = make_login("demo", "pw", 4000);
    std::memset(message.host, 'a', sizeof message.host);
    EXPECT_EQ(login(session, message), kStatusNameNotResolved);
    gwapi_close_session(session);
}

/*
 * Connect timeouts as configured: 150 ms given, so the call ends long
 * before the default of 5 s would. The bound is from above only and leaves
 * a slow machine most of those 5 s.
 */
constexpr auto kWellBeforeTheDefaultConnectTimeout = std::chrono::milliseconds(4000);

/* A server that accepts but says nothing: the handshake runs into the connect timeout. */
TEST(Timeouts, SilentServerGivesConnectTimeoutWithinTheConfiguredTime) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);

    setenv("GWAPI_CONNECT_TIMEOUT_MS", "150", 1);
    gwapi_session_t session = gwapi_create_session();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(login(session, make_login("demo", "pw", ntohs(address.sin_port))),
              kStatusConnectTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kWellBeforeTheDefaultConnectTimeout);
    unsetenv("GWAPI_CONNECT_TIMEOUT_MS");
    gwapi_close_session(session);
    close(listener);
}

/* A listener whose backlog is full drops the connection attempt: connect itself runs out of time. */
TEST(Timeouts, ConnectToAFullListenerTimesOut) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    int fillers[4];
    for (int &filler : fillers) {
        filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }

    setenv("GWAPI_CONNECT_TIMEOUT_MS", "150", 1);
    gwapi_session_t session = gwapi_create_session();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(login(session, make_login("demo", "pw", ntohs(address.sin_port))),
              kStatusConnectTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kWellBeforeTheDefaultConnectTimeout);
    unsetenv("GWAPI_CONNECT_TIMEOUT_MS");
    gwapi_close_session(session);
    for (const int filler : fillers) close(filler);
    close(listener);
}
