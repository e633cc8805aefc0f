// Base of every on-chip peripheral model: a window of the address space and a
// declarative register table. An access to an offset that is not in the table
// (or a read of a write-only register, a write of a read-only one) is a model
// error, reported with the PC, the address and the value.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace vboard {

class Board;

class Peripheral {
public:
    Peripheral(Board& board, std::string name, std::uint32_t base, std::uint32_t size);
    virtual ~Peripheral() = default;
    Peripheral(const Peripheral&) = delete;
    Peripheral& operator=(const Peripheral&) = delete;

    const std::string& name() const { return name_; }
    std::uint32_t base() const { return base_; }
    std::uint32_t size() const { return size_; }

    // Bus accesses (32-bit; offset from base). Called by the Board.
    std::uint32_t bus_read(std::uint32_t offset);
    void bus_write(std::uint32_t offset, std::uint32_t value);

    // Back to the reset state (reset button).
    virtual void reset();

protected:
    class Reg {
    public:
        // Custom read / write behaviour.
        Reg& read(std::function<std::uint32_t()> fn);
        Reg& write(std::function<void(std::uint32_t)> fn);
        // A plain read/write register holding `value`, reset to `reset_value`.
        Reg& store(std::uint32_t reset_value = 0);
        // Write-only / read-only markers (the other direction is a model error).
        Reg& write_only();
        Reg& read_only();

        std::uint32_t value = 0;  // the stored value, for store() registers
    private:
        friend class Peripheral;
        std::string name_;
        std::function<std::uint32_t()> read_;
        std::function<void(std::uint32_t)> write_;
        std::uint32_t reset_value_ = 0;
        bool stored_ = false;
        bool readable_ = true, writable_ = true;
    };

    // Declares the register at `offset`. Call from the model's constructor.
    Reg& reg(std::uint32_t offset, std::string name);

    Board& board;

private:
    std::string name_;
    std::uint32_t base_, size_;
    std::map<std::uint32_t, Reg> regs_;
};

}  // namespace vboard
