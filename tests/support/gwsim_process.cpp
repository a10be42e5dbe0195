/*
 * gwsim_process.cpp - starting and stopping a gwsim child for the tests.
 * The child is bounded in time even if the test crashes: it dies with its
 * parent (PR_SET_PDEATHSIG) and an alarm set before exec ends it after a
 * minute at the latest.
 */
#include "tests/support/gwsim_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

constexpr int kStartupTimeoutMs = 5000;
constexpr unsigned kLifetimeSeconds = 60;

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace

std::string make_temporary_directory() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/gwapi-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return {};
    return pattern;
}

void remove_directory(const std::string &directory) {
    if (directory.empty()) return;
    if (DIR *dir = opendir(directory.c_str())) {
        while (dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") unlink((directory + "/" + name).c_str());
        }
        closedir(dir);
    }
    rmdir(directory.c_str());
}

GwLoginMessage make_login(const char *user, const char *password, int port, const char *host) {
    GwLoginMessage message{};
    std::strncpy(message.user_name, user, sizeof message.user_name - 1);
    std::strncpy(message.password, password, sizeof message.password - 1);
    std::strncpy(message.host, host, sizeof message.host - 1);
    message.port = port;
    std::strncpy(message.application_name, "Velmar_gwcheck", sizeof message.application_name - 1);
    return message;
}

GwsimProcess::GwsimProcess(const std::string &scenario) {
    directory_ = make_temporary_directory();
    if (directory_.empty()) {
        error_ = "cannot create a temporary directory";
        return;
    }
    const std::string scenario_path = directory_ + "/scenario.toml";
    const std::string port_path = directory_ + "/port";
    const std::string journal_path = directory_ + "/journal.jsonl";
    const std::string stderr_path = directory_ + "/stderr";
    std::ofstream(scenario_path) << scenario;

    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
        error_ = "fork failed";
        return;
    }
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        alarm(kLifetimeSeconds);
        const int null_fd = open("/dev/null", O_WRONLY);
        const int err_fd = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
        if (err_fd >= 0) dup2(err_fd, STDERR_FILENO);
        execl(GWSIM_PATH, GWSIM_PATH, "--scenario", scenario_path.c_str(), "--listen",
              "127.0.0.1:0", "--port-file", port_path.c_str(), "--journal",
              journal_path.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }

    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartupTimeoutMs);
    while (std::chrono::steady_clock::now() < give_up) {
        const std::string text = read_file(port_path);
        if (!text.empty() && text.back() == '\n') {
            port_ = std::atoi(text.c_str());
            return;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "gwsim exited: " + read_file(stderr_path);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    error_ = "gwsim did not write its port file in time";
}

GwsimProcess::~GwsimProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > give_up) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    remove_directory(directory_);
}

std::string GwsimProcess::journal() const { return read_file(directory_ + "/journal.jsonl"); }
