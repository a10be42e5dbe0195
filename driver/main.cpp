/*
 * main.cpp - gwcheck's entry point: reads the command line (and, with
 * --credentials, the credentials file) into the login record, begins the
 * exception context and runs the check inside one try block, printing an
 * account of the run on standard output and, with --metrics, leaving the
 * run's outcome in a metrics file.
 *
 * Exit status: 0 the check succeeded; 1 usage error or unusable credentials
 * file (or an exception no block caught, or a framework error, both ended by
 * the framework); 2 the check ran and found a failure.
 */
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "broadcast/broadcast.h"
#include "credentials/credentials.h"
#include "driver/command_line.h"
#include "driver/run_metrics.h"
#include "exc/exc.h"
#include "gateway/gateway.h"
#include "gateway/guarded_io.h"

namespace {

enum ExitStatus { kExitSuccess = 0, kExitUsage = 1, kExitCheckFailed = 2 };

/*
 * Fills the login record from the credentials file: false after
 * ReadIniFile's failure line, or when the file lacks one of the four texts
 * (the run needs them all). A file that others may read is run with, after a
 * warning: it holds the password.
 */
bool ReadCredentials(LoginRecord *record, const char *path) {
    volatile bool read = false;
    EXC_TRY {
        ReadIniFile(record, path);
        read = true;
    } EXC_CATCH(ReadIniFileException) {
        /* ReadIniFile printed what went wrong. */
    }
    if (!read) {
        return false;
    }
    if (record->user_name[0] == '\0' || record->password[0] == '\0' || record->host[0] == '\0' ||
        record->port[0] == '\0') {
        PrintError("gwcheck: %s must hold four lines: user name, password, host, port\n", path);
        return false;
    }
    struct stat file_status;
    if (stat(path, &file_status) == 0 && (file_status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        PrintError("gwcheck: warning: %s can be read by group or others; chmod 600 it\n", path);
    }
    return true;
}

/*
 * After a renewal that the gateway took, the new password replaces line 2 of
 * the credentials file, so the next run logs in with it. A failed save is
 * told by UpdateIniFile's own line: the printed password is then the only
 * copy. False when the password was taken but not saved.
 */
bool KeepRenewedPassword(const char *credentials_path) {
    if (glPasswordRenewal.attempted == 0 || glPasswordRenewal.completion_status != 0) {
        return true;
    }
    volatile bool saved = false;
    EXC_TRY {
        UpdateIniFile(credentials_path, 2, glPasswordRenewal.new_password);
        saved = true;
        Print("New password saved in %s.\n", credentials_path);
    } EXC_CATCH(UpdateIniFileException) {
        /* UpdateIniFile printed what went wrong. */
    }
    return saved;
}

/* Polling failed when a read failed; "no broadcasts" only means waiting on. */
bool PollSucceeded(int32_t polled) { return polled >= 0 || polled == GWAPI_NO_BROADCASTS; }

/* Logs out and closes the session; the logout counts as the run's last step. */
void LogOutAndClose() {
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
 * failed.
 */
int RunCheck(const RunOptions &options, LoginRecord *record) {
    if (options.credentials_path != nullptr && !ReadCredentials(record, options.credentials_path)) {
        return kExitUsage;
    }

    /* Written inside the block and read after a jump back into it. */
    volatile int status = kExitSuccess;

    ++depth;
    EXC_TRY {
        PrintDateOfRun();

        StepBegins(kStepSession);
        CreateSession();
        StepEnds(kStepSession, hSession != nullptr);

        StepBegins(kStepLogin);
        GatewayLogin(record);
        StepEnds(kStepLogin, record->logged_in == 1);
        if (options.credentials_path != nullptr && !KeepRenewedPassword(options.credentials_path)) {
            status = kExitCheckFailed;
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
        Print("Exchange %s\n", exchange);
        char customer[6];
        strzcpy(customer, sizeof customer, user_info + 2, 5);
        Print("Customer %s\n", customer);

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
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        Print("%d. main: (%s)%s\n", depth, e->type_name, e->message);
        status = kExitCheckFailed;
        if (record->logged_in == 1) {
            LogOutAndClose();
        } else {
            Print("Login status: failed\n");
        }
    }
    return status;
}

/* An exception that no block caught ends the process with exit status 1:
 * the framework's report, then the metrics file says so too. */
void ReportUncaughtException(const Exception *exception) {
    exc_print_exception(exception);
    WriteRunMetrics(kExitUsage);
}

}  // namespace

int main(int argc, char **argv) {
    RunOptions options;
    LoginRecord record;
    switch (ReadCommandLine(argc, argv, &options, &record)) {
    case CommandLineOutcome::kUsageError:
        return kExitUsage;
    case CommandLineOutcome::kDone:
        return kExitSuccess;
    case CommandLineOutcome::kRun:
        break;
    }
    StartRunMetrics(options.metrics_path, &record);

    int status = kExitSuccess;
    exc_context_begin(1, ReportUncaughtException);
    while (exc_context_is_ready()) {
        status = RunCheck(options, &record);
        /* Nothing printed may be lost to a signal once the handlers are gone. */
        FlushOutput();
        WriteRunMetrics(status);
        exc_context_end();
    }
    return status;
}
