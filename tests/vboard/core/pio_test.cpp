// The board's pin network as the PIO controllers see it: pull-ups, drivers,
// shorts to GND, to 3.3 V and between lines.
#include <gtest/gtest.h>

#include "board_fixture.h"
#include "core/pins.h"

namespace vboard::test {
namespace {

constexpr std::uint32_t kPmcPcer = 0xFFFFFC10;
constexpr std::uint32_t pio(int port) { return 0xFFFFF400 + 0x200u * static_cast<unsigned>(port); }
enum : std::uint32_t { PER = 0x00, OER = 0x10, ODR = 0x14, SODR = 0x30, CODR = 0x34, PDSR = 0x3C, MDER = 0x50,
                       PUDR = 0x60, PUER = 0x64 };

int line(const char* name) { return (name[1] - 'A') * 32 + std::atoi(name + 2); }
PinShort gnd(const char* l) { return {PinShort::Kind::Gnd, line(l), 0}; }
PinShort v33(const char* l) { return {PinShort::Kind::V33, line(l), 0}; }
PinShort pair(const char* a, const char* b) { return {PinShort::Kind::Line, line(a), line(b)}; }

// Makes `l` a PIO line and applies the given registers to its bit.
std::vector<Op> setup(const char* l, std::initializer_list<std::uint32_t> regs) {
    int n = line(l);
    std::vector<Op> s = {wr(pio(n / 32) + PER, 1u << (n % 32))};
    for (auto r : regs) s.push_back(wr(pio(n / 32) + r, 1u << (n % 32)));
    return s;
}

struct NetCase {
    const char* name;
    std::vector<PinShort> shorts;
    std::vector<std::vector<Op>> setups;
    const char* observed;
    bool level;
};

class PinNet : public ::testing::TestWithParam<NetCase> {};

TEST_P(PinNet, PdsrReadsTheNetLevel) {
    const auto& c = GetParam();
    BoardConfig cfg;
    cfg.shorts = c.shorts;
    ScriptBoard sb(cfg);
    std::vector<Op> script = {wr(kPmcPcer, 0x3C)};  // PIOA..PIOD clocks
    for (const auto& s : c.setups) script.insert(script.end(), s.begin(), s.end());
    int obs = line(c.observed);
    script.push_back(rd(pio(obs / 32) + PDSR));
    auto out = sb.run(script);
    ASSERT_TRUE(sb.finished);
    bool got = (out.back().value >> (obs % 32)) & 1;
    EXPECT_EQ(got, c.level) << c.observed << " read " << got;
    EXPECT_TRUE(sb.board.model_errors().empty()) << join_errors(sb.board);
}

INSTANTIATE_TEST_SUITE_P(
    Core, PinNet,
    ::testing::Values(
        NetCase{"PullUpReadsHigh", {}, {setup("PB5", {PUER, ODR})}, "PB5", true},
        NetCase{"PullUpOffUndrivenReadsLow", {}, {setup("PB5", {PUDR, ODR})}, "PB5", false},
        NetCase{"DrivenLowReadsLow", {}, {setup("PA2", {PUER, OER, CODR})}, "PA2", false},
        NetCase{"DrivenHighWithoutPullUp", {}, {setup("PA2", {PUDR, SODR, OER})}, "PA2", true},
        NetCase{"ShortToGroundBeatsPullUp", {gnd("PB5")}, {setup("PB5", {PUER, ODR})}, "PB5", false},
        NetCase{"ShortToSupplyBeatsDriver", {v33("PC3")}, {setup("PC3", {PUER, OER, CODR})}, "PC3", true},
        NetCase{"ShortedLineFollowsDriver", {pair("PA2", "PC7")},
                {setup("PA2", {PUER, OER, CODR}), setup("PC7", {PUER, ODR})}, "PC7", false},
        NetCase{"ShortedLinesHighWhenUndriven", {pair("PA2", "PC7")},
                {setup("PA2", {PUER, ODR}), setup("PC7", {PUER, ODR})}, "PC7", true},
        NetCase{"UnshortedNeighbourUnaffected", {pair("PA2", "PC7")},
                {setup("PA2", {PUER, OER, CODR}), setup("PC8", {PUER, ODR})}, "PC8", true},
        NetCase{"OpenDrainHighReleases", {}, {setup("PB9", {PUER, MDER, SODR, OER})}, "PB9", true},
        NetCase{"OpenDrainHighWithoutPullUpFloatsLow", {}, {setup("PB9", {PUDR, MDER, SODR, OER})}, "PB9", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PioClock, PdsrDoesNotSampleWithoutThePeripheralClock) {
    // PIOD's clock stays off: its pins' levels are never sampled.
    ScriptBoard sb;
    auto out = sb.run({wr(kPmcPcer, 0x1C), rd(pio(3) + PDSR), rd(pio(2) + PDSR)});
    EXPECT_EQ(ScriptBoard::value(out, 1), 0u);
    EXPECT_EQ(ScriptBoard::value(out, 2), 0xFFFFFFFFu) << "PIOC: every line pulled up after reset";
}

TEST(PioRegisters, StatusRegistersFollowEnableAndDisable) {
    ScriptBoard sb;
    auto out = sb.run({wr(pio(0) + 0x04, 0xC0000000), rd(pio(0) + 0x08), wr(pio(0) + OER, 0x00010000),
                       rd(pio(0) + 0x18), wr(pio(0) + PUDR, 0x5), rd(pio(0) + 0x68), wr(pio(0) + 0x74, 0x3),
                       wr(pio(0) + 0x70, 0x1), rd(pio(0) + 0x78)});
    EXPECT_EQ(ScriptBoard::value(out, 1), 0x3FFFFFFFu) << "PIO_PSR";
    EXPECT_EQ(ScriptBoard::value(out, 3), 0x00010000u) << "PIO_OSR";
    EXPECT_EQ(ScriptBoard::value(out, 5), 0x5u) << "PIO_PUSR";
    EXPECT_EQ(ScriptBoard::value(out, 8), 0x2u) << "PIO_ABSR";
    EXPECT_TRUE(sb.board.model_errors().empty()) << join_errors(sb.board);
}

TEST(Pins, WatcherSeesLevelChanges) {
    Pins pins({});
    std::vector<bool> seen;
    int pa16 = Pins::line(0, 16);
    pins.watch(pa16, [&](bool level) { seen.push_back(level); });
    pins.set_pio_owned(pa16, true);
    pins.set_output_data(pa16, false);
    pins.set_output_enable(pa16, true);  // driven low
    pins.set_output_enable(pa16, false);  // pull-up again
    EXPECT_EQ(seen, (std::vector<bool>{false, true}));
}

}  // namespace
}  // namespace vboard::test
