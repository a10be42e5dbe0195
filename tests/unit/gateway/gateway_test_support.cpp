/* gateway_test_support.cpp - gwsim child, output capture, Attempt and the library spy. */
#include "tests/unit/gateway/gateway_test_support.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

extern char **environ;

namespace {

constexpr auto kStartLimit = std::chrono::seconds(10);
constexpr auto kStopLimit = std::chrono::seconds(5);

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

/* The string value of "key" in one JSON line, or "". */
std::string JsonString(const std::string &line, const std::string &key) {
    std::smatch match;
    std::regex pattern("\"" + key + "\"\\s*:\\s*\"([^\"]*)\"");
    return std::regex_search(line, match, pattern) ? match[1].str() : std::string();
}

}  // namespace

GwsimChild::GwsimChild(const std::string &scenario) {
    char directory[] = "/tmp/gwcheck-gateway-test-XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        error_ = "mkdtemp failed";
        return;
    }
    directory_ = directory;
    const std::string scenario_file = directory_ + "/scenario.toml";
    const std::string port_file = directory_ + "/port";
    const std::string journal_file = directory_ + "/journal.jsonl";
    std::ofstream(scenario_file) << scenario;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (directory_ + "/out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (directory_ + "/err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string program = GWSIM_PATH;
    std::vector<std::string> words = {program,        "--scenario", scenario_file,
                                      "--listen",     "127.0.0.1:0", "--port-file",
                                      port_file,      "--journal",  journal_file};
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int failed = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        pid_ = -1;
        error_ = "cannot start " + program;
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text = ReadFile(port_file);
        if (!text.empty() && text.back() == '\n') {
            port_ = atoi(text.c_str());
            return;
        }
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "gwsim ended before listening: " + ReadFile(directory_ + "/err");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    error_ = "gwsim wrote no port file in time";
}

GwsimChild::~GwsimChild() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + kStopLimit;
        int status;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    if (!directory_.empty()) {
        for (const char *name : {"scenario.toml", "port", "journal.jsonl", "out", "err"}) {
            unlink((directory_ + "/" + name).c_str());
        }
        rmdir(directory_.c_str());
    }
}

std::vector<std::string> GwsimChild::JournalLines() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(directory_ + "/journal.jsonl"));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> GwsimChild::JournalCalls() const {
    std::vector<std::string> calls;
    for (const std::string &line : JournalLines()) calls.push_back(JsonString(line, "call"));
    return calls;
}

int GwsimChild::CountCalls(const std::string &call) const {
    int count = 0;
    for (const std::string &name : JournalCalls()) count += (name == call);
    return count;
}

std::string GwsimChild::MessageHex(const std::string &call, int nth) const {
    for (const std::string &line : JournalLines()) {
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
