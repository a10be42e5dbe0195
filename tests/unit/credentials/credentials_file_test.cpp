/*
 * credentials_file_test.cpp - ReadIniFile and UpdateIniFile against real
 * files in a private directory: what they read and write, what they refuse,
 * and that every failure leaves the record or the file as it was, no
 * temporary file behind, depth back and no descriptor open.
 */
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "credentials/credentials.h"

namespace {

int CountOpenDescriptors() {
    int count = 0;
    DIR *fds = opendir("/proc/self/fd");
    if (fds == nullptr) {
        return -1;
    }
    while (readdir(fds) != nullptr) {
        ++count;
    }
    closedir(fds);
    return count;
}

std::string Contents(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::set<std::string> Entries(const std::string &directory) {
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(directory)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

/* What one call did: the exception that reached the caller (if any), what it printed. */
struct Outcome {
    const ExceptionType *type = nullptr;
    std::string message;
    const ExceptionType *cause_type = nullptr;
    std::string cause_message;
    std::string printed;
    int depth_change = 0;
    int descriptors_change = 0;
};

/* Records the exception a call lets out; no destructor is crossed by the jump. */
template <typename Call>
void RunInBlock(Call call, Outcome *outcome) {
    EXC_TRY {
        call();
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        outcome->type = e->type;
        outcome->message = e->message;
        if (e->caused_by != nullptr) {
            outcome->cause_type = e->caused_by->type;
            outcome->cause_message = e->caused_by->message;
        }
    }
}

template <typename Call>
Outcome Observe(Call call) {
    Outcome outcome;
    testing::internal::CaptureStdout();
    int descriptors_before = CountOpenDescriptors();
    int depth_before = depth;
    RunInBlock(call, &outcome);
    outcome.depth_change = depth - depth_before;
    outcome.descriptors_change = CountOpenDescriptors() - descriptors_before;
    outcome.printed = testing::internal::GetCapturedStdout();
    return outcome;
}

class CredentialsFileTest : public testing::Test {
protected:
    void SetUp() override {
        exc_context_begin(0, nullptr);
        depth = 0;
        char name[] = "/tmp/gwcheck-credentials-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        directory_ = name;
        memset(&record_, 0, sizeof record_);
        strcpy(record_.user_name, "old-user");
        strcpy(record_.password, "old-pass");
        strcpy(record_.host, "old-host");
        strcpy(record_.port, "1");
        record_.logged_in = 1;
    }

    void TearDown() override {
        exc_context_end();
        std::filesystem::remove_all(directory_);
    }

    std::string Write(const std::string &name, const std::string &content) {
        std::string path = directory_ + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    /* The file's content is exactly `expected` and nothing else is in the directory. */
    void ExpectOnly(const std::string &path, const std::string &expected) {
        EXPECT_EQ(Contents(path), expected);
        EXPECT_EQ(Entries(directory_), std::set<std::string>{path.substr(directory_.size() + 1)});
    }

    std::string directory_;
    LoginRecord record_;
};

void ExpectCleanSuccess(const Outcome &outcome) {
    EXPECT_EQ(outcome.type, nullptr) << outcome.message;
    EXPECT_EQ(outcome.printed, "");
    EXPECT_EQ(outcome.depth_change, 0);
    EXPECT_EQ(outcome.descriptors_change, 0);
}

void ExpectFailure(const Outcome &outcome, const ExceptionType &type, const char *operation,
                   const ExceptionType &cause, const std::string &cause_message) {
    EXPECT_EQ(outcome.type, &type);
    EXPECT_STREQ(outcome.message.c_str(), type.default_message);
    EXPECT_EQ(outcome.cause_type, &cause) << outcome.cause_message;
    EXPECT_EQ(outcome.cause_message, cause_message);
    EXPECT_EQ(outcome.printed, "1. " + std::string(operation) + ": (" + cause.type_name + ")" +
                                   cause_message + "\n");
    EXPECT_EQ(outcome.depth_change, 0);
    EXPECT_EQ(outcome.descriptors_change, 0);
}

/* ---- ReadIniFile ---- */

TEST_F(CredentialsFileTest, ReadsFourLinesAndKeepsTheLoggedInFlag) {
    /* Whatever follows the fourth line is not read. */
    std::string path = Write("creds", "alice\ns3cret\n10.0.0.7\n4001\n" + std::string(99, 'x'));
    int32_t result = -1;
    ExpectCleanSuccess(Observe([&] { result = ReadIniFile(&record_, path.c_str()); }));
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(record_.user_name, "alice");
    EXPECT_STREQ(record_.password, "s3cret");
    EXPECT_STREQ(record_.host, "10.0.0.7");
    EXPECT_STREQ(record_.port, "4001");
    EXPECT_EQ(record_.logged_in, 1);
}

TEST_F(CredentialsFileTest, ShortFileLeavesMissingFieldsAsTheyWere) {
    std::string path = Write("creds", "bob\n\n");
    ExpectCleanSuccess(Observe([&] { ReadIniFile(&record_, path.c_str()); }));
    EXPECT_STREQ(record_.user_name, "bob");
    EXPECT_STREQ(record_.password, "");
    EXPECT_STREQ(record_.host, "old-host");
    EXPECT_STREQ(record_.port, "1");
}

TEST_F(CredentialsFileTest, AcceptsLinesAtTheLimitAndALastLineWithoutNewline) {
    std::string user(30, 'u'), password(30, 'p'), host(127, 'h');
    std::string path = Write("creds", user + "\n" + password + "\n" + host + "\n123");
    ExpectCleanSuccess(Observe([&] { ReadIniFile(&record_, path.c_str()); }));
    EXPECT_EQ(std::string(record_.user_name), user);
    EXPECT_EQ(std::string(record_.password), password);
    EXPECT_EQ(std::string(record_.host), host);
    EXPECT_STREQ(record_.port, "123");
}

/* Line ends: a CR before the newline is part of the line end, and a last
 * line without a newline may fill its field to the last character. */
TEST_F(CredentialsFileTest, CarriageReturnsAndLastLinesAtTheirLimits) {
    struct Case {
        std::string content;
        const char *fields[4];
    } cases[] = {
        {"alice\r\npw\r\nhost\r\n1234\r\n", {"alice", "pw", "host", "1234"}},
        {std::string(30, 'u') + "\r\n\r\n" + std::string(14, 'h') + "\r\n123456\r\n",
         {"uuuuuuuuuuuuuuuuuuuuuuuuuuuuuu", "", "hhhhhhhhhhhhhh", "123456"}},
        {"u\np\nh\n1234567", {"u", "p", "h", "1234567"}},
        {"u\np\nh\n1234\r", {"u", "p", "h", "1234"}},
        {"a\rb\np\r\r\nh\n1\n", {"a\rb", "p\r", "h", "1"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.content);
        std::string path = Write("creds", c.content);
        ExpectCleanSuccess(Observe([&] { ReadIniFile(&record_, path.c_str()); }));
        EXPECT_STREQ(record_.user_name, c.fields[0]);
        EXPECT_STREQ(record_.password, c.fields[1]);
        EXPECT_STREQ(record_.host, c.fields[2]);
        EXPECT_STREQ(record_.port, c.fields[3]);
    }
}

TEST_F(CredentialsFileTest, RefusesAnOverLongLineAndLeavesTheRecordUntouched) {
    /* The host takes all the login message's host field holds, whichever way its line ends. */
    const size_t limits[] = {30, 30, 127, 6};
    for (int refused = 0; refused < 4; ++refused) {
        SCOPED_TRACE("line " + std::to_string(refused + 1));
        std::string content;
        for (int line = 0; line < 4; ++line) {
            content += std::string(limits[line] + (line == refused ? 1 : 0), 'a' + line) + "\n";
        }
        std::string path = Write("creds", content);
        LoginRecord before = record_;
        Outcome outcome = Observe([&] { ReadIniFile(&record_, path.c_str()); });
        ExpectFailure(outcome, ReadIniFileException, "ReadIniFile", FileReadException,
                      "Line " + std::to_string(refused + 1) + " is longer than " +
                          std::to_string(limits[refused]) + " characters in " + path);
        EXPECT_EQ(memcmp(&before, &record_, sizeof before), 0);
    }

    /* A last line without a newline may hold one character more, not two. */
    std::string path = Write("creds", "u\np\nh\n12345678");
    Outcome outcome = Observe([&] { ReadIniFile(&record_, path.c_str()); });
    ExpectFailure(outcome, ReadIniFileException, "ReadIniFile", FileReadException,
                  "Line 4 is longer than 7 characters in " + path);
}

TEST_F(CredentialsFileTest, RefusesALineHoldingANulByte) {
    std::string path = Write("creds", std::string("us\0er\np\nh\n1\n", 12));
    LoginRecord before = record_;
    Outcome outcome = Observe([&] { ReadIniFile(&record_, path.c_str()); });
    ExpectFailure(outcome, ReadIniFileException, "ReadIniFile", FileReadException,
                  "Line 1 holds a NUL byte in " + path);
    EXPECT_EQ(memcmp(&before, &record_, sizeof before), 0);
}

TEST_F(CredentialsFileTest, MissingFileIsReportedAndLeavesTheRecordUntouched) {
    std::string path = directory_ + "/absent";
    LoginRecord before = record_;
    Outcome outcome = Observe([&] { ReadIniFile(&record_, path.c_str()); });
    ExpectFailure(outcome, ReadIniFileException, "ReadIniFile", FileOpenException, path);
    EXPECT_EQ(memcmp(&before, &record_, sizeof before), 0);
}

/* Anything but a regular file is refused at once, by both operations: a FIFO
 * with no writer would block the open for ever, a device never ends. */
TEST_F(CredentialsFileTest, OnlyRegularFilesAreOpened) {
    const std::string fifo = directory_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &path : {directory_, fifo, std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        LoginRecord before = record_;
        Outcome outcome = Observe([&] { ReadIniFile(&record_, path.c_str()); });
        ExpectFailure(outcome, ReadIniFileException, "ReadIniFile", FileOpenException, path);
        EXPECT_STREQ(IniFileProblem(), "not a regular file");
        EXPECT_EQ(memcmp(&before, &record_, sizeof before), 0);

        outcome = Observe([&] { UpdateIniFile(path.c_str(), 1, "NEW"); });
        ExpectFailure(outcome, UpdateIniFileException, "UpdateIniFile", FileOpenException, path);
        EXPECT_STREQ(IniFileProblem(), "not a regular file");
    }
    EXPECT_EQ(Entries(directory_), std::set<std::string>{"fifo"});

    /* The reason of a missing file is the system's. (A throw jumps past the
     * block's destructors: the path is made outside it.) */
    const std::string absent = directory_ + "/absent";
    Observe([&] { ReadIniFile(&record_, absent.c_str()); });
    EXPECT_STREQ(IniFileProblem(), strerror(ENOENT));
}

/* ---- UpdateIniFile: the new content ---- */

const char kFourLines[] = "one\ntwo\nthree\nfour\n";

TEST_F(CredentialsFileTest, ReplacesALineInTheMiddle) {
    std::string path = Write("creds", kFourLines);
    ExpectCleanSuccess(Observe([&] { UpdateIniFile(path.c_str(), 2, "NEW"); }));
    ExpectOnly(path, "one\nNEW\nthree\nfour\n");
}

TEST_F(CredentialsFileTest, LineNumbersOfOneOrLessReplaceTheFirstLine) {
    for (int32_t line_number : {1, 0, -5, INT32_MIN}) {
        SCOPED_TRACE(line_number);
        std::string path = Write("creds", kFourLines);
        ExpectCleanSuccess(Observe([&] { UpdateIniFile(path.c_str(), line_number, "NEW"); }));
        ExpectOnly(path, "NEW\ntwo\nthree\nfour\n");
    }
}

TEST_F(CredentialsFileTest, LineNumbersPastTheEndAppendTheText) {
    for (int32_t line_number : {5, 7, INT32_MAX}) {
        SCOPED_TRACE(line_number);
        std::string path = Write("creds", kFourLines);
        ExpectCleanSuccess(Observe([&] { UpdateIniFile(path.c_str(), line_number, "NEW"); }));
        ExpectOnly(path, "one\ntwo\nthree\nfour\nNEW\n");
    }
}

/* A last line without a newline keeps its bytes; the text never joins it. */
TEST_F(CredentialsFileTest, TextAfterALastLineWithoutNewlineStartsALineOfItsOwn) {
    struct Case {
        const char *content;
        int32_t line_number;
        const char *expected;
    } cases[] = {
        {"alice\npw\nhost\n1234", 5, "alice\npw\nhost\n1234\nNEW\n"},
        {"alice\npw\nhost\n1234", 6, "alice\npw\nhost\n1234\nNEW\n"},
        {"alice\npw\nhost\n1234", 4, "alice\npw\nhost\nNEW\n"},
        {"one\ntwo", 9, "one\ntwo\nNEW\n"},
        {"one", 2, "one\nNEW\n"},
        {"", 3, "NEW\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.content) + " at line " + std::to_string(c.line_number));
        std::string path = Write("creds", c.content);
        ExpectCleanSuccess(Observe([&] { UpdateIniFile(path.c_str(), c.line_number, "NEW"); }));
        ExpectOnly(path, c.expected);
    }
}

TEST_F(CredentialsFileTest, EmptyTextLeavesAnEmptyLine) {
    std::string path = Write("creds", kFourLines);
    ExpectCleanSuccess(Observe([&] { UpdateIniFile(path.c_str(), 3, ""); }));
    ExpectOnly(path, "one\ntwo\n\nfour\n");
}

TEST_F(CredentialsFileTest, LongLinesCountAsPiecesOf255Bytes) {
    const std::string long_line(300, 'x');
    std::string path = Write("creds", "one\n" + long_line + "\nthree\n");
    /* The 300 characters are lines 2 and 3, so "three" is line 4. */
    ExpectCleanSuccess(Observe([&] { UpdateIniFile(path.c_str(), 4, "NEW"); }));
    ExpectOnly(path, "one\n" + long_line + "\nNEW\n");

    path = Write("creds", "one\n" + long_line + "\nthree\n");
    ExpectCleanSuccess(Observe([&] { UpdateIniFile(path.c_str(), 2, "NEW"); }));
    ExpectOnly(path, "one\nNEW\n" + std::string(45, 'x') + "\nthree\n");
}

TEST_F(CredentialsFileTest, CopiesEveryOtherByteUnchanged) {
    const std::string tail = std::string("bin\0ary\r\n", 9) + std::string(600, 'z') + "\nend";
    std::string path = Write("creds", "one\ntwo\n" + tail);
    ExpectCleanSuccess(Observe([&] { UpdateIniFile(path.c_str(), 1, "NEW"); }));
    ExpectOnly(path, "NEW\ntwo\n" + tail);
}

/* ---- UpdateIniFile: what it must keep ---- */

/* The new file is the owner's alone, whatever the old mode was: it holds a password. */
TEST_F(CredentialsFileTest, KeepsTheOwnerAndMakesTheFileOwnerOnly) {
    for (mode_t mode : {0600, 0640, 0644, 0664, 0400}) {
        SCOPED_TRACE(mode);
        std::string path = Write("creds", kFourLines);
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        ExpectCleanSuccess(Observe([&] { UpdateIniFile(path.c_str(), 2, "NEW"); }));
        ExpectOnly(path, "one\nNEW\nthree\nfour\n");
        struct stat status;
        ASSERT_EQ(stat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0600u);
    }

    /* Only a privileged process may give a file to another user. */
    if (geteuid() != 0) {
        GTEST_SKIP() << "the owner can be kept only when the test runs as root";
    }
    std::string path = Write("creds", kFourLines);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    ASSERT_EQ(chown(path.c_str(), 4321, 8765), 0);
    ExpectCleanSuccess(Observe([&] { UpdateIniFile(path.c_str(), 2, "NEW"); }));
    struct stat status;
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 4321u);
    EXPECT_EQ(status.st_gid, 8765u);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
}

/* A link is followed: its target is replaced in its own directory, and the
 * link (even a chain of links, relative or absolute) stays as it was. */
TEST_F(CredentialsFileTest, FollowsSymbolicLinksAndKeepsThem) {
    const std::string real_directory = directory_ + "/real";
    ASSERT_EQ(mkdir(real_directory.c_str(), 0700), 0);
    const std::string target = real_directory + "/creds";
    std::ofstream(target, std::ios::binary) << kFourLines;
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    const std::string link = directory_ + "/link";
    const std::string second_link = directory_ + "/second-link";
    ASSERT_EQ(symlink("real/creds", link.c_str()), 0);
    ASSERT_EQ(symlink(link.c_str(), second_link.c_str()), 0);

    ExpectCleanSuccess(Observe([&] { UpdateIniFile(second_link.c_str(), 2, "NEW"); }));
    ExpectCleanSuccess(Observe([&] { UpdateIniFile(link.c_str(), 3, "NEWER"); }));

    EXPECT_EQ(Contents(target), "one\nNEW\nNEWER\nfour\n");
    struct stat status;
    ASSERT_EQ(lstat(link.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), "real/creds");
    EXPECT_EQ(std::filesystem::read_symlink(second_link).string(), link);
    ASSERT_EQ(stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(Entries(directory_), (std::set<std::string>{"link", "real", "second-link"}));
    EXPECT_EQ(Entries(real_directory), std::set<std::string>{"creds"});

    /* A link to nothing: reported as the path given, nothing made anywhere. */
    const std::string dangling = directory_ + "/dangling";
    ASSERT_EQ(symlink("real/absent", dangling.c_str()), 0);
    Outcome outcome = Observe([&] { UpdateIniFile(dangling.c_str(), 1, "NEW"); });
    ExpectFailure(outcome, UpdateIniFileException, "UpdateIniFile", FileOpenException, dangling);
    EXPECT_EQ(Entries(real_directory), std::set<std::string>{"creds"});
    EXPECT_TRUE(std::filesystem::is_symlink(dangling));
}

/* ---- UpdateIniFile: failures leave everything as it was ---- */

TEST_F(CredentialsFileTest, MissingFileIsReportedAndNothingIsCreated) {
    std::string path = directory_ + "/absent";
    Outcome outcome = Observe([&] { UpdateIniFile(path.c_str(), 1, "NEW"); });
    ExpectFailure(outcome, UpdateIniFileException, "UpdateIniFile", FileOpenException, path);
    EXPECT_TRUE(Entries(directory_).empty());

    path = directory_ + "/no-such-directory/creds";
    outcome = Observe([&] { UpdateIniFile(path.c_str(), 1, "NEW"); });
    ExpectFailure(outcome, UpdateIniFileException, "UpdateIniFile", FileOpenException, path);
    EXPECT_TRUE(Entries(directory_).empty());
}

TEST_F(CredentialsFileTest, DirectoryThatCannotBeWrittenLeavesTheFileAlone) {
    /* Even root cannot create files in /proc, while its files are readable. */
    const std::string path = "/proc/version";
    const std::string before = Contents(path);
    if (before.empty()) {
        GTEST_SKIP() << path << " is not readable here";
    }
    Outcome outcome = Observe([&] { UpdateIniFile(path.c_str(), 1, "NEW"); });
    EXPECT_EQ(outcome.type, &UpdateIniFileException);
    EXPECT_EQ(outcome.cause_type, &FileOpenException);
    EXPECT_EQ(outcome.cause_message.rfind(path + ".", 0), 0u) << outcome.cause_message;
    EXPECT_EQ(outcome.printed.rfind("1. UpdateIniFile: (FileOpenException)" + path + ".", 0), 0u);
    EXPECT_EQ(outcome.depth_change, 0);
    EXPECT_EQ(outcome.descriptors_change, 0);
    EXPECT_EQ(Contents(path), before);
}


/*
 * A write that fails midway: a child process may not make files larger than
 * a few hundred bytes, so the copy of a larger file fails part way through.
 * The file is named through a link in another directory: the temporary file
 * made next to the file it leads to is gone too.
 */
TEST_F(CredentialsFileTest, FailedWriteKeepsTheOriginalByteForByte) {
    std::string original;
    for (int line = 0; line < 60; ++line) {
        original += std::to_string(line) + std::string(150, 'c') + "\n";
    }
    std::string target = Write("creds", original);
    const std::string link_directory = directory_ + "/links";
    ASSERT_EQ(mkdir(link_directory.c_str(), 0700), 0);
    std::string path = link_directory + "/creds";
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);

    int output[2];
    ASSERT_EQ(pipe(output), 0);
    fflush(stdout);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(output[1], STDOUT_FILENO);
        close(output[0]);
        close(output[1]);
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {512, 512};
        setrlimit(RLIMIT_FSIZE, &limit);
        int descriptors_before = CountOpenDescriptors();
        Outcome outcome;
        RunInBlock([&] { UpdateIniFile(path.c_str(), 30, "NEW"); }, &outcome);
        int verdict = 0;
        if (outcome.type != &UpdateIniFileException) verdict |= 1;
        if (outcome.cause_type != &InputOutputException) verdict |= 2;
        if (depth != 0) verdict |= 4;
        if (CountOpenDescriptors() != descriptors_before) verdict |= 8;
        fflush(stdout);
        _exit(verdict);
    }
    close(output[1]);
    std::string printed;
    char buffer[512];
    ssize_t got;
    while ((got = read(output[0], buffer, sizeof buffer)) > 0) {
        printed.append(buffer, static_cast<size_t>(got));
    }
    close(output[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "bits: 1 type, 2 cause, 4 depth, 8 descriptors";
    EXPECT_EQ(printed.rfind("1. UpdateIniFile: (InputOutputException)write failed (File too large): " +
                                target + ".",
                            0),
              0u)
        << printed;
    EXPECT_EQ(Contents(target), original);
    EXPECT_EQ(Entries(directory_), (std::set<std::string>{"creds", "links"}));
    EXPECT_EQ(Entries(link_directory), std::set<std::string>{"creds"});
    EXPECT_TRUE(std::filesystem::is_symlink(path));
}

}  // namespace
