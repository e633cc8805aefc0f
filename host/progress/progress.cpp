#include "progress.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

enum : int {
    BAR_LIMIT = 511,         // longest bar a draw can hold
    BOUNCE_WIDTH = 51,       // bar of the bouncing display
    KNOWN_LINE_WIDTH = 40,   // percentage text plus bar
};

uint64_t monotonic_ticks() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void format_amount(const ProgressMeter* meter, char* text, size_t size) {
    double value = meter->current;
    int k = 0;
    while (value > 1024 && meter->unit + k < PROGRESS_UNITS - 1) {
        value /= 1024;
        ++k;
    }
    if (k > 1)
        snprintf(text, size, "%.1f %s", value, size_units[meter->unit + k]);
    else
        snprintf(text, size, "%d %s", static_cast<int>(value), size_units[meter->unit + k]);
}

void format_rate(const ProgressMeter* meter, float rate, char* text, size_t size) {
    text[0] = '\0';
    if (rate == 0)
        return;
    double value = rate;
    int j = 0;
    while (value > 1024 && meter->unit + j < PROGRESS_UNITS - 1) {
        value /= 1024;
        ++j;
    }
    snprintf(text, size, "%.2f%s", value, rate_units[meter->unit + j]);
}

void draw_known_total(ProgressMeter* meter, float rate, const char* amount, const char* rate_text) {
    // 64-bit so that large amounts cannot overflow; limited to 0..100.
    int64_t percent = static_cast<int64_t>(meter->current) * 100 / meter->total;
    if (percent < 0)
        percent = 0;
    if (percent > 100)
        percent = 100;
    char percent_text[8];
    snprintf(percent_text, sizeof percent_text, "% 2d%%", static_cast<int>(percent));

    // Time left, in whole seconds; none when the rate is below about 0.1/s.
    // Past the total it would be negative: show 00:00 then.
    int seconds_left = 0;
    if (static_cast<int>(rate + 0.9f) != 0) {
        const float left = (static_cast<float>(meter->total) - static_cast<float>(meter->current)) / rate;
        seconds_left = left > 0 ? static_cast<int>(left) : 0;
    }
    char eta[32];
    if (rate == 0)
        snprintf(eta, sizeof eta, "ETA --:--");
    else
        snprintf(eta, sizeof eta, "ETA %02d:%02d", seconds_left / 60, seconds_left % 60);

    // The bar takes what the percentage text leaves, so the line keeps its
    // length as the percentage grows.
    char bar[BAR_LIMIT + 1];
    const int width = KNOWN_LINE_WIDTH - static_cast<int>(strlen(percent_text));
    int length = 0;
    if (width >= 1 && width <= BAR_LIMIT) {
        const int filled = static_cast<int>(width * percent / 100);
        memset(bar, '=', filled);
        memset(bar + filled, ' ', width - filled);
        if (filled < width)
            bar[filled] = '>';
        length = width;
    }
    bar[length] = '\0';

    fprintf(meter->stream, "\r%s [%s] %-12s %-11s %-9s ", percent_text, bar, amount, rate_text, eta);
    if (meter->current >= meter->total) {
        fputs("\n", meter->stream);
        meter->finished = 1;
    }
}

void draw_unknown_total(ProgressMeter* meter, const char* amount, const char* rate_text) {
    // The segment moves a fifth of the bar per second and turns near the ends.
    const uint32_t elapsed = meter->samples[meter->latest].elapsed_us;
    if (elapsed != 0)
        meter->position += static_cast<float>(meter->direction * static_cast<double>(elapsed) * 2e-7);
    if (meter->position <= 0.3)
        meter->direction = 1;
    if (meter->position >= 0.7)
        meter->direction = -1;

    auto end_at = [](double place) {
        int end = static_cast<int>(place * static_cast<int>(BOUNCE_WIDTH));
        return end < 0 ? 0 : end > BOUNCE_WIDTH - 1 ? BOUNCE_WIDTH - 1 : end;
    };
    const int left = end_at(meter->position - 0.2);
    const int right = end_at(meter->position + 0.2);

    char bar[BOUNCE_WIDTH + 1];
    for (int i = 0; i < BOUNCE_WIDTH; ++i)
        bar[i] = (i >= left && i < right) ? '=' : ' ';
    bar[BOUNCE_WIDTH] = '\0';
    bar[left] = '<';
    bar[right] = '>';

    fprintf(meter->stream, "\r [%s] %-12s %-11s ", bar, amount, rate_text);
}

}  // namespace

