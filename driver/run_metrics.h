/*
 * run_metrics.h - the record of the run for a monitoring system: which steps
 * ran, how they ended and how long each took, the exit status, the wall
 * time, the deadline and the network status. It is kept step by step, and
 * written at the end of the run as a file in the Prometheus text exposition
 * format (what a node exporter's textfile collector reads); the plugin
 * mode's status line is another view of the same record.
 *
 * Every sample carries the labels user and gateway ("host:port", an IPv6
 * host as "[address]:port"), and with a credentials file credentials (its
 * base name). The password never appears. The file is written whole to a temporary file in
 * its own directory ("<file>.gwcheck-tmp-XXXXXX") and renamed over the old
 * one, so a reader never sees half of it; one that a killed run left is
 * removed by the next.
 */
#ifndef DRIVER_RUN_METRICS_H
#define DRIVER_RUN_METRICS_H

#include "gateway/gateway.h"

/* The steps of a run, in the order they run. */
enum RunStep {
    kStepSession,
    kStepLogin,
    kStepFacilityType,
    kStepUserInfo,
    kStepSubscribe,
    kStepPoll,
    kStepUnsubscribe,
    kStepLogout,
    kRunStepCount
};

/*
 * Refuses (the reason, in words) a metrics path that exists and is not a
 * regular file, or that is the credentials file: writing the metrics
 * replaces the file. Warns on standard error when the name does not end in
 * ".prom", the only files a node exporter reads. Null when the path will do
 * (or there is none).
 */
const char *MetricsPathProblem(const char *metrics_path, const char *credentials_path);

/*
 * Starts the run's clock and remembers where the metrics go (null: nowhere)
 * and whose run it is; the record is read when the file is written.
 */
void StartRunMetrics(const char *path, const LoginRecord *record);

/* The credentials file the login came from: its base name labels every sample. */
void SetCredentialsLabel(const char *credentials_path);

/* The run's deadline in seconds (0: none), and that it passed. */
void SetRunDeadline(unsigned seconds);
void NoteDeadlinePassed();
bool DeadlinePassed();

/* The step is running: it counts as failed unless StepEnds says otherwise. A
 * step that never began is left out of the file. Each step's wall time is
 * taken on the monotonic clock. */
void StepBegins(RunStep step);
void StepEnds(RunStep step, bool succeeded);
/* A step that an exception ended: failed, its time up to now. */
void EndRunningStep();

/* The record, for the plugin mode's status line. */
const char *StepName(RunStep step);
/* -1 the step did not run, 0 it failed, 1 it succeeded. */
int StepOutcome(RunStep step);
double StepSeconds(RunStep step);
/* The run's wall time so far. */
double RunSeconds();
/* "user@host:port", an IPv6 host in brackets, into text (size bytes). */
void FormatUserAtGateway(char *text, size_t size);

/*
 * Writes the metrics file for a run that ends with exit_status, when one was
 * asked for; a failure is said on standard error. Signals are held back while
 * the file is written. Also safe in the framework's uncaught-exception
 * handler: no heap, no stdio streams but standard error.
 */
void WriteRunMetrics(int exit_status);

#endif
