/* guarded_io.cpp - output, heap blocks and files that a signal never abandons halfway. */
#include "gateway/guarded_io.h"

#include <cstdarg>

int Print(const char *format, ...) {
    exc_defer_signals_begin();
    va_list arguments;
    va_start(arguments, format);
    int written = vprintf(format, arguments);
    va_end(arguments);
    exc_defer_signals_end();
    return written;
}

int PrintError(const char *format, ...) {
    exc_defer_signals_begin();
    va_list arguments;
    va_start(arguments, format);
    int written = vfprintf(stderr, format, arguments);
    va_end(arguments);
    exc_defer_signals_end();
    return written;
}

void FlushOutput() {
    exc_defer_signals_begin();
    fflush(stdout);
    exc_defer_signals_end();
}

void OpenFile(FILE *volatile *file, const char *path, const char *mode) {
    exc_defer_signals_begin();
    *file = fopen(path, mode);
    exc_defer_signals_end();
}

void OpenDescriptor(FILE *volatile *file, int fd, const char *mode) {
    exc_defer_signals_begin();
    *file = fdopen(fd, mode);
    exc_defer_signals_end();
}

int CloseFile(FILE *volatile *file) {
    exc_defer_signals_begin();
    int status = fclose(*file);
    *file = nullptr;
    exc_defer_signals_end();
    return status;
}
