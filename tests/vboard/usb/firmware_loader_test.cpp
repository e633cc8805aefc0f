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

    std::vector<std::uint8_t> image;
    VirtualBoard vb;
};

TEST_F(TestLoader, DownloadedStartedEnumeratedAndAnswersSync) {
    ASSERT_GT(image.size(), 1000u) << DORVEX_TEST_LOADER_BIN;
    download();
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

}  // namespace
}  // namespace vboard
