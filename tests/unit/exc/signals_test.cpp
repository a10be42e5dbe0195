/*
 * signals_test.cpp - signals turned into exceptions: the default mapping,
 * delivery into the innermost block (also out of a blocking call), custom
 * lists, dispositions restored, the uncaught exit, and a storm of signals
 * sent from another process at random moments.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "exc/exc.h"
#include "tests/support/child_process.h"

namespace {

/* The disposition currently installed for a signal. */
void (*Disposition(int signal_number))(int) {
    struct sigaction current;
    sigaction(signal_number, nullptr, &current);
    return current.sa_handler;
}

/* The longest wait for something that is bound to happen. */
constexpr auto kGenerousWait = std::chrono::seconds(30);

/* True while the thread is blocked in a sleep, as /proc/self/task/TID/syscall tells. */
bool BlockedInASleep(pid_t thread_id) {
    std::ifstream in("/proc/self/task/" + std::to_string(thread_id) + "/syscall");
    long number = -1;
    if (!(in >> number)) return false;
#ifdef SYS_nanosleep
    if (number == SYS_nanosleep) return true;
#endif
    return number == SYS_clock_nanosleep;
}

/*
 * Sends a signal to the thread that creates it once that thread is blocked
 * in a sleep, from a thread of its own that takes no signal itself; the
 * signal so lands inside the sleep, however long the way to it took.
 * Joined by Finish() or at the end of the scope.
 */
