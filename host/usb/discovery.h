// Finding and opening the board in its two USB forms: the chip's boot ROM in
// DFU mode, and the running test loader. Both answer under the same ids.
#pragma once

#include <stdint.h>
#include <usb.h>

struct DeviceEntry {
    const char* name;  // names the chip; not printed
    uint16_t vendor_id;
    uint16_t product_id;
};

// The one target: the AT91RM9200, vendor 0x03EB, product 0x6120.
extern const DeviceEntry target_device;

// The interface number of the device's DFU interface (class 0xFE, subclass
// 0x01, looked for in the first interface of each configuration), or -1.
int find_dfu_interface(struct usb_device* device);

// Finds the boot ROM in DFU mode, opens it, sets configuration 1, claims the
// DFU interface and brings it to idle. Returns the device with `handle` open
// and `interface` set, or nullptr (then `handle` is cleared and `interface` 0).
struct usb_device* find_dfu_device(uint16_t vendor_id, uint16_t product_id, usb_dev_handle** handle,
                            uint16_t* interface);

// Finds the board that runs the test loader, opens it, sets configuration 1,
// claims interface 0 and returns once the loader has answered REQ_SYNC.
// Returns nullptr with `handle` cleared when no matching device opens.
struct usb_device* find_running_loader(uint16_t vendor_id, uint16_t product_id, usb_dev_handle** handle);
