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

#include "gwsim_child.h"

using namespace gwsim_test;
using gwproto::MessageKind;
using gwproto::Request;

namespace {

const std::string kScenarios = GWSIM_SCENARIO_DIR;

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
    TempDir dir;
    const std::string file = dir.write("bad.toml", "[users.demo]\npassword = \"x\"\ncolour = 1\n");
    const Exit e = run_gwsim({"--scenario", file});
    EXPECT_EQ(e.status, 2);
    EXPECT_EQ(line_count(e.err), 1u) << e.err;
    EXPECT_NE(e.err.find(file), std::string::npos) << e.err;
    EXPECT_NE(e.err.find("users.demo.colour"), std::string::npos) << e.err;
    EXPECT_TRUE(e.out.empty());

    const Exit missing = run_gwsim({"--scenario", dir.file("none.toml")});
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
        const Exit e = run_gwsim(args);
        EXPECT_EQ(e.status, 2);
        EXPECT_NE(e.err.find("usage: gwsim --scenario FILE"), std::string::npos) << e.err;
    }
    const Exit help = run_gwsim({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: gwsim"), std::string::npos);
    EXPECT_NE(help.out.find("--idle-timeout-ms MS"), std::string::npos);
    const Exit version = run_gwsim({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("gwsim ", 0), 0u);
}

TEST(GwsimProgram, SigtermAndSigintCloseSessionsAndExitZero)
{
    for (int signal_number : {SIGTERM, SIGINT}) {
        GwsimChild gwsim;
        ASSERT_TRUE(gwsim.start(kScenarios + "/default.toml"));
        Client client;
        ASSERT_TRUE(client.connect(gwsim.port()));
        ASSERT_TRUE(client.hello());
        ASSERT_EQ(client.login("demo", "demo-pass").answer.completion_status, 0);
        EXPECT_EQ(gwsim.stop(signal_number), 0);
        EXPECT_TRUE(client.closed_within(1000));
    }
}

TEST(GwsimProgram, GarbageFromOneClientDoesNotDisturbAnother)
{
    GwsimChild gwsim;
    ASSERT_TRUE(gwsim.start(kScenarios + "/default.toml"));
    Client good;
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
        Client bad;
        ASSERT_TRUE(bad.connect(gwsim.port()));
        ASSERT_TRUE(bad.send_raw(bytes));
        EXPECT_TRUE(bad.closed_within(2000));
    }
    /* Garbage after a good handshake: a truncated request body. */
    Client late;
    ASSERT_TRUE(late.connect(gwsim.port()));
    ASSERT_TRUE(late.hello());
    ASSERT_TRUE(late.send_raw({0, 0, 0, 6, 0x13, 0, 0, 0, 1, 0}));
    EXPECT_TRUE(late.closed_within(2000));

    /* The good session is still logged in and at its own read position. */
    const Reply info = good.call(get_info(2, 4));
    ASSERT_EQ(info.kind, Reply::Kind::Answer);
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
        TempDir dir;
        const std::string scenario =
            dir.write("silent.toml", c.top_level + "[users.demo]\npassword = \"demo-pass\"\n"
                                                   "[[faults]]\ncall = \"gwapi_get_info_ex\"\n"
                                                   "delay_ms = 600\n");
        GwsimChild gwsim;
        ASSERT_TRUE(gwsim.start(scenario, c.options, c.descriptor_limit));
        std::vector<Client> silent(c.silent);
        for (Client &s : silent)
            ASSERT_TRUE(s.connect(gwsim.port()));

        Client client;
        ASSERT_TRUE(client.connect(gwsim.port()));
        ASSERT_TRUE(client.hello(gwproto::kProtocolVersion, nullptr, 5000));
        ASSERT_EQ(client.login("demo", "demo-pass").answer.completion_status, 0);
        EXPECT_EQ(client.call(get_info(2, 4), 3000).kind, Reply::Kind::Answer);
        EXPECT_TRUE(client.closed_within(2000));
        for (Client &s : silent)
            EXPECT_TRUE(s.closed_within(2000));

        const std::string err = gwsim.err();
        EXPECT_EQ(count_of(err, c.shortage), 1u) << err;
        EXPECT_EQ(count_of(err, "no handshake within 300 ms"), c.silent) << err;
        EXPECT_EQ(count_of(err, "no request for 400 ms"), 1u) << err;
        EXPECT_EQ(gwsim.stop(SIGTERM), 0);
    }
}

