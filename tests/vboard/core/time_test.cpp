// Virtual time: retired instructions at Board::kCpuHz, events in order, and
// idle skipping over poll loops.
#include <gtest/gtest.h>

#include "board_fixture.h"
#include "core/peripheral.h"
#include "soc/dbgu.h"

namespace vboard::test {
namespace {

constexpr std::uint32_t kParams = 0x00203F00;

struct LoopCase {
    const char* name;
    std::uint32_t passes, words;
};

class InstructionTime : public ::testing::TestWithParam<LoopCase> {};

TEST_P(InstructionTime, VirtualTimeFollowsRetiredInstructions) {
    const auto& c = GetParam();
    Board board({});
    load_sram(board, ARM_PROGRAM_MEMLOOP_BIN);
    std::uint32_t params[3] = {0x00200400, c.passes, c.words};
    board.poke(kParams, params, sizeof params);
    board.cpu_start(Board::kSramBase, 0xD3);
    const std::uint64_t expected = 3 + std::uint64_t(c.passes) * (4 + 10 * std::uint64_t(c.words)) + 3;
    board.run_until(1'000'000'000, [&] { return board.cpu_reg(5) == 0x600D; });
    const auto s = board.stats();
    EXPECT_EQ(board.cpu_reg(5), 0x600Du);
    // Afterwards the parking loop turns a few times before it is seen idle.
    EXPECT_GE(s.instructions, expected);
    EXPECT_LE(s.instructions, expected + 16);
    EXPECT_EQ(s.virtual_time, s.instructions * 1'000'000'000ull / Board::kCpuHz);
}

INSTANTIATE_TEST_SUITE_P(Core, InstructionTime,
                         ::testing::Values(LoopCase{"OnePass", 1, 1024}, LoopCase{"ManyPasses", 50, 256},
                                           LoopCase{"LongPass", 2, 3000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Events, RunInTimeOrderAndCanBeCancelled) {
    Board board({});
    std::vector<int> order;
    board.at(3000, [&] { order.push_back(3); });
    board.at(1000, [&] { order.push_back(1); });
    auto id = board.at(2000, [&] { order.push_back(2); });
    board.at(1000, [&] { order.push_back(11); });  // same time: in scheduling order
    board.cancel(id);
    board.run_until(10'000);
    EXPECT_EQ(order, (std::vector<int>{1, 11, 3}));
    EXPECT_GE(board.now(), 10'000u);
}

TEST(Events, DoneStopsTheRunAtTheEvent) {
    Board board({});
    bool fired = false;
    board.after(5'000'000, [&] { fired = true; });
    EXPECT_TRUE(board.run_until(1'000'000'000, [&] { return fired; }));
    EXPECT_GE(board.now(), 5'000'000u);
    EXPECT_LT(board.now(), 5'000'010u);
}

TEST(IdleSkip, PollLoopJumpsToTheNextEvent) {
    // The script program parks in a loop that polls PMC_SR. With an event
    // 100 ms ahead, the board must not execute 18 M instructions to get there.
    ScriptBoard sb;
    sb.run({});
    ASSERT_TRUE(sb.finished);
    const auto before = sb.board.stats();
    bool fired = false;
    sb.board.after(100'000'000, [&] { fired = true; });
    sb.board.run_until(sb.board.now() + 200'000'000);
    const auto after = sb.board.stats();
    EXPECT_TRUE(fired);
    EXPECT_GE(after.idle_skips, before.idle_skips + 1);
    EXPECT_LT(after.instructions - before.instructions, 100'000u);
    EXPECT_TRUE(sb.board.idle());
}

TEST(IdleSkip, WaitForTxRdyEndsExactlyWhenTheCharacterLeaves) {
    // A slow baud rate: one character takes 218 ms. The poll for TXEMPTY must
    // end when the character has left, not before and not much after.
    std::vector<std::pair<char, Nanos>> sent;
    BoardConfig cfg;
    Board* self = nullptr;
    cfg.console = [&](char c) { sent.push_back({c, self->now()}); };
    ScriptBoard sb(cfg);
    self = &sb.board;
    sb.run({wr(0xFFFFF404, 0x80000000), wr(0xFFFFF220, 0xFFFF), wr(0xFFFFF200, 0x40), wr(0xFFFFF21C, 'x'),
            poll(0xFFFFF214, 1u << 9), rd(0xFFFFF214)},
           1'000'000'000);
    ASSERT_TRUE(sb.finished);
    ASSERT_EQ(sent.size(), 1u);
    const Nanos char_time = sb.board.find<Dbgu>()->char_time();
    EXPECT_EQ(char_time, 218450000u);
    EXPECT_GE(sb.board.now(), sent[0].second);
    EXPECT_LT(sb.board.now() - sent[0].second, 100'000u);
    EXPECT_LT(sb.board.stats().instructions, 1'000'000u) << "the poll loop ran instead of being skipped";
    EXPECT_TRUE(sb.board.model_errors().empty()) << join_errors(sb.board);
}

// A free-running millisecond counter, as a model from outside the core would
// attach it.
class MsCounter : public Peripheral {
public:
    explicit MsCounter(Board& b) : Peripheral(b, "MSCOUNT", 0xFFFFFD00, 4) {
        reg(0, "COUNT").read([this] {
            board.time_dependent_read();
            return static_cast<std::uint32_t>(board.now() / 1'000'000);
        });
    }
};

TEST(IdleSkip, TimeDependentRegisterIsPolledNotSkipped) {
    ScriptBoard sb;
    sb.board.attach(std::make_unique<MsCounter>(sb.board));
    sb.run({poll(0xFFFFFD00, 4)}, 1'000'000'000);
    ASSERT_TRUE(sb.finished);
    EXPECT_GE(sb.board.now(), 4'000'000u);
    EXPECT_LT(sb.board.now(), 4'100'000u) << "the poll loop was skipped past the counter's change";
    EXPECT_TRUE(sb.board.model_errors().empty()) << join_errors(sb.board);
}

TEST(IdleSkip, HeldCpuLetsTimeJump) {
    Board board({});
    board.run_until(1'000'000'000);
    EXPECT_EQ(board.stats().instructions, 0u);
    EXPECT_GE(board.now(), 1'000'000'000u);
}

}  // namespace
}  // namespace vboard::test
