/* ruxo_pipe.cpp -- the engine's descriptor helpers: the small pipe writers, the move of a new
 * descriptor above the standard streams, and closing what the engine holds. They touch no engine
 * state, so every other file of the engine can use them. */
#include "ruxo_pipe_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int _ruxoAboveStdio(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    int d = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int err = errno;
    close(fd);
    errno = err;
    return d;
}

size_t pipeWrite(RUXO_PIPE pipe, const void* buf, size_t len)
{
    ssize_t w;
    do {
        w = write(pipe, buf, len);
    } while (w < 0 && errno == EINTR);
    return (size_t)w;
}

size_t pipeWriteStr(RUXO_PIPE pipe, const char* szbuf)
{
    return pipeWrite(pipe, szbuf, strlen(szbuf));
}

size_t pipePrintf(RUXO_PIPE pipe, const char* fmt, ...)
{
    char buf[1000];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0)
        return (size_t)-1;
    if ((size_t)n >= sizeof buf) {
        errno = EMSGSIZE;
        return (size_t)-1;
    }
    return pipeWrite(pipe, buf, (size_t)n);
}

void _ruxoCloseFd(RUXO_PIPE* fd)
{
    if (*fd != 0) {
        close(*fd);
        *fd = 0;
    }
}

void _ruxoFreePipe(RUXO_PIPE* pipeStd)
{
    _ruxoCloseFd(&pipeStd[0]);
    _ruxoCloseFd(&pipeStd[1]);
}
