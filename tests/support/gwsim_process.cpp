/*
 * gwsim_process.cpp - starting, watching and stopping gwsim children, and
 * the test client.
 *
 * gwsim's standard output is a pipe: its line "gwsim listening on
 * HOST:PORT" says it is ready, and the end of the pipe says it has ended,
 * so no wait polls a file or sleeps. The child is bounded in time even if
 * the test crashes: it dies with its parent (PR_SET_PDEATHSIG), and an
 * alarm set before exec ends it after ten minutes at the latest.
 */
#include "tests/support/gwsim_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

constexpr unsigned kLifetimeSeconds = 600;

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

/* Milliseconds left until the deadline, for poll(). */
int left_ms(int64_t deadline) {
    return static_cast<int>(std::clamp<int64_t>(deadline - now_ms(), 0, kGenerousWaitMs));
}

/* Waits for the descriptor to become readable (or hung up); false when the deadline passes. */
bool wait_readable(int fd, int64_t deadline) {
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, left_ms(deadline));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

/* Reads what the pipe holds into `text`: 1 when bytes came, 0 at its end,
 * -1 when the deadline passed first. */
int read_some(int fd, int64_t deadline, std::string &text) {
    if (!wait_readable(fd, deadline)) return -1;
    char chunk[4096];
    ssize_t n;
    do {
        n = read(fd, chunk, sizeof chunk);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return 0;
    text.append(chunk, static_cast<std::size_t>(n));
    return 1;
}

int status_of(int wait_status) {
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

/*
 * Starts gwsim with these arguments: its standard output is a new pipe,
 * whose read end goes to `stdout_fd`, its standard error the file
 * `stderr_path`. Returns the child's pid, or -1.
 */
pid_t spawn_gwsim(const std::vector<std::string> &arguments, int &stdout_fd,
                  const std::string &stderr_path, unsigned descriptor_limit) {
    std::vector<std::string> words = {GWSIM_PATH};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return -1;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        /* Only async-signal-safe calls between fork and exec. */
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        alarm(kLifetimeSeconds);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int err = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (err < 0 || dup2(out[1], STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) _exit(127);
        if (descriptor_limit != 0) {
            const rlimit limit{descriptor_limit, descriptor_limit};
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        return -1;
    }
    stdout_fd = out[0];
    return pid;
}

/* Requests of `call` in the complete lines of a journal. */
int count_requests(const std::string &journal, const std::string &call) {
    const std::string key = "\"call\":\"" + call + "\"";
    const std::size_t complete = journal.rfind('\n');
    int count = 0;
    for (std::size_t at = journal.find(key); at != std::string::npos && at < complete;
         at = journal.find(key, at + 1))
        ++count;
    return count;
}

}  // namespace

TemporaryDirectory::TemporaryDirectory() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/gwcheck-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    if (made()) std::filesystem::remove_all(path_, ignored);
}

std::string TemporaryDirectory::write(const std::string &name, const std::string &text) const {
    const std::string path = file(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

GwsimExit run_gwsim(const std::vector<std::string> &arguments) {
    GwsimExit result;
    TemporaryDirectory directory;
    int out_fd = -1;
    const pid_t pid = spawn_gwsim(arguments, out_fd, directory.file("err"), 0);
    if (pid < 0) return result;
    const int64_t deadline = now_ms() + kGenerousWaitMs;
    int got;
    while ((got = read_some(out_fd, deadline, result.out)) > 0) {
    }
    if (got < 0) kill(pid, SIGKILL);
    int wait_status = 0;
    while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
    close(out_fd);
    result.status = got == 0 ? status_of(wait_status) : -1;
    result.err = read_file(directory.file("err"));
    return result;
}

GwsimProcess::GwsimProcess(const std::string &scenario, const std::vector<std::string> &options,
                           unsigned descriptor_limit) {
    if (!directory_.made()) {
        error_ = "cannot create a temporary directory";
        return;
    }
    std::vector<std::string> arguments = {"--scenario", directory_.write("scenario.toml", scenario),
                                          "--listen", "127.0.0.1:0",
                                          "--journal", directory_.file("journal.jsonl")};
    arguments.insert(arguments.end(), options.begin(), options.end());
    pid_ = spawn_gwsim(arguments, stdout_fd_, directory_.file("stderr"), descriptor_limit);
    if (pid_ < 0) {
        error_ = std::string("cannot start gwsim: ") + std::strerror(errno);
        return;
    }

    const std::string ready = "gwsim listening on ";
    const int64_t deadline = now_ms() + kGenerousWaitMs;
    std::string out;
    while (out.find('\n') == std::string::npos) {
        const int got = read_some(stdout_fd_, deadline, out);
        if (got == 0) {
            wait_for_end(kGenerousWaitMs);
            error_ = "gwsim ended with status " + std::to_string(exit_status_) +
                     " before listening: " + err();
            return;
        }
        if (got < 0) {
            error_ = "gwsim did not say it listens in time";
            return;
        }
    }
    const std::string line = out.substr(0, out.find('\n'));
    const std::size_t colon = line.rfind(':');
    if (line.rfind(ready, 0) != 0 || colon == std::string::npos ||
        (port_ = std::atoi(line.c_str() + colon + 1)) <= 0) {
        port_ = 0;
        error_ = "unexpected first line from gwsim: " + line;
    }
}

GwsimProcess::~GwsimProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        wait_for_end(kGenerousWaitMs);
    }
    if (stdout_fd_ >= 0) close(stdout_fd_);
}

bool GwsimProcess::wait_for_end(int timeout_ms) {
    if (pid_ <= 0) return true;
    const int64_t deadline = now_ms() + timeout_ms;
    std::string ignored;
    int got;
    while ((got = read_some(stdout_fd_, deadline, ignored)) > 0) ignored.clear();
    if (got < 0) return false;
    /* The output's end comes as gwsim exits: this wait is short. */
    int wait_status = 0;
    while (waitpid(pid_, &wait_status, 0) < 0 && errno == EINTR) {
    }
    exit_status_ = status_of(wait_status);
    pid_ = -1;
    return true;
}

bool GwsimProcess::running() {
    if (pid_ <= 0) return false;
    int wait_status = 0;
    if (waitpid(pid_, &wait_status, WNOHANG) == pid_) {
        exit_status_ = status_of(wait_status);
        pid_ = -1;
        return false;
    }
    return true;
}

int GwsimProcess::stop(int signal_number) {
    if (!running()) return -1;
    kill(pid_, signal_number);
    return wait_for_end(kGenerousWaitMs) ? exit_status_ : -1;
}

std::string GwsimProcess::journal() const { return read_file(directory_.file("journal.jsonl")); }

std::string GwsimProcess::err() const { return read_file(directory_.file("stderr")); }

bool GwsimProcess::wait_for_request(const std::string &call, int nth) {
    /* Each change of the journal wakes the wait; so does gwsim's end. */
    const std::string path = directory_.file("journal.jsonl");
    const int changes = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (changes >= 0 && inotify_add_watch(changes, path.c_str(), IN_MODIFY) < 0) {
        close(changes);
        return false;
    }
    const int64_t deadline = now_ms() + kGenerousWaitMs;
    bool found = false;
    bool ended = false;
    while (!(found = count_requests(journal(), call) >= nth) && !ended) {
        const int left = left_ms(deadline);
        if (left == 0) break;
        pollfd entries[2] = {{changes, POLLIN, 0}, {stdout_fd_, POLLIN, 0}};
        if (poll(entries, 2, changes >= 0 ? left : std::min(left, 1)) < 0 && errno != EINTR) break;
        char events[4096];
        if (entries[0].revents & POLLIN) {
            while (read(changes, events, sizeof events) > 0) {
            }
        }
        /* The end of gwsim's output is gwsim's end. */
        if (entries[1].revents & (POLLIN | POLLHUP)) {
            ssize_t n;
            while ((n = read(stdout_fd_, events, sizeof events)) < 0 && errno == EINTR) {
            }
            ended = n <= 0;
        }
    }
    if (changes >= 0) close(changes);
    return found;
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

GwsimClient::~GwsimClient() {
    if (fd_ >= 0) close(fd_);
}

bool GwsimClient::connect(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

bool GwsimClient::send_raw(const std::vector<uint8_t> &bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool GwsimClient::fill(std::size_t count, int timeout_ms, bool &closed) {
    closed = false;
    const int64_t deadline = now_ms() + timeout_ms;
    while (in_.size() < count) {
        if (!wait_readable(fd_, deadline)) return false;
        uint8_t chunk[4096];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            closed = true;
            return false;
        }
        in_.insert(in_.end(), chunk, chunk + n);
    }
    return true;
}

bool GwsimClient::send_hello(uint16_t version) {
    std::vector<uint8_t> frame;
    gwproto::encode_hello(gwproto::Hello{version, 0}, gwproto::MessageKind::Hello, frame);
    return send_raw(frame);
}

bool GwsimClient::receive_hello(int32_t *status, int timeout_ms) {
    bool closed = false;
    if (!fill(gwproto::kFrameHeaderSize, timeout_ms, closed)) return false;
    const std::size_t body = gwproto::get_u32(in_.data());
    if (body > 64 || !fill(gwproto::kFrameHeaderSize + body, timeout_ms, closed)) return false;
    gwproto::Hello answer;
    gwproto::MessageKind kind{};
    const std::vector<uint8_t> bytes(in_.begin() + gwproto::kFrameHeaderSize,
                                     in_.begin() + static_cast<long>(gwproto::kFrameHeaderSize + body));
    in_.erase(in_.begin(), in_.begin() + static_cast<long>(gwproto::kFrameHeaderSize + body));
    if (gwproto::decode_hello(bytes, answer, kind) != gwproto::CodecError::Ok ||
        kind != gwproto::MessageKind::HelloAnswer)
        return false;
    if (status != nullptr) *status = answer.status;
    return answer.status == 0;
}

uint32_t GwsimClient::send(gwproto::Request request) {
    request.request_id = next_id_++;
    std::vector<uint8_t> frame;
    if (gwproto::encode_request(request, frame) != gwproto::CodecError::Ok || !send_raw(frame))
        return 0;
    return request.request_id;
}

GwsimReply GwsimClient::receive(int timeout_ms) {
    GwsimReply reply;
    bool closed = false;
    if (!fill(gwproto::kFrameHeaderSize, timeout_ms, closed)) {
        reply.kind = closed ? GwsimReply::Kind::Closed : GwsimReply::Kind::Timeout;
        return reply;
    }
    const std::size_t body = gwproto::get_u32(in_.data());
    if (body > gwproto::kMaxFrameBodySize) {
        reply.kind = GwsimReply::Kind::Malformed;
        return reply;
    }
    if (!fill(gwproto::kFrameHeaderSize + body, timeout_ms, closed)) {
        reply.kind = closed ? GwsimReply::Kind::Closed : GwsimReply::Kind::Timeout;
        return reply;
    }
    reply.data.assign(in_.begin() + gwproto::kFrameHeaderSize,
                      in_.begin() + static_cast<long>(gwproto::kFrameHeaderSize + body));
    in_.erase(in_.begin(), in_.begin() + static_cast<long>(gwproto::kFrameHeaderSize + body));
    reply.kind = gwproto::decode_answer(reply.data, reply.answer) == gwproto::CodecError::Ok
                     ? GwsimReply::Kind::Answer
                     : GwsimReply::Kind::Malformed;
    return reply;
}

GwsimReply GwsimClient::answer_to(uint32_t id, int timeout_ms) {
    if (id == 0) {
        GwsimReply reply;
        reply.kind = GwsimReply::Kind::Closed;
        return reply;
    }
    GwsimReply reply = receive(timeout_ms);
    if (reply.kind == GwsimReply::Kind::Answer && reply.answer.request_id != id)
        reply.kind = GwsimReply::Kind::Malformed;
    return reply;
}

GwsimReply GwsimClient::call(gwproto::Request request, int timeout_ms) {
    return answer_to(send(std::move(request)), timeout_ms);
}

uint32_t GwsimClient::send_login(const std::string &user, const std::string &password) {
    std::vector<uint8_t> message(sizeof(GwLoginMessage), 0);
    std::memcpy(message.data(), user.data(), std::min<std::size_t>(user.size(), 31));
    std::memcpy(message.data() + 32, password.data(), std::min<std::size_t>(password.size(), 31));
    gwproto::Request request;
    request.kind = gwproto::MessageKind::Login;
    request.record = message;
    return send(request);
}

GwsimReply GwsimClient::login(const std::string &user, const std::string &password) {
    return answer_to(send_login(user, password), kGenerousWaitMs);
}

bool GwsimClient::closed_within(int timeout_ms) {
    bool closed = false;
    fill(in_.size() + 1, timeout_ms, closed);
    return closed;
}
