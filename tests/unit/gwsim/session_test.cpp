/*
 * session_test.cpp - the simulated gateway's answers, driven request by
 * request without a network: login states, password change and expiry,
 * the information answers and their buffer-size rule, lists, subscriptions,
 * the broadcast read sequence and faults.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "gwsim/journal.h"
#include "gwsim/session.h"

using namespace gwsim;
using gwproto::MessageKind;
using gwproto::Request;

namespace {

const char *kScenario = R"(
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
reply_status = 5
[[broadcast_reads]]
broadcasts = [ { name = "BO5", body = "0102" }, { name = "BN1", network_status = 1 } ]
[[broadcast_reads]]
status = -1
[[faults]]
call = "gwapi_get_info_ex"
arg = 2
nth = 2
completion_status = -1
transaction_status = -600164
[[faults]]
call = "gwapi_clear_event_ex"
action = "close"
delay_ms = 20
)";

Gateway make_gateway(const char *text = kScenario)
{
    Scenario scenario;
    std::string error;
    EXPECT_TRUE(parse_scenario(text, "test.toml", scenario, error)) << error;
    return Gateway(std::move(scenario));
}

std::vector<uint8_t> login_message(const std::string &user, const std::string &password)
{
    std::vector<uint8_t> m(232, 0);
    std::memcpy(m.data(), user.data(), user.size());
    std::memcpy(m.data() + 32, password.data(), password.size());
    return m;
}

std::vector<uint8_t> new_password_message(const std::string &old_pw, const std::string &new_pw)
{
    std::vector<uint8_t> m(64, 0);
    std::memcpy(m.data(), old_pw.data(), old_pw.size());
    std::memcpy(m.data() + 32, new_pw.data(), new_pw.size());
    return m;
}

Outcome call(Session &s, MessageKind kind, int32_t arg = 0, uint32_t capacity = 0,
             std::span<const uint8_t> record = {})
{
    Request r;
    r.kind = kind;
    r.arg = arg;
    r.capacity = capacity;
    r.record = record;
    return s.handle(r);
}

Outcome login(Session &s, const std::string &user, const std::string &password)
{
    const std::vector<uint8_t> m = login_message(user, password);
    return call(s, MessageKind::Login, 0, 0, m);
}

}  // namespace

TEST(Session, LoginStates)
{
    Gateway gateway = make_gateway();
    Session s(gateway, 1);
    EXPECT_EQ(call(s, MessageKind::GetInfo, 2, 4).completion_status, gwproto::kStatusNotLoggedIn);
    EXPECT_EQ(call(s, MessageKind::Logout).completion_status, gwproto::kStatusNotLoggedIn);
    EXPECT_EQ(login(s, "nobody", "demo-pass").completion_status,
              gwproto::kStatusInvalidUserOrPassword);
    EXPECT_EQ(login(s, "demo", "wrong").completion_status, gwproto::kStatusInvalidUserOrPassword);
    EXPECT_FALSE(s.logged_in());
    EXPECT_EQ(login(s, "demo", "demo-pass").completion_status, 0);
    EXPECT_TRUE(s.logged_in());
    EXPECT_EQ(call(s, MessageKind::Logout).completion_status, 0);
    EXPECT_EQ(call(s, MessageKind::GetInfo, 1, 12).completion_status, gwproto::kStatusNotLoggedIn);

    /* A login message whose user field has no NUL is refused, not overread. */
    std::vector<uint8_t> unterminated(232, 'a');
    EXPECT_EQ(call(s, MessageKind::Login, 0, 0, unterminated).completion_status,
              gwproto::kStatusInvalidArgument);
    const std::vector<uint8_t> short_message(100, 0);
    EXPECT_EQ(call(s, MessageKind::Login, 0, 0, short_message).completion_status,
              gwproto::kStatusInvalidArgument);
}

