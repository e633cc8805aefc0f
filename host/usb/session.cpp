#include "session.h"

#include "dfu.h"
#include "discovery.h"
#include "firmware_image.h"
#include "host_limits.h"
#include "host_time.h"
#include "loader_protocol.h"
#include "../cli/messages.h"
#include "../progress/progress.h"

namespace {

enum : int { UPLOAD_CHUNK = 1024 };
enum : unsigned { RESET_SETTLE_MS = 1000 };
enum : uint32_t { SDRAM_BASE = 0x20000000 };

[[noreturn]] void fail_with_library_error() { fatal_error("%s", usb_strerror()); }

// A class IN request of the loader into `buffer`; any failure ends the run.
void loader_read(usb_dev_handle* handle, uint8_t request, void* buffer, int length) {
    if (usb_control_msg(handle, REQ_TYPE_CLASS_IN, request, 0, 0, static_cast<char*>(buffer), length,
                        LOADER_TIMEOUT_MS) < 0)
        fail_with_library_error();
}

void print_pin_reports(usb_dev_handle* loader, bool* pin_error) {
    PinReport report = {};
    for (unsigned i = 0; i < PIN_REPORT_COUNT; ++i) {
        loader_read(loader, REQ_PIN_RESULT, &report, sizeof report);
        if (report.flags == 0 && report.crossA == 0 && report.crossB == 0 && report.crossC == 0)
            continue;
        if (!*pin_error) {
            print_message("IO test error!\n");
            *pin_error = true;
        }
        print_message("PIO%c, pin=%d:\n", 'A' + i / 32, i % 32);
        if (report.flags & PIN_TO_3V3)
            print_message("  cross with 3.3V\n");
        if (report.flags & PIN_TO_GND)
            print_message("  cross with GND\n");
        const uint32_t masks[3] = {report.crossA, report.crossB, report.crossC};
        for (int port = 0; port < 3; ++port)
            for (int p = 0; p < 32; ++p)
                if (masks[port] & (1u << p))
                    print_message("  cross with PIO%c, pin=%d\n", 'A' + port, p);
    }
}

void print_memtest_error(const MemTestError& record) {
    switch (record.kind) {
    case KIND_DATA:
        print_message("\rAddress 0x%08x: expected 0x%08x, got 0x%08x \n", record.address, record.expected,
                      record.actual);
        break;
    case KIND_ADDR_HIGH:
    case KIND_ADDR_LOW:
    case KIND_ADDR_SHORT:
        print_message("\rAddress 0x%08x: changed from 0x%08x to 0x%08x after writing 0x%08x to address 0x%08x \n",
                      record.address, record.expected, record.actual, record.written, record.otherAddress);
        break;
    default:  // unknown kind: counted as an error, not printed
        break;
    }
}

// Ends the progress line before a fatal message, so that the message starts
// on a line of its own; a meter that has drawn nothing yet adds no newline.
void end_progress_line(ProgressMeter* meter, bool drawn) {
    if (!drawn)
        meter->finished = 1;
    progress_finish(meter);
}

void follow_memory_test(usb_dev_handle* loader, bool* memory_error) {
    ProgressMeter* meter = progress_new(static_cast<int32_t>(MEMTEST_RANGE / 1024), progress_stream);
    if (!meter)
        fatal_error("Out of memory");
    meter->unit = 1;  // KiB

    MemTestStatus status = {};
    MemTestError records[MAX_ERROR_RECORDS] = {};
    uint32_t last_done = 0;
    uint64_t last_progress = session_clock_ms();
    bool drawn = false;
    for (;;) {
        loader_read(loader, REQ_MEMTEST_STATUS, &status, sizeof status);
        if (status.errorCount > MAX_ERROR_RECORDS) {
            // The loader holds at most 32 records per block; a larger count
            // would not fit the reply buffer.
            end_progress_line(meter, drawn);
            fatal_error("Protocol error: test loader reports %u memory errors for one block (at most %u)",
                        static_cast<unsigned>(status.errorCount), static_cast<unsigned>(MAX_ERROR_RECORDS));
        }
        if (status.errorCount != 0) {
            if (!*memory_error) {
                print_message("Memory test error!\n");
                *memory_error = true;
            }
            loader_read(loader, REQ_MEMTEST_ERRORS, records, static_cast<int>(status.errorCount * sizeof(MemTestError)));
            for (uint32_t r = 0; r < status.errorCount; ++r)
                print_memtest_error(records[r]);
        }
        progress_set(meter, static_cast<int32_t>(status.bytesDone / 1024));
        progress_draw(meter);
        drawn = true;
        if (status.bytesDone >= MEMTEST_RANGE)
            break;

        const uint64_t now = session_clock_ms();
        if (status.bytesDone != last_done) {
            last_done = status.bytesDone;
            last_progress = now;
        } else if (now - last_progress >= MEMTEST_STALL_LIMIT_MS) {
            end_progress_line(meter, drawn);
            fatal_error("Memory test stalled at 0x%08x (no progress for %u s)",
                        static_cast<unsigned>(SDRAM_BASE + status.bytesDone),
                        static_cast<unsigned>(MEMTEST_STALL_LIMIT_MS / 1000));
        }
    }
    progress_finish(meter);
}

void send_uploader(usb_dev_handle* loader) {
    const uint32_t length = uploader_image.length;
    unsigned char length_word[4] = {
        static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
        static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
    if (usb_bulk_write(loader, LOADER_BULK_OUT_EP, reinterpret_cast<const char*>(length_word), sizeof length_word,
                       BULK_TIMEOUT_MS) < 0)
        fail_with_library_error();
    // The image's own writes are not checked: the loader starts whatever it
    // received, and a missing uploader shows on the board's console.
    for (uint32_t sent = 0; sent < length;) {
        const uint32_t chunk = length - sent < UPLOAD_CHUNK ? length - sent : uint32_t{UPLOAD_CHUNK};
        usb_bulk_write(loader, LOADER_BULK_OUT_EP, reinterpret_cast<const char*>(uploader_image.data + sent),
                       static_cast<int>(chunk), BULK_TIMEOUT_MS);
        sent += chunk;
    }
}

}  // namespace

usb_dev_handle* run_test_session(usb_dev_handle* dfu_handle, uint16_t interface) {
    print_message("Uploading uploader\n");
    DfuStatus status;
    dfu_get_status(dfu_handle, interface, &status);
    if (status.bState == DFU_STATE_APP_IDLE)
        return nullptr;  // a ROM in run-time mode is not downloaded to

    dfu_download_image(dfu_handle, interface, test_loader_image.data, test_loader_image.length);
    // The boot ROM starts the loader after the port reset; the device leaves
    // the bus and comes back as the loader, so the DFU handle is done with.
    usb_reset(dfu_handle);
    usb_close(dfu_handle);
    session_sleep_ms(RESET_SETTLE_MS);

    usb_dev_handle* loader = nullptr;
    if (!find_running_loader(target_device.vendor_id, target_device.product_id, &loader))
        fail_with_library_error();

    print_message("Testing...\n");
    bool pin_error = false;
    bool memory_error = false;
    print_pin_reports(loader, &pin_error);

    if (usb_control_msg(loader, REQ_TYPE_CLASS_OUT, REQ_MEMTEST_START, 0, 0, nullptr, 0, LOADER_TIMEOUT_MS) < 0)
        fail_with_library_error();
    follow_memory_test(loader, &memory_error);

    if (pin_error || memory_error)
        fatal_error("Errors!");
    print_message("All tests ok!\n");
    send_uploader(loader);
    return loader;
}
