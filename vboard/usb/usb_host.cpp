#include "usb/usb_host.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vboard {

using usb::Handshake;

namespace {
// Full speed: 12 Mbit/s. A transaction carries a token, the data packet
// with its PID and CRC, a handshake, sync fields and gaps: about 14 bytes
// besides the payload.
constexpr Nanos kNsPerByte = 667;
constexpr std::size_t kTransactionOverhead = 14;

std::string setup_text(const UsbSetup& s) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "%02X/%02X wValue 0x%04X wIndex 0x%04X wLength %u", s.bmRequestType, s.bRequest,
                  s.wValue, s.wIndex, s.wLength);
    return buf;
}
}  // namespace

UsbHost::UsbHost(Board& board, usb::UsbFunction& port) : board_(board), port_(port) {}

void UsbHost::bus_time(std::size_t bytes) {
    board_.run_until(board_.now() + (bytes + kTransactionOverhead) * kNsPerByte);
}

int UsbHost::error(Result r) const {
    switch (r) {
        case Result::Ack: return 0;
        case Result::Nak: return -ETIMEDOUT;
        case Result::Stall: return -EPIPE;
        case Result::None: return -EPROTO;
        case Result::Gone: return -ENODEV;
    }
    return -EPROTO;
}

template <class F>
UsbHost::Result UsbHost::retry(Nanos deadline, F attempt) {
    for (;;) {
        if (!port_.connected()) return Result::Gone;
        Handshake h = attempt();
        // What the device side looked like when it NAKed.
        const std::uint64_t seen = port_.activity();
        switch (h) {
            case Handshake::Ack: return Result::Ack;
            case Handshake::Stall: return Result::Stall;
            case Handshake::None: return port_.connected() ? Result::None : Result::Gone;
            case Handshake::Nak: break;
        }
        if (board_.now() >= deadline) return Result::Nak;
        // Wait for the device side to change, or try again a frame later.
        board_.run_until(std::min(deadline, board_.now() + kNakRetry),
                         [&] { return port_.activity() != seen || !port_.connected(); });
    }
}

UsbHost::Result UsbHost::transact_setup(std::uint8_t addr, const UsbSetup& s) {
    if (!port_.connected()) return Result::Gone;
    const std::uint8_t p[8] = {s.bmRequestType,
                               s.bRequest,
                               static_cast<std::uint8_t>(s.wValue),
                               static_cast<std::uint8_t>(s.wValue >> 8),
                               static_cast<std::uint8_t>(s.wIndex),
                               static_cast<std::uint8_t>(s.wIndex >> 8),
                               static_cast<std::uint8_t>(s.wLength),
                               static_cast<std::uint8_t>(s.wLength >> 8)};
    Handshake h = port_.setup(addr, p);
    bus_time(8);
    switch (h) {
        case Handshake::Ack: return Result::Ack;
        case Handshake::None: return port_.connected() ? Result::None : Result::Gone;
        default: return Result::None;  // a device may not NAK or STALL a SETUP
    }
}

UsbHost::Result UsbHost::transact_out(std::uint8_t addr, std::uint8_t ep, const std::uint8_t* data, std::size_t n,
                                      Nanos deadline) {
    Result r = retry(deadline, [&] { return port_.out(addr, ep, data, n); });
    bus_time(n);
    return r;
}

UsbHost::Result UsbHost::transact_in(std::uint8_t addr, std::uint8_t ep, std::vector<std::uint8_t>& data,
                                     Nanos deadline) {
    data.clear();
    Result r = retry(deadline, [&] { return port_.in(addr, ep, data); });
    bus_time(r == Result::Ack ? data.size() : 0);
    return r;
}