class SignalWhenAsleep {
public:
    explicit SignalWhenAsleep(int signal_number)
        : target_(pthread_self()), target_id_(gettid()),
          thread_([this, signal_number] { Run(signal_number); }) {}
    ~SignalWhenAsleep() { Finish(); }
    /* Waits for the sending thread; true if it sent the signal. */
    bool Finish() {
        if (thread_.joinable()) thread_.join();
        return sent_;
    }

private:
    void Run(int signal_number) {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        const auto give_up = std::chrono::steady_clock::now() + kGenerousWait;
        while (std::chrono::steady_clock::now() < give_up) {
            if (BlockedInASleep(target_id_)) {
                pthread_kill(target_, signal_number);
                sent_ = true;
                return;
            }
            /* Looks again a moment later: paces the look, decides nothing. */
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    const pthread_t target_;
    const pid_t target_id_;
    bool sent_ = false; /* read after the join */
    std::thread thread_;
};

class SignalsTest : public ::testing::Test {
protected:
    void SetUp() override { exc_context_begin(1, nullptr); }
    void TearDown() override { exc_context_end(); }
};

struct Seen {
    std::string type_name;
    std::string message;
    std::string file;
    int line = 0;
    std::string function;
};

/* Raises `signal_number` inside a block and returns what its RuntimeException clause saw. */
Seen DeliverInBlock(int signal_number) {
    Seen seen;
    EXC_TRY {
        kill(getpid(), signal_number);
        seen.type_name = "nothing delivered";
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        seen = {e->type_name, e->message, e->source_file, e->source_line, e->source_function};
    }
    return seen;
}

TEST_F(SignalsTest, MappedSignalsBecomeTheirExceptions) {
    struct Case {
        int signal_number;
        const char *type_name, *message, *file;
    } cases[] = {
        {SIGINT, "UserInterruptionException", "Interrupt signal received.", "SIGINT"},
        {SIGTERM, "TerminationException", "Termination signal received.", "SIGTERM"},
        {SIGUSR1, "ProgramSignal1Exception", "User-defined signal 1 received.", "SIGUSR1"},
        {SIGSEGV, "BadPointerException", "Segmentation violation.", "SIGSEGV"},
        {SIGPIPE, "BrokenPipeException", "Broken pipe.", "SIGPIPE"},
        {SIGHUP, "HangUpException", "Hang up signal received.", "SIGHUP"},
        {SIGINT, "UserInterruptionException", "Interrupt signal received.", "SIGINT"},
    };
    for (const Case &c : cases) {
        Seen seen = DeliverInBlock(c.signal_number);
        EXPECT_EQ(seen.type_name, c.type_name);
        EXPECT_EQ(seen.message, c.message);
        EXPECT_EQ(seen.file, c.file);
        EXPECT_EQ(seen.line, c.signal_number);
        EXPECT_EQ(seen.function, "_exc_library_handle_signal");
    }
    EXPECT_EQ(exc_get_status(), 0);
}

TEST_F(SignalsTest, SignalAbandonsABlockingSleep) {
    volatile int clause_runs = 0;
    {
        SignalWhenAsleep sender(SIGINT);
        EXC_TRY {
            sleep(60);
            ADD_FAILURE() << "the sleep was not abandoned";
        } EXC_CATCH(UserInterruptionException) {
            clause_runs = clause_runs + 1;
        }
        EXPECT_TRUE(sender.Finish());
    }
    EXPECT_EQ(clause_runs, 1);
    /* The signal is unblocked again: a second one is delivered the same way. */
    {
        SignalWhenAsleep sender(SIGINT);
        EXC_TRY {
            sleep(60);
        } EXC_CATCH(UserInterruptionException) {
            clause_runs = clause_runs + 1;
        }
    }
    EXPECT_EQ(clause_runs, 2);
}

TEST_F(SignalsTest, SignalGoesToTheInnermostBlockAndItsFinallyRuns) {
    volatile int inner_finally = 0;
    volatile int outer_catch = 0;
    EXC_TRY {
        EXC_TRY {
            kill(getpid(), SIGTERM);
        } EXC_CATCH(ProgramSignalException) {
            ADD_FAILURE() << "wrong clause";
        } EXC_FINALLY {
            inner_finally = inner_finally + 1;
        }
    } EXC_CATCH(ControlSignalException) {
        outer_catch = outer_catch + 1;
    }
    EXPECT_EQ(inner_finally, 1);
    EXPECT_EQ(outer_catch, 1);
}

TEST_F(SignalsTest, DeferredSignalArrivesAtTheEndOfTheDeferral) {
    volatile int inside_finished = 0;
    volatile int after_end = 0;
    volatile int caught = 0;
    EXC_TRY {
        exc_defer_signals_begin();
        kill(getpid(), SIGUSR2);
        kill(getpid(), SIGINT);
        inside_finished = 1;
        exc_defer_signals_end();
        after_end = 1;
    } EXC_CATCH(SignalException) {
        caught = exc_get_exception()->source_line;
    }
    EXPECT_EQ(inside_finished, 1);
    EXPECT_EQ(after_end, 0);
    /* Both are delivered in signal-number order; the later one displaces the earlier. */
    EXPECT_EQ(caught, SIGUSR2);
    volatile int more = 0;
    EXC_TRY {
    } EXC_CATCH(SignalException) {
        more = 1;
    }
    EXPECT_EQ(more, 0) << "nothing is left pending";
}

TEST_F(SignalsTest, DefaultListIsInForceAfterBeginWithSignals) {
    EXPECT_EQ(exc_context_get_signal_mappings(), exc_default_signal_mappings);
    int count = 0;
    for (const SignalMapping *m = exc_default_signal_mappings; m->signal_number != -1; ++m) {
        EXPECT_NE(m->type, nullptr);
        EXPECT_NE(Disposition(m->signal_number), SIG_DFL) << m->signal_number;
        ++count;
    }
    EXPECT_EQ(count, 15);
}

TEST(SignalMappings, NoListWithoutSignalsAndDefaultsRestoredAtEnd) {
    exc_context_begin(0, nullptr);
    EXPECT_EQ(exc_context_get_signal_mappings(), nullptr);
    exc_context_end();

    exc_context_begin(1, nullptr);
    exc_context_end();
    for (const SignalMapping *m = exc_default_signal_mappings; m->signal_number != -1; ++m) {
        EXPECT_EQ(Disposition(m->signal_number), SIG_DFL) << m->signal_number;
    }
}

TEST(SignalMappings, ReplacingAListRestoresTheOldSignalsAndIgnoresNullTypes) {
    static const SignalMapping first[] = {{SIGUSR1, &ProgramSignal1Exception}, {-1, nullptr}};
    static const SignalMapping second[] = {{SIGUSR2, nullptr}, {SIGINT, &RuntimeException},
                                           {-1, nullptr}};
    exc_context_begin(0, nullptr);
    exc_context_set_signal_mappings(first);
    EXPECT_EQ(exc_context_get_signal_mappings(), first);
    EXPECT_NE(Disposition(SIGUSR1), SIG_DFL);

    exc_context_set_signal_mappings(second);
    EXPECT_EQ(Disposition(SIGUSR1), SIG_DFL);
    EXPECT_EQ(Disposition(SIGUSR2), SIG_IGN);
    volatile int caught = 0;
    EXC_TRY {
        kill(getpid(), SIGUSR2); /* ignored: nothing happens */
        kill(getpid(), SIGINT);
    } EXC_CATCH(RuntimeException) {
        EXPECT_STREQ(exc_get_exception()->type_name, "RuntimeException");
        EXPECT_STREQ(exc_get_exception()->source_file, "SIGINT");
        caught = 1;
    }
    EXPECT_EQ(caught, 1);

    exc_context_set_signal_mappings(nullptr);
    EXPECT_EQ(exc_context_get_signal_mappings(), nullptr);
    EXPECT_EQ(Disposition(SIGUSR2), SIG_DFL);
    EXPECT_EQ(Disposition(SIGINT), SIG_DFL);
    exc_context_end();
}

TEST(SignalUncaught, SignalOutsideEveryBlockReachesTheUncaughtExit) {
    ChildResult r = RunInChild([] {
        exc_context_begin(1, exc_print_exception);
        printf("before the signal\n");
        kill(getpid(), SIGINT);
        printf("not reached\n");
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "before the signal\n");
    EXPECT_EQ(r.err.find("\n\nUncaught UserInterruptionException: Interrupt signal received.\n\n"
                         "    thrown at _exc_library_handle_signal (SIGINT:2)\n\n"),
              0u)
        << r.err;
    EXPECT_EQ(r.err.find("unrecoverable"), std::string::npos);
}

TEST(SignalUncaught, SignalWithoutAMappingIsAFatalError) {
    ChildResult r = RunInChild([] {
        static const SignalMapping only_usr1[] = {{SIGUSR1, &ProgramSignal1Exception},
                                                  {-1, nullptr}};
        exc_context_begin(0, nullptr);
        exc_context_set_signal_mappings(only_usr1);
        /* Point a second signal at the framework's handler behind its back. */
        struct sigaction usr1;
        sigaction(SIGUSR1, nullptr, &usr1);
        sigaction(SIGUSR2, &usr1, nullptr);
        EXC_TRY {
            kill(getpid(), SIGUSR2);
        }
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("Uncaught ExceptionSystemFatalError: There is no exception mapping for "
                         "the received signal.\n\n    thrown at _exc_library_handle_signal (exc:"),
              std::string::npos)
        << r.err;
}

/* ---- the signal mask, the end of the process, held signals ------------- */

}  // namespace

/* Shared with mask_free_blocks_test.cpp. */
bool Blocked(int signal_number) {
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, signal_number) == 1;
}

void SetBlocked(int signal_number, bool blocked) {
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal_number);
    sigprocmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &one, nullptr);
}

