// The server's view of a real VirtualBoard.
#pragma once

#include "link/server.h"
#include "usb/virtual_board.h"

namespace vboard::link {

class VirtualBoardPort : public BoardPort {
public:
    explicit VirtualBoardPort(VirtualBoard& vb) : vb_(vb) {}
    std::optional<UsbDeviceInfo> device() override { return vb_.device(); }
    int control(const UsbSetup& setup, std::uint8_t* data, unsigned timeout_ms) override {
        return vb_.control(setup, data, timeout_ms);
    }
    int bulk_write(std::uint8_t ep, const std::uint8_t* data, std::size_t len, unsigned timeout_ms) override {
        return vb_.bulk_write(ep, data, len, timeout_ms);
    }
    int bulk_read(std::uint8_t ep, std::uint8_t* data, std::size_t len, unsigned timeout_ms) override {
        return vb_.bulk_read(ep, data, len, timeout_ms);
    }
    int port_reset() override { return vb_.port_reset(); }
    void reset_button() override { vb_.reset_button(); }
    void run_for(Nanos duration) override { vb_.run_for(duration); }
    bool idle() override { return vb_.board().idle(); }
    BoardStats stats() override { return vb_.board().stats(); }

private:
    VirtualBoard& vb_;
};

}  // namespace vboard::link
