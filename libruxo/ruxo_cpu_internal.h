/* ruxo_cpu_internal.h -- the processors, as the core (ruxo.cpp) asks about them: a sample of their
 * load into the counters that it hands over, and the set of processors that a slot's transcoder is
 * bound to. They read nothing of the core: what they need comes as arguments. Not for use outside
 * libruxo/. */
#ifndef RUXO_CPU_INTERNAL_H
#define RUXO_CPU_INTERNAL_H

#include <sched.h>
#include <time.h>

#include <string>

#include "ruxo.h"

/* The sampler's pace and source, kept by its caller and under the caller's lock. */
typedef struct RUXO_CPU_SAMPLER_TAG {
    time_t tmLastCheckCPU;   /* the second of the last sample */
    std::string strStatPath; /* the processor statistics file ("/proc/stat") */
    std::string strText;     /* the file's text of the last sample (kept: its room is reused) */
} RUXO_CPU_SAMPLER;

/* One sample at the second now, when it is later than the last one: reads the statistics file and
 * updates the counters and percentages aUsage of processors 0..nCPUs-1 (at most RUXO_MAX_CPUS). A
 * file that cannot be read, or nCPUs <= 0, changes nothing but the pace. */
void _ruxoCpuSample(RUXO_CPU_SAMPLER* pSampler, time_t now, int nCPUs, RUXO_CPU_USAGE* aUsage);

/* The processor set of slot iChannel for n processors per channel on nCPUs processors (n <= 0:
 * empty, no binding). Returns the number of bits set. */
int _ruxoCpuSetForSlot(int iChannel, int nCpuPerChannel, int nCPUs, cpu_set_t* pSet);

#endif
