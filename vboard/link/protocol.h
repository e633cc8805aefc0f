// The link between the libusb-0.1 substitute and a board server: a small
// binary protocol over a Unix stream socket.
//
// Every message is one frame:
//
//   u32 length      bytes that follow (4 .. kMaxFrame), little-endian
//   u16 magic       0x4256 ("VB")
//   u8  version     kVersion; a server answers another version with an Error
//   u8  type        MsgType; a reply carries the request's type | 0x80
//   ...             the body, laid out per type (see protocol.cpp)
//
// All multi-byte fields are little-endian. A client sends one request and
// waits for its reply; a server answers requests of one connection in order.
// A frame the server cannot decode is answered with an Error frame, and the
// connection is closed: after garbage there is no way to find the next frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/board.h"
#include "usb/virtual_board.h"

namespace vboard::link {

constexpr std::uint16_t kMagic = 0x4256;
constexpr std::uint8_t kVersion = 1;
// Linux usbfs refuses control transfers with more than one page of data and
// splits bulk transfers into URBs of at most 16 KiB; the link uses the same
// limits, so a frame never needs more than this.
constexpr std::uint32_t kMaxControlData = 4096;
constexpr std::uint32_t kMaxBulkChunk = 16384;
constexpr std::uint32_t kMaxFrame = 64 * 1024;

enum class MsgType : std::uint8_t {
    ListDevices = 0x01,       // -> devices on the bus
    Open = 0x02,              // devnum -> handle
    Close = 0x03,             // handle
    Control = 0x04,           // handle, setup, time-out, OUT data -> result, IN data
    BulkWrite = 0x05,         // handle, endpoint, time-out, data -> result
    BulkRead = 0x06,          // handle, endpoint, time-out, length -> result, data
    PortReset = 0x07,         // handle
    ClaimInterface = 0x08,    // handle, interface
    ReleaseInterface = 0x09,  // handle, interface
    SetConfiguration = 0x0A,  // handle, configuration value (a real SET_CONFIGURATION)
    ResetButton = 0x0B,       // the board's reset button
    Stats = 0x0C,             // -> instructions, virtual time, model errors
    Error = 0x7F,             // server -> client only: the request could not be decoded
};
constexpr std::uint8_t kReplyBit = 0x80;

bool known_request(std::uint8_t type);

// One device as the server's host model enumerated it. `devnum` names the
// device on the bus: it changes when the device re-enumerates as a different
// device, like a Linux device number.
struct DeviceEntry {
    std::uint32_t devnum = 0;
    std::uint32_t generation = 0;  // the host model's enumeration it comes from
    std::vector<std::uint8_t> device_descriptor;
    std::vector<std::vector<std::uint8_t>> configurations;
    bool operator==(const DeviceEntry&) const = default;
};

struct Request {
    MsgType type = MsgType::ListDevices;
    std::uint32_t handle = 0;     // Open: the devnum to open
    std::int32_t value = 0;       // interface number or configuration value
    UsbSetup setup{};             // Control
    std::uint8_t endpoint = 0;    // BulkWrite, BulkRead
    std::uint32_t timeout_ms = 0;
    std::uint32_t length = 0;     // BulkRead
    std::vector<std::uint8_t> data;  // Control OUT data, BulkWrite data
};

struct Reply {
    MsgType type = MsgType::ListDevices;  // the request's type, or Error
    std::int32_t result = 0;              // bytes or a negative errno value
    std::uint32_t handle = 0;             // Open
    std::vector<std::uint8_t> data;       // Control IN, BulkRead
    std::vector<DeviceEntry> devices;     // ListDevices
    BoardStats stats;                     // Stats
    std::string error;                    // Error
};

// A complete frame, header included, ready to be written.
std::vector<std::uint8_t> encode_request(const Request& req);
std::vector<std::uint8_t> encode_reply(const Reply& rep);

enum class FrameStatus { Incomplete, Ok, Bad };

struct Frame {
    std::uint8_t type = 0;
    std::vector<std::uint8_t> body;
};

// Takes the first complete frame off the front of `buf`. Incomplete: more
// bytes needed (nothing consumed). Bad: the header is wrong (`error` says why);
// the stream cannot be resynchronised.
FrameStatus take_frame(std::vector<std::uint8_t>& buf, Frame& out, std::string& error);

// Body decoders; false with `error` set when the body does not match the type.
bool decode_request(const Frame& frame, Request& out, std::string& error);
bool decode_reply(const Frame& frame, MsgType expected, Reply& out, std::string& error);

// ---- blocking helpers for file descriptors (the client side and tests)
// Writes all bytes; never raises SIGPIPE. False when the peer is gone.
bool write_all(int fd, const void* data, std::size_t len);
// Reads one frame; false with `error` on end of file, error or a bad header.
bool read_frame(int fd, Frame& out, std::string& error);

}  // namespace vboard::link
