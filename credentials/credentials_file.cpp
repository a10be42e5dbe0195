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
 * checks every write, gives it the original's owner and group and the mode
 * 0600 (it holds a password), syncs it, and renames it over the original in
 * one step: the original is either untouched or completely replaced. A
 * symbolic link is followed, and the file it leads to is the original, so the
 * link stays a link. Only regular files are read: a FIFO or a device would
 * block the open or the read, or never end.
 */
#include "credentials/credentials.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "credentials/sibling_files.h"
#include "gateway/guarded_io.h"

namespace {

/* Why the last operation failed, in words for standard error. */
char problem[256];

__attribute__((format(printf, 1, 2))) void NoteProblem(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(problem, sizeof problem, format, arguments);
    va_end(arguments);
}

/*
 * Where each line of the file goes, in file order, and the longest line it
 * takes. A line and its newline must fit one read of the field's width, so
 * such a line holds two characters less than the field; a last line without
 * a newline may fill the field to its terminator. The host is the exception:
 * it takes whatever the login message's host field can carry, 127
 * characters, whichever way its line ends.
 */
struct CredentialsField {
    size_t offset;
    size_t size;
    size_t longest_with_newline;
};

const CredentialsField kCredentialsFields[] = {
    {offsetof(LoginRecord, user_name), sizeof(LoginRecord::user_name),
     sizeof(LoginRecord::user_name) - 2},
    {offsetof(LoginRecord, password), sizeof(LoginRecord::password),
     sizeof(LoginRecord::password) - 2},
    {offsetof(LoginRecord, host), sizeof(LoginRecord::host), sizeof(LoginRecord::host) - 1},
    {offsetof(LoginRecord, port), sizeof(LoginRecord::port), sizeof(LoginRecord::port) - 2},
};

/* The longest accepted text of a field's line, by how the line ends. */
size_t LineLimit(const CredentialsField &field, bool ends_with_newline) {
    return ends_with_newline ? field.longest_with_newline : field.size - 1;
}

enum LineResult { kLineRead, kEndOfFile, kLineTooLong, kLineHasNul, kLineReadFailed };

/*
 * Reads one whole line of a field into buffer (room for the field's size in
 * characters and the terminator), without its line end: a
 * newline, or a carriage return and a newline, as a file edited on another
 * system has them; a carriage return that ends the last line goes too. A last
 * line without a newline counts as a line; nothing at all before the end of
 * the file is kEndOfFile. *limit is the longest text this line could hold.
 */
LineResult ReadWholeLine(FILE *file, char *buffer, const CredentialsField &field,
                         size_t *limit) {
    const size_t field_size = field.size;
    size_t length = 0;
    int c;
    int last = EOF;
    /* The whole line is read, so that how it ends decides its limit. */
    while ((c = getc(file)) != EOF && c != '\n') {
        if (c == '\0') {
            return kLineHasNul;
        }
        if (length < field_size) {
            buffer[length] = static_cast<char>(c);
        }
        ++length;
        last = c;
    }
    if (c == EOF) {
        if (ferror(file)) {
            return kLineReadFailed;
        }
        if (length == 0) {
            return kEndOfFile;
        }
    }
    if (last == '\r') {
        --length;
    }
    *limit = LineLimit(field, c == '\n');
    if (length > *limit) {
        return kLineTooLong;
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
    NoteProblem("%s failed: %s", what, strerror(saved_errno));
    errno = saved_errno;
}

/*
 * Opens path for reading, and only if it is a regular file (links
 * followed): the open does not wait (O_NONBLOCK), so a FIFO or a device
 * cannot hold it up, and the open file's own type decides. *file is null on
 * failure, with errno set and the problem noted.
 */
void OpenRegularFile(FILE *volatile *file, const char *path) {
    exc_defer_signals_begin();
    *file = nullptr;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (fd < 0) {
        NoteProblem("%s", strerror(errno));
    } else if (fstat(fd, &status) != 0) {
        NoteProblem("%s", strerror(errno));
    } else if (!S_ISREG(status.st_mode)) {
        NoteProblem("not a regular file");
        errno = EINVAL;
    } else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        NoteProblem("%s", strerror(errno));
    } else {
        *file = fdopen(fd, "r");
        if (*file == nullptr) {
            NoteProblem("%s", strerror(errno));
        }
    }
    if (fd >= 0 && *file == nullptr) {
        int saved_errno = errno;
        close(fd);
        errno = saved_errno;
    }
    exc_defer_signals_end();
}

/* True when the next read of source finds the end of the file. */
bool AtEndOfFile(FILE *source) {
    int c = getc(source);
    if (c == EOF) {
        return !ferror(source);
    }
    ungetc(c, source);
    return false;
}

/*
 * The file a path names, with every symbolic link followed, into target
 * (PATH_MAX bytes). Replacing that file, not the link, keeps the link and
 * what it points at in step. False when the path leads to no file.
 */
bool ResolveTarget(const char *path, char *target) {
    /* realpath may use the heap: a signal waits until it is done. */
    exc_defer_signals_begin();
    bool resolved = realpath(path, target) != nullptr;
    exc_defer_signals_end();
    return resolved;
}

/*
 * Gives the new file the old one's owner and group, and the mode 0600
 * whatever the old one had: it holds a password. A process that may not give
 * a file away keeps it, and still gives it the old group when it is a
 * member. Returns fchmod's result.
 */
int KeepOwnerOnly(int fd, const struct stat &original) {
    if (fchown(fd, original.st_uid, original.st_gid) != 0 &&
        fchown(fd, static_cast<uid_t>(-1), original.st_gid) != 0) {
        /* Neither: the file stays ours, with our group. */
    }
    return fchmod(fd, S_IRUSR | S_IWUSR);
}



}  // namespace

