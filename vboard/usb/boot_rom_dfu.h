// The chip's boot ROM in its USB DFU download mode, as a C++ device (no ARM
// code runs for it). It is a DFU 1.0 device in DFU mode:
//
//   device      vendor 0x03EB, product 0x6120, bcdUSB 1.10, bcdDevice 1.00,
//               endpoint 0 of 8 bytes, one configuration, no strings
//   interface   0, class 0xFE, subclass 0x01 (DFU), protocol 0
//   functional  bmAttributes 0x01 (download only; not manifestation
//               tolerant), wDetachTimeOut 1000 ms,
//               wTransferSize 1024 (the host's 512-byte blocks fit; a block
//               never exceeds what the ROM holds in one transfer)
//
// The DFU 1.0 state machine is enforced strictly:
// - DFU_DNLOAD blocks are stored one after the other into the internal SRAM
//   from its first byte. Block numbers (wValue) must run 0, 1, 2 ... in
//   order; any other number is refused: the request is stalled and the
//   device goes to dfuERROR with bStatus errADDRESS. Data that would end past
//   the 16 KiB of SRAM is refused the same way (errADDRESS). A block longer
//   than wTransferSize is stalled (dfuERROR, errSTALLEDPKT).
// - A block is written at once: DFU_GETSTATUS in dfuDNLOAD-SYNC goes
//   straight to dfuDNLOAD-IDLE (dfuDNBUSY is never entered), bwPollTimeout 0.
// - The zero-length DFU_DNLOAD in dfuDNLOAD-IDLE enters dfuMANIFEST-SYNC;
//   DFU_GETSTATUS there answers dfuMANIFEST, manifestation takes no time and
//   the device then waits in dfuMANIFEST-WAIT-RESET. DFU_GETSTATUS and
//   DFU_GETSTATE are still answered there; everything else is stalled.
// - A request that the current state does not allow is stalled and the
//   device goes to dfuERROR with bStatus errSTALLEDPKT; DFU_CLRSTATUS there
//   returns to dfuIDLE. DFU_ABORT is allowed in dfuIDLE and
//   dfuDNLOAD-IDLE. DFU_UPLOAD is not supported (always stalled).
// - DFU class requests are served in the configured state only, addressed
//   to interface 0.
// - A bus reset in dfuMANIFEST-WAIT-RESET starts the downloaded code (the
//   start callback) and the device leaves the bus. A bus reset in any other
//   DFU state returns to dfuIDLE with status OK and forgets a partial
//   download (the ROM has no valid firmware to run).
// - With `appidle`, the ROM presents itself in appIDLE: DFU_GETSTATUS and
//   DFU_GETSTATE answer state 0; DFU_DETACH goes to appDETACH, and the next
//   bus reset enters dfuIDLE. Other requests are stalled and the state stays.
// Every refused request is logged (log()), so a clean run has an empty log.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "usb/control_pipe.h"
#include "usb/usb_function.h"

namespace vboard {

class BootRomDfu : public usb::UsbFunction {
public:
    enum State : std::uint8_t {
        appIDLE = 0, appDETACH = 1, dfuIDLE = 2, dfuDNLOAD_SYNC = 3, dfuDNBUSY = 4, dfuDNLOAD_IDLE = 5,
        dfuMANIFEST_SYNC = 6, dfuMANIFEST = 7, dfuMANIFEST_WAIT_RESET = 8, dfuUPLOAD_IDLE = 9, dfuERROR = 10,
    };
    enum Status : std::uint8_t {
        OK = 0x00, errADDRESS = 0x08, errNOTDONE = 0x09, errUNKNOWN = 0x0E, errSTALLEDPKT = 0x0F,
    };
    enum Request : std::uint8_t {
        DFU_DETACH = 0, DFU_DNLOAD = 1, DFU_UPLOAD = 2, DFU_GETSTATUS = 3, DFU_CLRSTATUS = 4, DFU_GETSTATE = 5,
        DFU_ABORT = 6,
    };
    static constexpr std::uint16_t kVendor = 0x03EB, kProduct = 0x6120;
    static constexpr std::uint16_t kTransferSize = 1024;
    static constexpr std::uint32_t kSramSize = 16 * 1024;

    struct Hooks {
        // Writes downloaded bytes at `offset` of the internal SRAM.
        std::function<void(std::uint32_t offset, const std::uint8_t* data, std::size_t length)> store;
        // The port reset after manifestation: start the downloaded code.
        std::function<void()> start;
    };

    BootRomDfu(Hooks hooks, bool appidle);

    // Power-on / reset button: on the bus, state dfuIDLE (appIDLE with the
    // option), address 0, unconfigured, nothing downloaded.
    void power_on();

    State state() const { return state_; }
    Status status() const { return status_; }
    std::uint32_t bytes_stored() const { return stored_; }
    const std::vector<std::string>& log() const { return log_; }

    static const std::vector<std::uint8_t>& device_descriptor();
    static const std::vector<std::uint8_t>& configuration_descriptor();

    // ---- the bus side
    bool connected() const override { return connected_; }
    void bus_reset() override;
    usb::Handshake setup(std::uint8_t address, const std::uint8_t (&packet)[8]) override;
    usb::Handshake out(std::uint8_t address, std::uint8_t ep, const std::uint8_t* data, std::size_t length) override;
    usb::Handshake in(std::uint8_t address, std::uint8_t ep, std::vector<std::uint8_t>& data) override;
    std::uint64_t activity() const override { return activity_; }

private:
    usb::ControlReply request(const usb::SetupPacket& s, const std::vector<std::uint8_t>& data);
    usb::ControlReply standard_request(const usb::SetupPacket& s);
    usb::ControlReply dfu_request(const usb::SetupPacket& s, const std::vector<std::uint8_t>& data);
    usb::ControlReply refuse(const usb::SetupPacket& s, Status status, const std::string& why);
    usb::ControlReply status_reply();
    void note(const std::string& text) { log_.push_back(text); }

    Hooks hooks_;
    bool appidle_option_;
    usb::ControlPipe pipe_;
    bool connected_ = false;
    std::uint8_t address_ = 0;
    std::uint8_t configuration_ = 0;
    State state_ = dfuIDLE;
    Status status_ = OK;
    std::uint16_t next_block_ = 0;
    std::uint32_t stored_ = 0;
    std::uint64_t activity_ = 0;
    std::vector<std::string> log_;
};

const char* dfu_state_name(std::uint8_t state);

}  // namespace vboard
