#include "soc/aic.h"

#include <string>

#include "core/board.h"

namespace vboard {

Aic::Aic(Board& b) : Peripheral(b, "AIC", kBase, 0x200) {
    for (unsigned n = 0; n < 32; ++n) {
        reg(0x000 + 4 * n, "AIC_SMR" + std::to_string(n))
            .read([this, n] { return smr_[n]; })
            .write([this, n](std::uint32_t v) { smr_[n] = v & 0x67; });
        reg(0x080 + 4 * n, "AIC_SVR" + std::to_string(n))
            .read([this, n] { return svr_[n]; })
            .write([this, n](std::uint32_t v) { svr_[n] = v; });
    }
    // With nothing pending both vector registers return the spurious vector.
    reg(0x100, "AIC_IVR").read([this] { return spu_; }).write([](std::uint32_t) {});  // write: protect mode only
    reg(0x104, "AIC_FVR").read([this] { return spu_; });
    reg(0x108, "AIC_ISR").read([] { return 0u; });
    reg(0x10C, "AIC_IPR").read([this] { return ipr_; });
    reg(0x110, "AIC_IMR").read([this] { return imr_; });
    reg(0x114, "AIC_CISR").read([] { return 0u; });
    reg(0x120, "AIC_IECR").write([this](std::uint32_t v) {
        if (v) board.model_error("AIC: interrupt source enabled (AIC_IECR " + std::to_string(v) +
                                 "): no interrupts are delivered by this board model");
        imr_ |= v;
    });
    reg(0x124, "AIC_IDCR").write([this](std::uint32_t v) { imr_ &= ~v; });
    reg(0x128, "AIC_ICCR").write([this](std::uint32_t v) { ipr_ &= ~v; });
    reg(0x12C, "AIC_ISCR").write([this](std::uint32_t v) { ipr_ |= v; });
    // End of interrupt: pops the current level; with none pushed it has no
    // effect. The start-up code reads it before writing it back, and the
    // controller answers that read with 0.
    reg(0x130, "AIC_EOICR").read([] { return 0u; }).write([](std::uint32_t) {});
    reg(0x134, "AIC_SPU").read([this] { return spu_; }).write([this](std::uint32_t v) { spu_ = v; });
    reg(0x138, "AIC_DCR").read([this] { return dcr_; }).write([this](std::uint32_t v) { dcr_ = v & 3; });
    reg(0x140, "AIC_FFER").write([this](std::uint32_t v) { ffsr_ |= v; });
    reg(0x144, "AIC_FFDR").write([this](std::uint32_t v) { ffsr_ &= ~v; });
    reg(0x148, "AIC_FFSR").read([this] { return ffsr_; });
}

void Aic::reset() {
    Peripheral::reset();
    imr_ = ipr_ = ffsr_ = spu_ = dcr_ = 0;
    for (auto& v : smr_) v = 0;
    for (auto& v : svr_) v = 0;
}

}  // namespace vboard
