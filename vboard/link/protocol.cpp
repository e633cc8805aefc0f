#include "link/protocol.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace vboard::link {
namespace {

class Writer {
public:
    void u8(std::uint8_t v) { buf_.push_back(v); }
    void u16(std::uint16_t v) {
        for (int i = 0; i < 2; ++i) buf_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) buf_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) buf_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
    void bytes(const std::vector<std::uint8_t>& b) { buf_.insert(buf_.end(), b.begin(), b.end()); }
    // A length-prefixed block: u16 or u32 length, then the bytes.
    void block16(const std::vector<std::uint8_t>& b) {
        u16(static_cast<std::uint16_t>(b.size()));
        bytes(b);
    }
    void block32(const std::vector<std::uint8_t>& b) {
        u32(static_cast<std::uint32_t>(b.size()));
        bytes(b);
    }
    std::vector<std::uint8_t> frame(std::uint8_t type) const {
        std::vector<std::uint8_t> out;
        const std::uint32_t len = static_cast<std::uint32_t>(buf_.size() + 4);
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(len >> (8 * i)));
        out.push_back(kMagic & 0xFF);
        out.push_back(kMagic >> 8);
        out.push_back(kVersion);
        out.push_back(type);
        out.insert(out.end(), buf_.begin(), buf_.end());
        return out;
    }

private:
    std::vector<std::uint8_t> buf_;
};

