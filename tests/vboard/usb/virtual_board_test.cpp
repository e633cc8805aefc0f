// The assembled board: the boot ROM's device on power-on, the download and
// the start of the downloaded code, the device port on the bus once PA16
// goes low, and transfers through the port to a driver.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/pins.h"
#include "soc/pmc.h"
#include "usb/boot_rom_dfu.h"
#include "usb/udp.h"
#include "usb/virtual_board.h"

namespace vboard {
namespace {

std::string lines(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& l : v) s += l + "\n";
    return s;
}

// ARM code: r0 = 0x42; store it at 0x00200100; loop.
const std::vector<std::uint32_t> kProgram = {
    0xE3A00042,  // mov r0, #0x42
    0xE3A01602,  // mov r1, #0x00200000
    0xE5810100,  // str r0, [r1, #0x100]
    0xEAFFFFFE,  // b .
};

std::vector<std::uint8_t> program_bytes() {
    std::vector<std::uint8_t> b(kProgram.size() * 4);
    std::memcpy(b.data(), kProgram.data(), b.size());
    return b;
}

class VirtualBoardTest : public ::testing::Test {
protected:
    VirtualBoardTest() : vb(BoardConfig{}) { vb.board().set_error_echo(false); }

    int getstatus(std::uint8_t* st) { return vb.control({0xA1, 3, 0, 0, 6}, st, 500); }

    // The host side of a DFU download, block by block, then the zero-length
    // block and the status that enters the manifestation.
    void download(const std::vector<std::uint8_t>& image) {
        std::uint8_t st[6];
        std::uint16_t block = 0;
        for (std::size_t off = 0; off < image.size(); off += 512, ++block) {
            std::size_t n = std::min<std::size_t>(512, image.size() - off);
            std::vector<std::uint8_t> chunk(image.begin() + off, image.begin() + off + n);
            ASSERT_EQ(vb.control({0x21, 1, block, 0, static_cast<std::uint16_t>(n)}, chunk.data(), 500),
                      static_cast<int>(n));
            ASSERT_EQ(getstatus(st), 6);
            ASSERT_EQ(st[4], BootRomDfu::dfuDNLOAD_IDLE);
        }
        ASSERT_EQ(vb.control({0x21, 1, block, 0, 0}, nullptr, 500), 0);
        ASSERT_EQ(getstatus(st), 6);
        ASSERT_EQ(st[4], BootRomDfu::dfuMANIFEST);
    }

    VirtualBoard vb;
};

TEST_F(VirtualBoardTest, PowerOnPresentsTheBootRomEnumerated) {
    auto dev = vb.device();
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->device_descriptor, BootRomDfu::device_descriptor());
    ASSERT_EQ(dev->configurations.size(), 1u);
    EXPECT_EQ(dev->configurations[0][9 + 5], 0xFE);
    std::uint8_t st[6];
    ASSERT_EQ(getstatus(st), 6);
    EXPECT_EQ(st[4], BootRomDfu::dfuIDLE);
    EXPECT_EQ(st[0], 0);
    EXPECT_FALSE(vb.board().cpu_running());
    EXPECT_TRUE(vb.usb_log().empty()) << lines(vb.usb_log());
}

