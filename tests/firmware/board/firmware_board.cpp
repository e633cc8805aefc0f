#include "firmware_board.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

constexpr std::uint8_t DFU_DNLOAD = 1, DFU_GETSTATUS = 3;
constexpr std::uint8_t DFU_STATE_IDLE = 2, DFU_STATE_DNLOAD_IDLE = 5, DFU_STATE_MANIFEST_WAIT_RESET = 8;
constexpr std::size_t DFU_BLOCK = 512;

}  // namespace

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string hex_bytes(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    char b[4];
    for (const auto v : bytes) {
        std::snprintf(b, sizeof b, "%02x ", v);
        out += b;
    }
    return out;
}

FirmwareBoard::FirmwareBoard()
    : loader(DORVEX_TEST_LOADER_ELF),
      uploader(DORVEX_UPLOADER_ELF),
      loaderImage(read_file(DORVEX_TEST_LOADER_BIN)),
      uploaderImage(read_file(DORVEX_UPLOADER_BIN)) {}

FirmwareBoard::~FirmwareBoard() = default;

void FirmwareBoard::power_on(vboard::BoardConfig config) {
    vb_ = std::make_unique<vboard::VirtualBoard>(std::move(config));
    vb_->board().set_error_echo(false);
    vb_->reset_button();
}

void FirmwareBoard::boot_loader(vboard::BoardConfig config) {
    power_on(std::move(config));
    ASSERT_FALSE(loaderImage.empty());
    std::uint16_t block = 0;
    auto wait_idle = [&](std::uint8_t wanted_a, std::uint8_t wanted_b) {
        for (int i = 0; i < 100; ++i) {
            std::uint8_t status[6] = {};
            const int r = vb_->control({0xA1, DFU_GETSTATUS, 0, 0, 6}, status, 500);
            if (r < 0) return false;
            if (status[4] == wanted_a || status[4] == wanted_b) return true;
            const unsigned poll = status[1] | (status[2] << 8) | (status[3] << 16);
            vb_->run_for(static_cast<vboard::Nanos>(poll + 1) * 1000000);
        }
        return false;
    };
    for (std::size_t at = 0; at < loaderImage.size(); at += DFU_BLOCK, ++block) {
        const std::size_t n = std::min(DFU_BLOCK, loaderImage.size() - at);
        std::vector<std::uint8_t> chunk(loaderImage.begin() + static_cast<long>(at),
                                        loaderImage.begin() + static_cast<long>(at + n));
        ASSERT_EQ(vb_->control({0x21, DFU_DNLOAD, block, 0, static_cast<std::uint16_t>(n)}, chunk.data(), 500),
                  static_cast<int>(n))
            << "DFU block " << block;
        ASSERT_TRUE(wait_idle(DFU_STATE_DNLOAD_IDLE, DFU_STATE_DNLOAD_IDLE)) << "DFU block " << block;
    }
    ASSERT_EQ(vb_->control({0x21, DFU_DNLOAD, block, 0, 0}, nullptr, 500), 0);
    ASSERT_TRUE(wait_idle(DFU_STATE_MANIFEST_WAIT_RESET, DFU_STATE_IDLE));
    vb_->port_reset();
    ASSERT_TRUE(vb_->wait_for_device(vboard::Nanos{3'000'000'000}))
        << "the test loader did not enumerate; " << diagnostics();
    ASSERT_EQ(control_out(0x00, 9, 1), 0) << "SET_CONFIGURATION 1";
}

void FirmwareBoard::boot_uploader(vboard::BoardConfig config) {
    boot_loader(std::move(config));
    if (HasFatalFailure()) return;
    send_image(uploaderImage, static_cast<std::uint32_t>(uploaderImage.size()));
    vb_->run_for(vboard::Nanos{20'000'000});
}

int FirmwareBoard::control_in(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                              std::uint16_t length, std::vector<std::uint8_t>& reply) {
    reply.assign(length, 0xEE);
    const int r = vb_->control({type, request, value, index, length}, reply.data(), kTimeoutMs);
    reply.resize(r > 0 ? static_cast<std::size_t>(r) : 0);
    return r;
}

int FirmwareBoard::control_out(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index) {
    return vb_->control({type, request, value, index, 0}, nullptr, kTimeoutMs);
}

int FirmwareBoard::bulk_write(const std::vector<std::uint8_t>& data, unsigned timeout_ms) {
    return vb_->bulk_write(0x04, data.data(), data.size(), timeout_ms);
}

void FirmwareBoard::send_image(const std::vector<std::uint8_t>& image, std::uint32_t announced) {
    const std::vector<std::uint8_t> length = {static_cast<std::uint8_t>(announced),
                                              static_cast<std::uint8_t>(announced >> 8),
                                              static_cast<std::uint8_t>(announced >> 16),
                                              static_cast<std::uint8_t>(announced >> 24)};
    ASSERT_EQ(bulk_write(length), 4);
    for (std::size_t at = 0; at < image.size(); at += 1024) {
        const std::size_t n = std::min<std::size_t>(1024, image.size() - at);
        const std::vector<std::uint8_t> chunk(image.begin() + static_cast<long>(at),
                                              image.begin() + static_cast<long>(at + n));
        ASSERT_EQ(bulk_write(chunk), static_cast<int>(n)) << "image bytes from " << at;
    }
}

std::uint32_t FirmwareBoard::peek32(std::uint32_t address) const {
    std::uint32_t v = 0;
    EXPECT_TRUE(vb_->board().peek(address, &v, 4)) << std::hex << address;
    return v;
}

std::uint8_t FirmwareBoard::peek8(std::uint32_t address) const {
    std::uint8_t v = 0;
    EXPECT_TRUE(vb_->board().peek(address, &v, 1)) << std::hex << address;
    return v;
}

std::vector<std::uint8_t> FirmwareBoard::peek(std::uint32_t address, std::size_t n) const {
    std::vector<std::uint8_t> v(n);
    EXPECT_TRUE(vb_->board().peek(address, v.data(), n)) << std::hex << address;
    return v;
}

std::string FirmwareBoard::console() const { return vb_->console(); }

std::string FirmwareBoard::diagnostics() const {
    std::string text;
    char pc[32];
    std::snprintf(pc, sizeof pc, "pc %08x; ", vb_->board().cpu_reg(15));
    text += pc;
    const auto& errors = vb_->board().model_errors();
    text += std::to_string(errors.size()) + " model errors";
    for (std::size_t i = 0; i < errors.size() && i < 8; ++i) text += "\n  " + errors[i];
    for (const auto& line : vb_->usb_log()) text += "\n  usb: " + line;
    return text;
}
