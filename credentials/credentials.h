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
 * and a newline. A line longer than its field allows (30, 30, 14 and 6
 * characters; one more for a last line without a newline) is refused; on any
 * failure the record is left exactly as it was. Missing lines leave their
 * fields as they were; the logged-in flag is never touched.
 */
int32_t ReadIniFile(LoginRecord *record, const char *path);

/*
 * Replaces line line_number (counted from 1; 1 or less means the first line)
 * of the file at path with text. Past the end, text is appended as a line of
 * its own after the last line. The new content is written to a temporary
 * file in the same directory, given the file's mode (and its owner and group
 * where the process may set them), synced, and renamed over the file in one
 * step; on failure the file is left untouched and no temporary file remains.
 * A symbolic link is followed: the file it leads to is replaced in its own
 * directory, and the link stays as it was.
 */
void UpdateIniFile(const char *path, int32_t line_number, const char *text);

#endif
