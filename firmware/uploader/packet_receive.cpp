// Reassembly of CommandPackets from bulk OUT packets, and the uploader's
// control requests.
#include "console.h"
#include "uploader.h"

extern "C" {

uint32_t packetState;
uint8_t errorFlag;
uint8_t idleFlag = 1;

alignas(4) uint8_t packetBuffer[PACKET_BUFFER_SIZE] __attribute__((section(".zeroinit")));
uint8_t* packetStart __attribute__((section(".zeroinit")));
uint8_t* packetWrite __attribute__((section(".zeroinit")));
// No request fills these; they are zero from the loader's hand-off.
uint32_t pendingLength __attribute__((section(".zeroinit")));
uint8_t pendingData[256] __attribute__((section(".zeroinit")));

namespace {
uint8_t requestReply[REQUEST_REPLY_SIZE];

uint8_t* packet_buffer_end() { return packetBuffer + PACKET_BUFFER_SIZE; }
}  // namespace

void packet_receive(uint8_t* buffer, uint32_t count) {
    idleFlag = 0;
    if (packetState == 0) {
        const uint16_t magic = static_cast<uint16_t>(buffer[0] | (buffer[1] << 8));
        if (magic != PACKET_MAGIC) {
            // Printed as a signed 16-bit value widened to 32 bits.
            console_printf("packet in: wrong magic: %04x s=%d\n", static_cast<int>(static_cast<int16_t>(magic)),
                           static_cast<int>(count));
            console_printf("---------------------------\n");
            hex_dump(buffer, count);
            console_printf("---------------------------\n");
            errorFlag = 1;
            idleFlag = 1;
            return;
        }
        // A packet start must carry the whole header, and the packet must
        // fit the buffer; otherwise it is dropped as a protocol error.
        if (count < PACKET_HEADER_SIZE || packet_field32(buffer + 3) > PACKET_BUFFER_SIZE) {
            errorFlag = 1;
            idleFlag = 1;
            return;
        }
        packetState = 1;
        for (uint32_t i = 0; i < count; ++i) packetStart[i] = buffer[i];
        packetWrite = packetStart + count;
    } else if (packetState == 1) {
        // Bytes past the end of the buffer are dropped.
        const uint32_t room = static_cast<uint32_t>(packet_buffer_end() - packetWrite);
        const uint32_t n = count < room ? count : room;
        for (uint32_t i = 0; i < n; ++i) packetWrite[i] = buffer[i];
        packetWrite += n;
    } else {
        console_panic("device in wrong state; %02x\n", static_cast<unsigned>(packetState));
    }

    const uint32_t size = packet_field32(packetStart + 3);
    if (static_cast<uint32_t>(packetWrite - packetStart) >= size) {
        packetState = 0;
        packet_dispatch(packetStart);
    }
    idleFlag = 1;
}

uint8_t report_idle() { return idleFlag; }

uint8_t take_error() {
    const uint8_t value = errorFlag;
    errorFlag = 0;
    return value;
}

int uploader_request(uint8_t bRequest, uint16_t wLength, uint16_t) {
    if (bRequest > UREQ_PENDING_DATA) return 1;
    const uint32_t length = wLength < REQUEST_REPLY_SIZE ? wLength : REQUEST_REPLY_SIZE;
    for (uint32_t i = 0; i < REQUEST_REPLY_SIZE; ++i) requestReply[i] = 0;
    switch (bRequest) {
    case UREQ_IDLE:
        requestReply[0] = idleFlag;
        break;
    case UREQ_ERROR:
        requestReply[0] = errorFlag;
        break;
    case UREQ_PENDING_LENGTH:
        requestReply[0] = static_cast<uint8_t>(pendingLength);
        requestReply[1] = static_cast<uint8_t>(pendingLength >> 8);
        requestReply[2] = static_cast<uint8_t>(pendingLength >> 16);
        requestReply[3] = static_cast<uint8_t>(pendingLength >> 24);
        break;
    default: {  // UREQ_PENDING_DATA
        const uint32_t n = pendingLength < sizeof pendingData ? pendingLength : sizeof pendingData;
        for (uint32_t i = 0; i < n; ++i) requestReply[i] = pendingData[i];
        break;
    }
    }
    udp_send_control(uploaderDevice.udp, requestReply, length);
    // A reply cut short of wLength that ends with a full packet is ended by
    // a zero-length packet, or the host would wait for more.
    if (length < wLength && length % 8 == 0) udp_send_zlp(uploaderDevice.udp);
    return 0;
}
}
