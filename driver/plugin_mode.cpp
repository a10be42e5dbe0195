/*
 * plugin_mode.cpp - the plugin mode's status line, made from the run's
 * record (run_metrics), and the account held back until it is printed.
 */
#include "driver/plugin_mode.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/run_metrics.h"
#include "gateway/gateway.h"
#include "gateway/guarded_io.h"

namespace {

constexpr const char *kStatusWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

/* The real standard output while the account is held; -1 when it is not. */
int real_output = -1;
/* The memory file that holds the account. */
int held_account = -1;
char unknown_reason[256];

/*
 * Writes the status line, then the held account, to the real standard
 * output, and stops holding. Plain system calls: also safe at exit.
 */
bool ReleaseAccount(const char *status_line) {
    fflush(stdout);
    bool written = WriteAll(real_output, status_line, strlen(status_line));
    if (lseek(held_account, 0, SEEK_SET) == 0) {
        char piece[4096];
        ssize_t length;
        while ((length = read(held_account, piece, sizeof piece)) > 0) {
            written = WriteAll(real_output, piece, static_cast<size_t>(length)) && written;
        }
    }
    int saved_errno = errno;
    dup2(real_output, STDOUT_FILENO);
    close(real_output);
    close(held_account);
    real_output = -1;
    held_account = -1;
    glAccountHeld = false;
    errno = saved_errno;
    return written;
}

/* A process that ends before the verdict (an internal error) still shows the account. */
void ReleaseAccountAtExit() {
    if (real_output >= 0) {
        ReleaseAccount("GWCHECK UNKNOWN - the check ended early with an internal error\n");
    }
}

/* The steps that ran, and the first that failed (kRunStepCount: none). */
int CountSteps(RunStep *first_failed) {
    int count = 0;
    *first_failed = kRunStepCount;
    for (int step = 0; step < kRunStepCount; ++step) {
        int outcome = StepOutcome(static_cast<RunStep>(step));
        if (outcome < 0) {
            continue;
        }
        ++count;
        if (outcome == 0 && *first_failed == kRunStepCount) {
            *first_failed = static_cast<RunStep>(step);
        }
    }
    return count;
}

/* " | 'time'=...s;W;C;0 'step'=...s;;;0 ...": one value per step that ran. */
void AppendPerformanceData(char *line, size_t size, double total, const RunOptions &options) {
    size_t used = strlen(line);
    char warning[32] = "";
    char critical[32] = "";
    if (options.warning_seconds >= 0) snprintf(warning, sizeof warning, "%g", options.warning_seconds);
    if (options.critical_seconds >= 0) snprintf(critical, sizeof critical, "%g", options.critical_seconds);
    used += static_cast<size_t>(snprintf(line + used, size - used, " | 'time'=%.6fs;%s;%s;0", total,
                                         warning, critical));
    for (int step = 0; step < kRunStepCount && used < size; ++step) {
        if (StepOutcome(static_cast<RunStep>(step)) < 0) {
            continue;
        }
        used += static_cast<size_t>(snprintf(line + used, size - used, " '%s'=%.6fs;;;0",
                                             StepName(static_cast<RunStep>(step)),
                                             StepSeconds(static_cast<RunStep>(step))));
    }
}

}  // namespace

bool HoldAccount() {
    fflush(stdout);
    held_account = memfd_create("gwcheck-account", MFD_CLOEXEC);
    real_output = held_account >= 0 ? dup(STDOUT_FILENO) : -1;
    if (real_output < 0 || dup2(held_account, STDOUT_FILENO) < 0) {
        fprintf(stderr, "gwcheck: cannot hold the account back: %s\n", strerror(errno));
        if (real_output >= 0) close(real_output);
        if (held_account >= 0) close(held_account);
        real_output = held_account = -1;
        return false;
    }
    glAccountHeld = true;
    atexit(ReleaseAccountAtExit);
    return true;
}

void NoteUnknownReason(const char *format, ...) {
    if (unknown_reason[0] != '\0') {
        return; /* the first reason is the one that counts */
    }
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(unknown_reason, sizeof unknown_reason, format, arguments);
    va_end(arguments);
}

int FinishPluginRun(int run_status, const RunOptions &options) {
    double total = RunSeconds();
    RunStep failed;
    int steps = CountSteps(&failed);
    char who[200];
    FormatUserAtGateway(who, sizeof who);
    char summary[512];
    int status;
    if (unknown_reason[0] != '\0' || run_status == 1) {
        status = kPluginUnknown;
        snprintf(summary, sizeof summary, "%s", unknown_reason[0] ? unknown_reason : "the check could not run");
    } else if (DeadlinePassed()) {
        status = kPluginCritical;
        snprintf(summary, sizeof summary, "%s: the deadline of %u s passed, %d steps in %.3f s", who,
                 options.deadline_seconds, steps, total);
    } else if (run_status != 0) {
        status = kPluginCritical;
        snprintf(summary, sizeof summary, "%s: %s failed, %d steps in %.3f s", who,
                 failed < kRunStepCount ? StepName(failed) : "the check", steps, total);
    } else {
        status = kPluginOk;
        const char *over = "";
        char threshold[64] = "";
        if (options.critical_seconds >= 0 && total > options.critical_seconds) {
            status = kPluginCritical;
            over = "critical";
            snprintf(threshold, sizeof threshold, "%g", options.critical_seconds);
        } else if (options.warning_seconds >= 0 && total > options.warning_seconds) {
            status = kPluginWarning;
            over = "warning";
            snprintf(threshold, sizeof threshold, "%g", options.warning_seconds);
        }
        int length = snprintf(summary, sizeof summary, "%s logged in, %d steps in %.3f s", who,
                              steps, total);
        if (over[0] != '\0' && length > 0) {
            snprintf(summary + length, sizeof summary - static_cast<size_t>(length),
                     ", over the %s threshold of %s s", over, threshold);
        }
    }
    char line[1536];
    snprintf(line, sizeof line, "GWCHECK %s - %s", kStatusWords[status], summary);
    AppendPerformanceData(line, sizeof line - 1, total, options);
    strcat(line, "\n");
    if (!ReleaseAccount(line)) {
        fprintf(stderr, "gwcheck: cannot write the account to standard output: %s\n",
                strerror(errno));
        return kPluginUnknown;
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        return kPluginUnknown;
    }
    return status;
}

void ReportPluginUsageError(const char *problem) {
    printf("GWCHECK UNKNOWN - usage error: %s\n", problem);
}
