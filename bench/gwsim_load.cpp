/*
 * gwsim_load.cpp - load generator for gwsim.
 *
 *   gwsim_load --sessions N [--seconds S] [--gwsim PATH] [--scenario FILE]
 *              [--connect HOST:PORT] [--user NAME] [--password PWD]
 *              [--interval-ms MS]
 *
 * Runs N sessions at once, one thread each. Every session repeats, until the
 * time is up, the sequence a gwcheck run makes through libgwapi: create the
 * session, log in, read the facility type (item 2) and the user information
 * (item 1), read the event-type list (1000) and the information-object list
 * (1002), subscribe every event type (type 1 object by object with the
 * 24-byte record, skipping objects the gateway loads by itself), read one
 * broadcast batch (999), unsubscribe everything, log out, close the session.
 *
 * It reports completed sequences per second, requests per second, and the
 * latency of each kind of request (p50, p99, max) as seen by the caller.
 *
 * Without --interval-ms every session starts its next sequence as soon as
 * the last one ends: the gateway is saturated and latency is the queue in
 * front of it. With --interval-ms each session starts one sequence every MS
 * milliseconds (sessions spread evenly over the interval), a fixed offered
 * load at which latency is the service time plus whatever queue forms.
 *
 * Without --connect it starts gwsim itself on a free loopback port, measures
 * the processor time gwsim spent during the run (so that the rate per
 * gwsim CPU-second tells what one core would serve), and stops it at the
 * end; gwsim also gets SIGTERM if this program dies first.
 */
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/load_stats.h"
#include "gwapi/gwapi.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int sessions = 1;
    double seconds = 10;
    std::string gwsim;
    std::string scenario;
    std::string connect; /* HOST:PORT of a running gateway; empty: start gwsim */
    std::string user = "demo";
    std::string password = "demo-pass";
    double interval_ms = 0; /* 0: each session starts its next sequence at once */
};

constexpr int kMaxSessions = 5000;
constexpr double kMaxSeconds = 600;
constexpr uint32_t kListCapacity = 65536;
constexpr uint32_t kBroadcastCapacity = 64000;

/* ---- command line ------------------------------------------------------ */

[[noreturn]] void usage(const char *problem)
{
    if (problem != nullptr)
        std::fprintf(stderr, "gwsim_load: %s\n", problem);
    std::fprintf(stderr,
                 "usage: gwsim_load --sessions N [--seconds S] [--gwsim PATH] [--scenario FILE]\n"
                 "                  [--connect HOST:PORT] [--user NAME] [--password PWD]\n"
                 "                  [--interval-ms MS]\n");
    std::exit(2);
}

bool parse_int(const char *text, long low, long high, long &value)
{
    char *end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

/* The directory of this executable, where the build also puts gwsim. */
std::string own_directory()
{
    std::array<char, 4096> path{};
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0)
        return ".";
    std::string text(path.data(), static_cast<std::size_t>(n));
    const std::size_t slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

Options parse_command_line(int argc, char **argv)
{
    Options o;
    o.gwsim = own_directory() + "/gwsim";
    o.scenario = std::string(GWCHECK_SOURCE_DIR) + "/gwsim/scenarios/default.toml";
    bool have_sessions = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help")
            usage(nullptr);
        if (i + 1 >= argc)
            usage((arg + " needs a value").c_str());
        const char *value = argv[++i];
        long number = 0;
        if (arg == "--sessions") {
            if (!parse_int(value, 1, kMaxSessions, number))
                usage("--sessions must be 1..5000");
            o.sessions = static_cast<int>(number);
            have_sessions = true;
        } else if (arg == "--seconds") {
            char *end = nullptr;
            o.seconds = std::strtod(value, &end);
            if (end == value || *end != '\0' || !(o.seconds > 0 && o.seconds <= kMaxSeconds))
                usage("--seconds must be above 0 and at most 600");
        } else if (arg == "--interval-ms") {
            char *end = nullptr;
            o.interval_ms = std::strtod(value, &end);
            if (end == value || *end != '\0' || !(o.interval_ms >= 0 && o.interval_ms <= 60000))
                usage("--interval-ms must be 0..60000");
        } else if (arg == "--gwsim") {
            o.gwsim = value;
        } else if (arg == "--scenario") {
            o.scenario = value;
        } else if (arg == "--connect") {
            o.connect = value;
        } else if (arg == "--user") {
            o.user = value;
        } else if (arg == "--password") {
            o.password = value;
        } else {
            usage(("unknown argument " + arg).c_str());
        }
    }
    if (!have_sessions)
        usage("--sessions is required");
    if (o.user.size() > 31 || o.password.size() > 31)
        usage("user and password are at most 31 characters");
    return o;
}

