/*
 * main.cpp - gwsim's command line:
 *   gwsim --scenario FILE [--listen HOST:PORT] [--port-file FILE] [--journal FILE]
 *         [--handshake-timeout-ms MS] [--idle-timeout-ms MS] [--max-connections N]
 * loads the scenario, raises the descriptor limit, listens, prints "gwsim
 * listening on HOST:PORT", writes the port file, and serves until SIGINT or
 * SIGTERM (exit 0). A bad command line or scenario exits 2; a listener that
 * cannot be set up exits 1.
 */
#include <sys/resource.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include <asio.hpp>

#include "gwsim/journal.h"
#include "gwsim/scenario.h"
#include "gwsim/server.h"
#include "gwsim/session.h"

namespace {

void print_usage(std::FILE *out)
{
    const gwsim::ConnectionLimits defaults;
    std::fprintf(
        out,
        "usage: gwsim --scenario FILE [--listen HOST:PORT] [--port-file FILE] [--journal FILE]\n"
        "             [--handshake-timeout-ms MS] [--idle-timeout-ms MS] [--max-connections N]\n"
        "       gwsim --help | --version\n"
        "  --scenario FILE    scenario file (TOML) that fixes every answer\n"
        "  --listen HOST:PORT address to listen on (default 127.0.0.1:0, a free port)\n"
        "  --port-file FILE   write the port number and a newline to FILE once listening\n"
        "  --journal FILE     append one JSON line per request received to FILE\n"
        "  --handshake-timeout-ms MS\n"
        "                     close a client that has not completed the handshake MS ms\n"
        "                     after connecting (default %u)\n"
        "  --idle-timeout-ms MS\n"
        "                     close a session that sends no request for MS ms after its\n"
        "                     last answer (default %u)\n"
        "  --max-connections N\n"
        "                     serve at most N connections at once; more wait to be\n"
        "                     accepted (default %u)\n"
        "  The last three override the scenario keys handshake_timeout_ms,\n"
        "  idle_timeout_ms and max_connections.\n",
        defaults.handshake_timeout_ms, defaults.idle_timeout_ms, defaults.max_connections);
}

constexpr const char *kVersion = "gwsim 1.0.0 (protocol 1)\n";

struct Options {
    std::string scenario;
    std::string listen = "127.0.0.1:0";
    std::string port_file;
    std::string journal;
    std::string handshake_timeout_ms; /* empty: the scenario's */
    std::string idle_timeout_ms;
    std::string max_connections;
};

int usage_error(const std::string &what)
{
    std::fprintf(stderr, "gwsim: %s\n", what.c_str());
    print_usage(stderr);
    return 2;
}

/* A whole number from 1 to `max`; false for anything else. */
bool parse_limit(const std::string &text, uint32_t max, uint32_t &value)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= 1 && value <= max;
}

/* Puts the command line's limits over the scenario's; -1 to go on, else the exit status. */
int apply_limits(const Options &options, gwsim::ConnectionLimits &limits)
{
    const struct {
        const char *option;
        const std::string &text;
        uint32_t max;
        uint32_t &value;
    } limits_given[] = {
        {"--handshake-timeout-ms", options.handshake_timeout_ms, gwsim::kMaxTimeoutMs,
         limits.handshake_timeout_ms},
        {"--idle-timeout-ms", options.idle_timeout_ms, gwsim::kMaxTimeoutMs, limits.idle_timeout_ms},
        {"--max-connections", options.max_connections, gwsim::kMaxConnectionLimit,
         limits.max_connections},
    };
    for (const auto &limit : limits_given) {
        if (limit.text.empty())
            continue;
        if (!parse_limit(limit.text, limit.max, limit.value))
            return usage_error(std::string(limit.option) + ": '" + limit.text +
                               "' is not a whole number from 1 to " + std::to_string(limit.max));
    }
    return -1;
}

/*
 * Every connection holds a descriptor: take all the hard limit allows, so
 * that the connection limit, not the soft descriptor limit, decides.
 */
