/*
 * session.h - the inside of a gwapi session handle, and the connection
 * helpers that the calls in gwapi.cpp are built from (connection.cpp).
 *
 * A call may be abandoned at any instruction by a non-local jump out of a
 * signal handler. The session therefore owns every buffer a call needs (no
 * heap memory is held across I/O), and records in `phase` what the call was
 * doing, so that the next call can tell whether the byte stream is still
 * consistent (see begin_call in gwapi.cpp).
 */
#ifndef GWAPI_SESSION_H
#define GWAPI_SESSION_H

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/protocol.h"

struct addrinfo;

namespace gwapi_internal {

/* What the session's current call is doing; read by the next call. */
enum CallPhase : int {
    PHASE_IDLE = 0,      /* no call in progress; stream consistent */
    PHASE_CONNECTING,    /* resolving, connecting or handshaking */
    PHASE_SENDING,       /* a request is partly written: stream broken if abandoned */
    PHASE_WAITING,       /* request written, waiting; receive buffer consistent */
    PHASE_RECEIVING,     /* inside recv() or accounting its bytes */
    PHASE_CONSUMING,     /* removing a frame from the receive buffer */
};

/* Room for the largest frame either side may send, header included. */
constexpr std::size_t kFrameCapacity = gwproto::kMaxFrameSize;

/* Default timeouts and the environment variables that override them. */
constexpr int kDefaultConnectTimeoutMs = 5000;
constexpr int kDefaultAnswerTimeoutMs = 10000;
constexpr int kMaxTimeoutMs = 24 * 60 * 60 * 1000;
inline constexpr const char *kConnectTimeoutVariable = "GWAPI_CONNECT_TIMEOUT_MS";
inline constexpr const char *kAnswerTimeoutVariable = "GWAPI_ANSWER_TIMEOUT_MS";

}  // namespace gwapi_internal

struct gwapi_session {
    int fd;                                 /* connected socket, or -1 */
    volatile sig_atomic_t phase;            /* gwapi_internal::CallPhase */
    uint32_t last_request_id;               /* id of the latest request sent */
    struct addrinfo *resolved;              /* getaddrinfo list while connecting */
    std::size_t rx_start;                   /* first byte of `rx` not consumed yet */
    std::size_t rx_end;                     /* end of the bytes read into `rx` */
    uint8_t rx[gwapi_internal::kFrameCapacity];  /* bytes read; [rx_start, rx_end) unconsumed */
    uint8_t tx[gwapi_internal::kFrameCapacity];  /* the request being sent */
};

namespace gwapi_internal {

/* Milliseconds of a monotonic clock. */
int64_t now_ms();

/* Timeout from the environment variable, or the default when unset or invalid. */
int timeout_from_environment(const char *variable, int default_ms);

/*
 * Connects the session's socket to host:port within the deadline: a numeric
 * IPv4/IPv6 address directly, a name through getaddrinfo, trying each address.
 * Returns 0 or a negative library status.
 */
int32_t open_connection(gwapi_session *session, const char *host, int32_t port,
                        int64_t deadline_ms);

/* Writes all bytes before the deadline. 0 or a negative library status. */
int32_t send_all(gwapi_session *session, const uint8_t *bytes, std::size_t count,
                 int64_t deadline_ms);

/*
 * Waits until bytes arrive (at most until the deadline) and appends them to
 * the session's receive buffer. 0 when bytes were added, else a negative
 * library status (answer timeout, connection lost). A deadline that has
 * passed is a timeout at once, even while the peer keeps sending.
 */
int32_t receive_more(gwapi_session *session, int64_t deadline_ms);

/* The bytes received and not consumed yet. */
std::span<const uint8_t> unconsumed(const gwapi_session *session);

/*
 * Consumes the first `count` unconsumed bytes (a frame that was handled).
 * Only an offset moves: the bytes after it stay where they are until the
 * buffer's end is reached (receive_more), so each byte is moved at most once
 * however many frames a read brings.
 */
void consume(gwapi_session *session, std::size_t count);

/* Sets the phase with compiler fences, so buffer updates stay on their side. */
void set_phase(gwapi_session *session, int phase);

/*
 * Blocks the asynchronous signals until restore_signals: the C library's
 * resolver and allocator must not be left halfway by a jump out of a signal
 * handler, so a signal that arrives meanwhile is delivered just after.
 * Synchronous fault signals (SIGSEGV, ...) stay unblocked.
 */
sigset_t defer_signals();
void restore_signals(const sigset_t &previous);

/* Closes the socket and forgets buffered bytes; the handle stays valid. */
void drop_connection(gwapi_session *session);

/* Frees what an abandoned connect left behind (the resolver's list). */
void release_resolver_list(gwapi_session *session);

}  // namespace gwapi_internal

#endif
