// What the two threads of a run share: the supervisor (main thread) and the
// capture worker. It is the worker's state (capture/worker_state.h) as the
// supervisor holds it; the worker's end wakes the supervisor's sleep.
#pragma once

#include "capture/worker_state.h"

struct CaptureState : WorkerState {};
