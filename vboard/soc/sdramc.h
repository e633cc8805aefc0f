// SDRAM controller (SDRAMC, 0xFFFFFF90) and the board's 64 MiB SDRAM on chip
// select 1 at 0x20000000 (32-bit bus, 4 banks, 8192 rows, 512 columns).
//
// After reset the SDRAM is not usable. In any mode other than normal, an
// access to the SDRAM area issues the selected command (NOP, precharge all,
// auto-refresh, load mode register) instead of a data access; a read returns
// 0. Data accesses work once the initialisation sequence has run: precharge
// all, at least two auto-refreshes, a load-mode-register command, then
// normal mode; and only while EBI_CSA gives CS1 to the SDRAM controller and
// SDRAMC_MR selects the 32-bit bus. A data access at any other time is a
// model error (a read returns 0, a write is lost). A re-run of the sequence
// keeps the memory's content.
//
// D16..D31 come through PC16..PC31. While a line is not given to the SDRAM
// controller (PIO owns it, or peripheral B is selected), the SDRAM sees the
// level of that line's net instead: a write stores the net's level in that
// bit and a read returns the net's level (1 with the pull-ups the pin test
// leaves on). A line whose net is tied to GND or 3.3 V holds its data bit at
// that level even while the controller owns it.
//
// Injected faults: a stuck data bit forces that bit of that word on every
// read and write; a stuck address bit forces that byte-address bit of every
// access, so the words that differ only in it alias.
#pragma once

#include <cstdint>
#include <vector>

#include "core/board.h"
#include "core/peripheral.h"

namespace vboard {

class Ebi;

class Sdramc : public Peripheral, public SdramPort {
public:
    static constexpr std::uint32_t kBase = 0xFFFFFF90;
    enum Mode : std::uint32_t { kNormal = 0, kNop = 1, kPrecharge = 2, kLoadMode = 3, kRefresh = 4 };

    explicit Sdramc(Board& board);
    ~Sdramc() override;
    void reset() override;

    // SdramPort
    bool direct() const override;
    std::uint32_t read(std::uint32_t offset, unsigned size) override;
    void write(std::uint32_t offset, unsigned size, std::uint32_t value) override;

    std::uint32_t mode() const { return mr_ & 0xF; }
    bool initialised() const { return initialised_; }
    // Whether a data access would reach the memory right now.
    bool usable() const;
    std::uint32_t sdram_mode_register() const { return sdram_mode_; }

private:
    void command(std::uint32_t offset);
    bool cs1_assigned(std::uint32_t offset, unsigned size, bool write, std::uint32_t value);
    bool check_data_access(std::uint32_t offset, unsigned size, bool write, std::uint32_t value);
    bool geometry_ok() const;
    // Bits of D16..D31 the SDRAM does not get from the controller (mask), and
    // the levels it sees there instead.
    void upper_lines(std::uint32_t& mask, std::uint32_t& levels) const;
    void sample_upper_lines() const;
    mutable std::uint32_t upper_mask_ = 0xFFFF0000, upper_levels_ = 0;
    std::uint32_t physical(std::uint32_t offset) const;

    std::uint32_t mr_ = 0, tr_ = 0, cr_ = 0, lpr_ = 0, imr_ = 0;
    bool precharged_ = false, load_mode_done_ = false, initialised_ = false;
    unsigned refreshes_ = 0;
    std::uint32_t sdram_mode_ = 0;
    bool self_refresh_ = false;
    std::uint32_t addr_and_ = ~0u, addr_or_ = 0;
    struct Stuck {
        std::uint32_t word;  // offset of the word
        std::uint32_t mask, value;
    };
    std::vector<Stuck> stuck_;
    Ebi* ebi_ = nullptr;
};

}  // namespace vboard
