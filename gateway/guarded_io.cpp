/* guarded_io.cpp - output, heap blocks and files that a signal never abandons halfway. */
#include "gateway/guarded_io.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>

namespace {

/* The errno of the first write to standard output that failed; 0: none. */
int output_error;

void NoteOutputError(bool failed) {
    if (failed && output_error == 0) {
        output_error = errno != 0 ? errno : EIO;
    }
}

}  // namespace

int Print(const char *format, ...) {
    exc_defer_signals_begin();
    va_list arguments;
    va_start(arguments, format);
    errno = 0;
    int written = vprintf(format, arguments);
    NoteOutputError(written < 0 || ferror(stdout));
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
    errno = 0;
    NoteOutputError(fflush(stdout) != 0 || ferror(stdout));
    exc_defer_signals_end();
}

int OutputError() { return output_error; }

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

bool WriteAll(int fd, const char *bytes, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}
