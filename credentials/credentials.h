/*
 * credentials.h - the credentials file: a four-line text file holding the
 * user name, password, host and port of a login record, read into a record
 * by ReadIniFile; UpdateIniFile replaces one line of such a file in place.
 *
 * Both run in the operation frame: a failure prints one numbered line and
 * reaches the caller as the operation's own exception type
 * (ReadIniFileException, UpdateIniFileException) with the cause attached.
 */
#ifndef CREDENTIALS_CREDENTIALS_H
#define CREDENTIALS_CREDENTIALS_H

#include <cstdint>

#include "gateway/gateway.h"

/*
 * Fills the four text fields of *record from the first four lines of the
 * file at path and returns 0. Lines end with a newline or a carriage return
 * and a newline. A line longer than its field allows (30, 30, 127 and 6
 * characters; one more for a last user name, password or port line without
 * a newline) is refused, and so
 * is anything but a regular file (a FIFO would block); on any failure the
 * record is left exactly as it was. Missing lines leave their
 * fields as they were; the logged-in flag is never touched.
 */
int32_t ReadIniFile(LoginRecord *record, const char *path);

/*
 * Replaces line line_number (counted from 1; 1 or less means the first line)
 * of the file at path with text. Past the end, text is appended as a line of
 * its own after the last line. The new content is written to a temporary
 * file "<file>.gwcheck-tmp-XXXXXX" in the same directory, given the mode 0600
 * (and the file's owner and group where the process may set them), synced,
 * and renamed over the file in one step, the directory synced; on failure
 * the file is left untouched and no temporary file remains. A symbolic link
 * is followed: the file it leads to is replaced in its own directory, and
 * the link stays as it was. Only a regular file is read.
 */
void UpdateIniFile(const char *path, int32_t line_number, const char *text);

/*
 * Why the last ReadIniFile or UpdateIniFile failed, in words for standard
 * error: "No such file or directory", "not a regular file", "line 4 is
 * longer than 6 characters", ...
 */
const char *IniFileProblem();

/*
 * The password store of a credentials file, for GatewayLogin's renewals. A
 * new password is kept in "<file>.gwcheck-pending" (0600, written whole and
 * synced, its directory synced) before its change is sent; once the gateway
 * takes it, it replaces line 2 and the pending file goes. A run stopped in
 * between leaves it pending, and the next run settles it when it logs in.
 * Opening the store takes the exclusive lock "<file>.gwcheck-lock" beside
 * the file (waiting while another run holds it), so that two runs on one
 * file never overwrite each other's pending password, and removes the
 * temporary files a killed run left. Links are followed: these files lie
 * beside the file the path leads to. Null when the names do not fit.
 */
const PasswordStore *OpenPasswordStore(const char *path);
/* Releases the lock taken by OpenPasswordStore. */
void ClosePasswordStore();
/* The pending file's name, once the store is open. */
const char *PendingPasswordPath();

#endif
