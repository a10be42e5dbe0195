/*
 * gwapi.cpp - the gateway API calls: session handles, and one request and
 * one answer over the session's connection per networked call.
 *
 * Each networked call: begin_call (recover from an abandoned call, check the
 * connection), encode the request into the session's send buffer, send it,
 * wait for the answer that carries the request's id (older answers, left
 * over from an abandoned call, are skipped), decode it, copy the results
 * into the caller's memory within the bounds the caller gave.
 */
// The library is built with hidden visibility; the API alone is exported.
#pragma GCC visibility push(default)
#include "gwapi/gwapi.h"
#pragma GCC visibility pop

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>

#include "gwapi/library_status.h"
#include "gwapi/session.h"

using namespace gwapi_internal;

uint16_t swapint16(uint16_t value) { return static_cast<uint16_t>((value >> 8) | (value << 8)); }

uint32_t swapint32(uint32_t value) { return __builtin_bswap32(value); }

gwapi_session_t gwapi_create_session(void) {
    const sigset_t previous = defer_signals();
    auto *session = static_cast<gwapi_session *>(std::calloc(1, sizeof(gwapi_session)));
    restore_signals(previous);
    if (session == nullptr) return nullptr;
    session->fd = -1;
    session->phase = PHASE_IDLE;
    return session;
}

