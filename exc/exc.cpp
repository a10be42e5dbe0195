/*
 * exc.cpp - the exception framework: type records, exception records and
 * their release, the throw, the context with its stack of block frames,
 * delivery by jumping back into a block, retry, the reports on standard
 * error, fatal errors, the exit check, and signals turned into exceptions.
 *
 * A clean block runs inline (exc.h): it saves its resume point, pushes its
 * frame, steps through its stages and pops itself without calling in here.
 * Everything that involves an exception comes here.
 *
 * Signal safety. The framework's own bookkeeping runs inside a critical
 * section (`in_framework` above zero). A mapped signal that arrives there is
 * only recorded, and delivered when the section ends, so frames and exception
 * records are never seen half updated. A signal that arrives anywhere else is
 * delivered from the handler at once: its exception record comes from the
 * free list (the handler never allocates), and the handler jumps straight
 * into the innermost block. Reports are formatted into a stack buffer and
 * written with write(2), so they are safe wherever they are made.
 *
 * A fault (SIGSEGV, SIGFPE, ...) raised by the code itself inside such a
 * section cannot wait: returning from the handler would only repeat it. The
 * handler writes a short report of it and lets the default action end the
 * process.
 *
 * Ending the process (uncaught exception, fatal error, exit check) first
 * blocks every signal, so nothing interrupts the report or kills the process
 * before standard output is flushed. The exit status is 1 unless the program
 * chose another (exc_set_exit_status).
 */
#include "exc/exc.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ucontext.h>
#include <unistd.h>

/* The framework's private types: only fatal-error reports carry them. */
EXC_DECLARE_EXCEPTION(ExceptionSystemFatalError);
EXC_DECLARE_EXCEPTION(ContextAlreadyBegun);
EXC_DECLARE_EXCEPTION(ContextHasNotBegunYet);
EXC_DECLARE_EXCEPTION(ContextNotEnded);

namespace {

/* The file name that locates the framework's own errors and throws. */
constexpr char kFrameworkFile[] = "exc";

constexpr char kUnrecoverableText[] =
    "\n\nThis is an unrecoverable programming error; the application will be terminated\n"
    "immediately.\n";
constexpr char kClosingText[] =
    "\n\nIf this application is making use of threads, please recompile the exception "
    "framework\nwith thread support (by defining the macro EXC_THREADSAFE).\n\n\nThe program "
    "will now yield a failure exit code due to exception system errors.\n";

/* ---- library state ------------------------------------------------------ */

int is_initialized;
volatile sig_atomic_t fatal_error_flag;
/* The status of every exit the framework makes itself. */
int exit_status = 1;
ExceptionContext *volatile current_context;
ExceptionFrame root_frame;

/* Depth of framework bookkeeping in progress; signals wait while it is > 0. */
volatile sig_atomic_t in_framework;

constexpr int kMaxSignal = 65;
volatile sig_atomic_t pending_signal[kMaxSignal];
volatile sig_atomic_t pending_errno[kMaxSignal];
volatile sig_atomic_t any_signal_pending;

/*
 * Exception records: released ones wait on a free list (linked through
 * caused_by) for the next throw, so a throw neither allocates nor frees once
 * the program has warmed up. A static reserve lets the signal handler, which
 * must not allocate, find a record. Its records are handed out in order when
 * the free list is empty, so a run that throws little touches few of its
 * pages (a page touched is a page fault and resident memory).
 *
 * The handler can count on the free list and the reserve's untaken records.
 * When exceptions stay alive (held by nested catch clauses) these run low:
 * a throw that takes one of them, and the end of a block that passes on or
 * releases an exception (exc_frame_leave_), top the free list up from the
 * heap once fewer than kLowWater are left. So a signal finds no record only
 * when the heap is exhausted too. (A throw takes the spare of exc.h first:
 * the caught exception of the last block that ended, which only code
 * outside the handler uses.)
 */
constexpr int kRecordReserve = 64;
constexpr int kLowWater = 16;
constexpr int kRefillTo = 32;
Exception record_reserve[kRecordReserve];
int reserve_records_taken;
Exception *free_records;
int free_record_count;

void compiler_barrier() { std::atomic_signal_fence(std::memory_order_seq_cst); }

/* ---- reports: async-signal-safe formatting to standard error ------------ */

class ReportWriter {
public:
    ~ReportWriter() { flush(); }

