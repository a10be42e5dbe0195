/* block_runs_cpp.cpp - block_runs.inc compiled as C++. */
#define RUN_WITH_BLOCK RunWithBlockCpp
#define RUN_TRY_BLOCKS RunTryBlocksCpp
#define BLOCK_RUNS_TYPE CppRunnerException
#include "tests/unit/exc/block_runs.inc"
