/* ruxo_ready_internal.h -- the readiness set of the busy slots (ruxo_ready.cpp): which slots have
 * output waiting, an exec report, or a child that has ended, learnt with one call however many
 * slots are busy. The set is a plain record that the core (ruxo.cpp) owns and guards; these calls
 * get the slot's index and descriptors and never look at the slot table. Not for use outside
 * libruxo/. */
#ifndef RUXO_READY_INTERNAL_H
#define RUXO_READY_INTERNAL_H

#include <sys/types.h>

/* The set exists while a slot is watched (fdSet 0 = none), so an engine without children holds no
 * descriptor. Under its owner's lock. */
typedef struct RUXO_READY_TAG {
    int fdSet;
    int nWatched;
} RUXO_READY;

/* What a slot is ready for, as _ruxoReadyWait marks it. */
enum { RUXO_READY_OUTPUT = 1, RUXO_READY_CHILD = 2, RUXO_READY_REPORT = 4 };

/* Puts a new child's output pipe, its exec report pipe and a descriptor of the child itself into
 * the watched set; returns the child descriptor for the slot's fdChild, or 0 (nothing left
 * watched) when any cannot be had: the poll then reads and waits for that slot on every pass.
 * Failures are logged to slot iSlot's log. */
int _ruxoReadyAdd(RUXO_READY* pReady, int iSlot, pid_t pid, int fdOutput, int fdReport);
/* Takes one descriptor out of the watched set (the report pipe, when it ends before its child). */
void _ruxoReadyRemove(RUXO_READY* pReady, int fd);
/* Takes a slot out of the watched set and closes its child descriptor *pfdChild (nothing when it
 * is 0: the slot was not watched); the set goes with the last. */
void _ruxoReadyRemoveSlot(RUXO_READY* pReady, int fdOutput, int fdReport, int* pfdChild);
/* Asks the set, without waiting, which watched slots below nSlots are ready, and marks them in
 * aWork (RUXO_READY_* bits, added to what is there). False when the call failed (a signal): the
 * caller then asks every busy slot itself. True, with nothing marked, when no set exists. */
bool _ruxoReadyWait(RUXO_READY* pReady, int nSlots, unsigned char* aWork);

#endif
