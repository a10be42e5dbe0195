/*
 * sibling_files.h - files that gwcheck keeps beside a file of the user's
 * (the credentials file, the metrics file): temporary files on their way to
 * replacing it, a password pending between two runs, a lock file. Each name
 * is the file's own name followed by ".gwcheck-" and what it is for, a marker
 * no user would choose, so cleaning up after a killed run can never remove a
 * file of the user's (such as "alice.conf.backup").
 */
#ifndef CREDENTIALS_SIBLING_FILES_H
#define CREDENTIALS_SIBLING_FILES_H

#include <cstddef>

/* "<path>.gwcheck-<what>" into name (size bytes); false if it does not fit. */
bool SiblingName(char *name, size_t size, const char *path, const char *what);

/* The template "<path>.gwcheck-tmp-XXXXXX" for mkstemp; false if it does not fit. */
bool TemporaryTemplate(char *name, size_t size, const char *path);

/*
 * Removes the temporary files that a run killed while replacing path left
 * beside it: the names TemporaryTemplate makes, and nothing else. Uses the
 * heap (the directory is read): call it where signals are held back.
 */
void RemoveLeftoverTemporaryFiles(const char *path);

/* The directory that holds path ("." for a bare name), for messages; a
 * buffer of its own that the next call overwrites. */
const char *DirectoryOf(const char *path);

/*
 * Makes a rename or a removal in path's directory durable: syncs the
 * directory. False (errno set) when that failed.
 */
bool SyncDirectoryOf(const char *path);

#endif
