/*
 * server.cpp - listener and connections of gwsim.
 *
 * Each connection works strictly in turn: read bytes, take the next whole
 * frame, answer it (after a fault's delay, if any), and only when the answer
 * is written take the next frame. So a connection holds at most one frame
 * being answered plus one read chunk, and a client that stops reading its
 * answers stops being read itself.
 */
#include "gwsim/server.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <vector>

namespace gwsim {

using asio::ip::tcp;

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Server &server, tcp::socket socket, uint64_t id)
        : server_(server), socket_(std::move(socket)), timer_(server.io_),
          session_(server.gateway_, id), splitter_(gwproto::kMaxFrameBodySize)
    {
        asio::error_code ec;
        const tcp::endpoint peer = socket_.remote_endpoint(ec);
        peer_ = ec ? std::string("unknown peer") : endpoint_text(peer);
    }

    void start() { read_more(); }

    void close()
    {
        if (closed_)
            return;
        closed_ = true;
        asio::error_code ignored;
        timer_.cancel();
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        server_.forget(session_.id());
    }

private:
    void log(const std::string &what)
    {
        std::fprintf(stderr, "gwsim: session %llu (%s): %s; connection closed\n",
                     static_cast<unsigned long long>(session_.id()), peer_.c_str(), what.c_str());
        std::fflush(stderr);
    }

    void read_more()
    {
        if (closed_)
            return;
        auto self = shared_from_this();
        socket_.async_read_some(asio::buffer(chunk_),
                                [this, self](const asio::error_code &ec, std::size_t n) {
                                    if (closed_)
                                        return;
                                    if (ec) {
                                        close(); /* the peer went away: nothing to report */
                                        return;
                                    }
                                    if (!splitter_.append({chunk_.data(), n})) {
                                        log("protocol error: too many bytes in flight");
                                        close();
                                        return;
                                    }
                                    next_frame();
                                });
    }

    /* Takes the next whole frame, or reads more when there is none. */
    void next_frame()
    {
        if (closed_)
            return;
        std::span<const uint8_t> body;
        const gwproto::CodecError e = splitter_.next(body);
        if (e == gwproto::CodecError::Truncated) {
            read_more();
            return;
        }
        if (e != gwproto::CodecError::Ok) {
            log(std::string("protocol error: ") + std::string(gwproto::codec_error_text(e)));
            close();
            return;
        }
        if (!greeted_)
            handle_hello(body);
        else
            handle_request(body);
    }

    void handle_hello(std::span<const uint8_t> body)
    {
        gwproto::Hello hello;
        gwproto::MessageKind kind{};
        const gwproto::CodecError e = gwproto::decode_hello(body, hello, kind);
        if (e != gwproto::CodecError::Ok || kind != gwproto::MessageKind::Hello) {
            log(std::string("protocol error: expected the handshake: ") +
                std::string(e == gwproto::CodecError::Ok ? "wrong message kind"
                                                        : gwproto::codec_error_text(e)));
            close();
            return;
        }
        gwproto::Hello reply;
        const bool accepted = hello.version == gwproto::kProtocolVersion;
        reply.status = accepted ? 0 : gwproto::kStatusVersionMismatch;
        out_.clear();
        gwproto::encode_hello(reply, gwproto::MessageKind::HelloAnswer, out_);
        greeted_ = true;
        if (!accepted)
            log("client speaks protocol version " + std::to_string(hello.version));
        write_out(!accepted);
    }

    void handle_request(std::span<const uint8_t> body)
    {
        gwproto::Request request;
        const gwproto::CodecError e = gwproto::decode_request(body, request);
        if (e != gwproto::CodecError::Ok) {
            log(std::string("protocol error: ") + std::string(gwproto::codec_error_text(e)));
            close();
            return;
        }
        server_.journal_.record(session_.id(), request);
        Outcome outcome = session_.handle(request);
        const uint32_t request_id = request.request_id;
        /* `request` views the splitter's bytes: everything needed is copied out now. */
        if (outcome.action == Outcome::Action::Hang) {
            /* Never answered: go on with the next frame, through the loop
             * rather than recursion, however many hang in a row. */
            asio::post(socket_.get_executor(), [self = shared_from_this()] { self->next_frame(); });
            return;
        }
        if (outcome.action == Outcome::Action::Answer) {
            gwproto::Answer answer;
            answer.request_id = request_id;
            answer.completion_status = outcome.completion_status;
            answer.transaction_status = outcome.transaction_status;
            answer.data = outcome.data;
            out_.clear();
            if (gwproto::encode_answer(answer, out_) != gwproto::CodecError::Ok) {
                log("internal error: answer does not fit a frame");
                close();
                return;
            }
        }
        const bool close_only = outcome.action == Outcome::Action::Close;
        const bool close_after = outcome.close_after_answer;
        after_delay(outcome.delay_ms, [this, close_only, close_after] {
            if (close_only)
                close();
            else
                write_out(close_after);
        });
    }

    template <typename Then>
    void after_delay(uint32_t delay_ms, Then then)
    {
        if (delay_ms == 0) {
            then();
            return;
        }
        auto self = shared_from_this();
        timer_.expires_after(std::chrono::milliseconds(delay_ms));
        timer_.async_wait([this, self, then](const asio::error_code &ec) {
            if (!ec && !closed_)
                then();
        });
    }

    void write_out(bool close_after)
    {
        auto self = shared_from_this();
        asio::async_write(socket_, asio::buffer(out_),
                          [this, self, close_after](const asio::error_code &ec, std::size_t) {
                              if (closed_)
                                  return;
                              if (ec || close_after) {
                                  close();
                                  return;
                              }
                              next_frame();
                          });
    }

    Server &server_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    Session session_;
    gwproto::FrameSplitter splitter_;
    std::array<uint8_t, 16384> chunk_{};
    std::vector<uint8_t> out_;
    std::string peer_;
    bool greeted_ = false;
    bool closed_ = false;
};

