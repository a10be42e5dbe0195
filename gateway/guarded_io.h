/*
 * guarded_io.h - the program's output, heap blocks and files, made safe
 * against signals. A signal becomes an exception that abandons the running
 * code like a jump; jumping out of the middle of printf, fflush, malloc,
 * free, fopen or fclose would leave stdio's buffer or the heap half updated
 * (a line written twice, a corrupted heap). These functions hold a signal
 * back until the call is complete and deliver it right after.
 *
 * What they take or give back is stored in the caller's variable before the
 * signal can come, so a block or a stream is never left in no variable at
 * all, and a variable never points at something already given back.
 */
#ifndef GATEWAY_GUARDED_IO_H
#define GATEWAY_GUARDED_IO_H

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "exc/exc.h"

/* printf to standard output. */
int Print(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* fprintf to standard error. */
int PrintError(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* fflush of standard output. */
void FlushOutput();

/* The errno of the first write to standard output (Print, FlushOutput) that
 * failed, or 0 when none did. */
int OutputError();

/* *slot = malloc(size): null when no memory is left. */
template <typename T>
void TakeBlock(T **slot, size_t size) {
    exc_defer_signals_begin();
    *slot = static_cast<T *>(malloc(size));
    exc_defer_signals_end();
}

/* free(*slot), then *slot = null. */
template <typename T>
void GiveBackBlock(T **slot) {
    exc_defer_signals_begin();
    free(*slot);
    *slot = nullptr;
    exc_defer_signals_end();
}

/* *file = fopen(path, mode) or fdopen(fd, mode): null on failure. */
void OpenFile(FILE *volatile *file, const char *path, const char *mode);
void OpenDescriptor(FILE *volatile *file, int fd, const char *mode);

/* fclose(*file), then *file = null; fclose's result. */
int CloseFile(FILE *volatile *file);

/*
 * write(2) until all length bytes are written, again after EINTR; false
 * (errno set) on a failure. Plain system calls: also safe where stdio and the
 * heap are not (an uncaught-exception handler, an exit hook).
 */
bool WriteAll(int fd, const char *bytes, size_t length);

#endif
