/*
 * server.cpp - listener and connections of gwsim.
 *
 * Each connection works strictly in turn: read bytes, take the next whole
 * frame, answer it (after a fault's delay, if any), and only when the answer
 * is written take the next frame. So a connection holds at most one frame
 * being answered plus one read chunk, and a client that stops reading its
 * answers stops being read itself.
 *
 * Memory follows what a connection holds: it reads straight into its frame
 * splitter, which keeps 1 KiB of room while idle and grows only for the
 * frame that is arriving; the splitter and the answer buffer give back the
 * room of a large frame once it is handled; the session's tables grow with
 * its subscriptions.
 */
#include "gwsim/server.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <vector>

namespace gwsim {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

/* Room an idle connection keeps for its next answer; a larger one goes back. */
constexpr std::size_t kAnswerRoomKept = 1024;

/* Pause of accepting after an accept failed (out of descriptors, ...). */
constexpr std::chrono::milliseconds kAcceptRetry{100};

}  // namespace

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Server &server, tcp::socket socket, uint64_t id)
        : server_(server), socket_(std::move(socket)), delay_timer_(server.io_),
          silence_timer_(server.io_), session_(server.gateway_, id),
          splitter_(gwproto::kMaxFrameBodySize), connected_at_(Clock::now())
    {
        asio::error_code ec;
        const tcp::endpoint peer = socket_.remote_endpoint(ec);
        peer_ = ec ? std::string("unknown peer") : endpoint_text(peer);
    }

    void start()
    {
        watch_silence();
        read_more();
    }

    void close()
    {
        if (closed_)
            return;
        closed_ = true;
        asio::error_code ignored;
        delay_timer_.cancel();
        silence_timer_.cancel();
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

    /*
     * When the client's silence ends the connection: the handshake is due
     * within its timeout of connecting; after it, a request is due within
     * the idle timeout of the last request taken or answer written. While a
     * fault delays an answer, the gateway keeps the client waiting, not the
     * other way round: the clock starts again when the answer is written.
     */
    Clock::time_point silence_deadline() const
    {
        const ConnectionLimits &limits = server_.limits();
        if (!greeted_)
            return connected_at_ + std::chrono::milliseconds(limits.handshake_timeout_ms);
        const Clock::time_point since = delaying_ ? Clock::now() : last_activity_;
        return since + std::chrono::milliseconds(limits.idle_timeout_ms);
    }

    /* One timer per connection, set again only when it fires: traffic in
     * between costs a clock reading, not a timer operation per request. */
    void watch_silence()
    {
        silence_timer_.expires_at(silence_deadline());
        silence_timer_.async_wait([this, self = shared_from_this()](const asio::error_code &ec) {
            if (ec || closed_)
                return;
            if (Clock::now() < silence_deadline()) {
                watch_silence();
                return;
            }
            const ConnectionLimits &limits = server_.limits();
            log(greeted_ ? "no request for " + std::to_string(limits.idle_timeout_ms) + " ms"
                         : "no handshake within " + std::to_string(limits.handshake_timeout_ms) +
                               " ms");
            close();
        });
    }

    void read_more()
    {
        if (closed_)
            return;
        const std::span<uint8_t> room = splitter_.prepare();
        if (room.empty()) { /* cannot happen while whole frames are taken before reading on */
            log("protocol error: too many bytes in flight");
            close();
            return;
        }
        socket_.async_read_some(asio::buffer(room.data(), room.size()),
                                [this, self = shared_from_this()](const asio::error_code &ec,
                                                                  std::size_t n) {
                                    if (closed_)
                                        return;
                                    if (ec) {
                                        close(); /* the peer went away: nothing to report */
                                        return;
                                    }
                                    splitter_.commit(n);
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
        last_activity_ = Clock::now();
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
        delaying_ = true;
        delay_timer_.expires_after(std::chrono::milliseconds(delay_ms));
        delay_timer_.async_wait([this, self = shared_from_this(), then](const asio::error_code &ec) {
            delaying_ = false;
            last_activity_ = Clock::now();
            if (!ec && !closed_)
                then();
        });
    }

    void write_out(bool close_after)
    {
        asio::async_write(socket_, asio::buffer(out_),
                          [this, self = shared_from_this(), close_after](const asio::error_code &ec,
                                                                         std::size_t) {
                              if (closed_)
                                  return;
                              if (ec || close_after) {
                                  close();
                                  return;
                              }
                              last_activity_ = Clock::now();
                              if (out_.capacity() > kAnswerRoomKept)
                                  out_ = {};
                              next_frame();
                          });
    }

    Server &server_;
    tcp::socket socket_;
    asio::steady_timer delay_timer_;
    asio::steady_timer silence_timer_;
    Session session_;
    gwproto::FrameSplitter splitter_;
    std::vector<uint8_t> out_;
    std::string peer_;
    Clock::time_point connected_at_;
    Clock::time_point last_activity_; /* last frame taken or answer written */
    bool greeted_ = false;
    bool delaying_ = false;
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
    if (stopped_)
        return;
    if (connections_.size() >= limits().max_connections) {
        /* Full: new clients wait in the listen backlog, not accepted and
         * dropped, until a connection closes (forget). */
        waiting_for_room_ = true;
        if (!full_reported_) {
            std::fprintf(stderr,
                         "gwsim: %zu connections open, the most allowed; "
                         "new ones wait until one closes\n",
                         connections_.size());
            full_reported_ = true;
        }
        return;
    }
    acceptor_.async_accept([this](const asio::error_code &ec, tcp::socket socket) {
        if (stopped_ || ec == asio::error::operation_aborted)
            return;
        if (ec) {
            pause_accepting(ec);
            return;
        }
        take(std::move(socket));
        take_backlog();
        accept_next();
    });
}

/*
 * Takes the rest of the backlog now. One accept per turn of the event loop
 * would leave connecting clients queued behind every other connection's
 * requests, one turn each.
 */
void Server::take_backlog()
{
    for (int taken = 1; taken < kAcceptBurst && !stopped_ &&
                        connections_.size() < limits().max_connections;
         ++taken) {
        asio::error_code ec;
        tcp::socket more = acceptor_.accept(ec); /* non-blocking */
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            /* Every waiting client is in: a later shortage is news again. */
            full_reported_ = false;
            accept_failure_reported_ = false;
            return;
        }
        if (ec)
            return; /* the next async_accept reports it */
        take(std::move(more));
    }
}

/*
 * Passing trouble such as too many open files: the client stays in the
 * backlog, and accepting pauses briefly instead of spinning on the failing
 * accept. Said once, not at every try.
 */
void Server::pause_accepting(const asio::error_code &error)
{
    if (!accept_failure_reported_) {
        std::fprintf(stderr,
                     "gwsim: accept failed: %s; new connections wait, tried again every %lld ms\n",
                     error.message().c_str(), static_cast<long long>(kAcceptRetry.count()));
        accept_failure_reported_ = true;
    }
    accept_retry_.expires_after(kAcceptRetry);
    accept_retry_.async_wait([this](const asio::error_code &wait_error) {
        if (!wait_error && !stopped_)
            accept_next();
    });
}

void Server::take(tcp::socket socket)
{
    asio::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    const uint64_t id = gateway_.next_session_id();
    auto connection = std::make_shared<Connection>(*this, std::move(socket), id);
    connections_.emplace(id, connection);
    connection->start();
}

void Server::forget(uint64_t id)
{
    connections_.erase(id);
    if (waiting_for_room_ && !stopped_ && connections_.size() < limits().max_connections) {
        waiting_for_room_ = false;
        accept_next();
    }
}

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
