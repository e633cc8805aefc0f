// The boot ROM's DFU device against a scripted client that speaks in
// transactions (SETUP / DATA / STATUS), as a host controller would.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "usb/boot_rom_dfu.h"

namespace vboard {
namespace {

using usb::Handshake;

constexpr int kStalled = -1;

// A host that runs one control transfer to completion; the ROM never NAKs.
class Client {
public:
    explicit Client(usb::UsbFunction& dev) : dev_(dev) {}
    std::uint8_t address = 0;

    // Returns the byte count, or kStalled.
    int control(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                std::vector<std::uint8_t>& data, std::uint16_t length) {
        const std::uint8_t p[8] = {type,
                                   request,
                                   std::uint8_t(value),
                                   std::uint8_t(value >> 8),
                                   std::uint8_t(index),
                                   std::uint8_t(index >> 8),
                                   std::uint8_t(length),
                                   std::uint8_t(length >> 8)};
        EXPECT_EQ(dev_.setup(address, p), Handshake::Ack);
        if (type & 0x80) {
            std::vector<std::uint8_t> got, packet;
            while (got.size() < length) {
                Handshake h = dev_.in(address, 0, packet);
                if (h == Handshake::Stall) return kStalled;
                EXPECT_EQ(h, Handshake::Ack);
                if (h != Handshake::Ack) return kStalled;
                got.insert(got.end(), packet.begin(), packet.end());
                if (packet.size() < 8) break;
            }
            Handshake h = dev_.out(address, 0, nullptr, 0);
            if (h == Handshake::Stall) return kStalled;
            EXPECT_EQ(h, Handshake::Ack);
            data = got;
            return static_cast<int>(got.size());
        }
        for (std::size_t done = 0; done < length;) {
            std::size_t n = std::min<std::size_t>(8, length - done);
            Handshake h = dev_.out(address, 0, data.data() + done, n);
            if (h == Handshake::Stall) return kStalled;
            EXPECT_EQ(h, Handshake::Ack);
            done += n;
        }
        std::vector<std::uint8_t> packet;
        Handshake h = dev_.in(address, 0, packet);
        if (h == Handshake::Stall) return kStalled;
        EXPECT_EQ(h, Handshake::Ack);
        EXPECT_TRUE(packet.empty());
        return length;
    }

private:
    usb::UsbFunction& dev_;
};

// A powered ROM, addressed and configured, with SRAM behind it.
class Rom : public ::testing::Test {
protected:
    explicit Rom(bool appidle = false)
        : sram(BootRomDfu::kSramSize, 0xEE),
          rom(BootRomDfu::Hooks{[this](std::uint32_t off, const std::uint8_t* d, std::size_t n) {
                                    ASSERT_LE(off + n, sram.size());
                                    std::memcpy(sram.data() + off, d, n);
                                },
                                [this] { ++starts; }},
              appidle),
          client(rom) {
        rom.power_on();
        std::vector<std::uint8_t> none;
        EXPECT_EQ(client.control(0x00, 5, 9, 0, none, 0), 0);  // SET_ADDRESS 9
        client.address = 9;
        EXPECT_EQ(client.control(0x00, 9, 1, 0, none, 0), 0);  // SET_CONFIGURATION 1
    }

    int dnload(std::uint16_t block, std::vector<std::uint8_t> data) {
        return client.control(0x21, BootRomDfu::DFU_DNLOAD, block, 0, data, static_cast<std::uint16_t>(data.size()));
    }
    // The six bytes of DFU_GETSTATUS, or empty when stalled.
    std::vector<std::uint8_t> getstatus() {
        std::vector<std::uint8_t> d;
        if (client.control(0xA1, BootRomDfu::DFU_GETSTATUS, 0, 0, d, 6) == kStalled) return {};
        return d;
    }
    int getstate() {
        std::vector<std::uint8_t> d;
        int r = client.control(0xA1, BootRomDfu::DFU_GETSTATE, 0, 0, d, 1);
        return r == 1 ? d[0] : r;
    }
    int simple(std::uint8_t request) {
        std::vector<std::uint8_t> none;
        return client.control(0x21, request, 0, 0, none, 0);
    }
    std::string log_text() const {
        std::string s;
        for (const auto& l : rom.log()) s += l + "\n";
        return s;
    }