void raise_descriptor_limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max)
        return;
    rlim_t wanted = limit.rlim_max;
    if (wanted == RLIM_INFINITY) {
        /* The kernel refuses an infinite descriptor limit: its ceiling is nr_open. */
        unsigned long nr_open = 0;
        std::ifstream("/proc/sys/fs/nr_open") >> nr_open;
        if (nr_open <= limit.rlim_cur)
            return;
        wanted = nr_open;
    }
    limit.rlim_cur = wanted;
    setrlimit(RLIMIT_NOFILE, &limit);
}

/* Fills `options`; returns -1 to go on, else the exit status. */
int parse_command_line(int argc, char **argv, Options &options)
{
    const struct {
        std::string_view name;
        std::string *target;
    } known[] = {
        {"--scenario", &options.scenario},
        {"--listen", &options.listen},
        {"--port-file", &options.port_file},
        {"--journal", &options.journal},
        {"--handshake-timeout-ms", &options.handshake_timeout_ms},
        {"--idle-timeout-ms", &options.idle_timeout_ms},
        {"--max-connections", &options.max_connections},
    };
    bool seen[std::size(known)] = {};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help") {
            print_usage(stdout);
            return 0;
        }
        if (arg == "--version") {
            std::fputs(kVersion, stdout);
            return 0;
        }
        std::string value;
        bool inline_value = false;
        if (const std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inline_value = true;
        }
        std::size_t option = 0;
        while (option < std::size(known) && known[option].name != arg)
            ++option;
        if (option == std::size(known))
            return usage_error("unknown argument '" + std::string(argv[i]) + "'");
        if (seen[option])
            return usage_error(arg + " given twice");
        if (!inline_value) {
            if (i + 1 >= argc)
                return usage_error(arg + " needs a value");
            value = argv[++i];
        }
        if (value.empty())
            return usage_error(arg + " needs a non-empty value");
        *known[option].target = value;
        seen[option] = true;
    }
    if (!seen[0])
        return usage_error("--scenario is required");
    return -1;
}

/* Writes the port through a temporary file and a rename, so that a reader
 * polling for the file never sees it half written. */
bool write_port_file(const std::string &file, unsigned short port, std::string &error)
{
    const std::string temporary = file + ".tmp";
    std::FILE *out = std::fopen(temporary.c_str(), "w");
    if (out == nullptr) {
        error = "cannot write port file " + temporary + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fprintf(out, "%u\n", static_cast<unsigned>(port)) > 0;
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), file.c_str()) != 0) {
        error = "cannot write port file " + file + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (const int status = parse_command_line(argc, argv, options); status >= 0)
        return status;

    asio::ip::tcp::endpoint endpoint;
    std::string error;
    if (!gwsim::parse_endpoint(options.listen, endpoint, error))
        return usage_error("--listen: " + error);
    /* The command line is checked whole before the scenario is read. */
    gwsim::ConnectionLimits checked;
    if (const int status = apply_limits(options, checked); status >= 0)
        return status;

    gwsim::Scenario scenario;
    if (!gwsim::load_scenario(options.scenario, scenario, error)) {
        std::fprintf(stderr, "gwsim: bad scenario %s\n", error.c_str());
        return 2;
    }
    apply_limits(options, scenario.limits);

    gwsim::Journal journal;
    if (!options.journal.empty() && !journal.open(options.journal, error)) {
        std::fprintf(stderr, "gwsim: %s\n", error.c_str());
        return 2;
    }

    /* A client that vanishes mid-write must not kill the process. */
    std::signal(SIGPIPE, SIG_IGN);

    raise_descriptor_limit();
    asio::io_context io;
    gwsim::Gateway gateway(std::move(scenario));
    gwsim::Server server(io, gateway, journal);
    if (!server.listen(endpoint, error)) {
        std::fprintf(stderr, "gwsim: %s\n", error.c_str());
        return 1;
    }
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&server](const asio::error_code &ec, int) {
        if (!ec)
            server.stop();
    });
    server.start();

    const asio::ip::tcp::endpoint bound = server.local_endpoint();
    std::printf("gwsim listening on %s\n", gwsim::endpoint_text(bound).c_str());
    std::fflush(stdout);
    if (!options.port_file.empty() && !write_port_file(options.port_file, bound.port(), error)) {
        std::fprintf(stderr, "gwsim: %s\n", error.c_str());
        return 1;
    }

    /* Returns once stop() has closed everything and every handler has run. */
    io.run();
    return 0;
}
