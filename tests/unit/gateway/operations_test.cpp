/*
 * operations_test.cpp - the gateway operations in their try/catch/finally
 * frames: failure lines, the types that reach the caller with their causes,
 * depth restored, and what reaches the library, against a gwsim child whose
 * scenario injects the statuses.
 */
#include <gtest/gtest.h>

#include <signal.h>

#include <cstring>
#include <memory>
#include <regex>
#include <string>

#include "tests/unit/gateway/gateway_test_support.h"
#include "tests/support/gwsim_process.h"

namespace {

const char kScenario[] = R"(facility_type = 5
query_answer = "0011aabb"

[users.demo]
password = "demo-pass"
user_info = "XYABCDE"
)";

/* Every test runs inside a begun exception context, at depth 0. */
class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        Spy() = LibrarySpy();
        exc_context_begin(handle_signals_, nullptr);
        depth = 0;
        hSession = nullptr;
    }
    void TearDown() override {
        CloseSession();
        exc_context_end();
        Spy() = LibrarySpy();
    }
    int handle_signals_ = 0;
};

/* The same with a gwsim child; Start adds the test's faults to the scenario. */
class SessionTest : public FrameTest {
protected:
    bool Start(const std::string &faults = "", bool log_in = true) {
        gwsim_ = std::make_unique<GwsimProcess>(kScenario + faults);
        if (!gwsim_->started()) {
            ADD_FAILURE() << gwsim_->error();
            return false;
        }
        if (!log_in) return true;
        bool logged_in = OpenSessionAndLogIn(gwsim_->port(), "demo", "demo-pass");
        EXPECT_TRUE(logged_in);
        return logged_in;
    }
    void TearDown() override {
        FrameTest::TearDown();
        gwsim_.reset();
    }
    int Count(const char *call) const { return CountCalls(gwsim_->journal(), call); }
    std::unique_ptr<GwsimProcess> gwsim_;
};

std::string Fault(const char *call, const char *settings) {
    return std::string("\n[[faults]]\ncall = \"") + call + "\"\n" + settings + "\n";
}

/* ---- CheckError ---------------------------------------------------------- */

TEST_F(FrameTest, CheckErrorReturnsOnZeroOrMoreWithoutAskingTheLibrary) {
    Outcome outcome = Attempt([] {
        CheckError(0, 7);
        CheckError(5, GWAPI_ITEM_NOT_FOUND);
    });
    EXPECT_FALSE(outcome.threw);
    EXPECT_EQ(Spy().message_lookups, 0);
}

TEST_F(FrameTest, CheckErrorWithoutTransactionStatusCarriesTheCompletionText) {
    Outcome outcome = Attempt([] { CheckError(-1, 0); });
    EXPECT_EQ(outcome.type, &GatewayApiException);
    EXPECT_EQ(outcome.message, "General failure.");
    EXPECT_EQ(outcome.function, "CheckError");
    EXPECT_EQ(Spy().message_lookups, 1);
}

TEST_F(FrameTest, CheckErrorNotFoundDropsTheLookedUpText) {
    Outcome outcome = Attempt([] { CheckError(-1, GWAPI_ITEM_NOT_FOUND); });
    EXPECT_EQ(outcome.type, &FileNotFoundException);
    EXPECT_EQ(outcome.message, "File not found.");
    EXPECT_EQ(Spy().message_lookups, 1);
}

TEST_F(FrameTest, CheckErrorJoinsBothTextsOrTheirReplacements) {
    EXPECT_EQ(Attempt([] { CheckError(-1, -13); }).message, "General failure., Buffer too small.");
    EXPECT_EQ(Attempt([] { CheckError(-1, 7); }).message,
              "General failure., Failed to retrieve message for transaction error 7");
    Outcome outcome = Attempt([] { CheckError(-12345, 4242); });
    EXPECT_EQ(outcome.type, &GatewayApiException);
    EXPECT_EQ(outcome.message,
              "Failed to retrieve message for cstatus -12345, "
              "Failed to retrieve message for transaction error 4242");
    Outcome widest = Attempt([] { CheckError(INT32_MIN, INT32_MIN + 1); });
    EXPECT_EQ(widest.message,
              "Failed to retrieve message for cstatus -2147483648, "
              "Failed to retrieve message for transaction error -2147483647");
}

