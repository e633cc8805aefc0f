// The uploader's command protocol: CommandPackets on bulk endpoint 4, the
// control requests on endpoint 0, and the state they share.
#pragma once

#include <stdint.h>

#include "udp.h"

constexpr uint16_t PACKET_MAGIC = 0x5F2A;
constexpr uint32_t PACKET_BUFFER_SIZE = 4100;
constexpr uint32_t PACKET_HEADER_SIZE = 7;     // magic, code, size
constexpr uint32_t REPLY_BUFFER_SIZE = 4096;
constexpr uint32_t REQUEST_REPLY_SIZE = 256;

// Request codes of a CommandPacket.
enum : uint8_t {
    PKT_TEXT = 0,
    PKT_NOR_WRITE = 2,
    PKT_NOR_READ = 3,
    PKT_NAND = 4,
};

// bRequest values of the uploader's own control requests.
enum : uint8_t {
    UREQ_IDLE = 0,
    UREQ_ERROR = 1,
    UREQ_PENDING_LENGTH = 2,
    UREQ_PENDING_DATA = 3,
    UREQ_CLASS_IDLE = 0,    // bmRequestType 0xA1, answered by the driver
    UREQ_CLASS_ERROR = 1,   // bmRequestType 0xA1, answered by the driver
};

extern "C" {

extern UdpDevice uploaderDevice;
extern volatile uint32_t handoverBank;

extern uint32_t packetState;
extern uint8_t packetBuffer[PACKET_BUFFER_SIZE];
extern uint8_t* packetStart;
extern uint8_t* packetWrite;
extern uint8_t idleFlag;
extern uint8_t errorFlag;
extern uint32_t pendingLength;
extern uint8_t pendingData[256];
extern uint8_t replyBuffer[REPLY_BUFFER_SIZE];

[[noreturn]] void uploader_main();
void packet_receive(uint8_t* buffer, uint32_t count);
void packet_dispatch(uint8_t* packet);
uint8_t report_idle();
uint8_t take_error();
int uploader_request(uint8_t bRequest, uint16_t wLength, uint16_t wIndex);

// Little-endian field of a CommandPacket, read byte by byte (the header's
// odd length puts 32-bit fields on odd offsets).
inline uint32_t packet_field32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}
}
