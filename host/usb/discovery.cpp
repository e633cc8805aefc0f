#include "discovery.h"

#include <stdio.h>
#include <string.h>

#include "dfu.h"
#include "host_limits.h"
#include "host_time.h"
#include "../cli/messages.h"
#include "loader_protocol.h"

const DeviceEntry target_device = {"AT91RM9200", 0x03EB, 0x6120};

namespace {

enum : uint8_t {
    CLASS_APPLICATION_SPECIFIC = 0xFE,
    SUBCLASS_DFU = 0x01,
};

enum : int { RESET_BUDGET = 4 };

void refresh_device_list() {
    usb_find_busses();
    usb_find_devices();
}

bool matches(const struct usb_device* device, uint16_t vendor_id, uint16_t product_id) {
    return device->descriptor.idVendor == vendor_id && device->descriptor.idProduct == product_id;
}

}  // namespace

int find_dfu_interface(struct usb_device* device) {
    if (!device->config)  // the library could not read the configurations
        return -1;
    for (int c = 0; c < device->descriptor.bNumConfigurations; ++c) {
        const usb_config_descriptor& config = device->config[c];
        if (config.bNumInterfaces == 0 || !config.interface)
            continue;
        // Only the first interface of each configuration.
        const usb_interface& first = config.interface[0];
        if (!first.altsetting)
            continue;
        for (int a = 0; a < first.num_altsetting; ++a) {
            const usb_interface_descriptor& alt = first.altsetting[a];
            if (alt.bInterfaceClass == CLASS_APPLICATION_SPECIFIC && alt.bInterfaceSubClass == SUBCLASS_DFU)
                return alt.bInterfaceNumber;
        }
    }
    return -1;
}

struct usb_device* find_dfu_device(uint16_t vendor_id, uint16_t product_id, usb_dev_handle** handle,
                            uint16_t* interface) {
    *handle = nullptr;
    *interface = 0;
    int reset_budget = RESET_BUDGET;
    int searches = 0;

search_again:
    // A device that dfu_make_idle reset comes back on the bus; only a fresh
    // list shows it. The budget is refilled whenever some device fails to
    // reach idle, so the number of searches needs its own limit.
    if (++searches > DFU_SEARCH_LIMIT)
        fatal_error("DFU device keeps resetting; gave up after %d searches", DFU_SEARCH_LIMIT);
    refresh_device_list();
    for (usb_bus* bus = usb_get_busses(); bus; bus = bus->next) {
        for (struct usb_device* device = bus->devices; device; device = device->next) {
            if (!matches(device, vendor_id, product_id))
                continue;
            const int dfu_interface = find_dfu_interface(device);
            if (dfu_interface < 0)
                continue;
            usb_dev_handle* opened = usb_open(device);
            if (!opened)
                continue;
            const int configured = usb_set_configuration(opened, 1);
            if (configured < 0) {
                // Standard output, not the message stream: -s does not hide it.
                printf("error: setting config 1 failed: %d - %s\n", -configured, strerror(-configured));
                fflush(stdout);
                usb_close(opened);
                return nullptr;
            }
            if (usb_claim_interface(opened, dfu_interface) != 0) {
                usb_close(opened);
                continue;
            }
            const uint16_t number = static_cast<uint16_t>(dfu_interface);
            switch (dfu_make_idle(opened, number)) {
            case 0:
                *handle = opened;
                *interface = number;
                return device;
            case 1:
                // The device leaves the bus and comes back; this handle is
                // of no further use.
                usb_close(opened);
                if (--reset_budget > 0)
                    goto search_again;
                return nullptr;
            default:
                usb_release_interface(opened, number);
                usb_close(opened);
                reset_budget = RESET_BUDGET;
                break;
            }
        }
    }
    return nullptr;
}

struct usb_device* find_running_loader(uint16_t vendor_id, uint16_t product_id, usb_dev_handle** handle) {
    *handle = nullptr;
    refresh_device_list();
    for (usb_bus* bus = usb_get_busses(); bus; bus = bus->next) {
        for (struct usb_device* device = bus->devices; device; device = device->next) {
            if (!matches(device, vendor_id, product_id))
                continue;
            usb_dev_handle* opened = usb_open(device);
            if (!opened)
                continue;
            if (usb_set_configuration(opened, 1) < 0)
                fatal_error("error: setting config 1 failed\n");
            if (usb_claim_interface(opened, 0) != 0)
                fatal_error("%s", usb_strerror());
            // The loader answers once it has set the board up and the host
            // has enumerated it again; until then the request fails.
            const uint64_t start = session_clock_ms();
            while (usb_control_msg(opened, REQ_TYPE_CLASS_OUT, REQ_SYNC, 0, 0, nullptr, 0, LOADER_TIMEOUT_MS) < 0) {
                if (session_clock_ms() - start >= SYNC_LIMIT_MS)
                    fatal_error("Test loader does not answer (no reply to sync request within %u s)",
                                static_cast<unsigned>(SYNC_LIMIT_MS / 1000));
            }
            *handle = opened;
            return device;
        }
    }
    return nullptr;
}
