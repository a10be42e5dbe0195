/*
 * scenario_test.cpp - scenario files: the shipped ones load, every value
 * lands where it belongs, defaults hold, and each kind of mistake is
 * reported as one line naming the file and the key.
 */
#include <gtest/gtest.h>

#include <string>

#include "gwsim/scenario.h"

using namespace gwsim;

namespace {

std::string error_of(const std::string &text)
{
    Scenario scenario;
    std::string error;
    EXPECT_FALSE(parse_scenario(text, "bad.toml", scenario, error)) << text;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_EQ(error.rfind("bad.toml: ", 0), 0u) << error;
    return error;
}

}  // namespace

TEST(Scenario, ShippedScenariosLoad)
{
    for (const char *name : {"default", "rejected_login", "expired_password", "failing_requests",
                             "broken_connection"}) {
        Scenario scenario;
        std::string error;
        EXPECT_TRUE(load_scenario(std::string(GWSIM_SCENARIO_DIR) + "/" + name + ".toml", scenario,
                                  error))
            << error;
    }
}

TEST(Scenario, ValuesAndDefaults)
{
    const char *text = R"(
facility_type = 5
query_answer = "0011AAbb"
handshake_timeout_ms = 1
idle_timeout_ms = 86400000
max_connections = 10
[users.demo]
password = "demo-pass"
user_info = "XYABCDE"
[users.old]
password = "p"
password_expired = true
[event_types]
list = "1,7,9"
[[info_objects]]
name = "BO5"
[[info_objects]]
name = "BI65535"
auto_loaded = true
reply_status = -7
[[broadcast_reads]]
broadcasts = [ { name = "BO5", body = "0102" }, { name = "BN1", network_status = 258 } ]
[[broadcast_reads]]
status = -1
[[faults]]
call = "gwapi_read_event_ext_ex"
arg = 999
nth = 2
transaction_status = 7
delay_ms = 50
action = "hang"
)";
    Scenario s;
    std::string error;
    ASSERT_TRUE(parse_scenario(text, "ok.toml", s, error)) << error;
    EXPECT_EQ(s.facility_type, 5);
    EXPECT_EQ(s.limits.handshake_timeout_ms, 1u);
    EXPECT_EQ(s.limits.idle_timeout_ms, 86400000u);
    EXPECT_EQ(s.limits.max_connections, 10u);
    EXPECT_EQ(s.query_answer, (std::vector<uint8_t>{0x00, 0x11, 0xaa, 0xbb}));
    const User &demo = s.users.at("demo");
    EXPECT_EQ(std::string(demo.user_info.begin(), demo.user_info.end()), "XYABCDE     ");
    EXPECT_FALSE(demo.password_expired);
    EXPECT_TRUE(s.users.at("old").password_expired);
    EXPECT_EQ(std::string(s.users.at("old").user_info.begin(), s.users.at("old").user_info.end()),
              std::string(12, ' '));
    EXPECT_EQ(s.event_type_list, (std::vector<uint8_t>{'1', ',', '7', ',', '9', 0}));
    ASSERT_EQ(s.info_objects.size(), 2u);
    EXPECT_FALSE(s.info_objects[0].auto_loaded);
    EXPECT_EQ(s.info_objects[0].reply_status, 0);
    EXPECT_EQ(s.info_objects[1].name.number, 65535);
    EXPECT_TRUE(s.info_objects[1].auto_loaded);
    EXPECT_EQ(s.info_objects[1].reply_status, -7);
    ASSERT_EQ(s.broadcast_reads.size(), 2u);
    EXPECT_EQ(s.broadcast_reads[0].status, 0);
    EXPECT_EQ(s.broadcast_reads[0].broadcasts[1].body, (std::vector<uint8_t>{2, 1, 0, 0}));
    EXPECT_EQ(s.broadcast_reads[1].status, -1);
    ASSERT_EQ(s.faults.size(), 1u);
    EXPECT_EQ(s.faults[0].call, gwproto::MessageKind::ReadEvent);
    EXPECT_EQ(*s.faults[0].arg, 999);
    EXPECT_EQ(*s.faults[0].nth, 2u);
    EXPECT_FALSE(s.faults[0].completion_status.has_value());
    EXPECT_EQ(*s.faults[0].transaction_status, 7);
    EXPECT_EQ(s.faults[0].delay_ms, 50u);
    EXPECT_EQ(s.faults[0].action, FaultAction::Hang);

    Scenario empty;
    ASSERT_TRUE(parse_scenario("", "empty.toml", empty, error)) << error;
    EXPECT_EQ(empty.facility_type, 0);
    EXPECT_EQ(empty.limits.handshake_timeout_ms, 2000u);
    EXPECT_EQ(empty.limits.idle_timeout_ms, 60000u);
    EXPECT_EQ(empty.limits.max_connections, 4096u);
    EXPECT_EQ(empty.event_type_list, std::vector<uint8_t>{0});
    ASSERT_TRUE(parse_scenario("[event_types]\nlist = \"5,,6\"\nnul_terminated = false\n", "x.toml",
                               empty, error));
    EXPECT_EQ(empty.event_type_list, (std::vector<uint8_t>{'5', ',', ',', '6'}));
}

