// The whole ZQR-VT as the outside world sees it: the core Board with every
// model, the boot ROM's DFU device, the USB device port and the USB host
// model that stands in for the PC's host controller. The socket server and
// the tests drive a board only through this class.
//
// Every USB operation runs the board in virtual time until the transfer has
// completed or its time-out (in virtual milliseconds) has passed. Results are
// those of libusb-0.1 on Linux: the byte count, or a negative errno value
// (-ETIMEDOUT on time-out or NAK until the deadline, -EPIPE on a stall,
// -ENODEV when no device is on the bus, -EPROTO for other bus errors).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/board.h"

namespace vboard {

class Udp;
class BootRomDfu;

struct UsbSetup {
    std::uint8_t bmRequestType;
    std::uint8_t bRequest;
    std::uint16_t wValue;
    std::uint16_t wIndex;
    std::uint16_t wLength;
};

// What the host model learnt when it last enumerated the device.
struct UsbDeviceInfo {
    std::uint32_t generation;  // new value for every enumeration
    std::uint8_t address;
    std::vector<std::uint8_t> device_descriptor;            // 18 bytes
    std::vector<std::vector<std::uint8_t>> configurations;  // each the full set (wTotalLength)
};

class VirtualBoard {
public:
    explicit VirtualBoard(BoardConfig config);
    ~VirtualBoard();

    Board& board();

    // Power on (and the reset button): back to the boot ROM in DFU mode, the
    // device attached and enumerated.
    void reset_button();

    // The enumerated device on the bus, if any.
    std::optional<UsbDeviceInfo> device() const;

    // Control transfer on endpoint 0. For IN requests `data` receives up to
    // wLength bytes; for OUT requests it holds wLength bytes.
    int control(const UsbSetup& setup, std::uint8_t* data, unsigned timeout_ms);
    int bulk_write(std::uint8_t ep, const std::uint8_t* data, std::size_t len, unsigned timeout_ms);
    int bulk_read(std::uint8_t ep, std::uint8_t* data, std::size_t len, unsigned timeout_ms);
    // Port reset (usb_reset): bus reset, then the device re-enumerates if it
    // is still attached; returns 0 or a negative errno value.
    int port_reset();

    // Let the board run on with no USB traffic.
    void run_for(Nanos duration);

    // ---- additions for the socket server and the tests
    // Run with no USB traffic until a device is enumerated on the bus, at
    // most `max`; returns whether one is. (A host that sleeps while the
    // device comes back, e.g. after the port reset, maps its sleep to this.)
    bool wait_for_device(Nanos max);
    // Called (on the board's thread) whenever device() changes: a device was
    // enumerated, or it left the bus.
    void set_device_listener(std::function<void()> fn);
    // Everything the firmware has sent on the debug serial port so far.
    const std::string& console() const;
    // Refused DFU requests of the boot ROM and failed transfers or
    // enumerations of the host model; a clean run leaves it empty.
    std::vector<std::string> usb_log() const;
    // The models, for tests and diagnostics.
    Udp& udp();
    BootRomDfu& boot_rom();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vboard
