/*
 * gwapi_client_fuzz.cpp - the client library itself reading a gateway's
 * bytes: a loopback server in a thread of this process answers each
 * connection with the fuzz input (then ends its side of the stream), while
 * the library makes every networked call of a run, and a few more, into
 * caller buffers of exactly their stated sizes.
 *
 * Checks beyond ASan/UBSan (which see any write past a caller's buffer):
 *  - a delivered length never exceeds the capacity given, and a call that
 *    answers -13 leaves the length as it was;
 *  - a broadcast read that succeeds delivers a buffer whose walk ends with
 *    the zero length field exactly at the end of the bytes delivered;
 *  - a subscription changes nothing of its record but clearKey and
 *    replyStatus;
 *  - every status has a text or a negative answer, NUL-terminated in place;
 *  - the session always ends: the server sees the connection closed (a
 *    connection left open hangs the input, which -timeout reports).
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "broadcast/broadcast.h"
#include "gwapi/gwapi.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

/* ---- the server: one connection at a time, answered with the input ---- */

int listener = -1;
uint16_t listener_port = 0;

std::mutex server_mutex;
std::condition_variable server_signal;
std::vector<uint8_t> server_input;  /* what the next connection receives */
uint64_t connections_served = 0;

/* Sends the input, ends the server's side, and reads until the library
 * closes its side; then drops the connection without lingering. */