    ReportWriter &text(const char *s) {
        if (s == nullptr) s = "(null)";
        return bytes(s, strlen(s));
    }
    ReportWriter &number(long value) {
        char digits[24];
        int n = 0;
        unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value)
                                            : static_cast<unsigned long>(value);
        do {
            digits[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) digits[n++] = '-';
        while (n > 0) bytes(&digits[--n], 1);
        return *this;
    }
    ReportWriter &repeat(char c, int count) {
        for (int i = 0; i < count; ++i) bytes(&c, 1);
        return *this;
    }
    void flush() {
        size_t done = 0;
        while (done < length_) {
            ssize_t n = write(STDERR_FILENO, buffer_ + done, length_ - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        length_ = 0;
    }

private:
    ReportWriter &bytes(const char *s, size_t n) {
        while (n > 0) {
            if (length_ == sizeof buffer_) flush();
            size_t room = sizeof buffer_ - length_;
            size_t chunk = n < room ? n : room;
            memcpy(buffer_ + length_, s, chunk);
            length_ += chunk;
            s += chunk;
            n -= chunk;
        }
        return *this;
    }

    char buffer_[1024];
    size_t length_ = 0;
};

void write_thrown_at(ReportWriter &out, const Exception *e) {
    if (e->source_file == nullptr) return;
    out.text("    thrown at ");
    if (e->source_function != nullptr) {
        out.text(e->source_function).text(" (").text(e->source_file).text(":");
        out.number(e->source_line).text(")\n\n");
    } else {
        out.text(e->source_file).text(":").number(e->source_line).text("\n\n");
    }
}

bool is_root_type(const ExceptionType *type) {
    return type->supertype == nullptr || type->supertype == type;
}

/* Prints the path from the root down to `type`; returns the type's distance below the root. */
int write_type_node(ReportWriter &out, const ExceptionType *type, int guard) {
    if (is_root_type(type) || guard == 0) {
        out.text("    ").text(type->type_name).text("\n");
        return 0;
    }
    int d = write_type_node(out, type->supertype, guard - 1) + 1;
    out.text("    ").repeat(' ', 4 * (d - 1)).text(" |\n");
    out.text("    ").repeat(' ', 4 * (d - 1)).text(" +--").text(type->type_name).text("\n");
    return d;
}

void write_type_hierarchy(ReportWriter &out, const ExceptionType *type) {
    out.text("Exception hierarchy\n").repeat('_', 64).text("\n\n");
    write_type_node(out, type, 256);
    out.repeat('_', 64).text("\n");
}

void write_exception_report(const Exception *exception) {
    ReportWriter out;
    out.text("\n\nUncaught ").text(exception->type_name).text(": ").text(exception->message);
    out.text("\n\n");
    write_thrown_at(out, exception);
    for (const Exception *cause = exception->caused_by; cause != nullptr;
         cause = cause->caused_by) {
        out.text("Caused by ").text(cause->type_name).text(": ").text(cause->message);
        out.text("\n\n");
        write_thrown_at(out, cause);
    }
    out.text("The value of errno was ").number(exception->errno_value).text(".\n\n");
    if (exception->type != nullptr) write_type_hierarchy(out, exception->type);
}

/* ---- exception records -------------------------------------------------- */

void exception_initialize(Exception *e, const ExceptionType *type, const char *message,
                          const char *file, int line, const char *function, int errno_value) {
    e->type_name = type->type_name;
    e->source_file = file;
    e->source_line = line;
    e->source_function = function;
    e->errno_value = errno_value;
    e->type = type;
    e->caused_by = nullptr;
    /* The message last: little else has to live across its copy. */
    if (message == nullptr) {
        /* The default message fills an array of the same size: copied whole. */
        static_assert(sizeof e->message == sizeof type->default_message);
        memcpy(e->message, type->default_message, sizeof e->message);
        e->message[sizeof e->message - 1] = '\0';
    } else {
        size_t n = strnlen(message, sizeof e->message - 1);
        memcpy(e->message, message, n);
        e->message[n] = '\0';
    }
}

/* A record from the free list, else from the reserve, else from the heap
   (never in the handler). */
[[gnu::always_inline]] inline Exception *record_take(bool in_handler) {
    Exception *record = free_records;
    if (record != nullptr) {
        free_records = record->caused_by;
        free_record_count -= 1;
        return record;
    }
    if (reserve_records_taken < kRecordReserve) return &record_reserve[reserve_records_taken++];
    return in_handler ? nullptr : static_cast<Exception *>(malloc(sizeof(Exception)));
}

/* Releases an exception and its whole cause chain onto the free list. */
[[gnu::always_inline]] inline void exception_release(Exception *e) {
    while (e != nullptr) {
        Exception *cause = e->caused_by;
        e->caused_by = free_records;
        free_records = e;
        free_record_count += 1;
        e = cause;
    }
}

/* Records a signal could take without allocating. */
int records_for_signals() {
    return free_record_count + (kRecordReserve - reserve_records_taken);
}

/* Tops the free list up from the heap; never called in the handler. */
[[gnu::noinline]] void refill_records() {
    while (records_for_signals() < kRefillTo) {
        auto *record = static_cast<Exception *>(malloc(sizeof(Exception)));
        if (record == nullptr) return;
        record->caused_by = free_records;
        free_records = record;
        free_record_count += 1;
    }
}

/* The low-water check, on paths that take or handle an exception. */
inline void keep_records_for_signals() {
    if (__builtin_expect(records_for_signals() < kLowWater, 0)) refill_records();
}

/* ---- critical sections -------------------------------------------------- */

void deliver_pending_signals(bool in_handler);

void enter_framework() {
    in_framework = in_framework + 1;
    compiler_barrier();
}

void leave_framework() {
    compiler_barrier();
    in_framework = in_framework - 1;
    compiler_barrier();
    if (in_framework == 0 && any_signal_pending) {
        in_framework = 1;
        deliver_pending_signals(false);
        in_framework = 0;
    }
}

/* Once the process is ending, no signal may interrupt or kill it. */
void block_every_signal() {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, nullptr);
    in_framework = 1;
}

/* ---- fatal errors and the exit check ------------------------------------ */

void library_finalize();

void library_initialize() {
    if (is_initialized) return;
    if (atexit(library_finalize) == 0) is_initialized = 1;
}

[[noreturn]] void library_fatal_error(const ExceptionType *type, const char *message,
                                      const char *file, int line, const char *function,
                                      int errno_value) {
    block_every_signal();
    Exception report;
    exception_initialize(&report, type, message, file, line, function, errno_value);
    library_initialize();
    write_exception_report(&report);
    ReportWriter().text(kUnrecoverableText);
    fatal_error_flag = 1;
    fflush(stdout);
    exit(exit_status);
}

/* Fatal error located in the framework itself. */
#define EXC_FATAL_HERE(type, message, function) \
    library_fatal_error(&(type), (message), kFrameworkFile, __LINE__, (function), errno)
/* Fatal error without a location. */
#define EXC_FATAL_NOWHERE(type, message) \
    library_fatal_error(&(type), (message), nullptr, 0, nullptr, errno)

void library_finalize() {
    if (!fatal_error_flag && current_context != nullptr) {
        int errno_value = errno;
        block_every_signal();
        Exception report;
        exception_initialize(&report, &ContextNotEnded, nullptr, kFrameworkFile, __LINE__,
                             "_exc_library_finalize", errno_value);
        write_exception_report(&report);
        fatal_error_flag = 1;
    }
    if (fatal_error_flag) {
        block_every_signal();
        ReportWriter().text(kClosingText);
        fflush(nullptr);
        _exit(exit_status);
    }
}

/* ---- delivery ----------------------------------------------------------- */

void restore_default_signal_handling(const SignalMapping *list);

/*
 * An exception reached the root frame: report it, end the context, flush
 * standard output and exit 1, with every signal blocked from the start.
 */
[[noreturn]] void at_uncaught_exception(Exception *exception) {
    block_every_signal();
    ExceptionContext *context = current_context;
    if (context->on_uncaught != nullptr) context->on_uncaught(exception);
    restore_default_signal_handling(context->signal_mappings);
    context->signal_mappings = nullptr;
    root_frame.held_exception = nullptr;
    exception_release(exception);
    context->top_frame = nullptr;
    current_context = nullptr;
    fflush(stdout);
    exit(exit_status);
}

/*
 * Jumps back into `frame`, abandoning every framework call in progress. A
 * frame that saved the signal mask gets it back from the jump. A mask-free
 * frame resumed out of the signal handler gets `interrupted_mask`, the mask
 * of the code the signal interrupted, which unblocks the signal as returning
 * from the handler would have.
 */
[[noreturn, gnu::always_inline]] inline void resume_block(ExceptionFrame *frame,
                                                      const sigset_t *interrupted_mask,
                               bool in_handler) {
    bool restores_mask = (frame->flags & EXC_FRAME_RESTORES_MASK) != 0;
    if (!restores_mask && interrupted_mask != nullptr) {
        sigprocmask(SIG_SETMASK, interrupted_mask, nullptr);
    }
    compiler_barrier();
    in_framework = 0;
    compiler_barrier();
    if (any_signal_pending) {
        in_framework = 1;
        deliver_pending_signals(in_handler);
        in_framework = 0;
    }
    if (restores_mask) siglongjmp(frame->resume_point, 1);
    _longjmp(frame->resume_point, 1);
}

/*
 * Hands `exception` to `frame`, the innermost block, which holds nothing
 * else now, and resumes it.
 */
[[noreturn, gnu::always_inline]] inline void deliver(ExceptionFrame *frame, Exception *exception,
                                                    bool in_handler,
                                                    const sigset_t *interrupted_mask) {
    frame->uncaught = 1;
    frame->held_exception = exception;
    if (frame == &root_frame) at_uncaught_exception(exception);
    if (frame->stage == EXC_STAGE_ACQUIRE) frame->stage = EXC_STAGE_TRY;
    /* In a with-block, a reacquire that waited for the disposal gives way to
     * the exception; no other block reads this. */
    frame->reacquire_pending = 0;
    resume_block(frame, interrupted_mask, in_handler);
}

/* Hands `exception` to the innermost block, releasing what that held, and resumes it. */
[[noreturn, gnu::always_inline]] inline void propagate(Exception *exception, bool in_handler,
                                                      const sigset_t *interrupted_mask) {
    ExceptionFrame *frame = exc_main_context_.top_frame;
    Exception *displaced = frame->held_exception;
    frame->held_exception = nullptr;
    /* A signal that came while the frame's block ended: its exception is the spare too. */
    if (displaced != nullptr && displaced == exc_spare_exception_) exc_spare_exception_ = nullptr;
    exception_release(displaced);
    deliver(frame, exception, in_handler, interrupted_mask);
}

/* ---- signals ------------------------------------------------------------ */

const char *signal_name(int signal_number) {
    switch (signal_number) {
    case 1: return "SIGHUP";
    case 2: return "SIGINT";
    case 3: return "SIGQUIT";
    case 4: return "SIGILL";
    case 5: return "SIGTRAP";
    case 6: return "SIGABRT";
    case 8: return "SIGFPE";
    case 9: return "SIGKILL";
    case 10: return "SIGUSR1";
    case 11: return "SIGSEGV";
    case 12: return "SIGUSR2";
    case 13: return "SIGPIPE";
    case 14: return "SIGALRM";
    case 15: return "SIGTERM";
    case 17: return "SIGCHLD";
    case 19: return "SIGSTOP";
    case 24: return "SIGXCPU";
    default: return "{unknown signal}";
    }
}

void signal_handler(int signal_number, siginfo_t *info, void *context);

bool install_handler(int signal_number, const SignalMapping *list) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = signal_handler;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    /* No other mapped signal interrupts the handler. */
    for (const SignalMapping *m = list; m != nullptr && m->signal_number != -1; ++m) {
        if (m->type != nullptr) sigaddset(&action.sa_mask, m->signal_number);
    }
    return sigaction(signal_number, &action, nullptr) == 0;
}

bool set_disposition(int signal_number, void (*disposition)(int)) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = disposition;
    sigemptyset(&action.sa_mask);
    return sigaction(signal_number, &action, nullptr) == 0;
}

