// The board test session: download the test loader, reopen the board as the
// running loader, read the pin test, follow the SDRAM test, give the verdict
// and, on a good board, send the uploader.
#pragma once

#include <stdint.h>
#include <usb.h>

// Given the idle DFU interface from find_dfu_device. Returns the loader's
// handle after the uploader has been sent, or nullptr when the boot ROM
// answers in appIDLE. Every other failure ends the run through fatal_error.
usb_dev_handle* run_test_session(usb_dev_handle* dfu_handle, uint16_t interface);
