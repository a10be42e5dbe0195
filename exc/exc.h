/*
 * exc.h - the exception framework: typed exceptions with causes, try/catch/
 * finally blocks built on sigsetjmp/siglongjmp, retry and reacquire, and
 * signals turned into exceptions.
 *
 * A block looks like this:
 *
 *     EXC_TRY {
 *         ...
 *     } EXC_CATCH(RuntimeException) {
 *         const Exception *e = exc_get_exception();
 *         ...
 *     } EXC_FINALLY {
 *         ...
 *     }
 *
 * A throw or a signal leaves every frame between it and the block that takes
 * it like a jump: nothing with a non-trivial destructor may be alive in such a
 * frame, and a local variable changed inside the body and read after a jump
 * back into the block must be volatile.
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

#ifdef __cplusplus
extern "C" {
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
    /* Where the block resumes; with saves_signal_mask also the mask at entry. */
    sigjmp_buf resume_point;
    /* 1: resuming restores the mask saved at entry; 0: a mask-free block. */
    int32_t saves_signal_mask;
} ExceptionFrame;

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

/* Declares and defines program exception types. */
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

/* The default signal-mapping list. */
extern const SignalMapping exc_default_signal_mappings_array[];
extern const SignalMapping *const exc_default_signal_mappings;

/* Context. */
void exc_context_begin(int handle_signals, ExceptionHandler on_uncaught);
void exc_context_end(void);
int exc_context_is_ready(void);
void exc_context_set_signal_mappings(const SignalMapping *list);
const SignalMapping *exc_context_get_signal_mappings(void);

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
 */
void exc_defer_signals_begin(void);
void exc_defer_signals_end(void);

/* Exceptions. */
#ifdef __cplusplus
[[noreturn]]
#else
_Noreturn
#endif
void exc_exception_throw_verbatim_(const ExceptionType *type, const char *file, int line,
                                   const char *function, const char *message);
const Exception *exc_get_exception(void);
int exc_is_instance_of(const Exception *exception, const ExceptionType *type);
void exc_print_exception(const Exception *exception);
void exc_print_exception_type(const ExceptionType *type);
int exc_get_status(void);
int exc_library_version(void);

/*
 * Block machinery: a block's steps as calls. The macros below take the same
 * steps inline (exc_frame_enter_, exc_frame_advance_) and call in here only
 * to test a catch clause, to repeat a block and to end one that holds an
 * exception.
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

#ifdef __cplusplus
[[noreturn]]
#else
_Noreturn
#endif
void exc_frame_enter_failed_(int first_stage, const char *file, int line, const char *function);
int exc_frame_leave_(ExceptionFrame *frame);

/* Keeps the compiler from moving memory accesses across this point, so a
 * signal handler sees the frame exactly as the code before it left it. */
#define EXC_SIGNAL_FENCE_() __atomic_signal_fence(__ATOMIC_SEQ_CST)

/*
 * Pushes a block's frame right after its resume point was saved, so a
 * signal finds either the outer block on top or this one, complete and
 * ready to resume.
 */
static inline void exc_frame_enter_(ExceptionFrame *frame, int first_stage, int saves_mask,
                                    const char *file, int line, const char *function) {
    ExceptionFrame *outer = exc_main_context_.top_frame;
    if (__builtin_expect(outer == 0, 0)) exc_frame_enter_failed_(first_stage, file, line, function);
    frame->outer = outer;
    frame->stage = first_stage;
    frame->uncaught = 0;
    frame->held_exception = 0;
    frame->retry_count = 0;
    frame->reacquire_count = 0;
    frame->saves_signal_mask = saves_mask;
    EXC_SIGNAL_FENCE_();
    exc_main_context_.top_frame = frame;
}

/*
 * Advances the block's own frame to its next stage and returns it, or
 * returns 0 when the block is over (its frame popped). Called where no
 * clause is running: the block's loop puts a fence before it and one after
 * the stage it gives when a clause follows, so the stored stage always
 * tells a throw or a signal where the block stands, and the compiler can
 * still fold the steps between two clauses. A clean block leaves without a
 * call; one that holds an exception leaves through exc_frame_leave_.
 */