const char* const progress_unit_names[2 * PROGRESS_UNITS] = {
    "B",   "KiB", "MiB", "GiB", "TiB", "PiB", "EiB", "ZiB", "YiB",
    "B/s", "K/s", "M/s", "G/s", "T/s", "P/s", "E/s", "Z/s", "Y/s",
};
const char* const* const size_units = progress_unit_names;
const char* const* const rate_units = progress_unit_names + PROGRESS_UNITS;

uint64_t (*progress_ticks)() = monotonic_ticks;

ProgressMeter* progress_new(int32_t total, FILE* stream) {
    ProgressMeter* meter = static_cast<ProgressMeter*>(calloc(1, sizeof(ProgressMeter)));
    if (!meter)
        return nullptr;
    meter->samples = static_cast<ProgressSample*>(calloc(PROGRESS_SLOTS, sizeof(ProgressSample)));
    if (!meter->samples) {
        free(meter);
        return nullptr;
    }
    meter->total = total;
    meter->current = 0;
    meter->position = 0.5f;
    meter->direction = 1;
    meter->unit = 0;
    meter->latest = 0;
    meter->last_seconds = 0;
    meter->last_microseconds = 0;
    meter->finished = 0;
    meter->stream = stream;
    return meter;
}

void progress_sample(ProgressMeter* meter, uint32_t amount) {
    const uint64_t ticks = progress_ticks();
    const uint32_t seconds = static_cast<uint32_t>(ticks / 1000);
    const uint32_t microseconds = static_cast<uint32_t>(ticks % 1000) * 1000;
    if (meter->last_seconds != 0) {
        meter->latest = (meter->latest + 1) % PROGRESS_SLOTS;
        ProgressSample& slot = meter->samples[meter->latest];
        slot.amount = amount;
        slot.elapsed_us = (seconds - meter->last_seconds) * 1000000u + microseconds - meter->last_microseconds;
    }
    meter->last_seconds = seconds;
    meter->last_microseconds = microseconds;
}

void progress_set(ProgressMeter* meter, int32_t amount) {
    const int64_t change = static_cast<int64_t>(amount) - meter->current;
    meter->current = amount;
    if (change < 0) {
        // Going back restarts the rate average; the clock reading stays.
        memset(meter->samples, 0, PROGRESS_SLOTS * sizeof(ProgressSample));
        return;
    }
    progress_sample(meter, static_cast<uint32_t>(change));
}

void progress_draw(ProgressMeter* meter) {
    if (!meter->stream)
        return;

    uint32_t amount_sum = 0;
    uint32_t time_sum = 0;
    for (int i = 0; i < PROGRESS_SLOTS; ++i) {
        amount_sum += meter->samples[i].amount;
        time_sum += meter->samples[i].elapsed_us;
    }
    const float rate = time_sum == 0 ? 0.0f : static_cast<float>(static_cast<double>(amount_sum) * 1000000.0 / time_sum);

    char amount[48];
    char rate_text[48];
    format_amount(meter, amount, sizeof amount);
    format_rate(meter, rate, rate_text, sizeof rate_text);

    if (!meter->finished) {
        if (meter->total != 0)
            draw_known_total(meter, rate, amount, rate_text);
        else
            draw_unknown_total(meter, amount, rate_text);
    }
    progress_sample(meter, 0);
}

void progress_finish(ProgressMeter* meter) {
    if (!meter->finished && meter->stream)
        fputs("\n", meter->stream);
    free(meter->samples);
    free(meter);
}
