/*
 * main.cpp - gwcheck's entry point: reads the command line into the login
 * record, begins the exception context and runs the check inside one try
 * block, printing an account of the run on standard output.
 *
 * Exit status: 0 every step succeeded; 1 usage error (or an exception no
 * block caught, or a framework error, both ended by the framework); 2 the
 * check ran and found a failure.
 */
#include <cstdio>
#include <cstring>
#include <ctime>

#include "broadcast/broadcast.h"
#include "exc/exc.h"
#include "gateway/gateway.h"
#include "gateway/guarded_io.h"

namespace {

const char kUsage[] = "Usage: gwcheck username pwd host port [P]";

enum ExitStatus { kExitSuccess = 0, kExitUsage = 1, kExitCheckFailed = 2 };

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

/* Fills the login record from the command line; false after a usage error. */
bool ReadCommandLine(int argc, char **argv, LoginRecord *record, int *poll) {
    if (argc < 5) {
        printf("%s\n", kUsage);
        return false;
    }
    memset(record, 0, sizeof *record);
    if (!CopyArgument(record->user_name, sizeof record->user_name, "username", argv[1]) ||
        !CopyArgument(record->password, sizeof record->password, "pwd", argv[2]) ||
        !CopyArgument(record->host, sizeof record->host, "host", argv[3]) ||
        !CopyArgument(record->port, sizeof record->port, "port", argv[4])) {
        return false;
    }
    *poll = (argc == 6) ? 1 : 0;
    record->logged_in = 0;
    return true;
}

/* ctime may load the time zone from the heap: a signal waits until it is done. */
void PrintDateOfRun() {
    exc_defer_signals_begin();
    time_t now = time(nullptr);
    Print("Date of run: %s\n", ctime(&now));
    exc_defer_signals_end();
}

/* The run body: everything happens inside this one try block. */
int RunCheck(LoginRecord *record, int poll) {
    /* Written inside the block and read after a jump back into it. */
    volatile int status = kExitSuccess;

    ++depth;
    EXC_TRY {
        PrintDateOfRun();

        CreateSession();
        GatewayLogin(record);
        if (record->logged_in == 1) {
            Print("Login status: successful\n");
        } else {
            /* A rejected login or a renewed password proves no usable login. */
            status = kExitCheckFailed;
        }

        GetFacilityType();
        char user_info[12] = {};
        GetUserInfo(user_info, sizeof user_info);
        char exchange[3];
        strzcpy(exchange, sizeof exchange, user_info, 2);
        Print("Exchange %s\n", exchange);
        char customer[6];
        strzcpy(customer, sizeof customer, user_info + 2, 5);
        Print("Customer %s\n", customer);

        /* Subscribe to everything, optionally wait for BN1, unsubscribe. */
        int32_t subscription = SubscrAllBroadcasts();
        if (subscription == 0) {
            if (poll) {
                int32_t polled = PollBroadcasts();
                if (polled < 0 && polled != GWAPI_NO_BROADCASTS) {
                    status = kExitCheckFailed;
                }
            }
            UnsubscrAllBroadcasts();
        } else {
            status = kExitCheckFailed;
        }

        Logout();
        ClearSessionHandler();
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        Print("%d. main: (%s)%s\n", depth, e->type_name, e->message);
        status = kExitCheckFailed;
        if (record->logged_in == 1) {
            Logout();
            ClearSessionHandler();
        } else {
            Print("Login status: failed\n");
        }
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    LoginRecord record;
    int poll = 0;
    if (!ReadCommandLine(argc, argv, &record, &poll)) {
        return kExitUsage;
    }

    int status = kExitSuccess;
    exc_context_begin(1, exc_print_exception);
    while (exc_context_is_ready()) {
        status = RunCheck(&record, poll);
        /* Nothing printed may be lost to a signal once the handlers are gone. */
        FlushOutput();
        exc_context_end();
    }
    return status;
}
