#include "soc/dbgu.h"

#include <cstdio>

#include "core/pins.h"

namespace vboard {

namespace {
constexpr std::uint32_t kRstRx = 1u << 2, kRstTx = 1u << 3, kRxEn = 1u << 4, kRxDis = 1u << 5, kTxEn = 1u << 6,
                        kTxDis = 1u << 7;
constexpr std::uint32_t kPtcrRxTEn = 1u << 0, kPtcrRxTDis = 1u << 1, kPtcrTxTEn = 1u << 8, kPtcrTxTDis = 1u << 9;
constexpr int kDtxdLine = 31;  // PA31, peripheral A
}  // namespace

Dbgu::Dbgu(Board& b) : Peripheral(b, "DBGU", kBase, 0x200) {
    reg(0x00, "DBGU_CR").write([this](std::uint32_t v) { control(v); });
    reg(0x04, "DBGU_MR").read([this] { return mr_; }).write([this](std::uint32_t v) { mr_ = v & 0xCEC0; });
    reg(0x08, "DBGU_IER").write([this](std::uint32_t v) { imr_ |= v; });
    reg(0x0C, "DBGU_IDR").write([this](std::uint32_t v) { imr_ &= ~v; });
    reg(0x10, "DBGU_IMR").read([this] { return imr_; });
    reg(0x14, "DBGU_SR").read([this] { return status(); });
    reg(0x18, "DBGU_RHR").read([] { return 0u; });
    reg(0x1C, "DBGU_THR").write([this](std::uint32_t v) { transmit(static_cast<std::uint8_t>(v)); });
    reg(0x20, "DBGU_BRGR").read([this] { return brgr_; }).write([this](std::uint32_t v) { brgr_ = v & 0xFFFF; });
    // Reserved in the debug unit; a USART keeps its transmitter time guard
    // here, and a generic serial set-up writes it. Kept, no effect.
    reg(0x28, "DBGU_TTGR").read([this] { return ttgr_; }).write([this](std::uint32_t v) { ttgr_ = v & 0xFF; });
    reg(0x40, "DBGU_CIDR").read([] { return kChipId; });
    reg(0x44, "DBGU_EXID").read([] { return 0u; });

    auto pdc = [this](std::uint32_t off, const char* name, std::uint32_t* field, bool count) {
        reg(off, name).read([field] { return *field; }).write([this, field, count](std::uint32_t v) {
            *field = count ? (v & 0xFFFF) : v;
            check_pdc();
        });
    };
    pdc(0x100, "PERIPH_RPR", &rpr_, false);
    pdc(0x104, "PERIPH_RCR", &rcr_, true);
    pdc(0x108, "PERIPH_TPR", &tpr_, false);
    pdc(0x10C, "PERIPH_TCR", &tcr_, true);
    pdc(0x110, "PERIPH_RNPR", &rnpr_, false);
    pdc(0x114, "PERIPH_RNCR", &rncr_, true);
    pdc(0x118, "PERIPH_TNPR", &tnpr_, false);
    pdc(0x11C, "PERIPH_TNCR", &tncr_, true);
    reg(0x120, "PERIPH_PTCR").write([this](std::uint32_t v) {
        if (v & kPtcrRxTEn) ptsr_ |= kPtcrRxTEn;
        if (v & kPtcrRxTDis) ptsr_ &= ~kPtcrRxTEn;
        if (v & kPtcrTxTEn) ptsr_ |= kPtcrTxTEn;
        if (v & kPtcrTxTDis) ptsr_ &= ~kPtcrTxTEn;
        check_pdc();
    });
    reg(0x124, "PERIPH_PTSR").read([this] { return ptsr_; });
}

void Dbgu::reset() {
    Peripheral::reset();
    if (shift_event_) board.cancel(shift_event_);
    shift_event_ = 0;
    tx_enabled_ = rx_enabled_ = false;
    holding_.reset();
    shifting_.reset();
    mr_ = imr_ = brgr_ = ttgr_ = 0;
    rpr_ = rcr_ = tpr_ = tcr_ = rnpr_ = rncr_ = tnpr_ = tncr_ = ptsr_ = 0;
    sent_.clear();
}

std::uint32_t Dbgu::status() const {
    std::uint32_t sr = 0;
    if (tx_enabled_ && !holding_) sr |= kTxRdy;
    if (tx_enabled_ && !holding_ && !shifting_) sr |= kTxEmpty;
    if (rcr_ == 0) sr |= kEndRx;
    if (tcr_ == 0) sr |= kEndTx;
    if (tcr_ == 0 && tncr_ == 0) sr |= kTxBufE;
    if (rcr_ == 0 && rncr_ == 0) sr |= kRxBuff;
    return sr;
}

Nanos Dbgu::char_time() const {
    // 10 bits of 16 * CD master clock cycles each.
    return (std::uint64_t(brgr_) * 160 * 1'000'000'000ull + kMckHz - 1) / kMckHz;
}

void Dbgu::control(std::uint32_t v) {
    if (v & kRstTx) {
        if (shift_event_) board.cancel(shift_event_);
        shift_event_ = 0;
        holding_.reset();
        shifting_.reset();
        tx_enabled_ = false;
    }
    if (v & kRstRx) rx_enabled_ = false;
    if (v & kTxEn) tx_enabled_ = true;
    if (v & kTxDis) tx_enabled_ = false;
    if (v & kRxEn) rx_enabled_ = true;
    if (v & kRxDis) rx_enabled_ = false;
    if (tx_enabled_ && holding_ && !shifting_) start_shift();
    board.wake();
}

void Dbgu::transmit(std::uint8_t c) {
    if (!(status() & kTxRdy)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "DBGU: write of 0x%02X to DBGU_THR while TXRDY is clear", c);
        board.model_error(buf);
        return;
    }
    holding_ = c;
    if (!shifting_) start_shift();
}

void Dbgu::start_shift() {
    if (brgr_ == 0) {
        board.model_error("DBGU: character to send with the baud rate generator stopped (DBGU_BRGR CD = 0)");
        return;  // stays in the holding register
    }
    shifting_ = holding_;
    holding_.reset();
    shift_event_ = board.after(char_time(), [this] { shift_done(); });
}

void Dbgu::shift_done() {
    shift_event_ = 0;
    std::uint8_t c = *shifting_;
    shifting_.reset();
    Pins& pins = board.pins();
    if (pins.pio_owned(kDtxdLine) || pins.peripheral_b(kDtxdLine)) {
        board.model_error("DBGU: character sent while PA31 (DTXD) is not assigned to the debug unit");
    } else {
        sent_.push_back(static_cast<char>(c));
        if (board.config().console) board.config().console(static_cast<char>(c));
    }
    if (tx_enabled_ && holding_) start_shift();
    board.wake();
}

void Dbgu::check_pdc() {
    if ((ptsr_ & kPtcrTxTEn) && (tcr_ || tncr_))
        board.model_error("DBGU: PDC transmit transfer started; the PDC is not modelled");
    if ((ptsr_ & kPtcrRxTEn) && (rcr_ || rncr_))
        board.model_error("DBGU: PDC receive transfer started; the PDC is not modelled");
}

}  // namespace vboard
