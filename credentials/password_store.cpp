/*
 * password_store.cpp - keeps a renewed password safe across a stop at any
 * moment. Before its change is sent, the new password is written whole to
 * "<file>.gwcheck-pending" (0600), synced, and renamed into place with the
 * directory synced. When the gateway takes it, it replaces line 2 of the
 * credentials file and the pending file goes; when the gateway refuses it,
 * the pending file goes. Whatever a stop leaves (a pending file, a temporary
 * file) is settled by the next run under the same lock.
 *
 * Runs while signals are held back, or inside GatewayLogin's deferred
 * window: nothing here is abandoned halfway by a signal.
 */
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "credentials/credentials.h"
#include "credentials/sibling_files.h"
#include "gateway/guarded_io.h"

namespace {

struct StoreFiles {
    const char *given_path;  /* as the user named it, for messages and UpdateIniFile */
    char file[PATH_MAX];     /* the credentials file, links followed */
    char pending[PATH_MAX];  /* "<file>.gwcheck-pending" */
    bool locked;             /* lock_fd holds the lock file */
    int lock_fd;
};
/* Zero at start, so it costs a run without a credentials file nothing. */
StoreFiles store;

/* Removes the pending file, durably. */
void DropPending() {
    if (unlink(store.pending) == 0) {
        SyncDirectoryOf(store.pending);
    } else if (errno != ENOENT) {
        PrintError("gwcheck: cannot remove %s: %s\n", store.pending, strerror(errno));
    }
}

/*
 * Reads the pending password: one line of 1 to size - 1 characters. A file
 * that holds anything else was not written by gwcheck and is no password:
 * it is said and removed.
 */
bool ReadPending(char *buffer, size_t size) {
    int fd = open(store.pending, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) {
            PrintError("gwcheck: cannot read %s: %s\n", store.pending, strerror(errno));
        }
        return false;
    }
    char text[64];
    ssize_t length = -1;
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        do {
            length = read(fd, text, sizeof text);
        } while (length < 0 && errno == EINTR);
    }
    close(fd);
    bool valid = length >= 2 && static_cast<size_t>(length) <= size && text[length - 1] == '\n' &&
                 memchr(text, '\0', static_cast<size_t>(length)) == nullptr &&
                 memchr(text, '\n', static_cast<size_t>(length) - 1) == nullptr;
    if (valid) {
        memcpy(buffer, text, static_cast<size_t>(length) - 1);
        buffer[length - 1] = '\0';
    } else {
        PrintError("gwcheck: %s holds no password; removed\n", store.pending);
        DropPending();
    }
    explicit_bzero(text, sizeof text);
    return valid;
}

/*
 * Writes the password to the pending file: a temporary file beside it,
 * synced, renamed into place, the directory synced. A pending password that
 * is already there is never overwritten: it may be the one in force.
 */
bool KeepPending(const char *password) {
    struct stat status;
    if (lstat(store.pending, &status) == 0) {
        PrintError("gwcheck: %s still holds a password of an earlier run; the password is not "
                   "changed\n",
                   store.pending);
        return false;
    }
    char temporary[PATH_MAX];
    if (!TemporaryTemplate(temporary, sizeof temporary, store.file)) {
        PrintError("gwcheck: cannot keep the new password beside %s: %s\n", store.given_path,
                   strerror(ENAMETOOLONG));
        return false;
    }
    int fd = mkstemp(temporary); /* 0600 */
    if (fd < 0) {
        PrintError("gwcheck: cannot keep the new password beside %s: %s (the directory %s must "
                   "be writable); the password is not changed\n",
                   store.given_path, strerror(errno), DirectoryOf(store.file));
        return false;
    }
    size_t length = strlen(password);
    bool kept = WriteAll(fd, password, length) && WriteAll(fd, "\n", 1) && fsync(fd) == 0;
    int saved_errno = errno;
    if (close(fd) != 0 && kept) {
        kept = false;
        saved_errno = errno;
    }
    if (kept && rename(temporary, store.pending) != 0) {
        kept = false;
        saved_errno = errno;
    }
    if (kept && !SyncDirectoryOf(store.pending)) {
        /* In place but perhaps not on disk: it must not be relied on. */
        kept = false;
        saved_errno = errno;
        unlink(store.pending);
    }
    if (!kept) {
        unlink(temporary);
        PrintError("gwcheck: cannot keep the new password beside %s: %s; the password is not "
                   "changed\n",
                   store.given_path, strerror(saved_errno));
    }
    return kept;
}

/* The pending password is in force: line 2 of the file takes it, then the pending file goes. */
bool PromotePending(const char *password) {
    volatile bool saved = false;
    EXC_TRY {
        UpdateIniFile(store.given_path, 2, password);
        saved = true;
    } EXC_CATCH(UpdateIniFileException) {
        PrintError("gwcheck: cannot save the new password in %s: %s (the directory %s must be "
                   "writable); it stays in %s for the next run\n",
                   store.given_path, IniFileProblem(), DirectoryOf(store.file), store.pending);
    }
    if (saved) {
        DropPending();
    }
    return saved;
}

const PasswordStore kCredentialsStore = {ReadPending, KeepPending, PromotePending, DropPending};

/* Takes the lock file beside the credentials file, waiting for another run. */
void TakeLock() {
    char lock_name[PATH_MAX];
    if (!SiblingName(lock_name, sizeof lock_name, store.file, "lock")) {
        return;
    }
    /* Without a writable directory there is no lock, and nothing to protect:
     * no pending password can be written there either. */
    store.lock_fd = open(lock_name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (store.lock_fd < 0) {
        return;
    }
    store.locked = true;
    if (flock(store.lock_fd, LOCK_EX | LOCK_NB) == 0) {
        return;
    }
    PrintError("gwcheck: waiting for another run to finish with %s\n", store.given_path);
    while (flock(store.lock_fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(store.lock_fd);
            store.locked = false;
            return;
        }
    }
}

}  // namespace

const PasswordStore *OpenPasswordStore(const char *path) {
    store.given_path = path;
    /* realpath takes heap memory: signals wait. */
    exc_defer_signals_begin();
    bool resolved = realpath(path, store.file) != nullptr;
    exc_defer_signals_end();
    if (!resolved && (strlen(path) >= sizeof store.file)) {
        return nullptr;
    }
    if (!resolved) {
        strcpy(store.file, path);
    }
    if (!SiblingName(store.pending, sizeof store.pending, store.file, "pending")) {
        return nullptr;
    }
    TakeLock();
    exc_defer_signals_begin();
    RemoveLeftoverTemporaryFiles(store.file);
    exc_defer_signals_end();
    return &kCredentialsStore;
}

void ClosePasswordStore() {
    if (store.locked) {
        close(store.lock_fd); /* releases the lock */
        store.locked = false;
    }
}

const char *PendingPasswordPath() { return store.pending; }