/* Tells the gateway (one frame, without waiting), closes and frees. */
int32_t gwapi_close_session(gwapi_session_t session) {
    if (session == nullptr) return GWAPI_OK;
    const int phase = session->phase;
    if (session->fd >= 0 && (phase == PHASE_IDLE || phase == PHASE_WAITING)) {
        gwproto::Request request;
        request.kind = gwproto::MessageKind::Close;
        request.request_id = session->last_request_id + 1;
        std::size_t written = 0;
        if (gwproto::encode_request(request, std::span<uint8_t>(session->tx), written) ==
            gwproto::CodecError::Ok)
            send(session->fd, session->tx, written, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    drop_connection(session);
    const sigset_t previous = defer_signals();
    std::free(session);
    restore_signals(previous);
    return GWAPI_OK;
}

namespace {

using gwproto::CodecError;
using gwproto::MessageKind;

void set_transaction_status(int32_t *transaction_status, int32_t value) {
    if (transaction_status != nullptr) *transaction_status = value;
}

/* Ends a call whose connection cannot be trusted any more. */
int32_t fail_connection(gwapi_session *session, int32_t status) {
    drop_connection(session);
    set_phase(session, PHASE_IDLE);
    return status;
}

/*
 * Starts a call. A call that was abandoned (by a jump out of a signal
 * handler) left its phase behind: while it only waited for its answer, the
 * byte stream is intact and its answer, when it comes, carries an old
 * request id and is skipped; anywhere else a request or a frame may be half
 * done, so the connection is dropped and this call answers "connection lost".
 * Returns 0 when the call may go on.
 */
int32_t begin_call(gwapi_session *session, bool needs_connection) {
    if (session == nullptr) return kStatusNotConnected;
    release_resolver_list(session);
    const int phase = session->phase;
    if (phase != PHASE_IDLE && phase != PHASE_WAITING) {
        drop_connection(session);
        set_phase(session, PHASE_IDLE);
        if (needs_connection) return kStatusConnectionLost;
    }
    set_phase(session, PHASE_IDLE);
    if (needs_connection && session->fd < 0) return kStatusNotConnected;
    return 0;
}

/* Ends a call that got its answer: the answer's frame is dropped. */
void end_call(gwapi_session *session, std::size_t frame_size) {
    consume(session, frame_size);
    set_phase(session, PHASE_IDLE);
}

/*
 * Waits for the next complete frame in the receive buffer. 0 with `body`
 * and `frame_size` set, or a negative status (the connection is kept only
 * on an answer timeout).
 */
int32_t next_frame(gwapi_session *session, int64_t deadline_ms, std::span<const uint8_t> &body,
                   std::size_t &frame_size) {
    for (;;) {
        const CodecError error = gwproto::find_frame(unconsumed(session), body, frame_size);
        if (error == CodecError::Ok) return 0;
        if (error != CodecError::Truncated) return kStatusProtocolError;
        const int32_t status = receive_more(session, deadline_ms);
        if (status != 0) return status;
    }
}

/* True when `id` is one of ours from before `current` (an abandoned call's). */
bool is_stale_id(uint32_t id, uint32_t current) {
    const uint32_t age = current - id;
    return id != 0 && age != 0 && age < 0x80000000u;
}

int answer_timeout_ms() { return timeout_from_environment(kAnswerTimeoutVariable, kDefaultAnswerTimeoutMs); }

/*
 * Sends one request and waits for its answer. On 0, `answer` views the
 * answer frame in the receive buffer, and the caller must end with
 * end_call(session, frame_size) once it has copied what it needs. On a
 * negative status the call is over (phase idle).
 */
int32_t exchange(gwapi_session *session, gwproto::Request &request, gwproto::Answer &answer,
                 std::size_t &frame_size) {
    uint32_t id = session->last_request_id + 1;
    if (id == 0) id = 1;
    session->last_request_id = id;
    request.request_id = id;

    std::size_t written = 0;
    if (gwproto::encode_request(request, std::span<uint8_t>(session->tx), written) != CodecError::Ok) {
        set_phase(session, PHASE_IDLE);
        return kStatusInvalidArgument;
    }
    const int64_t deadline = now_ms() + answer_timeout_ms();
    set_phase(session, PHASE_SENDING);
    int32_t status = send_all(session, session->tx, written, deadline);
    if (status != 0) return fail_connection(session, status);
    set_phase(session, PHASE_WAITING);

    for (;;) {
        std::span<const uint8_t> body;
        status = next_frame(session, deadline, body, frame_size);
        if (status == kStatusAnswerTimeout) {
            /* The request went out whole: a late answer will be skipped by its id. */
            set_phase(session, PHASE_IDLE);
            return status;
        }
        if (status != 0) return fail_connection(session, status);
        if (gwproto::decode_answer(body, answer) != CodecError::Ok)
            return fail_connection(session, kStatusProtocolError);
        if (answer.request_id == id) return 0;
        if (!is_stale_id(answer.request_id, id))
            return fail_connection(session, kStatusProtocolError);
        consume(session, frame_size);
        /* A peer that keeps sending stale answers must not hold the call
           past its deadline: the clock is read after every skipped frame. */
        if (now_ms() >= deadline) {
            set_phase(session, PHASE_IDLE);
            return kStatusAnswerTimeout;
        }
    }
}

/* The version handshake of a fresh connection. 0 or a negative status. */
int32_t handshake(gwapi_session *session, int64_t deadline_ms) {
    std::size_t written = 0;
    gwproto::Hello hello;
    if (gwproto::encode_hello(hello, MessageKind::Hello, std::span<uint8_t>(session->tx), written) !=
        CodecError::Ok)
        return kStatusProtocolError;
    int32_t status = send_all(session, session->tx, written, deadline_ms);
    if (status != 0) return status;

    std::span<const uint8_t> body;
    std::size_t frame_size = 0;
    status = next_frame(session, deadline_ms, body, frame_size);
    if (status != 0) return status;
    MessageKind kind{};
    gwproto::Hello answer;
    if (gwproto::decode_hello(body, answer, kind) != CodecError::Ok || kind != MessageKind::HelloAnswer)
        return kStatusProtocolError;
    if (answer.status != 0 || answer.version != gwproto::kProtocolVersion) return kStatusVersionMismatch;
    consume(session, frame_size);
    return 0;
}

/* Connects to the login message's host and port and shakes hands. */
int32_t connect_session(gwapi_session *session, const GwLoginMessage *message) {
    char host[sizeof message->host + 1];
    std::memcpy(host, message->host, sizeof message->host);
    host[sizeof message->host] = '\0';
    int32_t port = 0;
    std::memcpy(&port, &message->port, sizeof port);

    drop_connection(session);
    set_phase(session, PHASE_CONNECTING);
    const int64_t connect_deadline =
        now_ms() + timeout_from_environment(kConnectTimeoutVariable, kDefaultConnectTimeoutMs);
    int32_t status = open_connection(session, host, port, connect_deadline);
    /* The handshake belongs to connecting: same deadline, same timeout status. */
    if (status == 0) {
        status = handshake(session, connect_deadline);
        if (status == kStatusAnswerTimeout) status = kStatusConnectTimeout;
    }
    if (status != 0) return fail_connection(session, status);
    set_phase(session, PHASE_IDLE);
    return 0;
}

/* exchange(); a failure of the library's own leaves the caller a transaction status of 0. */
int32_t exchange_for_caller(gwapi_session *session, int32_t *transaction_status,
                            gwproto::Request &request, gwproto::Answer &answer,
                            std::size_t &frame_size) {
    const int32_t status = exchange(session, request, answer, frame_size);
    if (status != 0) set_transaction_status(transaction_status, 0);
    return status;
}

/* An exchange whose answer carries no data for the caller. */
int32_t simple_call(gwapi_session *session, int32_t *transaction_status, gwproto::Request &request) {
    gwproto::Answer answer;
    std::size_t frame_size = 0;
    const int32_t status =
        exchange_for_caller(session, transaction_status, request, answer, frame_size);
    if (status != 0) return status;
    set_transaction_status(transaction_status, answer.transaction_status);
    end_call(session, frame_size);
    return answer.completion_status;
}

/* Starts a networked call; on refusal also clears the transaction status. */
bool refused(gwapi_session *session, int32_t *transaction_status, bool needs_connection,
             int32_t &status) {
    status = begin_call(session, needs_connection);
    if (status == 0) return false;
    set_transaction_status(transaction_status, 0);
    return true;
}

/*
 * Reads the payload length of a framed message (4 bytes, host order) and
 * checks it. 0 with the whole frame's size, or a negative status.
 */
int32_t framed_message_size(const void *framed, std::size_t &size) {
    if (framed == nullptr) return kStatusInvalidArgument;
    int32_t payload_length = 0;
    std::memcpy(&payload_length, framed, sizeof payload_length);
    if (payload_length < 0 || payload_length > GWAPI_MAX_PAYLOAD) return kStatusMessageLength;
    size = sizeof payload_length + static_cast<std::size_t>(payload_length);
    return 0;
}

/* Builds a call that carries a caller's record. */
gwproto::Request request_of(MessageKind kind, const void *record, std::size_t size) {
    gwproto::Request request;
    request.kind = kind;
    if (record != nullptr) request.record = {static_cast<const uint8_t *>(record), size};
    return request;
}

}  // namespace

int32_t gwapi_login_ex(gwapi_session_t session, int32_t *transaction_status,
                       const GwLoginMessage *message) {
    int32_t status = 0;
    if (refused(session, transaction_status, false, status)) return status;
    if (message == nullptr) {
        set_transaction_status(transaction_status, 0);
        return kStatusInvalidArgument;
    }
    status = connect_session(session, message);
    if (status != 0) {
        set_transaction_status(transaction_status, 0);
        return status;
    }
    gwproto::Request request = request_of(MessageKind::Login, message, sizeof *message);
    return simple_call(session, transaction_status, request);
}

int32_t gwapi_set_newpwd_ex(gwapi_session_t session, int32_t *transaction_status,
                            const GwSetNewPasswordMessage *message) {
    int32_t status = 0;
    if (refused(session, transaction_status, true, status)) return status;
    if (message == nullptr) {
        set_transaction_status(transaction_status, 0);
        return kStatusInvalidArgument;
    }
    gwproto::Request request = request_of(MessageKind::SetNewPassword, message, sizeof *message);
    return simple_call(session, transaction_status, request);
}

int32_t gwapi_logout_ex(gwapi_session_t session, int32_t *transaction_status) {
    int32_t status = 0;
    if (refused(session, transaction_status, true, status)) return status;
    gwproto::Request request = request_of(MessageKind::Logout, nullptr, 0);
    return simple_call(session, transaction_status, request);
}

int32_t gwapi_get_info_ex(gwapi_session_t session, int32_t *transaction_status, int32_t item,
                          int32_t *length, void *buffer) {
    int32_t status = 0;
    if (refused(session, transaction_status, true, status)) return status;
    if (length == nullptr || *length < 0 || (buffer == nullptr && *length > 0)) {
        set_transaction_status(transaction_status, 0);
        return kStatusInvalidArgument;
    }
    gwproto::Request request = request_of(MessageKind::GetInfo, nullptr, 0);
    request.arg = item;
    request.capacity = static_cast<uint32_t>(*length);

    gwproto::Answer answer;
    std::size_t frame_size = 0;
    status = exchange_for_caller(session, transaction_status, request, answer, frame_size);
    if (status != 0) return status;
    set_transaction_status(transaction_status, answer.transaction_status);
    status = answer.completion_status;
    if (status >= 0) {
        if (answer.data.size() > static_cast<std::size_t>(*length)) {
            status = GWAPI_BUFFER_TOO_SMALL;
        } else {
            if (!answer.data.empty()) std::memcpy(buffer, answer.data.data(), answer.data.size());
            *length = static_cast<int32_t>(answer.data.size());
        }
    }
    end_call(session, frame_size);
    return status;
}

int32_t gwapi_tx_ex(gwapi_session_t session, int32_t *transaction_status, int32_t facility_type,
                    const GwMessageDescriptor *message, void *transaction_id, int32_t *order_id) {
    int32_t status = 0;
    if (refused(session, transaction_status, true, status)) return status;
    std::size_t framed_size = 0;
    status = message == nullptr ? kStatusInvalidArgument
                                : framed_message_size(message->message, framed_size);
    if (status != 0) {
        set_transaction_status(transaction_status, 0);
        return status;
    }
    gwproto::Request request = request_of(MessageKind::Tx, message->message, framed_size);
    request.facility_type = facility_type;

    gwproto::Answer answer;
    std::size_t frame_size = 0;
    status = exchange_for_caller(session, transaction_status, request, answer, frame_size);
    if (status != 0) return status;
    if (!answer.data.empty() && answer.data.size() != gwproto::kTxAnswerSize) {
        set_transaction_status(transaction_status, 0);
        return fail_connection(session, kStatusProtocolError);
    }
    set_transaction_status(transaction_status, answer.transaction_status);
    if (answer.data.size() == gwproto::kTxAnswerSize) {
        if (transaction_id != nullptr)
            std::memcpy(transaction_id, answer.data.data(), gwproto::kTransactionIdSize);
        if (order_id != nullptr)
            *order_id = static_cast<int32_t>(gwproto::get_u32(answer.data.data() + 8));
    }
    status = answer.completion_status;
    end_call(session, frame_size);
    return status;
}

int32_t gwapi_query_ex(gwapi_session_t session, int32_t *transaction_status,
                       int32_t facility_type, const void *query_message, int32_t mode,
                       void *answer_buffer, int32_t *answer_length, void *transaction_id,
                       int32_t *scratch) {
    int32_t status = 0;
    if (refused(session, transaction_status, true, status)) return status;
    if (scratch != nullptr) *scratch = 0;
    std::size_t framed_size = 0;
    status = framed_message_size(query_message, framed_size);
    if (status == 0 && (answer_length == nullptr || *answer_length < 0 ||
                        (answer_buffer == nullptr && *answer_length > 0)))
        status = kStatusInvalidArgument;
    if (status != 0) {
        set_transaction_status(transaction_status, 0);
        return status;
    }
    gwproto::Request request = request_of(MessageKind::Query, query_message, framed_size);
    request.facility_type = facility_type;
    request.mode = mode;
    request.capacity = static_cast<uint32_t>(*answer_length);

    gwproto::Answer answer;
    std::size_t frame_size = 0;
    status = exchange_for_caller(session, transaction_status, request, answer, frame_size);
    if (status != 0) return status;
    if (!answer.data.empty() && answer.data.size() < gwproto::kTransactionIdSize) {
        set_transaction_status(transaction_status, 0);
        return fail_connection(session, kStatusProtocolError);
    }
    set_transaction_status(transaction_status, answer.transaction_status);
    status = answer.completion_status;
    if (!answer.data.empty()) {
        if (transaction_id != nullptr)
            std::memcpy(transaction_id, answer.data.data(), gwproto::kTransactionIdSize);
        const auto result = answer.data.subspan(gwproto::kTransactionIdSize);
        if (status >= 0) {
            if (result.size() > static_cast<std::size_t>(*answer_length)) {
                status = GWAPI_BUFFER_TOO_SMALL;
            } else {
                if (!result.empty()) std::memcpy(answer_buffer, result.data(), result.size());
                *answer_length = static_cast<int32_t>(result.size());
            }
        }
    }
    end_call(session, frame_size);
    return status;
}

int32_t gwapi_read_event_ext_ex(gwapi_session_t session, int32_t event_code, void *buffer,
                                uint32_t *length, int32_t flags, int32_t wait) {
    int32_t status = begin_call(session, true);
    if (status != 0) return status;
    if (length == nullptr || (buffer == nullptr && *length > 0)) return kStatusInvalidArgument;
    gwproto::Request request = request_of(MessageKind::ReadEvent, nullptr, 0);
    request.arg = event_code;
    request.capacity = *length;
    request.flags = flags;
    request.wait = wait;

    gwproto::Answer answer;
    std::size_t frame_size = 0;
    status = exchange(session, request, answer, frame_size);
    if (status != 0) return status;
    status = answer.completion_status;
    if (status >= 0 && event_code == GWAPI_EVENT_BROADCASTS) {
        /* No data at all reads as a batch of no broadcasts. */
        static constexpr uint8_t kEmptyBatch[4] = {0, 0, 0, 0};
        const std::span<const uint8_t> batch =
            answer.data.empty() ? std::span<const uint8_t>(kEmptyBatch) : answer.data;
        std::size_t written = 0;
        const CodecError error = gwproto::layout_broadcast_buffer(
            batch, std::span<uint8_t>(static_cast<uint8_t *>(buffer), *length), written);
        if (error == CodecError::BufferTooSmall) {
            status = GWAPI_BUFFER_TOO_SMALL;
        } else if (error != CodecError::Ok) {
            return fail_connection(session, kStatusProtocolError);
        } else {
            *length = static_cast<uint32_t>(written);
        }
    } else if (status >= 0) {
        if (answer.data.size() > *length) {
            status = GWAPI_BUFFER_TOO_SMALL;
        } else {
            if (!answer.data.empty()) std::memcpy(buffer, answer.data.data(), answer.data.size());
            *length = static_cast<uint32_t>(answer.data.size());
        }
    }
    end_call(session, frame_size);
    return status;
}

/*
 * A subscription that never got an answer from the gateway (no connection,
 * connection lost, timeout, protocol error) was not accepted: its replyStatus
 * (big-endian) receives the library's status instead of staying 0. What the
 * gateway answers, even a failure without data, is left as it answered.
 */
static int32_t subscription_failed(void *record, int32_t status) {
    if (record != nullptr) {
        const uint32_t big_endian = swapint32(static_cast<uint32_t>(status));
        std::memcpy(static_cast<uint8_t *>(record) + offsetof(GwInfObjSubscription, replyStatus),
                    &big_endian, sizeof big_endian);
    }
    return status;
}

int32_t gwapi_set_event_ex(gwapi_session_t session, int32_t event_type, void *record) {
    const bool carries_record = event_type == 1;
    void *const subscription = carries_record ? record : nullptr;
    int32_t status = begin_call(session, true);
    if (status != 0) return subscription_failed(subscription, status);
    if (carries_record && record == nullptr) return kStatusInvalidArgument;
    gwproto::Request request = request_of(MessageKind::SetEvent, subscription,
                                          sizeof(GwInfObjSubscription));
    request.arg = event_type;

    gwproto::Answer answer;
    std::size_t frame_size = 0;
    status = exchange(session, request, answer, frame_size);
    if (status != 0) return subscription_failed(subscription, status);
    const std::size_t expected = carries_record ? gwproto::kSubscriptionAnswerSize : 0;
    if (!answer.data.empty() && answer.data.size() != expected)
        return subscription_failed(subscription, fail_connection(session, kStatusProtocolError));
    status = answer.completion_status;
    if (!answer.data.empty())
        std::memcpy(static_cast<uint8_t *>(record) + gwproto::kSubscriptionAnswerOffset,
                    answer.data.data(), answer.data.size());
    end_call(session, frame_size);
    return status;
}

int32_t gwapi_clear_event_ex(gwapi_session_t session, int32_t event_type, const void *record) {
    int32_t status = begin_call(session, true);
    if (status != 0) return status;
    const bool carries_record = event_type == 1;
    if (carries_record && record == nullptr) return kStatusInvalidArgument;
    gwproto::Request request = request_of(MessageKind::ClearEvent, carries_record ? record : nullptr,
                                          sizeof(GwInfObjUnsubscription));
    request.arg = event_type;
    return simple_call(session, nullptr, request);
}
