/* guarded_io.cpp - output and heap blocks that a signal never abandons halfway. */
#include "gateway/guarded_io.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "exc/exc.h"

int Print(const char *format, ...) {
    exc_defer_signals_begin();
    va_list arguments;
    va_start(arguments, format);
    int written = vprintf(format, arguments);
    va_end(arguments);
    exc_defer_signals_end();
    return written;
}

void FlushOutput() {
    exc_defer_signals_begin();
    fflush(stdout);
    exc_defer_signals_end();
}

void *AllocateBlock(size_t size) {
    exc_defer_signals_begin();
    void *block = malloc(size);
    exc_defer_signals_end();
    return block;
}

void ReleaseBlock(void *block) {
    exc_defer_signals_begin();
    free(block);
    exc_defer_signals_end();
}

FILE *OpenFile(const char *path, const char *mode) {
    exc_defer_signals_begin();
    FILE *file = fopen(path, mode);
    exc_defer_signals_end();
    return file;
}

FILE *OpenDescriptor(int fd, const char *mode) {
    exc_defer_signals_begin();
    FILE *file = fdopen(fd, mode);
    exc_defer_signals_end();
    return file;
}

int CloseFile(FILE *file) {
    exc_defer_signals_begin();
    int status = fclose(file);
    exc_defer_signals_end();
    return status;
}