/* ---- gwsim as a child process ------------------------------------------ */

struct Gwsim {
    pid_t pid = -1;
    std::string host;
    int port = 0;
};

/* Starts gwsim on a free loopback port and reads its "listening" line. */
bool start_gwsim(const Options &o, Gwsim &gwsim)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        std::perror("gwsim_load: pipe");
        return false;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("gwsim_load: fork");
        return false;
    }
    if (pid == 0) {
        /* Never outlive the generator, even if it is killed. */
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
        dup2(out[1], STDOUT_FILENO);
        execl(o.gwsim.c_str(), o.gwsim.c_str(), "--scenario", o.scenario.c_str(), "--listen",
              "127.0.0.1:0", static_cast<char *>(nullptr));
        std::fprintf(stderr, "gwsim_load: cannot run %s: %s\n", o.gwsim.c_str(),
                     std::strerror(errno));
        _exit(127);
    }
    close(out[1]);
    gwsim.pid = pid;

    std::string line;
    const auto give_up = Clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos && Clock::now() < give_up) {
        pollfd entry{out[0], POLLIN, 0};
        if (poll(&entry, 1, 100) <= 0)
            continue;
        char chunk[256];
        const ssize_t n = read(out[0], chunk, sizeof chunk);
        if (n <= 0)
            break;
        line.append(chunk, static_cast<std::size_t>(n));
    }
    close(out[0]);
    const std::string prefix = "gwsim listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) {
        std::fprintf(stderr, "gwsim_load: gwsim did not start (%s)\n", o.gwsim.c_str());
        return false;
    }
    gwsim.host = "127.0.0.1";
    gwsim.port = std::atoi(line.c_str() + prefix.size());
    return gwsim.port > 0;
}

void stop_gwsim(Gwsim &gwsim)
{
    if (gwsim.pid <= 0)
        return;
    kill(gwsim.pid, SIGTERM);
    int status = 0;
    waitpid(gwsim.pid, &status, 0);
    gwsim.pid = -1;
}

