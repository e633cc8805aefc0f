#include "soc/sdramc.h"

#include <cstdio>
#include <cstring>

#include "core/pins.h"
#include "soc/ebi.h"

namespace vboard {

namespace {
// The board's SDRAM as SDRAMC_CR must describe it: 9 column bits (NC 1),
// 13 row bits (NR 2), 4 banks (NB 1).
constexpr std::uint32_t kGeometryMask = 0x1F, kGeometry = 0x1 | (0x2 << 2) | (1u << 4);
constexpr std::uint32_t kDbw16 = 1u << 4;  // SDRAMC_MR DBW: 16-bit data bus
constexpr int kFirstDataLine = 2 * 32 + 16;  // PC16 = D16

std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}
}  // namespace

Sdramc::Sdramc(Board& b) : Peripheral(b, "SDRAMC", kBase, 0x24) {
    reg(0x00, "SDRAMC_MR").read([this] { return mr_; }).write([this](std::uint32_t v) {
        mr_ = v & 0x1F;
        // Normal mode after a complete sequence: the SDRAM is ready.
        if (mode() == kNormal && load_mode_done_) initialised_ = true;
        if (mode() > kRefresh) board.model_error("SDRAMC: reserved mode " + std::to_string(mode()) + " in SDRAMC_MR");
        board.sdram_changed();
    });
    reg(0x04, "SDRAMC_TR").read([this] { return tr_; }).write([this](std::uint32_t v) { tr_ = v & 0xFFF; });
    reg(0x08, "SDRAMC_CR").read([this] { return cr_; }).write([this](std::uint32_t v) {
        cr_ = v & 0x7FFFFFFF;
        board.sdram_changed();
    });
    // Self-refresh request: the SDRAM leaves self-refresh at the next access.
    reg(0x0C, "SDRAMC_SRR").write([this](std::uint32_t v) {
        if (v & 1) self_refresh_ = true;
    });
    reg(0x10, "SDRAMC_LPR").read([this] { return lpr_; }).write([this](std::uint32_t v) { lpr_ = v & 1; });
    reg(0x14, "SDRAMC_IER").write([this](std::uint32_t v) { imr_ |= v & 1; });
    reg(0x18, "SDRAMC_IDR").write([this](std::uint32_t v) { imr_ &= ~v; });
    reg(0x1C, "SDRAMC_IMR").read([this] { return imr_; });
    reg(0x20, "SDRAMC_ISR").read([] { return 0u; });  // no refresh error

    for (const auto& s : b.config().sdram_addr_stuck) {
        if (s.bit < 2 || s.bit > 25) continue;
        if (s.value)
            addr_or_ |= 1u << s.bit;
        else
            addr_and_ &= ~(1u << s.bit);
    }
    for (const auto& s : b.config().sdram_stuck) {
        if (s.address < Board::kSdramBase || s.address - Board::kSdramBase >= Board::kSdramSize || s.bit > 31)
            continue;
        stuck_.push_back({(s.address - Board::kSdramBase) & ~3u, 1u << s.bit, s.value ? 1u << s.bit : 0u});
    }
    ebi_ = b.find<Ebi>();
    b.set_sdram_port(this);
}

Sdramc::~Sdramc() { board.set_sdram_port(nullptr); }

void Sdramc::reset() {
    Peripheral::reset();
    mr_ = 0x10;
    tr_ = 0x800;
    cr_ = 0x2A99C140;
    lpr_ = imr_ = 0;
    precharged_ = load_mode_done_ = initialised_ = self_refresh_ = false;
    refreshes_ = 0;
    sdram_mode_ = 0;
    if (!ebi_) ebi_ = board.find<Ebi>();
    board.sdram_changed();
}

bool Sdramc::geometry_ok() const { return (cr_ & kGeometryMask) == kGeometry; }

bool Sdramc::usable() const {
    return mode() == kNormal && initialised_ && !(mr_ & kDbw16) && geometry_ok() && ebi_ &&
           (ebi_->csa() & Ebi::kCs1Sdram);
}

void Sdramc::upper_lines(std::uint32_t& mask, std::uint32_t& levels) const {
    mask = upper_mask_;
    levels = upper_levels_;
}

void Sdramc::sample_upper_lines() const {
    std::uint32_t mask = 0, levels = 0;
    const Pins& pins = const_cast<Board&>(board).pins();
    for (int i = 0; i < 16; ++i) {
        int line = kFirstDataLine + i;
        std::uint32_t bit = 1u << (16 + i);
        bool connected = !pins.pio_owned(line) && !pins.peripheral_b(line);
        auto tie = pins.tied(line);
        if (connected && !tie) continue;
        mask |= bit;
        bool level = connected ? *tie : pins.level(line);
        if (level) levels |= bit;
    }
    upper_mask_ = mask;
    upper_levels_ = levels;
}

