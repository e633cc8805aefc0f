// The USB bus between the host model and a device, at the level of
// transactions: the host sends a token (SETUP, OUT or IN) with a function
// address and an endpoint number, the device answers with a handshake.
//
// Two devices sit behind this interface: the USB device port of the chip,
// answered by the firmware through the port's registers (`Udp`), and the
// boot ROM's DFU device, answered in C++ (`BootRomDfu`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vboard::usb {

enum class Handshake {
    Ack,    // data accepted / data sent
    Nak,    // not ready: try again later
    Stall,  // endpoint halted or request not supported
    None,   // no answer at all (not addressed, endpoint disabled, ...)
};

const char* handshake_name(Handshake h);

class UsbFunction {
public:
    virtual ~UsbFunction() = default;

    // True while the device presents its D+ pull-up (it is on the bus).
    virtual bool connected() const = 0;
    // The end of a bus reset driven by the host (SE0 for >= 10 ms).
    virtual void bus_reset() = 0;

    // SETUP transaction: 8 bytes to endpoint 0. A device may not NAK it.
    virtual Handshake setup(std::uint8_t address, const std::uint8_t (&packet)[8]) = 0;
    // OUT transaction: `length` bytes (0..max packet) to endpoint `ep`.
    virtual Handshake out(std::uint8_t address, std::uint8_t ep, const std::uint8_t* data, std::size_t length) = 0;
    // IN transaction: on Ack, `data` holds the packet the device sent.
    virtual Handshake in(std::uint8_t address, std::uint8_t ep, std::vector<std::uint8_t>& data) = 0;

    // A counter that moves whenever the device side may have changed its
    // answer (the firmware wrote a register, ...). The host waits on it
    // before it repeats a NAKed transaction.
    virtual std::uint64_t activity() const = 0;
};

}  // namespace vboard::usb