/* utime + stime of a process, in seconds, from /proc/PID/stat. */
double cpu_seconds_of(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t paren = text.rfind(')'); /* the command name may hold blanks */
    if (paren == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(paren + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15)
            stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double own_cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

/* ---- one session's work ------------------------------------------------ */

struct Shared {
    const Options *options = nullptr;
    std::string host;
    int port = 0;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    Clock::time_point started;
    Clock::time_point stop_at;
};

struct Worker {
    Shared *shared = nullptr;
    int index = 0;
    gwload::CallLatencies latencies;
    uint64_t sequences = 0;
    std::vector<std::string> errors; /* first few failures, for the report */
    uint64_t error_count = 0;
    std::vector<uint32_t> wake_lateness; /* µs, paced runs only */
    std::vector<uint8_t> list;
    std::vector<uint8_t> objects;
    std::vector<uint8_t> broadcasts;
};

void note_error(Worker &w, const char *call, int32_t status)
{
    ++w.error_count;
    if (w.errors.size() < 3)
        w.errors.push_back(std::string(call) + " answered " + std::to_string(status));
}

/* Times one call into the latency table of its kind. */
template <typename Call>
int32_t timed(Worker &w, gwload::CallKind kind, Call call)
{
    const auto start = Clock::now();
    const int32_t status = call();
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    w.latencies.add(kind, static_cast<uint32_t>(std::min<int64_t>(took.count(), UINT32_MAX)));
    return status;
}

/* One whole sequence on a fresh session. False when a call failed. */
bool run_sequence(Worker &w)
{
    using gwload::CallKind;
    const Options &o = *w.shared->options;
    gwapi_session_t session = gwapi_create_session();
    if (session == nullptr) {
        note_error(w, "gwapi_create_session", -1);
        return false;
    }
    bool ok = false;
    int32_t tx = 0;
    do {
        GwLoginMessage login{};
        std::snprintf(login.user_name, sizeof login.user_name, "%s", o.user.c_str());
        std::snprintf(login.password, sizeof login.password, "%s", o.password.c_str());
        std::snprintf(login.host, sizeof login.host, "%s", w.shared->host.c_str());
        login.port = w.shared->port;
        std::snprintf(login.application_name, sizeof login.application_name, "gwsim_load");
        int32_t s = timed(w, CallKind::Login, [&] { return gwapi_login_ex(session, &tx, &login); });
        if (s < 0 || s == GWAPI_PASSWORD_EXPIRED) {
            note_error(w, "gwapi_login_ex", s);
            break;
        }

        uint8_t info[64];
        int32_t length = sizeof info;
        s = timed(w, CallKind::InfoFacility, [&] {
            return gwapi_get_info_ex(session, &tx, GWAPI_INFO_FACILITY_TYPE, &length, info);
        });
        if (s < 0) {
            note_error(w, "gwapi_get_info_ex(2)", s);
            break;
        }
        length = sizeof info;
        s = timed(w, CallKind::InfoUser, [&] {
            return gwapi_get_info_ex(session, &tx, GWAPI_INFO_USER, &length, info);
        });
        if (s < 0) {
            note_error(w, "gwapi_get_info_ex(1)", s);
            break;
        }

        uint32_t list_length = kListCapacity;
        s = timed(w, CallKind::EventTypeList, [&] {
            return gwapi_read_event_ext_ex(session, GWAPI_EVENT_TYPE_LIST, w.list.data(),
                                           &list_length, 0, 0);
        });
        if (s < 0) {
            note_error(w, "gwapi_read_event_ext_ex(1000)", s);
            break;
        }
        const std::vector<int32_t> types = gwload::parse_event_types(
            reinterpret_cast<const char *>(w.list.data()), list_length);

        uint32_t objects_length = kListCapacity;
        s = timed(w, CallKind::InfoObjectList, [&] {
            return gwapi_read_event_ext_ex(session, GWAPI_EVENT_INFO_OBJECT_LIST, w.objects.data(),
                                           &objects_length, 0, 0);
        });
        if (s < 0) {
            note_error(w, "gwapi_read_event_ext_ex(1002)", s);
            break;
        }
        std::vector<GwInfObjKey> keys;
        for (const GwInfObjItem &item : gwload::parse_info_objects(w.objects.data(), objects_length))
            if (item.autoLoaded == 0)
                keys.push_back(item.key);

        bool failed = false;
        std::vector<uint32_t> clear_keys;
        for (int32_t type : types) {
            if (type != 1) {
                s = timed(w, CallKind::Subscribe,
                          [&] { return gwapi_set_event_ex(session, type, nullptr); });
                if (s < 0) {
                    note_error(w, "gwapi_set_event_ex", s);
                    failed = true;
                }
                continue;
            }
            for (const GwInfObjKey &key : keys) {
                GwInfObjSubscription record{};
                record.length = swapint32(sizeof record);
                record.key = key;
                s = timed(w, CallKind::Subscribe,
                          [&] { return gwapi_set_event_ex(session, 1, &record); });
                if (s < 0 || record.replyStatus != 0) {
                    note_error(w, "gwapi_set_event_ex(1)", s < 0 ? s : record.replyStatus);
                    failed = true;
                    continue;
                }
                clear_keys.push_back(record.clearKey);
            }
        }
        if (failed)
            break;

        uint32_t broadcast_length = kBroadcastCapacity;
        s = timed(w, CallKind::BroadcastRead, [&] {
            return gwapi_read_event_ext_ex(session, GWAPI_EVENT_BROADCASTS, w.broadcasts.data(),
                                           &broadcast_length, 0, 1);
        });
        if (s < 0 && s != GWAPI_NO_BROADCASTS) {
            note_error(w, "gwapi_read_event_ext_ex(999)", s);
            break;
        }

        for (int32_t type : types) {
            if (type != 1) {
                s = timed(w, CallKind::Unsubscribe,
                          [&] { return gwapi_clear_event_ex(session, type, nullptr); });
                if (s < 0) {
                    note_error(w, "gwapi_clear_event_ex", s);
                    failed = true;
                }
                continue;
            }
            for (uint32_t clear_key : clear_keys) {
                GwInfObjUnsubscription record{};
                record.length = swapint32(sizeof record);
                record.clearKey = clear_key;
                s = timed(w, CallKind::Unsubscribe,
                          [&] { return gwapi_clear_event_ex(session, 1, &record); });
                if (s < 0) {
                    note_error(w, "gwapi_clear_event_ex(1)", s);
                    failed = true;
                }
            }
        }
        if (failed)
            break;

        s = timed(w, CallKind::Logout, [&] { return gwapi_logout_ex(session, &tx); });
        if (s < 0) {
            note_error(w, "gwapi_logout_ex", s);
            break;
        }
        ok = true;
    } while (false);
    gwapi_close_session(session);
    return ok;
}

void *worker_main(void *argument)
{
    Worker &w = *static_cast<Worker *>(argument);
    w.list.resize(kListCapacity);
    w.objects.resize(kListCapacity);
    w.broadcasts.resize(kBroadcastCapacity);
    w.shared->ready.fetch_add(1);
    while (!w.shared->go.load())
        usleep(1000);
    const Options &o = *w.shared->options;
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(o.interval_ms));
    /* Paced sessions start spread over the first interval, not all at once. */
    Clock::time_point next = w.shared->started + interval * w.index / o.sessions;
    while (Clock::now() < w.shared->stop_at) {
        if (o.interval_ms > 0) {
            std::this_thread::sleep_until(std::min(next, w.shared->stop_at));
            const auto now = Clock::now();
            if (now >= w.shared->stop_at)
                break;
            const auto late = std::chrono::duration_cast<std::chrono::microseconds>(now - next);
            w.wake_lateness.push_back(
                static_cast<uint32_t>(std::clamp<int64_t>(late.count(), 0, UINT32_MAX)));
            next += interval; /* a late sequence does not move the schedule */
        }
        if (run_sequence(w))
            ++w.sequences;
        else
            usleep(10000); /* do not spin on a gateway that refuses us */
    }
    return nullptr;
}

/* Lets 1000 sessions (plus gwsim's side of each) have their descriptors. */
void raise_open_file_limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

bool split_host_port(const std::string &text, std::string &host, int &port)
{
    const std::size_t colon = text.rfind(':');
    long number = 0;
    if (colon == std::string::npos || !parse_int(text.c_str() + colon + 1, 1, 65535, number))
        return false;
    host = text.substr(0, colon);
    port = static_cast<int>(number);
    return !host.empty() && host.size() < 128;
}

}  // namespace

