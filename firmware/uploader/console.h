// The uploader's console: unbuffered output on the debug serial port with a
// small formatting engine of its own (no precision, no length modifiers,
// `%B` for byte sizes). Every argument is one int-sized word or a pointer.
#pragma once

#include <stdarg.h>
#include <stdint.h>

extern "C" {

// One character to the port, untranslated. Defined per build: the board
// writes to the debug unit, the host's unit tests capture it.
void console_putc(char c);

// No printf format attribute: %B is this engine's own conversion.
void console_printf(const char* format, ...);
void console_vprintf(const char* format, va_list args);
[[noreturn]] void console_panic(const char* format, ...);
void hex_dump(const void* start, uint32_t count);
}
