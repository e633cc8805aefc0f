// Pin short test: a ground check of every tested PIO line at start-up, then
// one line driven low per REQ_PIN_RESULT request.
#pragma once

#include <stdint.h>

#include "loader_protocol.h"

extern "C" {

struct PioTestPort {
    uint32_t pio;    // controller base; 0 ends the table
    uint32_t mask;   // tested lines; the ground check removes lines it finds low
};

extern PioTestPort pinTestPorts[4];
extern PinReport pinReports[PIN_REPORT_COUNT];
extern PinReport* nextPinReport;
extern uint32_t portIndex;
extern uint32_t pinIndex;
extern PioTestPort* currentPort;

void pin_test_init();
void pin_test_step();
}
