/*
 * credentials_file.cpp - reading a login record from a credentials file and
 * replacing one line of a text file.
 *
 * Both operations run in the operation frame (depth, one failure line,
 * rethrow as their own type) and hold their files in volatile variables so
 * that the finally clause, reached by a jump, closes exactly what is still
 * open. No object with a destructor lives here: a throw jumps across these
 * frames, so everything is fixed buffers and C stdio/POSIX.
 *
 * Reading fills a copy of the record and commits it only once all four lines
 * were accepted, so a refused file never leaves a half-filled record.
 * Replacing writes the new content to a temporary file next to the original,
 * checks every write, syncs it, and renames it over the original in one step:
 * the original is either untouched or completely replaced.
 */
#include "credentials/credentials.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "gateway/guarded_io.h"

namespace {

/* Where each line of the file goes, in file order. */
struct CredentialsField {
    size_t offset;
    size_t size;
};

const CredentialsField kCredentialsFields[] = {
    {offsetof(LoginRecord, user_name), sizeof(LoginRecord::user_name)},
    {offsetof(LoginRecord, password), sizeof(LoginRecord::password)},
    {offsetof(LoginRecord, host), sizeof(LoginRecord::host)},
    {offsetof(LoginRecord, port), sizeof(LoginRecord::port)},
};

/*
 * The longest accepted line of a field. One character less than the field
 * holds: such a line and its newline still fit one read of the field's width,
 * and the same limit applies to a last line that has no newline.
 */
size_t LineLimit(size_t field_size) { return field_size - 2; }

enum LineResult { kLineRead, kEndOfFile, kLineTooLong, kLineHasNul, kLineReadFailed };

/*
 * Reads one whole line into buffer (room for max_length characters and the
 * terminator), without its newline. A last line without a newline counts as a
 * line; nothing at all before the end of the file is kEndOfFile.
 */
LineResult ReadWholeLine(FILE *file, char *buffer, size_t max_length) {
    size_t length = 0;
    int c;
    while ((c = getc(file)) != EOF) {
        if (c == '\n') {
            break;
        }
        if (c == '\0') {
            return kLineHasNul;
        }
        if (length == max_length) {
            return kLineTooLong;
        }
        buffer[length++] = static_cast<char>(c);
    }
    if (c == EOF) {
        if (ferror(file)) {
            return kLineReadFailed;
        }
        if (length == 0) {
            return kEndOfFile;
        }
    }
    buffer[length] = '\0';
    return kLineRead;
}

/* A piece holds at most this many bytes: one line, or a part of a longer one. */
constexpr size_t kPieceCapacity = 255;

/*
 * Reads the next piece of the source: up to kPieceCapacity bytes, stopping
 * after a newline. Returns its length, 0 at the end of the file, -1 on a read
 * error. Bytes are counted, not scanned for a terminator, so any byte is kept.
 */
ptrdiff_t ReadPiece(FILE *source, char *piece) {
    size_t length = 0;
    int c = 0;
    while (length < kPieceCapacity && (c = getc(source)) != EOF) {
        piece[length++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    if (c == EOF && ferror(source)) {
        return -1;
    }
    return static_cast<ptrdiff_t>(length);
}

bool WritePiece(FILE *target, const char *piece, ptrdiff_t length) {
    return fwrite(piece, 1, static_cast<size_t>(length), target) == static_cast<size_t>(length);
}

/*
 * Formats "<what> failed (<reason>): <name>" for an InputOutputException.
 * errno is left as it was, so the exception records the failure's value.
 */
void IoErrorMessage(char *message, size_t size, const char *what, const char *name) {
    int saved_errno = errno;
    snprintf(message, size, "%s failed (%s): %s", what, strerror(saved_errno), name);
    errno = saved_errno;
}

/*
 * Builds the temporary file's template "<path>.XXXXXX", next to the file so
 * that the final rename never crosses a file system. False if it cannot fit.
 */
bool MakeTemporaryTemplate(char *name, size_t size, const char *path) {
    int written = snprintf(name, size, "%s.XXXXXX", path);
    return written > 0 && static_cast<size_t>(written) < size;
}

/*
 * Makes the rename durable: syncs the directory that holds path. The file is
 * already in place, so a failure here changes nothing and is not reported.
 */
void SyncDirectoryOf(const char *path) {
    char directory[PATH_MAX];
    const char *slash = strrchr(path, '/');
    if (slash == nullptr) {
        strcpy(directory, ".");
    } else {
        size_t length = (slash == path) ? 1 : static_cast<size_t>(slash - path);
        if (length >= sizeof directory) {
            return;
        }
        memcpy(directory, path, length);
        directory[length] = '\0';
    }
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

}  // namespace

int32_t ReadIniFile(LoginRecord *record, const char *path) {
    /* Opened in the try body, closed in the finally clause only. */
    FILE *volatile file = nullptr;

    ++depth;
    EXC_TRY {
        if (record == nullptr || path == nullptr) {
            EXC_THROW(IllegalArgumentException, "ReadIniFile needs a login record and a path.");
        }
        OpenFile(&file, path, "r");
        if (file == nullptr) {
            EXC_THROW(FileOpenException, path);
        }

        LoginRecord filled;
        memcpy(&filled, record, sizeof filled);
        char message[128];
        int line_number = 0;
        for (const CredentialsField &field : kCredentialsFields) {
            ++line_number;
            char line[sizeof(LoginRecord::user_name)];
            size_t limit = LineLimit(field.size);
            switch (ReadWholeLine(file, line, limit)) {
            case kLineRead:
                memcpy(reinterpret_cast<char *>(&filled) + field.offset, line, strlen(line) + 1);
                break;
            case kEndOfFile:
                /* A short file: this field keeps what it held. */
                break;
            case kLineTooLong:
                snprintf(message, sizeof message, "Line %d is longer than %zu characters in %s",
                         line_number, limit, path);
                EXC_THROW(FileReadException, message);
            case kLineHasNul:
                snprintf(message, sizeof message, "Line %d holds a NUL byte in %s", line_number,
                         path);
                EXC_THROW(FileReadException, message);
            case kLineReadFailed:
                IoErrorMessage(message, sizeof message, "read", path);
                EXC_THROW(InputOutputException, message);
            }
        }

        /* Every line accepted: commit the four texts, never the logged-in flag. */
        for (const CredentialsField &field : kCredentialsFields) {
            memcpy(reinterpret_cast<char *>(record) + field.offset,
                   reinterpret_cast<const char *>(&filled) + field.offset, field.size);
        }
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        Print("%d. ReadIniFile: (%s)%s\n", depth, e->type_name, e->message);
        EXC_THROW(ReadIniFileException, NULL);
    } EXC_FINALLY {
        if (file != nullptr) {
            CloseFile(&file);
        }
        --depth;
    }
    return 0;
}

void UpdateIniFile(const char *path, int32_t line_number, const char *text) {
    /* Each is open (or exists) until the step that ends it sets it back. */
    FILE *volatile source = nullptr;
    FILE *volatile target = nullptr;
    volatile int temporary_fd = -1;
    volatile bool temporary_exists = false;

    /* Set before the file exists, so it is stable when the finally clause reads it. */
    char temporary_name[PATH_MAX];
    temporary_name[0] = '\0';
    volatile int temporary_errno = ENAMETOOLONG;

    ++depth;
    EXC_TRY {
        /* Made inside the block, so that its finally clause removes it whatever comes. */
        if (path != nullptr &&
            MakeTemporaryTemplate(temporary_name, sizeof temporary_name, path)) {
            exc_defer_signals_begin();
            temporary_fd = mkstemp(temporary_name);
            temporary_errno = errno;
            temporary_exists = (temporary_fd >= 0);
            exc_defer_signals_end();
        }
        if (path == nullptr || text == nullptr) {
            EXC_THROW(IllegalArgumentException, "UpdateIniFile needs a path and a text.");
        }
        OpenFile(&source, path, "r");
        if (source == nullptr) {
            EXC_THROW(FileOpenException, path);
        }
        if (temporary_fd < 0) {
            errno = temporary_errno;
            EXC_THROW(FileOpenException, temporary_name[0] != '\0' ? temporary_name : path);
        }
        exc_defer_signals_begin();
        OpenDescriptor(&target, temporary_fd, "w");
        if (target != nullptr) {
            temporary_fd = -1; /* the stream owns the descriptor now */
        }
        exc_defer_signals_end();
        if (target == nullptr) {
            EXC_THROW(FileOpenException, temporary_name);
        }

        char message[128];
        char piece[kPieceCapacity + 1];
        ptrdiff_t length = 1;
        bool last_line_open = false; /* the last piece copied has no newline */

        /* Lines before the one replaced; a line number of 1 or less copies none. */
        for (int32_t number = 1; number < line_number; ++number) {
            length = ReadPiece(source, piece);
            if (length <= 0) {
                break;
            }
            if (!WritePiece(target, piece, length)) {
                IoErrorMessage(message, sizeof message, "write", temporary_name);
                EXC_THROW(InputOutputException, message);
            }
            last_line_open = (piece[length - 1] != '\n');
        }
        if (length < 0) {
            IoErrorMessage(message, sizeof message, "read", path);
            EXC_THROW(InputOutputException, message);
        }

        /*
         * Past the end of a file whose last line has no newline, the text
         * starts a line of its own instead of being glued to that line.
         */
        if (length == 0 && last_line_open && fputc('\n', target) == EOF) {
            IoErrorMessage(message, sizeof message, "write", temporary_name);
            EXC_THROW(InputOutputException, message);
        }
        if (fprintf(target, "%s\n", text) < 0) {
            IoErrorMessage(message, sizeof message, "write", temporary_name);
            EXC_THROW(InputOutputException, message);
        }

        /* Drop the replaced line, unless the file ended before it; then copy the rest. */
        if (length > 0) {
            length = ReadPiece(source, piece);
        }
        while (length > 0) {
            length = ReadPiece(source, piece);
            if (length > 0 && !WritePiece(target, piece, length)) {
                IoErrorMessage(message, sizeof message, "write", temporary_name);
                EXC_THROW(InputOutputException, message);
            }
        }
        if (length < 0) {
            IoErrorMessage(message, sizeof message, "read", path);
            EXC_THROW(InputOutputException, message);
        }

        /* The new content must be on disk before it takes the original's place. */
        if (fflush(target) != 0) {
            IoErrorMessage(message, sizeof message, "write", temporary_name);
            EXC_THROW(InputOutputException, message);
        }
        if (fsync(fileno(target)) != 0) {
            IoErrorMessage(message, sizeof message, "sync", temporary_name);
            EXC_THROW(InputOutputException, message);
        }
        /* fclose releases the stream even when it fails. */
        if (CloseFile(&target) != 0) {
            IoErrorMessage(message, sizeof message, "close", temporary_name);
            EXC_THROW(InputOutputException, message);
        }
        CloseFile(&source);

        if (rename(temporary_name, path) != 0) {
            IoErrorMessage(message, sizeof message, "rename", temporary_name);
            EXC_THROW(InputOutputException, message);
        }
        temporary_exists = false;
        SyncDirectoryOf(path);
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        Print("%d. UpdateIniFile: (%s)%s\n", depth, e->type_name, e->message);
        EXC_THROW(UpdateIniFileException, NULL);
    } EXC_FINALLY {
        if (source != nullptr) {
            CloseFile(&source);
        }
        if (target != nullptr) {
            CloseFile(&target);
        }
        if (temporary_fd >= 0) {
            close(temporary_fd);
            temporary_fd = -1;
        }
        if (temporary_exists) {
            unlink(temporary_name);
            temporary_exists = false;
        }
        --depth;
    }
}
