// The once-a-second ticker (tickEverySecond) for a main loop that sleeps with a timeout (the
// Linux poll loop): the loop sleeps no longer than msUntilTick() and calls tickIfDue() when it
// wakes.
#pragma once

/// Milliseconds until the next tick is due (0 when it is), or -1 when nothing ticks. Main thread.
int msUntilTick();

/// Calls the ticker when its tick is due. Main thread.
void tickIfDue();