TEST(Scenario, MistakesNameTheKey)
{
    struct Case {
        const char *text;
        const char *expected;
    };
    const Case cases[] = {
        {"facility_type = 5\nfacility = 1\n", "bad.toml: facility: unknown key"},
        {"facility_type = \"5\"\n", "facility_type: must be an integer"},
        {"facility_type = 2147483648\n", "facility_type: must be between"},
        {"query_answer = \"abc\"\n", "query_answer: hex string must have an even number"},
        {"query_answer = \"zz\"\n", "query_answer: not a hex string"},
        {"[users.demo]\nuser_info = \"x\"\n", "users.demo.password: missing"},
        {"[users.demo]\npassword = \"12345678901234567890123456789012\"\n",
         "users.demo.password: longer than 31"},
        {"[users.demo]\npassword = \"\"\n", "users.demo.password: must not be empty"},
        {"[users.a234567890123456789012345678901b]\npassword = \"x\"\n", "longer than 31"},
        {"[users.demo]\npassword = \"x\"\nuser_info = \"1234567890123\"\n",
         "users.demo.user_info: longer than 12 bytes"},
        {"[users.demo]\npassword = \"x\"\npassword_expired = 1\n",
         "users.demo.password_expired: must be true or false"},
        {"[users.demo]\npassword = \"x\"\nemail = \"x\"\n", "users.demo.email: unknown key"},
        {"[event_types]\nlist = 1\n", "event_types.list: must be a string"},
        {"[[info_objects]]\nname = \"B5\"\n", "info_objects[0].name: must be two letters"},
        {"[[info_objects]]\nname = \"BO5\"\n[[info_objects]]\nname = \"BO65536\"\n",
         "info_objects[1].name"},
        {"[[info_objects]]\nname = \"BO05\"\n", "info_objects[0].name"},
        {"[[info_objects]]\nname = \"1O5\"\n", "info_objects[0].name"},
        {"[[info_objects]]\nauto_loaded = true\n", "info_objects[0].name: missing"},
        {"[[broadcast_reads]]\nbroadcasts = [ { name = \"BN1\" } ]\n",
         "broadcast_reads[0].broadcasts[0].body: missing or empty"},
        {"[[broadcast_reads]]\nbroadcasts = [ { name = \"BN1\", body = \"01\", network_status = 1 } ]\n",
         "broadcasts[0].network_status: give either body or network_status"},
        {"[[broadcast_reads]]\nstatus = -1\nbroadcasts = [ { name = \"BN1\", body = \"01\" } ]\n",
         "broadcast_reads[0].broadcasts: a read with a negative status"},
        {"[[broadcast_reads]]\nbroadcasts = [ { name = \"BN1\", body = \"01\", colour = 1 } ]\n",
         "broadcast_reads[0].broadcasts[0].colour: unknown key"},
        {"[[faults]]\ncall = \"gwapi_get_message_ex\"\n", "faults[0].call: 'gwapi_get_message_ex'"},
        {"[[faults]]\narg = 1\n", "faults[0].call: missing"},
        {"[[faults]]\ncall = \"gwapi_login_ex\"\narg = 1\n", "faults[0].arg:"},
        {"[[faults]]\ncall = \"gwapi_login_ex\"\nnth = 0\n", "faults[0].nth: must be between 1"},
        {"[[faults]]\ncall = \"gwapi_login_ex\"\naction = \"explode\"\n", "faults[0].action: must be"},
        {"[[faults]]\ncall = \"gwapi_login_ex\"\ndelay_ms = -1\n", "faults[0].delay_ms"},
        {"info_objects = 3\n", "info_objects: must be an array"},
        {"users = 3\n", "users: must be a table"},
        {"handshake_timeout_ms = 0\n", "handshake_timeout_ms: must be between 1 and 86400000"},
        {"idle_timeout_ms = 1.5\n", "idle_timeout_ms: must be an integer"},
        {"max_connections = 1000001\n", "max_connections: must be between 1 and 1000000"},
    };
    for (const Case &c : cases) {
        const std::string error = error_of(c.text);
        EXPECT_NE(error.find(c.expected), std::string::npos)
            << "scenario:\n" << c.text << "error: " << error;
    }
    EXPECT_NE(error_of("facility_type = \n").find("bad.toml: line 1, column"), std::string::npos);
}

TEST(Scenario, BroadcastReadThatCannotFitIsRefused)
{
    std::string text = "[[broadcast_reads]]\nbroadcasts = [ { name = \"BO1\", body = \"" +
                       std::string(2 * 40000, 'a') + "\" }, { name = \"BO2\", body = \"" +
                       std::string(2 * 30000, 'b') + "\" } ]\n";
    EXPECT_NE(error_of(text).find("more than 64000"), std::string::npos);
}

TEST(Scenario, UnreadableFileIsOneLine)
{
    Scenario scenario;
    std::string error;
    EXPECT_FALSE(load_scenario("/nonexistent/gwsim.toml", scenario, error));
    EXPECT_EQ(error, "/nonexistent/gwsim.toml: cannot open: No such file or directory");
}
