/*
 * command_line.h - gwcheck's command line. The plain form
 * "username pwd host port [P]" is read exactly as it always was; options
 * come before the positional arguments, and "--credentials FILE [P]" takes
 * the login record from a credentials file instead of the four texts.
 */
#ifndef DRIVER_COMMAND_LINE_H
#define DRIVER_COMMAND_LINE_H

#include <cstdint>

#include "gateway/gateway.h"

/* What the run is asked to do besides the check itself. */
struct RunOptions {
    const char *credentials_path; /* --credentials FILE, or null */
    const char *metrics_path;     /* --metrics FILE, or null */
    int32_t poll;                 /* 1: wait for broadcasts after subscribing */
};

enum class CommandLineOutcome {
    kRun,        /* run the check */
    kDone,       /* --help or --version answered: exit 0 */
    kUsageError, /* the usage line (and a reason) printed: exit 1 */
};

/*
 * Reads the command line into *options and, in the positional form, into
 * *record (cleared first). The password argument is overwritten in argv as
 * soon as it is copied, so the process's command line no longer shows it.
 */
CommandLineOutcome ReadCommandLine(int argc, char **argv, RunOptions *options,
                                   LoginRecord *record);

/* A port text is decimal digits only (leading zeros allowed), 1 to 65535. */
bool ValidPortText(const char *text);
/* What is wrong with a port text that is not valid, naming it, for standard error. */
const char *PortProblem(const char *text);

#endif
