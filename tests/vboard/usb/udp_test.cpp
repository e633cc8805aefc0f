// The USB device port model driven from both sides in C++: register reads
// and writes as the firmware makes them, transactions as the host makes them.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/board.h"
#include "core/pins.h"
#include "soc/pmc.h"
#include "usb/udp.h"

namespace vboard {
namespace {

using usb::Handshake;

std::string hex(std::uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

class UdpTest : public ::testing::Test {
protected:
    UdpTest() : board(BoardConfig{}), udp(static_cast<Udp&>(board.attach(std::make_unique<Udp>(board)))) {
        board.set_error_echo(false);
        // The firmware turns the D+ pull-up on: PA16 driven low.
        board.pins().set_output_enable(Udp::kPullupLine, true);
        board.pins().set_output_data(Udp::kPullupLine, false);
    }
    std::uint32_t rd(std::uint32_t off) { return udp.bus_read(off); }
    void wr(std::uint32_t off, std::uint32_t v) { udp.bus_write(off, v); }
    void settle() { board.run_until(board.now() + Udp::kCsrDelay); }
    // A CSR write as the firmware makes it, then wait until it has landed.
    void csr_write(int ep, std::uint32_t v) {
        wr(Udp::CSR0 + 4u * ep, v);
        settle();
    }
    std::uint32_t csr(int ep) { return rd(Udp::CSR0 + 4u * ep); }
    std::uint32_t count(int ep) { return csr(ep) >> Udp::RXBYTECNT_SHIFT; }
    // Endpoint set-up as after the firmware's open: function at address 0.
    void open() {
        wr(Udp::FADDR, Udp::FEN);
        csr_write(0, Udp::EPEDS | Udp::EPTYPE_CTRL);
        csr_write(4, Udp::EPEDS | Udp::EPTYPE_BULK_OUT);
        csr_write(5, Udp::EPEDS | Udp::EPTYPE_BULK_IN);
    }
    Handshake setup(std::uint8_t type = 0x80, std::uint8_t req = 6) {
        const std::uint8_t p[8] = {type, req, 0, 1, 0, 0, 18, 0};
        return udp.setup(0, p);
    }
    Handshake out(int ep, std::vector<std::uint8_t> data) {
        return udp.out(0, static_cast<std::uint8_t>(ep), data.data(), data.size());
    }
    Handshake in(int ep, std::vector<std::uint8_t>& data) { return udp.in(0, static_cast<std::uint8_t>(ep), data); }

    Board board;
    Udp& udp;
};

TEST_F(UdpTest, ResetValues) {
    EXPECT_EQ(rd(Udp::FADDR), Udp::FEN);
    EXPECT_EQ(rd(Udp::GLB_STAT), 0u);
    EXPECT_EQ(rd(Udp::ISR), 0u);
    EXPECT_EQ(rd(Udp::IMR), 0u);
    EXPECT_EQ(rd(Udp::RST_EP), 0u);
    EXPECT_EQ(rd(Udp::TXVC), 0u);
    for (int n = 0; n < Udp::kEndpoints; ++n) EXPECT_EQ(csr(n), 0u) << "CSR" << n;
    EXPECT_TRUE(board.model_errors().empty());
}

TEST_F(UdpTest, CsrWriteLandsAfterADelay) {
    wr(Udp::CSR0, Udp::EPEDS);
    EXPECT_EQ(csr(0), 0u) << "a write must not show at once";
    EXPECT_EQ(udp.writes_in_flight(), 1u);
    board.run_until(board.now() + Udp::kCsrDelay - 10);
    EXPECT_EQ(csr(0), 0u);
    board.run_until(board.now() + 10);
    EXPECT_EQ(csr(0), Udp::EPEDS);
    EXPECT_EQ(udp.writes_in_flight(), 0u);
}

TEST_F(UdpTest, CsrWritesLandInOrder) {
    wr(Udp::CSR0, Udp::EPEDS | Udp::FORCESTALL);
    board.run_until(board.now() + 100);
    wr(Udp::CSR0, Udp::EPEDS);
    board.run_until(board.now() + Udp::kCsrDelay - 100);
    EXPECT_EQ(csr(0), Udp::EPEDS | Udp::FORCESTALL);
    board.run_until(board.now() + 100);
    EXPECT_EQ(csr(0), Udp::EPEDS);
}

TEST_F(UdpTest, ControlReadSequence) {
    open();
    ASSERT_EQ(setup(), Handshake::Ack);
    EXPECT_EQ(csr(0) & (Udp::RXSETUP | Udp::DIR), Udp::RXSETUP);
    EXPECT_EQ(count(0), 8u);
    EXPECT_EQ(rd(Udp::ISR) & 1u, 1u) << "EPINT0";
    std::vector<std::uint8_t> data;
    EXPECT_EQ(in(0, data), Handshake::Nak) << "IN is NAKed while RXSETUP is set";
    std::uint8_t got[8];
    for (auto& b : got) b = static_cast<std::uint8_t>(rd(Udp::FDR0));
    EXPECT_EQ(got[0], 0x80);
    EXPECT_EQ(got[1], 6);
    EXPECT_EQ(got[6], 18);
    // The driver sets DIR, then clears RXSETUP, each by read-modify-write.
    csr_write(0, csr(0) | Udp::DIR);
    EXPECT_TRUE(csr(0) & Udp::DIR);
    csr_write(0, csr(0) & ~Udp::RXSETUP);
    EXPECT_FALSE(csr(0) & Udp::RXSETUP);
    EXPECT_EQ(in(0, data), Handshake::Nak) << "nothing to send yet";
    for (int i = 0; i < 8; ++i) wr(Udp::FDR0, 0x10u + i);
    EXPECT_EQ(in(0, data), Handshake::Nak) << "FIFO data is not sent before TXPKTRDY";
    wr(Udp::CSR0, csr(0) | Udp::TXPKTRDY);
    // The host's IN waits for the write to land.
    ASSERT_EQ(in(0, data), Handshake::Ack);
    EXPECT_EQ(data, (std::vector<std::uint8_t>{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17}));
    EXPECT_EQ(csr(0) & (Udp::TXPKTRDY | Udp::TXCOMP), Udp::TXCOMP);
    EXPECT_EQ(in(0, data), Handshake::Nak) << "one packet per TXPKTRDY";
    // The host ends with the zero-length status OUT: RX_DATA_BK0, count 0.
    ASSERT_EQ(out(0, {}), Handshake::Ack);
    EXPECT_TRUE(csr(0) & Udp::RX_DATA_BK0);
    EXPECT_EQ(count(0), 0u);
    EXPECT_EQ(out(0, {}), Handshake::Nak) << "the bank is NAKed while full";
    csr_write(0, csr(0) & ~Udp::TXCOMP);
    EXPECT_TRUE(csr(0) & Udp::RX_DATA_BK0) << "RX_DATA_BK0 stays until the firmware clears it";
    csr_write(0, csr(0) & ~Udp::RX_DATA_BK0);
    EXPECT_EQ(csr(0), Udp::EPEDS | Udp::DIR);
    EXPECT_EQ(rd(Udp::ISR) & 1u, 0u);
    EXPECT_TRUE(board.model_errors().empty());
}

// ---------------------------------------------------------------- write 0 to clear

struct FlagCase {
    const char* name;
    std::uint32_t flag;
    int ep;
};
class WriteZeroToClear : public UdpTest, public ::testing::WithParamInterface<FlagCase> {
protected:
    void raise(std::uint32_t flag) {
        std::vector<std::uint8_t> d;
        switch (flag) {
            case Udp::TXCOMP:
                csr_write(5, csr(5) | Udp::TXPKTRDY);
                ASSERT_EQ(in(5, d), Handshake::Ack);
                break;
            case Udp::RX_DATA_BK0: ASSERT_EQ(out(4, {1, 2, 3}), Handshake::Ack); break;
            case Udp::RX_DATA_BK1:
                ASSERT_EQ(out(4, {1}), Handshake::Ack);
                ASSERT_EQ(out(4, {2}), Handshake::Ack);
                break;
            case Udp::RXSETUP: ASSERT_EQ(setup(), Handshake::Ack); break;
            case Udp::STALLSENT:
                csr_write(0, csr(0) | Udp::FORCESTALL);
                ASSERT_EQ(in(0, d), Handshake::Stall);
                csr_write(0, csr(0) & ~Udp::FORCESTALL);
                break;
        }
    }
};

TEST_P(WriteZeroToClear, OneKeepsZeroClears) {
    const auto& c = GetParam();
    open();
    raise(c.flag);
    ASSERT_TRUE(csr(c.ep) & c.flag) << hex(csr(c.ep));
    csr_write(c.ep, csr(c.ep) | c.flag);
    EXPECT_TRUE(csr(c.ep) & c.flag) << "writing 1 must have no effect";
    csr_write(c.ep, Udp::EPEDS | (csr(c.ep) & Udp::EPTYPE_MASK));
    EXPECT_FALSE(csr(c.ep) & c.flag) << "writing 0 must clear it: " << hex(csr(c.ep));
    EXPECT_EQ(csr(c.ep) & Udp::EPEDS, Udp::EPEDS);
}

INSTANTIATE_TEST_SUITE_P(Flags, WriteZeroToClear,
                         ::testing::Values(FlagCase{"TXCOMP", Udp::TXCOMP, 5},
                                           FlagCase{"RX_DATA_BK0", Udp::RX_DATA_BK0, 4},
                                           FlagCase{"RX_DATA_BK1", Udp::RX_DATA_BK1, 4},
                                           FlagCase{"RXSETUP", Udp::RXSETUP, 0},
                                           FlagCase{"STALLSENT", Udp::STALLSENT, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UdpTest, TxPktRdyIsSetBySoftwareAndClearedByThePort) {
    open();
    wr(Udp::FDR0 + 20, 0xAB);
    csr_write(5, csr(5) | Udp::TXPKTRDY);
    EXPECT_TRUE(csr(5) & Udp::TXPKTRDY);
    csr_write(5, csr(5) & ~Udp::TXPKTRDY);
    EXPECT_TRUE(csr(5) & Udp::TXPKTRDY) << "writing 0 must not take the packet back";
    std::vector<std::uint8_t> d;
    ASSERT_EQ(in(5, d), Handshake::Ack);
    EXPECT_EQ(d, std::vector<std::uint8_t>{0xAB});
    EXPECT_FALSE(csr(5) & Udp::TXPKTRDY);
    csr_write(5, csr(5) & ~Udp::TXCOMP);
    csr_write(5, csr(5) | Udp::TXPKTRDY);
    ASSERT_EQ(in(5, d), Handshake::Ack);
    EXPECT_TRUE(d.empty()) << "TXPKTRDY with an empty FIFO sends a zero-length packet";
}

TEST_F(UdpTest, ForceStallAnswersStallAndSetsStallSent) {
    open();
    csr_write(0, csr(0) | Udp::FORCESTALL);
    std::vector<std::uint8_t> d;
    EXPECT_EQ(in(0, d), Handshake::Stall);
    EXPECT_TRUE(csr(0) & Udp::STALLSENT);
    EXPECT_EQ(out(0, {}), Handshake::Stall);
    EXPECT_EQ(setup(), Handshake::Ack) << "a SETUP is always taken";
    // The driver clears FORCESTALL and STALLSENT together.
    csr_write(0, csr(0) & ~(Udp::FORCESTALL | Udp::STALLSENT));
    EXPECT_EQ(csr(0) & (Udp::FORCESTALL | Udp::STALLSENT), 0u);
    csr_write(0, csr(0) & ~Udp::RXSETUP);
    EXPECT_EQ(in(0, d), Handshake::Nak);
}

TEST_F(UdpTest, SetupDropsAWaitingInPacket) {
    open();
    wr(Udp::FDR0, 0x55);
    csr_write(0, csr(0) | Udp::TXPKTRDY);
    ASSERT_EQ(setup(), Handshake::Ack);
    EXPECT_FALSE(csr(0) & Udp::TXPKTRDY);
    csr_write(0, csr(0) & ~Udp::RXSETUP);
    std::vector<std::uint8_t> d;
    EXPECT_EQ(in(0, d), Handshake::Nak);
}

// ---------------------------------------------------------------- ping-pong banks

TEST_F(UdpTest, BulkOutFillsBanksAlternatelyAndNaksWhenFull) {
    open();
    ASSERT_EQ(out(4, {1, 2, 3}), Handshake::Ack);
    EXPECT_EQ(csr(4) & (Udp::RX_DATA_BK0 | Udp::RX_DATA_BK1), Udp::RX_DATA_BK0);
    ASSERT_EQ(out(4, {4, 5}), Handshake::Ack);
    EXPECT_EQ(csr(4) & (Udp::RX_DATA_BK0 | Udp::RX_DATA_BK1), Udp::RX_DATA_BK0 | Udp::RX_DATA_BK1);
    EXPECT_EQ(out(4, {6}), Handshake::Nak) << "both banks full";
    EXPECT_EQ(count(4), 3u) << "RXBYTECNT of the older bank";
    EXPECT_EQ(rd(Udp::FDR0 + 16), 1u);
    EXPECT_EQ(rd(Udp::FDR0 + 16), 2u);
    EXPECT_EQ(rd(Udp::FDR0 + 16), 3u);
    csr_write(4, csr(4) & ~Udp::RX_DATA_BK0);
    EXPECT_EQ(count(4), 2u);
    EXPECT_EQ(rd(Udp::FDR0 + 16), 4u);
    // Bank 0 is free again and is the next to fill.
    ASSERT_EQ(out(4, {6}), Handshake::Ack);
    EXPECT_EQ(out(4, {7}), Handshake::Nak) << "bank 1 is next and still full";
    csr_write(4, csr(4) & ~Udp::RX_DATA_BK1);
    EXPECT_EQ(count(4), 1u);
    EXPECT_EQ(rd(Udp::FDR0 + 16), 6u);
    ASSERT_EQ(out(4, {7}), Handshake::Ack);
    EXPECT_EQ(csr(4) & (Udp::RX_DATA_BK0 | Udp::RX_DATA_BK1), Udp::RX_DATA_BK0 | Udp::RX_DATA_BK1);
}

TEST_F(UdpTest, ResetOfAnEndpointStartsAgainAtBankZero) {
    open();
    ASSERT_EQ(out(4, {1}), Handshake::Ack);
    csr_write(4, csr(4) & ~Udp::RX_DATA_BK0);  // next would be bank 1
    wr(Udp::RST_EP, 1u << 4);
    EXPECT_EQ(rd(Udp::RST_EP), 1u << 4);
    EXPECT_EQ(out(4, {2}), Handshake::Nak) << "held in reset";
    wr(Udp::RST_EP, 0);
    ASSERT_EQ(out(4, {2}), Handshake::Ack);
    EXPECT_EQ(csr(4) & (Udp::RX_DATA_BK0 | Udp::RX_DATA_BK1), Udp::RX_DATA_BK0);
    ASSERT_EQ(out(4, {3}), Handshake::Ack);
    wr(Udp::RST_EP, 1u << 4);
    EXPECT_EQ(csr(4) & (Udp::RX_DATA_BK0 | Udp::RX_DATA_BK1 | (0x7FFu << 16)), 0u) << "banks emptied";
    EXPECT_EQ(csr(4) & Udp::EPEDS, Udp::EPEDS) << "the endpoint stays enabled";
    wr(Udp::RST_EP, 0);
}

// ---------------------------------------------------------------- bus reset, address, state

TEST_F(UdpTest, BusResetRaisesEndBusResAndClearsThePort) {
    open();
    wr(Udp::FADDR, Udp::FEN | 5);
    wr(Udp::GLB_STAT, Udp::FADDEN | Udp::CONFG);
    wr(Udp::IER, Udp::ENDBUSRES);
    ASSERT_EQ(udp.out(5, 4, nullptr, 0), Handshake::Ack);
    udp.bus_reset();
    EXPECT_EQ(rd(Udp::ISR) & Udp::ENDBUSRES, Udp::ENDBUSRES);
    EXPECT_EQ(rd(Udp::FADDR), 0u);
    EXPECT_EQ(rd(Udp::GLB_STAT), 0u);
    for (int n = 0; n < Udp::kEndpoints; ++n) EXPECT_EQ(csr(n), 0u) << "CSR" << n;
    EXPECT_EQ(rd(Udp::IMR), Udp::ENDBUSRES) << "the interrupt mask is kept";
    EXPECT_EQ(setup(), Handshake::None) << "no answer until the function is enabled again";
    wr(Udp::ICR, 1);  // endpoint bits of ICR have no effect
    EXPECT_EQ(rd(Udp::ISR) & Udp::ENDBUSRES, Udp::ENDBUSRES);
    wr(Udp::ICR, Udp::ENDBUSRES);
    EXPECT_EQ(rd(Udp::ISR), 0u);
    EXPECT_TRUE(board.model_errors().empty());
}

TEST_F(UdpTest, AnswersOnlyItsAddressWhileTheFunctionIsEnabled) {
    open();
    std::vector<std::uint8_t> d;
    const std::uint8_t p[8] = {0x00, 5, 7, 0, 0, 0, 0, 0};
    EXPECT_EQ(udp.setup(0, p), Handshake::Ack);
    wr(Udp::FADDR, Udp::FEN | 7);
    EXPECT_EQ(udp.setup(0, p), Handshake::None);
    EXPECT_EQ(udp.setup(7, p), Handshake::Ack);
    wr(Udp::FADDR, 7);  // FEN clear
    EXPECT_EQ(udp.setup(7, p), Handshake::None);
    wr(Udp::GLB_STAT, Udp::FADDEN);
    EXPECT_EQ(rd(Udp::GLB_STAT), Udp::FADDEN);
    wr(Udp::GLB_STAT, Udp::CONFG);
    EXPECT_EQ(rd(Udp::GLB_STAT), Udp::CONFG);
}

TEST_F(UdpTest, DisabledEndpointOrTransceiverGivesNoAnswer) {
    open();
    std::vector<std::uint8_t> d;
    EXPECT_EQ(in(1, d), Handshake::None) << "endpoint 1 is not enabled";
    EXPECT_EQ(in(4, d), Handshake::None) << "an IN to an OUT endpoint";
    EXPECT_EQ(in(6, d), Handshake::None) << "no such endpoint";
    wr(Udp::TXVC, Udp::TXVDIS);
    EXPECT_EQ(setup(), Handshake::None);
    wr(Udp::TXVC, 0);
    EXPECT_EQ(setup(), Handshake::Ack);
}

struct ClockCase {
    const char* name;
    std::uint32_t pmc_offset, value;  // the write that stops a clock
};
class UdpClocks : public UdpTest, public ::testing::WithParamInterface<ClockCase> {};

TEST_P(UdpClocks, NoAnswerWithoutItsClocks) {
    open();
    ASSERT_EQ(setup(), Handshake::Ack);
    Pmc* pmc = board.find<Pmc>();
    ASSERT_NE(pmc, nullptr);
    pmc->bus_write(GetParam().pmc_offset, GetParam().value);
    EXPECT_EQ(setup(), Handshake::None);
}

INSTANTIATE_TEST_SUITE_P(Pmc, UdpClocks,
                         ::testing::Values(ClockCase{"PeripheralClock", 0x14, 1u << Pmc::kIdUdp},
                                           ClockCase{"UsbClock", 0x04, Pmc::kScUdp}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UdpTest, OffTheBusWithoutThePullUp) {
    open();
    EXPECT_TRUE(udp.connected());
    board.pins().set_output_data(Udp::kPullupLine, true);
    EXPECT_FALSE(udp.connected());
    EXPECT_EQ(setup(), Handshake::None);
}

// ---------------------------------------------------------------- strictness

struct BadAccess {
    const char* name;
    bool write;
    std::uint32_t offset;
};
class StrictRegisters : public UdpTest, public ::testing::WithParamInterface<BadAccess> {};

TEST_P(StrictRegisters, IsAModelError) {
    const auto& c = GetParam();
    if (c.write)
        wr(c.offset, 1);
    else
        rd(c.offset);
    ASSERT_EQ(board.model_errors().size(), 1u);
    EXPECT_NE(board.model_errors()[0].find("UDP"), std::string::npos) << board.model_errors()[0];
}

INSTANTIATE_TEST_SUITE_P(Accesses, StrictRegisters,
                         ::testing::Values(BadAccess{"ReadIER", false, Udp::IER}, BadAccess{"ReadICR", false, Udp::ICR},
                                           BadAccess{"WriteISR", true, Udp::ISR}, BadAccess{"WriteIMR", true, Udp::IMR},
                                           BadAccess{"WriteFrmNum", true, Udp::FRM_NUM},
                                           BadAccess{"Offset0C", false, 0x0C}, BadAccess{"CSR6", false, 0x48},
                                           BadAccess{"FDR6", true, 0x68}, BadAccess{"Offset70", true, 0x70}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vboard
