// What the test loader puts into the shared start-up and USB driver.
#include "board.h"
#include "udp.h"

extern "C" {

// The loader runs the SDRAM set-up during the board set-up; it executes
// from internal SRAM, so the controller's command sequence disturbs nothing.
void board_startup_sdram() { sdram_init(); }

// The loader has no console output.
int trace(const char*, ...) { return 1; }
}
