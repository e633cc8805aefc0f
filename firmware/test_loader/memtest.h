// SDRAM test: a data test with counting patterns and an address-line test
// with walking power-of-two offsets, on the first 64 KiB of every 256 KiB,
// one block per turn of the loader's main loop.
#pragma once

#include <stdint.h>

#include "loader_protocol.h"

constexpr uint32_t MEMTEST_BASE = 0x20000000;
constexpr uint32_t MEMTEST_END = 0x24000000;
constexpr uint32_t MEMTEST_STEP = 0x40000;
constexpr uint32_t MEMTEST_BLOCK = 0x10000;
constexpr uint32_t MEMTEST_RECORD_SIZE = sizeof(MemTestError);

extern "C" {

extern uint32_t memTestRunning;
extern uint32_t memTestAddress;
extern MemTestStatus memTestStatus;
extern uint32_t pendingErrors;
extern uint8_t errorRecords[MAX_ERROR_RECORDS * MEMTEST_RECORD_SIZE];
extern uint32_t errorRecordCount;

void memtest_step();
void memtest_data(uint32_t start, uint32_t byteCount);
void memtest_address(uint32_t start, uint32_t byteCount);
void record_error(uint8_t kind, uint32_t address, uint32_t otherAddress, uint32_t expected,
                  uint32_t actual, uint32_t written);

// Request actions of REQ_MEMTEST_START, REQ_MEMTEST_STATUS, REQ_MEMTEST_ERRORS.
void memtest_start();
void memtest_send_status(uint32_t udp);
void memtest_send_errors(uint32_t udp);

// The three passes of the data test over a whole number of 8-word groups,
// in ARM assembly (memtest_passes.S); `first` is the value of word 0.
void memtest_pass_fill(volatile uint32_t* start, uint32_t words, uint32_t first);
void memtest_pass_invert(volatile uint32_t* start, uint32_t words, uint32_t first);
void memtest_pass_verify(volatile uint32_t* start, uint32_t words, uint32_t first);
// Out-of-line error path of the passes: records KIND_DATA failures for a
// group of four words, word j expected `first + j * step`.
void memtest_report_group(uint32_t address, const uint32_t* values, uint32_t first, int32_t step);
}
