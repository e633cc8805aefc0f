// Code in SDRAM runs whatever path the SDRAM takes: plain memory, pages
// aliased by a stuck address line, or the controller model's slow path.
#include <gtest/gtest.h>

#include <cstring>

#include "board_fixture.h"
#include "soc/sdramc.h"

namespace vboard::test {
namespace {

struct ExecCase {
    const char* name;
    BoardConfig config;
    std::uint32_t code_cells;  // where the code lands in the SDRAM chips
};

BoardConfig addr_stuck(unsigned bit, unsigned value) {
    BoardConfig c;
    c.sdram_addr_stuck.push_back({bit, value});
    return c;
}
[[maybe_unused]] BoardConfig data_stuck(std::uint32_t addr, unsigned bit, unsigned value) {
    BoardConfig c;
    c.sdram_stuck.push_back({addr, bit, value});
    return c;
}

class SdramExecution : public ::testing::TestWithParam<ExecCase> {};

TEST_P(SdramExecution, MemoryLoopRunsFromSdram) {
    const auto& c = GetParam();
    ScriptBoard sb(c.config);
    // Set the SDRAM up through the CPU (the start-up code's sequence).
    std::vector<Op> init = {wr(0xFFFFF870, 0xFFFF0000), wr(0xFFFFF804, 0xFFFF0000), wr(0xFFFFFF60, 2),
                            wr(0xFFFFFF98, 0x0A1130D9), wr(0xFFFFFF90, 2), wr(0x20000000, 0), wr(0xFFFFFF90, 4),
                            wr(0x20000000, 0), wr(0x20000000, 0), wr(0xFFFFFF90, 3), wr(0x20000880, 0),
                            wr(0xFFFFFF90, 0), wr(0x20000000, 0)};
    sb.run(init);
    ASSERT_TRUE(sb.board.find<Sdramc>()->usable()) << join_errors(sb.board);
    auto image = read_file(ARM_PROGRAM_MEMLOOP_BIN);
    ASSERT_TRUE(sb.board.poke(0x20000000, image.data(), image.size()));
    EXPECT_EQ(std::memcmp(sb.board.sdram() + (c.code_cells - 0x20000000), image.data(), image.size()), 0)
        << "poke goes through the stuck address lines";
    std::uint32_t params[3] = {0x20080000, 3, 1024};  // one 4 KiB page of data
    sb.board.poke(0x00203F00, params, sizeof params);
    sb.board.cpu_start(0x20000000, 0xDF);  // System mode, as the uploader starts
    sb.board.run_until(sb.board.now() + 100'000'000, [&] { return sb.board.cpu_reg(5) != 0; });
    EXPECT_EQ(sb.board.cpu_reg(5), 0x600Du);
    EXPECT_TRUE(sb.board.model_errors().empty()) << join_errors(sb.board);
}

TEST(SdramExecution, FetchFromAPageOnTheSlowPathIsAModelError) {
    // A stuck data bit puts the first SDRAM page on the controller model's
    // path, where the engine cannot fetch instructions.
    ScriptBoard sb(data_stuck(0x20000000, 31, 1));
    sb.run({wr(0xFFFFFF60, 2), wr(0xFFFFFF98, 0x0A1130D9), wr(0xFFFFFF90, 2), wr(0x20000000, 0),
            wr(0xFFFFFF90, 4), wr(0x20000000, 0), wr(0x20000000, 0), wr(0xFFFFFF90, 3), wr(0x20000880, 0),
            wr(0xFFFFFF90, 0)});
    sb.board.cpu_start(0x20000010, 0xDF);
    sb.board.run_until(sb.board.now() + 1'000'000);
    EXPECT_FALSE(sb.board.cpu_running());
    ASSERT_EQ(sb.board.model_errors().size(), 1u) << join_errors(sb.board);
    EXPECT_NE(sb.board.model_errors()[0].find("instruction fetch from SDRAM at 0x20000010"), std::string::npos)
        << join_errors(sb.board);
}

INSTANTIATE_TEST_SUITE_P(
    Core, SdramExecution,
    ::testing::Values(ExecCase{"PlainMemory", {}, 0x20000000},
                      ExecCase{"AddressBit20StuckHigh", addr_stuck(20, 1), 0x20100000},
                      ExecCase{"AddressBit16StuckHigh", addr_stuck(16, 1), 0x20010000},
                      ExecCase{"AddressBit24StuckLow", addr_stuck(24, 0), 0x20000000},
                      ExecCase{"AddressBit12StuckHigh", addr_stuck(12, 1), 0x20001000}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vboard::test