void restore_default_signal_handling(const SignalMapping *list) {
    for (const SignalMapping *m = list; m != nullptr && m->signal_number != -1; ++m) {
        if (!set_disposition(m->signal_number, SIG_DFL)) {
            EXC_FATAL_HERE(ExceptionSystemFatalError, "Could not reset the default signal handling.",
                           "exc_set_signal_handlers");
        }
    }
}

void set_signal_handlers(const SignalMapping *list) {
    restore_default_signal_handling(exc_main_context_.signal_mappings);
    exc_main_context_.signal_mappings = nullptr;
    if (list == nullptr) return;
    exc_main_context_.signal_mappings = list;
    for (const SignalMapping *m = list; m->signal_number != -1; ++m) {
        if (m->type != nullptr) {
            if (!install_handler(m->signal_number, list)) {
                EXC_FATAL_HERE(ExceptionSystemFatalError,
                               "Could not register the signal handling procedure.",
                               "exc_set_signal_handlers");
            }
        } else if (!set_disposition(m->signal_number, SIG_IGN)) {
            EXC_FATAL_HERE(ExceptionSystemFatalError, "Could not ignore the signal.",
                           "exc_set_signal_handlers");
        }
    }
}

/* The entry of the list in force that a signal meets, or null. */
const SignalMapping *find_mapping(int signal_number) {
    const SignalMapping *entry = exc_main_context_.signal_mappings;
    if (entry == nullptr) return nullptr;
    while (entry->signal_number != -1 && entry->signal_number != signal_number) ++entry;
    return entry->signal_number == -1 ? nullptr : entry;
}

