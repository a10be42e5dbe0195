/*
 * hostile_server_test.cpp - the library against a scripted server that
 * shakes hands properly and then answers with broken or lying frames. Each
 * must give "protocol error", close the connection (later calls answer "not
 * connected") and write nothing into the caller's memory.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gwapi/gwapi.h"
#include "gwapi/library_status.h"
#include "tests/support/gwsim_process.h"
#include "protocol/protocol.h"

using namespace gwapi_internal;

namespace {

using Bytes = std::vector<uint8_t>;

/* Reads one frame (header and body) from the client; false when the client
 * goes away, or after a silence no working client keeps. */
bool read_frame(int fd, Bytes &body) {
    uint8_t header[4];
    std::size_t got = 0;
    auto read_exact = [&](uint8_t *into, std::size_t count) {
        got = 0;
        while (got < count) {
            pollfd entry{fd, POLLIN, 0};
            if (poll(&entry, 1, kGenerousWaitMs) <= 0) return false;
            const ssize_t n = recv(fd, into + got, count - got, 0);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    };
    if (!read_exact(header, 4)) return false;
    body.resize(gwproto::get_u32(header));
    return body.size() <= gwproto::kMaxFrameBodySize && read_exact(body.data(), body.size());
}

/*
 * A one-connection server on loopback: accepts, answers the handshake with
 * `hello_status`, then hands each request to `respond`, which returns the
 * raw bytes to send back. With `flood_ms`, it sends those bytes again and
 * again until the client goes away (at most for that long), and says when
 * the socket buffers are full. Stops when the client goes away.
 */
class ScriptedServer {
public:
    using Responder = std::function<Bytes(const gwproto::Request &)>;

    ScriptedServer(Responder respond, int32_t hello_status = 0, int flood_ms = 0)
        : respond_(std::move(respond)), flood_ms_(flood_ms) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address);
        listen(listener_, 1);
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, hello_status] { serve(hello_status); });
    }
    ~ScriptedServer() {
        thread_.join();
        close(listener_);
    }
    int port() const { return port_; }

    /* Waits until a flood has filled the socket buffers: bytes are then
     * waiting at every read the client makes. */
    bool wait_until_flooded() {
        std::unique_lock<std::mutex> lock(mutex_);
        return flooded_signal_.wait_for(lock, std::chrono::milliseconds(kGenerousWaitMs),
                                        [this] { return flooded_; });
    }

private:
    void serve(int32_t hello_status) {
        pollfd entry{listener_, POLLIN, 0};
        if (poll(&entry, 1, kGenerousWaitMs) <= 0) return;
        const int fd = accept(listener_, nullptr, nullptr);
        Bytes body;
        if (read_frame(fd, body)) {
            gwproto::Hello hello;
            hello.status = hello_status;
            Bytes out;
            gwproto::encode_hello(hello, gwproto::MessageKind::HelloAnswer, out);
            send(fd, out.data(), out.size(), MSG_NOSIGNAL);
            while (read_frame(fd, body)) {
                gwproto::Request request;
                if (gwproto::decode_request(body, request) != gwproto::CodecError::Ok) break;
                if (request.kind == gwproto::MessageKind::Close) break;
                const Bytes reply = respond_(request);
                if (flood_ms_ > 0) {
                    flood(fd, reply);
                } else if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
                    break;
                }
            }
        }
        close(fd);
    }

    /* Sends `reply` again and again, whole, until the client goes away or
     * flood_ms_ have passed; the first time the buffers are full, says so. */
    void flood(int fd, const Bytes &reply) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(flood_ms_);
        std::size_t offset = 0;
        while (std::chrono::steady_clock::now() < end) {
            const ssize_t n = send(fd, reply.data() + offset, reply.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                offset = (offset + static_cast<std::size_t>(n)) % reply.size();
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                flooded_ = true;
            }
            flooded_signal_.notify_all();
            /* Waits for room, looking at the flood's end now and then. */
            pollfd entry{fd, POLLOUT, 0};
            poll(&entry, 1, 100);
        }
    }

    Responder respond_;
    int flood_ms_ = 0;
    int listener_ = -1;
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable flooded_signal_;
    bool flooded_ = false;
    std::thread thread_;
};

Bytes answer_frame(uint32_t id, int32_t completion, const Bytes &data) {
    gwproto::Answer answer;
    answer.request_id = id;
    answer.completion_status = completion;
    answer.data = data;
    Bytes out;
    gwproto::encode_answer(answer, out);
    return out;
}

