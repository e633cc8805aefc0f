#include "usb/boot_rom_dfu.h"

#include <cstdio>

namespace vboard {

using usb::ControlReply;
using usb::Handshake;
using usb::SetupPacket;

const char* dfu_state_name(std::uint8_t state) {
    static const char* const names[] = {"appIDLE",          "appDETACH",   "dfuIDLE",
                                        "dfuDNLOAD-SYNC",   "dfuDNBUSY",   "dfuDNLOAD-IDLE",
                                        "dfuMANIFEST-SYNC", "dfuMANIFEST", "dfuMANIFEST-WAIT-RESET",
                                        "dfuUPLOAD-IDLE",   "dfuERROR"};
    return state <= 10 ? names[state] : "?";
}

namespace {
const char* request_name(std::uint8_t r) {
    static const char* const names[] = {"DFU_DETACH",   "DFU_DNLOAD",   "DFU_UPLOAD", "DFU_GETSTATUS",
                                        "DFU_CLRSTATUS", "DFU_GETSTATE", "DFU_ABORT"};
    return r <= 6 ? names[r] : "unknown DFU request";
}
std::string hex(unsigned v, int digits = 2) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}
}  // namespace

const std::vector<std::uint8_t>& BootRomDfu::device_descriptor() {
    static const std::vector<std::uint8_t> d = {
        18,   1,            // bLength, DEVICE
        0x10, 0x01,         // bcdUSB 1.10
        0x00, 0x00, 0x00,   // class, subclass, protocol: per interface
        8,                  // bMaxPacketSize0
        0xEB, 0x03,         // idVendor 0x03EB
        0x20, 0x61,         // idProduct 0x6120
        0x00, 0x01,         // bcdDevice 1.00
        0, 0, 0,            // no strings
        1,                  // bNumConfigurations
    };
    return d;
}

const std::vector<std::uint8_t>& BootRomDfu::configuration_descriptor() {
    static const std::vector<std::uint8_t> d = {
        // configuration: wTotalLength 25, one interface, value 1, bus powered, 100 mA
        9, 2, 25, 0, 1, 1, 0, 0x80, 50,
        // interface 0, alternate 0, no endpoints besides 0, DFU class 0xFE/0x01, protocol 0
        9, 4, 0, 0, 0, 0xFE, 0x01, 0x00, 0,
        // DFU functional descriptor (DFU 1.0, 7 bytes): download only,
        // wDetachTimeOut 1000 ms, wTransferSize 1024
        7, 0x21, 0x01, 0xE8, 0x03, kTransferSize & 0xFF, kTransferSize >> 8,
    };
    return d;
}

BootRomDfu::BootRomDfu(Hooks hooks, bool appidle)
    : hooks_(std::move(hooks)),
      appidle_option_(appidle),
      pipe_([this](const SetupPacket& s, const std::vector<std::uint8_t>& data) { return request(s, data); }) {}

void BootRomDfu::power_on() {
    connected_ = true;
    address_ = 0;
    configuration_ = 0;
    state_ = appidle_option_ ? appIDLE : dfuIDLE;
    status_ = OK;
    next_block_ = 0;
    stored_ = 0;
    pipe_.reset();
    ++activity_;
}

void BootRomDfu::bus_reset() {
    if (!connected_) return;
    address_ = 0;
    configuration_ = 0;
    pipe_.reset();
    ++activity_;
    switch (state_) {
        case dfuMANIFEST:
        case dfuMANIFEST_WAIT_RESET:
            // The downloaded code starts; the ROM's device leaves the bus.
            connected_ = false;
            if (hooks_.start) hooks_.start();
            return;
        case appIDLE: return;
        default:
            state_ = dfuIDLE;
            status_ = OK;
            next_block_ = 0;
            stored_ = 0;
            return;
    }
}

Handshake BootRomDfu::setup(std::uint8_t address, const std::uint8_t (&packet)[8]) {
    if (!connected_ || address != address_) return Handshake::None;
    ++activity_;
    return pipe_.setup(packet);
}