/* Turns a received signal into an exception and delivers it. */
[[noreturn]] void handle_signal(int signal_number, int errno_value, bool in_handler,
                               const sigset_t *interrupted_mask) {
    constexpr char kWhere[] = "_exc_library_handle_signal";
    if (current_context == nullptr) {
        EXC_FATAL_HERE(ExceptionSystemFatalError, "The exception context is invalid.", kWhere);
    }
    if (exc_main_context_.top_frame == nullptr) {
        EXC_FATAL_HERE(ExceptionSystemFatalError, "The exception context has an invalid frame.",
                       kWhere);
    }
    const SignalMapping *list = exc_main_context_.signal_mappings;
    if (list == nullptr) {
        EXC_FATAL_HERE(ExceptionSystemFatalError,
                       "The exception context for this program is in an invalid state.", kWhere);
    }
    const SignalMapping *entry = find_mapping(signal_number);
    if (entry == nullptr) {
        EXC_FATAL_HERE(ExceptionSystemFatalError,
                       "There is no exception mapping for the received signal.", kWhere);
    }
    if (entry->type == nullptr) {
        EXC_FATAL_HERE(ExceptionSystemFatalError,
                       "The exception context for this program is in an invalid state.", kWhere);
    }
    if (!install_handler(signal_number, list)) {
        EXC_FATAL_HERE(ExceptionSystemFatalError,
                       "Could not register the signal handling procedure.", kWhere);
    }
    Exception *exception = record_take(in_handler);
    if (exception == nullptr) {
        EXC_FATAL_HERE(NotEnoughMemoryException, "Could not create a new exception.", kWhere);
    }
    exception_initialize(exception, entry->type, nullptr, signal_name(signal_number),
                         signal_number, kWhere, errno_value);
    propagate(exception, in_handler, interrupted_mask);
}

/* A fault raised by the instruction that was running: returning repeats it. */
bool is_synchronous_fault(int signal_number, const siginfo_t *info) {
    bool fault_signal = signal_number == SIGSEGV || signal_number == SIGBUS ||
                        signal_number == SIGFPE || signal_number == SIGILL ||
                        signal_number == SIGTRAP;
    return fault_signal && info != nullptr && info->si_code > 0;
}

/*
 * The last word of a process that faulted while signals were held back,
 * written with write(2) only: which signal, and why it ends the process.
 */
void report_fault_while_held_back(int signal_number) {
    ReportWriter out;
    out.text("\n\nFault while signals were held back: ").text(signal_name(signal_number));
    out.text(" (signal ").number(signal_number).text(")");
    const SignalMapping *entry = find_mapping(signal_number);
    if (entry != nullptr && entry->type != nullptr) {
        out.text(", ").text(entry->type->type_name).text(": ");
        out.text(entry->type->default_message);
    }
    out.text("\nA fault cannot wait for exc_defer_signals_end: the signal's default action "
             "ends the process.\n");
}