Server::Server(asio::io_context &io, Gateway &gateway, Journal &journal)
    : io_(io), gateway_(gateway), journal_(journal), acceptor_(io), accept_retry_(io)
{
}

Server::~Server() { stop(); }

bool Server::listen(const tcp::endpoint &endpoint, std::string &error)
{
    asio::error_code ec;
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor_.bind(endpoint, ec);
    if (!ec)
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec)
        acceptor_.non_blocking(true, ec); /* for the synchronous accepts of a burst */
    if (ec) {
        error = "cannot listen on " + endpoint_text(endpoint) + ": " + ec.message();
        asio::error_code ignored;
        acceptor_.close(ignored);
        return false;
    }
    return true;
}

tcp::endpoint Server::local_endpoint() const
{
    asio::error_code ec;
    return acceptor_.local_endpoint(ec);
}

void Server::start() { accept_next(); }

void Server::accept_next()
{
    acceptor_.async_accept([this](const asio::error_code &ec, tcp::socket socket) {
        if (stopped_)
            return;
        if (!ec) {
            take(std::move(socket));
            /* Take the rest of the backlog now. One accept per turn of the
             * event loop would leave connecting clients queued behind every
             * other connection's requests, one turn each. */
            for (int taken = 1; taken < kAcceptBurst && !stopped_; ++taken) {
                asio::error_code more_error;
                tcp::socket more = acceptor_.accept(more_error); /* non-blocking */
                if (more_error)
                    break; /* would block, or trouble the next async_accept reports */
                take(std::move(more));
            }
        } else if (ec == asio::error::operation_aborted) {
            return;
        } else {
            /* Passing trouble such as too many open files: try again a
             * little later instead of spinning on the failing accept. */
            std::fprintf(stderr, "gwsim: accept failed: %s\n", ec.message().c_str());
            accept_retry_.expires_after(std::chrono::milliseconds(100));
            accept_retry_.async_wait([this](const asio::error_code &wait_error) {
                if (!wait_error && !stopped_)
                    accept_next();
            });
            return;
        }
        accept_next();
    });
}

void Server::take(tcp::socket socket)
{
    asio::error_code ignored;
    if (connections_.size() >= kMaxConnections) {
        std::fprintf(stderr, "gwsim: more than %zu connections; new one closed\n", kMaxConnections);
        socket.close(ignored);
        return;
    }
    socket.set_option(tcp::no_delay(true), ignored);
    const uint64_t id = gateway_.next_session_id();
    auto connection = std::make_shared<Connection>(*this, std::move(socket), id);
    connections_.emplace(id, connection);
    connection->start();
}

void Server::forget(uint64_t id) { connections_.erase(id); }

void Server::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    asio::error_code ignored;
    acceptor_.close(ignored);
    accept_retry_.cancel();
    /* close() makes each connection forget itself: work on a copy. */
    const auto connections = connections_;
    for (const auto &[id, connection] : connections)
        connection->close();
    connections_.clear();
}

std::string endpoint_text(const tcp::endpoint &endpoint)
{
    const asio::ip::address address = endpoint.address();
    const std::string port = std::to_string(endpoint.port());
    if (address.is_v6())
        return "[" + address.to_string() + "]:" + port;
    return address.to_string() + ":" + port;
}

bool parse_endpoint(const std::string &text, tcp::endpoint &endpoint, std::string &error)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        error = "'" + text + "' is not HOST:PORT";
        return false;
    }
    std::string host = text.substr(0, colon);
    const std::string port_text = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos) {
        error = "write an IPv6 address in brackets: [::1]:PORT";
        return false;
    }
    if (host == "localhost")
        host = "127.0.0.1";
    unsigned port = 0;
    const auto [end, ec] =
        std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (port_text.empty() || ec != std::errc() || end != port_text.data() + port_text.size() ||
        port > 65535) {
        error = "'" + port_text + "' is not a port number 0..65535";
        return false;
    }
    asio::error_code address_error;
    const asio::ip::address address = asio::ip::make_address(host, address_error);
    if (address_error) {
        error = "'" + host + "' is not an IP address";
        return false;
    }
    endpoint = tcp::endpoint(address, static_cast<uint16_t>(port));
    return true;
}

}  // namespace gwsim
