// The internal SRAM at 0x00200000 and, after the remap, at 0 as well: one
// memory seen through two windows.
#include <gtest/gtest.h>

#include <cstring>

#include "board_fixture.h"

namespace vboard::test {
namespace {

constexpr std::uint32_t kMcRcr = 0xFFFFFF00;

struct AliasCase {
    const char* name;
    std::uint32_t write_at, read_at;
};

class SramAlias : public ::testing::TestWithParam<AliasCase> {};

TEST_P(SramAlias, WriteThroughOneWindowReadsThroughTheOther) {
    const auto& c = GetParam();
    ScriptBoard sb;
    sb.board.remap_sram(true);
    auto out = sb.run({wr(c.write_at, 0xCAFEF00D), rd(c.read_at)});
    ASSERT_TRUE(sb.finished) << join_errors(sb.board);
    EXPECT_EQ(ScriptBoard::value(out, 1), 0xCAFEF00Du);
    EXPECT_TRUE(sb.board.model_errors().empty()) << join_errors(sb.board);
}

INSTANTIATE_TEST_SUITE_P(Core, SramAlias,
                         ::testing::Values(AliasCase{"FixedToZero", 0x00201000, 0x00001000},
                                           AliasCase{"ZeroToFixed", 0x00003FFC, 0x00203FFC},
                                           AliasCase{"FixedToFixed", 0x00202000, 0x00202000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SramRemap, WithoutRemapAddressZeroIsUnmapped) {
    ScriptBoard sb;
    ASSERT_FALSE(sb.board.sram_at_zero());
    sb.run({rd(0x00000100)});
    ASSERT_EQ(sb.board.model_errors().size(), 2u) << join_errors(sb.board);  // the abort, then no vector
    EXPECT_NE(sb.board.model_errors()[0].find("data abort"), std::string::npos) << join_errors(sb.board);
}

TEST(SramRemap, McRemapCommandTogglesTheMapping) {
    ScriptBoard sb;
    std::uint32_t marker = 0x5EED1234;
    sb.board.poke(Board::kSramBase + 0x3000, &marker, 4);
    auto out = sb.run({wr(kMcRcr, 1), rd(0x3000)});
    EXPECT_TRUE(sb.board.sram_at_zero());
    EXPECT_EQ(ScriptBoard::value(out, 1), marker);
    sb.run({wr(kMcRcr, 1)});
    EXPECT_FALSE(sb.board.sram_at_zero());
    EXPECT_TRUE(sb.board.model_errors().empty()) << join_errors(sb.board);
}

TEST(PeekPoke, SeeSramThroughBothWindowsAndSdram) {
    Board board({});
    std::uint32_t v = 0x11223344, got = 0;
    ASSERT_TRUE(board.poke(Board::kSramBase + 8, &v, 4));
    EXPECT_FALSE(board.peek(8, &got, 4)) << "no SRAM at 0 before the remap";
    board.remap_sram(true);
    ASSERT_TRUE(board.peek(8, &got, 4));
    EXPECT_EQ(got, v);
    ASSERT_TRUE(board.poke(Board::kSdramBase + Board::kSdramSize - 4, &v, 4));
    EXPECT_EQ(std::memcmp(board.sdram() + Board::kSdramSize - 4, &v, 4), 0);
    EXPECT_FALSE(board.poke(Board::kSdramBase + Board::kSdramSize - 2, &v, 4)) << "past the end of SDRAM";
}

}  // namespace
}  // namespace vboard::test