TEST(Session, ExpiredPasswordHoldsUntilChangedAndTheChangeHoldsForEverySession)
{
    Gateway gateway = make_gateway();
    Session first(gateway, 1);
    EXPECT_EQ(login(first, "old", "old-pass").completion_status, gwproto::kStatusPasswordExpired);
    EXPECT_FALSE(first.logged_in());
    EXPECT_EQ(login(first, "old", "old-pass").completion_status, gwproto::kStatusPasswordExpired);

    /* Before any valid login attempt a change is refused. */
    Session stranger(gateway, 2);
    const std::vector<uint8_t> change = new_password_message("old-pass", "Bc_0007");
    EXPECT_EQ(call(stranger, MessageKind::SetNewPassword, 0, 0, change).completion_status,
              gwproto::kStatusNotLoggedIn);
    const std::vector<uint8_t> wrong_old = new_password_message("nope", "Bc_0007");
    EXPECT_EQ(call(first, MessageKind::SetNewPassword, 0, 0, wrong_old).completion_status,
              gwproto::kStatusInvalidUserOrPassword);
    const std::vector<uint8_t> empty_new = new_password_message("old-pass", "");
    EXPECT_EQ(call(first, MessageKind::SetNewPassword, 0, 0, empty_new).completion_status,
              gwproto::kStatusInvalidArgument);

    EXPECT_EQ(call(first, MessageKind::SetNewPassword, 0, 0, change).completion_status, 0);
    Session later(gateway, 3);
    EXPECT_EQ(login(later, "old", "old-pass").completion_status,
              gwproto::kStatusInvalidUserOrPassword);
    EXPECT_EQ(login(later, "old", "Bc_0007").completion_status, 0);
    EXPECT_TRUE(later.logged_in());
}

TEST(Session, InformationAnswersKeepToTheCallersCapacity)
{
    Gateway gateway = make_gateway();
    Session s(gateway, 1);
    ASSERT_EQ(login(s, "demo", "demo-pass").completion_status, 0);

    Outcome info = call(s, MessageKind::GetInfo, 1, 12);
    EXPECT_EQ(info.completion_status, 0);
    EXPECT_EQ(std::string(info.data.begin(), info.data.end()), "XYABCDE     ");
    EXPECT_EQ(call(s, MessageKind::GetInfo, 1, 11).completion_status,
              gwproto::kStatusBufferTooSmall);
    EXPECT_TRUE(call(s, MessageKind::GetInfo, 1, 11).data.empty());
    Outcome unknown = call(s, MessageKind::GetInfo, 3, 100);
    EXPECT_EQ(unknown.completion_status, -1);
    EXPECT_EQ(unknown.transaction_status, gwproto::kStatusItemNotFound);

    Outcome list = call(s, MessageKind::ReadEvent, 1000, 6);
    EXPECT_EQ(list.data, (std::vector<uint8_t>{'1', ',', '7', ',', '9', 0}));
    EXPECT_EQ(call(s, MessageKind::ReadEvent, 1000, 5).completion_status,
              gwproto::kStatusBufferTooSmall);

    Outcome objects = call(s, MessageKind::ReadEvent, 1002, 2048);
    ASSERT_EQ(objects.data.size(), 4u + 2 * 16);
    EXPECT_EQ(gwproto::get_u32(objects.data.data()), 2u);
    const uint8_t *second = objects.data.data() + 4 + 16;
    EXPECT_EQ(std::string(second + 4, second + 6), "BO");
    EXPECT_EQ(gwproto::get_u16(second + 6), 6);
    EXPECT_EQ(gwproto::get_u32(second + 12), 0u); /* not auto-loaded */
    EXPECT_EQ(call(s, MessageKind::ReadEvent, 1002, 35).completion_status,
              gwproto::kStatusBufferTooSmall);

    Request q;
    q.kind = MessageKind::Query;
    const std::vector<uint8_t> framed = {3, 0, 0, 0, 'a', 'b', 'c'};
    q.record = framed;
    q.capacity = 3;
    EXPECT_EQ(s.handle(q).completion_status, gwproto::kStatusBufferTooSmall);
    q.capacity = 4;
    Outcome answer = s.handle(q);
    ASSERT_EQ(answer.data.size(), 8u + 4u);
    EXPECT_EQ(std::vector<uint8_t>(answer.data.begin() + 8, answer.data.end()),
              (std::vector<uint8_t>{0x00, 0x11, 0xaa, 0xbb}));

    Request tx;
    tx.kind = MessageKind::Tx;
    tx.record = framed;
    Outcome t1 = s.handle(tx);
    Outcome t2 = s.handle(tx);
    ASSERT_EQ(t1.data.size(), gwproto::kTxAnswerSize);
    EXPECT_NE(t1.data, t2.data); /* fresh transaction and order ids */
}

