/*
 * process_test.cpp - the gwsim program itself, over loopback sockets:
 * command line and scenario errors exit 2 with one line, signals exit 0,
 * a client sending garbage loses only its own connection, silent clients
 * cannot lock out one that speaks, sessions keep their own state, faults
 * close or hang, and the journal records requests.
 */
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/gwsim_process.h"

using gwproto::MessageKind;
using gwproto::Request;

namespace {

const std::string kScenarios = GWSIM_SCENARIO_DIR;

/* A shipped scenario's text. */
std::string shipped(const std::string &name)
{
    return read_file(kScenarios + "/" + name);
}

Request get_info(int32_t item, uint32_t capacity)
{
    Request r;
    r.kind = MessageKind::GetInfo;
    r.arg = item;
    r.capacity = capacity;
    return r;
}

Request read_event(int32_t code, uint32_t capacity)
{
    Request r;
    r.kind = MessageKind::ReadEvent;
    r.arg = code;
    r.capacity = capacity;
    return r;
}

std::size_t line_count(const std::string &text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::size_t count_of(const std::string &text, const std::string &part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

}  // namespace

TEST(GwsimProgram, BadScenarioGivesOneLineNamingFileAndKeyAndExitTwo)
{
    TemporaryDirectory dir;
    const std::string file = dir.write("bad.toml", "[users.demo]\npassword = \"x\"\ncolour = 1\n");
    const GwsimExit e = run_gwsim({"--scenario", file});
    EXPECT_EQ(e.status, 2);
    EXPECT_EQ(line_count(e.err), 1u) << e.err;
    EXPECT_NE(e.err.find(file), std::string::npos) << e.err;
    EXPECT_NE(e.err.find("users.demo.colour"), std::string::npos) << e.err;
    EXPECT_TRUE(e.out.empty());

    const GwsimExit missing = run_gwsim({"--scenario", dir.file("none.toml")});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(line_count(missing.err), 1u) << missing.err;
}

TEST(GwsimProgram, BadCommandLineGivesUsageAndExitTwo)
{
    const std::string scenario = kScenarios + "/default.toml";
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--scenario"},
        {"--scenario", scenario, "--frobnicate"},
        {"--scenario", scenario, "--listen", "127.0.0.1"},
        {"--scenario", scenario, "--listen", "127.0.0.1:70000"},
        {"--scenario", scenario, "--listen", "nohost:1"},
        {"--scenario", scenario, "--scenario", scenario},
        {"--scenario", scenario, "--idle-timeout-ms", "0"},
        {"--scenario", scenario, "--handshake-timeout-ms=86400001"},
        {"--scenario", scenario, "--max-connections", "12x"},
        {"--scenario", scenario, "--max-connections", "2", "--max-connections", "3"},
    };
    for (const auto &args : cases) {
        const GwsimExit e = run_gwsim(args);
        EXPECT_EQ(e.status, 2);
        EXPECT_NE(e.err.find("usage: gwsim --scenario FILE"), std::string::npos) << e.err;
    }
    const GwsimExit help = run_gwsim({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: gwsim"), std::string::npos);
    EXPECT_NE(help.out.find("--idle-timeout-ms MS"), std::string::npos);
    const GwsimExit version = run_gwsim({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("gwsim ", 0), 0u);
}

TEST(GwsimProgram, SigtermAndSigintCloseSessionsAndExitZero)
{
    for (int signal_number : {SIGTERM, SIGINT}) {
        GwsimProcess gwsim(shipped("default.toml"));
        ASSERT_TRUE(gwsim.started()) << gwsim.error();
        GwsimClient client;
        ASSERT_TRUE(client.connect(gwsim.port()));
        ASSERT_TRUE(client.hello());
        ASSERT_EQ(client.login("demo", "demo-pass").answer.completion_status, 0);
        EXPECT_EQ(gwsim.stop(signal_number), 0);
        EXPECT_TRUE(client.closed_within());
    }
}

TEST(GwsimProgram, GarbageFromOneClientDoesNotDisturbAnother)
{
    GwsimProcess gwsim(shipped("default.toml"));
    ASSERT_TRUE(gwsim.started()) << gwsim.error();
    GwsimClient good;
    ASSERT_TRUE(good.connect(gwsim.port()));
    ASSERT_TRUE(good.hello());
    ASSERT_EQ(good.login("demo", "demo-pass").answer.completion_status, 0);
    ASSERT_EQ(good.call(read_event(999, 64000)).answer.completion_status, 0);

    const std::vector<std::vector<uint8_t>> garbage = {
        {0xff, 0xff, 0xff, 0xff, 1, 2, 3},           /* oversized frame header */
        {0, 0, 0, 0},                                /* empty frame */
        {0, 0, 0, 3, 0x42, 0x42, 0x42},              /* unknown kind before the handshake */
        {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1', '\r', '\n'},
    };
    for (const auto &bytes : garbage) {
        GwsimClient bad;
        ASSERT_TRUE(bad.connect(gwsim.port()));
        ASSERT_TRUE(bad.send_raw(bytes));
        EXPECT_TRUE(bad.closed_within());
    }
    /* Garbage after a good handshake: a truncated request body. */
    GwsimClient late;
    ASSERT_TRUE(late.connect(gwsim.port()));
    ASSERT_TRUE(late.hello());
    ASSERT_TRUE(late.send_raw({0, 0, 0, 6, 0x13, 0, 0, 0, 1, 0}));
    EXPECT_TRUE(late.closed_within());

    /* The good session is still logged in and at its own read position. */
    const GwsimReply info = good.call(get_info(2, 4));
    ASSERT_EQ(info.kind, GwsimReply::Kind::Answer);
    EXPECT_EQ(info.data.size(), 21u);
    EXPECT_EQ(good.call(read_event(999, 64000)).answer.completion_status,
              gwproto::kStatusNoBroadcasts);
    EXPECT_TRUE(gwsim.running());
    EXPECT_EQ(line_count(gwsim.err()), 5u) << gwsim.err();
    EXPECT_EQ(gwsim.stop(SIGTERM), 0);
}

TEST(GwsimProgram, SilentConnectionsCannotLockOutAClient)
{
    /* More silent connections than gwsim serves at once, bounded by its
     * connection limit (limits from the scenario) or by its descriptors (a
     * low hard limit; limits from the command line). Once the silent ones
     * time out, a client that speaks gets in; an answer a fault delays past
     * the idle timeout still comes; then that session falls silent and is
     * closed in its turn. The shortage is reported once. */
    struct Case {
        const char *name;
        std::string top_level;
        std::vector<std::string> options;
        unsigned descriptor_limit;
        std::size_t silent;
        std::string shortage;
    };
    const Case cases[] = {
        {"connection limit", "handshake_timeout_ms = 300\nidle_timeout_ms = 400\nmax_connections = 8\n",
         {}, 0, 20, "8 connections open, the most allowed"},
        {"descriptor limit", "", {"--handshake-timeout-ms", "300", "--idle-timeout-ms=400"}, 40, 60,
         "accept failed: Too many open files"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        GwsimProcess gwsim(c.top_level + "[users.demo]\npassword = \"demo-pass\"\n"
                                         "[[faults]]\ncall = \"gwapi_get_info_ex\"\n"
                                         "delay_ms = 600\n",
                           c.options, c.descriptor_limit);
        ASSERT_TRUE(gwsim.started()) << gwsim.error();
        std::vector<GwsimClient> silent(c.silent);
        for (GwsimClient &s : silent)
            ASSERT_TRUE(s.connect(gwsim.port()));

        /* The handshake and both requests go out at once, queued until gwsim
         * takes the connection: only gwsim's own clocks count, never how soon
         * this process gets to send its next request. */
        GwsimClient client;
        ASSERT_TRUE(client.connect(gwsim.port()));
        ASSERT_TRUE(client.send_hello());
        const uint32_t login = client.send_login("demo", "demo-pass");
        const uint32_t info = client.send(get_info(2, 4));
        ASSERT_TRUE(client.receive_hello());
        const GwsimReply logged_in = client.receive();
        ASSERT_EQ(logged_in.kind, GwsimReply::Kind::Answer);
        EXPECT_EQ(logged_in.answer.request_id, login);
        EXPECT_EQ(logged_in.answer.completion_status, 0);
        const GwsimReply delayed = client.receive();
        ASSERT_EQ(delayed.kind, GwsimReply::Kind::Answer);
        EXPECT_EQ(delayed.answer.request_id, info);
        EXPECT_TRUE(client.closed_within());
        for (GwsimClient &s : silent)
            EXPECT_TRUE(s.closed_within());

        const std::string err = gwsim.err();
        EXPECT_EQ(count_of(err, c.shortage), 1u) << err;
        EXPECT_EQ(count_of(err, "no handshake within 300 ms"), c.silent) << err;
        EXPECT_EQ(count_of(err, "no request for 400 ms"), 1u) << err;
        EXPECT_EQ(gwsim.stop(SIGTERM), 0);
    }
}

TEST(GwsimProgram, HandshakeRefusesAnotherVersion)
{
    GwsimProcess gwsim(shipped("default.toml"));
    ASSERT_TRUE(gwsim.started()) << gwsim.error();
    GwsimClient client;
    ASSERT_TRUE(client.connect(gwsim.port()));
    int32_t status = 0;
    EXPECT_FALSE(client.hello(99, &status));
    EXPECT_EQ(status, gwproto::kStatusVersionMismatch);
    EXPECT_TRUE(client.closed_within());
}

TEST(GwsimProgram, ExpiredPasswordAndItsChangeAcrossConnections)
{
    GwsimProcess gwsim(shipped("expired_password.toml"));
    ASSERT_TRUE(gwsim.started()) << gwsim.error();
    GwsimClient first;
    ASSERT_TRUE(first.connect(gwsim.port()));
    ASSERT_TRUE(first.hello());
    EXPECT_EQ(first.login("demo", "demo-pass").answer.completion_status,
              gwproto::kStatusPasswordExpired);
    EXPECT_EQ(first.call(get_info(2, 4)).answer.completion_status, gwproto::kStatusNotLoggedIn);

    std::vector<uint8_t> change(64, 0);
    std::memcpy(change.data(), "demo-pass", 9);
    std::memcpy(change.data() + 32, "Bc_0007", 7);
    Request set;
    set.kind = MessageKind::SetNewPassword;
    set.record = change;
    EXPECT_EQ(first.call(set).answer.completion_status, 0);

    GwsimClient second;
    ASSERT_TRUE(second.connect(gwsim.port()));
    ASSERT_TRUE(second.hello());
    EXPECT_EQ(second.login("demo", "demo-pass").answer.completion_status,
              gwproto::kStatusInvalidUserOrPassword);
    EXPECT_EQ(second.login("demo", "Bc_0007").answer.completion_status, 0);
    const GwsimReply info = second.call(get_info(1, 12));
    EXPECT_EQ(std::string(info.answer.data.begin(), info.answer.data.end()), "XYABCDE     ");
}

TEST(GwsimProgram, FaultsHangOneRequestAndCloseTheConnection)
{
    GwsimProcess gwsim(shipped("broken_connection.toml"));
    ASSERT_TRUE(gwsim.started()) << gwsim.error();
    GwsimClient client;
    ASSERT_TRUE(client.connect(gwsim.port()));
    ASSERT_TRUE(client.hello());
    ASSERT_EQ(client.login("demo", "demo-pass").answer.completion_status, 0);

    EXPECT_EQ(client.call(read_event(1000, 100)).answer.completion_status, 0);
    /* The second read of the list hangs (the journal shows gwsim took it);
     * the one after it is answered. */
    EXPECT_EQ(client.call(read_event(1000, 100), 200).kind, GwsimReply::Kind::Timeout);
    EXPECT_TRUE(gwsim.wait_for_request("gwapi_read_event_ext_ex", 2));
    const GwsimReply third = client.call(read_event(1000, 100));
    ASSERT_EQ(third.kind, GwsimReply::Kind::Answer);
    EXPECT_EQ(third.answer.completion_status, 0);

    std::vector<uint8_t> subscription(24, 0);
    subscription[3] = 24;
    subscription[8] = 'B';
    subscription[9] = 'O';
    subscription[11] = 5;
    Request set;
    set.kind = MessageKind::SetEvent;
    set.arg = 1;
    set.record = subscription;
    EXPECT_EQ(client.call(set).kind, GwsimReply::Kind::Closed);

    /* A new connection starts a session of its own, with fresh fault counts. */
    GwsimClient again;
    ASSERT_TRUE(again.connect(gwsim.port()));
    ASSERT_TRUE(again.hello());
    ASSERT_EQ(again.login("demo", "demo-pass").answer.completion_status, 0);
    EXPECT_EQ(again.call(read_event(1000, 100)).answer.completion_status, 0);
    EXPECT_EQ(gwsim.stop(SIGTERM), 0);
}

TEST(GwsimProgram, JournalRecordsEveryRequestWithPasswordsZeroed)
{
    GwsimProcess gwsim(shipped("default.toml"));
    ASSERT_TRUE(gwsim.started()) << gwsim.error();
    GwsimClient client;
    ASSERT_TRUE(client.connect(gwsim.port()));
    ASSERT_TRUE(client.hello());
    ASSERT_EQ(client.login("demo", "demo-pass").answer.completion_status, 0);
    ASSERT_EQ(client.call(get_info(2, 4)).kind, GwsimReply::Kind::Answer);

    /* Flushed per line: readable while gwsim still runs. */
    const std::string text = gwsim.journal();
    EXPECT_EQ(line_count(text), 2u) << text;
    EXPECT_NE(text.find("\"call\":\"gwapi_login_ex\""), std::string::npos);
    EXPECT_NE(text.find("\"message_hex\":\"64656d6f"), std::string::npos); /* "demo" */
    EXPECT_EQ(text.find("64656d6f2d70617373"), std::string::npos);        /* "demo-pass" */
    EXPECT_NE(text.find("\"call\":\"gwapi_get_info_ex\",\"args\":{\"item\":2,\"length\":4}"),
              std::string::npos);
    EXPECT_EQ(gwsim.stop(SIGTERM), 0);
}
