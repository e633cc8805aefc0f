// USB device-port driver shared by both firmware programs: enumeration and
// standard requests on endpoint 0, bulk OUT endpoint 4, bulk IN endpoint 5.
// Polled from the program's main loop; four hooks carry what differs.
#pragma once

#include <stdint.h>

extern "C" {

struct UdpDevice {
    uint32_t udp;                                   // register block, 0xFFFB0000
    uint8_t currentConfiguration;                   // 0 stops bulk service
    uint32_t receiveBank;                           // RX_DATA_BK0 or RX_DATA_BK1 of UDP_CSR4
    void (*onBulkOut)(uint8_t* buffer, uint32_t count);
    uint8_t (*onClassIn0)();
    uint8_t (*onClassIn1)();
    // Returns 0 when it has replied itself, non-zero for a zero-length reply.
    int (*classRequestHook)(uint8_t bRequest, uint16_t wLength, uint16_t wIndex);
    uint8_t rxBuffer[1024];
    uint8_t txBuffer[4096];
    uint8_t* txRead;
    uint8_t* txWrite;
};

void udp_open(UdpDevice* dev);
void udp_disable_endpoints();
void udp_poll(UdpDevice* dev);
uint8_t udp_service_control(UdpDevice* dev);
void udp_handle_setup(UdpDevice* dev);
void udp_send_control(uint32_t udp, const void* data, uint32_t length);
void udp_send_zlp(uint32_t udp);
void udp_stall(uint32_t udp);
int udp_queue_in(UdpDevice* dev, const void* data, uint32_t length);

// Diagnostic output; each program defines it (the loader's prints nothing
// and returns 1).
int trace(const char* text, ...);

extern const uint8_t udp_device_descriptor[18];
extern const uint8_t udp_configuration_descriptor[46];
}