// Reads fields off a body; any read past the end marks the reader failed and
// yields zeros, so a decoder checks ok() once at the end.
class Reader {
public:
    explicit Reader(const std::vector<std::uint8_t>& b) : b_(b) {}
    std::uint64_t le(int n) {
        if (!take(static_cast<std::size_t>(n))) return 0;
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i) v |= std::uint64_t{b_[pos_ - n + i]} << (8 * i);
        return v;
    }
    std::uint8_t u8() { return static_cast<std::uint8_t>(le(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(le(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(le(4)); }
    std::uint64_t u64() { return le(8); }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::vector<std::uint8_t> bytes(std::size_t n) {
        if (!take(n)) return {};
        return {b_.begin() + static_cast<std::ptrdiff_t>(pos_ - n), b_.begin() + static_cast<std::ptrdiff_t>(pos_)};
    }
    std::vector<std::uint8_t> block16() { return bytes(u16()); }
    std::vector<std::uint8_t> block32(std::uint32_t limit) {
        const std::uint32_t n = u32();
        if (n > limit) {
            ok_ = false;
            return {};
        }
        return bytes(n);
    }
    void fail() { ok_ = false; }
    bool ok() const { return ok_; }
    bool at_end() const { return pos_ == b_.size(); }

private:
    bool take(std::size_t n) {
        if (!ok_ || b_.size() - pos_ < n) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }
    const std::vector<std::uint8_t>& b_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

bool finish(const Reader& r, const char* what, std::string& error) {
    if (!r.ok()) {
        error = std::string("truncated or malformed ") + what + " message";
        return false;
    }
    if (!r.at_end()) {
        error = std::string("trailing bytes after ") + what + " message";
        return false;
    }
    return true;
}

bool is_in(const UsbSetup& s) { return (s.bmRequestType & 0x80) != 0; }

}  // namespace

bool known_request(std::uint8_t type) {
    return type >= static_cast<std::uint8_t>(MsgType::ListDevices) &&
           type <= static_cast<std::uint8_t>(MsgType::Stats);
}

std::vector<std::uint8_t> encode_request(const Request& req) {
    Writer w;
    switch (req.type) {
    case MsgType::ListDevices:
    case MsgType::ResetButton:
    case MsgType::Stats:
    case MsgType::Error:
        break;
    case MsgType::Open:
    case MsgType::Close:
    case MsgType::PortReset:
        w.u32(req.handle);
        break;
    case MsgType::Control:
        w.u32(req.handle);
        w.u8(req.setup.bmRequestType);
        w.u8(req.setup.bRequest);
        w.u16(req.setup.wValue);
        w.u16(req.setup.wIndex);
        w.u16(req.setup.wLength);
        w.u32(req.timeout_ms);
        if (!is_in(req.setup)) w.bytes(req.data);
        break;
    case MsgType::BulkWrite:
        w.u32(req.handle);
        w.u8(req.endpoint);
        w.u32(req.timeout_ms);
        w.block32(req.data);
        break;
    case MsgType::BulkRead:
        w.u32(req.handle);
        w.u8(req.endpoint);
        w.u32(req.timeout_ms);
        w.u32(req.length);
        break;
    case MsgType::ClaimInterface:
    case MsgType::ReleaseInterface:
    case MsgType::SetConfiguration:
        w.u32(req.handle);
        w.i32(req.value);
        break;
    }
    return w.frame(static_cast<std::uint8_t>(req.type));
}

std::vector<std::uint8_t> encode_reply(const Reply& rep) {
    Writer w;
    switch (rep.type) {
    case MsgType::Error: {
        w.i32(rep.result);
        std::vector<std::uint8_t> text(rep.error.begin(), rep.error.end());
        if (text.size() > 1024) text.resize(1024);
        w.block16(text);
        return w.frame(static_cast<std::uint8_t>(MsgType::Error));
    }
    case MsgType::ListDevices:
        w.u8(static_cast<std::uint8_t>(rep.devices.size()));
        for (const auto& d : rep.devices) {
            w.u32(d.devnum);
            w.u32(d.generation);
            w.block16(d.device_descriptor);
            w.u8(static_cast<std::uint8_t>(d.configurations.size()));
            for (const auto& c : d.configurations) w.block16(c);
        }
        break;
    case MsgType::Open:
        w.i32(rep.result);
        w.u32(rep.handle);
        break;
    case MsgType::Control:
    case MsgType::BulkRead:
        w.i32(rep.result);
        w.block32(rep.data);
        break;
    case MsgType::Stats:
        w.u64(rep.stats.instructions);
        w.u64(rep.stats.virtual_time);
        w.u64(rep.stats.model_errors);
        break;
    default:
        w.i32(rep.result);
        break;
    }
    return w.frame(static_cast<std::uint8_t>(static_cast<std::uint8_t>(rep.type) | kReplyBit));
}

FrameStatus take_frame(std::vector<std::uint8_t>& buf, Frame& out, std::string& error) {
    if (buf.size() < 4) return FrameStatus::Incomplete;
    const std::uint32_t len = std::uint32_t{buf[0]} | std::uint32_t{buf[1]} << 8 |
                              std::uint32_t{buf[2]} << 16 | std::uint32_t{buf[3]} << 24;
    if (len < 4 || len > kMaxFrame) {
        error = "bad frame length " + std::to_string(len) + " (limit " + std::to_string(kMaxFrame) + ")";
        return FrameStatus::Bad;
    }
    // Check the header as soon as it is there, so garbage is refused at once
    // instead of waiting for a length that will never arrive.
    if (buf.size() >= 6 && (buf[4] != (kMagic & 0xFF) || buf[5] != (kMagic >> 8))) {
        error = "bad magic: not a vboard link frame";
        return FrameStatus::Bad;
    }
    if (buf.size() >= 7 && buf[6] != kVersion) {
        error = "protocol version " + std::to_string(buf[6]) + " not supported (this side speaks " +
                std::to_string(kVersion) + ")";
        return FrameStatus::Bad;
    }
    if (buf.size() < 4 + std::size_t{len}) return FrameStatus::Incomplete;
    out.type = buf[7];
    out.body.assign(buf.begin() + 8, buf.begin() + 4 + len);
    buf.erase(buf.begin(), buf.begin() + 4 + len);
    return FrameStatus::Ok;
}

bool decode_request(const Frame& frame, Request& out, std::string& error) {
    if (!known_request(frame.type)) {
        error = "unknown request type " + std::to_string(frame.type);
        return false;
    }
    out = Request{};
    out.type = static_cast<MsgType>(frame.type);
    Reader r(frame.body);
    switch (out.type) {
    case MsgType::ListDevices:
    case MsgType::ResetButton:
    case MsgType::Stats:
    case MsgType::Error:
        break;
    case MsgType::Open:
    case MsgType::Close:
    case MsgType::PortReset:
        out.handle = r.u32();
        break;
    case MsgType::Control:
        out.handle = r.u32();
        out.setup.bmRequestType = r.u8();
        out.setup.bRequest = r.u8();
        out.setup.wValue = r.u16();
        out.setup.wIndex = r.u16();
        out.setup.wLength = r.u16();
        out.timeout_ms = r.u32();
        if (r.ok() && out.setup.wLength > kMaxControlData) {
            error = "control transfer of " + std::to_string(out.setup.wLength) + " bytes exceeds " +
                    std::to_string(kMaxControlData);
            return false;
        }
        if (!is_in(out.setup)) out.data = r.bytes(out.setup.wLength);
        break;
    case MsgType::BulkWrite:
        out.handle = r.u32();
        out.endpoint = r.u8();
        out.timeout_ms = r.u32();
        out.data = r.block32(kMaxBulkChunk);
        break;
    case MsgType::BulkRead:
        out.handle = r.u32();
        out.endpoint = r.u8();
        out.timeout_ms = r.u32();
        out.length = r.u32();
        if (out.length > kMaxBulkChunk) r.fail();
        break;
    case MsgType::ClaimInterface:
    case MsgType::ReleaseInterface:
    case MsgType::SetConfiguration:
        out.handle = r.u32();
        out.value = r.i32();
        break;
    }
    return finish(r, "request", error);
}

bool decode_reply(const Frame& frame, MsgType expected, Reply& out, std::string& error) {
    out = Reply{};
    Reader r(frame.body);
    if (frame.type == static_cast<std::uint8_t>(MsgType::Error)) {
        out.type = MsgType::Error;
        out.result = r.i32();
        const auto text = r.block16();
        out.error.assign(text.begin(), text.end());
        return finish(r, "error", error);
    }
    if (frame.type != (static_cast<std::uint8_t>(expected) | kReplyBit)) {
        error = "reply of type " + std::to_string(frame.type) + " to request " +
                std::to_string(static_cast<unsigned>(expected));
        return false;
    }
    out.type = expected;
    switch (expected) {
    case MsgType::ListDevices: {
        const unsigned n = r.u8();
        for (unsigned i = 0; i < n && r.ok(); ++i) {
            DeviceEntry d;
            d.devnum = r.u32();
            d.generation = r.u32();
            d.device_descriptor = r.block16();
            const unsigned nc = r.u8();
            for (unsigned c = 0; c < nc && r.ok(); ++c) d.configurations.push_back(r.block16());
            out.devices.push_back(std::move(d));
        }
        break;
    }
    case MsgType::Open:
        out.result = r.i32();
        out.handle = r.u32();
        break;
    case MsgType::Control:
    case MsgType::BulkRead:
        out.result = r.i32();
        out.data = r.block32(kMaxBulkChunk);
        break;
    case MsgType::Stats:
        out.stats.instructions = r.u64();
        out.stats.virtual_time = r.u64();
        out.stats.model_errors = static_cast<std::size_t>(r.u64());
        break;
    default:
        out.result = r.i32();
        break;
    }
    return finish(r, "reply", error);
}

bool write_all(int fd, const void* data, std::size_t len) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (len > 0) {
        const ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

namespace {
bool read_exact(int fd, std::uint8_t* p, std::size_t len) {
    while (len > 0) {
        const ssize_t n = ::read(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}
}  // namespace

bool read_frame(int fd, Frame& out, std::string& error) {
    std::vector<std::uint8_t> buf(8);
    if (!read_exact(fd, buf.data(), 4)) {
        error = "connection closed";
        return false;
    }
    const std::uint32_t len = std::uint32_t{buf[0]} | std::uint32_t{buf[1]} << 8 |
                              std::uint32_t{buf[2]} << 16 | std::uint32_t{buf[3]} << 24;
    if (len < 4 || len > kMaxFrame) {
        error = "bad frame length " + std::to_string(len);
        return false;
    }
    buf.resize(4 + std::size_t{len});
    if (!read_exact(fd, buf.data() + 4, len)) {
        error = "connection closed in the middle of a frame";
        return false;
    }
    return take_frame(buf, out, error) == FrameStatus::Ok;
}

}  // namespace vboard::link
