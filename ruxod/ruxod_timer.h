/* ruxod_timer.h -- the daemon's restart timers (ruxod_timer.cpp): a channel's delayed restart, the
 * delayed web-server restart after a changed setting, and stopping them all at the shutdown. */
#ifndef RUXOD_TIMER_H
#define RUXOD_TIMER_H

#include "ruxo.h" /* BOOL */

/* Blocks the timers' signal in the calling thread. First thing in main: every thread the process
 * creates inherits the block, so only the notification thread takes the signal. */
void ruxodTimerBlockSignal(void);
/* Starts the notification thread that runs each firing timer's body, and waits until it can be
 * addressed; a timer armed before this (or when it could not start) is reported and not armed. */
void ruxodTimerStartThread(void);

/* Arms channel iChannel's restart in nAutoRestart seconds unless one is pending; the body starts
 * the channel when the tree still holds it (the start looks it up under the configuration lock),
 * whatever its "enable". */
void ruxodTimerArmChannel(int iChannel, int nAutoRestart);
/* With TRUE, arms the web-server restart one second from now, or pushes a pending one back to one
 * second from now; the body restarts the server and tries again every five seconds while no
 * server can start. The web layer's restart hook (ruxoCGISetCallback). */
void ruxodTimerRestartCGI(BOOL bRestartCGI);

/* Marks the daemon as shutting down, deletes every pending timer and waits until no timer body
 * runs any more. From then on no timer starts a channel or touches the web server. */
void ruxodTimerStopAll(void);

#endif
