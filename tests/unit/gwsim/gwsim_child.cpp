/*
 * gwsim_child.cpp - starting and stopping gwsim, and the test client.
 */
#include "gwsim_child.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace gwsim_test {

namespace {

int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

pid_t spawn(const std::vector<std::string> &args, const std::string &out, const std::string &err,
            unsigned descriptor_limit = 0)
{
    std::vector<char *> argv;
    std::string program = GWSIM_BINARY;
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (std::string &a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (o < 0 || e < 0)
            _exit(127);
        dup2(o, 1);
        dup2(e, 2);
        if (descriptor_limit != 0) {
            const rlimit limit{descriptor_limit, descriptor_limit};
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
                _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

/* Waits for the child; -1 when it is still running after the time. */
int wait_exit(pid_t pid, int timeout_ms)
{
    const int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 || now_ms() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

TempDir::TempDir()
{
    char pattern[] = "/tmp/gwsim-test.XXXXXX";
    const char *made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir()
{
    std::error_code ignored;
    if (path_ != "/tmp")
        std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string &name, const std::string &text) const
{
    const std::string path = file(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

Exit run_gwsim(const std::vector<std::string> &args, int timeout_ms)
{
    TempDir dir;
    Exit result;
    const pid_t pid = spawn(args, dir.file("out"), dir.file("err"));
    result.status = wait_exit(pid, timeout_ms);
    if (result.status < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    result.out = read_file(dir.file("out"));
    result.err = read_file(dir.file("err"));
    return result;
}

GwsimChild::~GwsimChild()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool GwsimChild::start(const std::string &scenario, const std::vector<std::string> &extra,
                       unsigned descriptor_limit)
{
    std::vector<std::string> args = {"--scenario", scenario, "--listen", "127.0.0.1:0",
                                     "--port-file", dir_.file("port")};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = spawn(args, dir_.file("out"), dir_.file("err"), descriptor_limit);
    const int64_t deadline = now_ms() + 5000;
    while (now_ms() < deadline) {
        const std::string text = read_file(dir_.file("port"));
        if (!text.empty() && text.back() == '\n') {
            port_ = static_cast<uint16_t>(std::atoi(text.c_str()));
            return port_ != 0;
        }
        if (!running())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool GwsimChild::running()
{
    if (pid_ <= 0)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

int GwsimChild::stop(int signal_number)
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, signal_number);
    const int status = wait_exit(pid_, 5000);
    if (status >= 0)
        pid_ = -1;
    return status;
}

std::string GwsimChild::err() const { return read_file(dir_.file("err")); }

Client::~Client()
{
    if (fd_ >= 0)
        close(fd_);
}

bool Client::connect(uint16_t port)
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd_ >= 0 &&
           ::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

bool Client::send_raw(const std::vector<uint8_t> &bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool Client::fill(std::size_t count, int timeout_ms, bool &closed)
{
    closed = false;
    const int64_t deadline = now_ms() + timeout_ms;
    while (in_.size() < count) {
        const int64_t left = deadline - now_ms();
        if (left <= 0)
            return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            return false;
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

Reply Client::receive(int timeout_ms)
{
    Reply reply;
    bool closed = false;
    if (!fill(gwproto::kFrameHeaderSize, timeout_ms, closed)) {
        reply.kind = closed ? Reply::Kind::Closed : Reply::Kind::Timeout;
        return reply;
    }
    const std::size_t body = gwproto::get_u32(in_.data());
    if (body > gwproto::kMaxFrameBodySize) {
        reply.kind = Reply::Kind::Malformed;
        return reply;
    }
    if (!fill(gwproto::kFrameHeaderSize + body, timeout_ms, closed)) {
        reply.kind = closed ? Reply::Kind::Closed : Reply::Kind::Timeout;
        return reply;
    }
    reply.data.assign(in_.begin() + gwproto::kFrameHeaderSize,
                      in_.begin() + static_cast<long>(gwproto::kFrameHeaderSize + body));
    in_.erase(in_.begin(), in_.begin() + static_cast<long>(gwproto::kFrameHeaderSize + body));
    reply.kind = gwproto::decode_answer(reply.data, reply.answer) == gwproto::CodecError::Ok
                     ? Reply::Kind::Answer
                     : Reply::Kind::Malformed;
    return reply;
}

bool Client::hello(uint16_t version, int32_t *status, int timeout_ms)
{
    std::vector<uint8_t> frame;
    gwproto::encode_hello(gwproto::Hello{version, 0}, gwproto::MessageKind::Hello, frame);
    if (!send_raw(frame))
        return false;
    bool closed = false;
    if (!fill(gwproto::kFrameHeaderSize, timeout_ms, closed))
        return false;
    const std::size_t body = gwproto::get_u32(in_.data());
    if (body > 64 || !fill(gwproto::kFrameHeaderSize + body, timeout_ms, closed))
        return false;
    gwproto::Hello answer;
    gwproto::MessageKind kind{};
    const std::vector<uint8_t> bytes(in_.begin() + gwproto::kFrameHeaderSize,
                                     in_.begin() + static_cast<long>(gwproto::kFrameHeaderSize + body));
    in_.erase(in_.begin(), in_.begin() + static_cast<long>(gwproto::kFrameHeaderSize + body));
    if (gwproto::decode_hello(bytes, answer, kind) != gwproto::CodecError::Ok ||
        kind != gwproto::MessageKind::HelloAnswer)
        return false;
    if (status != nullptr)
        *status = answer.status;
    return answer.status == 0;
}

Reply Client::call(gwproto::Request request, int timeout_ms)
{
    request.request_id = next_id_++;
    std::vector<uint8_t> frame;
    if (gwproto::encode_request(request, frame) != gwproto::CodecError::Ok || !send_raw(frame)) {
        Reply reply;
        reply.kind = Reply::Kind::Closed;
        return reply;
    }
    Reply reply = receive(timeout_ms);
    if (reply.kind == Reply::Kind::Answer && reply.answer.request_id != request.request_id)
        reply.kind = Reply::Kind::Malformed;
    return reply;
}

bool Client::closed_within(int timeout_ms)
{
    bool closed = false;
    fill(in_.size() + 1, timeout_ms, closed);
    return closed;
}

Reply Client::login(const std::string &user, const std::string &password)
{
    std::vector<uint8_t> message(232, 0);
    std::memcpy(message.data(), user.data(), std::min<std::size_t>(user.size(), 31));
    std::memcpy(message.data() + 32, password.data(), std::min<std::size_t>(password.size(), 31));
    gwproto::Request request;
    request.kind = gwproto::MessageKind::Login;
    request.record = message;
    return call(request);
}

}  // namespace gwsim_test