TEST(Session, SubscriptionsAndClearKeys)
{
    Gateway gateway = make_gateway(R"(
[users.demo]
password = "p"
[[info_objects]]
name = "BO5"
[[info_objects]]
name = "BO6"
reply_status = 5
)");
    Session s(gateway, 1);
    ASSERT_EQ(login(s, "demo", "p").completion_status, 0);

    auto subscription = [](const char *letters, uint16_t number) {
        std::vector<uint8_t> r(24, 0);
        r[3] = 24;
        r[8] = static_cast<uint8_t>(letters[0]);
        r[9] = static_cast<uint8_t>(letters[1]);
        r[10] = static_cast<uint8_t>(number >> 8);
        r[11] = static_cast<uint8_t>(number);
        return r;
    };
    const std::vector<uint8_t> bo5 = subscription("BO", 5);
    Outcome accepted = call(s, MessageKind::SetEvent, 1, 0, bo5);
    ASSERT_EQ(accepted.data.size(), gwproto::kSubscriptionAnswerSize);
    const uint32_t clear_key = gwproto::get_u32(accepted.data.data());
    EXPECT_NE(clear_key, 0u);
    EXPECT_EQ(gwproto::get_u32(accepted.data.data() + 4), 0u);

    const std::vector<uint8_t> bo6 = subscription("BO", 6);
    Outcome rejected = call(s, MessageKind::SetEvent, 1, 0, bo6);
    EXPECT_EQ(static_cast<int32_t>(gwproto::get_u32(rejected.data.data() + 4)), 5);
    const std::vector<uint8_t> unknown = subscription("ZZ", 1);
    EXPECT_EQ(static_cast<int32_t>(
                  gwproto::get_u32(call(s, MessageKind::SetEvent, 1, 0, unknown).data.data() + 4)),
              gwproto::kStatusItemNotFound);
    const std::vector<uint8_t> wrong_size(20, 0);
    EXPECT_EQ(call(s, MessageKind::SetEvent, 1, 0, wrong_size).completion_status,
              gwproto::kStatusInvalidArgument);

    std::vector<uint8_t> unsubscription(8, 0);
    unsubscription[3] = 8;
    std::memcpy(unsubscription.data() + 4, accepted.data.data(), 4);
    EXPECT_EQ(call(s, MessageKind::ClearEvent, 1, 0, unsubscription).completion_status, 0);
    EXPECT_EQ(call(s, MessageKind::ClearEvent, 1, 0, unsubscription).transaction_status,
              gwproto::kStatusItemNotFound);

    EXPECT_EQ(call(s, MessageKind::SetEvent, 7).completion_status, 0);
    EXPECT_EQ(call(s, MessageKind::ClearEvent, 7).completion_status, 0);
    EXPECT_EQ(call(s, MessageKind::ClearEvent, 7).completion_status, -1);

    /* Up to the cap, in any order; one more is refused until one is cleared. */
    for (std::size_t i = 0; i < kMaxSubscriptionsPerSession; ++i) {
        const auto event_type = static_cast<int32_t>(i * 7919 % 10007); /* all different */
        ASSERT_EQ(call(s, MessageKind::SetEvent, event_type).completion_status, 0);
    }
    EXPECT_EQ(call(s, MessageKind::SetEvent, 7919).completion_status, 0) << "already subscribed";
    EXPECT_EQ(call(s, MessageKind::SetEvent, -5).completion_status, gwproto::kStatusGeneralFailure);
    EXPECT_EQ(call(s, MessageKind::ClearEvent, 7919).completion_status, 0);
    EXPECT_EQ(call(s, MessageKind::SetEvent, -5).completion_status, 0);
    std::vector<std::vector<uint8_t>> keys;
    for (std::size_t i = 0; i < kMaxSubscriptionsPerSession; ++i) {
        const Outcome o = call(s, MessageKind::SetEvent, 1, 0, bo5);
        ASSERT_EQ(gwproto::get_u32(o.data.data() + 4), 0u);
        keys.emplace_back(o.data.begin(), o.data.begin() + 4);
    }
    EXPECT_EQ(call(s, MessageKind::SetEvent, 1, 0, bo5).completion_status,
              gwproto::kStatusGeneralFailure);
    for (std::size_t i : {std::size_t{1000}, std::size_t{0}, kMaxSubscriptionsPerSession - 1}) {
        std::memcpy(unsubscription.data() + 4, keys[i].data(), 4);
        EXPECT_EQ(call(s, MessageKind::ClearEvent, 1, 0, unsubscription).completion_status, 0);
        EXPECT_EQ(call(s, MessageKind::ClearEvent, 1, 0, unsubscription).completion_status, -1);
    }
    EXPECT_EQ(call(s, MessageKind::SetEvent, 1, 0, bo5).completion_status, 0);
}

