/*
 * gateway_test_support.h - helpers for the gateway operation tests: a gwsim
 * child process with a scenario of the test's own, standard output capture,
 * running an operation inside a try block and recording what it threw, and
 * a spy placed in front of a few library calls.
 */
#ifndef TESTS_UNIT_GATEWAY_GATEWAY_TEST_SUPPORT_H
#define TESTS_UNIT_GATEWAY_GATEWAY_TEST_SUPPORT_H

#include <functional>
#include <string>

#include "gateway/gateway.h"

/* Requests of one call in gwsim's journal text, and the nth one's record bytes. */
int CountCalls(const std::string &journal, const std::string &call);
std::string MessageHex(const std::string &journal, const std::string &call, int nth);

/* Redirects standard output into a file until Finish (or destruction). */
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;
    std::string Finish();

private:
    int saved_fd_ = -1;
    int file_fd_ = -1;
};

/* What an operation did when run by Attempt. */
struct Outcome {
    bool threw = false;
    const ExceptionType *type = nullptr;
    std::string message;
    std::string function; /* the throw site's function */
    const ExceptionType *cause_type = nullptr;
    std::string cause_message;
    std::string printed; /* standard output during the call */
};

/*
 * Runs body inside a try block with standard output captured, and records
 * the exception that leaves it, if any. The exception context must be begun.
 */
Outcome Attempt(const std::function<void()> &body);

/* Opens a session and logs in at 127.0.0.1:port; true when logged in. */
bool OpenSessionAndLogIn(int port, const char *user, const char *password);
/* Closes the session that OpenSessionAndLogIn opened, if any. */
void CloseSession();

/* The spy in front of the library: counts and, on demand, raises a signal. */
struct LibrarySpy {
    int message_lookups = 0;
    int raise_in_create_session = 0; /* signal number, 0: none */
    int raise_in_logout = 0;
    int refuse_random_bytes = 0; /* getrandom fails with ENOSYS */
    int interrupt_random_bytes = 0; /* getrandom fails this often with EINTR first */
    /* Printing a format that starts so raises raise_while_printing. */
    const char *print_that_raises = nullptr;
    int raise_while_printing = 0;
    /*
     * Stops the process in the middle of a password renewal: raises
     * stop_signal at the stop_nth call of stop_call ("gwapi_set_newpwd_ex",
     * or "rename" or "unlink" of a file kept beside a credentials file),
     * before the real call, or after it with stop_after.
     */
    const char *stop_call = nullptr;
    int stop_nth = 1;
    bool stop_after = false;
    int stop_signal = 0;
};
LibrarySpy &Spy();

#endif
