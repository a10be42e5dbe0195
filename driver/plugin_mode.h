/*
 * plugin_mode.h - gwcheck as a monitoring plugin (--nagios). Standard
 * output is held back while the check runs; at the end one status line
 * comes first, "GWCHECK OK - demo@gw1:9000 logged in, 8 steps in 0.012 s |
 * 'time'=0.012s;W;C;0 'session'=...", with one performance value per step
 * that ran, and the account follows as long output. Exit statuses: 0 OK,
 * 1 WARNING (the check succeeded, over -w), 2 CRITICAL (the check failed,
 * its deadline passed, or over -c), 3 UNKNOWN (a usage error, an unusable
 * credentials file, a write error, a stop signal, an internal error).
 */
#ifndef DRIVER_PLUGIN_MODE_H
#define DRIVER_PLUGIN_MODE_H

#include "driver/command_line.h"

enum PluginStatus { kPluginOk = 0, kPluginWarning = 1, kPluginCritical = 2, kPluginUnknown = 3 };

/*
 * Holds standard output back from here on (in a memory file). Should the
 * process end before FinishPluginRun, the held account still comes out,
 * after an UNKNOWN status line. False (said on standard error) when it
 * cannot be held.
 */
bool HoldAccount();

/* Why a run's result is UNKNOWN, when it is; the status line says it. */
void NoteUnknownReason(const char *format, ...) __attribute__((format(printf, 1, 2)));

/*
 * The plugin's verdict on a run that ended with run_status (0, 1 or 2 as
 * without --nagios): prints the status line and the held account to the
 * real standard output and returns the plugin's exit status; 3 when that
 * output could not be written (said on standard error).
 */
int FinishPluginRun(int run_status, const RunOptions &options);

/* A usage error in plugin mode: the status line names it. */
void ReportPluginUsageError(const char *problem);

#endif
