/*
 * server.h - gwsim's network side: a TCP listener on a single-threaded
 * Asio event loop, and one connection object per client that splits the
 * byte stream into frames, checks the handshake, hands each request to its
 * Session and writes the answers back in order.
 *
 * A client that sends a bad frame loses its own connection (one line on
 * standard error); every other connection goes on untouched. So does a
 * client that keeps silent too long (the scenario's connection limits), so
 * that silent connections cannot keep the others out: at the connection
 * limit, or out of descriptors, new clients wait in the listen backlog
 * until a connection closes, and gwsim says so once.
 */
#ifndef GWSIM_SERVER_H
#define GWSIM_SERVER_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <asio.hpp>

#include "gwsim/journal.h"
#include "gwsim/session.h"

namespace gwsim {

/* Connections taken from the backlog at most per wake-up of the listener. */
constexpr int kAcceptBurst = 64;

class Connection;

class Server {
public:
    Server(asio::io_context &io, Gateway &gateway, Journal &journal);
    ~Server();

    /* Binds and listens; false with `error` set when it cannot. */
    bool listen(const asio::ip::tcp::endpoint &endpoint, std::string &error);
    asio::ip::tcp::endpoint local_endpoint() const;

    /* Starts accepting; the io_context's run() does the work. */
    void start();

    /* Stops accepting and closes every connection. */
    void stop();

    std::size_t connection_count() const { return connections_.size(); }
    const ConnectionLimits &limits() const { return gateway_.scenario().limits; }

private:
    friend class Connection;
    void accept_next();
    void take_backlog();
    void pause_accepting(const asio::error_code &error);
    void take(asio::ip::tcp::socket socket);
    void forget(uint64_t id);

    asio::io_context &io_;
    Gateway &gateway_;
    Journal &journal_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer accept_retry_;
    std::map<uint64_t, std::shared_ptr<Connection>> connections_;
    bool stopped_ = false;
    bool waiting_for_room_ = false; /* at the connection limit: no accept pending */
    /* Each shortage is reported once, until the backlog has been emptied. */
    bool full_reported_ = false;
    bool accept_failure_reported_ = false;
};

/* "127.0.0.1:4000" or "[::1]:4000". */
std::string endpoint_text(const asio::ip::tcp::endpoint &endpoint);

/* Parses HOST:PORT (HOST an IPv4 address, [IPv6], or "localhost"). */
bool parse_endpoint(const std::string &text, asio::ip::tcp::endpoint &endpoint,
                    std::string &error);

}  // namespace gwsim

#endif
