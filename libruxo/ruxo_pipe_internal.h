/* ruxo_pipe_internal.h -- the engine's descriptor helpers, the bottom of the engine: every other
 * file of libruxo/ may use them, and they use nothing of the engine. Not for use outside libruxo/. */
#ifndef RUXO_PIPE_INTERNAL_H
#define RUXO_PIPE_INTERNAL_H

#include <stddef.h>

typedef int RUXO_PIPE; /* a file descriptor; 0 = none */

/* Pipe writers: each returns what write returns ((size_t)-1 on failure, errno set). pipePrintf
 * refuses (EMSGSIZE) a formatted text of 1000 characters or more rather than cutting it. */
size_t pipeWrite(RUXO_PIPE pipe, const void* buf, size_t len);
size_t pipeWriteStr(RUXO_PIPE pipe, const char* szbuf);
size_t pipePrintf(RUXO_PIPE pipe, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

/* A close-on-exec descriptor moved above 2 when it is not (0 keeps meaning "no descriptor", and a
 * child's dup2 onto 0, 1 and 2 never clobbers it); -1, fd closed, when it cannot be moved. */
int _ruxoAboveStdio(int fd);

/* Closes a descriptor of ours that is not 0 (none) and marks it closed. */
void _ruxoCloseFd(RUXO_PIPE* fd);
/* Closes both ends of a pipe (read end first), each when it is not 0. */
void _ruxoFreePipe(RUXO_PIPE* pipeStd);

#endif
