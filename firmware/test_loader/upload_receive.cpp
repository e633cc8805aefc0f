// Reception of the uploader over bulk endpoint 4: a 4-byte length word in a
// packet of its own, then exactly that many image bytes, then the jump.
#include "board.h"
#include "loader.h"

extern "C" {

uint32_t uploadRemaining __attribute__((section(".noinit")));
uint8_t* uploadWritePointer = reinterpret_cast<uint8_t*>(UPLOADER_BASE);
// Non-zero while the bytes of an image that was too long are taken in and
// dropped; afterwards the loader waits for a new length word.
uint32_t uploadRefused __attribute__((section(".noinit")));

void upload_receive(uint8_t* buffer, uint32_t count) {
    if (uploadRemaining == 0) {
        const uint32_t length = static_cast<uint32_t>(buffer[0]) | (static_cast<uint32_t>(buffer[1]) << 8) |
                                (static_cast<uint32_t>(buffer[2]) << 16) |
                                (static_cast<uint32_t>(buffer[3]) << 24);
        uploadRemaining = length;
        // An image longer than the space below the uploader's cleared
        // area would lose its tail to the clearing: take it in, keep none
        // of it and start nothing.
        uploadRefused = length > UPLOADER_MAX_LENGTH ? 1 : 0;
        sdram_init();
        return;
    }

    // Bytes beyond the announced length are dropped.
    const uint32_t take = count < uploadRemaining ? count : uploadRemaining;
    if (!uploadRefused) {
        for (uint32_t i = 0; i < take; ++i) uploadWritePointer[i] = buffer[i];
        uploadWritePointer += take;
    }
    uploadRemaining -= take;
    if (uploadRemaining != 0) return;
    if (uploadRefused) {
        uploadRefused = 0;
        return;
    }

    volatile uint32_t* clear = reinterpret_cast<volatile uint32_t*>(UPLOADER_CLEAR_START);
    volatile uint32_t* const end = reinterpret_cast<volatile uint32_t*>(UPLOADER_CLEAR_END);
    while (clear < end) *clear++ = 0;
    *reinterpret_cast<volatile uint32_t*>(HANDOVER_BANK_ADDRESS) = loaderDevice.receiveBank;
    start_uploader(UPLOADER_BASE);
}
}
