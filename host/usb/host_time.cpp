#include "host_time.h"

#include <errno.h>
#include <time.h>

uint64_t monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

namespace {

void sleep_for_ms(unsigned milliseconds) {
    timespec left = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

uint64_t (*session_clock_ms)() = monotonic_ms;
void (*session_sleep_ms)(unsigned) = sleep_for_ms;
