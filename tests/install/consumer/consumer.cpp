/*
 * consumer.cpp - a program of someone else's built against the installed
 * <exc/exc.h> and <gwapi/gwapi.h>: it defines an exception type of its own,
 * throws it in a try block, catches it through its supertype, runs the
 * finally clause, and opens and closes a client library session (offline).
 * Prints one line and exits 0 when everything went as documented.
 */
#include <exc/exc.h>
#include <gwapi/gwapi.h>

#include <cstdio>
#include <cstring>

EXC_DECLARE_EXCEPTION(ConsumerException);
EXC_DEFINE_EXCEPTION(ConsumerException, "the consumer's own failure", RuntimeException);

namespace {

char caught[300];
volatile int finally_runs = 0;

void ThrowAndCatch() {
    EXC_TRY {
        EXC_THROW(ConsumerException, nullptr);
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        std::snprintf(caught, sizeof caught, "%s: %s (instance of RuntimeException: %d)", e->type_name,
                      e->message, exc_is_instance_of(e, &RuntimeException));
    } EXC_FINALLY {
        ++finally_runs;
    }
}

}  // namespace

int main() {
    exc_context_begin(0, exc_print_exception);
    while (exc_context_is_ready()) {
        ThrowAndCatch();
        exc_context_end();
    }
    const char expected[] = "ConsumerException: the consumer's own failure (instance of RuntimeException: 1)";
    if (std::strcmp(caught, expected) != 0 || finally_runs != 1) {
        std::fprintf(stderr, "consumer: caught \"%s\", finally ran %d times\n", caught, finally_runs);
        return 1;
    }

    gwapi_session_t session = gwapi_create_session();
    if (session == nullptr || gwapi_close_session(session) != 0 || swapint16(0x0102) != 0x0201) {
        std::fprintf(stderr, "consumer: the client library misbehaved\n");
        return 1;
    }
    std::printf("consumer: caught %s; finally ran; gwapi session opened and closed\n", caught);
    return 0;
}
