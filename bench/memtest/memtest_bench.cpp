// SDRAM test speed on the virtual board: boots the real test loader through
// the boot ROM's DFU download, runs the whole SDRAM test through its class
// requests and reports retired ARM instructions per tested word, next to
// the wall time the board took.
//
//   memtest_bench [LOADER.bin]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "usb/virtual_board.h"

namespace {

constexpr std::uint8_t DFU_DNLOAD = 1, DFU_GETSTATUS = 3;
constexpr std::uint8_t REQ_MEMTEST_STATUS = 3, REQ_MEMTEST_START = 4;
constexpr std::uint32_t WORDS_PER_BLOCK = 0x10000 / 4, BLOCKS = 256;

bool dfu_wait(vboard::VirtualBoard& vb, std::uint8_t a, std::uint8_t b) {
    for (int i = 0; i < 100; ++i) {
        std::uint8_t s[6] = {};
        if (vb.control({0xA1, DFU_GETSTATUS, 0, 0, 6}, s, 500) < 0) return false;
        if (s[4] == a || s[4] == b) return true;
        vb.run_for(static_cast<vboard::Nanos>((s[1] | (s[2] << 8) | (s[3] << 16)) + 1) * 1000000);
    }
    return false;
}

bool boot(vboard::VirtualBoard& vb, const std::vector<std::uint8_t>& image) {
    vb.reset_button();
    std::uint16_t block = 0;
    for (std::size_t at = 0; at < image.size(); at += 512, ++block) {
        const std::size_t n = std::min<std::size_t>(512, image.size() - at);
        std::vector<std::uint8_t> chunk(image.begin() + static_cast<long>(at), image.begin() + static_cast<long>(at + n));
        if (vb.control({0x21, DFU_DNLOAD, block, 0, static_cast<std::uint16_t>(n)}, chunk.data(), 500) !=
            static_cast<int>(n))
            return false;
        if (!dfu_wait(vb, 5, 5)) return false;
    }
    if (vb.control({0x21, DFU_DNLOAD, block, 0, 0}, nullptr, 500) != 0) return false;
    if (!dfu_wait(vb, 8, 2)) return false;
    vb.port_reset();
    if (!vb.wait_for_device(vboard::Nanos{3'000'000'000})) return false;
    return vb.control({0x00, 9, 1, 0, 0}, nullptr, 2000) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : DORVEX_TEST_LOADER_BIN;
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (image.empty()) {
        std::fprintf(stderr, "memtest_bench: cannot read %s\n", path.c_str());
        return 1;
    }
    vboard::VirtualBoard vb(vboard::BoardConfig{});
    vb.board().set_error_echo(false);
    if (!boot(vb, image)) {
        std::fprintf(stderr, "memtest_bench: the test loader did not start\n");
        return 1;
    }

    const auto before = vb.board().stats();
    const auto wall0 = std::chrono::steady_clock::now();
    if (vb.control({0x21, REQ_MEMTEST_START, 0, 0, 0}, nullptr, 2000) != 0) {
        std::fprintf(stderr, "memtest_bench: REQ_MEMTEST_START failed\n");
        return 1;
    }
    std::uint32_t done = 0, polls = 0;
    while (done < 0x04000000) {
        std::uint8_t s[8] = {};
        if (vb.control({0xA1, REQ_MEMTEST_STATUS, 0, 0, 8}, s, 2000) != 8) {
            std::fprintf(stderr, "memtest_bench: REQ_MEMTEST_STATUS failed\n");
            return 1;
        }
        done = s[0] | (s[1] << 8) | (s[2] << 16) | (static_cast<std::uint32_t>(s[3]) << 24);
        ++polls;
    }
    const auto wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const auto after = vb.board().stats();

    const double words = static_cast<double>(WORDS_PER_BLOCK) * BLOCKS;
    const double instructions = static_cast<double>(after.instructions - before.instructions);
    std::printf("SDRAM test, %u blocks of %u words, %u status requests\n", BLOCKS, WORDS_PER_BLOCK, polls);
    std::printf("  instructions retired: %.0f\n", instructions);
    std::printf("  instructions per tested word (data test, address test, USB service): %.2f\n", instructions / words);
    std::printf("  virtual time: %.3f s, wall time: %.3f s\n",
                static_cast<double>(after.virtual_time - before.virtual_time) / 1e9, wall);
    std::printf("  model errors: %zu\n", after.model_errors);
    return after.model_errors == 0 ? 0 : 1;
}