int UsbHost::control_at(std::uint8_t addr, unsigned mps0, const UsbSetup& s, std::uint8_t* data, Nanos deadline) {
    Result r = transact_setup(addr, s);
    if (r != Result::Ack) return error(r);
    const bool in = s.bmRequestType & 0x80;
    std::size_t done = 0;
    if (in) {
        std::vector<std::uint8_t> packet;
        while (done < s.wLength) {
            r = transact_in(addr, 0, packet, deadline);
            if (r != Result::Ack) return error(r);
            if (packet.size() > mps0 || done + packet.size() > s.wLength) return -EOVERFLOW;
            if (data && !packet.empty()) std::memcpy(data + done, packet.data(), packet.size());
            done += packet.size();
            if (packet.size() < mps0) break;
        }
        r = transact_out(addr, 0, nullptr, 0, deadline);  // status stage
        if (r != Result::Ack) return error(r);
        return static_cast<int>(done);
    }
    while (done < s.wLength) {
        std::size_t n = std::min<std::size_t>(mps0, s.wLength - done);
        r = transact_out(addr, 0, data + done, n, deadline);
        if (r != Result::Ack) return error(r);
        done += n;
    }
    std::vector<std::uint8_t> packet;
    r = transact_in(addr, 0, packet, deadline);  // status stage
    if (r != Result::Ack) return error(r);
    if (!packet.empty()) return -EPROTO;
    return static_cast<int>(done);
}

int UsbHost::control(const UsbSetup& setup, std::uint8_t* data, unsigned timeout_ms) {
    if (!device_ || !port_.connected()) return -ENODEV;
    if (setup.wLength > 0 && !data) return -EINVAL;
    Nanos deadline = board_.now() + Nanos{timeout_ms} * 1'000'000;
    int r = control_at(device_->address, device_->device_descriptor[7], setup, data, deadline);
    if (r < 0) log_.push_back("control " + setup_text(setup) + ": " + std::strerror(-r));
    return r;
}

unsigned UsbHost::endpoint_size(std::uint8_t ep_address) const {
    if (!device_ || device_->configurations.empty()) return 0;
    const auto& c = device_->configurations.front();
    for (std::size_t i = 0; i + 1 < c.size() && c[i] >= 2; i += c[i]) {
        if (c[i + 1] == 5 && c[i] >= 7 && i + 6 < c.size() && c[i + 2] == ep_address && (c[i + 3] & 3) == 2)
            return c[i + 4] | c[i + 5] << 8;
    }
    return 0;
}

int UsbHost::bulk_write(std::uint8_t ep, const std::uint8_t* data, std::size_t len, unsigned timeout_ms) {
    if (!device_ || !port_.connected()) return -ENODEV;
    if (len > 0 && !data) return -EINVAL;
    ep &= 0x0F;
    unsigned mps = endpoint_size(ep);
    if (mps == 0) return -ENOENT;  // usbfs: no such endpoint in the configuration
    Nanos deadline = board_.now() + Nanos{timeout_ms} * 1'000'000;
    std::size_t done = 0;
    do {
        std::size_t n = std::min<std::size_t>(mps, len - done);
        Result r = transact_out(device_->address, ep, data + done, n, deadline);
        if (r != Result::Ack) {
            log_.push_back("bulk write to endpoint " + std::to_string(ep) + " after " + std::to_string(done) +
                           " bytes: " + std::strerror(-error(r)));
            return error(r);
        }
        done += n;
    } while (done < len);
    return static_cast<int>(done);
}

int UsbHost::bulk_read(std::uint8_t ep, std::uint8_t* data, std::size_t len, unsigned timeout_ms) {
    if (!device_ || !port_.connected()) return -ENODEV;
    if (len > 0 && !data) return -EINVAL;
    ep = static_cast<std::uint8_t>((ep & 0x0F) | 0x80);
    unsigned mps = endpoint_size(ep);
    if (mps == 0) return -ENOENT;
    Nanos deadline = board_.now() + Nanos{timeout_ms} * 1'000'000;
    std::size_t done = 0;
    std::vector<std::uint8_t> packet;
    while (done < len) {
        Result r = transact_in(device_->address, ep & 0x0F, packet, deadline);
        if (r != Result::Ack) {
            log_.push_back("bulk read from endpoint " + std::to_string(ep & 0x0F) + " after " + std::to_string(done) +
                           " bytes: " + std::strerror(-error(r)));
            return error(r);
        }
        if (done + packet.size() > len || packet.size() > mps) return -EOVERFLOW;
        if (!packet.empty()) std::memcpy(data + done, packet.data(), packet.size());
        done += packet.size();
        if (packet.size() < mps) break;
    }
    return static_cast<int>(done);
}

bool UsbHost::bus_reset() {
    board_.run_until(board_.now() + kResetTime);
    port_.bus_reset();
    board_.wake();
    // A device that left the bus with the reset (the boot ROM starting the
    // downloaded code) is gone for this enumeration, even if something
    // connects again during the recovery time: that is a new device.
    if (!port_.connected()) return false;
    board_.run_until(board_.now() + kResetRecovery);
    return true;
}

