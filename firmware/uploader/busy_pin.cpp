#include "busy_pin.h"

#include "regs.h"

namespace {
constexpr uint32_t BUSY_LINE = 1u << 2;   // PA2
}

extern "C" {

void busy_pin_init() {
    reg32(PIOA_BASE + PIO_PER) = BUSY_LINE;
    reg32(PIOA_BASE + PIO_OER) = BUSY_LINE;
    reg32(PIOA_BASE + PIO_PPUDR) = BUSY_LINE;
    reg32(PIOA_BASE + PIO_SODR) = BUSY_LINE;
}

void busy_pin_assert() { reg32(PIOA_BASE + PIO_CODR) = BUSY_LINE; }

void busy_pin_release() { reg32(PIOA_BASE + PIO_SODR) = BUSY_LINE; }
}
