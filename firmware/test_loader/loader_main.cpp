#include "loader.h"

#include "loader_protocol.h"
#include "memtest.h"
#include "pin_test.h"

extern "C" {

UdpDevice loaderDevice __attribute__((section(".noinit")));

namespace {
const PinReport zeroPinReport = {0, 0, 0, 0};
}

int loader_class_request(uint8_t bRequest, uint16_t, uint16_t) {
    const uint32_t udp = loaderDevice.udp;
    switch (bRequest) {
    case REQ_MEMTEST_STATUS:
        memtest_send_status(udp);
        return 0;
    case REQ_MEMTEST_START:
        memtest_start();
        return 1;
    case REQ_PIN_RESULT:
        // The host asks 96 times; a further request gets a zero record and
        // moves neither the walk nor the reply pointer.
        if (nextPinReport >= pinReports + PIN_REPORT_COUNT) {
            udp_send_control(udp, &zeroPinReport, sizeof zeroPinReport);
            return 0;
        }
        pin_test_step();
        udp_send_control(udp, nextPinReport, sizeof(PinReport));
        ++nextPinReport;
        return 0;
    case REQ_MEMTEST_ERRORS:
        memtest_send_errors(udp);
        return 0;
    default:
        return 1;
    }
}

void loader_main() {
    pendingErrors = 0;
    uploadRemaining = 0;
    uploadRefused = 0;
    memTestRunning = 0;
    errorRecordCount = 0;
    pin_test_init();
    udp_open(&loaderDevice);
    loaderDevice.onBulkOut = upload_receive;
    loaderDevice.classRequestHook = loader_class_request;
    for (;;) {
        memtest_step();
        udp_poll(&loaderDevice);
    }
}
}
