// The SDRAM controller's command modes, the initialisation it requires, the
// upper data lines on PC16..PC31 and the injected SDRAM faults.
#include <gtest/gtest.h>

#include <cstring>

#include "board_fixture.h"

namespace vboard::test {
namespace {

constexpr std::uint32_t kSdram = 0x20000000;
constexpr std::uint32_t kPiocPer = 0xFFFFF800, kPiocPdr = 0xFFFFF804, kPiocAsr = 0xFFFFF870, kPiocBsr = 0xFFFFF874;
constexpr std::uint32_t kEbiCsa = 0xFFFFFF60;
constexpr std::uint32_t kMr = 0xFFFFFF90, kTr = 0xFFFFFF94, kCr = 0xFFFFFF98, kSrr = 0xFFFFFF9C;

// The board's SDRAM set-up, step by step as the start-up code does it.
std::vector<Op> sdram_init() {
    std::vector<Op> s = {wr(kPiocAsr, 0xFFFF0000), wr(kPiocBsr, 0), wr(kPiocPdr, 0xFFFF0000),
                         wr(kEbiCsa, 0x2),         wr(kCr, 0x0A1130D9),
                         wr(kMr, 2),               wr(kSdram, 0),
                         wr(kMr, 4)};
    for (int i = 0; i < 8; ++i) s.push_back(wr(kSdram, 0));
    for (Op op : {wr(kMr, 3), wr(kSdram + 0x880, 0), wr(kTr, 0x1D4), wr(kSdram, 0), wr(kSrr, 1), wr(kSdram, 0),
                  wr(kMr, 0), wr(kSdram, 0)})
        s.push_back(op);
    return s;
}

std::vector<Op> operator+(std::vector<Op> a, const std::vector<Op>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::uint32_t sdram_word(Board& b, std::uint32_t addr) {
    std::uint32_t v;
    std::memcpy(&v, b.sdram() + (addr - kSdram), 4);
    return v;
}

TEST(Sdram, InitialisedSdramStoresDataAtFullSpeed) {
    ScriptBoard sb;
    sb.run(sdram_init());
    ASSERT_TRUE(sb.finished);
    auto slow_before = sb.board.stats().sdram_slow_accesses;
    auto out = sb.run({wr(kSdram + 0x100, 0x12345678), rd(kSdram + 0x100), wr(0x23FFFFFC, 0xA5A5A5A5),
                       rd(0x23FFFFFC), {Op::Write8, kSdram + 0x101, 0xEE}, rd(kSdram + 0x100)});
    EXPECT_EQ(ScriptBoard::value(out, 1), 0x12345678u);
    EXPECT_EQ(ScriptBoard::value(out, 3), 0xA5A5A5A5u);
    EXPECT_EQ(ScriptBoard::value(out, 5), 0x1234EE78u);
    EXPECT_EQ(sb.board.stats().sdram_slow_accesses, slow_before) << "data accesses went through the slow path";
    EXPECT_TRUE(sb.board.model_errors().empty()) << join_errors(sb.board);
}

TEST(Sdram, CommandModeAccessesAreCommandsNotData) {
    ScriptBoard sb;
    sb.run(sdram_init() + std::vector<Op>{wr(kSdram + 0x40, 0x11111111)});
    // Back to auto-refresh mode: a write is a refresh command; memory keeps its word.
    auto out = sb.run({wr(kMr, 4), wr(kSdram + 0x40, 0x22222222), rd(kSdram + 0x40)});
    EXPECT_EQ(sdram_word(sb.board, kSdram + 0x40), 0x11111111u);
    EXPECT_EQ(ScriptBoard::value(out, 2), 0u) << "a read in a command mode returns no data";
    EXPECT_TRUE(sb.board.model_errors().empty()) << join_errors(sb.board);
}

struct BadInitCase {
    const char* name;
    std::vector<Op> script;
};

class SdramNotReady : public ::testing::TestWithParam<BadInitCase> {};

TEST_P(SdramNotReady, DataAccessIsAModelError) {
    ScriptBoard sb;
    sb.run(GetParam().script + std::vector<Op>{wr(kSdram + 0x200, 0xDEADBEEF)});
    ASSERT_TRUE(sb.finished);
    // The final data access is refused (before it, commands that reach no
    // SDRAM may have been refused as well).
    ASSERT_FALSE(sb.board.model_errors().empty());
    EXPECT_NE(sb.board.model_errors().back().find("0x20000200"), std::string::npos) << join_errors(sb.board);
    EXPECT_NE(sdram_word(sb.board, kSdram + 0x200), 0xDEADBEEFu) << "the write reached the memory";
}

std::vector<Op> without(std::vector<Op> s, std::uint32_t addr, std::uint32_t value) {
    for (auto it = s.begin(); it != s.end(); ++it)
        if (it->addr == addr && it->value == value) {
            s.erase(it);
            break;
        }
    return s;
}

std::vector<Op> only_one_refresh() {
    std::vector<Op> s = {wr(kEbiCsa, 2), wr(kCr, 0x0A1130D9), wr(kMr, 2), wr(kSdram, 0), wr(kMr, 4), wr(kSdram, 0),
                         wr(kMr, 3),     wr(kSdram + 0x880, 0), wr(kMr, 0)};
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Core, SdramNotReady,
    ::testing::Values(BadInitCase{"AfterReset", {}},
                      BadInitCase{"NoPrecharge", without(sdram_init(), kMr, 2)},
                      BadInitCase{"OneAutoRefreshOnly", only_one_refresh()},
                      BadInitCase{"NoLoadMode", without(sdram_init(), kMr, 3)},
                      BadInitCase{"ChipSelectNotAssigned", without(sdram_init(), kEbiCsa, 2)},
                      BadInitCase{"SixteenBitBus", sdram_init() + std::vector<Op>{wr(kMr, 0x10)}},
                      BadInitCase{"WrongGeometry", sdram_init() + std::vector<Op>{wr(kCr, 0x0A1130D8)}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Sdram, UpperDataLinesFollowThePinsWhileThePioOwnsThem) {
    // PC20 shorted to GND, the other upper lines with their pull-ups: while
    // the PIO owns PC16..PC31 the SDRAM sees these levels on D16..D31.
    BoardConfig cfg;
    cfg.shorts.push_back({PinShort::Kind::Gnd, 2 * 32 + 20, 0});
    ScriptBoard sb(cfg);
    sb.run(sdram_init());
    auto out = sb.run({wr(kPiocPer, 0xFFFF0000), wr(kSdram + 0x10, 0x12345678), rd(kSdram + 0x10)});
    EXPECT_EQ(ScriptBoard::value(out, 2), 0xFFEF5678u);
    EXPECT_EQ(sdram_word(sb.board, kSdram + 0x10), 0xFFEF5678u) << "written bits 16..31 are the line levels";
    // Giving the lines back (as a second initialisation does) reconnects D16..D31;
    // the short to ground still holds D20 low.
    out = sb.run(sdram_init() + std::vector<Op>{wr(kSdram + 0x10, 0x12345678), rd(kSdram + 0x10)});
    EXPECT_EQ(ScriptBoard::value(out, out.size() - 1), 0x12245678u);
    EXPECT_TRUE(sb.board.model_errors().empty()) << join_errors(sb.board);
}

TEST(Sdram, SecondInitialisationKeepsTheContent) {
    ScriptBoard sb;
    sb.run(sdram_init() + std::vector<Op>{wr(kSdram + 0x1000, 0x0BADF00D)});
    auto out = sb.run(std::vector<Op>{wr(kPiocPer, 0xFFFF0000)} + sdram_init() + std::vector<Op>{rd(kSdram + 0x1000)});
    EXPECT_EQ(ScriptBoard::value(out, out.size() - 1), 0x0BADF00Du);
    EXPECT_TRUE(sb.board.model_errors().empty()) << join_errors(sb.board);
}

TEST(SdramFaults, StuckDataBitActsOnItsWordOnly) {
    BoardConfig cfg;
    cfg.sdram_stuck.push_back({0x20001008, 3, 0});
    cfg.sdram_stuck.push_back({0x20001008, 30, 1});
    ScriptBoard sb(cfg);
    sb.run(sdram_init());
    auto out = sb.run({wr(0x20001008, 0xFFFFFFFF), rd(0x20001008), wr(0x20001008, 0), rd(0x20001008),
                       wr(0x2000100C, 0xFFFFFFFF), rd(0x2000100C)});
    EXPECT_EQ(ScriptBoard::value(out, 1), 0xFFFFFFF7u);
    EXPECT_EQ(ScriptBoard::value(out, 3), 0x40000000u);
    EXPECT_EQ(ScriptBoard::value(out, 5), 0xFFFFFFFFu) << "neighbouring word";
    // Pages without a fault stay plain memory.
    auto slow = sb.board.stats().sdram_slow_accesses;
    sb.run({wr(0x20002008, 1), rd(0x20002008)});
    EXPECT_EQ(sb.board.stats().sdram_slow_accesses, slow);
    EXPECT_TRUE(sb.board.model_errors().empty()) << join_errors(sb.board);
}

struct AddrStuckCase {
    const char* name;
    unsigned bit, value;
    std::uint32_t a, b;  // two addresses that alias under the fault
};

class SdramAddressFault : public ::testing::TestWithParam<AddrStuckCase> {};

TEST_P(SdramAddressFault, AliasedWordsShareTheirContent) {
    const auto& c = GetParam();
    BoardConfig cfg;
    cfg.sdram_addr_stuck.push_back({c.bit, c.value});
    ScriptBoard sb(cfg);
    sb.run(sdram_init());
    auto out = sb.run({wr(c.a, 0xAAAAAAAA), wr(c.b, 0x55555555), rd(c.a), rd(c.b)});
    EXPECT_EQ(ScriptBoard::value(out, 2), 0x55555555u);
    EXPECT_EQ(ScriptBoard::value(out, 3), 0x55555555u);
    EXPECT_TRUE(sb.board.model_errors().empty()) << join_errors(sb.board);
}

INSTANTIATE_TEST_SUITE_P(Core, SdramAddressFault,
                         ::testing::Values(AddrStuckCase{"Bit2High", 2, 1, 0x20000000, 0x20000004},
                                           AddrStuckCase{"Bit14Low", 14, 0, 0x20004010, 0x20000010},
                                           AddrStuckCase{"Bit25High", 25, 1, 0x20000100, 0x22000100}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vboard::test
