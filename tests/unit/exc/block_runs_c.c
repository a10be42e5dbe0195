/* block_runs_c.c - block_runs.inc compiled as C. */
#define RUN_WITH_BLOCK RunWithBlockC
#define RUN_TRY_BLOCKS RunTryBlocksC
#define BLOCK_RUNS_TYPE CRunnerException
#include "tests/unit/exc/block_runs.inc"
