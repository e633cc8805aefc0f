#include "usb/control_pipe.h"

#include <algorithm>

namespace vboard::usb {

Handshake ControlPipe::setup(const std::uint8_t (&packet)[8]) {
    // A SETUP always starts a new request, whatever came before.
    setup_ = SetupPacket::parse(packet);
    buffer_.clear();
    pos_ = 0;
    after_status_ = nullptr;
    if (!(setup_.bmRequestType & 0x80) && setup_.wLength > 0)
        stage_ = Stage::DataOut;
    else
        run_request();
    return Handshake::Ack;
}

void ControlPipe::run_request() {
    ControlReply r = handler_(setup_, buffer_);
    if (r.stall) {
        stage_ = Stage::Stalled;
        return;
    }
    after_status_ = std::move(r.after_status);
    if (setup_.bmRequestType & 0x80) {
        buffer_ = std::move(r.data);
        if (buffer_.size() > setup_.wLength) buffer_.resize(setup_.wLength);
        pos_ = 0;
        // A reply shorter than asked that fills whole packets ends with a
        // zero-length packet.
        zlp_due_ = buffer_.size() < setup_.wLength && buffer_.size() % kMaxPacket == 0;
        stage_ = setup_.wLength == 0 ? Stage::StatusIn : Stage::DataIn;
    } else {
        stage_ = Stage::StatusIn;
    }
}

Handshake ControlPipe::out(const std::uint8_t* data, std::size_t length) {
    switch (stage_) {
        case Stage::DataOut:
            buffer_.insert(buffer_.end(), data, data + length);
            if (buffer_.size() >= setup_.wLength || length < kMaxPacket) {
                buffer_.resize(std::min<std::size_t>(buffer_.size(), setup_.wLength));
                run_request();
            }
            return Handshake::Ack;
        case Stage::DataIn:     // the host ends the data stage early
        case Stage::StatusOut:
            stage_ = Stage::Idle;
            if (after_status_) after_status_();
            after_status_ = nullptr;
            return Handshake::Ack;
        case Stage::Stalled: return Handshake::Stall;
        case Stage::Idle:
        case Stage::StatusIn: return Handshake::Stall;
    }
    return Handshake::Stall;
}

Handshake ControlPipe::in(std::vector<std::uint8_t>& data) {
    switch (stage_) {
        case Stage::DataIn: {
            std::size_t n = std::min<std::size_t>(kMaxPacket, buffer_.size() - pos_);
            data.assign(buffer_.begin() + static_cast<std::ptrdiff_t>(pos_),
                        buffer_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
            pos_ += n;
            if (pos_ >= buffer_.size()) {
                if (n == 0 || n < kMaxPacket || !zlp_due_) stage_ = Stage::StatusOut;
                // else: stay in DataIn; the next IN gets the zero-length packet
                if (n == 0) zlp_due_ = false;
            }
            return Handshake::Ack;
        }
        case Stage::StatusIn:
            data.clear();
            stage_ = Stage::Idle;
            if (after_status_) after_status_();
            after_status_ = nullptr;
            return Handshake::Ack;
        case Stage::StatusOut: return Handshake::Nak;  // nothing more to send
        case Stage::Stalled: return Handshake::Stall;
        case Stage::Idle:
        case Stage::DataOut: return Handshake::Stall;
    }
    return Handshake::Stall;
}

}  // namespace vboard::usb
