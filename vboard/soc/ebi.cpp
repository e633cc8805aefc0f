#include "soc/ebi.h"

#include <string>

#include "core/board.h"

namespace vboard {

Ebi::Ebi(Board& b)
    : Peripheral(b, "EBI", kBase, 0x10),
      csa_(reg(0x00, "EBI_CSA").store(0).write([this](std::uint32_t v) {
          csa_.value = v & 0x3A;
          board.sdram_changed();
      })) {
    reg(0x04, "EBI_CFGR").store(0);
}

Smc::Smc(Board& b) : Peripheral(b, "SMC", kBase, 0x20) {
    // Reset: 16-bit data bus, no wait states.
    for (unsigned n = 0; n < 8; ++n) reg(4 * n, "SMC_CSR" + std::to_string(n)).store(0x00002000);
}

Mc::Mc(Board& b) : Peripheral(b, "MC", kBase, 0x60) {
    reg(0x00, "MC_RCR").write([this](std::uint32_t v) {
        if (v & 1) board.remap_sram(!board.sram_at_zero());
    });
    reg(0x04, "MC_ASR").read([] { return 0u; });   // no abort has occurred on the bus
    reg(0x08, "MC_AASR").read([] { return 0u; });
    reg(0x0C, "MC_MPR").store(0);
}

}  // namespace vboard