/* A mask-free block, from mask_free_blocks_test.cpp. */
void BlockAndThrowFromAMaskFreeBlock(int signal_number);

namespace {

TEST_F(SignalsTest, AResumedBlockGetsBackTheMaskItWasEnteredWith) {
    struct Case {
        const char *name;
        bool usr2_blocked_at_entry;
        void (*end_the_body)();
    } cases[] = {
        {"body unblocks SIGUSR2, a signal ends it", true,
         [] {
             SetBlocked(SIGUSR2, false);
             raise(SIGUSR1);
         }},
        {"body blocks SIGUSR2, a throw ends it", false,
         [] {
             SetBlocked(SIGUSR2, true);
             EXC_THROW(RuntimeException, nullptr);
         }},
    };
    for (const Case &c : cases) {
        SetBlocked(SIGUSR2, c.usr2_blocked_at_entry);
        volatile bool usr2_in_catch = !c.usr2_blocked_at_entry;
        volatile bool usr1_in_catch = true;
        EXC_TRY {
            c.end_the_body();
        } EXC_CATCH(RuntimeException) {
            usr2_in_catch = Blocked(SIGUSR2);
            usr1_in_catch = Blocked(SIGUSR1);
        }
        EXPECT_EQ(usr2_in_catch, c.usr2_blocked_at_entry) << c.name;
        EXPECT_FALSE(usr1_in_catch) << c.name;
        EXPECT_EQ(Blocked(SIGUSR2), c.usr2_blocked_at_entry) << c.name;
        SetBlocked(SIGUSR2, false);
    }
}

TEST_F(SignalsTest, ABlockRestoresItsMaskAfterAMaskFreeBlockInsideIt) {
    EXC_TRY {
        BlockAndThrowFromAMaskFreeBlock(SIGUSR2);
    } EXC_CATCH(IllegalArgumentException) {
    }
    EXPECT_FALSE(Blocked(SIGUSR2));
}

TEST(SignalEnding, ALateSignalNeitherLosesTheAccountNorAddsAReport) {
    struct Case {
        const char *name;
        void (*end)();
        const char *report;
    } cases[] = {
        {"uncaught exception", [] { EXC_THROW(RuntimeException, "escaped"); },
         "Uncaught RuntimeException: escaped"},
        {"fatal error", [] { exc_context_begin(1, exc_print_exception); },
         "Uncaught ContextAlreadyBegun"},
    };
    std::string account;
    for (int i = 0; i < 1000; ++i) account += "line " + std::to_string(i) + " of the account\n";
    for (const Case &c : cases) {
        ChildResult r = RunInChild([&c] {
            exc_context_begin(1, exc_print_exception);
            /* Runs as the process exits, after the framework decided to end it. */
            atexit([] { raise(SIGTERM); });
            for (int i = 0; i < 1000; ++i) printf("line %d of the account\n", i);
            c.end();
        });
        EXPECT_EQ(r.exit_status, 1) << c.name << ", signal " << r.term_signal;
        EXPECT_TRUE(r.out == account)
            << c.name << ": " << r.out.size() << " of " << account.size() << " bytes";
        EXPECT_EQ(r.err.find(std::string("\n\n") + c.report), 0u) << c.name << r.err;
        EXPECT_EQ(r.err.find("Uncaught", 5), std::string::npos) << c.name << r.err;
    }
}

TEST(SignalMappings, AHeldSignalMeetsTheMappingInForceWhenItIsDelivered) {
    /* Still mapped, though to another type: delivered as that type. */
    static const SignalMapping remapped[] = {{SIGUSR1, &HangUpException}, {-1, nullptr}};
    exc_context_begin(1, nullptr);
    volatile int caught_line = 0;
    const ExceptionType *volatile caught_type = nullptr;
    EXC_TRY {
        exc_defer_signals_begin();
        raise(SIGUSR1);
        exc_context_set_signal_mappings(remapped);
        exc_defer_signals_end();
    } EXC_CATCH(RuntimeException) {
        caught_type = exc_get_exception()->type;
        caught_line = exc_get_exception()->source_line;
    }
    EXPECT_EQ(caught_type, &HangUpException);
    EXPECT_EQ(caught_line, SIGUSR1);
    exc_context_end();

    /* Mapping gone: the default action, as for a signal arriving after the change. */
    ChildResult r = RunInChild([] {
        exc_context_begin(1, exc_print_exception);
        EXC_TRY {
            exc_defer_signals_begin();
            raise(SIGUSR1);
            exc_context_set_signal_mappings(nullptr);
            exc_defer_signals_end();
        }
        exc_context_end();
    });
    EXPECT_EQ(r.term_signal, SIGUSR1);
    EXPECT_EQ(r.err, "");
}

/* State shared between the storm's receiver and its sender. */
struct StormBoard {
    volatile int stop;
    volatile long handled[32]; /* per signal number */
    volatile long thrown;
};

/*
 * The receiver loops through nested blocks that throw, catch, rethrow and
 * run finally clauses; every signal must end in its outer clause. It tells
 * the sender through two pipes: a byte on `armed` each time it enters its
 * loop (a signal may come), a byte on `handled` each time it took one.
 */
[[noreturn]] void StormReceiver(StormBoard *board, int armed, int handled) {
    exc_context_begin(1, exc_print_exception);
    static volatile long iteration;
    EXC_TRY {
        (void)!write(armed, "a", 1);
        while (!board->stop) {
            iteration = iteration + 1;
            EXC_TRY {
                EXC_TRY {
                    if (iteration % 3 == 0) EXC_THROW(IllegalArgumentException, "three");
                } EXC_CATCH(IllegalArgumentException) {
                    if (iteration % 2 == 0) EXC_THROW(InputOutputException, nullptr);
                } EXC_FINALLY {
                    board->thrown = board->thrown + 0;
                }
            } EXC_CATCH(InputOutputException) {
                board->thrown = board->thrown + 1;
            }
        }
    } EXC_CATCH(SignalException) {
        const Exception *e = exc_get_exception();
        board->handled[e->source_line] = board->handled[e->source_line] + 1;
        (void)!write(handled, "h", 1);
        EXC_RETRY(1 << 30);
    }
    exc_context_end();
    _exit(exc_context_is_ready() == 0 ? 0 : 3);
}

/* Waits for one byte from the pipe: 1 when it came, 0 at the pipe's end, -1 when none came in time. */
int ReadByte(int fd) {
    pollfd entry{fd, POLLIN, 0};
    const int wait_ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(kGenerousWait).count());
    int ready;
    while ((ready = poll(&entry, 1, wait_ms)) < 0 && errno == EINTR) {
    }
    char byte;
    return ready > 0 ? static_cast<int>(read(fd, &byte, 1) == 1) : -1;
}

