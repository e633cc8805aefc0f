// The console's character output on the board, and the driver's trace.
#include "console.h"
#include "regs.h"
#include "udp.h"

extern "C" {

void console_putc(char c) {
    while (!(reg32(DBGU_SR) & DBGU_TXRDY)) {}
    reg32(DBGU_THR) = static_cast<uint8_t>(c);
}

int trace(const char* text, ...) {
    va_list args;
    va_start(args, text);
    console_vprintf(text, args);
    va_end(args);
    return 1;
}
}
