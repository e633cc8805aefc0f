// The real test loader on the core board: loaded into SRAM, remapped and
// started at 0 in Supervisor mode as the boot ROM starts it, it must set the
// board up and reach its main loop without touching anything the board does
// not implement.
#include <gtest/gtest.h>

#include <memory>

#include "board_fixture.h"
#include "core/pins.h"
#include "soc/dbgu.h"
#include "soc/ebi.h"
#include "soc/pio.h"
#include "soc/pmc.h"
#include "soc/sdramc.h"
#include "usb/udp.h"

namespace vboard::test {
namespace {

class TestLoaderStart : public ::testing::Test {
protected:
    void SetUp() override {
        BoardConfig cfg;
        cfg.console = [this](char c) { console += c; };
        board = std::make_unique<Board>(cfg);
        board->set_error_echo(false);
        board->attach(std::make_unique<Udp>(*board));
        image = read_file(DORVEX_TEST_LOADER_BIN);
        ASSERT_FALSE(image.empty());
        ASSERT_TRUE(board->poke(Board::kSramBase, image.data(), image.size()));
        board->remap_sram(true);
        board->cpu_start(0, 0xD3);
        board->run_until(50'000'000);  // 50 ms
    }
    std::unique_ptr<Board> board;
    std::vector<std::uint8_t> image;
    std::string console;
};

TEST_F(TestLoaderStart, ReachesItsMainLoopWithoutModelErrors) {
    EXPECT_TRUE(board->model_errors().empty()) << join_errors(*board);
    EXPECT_TRUE(board->cpu_running());
    EXPECT_EQ(board->cpu_reg(16) & 0xFF, 0xD3u) << "Supervisor mode, IRQ and FIQ masked";
    EXPECT_LT(board->cpu_reg(15), image.size()) << "PC inside the loader";
    EXPECT_EQ(console, "") << "no exception message";
}

TEST_F(TestLoaderStart, MainLoopIsSkippedAsIdle) {
    // With no host on the bus the main loop only polls the USB device port:
    // virtual time must jump, not run 9 M instructions for 50 ms.
    const auto st = board->stats();
    EXPECT_TRUE(board->idle()) << "the main loop only polls the USB device port";
    EXPECT_GE(st.idle_skips, 1u);
    EXPECT_LT(st.instructions, 1'000'000u);
}

TEST_F(TestLoaderStart, LeavesTheBoardSetUp) {
    EXPECT_EQ(board->find<Dbgu>()->brgr(), 26u);
    EXPECT_EQ(board->find<Dbgu>()->status() & Dbgu::kTxRdy, Dbgu::kTxRdy);
    EXPECT_EQ(board->find<Pmc>()->pcsr() & 0x3C, 0x1Cu) << "PIOA..PIOC clocks, not PIOD";
    EXPECT_TRUE(board->find<Ebi>()->csa() & Ebi::kCs1Sdram);
    EXPECT_TRUE(board->find<Sdramc>()->initialised());
    std::uint32_t vectors[8];
    ASSERT_TRUE(board->peek(0, vectors, sizeof vectors));
    EXPECT_EQ(vectors[6], 0xE51FFF20u) << "IRQ vector loads the PC from AIC_IVR";
    for (int v : {1, 3, 4, 7}) EXPECT_EQ(vectors[v] >> 24, 0xEAu) << "vector " << v << " is a branch";
    // The pin test's ground check took PC16..PC31 over as pulled-up inputs.
    Pins& pins = board->pins();
    EXPECT_TRUE(pins.pio_owned(Pins::line(2, 20)));
    EXPECT_TRUE(pins.pullup(Pins::line(2, 20)));
    EXPECT_FALSE(pins.pio_owned(Pins::line(0, 31))) << "DTXD belongs to the DBGU";
}

}  // namespace
}  // namespace vboard::test
