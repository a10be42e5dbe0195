/*
 * gwsim_child.h - test helpers: the built gwsim as a child process on a
 * free loopback port, and a small blocking client that speaks the protocol
 * through the codec (or sends raw bytes). Everything waits with a bound.
 */
#ifndef TESTS_UNIT_GWSIM_GWSIM_CHILD_H
#define TESTS_UNIT_GWSIM_GWSIM_CHILD_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/protocol.h"

namespace gwsim_test {

/* A private temporary directory, removed with its files at destruction. */
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::string write(const std::string &name, const std::string &text) const;

private:
    std::string path_;
};

std::string read_file(const std::string &path);

/* Result of running gwsim to its end. */
struct Exit {
    int status = -1; /* exit status, or -1 when it did not exit in time */
    std::string out;
    std::string err;
};

/* Runs gwsim with these arguments and waits (at most `timeout_ms`) for it to exit. */
Exit run_gwsim(const std::vector<std::string> &args, int timeout_ms = 5000);

class GwsimChild {
public:
    GwsimChild() = default;
    ~GwsimChild();

    /* Starts gwsim on 127.0.0.1:0 and waits for its port file; a nonzero
     * `descriptor_limit` becomes its soft and hard RLIMIT_NOFILE. */
    bool start(const std::string &scenario, const std::vector<std::string> &extra = {},
               unsigned descriptor_limit = 0);
    uint16_t port() const { return port_; }

    /* Sends a signal and waits (at most 5 s) for the exit status. */
    int stop(int signal_number);
    bool running();
    std::string err() const;

private:
    TempDir dir_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

struct Reply {
    enum class Kind { Answer, Closed, Timeout, Malformed } kind = Kind::Timeout;
    gwproto::Answer answer;
    std::vector<uint8_t> data; /* owns what answer.data views */
};

class Client {
public:
    ~Client();
    bool connect(uint16_t port);
    bool send_raw(const std::vector<uint8_t> &bytes);
    /* Handshake; true when the server accepted the version within the time. */
    bool hello(uint16_t version = gwproto::kProtocolVersion, int32_t *status = nullptr,
               int timeout_ms = 2000);
    /* Sends one request (with a fresh request id) and waits for its answer. */
    Reply call(gwproto::Request request, int timeout_ms = 2000);
    Reply receive(int timeout_ms);
    /* True when the server closed the connection within the time. */
    bool closed_within(int timeout_ms);
    Reply login(const std::string &user, const std::string &password);

private:
    bool fill(std::size_t count, int timeout_ms, bool &closed);

    int fd_ = -1;
    uint32_t next_id_ = 1;
    std::vector<uint8_t> in_;
};

}  // namespace gwsim_test

#endif
