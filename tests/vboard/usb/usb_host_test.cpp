// The USB host model against a scripted device (every transaction logged)
// and against the boot ROM's device.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "core/board.h"
#include "usb/boot_rom_dfu.h"
#include "usb/usb_host.h"

namespace vboard {
namespace {

using usb::Handshake;

// A device whose answers the test stages; it logs every transaction.
class ScriptedDevice : public usb::UsbFunction {
public:
    struct Answer {
        Handshake h;
        std::vector<std::uint8_t> data;  // IN packets
    };
    bool attached = true;
    std::deque<Answer> answers;  // consumed by OUT and IN; empty: ACK, no data
    std::vector<std::string> log;
    std::uint64_t act = 0;

    bool connected() const override { return attached; }
    void bus_reset() override { log.push_back("reset"); }
    Handshake setup(std::uint8_t a, const std::uint8_t (&p)[8]) override {
        log.push_back("SETUP@" + std::to_string(a) + " " + std::to_string(p[0]) + "/" + std::to_string(p[1]));
        return Handshake::Ack;
    }
    Handshake out(std::uint8_t a, std::uint8_t ep, const std::uint8_t*, std::size_t n) override {
        Answer ans = next();
        log.push_back("OUT@" + std::to_string(a) + "." + std::to_string(ep) + " " + std::to_string(n) + " " +
                      usb::handshake_name(ans.h));
        return ans.h;
    }
    Handshake in(std::uint8_t a, std::uint8_t ep, std::vector<std::uint8_t>& data) override {
        Answer ans = next();
        if (ans.h == Handshake::Ack) data = ans.data;
        log.push_back("IN@" + std::to_string(a) + "." + std::to_string(ep) + " " +
                      (ans.h == Handshake::Ack ? std::to_string(ans.data.size()) : usb::handshake_name(ans.h)));
        return ans.h;
    }
    std::uint64_t activity() const override { return act; }

    std::string text() const {
        std::string s;
        for (const auto& l : log) s += l + "\n";
        return s;
    }

private:
    Answer next() {
        if (answers.empty()) return {Handshake::Ack, {}};
        Answer a = answers.front();
        answers.pop_front();
        return a;
    }
};

std::vector<std::uint8_t> device_descriptor() { return BootRomDfu::device_descriptor(); }

// A configuration with bulk OUT 0x04 and bulk IN 0x85 of 64 bytes.
std::vector<std::uint8_t> bulk_configuration() {
    return {9, 2, 32, 0, 1, 1, 0, 0xC0, 0, 9,    4,    0, 0, 2, 0, 0, 0, 0,
            7, 5, 4,  2, 64, 0, 0, 7,    5, 0x85, 2, 64, 0, 0};
}

class HostTest : public ::testing::Test {
protected:
    HostTest() : board(BoardConfig{}), host(board, dev) { board.set_error_echo(false); }

    // Stage the answers of a full enumeration of a device with `config`.
    void stage_enumeration(const std::vector<std::uint8_t>& config) {
        auto dd = device_descriptor();
        auto packets = [](const std::vector<std::uint8_t>& bytes, std::size_t limit) {
            std::vector<ScriptedDevice::Answer> out;
            std::size_t n = std::min(bytes.size(), limit);
            for (std::size_t i = 0; i < n; i += 8)
                out.push_back({Handshake::Ack, std::vector<std::uint8_t>(bytes.begin() + i,
                                                                         bytes.begin() + std::min(n, i + 8))});
            if (n % 8 == 0 && n < limit) out.push_back({Handshake::Ack, {}});
            return out;
        };
        auto add = [this](std::vector<ScriptedDevice::Answer> v) {
            for (auto& a : v) dev.answers.push_back(a);
        };
        // GET_DESCRIPTOR 64 with maxpacket 64 still unknown: the first 8-byte
        // packet is short for the host and ends the data stage.
        dev.answers.push_back({Handshake::Ack, std::vector<std::uint8_t>(dd.begin(), dd.begin() + 8)});
        dev.answers.push_back({Handshake::Ack, {}});  // status OUT
        dev.answers.push_back({Handshake::Ack, {}});  // SET_ADDRESS status IN
        add(packets(dd, 18));
        dev.answers.push_back({Handshake::Ack, {}});
        add(packets(config, 9));
        dev.answers.push_back({Handshake::Ack, {}});
        add(packets(config, config.size()));
        dev.answers.push_back({Handshake::Ack, {}});
        dev.answers.push_back({Handshake::Ack, {}});  // SET_CONFIGURATION status IN
    }
    void enumerate_bulk_device() {
        stage_enumeration(bulk_configuration());
        ASSERT_EQ(host.enumerate(), 0) << dev.text();
        dev.log.clear();
    }

