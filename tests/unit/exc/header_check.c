/*
 * header_check.c - <exc/exc.h> used as a program would use it: nested
 * blocks, a with-block, retry and reacquire, a type of its own. Only
 * compiled (tests/unit/exc/CMakeLists.txt), as C and as C++.
 */
#include <stdio.h>

#include "exc/exc.h"

EXC_DECLARE_EXCEPTION(CheckException);
EXC_DEFINE_EXCEPTION(CheckException, "Check failed.", RuntimeException);

FILE *OpenOrThrow(const char *path);
int CheckBlocks(const char *path);

FILE *OpenOrThrow(const char *path) {
    FILE *file = fopen(path, "r");
    if (file == NULL) EXC_THROW(InputOutputException, path);
    return file;
}

int CheckBlocks(const char *path) {
    volatile int result = 0;
    FILE *volatile file = NULL;
    EXC_TRY {
        EXC_TRY {
            EXC_THROW(CheckException, NULL);
        } EXC_CATCH(CheckException) {
            EXC_RETRY(2);
            result = exc_get_status();
        } EXC_FINALLY {
            result = result + 1;
        }
        EXC_WITH(file = OpenOrThrow(path), fclose(file)) {
            if (fgetc(file) == EOF) EXC_THROW(InputOutputException, "empty");
        } EXC_CATCH(InputOutputException) {
            EXC_REACQUIRE(1);
        }
    } EXC_CATCH(RuntimeException) {
        EXC_RETHROW();
    }
    return result;
}
