/*
 * connection.cpp - the session's TCP connection: name resolution, connect
 * with a deadline, and blocking-with-deadline sends and receives built on a
 * non-blocking socket and poll(). No signals, timers or threads are used:
 * every wait is a poll() bounded by the calling request's deadline.
 */
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "gwapi/library_status.h"
#include "gwapi/session.h"

namespace gwapi_internal {
namespace {

int remaining_ms(int64_t deadline_ms) {
    const int64_t left = deadline_ms - now_ms();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

/*
 * Waits for `events` on the session's socket until the deadline.
 * Returns 1 when ready, 0 on timeout, -1 on a poll failure.
 */
int wait_for(int fd, short events, int64_t deadline_ms) {
    for (;;) {
        /* No poll() with a zero timeout once the deadline has passed: it
           reports ready while the peer keeps bytes queued, and the wait
           would never end. */
        const int left = remaining_ms(deadline_ms);
        if (left == 0) return 0;
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, left);
        if (ready > 0) return 1;
        if (ready == 0) return 0;
        if (errno != EINTR) return -1;
        if (remaining_ms(deadline_ms) == 0) return 0;
    }
}

void close_socket(gwapi_session *session) {
    if (session->fd >= 0) {
        const int fd = session->fd;
        session->fd = -1;
        close(fd);
    }
}

/*
 * One connect attempt to one address. The socket is stored in the session
 * at once, so that a call abandoned here leaves nothing the next call or
 * gwapi_close_session cannot close.
 */
int32_t try_address(gwapi_session *session, const sockaddr *address, socklen_t length,
                    int64_t deadline_ms) {
    session->fd = socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (session->fd < 0) return kStatusConnectFailed;

    if (connect(session->fd, address, length) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            close_socket(session);
            return kStatusConnectFailed;
        }
        const int ready = wait_for(session->fd, POLLOUT, deadline_ms);
        if (ready <= 0) {
            close_socket(session);
            return ready == 0 ? kStatusConnectTimeout : kStatusConnectFailed;
        }
        int error = 0;
        socklen_t error_length = sizeof error;
        if (getsockopt(session->fd, SOL_SOCKET, SO_ERROR, &error, &error_length) != 0 ||
            error != 0) {
            close_socket(session);
            return kStatusConnectFailed;
        }
    }
    const int on = 1;
    setsockopt(session->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return 0;
}

/* A literal IPv4 or IPv6 address needs no resolver (and no heap memory). */
bool parse_numeric_address(const char *host, uint16_t port, sockaddr_storage *out,
                           socklen_t *length) {
    std::memset(out, 0, sizeof *out);
    auto *v4 = reinterpret_cast<sockaddr_in *>(out);
    if (inet_pton(AF_INET, host, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        *length = sizeof *v4;
        return true;
    }
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(out);
    if (inet_pton(AF_INET6, host, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        *length = sizeof *v6;
        return true;
    }
    return false;
}

/* Copies a resolved address and puts the port in. False for other families. */
bool address_with_port(const addrinfo *entry, uint16_t port, sockaddr_storage *out,
                       socklen_t *length) {
    if (entry->ai_addrlen > sizeof *out) return false;
    std::memset(out, 0, sizeof *out);
    std::memcpy(out, entry->ai_addr, entry->ai_addrlen);
    *length = entry->ai_addrlen;
    if (entry->ai_family == AF_INET) {
        reinterpret_cast<sockaddr_in *>(out)->sin_port = htons(port);
        return true;
    }
    if (entry->ai_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6 *>(out)->sin6_port = htons(port);
        return true;
    }
    return false;
}

}  // namespace

void set_phase(gwapi_session *session, int phase) {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    session->phase = phase;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

int64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int timeout_from_environment(const char *variable, int default_ms) {
    const char *text = std::getenv(variable);
    if (text == nullptr || *text == '\0') return default_ms;
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 1 || value > kMaxTimeoutMs) return default_ms;
    return static_cast<int>(value);
}

int32_t open_connection(gwapi_session *session, const char *host, int32_t port,
                        int64_t deadline_ms) {
    if (port < 1 || port > 65535) return kStatusInvalidArgument;
    if (host[0] == '\0') return kStatusNameNotResolved;
    const auto port16 = static_cast<uint16_t>(port);

    sockaddr_storage address{};
    socklen_t length = 0;
    if (parse_numeric_address(host, port16, &address, &length))
        return try_address(session, reinterpret_cast<sockaddr *>(&address), length, deadline_ms);

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    release_resolver_list(session);
    /* The list lives in the session until it is freed below, by the next
       call, or by gwapi_close_session, whichever comes first. */
    const sigset_t previous = defer_signals();
    const int resolved = getaddrinfo(host, nullptr, &hints, &session->resolved);
    if (resolved != 0) session->resolved = nullptr;
    restore_signals(previous);
    if (resolved != 0) return kStatusNameNotResolved;
    int32_t status = kStatusNameNotResolved;
    for (const addrinfo *entry = session->resolved; entry != nullptr; entry = entry->ai_next) {
        if (!address_with_port(entry, port16, &address, &length)) continue;
        status = try_address(session, reinterpret_cast<sockaddr *>(&address), length, deadline_ms);
        if (status == 0 || status == kStatusConnectTimeout) break;
    }
    release_resolver_list(session);
    return status;
}

int32_t send_all(gwapi_session *session, const uint8_t *bytes, std::size_t count,
                 int64_t deadline_ms) {
    std::size_t sent = 0;
    while (sent < count) {
        const ssize_t n = send(session->fd, bytes + sent, count - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int ready = wait_for(session->fd, POLLOUT, deadline_ms);
            if (ready == 0) return kStatusAnswerTimeout;
            if (ready < 0) return kStatusConnectionLost;
            continue;
        }
        return kStatusConnectionLost;
    }
    return 0;
}

/*
 * Moves the unconsumed bytes (the start of a frame) to the front of the
 * buffer once its end is reached. The buffer holds a maximal frame, so the
 * frame then completes without another move.
 */
static void make_room(gwapi_session *session) {
    if (session->rx_end < sizeof session->rx || session->rx_start == 0) return;
    const int previous_phase = session->phase;
    set_phase(session, PHASE_CONSUMING);
    const std::size_t held = session->rx_end - session->rx_start;
    std::memmove(session->rx, session->rx + session->rx_start, held);
    session->rx_start = 0;
    session->rx_end = held;
    set_phase(session, previous_phase);
}

int32_t receive_more(gwapi_session *session, int64_t deadline_ms) {
    make_room(session);
    if (session->rx_end >= sizeof session->rx) return kStatusProtocolError;
    for (;;) {
        const int ready = wait_for(session->fd, POLLIN, deadline_ms);
        if (ready == 0) return kStatusAnswerTimeout;
        if (ready < 0) return kStatusConnectionLost;

        const int previous_phase = session->phase;
        set_phase(session, PHASE_RECEIVING);
        const ssize_t n = recv(session->fd, session->rx + session->rx_end,
                               sizeof session->rx - session->rx_end, 0);
        if (n > 0) session->rx_end += static_cast<std::size_t>(n);
        set_phase(session, previous_phase);

        if (n > 0) return 0;
        if (n == 0) return kStatusConnectionLost;
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return kStatusConnectionLost;
    }
}

std::span<const uint8_t> unconsumed(const gwapi_session *session) {
    return {session->rx + session->rx_start, session->rx_end - session->rx_start};
}

void consume(gwapi_session *session, std::size_t count) {
    const int previous_phase = session->phase;
    set_phase(session, PHASE_CONSUMING);
    session->rx_start += count;
    if (session->rx_start == session->rx_end) session->rx_start = session->rx_end = 0;
    set_phase(session, previous_phase);
}

void drop_connection(gwapi_session *session) {
    close_socket(session);
    session->rx_start = 0;
    session->rx_end = 0;
    release_resolver_list(session);
}

void release_resolver_list(gwapi_session *session) {
    if (session->resolved == nullptr) return;
    const sigset_t previous = defer_signals();
    addrinfo *list = session->resolved;
    session->resolved = nullptr;
    freeaddrinfo(list);
    restore_signals(previous);
}

sigset_t defer_signals() {
    sigset_t all;
    sigfillset(&all);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS})
        sigdelset(&all, fault);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    return previous;
}

void restore_signals(const sigset_t &previous) { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }

}  // namespace gwapi_internal
