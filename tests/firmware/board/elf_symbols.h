// Symbol addresses from a 32-bit little-endian ELF file (the firmware's).
#pragma once

#include <cstdint>
#include <map>
#include <string>

class ElfSymbols {
public:
    explicit ElfSymbols(const std::string& path);
    // Address of `name`; fails the current test (and returns 0) if absent.
    std::uint32_t operator[](const std::string& name) const;
    bool has(const std::string& name) const { return symbols_.count(name) != 0; }
    std::uint32_t size_of(const std::string& name) const;

private:
    struct Entry {
        std::uint32_t value;
        std::uint32_t size;
    };
    std::map<std::string, Entry> symbols_;
};