static inline int exc_frame_advance_(ExceptionFrame *frame) {
    int stage = frame->stage;
    if (__builtin_expect(stage < EXC_STAGE_FINALLY, 1)) {
        stage += 1;
        if (stage == EXC_STAGE_CATCH &&
            !(__builtin_expect(frame->uncaught, 0) && frame->held_exception != 0 &&
              frame->held_exception->type != 0 &&
              frame->held_exception->type != &AssertionException)) {
            stage = EXC_STAGE_FINALLY;
        }
        frame->stage = stage;
        return stage;
    }
    if (__builtin_expect(frame->held_exception != 0 || exc_main_context_.top_frame != frame, 0)) {
        return exc_frame_leave_(frame);
    }
    exc_main_context_.top_frame = frame->outer;
    return 0;
}

/*
 * How a block saves its resume point: with the signal mask (the default),
 * or without it where the translation unit defined EXC_NO_SIGNAL_MASK. The
 * frame records which, so the jump back knows whether to restore a mask.
 */
#ifdef EXC_NO_SIGNAL_MASK
#define EXC_SAVE_RESUME_POINT_(frame) _setjmp((frame).resume_point)
#define EXC_SAVES_MASK_ 0
#else
#define EXC_SAVE_RESUME_POINT_(frame) sigsetjmp((frame).resume_point, 1)
#define EXC_SAVES_MASK_ 1
#endif

/*
 * EXC_TRY expands to:
 *   a switch whose init-statement holds the block's frame (on the stack) and
 *   whose whole controlling expression saves the resume point (a form the
 *   language allows for the call);
 *   on the first return (case 0): push the frame, already in stage Try (the
 *   stages Acquire and Ready have nothing to do in a try block), and go
 *   straight to the body;
 *   on a later return (a delivered exception or a retry), `default`: the
 *   stage loop, whose passes each advance the frame's stage into exc_stage_
 *   and run at most one of the body (stage Ready, which the body guard moves
 *   on to Try), the first catch clause that takes the exception, or the
 *   finally clause. The first return joins the loop when the body ends.
 * The body follows the macro; EXC_CATCH and EXC_FINALLY chain on as else-if.
 * exc_stage_ is set afresh at the head of every pass, so no jump back into
 * the block finds it stale. The body's label is made unique by __COUNTER__.
 * A clean block makes no call but the one that saves its resume point.
 */
#define EXC_CONCAT_(a, b) a##b
#define EXC_BODY_LABEL_(n) EXC_CONCAT_(exc_body_, n)
#define EXC_TRY EXC_TRY_(EXC_BODY_LABEL_(__COUNTER__))
#define EXC_TRY_(body_label)                                                                 \
    switch (ExceptionFrame exc_frame_; EXC_SAVE_RESUME_POINT_(exc_frame_))                   \
    case 0:                                                                                  \
        if (exc_frame_enter_(&exc_frame_, EXC_STAGE_TRY, EXC_SAVES_MASK_, __FILE__, __LINE__,  \
                             __func__),                                                      \
            EXC_SIGNAL_FENCE_(), 1)                                                          \
            goto body_label;                                                                 \
        else                                                                                 \
        default:                                                                             \
            for (int exc_stage_;                                                             \
                 (exc_stage_ = (EXC_SIGNAL_FENCE_(), exc_frame_advance_(&exc_frame_))) != 0;) \
                if (exc_stage_ == EXC_STAGE_READY && exc_frame_advance_(&exc_frame_) &&      \
                    (EXC_SIGNAL_FENCE_(), 1))                                                \
                body_label:

/* A catch clause for Type and every type that extends it. */
#define EXC_CATCH(Type)                     \
    else if (exc_stage_ == EXC_STAGE_CATCH && \
             exc_frame_catch_(&(Type), __FILE__, __LINE__, __func__))

/* The finally clause: runs once, whatever happened in the block. */
#define EXC_FINALLY else if (exc_stage_ == EXC_STAGE_FINALLY && (EXC_SIGNAL_FENCE_(), 1))

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
