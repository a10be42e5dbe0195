/*
 * sum - adds up the numbers in files, one number per line. A line that is
 * not a number is skipped with a warning, a file that cannot be opened is
 * tried once more and then ends the run with exit status 2, and Ctrl-C
 * ends it with 130.
 *
 *     cc -std=gnu11 -o sum sum.c $(pkg-config --cflags --libs exc)
 */
#include <stdio.h>
#include <stdlib.h>

#include <exc/exc.h>

EXC_DECLARE_EXCEPTION(NotANumberException);
EXC_DEFINE_EXCEPTION(NotANumberException, "Not a number.",
                     IllegalArgumentException);

static FILE *OpenOrThrow(const char *path) {
    FILE *file = fopen(path, "r");
    if (file == NULL) EXC_THROW(InputOutputException, path);
    return file;
}

static long ParseNumber(const char *line) {
    char *end;
    long value = strtol(line, &end, 10);
    if (end == line) EXC_THROW(NotANumberException, NULL);
    return value;
}

/* The file is closed whatever happens, and only if it was opened. */
static long SumFile(const char *path) {
    FILE *volatile file = NULL;
    volatile long sum = 0;
    char line[128];
    EXC_WITH(file = OpenOrThrow(path), fclose(file)) {
        while (fgets(line, sizeof line, file) != NULL) {
            EXC_TRY {
                sum += ParseNumber(line);
            } EXC_CATCH(NotANumberException) {
                fprintf(stderr, "%s: skipped: %s", path, line);
            }
        }
    } EXC_CATCH(InputOutputException) {
        EXC_REACQUIRE(1); /* opens it once more; if that fails too: */
        fprintf(stderr, "%s: cannot be read\n",
                exc_get_exception()->message);
        EXC_RETHROW(); /* the caught exception becomes the cause */
    }
    return sum;
}

int main(int argc, char **argv) {
    volatile int status = 0;
    exc_context_begin(1, exc_print_exception);
    while (exc_context_is_ready()) {
        EXC_TRY {
            for (int i = 1; i < argc; ++i) {
                printf("%s: %ld\n", argv[i], SumFile(argv[i]));
            }
        } EXC_CATCH(InputOutputException) {
            status = 2;
        } EXC_CATCH(UserInterruptionException) {
            status = 130;
        }
        exc_context_end();
    }
    return status;
}
