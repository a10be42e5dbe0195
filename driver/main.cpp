/*
 * main.cpp - gwcheck's entry point: reads the command line (and, with
 * --credentials, the credentials file) into the login record, begins the
 * exception context and runs the check inside one try block, printing an
 * account of the run on standard output and, with --metrics, leaving the
 * run's outcome in a metrics file.
 *
 * Signals are held back from the first line until the top of the try block,
 * so one that comes early is taken there like any other; a stop request that
 * an operation swallowed is raised again after that step; once the metrics
 * are written, every signal is blocked until the exit.
 *
 * Exit status: 0 the check succeeded; 1 usage error, unusable credentials
 * file, a write error on standard output (or an exception no block caught,
 * or a framework error, both ended by the framework); 2 the check ran and
 * found a failure, or was stopped.
 */
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "broadcast/broadcast.h"
#include "credentials/credentials.h"
#include "driver/command_line.h"
#include "driver/plugin_mode.h"
#include "driver/process_guards.h"
#include "driver/run_metrics.h"
#include "exc/exc.h"
#include "gateway/gateway.h"
#include "gateway/guarded_io.h"

namespace {

enum ExitStatus { kExitSuccess = 0, kExitUsage = 1, kExitCheckFailed = 2 };

/*
 * Fills the login record from the credentials file: false after
 * ReadIniFile's failure line and the reason on standard error, or when the
 * file lacks one of the four texts or holds no valid port (the run needs
 * them all). The record takes the texts only from a file read whole and
 * valid, so the metrics never carry a stray line as a label. A file that
 * others may read is run with, after a warning: it holds the password.
 */
bool ReadCredentials(LoginRecord *record, const char *path) {
    /* Filled in the try body and read after it: static, so a jump keeps it. */
    static LoginRecord read_record;
    memset(&read_record, 0, sizeof read_record);
    volatile bool read = false;
    EXC_TRY {
        ReadIniFile(&read_record, path);
        read = true;
    } EXC_CATCH(ReadIniFileException) {
        /* ReadIniFile printed its line; the reason goes beside it. */
        PrintError("gwcheck: cannot use the credentials file %s: %s\n", path, IniFileProblem());
        NoteUnknownReason("cannot use the credentials file %s: %s", path, IniFileProblem());
    }
    bool usable = read;
    if (usable && (read_record.user_name[0] == '\0' || read_record.password[0] == '\0' ||
                   read_record.host[0] == '\0' || read_record.port[0] == '\0')) {
        PrintError("gwcheck: %s must hold four lines: user name, password, host, port\n", path);
        NoteUnknownReason("cannot use the credentials file %s: it must hold four lines", path);
        usable = false;
    }
    if (usable && !ValidPortText(read_record.port)) {
        PrintError("gwcheck: %s: line 4: %s\n", path, PortProblem(read_record.port));
        NoteUnknownReason("cannot use the credentials file %s: line 4: %s", path,
                          PortProblem(read_record.port));
        usable = false;
    }
    if (usable) {
        memcpy(record, &read_record, sizeof *record);
        struct stat file_status;
        if (stat(path, &file_status) == 0 && (file_status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
            PrintError("gwcheck: warning: %s can be read by group or others; chmod 600 it\n", path);
        }
    }
    explicit_bzero(&read_record, sizeof read_record);
    return usable;
}

/*
 * Says what became of a renewed password, or of one an earlier run left
 * pending. False when the new password is not yet the stored one.
 */
bool ReportRenewal(const char *credentials_path) {
    if (credentials_path == nullptr) {
        return true;
    }
    switch (glPasswordRenewal.outcome) {
    case kRenewalSaved:
        Print("New password saved in %s.\n", credentials_path);
        return true;
    case kRenewalRecovered:
        Print("New password of an earlier run taken by the gateway and saved in %s.\n",
              credentials_path);
        return true;
    case kRenewalPending:
        Print("New password kept in %s until the next run.\n", PendingPasswordPath());
        return false;
    case kRenewalDropped:
        Print("New password of an earlier run refused by the gateway; dropped.\n");
        return true;
    default:
        return true;
    }
}

/* Polling failed when a read failed; "no broadcasts" only means waiting on. */
bool PollSucceeded(int32_t polled) { return polled >= 0 || polled == GWAPI_NO_BROADCASTS; }

/* After a stop request the logout waits at most this long for its answer. */
const char kStopLogoutTimeoutMs[] = "1000";

/* Logs out and closes the session; the logout counts as the run's last step. */
void LogOutAndClose() {
    if (StopRequested()) {
        /* setenv takes heap memory: signals wait. */
        exc_defer_signals_begin();
        setenv("GWAPI_ANSWER_TIMEOUT_MS", kStopLogoutTimeoutMs, 1);
        exc_defer_signals_end();
    }
    StepBegins(kStepLogout);
    StepEnds(kStepLogout, Logout() >= 0);
    ClearSessionHandler();
}

/* ctime may load the time zone from the heap: a signal waits until it is done. */
void PrintDateOfRun() {
    exc_defer_signals_begin();
    time_t now = time(nullptr);
    Print("Date of run: %s\n", ctime(&now));
    exc_defer_signals_end();
}

/*
 * The run body: everything happens inside this one try block. Each step is
 * marked as it begins and ends, for the metrics file; one that throws stays
 * failed. A step that swallows a stop request is followed by raising it, so
 * no later step runs.
 */
int RunCheck(const RunOptions &options, LoginRecord *record) {
    if (options.credentials_path != nullptr) {
        glPasswordStore = OpenPasswordStore(options.credentials_path);
        if (!ReadCredentials(record, options.credentials_path)) {
            ClosePasswordStore();
            return kExitUsage;
        }
    }

    /* Written inside the block and read after a jump back into it. */
    volatile int status = kExitSuccess;

    ++depth;
    EXC_TRY {
        /* What came while signals were held (or a parent blocked) is taken here. */
        ReleaseSignals();
        PrintDateOfRun();

        StepBegins(kStepSession);
        CreateSession();
        StepEnds(kStepSession, hSession != nullptr);

        StepBegins(kStepLogin);
        GatewayLogin(record);
        StepEnds(kStepLogin, record->logged_in == 1);
        ClosePasswordStore();
        if (!ReportRenewal(options.credentials_path)) {
            status = kExitCheckFailed;
        }
        if (StopRequested()) {
            RaiseStopRequest();
        }
        if (record->logged_in == 1) {
            Print("Login status: successful\n");
        } else {
            /* A rejected login or a renewed password proves no usable login. */
            status = kExitCheckFailed;
        }

        StepBegins(kStepFacilityType);
        GetFacilityType();
        StepEnds(kStepFacilityType, true);

        StepBegins(kStepUserInfo);
        char user_info[12] = {};
        GetUserInfo(user_info, sizeof user_info);
        StepEnds(kStepUserInfo, true);
        char exchange[3];
        strzcpy(exchange, sizeof exchange, user_info, 2);
        char customer[6];
        strzcpy(customer, sizeof customer, user_info + 2, 5);
        Print("Exchange %s\nCustomer %s\n", exchange, customer);

        /* Subscribe to everything, optionally wait for BN1, unsubscribe. */
        StepBegins(kStepSubscribe);
        int32_t subscription = SubscrAllBroadcasts();
        StepEnds(kStepSubscribe, subscription == 0);
        if (subscription == 0) {
            if (options.poll) {
                StepBegins(kStepPoll);
                bool polled = PollSucceeded(PollBroadcasts());
                StepEnds(kStepPoll, polled);
                if (!polled) {
                    status = kExitCheckFailed;
                }
            }
            StepBegins(kStepUnsubscribe);
            UnsubscrAllBroadcasts();
            StepEnds(kStepUnsubscribe, glUnsubscribeStatus == 0);
        } else {
            status = kExitCheckFailed;
        }

        LogOutAndClose();
        /* The run is over: a signal from now on waits for good. (A jump back
         * into this block restores the mask it was entered with: held.) */
        HoldSignals();
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        Print("%d. main: (%s)%s\n", depth, e->type_name, e->message);
        NoteStopRequest(e);
        EndRunningStep();
        bool deadline_passed = options.deadline_seconds != 0 &&
                               StopRequestType() == &SignalAlarmException;
        if (deadline_passed) {
            NoteDeadlinePassed();
        } else if (StopRequested()) {
            NoteUnknownReason("stopped by a signal (%s)", StopRequestType()->type_name);
        }
        status = kExitCheckFailed;
        if (record->logged_in == 1) {
            LogOutAndClose();
        } else {
            Print("Login status: failed\n");
        }
        if (deadline_passed) {
            Print("The run's deadline of %u s passed.\n", options.deadline_seconds);
        }
    }
    ClosePasswordStore();
    return status;
}

/*
 * Everything printed must have reached standard output: a write error (a
 * full disk, a closed pipe) turns the run's status into 1, said on standard
 * error.
 */
int CheckOutputWritten(int status) {
    FlushOutput();
    if (OutputError() == 0) {
        return status;
    }
    PrintError("gwcheck: cannot write the account to standard output: %s\n",
               strerror(OutputError()));
    return kExitUsage;
}

/* Set once the command line asked for the plugin mode. */
bool plugin_mode;

/* An exception that no block caught ends the process with exit status 1
 * (3 in plugin mode): the framework's report, then the metrics file says so
 * too. */
void ReportUncaughtException(const Exception *exception) {
    exc_print_exception(exception);
    WriteRunMetrics(plugin_mode ? int{kPluginUnknown} : int{kExitUsage});
}

/* A usage error's exit status, said in plugin mode by a status line. */
int UsageErrorStatus(const char *problem) {
    if (!plugin_mode) {
        return kExitUsage;
    }
    ReportPluginUsageError(problem);
    return kPluginUnknown;
}

}  // namespace

int main(int argc, char **argv) {
    HoldSignals();
    /* The record holds the password from the command line on. */
    static LoginRecord record;
    GuardSecrets(&record);
    /* Each line reaches a log or a pipe when it is printed. */
    setvbuf(stdout, nullptr, _IOLBF, 0);
    RunOptions options;
    CommandLineOutcome outcome = ReadCommandLine(argc, argv, &options, &record);
    plugin_mode = options.plugin_mode;
    switch (outcome) {
    case CommandLineOutcome::kUsageError:
        return UsageErrorStatus(CommandLineProblem());
    case CommandLineOutcome::kDone:
        return kExitSuccess;
    case CommandLineOutcome::kRun:
        break;
    }
    if (const char *problem = MetricsPathProblem(options.metrics_path, options.credentials_path)) {
        fprintf(stderr, "gwcheck: %s\n", problem);
        return UsageErrorStatus(problem);
    }
    glPollPauseSeconds = options.poll_interval_seconds;
    if (plugin_mode) {
        /* An uncaught exception or a framework error is UNKNOWN to a scheduler. */
        exc_set_exit_status(kPluginUnknown);
        if (!HoldAccount()) {
            return kPluginUnknown;
        }
    }
    StartRunMetrics(options.metrics_path, &record);
    if (options.credentials_path != nullptr) {
        SetCredentialsLabel(options.credentials_path);
    }
    if (options.deadline_seconds != 0) {
        /* SIGALRM waits with the others until the run's try block takes it. */
        SetRunDeadline(options.deadline_seconds);
        alarm(options.deadline_seconds);
    }

    int status = kExitSuccess;
    exc_context_begin(1, ReportUncaughtException);
    while (exc_context_is_ready()) {
        int run_status = RunCheck(options, &record);
        status = plugin_mode ? FinishPluginRun(run_status, options) : CheckOutputWritten(run_status);
        WriteRunMetrics(status);
        BlockEverySignal();
        exc_context_end();
    }
    return status;
}