    Board board;
    ScriptedDevice dev;
    UsbHost host;
};

TEST_F(HostTest, EnumeratesLikeALinuxHost) {
    stage_enumeration(bulk_configuration());
    Nanos t0 = board.now();
    ASSERT_EQ(host.enumerate(), 0) << dev.text();
    ASSERT_TRUE(host.device());
    const auto& info = *host.device();
    EXPECT_EQ(info.device_descriptor, device_descriptor());
    ASSERT_EQ(info.configurations.size(), 1u);
    EXPECT_EQ(info.configurations[0], bulk_configuration());
    EXPECT_NE(info.address, 0);
    EXPECT_GE(board.now() - t0, UsbHost::kResetTime + UsbHost::kResetRecovery + UsbHost::kSetAddressRecovery);
    // The requests in order, and where they went.
    std::vector<std::string> setups;
    for (const auto& l : dev.log)
        if (l.rfind("SETUP", 0) == 0 || l == "reset") setups.push_back(l);
    const std::string a = std::to_string(info.address);
    EXPECT_EQ(setups, (std::vector<std::string>{"reset", "SETUP@0 128/6", "SETUP@0 0/5", "SETUP@" + a + " 128/6",
                                                "SETUP@" + a + " 128/6", "SETUP@" + a + " 128/6",
                                                "SETUP@" + a + " 0/9"}))
        << dev.text();
}

TEST_F(HostTest, EveryEnumerationIsANewGeneration) {
    enumerate_bulk_device();
    auto first = *host.device();
    stage_enumeration(bulk_configuration());
    ASSERT_EQ(host.enumerate(), 0);
    EXPECT_NE(host.device()->generation, first.generation);
}

struct BulkOutCase {
    const char* name;
    std::size_t length;
    std::vector<std::size_t> packets;
};
class BulkOut : public HostTest, public ::testing::WithParamInterface<BulkOutCase> {};

TEST_P(BulkOut, SplitsIntoMaxPacketsWithoutATrailingZlp) {
    enumerate_bulk_device();
    std::vector<std::uint8_t> data(GetParam().length, 0x5A);
    EXPECT_EQ(host.bulk_write(4, data.data(), data.size(), 1000), static_cast<int>(data.size()));
    std::vector<std::string> want;
    for (auto n : GetParam().packets) want.push_back("OUT@" + std::to_string(host.device()->address) + ".4 " +
                                                     std::to_string(n) + " ACK");
    EXPECT_EQ(dev.log, want);
}

INSTANTIATE_TEST_SUITE_P(Lengths, BulkOut,
                         ::testing::Values(BulkOutCase{"Four", 4, {4}}, BulkOutCase{"Exactly64", 64, {64}},
                                           BulkOutCase{"Exactly128", 128, {64, 64}},
                                           BulkOutCase{"Some", 150, {64, 64, 22}}, BulkOutCase{"Empty", 0, {0}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostTest, BulkInStopsAtAShortPacketOrTheLength) {
    enumerate_bulk_device();
    std::vector<std::uint8_t> full(64, 1), part(10, 2);
    dev.answers = {{Handshake::Ack, full}, {Handshake::Ack, full}, {Handshake::Ack, part}};
    std::vector<std::uint8_t> buf(512);
    EXPECT_EQ(host.bulk_read(5, buf.data(), buf.size(), 1000), 138);
    EXPECT_EQ(dev.log.size(), 3u) << dev.text();
    dev.log.clear();
    dev.answers = {{Handshake::Ack, full}, {Handshake::Ack, full}};
    EXPECT_EQ(host.bulk_read(0x85, buf.data(), 128, 1000), 128);
    EXPECT_EQ(dev.log.size(), 2u) << "no IN after the requested length";
}

TEST_F(HostTest, NakedUntilTheDeviceMovesThenCompletes) {
    enumerate_bulk_device();
    for (int i = 0; i < 2; ++i) dev.answers.push_back({Handshake::Nak, {}});
    // The device side changes 200 us from now; the host retries then, not
    // at its 1 ms fallback.
    board.after(200'000, [this] { ++dev.act; });
    board.after(400'000, [this] { ++dev.act; });
    Nanos t0 = board.now();
    std::uint8_t b[4] = {1, 2, 3, 4};
    EXPECT_EQ(host.bulk_write(4, b, 4, 1000), 4) << dev.text();
    EXPECT_GE(board.now() - t0, 400'000u);
    EXPECT_LT(board.now() - t0, 500'000u) << "retries follow the device, not the 1 ms fallback";
    EXPECT_EQ(dev.log.size(), 3u) << dev.text();
}

TEST_F(HostTest, NakUntilTheTimeOutIsETIMEDOUTInVirtualTime) {
    enumerate_bulk_device();
    for (int i = 0; i < 100000; ++i) dev.answers.push_back({Handshake::Nak, {}});
    Nanos t0 = board.now();
    std::uint8_t b[4] = {};
    EXPECT_EQ(host.bulk_write(4, b, 4, 250), -ETIMEDOUT);
    Nanos spent = board.now() - t0;
    EXPECT_GE(spent, 250'000'000u);
    EXPECT_LT(spent, 252'000'000u);
    EXPECT_LT(dev.log.size(), 300u) << "NAK retries must not spin";
}

struct FailureCase {
    const char* name;
    std::vector<ScriptedDevice::Answer> answers;
    int result;
};
class ControlFailure : public HostTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ControlFailure, MapsToLibusbResults) {
    enumerate_bulk_device();
    dev.answers.assign(GetParam().answers.begin(), GetParam().answers.end());
    std::uint8_t buf[16];
    EXPECT_EQ(host.control({0xA1, 5, 0, 0, 16}, buf, 100), GetParam().result) << dev.text();
}

INSTANTIATE_TEST_SUITE_P(
    Results, ControlFailure,
    ::testing::Values(
        FailureCase{"StallInData", {{Handshake::Stall, {}}}, -EPIPE},
        FailureCase{"StallInStatus", {{Handshake::Ack, {1, 2, 3}}, {Handshake::Stall, {}}}, -EPIPE},
        FailureCase{"NoAnswer", {{Handshake::None, {}}}, -EPROTO},
        FailureCase{"ShortReply", {{Handshake::Ack, {1, 2, 3}}, {Handshake::Ack, {}}}, 3},
        FailureCase{"FullReply",
                    {{Handshake::Ack, {1, 2, 3, 4, 5, 6, 7, 8}}, {Handshake::Ack, {1, 2, 3, 4, 5, 6, 7, 8}}, {Handshake::Ack, {}}},
                    16},
        FailureCase{"Babble", {{Handshake::Ack, std::vector<std::uint8_t>(9, 0)}}, -EOVERFLOW}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostTest, NoDeviceIsENODEV) {
    std::uint8_t b[1];
    EXPECT_EQ(host.control({0x80, 8, 0, 0, 1}, b, 100), -ENODEV) << "nothing enumerated";
    enumerate_bulk_device();
    dev.attached = false;
    EXPECT_EQ(host.control({0x80, 8, 0, 0, 1}, b, 100), -ENODEV);
    EXPECT_EQ(host.bulk_write(4, b, 1, 100), -ENODEV);
    EXPECT_EQ(host.port_reset(), -ENODEV);
    EXPECT_FALSE(host.device());
}

TEST_F(HostTest, UnknownEndpointIsENOENT) {
    enumerate_bulk_device();
    std::uint8_t b[1] = {};
    EXPECT_EQ(host.bulk_write(2, b, 1, 100), -ENOENT);
    EXPECT_EQ(host.bulk_read(4, b, 1, 100), -ENOENT) << "endpoint 4 is OUT only";
    EXPECT_TRUE(dev.log.empty()) << dev.text();
}

// ---------------------------------------------------------------- against the ROM's device

class HostRomTest : public ::testing::Test {
protected:
    HostRomTest()
        : board(BoardConfig{}),
          rom(BootRomDfu::Hooks{[this](std::uint32_t off, const std::uint8_t* d, std::size_t n) {
                                    std::memcpy(board.sram() + off, d, n);
                                },
                                [this] { ++starts; }},
              false),
          host(board, rom) {
        rom.power_on();
    }
    Board board;
    int starts = 0;
    BootRomDfu rom;
    UsbHost host;
};

TEST_F(HostRomTest, EnumeratesTheRomAndDownloads) {
    ASSERT_EQ(host.enumerate(), 0) << (host.log().empty() ? "" : host.log().back());
    ASSERT_TRUE(host.device());
    EXPECT_EQ(host.device()->configurations.at(0), BootRomDfu::configuration_descriptor());
    std::vector<std::uint8_t> block(512);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 3);
    EXPECT_EQ(host.control({0x21, 1, 0, 0, 512}, block.data(), 500), 512);
    std::uint8_t st[6];
    EXPECT_EQ(host.control({0xA1, 3, 0, 0, 6}, st, 500), 6);
    EXPECT_EQ(st[4], BootRomDfu::dfuDNLOAD_IDLE);
    EXPECT_EQ(std::memcmp(board.sram(), block.data(), 512), 0);
    EXPECT_EQ(host.control({0x21, 1, 1, 0, 0}, nullptr, 500), 0);
    EXPECT_EQ(host.control({0xA1, 3, 0, 0, 6}, st, 500), 6);
    EXPECT_EQ(st[4], BootRomDfu::dfuMANIFEST);
    EXPECT_EQ(host.port_reset(), 0);
    EXPECT_EQ(starts, 1);
    EXPECT_FALSE(host.device()) << "the ROM's device has left";
    EXPECT_TRUE(rom.log().empty());
    EXPECT_TRUE(host.log().empty());
}

TEST_F(HostRomTest, StalledDfuRequestIsEPIPE) {
    ASSERT_EQ(host.enumerate(), 0);
    EXPECT_EQ(host.control({0x21, 4, 0, 0, 0}, nullptr, 500), -EPIPE) << "CLRSTATUS in dfuIDLE";
    EXPECT_EQ(rom.state(), BootRomDfu::dfuERROR);
}

}  // namespace
}  // namespace vboard
