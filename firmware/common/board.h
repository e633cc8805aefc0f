// Board set-up shared by both firmware programs.
#pragma once

#include <stdint.h>

extern "C" {

// Interrupt controller, exception vectors, SDRAM (where the program wants
// it, see board_startup_sdram), PIO clocks and the debug serial port.
void low_level_init();

// SDRAM pins, chip select 1 and the controller's initialisation sequence.
void sdram_init();

// Writes a zero-terminated text to the debug serial port, byte for byte.
void dbgu_puts(const char* text);

// Points exception vector `vector` at `handler`; returns the old word.
uint32_t install_handler(uint32_t vector, uint32_t handler);

// Each program says whether its start-up runs the SDRAM sequence.
void board_startup_sdram();

// Debug unit clock divisor for `baud` from master clock `mck`, rounded.
constexpr uint32_t dbgu_divisor(uint32_t mck, uint32_t baud) {
    const uint32_t t = (mck * 10u) / (baud * 16u);
    return t / 10u + (t % 10u > 4u ? 1u : 0u);
}

[[noreturn]] void handler_undefined();
[[noreturn]] void handler_prefetch_abort();
[[noreturn]] void handler_data_abort();
[[noreturn]] void handler_default();
[[noreturn]] void handler_spurious();
}
