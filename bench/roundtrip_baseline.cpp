/*
 * roundtrip_baseline.cpp - the least a program can do to make a given
 * number of loopback round trips: the yardstick for one gwcheck run.
 *
 *   roundtrip_baseline serve [SECONDS]     echo server on a free loopback port;
 *                                          prints "listening on 127.0.0.1:PORT",
 *                                          ends after SECONDS (default 120) or SIGTERM
 *   roundtrip_baseline PORT COUNT [BYTES]  connects to 127.0.0.1:PORT, then COUNT
 *                                          times sends BYTES (default 64) and waits
 *                                          for them to come back; exit 0 on success
 *
 * Written with the C library only, blocking sockets, no buffering, so that
 * its time is process start plus the round trips themselves.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kMaxClients = 64;
constexpr long kMaxBytes = 65536;

volatile sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

int usage()
{
    fprintf(stderr, "usage: roundtrip_baseline serve [SECONDS]\n"
                    "       roundtrip_baseline PORT COUNT [BYTES]\n");
    return 2;
}

bool parse_long(const char *text, long low, long high, long *value)
{
    char *end = nullptr;
    *value = strtol(text, &end, 10);
    return end != text && *end == '\0' && *value >= low && *value <= high;
}

long now_ms()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

/* A single-threaded poll() loop that writes back whatever each client sends. */
int serve(long seconds)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 128) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        perror("roundtrip_baseline: listen");
        return 1;
    }
    printf("listening on 127.0.0.1:%u\n", ntohs(address.sin_port));
    fflush(stdout);

    struct sigaction action{};
    action.sa_handler = request_stop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    pollfd entries[1 + kMaxClients];
    int count = 1;
    entries[0] = {listener, POLLIN, 0};
    const long end = now_ms() + seconds * 1000L;
    static char buffer[kMaxBytes];
    while (!stop_requested && now_ms() < end) {
        if (poll(entries, static_cast<nfds_t>(count), 200) <= 0)
            continue;
        if ((entries[0].revents & POLLIN) != 0) {
            const int client = accept(listener, nullptr, nullptr);
            if (client >= 0 && count < 1 + kMaxClients) {
                const int on = 1;
                setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                entries[count++] = {client, POLLIN, 0};
            } else if (client >= 0) {
                close(client);
            }
        }
        for (int i = count - 1; i >= 1; --i) {
            if (entries[i].revents == 0)
                continue;
            const ssize_t n = read(entries[i].fd, buffer, sizeof buffer);
            bool gone = n <= 0;
            for (ssize_t sent = 0; !gone && sent < n;) {
                const ssize_t w = write(entries[i].fd, buffer + sent, static_cast<size_t>(n - sent));
                if (w <= 0)
                    gone = true;
                else
                    sent += w;
            }
            if (gone) {
                close(entries[i].fd);
                entries[i] = entries[--count];
            }
        }
    }
    return 0;
}

int round_trips(long port, long count, long bytes)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        perror("roundtrip_baseline: connect");
        return 1;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    static char message[kMaxBytes];
    static char answer[kMaxBytes];
    memset(message, 'x', static_cast<size_t>(bytes));
    for (long i = 0; i < count; ++i) {
        if (send(fd, message, static_cast<size_t>(bytes), MSG_NOSIGNAL) != bytes) {
            perror("roundtrip_baseline: send");
            return 1;
        }
        for (long got = 0; got < bytes;) {
            const ssize_t n = recv(fd, answer + got, static_cast<size_t>(bytes - got), 0);
            if (n <= 0) {
                fprintf(stderr, "roundtrip_baseline: connection lost\n");
                return 1;
            }
            got += n;
        }
    }
    close(fd);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    long seconds = 120, port = 0, count = 0, bytes = 64;
    if (argc >= 2 && strcmp(argv[1], "serve") == 0) {
        if (argc > 3 || (argc == 3 && !parse_long(argv[2], 1, 3600, &seconds)))
            return usage();
        return serve(seconds);
    }
    if (argc < 3 || argc > 4 || !parse_long(argv[1], 1, 65535, &port) ||
        !parse_long(argv[2], 0, 1000000, &count) ||
        (argc == 4 && !parse_long(argv[3], 1, kMaxBytes, &bytes)))
        return usage();
    return round_trips(port, count, bytes);
}
