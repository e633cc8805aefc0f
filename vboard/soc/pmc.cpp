#include "soc/pmc.h"

#include "core/board.h"

namespace vboard {

namespace {
constexpr std::uint32_t kMosc = 1u << 0, kLockB = 1u << 2, kMckRdy = 1u << 3;
}

Pmc::Pmc(Board& b) : Peripheral(b, "PMC", kBase, 0x100) {
    reg(0x00, "PMC_SCER").write([this](std::uint32_t v) { scsr_ |= v & 0xF17; });
    reg(0x04, "PMC_SCDR").write([this](std::uint32_t v) { scsr_ &= ~(v & 0xF16); });  // PCK cannot be cleared here
    reg(0x08, "PMC_SCSR").read([this] { return scsr_; });
    reg(0x10, "PMC_PCER").write([this](std::uint32_t v) { pcsr_ |= v & ~3u; });
    reg(0x14, "PMC_PCDR").write([this](std::uint32_t v) { pcsr_ &= ~v; });
    reg(0x18, "PMC_PCSR").read([this] { return pcsr_; });
    reg(0x20, "CKGR_MOR").store(0x0000FF01);
    // MAINRDY and the main clock count in 16 slow clock periods: 18.432 MHz * 16 / 32768.
    reg(0x24, "CKGR_MCFR").read([] { return (1u << 16) | 9000u; });
    reg(0x28, "CKGR_PLLAR").store(0x00003F00);
    reg(0x2C, "CKGR_PLLBR").store(0x10483E0E);
    reg(0x30, "PMC_MCKR").store(0x00000007);  // CSS PLLB, PRES /2, MDIV /1
    for (unsigned n = 0; n < 4; ++n) reg(0x40 + 4 * n, "PMC_PCK" + std::to_string(n)).store(0);
    reg(0x60, "PMC_IER").write([this](std::uint32_t v) { imr_ |= v; });
    reg(0x64, "PMC_IDR").write([this](std::uint32_t v) { imr_ &= ~v; });
    reg(0x68, "PMC_SR").read([] { return kMosc | kLockB | kMckRdy; });
    reg(0x6C, "PMC_IMR").read([this] { return imr_; });
}

void Pmc::reset() {
    Peripheral::reset();
    scsr_ = kScPck | kScUdp;
    pcsr_ = 1u << kIdUdp;
    imr_ = 0;
}

}  // namespace vboard