void signal_handler(int signal_number, siginfo_t *info, void *context) {
    int saved_errno = errno;
    if (in_framework > 0 && is_synchronous_fault(signal_number, info)) {
        /* It cannot wait: the default action ends the process when the fault repeats. */
        report_fault_while_held_back(signal_number);
        set_disposition(signal_number, SIG_DFL);
        errno = saved_errno;
        return;
    }
    if (in_framework > 0 || signal_number <= 0 || signal_number >= kMaxSignal) {
        if (signal_number > 0 && signal_number < kMaxSignal) {
            pending_errno[signal_number] = saved_errno;
            pending_signal[signal_number] = 1;
            any_signal_pending = 1;
        }
        errno = saved_errno;
        return;
    }
    in_framework = 1;
    handle_signal(signal_number, saved_errno, true,
                  &static_cast<ucontext_t *>(context)->uc_sigmask);
}

/*
 * Delivers the pending signals, lowest first; called with in_framework set.
 * A signal that is still mapped becomes its exception (that does not
 * return). One whose mapping went away while it waited meets what it would
 * have met arriving now: it is raised again under its present disposition,
 * the default action or ignore. Returns when nothing mapped was pending.
 */
void deliver_pending_signals(bool in_handler) {
    any_signal_pending = 0;
    compiler_barrier();
    for (int s = 1; s < kMaxSignal; ++s) {
        if (!pending_signal[s]) continue;
        pending_signal[s] = 0;
        const SignalMapping *entry = current_context != nullptr ? find_mapping(s) : nullptr;
        if (entry == nullptr || entry->type == nullptr) {
            raise(s);
            continue;
        }
        for (int t = s + 1; t < kMaxSignal; ++t) {
            if (pending_signal[t]) any_signal_pending = 1;
        }
        handle_signal(s, pending_errno[s], in_handler, nullptr);
    }
}

/* Checks shared by the block operations. */
void require_frame(const char *where) {
    if (exc_main_context_.top_frame == nullptr) {
        EXC_FATAL_HERE(ExceptionSystemFatalError, "The exception context has an invalid frame.",
                       where);
    }
}

}  // namespace

/* ---- types -------------------------------------------------------------- */

EXC_DEFINE_EXCEPTION(AssertionException, "Assertion failed.", AssertionException);
EXC_DEFINE_EXCEPTION(RuntimeException, "Runtime exception.", RuntimeException);
EXC_DEFINE_EXCEPTION(NotEnoughMemoryException, "Not enough memory.", RuntimeException);
EXC_DEFINE_EXCEPTION(InputOutputException, "Input/output exception.", RuntimeException);
EXC_DEFINE_EXCEPTION(IllegalArgumentException, "Illegal argument.", RuntimeException);
EXC_DEFINE_EXCEPTION(SignalException, "Signal received.", RuntimeException);
EXC_DEFINE_EXCEPTION(SignalAlarmException, "Alarm clock signal received.", SignalException);
EXC_DEFINE_EXCEPTION(SignalChildException, "Child process signal received.", SignalException);
EXC_DEFINE_EXCEPTION(SignalTrapException, "Trace trap.", SignalException);
EXC_DEFINE_EXCEPTION(ErrorSignalException, "Error signal received.", SignalException);
EXC_DEFINE_EXCEPTION(IllegalInstructionException, "Illegal instruction.", ErrorSignalException);
EXC_DEFINE_EXCEPTION(ArithmeticException, "Erroneous arithmetic operation.",
                     ErrorSignalException);
EXC_DEFINE_EXCEPTION(BrokenPipeException, "Broken pipe.", ErrorSignalException);
EXC_DEFINE_EXCEPTION(BadPointerException, "Segmentation violation.", ErrorSignalException);
EXC_DEFINE_EXCEPTION(NullPointerException, "Null pointer.", BadPointerException);
EXC_DEFINE_EXCEPTION(ControlSignalException, "Control signal received.", SignalException);
EXC_DEFINE_EXCEPTION(StopException, "Stop signal received.", ControlSignalException);
EXC_DEFINE_EXCEPTION(KillException, "Kill signal received.", ControlSignalException);
EXC_DEFINE_EXCEPTION(HangUpException, "Hang up signal received.", ControlSignalException);
EXC_DEFINE_EXCEPTION(TerminationException, "Termination signal received.",
                     ControlSignalException);
EXC_DEFINE_EXCEPTION(AbortException, "Abort signal received.", ControlSignalException);
EXC_DEFINE_EXCEPTION(CPUTimeException, "Exceeded CPU time.", ControlSignalException);
EXC_DEFINE_EXCEPTION(UserControlSignalException, "User control signal received.",
                     ControlSignalException);
EXC_DEFINE_EXCEPTION(UserQuitException, "Quit signal received.", UserControlSignalException);
EXC_DEFINE_EXCEPTION(UserInterruptionException, "Interrupt signal received.",
                     UserControlSignalException);
