// USB DFU 1.0 client for the chip's boot ROM: the five class requests the tool
// uses, bringing the DFU interface to idle, and downloading one image.
#pragma once

#include <stdint.h>
#include <usb.h>

enum : uint8_t {
    DFU_DNLOAD = 1,
    DFU_GETSTATUS = 3,
    DFU_CLRSTATUS = 4,
    DFU_GETSTATE = 5,
    DFU_ABORT = 6,
};

// DFU states as DFU 1.0 numbers them.
enum : uint8_t {
    DFU_STATE_APP_IDLE = 0,
    DFU_STATE_APP_DETACH = 1,
    DFU_STATE_IDLE = 2,
    DFU_STATE_DNLOAD_SYNC = 3,
    DFU_STATE_DNBUSY = 4,
    DFU_STATE_DNLOAD_IDLE = 5,
    DFU_STATE_MANIFEST_SYNC = 6,
    DFU_STATE_MANIFEST = 7,
    DFU_STATE_MANIFEST_WAIT_RESET = 8,
    DFU_STATE_UPLOAD_IDLE = 9,
    DFU_STATE_ERROR = 10,
};

enum : uint8_t {
    DFU_STATUS_OK = 0x00,
    DFU_STATUS_ERR_UNKNOWN = 0x0E,
};

enum : int { DFU_BLOCK_SIZE = 512 };

// The decoded DFU_GETSTATUS reply.
struct DfuStatus {
    uint8_t bStatus;
    uint32_t bwPollTimeout;  // ms, from the reply's 24-bit little-endian field
    uint8_t bState;
    uint8_t iString;
};

// wValue of the next DFU_DNLOAD; counts every block sent by the process.
extern uint16_t dfu_block_number;

// Sends one block (length 0 and no data: the end-of-download block). Returns
// the library's result, or -1 for a length without data and -2 for data with
// length 0, in which case nothing is sent.
int dfu_download_block(usb_dev_handle* handle, uint16_t interface, uint16_t length, const uint8_t* data);

// 0 with `status` filled (a failed request leaves dfuERROR/errUNKNOWN in it),
// -1 for a reply of 1 to 5 bytes.
int dfu_get_status(usb_dev_handle* handle, uint16_t interface, DfuStatus* status);

// The state byte, or the library's result when no byte came back.
int dfu_get_state(usb_dev_handle* handle, uint16_t interface);

// 0 when the interface is idle, 1 when the device has been reset, -2 when it
// cannot be brought to idle. Ends the run with fatal_error when the device
// keeps giving short status replies.
int dfu_make_idle(usb_dev_handle* handle, uint16_t interface);

// Downloads an image in 512-byte blocks and the zero-length block. Checks no
// result: a failed download shows when the downloaded program does not answer.
void dfu_download_image(usb_dev_handle* handle, uint16_t interface, const uint8_t* data, uint32_t length);
