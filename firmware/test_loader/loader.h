// The test loader's main loop, its request hook and the uploader hand-off.
#pragma once

#include <stdint.h>

#include "handoff.h"
#include "udp.h"

extern "C" {

extern UdpDevice loaderDevice;
extern uint32_t uploadRemaining;
extern uint8_t* uploadWritePointer;
extern uint32_t uploadRefused;

[[noreturn]] void loader_main();
int loader_class_request(uint8_t bRequest, uint16_t wLength, uint16_t wIndex);
void upload_receive(uint8_t* buffer, uint32_t count);
[[noreturn]] void start_uploader(uint32_t entry);
}