/* ---- operations whose library call raises a signal ---------------------- */

class SignalFrameTest : public FrameTest {
protected:
    SignalFrameTest() { handle_signals_ = 1; }
};

TEST_F(SignalFrameTest, FailingCreateSessionReportsAndRestoresDepth) {
    Spy().raise_in_create_session = SIGUSR1;
    Outcome outcome = Attempt([] { CreateSession(); });
    EXPECT_EQ(outcome.printed,
              "1. CreateSession: (ProgramSignal1Exception)User-defined signal 1 received.\n");
    EXPECT_EQ(outcome.type, &CreateSessionException);
    EXPECT_EQ(outcome.message, "Failed to create session.");
    EXPECT_EQ(outcome.cause_type, &ProgramSignal1Exception);
    EXPECT_EQ(depth, 0);
}

TEST_F(SignalFrameTest, LogoutPrintsItsLineAndPassesTheFailureOnUntouched) {
    Spy().raise_in_logout = SIGUSR1;
    Outcome outcome = Attempt([] { Logout(); });
    EXPECT_EQ(outcome.printed, "Logout from gateway.\n");
    EXPECT_EQ(outcome.type, &ProgramSignal1Exception);
    EXPECT_EQ(outcome.cause_type, nullptr);
    EXPECT_EQ(depth, 0);
}

TEST_F(SignalFrameTest, SignalHeldBackByAnOperationsFirstLineLeavesDepthAsItWas) {
    struct Case {
        const char *first_line;
        void (*operation)();
    } cases[] = {
        {"Retrieve facility type.", [] { GetFacilityType(); }},
        {"Retrieve user information.",
         [] {
             char user_info[12];
             GetUserInfo(user_info, sizeof user_info);
         }},
        {"Login username",
         [] {
             LoginRecord record = {};
             GatewayLogin(&record);
         }},
        {"Logout from gateway.", [] { Logout(); }},
    };
    for (const Case &c : cases) {
        Spy().print_that_raises = c.first_line;
        Spy().raise_while_printing = SIGINT;
        Outcome outcome = Attempt(c.operation);
        Spy().print_that_raises = nullptr;
        EXPECT_EQ(outcome.type, &UserInterruptionException) << c.first_line;
        EXPECT_EQ(depth, 0) << c.first_line;
        depth = 0;
    }
}

/* ---- login and password -------------------------------------------------- */

LoginRecord RecordFor(int port) {
    LoginRecord record;
    memset(&record, 0, sizeof record);
    strcpy(record.user_name, "demo");
    strcpy(record.password, "demo-pass");
    strcpy(record.host, "127.0.0.1");
    snprintf(record.port, sizeof record.port, "%d", port);
    return record;
}

/* Every login connects afresh, so each status gets a gateway of its own. */
TEST_F(SessionTest, LoginStatusesSetTheFlag) {
    for (int32_t status : {0, 1, 7}) {
        ASSERT_TRUE(Start(Fault("gwapi_login_ex",
                                ("completion_status = " + std::to_string(status)).c_str()),
                          false));
        LoginRecord record = RecordFor(gwsim_->port());
        Outcome outcome = Attempt([&] {
            CreateSession();
            GatewayLogin(&record);
        });
        EXPECT_FALSE(outcome.threw);
        EXPECT_EQ(record.logged_in, 1) << "status " << status;
        CloseSession();
    }

    /* A rejected login is reported, ends there, and leaves the flag at 0. */
    ASSERT_TRUE(Start(Fault("gwapi_login_ex", "completion_status = -1"), false));
    LoginRecord record = RecordFor(gwsim_->port());
    record.logged_in = 1;
    Outcome rejected = Attempt([&] {
        CreateSession();
        GatewayLogin(&record);
    });
    EXPECT_FALSE(rejected.threw);
    EXPECT_EQ(record.logged_in, 0);
    EXPECT_EQ(rejected.printed, "Login username: demo\nLogin Host: 127.0.0.1\nLogin Port: " +
                                    std::string(record.port) +
                                    "\n1. GatewayLogin: (GatewayApiException)General failure.\n");
    EXPECT_EQ(depth, 0);
}

