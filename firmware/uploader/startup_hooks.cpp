// What the uploader puts into the shared start-up.
#include "board.h"

// The uploader's start-up does not run the SDRAM controller sequence: its
// own code and data are in SDRAM while the sequence would run, every write
// of the sequence is a controller command rather than a data access, and
// the test loader has just set the SDRAM up (the length word of the upload
// runs sdram_init) and left it in normal mode.
extern "C" void board_startup_sdram() {}