TEST(GwsimProgram, HandshakeRefusesAnotherVersion)
{
    GwsimChild gwsim;
    ASSERT_TRUE(gwsim.start(kScenarios + "/default.toml"));
    Client client;
    ASSERT_TRUE(client.connect(gwsim.port()));
    int32_t status = 0;
    EXPECT_FALSE(client.hello(99, &status));
    EXPECT_EQ(status, gwproto::kStatusVersionMismatch);
    EXPECT_TRUE(client.closed_within(2000));
}

TEST(GwsimProgram, ExpiredPasswordAndItsChangeAcrossConnections)
{
    GwsimChild gwsim;
    ASSERT_TRUE(gwsim.start(kScenarios + "/expired_password.toml"));
    Client first;
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

    Client second;
    ASSERT_TRUE(second.connect(gwsim.port()));
    ASSERT_TRUE(second.hello());
    EXPECT_EQ(second.login("demo", "demo-pass").answer.completion_status,
              gwproto::kStatusInvalidUserOrPassword);
    EXPECT_EQ(second.login("demo", "Bc_0007").answer.completion_status, 0);
    const Reply info = second.call(get_info(1, 12));
    EXPECT_EQ(std::string(info.answer.data.begin(), info.answer.data.end()), "XYABCDE     ");
}

TEST(GwsimProgram, FaultsHangOneRequestAndCloseTheConnection)
{
    GwsimChild gwsim;
    ASSERT_TRUE(gwsim.start(kScenarios + "/broken_connection.toml"));
    Client client;
    ASSERT_TRUE(client.connect(gwsim.port()));
    ASSERT_TRUE(client.hello());
    ASSERT_EQ(client.login("demo", "demo-pass").answer.completion_status, 0);

    EXPECT_EQ(client.call(read_event(1000, 100)).answer.completion_status, 0);
    /* The second read of the list hangs; the one after it is answered. */
    EXPECT_EQ(client.call(read_event(1000, 100), 200).kind, Reply::Kind::Timeout);
    const Reply third = client.call(read_event(1000, 100));
    ASSERT_EQ(third.kind, Reply::Kind::Answer);
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
    EXPECT_EQ(client.call(set).kind, Reply::Kind::Closed);

    /* A new connection starts a session of its own, with fresh fault counts. */
    Client again;
    ASSERT_TRUE(again.connect(gwsim.port()));
    ASSERT_TRUE(again.hello());
    ASSERT_EQ(again.login("demo", "demo-pass").answer.completion_status, 0);
    EXPECT_EQ(again.call(read_event(1000, 100)).answer.completion_status, 0);
    EXPECT_EQ(gwsim.stop(SIGTERM), 0);
}

TEST(GwsimProgram, JournalRecordsEveryRequestWithPasswordsZeroed)
{
    TempDir dir;
    const std::string journal = dir.file("journal.jsonl");
    GwsimChild gwsim;
    ASSERT_TRUE(gwsim.start(kScenarios + "/default.toml", {"--journal", journal}));
    Client client;
    ASSERT_TRUE(client.connect(gwsim.port()));
    ASSERT_TRUE(client.hello());
    ASSERT_EQ(client.login("demo", "demo-pass").answer.completion_status, 0);
    ASSERT_EQ(client.call(get_info(2, 4)).kind, Reply::Kind::Answer);

    /* Flushed per line: readable while gwsim still runs. */
    const std::string text = read_file(journal);
    EXPECT_EQ(line_count(text), 2u) << text;
    EXPECT_NE(text.find("\"call\":\"gwapi_login_ex\""), std::string::npos);
    EXPECT_NE(text.find("\"message_hex\":\"64656d6f"), std::string::npos); /* "demo" */
    EXPECT_EQ(text.find("64656d6f2d70617373"), std::string::npos);        /* "demo-pass" */
    EXPECT_NE(text.find("\"call\":\"gwapi_get_info_ex\",\"args\":{\"item\":2,\"length\":4}"),
              std::string::npos);
    EXPECT_EQ(gwsim.stop(SIGTERM), 0);
}
