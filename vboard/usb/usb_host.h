// The PC's USB host controller and hub port as the virtual board sees them:
// control, bulk OUT and bulk IN transfers made of transactions against the
// device on the port (the `UsbFunction`), and enumeration.
//
// Behaviour, chosen to match a Linux host with libusb-0.1:
// - Control transfers: SETUP, then the data stage in packets of the
//   device's bMaxPacketSize0 (a short packet or wLength ends an IN data
//   stage; an OUT data stage sends no zero-length packet), then the status
//   stage in the other direction. A STALL at any stage fails the transfer
//   with -EPIPE.
// - Bulk OUT: packets of the endpoint's wMaxPacketSize; a transfer that is a
//   multiple of it ends without a zero-length packet. Bulk IN: packets until
//   a short one or the requested length.
// - A NAKed transaction is repeated when the device side has changed (its
//   activity counter moved) or after kNakRetry, until the transfer's
//   time-out in virtual time: then -ETIMEDOUT. No answer at all: -EPROTO.
//   No device on the port (or it left during the transfer): -ENODEV.
// - Every transaction takes bus time (full speed, 12 Mbit/s) during which
//   the board runs.
// - Enumeration after a bus reset (10 ms, then 10 ms recovery): GET_DESCRIPTOR
//   device with wLength 64 at address 0 (the first packet tells
//   bMaxPacketSize0), SET_ADDRESS (then 2 ms), GET_DESCRIPTOR device (18),
//   for each configuration GET_DESCRIPTOR 9 bytes then wTotalLength bytes,
//   and SET_CONFIGURATION with the first configuration's value, as the
//   Linux hub driver does. Control requests of the enumeration time out
//   after kEnumTimeout; a failed enumeration is tried once more.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/board.h"
#include "usb/usb_function.h"
#include "usb/virtual_board.h"

namespace vboard {

class UsbHost {
public:
    static constexpr Nanos kNakRetry = 1'000'000;        // 1 ms
    static constexpr Nanos kResetTime = 10'000'000;      // SE0 on the port
    static constexpr Nanos kResetRecovery = 10'000'000;  // after the reset
    static constexpr Nanos kSetAddressRecovery = 2'000'000;
    static constexpr Nanos kEnumTimeout = 1'000'000'000;

    UsbHost(Board& board, usb::UsbFunction& port);

    // The device the host knows, if it has enumerated one.
    const std::optional<UsbDeviceInfo>& device() const { return device_; }
    // The device has left the port: forget it.
    void forget() { device_.reset(); }

    // Bus reset and full enumeration; 0 or a negative errno value.
    int enumerate();
    // usb_reset: bus reset, then the device is set up again at its address
    // (a new enumeration when it has changed); 0 or a negative errno value.
    int port_reset();

    int control(const UsbSetup& setup, std::uint8_t* data, unsigned timeout_ms);
    int bulk_write(std::uint8_t ep, const std::uint8_t* data, std::size_t len, unsigned timeout_ms);
    int bulk_read(std::uint8_t ep, std::uint8_t* data, std::size_t len, unsigned timeout_ms);

    // Transfers and enumerations that failed, with the reason.
    const std::vector<std::string>& log() const { return log_; }

private:
    enum class Result { Ack, Nak, Stall, None, Gone };
    Result transact_setup(std::uint8_t addr, const UsbSetup& s);
    Result transact_out(std::uint8_t addr, std::uint8_t ep, const std::uint8_t* data, std::size_t n, Nanos deadline);
    Result transact_in(std::uint8_t addr, std::uint8_t ep, std::vector<std::uint8_t>& data, Nanos deadline);
    template <class F> Result retry(Nanos deadline, F attempt);
    void bus_time(std::size_t bytes);
    int error(Result r) const;
    int control_at(std::uint8_t addr, unsigned mps0, const UsbSetup& s, std::uint8_t* data, Nanos deadline);
    int enumerate_once(std::uint8_t address, UsbDeviceInfo& info);
    // Returns whether the device is still on the bus after the reset.
    bool bus_reset();
    unsigned endpoint_size(std::uint8_t ep_address) const;

    Board& board_;
    usb::UsbFunction& port_;
    std::optional<UsbDeviceInfo> device_;
    std::uint32_t generation_ = 0;
    std::uint8_t last_address_ = 0;
    std::vector<std::string> log_;
    std::string step_;  // the enumeration's current request, for the log
};

}  // namespace vboard
