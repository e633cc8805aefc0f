// The board's pin network: every PIO line of PIOA..PIOD, who owns it (the
// PIO controller or a peripheral function), its output driver, output data
// and pull-up, plus the board wiring (shorts to GND, to 3.3 V, line to line).
//
// Level of a net (lines joined by shorts):
//   - tied to GND: 0; tied to 3.3 V: 1 (GND wins if a net is tied to both);
//   - else any line driving low makes it 0;
//   - else a line driving high or an enabled pull-up makes it 1;
//   - else (nothing drives it, no pull-up) it reads 0: the inputs of the
//     board float and we resolve a floating input to 0.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace vboard {

struct PinShort;

class Pins {
public:
    static constexpr int kLines = 4 * 32;

    explicit Pins(const std::vector<PinShort>& shorts);

    // State written by the PIO controller model.
    void set_pio_owned(int line, bool pio);      // PIO_PER / PIO_PDR
    void set_output_enable(int line, bool on);   // PIO_OER / PIO_ODR
    void set_output_data(int line, bool high);   // PIO_SODR / PIO_CODR
    void set_pullup(int line, bool on);          // PIO_PUER / PIO_PUDR
    // A peripheral function driving a line it owns (empty: not driving).
    void set_peripheral_drive(int line, std::optional<bool> level);
    // Something on the board outside the chip driving a line (empty: released).
    void set_external_drive(int line, std::optional<bool> level);

    // Which peripheral function owns the line when the PIO does not: A or B
    // (PIO_ASR / PIO_BSR).
    void set_peripheral_b(int line, bool b);
    bool peripheral_b(int line) const { return lines_[line].periph_b; }
    // Multi-drive (open drain, PIO_MDER / PIO_MDDR): the driver only pulls low.
    void set_multi_drive(int line, bool on);
    bool multi_drive(int line) const { return lines_[line].multi; }
    // The net of the line is tied to GND or to 3.3 V by the board wiring.
    std::optional<bool> tied(int line) const;

    bool pio_owned(int line) const { return lines_[line].pio; }
    bool output_enabled(int line) const { return lines_[line].oe; }
    bool output_data(int line) const { return lines_[line].odata; }
    bool pullup(int line) const { return lines_[line].pullup; }
    // What the line drives right now, if anything.
    std::optional<bool> driven(int line) const;

    // The level of the net the line belongs to.
    bool level(int line) const { return levels_[line]; }

    // Changes made between begin_update() and end_update() are resolved and
    // reported to watchers once, at end_update().
    void begin_update() { ++updating_; }
    void end_update() {
        if (--updating_ == 0) changed();
    }

    // Called with the new level whenever the level of `line` changes.
    void watch(int line, std::function<void(bool)> fn);

    // Back to the reset state of the chip: PIO owns every line, no driver,
    // pull-ups on (the board wiring stays).
    void reset();

    static int line(int port, int bit) { return port * 32 + bit; }

private:
    struct Line {
        bool pio = true, oe = false, odata = false, pullup = true, periph_b = false, multi = false;
        std::optional<bool> periph, external;
    };
    struct Watch {
        int line;
        std::function<void(bool)> fn;
        bool last;
    };
    void changed();
    int root(int line) const;

    std::vector<Line> lines_;
    std::vector<int> net_;   // representative of each line's net
    std::vector<bool> gnd_, v33_;  // per representative
    std::vector<Watch> watches_;
    std::vector<bool> levels_;
    int updating_ = 0;
};

}  // namespace vboard