void ServeConnection(int fd, const std::vector<uint8_t> &input) {
    size_t sent = 0;
    while (sent < input.size()) {
        ssize_t n = send(fd, input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    char sink[4096];
    while (recv(fd, sink, sizeof sink, 0) > 0) {
    }
    linger abort_close{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
    close(fd);
}

void ServerLoop() {
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        std::vector<uint8_t> input;
        {
            std::lock_guard<std::mutex> lock(server_mutex);
            input = server_input;
        }
        ServeConnection(fd, input);
        {
            std::lock_guard<std::mutex> lock(server_mutex);
            ++connections_served;
        }
        server_signal.notify_all();
    }
}

void StartServer() {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(listener >= 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    FUZZ_CHECK(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
    FUZZ_CHECK(listen(listener, 16) == 0);
    socklen_t size = sizeof address;
    FUZZ_CHECK(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) == 0);
    listener_port = ntohs(address.sin_port);
    std::thread(ServerLoop).detach();
}

/* ---- the client side ---- */

/* A caller's buffer of exactly `size` bytes. */
std::vector<uint8_t> Buffer(size_t size) { return std::vector<uint8_t>(size, 0xee); }

void CheckMessageText(int32_t status) {
    std::vector<char> text(64);
    int32_t length = static_cast<int32_t>(text.size());
    if (gwapi_get_message_ex(nullptr, status, text.data(), &length, 0) >= 0) {
        FUZZ_CHECK(length >= 0 && static_cast<size_t>(length) < text.size());
        FUZZ_CHECK(text[static_cast<size_t>(length)] == '\0');
        FUZZ_CHECK(std::strlen(text.data()) == static_cast<size_t>(length));
    }
}

void GetInfo(gwapi_session_t session, int32_t item, int32_t capacity) {
    std::vector<uint8_t> buffer = Buffer(static_cast<size_t>(capacity));
    int32_t length = capacity;
    int32_t transaction_status = 0;
    int32_t status = gwapi_get_info_ex(session, &transaction_status, item, &length, buffer.data());
    FUZZ_CHECK(length >= 0 && length <= capacity);
    if (status == GWAPI_BUFFER_TOO_SMALL) {
        FUZZ_CHECK(length == capacity);
    }
    CheckMessageText(status);
}

void ReadList(gwapi_session_t session, int32_t event_code, uint32_t capacity) {
    std::vector<uint8_t> buffer = Buffer(capacity);
    uint32_t length = capacity;
    int32_t status = gwapi_read_event_ext_ex(session, event_code, buffer.data(), &length, 0, 0);
    FUZZ_CHECK(length <= capacity);
    if (status == GWAPI_BUFFER_TOO_SMALL) {
        FUZZ_CHECK(length == capacity);
    }
    CheckMessageText(status);
}

void ReadBroadcasts(gwapi_session_t session, uint32_t capacity) {
    std::vector<uint8_t> bytes = Buffer(capacity);
    uint32_t length = capacity;
    int32_t status = gwapi_read_event_ext_ex(session, GWAPI_EVENT_BROADCASTS, bytes.data(),
                                             &length, 0, 1);
    FUZZ_CHECK(length <= capacity);
    CheckMessageText(status);
    if (status < 0) {
        FUZZ_CHECK(length == capacity);
        return;
    }
    FUZZ_CHECK(length >= 6);
    const char *buffer = reinterpret_cast<const char *>(bytes.data());
    uint32_t position = 4;
    BroadcastItem item;
    BroadcastWalkEnd end;
    while ((end = NextBroadcastItem(buffer, length, &position, &item)) == BroadcastWalkEnd::kItem) {
    }
    FUZZ_CHECK(end == BroadcastWalkEnd::kEndMarker);
    FUZZ_CHECK(position + 2 == length);
}

void Subscribe(gwapi_session_t session) {
    GwInfObjSubscription record;
    std::memset(&record, 0x5a, sizeof record);
    record.length = swapint32(sizeof record);
    const GwInfObjSubscription before = record;
    int32_t status = gwapi_set_event_ex(session, 1, &record);
    FUZZ_CHECK(std::memcmp(&record, &before, offsetof(GwInfObjSubscription, clearKey)) == 0);
    CheckMessageText(status);
    CheckMessageText(gwapi_set_event_ex(session, 7, nullptr));
}

void Unsubscribe(gwapi_session_t session) {
    GwInfObjUnsubscription record;
    record.length = swapint32(sizeof record);
    record.clearKey = 1;
    CheckMessageText(gwapi_clear_event_ex(session, 1, &record));
    CheckMessageText(gwapi_clear_event_ex(session, 7, nullptr));
}

void Transactions(gwapi_session_t session) {
    uint8_t message[4 + 3];
    const uint32_t payload = 3;
    std::memcpy(message, &payload, sizeof payload);
    std::memcpy(message + 4, "abc", 3);
    GwMessageDescriptor descriptor{message, 0};
    std::vector<uint8_t> transaction_id = Buffer(8);
    int32_t order_id = 0;
    int32_t transaction_status = 0;
    CheckMessageText(gwapi_tx_ex(session, &transaction_status, 5, &descriptor,
                                 transaction_id.data(), &order_id));

    const int32_t capacity = 16;
    std::vector<uint8_t> answer = Buffer(capacity);
    int32_t answer_length = capacity;
    int32_t scratch = 1;
    int32_t status = gwapi_query_ex(session, &transaction_status, 5, message, 1, answer.data(),
                                    &answer_length, transaction_id.data(), &scratch);
    FUZZ_CHECK(answer_length >= 0 && answer_length <= capacity);
    if (status == GWAPI_BUFFER_TOO_SMALL) {
        FUZZ_CHECK(answer_length == capacity);
    }
    CheckMessageText(status);
}

/* The calls of a run, and a few more, over one connection. */
void RunSession() {
    gwapi_session_t session = gwapi_create_session();
    FUZZ_CHECK(session != nullptr);
    GwLoginMessage login;
    std::memset(&login, 0, sizeof login);
    std::strcpy(login.user_name, "demo");
    std::strcpy(login.password, "demo-pass");
    std::strcpy(login.host, "127.0.0.1");
    login.port = listener_port;
    std::strcpy(login.application_name, "gwcheck");
    int32_t transaction_status = 0;
    CheckMessageText(gwapi_login_ex(session, &transaction_status, &login));

    GwSetNewPasswordMessage password;
    std::memset(&password, 0, sizeof password);
    std::strcpy(password.old_password, "demo-pass");
    std::strcpy(password.new_password, "new-pass");
    CheckMessageText(gwapi_set_newpwd_ex(session, &transaction_status, &password));

    GetInfo(session, GWAPI_INFO_FACILITY_TYPE, 4);
    GetInfo(session, GWAPI_INFO_USER, 12);
    ReadList(session, GWAPI_EVENT_TYPE_LIST, 100);
    ReadList(session, GWAPI_EVENT_INFO_OBJECT_LIST, 2048);
    Subscribe(session);
    ReadBroadcasts(session, kBroadcastBufferSize);
    ReadBroadcasts(session, 16);
    Transactions(session);
    Unsubscribe(session);
    CheckMessageText(gwapi_logout_ex(session, &transaction_status));
    gwapi_close_session(session);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    /* Nothing here should wait: the server always ends its side. */
    setenv("GWAPI_CONNECT_TIMEOUT_MS", "5000", 1);
    setenv("GWAPI_ANSWER_TIMEOUT_MS", "5000", 1);
    StartServer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint64_t served_before;
    {
        std::lock_guard<std::mutex> lock(server_mutex);
        server_input.assign(data, data + size);
        served_before = connections_served;
    }
    RunSession();
    /* The library closed its connection: the server must see the end of it.
     * A connection left open makes this wait endless, and the fuzzer's
     * -timeout reports the input as a hang. */
    std::unique_lock<std::mutex> lock(server_mutex);
    server_signal.wait(lock, [served_before] { return connections_served > served_before; });
    return 0;
}
