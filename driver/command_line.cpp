/*
 * command_line.cpp - reads gwcheck's options and positional arguments.
 *
 * Options are the arguments before the first one that does not begin with
 * "--"; "--" itself ends them. Without options the positional rules are the
 * old ones, byte for byte: fewer than four arguments get the usage line,
 * five mean polling, any other count beyond four means none. Once an option
 * is given, only the two documented forms are accepted.
 */
#include "driver/command_line.h"

#include <cstdio>
#include <cstring>

#ifndef GWCHECK_VERSION
#error "GWCHECK_VERSION must come from the build (the project's version)"
#endif

namespace {

const char kUsage[] = "Usage: gwcheck username pwd host port [P]\n";

const char kHelp[] =
    "Usage: gwcheck [OPTIONS] username pwd host port [P]\n"
    "       gwcheck [OPTIONS] --credentials FILE [P]\n"
    "Checks that a user can log in to a gateway and use it; P also waits for the\n"
    "network-status broadcast. Exit status: 0 success, 1 usage or internal error,\n"
    "2 the check found a failure.\n"
    "Options (before the positional arguments; -- ends them):\n"
    "  --credentials FILE  login from FILE's four lines; a renewed password is saved there\n"
    "  --metrics FILE      write the run's outcome to FILE (Prometheus text format)\n"
    "  --help              print this help and exit\n"
    "  --version           print the version and exit\n";

CommandLineOutcome UsageError() {
    fputs(kUsage, stdout);
    return CommandLineOutcome::kUsageError;
}

/* Copies one argument into its login record field, refusing what does not fit. */
bool CopyArgument(char *field, size_t field_size, const char *name, const char *argument) {
    size_t length = strlen(argument);
    if (length >= field_size) {
        fprintf(stderr, "gwcheck: %s must be at most %zu characters\n", name, field_size - 1);
        return false;
    }
    memcpy(field, argument, length + 1);
    return true;
}

/*
 * Overwrites an argument in the process's own argument vector, so that
 * /proc/PID/cmdline and ps show empty text in its place from now on.
 */
void WipeArgument(char *argument) {
    explicit_bzero(argument, strlen(argument));
}

/* The field of RunOptions an option fills, or null for an unknown option. */
const char **OptionField(RunOptions *options, const char *option) {
    if (strcmp(option, "--credentials") == 0) {
        return &options->credentials_path;
    }
    if (strcmp(option, "--metrics") == 0) {
        return &options->metrics_path;
    }
    return nullptr;
}

}  // namespace

bool ValidPortText(const char *text) {
    if (text[0] == '\0' || strspn(text, "0123456789") != strlen(text)) {
        return false;
    }
    unsigned long value = 0;
    for (const char *digit = text; *digit != '\0'; ++digit) {
        value = value * 10 + static_cast<unsigned long>(*digit - '0');
        if (value > 65535) {
            return false;
        }
    }
    return value >= 1;
}

const char *PortProblem(const char *text) {
    static char problem[96];
    snprintf(problem, sizeof problem, "port \"%.16s\" is not a number from 1 to 65535", text);
    return problem;
}

CommandLineOutcome ReadCommandLine(int argc, char **argv, RunOptions *options,
                                   LoginRecord *record) {
    memset(options, 0, sizeof *options);
    memset(record, 0, sizeof *record);

    int next = 1;
    bool options_given = false;
    while (next < argc && strncmp(argv[next], "--", 2) == 0) {
        const char *option = argv[next++];
        options_given = true;
        if (strcmp(option, "--") == 0) {
            break;
        }
        if (strcmp(option, "--help") == 0) {
            fputs(kHelp, stdout);
            return CommandLineOutcome::kDone;
        }
        if (strcmp(option, "--version") == 0) {
            printf("gwcheck %s\n", GWCHECK_VERSION);
            return CommandLineOutcome::kDone;
        }
        const char **field = OptionField(options, option);
        if (field == nullptr) {
            fprintf(stderr, "gwcheck: unknown option %s\n", option);
            return UsageError();
        }
        if (*field != nullptr) {
            fprintf(stderr, "gwcheck: %s given twice\n", option);
            return UsageError();
        }
        if (next == argc || argv[next][0] == '\0') {
            fprintf(stderr, "gwcheck: %s needs a file name\n", option);
            return UsageError();
        }
        *field = argv[next++];
    }

    char **positional = argv + next;
    int count = argc - next;
    if (options->credentials_path != nullptr) {
        /* The login record comes from the file; only P may follow. */
        if (count > 1) {
            return UsageError();
        }
        options->poll = (count == 1) ? 1 : 0;
        return CommandLineOutcome::kRun;
    }
    if (count < 4 || (options_given && count > 5)) {
        return UsageError();
    }
    /* The port is checked first, so its message names it whatever its length. */
    bool port_valid = ValidPortText(positional[3]);
    if (!port_valid) {
        fprintf(stderr, "gwcheck: %s\n", PortProblem(positional[3]));
    }
    bool copied =
        port_valid &&
        CopyArgument(record->user_name, sizeof record->user_name, "username", positional[0]) &&
        CopyArgument(record->password, sizeof record->password, "pwd", positional[1]) &&
        CopyArgument(record->host, sizeof record->host, "host", positional[2]) &&
        CopyArgument(record->port, sizeof record->port, "port", positional[3]);
    WipeArgument(positional[1]);
    if (!copied) {
        return CommandLineOutcome::kUsageError;
    }

    options->poll = (count == 5) ? 1 : 0;
    return CommandLineOutcome::kRun;
}
