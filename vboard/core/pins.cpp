#include "core/pins.h"

#include <numeric>

#include "core/board.h"

namespace vboard {

Pins::Pins(const std::vector<PinShort>& shorts) : lines_(kLines), net_(kLines), gnd_(kLines), v33_(kLines) {
    std::iota(net_.begin(), net_.end(), 0);
    // Union the shorted lines; every line's net_ entry ends at its representative.
    std::vector<int> parent(kLines);
    std::iota(parent.begin(), parent.end(), 0);
    auto find = [&](int x) {
        while (parent[x] != x) x = parent[x] = parent[parent[x]];
        return x;
    };
    for (const auto& s : shorts)
        if (s.kind == PinShort::Kind::Line && s.line >= 0 && s.line < kLines && s.other >= 0 && s.other < kLines)
            parent[find(s.line)] = find(s.other);
    for (int i = 0; i < kLines; ++i) net_[i] = find(i);
    for (const auto& s : shorts) {
        if (s.line < 0 || s.line >= kLines) continue;
        if (s.kind == PinShort::Kind::Gnd) gnd_[net_[s.line]] = true;
        if (s.kind == PinShort::Kind::V33) v33_[net_[s.line]] = true;
    }
    levels_.resize(kLines);
    changed();
}

int Pins::root(int line) const { return net_[line]; }

std::optional<bool> Pins::driven(int line) const {
    const Line& l = lines_[line];
    if (l.external) return l.external;
    if (l.pio) {
        if (!l.oe) return std::nullopt;
        if (l.multi && l.odata) return std::nullopt;  // open drain: a 1 releases the line
        return l.odata;
    }
    return l.periph;
}

std::optional<bool> Pins::tied(int line) const {
    int r = root(line);
    if (gnd_[r]) return false;
    if (v33_[r]) return true;
    return std::nullopt;
}

void Pins::watch(int line, std::function<void(bool)> fn) {
    bool now = level(line);
    watches_.push_back({line, std::move(fn), now});
}

void Pins::changed() {
    if (updating_) return;
    // One pass over the lines collects, per net, whether anything pulls it
    // low and whether anything pulls it high.
    std::vector<char> low(kLines, 0), high(kLines, 0);
    for (int i = 0; i < kLines; ++i) {
        int r = net_[i];
        auto d = driven(i);
        if (d && !*d) low[r] = 1;
        if ((d && *d) || lines_[i].pullup) high[r] = 1;
    }
    for (int i = 0; i < kLines; ++i) {
        int r = net_[i];
        levels_[i] = gnd_[r] ? false : v33_[r] ? true : low[r] ? false : high[r] != 0;
    }
    for (auto& w : watches_) {
        bool now = level(w.line);
        if (now != w.last) {
            w.last = now;
            w.fn(now);
        }
    }
}

void Pins::set_pio_owned(int line, bool pio) { lines_[line].pio = pio; changed(); }
void Pins::set_output_enable(int line, bool on) { lines_[line].oe = on; changed(); }
void Pins::set_output_data(int line, bool high) { lines_[line].odata = high; changed(); }
void Pins::set_pullup(int line, bool on) { lines_[line].pullup = on; changed(); }
void Pins::set_peripheral_b(int line, bool b) { lines_[line].periph_b = b; changed(); }
void Pins::set_multi_drive(int line, bool on) { lines_[line].multi = on; changed(); }
void Pins::set_peripheral_drive(int line, std::optional<bool> level) { lines_[line].periph = level; changed(); }
void Pins::set_external_drive(int line, std::optional<bool> level) { lines_[line].external = level; changed(); }

void Pins::reset() {
    for (auto& l : lines_) {
        auto ext = l.external;
        l = Line{};
        l.external = ext;
    }
    changed();
}

}  // namespace vboard
