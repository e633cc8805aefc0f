// A one-line text progress meter, redrawn in place ("\r" first). With a known
// total it shows percentage, bar, amount, rate and time left; with total 0 a
// segment bounces inside the bar. The rate averages the last 64 samples.
#pragma once

#include <stdint.h>
#include <stdio.h>

enum : int { PROGRESS_SLOTS = 64, PROGRESS_UNITS = 9 };

struct ProgressSample {
    uint32_t amount;
    uint32_t elapsed_us;
};

struct ProgressMeter {
    int32_t total;             // 0: unknown, bouncing display
    int32_t current;           // amount last set
    float position;            // centre of the bouncing segment, 0..1 of the bar
    int32_t direction;         // +1 or -1
    int32_t unit;              // index into size_units / rate_units
    ProgressSample* samples;   // ring of PROGRESS_SLOTS
    int32_t latest;            // most recent slot
    uint32_t last_seconds;     // previous clock reading; 0: no sample yet
    uint32_t last_microseconds;
    uint32_t finished;         // known-total line ended with "\n"
    FILE* stream;              // may be null: nothing is drawn
};

// One table of 18 names: the sizes, then the rates from index 9.
extern const char* const progress_unit_names[2 * PROGRESS_UNITS];
extern const char* const* const size_units;
extern const char* const* const rate_units;

// The meter's clock: a millisecond tick count (monotonic by default).
extern uint64_t (*progress_ticks)();

// A new meter, or nullptr when memory runs out.
ProgressMeter* progress_new(int32_t total, FILE* stream);
void progress_set(ProgressMeter* meter, int32_t amount);
void progress_draw(ProgressMeter* meter);
void progress_finish(ProgressMeter* meter);
void progress_sample(ProgressMeter* meter, uint32_t amount);