int UsbHost::enumerate_once(std::uint8_t address, UsbDeviceInfo& info) {
    if (!bus_reset()) return -ENODEV;
    if (!port_.connected()) return -ENODEV;
    auto deadline = [this] { return board_.now() + kEnumTimeout; };
    std::uint8_t buf[64] = {};
    step_ = "GET_DESCRIPTOR device (64) at address 0";
    // The first request goes out with a maximum packet size of 64: the
    // device's first packet (8 bytes or more) carries bMaxPacketSize0.
    int r = control_at(0, 64, {0x80, 6, 0x0100, 0, 64}, buf, deadline());
    if (r < 0) return r;
    if (r < 8 || buf[1] != 1) return -EPROTO;
    unsigned mps0 = buf[7];
    if (mps0 != 8 && mps0 != 16 && mps0 != 32 && mps0 != 64) return -EPROTO;
    step_ = "SET_ADDRESS " + std::to_string(address);
    r = control_at(0, mps0, {0x00, 5, address, 0, 0}, nullptr, deadline());
    if (r < 0) return r;
    board_.run_until(board_.now() + kSetAddressRecovery);
    std::uint8_t dev[18];
    step_ = "GET_DESCRIPTOR device (18)";
    r = control_at(address, mps0, {0x80, 6, 0x0100, 0, 18}, dev, deadline());
    if (r < 0) return r;
    if (r != 18 || dev[0] != 18 || dev[1] != 1) return -EPROTO;
    info.address = address;
    info.device_descriptor.assign(dev, dev + 18);
    info.configurations.clear();
    for (unsigned i = 0; i < dev[17]; ++i) {
        std::uint8_t head[9];
        step_ = "GET_DESCRIPTOR configuration (9)";
        r = control_at(address, mps0, {0x80, 6, static_cast<std::uint16_t>(0x0200 | i), 0, 9}, head, deadline());
        if (r < 0) return r;
        if (r != 9 || head[1] != 2) return -EPROTO;
        std::uint16_t total = static_cast<std::uint16_t>(head[2] | head[3] << 8);
        std::vector<std::uint8_t> full(total);
        step_ = "GET_DESCRIPTOR configuration (" + std::to_string(total) + ")";
        r = control_at(address, mps0, {0x80, 6, static_cast<std::uint16_t>(0x0200 | i), 0, total}, full.data(),
                       deadline());
        if (r < 0) return r;
        if (r != total) return -EPROTO;
        info.configurations.push_back(std::move(full));
    }
    if (!info.configurations.empty()) {
        step_ = "SET_CONFIGURATION";
        r = control_at(address, mps0, {0x00, 9, info.configurations.front()[5], 0, 0}, nullptr, deadline());
        if (r < 0) return r;
    }
    return 0;
}

int UsbHost::enumerate() {
    device_.reset();
    int r = -ENODEV;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!port_.connected()) return -ENODEV;
        last_address_ = static_cast<std::uint8_t>(last_address_ % 127 + 1);
        UsbDeviceInfo info{};
        r = enumerate_once(last_address_, info);
        if (r == 0) {
            info.generation = ++generation_;
            device_ = std::move(info);
            return 0;
        }
        log_.push_back("enumeration failed at " + step_ + ": " + std::strerror(-r));
    }
    return r;
}

int UsbHost::port_reset() {
    if (!port_.connected()) {
        device_.reset();
        return -ENODEV;
    }
    std::optional<UsbDeviceInfo> before = std::move(device_);
    device_.reset();
    if (!before) return enumerate();
    UsbDeviceInfo info{};
    int r = enumerate_once(before->address, info);
    if (r == -ENODEV) return 0;  // the device left the bus with the reset
    if (r < 0) {
        log_.push_back("port reset: device did not come back: " + step_ + ": " + std::strerror(-r));
        return -ENODEV;
    }
    // The same device keeps its identity; different descriptors make it a
    // new one.
    bool same = info.device_descriptor == before->device_descriptor && info.configurations == before->configurations;
    info.generation = same ? before->generation : ++generation_;
    device_ = std::move(info);
    return 0;
}

}  // namespace vboard
