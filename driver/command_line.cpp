/*
 * command_line.cpp - reads gwcheck's options and operands.
 *
 * Options come first (POSIX order, getopt_long with a leading '+'): the
 * first argument that is not an option, or "--", ends them, so a password
 * or a port may begin with a dash; a user name that does need "--". Without
 * options the operands are read by the old rules, byte for byte: fewer than
 * four get the usage line, five mean polling, any other count beyond four
 * means none. Once an option is given, only the two documented forms are
 * accepted.
 */
#include "driver/command_line.h"

#include <getopt.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
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
    "network-status broadcast.\n"
    "\n"
    "Options (before the operands; -- ends them, and a user name beginning with a\n"
    "dash needs it):\n"
    "  -f, --credentials=FILE    log in with FILE's four lines: user name, password,\n"
    "                            host, port; a renewed password is saved there\n"
    "  -m, --metrics=FILE        write the run's outcome to FILE (Prometheus text\n"
    "                            format, for a node exporter's textfile collector)\n"
    "  -t, --timeout=SECONDS     deadline for the whole run (whole seconds, at least 1)\n"
    "      --connect-timeout=MS  connect timeout of each request (1 to 86400000;\n"
    "                            default GWAPI_CONNECT_TIMEOUT_MS, else 5000)\n"
    "      --answer-timeout=MS   answer timeout of each request (1 to 86400000;\n"
    "                            default GWAPI_ANSWER_TIMEOUT_MS, else 10000)\n"
    "      --poll-interval=SECONDS  pause between two broadcast reads with P\n"
    "                            (at least 1; default 1000)\n"
    "      --nagios              monitoring-plugin mode: one status line with\n"
    "                            performance data first, exit 0 OK, 1 WARNING,\n"
    "                            2 CRITICAL, 3 UNKNOWN\n"
    "  -w, --warning=SECONDS     with --nagios: WARNING when the run takes longer\n"
    "  -c, --critical=SECONDS    with --nagios: CRITICAL when the run takes longer\n"
    "  -h, --help                print this help and exit\n"
    "  -V, --version             print the version and exit\n"
    "\n"
    "Exit status: 0 the check succeeded; 1 usage error, unusable credentials file,\n"
    "write error or internal error; 2 the check found a failure, its deadline\n"
    "passed or a signal stopped it. With --nagios: 0 OK, 1 WARNING, 2 CRITICAL,\n"
    "3 UNKNOWN. See gwcheck(1).\n";

constexpr unsigned kLongestDeadlineSeconds = 7 * 24 * 3600;
constexpr unsigned kLongestPollIntervalSeconds = 24 * 3600;
constexpr unsigned kDefaultPollIntervalSeconds = 1000;
constexpr unsigned long kLongestTimeoutMs = 86400000;

const char kConnectTimeoutVariable[] = "GWAPI_CONNECT_TIMEOUT_MS";
const char kAnswerTimeoutVariable[] = "GWAPI_ANSWER_TIMEOUT_MS";

/* Options without a letter of their own. */
enum LongOnly { kConnectTimeout = 256, kAnswerTimeout, kPollInterval, kNagios };

