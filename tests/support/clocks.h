#pragma once

#include <QtGlobal>

// CLOCK_MONOTONIC in milliseconds: the clock the simulator stamps its log with, so times taken in a
// test and in the simulator lie on one scale.
double monotonicMs();

// How long the calling thread has waited so far for a CPU while it was ready to run (the
// scheduler's run-queue wait), in milliseconds; -1 where the system does not tell. On a machine
// shared with other work, lateness up to this much is the machine's doing, not the program's.
double cpuWaitMs();
