#include "pin_test.h"

#include "regs.h"

namespace {

// The records are packed but start on word boundaries (the array is word
// aligned and 16 bytes each): fill them as four words.
constexpr uint32_t FLAGS = 0, CROSS = 1;
inline uint32_t* report_words(uint32_t index) { return reinterpret_cast<uint32_t*>(&pinReports[index]); }

}  // namespace

extern "C" {

// Lines left alone: PA4, PA5, PA7-PA14, PA16 (USB pull-up control), PA18,
// PA30/PA31 (debug serial port), PB29-PB31. PIOD is not tested.
PioTestPort pinTestPorts[4] = {
    {PIOA_BASE, 0x3FFA804F},
    {PIOB_BASE, 0x1FFFFFFF},
    {PIOC_BASE, 0xFFFFFFFF},
    {0, 0},
};

alignas(4) PinReport pinReports[PIN_REPORT_COUNT] __attribute__((section(".noinit")));
PinReport* nextPinReport = pinReports;
uint32_t portIndex;
uint32_t pinIndex;
PioTestPort* currentPort;

void pin_test_init() {
    portIndex = 0;
    pinIndex = 0;
    currentPort = &pinTestPorts[0];
    for (uint32_t row = 0; pinTestPorts[row].pio; ++row) {
        PioTestPort& port = pinTestPorts[row];
        const uint32_t b = 32 * row;
        // Every line of the port is set up before the first one is read.
        for (uint32_t n = 0; n < 32; ++n) {
            uint32_t* words = report_words(b + n);
            words[0] = words[1] = words[2] = words[3] = 0;
            if (port.mask & (1u << n)) {
                reg32(port.pio + PIO_PER) = 1u << n;
                reg32(port.pio + PIO_PPUER) = 1u << n;
                reg32(port.pio + PIO_ODR) = 1u << n;
            }
        }
        for (uint32_t n = 0; n < 32; ++n) {
            if (!(port.mask & (1u << n))) continue;
            if (!(reg32(port.pio + PIO_PDSR) & (1u << n))) {
                port.mask &= ~(1u << n);
                report_words(b + n)[FLAGS] |= PIN_TO_GND;
            }
        }
    }
    portIndex = 0;
}

void pin_test_step() {
    // Past the end of the table the walk stays where it is.
    if (currentPort->pio == 0) return;
    const uint32_t bit = 1u << pinIndex;
    uint32_t* report = report_words(32 * portIndex + pinIndex);
    const uint32_t pio = currentPort->pio;
    if (currentPort->mask & bit) {
        reg32(pio + PIO_OER) = bit;
        reg32(pio + PIO_CODR) = bit;
        if (reg32(pio + PIO_PDSR) & bit) {
            report[FLAGS] |= PIN_TO_3V3;
        } else {
            for (PioTestPort* row = pinTestPorts; row->pio; ++row) {
                uint32_t level = reg32(row->pio + PIO_PDSR);
                if (row == currentPort) level |= bit;
                report[CROSS + (row - pinTestPorts)] = row->mask & ~level;
            }
        }
        reg32(pio + PIO_ODR) = bit;
    }
    if (++pinIndex == 32) {
        pinIndex = 0;
        ++currentPort;
        ++portIndex;
    }
}
}
