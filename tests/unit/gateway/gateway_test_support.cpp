/* gateway_test_support.cpp - journal reading, output capture, Attempt and the library spy. */
#include "tests/unit/gateway/gateway_test_support.h"

#include <dlfcn.h>
#include <sys/random.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>

namespace {

/* The string value of "key" in one JSON line, or "". */
std::string JsonString(const std::string &line, const std::string &key) {
    std::smatch match;
    std::regex pattern("\"" + key + "\"\\s*:\\s*\"([^\"]*)\"");
    return std::regex_search(line, match, pattern) ? match[1].str() : std::string();
}

}  // namespace

int CountCalls(const std::string &journal, const std::string &call) {
    int count = 0;
    std::istringstream in(journal);
    for (std::string line; std::getline(in, line);) count += JsonString(line, "call") == call;
    return count;
}

std::string MessageHex(const std::string &journal, const std::string &call, int nth) {
    std::istringstream in(journal);
    for (std::string line; std::getline(in, line);) {
        if (JsonString(line, "call") == call && --nth == 0) return JsonString(line, "message_hex");
    }
    return "";
}

StdoutCapture::StdoutCapture() {
    fflush(stdout);
    char name[] = "/tmp/gwcheck-stdout-XXXXXX";
    file_fd_ = mkstemp(name);
    if (file_fd_ < 0) return;
    unlink(name);
    saved_fd_ = dup(STDOUT_FILENO);
    dup2(file_fd_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() { Finish(); }

std::string StdoutCapture::Finish() {
    std::string text;
    if (saved_fd_ < 0) return text;
    fflush(stdout);
    dup2(saved_fd_, STDOUT_FILENO);
    close(saved_fd_);
    saved_fd_ = -1;
    lseek(file_fd_, 0, SEEK_SET);
    char buffer[4096];
    for (ssize_t n; (n = read(file_fd_, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    close(file_fd_);
    file_fd_ = -1;
    return text;
}

Outcome Attempt(const std::function<void()> &body) {
    Outcome outcome;
    StdoutCapture capture;
    EXC_TRY {
        body();
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        outcome.threw = true;
        outcome.type = e->type;
        outcome.message = e->message;
        outcome.function = e->source_function ? e->source_function : "";
        if (e->caused_by != nullptr) {
            outcome.cause_type = e->caused_by->type;
            outcome.cause_message = e->caused_by->message;
        }
    }
    outcome.printed = capture.Finish();
    return outcome;
}

bool OpenSessionAndLogIn(int port, const char *user, const char *password) {
    LoginRecord record;
    memset(&record, 0, sizeof record);
    snprintf(record.user_name, sizeof record.user_name, "%s", user);
    snprintf(record.password, sizeof record.password, "%s", password);
    snprintf(record.host, sizeof record.host, "127.0.0.1");
    snprintf(record.port, sizeof record.port, "%d", port);
    Attempt([&] {
        CreateSession();
        GatewayLogin(&record);
    });
    return record.logged_in == 1;
}

void CloseSession() {
    if (hSession != nullptr) {
        gwapi_close_session(hSession);
        hSession = nullptr;
    }
}

LibrarySpy &Spy() {
    static LibrarySpy spy;
    return spy;
}

/*
 * The spy: these definitions take the place of the library's for this test
 * program and hand every call on to the library's own function.
 */
template <typename Function>
Function RealFunction(const char *name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

extern "C" int32_t gwapi_get_message_ex(gwapi_session_t session, int32_t status, char *buffer,
                                        int32_t *length, int32_t flags) {
    static auto real = RealFunction<decltype(&gwapi_get_message_ex)>("gwapi_get_message_ex");
    ++Spy().message_lookups;
    return real(session, status, buffer, length, flags);
}

extern "C" gwapi_session_t gwapi_create_session(void) {
    static auto real = RealFunction<decltype(&gwapi_create_session)>("gwapi_create_session");
    if (Spy().raise_in_create_session != 0) raise(Spy().raise_in_create_session);
    return real();
}

extern "C" int32_t gwapi_logout_ex(gwapi_session_t session, int32_t *transaction_status) {
    static auto real = RealFunction<decltype(&gwapi_logout_ex)>("gwapi_logout_ex");
    if (Spy().raise_in_logout != 0) raise(Spy().raise_in_logout);
    return real(session, transaction_status);
}

/*
 * The program prints through vprintf (Print), which signals wait for; an
 * optimised build calls vfprintf in its place.
 */
static void RaiseWhilePrinting(const char *format) {
    const LibrarySpy &spy = Spy();
    if (spy.print_that_raises != nullptr &&
        strncmp(format, spy.print_that_raises, strlen(spy.print_that_raises)) == 0) {
        raise(spy.raise_while_printing);
    }
}

extern "C" int vfprintf(FILE *stream, const char *format, va_list arguments) {
    static auto real = RealFunction<decltype(&vfprintf)>("vfprintf");
    RaiseWhilePrinting(format);
    return real(stream, format, arguments);
}

extern "C" int vprintf(const char *format, va_list arguments) {
    static auto real = RealFunction<decltype(&vprintf)>("vprintf");
    RaiseWhilePrinting(format);
    return real(format, arguments);
}

extern "C" ssize_t getrandom(void *buffer, size_t length, unsigned int flags) {
    static auto real = RealFunction<decltype(&getrandom)>("getrandom");
    if (Spy().refuse_random_bytes) {
        errno = ENOSYS;
        return -1;
    }
    if (Spy().interrupt_random_bytes > 0) {
        --Spy().interrupt_random_bytes;
        errno = EINTR;
        return -1;
    }
    return real(buffer, length, flags);
}

/* Raises the stop signal when this is the call (and the side of it) to stop at. */
static void StopIfArmed(const char *call, bool after) {
    LibrarySpy &spy = Spy();
    if (spy.stop_call == nullptr || strcmp(spy.stop_call, call) != 0) return;
    if (!after && --spy.stop_nth != 0) return;
    if (spy.stop_nth == 0 && after == spy.stop_after) {
        spy.stop_call = nullptr;
        raise(spy.stop_signal);
    }
}

extern "C" int32_t gwapi_set_newpwd_ex(gwapi_session_t session, int32_t *transaction_status,
                                       const GwSetNewPasswordMessage *message) {
    static auto real = RealFunction<decltype(&gwapi_set_newpwd_ex)>("gwapi_set_newpwd_ex");
    StopIfArmed("gwapi_set_newpwd_ex", false);
    int32_t status = real(session, transaction_status, message);
    StopIfArmed("gwapi_set_newpwd_ex", true);
    return status;
}

/* Only the files the program keeps beside a credentials file count, not the test's own. */
static bool KeptBeside(const char *path) { return strstr(path, ".gwcheck-") != nullptr; }

extern "C" int rename(const char *from, const char *to) {
    static auto real = RealFunction<decltype(&rename)>("rename");
    if (KeptBeside(from)) StopIfArmed("rename", false);
    int result = real(from, to);
    if (KeptBeside(from)) StopIfArmed("rename", true);
    return result;
}

extern "C" int unlink(const char *path) {
    static auto real = RealFunction<decltype(&unlink)>("unlink");
    if (KeptBeside(path)) StopIfArmed("unlink", false);
    int result = real(path);
    if (KeptBeside(path)) StopIfArmed("unlink", true);
    return result;
}