TEST_F(VirtualBoardTest, DownloadAndPortResetStartTheCodeAtZero) {
    int changes = 0;
    vb.set_device_listener([&] { ++changes; });
    download(program_bytes());
    EXPECT_FALSE(vb.board().cpu_running());
    Pmc* pmc = vb.board().find<Pmc>();
    ASSERT_NE(pmc, nullptr);
    pmc->bus_write(0x14, 1u << Pmc::kIdUdp);  // PMC_PCDR: whatever the clocks were before
    pmc->bus_write(0x04, Pmc::kScUdp);        // PMC_SCDR
    EXPECT_EQ(vb.port_reset(), 0);
    EXPECT_TRUE(pmc->peripheral_clock(Pmc::kIdUdp)) << "the ROM starts the code with the USB clocks on";
    EXPECT_TRUE(pmc->scsr() & Pmc::kScUdp);
    EXPECT_TRUE(pmc->scsr() & Pmc::kScPck) << "processor clock";
    EXPECT_FALSE(vb.device()) << "the ROM's device has left the bus";
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(vb.board().sram_at_zero());
    ASSERT_TRUE(vb.board().cpu_running());
    EXPECT_EQ(vb.board().cpu_reg(16) & 0xFF, 0xD3u) << "Supervisor mode, IRQ and FIQ masked";
    EXPECT_EQ(vb.board().cpu_reg(15), 0u);
    vb.run_for(10'000);
    std::uint32_t word = 0;
    ASSERT_TRUE(vb.board().peek(0x00200100, &word, 4));
    EXPECT_EQ(word, 0x42u) << "the downloaded code ran";
    std::uint8_t b[1];
    EXPECT_EQ(vb.control({0x80, 8, 0, 0, 1}, b, 100), -ENODEV);
    EXPECT_TRUE(vb.usb_log().empty()) << lines(vb.usb_log());
    EXPECT_TRUE(vb.board().model_errors().empty()) << lines(vb.board().model_errors());
}

TEST_F(VirtualBoardTest, ResetButtonReturnsToTheBootRom) {
    download(program_bytes());
    ASSERT_EQ(vb.port_reset(), 0);
    vb.run_for(10'000);
    vb.reset_button();
    EXPECT_FALSE(vb.board().cpu_running());
    EXPECT_FALSE(vb.board().sram_at_zero());
    ASSERT_TRUE(vb.device());
    std::uint8_t st[6];
    ASSERT_EQ(getstatus(st), 6);
    EXPECT_EQ(st[4], BootRomDfu::dfuIDLE);
}

TEST_F(VirtualBoardTest, PortResetOfTheRomBeforeTheEndKeepsItInDfuMode) {
    std::vector<std::uint8_t> chunk(64, 1);
    ASSERT_EQ(vb.control({0x21, 1, 0, 0, 64}, chunk.data(), 500), 64);
    auto before = vb.device();
    EXPECT_EQ(vb.port_reset(), 0);
    ASSERT_TRUE(vb.device());
    EXPECT_EQ(vb.device()->generation, before->generation) << "the same device came back";
    std::uint8_t st[6];
    ASSERT_EQ(getstatus(st), 6);
    EXPECT_EQ(st[4], BootRomDfu::dfuIDLE);
    EXPECT_FALSE(vb.board().cpu_running());
}

TEST(VirtualBoardOptions, AppIdleRomAnswersStateZero) {
    BoardConfig cfg;
    cfg.bootrom_appidle = true;
    VirtualBoard vb(cfg);
    std::uint8_t st[6];
    ASSERT_EQ(vb.control({0xA1, 3, 0, 0, 6}, st, 500), 6);
    EXPECT_EQ(st[4], BootRomDfu::appIDLE);
}

// ---------------------------------------------------------------- the device port on the bus

// A USB driver written in C++ and run as board events every microsecond: it
// serves endpoint 0 (descriptors, SET_ADDRESS, SET_CONFIGURATION, a 16-byte
// class IN request) and collects bulk OUT packets of endpoint 4, driving the
// port only through its registers. Each poll makes at most one CSR write,
// which has landed by the next poll.
class EventDriver {
public:
    static constexpr Nanos kPoll = 1000;
    std::vector<std::uint8_t> received;
    std::vector<std::uint8_t> config = {9, 2, 32, 0, 1, 1, 0, 0xC0, 0, 9,    4,    0, 0, 2, 0, 0, 0, 0,
                                        7, 5, 4,  2, 64, 0, 0, 7,    5, 0x85, 2, 64, 0, 0};
    std::vector<std::uint8_t> device = {18, 1, 0x10, 0x01, 0, 0, 0, 8, 0xEB, 0x03, 0x20, 0x61, 0, 1, 0, 0, 0, 1};

    EventDriver(Board& b, Udp& u) : board_(b), udp_(u) {}
    void start() {
        board_.pins().set_output_enable(Udp::kPullupLine, true);
        board_.pins().set_output_data(Udp::kPullupLine, false);
        schedule();
    }

private:
    std::uint32_t rd(std::uint32_t o) { return udp_.bus_read(o); }
    void wr(std::uint32_t o, std::uint32_t v) { udp_.bus_write(o, v); }
    std::uint32_t csr(int ep) { return rd(Udp::CSR0 + 4u * ep); }
    // Flags written as 1 are kept; these are cleared.
    void csr_write(int ep, std::uint32_t set, std::uint32_t clear) {
        std::uint32_t v = csr(ep) & 0xFFFF;
        wr(Udp::CSR0 + 4u * ep, (v | set) & ~clear);
    }
    void schedule() {
        board_.after(kPoll, [this] {
            poll();
            schedule();
        });
    }

    void poll() {
        if (rd(Udp::ISR) & Udp::ENDBUSRES) {
            wr(Udp::ICR, Udp::ENDBUSRES);
            wr(Udp::FADDR, Udp::FEN);
            wr(Udp::CSR0, Udp::EPEDS | Udp::EPTYPE_CTRL);
            wr(Udp::CSR0 + 16, Udp::EPEDS | Udp::EPTYPE_BULK_OUT);
            wr(Udp::CSR0 + 20, Udp::EPEDS | Udp::EPTYPE_BULK_IN);
            state_ = Idle;
            bank_ = Udp::RX_DATA_BK0;
            return;
        }
        std::uint32_t c0 = csr(0);
        switch (state_) {
            case Idle:
                if (c0 & Udp::RXSETUP) {
                    std::uint8_t s[8];
                    for (auto& x : s) x = static_cast<std::uint8_t>(rd(Udp::FDR0));
                    request(s);
                    csr_write(0, (s[0] & 0x80) ? Udp::DIR : 0, Udp::RXSETUP | Udp::RX_DATA_BK0);
                    state_ = Send;
                    return;
                }
                if (c0 & Udp::RX_DATA_BK0) {  // status OUT of the last control read
                    csr_write(0, 0, Udp::RX_DATA_BK0);
                    return;
                }
                if (csr(4) & bank_) {
                    std::uint32_t n = csr(4) >> Udp::RXBYTECNT_SHIFT;
                    for (std::uint32_t i = 0; i < n; ++i) received.push_back(static_cast<std::uint8_t>(rd(Udp::FDR0 + 16)));
                    csr_write(4, 0, bank_);
                    bank_ = bank_ == Udp::RX_DATA_BK0 ? Udp::RX_DATA_BK1 : Udp::RX_DATA_BK0;
                }
                return;
            case Send: {
                std::size_t n = std::min<std::size_t>(8, reply_.size() - pos_);
                for (std::size_t i = 0; i < n; ++i) wr(Udp::FDR0, reply_[pos_ + i]);
                pos_ += n;
                last_ = n;
                csr_write(0, Udp::TXPKTRDY, 0);
                state_ = Wait;
                return;
            }
            case Wait:
                if (c0 & Udp::RX_DATA_BK0) {  // the host ended the data stage early
                    csr_write(0, 0, Udp::RX_DATA_BK0 | Udp::TXCOMP);
                    state_ = Idle;
                    return;
                }
                if (!(c0 & Udp::TXCOMP)) return;
                csr_write(0, 0, Udp::TXCOMP);
                if (pos_ < reply_.size() || (last_ == 8 && zlp_)) {
                    if (pos_ >= reply_.size()) zlp_ = false;
                    state_ = Send;
                } else {
                    if (new_address_ >= 0) {
                        wr(Udp::FADDR, Udp::FEN | static_cast<std::uint32_t>(new_address_));
                        wr(Udp::GLB_STAT, new_address_ ? Udp::FADDEN : 0);
                        new_address_ = -1;
                    }
                    state_ = Idle;
                }
                return;
        }
    }

    void request(const std::uint8_t (&s)[8]) {
        std::uint16_t value = static_cast<std::uint16_t>(s[2] | s[3] << 8);
        std::uint16_t length = static_cast<std::uint16_t>(s[6] | s[7] << 8);
        reply_.clear();
        pos_ = 0;
        if (s[0] == 0x80 && s[1] == 6 && value == 0x0100) reply_ = device;
        if (s[0] == 0x80 && s[1] == 6 && value == 0x0200) reply_ = config;
        if (s[0] == 0xA1 && s[1] == 5)
            for (int i = 0; i < 16; ++i) reply_.push_back(static_cast<std::uint8_t>(0xA0 + i));
        if (s[0] == 0x00 && s[1] == 5) new_address_ = value;
        if (s[0] == 0x00 && s[1] == 9) wr(Udp::GLB_STAT, Udp::CONFG);
        if (reply_.size() > length) reply_.resize(length);
        zlp_ = (s[0] & 0x80) && reply_.size() < length && reply_.size() % 8 == 0;
    }

    enum State { Idle, Send, Wait };
    Board& board_;
    Udp& udp_;
    State state_ = Idle;
    std::vector<std::uint8_t> reply_;
    std::size_t pos_ = 0, last_ = 0;
    bool zlp_ = false;
    int new_address_ = -1;
    std::uint32_t bank_ = Udp::RX_DATA_BK0;
};

class DevicePortTest : public VirtualBoardTest {
protected:
    DevicePortTest() : driver(vb.board(), vb.udp()) {
        download(program_bytes());
        EXPECT_EQ(vb.port_reset(), 0);
    }
    EventDriver driver;
};

TEST_F(DevicePortTest, ComesOnTheBusWhenPa16GoesLowAndIsEnumerated) {
    int changes = 0;
    vb.set_device_listener([&] { ++changes; });
    vb.run_for(1'000'000);
    EXPECT_FALSE(vb.device()) << "PA16 is not driven yet";
    driver.start();
    vb.run_for(50'000'000);
    EXPECT_FALSE(vb.device()) << "a host waits 100 ms after the connect";
    ASSERT_TRUE(vb.wait_for_device(200'000'000)) << lines(vb.usb_log());
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(vb.device()->device_descriptor, driver.device);
    ASSERT_EQ(vb.device()->configurations.size(), 1u);
    EXPECT_EQ(vb.device()->configurations[0], driver.config);
    EXPECT_EQ(vb.udp().faddr(), Udp::FEN | vb.device()->address);
    // A class IN request of two packets.
    std::uint8_t buf[16] = {};
    ASSERT_EQ(vb.control({0xA1, 5, 0, 0, 16}, buf, 2000), 16) << lines(vb.usb_log());
    for (int i = 0; i < 16; ++i) EXPECT_EQ(buf[i], 0xA0 + i) << i;
    // Bulk OUT through both banks.
    std::vector<std::uint8_t> data(300);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 5);
    ASSERT_EQ(vb.bulk_write(4, data.data(), data.size(), 4000), 300);
    vb.run_for(100'000);
    EXPECT_EQ(driver.received, data);
    EXPECT_TRUE(vb.usb_log().empty()) << lines(vb.usb_log());
    EXPECT_TRUE(vb.board().model_errors().empty()) << lines(vb.board().model_errors());
}

TEST_F(DevicePortTest, LeavesTheBusWhenPa16IsReleased) {
    driver.start();
    ASSERT_TRUE(vb.wait_for_device(300'000'000)) << lines(vb.usb_log());
    vb.board().pins().set_output_data(Udp::kPullupLine, true);
    vb.run_for(1'000);
    EXPECT_FALSE(vb.device());
    std::uint8_t b[4] = {};
    EXPECT_EQ(vb.bulk_write(4, b, 4, 100), -ENODEV);
}

TEST_F(DevicePortTest, NothingServedMeansTimeOut) {
    driver.start();
    ASSERT_TRUE(vb.wait_for_device(300'000'000));
    // The driver serves no bulk IN: the host's read is NAKed to its time-out.
    std::uint8_t b[64];
    Nanos t0 = vb.board().now();
    EXPECT_EQ(vb.bulk_read(0x85, b, 64, 100), -ETIMEDOUT);
    EXPECT_GE(vb.board().now() - t0, 100'000'000u);
}

}  // namespace
}  // namespace vboard
