// Time-outs of the USB requests and the bounds on every wait of the tool.
//
// The time-outs are fixed by the devices on the other end: the boot ROM answers
// DFU requests at once, the test loader serves a control request only between
// two tested SDRAM blocks, and a bulk write of 1024 bytes goes out as sixteen
// 64-byte packets.
//
// The bounds make sure that a board that stops answering ends the run with a
// clear message instead of a hang. They are generous for a working board (a
// production line would rather wait a few seconds more than fail a good
// board) and short enough for an operator at the bench.
#pragma once

#include <stdint.h>

enum : int {
    DFU_TIMEOUT_MS = 500,
    LOADER_TIMEOUT_MS = 2000,
    BULK_TIMEOUT_MS = 4000,
};

enum : uint64_t {
    // find_running_loader: how long REQ_SYNC is repeated. The loader answers
    // once it has set up the board, run the pin ground check and been
    // enumerated again, well under a second on the board; 10 s leave room for
    // five full request time-outs.
    SYNC_LIMIT_MS = 10000,
    // Memory test: how long bytesDone may stay the same. A single poll may
    // legitimately take up to its 2000 ms time-out while the loader tests one
    // block, so the limit covers five such polls in a row.
    MEMTEST_STALL_LIMIT_MS = 10000,
};

enum : int {
    // dfu_make_idle: DFU_GETSTATUS passes that came back short and so used no
    // attempt. Each pass costs at most two 500 ms requests, so 8 passes end
    // within 8 s.
    DFU_SHORT_STATUS_LIMIT = 8,
    // find_dfu_device: fresh searches of the bus list in one call. A single
    // board that asks for a reset on every attempt takes 4 searches; with
    // several boards the reset budget is refilled, and 10 searches (each
    // bounded by its requests' time-outs) end the loop.
    DFU_SEARCH_LIMIT = 10,
};
