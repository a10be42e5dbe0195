/*
 * run_metrics.cpp - the metrics file: the run's account kept step by step,
 * then formatted into fixed storage and put in place with one rename.
 *
 * It is written at the end of a run, and also from the framework's
 * uncaught-exception handler, where every signal is blocked and the heap or
 * a stdio buffer may be in any state: so the text is built with snprintf into
 * a buffer on the stack and written with plain system calls.
 */
#include "driver/run_metrics.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "broadcast/broadcast.h"
#include "credentials/sibling_files.h"
#include "exc/exc.h"
#include "gateway/guarded_io.h"

namespace {

constexpr int32_t kStepNotRun = -1;

const char *const kStepNames[kRunStepCount] = {
    "session", "login", "facility_type", "user_info", "subscribe", "poll", "unsubscribe", "logout",
};

/* One step of the run, its times on CLOCK_MONOTONIC. */
struct StepRecord {
    int32_t outcome; /* kStepNotRun, 0 failed (or running), 1 succeeded */
    bool ended;
    struct timespec began;
    struct timespec ended_at;
};

/* The run as the metrics file tells it. Process-wide, because the
 * uncaught-exception handler, which is given nothing else, writes it too. */
struct RunAccount {
    const char *path;
    const LoginRecord *record;
    const char *credentials_name; /* base name of the credentials file, or null */
    struct timespec started; /* CLOCK_MONOTONIC */
    mode_t file_mode;        /* what a newly created file gets under the umask */
    unsigned deadline_seconds;
    bool deadline_passed;
    StepRecord steps[kRunStepCount];
};
RunAccount account;

double SecondsBetween(const struct timespec &from, const struct timespec &to) {
    return static_cast<double>(to.tv_sec - from.tv_sec) +
           static_cast<double>(to.tv_nsec - from.tv_nsec) / 1e9;
}

struct timespec Now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

/* The file's text, built in fixed storage. */
struct MetricsText {
    char bytes[16384];
    size_t length;
    bool overflowed;
};

void AppendBytes(MetricsText *text, const char *bytes, size_t length) {
    if (text->overflowed || length >= sizeof text->bytes - text->length) {
        text->overflowed = true;
        return;
    }
    memcpy(text->bytes + text->length, bytes, length);
    text->length += length;
}

void AppendText(MetricsText *text, const char *text_to_add) {
    AppendBytes(text, text_to_add, strlen(text_to_add));
}

__attribute__((format(printf, 2, 3))) void Append(MetricsText *text, const char *format, ...) {
    char piece[512];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(piece, sizeof piece, format, arguments);
    va_end(arguments);
    if (length < 0 || static_cast<size_t>(length) >= sizeof piece) {
        text->overflowed = true;
        return;
    }
    AppendBytes(text, piece, static_cast<size_t>(length));
}

/*
 * Length of the well-formed UTF-8 sequence that starts at s (at most n bytes
 * there), or 0 when none starts there: the format is UTF-8, and a reader
 * refuses the whole file over one stray byte.
 */
size_t Utf8SequenceLength(const unsigned char *s, size_t n) {
    unsigned char c = s[0];
    size_t length;
    unsigned char second_low = 0x80;
    unsigned char second_high = 0xBF;
    if (c < 0x80) {
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        second_low = (c == 0xE0) ? 0xA0 : 0x80;  /* no overlong forms */
        second_high = (c == 0xED) ? 0x9F : 0xBF; /* no surrogates */
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        second_low = (c == 0xF0) ? 0x90 : 0x80;
        second_high = (c == 0xF4) ? 0x8F : 0xBF; /* nothing past U+10FFFF */
    } else {
        return 0;
    }
    if (length > n || s[1] < second_low || s[1] > second_high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (s[i] < 0x80 || s[i] > 0xBF) {
            return 0;
        }
    }
    return length;
}

/* A label value from a text field of at most size bytes: backslash, double
 * quote and newline escaped as the format wants, a byte that is not UTF-8
 * shown as "?". */
void AppendLabelValue(MetricsText *text, const char *value, size_t size) {
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(value);
    size_t end = strnlen(value, size);
    for (size_t i = 0; i < end;) {
        size_t length = Utf8SequenceLength(bytes + i, end - i);
        if (length == 0) {
            AppendText(text, "?");
            length = 1;
        } else if (value[i] == '\\') {
            AppendText(text, "\\\\");
        } else if (value[i] == '"') {
            AppendText(text, "\\\"");
        } else if (value[i] == '\n') {
            AppendText(text, "\\n");
        } else {
            AppendBytes(text, value + i, length);
        }
        i += length;
    }
}

void AppendFamily(MetricsText *text, const char *name, const char *help) {
    Append(text, "# HELP %s %s\n# TYPE %s gauge\n", name, help, name);
}

/* True for an IPv6 address, which a gateway label writes in brackets. */
bool IsIpv6Host(const char *host, size_t size) { return memchr(host, ':', strnlen(host, size)); }

/* One sample: the user, gateway and credentials labels, then the step's, if any. */
void AppendSample(MetricsText *text, const char *name, const char *step, const char *value) {
    const LoginRecord *record = account.record;
    Append(text, "%s{user=\"", name);
    AppendLabelValue(text, record->user_name, sizeof record->user_name);
    AppendText(text, "\",gateway=\"");
    /* A run that never got its login record has no gateway to name. */
    if (record->host[0] != '\0' || record->port[0] != '\0') {
        bool bracketed = IsIpv6Host(record->host, sizeof record->host);
        AppendText(text, bracketed ? "[" : "");
        AppendLabelValue(text, record->host, sizeof record->host);
        AppendText(text, bracketed ? "]:" : ":");
        AppendLabelValue(text, record->port, sizeof record->port);
    }
    AppendText(text, "\"");
    if (account.credentials_name != nullptr) {
        AppendText(text, ",credentials=\"");
        AppendLabelValue(text, account.credentials_name, strlen(account.credentials_name));
        AppendText(text, "\"");
    }
    if (step != nullptr) {
        Append(text, ",step=\"%s\"", step);
    }
    Append(text, "} %s\n", value);
}

void FormatSeconds(char (&out)[32], struct timespec time) {
    snprintf(out, sizeof out, "%lld.%06ld", static_cast<long long>(time.tv_sec),
             time.tv_nsec / 1000);
}

void FormatInteger(char (&out)[32], long long value) { snprintf(out, sizeof out, "%lld", value); }

void FormatStepSuccess(char (&out)[32], RunStep step) {
    FormatInteger(out, account.steps[step].outcome);
}

void FormatStepSeconds(char (&out)[32], RunStep step) {
    snprintf(out, sizeof out, "%.6f", StepSeconds(step));
}

/* A family with one sample per step that ran; none at all when no step ran. */
void AppendStepFamily(MetricsText *text, const char *name, const char *help,
                      void (*format)(char (&)[32], RunStep)) {
    bool begun = false;
    for (int step = 0; step < kRunStepCount; ++step) {
        if (account.steps[step].outcome == kStepNotRun) {
            continue;
        }
        if (!begun) {
            AppendFamily(text, name, help);
            begun = true;
        }
        char value[32];
        format(value, static_cast<RunStep>(step));
        AppendSample(text, name, kStepNames[step], value);
    }
}

void AppendAccount(MetricsText *text, int exit_status) {
    struct timespec now;
    struct timespec ended;
    clock_gettime(CLOCK_MONOTONIC, &now);
    clock_gettime(CLOCK_REALTIME, &ended);
    struct timespec duration = {now.tv_sec - account.started.tv_sec,
                                now.tv_nsec - account.started.tv_nsec};
    if (duration.tv_nsec < 0) {
        duration.tv_nsec += 1000000000L;
        duration.tv_sec -= 1;
    }
    char value[32];

    AppendFamily(text, "gwcheck_success", "1 when the run ended with exit status 0, else 0.");
    FormatInteger(value, exit_status == 0 ? 1 : 0);
    AppendSample(text, "gwcheck_success", nullptr, value);

    AppendFamily(text, "gwcheck_exit_status",
                 "Exit status of the run: 0 the check succeeded, 1 usage or internal error, "
                 "2 the check found a failure; with --nagios 0 OK, 1 WARNING, 2 CRITICAL, "
                 "3 UNKNOWN.");
    FormatInteger(value, exit_status);
    AppendSample(text, "gwcheck_exit_status", nullptr, value);

    AppendFamily(text, "gwcheck_duration_seconds", "Wall time of the run in seconds.");
    FormatSeconds(value, duration);
    AppendSample(text, "gwcheck_duration_seconds", nullptr, value);

    AppendFamily(text, "gwcheck_last_run_timestamp_seconds", "Unix time at the end of the run.");
    FormatSeconds(value, ended);
    AppendSample(text, "gwcheck_last_run_timestamp_seconds", nullptr, value);

    if (account.deadline_seconds != 0) {
        AppendFamily(text, "gwcheck_deadline_passed",
                     "1 when the run's deadline (--timeout) passed before it ended, else 0.");
        FormatInteger(value, account.deadline_passed ? 1 : 0);
        AppendSample(text, "gwcheck_deadline_passed", nullptr, value);
    }

    AppendStepFamily(text, "gwcheck_step_success",
                     "1 when the step succeeded, 0 when it failed; a step that did not run "
                     "is absent.",
                     FormatStepSuccess);
    AppendStepFamily(text, "gwcheck_step_duration_seconds",
                     "Wall time of the step in seconds, up to its end or its failure; a step "
                     "that did not run is absent.",
                     FormatStepSeconds);

    if (glNetworkStatusRead) {
        AppendFamily(text, "gwcheck_network_status",
                     "Network status carried by the BN1 broadcast of the run.");
        FormatInteger(value, glNetworkStatus);
        AppendSample(text, "gwcheck_network_status", nullptr, value);
    }
}

/*
 * Puts the text at path: written to "<path>.gwcheck-tmp-XXXXXX" in the same
 * directory, synced, then renamed over path, so path holds the old file or
 * the whole new one. Something at path that is not a regular file is left
 * alone. False with errno set; no temporary file is left behind.
 */
bool ReplaceFile(const char *path, const char *bytes, size_t length, mode_t mode) {
    struct stat existing;
    if (stat(path, &existing) == 0 && !S_ISREG(existing.st_mode)) {
        errno = EEXIST;
        return false;
    }
    char temporary[PATH_MAX];
    if (!TemporaryTemplate(temporary, sizeof temporary, path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    int fd = mkstemp(temporary);
    if (fd < 0) {
        return false;
    }
    bool written = fchmod(fd, mode) == 0 && WriteAll(fd, bytes, length) && fsync(fd) == 0;
    int saved_errno = errno;
    if (close(fd) != 0 && written) {
        written = false;
        saved_errno = errno;
    }
    if (written && rename(temporary, path) != 0) {
        written = false;
        saved_errno = errno;
    }
    if (!written) {
        unlink(temporary);
        errno = saved_errno;
    }
    return written;
}

}  // namespace

const char *MetricsPathProblem(const char *metrics_path, const char *credentials_path) {
    static char problem[PATH_MAX + 64];
    if (metrics_path == nullptr) {
        return nullptr;
    }
    struct stat metrics;
    if (stat(metrics_path, &metrics) == 0) {
        if (!S_ISREG(metrics.st_mode)) {
            snprintf(problem, sizeof problem,
                     "the metrics file %s exists and is not a regular file", metrics_path);
            return problem;
        }
        struct stat credentials;
        if (credentials_path != nullptr && stat(credentials_path, &credentials) == 0 &&
            credentials.st_dev == metrics.st_dev && credentials.st_ino == metrics.st_ino) {
            snprintf(problem, sizeof problem, "the metrics file %s is the credentials file",
                     metrics_path);
            return problem;
        }
    }
    size_t length = strlen(metrics_path);
    if (length < 5 || strcmp(metrics_path + length - 5, ".prom") != 0) {
        fprintf(stderr,
                "gwcheck: warning: the metrics file %s does not end in .prom, so a node "
                "exporter will not read it\n",
                metrics_path);
    }
    return nullptr;
}

void StartRunMetrics(const char *path, const LoginRecord *record) {
    clock_gettime(CLOCK_MONOTONIC, &account.started);
    account.path = path;
    account.record = record;
    if (path != nullptr) {
        RemoveLeftoverTemporaryFiles(path);
    }
    /* The file is made as a plain new file would be: readable by the
     * collector that runs as another user, within the umask. */
    mode_t mask = umask(0);
    umask(mask);
    account.file_mode = 0666 & ~mask;
    for (StepRecord &step : account.steps) {
        step.outcome = kStepNotRun;
        step.ended = false;
    }
}

void SetCredentialsLabel(const char *credentials_path) {
    const char *slash = strrchr(credentials_path, '/');
    account.credentials_name = slash != nullptr ? slash + 1 : credentials_path;
}

void SetRunDeadline(unsigned seconds) { account.deadline_seconds = seconds; }
void NoteDeadlinePassed() { account.deadline_passed = true; }
bool DeadlinePassed() { return account.deadline_passed; }

void StepBegins(RunStep step) {
    account.steps[step].outcome = 0;
    account.steps[step].ended = false;
    account.steps[step].began = Now();
}

void StepEnds(RunStep step, bool succeeded) {
    account.steps[step].outcome = succeeded ? 1 : 0;
    account.steps[step].ended = true;
    account.steps[step].ended_at = Now();
}

void EndRunningStep() {
    for (StepRecord &step : account.steps) {
        if (step.outcome != kStepNotRun && !step.ended) {
            step.ended = true;
            step.ended_at = Now();
        }
    }
}

const char *StepName(RunStep step) { return kStepNames[step]; }

int StepOutcome(RunStep step) { return account.steps[step].outcome; }

double StepSeconds(RunStep step) {
    const StepRecord &record = account.steps[step];
    if (record.outcome == kStepNotRun) {
        return 0;
    }
    return SecondsBetween(record.began, record.ended ? record.ended_at : Now());
}

double RunSeconds() { return SecondsBetween(account.started, Now()); }

void FormatUserAtGateway(char *text, size_t size) {
    const LoginRecord *record = account.record;
    bool bracketed = IsIpv6Host(record->host, sizeof record->host);
    snprintf(text, size, "%.*s@%s%.*s%s:%.*s", static_cast<int>(sizeof record->user_name),
             record->user_name, bracketed ? "[" : "", static_cast<int>(sizeof record->host),
             record->host, bracketed ? "]" : "", static_cast<int>(sizeof record->port),
             record->port);
}

void WriteRunMetrics(int exit_status) {
    if (account.path == nullptr) {
        return;
    }
    exc_defer_signals_begin();
    MetricsText text;
    text.length = 0;
    text.overflowed = false;
    AppendAccount(&text, exit_status);
    if (text.overflowed) {
        fprintf(stderr, "gwcheck: the metrics do not fit in %zu bytes; %s not written\n",
                sizeof text.bytes, account.path);
    } else if (!ReplaceFile(account.path, text.bytes, text.length, account.file_mode)) {
        if (errno == EEXIST) {
            fprintf(stderr, "gwcheck: the metrics file %s is not a regular file; not written\n",
                    account.path);
        } else {
            fprintf(stderr, "gwcheck: cannot write the metrics file %s: %s\n", account.path,
                    strerror(errno));
        }
    }
    exc_defer_signals_end();
}
