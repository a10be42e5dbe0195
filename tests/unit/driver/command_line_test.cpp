/*
 * command_line_test.cpp - gwcheck's command line: the usage answer, refused
 * over-long arguments, options, and the exit status of a run whose check
 * failed.
 */
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/child_process.h"

namespace {

ChildResult RunGwcheck(std::vector<std::string> args) {
    return RunInChild([&] {
        std::vector<char *> argv;
        std::string program = GWCHECK_PATH;
        argv.push_back(program.data());
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    });
}

const char kUsage[] = "Usage: gwcheck username pwd host port [P]\n";

TEST(CommandLine, TooFewArgumentsAreAnsweredWithTheUsageLine) {
    const std::vector<std::vector<std::string>> calls = {
        {}, {"demo"}, {"demo", "pass"}, {"demo", "pass", "127.0.0.1"}};
    for (const auto &args : calls) {
        ChildResult r = RunGwcheck(args);
        EXPECT_EQ(r.exit_status, 1) << args.size() << " arguments";
        EXPECT_EQ(r.out, kUsage);
        EXPECT_EQ(r.err, "");
    }
}

TEST(CommandLine, OverLongArgumentsAreRefusedNotCut) {
    struct Case {
        std::vector<std::string> args;
        const char *error;
    } cases[] = {
        {{std::string(32, 'u'), "p", "h", "1"}, "gwcheck: username must be at most 31 characters\n"},
        {{"u", std::string(32, 'p'), "h", "1"}, "gwcheck: pwd must be at most 31 characters\n"},
        {{"u", "p", std::string(16, 'h'), "1"}, "gwcheck: host must be at most 15 characters\n"},
    };
    for (const Case &c : cases) {
        ChildResult r = RunGwcheck(c.args);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, c.error);
        EXPECT_EQ(r.out, "") << "nothing runs after a refused argument";
    }
}

/* A port is digits only, 1 to 65535: anything else is refused before the run,
 * with the text named, instead of going to the gateway as atoi reads it. */
TEST(CommandLine, PortTextsOtherThanOneTo65535AreRefused) {
    for (const char *port : {"33611ab", "-1", "0x10", "99999", "0", "", " 80", "+80", "65536",
                             "12345678"}) {
        ChildResult r = RunGwcheck({"u", "p", "127.0.0.1", port});
        EXPECT_EQ(r.exit_status, 1) << port;
        EXPECT_EQ(r.err, "gwcheck: port \"" + std::string(port) +
                             "\" is not a number from 1 to 65535\n");
        EXPECT_EQ(r.out, "") << "nothing runs after a refused port";
    }
}

TEST(CommandLine, HelpAndVersionAnswerOnStandardOutput) {
    ChildResult help = RunGwcheck({"--help", "--bogus"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("Usage: gwcheck [OPTIONS] username pwd host port [P]\n"
                             "       gwcheck [OPTIONS] --credentials FILE [P]\n", 0),
              0u)
        << help.out;
    for (const char *option : {"\n  --credentials FILE ", "\n  --metrics FILE ", "\n  --help ",
                               "\n  --version "}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }

    ChildResult version = RunGwcheck({"--version"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, "gwcheck " GWCHECK_VERSION "\n");
}

TEST(CommandLine, ArgumentListsThatFitNeitherFormGetTheUsageLine) {
    struct Case {
        std::vector<std::string> args;
        const char *error;
    } cases[] = {
        {{"--bogus", "u", "p", "h", "1"}, "gwcheck: unknown option --bogus\n"},
        {{"--metrics"}, "gwcheck: --metrics needs a file name\n"},
        {{"--credentials", "", "P"}, "gwcheck: --credentials needs a file name\n"},
        {{"--metrics", "a", "--metrics", "b", "u", "p", "h", "1"},
         "gwcheck: --metrics given twice\n"},
        {{"--credentials", "c", "P", "extra"}, ""},
        {{"--credentials", "c", "u", "p", "h", "1"}, ""},
        {{"--", "u", "p", "h"}, ""},
        /* Without options six texts run as always; with them, only the two forms. */
        {{"--metrics", "m", "u", "p", "h", "1", "P", "extra"}, ""},
    };
    for (const Case &c : cases) {
        ChildResult r = RunGwcheck(c.args);
        EXPECT_EQ(r.exit_status, 1) << c.args[0] << " " << c.args.size();
        EXPECT_EQ(r.out, kUsage);
        EXPECT_EQ(r.err, c.error);
    }
}

TEST(CommandLine, FailedCheckEndsWithTheMainLineAndStatusTwo) {
    /* Port 1 on loopback: nothing listens there, so the login cannot succeed. */
    ChildResult r = RunGwcheck({std::string(31, 'u'), "pass", "127.0.0.1", "1"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Date of run: "), std::string::npos);
    EXPECT_NE(r.out.find("\n1. main: (GetFacilityTypeException)Failed to get facility type.\n"
                         "Login status: failed\n"),
              std::string::npos)
        << r.out;

    /* After "--", a user name may begin with "--". */
    ChildResult dashed = RunGwcheck({"--", "--user", "pass", "127.0.0.1", "1"});
    EXPECT_EQ(dashed.exit_status, 2);
    EXPECT_NE(dashed.out.find("\nLogin username: --user\n"), std::string::npos) << dashed.out;
}

}  // namespace