EXC_DEFINE_EXCEPTION(UserBreakException, "Break signal received.", UserControlSignalException);
EXC_DEFINE_EXCEPTION(ProgramSignalException, "User-defined signal received.", SignalException);
EXC_DEFINE_EXCEPTION(ProgramSignal1Exception, "User-defined signal 1 received.",
                     ProgramSignalException);
EXC_DEFINE_EXCEPTION(ProgramSignal2Exception, "User-defined signal 2 received.",
                     ProgramSignalException);
EXC_DEFINE_EXCEPTION(ExceptionSystemFatalError,
                     "The exception context for this program is in an invalid state.",
                     RuntimeException);
EXC_DEFINE_EXCEPTION(ContextAlreadyBegun,
                     "The exception context for this program has already begun.",
                     ExceptionSystemFatalError);
EXC_DEFINE_EXCEPTION(ContextHasNotBegunYet,
                     "The exception context for this program has not begun yet.",
                     ExceptionSystemFatalError);
EXC_DEFINE_EXCEPTION(ContextNotEnded, "The program did not end its exception context properly.",
                     ExceptionSystemFatalError);

const SignalMapping exc_default_signal_mappings_array[] = {
    {SIGABRT, &AbortException},
    {SIGFPE, &ArithmeticException},
    {SIGILL, &IllegalInstructionException},
    {SIGSEGV, &BadPointerException},
    {SIGTERM, &TerminationException},
    {SIGINT, &UserInterruptionException},
    {SIGALRM, &SignalAlarmException},
    {SIGCHLD, &SignalChildException},
    {SIGTRAP, &SignalTrapException},
    {SIGPIPE, &BrokenPipeException},
    {SIGHUP, &HangUpException},
    {SIGXCPU, &CPUTimeException},
    {SIGQUIT, &UserQuitException},
    {SIGUSR1, &ProgramSignal1Exception},
    {SIGUSR2, &ProgramSignal2Exception},
    {-1, nullptr},
};
const SignalMapping *const exc_default_signal_mappings = exc_default_signal_mappings_array;

/* ---- context ------------------------------------------------------------ */

ExceptionContext exc_main_context_;
Exception *exc_spare_exception_;

void exc_context_begin(int handle_signals, ExceptionHandler on_uncaught) {
    enter_framework();
    library_initialize();
    if (current_context != nullptr) {
        EXC_FATAL_NOWHERE(ContextAlreadyBegun,
                          "exc_context_begin: The exception context for this program has "
                          "already begun.");
    }
    if (exc_main_context_.top_frame != nullptr) {
        EXC_FATAL_HERE(ExceptionSystemFatalError,
                       "The exception context for this program is in an invalid state.",
                       "exc_context_begin");
    }
    exc_main_context_.on_uncaught = on_uncaught;
    exc_main_context_.signal_mappings = nullptr;
    root_frame.outer = nullptr;
    root_frame.stage = EXC_STAGE_DONE;
    root_frame.uncaught = 0;
    root_frame.held_exception = nullptr;
    root_frame.retry_count = 0;
    root_frame.reacquire_count = 0;
    root_frame.flags = 0;
    root_frame.reacquire_pending = 0;
    exc_main_context_.top_frame = &root_frame;
    if (handle_signals) set_signal_handlers(exc_default_signal_mappings);
    current_context = &exc_main_context_;
    leave_framework();
}

void exc_context_end(void) {
    enter_framework();
    if (current_context == nullptr) {
        EXC_FATAL_NOWHERE(ContextHasNotBegunYet,
                          "exc_context_end: The exception context for this program has not "
                          "begun yet.");
    }
    if (exc_main_context_.top_frame == nullptr) {
        EXC_FATAL_HERE(ExceptionSystemFatalError, "There are no exception frames left.",
                       "exc_context_end");
    }
    if (exc_main_context_.top_frame != &root_frame) {
        EXC_FATAL_HERE(ExceptionSystemFatalError,
                       "There are too many exception frames. Probably some try{...} block was "
                       "exited through 'return' or 'break'.",
                       "exc_context_end");
    }
    set_signal_handlers(nullptr);
    exception_release(root_frame.held_exception);
    root_frame.held_exception = nullptr;
    exc_main_context_.top_frame = nullptr;
    current_context = nullptr;

    /* A signal that arrived while the context was ending meets its default disposition now. */
    compiler_barrier();
    in_framework = in_framework - 1;
    if (any_signal_pending) deliver_pending_signals(false);
}

int exc_context_is_ready(void) { return current_context != nullptr ? 1 : 0; }

void exc_set_exit_status(int status) {
    if (status < 1 || status > 255) {
        EXC_FATAL_NOWHERE(IllegalArgumentException,
                          "exc_set_exit_status: The exit status must be between 1 and 255.");
    }
    exit_status = status;
}

int exc_get_exit_status(void) { return exit_status; }

void exc_defer_signals_begin(void) { enter_framework(); }

void exc_defer_signals_end(void) {
    if (in_framework > 0) leave_framework();
}

void exc_context_set_signal_mappings(const SignalMapping *list) {
    enter_framework();
    if (current_context == nullptr) {
        EXC_FATAL_NOWHERE(ContextHasNotBegunYet,
                          "exc_context_set_signal_mappings: The exception context for this "
                          "program has not begun yet.");
    }
    set_signal_handlers(list);
    leave_framework();
}

