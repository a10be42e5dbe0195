/*
 * command_line.h - gwcheck's command line. The plain form
 * "username pwd host port [P]" is read exactly as it always was; options
 * come before the operands (POSIX order), and "--credentials FILE [P]"
 * takes the login record from a credentials file instead of the four texts.
 */
#ifndef DRIVER_COMMAND_LINE_H
#define DRIVER_COMMAND_LINE_H

#include <cstdint>

#include "gateway/gateway.h"

/* What the run is asked to do besides the check itself. */
struct RunOptions {
    const char *credentials_path;  /* -f, --credentials FILE, or null */
    const char *metrics_path;      /* -m, --metrics FILE, or null */
    int32_t poll;                  /* 1: wait for broadcasts after subscribing */
    unsigned deadline_seconds;     /* -t, --timeout: the whole run's deadline; 0: none */
    unsigned poll_interval_seconds; /* --poll-interval: the pause between reads */
    bool plugin_mode;              /* --nagios: one status line, exit 0-3 */
    double warning_seconds;        /* -w: total time over which the check warns; < 0: none */
    double critical_seconds;       /* -c: total time over which the check is critical; < 0: none */
};

enum class CommandLineOutcome {
    kRun,        /* run the check */
    kDone,       /* --help or --version answered: exit 0 */
    kUsageError, /* the reason said (CommandLineProblem): exit 1, or 3 in plugin mode */
};

/*
 * Reads the command line into *options and, in the positional form, into
 * *record (cleared first). The password argument is overwritten in argv as
 * soon as it is copied, so the process's command line no longer shows it.
 * --connect-timeout and --answer-timeout set GWAPI_CONNECT_TIMEOUT_MS and
 * GWAPI_ANSWER_TIMEOUT_MS for the library, whose values are checked too.
 * A usage error is said on standard error with a hint at --help, except
 * the plain form's: too few operands get the usage line on standard output.
 */
CommandLineOutcome ReadCommandLine(int argc, char **argv, RunOptions *options,
                                   LoginRecord *record);

/* The reason of the last usage error, in words. */
const char *CommandLineProblem();

/* A port text is decimal digits only (leading zeros allowed), 1 to 65535. */
bool ValidPortText(const char *text);
/* What is wrong with a port text that is not valid, naming it, for standard error. */
const char *PortProblem(const char *text);

#endif
