// Runs one complete CommandPacket, with the busy indicator low meanwhile.
#include "busy_pin.h"
#include "console.h"
#include "uploader.h"

extern "C" {

uint8_t replyBuffer[REPLY_BUFFER_SIZE] __attribute__((section(".zeroinit")));

}  // extern "C"

namespace {

struct TextCommand {
    const char* name;
    void (*run)();
};

// Commands that a PKT_TEXT can name; none so far.
const TextCommand textCommands[] = {
    {nullptr, nullptr},
};

bool same_text(const char* a, const char* b) {
    for (; *a == *b; ++a, ++b) {
        if (*a == 0) return true;
    }
    return false;
}

void run_text(uint8_t* packet) {
    const uint32_t textLength = packet_field32(packet + 7);
    // The terminating zero goes at offset 13 + textLength; it has to stay
    // inside the packet buffer.
    const uint32_t room = static_cast<uint32_t>(packetBuffer + PACKET_BUFFER_SIZE - packet);
    if (room < 14 || textLength > room - 14) {
        errorFlag = 1;
        return;
    }
    packet[13 + textLength] = 0;
    const char* text = reinterpret_cast<const char*>(packet + 12);
    for (const TextCommand* command = textCommands; command->name; ++command) {
        if (same_text(command->name, text)) {
            command->run();
            return;
        }
    }
    console_printf("Unknown text commmand: %s\n", text);
}

}  // namespace

extern "C" void packet_dispatch(uint8_t* packet) {
    busy_pin_assert();
    const uint8_t code = packet[2];
    switch (code) {
    case PKT_TEXT:
        run_text(packet);
        break;
    default:
        // The NOR and NAND commands (codes 2 to 4) are not in this build
        // yet and are answered like every other unknown code.
        console_printf("unknown request code: %02x", code);
        errorFlag = 1;
        break;
    }
    busy_pin_release();
}