const struct option kOptions[] = {
    {"credentials", required_argument, nullptr, 'f'},
    {"metrics", required_argument, nullptr, 'm'},
    {"timeout", required_argument, nullptr, 't'},
    {"connect-timeout", required_argument, nullptr, kConnectTimeout},
    {"answer-timeout", required_argument, nullptr, kAnswerTimeout},
    {"poll-interval", required_argument, nullptr, kPollInterval},
    {"nagios", no_argument, nullptr, kNagios},
    {"warning", required_argument, nullptr, 'w'},
    {"critical", required_argument, nullptr, 'c'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};
const char kShortOptions[] = "+:f:m:t:w:c:hV";

char problem[256];

__attribute__((format(printf, 1, 2))) CommandLineOutcome UsageError(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(problem, sizeof problem, format, arguments);
    va_end(arguments);
    fprintf(stderr, "gwcheck: %s\nTry 'gwcheck --help' for more information.\n", problem);
    return CommandLineOutcome::kUsageError;
}

/* The plain form's answer to too few operands: the usage line, as always. */
CommandLineOutcome UsageLine() {
    snprintf(problem, sizeof problem, "%s", "too few operands");
    fputs(kUsage, stdout);
    return CommandLineOutcome::kUsageError;
}

/* A whole number of digits only, from low to high, into *value. */
bool ReadWholeNumber(const char *text, unsigned long low, unsigned long high,
                     unsigned long *value) {
    if (text[0] == '\0' || strspn(text, "0123456789") != strlen(text)) {
        return false;
    }
    unsigned long number = 0;
    for (const char *digit = text; *digit != '\0'; ++digit) {
        number = number * 10 + static_cast<unsigned long>(*digit - '0');
        if (number > high) {
            return false;
        }
    }
    *value = number;
    return number >= low;
}

/* Seconds, whole or decimal ("5", "0.5", "2.25"), above 0. */
bool ReadSeconds(const char *text, double *value) {
    size_t whole = strspn(text, "0123456789");
    size_t fraction = 0;
    if (text[whole] == '.') {
        fraction = strspn(text + whole + 1, "0123456789");
        if (text[whole + 1 + fraction] != '\0' || (whole == 0 && fraction == 0)) {
            return false;
        }
    } else if (text[whole] != '\0' || whole == 0) {
        return false;
    }
    if (whole > 9) {
        return false;
    }
    *value = strtod(text, nullptr);
    return *value > 0;
}

/* Copies one operand into its login record field, refusing what does not fit. */
bool CopyOperand(char *field, size_t field_size, const char *name, const char *operand) {
    size_t length = strlen(operand);
    if (length >= field_size) {
        snprintf(problem, sizeof problem, "%s must be at most %zu characters", name,
                 field_size - 1);
        fprintf(stderr, "gwcheck: %s\n", problem);
        return false;
    }
    memcpy(field, operand, length + 1);
    return true;
}

/*
 * Overwrites an argument in the process's own argument vector, so that
 * /proc/PID/cmdline and ps show empty text in its place from now on.
 */
void WipeArgument(char *argument) {
    explicit_bzero(argument, strlen(argument));
}

/* A library timeout from an option, or else from its variable, checked. */
bool CheckTimeout(const char *option_value, const char *option, const char *variable) {
    unsigned long value;
    if (option_value != nullptr) {
        if (!ReadWholeNumber(option_value, 1, kLongestTimeoutMs, &value)) {
            UsageError("%s must be a whole number of milliseconds from 1 to %lu, not \"%.32s\"",
                       option, kLongestTimeoutMs, option_value);
            return false;
        }
        return setenv(variable, option_value, 1) == 0;
    }
    const char *from_environment = getenv(variable);
    if (from_environment != nullptr &&
        !ReadWholeNumber(from_environment, 1, kLongestTimeoutMs, &value)) {
        UsageError("%s must be a whole number of milliseconds from 1 to %lu, not \"%.32s\"",
                   variable, kLongestTimeoutMs, from_environment);
        return false;
    }
    return true;
}

/* "--name" of the option whose value is val. */
const char *OptionName(int val) {
    static char name[40];
    for (const struct option *o = kOptions; o->name != nullptr; ++o) {
        if (o->val == val) {
            snprintf(name, sizeof name, "--%s", o->name);
            return name;
        }
    }
    snprintf(name, sizeof name, "-%c", val);
    return name;
}

bool PluginModeAsked(int argc, char **argv) {
    /* A first pass that says nothing: usage errors are answered in plugin
     * mode too when --nagios is among the options. */
    opterr = 0;
    optind = 0;
    bool asked = false;
    int option;
    while ((option = getopt_long(argc, argv, kShortOptions, kOptions, nullptr)) != -1) {
        asked = asked || option == kNagios;
    }
    optind = 0;
    return asked;
}

/* True when the argument looks like an option: an operand that may have been meant as one. */
bool LooksLikeOption(const char *argument) { return argument[0] == '-' && argument[1] != '\0'; }

}  // namespace

bool ValidPortText(const char *text) {
    unsigned long value;
    return ReadWholeNumber(text, 1, 65535, &value);
}

const char *PortProblem(const char *text) {
    static char port_problem[96];
    snprintf(port_problem, sizeof port_problem, "port \"%.16s\" is not a number from 1 to 65535",
             text);
    return port_problem;
}

const char *CommandLineProblem() { return problem; }

