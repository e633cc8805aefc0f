// The debug unit's transmitter: characters reach the console one character
// time apart, TXRDY follows the holding register.
#include <gtest/gtest.h>

#include "board_fixture.h"
#include "soc/dbgu.h"

namespace vboard::test {
namespace {

constexpr std::uint32_t kDbgu = 0xFFFFF200, kCr = kDbgu, kSr = kDbgu + 0x14, kThr = kDbgu + 0x1C,
                        kBrgr = kDbgu + 0x20;
constexpr std::uint32_t kTxRdy = 2, kTxEmpty = 1u << 9;

// PA30/PA31 to the DBGU, 115200 baud from 48 MHz, transmitter on.
std::vector<Op> dbgu_setup(std::uint32_t cd = 26) {
    return {wr(0xFFFFF470, 0xC0000000), wr(0xFFFFF474, 0), wr(0xFFFFF404, 0xC0000000), wr(kDbgu + 0x0C, ~0u),
            wr(kCr, 0xAC), wr(kBrgr, cd), wr(kDbgu + 0x04, 0x8C0), wr(kCr, 0x40), wr(kCr, 0x10)};
}

struct Sent {
    char c;
    Nanos at;
};

struct ConsoleBoard : ScriptBoard {
    static BoardConfig config(std::vector<Sent>* sent, Board** self) {
        BoardConfig cfg;
        cfg.console = [sent, self](char c) { sent->push_back({c, (*self)->now()}); };
        return cfg;
    }
    ConsoleBoard() : ScriptBoard(config(&sent, &self)) { self = &board; }
    std::vector<Sent> sent;
    Board* self = nullptr;
};

TEST(Dbgu, CharactersLeaveOneCharacterTimeApart) {
    ConsoleBoard cb;
    std::vector<Op> s = dbgu_setup();
    for (char c : std::string("-F- ")) {
        s.push_back(poll(kSr, kTxRdy));
        s.push_back(wr(kThr, static_cast<std::uint8_t>(c)));
    }
    s.push_back(poll(kSr, kTxEmpty));
    cb.run(s);
    ASSERT_TRUE(cb.finished);
    ASSERT_EQ(cb.sent.size(), 4u);
    std::string text;
    for (auto& x : cb.sent) text += x.c;
    EXPECT_EQ(text, "-F- ");
    const Nanos char_time = cb.board.find<Dbgu>()->char_time();
    EXPECT_EQ(char_time, 86667u) << "10 bits at 48 MHz / (16 * 26)";
    for (std::size_t i = 1; i < cb.sent.size(); ++i)
        // Events fall on CPU cycles: within one cycle of the character time.
        EXPECT_NEAR(double(cb.sent[i].at - cb.sent[i - 1].at), double(char_time), 6.0)
            << "between characters " << i - 1 << " and " << i;
    EXPECT_EQ(cb.board.find<Dbgu>()->brgr(), 26u);
    EXPECT_TRUE(cb.board.model_errors().empty()) << join_errors(cb.board);
}

TEST(Dbgu, TxRdyClearWhileHoldingRegisterFull) {
    ConsoleBoard cb;
    auto s = dbgu_setup();
    s.insert(s.end(), {rd(kSr), wr(kThr, 'a'), rd(kSr), wr(kThr, 'b'), rd(kSr)});
    auto out = cb.run(s);
    const std::size_t n = out.size();
    EXPECT_EQ(out[n - 5].value & (kTxRdy | kTxEmpty), kTxRdy | kTxEmpty) << "idle transmitter";
    EXPECT_EQ(out[n - 3].value & (kTxRdy | kTxEmpty), kTxRdy) << "'a' in the shift register, holding empty";
    EXPECT_EQ(out[n - 1].value & kTxRdy, 0u) << "'b' waits in the holding register";
    EXPECT_TRUE(cb.board.model_errors().empty()) << join_errors(cb.board);
}

struct DbguErrorCase {
    const char* name;
    std::vector<Op> script;
    const char* error_text;
};

class DbguMisuse : public ::testing::TestWithParam<DbguErrorCase> {};

TEST_P(DbguMisuse, IsAModelError) {
    ConsoleBoard cb;
    cb.run(GetParam().script);
    cb.board.run_until(cb.board.now() + 5'000'000);
    ASSERT_EQ(cb.board.model_errors().size(), 1u) << join_errors(cb.board);
    EXPECT_NE(cb.board.model_errors()[0].find(GetParam().error_text), std::string::npos) << join_errors(cb.board);
}

std::vector<Op> with(std::vector<Op> a, std::initializer_list<Op> b) {
    a.insert(a.end(), b);
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Core, DbguMisuse,
    ::testing::Values(
        DbguErrorCase{"WriteWhileTxRdyClear", with(dbgu_setup(), {wr(kThr, 'a'), wr(kThr, 'b'), wr(kThr, 'c')}),
                      "TXRDY is clear"},
        DbguErrorCase{"WriteWithTransmitterOff", {wr(kBrgr, 26), wr(kThr, 'a')}, "TXRDY is clear"},
        DbguErrorCase{"BaudRateGeneratorStopped", with(dbgu_setup(0), {wr(kThr, 'a')}), "DBGU_BRGR"},
        DbguErrorCase{"TxdPinNotAssigned", {wr(kBrgr, 26), wr(kCr, 0x40), wr(kThr, 'a')}, "PA31"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Dbgu, ChipIdAndStartupRegisters) {
    ScriptBoard sb;
    auto out = sb.run(with(dbgu_setup(),
                           {rd(kDbgu + 0x40), wr(kDbgu + 0x28, 0), wr(kDbgu + 0x120, 2), wr(kDbgu + 0x120, 0x200),
                            wr(kDbgu + 0x118, 0), wr(kDbgu + 0x11C, 0), wr(kDbgu + 0x110, 0), wr(kDbgu + 0x114, 0),
                            wr(kDbgu + 0x108, 0), wr(kDbgu + 0x10C, 0), wr(kDbgu + 0x100, 0), wr(kDbgu + 0x104, 0),
                            wr(kDbgu + 0x120, 1), wr(kDbgu + 0x120, 0x100), rd(kDbgu + 0x124)}));
    EXPECT_EQ(out[dbgu_setup().size()].value, Dbgu::kChipId);
    EXPECT_EQ(out.back().value, 0x101u) << "PERIPH_PTSR";
    EXPECT_TRUE(sb.board.model_errors().empty()) << join_errors(sb.board);
}

}  // namespace
}  // namespace vboard::test
