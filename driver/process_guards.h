/*
 * process_guards.h - what keeps gwcheck's process safe from its first line
 * to its exit: no core dump and no debugger's view of the password, signals
 * held back until the run's try block can take them and blocked once the
 * metrics are written, and the password wiped before the process ends.
 */
#ifndef DRIVER_PROCESS_GUARDS_H
#define DRIVER_PROCESS_GUARDS_H

#include "gateway/gateway.h"

/*
 * Holds back the asynchronous signals that the framework maps (stop
 * requests and the like; not the faults a program itself raises), so that
 * none ends the process by its default action before the handlers are in
 * place or abandons the start of the run. Called first thing in main.
 */
void HoldSignals();

/* Releases them: a signal that came meanwhile is delivered now, into the
 * block that is innermost. Also releases what a parent blocked. */
void ReleaseSignals();

/* Blocks every signal for good, as the process ends: nothing may come
 * between the metrics file and the exit. */
void BlockEverySignal();

/*
 * Makes the process non-dumpable (no core file, no ptrace by other users'
 * tools) with a core size limit of 0, and has the record and the generated
 * password wiped when the process exits. Called before any password is
 * copied into the process's own memory.
 */
void GuardSecrets(LoginRecord *record);

#endif
