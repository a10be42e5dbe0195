/*
 * gwsim_process.h - test helpers around the built gwsim: a private
 * temporary directory, gwsim run to its end, gwsim as a child process on a
 * free loopback port (stopped when the object goes away), and a small
 * blocking client that speaks the protocol through the codec or sends raw
 * bytes. Used by the library's and the gateway's tests and by gwsim's own.
 *
 * Every wait is for an event (a line on gwsim's standard output, the end of
 * that output, a journal line, bytes or the end of a connection) and gives
 * up only after a deadline far beyond what any machine needs.
 */
#ifndef TESTS_SUPPORT_GWSIM_PROCESS_H
#define TESTS_SUPPORT_GWSIM_PROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gwapi/gwapi.h"
#include "protocol/protocol.h"

/* The longest wait for something that is bound to happen: only a fault
 * reaches it, never a slow or loaded machine. */
constexpr int kGenerousWaitMs = 60000;

/* A private temporary directory, removed with its files at destruction. */
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory &) = delete;
    TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;

    bool made() const { return !path_.empty(); }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    /* Writes the text into the named file; returns its path. */
    std::string write(const std::string &name, const std::string &text) const;

private:
    std::string path_;
};

std::string read_file(const std::string &path);

/* gwsim run to its end. */
struct GwsimExit {
    int status = -1; /* exit status (128 + signal when killed), -1 when it did not end */
    std::string out;
    std::string err;
};

GwsimExit run_gwsim(const std::vector<std::string> &arguments);

/*
 * gwsim serving a scenario on 127.0.0.1:0 with a journal. The scenario text
 * is written to a file in the object's directory; `options` are added to
 * the command line; a nonzero `descriptor_limit` becomes gwsim's soft and
 * hard RLIMIT_NOFILE. The child dies with its parent. Check started().
 */
class GwsimProcess {
public:
    explicit GwsimProcess(const std::string &scenario, const std::vector<std::string> &options = {},
                          unsigned descriptor_limit = 0);
    ~GwsimProcess();
    GwsimProcess(const GwsimProcess &) = delete;
    GwsimProcess &operator=(const GwsimProcess &) = delete;

    bool started() const { return port_ > 0; }
    int port() const { return port_; }
    /* Why it did not start. */
    const std::string &error() const { return error_; }
    /* The journal written so far. */
    std::string journal() const;
    /* Waits until the journal holds `nth` (from 1) requests of `call`;
     * false when gwsim ends first or the wait runs out. */
    bool wait_for_request(const std::string &call, int nth);
    /* What gwsim wrote on standard error so far. */
    std::string err() const;
    bool running();
    /* Sends the signal and waits for the end: the exit status, -1 if none. */
    int stop(int signal_number);

private:
    /* Waits for gwsim's end and reaps it; false when the wait runs out. */
    bool wait_for_end(int timeout_ms);

    TemporaryDirectory directory_;
    pid_t pid_ = -1;
    int stdout_fd_ = -1; /* gwsim's standard output: its end is gwsim's end */
    int port_ = 0;
    int exit_status_ = -1;
    std::string error_;
};

/* A login message for user/password at 127.0.0.1:port. */
GwLoginMessage make_login(const char *user, const char *password, int port,
                          const char *host = "127.0.0.1");

/* One answer as a client sees it. */
struct GwsimReply {
    enum class Kind { Answer, Closed, Timeout, Malformed } kind = Kind::Timeout;
    gwproto::Answer answer;
    std::vector<uint8_t> data; /* owns what answer.data views */
};

/* A blocking protocol client on loopback. */
class GwsimClient {
public:
    GwsimClient() = default;
    ~GwsimClient();
    GwsimClient(const GwsimClient &) = delete;
    GwsimClient &operator=(const GwsimClient &) = delete;

    bool connect(uint16_t port);
    bool send_raw(const std::vector<uint8_t> &bytes);

    /* The handshake: sending and receiving apart, so that requests can be
     * sent behind it; true when the server accepted the version. */
    bool send_hello(uint16_t version = gwproto::kProtocolVersion);
    bool receive_hello(int32_t *status = nullptr, int timeout_ms = kGenerousWaitMs);
    bool hello(uint16_t version = gwproto::kProtocolVersion, int32_t *status = nullptr) {
        return send_hello(version) && receive_hello(status);
    }

    /* Sends one request with a fresh request id; the id, or 0 when the
     * request could not be sent. */
    uint32_t send(gwproto::Request request);
    GwsimReply receive(int timeout_ms = kGenerousWaitMs);
    /* send() and the answer to it; an answer to another id is Malformed. */
    GwsimReply call(gwproto::Request request, int timeout_ms = kGenerousWaitMs);
    /* The login request for user/password: sent alone, or with its answer. */
    uint32_t send_login(const std::string &user, const std::string &password);
    GwsimReply login(const std::string &user, const std::string &password);

    /* True when the server closed the connection within the time. */
    bool closed_within(int timeout_ms = kGenerousWaitMs);

private:
    bool fill(std::size_t count, int timeout_ms, bool &closed);
    /* The answer to request `id`; an answer to another id is Malformed. */
    GwsimReply answer_to(uint32_t id, int timeout_ms);

    int fd_ = -1;
    uint32_t next_id_ = 1;
    std::vector<uint8_t> in_;
};

#endif
