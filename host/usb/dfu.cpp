#include "dfu.h"

#include "host_limits.h"
#include "../cli/messages.h"

namespace {

enum : int {
    DFU_REQUEST_OUT = 0x21,  // class request to the interface, host to device
    DFU_REQUEST_IN = 0xA1,   // class request to the interface, device to host
    DFU_STATUS_LENGTH = 6,
};

void dfu_send_simple(usb_dev_handle* handle, uint16_t interface, uint8_t request) {
    usb_control_msg(handle, DFU_REQUEST_OUT, request, 0, interface, nullptr, 0, DFU_TIMEOUT_MS);
}

}  // namespace

uint16_t dfu_block_number = 0;

int dfu_download_block(usb_dev_handle* handle, uint16_t interface, uint16_t length, const uint8_t* data) {
    if (length != 0 && data == nullptr)
        return -1;
    if (length == 0 && data != nullptr)
        return -2;
    // libusb-0.1 takes a non-const buffer for both directions; an OUT
    // transfer only reads it.
    char* bytes = const_cast<char*>(reinterpret_cast<const char*>(data));
    const int result = usb_control_msg(handle, DFU_REQUEST_OUT, DFU_DNLOAD, dfu_block_number, interface, bytes,
                                       length, DFU_TIMEOUT_MS);
    dfu_block_number = static_cast<uint16_t>(dfu_block_number + 1);
    return result;
}

int dfu_get_status(usb_dev_handle* handle, uint16_t interface, DfuStatus* status) {
    // A request that fails reads as dfuERROR with errUNKNOWN.
    status->bStatus = DFU_STATUS_ERR_UNKNOWN;
    status->bwPollTimeout = 0;
    status->bState = DFU_STATE_ERROR;
    status->iString = 0;

    unsigned char reply[DFU_STATUS_LENGTH] = {};
    const int result = usb_control_msg(handle, DFU_REQUEST_IN, DFU_GETSTATUS, 0, interface,
                                       reinterpret_cast<char*>(reply), sizeof reply, DFU_TIMEOUT_MS);
    if (result <= 0)
        return 0;
    if (result != DFU_STATUS_LENGTH)
        return -1;
    status->bStatus = reply[0];
    status->bwPollTimeout = static_cast<uint32_t>(reply[1]) | static_cast<uint32_t>(reply[2]) << 8 |
                            static_cast<uint32_t>(reply[3]) << 16;
    status->bState = reply[4];
    status->iString = reply[5];
    return 0;
}

int dfu_get_state(usb_dev_handle* handle, uint16_t interface) {
    char state = 0;
    const int result = usb_control_msg(handle, DFU_REQUEST_IN, DFU_GETSTATE, 0, interface, &state, 1, DFU_TIMEOUT_MS);
    if (result >= 1)
        return static_cast<int8_t>(state);
    return result;
}

int dfu_make_idle(usb_dev_handle* handle, uint16_t interface) {
    int short_replies = 0;
    for (int attempts = 4; attempts > 0;) {
        DfuStatus status;
        if (dfu_get_status(handle, interface, &status) != 0) {
            // A short status reply: clear and ask again without using an
            // attempt, but not for ever.
            if (++short_replies > DFU_SHORT_STATUS_LIMIT)
                fatal_error("DFU device keeps giving short status replies; cannot bring it to idle");
            dfu_send_simple(handle, interface, DFU_CLRSTATUS);
            continue;
        }
        switch (status.bState) {
        case DFU_STATE_APP_IDLE:
            return 0;
        case DFU_STATE_IDLE:
            if (status.bStatus == DFU_STATUS_OK)
                return 0;
            dfu_send_simple(handle, interface, DFU_CLRSTATUS);
            break;
        case DFU_STATE_APP_DETACH:
        case DFU_STATE_MANIFEST_WAIT_RESET:
            usb_reset(handle);
            return 1;
        case DFU_STATE_DNLOAD_SYNC:
        case DFU_STATE_DNBUSY:
        case DFU_STATE_DNLOAD_IDLE:
        case DFU_STATE_MANIFEST_SYNC:
        case DFU_STATE_MANIFEST:
        case DFU_STATE_UPLOAD_IDLE:
            dfu_send_simple(handle, interface, DFU_ABORT);
            break;
        case DFU_STATE_ERROR:
            dfu_send_simple(handle, interface, DFU_CLRSTATUS);
            break;
        default:  // not a DFU 1.0 state: ask again
            break;
        }
        --attempts;
    }
    return -2;
}

void dfu_download_image(usb_dev_handle* handle, uint16_t interface, const uint8_t* data, uint32_t length) {
    DfuStatus status;
    const int64_t total = length;
    for (int64_t remaining = total; remaining >= 0; remaining -= DFU_BLOCK_SIZE) {
        dfu_get_status(handle, interface, &status);
        dfu_get_state(handle, interface);
        const int64_t block = remaining < DFU_BLOCK_SIZE ? remaining : int64_t{DFU_BLOCK_SIZE};
        // When the length is a multiple of 512 the last pass has no data:
        // dfu_download_block refuses it and only the two queries go out.
        dfu_download_block(handle, interface, static_cast<uint16_t>(block), data + (total - remaining));
    }
    dfu_get_status(handle, interface, &status);
    dfu_get_state(handle, interface);
    dfu_download_block(handle, interface, 0, nullptr);
    dfu_get_status(handle, interface, &status);
}
