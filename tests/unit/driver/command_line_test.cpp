/*
 * command_line_test.cpp - gwcheck's command line: the usage answer, refused
 * over-long arguments, options, and the exit status of a run whose check
 * failed.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace {

ChildResult RunGwcheck(std::vector<std::string> args,
                       const std::function<void()> &before_exec = [] {}) {
    return RunInChild([&] {
        before_exec();
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

/* A run against a port where nothing listens: it fails at once, with status 2. */
class RunGuards : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/gwcheck-guards-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        directory_ = name;
        metrics_ = directory_ + "/gwcheck.prom";
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }
    std::string Metrics() const {
        std::ifstream in(metrics_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string directory_;
    std::string metrics_;
};

/* A signal sent before the handlers are in place waits for the run's try block. */
TEST_F(RunGuards, ASignalPendingAtTheStartIsTakenByTheRun) {
    ChildResult r = RunGwcheck({"--metrics", metrics_, "u", "p", "127.0.0.1", "1"}, [] {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        sigprocmask(SIG_BLOCK, &term, nullptr);
        raise(SIGTERM);
    });
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, "1. main: (TerminationException)Termination signal received.\n"
                     "Login status: failed\n");
    EXPECT_NE(Metrics().find("gwcheck_exit_status{user=\"u\",gateway=\"127.0.0.1:1\"} 2\n"),
              std::string::npos)
        << Metrics();
}

/* An account that could not be written is no success: exit 1, said, and in the metrics. */
TEST_F(RunGuards, AWriteErrorOnStandardOutputIsAFailure) {
    ChildResult r = RunGwcheck({"--metrics", metrics_, "u", "p", "127.0.0.1", "1"}, [] {
        int full = open("/dev/full", O_WRONLY);
        dup2(full, STDOUT_FILENO);
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "gwcheck: cannot write the account to standard output: "
                     "No space left on device\n");
    EXPECT_NE(Metrics().find("gwcheck_exit_status{user=\"u\",gateway=\"127.0.0.1:1\"} 1\n"),
              std::string::npos)
        << Metrics();
}

/* The metrics file replaces what is at its path: only a regular file that is not the
 * credentials file may be there. */
TEST_F(RunGuards, MetricsPathsThatWouldReplaceSomethingElseAreRefused) {
    const std::string credentials = directory_ + "/creds";
    std::ofstream(credentials) << "u\np\n127.0.0.1\n1\n";
    chmod(credentials.c_str(), 0600);
    const std::string link = directory_ + "/link.prom";
    symlink(credentials.c_str(), link.c_str());
    const std::string fifo = directory_ + "/fifo.prom";
    mkfifo(fifo.c_str(), 0600);
    struct Case {
        std::string path;
        std::string error;
    } cases[] = {
        {credentials, "gwcheck: the metrics file " + credentials + " is the credentials file\n"},
        {link, "gwcheck: the metrics file " + link + " is the credentials file\n"},
        {directory_, "gwcheck: the metrics file " + directory_ +
                         " exists and is not a regular file\n"},
        {fifo, "gwcheck: the metrics file " + fifo + " exists and is not a regular file\n"},
    };
    for (const Case &c : cases) {
        ChildResult r = RunGwcheck({"--metrics", c.path, "--credentials", credentials});
        EXPECT_EQ(r.exit_status, 1) << c.path;
        EXPECT_EQ(r.err, c.error);
        EXPECT_EQ(r.out, "") << "refused before connecting";
    }
    std::ifstream in(credentials);
    std::stringstream kept;
    kept << in.rdbuf();
    EXPECT_EQ(kept.str(), "u\np\n127.0.0.1\n1\n");

    /* Any other name is written, after a warning: a node exporter reads only *.prom. */
    const std::string text_file = directory_ + "/metrics.txt";
    ChildResult r = RunGwcheck({"--metrics", text_file, "u", "p", "127.0.0.1", "1"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.err, "gwcheck: warning: the metrics file " + text_file +
                         " does not end in .prom, so a node exporter will not read it\n");
    EXPECT_TRUE(std::filesystem::is_regular_file(text_file));
}

}  // namespace
