/*
 * renewal_test.cpp - a password renewal with a credentials file, stopped at
 * each point where a stop leaves something behind (a temporary file, a
 * pending password, a change the gateway took without the answer arriving),
 * then the next runs: one of the next two logs in, the file then holds the
 * gateway's password, and nothing pending or temporary is left. Each stopped
 * run is a forked child that the library spy stops at its point.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "credentials/credentials.h"
#include "tests/support/child_process.h"
#include "tests/support/gwsim_process.h"
#include "tests/unit/gateway/gateway_test_support.h"

namespace {

const char kScenario[] = R"([users.demo]
password = "old-pass"
user_info = "XYABCDE"
password_expired = true
)";

std::string Contents(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/* The file's line 2, without its newline. */
std::string StoredPassword(const std::string &path) {
    std::istringstream lines(Contents(path));
    std::string line;
    std::getline(lines, line);
    std::getline(lines, line);
    return line;
}

std::set<std::string> Entries(const std::string &directory) {
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(directory)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

/* One run's login as the driver makes it: store opened, file read, login, store closed. */
struct LoginResult {
    bool logged_in = false;
    bool stopped = false;
    std::string printed;
};

LoginResult LogIn(const std::string &path) {
    LoginResult result;
    LoginRecord record;
    memset(&record, 0, sizeof record);
    glPasswordStore = OpenPasswordStore(path.c_str());
    result.printed = Attempt([&] {
                         ReadIniFile(&record, path.c_str());
                         CreateSession();
                         GatewayLogin(&record);
                     }).printed;
    ClosePasswordStore();
    glPasswordStore = nullptr;
    CloseSession();
    result.logged_in = record.logged_in == 1;
    result.stopped = StopRequested();
    return result;
}

/* The stop signals become exceptions; SIGCHLD, from the test's own children, does not. */
const SignalMapping kStopMappings[] = {{SIGTERM, &TerminationException},
                                       {SIGINT, &UserInterruptionException},
                                       {SIGHUP, &HangUpException},
                                       {-1, nullptr}};

class RenewalTest : public ::testing::Test {
protected:
    void SetUp() override {
        Spy() = LibrarySpy();
        exc_context_begin(0, nullptr);
        exc_context_set_signal_mappings(kStopMappings);
        depth = 0;
        hSession = nullptr;
        gwsim_ = std::make_unique<GwsimProcess>(kScenario);
        ASSERT_TRUE(gwsim_->started()) << gwsim_->error();
        directory_holder_ = std::make_unique<TemporaryDirectory>();
        ASSERT_TRUE(directory_holder_->made());
        directory_ = directory_holder_->path();
        path_ = directory_ + "/creds";
        std::ofstream(path_) << "demo\nold-pass\n127.0.0.1\n" << gwsim_->port() << "\n";
        chmod(path_.c_str(), 0600);
    }
    void TearDown() override {
        exc_context_end();
        Spy() = LibrarySpy();
        directory_holder_.reset();
        gwsim_.reset();
    }

    /* The login in a child, the spy armed as `arm` says; the child's end. */
    ChildResult StoppedLogIn(const std::function<void(LibrarySpy &)> &arm) {
        return RunInChild([&] {
            arm(Spy());
            LoginResult result = LogIn(path_);
            fputs(result.printed.c_str(), stdout);
            fflush(nullptr);
            _exit(result.stopped ? 3 : 0); /* past the exit check: the context is still begun */
        });
    }

    /* The runs after a stop: one of the next two logs in, and leaves only the file and its lock. */
    void ExpectTheNextRunsLogIn() {
        LoginResult first = LogIn(path_);
        LoginResult last = first.logged_in ? first : LogIn(path_);
        EXPECT_TRUE(last.logged_in) << first.printed << "---\n" << last.printed;
        EXPECT_EQ(Entries(directory_), (std::set<std::string>{"creds", "creds.gwcheck-lock"}));
        struct stat status;
        ASSERT_EQ(stat(path_.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0600u);
        /* The stored password is the one the gateway holds: a fresh run logs in with it. */
        EXPECT_TRUE(LogIn(path_).logged_in);
        EXPECT_NE(StoredPassword(path_), "old-pass");
    }

    std::unique_ptr<GwsimProcess> gwsim_;
    std::unique_ptr<TemporaryDirectory> directory_holder_;
    std::string directory_;
    std::string path_;
};

/* What a killed run leaves beside the file, and whether the gateway took the change. */
struct StopPoint {
    const char *name;
    const char *call;
    int nth;
    bool after;
    bool leaves_pending;
    bool leaves_temporary;
    bool change_taken;
};

void PrintTo(const StopPoint &point, std::ostream *out) { *out << point.name; }

const StopPoint kStopPoints[] = {
    /* Keeping the new password: its temporary file is written, not yet renamed. */
    {"pending file not yet in place", "rename", 1, false, false, true, false},
    {"pending kept, change not sent", "gwapi_set_newpwd_ex", 1, false, true, false, false},
    {"change taken, answer not read", "gwapi_set_newpwd_ex", 1, true, true, false, true},
    /* Saving line 2: its temporary file is written, not yet renamed. */
    {"line 2 not yet in place", "rename", 2, false, true, true, true},
    {"line 2 saved, pending not removed", "unlink", 1, false, true, false, true},
};

class KilledRenewalTest : public RenewalTest, public ::testing::WithParamInterface<StopPoint> {};

TEST_P(KilledRenewalTest, NeverLocksTheAccount) {
    const StopPoint &point = GetParam();
    ChildResult killed = StoppedLogIn([&](LibrarySpy &spy) {
        spy.stop_call = point.call;
        spy.stop_nth = point.nth;
        spy.stop_after = point.after;
        spy.stop_signal = SIGKILL;
    });
    ASSERT_EQ(killed.term_signal, SIGKILL) << killed.out << killed.err;
    std::set<std::string> left = Entries(directory_);
    EXPECT_EQ(left.count("creds.gwcheck-pending"), point.leaves_pending ? 1u : 0u);
    size_t temporary = 0;
    for (const std::string &name : left) temporary += name.rfind("creds.gwcheck-tmp-", 0) == 0;
    EXPECT_EQ(temporary, point.leaves_temporary ? 1u : 0u);
    EXPECT_EQ(CountCalls(gwsim_->journal(), "gwapi_set_newpwd_ex"), point.change_taken ? 1 : 0);

    ExpectTheNextRunsLogIn();
}

INSTANTIATE_TEST_SUITE_P(StopPoints, KilledRenewalTest, ::testing::ValuesIn(kStopPoints),
                         [](const ::testing::TestParamInfo<StopPoint> &info) {
                             std::string name;
                             for (const char *c = info.param.name; *c != '\0'; ++c) {
                                 if (isalnum(static_cast<unsigned char>(*c))) name += *c;
                             }
                             return name;
                         });

/* A stop signal while the change is on its way waits until its outcome is kept. */
class SignalledRenewalTest : public RenewalTest, public ::testing::WithParamInterface<int> {};

TEST_P(SignalledRenewalTest, WaitsUntilTheNewPasswordIsSaved) {
    ChildResult stopped = StoppedLogIn([&](LibrarySpy &spy) {
        spy.stop_call = "gwapi_set_newpwd_ex";
        spy.stop_signal = GetParam();
    });
    EXPECT_EQ(stopped.exit_status, 3) << "the stop is noted for the driver\n" << stopped.out;
    EXPECT_NE(stopped.out.find("New password generated.\n1. GatewayLogin: ("), std::string::npos)
        << stopped.out;
    EXPECT_EQ(stopped.out.find("New password generated: "), std::string::npos)
        << "a kept password is not printed";
    EXPECT_EQ(Entries(directory_), (std::set<std::string>{"creds", "creds.gwcheck-lock"}));
    EXPECT_TRUE(LogIn(path_).logged_in) << "line 2 holds the new password";
}

INSTANTIATE_TEST_SUITE_P(StopSignals, SignalledRenewalTest,
                         ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::string(sigabbrev_np(info.param));
                         });

/* A pending password that neither the gateway nor line 2 can explain is dropped. */
TEST_F(RenewalTest, APendingPasswordTheGatewayRefusesIsDropped) {
    std::ofstream(path_ + ".gwcheck-pending") << "Wrong_0001\n";
    std::ofstream(path_) << "demo\nalso-wrong\n127.0.0.1\n" << gwsim_->port() << "\n";
    LoginResult result = LogIn(path_);
    EXPECT_FALSE(result.logged_in);
    EXPECT_EQ(Entries(directory_), (std::set<std::string>{"creds", "creds.gwcheck-lock"}));
    EXPECT_EQ(StoredPassword(path_), "also-wrong") << "the file is left as it was";
}

/* Two runs on one file: the second waits for the first's lock, then logs in with its password. */
TEST_F(RenewalTest, TwoRunsAtOnceDoNotOverwriteEachOther) {
    fflush(nullptr);
    pid_t first = fork();
    if (first == 0) {
        /* Held still while the change is on its way, the lock taken. */
        Spy().stop_call = "gwapi_set_newpwd_ex";
        Spy().stop_signal = SIGSTOP;
        _exit(LogIn(path_).logged_in ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(first, &status, WUNTRACED), first);
    ASSERT_TRUE(WIFSTOPPED(status));

    int error_pipe[2];
    ASSERT_EQ(pipe(error_pipe), 0);
    pid_t second = fork();
    if (second == 0) {
        dup2(error_pipe[1], STDERR_FILENO);
        _exit(LogIn(path_).logged_in ? 1 : 0);
    }
    close(error_pipe[1]);
    /* The second run says it waits for the lock before the first goes on. */
    std::string said;
    char byte;
    while (said.find('\n') == std::string::npos && read(error_pipe[0], &byte, 1) == 1) {
        said += byte;
    }
    EXPECT_EQ(said, "gwcheck: waiting for another run to finish with " + path_ + "\n");
    kill(first, SIGCONT);

    ASSERT_EQ(waitpid(first, &status, 0), first);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the first run renewed";
    ASSERT_EQ(waitpid(second, &status, 0), second);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "the second run logged in";
    close(error_pipe[0]);
    EXPECT_EQ(CountCalls(gwsim_->journal(), "gwapi_set_newpwd_ex"), 1);
    EXPECT_EQ(Entries(directory_), (std::set<std::string>{"creds", "creds.gwcheck-lock"}));
}

}  // namespace
