// The uploader's main routine: banner, USB take-over from the test loader,
// then the polling loop for ever.
#include "busy_pin.h"
#include "console.h"
#include "uploader.h"

extern "C" {

UdpDevice uploaderDevice __attribute__((section(".zeroinit")));
// The receive bank of endpoint 4 that the loader expected next; written by
// the loader's hand-off at this fixed address.
volatile uint32_t handoverBank __attribute__((section(".handover"), used));

void uploader_main() {
    console_printf("\r\x1b[2JXERUN-94 Uploader 64Mb 60MHz (Jan 31 2008 - 10:41:42)\n\n");

    packetStart = reinterpret_cast<uint8_t*>((reinterpret_cast<uint32_t>(packetBuffer) + 1) & ~1u);
    packetWrite = packetStart;

    // The port stays attached with the address the host gave the loader.
    udp_disable_endpoints();
    udp_open(&uploaderDevice);
    uploaderDevice.receiveBank = handoverBank;
    uploaderDevice.onBulkOut = packet_receive;
    uploaderDevice.onClassIn0 = report_idle;
    uploaderDevice.onClassIn1 = take_error;
    uploaderDevice.classRequestHook = uploader_request;

    busy_pin_init();

    for (;;) udp_poll(&uploaderDevice);
}
}
