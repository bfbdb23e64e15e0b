/* ruxo_cpu.cpp -- the processors: their load, sampled from the kernel's statistics at most once a
 * second by the poll and read by the status reply on any thread, and the set of processors that
 * each slot's transcoder is bound to. The counters, the pace and the processor count are the
 * caller's (the core's settings), handed in on every call.
 *
 * Locking: none of its own. The core samples under the engine mutex (it is the only writer of the
 * counters); the percentages are atomics, read without a lock. */
#include "ruxo_cpu_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

/* Long runs of digits in "/proc/stat" are 64-bit counters; their low 32 bits are what is kept. */
bool parseCpuLine(const char* p, uint32_t v[8])
{
    for (int k = 0; k < 8; ++k) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p < '0' || *p > '9')
            return false;
        unsigned long long x = 0;
        while (*p >= '0' && *p <= '9')
            x = x * 10 + (unsigned)(*p++ - '0');
        v[k] = (uint32_t)x;
    }
    return true;
}

}  // namespace

void _ruxoCpuSample(RUXO_CPU_SAMPLER* pSampler, time_t now, int nCPUs, RUXO_CPU_USAGE* aUsage)
{
    if (now <= pSampler->tmLastCheckCPU)
        return;
    pSampler->tmLastCheckCPU = now;

    /* The whole file: one line per processor, about 100 bytes each, so a fixed small buffer would
     * leave all but the first few dozen processors unsampled. */
    std::string& text = pSampler->strText;
    text.clear();
    int fd = open(pSampler->strStatPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char buf[8192];
    bool ok = true;
    for (int n = 0; n < 1024; ++n) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            ok = false;
        if (r <= 0)
            break;
        text.append(buf, (size_t)r);
    }
    close(fd);
    if (!ok || text.empty() || nCPUs <= 0)
        return;

    int nSampled = nCPUs < RUXO_MAX_CPUS ? nCPUs : RUXO_MAX_CPUS;
    for (size_t pos = 0; pos < text.size();) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            eol = text.size();
        const char* p = text.c_str() + pos;
        pos = eol + 1;
        /* "cpuK " at the start of a line; the "cpu " summary line has no number. */
        if (strncmp(p, "cpu", 3) != 0 || p[3] < '0' || p[3] > '9')
            continue;
        const char* q = p + 3;
        long k = 0;
        while (*q >= '0' && *q <= '9' && k < 1000000)
            k = k * 10 + (*q++ - '0');
        if (*q != ' ' || k >= nSampled)
            continue;
        uint32_t v[8];
        if (!parseCpuLine(q, v))
            continue;
        uint32_t busy = v[0] + v[1] + v[2] + v[5] + v[6] + v[7];
        uint32_t total = busy + v[3] + v[4];
        RUXO_CPU_USAGE* u = &aUsage[k];
        if (u->last_load != 0 && u->last_total != 0 && total != u->last_total) {
            /* Differences as signed 32-bit values: counters that wrap still give the right step,
             * counters that went back (a processor reset) give no share above 100 or below 0. */
            int64_t dBusy = (int32_t)(busy - u->last_load);
            int64_t dTotal = (int32_t)(total - u->last_total);
            if (dTotal > 0) {
                int64_t pct = dBusy * 100 / dTotal;
                if (pct < 0)
                    pct = 0;
                if (pct > 100)
                    pct = 100;
                u->load_pct.store((int)pct);
            }
        }
        u->last_load = busy;
        u->last_total = total;
    }
}

int _ruxoCpuSetForSlot(int iChannel, int nCpuPerChannel, int nCPUs, cpu_set_t* pSet)
{
    CPU_ZERO(pSet);
    if (nCpuPerChannel <= 0 || iChannel < 0)
        return 0;
    int64_t cpus = nCPUs < 1 ? 1 : nCPUs;
    int64_t first = ((int64_t)iChannel * nCpuPerChannel) % cpus;
    const int64_t bits = (int64_t)sizeof(cpu_set_t) * 8; /* 1024 */
    int set = 0;
    for (int64_t b = first; b < first + nCpuPerChannel && b < bits; ++b) {
        CPU_SET((size_t)b, pSet);
        ++set;
    }
    return set;
}
