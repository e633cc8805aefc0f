// Device side of a control pipe (endpoint 0, 8-byte packets) for a device
// that answers its requests in C++: collects SETUP and OUT data, hands the
// request to a handler, then serves the data and status stages.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "usb/usb_function.h"

namespace vboard::usb {

struct SetupPacket {
    std::uint8_t bmRequestType, bRequest;
    std::uint16_t wValue, wIndex, wLength;
    static SetupPacket parse(const std::uint8_t (&p)[8]) {
        return {p[0], p[1], static_cast<std::uint16_t>(p[2] | p[3] << 8), static_cast<std::uint16_t>(p[4] | p[5] << 8),
                static_cast<std::uint16_t>(p[6] | p[7] << 8)};
    }
};

struct ControlReply {
    bool stall = false;
    std::vector<std::uint8_t> data;  // IN requests: the reply (cut to wLength)
    // Runs after the status stage has completed (SET_ADDRESS).
    std::function<void()> after_status;
};

class ControlPipe {
public:
    static constexpr unsigned kMaxPacket = 8;
    using Handler = std::function<ControlReply(const SetupPacket&, const std::vector<std::uint8_t>& out_data)>;

    explicit ControlPipe(Handler handler) : handler_(std::move(handler)) {}

    void reset() { stage_ = Stage::Idle; }
    Handshake setup(const std::uint8_t (&packet)[8]);
    Handshake out(const std::uint8_t* data, std::size_t length);
    Handshake in(std::vector<std::uint8_t>& data);

private:
    enum class Stage { Idle, DataOut, DataIn, StatusOut, StatusIn, Stalled };
    void run_request();

    Handler handler_;
    Stage stage_ = Stage::Idle;
    SetupPacket setup_{};
    std::vector<std::uint8_t> buffer_;
    std::size_t pos_ = 0;
    bool zlp_due_ = false;
    std::function<void()> after_status_;
};

}  // namespace vboard::usb
