// Parallel I/O controllers PIOA..PIOD (0xFFFFF400, +0x200 each).
//
// Each controller holds, per line, its ownership (PIO or peripheral A/B), the
// output driver, the output data, multi-drive and the pull-up, and hands
// them to the board's pin network (Pins). PIO_PDSR reads the level of each
// line's net. The input sampling runs on the controller's peripheral clock:
// while the clock is off in PMC_PCSR, PIO_PDSR keeps the levels last sampled
// (all zero after reset) and no input change is recorded.
//
// After reset every line belongs to the PIO controller as an input with its
// pull-up on (the reset values of PIO_PSR and PIO_PUSR).
#pragma once

#include <cstdint>

#include "core/peripheral.h"

namespace vboard {

class Pins;
class Pmc;

class Pio : public Peripheral {
public:
    static constexpr std::uint32_t kBaseA = 0xFFFFF400;
    explicit Pio(Board& board, int port);  // port 0..3 = A..D
    void reset() override;

    int port() const { return port_; }
    // Register values, for tests and other models.
    std::uint32_t psr() const { return psr_; }
    std::uint32_t osr() const { return osr_; }
    std::uint32_t odsr() const { return odsr_; }
    std::uint32_t pusr() const { return pusr_; }
    std::uint32_t absr() const { return absr_; }
    std::uint32_t pdsr();

private:
    void apply(std::uint32_t mask);  // hands the lines in mask to the pin network
    bool clocked() const;
    void sample();

    int port_;
    std::uint32_t psr_ = 0, osr_ = 0, ifsr_ = 0, odsr_ = 0, imr_ = 0, isr_ = 0, mdsr_ = 0, pusr_ = 0, absr_ = 0,
                  owsr_ = 0;
    std::uint32_t sampled_ = 0;
    Pmc* pmc_ = nullptr;
};

}  // namespace vboard
