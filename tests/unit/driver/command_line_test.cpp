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
        {{"u", "p", std::string(128, 'h'), "1"}, "gwcheck: host must be at most 127 characters\n"},
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
    for (const char *asked : {"--help", "-h"}) {
        ChildResult help = RunGwcheck({asked});
        EXPECT_EQ(help.exit_status, 0);
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(help.out.rfind("Usage: gwcheck [OPTIONS] username pwd host port [P]\n"
                                 "       gwcheck [OPTIONS] --credentials FILE [P]\n", 0),
                  0u)
            << help.out;
        for (const char *option :
             {"\n  -f, --credentials=FILE ", "\n  -m, --metrics=FILE ", "\n  -t, --timeout=SECONDS ",
              "\n      --connect-timeout=MS ", "\n      --answer-timeout=MS ",
              "\n      --poll-interval=SECONDS ", "\n      --nagios ", "\n  -w, --warning=SECONDS ",
              "\n  -c, --critical=SECONDS ", "\n  -h, --help ", "\n  -V, --version "}) {
            EXPECT_NE(help.out.find(option), std::string::npos) << option;
        }
    }
    for (const char *asked : {"--version", "-V"}) {
        ChildResult version = RunGwcheck({asked});
        EXPECT_EQ(version.exit_status, 0);
        EXPECT_EQ(version.out, "gwcheck " GWCHECK_VERSION "\n");
    }
}

/* A usage error says why on standard error, with a hint at --help; with
 * --nagios anywhere among the options, it is UNKNOWN (3) with a status line. */
TEST(CommandLine, UsageErrorsSayWhyOnStandardError) {
    struct Case {
        std::vector<std::string> args;
        const char *reason;
    } cases[] = {
        {{"--bogus", "u", "p", "h", "1"}, "unknown option --bogus"},
        {{"-x", "u", "p", "h", "1"}, "unknown option -x"},
        {{"--metrics"}, "--metrics needs a value"},
        {{"-m"}, "--metrics needs a value"},
        {{"--credentials=", "P"}, "--credentials needs a file name"},
        {{"--metrics", "a", "-m", "b", "u", "p", "h", "1"}, "--metrics given twice"},
        {{"--credentials", "c", "P", "extra"}, "with --credentials only P may follow the options"},
        {{"-f", "c", "u", "p", "h", "1"}, "with --credentials only P may follow the options"},
        {{"--", "u", "p", "h"}, "username, pwd, host and port are needed"},
        /* Without options six operands run as always; with them, only the two forms. */
        {{"--metrics", "m", "u", "p", "h", "1", "P", "extra"},
         "at most five operands: username pwd host port [P]"},
        {{"-t", "0", "u", "p", "h", "1"},
         "--timeout must be a whole number of seconds from 1 to 604800, not \"0\""},
        {{"--timeout=5s", "u", "p", "h", "1"},
         "--timeout must be a whole number of seconds from 1 to 604800, not \"5s\""},
        {{"--poll-interval", "0", "u", "p", "h", "1"},
         "--poll-interval must be a whole number of seconds from 1 to 86400, not \"0\""},
        {{"--answer-timeout", "0", "u", "p", "h", "1"},
         "--answer-timeout must be a whole number of milliseconds from 1 to 86400000, not \"0\""},
        {{"--connect-timeout=86400001", "u", "p", "h", "1"},
         "--connect-timeout must be a whole number of milliseconds from 1 to 86400000, not "
         "\"86400001\""},
        {{"-w", "5", "u", "p", "h", "1"}, "-w and -c need --nagios"},
        {{"--nagios", "-c", "-1", "u", "p", "h", "1"},
         "--critical must be a number of seconds above 0, not \"-1\""},
        {{"--nagios", "-w", ".", "u", "p", "h", "1"},
         "--warning must be a number of seconds above 0, not \".\""},
    };
    for (const Case &c : cases) {
        ChildResult r = RunGwcheck(c.args);
        bool plugin = c.args[0] == "--nagios";
        EXPECT_EQ(r.exit_status, plugin ? 3 : 1) << c.args[0] << " " << c.args.size();
        EXPECT_EQ(r.out, plugin ? "GWCHECK UNKNOWN - usage error: " + std::string(c.reason) + "\n"
                                : "");
        EXPECT_EQ(r.err, "gwcheck: " + std::string(c.reason) +
                             "\nTry 'gwcheck --help' for more information.\n");
    }
}

/* The variables the library reads are checked like the options that set them. */
TEST(CommandLine, InvalidTimeoutVariablesAreUsageErrors) {
    for (const char *value : {"5s", "0", "", "-1", "86400001"}) {
        ChildResult r = RunGwcheck({"u", "p", "127.0.0.1", "1"},
                                   [&] { setenv("GWAPI_ANSWER_TIMEOUT_MS", value, 1); });
        EXPECT_EQ(r.exit_status, 1) << value;
        EXPECT_EQ(r.err, "gwcheck: GWAPI_ANSWER_TIMEOUT_MS must be a whole number of milliseconds "
                         "from 1 to 86400000, not \"" + std::string(value) +
                             "\"\nTry 'gwcheck --help' for more information.\n");
        EXPECT_EQ(r.out, "");
    }
}

/* Options come first: an operand spelled like one is run as an operand, with a warning. */
TEST(CommandLine, OptionsAfterTheOperandsAreOperands) {
    ChildResult r = RunGwcheck({"u", "-p", "127.0.0.1", "1", "P", "--metrics", "m.prom"});
    EXPECT_EQ(r.exit_status, 2) << "six operands: a run without polling";
    EXPECT_EQ(r.err, "gwcheck: warning: \"--metrics\" after the fourth operand is taken as an "
                     "operand, not an option; options come first\n");
    EXPECT_EQ(r.out.find("Waiting for broadcasts"), std::string::npos);
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