const SignalMapping *exc_context_get_signal_mappings(void) {
    if (current_context == nullptr) {
        EXC_FATAL_NOWHERE(ContextHasNotBegunYet,
                          "exc_context_get_signal_mappings: The exception context for this "
                          "program has not begun yet.");
    }
    return exc_main_context_.signal_mappings;
}

/* ---- exceptions --------------------------------------------------------- */

void exc_exception_throw_verbatim_(const ExceptionType *type, const char *file, int line,
                                   const char *function, const char *message) {
    int errno_value = errno;
    enter_framework();
    ExceptionFrame *frame = exc_main_context_.top_frame;
    if (frame == nullptr) {
        if (current_context == nullptr) {
            library_fatal_error(&ContextHasNotBegunYet,
                                "exc_exception_throw_verbatim_: The exception context for this "
                                "program has not begun yet.",
                                file, line, function, errno_value);
        }
        require_frame("exc_exception_throw_verbatim_");
    }
    Exception *cause = frame->held_exception;
    frame->held_exception = nullptr;
    if (type == nullptr) type = &NullPointerException;
    /* The spare first: taking it leaves the records for signals as they are. */
    Exception *exception = exc_spare_exception_;
    if (exception != nullptr) {
        exc_spare_exception_ = exception->caused_by;
    } else {
        exception = record_take(false);
        if (exception == nullptr) {
            EXC_FATAL_HERE(NotEnoughMemoryException, "Could not create a new exception.",
                           "_exc_exception_throw");
        }
        keep_records_for_signals();
    }
    exception_initialize(exception, type, message, file, line, function, errno_value);
    exception->caused_by = cause;
    deliver(frame, exception, false, nullptr);
}

const Exception *exc_get_exception(void) {
    if (current_context == nullptr) {
        EXC_FATAL_NOWHERE(ContextHasNotBegunYet,
                          "exc_get_exception: The exception context for this program has not "
                          "begun yet.");
    }
    require_frame("exc_get_exception");
    return exc_main_context_.top_frame->held_exception;
}

static int exception_type_extends(const ExceptionType *child, const ExceptionType *parent) {
    while (child != nullptr) {
        if (child == parent) return 1;
        if (child->supertype == child) return 0;
        child = child->supertype;
    }
    return 0;
}

int exc_is_instance_of(const Exception *exception, const ExceptionType *type) {
    if (exception == nullptr) {
        exc_exception_throw_verbatim_(&NullPointerException, kFrameworkFile, __LINE__,
                                      "exc_is_instance_of", "Null exception instance.");
    }
    if (type == nullptr) {
        exc_exception_throw_verbatim_(&NullPointerException, kFrameworkFile, __LINE__,
                                      "exc_is_instance_of", "Null exception type.");
    }
    return exception_type_extends(exception->type, type);
}

void exc_print_exception(const Exception *exception) {
    if (exception == nullptr) {
        exc_exception_throw_verbatim_(&NullPointerException, kFrameworkFile, __LINE__,
                                      "exc_print_exception", "Null exception.");
    }
    write_exception_report(exception);
}

void exc_print_exception_type(const ExceptionType *type) {
    if (type == nullptr) {
        exc_exception_throw_verbatim_(&NullPointerException, kFrameworkFile, __LINE__,
                                      "exc_print_exception_type", "Null exception type.");
    }
    ReportWriter out;
    write_type_hierarchy(out, type);
}

int exc_get_status(void) {
    if (current_context == nullptr) {
        EXC_FATAL_NOWHERE(ContextHasNotBegunYet,
                          "exc_get_status: The exception context for this program has not "
                          "begun yet.");
    }
    require_frame("exc_get_status");
    const ExceptionFrame *frame = exc_main_context_.top_frame;
    if (frame->held_exception == nullptr) return 0;
    return frame->uncaught ? 2 : 1;
}

int exc_library_version(void) { return 2008015; }

/* ---- blocks ------------------------------------------------------------- */

void exc_frame_enter_failed_(int first_stage, const char *file, int line, const char *function) {
    if (current_context == nullptr) {
        library_fatal_error(&ContextHasNotBegunYet,
                            first_stage != 0
                                ? "EXC_TRY: The exception context for this program has not "
                                  "begun yet."
                                : "EXC_WITH: The exception context for this program has not "
                                  "begun yet.",
                            file, line, function, errno);
    }
    EXC_FATAL_HERE(ExceptionSystemFatalError, "The exception context has an invalid frame.",
                   "exc_frame_first_stage_");
}

/* Pushes a frame saved by the caller, as a block's entry does. */
ExceptionFrame *exc_frame_first_stage_(ExceptionFrame *storage, int first_stage, const char *file,
                                       int line, const char *function) {
    exc_frame_enter_(storage, first_stage,
                     first_stage == EXC_STAGE_START ? EXC_FRAME_WITH_BLOCK : 0, file, line,
                     function);
    return storage;
}

/*
 * The end of a block that holds an exception, or whose frame is no longer
 * on top: releases a caught exception, pops the frame and delivers a
 * pending one to the enclosing block.
 */