CommandLineOutcome ReadCommandLine(int argc, char **argv, RunOptions *options,
                                   LoginRecord *record) {
    memset(options, 0, sizeof *options);
    memset(record, 0, sizeof *record);
    options->poll_interval_seconds = kDefaultPollIntervalSeconds;
    options->warning_seconds = -1;
    options->critical_seconds = -1;
    options->plugin_mode = PluginModeAsked(argc, argv);
    problem[0] = '\0';

    const char *connect_timeout = nullptr;
    const char *answer_timeout = nullptr;
    opterr = 0;
    optind = 0;
    int option;
    unsigned long value = 0;
    while ((option = getopt_long(argc, argv, kShortOptions, kOptions, nullptr)) != -1) {
        /* Messages name an option by its long name. */
        char written[64];
        if (option == '?') {
            if (optopt != 0) {
                snprintf(written, sizeof written, "-%c", optopt);
            } else {
                snprintf(written, sizeof written, "%.40s", argv[optind - 1]);
                written[strcspn(written, "=")] = '\0';
            }
        } else {
            snprintf(written, sizeof written, "%s", OptionName(option == ':' ? optopt : option));
        }
        const char **path = nullptr;
        switch (option) {
        case 'h':
            fputs(kHelp, stdout);
            return CommandLineOutcome::kDone;
        case 'V':
            printf("gwcheck %s\n", GWCHECK_VERSION);
            return CommandLineOutcome::kDone;
        case 'f':
            path = &options->credentials_path;
            break;
        case 'm':
            path = &options->metrics_path;
            break;
        case 't':
            if (!ReadWholeNumber(optarg, 1, kLongestDeadlineSeconds, &value)) {
                return UsageError("%s must be a whole number of seconds from 1 to %u, not \"%.32s\"",
                                  written, kLongestDeadlineSeconds, optarg);
            }
            options->deadline_seconds = static_cast<unsigned>(value);
            break;
        case kPollInterval:
            if (!ReadWholeNumber(optarg, 1, kLongestPollIntervalSeconds, &value)) {
                return UsageError("%s must be a whole number of seconds from 1 to %u, not \"%.32s\"",
                                  written, kLongestPollIntervalSeconds, optarg);
            }
            options->poll_interval_seconds = static_cast<unsigned>(value);
            break;
        case kConnectTimeout:
            connect_timeout = optarg;
            break;
        case kAnswerTimeout:
            answer_timeout = optarg;
            break;
        case kNagios:
            break;
        case 'w':
        case 'c': {
            double *threshold = option == 'w' ? &options->warning_seconds : &options->critical_seconds;
            if (!ReadSeconds(optarg, threshold)) {
                return UsageError("%s must be a number of seconds above 0, not \"%.32s\"", written,
                                  optarg);
            }
            break;
        }
        case ':':
            return UsageError("%s needs a value", written);
        default:
            return UsageError("unknown option %s", written);
        }
        if (path != nullptr) {
            if (*path != nullptr) {
                return UsageError("%s given twice", written);
            }
            if (optarg[0] == '\0') {
                return UsageError("%s needs a file name", written);
            }
            *path = optarg;
        }
    }
    bool options_given = optind > 1;
    if ((options->warning_seconds >= 0 || options->critical_seconds >= 0) &&
        !options->plugin_mode) {
        return UsageError("-w and -c need --nagios");
    }
    if (!CheckTimeout(connect_timeout, "--connect-timeout", kConnectTimeoutVariable) ||
        !CheckTimeout(answer_timeout, "--answer-timeout", kAnswerTimeoutVariable)) {
        return CommandLineOutcome::kUsageError;
    }

    char **operands = argv + optind;
    int count = argc - optind;
    if (options->credentials_path != nullptr) {
        /* The login record comes from the file; only P may follow. */
        if (count > 1) {
            return UsageError("with --credentials only P may follow the options");
        }
        options->poll = (count == 1) ? 1 : 0;
        return CommandLineOutcome::kRun;
    }
    if (count < 4) {
        return options_given ? UsageError("username, pwd, host and port are needed")
                             : UsageLine();
    }
    if (options_given && count > 5) {
        return UsageError("at most five operands: username pwd host port [P]");
    }
    /* The port is checked first, so its message names it whatever its length. */
    bool port_valid = ValidPortText(operands[3]);
    if (!port_valid) {
        snprintf(problem, sizeof problem, "%s", PortProblem(operands[3]));
        fprintf(stderr, "gwcheck: %s\n", problem);
    }
    bool copied =
        port_valid &&
        CopyOperand(record->user_name, sizeof record->user_name, "username", operands[0]) &&
        CopyOperand(record->password, sizeof record->password, "pwd", operands[1]) &&
        CopyOperand(record->host, sizeof record->host, "host", operands[2]) &&
        CopyOperand(record->port, sizeof record->port, "port", operands[3]);
    WipeArgument(operands[1]);
    if (!copied) {
        return CommandLineOutcome::kUsageError;
    }
    /* Six or more operands run without polling, as always; an option among
     * them was probably meant as one. */
    for (int i = 4; i < count; ++i) {
        if (LooksLikeOption(operands[i])) {
            fprintf(stderr,
                    "gwcheck: warning: \"%s\" after the fourth operand is taken as an operand, "
                    "not an option; options come first\n",
                    operands[i]);
        }
    }
    options->poll = (count == 5) ? 1 : 0;
    return CommandLineOutcome::kRun;
}