int32_t ReadIniFile(LoginRecord *record, const char *path) {
    /* Opened in the try body, closed in the finally clause only. */
    FILE *volatile file = nullptr;

    problem[0] = '\0';
    CountOperationIn();
    EXC_TRY {
        OperationBodyBegins();
        if (record == nullptr || path == nullptr) {
            EXC_THROW(IllegalArgumentException, "ReadIniFile needs a login record and a path.");
        }
        OpenRegularFile(&file, path);
        if (file == nullptr) {
            EXC_THROW(FileOpenException, path);
        }

        LoginRecord filled;
        memcpy(&filled, record, sizeof filled);
        char message[128];
        int line_number = 0;
        for (const CredentialsField &field : kCredentialsFields) {
            ++line_number;
            char line[sizeof(LoginRecord::host) + 1];
            size_t limit = 0;
            switch (ReadWholeLine(file, line, field, &limit)) {
            case kLineRead:
                memcpy(reinterpret_cast<char *>(&filled) + field.offset, line, strlen(line) + 1);
                break;
            case kEndOfFile:
                /* A short file: this field keeps what it held. */
                break;
            case kLineTooLong:
                snprintf(message, sizeof message, "Line %d is longer than %zu characters in %s",
                         line_number, limit, path);
                NoteProblem("line %d is longer than %zu characters", line_number, limit);
                EXC_THROW(FileReadException, message);
            case kLineHasNul:
                snprintf(message, sizeof message, "Line %d holds a NUL byte in %s", line_number,
                         path);
                NoteProblem("line %d holds a NUL byte", line_number);
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
        explicit_bzero(&filled, sizeof filled);
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

    problem[0] = '\0';
    CountOperationIn();
    EXC_TRY {
        OperationBodyBegins();
        if (path == nullptr || text == nullptr) {
            EXC_THROW(IllegalArgumentException, "UpdateIniFile needs a path and a text.");
        }
        /* A link is followed: its target is replaced, in the target's own directory. */
        char target_path[PATH_MAX];
        if (!ResolveTarget(path, target_path)) {
            NoteProblem("%s", strerror(errno));
            EXC_THROW(FileOpenException, path);
        }
        OpenRegularFile(&source, target_path);
        if (source == nullptr) {
            EXC_THROW(FileOpenException, path);
        }
        char message[128];
        struct stat original;
        if (fstat(fileno(source), &original) != 0) {
            IoErrorMessage(message, sizeof message, "stat", path);
            EXC_THROW(InputOutputException, message);
        }

        /* Made inside the block, so that its finally clause removes it whatever comes. */
        if (!TemporaryTemplate(temporary_name, sizeof temporary_name, target_path)) {
            errno = ENAMETOOLONG;
            NoteProblem("%s", strerror(errno));
            EXC_THROW(FileOpenException, path);
        }
        exc_defer_signals_begin();
        temporary_fd = mkstemp(temporary_name);
        int mkstemp_errno = errno;
        temporary_exists = (temporary_fd >= 0);
        exc_defer_signals_end();
        if (temporary_fd < 0) {
            errno = mkstemp_errno;
            NoteProblem("cannot create a file in its directory: %s", strerror(errno));
            EXC_THROW(FileOpenException, temporary_name);
        }
        exc_defer_signals_begin();
        OpenDescriptor(&target, temporary_fd, "w");
        if (target != nullptr) {
            temporary_fd = -1; /* the stream owns the descriptor now */
        }
        exc_defer_signals_end();
        if (target == nullptr) {
            NoteProblem("%s", strerror(errno));
            EXC_THROW(FileOpenException, temporary_name);
        }

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
         * After a last line without a newline, the text starts a line of its
         * own instead of being glued to that line.
         */
        bool source_ended = (length == 0) || (last_line_open && AtEndOfFile(source));
        if (last_line_open && source_ended && fputc('\n', target) == EOF) {
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
        if (KeepOwnerOnly(fileno(target), original) != 0) {
            IoErrorMessage(message, sizeof message, "chmod", temporary_name);
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

        if (rename(temporary_name, target_path) != 0) {
            IoErrorMessage(message, sizeof message, "rename", temporary_name);
            EXC_THROW(InputOutputException, message);
        }
        temporary_exists = false;
        SyncDirectoryOf(target_path);
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

const char *IniFileProblem() { return problem; }