TEST(Session, BroadcastReadsFollowTheScenarioPerSession)
{
    Gateway gateway = make_gateway();
    Session a(gateway, 1);
    Session b(gateway, 2);
    ASSERT_EQ(login(a, "demo", "demo-pass").completion_status, 0);
    ASSERT_EQ(login(b, "demo", "demo-pass").completion_status, 0);

    /* 4 + (6 + 2) + (6 + 4) + 2 = 24 bytes of vendor buffer. */
    EXPECT_EQ(call(a, MessageKind::ReadEvent, 999, 23).completion_status,
              gwproto::kStatusBufferTooSmall);
    Outcome first = call(a, MessageKind::ReadEvent, 999, 24);
    EXPECT_EQ(first.completion_status, 0);
    std::vector<uint8_t> buffer(64000);
    std::size_t written = 0;
    ASSERT_EQ(gwproto::layout_broadcast_buffer(first.data, buffer, written), gwproto::CodecError::Ok);
    EXPECT_EQ(written, 24u);
    EXPECT_EQ(call(a, MessageKind::ReadEvent, 999, 64000).completion_status, -1);
    EXPECT_EQ(call(a, MessageKind::ReadEvent, 999, 64000).completion_status,
              gwproto::kStatusNoBroadcasts);
    EXPECT_EQ(call(a, MessageKind::ReadEvent, 999, 64000).completion_status,
              gwproto::kStatusNoBroadcasts);
    /* The other session has its own position. */
    EXPECT_EQ(call(b, MessageKind::ReadEvent, 999, 64000).completion_status, 0);
}

TEST(Session, FaultsReplaceMatchingAnswers)
{
    Gateway gateway = make_gateway();
    Session s(gateway, 1);
    ASSERT_EQ(login(s, "demo", "demo-pass").completion_status, 0);
    /* nth = 2 of item 2: the first and third answer normally. */
    Outcome one = call(s, MessageKind::GetInfo, 2, 4);
    EXPECT_EQ(one.data, (std::vector<uint8_t>{0, 0, 0, 5}));
    EXPECT_EQ(call(s, MessageKind::GetInfo, 1, 12).completion_status, 0); /* other item */
    Outcome two = call(s, MessageKind::GetInfo, 2, 4);
    EXPECT_EQ(two.completion_status, -1);
    EXPECT_EQ(two.transaction_status, gwproto::kStatusItemNotFound);
    EXPECT_TRUE(two.data.empty());
    EXPECT_EQ(call(s, MessageKind::GetInfo, 2, 4).completion_status, 0);

    /* Counting is per session. */
    Session other(gateway, 2);
    ASSERT_EQ(login(other, "demo", "demo-pass").completion_status, 0);
    EXPECT_EQ(call(other, MessageKind::GetInfo, 2, 4).completion_status, 0);
    EXPECT_EQ(call(other, MessageKind::GetInfo, 2, 4).completion_status, -1);

    Outcome closing = call(s, MessageKind::ClearEvent, 7);
    EXPECT_EQ(closing.action, Outcome::Action::Close);
    EXPECT_EQ(closing.delay_ms, 20u);
}

TEST(Session, FaultOnLoginDecidesTheLoginState)
{
    Gateway gateway = make_gateway(R"(
[users.demo]
password = "p"
[[faults]]
call = "gwapi_login_ex"
nth = 1
completion_status = 2027
[[faults]]
call = "gwapi_login_ex"
nth = 2
completion_status = 1
)");
    Session s(gateway, 1);
    EXPECT_EQ(login(s, "demo", "p").completion_status, 2027);
    EXPECT_FALSE(s.logged_in());
    EXPECT_EQ(login(s, "demo", "p").completion_status, 1);
    EXPECT_TRUE(s.logged_in());
}

TEST(Journal, LinesCarryCallArgumentsAndZeroedPasswords)
{
    const std::vector<uint8_t> m = login_message("ab", "secret");
    Request r;
    r.kind = MessageKind::Login;
    r.request_id = 4;
    r.record = m;
    const std::string line = journal_line(9, r);
    EXPECT_EQ(line.rfind("{\"session\":9,\"request_id\":4,\"call\":\"gwapi_login_ex\",\"args\":{},"
                         "\"message_hex\":\"6162",
                         0),
              0u)
        << line;
    EXPECT_EQ(line.find("736563726574"), std::string::npos); /* "secret" */
    EXPECT_EQ(line.size(), line.find("\"message_hex\":\"") + 15 + 464 + 2);

    Request read;
    read.kind = MessageKind::ReadEvent;
    read.arg = 999;
    read.capacity = 64000;
    read.wait = 1;
    EXPECT_EQ(journal_line(1, read),
              "{\"session\":1,\"request_id\":0,\"call\":\"gwapi_read_event_ext_ex\",\"args\":{"
              "\"event_code\":999,\"length\":64000,\"flags\":0,\"wait\":1},\"message_hex\":\"\"}");
}
