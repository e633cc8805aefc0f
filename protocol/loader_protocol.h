// Test loader protocol: the class requests and records that the host tool and
// the test loader exchange on the default control pipe. One definition, used
// unchanged by both sides. Little-endian, packed, no padding.
#pragma once

#include <stdint.h>

#if defined(__BYTE_ORDER__) && (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__)
#error "the loader protocol records are little-endian and read in place"
#endif

// bRequest values. REQ_SYNC goes out as bmRequestType 0x21 with no data stage,
// the IN requests as 0xA1; wValue and wIndex are always 0.
enum : uint8_t {
    REQ_MEMTEST_STATUS = 3,
    REQ_MEMTEST_START = 4,
    REQ_PIN_RESULT = 5,
    REQ_MEMTEST_ERRORS = 7,
    REQ_SYNC = 0xFF,
};

enum : uint8_t {
    REQ_TYPE_CLASS_OUT = 0x21,
    REQ_TYPE_CLASS_IN = 0xA1,
};

// Bulk OUT endpoint that takes the uploader's length word and image.
enum : uint8_t { LOADER_BULK_OUT_EP = 0x04 };

// PinReport.flags
enum : uint32_t {
    PIN_TO_3V3 = 1u << 0,
    PIN_TO_GND = 1u << 1,
};

// MemTestError.kind
enum : uint8_t {
    KIND_DATA = 0,
    KIND_ADDR_HIGH = 1,
    KIND_ADDR_LOW = 2,
    KIND_ADDR_SHORT = 3,
};

enum : uint32_t {
    PIN_REPORT_COUNT = 96,           // PIOA, PIOB, PIOC: 32 lines each
    MEMTEST_RANGE = 0x04000000,      // bytesDone when the whole SDRAM is done
    MAX_ERROR_RECORDS = 32,          // records held for one block
};

struct __attribute__((packed)) PinReport {
    uint32_t flags;
    uint32_t crossA;
    uint32_t crossB;
    uint32_t crossC;
};

struct __attribute__((packed)) MemTestStatus {
    uint32_t bytesDone;
    uint32_t errorCount;
};

struct __attribute__((packed)) MemTestError {
    uint32_t address;
    uint32_t otherAddress;
    uint32_t expected;
    uint32_t actual;
    uint32_t written;
    uint8_t kind;
    uint8_t reserved;
};

static_assert(sizeof(PinReport) == 16, "PinReport is 16 bytes on the wire");
static_assert(sizeof(MemTestStatus) == 8, "MemTestStatus is 8 bytes on the wire");
static_assert(sizeof(MemTestError) == 22, "MemTestError is 22 bytes on the wire");
static_assert(__builtin_offsetof(MemTestError, kind) == 20, "MemTestError.kind at offset 20");