/* Logs in (answered properly), then runs `call` against the hostile answer. */
int32_t call_after_login(const std::function<Bytes(const gwproto::Request &)> &hostile,
                         const std::function<int32_t(gwapi_session_t)> &call) {
    ScriptedServer server([&](const gwproto::Request &request) {
        if (request.kind == gwproto::MessageKind::Login) return answer_frame(request.request_id, 0, {});
        return hostile(request);
    });
    gwapi_session_t session = gwapi_create_session();
    const GwLoginMessage login = make_login("demo", "pw", server.port());
    int32_t transaction_status = 0;
    EXPECT_EQ(gwapi_login_ex(session, &transaction_status, &login), 0);
    const int32_t status = call(session);
    EXPECT_EQ(gwapi_logout_ex(session, &transaction_status), kStatusNotConnected)
        << "the connection must be closed after a protocol error";
    gwapi_close_session(session);
    return status;
}

int32_t get_facility_type(gwapi_session_t session) {
    uint8_t buffer[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    int32_t length = 4;
    int32_t transaction_status = 0;
    const int32_t status = gwapi_get_info_ex(session, &transaction_status, 2, &length, buffer);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_EQ(length, 4);
    return status;
}

}  // namespace

TEST(HostileServer, MalformedFramesGiveProtocolError) {
    const std::vector<std::pair<const char *, std::function<Bytes(const gwproto::Request &)>>> cases = {
        {"empty body", [](const gwproto::Request &) { return Bytes{0, 0, 0, 0}; }},
        {"oversized body", [](const gwproto::Request &) { return Bytes{0x7f, 0xff, 0xff, 0xff, 0x90}; }},
        {"unknown kind", [](const gwproto::Request &) { return Bytes{0, 0, 0, 1, 0x42}; }},
        {"handshake again",
         [](const gwproto::Request &) {
             Bytes out;
             gwproto::encode_hello(gwproto::Hello{}, gwproto::MessageKind::HelloAnswer, out);
             return out;
         }},
        {"answer to a request never sent",
         [](const gwproto::Request &request) { return answer_frame(request.request_id + 5, 0, {0, 0, 0, 5}); }},
        {"truncated answer",
         [](const gwproto::Request &request) {
             Bytes out = answer_frame(request.request_id, 0, {0, 0, 0, 5});
             out[3] = static_cast<uint8_t>(out[3] - 2);
             out.resize(out.size() - 2);
             return out;
         }},
    };
    for (const auto &[name, hostile] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(call_after_login(hostile, get_facility_type), kStatusProtocolError);
    }
}

TEST(HostileServer, AnswersOfTheWrongSizeAreRefused) {
    const auto wrong_tx = [](const gwproto::Request &request) {
        return answer_frame(request.request_id, 0, Bytes(5, 1));
    };
    const int32_t tx_status = call_after_login(wrong_tx, [](gwapi_session_t session) {
        const uint8_t framed[4] = {0, 0, 0, 0};
        GwMessageDescriptor descriptor{framed, 0};
        char transaction_id[8] = {};
        int32_t order_id = 77;
        int32_t transaction_status = 0;
        const int32_t status = gwapi_tx_ex(session, &transaction_status, 5, &descriptor, transaction_id, &order_id);
        EXPECT_EQ(order_id, 77);
        return status;
    });
    EXPECT_EQ(tx_status, kStatusProtocolError);

    const auto wrong_subscription = [](const gwproto::Request &request) {
        return answer_frame(request.request_id, 0, Bytes(30, 1));
    };
    const int32_t set_status = call_after_login(wrong_subscription, [](gwapi_session_t session) {
        GwInfObjSubscription record{};
        const int32_t status = gwapi_set_event_ex(session, 1, &record);
        EXPECT_EQ(record.clearKey, 0u);
        return status;
    });
    EXPECT_EQ(set_status, kStatusProtocolError);

    /* A broadcast batch whose count promises more items than it carries. */
    const auto lying_batch = [](const gwproto::Request &request) {
        return answer_frame(request.request_id, 0, {0, 0, 0, 9, 0, 1, 'B', 'N', 0, 1, 7});
    };
    const int32_t read_status = call_after_login(lying_batch, [](gwapi_session_t session) {
        uint8_t buffer[64];
        uint32_t length = sizeof buffer;
        return gwapi_read_event_ext_ex(session, 999, buffer, &length, 0, 1);
    });
    EXPECT_EQ(read_status, kStatusProtocolError);
}

TEST(HostileServer, RefusedVersionIsReported) {
    ScriptedServer server([](const gwproto::Request &) { return Bytes{}; }, gwproto::kStatusVersionMismatch);
    gwapi_session_t session = gwapi_create_session();
    const GwLoginMessage login = make_login("demo", "pw", server.port());
    int32_t transaction_status = 0;
    EXPECT_EQ(gwapi_login_ex(session, &transaction_status, &login), kStatusVersionMismatch);
    EXPECT_EQ(gwapi_logout_ex(session, &transaction_status), kStatusNotConnected);
    gwapi_close_session(session);
}

