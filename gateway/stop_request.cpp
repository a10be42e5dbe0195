/*
 * stop_request.cpp - the process-wide stop request. A stop signal or the
 * run's deadline arrives as an exception in whichever block is innermost;
 * where that block ends the failure itself (GatewayLogin), the request is
 * noted here so that the driver can stop the run after the step instead of
 * going on with the next one.
 */
#include <cstring>

#include "gateway/gateway.h"

namespace {

/* The exception types that ask the run to stop. */
const ExceptionType *const kStopTypes[] = {
    &TerminationException,      /* SIGTERM */
    &UserInterruptionException, /* SIGINT */
    &HangUpException,           /* SIGHUP */
    &SignalAlarmException,      /* SIGALRM: the run's deadline */
};

/* The first stop request noted, copied: the exception itself is released
 * when the block that caught it ends. */
struct StopRequest {
    const ExceptionType *type;
    char message[sizeof(Exception::message)];
};
StopRequest stop_request;

/* The stop request that the exception is or carries as a cause, or null. */
const Exception *FindStopRequest(const Exception *exception) {
    /* Causes form a chain; the guard bounds a damaged one. */
    for (int guard = 0; exception != nullptr && guard < 64; ++guard) {
        for (const ExceptionType *type : kStopTypes) {
            if (exc_is_instance_of(exception, type)) {
                return exception;
            }
        }
        exception = exception->caused_by;
    }
    return nullptr;
}

}  // namespace

void NoteStopRequest(const Exception *exception) {
    const Exception *request = FindStopRequest(exception);
    if (request == nullptr || stop_request.type != nullptr) {
        return;
    }
    memcpy(stop_request.message, request->message, sizeof stop_request.message);
    stop_request.message[sizeof stop_request.message - 1] = '\0';
    stop_request.type = request->type;
}

bool StopRequested() { return stop_request.type != nullptr; }

const ExceptionType *StopRequestType() { return stop_request.type; }

void RaiseStopRequest() {
    const ExceptionType *type = stop_request.type ? stop_request.type : &TerminationException;
    exc_exception_throw_verbatim_(type, __FILE__, __LINE__, __func__, stop_request.message);
}
