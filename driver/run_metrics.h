/*
 * run_metrics.h - the run's outcome for a monitoring system: which steps ran
 * and how they ended, the exit status, the wall time and the network status,
 * written at the end of the run as a file in the Prometheus text exposition
 * format (what a node exporter's textfile collector reads).
 *
 * Every sample carries the labels user and gateway ("host:port"). The
 * password never appears. The file is written whole to a temporary file in
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
 * Refuses (false, the reason on standard error) a metrics path that exists
 * and is not a regular file, or that is the credentials file: writing the
 * metrics replaces the file. Warns when the name does not end in ".prom",
 * the only files a node exporter reads. True when there is no path.
 */
bool CheckMetricsPath(const char *metrics_path, const char *credentials_path);

/*
 * Starts the run's clock and remembers where the metrics go (null: nowhere)
 * and whose run it is; the record is read when the file is written.
 */
void StartRunMetrics(const char *path, const LoginRecord *record);

/* The step is running: it counts as failed unless StepEnds says otherwise. A
 * step that never began is left out of the file. */
void StepBegins(RunStep step);
void StepEnds(RunStep step, bool succeeded);

/*
 * Writes the metrics file for a run that ends with exit_status, when one was
 * asked for; a failure is said on standard error. Signals are held back while
 * the file is written. Also safe in the framework's uncaught-exception
 * handler: no heap, no stdio streams but standard error.
 */
void WriteRunMetrics(int exit_status);

#endif
