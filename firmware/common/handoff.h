// The fixed places that the test loader's hand-off writes into the
// uploader's memory. The uploader's linker script checks its own layout
// against the same numbers.
#pragma once

#include <stdint.h>

constexpr uint32_t UPLOADER_BASE = 0x20000000;          // load and entry address
constexpr uint32_t UPLOADER_CLEAR_START = 0x20005790;   // the image ends at or below this
constexpr uint32_t UPLOADER_CLEAR_END = 0x2000D1A8;     // end of the area cleared before the jump
constexpr uint32_t HANDOVER_BANK_ADDRESS = 0x2000C090;  // `handoverBank`
constexpr uint32_t UPLOADER_MAX_LENGTH = UPLOADER_CLEAR_START - UPLOADER_BASE;
