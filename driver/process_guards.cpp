/* process_guards.cpp - signal holding, no core dumps, secrets wiped at exit. */
#include "driver/process_guards.h"

#include <sys/prctl.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

LoginRecord *guarded_record;

/* The mapped signals that come from outside the process. */
sigset_t HeldSignals() {
    sigset_t held;
    sigemptyset(&held);
    for (const SignalMapping *m = exc_default_signal_mappings; m->signal_number != -1; ++m) {
        switch (m->signal_number) {
        case SIGSEGV:
        case SIGFPE:
        case SIGILL:
        case SIGTRAP:
            /* A fault the program raises itself cannot wait: blocked, it kills. */
            break;
        default:
            sigaddset(&held, m->signal_number);
        }
    }
    return held;
}

void WipeSecrets() {
    if (guarded_record != nullptr) {
        explicit_bzero(guarded_record, sizeof *guarded_record);
    }
    explicit_bzero(&glPasswordRenewal, sizeof glPasswordRenewal);
}

}  // namespace

void HoldSignals() {
    sigset_t held = HeldSignals();
    sigprocmask(SIG_BLOCK, &held, nullptr);
}

void ReleaseSignals() {
    sigset_t held = HeldSignals();
    sigprocmask(SIG_UNBLOCK, &held, nullptr);
}

void BlockEverySignal() {
    sigset_t every;
    sigfillset(&every);
    sigprocmask(SIG_BLOCK, &every, nullptr);
}

void GuardSecrets(LoginRecord *record) {
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    guarded_record = record;
    atexit(WipeSecrets);
}
