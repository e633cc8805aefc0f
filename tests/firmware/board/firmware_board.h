// A virtual board that runs the real firmware images: boots the test loader
// through the boot ROM's DFU download, drives it over the USB host model and
// looks at memory through the ELF files' symbols.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "elf_symbols.h"
#include "usb/virtual_board.h"

std::vector<std::uint8_t> read_file(const std::string& path);

class FirmwareBoard : public ::testing::Test {
protected:
    static constexpr unsigned kTimeoutMs = 2000;

    FirmwareBoard();
    ~FirmwareBoard() override;

    // A board with the given faults, powered on in boot-ROM DFU mode.
    void power_on(vboard::BoardConfig config = {});
    // DFU download of the test loader, port reset, wait until it enumerates.
    void boot_loader(vboard::BoardConfig config = {});
    // The loader with the uploader sent and started, its banner printed.
    void boot_uploader(vboard::BoardConfig config = {});

    // Control transfers. IN: the reply bytes, or the negative result in `result`.
    int control_in(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                   std::uint16_t length, std::vector<std::uint8_t>& reply);
    int control_out(std::uint8_t type, std::uint8_t request, std::uint16_t value = 0, std::uint16_t index = 0);
    int bulk_write(const std::vector<std::uint8_t>& data, unsigned timeout_ms = 4000);
    // The uploader's length word and then its bytes in 1024-byte transfers.
    void send_image(const std::vector<std::uint8_t>& image, std::uint32_t announced);

    std::uint32_t peek32(std::uint32_t address) const;
    std::uint8_t peek8(std::uint32_t address) const;
    std::vector<std::uint8_t> peek(std::uint32_t address, std::size_t n) const;
    std::string console() const;
    // PC, model errors and the USB log, for failure messages.
    std::string diagnostics() const;

    vboard::VirtualBoard& vb() { return *vb_; }
    vboard::Board& board() { return vb_->board(); }

    ElfSymbols loader;
    ElfSymbols uploader;
    std::vector<std::uint8_t> loaderImage;
    std::vector<std::uint8_t> uploaderImage;

private:
    std::unique_ptr<vboard::VirtualBoard> vb_;
};

std::string hex_bytes(const std::vector<std::uint8_t>& bytes);
