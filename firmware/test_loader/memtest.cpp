#include "memtest.h"

#include "board.h"
#include "udp.h"

extern "C" {

uint32_t memTestRunning __attribute__((section(".noinit")));
uint32_t memTestAddress __attribute__((section(".noinit")));
MemTestStatus memTestStatus __attribute__((section(".noinit")));
uint32_t pendingErrors __attribute__((section(".noinit")));
alignas(4) uint8_t errorRecords[MAX_ERROR_RECORDS * MEMTEST_RECORD_SIZE] __attribute__((section(".noinit")));
uint32_t errorRecordCount __attribute__((section(".noinit")));

}  // extern "C"

namespace {

// A record's 32-bit fields lie on 2-byte boundaries in every second
// record: write them as two 16-bit halves.
void put32(uint8_t* at, uint32_t value) {
    uint16_t* half = reinterpret_cast<uint16_t*>(at);
    half[0] = static_cast<uint16_t>(value);
    half[1] = static_cast<uint16_t>(value >> 16);
}

inline volatile uint32_t& word(uint32_t address) { return *reinterpret_cast<volatile uint32_t*>(address); }

}  // namespace

extern "C" {

void record_error(uint8_t kind, uint32_t address, uint32_t otherAddress, uint32_t expected,
                  uint32_t actual, uint32_t written) {
    if (errorRecordCount >= MAX_ERROR_RECORDS) return;
    uint8_t* record = &errorRecords[errorRecordCount * MEMTEST_RECORD_SIZE];
    put32(record + 0, address);
    put32(record + 4, otherAddress);
    put32(record + 8, expected);
    put32(record + 12, actual);
    put32(record + 16, written);
    record[20] = kind;   // the reserved byte after it is never written
    ++errorRecordCount;
}

void memtest_report_group(uint32_t address, const uint32_t* values, uint32_t first, int32_t step) {
    for (uint32_t j = 0; j < 4; ++j) {
        const uint32_t expected = first + static_cast<uint32_t>(step) * j;
        if (values[j] != expected) record_error(KIND_DATA, address + 4 * j, 0, expected, values[j], 0);
    }
}

void memtest_data(uint32_t start, uint32_t byteCount) {
    volatile uint32_t* const w = reinterpret_cast<volatile uint32_t*>(start);
    const uint32_t n = byteCount / 4;
    const uint32_t bulk = n & ~7u;

    memtest_pass_fill(w, bulk, 1);
    for (uint32_t i = bulk; i < n; ++i) w[i] = i + 1;

    memtest_pass_invert(w, bulk, 1);
    for (uint32_t i = bulk; i < n; ++i) {
        const uint32_t v = w[i];
        if (v != i + 1) record_error(KIND_DATA, start + 4 * i, 0, i + 1, v, 0);
        w[i] = ~(i + 1);
    }

    memtest_pass_verify(w, bulk, 1);
    for (uint32_t i = bulk; i < n; ++i) {
        const uint32_t v = w[i];
        if (v != ~(i + 1)) record_error(KIND_DATA, start + 4 * i, 0, ~(i + 1), v, 0);
    }
}

void memtest_address(uint32_t start, uint32_t byteCount) {
    constexpr uint32_t P = 0xAAAAAAAA, A = 0x55555555;
    const uint32_t m = byteCount / 4 - 1;
    const uint32_t base = start;

    for (uint32_t o = 1; o & m; o <<= 1) word(base + 4 * o) = P;
    word(base) = A;
    for (uint32_t o = 1; o & m; o <<= 1) {
        if (word(base + 4 * o) != P) record_error(KIND_ADDR_HIGH, base + 4 * o, base, P, word(base + 4 * o), A);
    }
    word(base) = P;
    for (uint32_t t = 1; t & m; t <<= 1) {
        word(base + 4 * t) = A;
        if (word(base) != P) record_error(KIND_ADDR_LOW, base, base + 4 * t, P, word(base), A);
        for (uint32_t o = 1; o & m; o <<= 1) {
            if (o == t) continue;
            if (word(base + 4 * o) != P) {
                record_error(KIND_ADDR_SHORT, base + 4 * o, base + 4 * t, P, word(base + 4 * o), A);
            }
        }
        word(base + 4 * t) = P;
    }
}

void memtest_step() {
    if (memTestRunning == 0 || pendingErrors != 0) return;
    if (memTestAddress + MEMTEST_STEP > MEMTEST_END) {
        // The end report describes no block of its own, so it carries no
        // records: with the last block's count still in it, a host that
        // fetches whenever the count is non-zero would print that block's
        // failures a second time.
        memTestStatus.bytesDone = memTestAddress - MEMTEST_BASE;
        memTestStatus.errorCount = 0;
        memTestRunning = 0;
        return;
    }
    const uint32_t a = memTestAddress;
    errorRecordCount = 0;
    memtest_data(a, MEMTEST_BLOCK);
    memtest_address(a, MEMTEST_BLOCK);
    pendingErrors = errorRecordCount;
    memTestAddress = a + MEMTEST_STEP;
    memTestStatus.bytesDone = a - MEMTEST_BASE;
    memTestStatus.errorCount = errorRecordCount;
}

void memtest_start() {
    // The pin test took PC16..PC31 (data lines D16..D31) away from the
    // SDRAM controller; hand them back and set the SDRAM up again.
    sdram_init();
    memTestAddress = MEMTEST_BASE;
    memTestRunning = 1;
}

void memtest_send_status(uint32_t udp) { udp_send_control(udp, &memTestStatus, sizeof memTestStatus); }

void memtest_send_errors(uint32_t udp) {
    udp_send_control(udp, errorRecords, errorRecordCount * MEMTEST_RECORD_SIZE);
    pendingErrors = 0;
}
}