TEST_F(SessionTest, ExpiredPasswordIsRenewedEvenWhenTheChangeFails) {
    ASSERT_TRUE(Start(Fault("gwapi_login_ex", "completion_status = 2027") +
                          Fault("gwapi_set_newpwd_ex", "completion_status = -1"),
                      false));
    LoginRecord record = RecordFor(gwsim_->port());
    record.logged_in = 1;

    Outcome outcome = Attempt([&] {
        CreateSession();
        GatewayLogin(&record);
    });
    EXPECT_FALSE(outcome.threw);
    EXPECT_EQ(record.logged_in, 0);
    EXPECT_STREQ(record.password, "demo-pass") << "the record keeps the old password";
    const std::string expired = "Password has expired, generating new password.\n";
    size_t at = outcome.printed.find(expired);
    ASSERT_NE(at, std::string::npos) << outcome.printed;
    /* The refused change follows the generated password, so it is not taken as in force. */
    std::string rest = outcome.printed.substr(at + expired.size());
    EXPECT_TRUE(std::regex_match(rest, std::regex("New password generated: "
                                                  "[B-Z][b-z][B-Z][b-z]_[0-9]{4}\n"
                                                  "Set new password failed\\. "
                                                  "Completion status = -1\n")))
        << rest;
    /* What the caller learns: a change was sent with this password and refused. */
    EXPECT_EQ(glPasswordRenewal.attempted, 1);
    EXPECT_EQ(glPasswordRenewal.completion_status, -1);
    EXPECT_EQ(rest.find(std::string("New password generated: ") + glPasswordRenewal.new_password +
                        "\n"),
              0u);
    EXPECT_EQ(Count("gwapi_set_newpwd_ex"), 1);
    EXPECT_EQ(depth, 0);
}

TEST_F(SessionTest, NoPasswordChangeWithoutRandomBytes) {
    ASSERT_TRUE(Start(Fault("gwapi_login_ex", "completion_status = 2027"), false));
    LoginRecord record = RecordFor(gwsim_->port());

    /* An interrupted draw is simply repeated. */
    Spy().interrupt_random_bytes = 3;
    char password[20];
    RandomPassword(password, sizeof password);
    EXPECT_EQ(strlen(password), 9u);

    /* Without random bytes no password is made, and none is sent. */
    Spy().refuse_random_bytes = 1;
    RandomPassword(password, sizeof password);
    EXPECT_STREQ(password, "");
    Outcome outcome = Attempt([&] {
        CreateSession();
        GatewayLogin(&record);
    });
    EXPECT_FALSE(outcome.threw);
    EXPECT_NE(outcome.printed.find("Password has expired, generating new password.\n"
                                   "1. GatewayLogin: (RuntimeException)"
                                   "Could not generate a new password.\n"),
              std::string::npos)
        << outcome.printed;
    EXPECT_EQ(record.logged_in, 0);
    EXPECT_EQ(Count("gwapi_set_newpwd_ex"), 0);
}

