// Strictness: every access that no model implements is a logged model error
// naming the address, and the firmware's own accesses are all implemented.
#include <gtest/gtest.h>

#include "board_fixture.h"

namespace vboard::test {
namespace {

struct BadAccess {
    const char* name;
    Op op;
    const char* text;  // in the error
};

class UnimplementedAccess : public ::testing::TestWithParam<BadAccess> {};

TEST_P(UnimplementedAccess, IsLoggedWithTheAddress) {
    const auto& c = GetParam();
    ScriptBoard sb;
    sb.board.remap_sram(true);  // vectors (parked) for the aborts
    std::uint32_t park[8];
    for (auto& w : park) w = 0xEAFFFFFE;  // b .
    std::vector<std::uint8_t> image = read_file(ARM_PROGRAM_BUS_SCRIPT_BIN);
    sb.board.poke(0x200, image.data(), image.size());  // the script program, moved past the vectors
    sb.board.poke(0, park, sizeof park);
    std::vector<Op> ops = {c.op, {Op::End, 0, 0}};
    sb.board.poke(ScriptBoard::kScript, ops.data(), ops.size() * sizeof(Op));
    sb.board.cpu_start(0x200, 0xD3);
    sb.board.run_until(1'000'000);
    ASSERT_EQ(sb.board.model_errors().size(), 1u) << join_errors(sb.board);
    EXPECT_NE(sb.board.model_errors()[0].find(c.text), std::string::npos) << join_errors(sb.board);
}

INSTANTIATE_TEST_SUITE_P(
    Core, UnimplementedAccess,
    ::testing::Values(BadAccess{"AicReservedOffset", rd(0xFFFFF118), "0xFFFFF118"},
                      BadAccess{"DbguReservedOffset", wr(0xFFFFF224, 1), "0xFFFFF224"},
                      BadAccess{"PmcReservedOffset", rd(0xFFFFFC0C), "0xFFFFFC0C"},
                      BadAccess{"PioReservedOffset", rd(0xFFFFF40C), "0xFFFFF40C"},
                      BadAccess{"SystemTimerNotModelled", rd(0xFFFFFD00), "0xFFFFFD00"},
                      BadAccess{"ReadOfWriteOnlyRegister", rd(0xFFFFF400), "PIO_PER"},
                      BadAccess{"WriteOfReadOnlyRegister", wr(0xFFFFF408, 1), "PIO_PSR"},
                      BadAccess{"ByteAccessToPeripheral", {Op::Write8, 0xFFFFF430, 1}, "8-bit"},
                      BadAccess{"NorFlashNotMapped", rd(0x10000000), "0x10000000"},
                      BadAccess{"NandNotMapped", wr(0x40000000, 0x70), "0x40000000"},
                      BadAccess{"UnmappedPeripheralSpace", rd(0xFFFA0000), "0xFFFA0000"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModelErrors, ErrorNamesTheAccessingInstruction) {
    ScriptBoard sb;
    sb.run({rd(0xFFFFF118)});
    ASSERT_EQ(sb.board.model_errors().size(), 1u);
    // The read of the script is the `ldreq r2, [r1]` at 0x20001C of bus_script.S.
    EXPECT_NE(sb.board.model_errors()[0].find("pc 0x0020001C"), std::string::npos) << join_errors(sb.board);
}

// Every register the start-up code writes or reads, in its order.
TEST(ModelErrors, StartupRegisterSequenceIsClean) {
    std::vector<Op> s = {wr(0xFFFFFC20, 0x0000FF01)};
    for (std::uint32_t n = 0; n < 32; ++n) {
        s.insert(s.end(), {wr(0xFFFFF124, 1u << n), wr(0xFFFFF128, 1u << n), wr(0xFFFFF124, 1u << n),
                           wr(0xFFFFF080 + 4 * n, 0x1234), wr(0xFFFFF000 + 4 * n, 0), wr(0xFFFFF128, 1u << n)});
    }
    s.insert(s.end(), {wr(0xFFFFF134, 0x1300), wr(0xFFFFF138, 0)});
    for (int i = 0; i < 8; ++i) s.insert(s.end(), {rd(0xFFFFF130), wr(0xFFFFF130, 0)});
    s.insert(s.end(), {wr(0xFFFFFC10, 0x1C), rd(0xFFFFFC18), rd(0xFFFFF100), rd(0xFFFFF110)});
    ScriptBoard sb;
    auto out = sb.run(s);
    ASSERT_TRUE(sb.finished);
    EXPECT_EQ(out[out.size() - 3].value & 0x1C, 0x1Cu) << "PMC_PCSR has PIOA..PIOC";
    EXPECT_EQ(out[out.size() - 2].value, 0x1300u) << "AIC_IVR with nothing pending: the spurious vector";
    EXPECT_EQ(out[out.size() - 1].value, 0u) << "AIC_IMR";
    EXPECT_TRUE(sb.board.model_errors().empty()) << join_errors(sb.board);
}

TEST(ModelErrors, EnablingAnInterruptSourceIsReported) {
    ScriptBoard sb;
    sb.run({wr(0xFFFFF120, 1u << 11)});
    ASSERT_EQ(sb.board.model_errors().size(), 1u);
    EXPECT_NE(sb.board.model_errors()[0].find("AIC_IECR"), std::string::npos) << join_errors(sb.board);
}

}  // namespace
}  // namespace vboard::test
