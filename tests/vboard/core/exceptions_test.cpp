// Exception entry as the ARM920T does it: the firmware's own vectors run with
// the right mode, return address and saved status.
#include <gtest/gtest.h>

#include "board_fixture.h"

namespace vboard::test {
namespace {

constexpr std::uint32_t kCase = 0x00203F00, kResult = 0x00203F10;

struct ExceptionCase {
    const char* name;
    std::uint32_t number;       // case number of arm/exceptions.S
    std::uint32_t mode;         // CPSR mode the handler runs in
    std::uint32_t vector;       // vector offset taken
    std::int32_t lr_offset;     // LR minus the address of the faulting instruction
    std::size_t model_errors;   // aborts on unmapped addresses are model errors too
};

class ExceptionEntry : public ::testing::TestWithParam<ExceptionCase> {};

TEST_P(ExceptionEntry, HandlerRunsWithModeLrAndSpsr) {
    const auto& c = GetParam();
    Board board({});
    board.set_error_echo(false);
    load_sram(board, ARM_PROGRAM_EXCEPTIONS_BIN);
    board.remap_sram(true);
    ASSERT_TRUE(board.poke(kCase, &c.number, 4));
    std::uint32_t none[5] = {0, 0, 0, 0xFFFFFFFF, 0};
    ASSERT_TRUE(board.poke(kResult, none, sizeof none));
    board.cpu_start(0, 0xD3);  // Supervisor, IRQ and FIQ masked
    board.run_until(1'000'000);

    std::uint32_t r[5];
    ASSERT_TRUE(board.peek(kResult, r, sizeof r));
    const std::uint32_t cpsr = r[0], lr = r[1], spsr = r[2], vector = r[3], fault_pc = r[4];
    EXPECT_EQ(vector, c.vector) << "vector taken";
    EXPECT_EQ(cpsr & 0x1F, c.mode) << "handler mode, CPSR " << std::hex << cpsr;
    EXPECT_TRUE(cpsr & 0x80) << "IRQ masked in the handler";
    EXPECT_TRUE(cpsr & 0x40) << "FIQ mask kept";
    EXPECT_FALSE(cpsr & 0x20) << "ARM state";
    EXPECT_EQ(spsr & 0xFF, 0xD3u) << "SPSR holds the interrupted CPSR, " << std::hex << spsr;
    EXPECT_EQ(static_cast<std::int32_t>(lr - fault_pc), c.lr_offset)
        << std::hex << "LR 0x" << lr << ", faulting instruction at 0x" << fault_pc;
    EXPECT_EQ(board.model_errors().size(), c.model_errors) << join_errors(board);
}

INSTANTIATE_TEST_SUITE_P(
    Core, ExceptionEntry,
    ::testing::Values(ExceptionCase{"UndefinedInstruction", 0, 0x1B, 0x04, 4, 0},
                      ExceptionCase{"ClzIsUndefinedOnArmv4", 1, 0x1B, 0x04, 4, 0},
                      ExceptionCase{"DataAbortOnLoad", 2, 0x17, 0x10, 8, 1},
                      ExceptionCase{"PrefetchAbort", 3, 0x17, 0x0C, 4, 1},
                      ExceptionCase{"SoftwareInterrupt", 4, 0x13, 0x08, 4, 0},
                      ExceptionCase{"DataAbortOnStore", 5, 0x17, 0x10, 8, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExceptionEntry, AbortErrorNamesAddressAndInstruction) {
    Board board({});
    board.set_error_echo(false);
    load_sram(board, ARM_PROGRAM_EXCEPTIONS_BIN);
    board.remap_sram(true);
    std::uint32_t number = 2;
    board.poke(kCase, &number, 4);
    board.cpu_start(0, 0xD3);
    board.run_until(1'000'000);
    std::uint32_t fault_pc = 0;
    board.peek(kResult + 16, &fault_pc, 4);
    ASSERT_EQ(board.model_errors().size(), 1u);
    const std::string& e = board.model_errors()[0];
    char pc[32];
    std::snprintf(pc, sizeof pc, "pc 0x%08X", fault_pc);
    EXPECT_NE(e.find(pc), std::string::npos) << e;
    EXPECT_NE(e.find("0x30000000"), std::string::npos) << e;
    EXPECT_NE(e.find("data abort"), std::string::npos) << e;
}

TEST(ExceptionEntry, HighVectorsFollowCp15V) {
    // With CP15 V set the vectors are at 0xFFFF0000, where this chip has no
    // memory: the undefined instruction cannot be taken.
    Board board({});
    board.set_error_echo(false);
    load_sram(board, ARM_PROGRAM_EXCEPTIONS_BIN);
    board.remap_sram(true);
    std::uint32_t number = 6;
    board.poke(kCase, &number, 4);
    board.cpu_start(0, 0xD3);
    board.run_until(1'000'000);
    EXPECT_FALSE(board.cpu_running());
    ASSERT_EQ(board.model_errors().size(), 1u) << join_errors(board);
    EXPECT_NE(board.model_errors()[0].find("vector 0xFFFF0004"), std::string::npos) << join_errors(board);
}

TEST(ExceptionEntry, VectorOutsideMemoryHoldsTheCpu) {
    // Without the remap nothing is at 0: an exception cannot be taken.
    Board board({});
    board.set_error_echo(false);
    load_sram(board, ARM_PROGRAM_EXCEPTIONS_BIN);
    std::uint32_t number = 0;
    board.poke(kCase, &number, 4);
    board.cpu_start(Board::kSramBase + 0x20, 0xD3);  // _start, run from the fixed SRAM address
    board.run_until(1'000'000);
    EXPECT_FALSE(board.cpu_running());
    ASSERT_EQ(board.model_errors().size(), 1u) << join_errors(board);
    EXPECT_NE(board.model_errors()[0].find("vector"), std::string::npos) << join_errors(board);
}

}  // namespace
}  // namespace vboard::test