TEST(SignalStorm, EverySignalSentAtRandomEndsInAHandledException) {
    auto *board = static_cast<StormBoard *>(mmap(nullptr, sizeof(StormBoard),
                                                 PROT_READ | PROT_WRITE,
                                                 MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(board, MAP_FAILED);
    memset(const_cast<StormBoard *>(board), 0, sizeof *board);
    int armed[2], handled[2];
    ASSERT_EQ(pipe2(armed, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(handled, O_CLOEXEC), 0);
    pid_t receiver = fork();
    if (receiver == 0) {
        close(armed[0]);
        close(handled[0]);
        StormReceiver(board, armed[1], handled[1]);
    }
    close(armed[1]);
    close(handled[1]);

    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM};
    long sent[32] = {};
    std::mt19937 random(12345);
    const int kSignals = 3000;
    bool stuck = false;
    for (int i = 0; i < kSignals && !stuck; ++i) {
        /* Once the receiver is in its loop, let it run a random moment, so
           that the signal lands anywhere in it. */
        if (ReadByte(armed[0]) != 1) {
            stuck = true;
            break;
        }
        timespec pause = {0, static_cast<long>(random() % 200000)};
        nanosleep(&pause, nullptr);
        int s = signals[random() % (sizeof signals / sizeof signals[0])];
        kill(receiver, s);
        ++sent[s];
        /* Each signal must be handled before the next is sent (signals do not queue). */
        stuck = ReadByte(handled[0]) != 1;
    }
    board->stop = 1;
    /* The end of the pipe is the receiver's end. */
    int got = 1;
    while (!stuck && (got = ReadByte(armed[0])) == 1) {
    }
    int status = 0;
    if (stuck || got != 0) kill(receiver, SIGKILL);
    waitpid(receiver, &status, 0);
    close(armed[0]);
    close(handled[0]);
    EXPECT_FALSE(stuck) << "the receiver did not go on within 30 s";
    ASSERT_TRUE(WIFEXITED(status)) << "receiver died with signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (int s : signals) EXPECT_EQ(board->handled[s], sent[s]) << "signal " << s;
    munmap(const_cast<StormBoard *>(board), sizeof *board);
}

}  // namespace