Handshake BootRomDfu::out(std::uint8_t address, std::uint8_t ep, const std::uint8_t* data, std::size_t length) {
    if (!connected_ || address != address_ || ep != 0) return Handshake::None;
    ++activity_;
    return pipe_.out(data, length);
}

Handshake BootRomDfu::in(std::uint8_t address, std::uint8_t ep, std::vector<std::uint8_t>& data) {
    if (!connected_ || address != address_ || ep != 0) return Handshake::None;
    ++activity_;
    return pipe_.in(data);
}

ControlReply BootRomDfu::request(const SetupPacket& s, const std::vector<std::uint8_t>& data) {
    std::uint8_t type = s.bmRequestType & 0x60;
    if (type == 0x00) return standard_request(s);
    if (type == 0x20 && (s.bmRequestType & 0x1F) == 0x01) {
        if (configuration_ == 0) {
            note("DFU: " + std::string(request_name(s.bRequest)) + " before SET_CONFIGURATION: stalled");
            return {true, {}, nullptr};
        }
        if (s.wIndex != 0) {
            note("DFU: " + std::string(request_name(s.bRequest)) + " to interface " + std::to_string(s.wIndex) +
                 ": stalled");
            return {true, {}, nullptr};
        }
        return dfu_request(s, data);
    }
    note("USB: request " + hex(s.bmRequestType) + "/" + hex(s.bRequest) + " not supported: stalled");
    return {true, {}, nullptr};
}

ControlReply BootRomDfu::standard_request(const SetupPacket& s) {
    ControlReply r;
    switch ((s.bmRequestType << 8) | s.bRequest) {
        case 0x8006: {  // GET_DESCRIPTOR
            std::uint8_t kind = s.wValue >> 8, index = s.wValue & 0xFF;
            if (kind == 1 && index == 0) {
                r.data = device_descriptor();
                return r;
            }
            if (kind == 2 && index == 0) {
                r.data = configuration_descriptor();
                return r;
            }
            // No string descriptors; other kinds do not exist.
            r.stall = true;
            return r;
        }
        case 0x0005:  // SET_ADDRESS: takes effect after the status stage
            if (s.wValue > 127) {
                r.stall = true;
                return r;
            }
            r.after_status = [this, a = static_cast<std::uint8_t>(s.wValue)] { address_ = a; };
            return r;
        case 0x0009:  // SET_CONFIGURATION
            if ((s.wValue & 0xFF) > 1 || address_ == 0) {
                r.stall = true;
                return r;
            }
            configuration_ = s.wValue & 0xFF;
            return r;
        case 0x8008: r.data = {configuration_}; return r;  // GET_CONFIGURATION
        case 0x8000:                                        // GET_STATUS device (bus powered, no wake-up)
        case 0x8100:                                        // interface
        case 0x8200:                                        // endpoint 0 (not halted)
            if ((s.bmRequestType == 0x81 && s.wIndex != 0) || (s.bmRequestType == 0x82 && (s.wIndex & 0x7F) != 0)) {
                r.stall = true;
                return r;
            }
            r.data = {0, 0};
            return r;
        case 0x810A: r.data = {0}; return r;  // GET_INTERFACE
        case 0x010B:                          // SET_INTERFACE: only 0/0
            if (s.wIndex != 0 || s.wValue != 0) r.stall = true;
            return r;
        case 0x0201:  // CLEAR_FEATURE(ENDPOINT_HALT) on endpoint 0
            if (s.wValue != 0 || (s.wIndex & 0x7F) != 0) r.stall = true;
            return r;
        default: r.stall = true; return r;
    }
}

