/*
 * consumer.c - a program of someone else's built against the installed
 * <exc/exc.h> and <gwapi/gwapi.h>, as C (consumer_c) and, through
 * consumer.cpp, as C++ (consumer). It defines an exception type of its own
 * and uses a try block (catching through a supertype, with a finally
 * clause), a with-block, a retry and a signal, then opens and closes a
 * client library session (offline). Prints one line and exits 0 when
 * everything went as documented.
 */
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <exc/exc.h>
#include <gwapi/gwapi.h>

EXC_DECLARE_EXCEPTION(ConsumerException);
EXC_DEFINE_EXCEPTION(ConsumerException, "the consumer's own failure", RuntimeException);

static char caught[300];
static volatile int finally_runs;
static volatile int tries;
static volatile int resources_held;
static volatile int resources_disposed;

static void ThrowAndCatch(void) {
    EXC_TRY {
        EXC_THROW(ConsumerException, NULL);
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        snprintf(caught, sizeof caught, "%s: %s (instance of RuntimeException: %d)",
                 e->type_name, e->message, exc_is_instance_of(e, &RuntimeException));
    } EXC_FINALLY {
        finally_runs = finally_runs + 1;
    }
}

static int Acquire(void) {
    resources_held = resources_held + 1;
    return resources_held;
}

static int Dispose(void) {
    resources_disposed = resources_disposed + 1;
    return 0;
}

/* A with-block whose use fails twice and is retried: three uses, each with
 * a resource acquired for it and disposed of after it. */
static void RetryWithAResource(void) {
    EXC_WITH(Acquire(), Dispose()) {
        tries = tries + 1;
        if (tries < 3) EXC_THROW(ConsumerException, "not yet");
    } EXC_CATCH(ConsumerException) {
        EXC_RETRY(2);
    }
}

/* SIGUSR1 raised in a block becomes ProgramSignal1Exception. */
static int SignalBecomesAnException(void) {
    volatile int line = 0;
    EXC_TRY {
        raise(SIGUSR1);
    } EXC_CATCH(SignalException) {
        line = exc_get_exception()->source_line;
    }
    return line == SIGUSR1;
}

int main(void) {
    volatile int signal_caught = 0;
    exc_context_begin(1, exc_print_exception);
    while (exc_context_is_ready()) {
        ThrowAndCatch();
        RetryWithAResource();
        signal_caught = SignalBecomesAnException();
        exc_context_end();
    }
    const char *expected =
        "ConsumerException: the consumer's own failure (instance of RuntimeException: 1)";
    if (strcmp(caught, expected) != 0 || finally_runs != 1 || tries != 3 ||
        resources_held != 3 || resources_disposed != 3 || !signal_caught) {
        fprintf(stderr,
                "consumer: caught \"%s\", finally ran %d times, %d tries, %d resources held "
                "and %d disposed of, signal caught: %d\n",
                caught, finally_runs, tries, resources_held, resources_disposed, signal_caught);
        return 1;
    }

    gwapi_session_t session = gwapi_create_session();
    if (session == NULL || gwapi_close_session(session) != 0 || swapint16(0x0102) != 0x0201) {
        fprintf(stderr, "consumer: the client library misbehaved\n");
        return 1;
    }
    printf("consumer: caught %s; finally ran; with-block retried; signal caught; "
           "gwapi session opened and closed\n",
           caught);
    return 0;
}
