/*
 * time_runs.cpp - wall time and peak resident memory of short programs,
 * run side by side.
 *
 *   time_runs [--runs N] -- COMMAND [ARGS...] [:: COMMAND [ARGS...]]...
 *
 * Runs the commands in turn, N rounds (default 50), so that a noisy
 * machine disturbs every command alike. Each run is timed from fork to
 * the child's exit with a monotonic clock (microseconds, where
 * /usr/bin/time only gives hundredths), and its peak RSS is the child's
 * ru_maxrss, the figure /usr/bin/time reports as "Maximum resident set
 * size". Standard output of the commands is discarded. Prints, per
 * command, the median, p10 and p90 wall time, the median and largest peak
 * RSS, and the ratio of its median to the last command's. Exit 1 when a
 * run fails (nonzero status or a signal).
 */
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/load_stats.h"

namespace {

struct Command {
    std::vector<char *> argv; /* NULL-terminated */
    std::vector<uint32_t> wall_us;
    std::vector<uint32_t> rss_kib;
};

int64_t now_us()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

/* One run of the command; false when it could not run or did not exit 0. */
bool run_once(Command &c)
{
    const int64_t start = now_us();
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("time_runs: fork");
        return false;
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, STDOUT_FILENO);
        execv(c.argv[0], c.argv.data());
        std::fprintf(stderr, "time_runs: cannot run %s: %s\n", c.argv[0], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        std::perror("time_runs: wait4");
        return false;
    }
    const int64_t took = now_us() - start;
    c.wall_us.push_back(static_cast<uint32_t>(took));
    c.rss_kib.push_back(static_cast<uint32_t>(usage.ru_maxrss));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "time_runs: %s ended with %s %d\n", c.argv[0],
                     WIFEXITED(status) ? "status" : "signal",
                     WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
        return false;
    }
    return true;
}

int usage()
{
    std::fprintf(stderr, "usage: time_runs [--runs N] -- COMMAND [ARGS...] [:: COMMAND [ARGS...]]...\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    long runs = 50;
    int i = 1;
    if (i + 1 < argc && std::strcmp(argv[i], "--runs") == 0) {
        char *end = nullptr;
        runs = std::strtol(argv[i + 1], &end, 10);
        if (end == argv[i + 1] || *end != '\0' || runs < 1 || runs > 100000)
            return usage();
        i += 2;
    }
    if (i >= argc || std::strcmp(argv[i], "--") != 0)
        return usage();
    std::vector<Command> commands(1);
    for (++i; i < argc; ++i) {
        if (std::strcmp(argv[i], "::") == 0) {
            commands.emplace_back();
            continue;
        }
        commands.back().argv.push_back(argv[i]);
    }
    for (Command &c : commands) {
        if (c.argv.empty())
            return usage();
        c.argv.push_back(nullptr);
    }

    for (long round = 0; round < runs; ++round)
        for (Command &c : commands)
            if (!run_once(c))
                return 1;

    std::vector<uint32_t> last_wall = commands.back().wall_us;
    const double reference = gwload::percentile(last_wall, 0.5);
    std::printf("%-40s %6s %9s %9s %9s %9s %9s %7s\n", "command", "runs", "p10 ms", "median ms",
                "p90 ms", "RSS KiB", "max KiB", "ratio");
    for (Command &c : commands) {
        std::string name = c.argv[0];
        if (const std::size_t slash = name.rfind('/'); slash != std::string::npos)
            name = name.substr(slash + 1);
        const double p10 = gwload::percentile(c.wall_us, 0.10);
        const double median = gwload::percentile(c.wall_us, 0.50);
        const double p90 = gwload::percentile(c.wall_us, 0.90);
        const uint32_t rss = gwload::percentile(c.rss_kib, 0.50);
        const uint32_t rss_max = c.rss_kib.back();
        std::printf("%-40s %6ld %9.3f %9.3f %9.3f %9u %9u %7.2f\n", name.c_str(), runs, p10 / 1000,
                    median / 1000, p90 / 1000, rss, rss_max, reference > 0 ? median / reference : 0);
    }
    return 0;
}