ControlReply BootRomDfu::refuse(const SetupPacket& s, Status status, const std::string& why) {
    note(std::string("DFU: ") + request_name(s.bRequest) + " in " + dfu_state_name(state_) + ": " + why +
         ": stalled");
    switch (state_) {
        case appIDLE: break;
        case appDETACH: state_ = appIDLE; break;
        case dfuMANIFEST_WAIT_RESET: break;  // only a reset leaves this state
        default:
            state_ = dfuERROR;
            if (status_ == OK) status_ = status;
            break;
    }
    return {true, {}, nullptr};
}

ControlReply BootRomDfu::status_reply() {
    ControlReply r;
    r.data = {status_, 0, 0, 0, state_, 0};
    return r;
}

ControlReply BootRomDfu::dfu_request(const SetupPacket& s, const std::vector<std::uint8_t>& data) {
    bool in = s.bmRequestType & 0x80;
    bool want_in = s.bRequest == DFU_UPLOAD || s.bRequest == DFU_GETSTATUS || s.bRequest == DFU_GETSTATE;
    if (s.bRequest > DFU_ABORT) return refuse(s, errSTALLEDPKT, "unknown request " + hex(s.bRequest));
    if (in != want_in) return refuse(s, errSTALLEDPKT, "wrong direction");

    ControlReply r;
    switch (s.bRequest) {
        case DFU_GETSTATE: r.data = {state_}; return r;
        case DFU_GETSTATUS:
            switch (state_) {
                case dfuDNLOAD_SYNC: state_ = dfuDNLOAD_IDLE; break;  // the block is written
                case dfuMANIFEST_SYNC: {
                    state_ = dfuMANIFEST;
                    r = status_reply();
                    // Manifestation takes no time; not manifestation tolerant,
                    // so the device now waits for the port reset.
                    state_ = dfuMANIFEST_WAIT_RESET;
                    return r;
                }
                default: break;
            }
            return status_reply();
        case DFU_CLRSTATUS:
            if (state_ != dfuERROR) return refuse(s, errSTALLEDPKT, "not in dfuERROR");
            state_ = dfuIDLE;
            status_ = OK;
            next_block_ = 0;
            stored_ = 0;
            return r;
        case DFU_ABORT:
            if (state_ != dfuIDLE && state_ != dfuDNLOAD_IDLE) return refuse(s, errSTALLEDPKT, "not allowed");
            state_ = dfuIDLE;
            next_block_ = 0;
            stored_ = 0;
            return r;
        case DFU_DETACH:
            if (state_ != appIDLE) return refuse(s, errSTALLEDPKT, "not allowed");
            state_ = appDETACH;
            return r;
        case DFU_UPLOAD: return refuse(s, errSTALLEDPKT, "upload not supported");
        case DFU_DNLOAD:
            if (state_ != dfuIDLE && state_ != dfuDNLOAD_IDLE) return refuse(s, errSTALLEDPKT, "not allowed");
            if (s.wLength == 0) {
                if (state_ == dfuIDLE) return refuse(s, errSTALLEDPKT, "zero-length block with nothing downloaded");
                if (s.wValue != next_block_)
                    return refuse(s, errADDRESS, "block " + std::to_string(s.wValue) + ", expected " +
                                                     std::to_string(next_block_));
                state_ = dfuMANIFEST_SYNC;
                return r;
            }
            if (s.wLength > kTransferSize)
                return refuse(s, errSTALLEDPKT, "block of " + std::to_string(s.wLength) + " bytes exceeds wTransferSize");
            if (s.wValue != next_block_)
                return refuse(s, errADDRESS,
                              "block " + std::to_string(s.wValue) + ", expected " + std::to_string(next_block_));
            if (stored_ + data.size() > kSramSize)
                return refuse(s, errADDRESS, "block ends past the 16 KiB SRAM");
            if (hooks_.store) hooks_.store(stored_, data.data(), data.size());
            stored_ += static_cast<std::uint32_t>(data.size());
            ++next_block_;
            state_ = dfuDNLOAD_SYNC;
            return r;
    }
    return refuse(s, errSTALLEDPKT, "unknown request");
}

}  // namespace vboard
