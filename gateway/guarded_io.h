/*
 * guarded_io.h - the program's output and heap blocks, made safe against
 * signals. A signal becomes an exception that abandons the running code
 * like a jump; jumping out of the middle of printf, fflush, malloc or free
 * would leave stdio's buffer or the heap half updated (a line written twice,
 * a corrupted heap). These wrappers hold a signal back until the call is
 * complete and deliver it right after.
 */
#ifndef GATEWAY_GUARDED_IO_H
#define GATEWAY_GUARDED_IO_H

#include <cstddef>
#include <cstdio>

/* printf to standard output. */
int Print(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* fflush of standard output. */
void FlushOutput();

/* malloc and free. */
void *AllocateBlock(size_t size);
void ReleaseBlock(void *block);

/* fopen, fdopen and fclose (each takes or gives back heap memory). */
FILE *OpenFile(const char *path, const char *mode);
FILE *OpenDescriptor(int fd, const char *mode);
int CloseFile(FILE *file);

#endif