int exc_frame_leave_(ExceptionFrame *frame) {
    enter_framework();
    if (current_context == nullptr) {
        EXC_FATAL_HERE(ExceptionSystemFatalError,
                       "The exception context for this program has not begun yet.",
                       "exc_frame_next_stage_");
    }
    if (exc_main_context_.top_frame != frame) {
        /* An inner block was left by return, break or goto: its frame is still on top. */
        EXC_FATAL_HERE(ExceptionSystemFatalError,
                       "There are too many exception frames. Probably some try{...} block was "
                       "exited through 'return' or 'break'.",
                       "exc_frame_next_stage_");
    }
    if (frame->held_exception != nullptr && !frame->uncaught) {
        exception_release(frame->held_exception);
        frame->held_exception = nullptr;
    }
    Exception *pending = frame->held_exception;
    frame->held_exception = nullptr;
    exc_main_context_.top_frame = frame->outer;
    keep_records_for_signals();
    if (pending != nullptr) propagate(pending, false, nullptr);
    leave_framework();
    return 0;
}

int exc_frame_next_stage_(void) {
    if (current_context == nullptr) {
        EXC_FATAL_HERE(ExceptionSystemFatalError,
                       "The exception context for this program has not begun yet.",
                       "exc_frame_next_stage_");
    }
    require_frame("exc_frame_next_stage_");
    ExceptionFrame *frame = exc_main_context_.top_frame;
    if (frame == &root_frame) {
        EXC_FATAL_HERE(ExceptionSystemFatalError, "The exception context has an invalid frame.",
                       "exc_frame_next_stage_");
    }
    return exc_frame_advance_(frame);
}

int exc_frame_get_stage_(const char *file, int line, const char *function) {
    if (current_context == nullptr) {
        library_fatal_error(&ContextHasNotBegunYet,
                            "exc_frame_get_stage_: The exception context for this program has "
                            "not begun yet.",
                            file, line, function, errno);
    }
    require_frame("exc_frame_get_stage_");
    return exc_main_context_.top_frame->stage;
}
int exc_frame_catch_(const ExceptionType *type, const char *file, int line,
                     const char *function) {
    if (current_context == nullptr) {
        library_fatal_error(&ContextHasNotBegunYet,
                            "exc_frame_catch_: The exception context for this program has not "
                            "begun yet.",
                            file, line, function, errno);
    }
    require_frame("exc_frame_catch_");
    ExceptionFrame *frame = exc_main_context_.top_frame;
    if (frame->stage != EXC_STAGE_CATCH) return 0;
    if (type == nullptr) {
        library_fatal_error(&NullPointerException, "EXC_CATCH: A NULL argument was passed.", file,
                            line, function, errno);
    }
    /*
     * Only reads the held exception and marks it caught: a signal in
     * between abandons the test and resumes the block, so no critical
     * section is needed.
     */
    const Exception *held = frame->held_exception;
    if (held == nullptr || held->type == nullptr) {
        EXC_FATAL_HERE(ExceptionSystemFatalError,
                       "The exception context for this program is in an invalid state.",
                       "exc_frame_catch_");
    }
    int taken = exception_type_extends(held->type, type);
    if (taken) frame->uncaught = 0;
    return taken;
}

void exc_frame_repeat_(int max_attempts, int stage, const char *file, int line,
                       const char *function) {
    enter_framework();
    if (current_context == nullptr) {
        library_fatal_error(&ContextHasNotBegunYet,
                            stage == 0 ? "EXC_REACQUIRE: The exception context for this program "
                                         "has not begun yet."
                                       : "EXC_RETRY: The exception context for this program has "
                                         "not begun yet.",
                            file, line, function, errno);
    }
    require_frame("exc_frame_repeat_");
    ExceptionFrame *frame = exc_main_context_.top_frame;
    if (frame == &root_frame) {
        library_fatal_error(&ExceptionSystemFatalError,
                            stage == 0 ? "EXC_REACQUIRE: There is no EXC_WITH block to reacquire."
                                       : "EXC_RETRY: There is no EXC_TRY block to retry.",
                            file, line, function, errno);
    }
    const Exception *held = frame->held_exception;
    if (frame->uncaught && held != nullptr &&
        (held->type == nullptr || held->type == &AssertionException)) {
        leave_framework();
        return;
    }
    int32_t *count = nullptr;
    if (stage == 0) {
        count = &frame->reacquire_count;
    } else if (stage == 1) {
        count = &frame->retry_count;
    } else {
        library_fatal_error(&ExceptionSystemFatalError,
                            "exc_frame_repeat: The specified stage can't be repeated.", file, line,
                            function, errno);
    }
    if (*count >= max_attempts) {
        leave_framework();
        return;
    }
    *count += 1;
    exception_release(frame->held_exception);
    frame->held_exception = nullptr;
    frame->uncaught = 0;
    if (!(frame->flags & EXC_FRAME_WITH_BLOCK)) {
        frame->stage = stage;
    } else if (frame->stage == EXC_STAGE_READY) {
        /*
         * A with-block in its use holds the resource: a retry uses it
         * again; a reacquire lets the use go on to the disposal, which then
         * starts the block over.
         */
        if (stage == EXC_STAGE_START) {
            frame->reacquire_pending = 1;
        } else {
            frame->stage = EXC_STAGE_ACQUIRE;
        }
    } else {
        /* Anywhere else the resource was disposed of or never acquired. */
        frame->stage = EXC_STAGE_START;
    }
    resume_block(frame, nullptr, false);
}
