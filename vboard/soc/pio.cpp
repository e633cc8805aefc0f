#include "soc/pio.h"

#include "core/board.h"
#include "core/pins.h"
#include "soc/pmc.h"

namespace vboard {

Pio::Pio(Board& b, int port)
    : Peripheral(b, std::string("PIO") + static_cast<char>('A' + port), kBaseA + 0x200u * static_cast<unsigned>(port),
                 0x200),
      port_(port) {
    reg(0x00, "PIO_PER").write([this](std::uint32_t v) { psr_ |= v; apply(v); });
    reg(0x04, "PIO_PDR").write([this](std::uint32_t v) { psr_ &= ~v; apply(v); });
    reg(0x08, "PIO_PSR").read([this] { return psr_; });
    reg(0x10, "PIO_OER").write([this](std::uint32_t v) { osr_ |= v; apply(v); });
    reg(0x14, "PIO_ODR").write([this](std::uint32_t v) { osr_ &= ~v; apply(v); });
    reg(0x18, "PIO_OSR").read([this] { return osr_; });
    reg(0x20, "PIO_IFER").write([this](std::uint32_t v) { ifsr_ |= v; });
    reg(0x24, "PIO_IFDR").write([this](std::uint32_t v) { ifsr_ &= ~v; });
    reg(0x28, "PIO_IFSR").read([this] { return ifsr_; });
    reg(0x30, "PIO_SODR").write([this](std::uint32_t v) { odsr_ |= v; apply(v); });
    reg(0x34, "PIO_CODR").write([this](std::uint32_t v) { odsr_ &= ~v; apply(v); });
    // PIO_ODSR takes writes only for the lines enabled in PIO_OWSR.
    reg(0x38, "PIO_ODSR").read([this] { return odsr_; }).write([this](std::uint32_t v) {
        std::uint32_t changed = (odsr_ ^ v) & owsr_;
        odsr_ = (odsr_ & ~owsr_) | (v & owsr_);
        apply(changed);
    });
    reg(0x3C, "PIO_PDSR").read([this] { return pdsr(); });
    reg(0x40, "PIO_IER").write([this](std::uint32_t v) { imr_ |= v; });
    reg(0x44, "PIO_IDR").write([this](std::uint32_t v) { imr_ &= ~v; });
    reg(0x48, "PIO_IMR").read([this] { return imr_; });
    reg(0x4C, "PIO_ISR").read([this] {
        sample();
        std::uint32_t v = isr_;
        isr_ = 0;
        return v;
    });
    reg(0x50, "PIO_MDER").write([this](std::uint32_t v) { mdsr_ |= v; apply(v); });
    reg(0x54, "PIO_MDDR").write([this](std::uint32_t v) { mdsr_ &= ~v; apply(v); });
    reg(0x58, "PIO_MDSR").read([this] { return mdsr_; });
    // PIO_PUSR: a set bit means the pull-up is disabled.
    reg(0x60, "PIO_PUDR").write([this](std::uint32_t v) { pusr_ |= v; apply(v); });
    reg(0x64, "PIO_PUER").write([this](std::uint32_t v) { pusr_ &= ~v; apply(v); });
    reg(0x68, "PIO_PUSR").read([this] { return pusr_; });
    // PIO_ABSR: a set bit selects peripheral B.
    reg(0x70, "PIO_ASR").write([this](std::uint32_t v) { absr_ &= ~v; apply(v); });
    reg(0x74, "PIO_BSR").write([this](std::uint32_t v) { absr_ |= v; apply(v); });
    reg(0x78, "PIO_ABSR").read([this] { return absr_; });
    reg(0xA0, "PIO_OWER").write([this](std::uint32_t v) { owsr_ |= v; });
    reg(0xA4, "PIO_OWDR").write([this](std::uint32_t v) { owsr_ &= ~v; });
    reg(0xA8, "PIO_OWSR").read([this] { return owsr_; });
}

void Pio::reset() {
    Peripheral::reset();
    psr_ = 0xFFFFFFFF;
    osr_ = ifsr_ = odsr_ = imr_ = isr_ = mdsr_ = pusr_ = absr_ = owsr_ = 0;
    sampled_ = 0;
    if (!pmc_) pmc_ = board.find<Pmc>();
    apply(0xFFFFFFFF);
}

bool Pio::clocked() const { return pmc_ && pmc_->peripheral_clock(Pmc::kIdPioA + port_); }

void Pio::sample() {
    if (!clocked()) return;
    Pins& pins = board.pins();
    std::uint32_t v = 0;
    for (int bit = 0; bit < 32; ++bit)
        if (pins.level(Pins::line(port_, bit))) v |= 1u << bit;
    isr_ |= v ^ sampled_;
    sampled_ = v;
}

std::uint32_t Pio::pdsr() {
    sample();
    return sampled_;
}

void Pio::apply(std::uint32_t mask) {
    Pins& pins = board.pins();
    pins.begin_update();
    for (int bit = 0; bit < 32; ++bit) {
        if (!(mask >> bit & 1)) continue;
        int line = Pins::line(port_, bit);
        std::uint32_t m = 1u << bit;
        pins.set_peripheral_b(line, absr_ & m);
        pins.set_multi_drive(line, mdsr_ & m);
        pins.set_pullup(line, !(pusr_ & m));
        pins.set_output_data(line, odsr_ & m);
        pins.set_output_enable(line, osr_ & m);
        pins.set_pio_owned(line, psr_ & m);
    }
    pins.end_update();
    // PC16..PC31 double as the SDRAM's data lines D16..D31 (and shorts may
    // tie other lines to them).
    board.sdram_changed();
    board.wake();
}

}  // namespace vboard
