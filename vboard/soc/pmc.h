// Power Management Controller and clock generator at 0xFFFFFC00.
//
// After reset the model stands as the boot ROM leaves the chip when it starts
// downloaded code: main oscillator on (18.432 MHz crystal), PLLB locked for
// the 96 MHz USB clock source, master clock = processor clock = PLLB / 2 =
// 48 MHz, the processor clock and the USB device clock on, and the USB device
// port's peripheral clock on. PLLA is off. Clock values are only reported;
// virtual time runs on Board::kCpuHz.
#pragma once

#include <cstdint>

#include "core/peripheral.h"

namespace vboard {

class Pmc : public Peripheral {
public:
    static constexpr std::uint32_t kBase = 0xFFFFFC00;
    // Peripheral identifiers (PMC_PCER bit numbers).
    static constexpr int kIdPioA = 2, kIdPioB = 3, kIdPioC = 4, kIdPioD = 5, kIdUdp = 11;
    // System clocks (PMC_SCER bits).
    static constexpr std::uint32_t kScPck = 1u << 0, kScUdp = 1u << 1;

    explicit Pmc(Board& board);
    void reset() override;

    bool peripheral_clock(int id) const { return (pcsr_ >> id) & 1; }
    std::uint32_t pcsr() const { return pcsr_; }
    std::uint32_t scsr() const { return scsr_; }

private:
    std::uint32_t scsr_ = 0, pcsr_ = 0, imr_ = 0;
};

}  // namespace vboard
