/*
 * main.cpp - gwsim's command line:
 *   gwsim --scenario FILE [--listen HOST:PORT] [--port-file FILE] [--journal FILE]
 * loads the scenario, listens, prints "gwsim listening on HOST:PORT", writes
 * the port file, and serves until SIGINT or SIGTERM (exit 0). A bad command
 * line or scenario exits 2; a listener that cannot be set up exits 1.
 */
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include <asio.hpp>

#include "gwsim/journal.h"
#include "gwsim/scenario.h"
#include "gwsim/server.h"
#include "gwsim/session.h"

namespace {

constexpr const char *kUsage =
    "usage: gwsim --scenario FILE [--listen HOST:PORT] [--port-file FILE] [--journal FILE]\n"
    "       gwsim --help | --version\n"
    "  --scenario FILE    scenario file (TOML) that fixes every answer\n"
    "  --listen HOST:PORT address to listen on (default 127.0.0.1:0, a free port)\n"
    "  --port-file FILE   write the port number and a newline to FILE once listening\n"
    "  --journal FILE     append one JSON line per request received to FILE\n";

constexpr const char *kVersion = "gwsim 1.0.0 (protocol 1)\n";

struct Options {
    std::string scenario;
    std::string listen = "127.0.0.1:0";
    std::string port_file;
    std::string journal;
};

int usage_error(const std::string &what)
{
    std::fprintf(stderr, "gwsim: %s\n%s", what.c_str(), kUsage);
    return 2;
}

/* Fills `options`; returns -1 to go on, else the exit status. */
int parse_command_line(int argc, char **argv, Options &options)
{
    bool have_scenario = false;
    bool have_listen = false;
    bool have_port_file = false;
    bool have_journal = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
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
        std::string *target = nullptr;
        bool *seen = nullptr;
        if (arg == "--scenario") {
            target = &options.scenario;
            seen = &have_scenario;
        } else if (arg == "--listen") {
            target = &options.listen;
            seen = &have_listen;
        } else if (arg == "--port-file") {
            target = &options.port_file;
            seen = &have_port_file;
        } else if (arg == "--journal") {
            target = &options.journal;
            seen = &have_journal;
        } else {
            return usage_error("unknown argument '" + std::string(argv[i]) + "'");
        }
        if (*seen)
            return usage_error(arg + " given twice");
        if (!inline_value) {
            if (i + 1 >= argc)
                return usage_error(arg + " needs a value");
            value = argv[++i];
        }
        if (value.empty())
            return usage_error(arg + " needs a non-empty value");
        *target = value;
        *seen = true;
    }
    if (!have_scenario)
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

    gwsim::Scenario scenario;
    if (!gwsim::load_scenario(options.scenario, scenario, error)) {
        std::fprintf(stderr, "gwsim: bad scenario %s\n", error.c_str());
        return 2;
    }

    gwsim::Journal journal;
    if (!options.journal.empty() && !journal.open(options.journal, error)) {
        std::fprintf(stderr, "gwsim: %s\n", error.c_str());
        return 2;
    }

    /* A client that vanishes mid-write must not kill the process. */
    std::signal(SIGPIPE, SIG_IGN);

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
