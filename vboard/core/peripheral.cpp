#include "core/peripheral.h"

#include <cstdio>

#include "core/board.h"

namespace vboard {

namespace {
std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}
}  // namespace

Peripheral::Peripheral(Board& b, std::string name, std::uint32_t base, std::uint32_t size)
    : board(b), name_(std::move(name)), base_(base), size_(size) {}

Peripheral::Reg& Peripheral::Reg::read(std::function<std::uint32_t()> fn) {
    read_ = std::move(fn);
    return *this;
}
Peripheral::Reg& Peripheral::Reg::write(std::function<void(std::uint32_t)> fn) {
    write_ = std::move(fn);
    return *this;
}
Peripheral::Reg& Peripheral::Reg::store(std::uint32_t reset_value) {
    stored_ = true;
    reset_value_ = reset_value;
    value = reset_value;
    return *this;
}
Peripheral::Reg& Peripheral::Reg::write_only() {
    read_ = nullptr;
    readable_ = false;
    return *this;
}
Peripheral::Reg& Peripheral::Reg::read_only() {
    write_ = nullptr;
    writable_ = false;
    return *this;
}

Peripheral::Reg& Peripheral::reg(std::uint32_t offset, std::string name) {
    Reg& r = regs_[offset];
    r.name_ = std::move(name);
    return r;
}

std::uint32_t Peripheral::bus_read(std::uint32_t offset) {
    auto it = regs_.find(offset);
    if (it == regs_.end()) {
        board.model_error(name_ + ": read of unimplemented offset +" + hex(offset) + " (address " +
                          hex(base_ + offset) + ")");
        return 0;
    }
    Reg& r = it->second;
    if (r.read_) return r.read_();
    if (r.stored_ && r.readable_) return r.value;
    board.model_error(name_ + ": read of write-only register " + r.name_ + " (address " + hex(base_ + offset) + ")");
    return 0;
}

void Peripheral::bus_write(std::uint32_t offset, std::uint32_t value) {
    auto it = regs_.find(offset);
    if (it == regs_.end()) {
        board.model_error(name_ + ": write of " + hex(value) + " to unimplemented offset +" + hex(offset) +
                          " (address " + hex(base_ + offset) + ")");
        return;
    }
    Reg& r = it->second;
    if (r.write_) {
        r.write_(value);
        return;
    }
    if (r.stored_ && r.writable_) {
        r.value = value;
        return;
    }
    board.model_error(name_ + ": write of " + hex(value) + " to read-only register " + r.name_ + " (address " +
                      hex(base_ + offset) + ")");
}

void Peripheral::reset() {
    for (auto& [offset, r] : regs_)
        if (r.stored_) r.value = r.reset_value_;
}

}  // namespace vboard
