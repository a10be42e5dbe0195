/*
 * exc.h - the exception framework: typed exceptions with causes, try/catch/
 * finally blocks and with-blocks built on sigsetjmp/siglongjmp, retry and
 * reacquire, and signals turned into exceptions. The manual page exc(3)
 * says the same at more length, with a complete example.
 *
 * Languages. The header works in C (C11 or later: -std=gnu11, or -std=c11
 * with _POSIX_C_SOURCE defined as 200809L on the command line, since the
 * blocks need sigjmp_buf from POSIX <setjmp.h>) and in C++ (C++17 or later),
 * compiled by gcc or clang. Link with -lexc (pkg-config exc; CMake target
 * exc::exc); the library needs nothing but the C library.
 *
 * The context comes first. Every block, throw and status query needs the
 * one exception context of the process; a program begins it before its
 * first block and ends it when it is done, for example:
 *
 *     exc_context_begin(1, exc_print_exception);  (1: signals become exceptions)
 *     while (exc_context_is_ready()) {
 *         run();
 *         exc_context_end();
 *     }
 *
 * A block entered before exc_context_begin is a fatal error ("EXC_TRY: The
 * exception context for this program has not begun yet."), and so is
 * beginning the context twice. The second argument is called with an
 * exception that no block takes (the uncaught exit); the framework then
 * ends the context and the process (exit status: exc_set_exit_status).
 *
 * A try block:
 *
 *     EXC_TRY {
 *         ...                                    the body
 *     } EXC_CATCH(IllegalArgumentException) {    any number of clauses,
 *         const Exception *e = exc_get_exception();   first match wins
 *         ...
 *     } EXC_CATCH(RuntimeException) {            a type and all its subtypes
 *         ...
 *     } EXC_FINALLY {                            optional; runs once,
 *         ...                                    whatever happened
 *     }
 *
 * An exception that no clause takes runs the finally clause and goes on to
 * the enclosing block. An AssertionException is never offered to a catch
 * clause: it runs every finally clause on its way to the uncaught exit.
 *
 * A with-block acquires a resource, uses it, and disposes of it whatever
 * happens, but only if the acquisition finished:
 *
 *     FILE *volatile file = NULL;
 *     EXC_WITH(file = OpenOrThrow(path), fclose(file)) {
 *         ...                                    the use
 *     } EXC_CATCH(InputOutputException) {
 *         ...
 *     } EXC_FINALLY {
 *         ...
 *     }
 *
 * Its stages, in order (a try block has the same ones): Start, where it is
 * entered, runs nothing; Acquire runs the acquisition (the first argument);
 * Ready runs the use (the body); Try runs the disposal (the second
 * argument); Catch offers a pending exception to the catch clauses; Finally
 * runs the finally clause. An exception in Acquire skips Ready and Try and
 * goes to Catch, so nothing is used or disposed of; an exception in the use
 * comes to Catch after the disposal; an exception in the disposal goes to
 * Catch. The resource has therefore been disposed of, or was never
 * acquired, whenever a catch or finally clause runs. (A try block has
 * nothing to acquire or dispose of: it runs its body in Try.)
 *
 * Jumps. A throw or a signal leaves every frame between it and the block
 * that takes it like a jump: nothing with a non-trivial destructor may be
 * alive in such a frame, and a local variable that is changed inside a
 * block and read after a jump back into it (in a catch or finally clause,
 * on a retry, in the disposal) must be volatile. A block must not be left
 * by return, break, continue or goto: its frame would stay behind, which
 * is a fatal error when the next block ends or the context ends.
 *
 * Retry and reacquire. EXC_RETRY(n) in a catch clause runs the body again,
 * at most n times per entry of the block: EXC_RETRY(3) lets the body run up
 * to 4 times in all. Once the limit is reached, EXC_RETRY returns and the
 * rest of the catch clause runs, so code after it is the giving up. n of 0
 * or less never repeats. EXC_REACQUIRE(n) runs a with-block's acquisition
 * again (and then the use), at most n times per entry. In a with-block,
 * EXC_RETRY from a catch or finally clause acquires anew as well, since the
 * resource has been disposed of by then; from the use itself, EXC_RETRY
 * runs the use again with the resource it holds, and EXC_REACQUIRE first
 * disposes of that resource. Both are fatal errors outside every block.
 *
 * Throwing. EXC_THROW(Type, message) throws a new exception of Type with
 * the message (at most 127 characters; NULL: the type's default message)
 * and records the throw site and errno. A throw inside a catch clause gives
 * the new exception the caught one as its cause (exception->caused_by), and
 * a throw in a finally clause while an exception is pending gives it the
 * pending one: that is how an exception gets a cause. EXC_RETHROW() throws
 * a new exception of the held exception's type, with an empty message and
 * the held exception as its cause.
 *
 * Status. exc_get_status() tells what the innermost block holds: 0 nothing,
 * 1 an exception a catch clause took, 2 a pending exception (one that no
 * clause has taken yet, as in a finally clause on its way out).
 *
 * Reports (on standard error, never standard output). exc_print_exception
 * writes the framework's report of an exception: "Uncaught TYPE: MESSAGE",
 * the thrown-at line, each cause, errno and the type hierarchy. The heading
 * says "Uncaught" even when it is called for a caught exception in a catch
 * clause; the text is fixed. Misuse of the framework (a block before the
 * context, beginning it twice, a block left by return, retry outside a
 * block, ...) is a fatal error: the report of the misuse, then "This is an
 * unrecoverable programming error; the application will be terminated
 * immediately.", and a closing text that ends the process. A process that
 * exits with its context still begun gets a ContextNotEnded report and the
 * closing text.
 *
 * Exit status. When the framework ends the process itself (the uncaught
 * exit, a fatal error, the exit check), the exit status is 1, or what
 * exc_set_exit_status chose.
 *
 * Threads. The framework has one context per process, kept without locks:
 * use it from one thread only, and block the mapped signals in every other
 * thread (pthread_sigmask) so that none is delivered there. The closing text
 * of a fatal error asks to recompile the framework "with thread support (by
 * defining the macro EXC_THREADSAFE)"; that text is fixed, but no such build
 * exists: EXC_THREADSAFE changes nothing, in this header or in the library.
 *
 * Version. exc_library_version() returns 2008015, the version of the
 * framework's interface and behaviour that this library implements. It does
 * not follow the package version (pkg-config --modversion exc).
 *
 * Signal masks: a block restores the signal mask it was entered with each
 * time it resumes (after a throw, a signal, a retry). A translation unit that
 * defines EXC_NO_SIGNAL_MASK before including this header gets mask-free
 * blocks instead, which skip the system call that saves the mask on entry and
 * the one that restores it on resuming, and leave the mask as the body left
 * it (only a signal delivered to them is unblocked again); both kinds nest in
 * one program.
 */