TEST(HostileServer, FloodOfStaleAnswersDoesNotOutlastTheDeadline) {
    /* The login's answer, thousands of times per write, without end: the
       first answers the login, every other one is stale for the next call.
       They keep coming until the client goes away, or for far longer than
       the call's answer timeout: a call that outlasts its deadline would
       end only with the flood, with the answer to its own request. */
    constexpr int kTimeoutMs = 400;
    constexpr int kFloodMs = 50 * kTimeoutMs;
    ScriptedServer server(
        [](const gwproto::Request &request) {
            const Bytes one = answer_frame(request.request_id, 0, {});
            Bytes many;
            while (many.size() + one.size() <= gwproto::kMaxFrameSize) many.insert(many.end(), one.begin(), one.end());
            return many;
        },
        0, kFloodMs);
    gwapi_session_t session = gwapi_create_session();
    const GwLoginMessage login = make_login("demo", "pw", server.port());
    int32_t transaction_status = 0;
    ASSERT_EQ(gwapi_login_ex(session, &transaction_status, &login), 0);
    ASSERT_TRUE(server.wait_until_flooded());

    setenv("GWAPI_ANSWER_TIMEOUT_MS", std::to_string(kTimeoutMs).c_str(), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(get_facility_type(session), kStatusAnswerTimeout);
    const auto took = std::chrono::steady_clock::now() - start;
    unsetenv("GWAPI_ANSWER_TIMEOUT_MS");
    EXPECT_LT(took, std::chrono::milliseconds(kFloodMs / 2)) << "the flood held the call past its deadline";
    gwapi_close_session(session);
}

TEST(HostileServer, AnswerLargerThanTheBufferIsRefusedAndTheConnectionKept) {
    /* A gateway that ignores the capacity each request carries. */
    using Call = std::function<int32_t(gwapi_session_t, uint8_t *, int32_t &)>;
    const Call info = [](gwapi_session_t session, uint8_t *buffer, int32_t &length) {
        int32_t transaction_status = 0;
        return gwapi_get_info_ex(session, &transaction_status, 2, &length, buffer);
    };
    const auto read_event = [](int32_t code) {
        return Call([code](gwapi_session_t session, uint8_t *buffer, int32_t &length) {
            uint32_t unsigned_length = static_cast<uint32_t>(length);
            const int32_t status = gwapi_read_event_ext_ex(session, code, buffer, &unsigned_length, 0, 0);
            length = static_cast<int32_t>(unsigned_length);
            return status;
        });
    };
    const Call query = [](gwapi_session_t session, uint8_t *buffer, int32_t &length) {
        const uint8_t framed[4] = {0, 0, 0, 0};
        char transaction_id[8];
        int32_t transaction_status = 0;
        int32_t scratch = 0;
        return gwapi_query_ex(session, &transaction_status, 5, framed, 1, buffer, &length, transaction_id, &scratch);
    };
    Bytes batch = {0, 0, 0, 1, 0, 100, 'B', 'O', 0, 5};
    batch.resize(batch.size() + 100, 0x42);
    const struct {
        const char *name;
        Bytes data;
        int32_t capacity;
        Call call;
    } cases[] = {
        {"info item, one byte too many", Bytes(5, 0xAB), 4, info},
        {"info item, largest data", Bytes(gwproto::kMaxDataSize, 0xAB), 4, info},
        {"event-type list", Bytes(gwproto::kMaxDataSize, '7'), 16, read_event(1000)},
        {"broadcast batch", batch, 20, read_event(999)},
        {"query answer", Bytes(gwproto::kTransactionIdSize + 5, 0xAB), 4, query},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server([&](const gwproto::Request &request) {
            const bool plain = request.kind == gwproto::MessageKind::Login || request.kind == gwproto::MessageKind::Logout;
            return answer_frame(request.request_id, 0, plain ? Bytes{} : c.data);
        });
        gwapi_session_t session = gwapi_create_session();
        const GwLoginMessage login = make_login("demo", "pw", server.port());
        int32_t transaction_status = 0;
        ASSERT_EQ(gwapi_login_ex(session, &transaction_status, &login), 0);
        Bytes buffer(static_cast<std::size_t>(c.capacity) + 64, 0xEE);
        int32_t length = c.capacity;
        EXPECT_EQ(c.call(session, buffer.data(), length), GWAPI_BUFFER_TOO_SMALL);
        EXPECT_EQ(length, c.capacity);
        EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xEE), static_cast<long>(buffer.size()))
            << "nothing may be written into the buffer";
        EXPECT_EQ(gwapi_logout_ex(session, &transaction_status), 0) << "the connection must be kept";
        gwapi_close_session(session);
    }
}
