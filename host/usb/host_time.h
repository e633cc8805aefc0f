// The clock and the sleep of the USB session, replaceable so that tests can
// run the bounded waits without waiting.
#pragma once

#include <stdint.h>

// Milliseconds of the monotonic clock.
extern uint64_t (*session_clock_ms)();
// Sleeps for the given number of milliseconds.
extern void (*session_sleep_ms)(unsigned milliseconds);

uint64_t monotonic_ms();
