#include "elf_symbols.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

template <class T> T read_le(const std::vector<char>& file, std::size_t at) {
    T value{};
    if (at + sizeof(T) <= file.size()) std::memcpy(&value, file.data() + at, sizeof(T));
    return value;
}

}  // namespace

ElfSymbols::ElfSymbols(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < 52 || std::memcmp(file.data(), "\x7f" "ELF", 4) != 0 || file[4] != 1) {
        ADD_FAILURE() << "not a 32-bit ELF file: " << path;
        return;
    }
    const auto shoff = read_le<std::uint32_t>(file, 32);
    const auto shentsize = read_le<std::uint16_t>(file, 46);
    const auto shnum = read_le<std::uint16_t>(file, 48);
    for (unsigned i = 0; i < shnum; ++i) {
        const std::size_t sh = shoff + static_cast<std::size_t>(i) * shentsize;
        if (read_le<std::uint32_t>(file, sh + 4) != 2) continue;   // SHT_SYMTAB
        const auto offset = read_le<std::uint32_t>(file, sh + 16);
        const auto size = read_le<std::uint32_t>(file, sh + 20);
        const auto link = read_le<std::uint32_t>(file, sh + 24);
        const std::size_t strsh = shoff + static_cast<std::size_t>(link) * shentsize;
        const auto stroff = read_le<std::uint32_t>(file, strsh + 16);
        for (std::uint32_t s = 0; s + 16 <= size; s += 16) {
            const auto name = read_le<std::uint32_t>(file, offset + s);
            if (name == 0 || stroff + name >= file.size()) continue;
            const std::string text(file.data() + stroff + name);
            symbols_[text] = {read_le<std::uint32_t>(file, offset + s + 4), read_le<std::uint32_t>(file, offset + s + 8)};
        }
    }
}

std::uint32_t ElfSymbols::operator[](const std::string& name) const {
    const auto it = symbols_.find(name);
    if (it == symbols_.end()) {
        ADD_FAILURE() << "symbol not in the firmware's ELF file: " << name;
        return 0;
    }
    return it->second.value;
}

std::uint32_t ElfSymbols::size_of(const std::string& name) const {
    const auto it = symbols_.find(name);
    return it == symbols_.end() ? 0 : it->second.size;
}
