// Advanced Interrupt Controller (AIC) at 0xFFFFF000.
//
// The firmware never enables an interrupt source; the model keeps the
// registers, answers the vector registers as the controller does with no
// interrupt pending (the spurious vector), and reports enabling a source as a
// model error, because no model raises interrupts.
#pragma once

#include <cstdint>

#include "core/peripheral.h"

namespace vboard {

class Aic : public Peripheral {
public:
    static constexpr std::uint32_t kBase = 0xFFFFF000;
    explicit Aic(Board& board);
    void reset() override;

    std::uint32_t imr() const { return imr_; }
    std::uint32_t ipr() const { return ipr_; }

private:
    std::uint32_t imr_ = 0, ipr_ = 0, ffsr_ = 0;
    std::uint32_t smr_[32] = {}, svr_[32] = {};
    std::uint32_t spu_ = 0, dcr_ = 0;
};

}  // namespace vboard