    std::vector<std::uint8_t> sram;
    int starts = 0;
    BootRomDfu rom;
    Client client;
};

std::vector<std::uint8_t> bytes(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
    return v;
}

// ---------------------------------------------------------------- transitions

enum class Start { Idle, DnloadSync, DnloadIdle, ManifestSync, WaitReset, Error };
enum class Req { DnloadData, DnloadZero, GetStatus, ClrStatus, GetState, Abort, Detach, Upload };

struct TransitionCase {
    const char* name;
    Start start;
    Req request;
    bool stalled;
    std::uint8_t state_after;   // read with DFU_GETSTATE afterwards
    std::uint8_t status_after;  // bStatus of the next DFU_GETSTATUS
};

class Transition : public Rom, public ::testing::WithParamInterface<TransitionCase> {
protected:
    void reach(Start s) {
        switch (s) {
            case Start::Idle: break;
            case Start::DnloadSync: ASSERT_EQ(dnload(0, bytes(64, 1)), 64); break;
            case Start::DnloadIdle:
                reach(Start::DnloadSync);
                ASSERT_EQ(getstatus().at(4), BootRomDfu::dfuDNLOAD_IDLE);
                break;
            case Start::ManifestSync:
                reach(Start::DnloadIdle);
                ASSERT_EQ(dnload(1, {}), 0);
                break;
            case Start::WaitReset:
                reach(Start::ManifestSync);
                ASSERT_EQ(getstatus().at(4), BootRomDfu::dfuMANIFEST);
                break;
            case Start::Error: ASSERT_EQ(simple(BootRomDfu::DFU_CLRSTATUS), kStalled); break;
        }
    }
    int send(Req r) {
        std::vector<std::uint8_t> d;
        switch (r) {
            case Req::DnloadData: return dnload(static_cast<std::uint16_t>(next_block()), bytes(32, 5));
            case Req::DnloadZero: return dnload(static_cast<std::uint16_t>(next_block()), {});
            case Req::GetStatus: return getstatus().empty() ? kStalled : 6;
            case Req::ClrStatus: return simple(BootRomDfu::DFU_CLRSTATUS);
            case Req::GetState: return getstate() < 0 ? kStalled : 1;
            case Req::Abort: return simple(BootRomDfu::DFU_ABORT);
            case Req::Detach: return simple(BootRomDfu::DFU_DETACH);
            case Req::Upload: return client.control(0xA1, BootRomDfu::DFU_UPLOAD, 0, 0, d, 64);
        }
        return 0;
    }
    int next_block() const { return rom.bytes_stored() ? 1 : 0; }
};

TEST_P(Transition, FollowsTheDfuStateTable) {
    const auto& c = GetParam();
    reach(c.start);
    // Reaching the error state takes one logged refusal; count what the
    // request under test adds.
    const std::size_t logged = rom.log().size();
    ASSERT_EQ(logged, c.start == Start::Error ? 1u : 0u) << log_text();
    int r = send(c.request);
    EXPECT_EQ(r == kStalled, c.stalled) << "result " << r;
    EXPECT_EQ(getstate(), c.state_after) << "state " << dfu_state_name(static_cast<std::uint8_t>(getstate()));
    auto st = getstatus();
    ASSERT_EQ(st.size(), 6u);
    EXPECT_EQ(st[0], c.status_after);
    // Every refused request is logged, and only those.
    EXPECT_EQ(rom.log().size() - logged, c.stalled ? 1u : 0u) << log_text();
}

constexpr auto ERR = BootRomDfu::dfuERROR;
constexpr auto STALLEDPKT = BootRomDfu::errSTALLEDPKT;
INSTANTIATE_TEST_SUITE_P(
    States, Transition,
    ::testing::Values(
        TransitionCase{"IdleDnload", Start::Idle, Req::DnloadData, false, BootRomDfu::dfuDNLOAD_SYNC, 0},
        TransitionCase{"IdleZeroDnload", Start::Idle, Req::DnloadZero, true, ERR, STALLEDPKT},
        TransitionCase{"IdleGetStatus", Start::Idle, Req::GetStatus, false, BootRomDfu::dfuIDLE, 0},
        TransitionCase{"IdleClrStatus", Start::Idle, Req::ClrStatus, true, ERR, STALLEDPKT},
        TransitionCase{"IdleAbort", Start::Idle, Req::Abort, false, BootRomDfu::dfuIDLE, 0},
        TransitionCase{"IdleDetach", Start::Idle, Req::Detach, true, ERR, STALLEDPKT},
        TransitionCase{"IdleUpload", Start::Idle, Req::Upload, true, ERR, STALLEDPKT},
        TransitionCase{"SyncGetStatus", Start::DnloadSync, Req::GetStatus, false, BootRomDfu::dfuDNLOAD_IDLE, 0},
        TransitionCase{"SyncGetState", Start::DnloadSync, Req::GetState, false, BootRomDfu::dfuDNLOAD_SYNC, 0},
        TransitionCase{"SyncDnload", Start::DnloadSync, Req::DnloadData, true, ERR, STALLEDPKT},
        TransitionCase{"SyncAbort", Start::DnloadSync, Req::Abort, true, ERR, STALLEDPKT},
        TransitionCase{"DnIdleDnload", Start::DnloadIdle, Req::DnloadData, false, BootRomDfu::dfuDNLOAD_SYNC, 0},
        TransitionCase{"DnIdleZero", Start::DnloadIdle, Req::DnloadZero, false, BootRomDfu::dfuMANIFEST_SYNC, 0},
        TransitionCase{"DnIdleAbort", Start::DnloadIdle, Req::Abort, false, BootRomDfu::dfuIDLE, 0},
        TransitionCase{"DnIdleClrStatus", Start::DnloadIdle, Req::ClrStatus, true, ERR, STALLEDPKT},
        TransitionCase{"DnIdleUpload", Start::DnloadIdle, Req::Upload, true, ERR, STALLEDPKT},
        TransitionCase{"ManifestSyncGetState", Start::ManifestSync, Req::GetState, false,
                       BootRomDfu::dfuMANIFEST_SYNC, 0},
        TransitionCase{"ManifestSyncAbort", Start::ManifestSync, Req::Abort, true, ERR, STALLEDPKT},
        TransitionCase{"WaitResetGetStatus", Start::WaitReset, Req::GetStatus, false,
                       BootRomDfu::dfuMANIFEST_WAIT_RESET, 0},
        TransitionCase{"WaitResetAbort", Start::WaitReset, Req::Abort, true, BootRomDfu::dfuMANIFEST_WAIT_RESET, 0},
        TransitionCase{"WaitResetDnload", Start::WaitReset, Req::DnloadData, true,
                       BootRomDfu::dfuMANIFEST_WAIT_RESET, 0},
        TransitionCase{"ErrorGetStatus", Start::Error, Req::GetStatus, false, ERR, STALLEDPKT},
        TransitionCase{"ErrorGetState", Start::Error, Req::GetState, false, ERR, STALLEDPKT},
        TransitionCase{"ErrorClrStatus", Start::Error, Req::ClrStatus, false, BootRomDfu::dfuIDLE, 0},
        TransitionCase{"ErrorAbort", Start::Error, Req::Abort, true, ERR, STALLEDPKT},
        TransitionCase{"ErrorDnload", Start::Error, Req::DnloadData, true, ERR, STALLEDPKT}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- downloads

TEST_F(Rom, BlocksLandInSramFromZeroInOrder) {
    std::vector<std::uint8_t> image;
    for (std::uint16_t block = 0; block < 3; ++block) {
        auto data = bytes(block == 2 ? 100 : 512, static_cast<std::uint8_t>(block * 31));
        ASSERT_EQ(dnload(block, data), static_cast<int>(data.size()));
        ASSERT_EQ(getstatus().at(4), BootRomDfu::dfuDNLOAD_IDLE);
        image.insert(image.end(), data.begin(), data.end());
    }
    EXPECT_EQ(rom.bytes_stored(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), sram.begin()));
    EXPECT_EQ(sram[image.size()], 0xEE) << "bytes past the image were written";
    EXPECT_TRUE(rom.log().empty()) << log_text();
}

struct OrderCase {
    const char* name;
    std::vector<std::uint16_t> blocks;  // block numbers sent, each followed by DFU_GETSTATUS
    std::size_t refused_at;             // index of the first refused block (blocks.size(): none)
};
class BlockOrder : public Rom, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(BlockOrder, OutOfOrderBlockIsAnAddressError) {
    const auto& c = GetParam();
    for (std::size_t i = 0; i < c.blocks.size(); ++i) {
        int r = dnload(c.blocks[i], bytes(16, static_cast<std::uint8_t>(i)));
        if (i == c.refused_at) {
            EXPECT_EQ(r, kStalled) << "block " << c.blocks[i];
            auto st = getstatus();
            ASSERT_EQ(st.size(), 6u);
            EXPECT_EQ(st[4], BootRomDfu::dfuERROR);
            EXPECT_EQ(st[0], BootRomDfu::errADDRESS);
            EXPECT_EQ(rom.bytes_stored(), 16u * i) << "the refused block must not be stored";
            ASSERT_EQ(rom.log().size(), 1u);
            EXPECT_NE(rom.log()[0].find("block " + std::to_string(c.blocks[i])), std::string::npos) << log_text();
            return;
        }
        ASSERT_EQ(r, 16) << "block " << c.blocks[i];
        ASSERT_EQ(getstatus().at(4), BootRomDfu::dfuDNLOAD_IDLE);
    }
    EXPECT_EQ(c.refused_at, c.blocks.size());
    EXPECT_TRUE(rom.log().empty()) << log_text();
}

INSTANTIATE_TEST_SUITE_P(Blocks, BlockOrder,
                         ::testing::Values(OrderCase{"InOrder", {0, 1, 2, 3}, 4}, OrderCase{"FirstIsOne", {1}, 0},
                                           OrderCase{"Gap", {0, 1, 3}, 2}, OrderCase{"Repeat", {0, 1, 1}, 2},
                                           OrderCase{"Backwards", {0, 1, 2, 0}, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Rom, ZeroLengthBlockMustCarryTheNextNumber) {
    ASSERT_EQ(dnload(0, bytes(8, 0)), 8);
    getstatus();
    EXPECT_EQ(dnload(5, {}), kStalled);
    EXPECT_EQ(getstate(), BootRomDfu::dfuERROR);
}

TEST_F(Rom, DownloadPastTheSramIsRefused) {
    std::uint16_t block = 0;
    for (; block < BootRomDfu::kSramSize / 1024; ++block) {
        ASSERT_EQ(dnload(block, bytes(1024, 0)), 1024);
        getstatus();
    }
    EXPECT_EQ(rom.bytes_stored(), BootRomDfu::kSramSize);
    EXPECT_EQ(dnload(block, bytes(1, 0)), kStalled);
    auto st = getstatus();
    ASSERT_EQ(st.size(), 6u);
    EXPECT_EQ(st[4], BootRomDfu::dfuERROR);
    EXPECT_EQ(st[0], BootRomDfu::errADDRESS);
}

TEST_F(Rom, BlockLongerThanTransferSizeIsRefused) {
    EXPECT_EQ(dnload(0, bytes(BootRomDfu::kTransferSize + 1, 0)), kStalled);
    EXPECT_EQ(getstate(), BootRomDfu::dfuERROR);
    EXPECT_EQ(rom.bytes_stored(), 0u);
}

TEST_F(Rom, AbortForgetsThePartialDownload) {
    ASSERT_EQ(dnload(0, bytes(16, 0)), 16);
    getstatus();
    ASSERT_EQ(simple(BootRomDfu::DFU_ABORT), 0);
    EXPECT_EQ(getstate(), BootRomDfu::dfuIDLE);
    EXPECT_EQ(dnload(0, bytes(16, 9)), 16) << "numbering starts again at 0";
    EXPECT_EQ(sram[0], 9);
}

TEST_F(Rom, ClearStatusLeavesTheErrorAndNumberingStartsAgain) {
    ASSERT_EQ(dnload(3, bytes(16, 0)), kStalled);
    ASSERT_EQ(simple(BootRomDfu::DFU_CLRSTATUS), 0);
    auto st = getstatus();
    ASSERT_EQ(st.size(), 6u);
    EXPECT_EQ(st[0], BootRomDfu::OK);
    EXPECT_EQ(st[4], BootRomDfu::dfuIDLE);
    EXPECT_EQ(dnload(0, bytes(16, 0)), 16);
}

// ---------------------------------------------------------------- manifestation and reset

TEST_F(Rom, ManifestationThenPortResetStartsTheCode) {
    ASSERT_EQ(dnload(0, bytes(512, 3)), 512);
    ASSERT_EQ(getstatus().at(4), BootRomDfu::dfuDNLOAD_IDLE);
    ASSERT_EQ(dnload(1, {}), 0);
    auto st = getstatus();
    ASSERT_EQ(st.size(), 6u);
    EXPECT_EQ(st[4], BootRomDfu::dfuMANIFEST);
    EXPECT_EQ(getstate(), BootRomDfu::dfuMANIFEST_WAIT_RESET);
    EXPECT_EQ(starts, 0) << "nothing starts before the reset";
    EXPECT_TRUE(rom.connected());
    rom.bus_reset();
    EXPECT_EQ(starts, 1);
    EXPECT_FALSE(rom.connected()) << "the ROM's device leaves the bus";
    std::vector<std::uint8_t> d;
    const std::uint8_t p[8] = {0xA1, 5, 0, 0, 0, 0, 1, 0};
    EXPECT_EQ(rom.setup(0, p), Handshake::None);
    EXPECT_TRUE(rom.log().empty()) << log_text();
}

TEST_F(Rom, PortResetBeforeManifestationReturnsToIdle) {
    ASSERT_EQ(dnload(0, bytes(64, 3)), 64);
    getstatus();
    rom.bus_reset();
    EXPECT_EQ(starts, 0);
    EXPECT_TRUE(rom.connected());
    // After a reset the device is at address 0 and unconfigured again.
    client.address = 0;
    std::vector<std::uint8_t> none;
    ASSERT_EQ(client.control(0x00, 5, 4, 0, none, 0), 0);
    client.address = 4;
    ASSERT_EQ(client.control(0x00, 9, 1, 0, none, 0), 0);
    EXPECT_EQ(getstate(), BootRomDfu::dfuIDLE);
    EXPECT_EQ(dnload(0, bytes(16, 0)), 16) << "numbering starts again at 0";
}

// ---------------------------------------------------------------- identity and options

TEST_F(Rom, DescriptorsShowADfuInterface) {
    std::vector<std::uint8_t> d;
    ASSERT_EQ(client.control(0x80, 6, 0x0100, 0, d, 64), 18);
    EXPECT_EQ(d[8] | d[9] << 8, 0x03EB);
    EXPECT_EQ(d[10] | d[11] << 8, 0x6120);
    EXPECT_EQ(d[7], 8) << "endpoint 0 of 8 bytes";
    EXPECT_EQ(d[17], 1) << "one configuration";
    ASSERT_EQ(client.control(0x80, 6, 0x0200, 0, d, 255), 25);
    EXPECT_EQ(d[2] | d[3] << 8, 25) << "wTotalLength";
    // interface descriptor right after the configuration
    EXPECT_EQ(d[9 + 1], 4);
    EXPECT_EQ(d[9 + 5], 0xFE);
    EXPECT_EQ(d[9 + 6], 0x01);
    // DFU functional descriptor
    EXPECT_EQ(d[18 + 1], 0x21);
    EXPECT_EQ(d[18 + 2] & 0x05, 0x01) << "can download, not manifestation tolerant";
    EXPECT_GE(d[18 + 5] | d[18 + 6] << 8, 512) << "wTransferSize";
    // A short wLength cuts the reply.
    ASSERT_EQ(client.control(0x80, 6, 0x0200, 0, d, 9), 9);
    EXPECT_EQ(client.control(0x80, 6, 0x0300, 0, d, 255), kStalled) << "no string descriptors";
}

TEST_F(Rom, DfuRequestsNeedTheConfiguredState) {
    std::vector<std::uint8_t> none;
    ASSERT_EQ(client.control(0x00, 9, 0, 0, none, 0), 0);  // SET_CONFIGURATION 0
    EXPECT_TRUE(getstatus().empty());
    EXPECT_EQ(rom.log().size(), 1u);
}

class AppIdleRom : public Rom {
protected:
    AppIdleRom() : Rom(true) {}
};

TEST_F(AppIdleRom, AnswersGetStatusInAppIdle) {
    auto st = getstatus();
    ASSERT_EQ(st.size(), 6u);
    EXPECT_EQ(st[4], BootRomDfu::appIDLE);
    EXPECT_EQ(st[0], BootRomDfu::OK);
    EXPECT_EQ(getstate(), BootRomDfu::appIDLE);
    EXPECT_TRUE(rom.log().empty()) << log_text();
}

TEST_F(AppIdleRom, RefusesDownloadsAndStaysInAppIdle) {
    EXPECT_EQ(dnload(0, bytes(16, 0)), kStalled);
    EXPECT_EQ(getstate(), BootRomDfu::appIDLE);
    EXPECT_EQ(rom.bytes_stored(), 0u);
    EXPECT_EQ(rom.log().size(), 1u);
}

TEST_F(AppIdleRom, DetachThenResetEntersDfuMode) {
    ASSERT_EQ(simple(BootRomDfu::DFU_DETACH), 0);
    EXPECT_EQ(getstate(), BootRomDfu::appDETACH);
    rom.bus_reset();
    EXPECT_EQ(rom.state(), BootRomDfu::dfuIDLE);
    EXPECT_EQ(starts, 0);
}

}  // namespace
}  // namespace vboard
