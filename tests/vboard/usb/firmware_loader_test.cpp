// The real test loader image on the virtual board: downloaded through the
// boot ROM's DFU device as the host tool does it, started by the port
// reset, enumerated again, and answering REQ_SYNC.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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

std::vector<std::uint8_t> read_file(const char* path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

class TestLoader : public ::testing::Test {
protected:
    TestLoader() : image(read_file(DORVEX_TEST_LOADER_BIN)), vb(BoardConfig{}) {}

    // What the host tool sends: per block DFU_GETSTATUS, DFU_GETSTATE, then
    // DFU_DNLOAD of up to 512 bytes; the zero-length block; DFU_GETSTATUS.
    void download() {
        std::uint8_t st[6], state;
        std::uint16_t block = 0;
        for (std::size_t off = 0; off < image.size(); off += 512, ++block) {
            ASSERT_EQ(vb.control({0xA1, 3, 0, 0, 6}, st, 500), 6);
            ASSERT_EQ(vb.control({0xA1, 5, 0, 0, 1}, &state, 500), 1);
            std::size_t n = std::min<std::size_t>(512, image.size() - off);
            ASSERT_EQ(vb.control({0x21, 1, block, 0, static_cast<std::uint16_t>(n)}, image.data() + off, 500),
                      static_cast<int>(n));
        }
        ASSERT_EQ(vb.control({0xA1, 3, 0, 0, 6}, st, 500), 6);
        ASSERT_EQ(vb.control({0xA1, 5, 0, 0, 1}, &state, 500), 1);
        ASSERT_EQ(vb.control({0x21, 1, block, 0, 0}, nullptr, 500), 0);
        ASSERT_EQ(vb.control({0xA1, 3, 0, 0, 6}, st, 500), 6);
        ASSERT_EQ(st[4], BootRomDfu::dfuMANIFEST);
    }

    // Download, reset, wait for the loader, configuration 1, REQ_SYNC.
    void start_loader() {
        download();
        if (HasFatalFailure()) return;
        ASSERT_EQ(vb.port_reset(), 0);
        ASSERT_TRUE(vb.wait_for_device(1'000'000'000)) << lines(vb.usb_log()) << lines(vb.board().model_errors());
        ASSERT_EQ(vb.control({0x00, 9, 1, 0, 0}, nullptr, 2000), 0) << lines(vb.usb_log());
        ASSERT_EQ(vb.control({0x21, 0xFF, 0, 0, 0}, nullptr, 2000), 0) << lines(vb.usb_log());
    }

    std::vector<std::uint8_t> image;
    VirtualBoard vb;
};

TEST_F(TestLoader, DownloadedStartedEnumeratedAndAnswersSync) {
    ASSERT_GT(image.size(), 1000u) << DORVEX_TEST_LOADER_BIN;
    download();
    if (HasFatalFailure()) return;
    EXPECT_EQ(std::vector<std::uint8_t>(vb.board().sram(), vb.board().sram() + image.size()), image);
    std::string trace;
    if (std::getenv("VBOARD_USB_TRACE")) vb.udp().set_trace([](const std::string& t) { std::fprintf(stderr, "%s\n", t.c_str()); });
    ASSERT_EQ(vb.port_reset(), 0);
    EXPECT_FALSE(vb.device());
    // The host tool sleeps 1000 ms; the loader comes back on the bus well
    // within that.
    ASSERT_TRUE(vb.wait_for_device(1'000'000'000)) << lines(vb.usb_log()) << lines(vb.board().model_errors())
                                                   << "console: " << vb.console() << "\nPC "
                                                   << std::hex << vb.board().cpu_reg(15) << " CPSR "
                                                   << vb.board().cpu_reg(16) << " SP " << vb.board().cpu_reg(13);
    const auto dev = *vb.device();
    EXPECT_EQ(dev.device_descriptor, (std::vector<std::uint8_t>{0x12, 0x01, 0x10, 0x01, 0x02, 0x00, 0x00, 0x08, 0xEB,
                                                                0x03, 0x20, 0x61, 0x10, 0x01, 0x00, 0x00, 0x00, 0x01}));
    ASSERT_EQ(dev.configurations.size(), 1u);
    EXPECT_EQ(dev.configurations[0],
              (std::vector<std::uint8_t>{0x09, 0x02, 0x2E, 0x00, 0x01, 0x01, 0x01, 0xC0, 0x00, 0x07, 0x21, 0x03,
                                         0xFF, 0xFF, 0x04, 0x00, 0x09, 0x04, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
                                         0x00, 0x07, 0x05, 0x00, 0x00, 0x40, 0x00, 0x00, 0x07, 0x05, 0x04, 0x02,
                                         0x40, 0x00, 0x00, 0x07, 0x05, 0x85, 0x02, 0x40, 0x00, 0x00}));
    // What find_running_loader does: configuration 1, then REQ_SYNC.
    EXPECT_EQ(vb.control({0x00, 9, 1, 0, 0}, nullptr, 2000), 0) << lines(vb.usb_log());
    EXPECT_EQ(vb.control({0x21, 0xFF, 0, 0, 0}, nullptr, 2000), 0) << lines(vb.usb_log());
    // A class IN request answered by the driver itself: one byte 0x00.
    std::uint8_t b = 0xEE;
    EXPECT_EQ(vb.control({0xA1, 0, 0, 0, 1}, &b, 2000), 1);
    EXPECT_EQ(b, 0);
    EXPECT_TRUE(vb.usb_log().empty()) << lines(vb.usb_log());
    EXPECT_TRUE(vb.board().model_errors().empty()) << lines(vb.board().model_errors());
}

#ifdef DORVEX_UPLOADER_BIN
// The end of the host's run: the uploader's length on endpoint 4 as a packet
// of its own, then its bytes in writes of 1024; the loader stores it in
// SDRAM and jumps to it, and the uploader takes the connection over without
// a new enumeration.
TEST_F(TestLoader, HandsTheConnectionOverToTheUploader) {
    const std::vector<std::uint8_t> uploader = read_file(DORVEX_UPLOADER_BIN);
    ASSERT_GT(uploader.size(), 1000u) << DORVEX_UPLOADER_BIN;
    start_loader();
    if (HasFatalFailure()) return;
    const auto before = *vb.device();
    const std::uint32_t length = static_cast<std::uint32_t>(uploader.size());
    std::uint8_t word[4] = {std::uint8_t(length), std::uint8_t(length >> 8), std::uint8_t(length >> 16),
                            std::uint8_t(length >> 24)};
    ASSERT_EQ(vb.bulk_write(4, word, 4, 4000), 4) << lines(vb.usb_log());
    for (std::size_t off = 0; off < uploader.size(); off += 1024) {
        std::size_t n = std::min<std::size_t>(1024, uploader.size() - off);
        ASSERT_EQ(vb.bulk_write(4, uploader.data() + off, n, 4000), static_cast<int>(n))
            << "at " << off << "\n" << lines(vb.usb_log());
    }
    vb.run_for(50'000'000);
    EXPECT_NE(vb.console().find("Uploader"), std::string::npos) << "console: " << vb.console();
    std::vector<std::uint8_t> sdram(vb.board().sdram(), vb.board().sdram() + 0x100);
    EXPECT_EQ(sdram, std::vector<std::uint8_t>(uploader.begin(), uploader.begin() + 0x100));
    ASSERT_TRUE(vb.device());
    EXPECT_EQ(vb.device()->generation, before.generation) << "no new enumeration";
    std::uint8_t config = 0;
    EXPECT_EQ(vb.control({0x80, 8, 0, 0, 1}, &config, 2000), 1) << lines(vb.usb_log());
    EXPECT_EQ(config, 1);
    EXPECT_EQ(vb.udp().faddr(), Udp::FEN | before.address) << "the address is kept";
    EXPECT_TRUE(vb.usb_log().empty()) << lines(vb.usb_log());
    EXPECT_TRUE(vb.board().model_errors().empty()) << lines(vb.board().model_errors());
}
#endif

}  // namespace
}  // namespace vboard
