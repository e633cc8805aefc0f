// External bus interface: EBI (0xFFFFFF60), static memory controller SMC
// (0xFFFFFF70) and memory controller MC (0xFFFFFF00).
#pragma once

#include <cstdint>

#include "core/peripheral.h"

namespace vboard {

class Ebi : public Peripheral {
public:
    static constexpr std::uint32_t kBase = 0xFFFFFF60;
    static constexpr std::uint32_t kCs1Sdram = 1u << 1;  // EBI_CSA CS1A
    explicit Ebi(Board& board);
    std::uint32_t csa() const { return csa_.value; }

private:
    Reg& csa_;
};

class Smc : public Peripheral {
public:
    static constexpr std::uint32_t kBase = 0xFFFFFF70;
    explicit Smc(Board& board);
};

// MC_RCR's remap command toggles the internal SRAM's mapping at address 0.
class Mc : public Peripheral {
public:
    static constexpr std::uint32_t kBase = 0xFFFFFF00;
    explicit Mc(Board& board);
};

}  // namespace vboard
