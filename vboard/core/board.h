// The emulated AT91RM9200 core of the virtual board: CPU (Unicorn, ARMv4T),
// memory map, virtual time and its event queue, MMIO dispatch to the
// peripheral models, the board's pins and the injected faults.
//
// One thread owns a Board. Everything here runs in virtual time: models
// schedule events and never sleep or read the wall clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vboard {

using Nanos = std::uint64_t;

class Peripheral;
class Pins;

// The SDRAM as the bus sees it at 0x20000000. The SDRAM controller model
// implements it and tells the board (Board::sdram_changed) when direct() may
// have changed. While direct() is true, fault-free SDRAM pages are plain host
// memory (pages aliased by stuck address lines from bit 12 up included) and
// only the pages with injected data faults come to read/write; otherwise
// every SDRAM access comes here, with the stuck address lines still to be
// applied. `offset` is from kSdramBase, `size` 1, 2 or 4. Code cannot run
// from a page served here: a fetch there is a model error.
class SdramPort {
public:
    virtual ~SdramPort() = default;
    virtual bool direct() const = 0;
    virtual std::uint32_t read(std::uint32_t offset, unsigned size) = 0;
    virtual void write(std::uint32_t offset, unsigned size, std::uint32_t value) = 0;
};

// A PIO line is numbered port * 32 + bit, port 0..3 for PIOA..PIOD.
struct PinShort {
    enum class Kind { Gnd, V33, Line };
    Kind kind;
    int line;
    int other;  // only for Kind::Line
};

// Data bit `bit` of the 32-bit word at byte address `address` reads `value`.
struct SdramStuckBit {
    std::uint32_t address;
    unsigned bit;
    unsigned value;
};

// SDRAM byte-address bit `bit` (2..25) is stuck at `value` for every access.
struct SdramAddrStuck {
    unsigned bit;
    unsigned value;
};

struct BoardConfig {
    std::vector<PinShort> shorts;
    std::vector<SdramStuckBit> sdram_stuck;
    std::vector<SdramAddrStuck> sdram_addr_stuck;
    bool bootrom_appidle = false;
    // Receives every character the firmware sends on the debug serial port,
    // at the virtual time it leaves the transmitter. May be empty.
    std::function<void(char)> console;
};

struct BoardStats {
    std::uint64_t instructions = 0;
    Nanos virtual_time = 0;
    std::size_t model_errors = 0;
    std::uint64_t slices = 0;          // CPU runs started
    std::uint64_t idle_skips = 0;      // times virtual time jumped over a poll loop
    Nanos idle_skipped = 0;            // virtual time jumped over that way
    std::uint64_t mmio_accesses = 0;
    std::uint64_t sdram_slow_accesses = 0;  // SDRAM accesses that went through the controller model
    std::uint64_t exceptions = 0;      // exceptions entered by the board (aborts, undefined, SWI)
};

class Board {
public:
    // Nominal core clock that turns retired instructions into virtual time.
    static constexpr std::uint64_t kCpuHz = 180'000'000;
    static constexpr std::uint32_t kSramBase = 0x00200000, kSramSize = 16 * 1024;
    static constexpr std::uint32_t kSdramBase = 0x20000000, kSdramSize = 64 * 1024 * 1024;

    explicit Board(BoardConfig config);
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    const BoardConfig& config() const;

    // ---- virtual time and events
    using EventId = std::uint64_t;
    Nanos now() const;
    EventId at(Nanos when, std::function<void()> fn);
    EventId after(Nanos delay, std::function<void()> fn);
    void cancel(EventId id);

    // ---- running
    // Runs the CPU (when it runs) and due events until virtual time reaches
    // `deadline`, or until `done` (checked after every CPU slice and every
    // event) returns true. Returns whether `done` was satisfied. When the CPU
    // is held or only polls with nothing pending, time jumps to the next event.
    bool run_until(Nanos deadline, const std::function<bool()>& done = {});
    // Models call this when something the firmware may be polling for has
    // changed, so that an idle-skip in progress stops.
    void wake();
    // True when the CPU is held, or has been seen polling unchanged registers.
    bool idle() const;
    // A model whose register value changes with time alone (a free-running
    // counter such as a frame number), not through one of its own events or
    // a call into the model, calls this from that register's read handler,
    // so that a loop polling it is never taken for idle. Registers that
    // change only in events or model calls must not call it (the board
    // already notices those changes; wake() is for changes made from outside
    // the CPU and the event queue): marking them makes the firmware's poll
    // loops run instruction by instruction instead of skipping.
    void time_dependent_read();
    // A model's write handler calls this when the write it is handling
    // changed nothing (a clear-by-write of a flag that is not set, say), so
    // that a poll loop repeating such a write can still be taken for idle.
    // Any other device write counts as a change.
    void quiet_write();

    // ---- CPU control
    // Start executing at `pc` with the given CPSR (mode, I/F bits).
    void cpu_start(std::uint32_t pc, std::uint32_t cpsr);
    // Hold the CPU: it executes nothing until cpu_start.
    void cpu_hold();
    bool cpu_running() const;
    // r0..r15 of the current mode; 16 is the CPSR.
    std::uint32_t cpu_reg(int n) const;
    // Back to power-on: CPU held, SRAM not mapped at 0, every model reset,
    // memory contents kept (like a reset button).
    void reset();
    // Map the internal SRAM at address 0 as well as at kSramBase (the remap).
    void remap_sram(bool at_zero);
    bool sram_at_zero() const;

    // ---- memory as the bus sees it, without side effects and without time
    // (SDRAM through its stuck address lines, if any; sdram() is the cells)
    bool peek(std::uint32_t addr, void* out, std::size_t n) const;
    bool poke(std::uint32_t addr, const void* in, std::size_t n);
    std::uint8_t* sram();
    std::uint8_t* sdram();

    // ---- peripherals
    // Takes ownership and dispatches the peripheral's address window to it.
    Peripheral& attach(std::unique_ptr<Peripheral> p);
    template <class T> T* find() const {
        for (auto* p : peripherals_)
            if (auto* t = dynamic_cast<T*>(p)) return t;
        return nullptr;
    }
    Pins& pins();
    // The SDRAM controller model connects itself here (nullptr: SDRAM reads
    // and writes are model errors) and calls sdram_changed() when the
    // answer of direct() may have changed.
    void set_sdram_port(SdramPort* port);
    void sdram_changed();

    // ---- diagnostics
    // Records a model error with the current PC; tests require none occurred.
    // The first 10000 are kept as text; stats().model_errors counts them all.
    void model_error(const std::string& text);
    const std::vector<std::string>& model_errors() const;
    // The address of the instruction that made the current bus access (as
    // near as the engine tells: the start of its translation block at worst).
    std::uint32_t current_pc() const;
    // Model errors are also written to standard error unless turned off.
    void set_error_echo(bool on);
    BoardStats stats() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::vector<Peripheral*> peripherals_;
};

}  // namespace vboard
