/* sibling_files.cpp - the names and clean-up of the files gwcheck keeps beside a user's file. */
#include "credentials/sibling_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kMarker[] = ".gwcheck-";
constexpr char kTemporary[] = "tmp-";
/* mkstemp's suffix: six characters from this set. */
constexpr char kSuffixCharacters[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t kSuffixLength = 6;

/* Splits path into its directory ("." when it has none) and its last name. */
bool SplitPath(const char *path, char (&directory)[PATH_MAX], const char **name) {
    const char *slash = strrchr(path, '/');
    if (slash == nullptr) {
        strcpy(directory, ".");
        *name = path;
        return true;
    }
    size_t length = (slash == path) ? 1 : static_cast<size_t>(slash - path);
    if (length >= sizeof directory) {
        return false;
    }
    memcpy(directory, path, length);
    directory[length] = '\0';
    *name = slash + 1;
    return true;
}

/* True for "<name>.gwcheck-tmp-" followed by exactly a mkstemp suffix. */
bool IsLeftoverOf(const char *entry, const char *name) {
    size_t name_length = strlen(name);
    if (strncmp(entry, name, name_length) != 0) {
        return false;
    }
    entry += name_length;
    if (strncmp(entry, kMarker, sizeof kMarker - 1) != 0) {
        return false;
    }
    entry += sizeof kMarker - 1;
    if (strncmp(entry, kTemporary, sizeof kTemporary - 1) != 0) {
        return false;
    }
    entry += sizeof kTemporary - 1;
    return strlen(entry) == kSuffixLength && strspn(entry, kSuffixCharacters) == kSuffixLength;
}

}  // namespace

bool SiblingName(char *name, size_t size, const char *path, const char *what) {
    int written = snprintf(name, size, "%s%s%s", path, kMarker, what);
    return written > 0 && static_cast<size_t>(written) < size;
}

bool TemporaryTemplate(char *name, size_t size, const char *path) {
    return SiblingName(name, size, path, "tmp-XXXXXX");
}

void RemoveLeftoverTemporaryFiles(const char *path) {
    char directory[PATH_MAX];
    const char *name = nullptr;
    if (!SplitPath(path, directory, &name) || name[0] == '\0') {
        return;
    }
    DIR *entries = opendir(directory);
    if (entries == nullptr) {
        return;
    }
    bool removed = false;
    while (const struct dirent *entry = readdir(entries)) {
        if (IsLeftoverOf(entry->d_name, name) && unlinkat(dirfd(entries), entry->d_name, 0) == 0) {
            removed = true;
        }
    }
    closedir(entries);
    if (removed) {
        SyncDirectoryOf(path);
    }
}

const char *DirectoryOf(const char *path) {
    static char directory[PATH_MAX];
    const char *name = nullptr;
    return SplitPath(path, directory, &name) ? directory : ".";
}

bool SyncDirectoryOf(const char *path) {
    char directory[PATH_MAX];
    const char *name = nullptr;
    if (!SplitPath(path, directory, &name)) {
        errno = ENAMETOOLONG;
        return false;
    }
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool synced = fsync(fd) == 0;
    int saved_errno = errno;
    close(fd);
    errno = saved_errno;
    return synced;
}