bool Sdramc::direct() const {
    // The board asks whenever the pins or the controller may have changed:
    // the upper data lines are sampled here, once per change.
    sample_upper_lines();
    // Stuck address lines are the board's to map (it aliases pages where it can).
    return usable() && upper_mask_ == 0;
}

std::uint32_t Sdramc::physical(std::uint32_t offset) const { return (offset & addr_and_) | addr_or_; }

void Sdramc::command(std::uint32_t offset) {
    switch (mode()) {
        case kNop:
            break;
        case kPrecharge:
            precharged_ = true;
            refreshes_ = 0;
            load_mode_done_ = false;
            initialised_ = false;
            break;
        case kRefresh:
            if (precharged_) ++refreshes_;
            break;
        case kLoadMode: {
            // On a 32-bit bus the SDRAM's address lines A0.. carry byte-address bits 2..
            sdram_mode_ = (offset >> 2) & 0x1FFF;
            if (precharged_ && refreshes_ >= 2) load_mode_done_ = true;
            break;
        }
        default:
            board.model_error("SDRAMC: SDRAM access in reserved mode " + std::to_string(mode()));
    }
    self_refresh_ = false;
}

// Without CS1A the static memory controller serves chip select 1, and no
// device answers there: the SDRAM sees neither commands nor data.
bool Sdramc::cs1_assigned(std::uint32_t offset, unsigned size, bool write, std::uint32_t value) {
    if (ebi_ && (ebi_->csa() & Ebi::kCs1Sdram)) return true;
    board.model_error("SDRAMC: " + std::to_string(size * 8) + "-bit " +
                      (write ? "write of " + hex(value) + " to " : "read of ") + hex(Board::kSdramBase + offset) +
                      ": chip select 1 is not assigned to the SDRAM controller (EBI_CSA)");
    return false;
}

bool Sdramc::check_data_access(std::uint32_t offset, unsigned size, bool write, std::uint32_t value) {
    self_refresh_ = false;
    if (usable()) return true;
    std::string what = std::to_string(size * 8) + "-bit " + (write ? "write of " + hex(value) + " to " : "read of ") +
                       "SDRAM at " + hex(Board::kSdramBase + offset) + ": ";
    if (!initialised_)
        what += "the SDRAM has not been initialised (precharge, auto-refresh x2, load mode, normal)";
    else if (mr_ & kDbw16)
        what += "SDRAMC_MR selects a 16-bit data bus";
    else
        what += "SDRAMC_CR does not describe the board's SDRAM (" + hex(cr_) + ")";
    board.model_error("SDRAMC: " + what);
    return false;
}

std::uint32_t Sdramc::read(std::uint32_t offset, unsigned size) {
    if (!cs1_assigned(offset, size, false, 0)) return 0;
    if (mode() != kNormal) {
        command(offset);
        return 0;
    }
    if (!check_data_access(offset, size, false, 0)) return 0;
    std::uint32_t phys = physical(offset);
    std::uint32_t word_off = phys & ~3u;
    std::uint32_t word;
    std::memcpy(&word, board.sdram() + word_off, 4);
    for (const auto& s : stuck_)
        if (s.word == word_off) word = (word & ~s.mask) | s.value;
    std::uint32_t mask, levels;
    upper_lines(mask, levels);
    word = (word & ~mask) | levels;
    unsigned shift = (phys & 3) * 8;
    if (size == 4) return word;
    return (word >> shift) & (size == 1 ? 0xFFu : 0xFFFFu);
}

void Sdramc::write(std::uint32_t offset, unsigned size, std::uint32_t value) {
    if (!cs1_assigned(offset, size, true, value)) return;
    if (mode() != kNormal) {
        command(offset);
        return;
    }
    if (!check_data_access(offset, size, true, value)) return;
    std::uint32_t phys = physical(offset);
    std::uint32_t word_off = phys & ~3u;
    std::uint32_t word;
    std::memcpy(&word, board.sdram() + word_off, 4);
    unsigned shift = (phys & 3) * 8;
    std::uint32_t lanes = size == 4 ? ~0u : ((size == 1 ? 0xFFu : 0xFFFFu) << shift);
    word = (word & ~lanes) | ((value << (size == 4 ? 0 : shift)) & lanes);
    std::uint32_t mask, levels;
    upper_lines(mask, levels);
    word = (word & ~(mask & lanes)) | (levels & mask & lanes);
    for (const auto& s : stuck_)
        if (s.word == word_off) word = (word & ~s.mask) | s.value;
    std::memcpy(board.sdram() + word_off, &word, 4);
}

}  // namespace vboard