TEST_F(SessionTest, SetpwdPrintsTheOutcomeAndReturnsTheStatus) {
    ASSERT_TRUE(Start(Fault("gwapi_set_newpwd_ex", "nth = 2\ncompletion_status = 5")));
    int32_t status = -99;
    Outcome success = Attempt([&] { status = setpwd("demo-pass", "Newpass_1"); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(success.printed, "Successfully set a new password \n");

    Outcome failure = Attempt([&] { status = setpwd("Newpass_1", "Other_2"); });
    EXPECT_FALSE(failure.threw);
    EXPECT_EQ(status, 5);
    EXPECT_EQ(failure.printed, "Set new password failed. Completion status = 5\n");
}

TEST_F(SessionTest, LogoutReturnsItsStatusWithoutReporting) {
    ASSERT_TRUE(Start(Fault("gwapi_logout_ex", "completion_status = -1")));
    int32_t status = 0;
    Outcome outcome = Attempt([&] { status = Logout(); });
    EXPECT_FALSE(outcome.threw);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(outcome.printed, "Logout from gateway.\n");
    EXPECT_EQ(depth, 0);
}

TEST_F(SessionTest, AfterTheCloseOperationsMeetNoSession) {
    ASSERT_TRUE(Start());
    ClearSessionHandler();
    EXPECT_EQ(hSession, nullptr);
    /* As the driver's catch block would after a signal: no freed session is used. */
    int32_t status = 0;
    Outcome outcome = Attempt([&] {
        status = Logout();
        ClearSessionHandler();
    });
    EXPECT_FALSE(outcome.threw);
    EXPECT_LT(status, 0);
    EXPECT_EQ(Count("gwapi_logout_ex"), 0);
}

/* ---- information requests ------------------------------------------------ */

TEST_F(SessionTest, FacilityTypeAndUserInformation) {
    ASSERT_TRUE(Start());
    char user_info[12];
    Outcome outcome = Attempt([&] {
        GetFacilityType();
        GetUserInfo(user_info, sizeof user_info);
    });
    EXPECT_FALSE(outcome.threw);
    EXPECT_EQ(glFacilityType_EP0, 5);
    EXPECT_EQ(std::string(user_info, 12), "XYABCDE     ");
    EXPECT_EQ(outcome.printed, "Retrieve facility type.\nRetrieve user information.\n");
    EXPECT_EQ(depth, 0);
}

TEST_F(SessionTest, FailingRequestsReportAndRethrowTheirOwnType) {
    ASSERT_TRUE(Start(Fault("gwapi_get_info_ex", "arg = 2\nnth = 1\ncompletion_status = -1") +
                      Fault("gwapi_get_info_ex",
                            "arg = 2\nnth = 2\ncompletion_status = -1\ntransaction_status = -600164") +
                      Fault("gwapi_get_info_ex",
                            "arg = 1\ncompletion_status = -1\ntransaction_status = -600164")));
    Outcome facility = Attempt([] { GetFacilityType(); });
    EXPECT_EQ(facility.printed,
              "Retrieve facility type.\n1. GetFacilityType: (GatewayApiException)General failure.\n");
    EXPECT_EQ(facility.type, &GetFacilityTypeException);
    EXPECT_EQ(facility.message, "Failed to get facility type.");
    EXPECT_EQ(facility.cause_type, &GatewayApiException);
    EXPECT_EQ(depth, 0);

    Outcome not_found = Attempt([] { GetFacilityType(); });
    EXPECT_EQ(not_found.printed,
              "Retrieve facility type.\n1. GetFacilityType: (FileNotFoundException)File not found.\n");
    EXPECT_EQ(not_found.type, &GetFacilityTypeException);
    EXPECT_EQ(not_found.cause_type, &FileNotFoundException);

    char user_info[12];
    Outcome info = Attempt([&] { GetUserInfo(user_info, sizeof user_info); });
    EXPECT_EQ(info.printed,
              "Retrieve user information.\n1. GetUserInfo: (FileNotFoundException)File not found.\n");
    EXPECT_EQ(info.type, &GetUserInfoException);
    EXPECT_EQ(info.message, "Failed to get user information.");
    EXPECT_EQ(depth, 0);
}

/* ---- transactions -------------------------------------------------------- */

const unsigned char *FramedTransaction() {
    return static_cast<const unsigned char *>(message.message);
}

TEST_F(SessionTest, TransactionIsFramedWithAHostOrderLength) {
    ASSERT_TRUE(Start());
    unsigned char payload[258];
    for (size_t i = 0; i < sizeof payload; ++i) payload[i] = static_cast<unsigned char>(i);
    int32_t status = -99;
    Outcome outcome = Attempt([&] { status = SendTx(payload, sizeof payload, 5); });
    EXPECT_FALSE(outcome.threw) << outcome.printed;
    EXPECT_GE(status, 0);
    EXPECT_EQ(outcome.printed, "");
    const unsigned char *framed = FramedTransaction();
    ASSERT_NE(framed, nullptr);
    EXPECT_EQ(memcmp(framed, "\x02\x01\x00\x00", 4), 0);
    EXPECT_EQ(memcmp(framed + 4, payload, sizeof payload), 0);
    EXPECT_EQ(message.reserved, 0u);
    EXPECT_EQ(MessageHex(gwsim_->journal(), "gwapi_tx_ex", 1).substr(0, 12), "020100000001");
    EXPECT_EQ(depth, 0);
}

TEST_F(SessionTest, TransactionWithFacilityTypeZeroNeverReachesTheLibrary) {
    ASSERT_TRUE(Start());
    const char payload[] = "abc";
    Outcome outcome = Attempt([&] { SendTx(payload, 3, 0); });
    EXPECT_EQ(outcome.printed,
              "1. SendTx: (InvalidFacilityTypeException)Facility type must not be 0.\n");
    EXPECT_EQ(outcome.type, &SendTxException);
    EXPECT_EQ(outcome.message, "Gateway send transaction failure.");
    EXPECT_EQ(outcome.cause_type, &InvalidFacilityTypeException);
    EXPECT_EQ(Count("gwapi_tx_ex"), 0);
    /* The message was framed all the same. */
    EXPECT_EQ(memcmp(FramedTransaction(), "\x03\x00\x00\x00" "abc", 7), 0);
    EXPECT_EQ(depth, 0);
}

TEST_F(SessionTest, TransactionStatusMinus40IsReturnedWithoutALine) {
    ASSERT_TRUE(Start(Fault("gwapi_tx_ex", "completion_status = -40")));
    int32_t status = 0;
    Outcome outcome = Attempt([&] { status = SendTx("x", 1, 5); });
    EXPECT_FALSE(outcome.threw);
    EXPECT_EQ(status, -40);
    EXPECT_EQ(outcome.printed, "");
}

TEST_F(SessionTest, TransactionFailureAndNotFoundAreReportedAlike) {
    ASSERT_TRUE(Start(Fault("gwapi_tx_ex", "completion_status = -1\ntransaction_status = -600164")));
    Outcome outcome = Attempt([&] { SendTx("x", 1, 5); });
    EXPECT_EQ(outcome.printed, "1. SendTx: (FileNotFoundException)File not found.\n");
    EXPECT_EQ(outcome.type, &SendTxException);
    EXPECT_EQ(depth, 0);
}

TEST_F(SessionTest, PayloadThatDoesNotFitIsRefusedBeforeTheBufferIsTouched) {
    ASSERT_TRUE(Start());
    Outcome framed = Attempt([&] { SendTx("keep", 4, 5); });
    ASSERT_FALSE(framed.threw);
    static char large[GWAPI_MAX_PAYLOAD + 1];
    for (int32_t length : {GWAPI_MAX_PAYLOAD + 1, -1, INT32_MIN}) {
        Outcome outcome = Attempt([&] { SendTx(large, length, 5); });
        EXPECT_EQ(outcome.printed, "1. SendTx: (ExceededBufferSizeException)Exceeded buffer size.\n");
        EXPECT_EQ(outcome.type, &SendTxException);
        EXPECT_EQ(outcome.cause_type, &ExceededBufferSizeException);
        EXPECT_EQ(memcmp(FramedTransaction(), "\x04\x00\x00\x00" "keep", 8), 0);
    }
    Outcome query = Attempt([&] { Query(large, GWAPI_MAX_PAYLOAD + 1, 5, nullptr, nullptr); });
    EXPECT_EQ(query.printed, "1. Query: (ExceededBufferSizeException)Exceeded buffer size.\n");
    EXPECT_EQ(query.type, &QueryException);
    EXPECT_EQ(Count("gwapi_tx_ex"), 1);
    EXPECT_EQ(Count("gwapi_query_ex"), 0);
    EXPECT_EQ(depth, 0);

    /* A missing payload is refused the same way; an empty one is not. */
    Outcome missing = Attempt([&] { SendTx(nullptr, 4, 5); });
    EXPECT_EQ(missing.printed, "1. SendTx: (NullPointerException)Null pointer.\n");
    EXPECT_EQ(missing.type, &SendTxException);
    Outcome empty = Attempt([&] { SendTx(nullptr, 0, 5); });
    EXPECT_FALSE(empty.threw) << empty.printed;
    EXPECT_EQ(memcmp(FramedTransaction(), "\x00\x00\x00\x00", 4), 0);
    EXPECT_EQ(Count("gwapi_tx_ex"), 2);

    /* The largest payload that fits goes through. */
    Outcome largest = Attempt([&] { SendTx(large, GWAPI_MAX_PAYLOAD, 5); });
    EXPECT_FALSE(largest.threw) << largest.printed;
    EXPECT_EQ(Count("gwapi_tx_ex"), 3);
}

/* ---- queries ------------------------------------------------------------- */

TEST_F(SessionTest, QueryDeliversTheAnswerEvenForFacilityTypeZero) {
    ASSERT_TRUE(Start());
    unsigned char answer[16] = {};
    int32_t answer_length = sizeof answer;
    Outcome outcome = Attempt([&] { Query("q", 1, 0, answer, &answer_length); });
    EXPECT_FALSE(outcome.threw) << outcome.printed;
    EXPECT_EQ(outcome.printed, "");
    EXPECT_EQ(answer_length, 4);
    EXPECT_EQ(memcmp(answer, "\x00\x11\xaa\xbb", 4), 0);
    EXPECT_EQ(Count("gwapi_query_ex"), 1);
    EXPECT_EQ(memcmp(queryMessage, "\x01\x00\x00\x00q", 5), 0);
    EXPECT_EQ(depth, 0);
}

TEST_F(SessionTest, QueryNotFoundPassesOnWithAnEmptyMessageAndNoLine) {
    ASSERT_TRUE(Start(Fault("gwapi_query_ex", "completion_status = -1\ntransaction_status = -600164")));
    unsigned char answer[16];
    int32_t answer_length = sizeof answer;
    Outcome outcome = Attempt([&] { Query("q", 1, 5, answer, &answer_length); });
    EXPECT_EQ(outcome.printed, "");
    EXPECT_EQ(outcome.type, &FileNotFoundException);
    EXPECT_EQ(outcome.message, "");
    EXPECT_EQ(outcome.function, "Query");
    EXPECT_EQ(outcome.cause_type, &FileNotFoundException);
    EXPECT_EQ(outcome.cause_message, "File not found.");
    EXPECT_EQ(depth, 0);
}

TEST_F(SessionTest, QueryOtherFailuresBecomeQueryException) {
    ASSERT_TRUE(Start(Fault("gwapi_query_ex", "completion_status = -1\ntransaction_status = 7")));
    unsigned char answer[16];
    int32_t answer_length = sizeof answer;
    Outcome outcome = Attempt([&] { Query("q", 1, 5, answer, &answer_length); });
    EXPECT_EQ(outcome.printed,
              "1. Query: (GatewayApiException)General failure., "
              "Failed to retrieve message for transaction error 7\n");
    EXPECT_EQ(outcome.type, &QueryException);
    EXPECT_EQ(outcome.message, "Gateway query failure.");
    EXPECT_EQ(depth, 0);
}

}  // namespace