#ifndef EXC_EXC_H
#define EXC_EXC_H

#include <setjmp.h>
#include <stdint.h>

/*
 * sigjmp_buf and sigsetjmp come from POSIX, which strict ISO C modes hide;
 * <setjmp.h> may already have been read without them, so the feature macro
 * cannot be set from here.
 */
#if !defined(__cplusplus) && !defined(_POSIX_C_SOURCE) && !defined(_POSIX_SOURCE) && \
    !defined(_XOPEN_SOURCE) && !defined(_GNU_SOURCE) && !defined(_DEFAULT_SOURCE) &&  \
    !defined(_BSD_SOURCE)
#error "exc.h needs sigjmp_buf and sigsetjmp from POSIX <setjmp.h>: compile with -std=gnu11 (or later), or define _POSIX_C_SOURCE as 200809L before the first #include (-D_POSIX_C_SOURCE=200809L)"
#endif
#if !defined(__cplusplus) && (!defined(__STDC_VERSION__) || __STDC_VERSION__ < 201112L)
#error "exc.h needs C11 or later (-std=gnu11 or -std=c11), or C++17 or later"
#endif

#ifdef __cplusplus
#define EXC_NORETURN_ [[noreturn]]
extern "C" {
#else
#define EXC_NORETURN_ _Noreturn
#endif

/* One constant record per exception type; types are compared by identity. */
typedef struct ExceptionType {
    const char *type_name;
    char default_message[128];
    const struct ExceptionType *supertype; /* a root refers to itself */
} ExceptionType;

/* One raised exception. It owns its cause. */
typedef struct Exception {
    const char *type_name;
    char message[128];
    const char *source_file;
    int32_t source_line;
    const char *source_function;
    int32_t errno_value;
    const ExceptionType *type;
    struct Exception *caused_by;
} Exception;

/* Block stages. */
enum {
    EXC_STAGE_START = 0,
    EXC_STAGE_ACQUIRE = 1,
    EXC_STAGE_READY = 2,
    EXC_STAGE_TRY = 3,
    EXC_STAGE_CATCH = 4,
    EXC_STAGE_FINALLY = 5,
    EXC_STAGE_DONE = 6
};

/* The record of one active block. It lives in the block's own storage. */
typedef struct ExceptionFrame {
    struct ExceptionFrame *outer;
    int32_t stage;
    int32_t uncaught;
    Exception *held_exception;
    int32_t retry_count;
    int32_t reacquire_count;
    /* Where the block resumes; with EXC_FRAME_RESTORES_MASK also the mask at entry. */
    sigjmp_buf resume_point;
    /* What kind of block: EXC_FRAME_RESTORES_MASK, EXC_FRAME_WITH_BLOCK. */
    int32_t flags;
    /* A with-block: a reacquire waits until the held resource is disposed of. */
    int32_t reacquire_pending;
} ExceptionFrame;

/* Resuming restores the signal mask saved at entry (not a mask-free block). */
#define EXC_FRAME_RESTORES_MASK 1
/* A with-block (it entered at EXC_STAGE_START). */
#define EXC_FRAME_WITH_BLOCK 2

typedef struct SignalMapping {
    int32_t signal_number; /* -1 ends a list */
    const ExceptionType *type; /* null: the signal is ignored */
} SignalMapping;

typedef void (*ExceptionHandler)(const Exception *exception);

typedef struct ExceptionContext {
    ExceptionFrame *top_frame;
    const SignalMapping *signal_mappings;
    ExceptionHandler on_uncaught;
} ExceptionContext;

/*
 * Declares and defines program exception types: EXC_DECLARE_EXCEPTION in a
 * header, EXC_DEFINE_EXCEPTION in one source file, with a default message of
 * at most 127 characters and the supertype (a type of its own, or the type
 * itself for a new root).
 */
#define EXC_DECLARE_EXCEPTION(Name) extern const ExceptionType Name
#define EXC_DEFINE_EXCEPTION(Name, default_message, Supertype) \
    const ExceptionType Name = {#Name, default_message, &(Supertype)}

/* The framework's own types. */
EXC_DECLARE_EXCEPTION(AssertionException);
EXC_DECLARE_EXCEPTION(RuntimeException);
EXC_DECLARE_EXCEPTION(NotEnoughMemoryException);
EXC_DECLARE_EXCEPTION(InputOutputException);
EXC_DECLARE_EXCEPTION(IllegalArgumentException);
EXC_DECLARE_EXCEPTION(SignalException);
EXC_DECLARE_EXCEPTION(SignalAlarmException);
EXC_DECLARE_EXCEPTION(SignalChildException);
EXC_DECLARE_EXCEPTION(SignalTrapException);
EXC_DECLARE_EXCEPTION(ErrorSignalException);
EXC_DECLARE_EXCEPTION(IllegalInstructionException);
EXC_DECLARE_EXCEPTION(ArithmeticException);
EXC_DECLARE_EXCEPTION(BrokenPipeException);
EXC_DECLARE_EXCEPTION(BadPointerException);
EXC_DECLARE_EXCEPTION(NullPointerException);
EXC_DECLARE_EXCEPTION(ControlSignalException);
EXC_DECLARE_EXCEPTION(StopException);
EXC_DECLARE_EXCEPTION(KillException);
EXC_DECLARE_EXCEPTION(HangUpException);
EXC_DECLARE_EXCEPTION(TerminationException);
EXC_DECLARE_EXCEPTION(AbortException);
EXC_DECLARE_EXCEPTION(CPUTimeException);
EXC_DECLARE_EXCEPTION(UserControlSignalException);
EXC_DECLARE_EXCEPTION(UserQuitException);
EXC_DECLARE_EXCEPTION(UserInterruptionException);
EXC_DECLARE_EXCEPTION(UserBreakException);
EXC_DECLARE_EXCEPTION(ProgramSignalException);
EXC_DECLARE_EXCEPTION(ProgramSignal1Exception);
EXC_DECLARE_EXCEPTION(ProgramSignal2Exception);

/*
 * The default signal-mapping list, which exc_context_begin(1, ...) puts in
 * force: SIGABRT, SIGFPE, SIGILL, SIGSEGV, SIGTERM, SIGINT, SIGALRM,
 * SIGCHLD, SIGTRAP, SIGPIPE, SIGHUP, SIGXCPU, SIGQUIT, SIGUSR1 and SIGUSR2
 * become AbortException, ArithmeticException, ... ProgramSignal2Exception.
 * A signal's exception names the signal as its file and its number as its
 * line. A list of one's own ends with {-1, NULL}; a null type ignores the
 * signal; the list must stay valid while it is in force.
 */
extern const SignalMapping exc_default_signal_mappings_array[];
extern const SignalMapping *const exc_default_signal_mappings;

/* Context. */
void exc_context_begin(int handle_signals, ExceptionHandler on_uncaught);
void exc_context_end(void);
int exc_context_is_ready(void);
void exc_context_set_signal_mappings(const SignalMapping *list);
const SignalMapping *exc_context_get_signal_mappings(void);

/*
 * The exit status the framework ends the process with when it ends it
 * itself: the uncaught exit, a fatal error and the exit check. 1 unless a
 * program chose another (1 to 255; any other value is a fatal error). It
 * may be set before the context begins and holds for the whole process.
 */
void exc_set_exit_status(int status);
int exc_get_exit_status(void);

/*
 * Delays the delivery of signals across code that must not be abandoned
 * halfway, such as a heap allocation or opening a file: a signal that arrives
 * in between is delivered by exc_defer_signals_end, as if it had arrived
 * there. Pairs may nest. A throw between them ends the deferral.
 *
 * Hold signals back like this around every stdio call that a mapped signal
 * may interrupt: a signal that lands in the middle of printf or fflush leaves
 * the stream half updated, and whatever prints or flushes next (a catch
 * clause, or the framework flushing standard output as it ends the process
 * after an uncaught exception) may then write a line twice or tear it.
 *
 * A fault (SIGSEGV, SIGFPE, SIGILL, SIGTRAP or SIGBUS raised by the code
 * itself) cannot wait: in between, it writes a report that names the signal
 * and says that signals were held back, and the signal's default action
 * ends the process.
 */
void exc_defer_signals_begin(void);
void exc_defer_signals_end(void);

/* Exceptions. */
EXC_NORETURN_ void exc_exception_throw_verbatim_(const ExceptionType *type, const char *file,
                                                 int line, const char *function,
                                                 const char *message);
const Exception *exc_get_exception(void);
int exc_is_instance_of(const Exception *exception, const ExceptionType *type);
void exc_print_exception(const Exception *exception);
void exc_print_exception_type(const ExceptionType *type);
int exc_get_status(void);
int exc_library_version(void);

/*
 * Block machinery: a block's steps as calls. The macros below take the same
 * steps inline (exc_frame_enter_, exc_frame_advance_, exc_frame_end_) and
 * call in here only to test a catch clause, to repeat a block and to end one
 * that holds an exception.
 */
ExceptionFrame *exc_frame_first_stage_(ExceptionFrame *storage, int first_stage, const char *file,
                                       int line, const char *function);
int exc_frame_next_stage_(void);
int exc_frame_get_stage_(const char *file, int line, const char *function);
int exc_frame_catch_(const ExceptionType *type, const char *file, int line, const char *function);
void exc_frame_repeat_(int max_attempts, int stage, const char *file, int line,
                       const char *function);

/* The one context; its top frame is null exactly while it is not begun. */
extern ExceptionContext exc_main_context_;

/*
 * The caught exception of a block that ended (with its causes), kept for
 * the next throw to reuse, or null: a block ends without a call when this
 * is free. Only code outside the signal handler takes from it.
 */
extern Exception *exc_spare_exception_;

EXC_NORETURN_ void exc_frame_enter_failed_(int first_stage, const char *file, int line,
                                           const char *function);
int exc_frame_leave_(ExceptionFrame *frame);

/* Keeps the compiler from moving memory accesses across this point, so a
 * signal handler sees the frame exactly as the code before it left it. */
#define EXC_SIGNAL_FENCE_() __atomic_signal_fence(__ATOMIC_SEQ_CST)

/*
 * Pushes a block's frame right after its resume point was saved, so a
 * signal finds either the outer block on top or this one, complete and
 * ready to resume.
 */
static inline void exc_frame_enter_(ExceptionFrame *frame, int first_stage, int flags,
                                    const char *file, int line, const char *function) {
    ExceptionFrame *outer = exc_main_context_.top_frame;
    if (__builtin_expect(outer == 0, 0)) exc_frame_enter_failed_(first_stage, file, line, function);
    frame->outer = outer;
    /* stage, and uncaught cleared, in one store */
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint64_t stage_and_uncaught = (uint32_t)first_stage;
#else
    uint64_t stage_and_uncaught = (uint64_t)(uint32_t)first_stage << 32;
#endif
    __builtin_memcpy(&frame->stage, &stage_and_uncaught, sizeof stage_and_uncaught);
    frame->held_exception = 0;
    frame->retry_count = 0;
    frame->reacquire_count = 0;
    frame->flags = flags;
    if (flags & EXC_FRAME_WITH_BLOCK) frame->reacquire_pending = 0;
    EXC_SIGNAL_FENCE_();
    exc_main_context_.top_frame = frame;
}

/*
 * The end of a block, when its frame is on top: a clean block pops its
 * frame; one that holds a caught exception hands it to the spare when that
 * is free and pops its frame; anything else (a pending exception to pass
 * on, a block left open inside) goes to exc_frame_leave_. Returns 0.
 */
static inline int exc_frame_end_(ExceptionFrame *frame) {
    Exception *held = frame->held_exception;
    if (__builtin_expect(exc_main_context_.top_frame != frame, 0)) return exc_frame_leave_(frame);
    if (__builtin_expect(held != 0, 0)) {
        if (frame->uncaught || exc_spare_exception_ != 0) return exc_frame_leave_(frame);
        /*
         * The exception becomes the spare before the frame lets go of it:
         * a signal in between, delivered to this frame, releases it as the
         * frame's and takes it back from the spare.
         */
        exc_spare_exception_ = held;
        EXC_SIGNAL_FENCE_();
        frame->held_exception = 0;
        EXC_SIGNAL_FENCE_();
    }
    exc_main_context_.top_frame = frame->outer;
    return 0;
}

/*
 * Advances the block's own frame to its next stage and returns it, or
 * returns 0 when the block is over (its frame popped): the stage advance of
 * exc_frame_next_stage_.
 */
static inline int exc_frame_advance_(ExceptionFrame *frame) {
    int stage = frame->stage;
    if (__builtin_expect(stage >= EXC_STAGE_FINALLY, 0)) return exc_frame_end_(frame);
    stage += 1;
    if (stage == EXC_STAGE_CATCH &&
        !(frame->uncaught && frame->held_exception != 0 && frame->held_exception->type != 0 &&
          frame->held_exception->type != &AssertionException)) {
        stage = EXC_STAGE_FINALLY;
    }
    frame->stage = stage;
    return stage;
}

/*
 * What the block's loop carries from one pass to the next in exc_stage_,
 * besides a stage: the block has just resumed (a delivered exception or a
 * repeat), so the frame's stored stage is to be advanced; a clause that
 * started (it is marked so before the user's code runs); a clause that
 * ended without a jump (marked so after it). So exc_stage_ is set anew on
 * both sides of every clause: it holds nothing across one that a jump back
 * into a block nested in it could clobber, and the compiler knows its value
 * at every step.
 */
#define EXC_STAGE_RESUMED_ (-1)
#define EXC_CLAUSE_STARTED_ 16
#define EXC_CLAUSE_ENDED_(stage) (32 + (stage))

/*
 * The step of a try block after a pass, from what the pass left in
 * exc_stage_: the body or a catch clause that ended, or a Catch pass that
 * no clause took, goes to Finally (no exception is pending then that the
 * catch clauses have not seen: one delivered in the body would have jumped
 * back); Finally ends the block. A clause that started and did not end was
 * left by break: the block stops at once and its frame stays behind, a
 * misuse that ends the process when the block around it or the context
 * ends. A block that resumed, and Start and Acquire after a reacquire, take
 * the full advance; a try block has nothing to run in Try but its body,
 * which only a pass in Ready starts, so an advance to Try goes on at once.
 * On a clean block's path every test folds, and the step is a store of the
 * stage and then the pop.
 */
static inline int exc_frame_step_(ExceptionFrame *frame, int stage) {
    EXC_SIGNAL_FENCE_();
    if (__builtin_expect(stage == EXC_CLAUSE_ENDED_(EXC_STAGE_READY) ||
                             stage == EXC_CLAUSE_ENDED_(EXC_STAGE_CATCH) ||
                             stage == EXC_STAGE_CATCH,
                         1)) {
        frame->stage = EXC_STAGE_FINALLY;
        EXC_SIGNAL_FENCE_();
        return EXC_STAGE_FINALLY;
    }
    if (__builtin_expect(
            stage == EXC_CLAUSE_ENDED_(EXC_STAGE_FINALLY) || stage == EXC_STAGE_FINALLY, 1)) {
        return exc_frame_end_(frame);
    }
    if (stage == EXC_CLAUSE_STARTED_) return 0;
    stage = exc_frame_advance_(frame);
    if (stage == EXC_STAGE_TRY) stage = exc_frame_advance_(frame);
    EXC_SIGNAL_FENCE_();
    return stage;
}

/* The step of a with-block: the full advance of its stored stage, fenced
 * so that the stage is read after the pass and written before the next. */
static inline int exc_frame_with_step_(ExceptionFrame *frame, int stage) {
    if (stage == EXC_CLAUSE_STARTED_) return 0;
    EXC_SIGNAL_FENCE_();
    stage = exc_frame_advance_(frame);
    EXC_SIGNAL_FENCE_();
    return stage;
}

/*
 * A catch clause's test, for a block in stage Catch: the test of
 * exc_frame_catch_ done inline when the block holds an exception with a
 * type, which is all a block that resumed in Catch can hold; anything else
 * goes to exc_frame_catch_, which reports it.
 */
static inline int exc_frame_catches_(ExceptionFrame *frame, const ExceptionType *type,
                                     const char *file, int line, const char *function) {
    const Exception *held = frame->held_exception;
    if (__builtin_expect(held != 0 && held->type != 0 && type != 0, 1)) {
        const ExceptionType *t = held->type;
        for (;;) {
            if (t == type) {
                frame->uncaught = 0;
                return 1;
            }
            if (t->supertype == t || t->supertype == 0) return 0;
            t = t->supertype;
        }
    }
    return exc_frame_catch_(type, file, line, function);
}

/* The body guard: the body of a try block runs in stage Try. */
static inline int exc_frame_begin_body_(ExceptionFrame *frame) {
    frame->stage = EXC_STAGE_TRY;
    EXC_SIGNAL_FENCE_();
    return 1;
}

/* After a with-block's disposal: a reacquire asked for in the use goes ahead. */
static inline void exc_frame_disposed_(ExceptionFrame *frame) {
    EXC_SIGNAL_FENCE_();
    if (__builtin_expect(frame->reacquire_pending, 0)) {
        frame->reacquire_pending = 0;
        frame->stage = EXC_STAGE_START;
    }
}

/*
 * How a block saves its resume point: with the signal mask (the default),
 * or without it where the translation unit defined EXC_NO_SIGNAL_MASK. The
 * frame records which, so the jump back knows whether to restore a mask.
 */
#ifdef EXC_NO_SIGNAL_MASK
#define EXC_SAVE_RESUME_POINT_(frame) _setjmp((frame).resume_point)
#define EXC_MASK_FLAG_ 0
#else
#define EXC_SAVE_RESUME_POINT_(frame) sigsetjmp((frame).resume_point, 1)
#define EXC_MASK_FLAG_ EXC_FRAME_RESTORES_MASK
#endif

/*
 * A block in C as in C++, EXC_TRY and EXC_WITH alike:
 *   two for statements that run once and hold the block's frame (on the
 *   stack) and exc_stage_, what the block's loop carries between passes;
 *   a switch whose whole controlling expression saves the resume point (a
 *   form the language allows for the call);
 *   on its first return (case 0), the block's loop: `first` pushes the
 *   frame and gives the first pass's stage; after each pass that ends
 *   without a jump the step `next` gives the next one, until the block is
 *   over (0). A pass runs at most one clause: the body (or, in a
 *   with-block, the acquisition, the use or the disposal), the first catch
 *   clause that takes the exception, or the finally clause;
 *   on a later return (a delivered exception or a repeat), `default`: a
 *   pass of its own inside the loop that only marks the block as resumed,
 *   so that the next step advances the frame's stored stage.
 * The user's clauses chain on as else-if, each wrapped by EXC_CLAUSE_ in a
 * for statement that runs it once and marks it started and ended.
 */
#define EXC_BLOCK_(first, next)                                                               \
    for (ExceptionFrame exc_frame_, *exc_frame_open_ = &exc_frame_; exc_frame_open_ != 0;     \
         exc_frame_open_ = 0)                                                                 \
        for (int exc_stage_ = EXC_STAGE_START; exc_frame_open_ != 0; exc_frame_open_ = 0)     \
            switch (EXC_SAVE_RESUME_POINT_(exc_frame_))                                       \
            case 0:                                                                           \
                for (first; exc_stage_ != 0; exc_stage_ = (next))                             \
                    if (0)                                                                    \
                    default:                                                                  \
                        exc_stage_ = EXC_STAGE_RESUMED_;

/* Runs the clause that follows once, marked started and then ended. */
#define EXC_CLAUSE_(stage)                                                                    \
    for (int exc_clause_ = (exc_stage_ = EXC_CLAUSE_STARTED_); exc_clause_ != 0;              \
         exc_clause_ = 0, exc_stage_ = EXC_CLAUSE_ENDED_(stage))

/*
 * EXC_TRY: the frame enters already in Try, the stages Acquire and Ready
 * having nothing to do in a try block, and the first pass runs the body.
 * A later pass runs it from Ready (after a retry), where the body guard
 * first puts the frame in Try; no step gives Try. The body follows the
 * macro; EXC_CATCH and EXC_FINALLY chain on. A clean block makes no call
 * but the one that saves its resume point, and on its path the compiler
 * knows exc_stage_ at every step and folds each to a store of the stage.
 */
#define EXC_TRY                                                                               \
    EXC_BLOCK_((exc_frame_enter_(&exc_frame_, EXC_STAGE_TRY, EXC_MASK_FLAG_, __FILE__,        \
                                 __LINE__, __func__),                                         \
                exc_stage_ = EXC_STAGE_TRY),                                                  \
               exc_frame_step_(&exc_frame_, exc_stage_))                                      \
    else if (exc_stage_ == EXC_STAGE_TRY ||                                                   \
             (exc_stage_ == EXC_STAGE_READY && exc_frame_begin_body_(&exc_frame_)))           \
        EXC_CLAUSE_(EXC_STAGE_READY)

/*
 * EXC_WITH(acquire, dispose): the frame enters at Start and every step is
 * the full stage advance. Acquire evaluates `acquire`, Ready runs the body
 * that follows the macro (the use), Try evaluates `dispose`; EXC_CATCH and
 * EXC_FINALLY chain on. Both arguments are expressions; put one that holds
 * a comma of its own in parentheses.
 */
#define EXC_WITH(acquire, dispose)                                                            \
    EXC_BLOCK_((exc_frame_enter_(&exc_frame_, EXC_STAGE_START,                                \
                                 EXC_MASK_FLAG_ | EXC_FRAME_WITH_BLOCK, __FILE__, __LINE__,   \
                                 __func__),                                                   \
                exc_stage_ = exc_frame_with_step_(&exc_frame_, EXC_STAGE_START)),             \
               exc_frame_with_step_(&exc_frame_, exc_stage_))                                 \
    else if (exc_stage_ == EXC_STAGE_ACQUIRE) {                                               \
        (void)(acquire);                                                                      \
    } else if (exc_stage_ == EXC_STAGE_TRY) {                                                 \
        (void)(dispose);                                                                      \
        exc_frame_disposed_(&exc_frame_);                                                     \
    } else if (exc_stage_ == EXC_STAGE_READY)                                                 \
        EXC_CLAUSE_(EXC_STAGE_READY)

/* A catch clause for Type and every type that extends it. */
#define EXC_CATCH(Type)                                                                       \
    else if (exc_stage_ == EXC_STAGE_CATCH &&                                                 \
             exc_frame_catches_(&exc_frame_, &(Type), __FILE__, __LINE__, __func__))          \
        EXC_CLAUSE_(EXC_STAGE_CATCH)

/* The finally clause: runs once, whatever happened in the block. */
#define EXC_FINALLY                                                                           \
    else if (exc_stage_ == EXC_STAGE_FINALLY) EXC_CLAUSE_(EXC_STAGE_FINALLY)

/* Throws Type with a message, or with the type's default message when NULL. */
#define EXC_THROW(Type, message) \
    exc_exception_throw_verbatim_(&(Type), __FILE__, __LINE__, __func__, (message))

/* Throws a new exception of the held exception's type with an empty message. */
#define EXC_RETHROW()                                                                        \
    exc_exception_throw_verbatim_(                                                           \
        exc_get_exception() ? exc_get_exception()->type : &NullPointerException, __FILE__,   \
        __LINE__, __func__, "")

/* Runs the try body again, at most max_attempts times per entry of the block. */
#define EXC_RETRY(max_attempts) \
    exc_frame_repeat_((max_attempts), 1, __FILE__, __LINE__, __func__)

/* Runs a with-block's acquisition again, at most max_attempts times per entry. */
#define EXC_REACQUIRE(max_attempts) \
    exc_frame_repeat_((max_attempts), 0, __FILE__, __LINE__, __func__)

#ifdef __cplusplus
}
#endif

#endif