int main(int argc, char **argv)
{
    const Options options = parse_command_line(argc, argv);
    raise_open_file_limit();
    signal(SIGPIPE, SIG_IGN);

    Shared shared;
    shared.options = &options;
    Gwsim gwsim;
    if (!options.connect.empty()) {
        if (!split_host_port(options.connect, shared.host, shared.port))
            usage("--connect needs HOST:PORT");
    } else {
        if (!start_gwsim(options, gwsim)) {
            stop_gwsim(gwsim);
            return 1;
        }
        shared.host = gwsim.host;
        shared.port = gwsim.port;
    }

    std::vector<Worker> workers(static_cast<std::size_t>(options.sessions));
    std::vector<pthread_t> threads;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    for (Worker &w : workers) {
        w.shared = &shared;
        w.index = static_cast<int>(&w - workers.data());
        pthread_t thread;
        const int error = pthread_create(&thread, &attributes, worker_main, &w);
        if (error != 0) {
            std::fprintf(stderr, "gwsim_load: cannot start thread %zu: %s\n", threads.size() + 1,
                         std::strerror(error));
            shared.stop_at = Clock::now();
            shared.go = true;
            for (pthread_t t : threads)
                pthread_join(t, nullptr);
            stop_gwsim(gwsim);
            return 1;
        }
        threads.push_back(thread);
    }
    pthread_attr_destroy(&attributes);
    while (shared.ready.load() < options.sessions)
        usleep(1000);

    const double gwsim_cpu_before = gwsim.pid > 0 ? cpu_seconds_of(gwsim.pid) : 0;
    const double own_cpu_before = own_cpu_seconds();
    const auto started = Clock::now();
    shared.started = started;
    shared.stop_at = started + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(options.seconds));
    shared.go = true;
    for (pthread_t t : threads)
        pthread_join(t, nullptr);
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    const double gwsim_cpu = gwsim.pid > 0 ? cpu_seconds_of(gwsim.pid) - gwsim_cpu_before : 0;
    const double own_cpu = own_cpu_seconds() - own_cpu_before;
    stop_gwsim(gwsim);

    gwload::CallLatencies all;
    gwload::Report report;
    uint64_t sequences = 0, errors = 0;
    std::vector<std::string> first_errors;
    for (Worker &w : workers) {
        all.merge(std::move(w.latencies));
        sequences += w.sequences;
        errors += w.error_count;
        report.wake_lateness.insert(report.wake_lateness.end(), w.wake_lateness.begin(),
                                    w.wake_lateness.end());
        for (const std::string &e : w.errors)
            if (first_errors.size() < 5)
                first_errors.push_back(e);
    }
    report.sessions = options.sessions;
    report.interval_ms = options.interval_ms;
    report.elapsed_seconds = elapsed;
    report.sequences = sequences;
    report.errors = errors;
    report.gwsim_cpu_seconds = gwsim_cpu;
    report.generator_cpu_seconds = own_cpu;
    std::fputs(gwload::format_report(report, all).c_str(), stdout);
    for (const std::string &e : first_errors)
        std::printf("error: %s\n", e.c_str());
    return errors == 0 ? 0 : 1;
}
