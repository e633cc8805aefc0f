// The Board: one Unicorn engine, its memory map, the MMIO dispatch to the
// models, virtual time and the event queue.
//
// Virtual time runs on a cycle counter at kCpuHz: one retired instruction is
// one cycle. Instructions are counted per translation block (the block hook
// adds the block's instruction count when the block starts), and a CPU slice
// ends with uc_emu_stop once it has used its budget, which is the distance
// to the next event or the deadline. An idle skip moves the counter without
// instructions.
#include "core/board.h"

#include <sys/mman.h>
#include <unistd.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <unordered_map>

#include "core/peripheral.h"
#include "core/pins.h"
#include "soc/soc.h"

namespace vboard {

namespace {

constexpr std::uint32_t kPage = 4096;
// Model errors kept as text; later ones are only counted (BoardStats).
constexpr std::size_t kMaxStoredErrors = 10000;
constexpr std::uint32_t kSramBase_ = Board::kSramBase, kSramSize_ = Board::kSramSize;
constexpr std::uint32_t kSdramBase_ = Board::kSdramBase, kSdramSize_ = Board::kSdramSize;
constexpr std::uint64_t kNsPerSecond = 1'000'000'000;

// ARM processor modes and CPSR bits.
constexpr std::uint32_t kModeMask = 0x1F, kModeSvc = 0x13, kModeAbt = 0x17, kModeUnd = 0x1B;
constexpr std::uint32_t kCpsrT = 1u << 5, kCpsrI = 1u << 7;
// CP15 control register: V selects the high vectors at 0xFFFF0000.
constexpr std::uint32_t kCp15V = 1u << 13;

// How many identical visits of the same polling read make a loop idle.
constexpr int kIdleRepeats = 3;
// Two visits further apart than this (in instructions) are not one loop.
constexpr std::uint64_t kIdleMaxLoop = 4096;

std::string hex(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%08llX", static_cast<unsigned long long>(v));
    return buf;
}

std::uint64_t ns_to_cycles_ceil(Nanos ns) {
    unsigned __int128 c = static_cast<unsigned __int128>(ns) * Board::kCpuHz + (kNsPerSecond - 1);
    c /= kNsPerSecond;
    return c > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(c);
}

Nanos cycles_to_ns(std::uint64_t cycles) {
    unsigned __int128 n = static_cast<unsigned __int128>(cycles) * kNsPerSecond / Board::kCpuHz;
    return n > UINT64_MAX ? UINT64_MAX : static_cast<Nanos>(n);
}

// Where a bus address lands in host memory, for peek/poke (no devices).
std::uint8_t* host_byte(std::uint8_t* sram, std::uint8_t* sdram, bool sram_zero, std::uint32_t a) {
    if (a >= kSramBase_ && a - kSramBase_ < kSramSize_) return sram + (a - kSramBase_);
    if (sram_zero && a < kSramSize_) return sram + a;
    if (a >= kSdramBase_ && a - kSdramBase_ < kSdramSize_) return sdram + (a - kSdramBase_);
    return nullptr;
}
}  // namespace

struct Board::Impl {
    Board& self;
    BoardConfig cfg;
    uc_engine* uc = nullptr;
    uc_hook block_hook = 0, unmapped_hook = 0, intr_hook = 0;

    std::uint8_t* sram = nullptr;
    std::uint8_t* sdram = nullptr;       // the SDRAM chips' cells (shared memory object)
    std::uint8_t* sdram_view = nullptr;  // the cells as stuck address lines show them, if any
    int sdram_fd = -1;
    bool sram_zero = false;

    // time
    std::uint64_t cycles = 0;        // virtual time in CPU cycles
    std::uint64_t instructions = 0;  // retired instructions
    std::uint64_t slice_end = 0;     // the running slice stops at this cycle
    bool in_emu = false;
    bool cpu_running = false;

    // events, ordered by (cycle, id); the id also orders events of one cycle
    EventId next_id = 1;
    std::map<std::pair<std::uint64_t, EventId>, std::function<void()>> events;
    std::unordered_map<EventId, std::uint64_t> event_cycle;

    // MMIO pages: each word of a page points at the peripheral that answers it.
    struct Page {
        Impl* impl;
        std::uint32_t base;
        std::array<Peripheral*, kPage / 4> word{};
    };
    std::map<std::uint32_t, std::unique_ptr<Page>> pages;
    std::vector<std::unique_ptr<Peripheral>> owned;

    // SDRAM
    SdramPort* sdram_port = nullptr;
    bool sdram_direct = false;     // the current mapping
    bool sdram_mapped = false;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sdram_regions;  // mapped (offset, size)
    std::vector<std::uint32_t> sdram_fault_pages;                      // offsets of pages always slow

    Pins pins;

    bool closing = false;
    std::size_t error_count = 0;

    // diagnostics
    std::vector<std::string> errors;
    bool echo = true;
    BoardStats stats;

    // a pending abort found by the unmapped-access hook
    struct Fault {
        bool valid = false;
        bool fetch = false;
        bool write = false;
        std::uint32_t address = 0;
        std::uint32_t pc = 0;
        std::uint64_t value = 0;
        int size = 0;
    } fault;

    // idle detection
    struct PollSeen {
        std::uint64_t signature = 0;
        std::uint64_t epoch = 0;
        std::uint64_t instructions = 0;
        int repeats = 0;
    };
    std::unordered_map<std::uint64_t, PollSeen> polls;
    std::uint64_t epoch = 1;  // changes whenever anything the firmware might poll may have changed
    bool idle = false;
    bool time_dependent = false;
    bool write_quiet = false;  // the device write being handled changed nothing
    std::uint64_t no_idle_until = 0;  // instruction count before which no loop is taken for idle

    Impl(Board& b, BoardConfig c) : self(b), cfg(std::move(c)), pins(cfg.shorts) {}

    void check(uc_err e, const char* what) {
        if (e != UC_ERR_OK) throw std::runtime_error(std::string("unicorn: ") + what + ": " + uc_strerror(e));
    }

    std::uint32_t reg(int r) const {
        std::uint32_t v = 0;
        uc_reg_read(uc, r, &v);
        return v;
    }
    void set_reg(int r, std::uint32_t v) { uc_reg_write(uc, r, &v); }

    // ---------------------------------------------------------------- events
    EventId schedule(std::uint64_t cycle, std::function<void()> fn) {
        EventId id = next_id++;
        events.emplace(std::make_pair(cycle, id), std::move(fn));
        event_cycle.emplace(id, cycle);
        if (in_emu && cycle < slice_end) slice_end = std::max(cycle, cycles);
        return id;
    }
    void cancel(EventId id) {
        auto it = event_cycle.find(id);
        if (it == event_cycle.end()) return;
        events.erase(std::make_pair(it->second, id));
        event_cycle.erase(it);
    }
    std::uint64_t next_event_cycle() const { return events.empty() ? UINT64_MAX : events.begin()->first.first; }
    // Runs one due event; returns false when none is due.
    bool run_one_due_event() {
        if (events.empty() || events.begin()->first.first > cycles) return false;
        auto node = events.extract(events.begin());
        event_cycle.erase(node.key().second);
        ++epoch;
        idle = false;
        node.mapped()();
        return true;
    }

    // ---------------------------------------------------------------- mmio
    // A C++ exception must not unwind through the engine: a model that
    // throws is a model error and the CPU stops.
    template <class F> auto guarded(F&& f) -> decltype(f()) {
        try {
            return f();
        } catch (const std::exception& e) {
            self.model_error(std::string("model failure: ") + e.what() + "; CPU held");
        } catch (...) {
            self.model_error("model failure; CPU held");
        }
        cpu_running = false;
        uc_emu_stop(uc);
        return decltype(f())();
    }

    static std::uint64_t mmio_read_cb(uc_engine*, std::uint64_t offset, unsigned size, void* user) {
        auto* page = static_cast<Page*>(user);
        return page->impl->guarded(
            [&] { return page->impl->mmio_read(page, static_cast<std::uint32_t>(offset), size); });
    }
    static void mmio_write_cb(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user) {
        auto* page = static_cast<Page*>(user);
        page->impl->guarded([&] {
            page->impl->mmio_write(page, static_cast<std::uint32_t>(offset), size, static_cast<std::uint32_t>(value));
        });
    }

    // The bus access in progress, for current_pc().
    bool in_access = false;
    std::uint32_t access_address = 0;
    int access_dir = 0;
    mutable bool access_pc_known = false;
    mutable std::uint32_t access_pc_value = 0;
    struct AccessScope {
        Impl& m;
        AccessScope(Impl& impl, std::uint32_t a, int dir) : m(impl) {
            m.in_access = true;
            m.access_address = a;
            m.access_dir = dir;
            m.access_pc_known = false;
        }
        ~AccessScope() { m.in_access = false; }
    };

    std::uint32_t mmio_read(Page* page, std::uint32_t offset, unsigned size) {
        ++stats.mmio_accesses;
        std::uint32_t addr = page->base + offset;
        AccessScope scope(*this, addr, 1);
        Peripheral* p = page->word[offset / 4];
        if (!p) {
            self.model_error("read (" + std::to_string(size * 8) + " bit) of " + hex(addr) +
                             ": no register there");
            return 0;
        }
        if (size != 4 || (offset & 3)) {
            self.model_error(p->name() + ": " + std::to_string(size * 8) + "-bit read of " + hex(addr) +
                             ": the peripheral bus is 32 bits wide");
        }
        std::uint32_t word_off = (addr & ~3u) - p->base();
        time_dependent = false;
        std::uint32_t v = p->bus_read(word_off);
        note_poll(addr, v);
        if (size == 4) return v;
        return (v >> ((addr & 3) * 8)) & (size == 1 ? 0xFFu : 0xFFFFu);
    }

    void mmio_write(Page* page, std::uint32_t offset, unsigned size, std::uint32_t value) {
        ++stats.mmio_accesses;
        // A write counts as a change (and breaks a poll loop's run of
        // identical visits) unless its model says it changed nothing.
        ++epoch;
        std::uint32_t addr = page->base + offset;
        AccessScope scope(*this, addr, 2);
        Peripheral* p = page->word[offset / 4];
        if (!p) {
            self.model_error("write (" + std::to_string(size * 8) + " bit) of " + hex(value) + " to " + hex(addr) +
                             ": no register there");
            return;
        }
        if (size != 4 || (offset & 3)) {
            self.model_error(p->name() + ": " + std::to_string(size * 8) + "-bit write of " + hex(value) + " to " +
                             hex(addr) + ": the peripheral bus is 32 bits wide; ignored");
            return;
        }
        write_quiet = false;
        p->bus_write(addr - p->base(), value);
        // Take back the change counted above; a wake() from the handler
        // still counts.
        if (write_quiet) --epoch;
    }

    void attach_mmio(Peripheral* p) {
        if (p->size() == 0 || (p->base() & 3) || (p->size() & 3))
            throw std::invalid_argument("peripheral " + p->name() + ": bad window");
        std::uint64_t end = std::uint64_t(p->base()) + p->size();
        for (std::uint64_t a = p->base(); a < end; a += 4) {
            std::uint32_t pbase = static_cast<std::uint32_t>(a) & ~(kPage - 1);
            auto it = pages.find(pbase);
            if (it == pages.end()) {
                auto page = std::make_unique<Page>();
                page->impl = this;
                page->base = pbase;
                check(uc_mmio_map(uc, pbase, kPage, &mmio_read_cb, page.get(), &mmio_write_cb, page.get()),
                      "mmio map");
                it = pages.emplace(pbase, std::move(page)).first;
            }
            auto& slot = it->second->word[(a - pbase) / 4];
            if (slot)
                throw std::invalid_argument("peripheral " + p->name() + " overlaps " + slot->name() + " at " +
                                            hex(a));
            slot = p;
        }
    }

    // ---------------------------------------------------------------- SDRAM
    // The callbacks of a slow window get offsets relative to the window.
    struct SlowWindow {
        Impl* impl;
        std::uint32_t offset;
    };
    std::vector<std::unique_ptr<SlowWindow>> slow_windows;
    static std::uint64_t slow_read_cb(uc_engine*, std::uint64_t offset, unsigned size, void* user) {
        auto* w = static_cast<SlowWindow*>(user);
        return w->impl->guarded(
            [&] { return w->impl->sdram_slow_read(w->offset + static_cast<std::uint32_t>(offset), size); });
    }
    static void slow_write_cb(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value, void* user) {
        auto* w = static_cast<SlowWindow*>(user);
        w->impl->guarded([&] {
            w->impl->sdram_slow_write(w->offset + static_cast<std::uint32_t>(offset), size,
                                      static_cast<std::uint32_t>(value));
        });
    }

    std::uint32_t sdram_slow_read(std::uint32_t offset, unsigned size) {
        AccessScope scope(*this, kSdramBase_ + offset, 1);
        ++stats.sdram_slow_accesses;
        if (!sdram_port) {
            self.model_error(std::to_string(size * 8) + "-bit read of SDRAM at " + hex(kSdramBase + offset) +
                             ": no SDRAM controller");
            return 0;
        }
        return sdram_port->read(offset, size);
    }
    void sdram_slow_write(std::uint32_t offset, unsigned size, std::uint32_t value) {
        ++epoch;
        AccessScope scope(*this, kSdramBase_ + offset, 2);
        ++stats.sdram_slow_accesses;
        if (!sdram_port) {
            self.model_error(std::to_string(size * 8) + "-bit write of " + hex(value) + " to SDRAM at " +
                             hex(kSdramBase + offset) + ": no SDRAM controller");
            return;
        }
        sdram_port->write(offset, size, value);
    }

    void sdram_unmap() {
        for (auto [off, size] : sdram_regions) uc_mem_unmap(uc, kSdramBase + off, size);
        sdram_regions.clear();
        slow_windows.clear();
        sdram_mapped = false;
    }

    void map_slow(std::uint32_t off, std::uint32_t size) {
        auto w = std::make_unique<SlowWindow>(SlowWindow{this, off});
        check(uc_mmio_map(uc, kSdramBase + off, size, &slow_read_cb, w.get(), &slow_write_cb, w.get()),
              "sdram mmio map");
        slow_windows.push_back(std::move(w));
        sdram_regions.emplace_back(off, size);
    }

    // Maps every chunk of 2^addr_low_bit bytes of the view onto the cells it
    // reaches with the stuck address lines. Leaves sdram_view null on failure
    // (the SDRAM then takes the slow path).
    void build_alias_view() {
        void* v = mmap(nullptr, kSdramSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (v == MAP_FAILED) return;
        auto* view = static_cast<std::uint8_t*>(v);
        const std::uint32_t chunk = 1u << addr_low_bit;
        for (std::uint64_t off = 0; off < kSdramSize; off += chunk) {
            std::uint32_t l = static_cast<std::uint32_t>(off), p = (l & addr_and) | addr_or;
            if (mmap(view + l, chunk, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, sdram_fd, p) == MAP_FAILED) {
                munmap(view, kSdramSize);
                return;
            }
        }
        sdram_view = view;
    }

    // The SDRAM cell a bus address reaches (the stuck address lines applied).
    std::uint32_t through_address_lines(std::uint32_t a) const {
        if (a < kSdramBase_ || a - kSdramBase_ >= kSdramSize_) return a;
        return kSdramBase_ + (((a - kSdramBase_) & addr_and) | addr_or);
    }

    // Stuck SDRAM address lines, as masks on the byte offset.
    std::uint32_t addr_and = ~0u, addr_or = 0;
    unsigned addr_low_bit = 32;  // lowest stuck address bit

    void sdram_map() {
        bool direct = sdram_port && sdram_port->direct();
        // Stuck address lines from bit 12 up alias whole pages: that is still
        // plain memory, mapped page by page onto the aliased pages. Lower ones
        // (or together with stuck data bits) need the slow path.
        bool aliased = addr_low_bit < 32;
        if (aliased && (!sdram_view || !sdram_fault_pages.empty())) direct = false;
        if (sdram_mapped && direct == sdram_direct) return;
        sdram_unmap();
        sdram_direct = direct;
        if (!direct) {
            map_slow(0, kSdramSize);
        } else if (aliased) {
            // One region over the view in which the host's page tables do the aliasing.
            check(uc_mem_map_ptr(uc, kSdramBase, kSdramSize, UC_PROT_ALL, sdram_view), "sdram alias map");
            sdram_regions.emplace_back(0, kSdramSize);
        } else {
            std::uint32_t off = 0;
            for (std::uint32_t fp : sdram_fault_pages) {
                if (fp > off) {
                    check(uc_mem_map_ptr(uc, kSdramBase + off, fp - off, UC_PROT_ALL, sdram + off), "sdram map");
                    sdram_regions.emplace_back(off, fp - off);
                }
                map_slow(fp, kPage);
                off = fp + kPage;
            }
            if (off < kSdramSize) {
                check(uc_mem_map_ptr(uc, kSdramBase + off, kSdramSize - off, UC_PROT_ALL, sdram + off),
                      "sdram map");
                sdram_regions.emplace_back(off, kSdramSize - off);
            }
        }
        sdram_mapped = true;
    }

    // ---------------------------------------------------------------- idle
    // A polling read: the same PC reading the same register with the same
    // value, with every CPU register the same and nothing written to a
    // device in between, several times in a row, is a loop that will go on
    // identically until an event changes something.
    void note_poll(std::uint32_t addr, std::uint32_t value) {
        if (!in_emu || time_dependent || instructions < no_idle_until) return;
        static const int regs_ids[] = {UC_ARM_REG_R0,  UC_ARM_REG_R1,  UC_ARM_REG_R2,  UC_ARM_REG_R3,
                                       UC_ARM_REG_R4,  UC_ARM_REG_R5,  UC_ARM_REG_R6,  UC_ARM_REG_R7,
                                       UC_ARM_REG_R8,  UC_ARM_REG_R9,  UC_ARM_REG_R10, UC_ARM_REG_R11,
                                       UC_ARM_REG_R12, UC_ARM_REG_R13, UC_ARM_REG_R14, UC_ARM_REG_R15,
                                       UC_ARM_REG_CPSR};
        constexpr int n = sizeof regs_ids / sizeof regs_ids[0];
        std::uint32_t vals[n];
        void* ptrs[n];
        for (int i = 0; i < n; ++i) ptrs[i] = &vals[i];
        uc_reg_read_batch(uc, const_cast<int*>(regs_ids), ptrs, n);
        std::uint64_t h = 1469598103934665603ull;
        auto mix = [&h](std::uint64_t x) {
            h ^= x;
            h *= 1099511628211ull;
        };
        for (auto v : vals) mix(v);
        mix(addr);
        mix(value);
        std::uint64_t key = (std::uint64_t(vals[15]) << 32) | addr;
        PollSeen& seen = polls[key];
        if (seen.signature == h && seen.epoch == epoch && instructions - seen.instructions <= kIdleMaxLoop) {
            if (++seen.repeats >= kIdleRepeats) {
                idle = true;
                seen.repeats = 0;
                // Stopping the engine inside an access callback makes Unicorn
                // resume at the start of the current block and run its first
                // instructions twice; end the slice at the next block instead.
                slice_end = cycles;
            }
        } else {
            seen.repeats = 0;
        }
        seen.signature = h;
        seen.epoch = epoch;
        seen.instructions = instructions;
        if (polls.size() > 256) polls.clear();
    }

    // ---------------------------------------------------------------- CPU
    std::uint32_t block_pc = 0, block_size = 0;  // the translation block being run
    bool use_forced_pc = false;                  // current_pc() reports forced_pc
    std::uint32_t forced_pc = 0;

    // The engine reports the start of the translation block as the PC of a
    // bus access. The registers, though, are those at the accessing
    // instruction, so the instruction can be found again: the first load or
    // store of the block whose address range, computed from the registers,
    // holds the accessed address.
    // Where the search for the next access's instruction starts in this block.
    mutable std::uint32_t last_access_pc = 0, last_access_address = 0;
    mutable bool last_access_valid = false;

    std::uint32_t access_pc(std::uint32_t address, int dir) const {
        std::uint32_t pc = reg(UC_ARM_REG_PC);
        if (!in_emu || pc != block_pc || block_size == 0) return pc;
        std::uint32_t cpsr = reg(UC_ARM_REG_CPSR);
        if (cpsr & kCpsrT) return pc;
        std::uint32_t from = last_access_valid ? last_access_pc : block_pc;
        for (std::uint32_t a = from; a < block_pc + block_size; a += 4) {
            if (last_access_valid && a == last_access_pc && address == last_access_address) continue;
            std::uint32_t insn = 0;
            if (uc_mem_read(uc, a, &insn, 4) != UC_ERR_OK) break;
            if (!condition_passes(insn >> 28, cpsr)) continue;
            std::uint32_t lo = 0, len = 0;
            int insn_dir = 0;
            if (!access_range(insn, a, lo, len, insn_dir)) continue;
            if (dir && insn_dir && dir != insn_dir) continue;
            if (address - lo < len) {
                last_access_pc = a;
                last_access_address = address;
                last_access_valid = true;
                return a;
            }
        }
        return pc;
    }

    static bool condition_passes(std::uint32_t cond, std::uint32_t cpsr) {
        bool n = cpsr >> 31 & 1, z = cpsr >> 30 & 1, c = cpsr >> 29 & 1, v = cpsr >> 28 & 1;
        switch (cond) {
            case 0x0: return z;
            case 0x1: return !z;
            case 0x2: return c;
            case 0x3: return !c;
            case 0x4: return n;
            case 0x5: return !n;
            case 0x6: return v;
            case 0x7: return !v;
            case 0x8: return c && !z;
            case 0x9: return !c || z;
            case 0xA: return n == v;
            case 0xB: return n != v;
            case 0xC: return !z && n == v;
            case 0xD: return z || n != v;
            case 0xE: return true;
            default: return false;
        }
    }

    std::uint32_t rn_value(std::uint32_t r, std::uint32_t insn_addr) const {
        static const int ids[] = {UC_ARM_REG_R0, UC_ARM_REG_R1,  UC_ARM_REG_R2,  UC_ARM_REG_R3,
                                  UC_ARM_REG_R4, UC_ARM_REG_R5,  UC_ARM_REG_R6,  UC_ARM_REG_R7,
                                  UC_ARM_REG_R8, UC_ARM_REG_R9,  UC_ARM_REG_R10, UC_ARM_REG_R11,
                                  UC_ARM_REG_R12, UC_ARM_REG_R13, UC_ARM_REG_R14};
        return r == 15 ? insn_addr + 8 : reg(ids[r]);
    }

    // The bytes an ARM load/store instruction accesses (ARMv4 encodings).
    bool access_range(std::uint32_t insn, std::uint32_t at, std::uint32_t& lo, std::uint32_t& len, int& dir) const {
        std::uint32_t rn = insn >> 16 & 15;
        // dir: 1 load, 2 store, 0 both (swap)
        dir = (insn & (1u << 20)) ? 1 : 2;
        bool p = insn >> 24 & 1, u = insn >> 23 & 1;
        if ((insn & 0x0C000000) == 0x04000000) {  // LDR/STR(B)
            std::uint32_t off;
            if (insn & (1u << 25)) {
                if (insn & 0x10) return false;
                std::uint32_t rm = rn_value(insn & 15, at), sh = insn >> 7 & 31;
                switch (insn >> 5 & 3) {
                    case 0: off = rm << sh; break;
                    case 1: off = sh ? rm >> sh : 0; break;
                    case 2: off = static_cast<std::uint32_t>(static_cast<std::int32_t>(rm) >> (sh ? sh : 31)); break;
                    default:
                        off = sh ? (rm >> sh | rm << (32 - sh))
                                 : ((reg(UC_ARM_REG_CPSR) >> 29 & 1) << 31 | rm >> 1);
                }
            } else {
                off = insn & 0xFFF;
            }
            std::uint32_t base = rn_value(rn, at);
            lo = p ? (u ? base + off : base - off) : base;
            len = (insn & (1u << 22)) ? 1 : 4;
            return true;
        }
        if ((insn & 0x0E000090) == 0x00000090 && (insn & 0x60)) {  // halfword and signed transfers
            std::uint32_t off = (insn & (1u << 22)) ? ((insn >> 4 & 0xF0) | (insn & 15)) : rn_value(insn & 15, at);
            std::uint32_t base = rn_value(rn, at);
            lo = p ? (u ? base + off : base - off) : base;
            len = (insn & 0x20) ? 2 : 1;
            return true;
        }
        if ((insn & 0x0FB00FF0) == 0x01000090) {  // SWP(B)
            dir = 0;
            lo = rn_value(rn, at);
            len = (insn & (1u << 22)) ? 1 : 4;
            return true;
        }
        if ((insn & 0x0E000000) == 0x08000000) {  // LDM/STM
            std::uint32_t n = static_cast<std::uint32_t>(__builtin_popcount(insn & 0xFFFF));
            std::uint32_t base = rn_value(rn, at);
            if (u)
                lo = p ? base + 4 : base;
            else
                lo = p ? base - 4 * n : base - 4 * n + 4;
            len = 4 * n;
            return true;
        }
        return false;
    }

    static void block_cb(uc_engine* uc, std::uint64_t address, std::uint32_t size, void* user) {
        auto* impl = static_cast<Impl*>(user);
        impl->block_pc = static_cast<std::uint32_t>(address);
        impl->block_size = size;
        impl->last_access_valid = false;
        std::uint64_t n = size ? (size + 3) / 4 : 1;
        impl->instructions += n;
        impl->cycles += n;
        if (impl->cycles >= impl->slice_end) uc_emu_stop(uc);
    }

    static bool unmapped_cb(uc_engine*, uc_mem_type type, std::uint64_t address, int size, std::int64_t value,
                            void* user) {
        auto* impl = static_cast<Impl*>(user);
        Fault& f = impl->fault;
        f.valid = true;
        f.fetch = type == UC_MEM_FETCH_UNMAPPED;
        f.write = type == UC_MEM_WRITE_UNMAPPED;
        f.address = static_cast<std::uint32_t>(address);
        f.size = size;
        f.value = static_cast<std::uint64_t>(value);
        f.pc = f.fetch ? f.address : impl->access_pc(f.address, f.write ? 2 : 1);
        return false;
    }

    static void intr_cb(uc_engine*, std::uint32_t intno, void* user) {
        auto* impl = static_cast<Impl*>(user);
        impl->pending_intr = static_cast<int>(intno);
        impl->pending_intr_pc = impl->reg(UC_ARM_REG_PC);
        uc_emu_stop(impl->uc);
    }
    int pending_intr = -1;
    std::uint32_t pending_intr_pc = 0;

    std::uint32_t vector_base() const {
        uc_arm_cp_reg cp{};
        cp.cp = 15;
        cp.crn = 1;
        if (uc_reg_read(uc, UC_ARM_REG_CP_REG, &cp) != UC_ERR_OK) return 0;
        return (cp.val & kCp15V) ? 0xFFFF0000u : 0;
    }

    // Takes an exception as the ARM920T does: SPSR_<mode> = CPSR, LR_<mode>
    // = the return address, CPSR mode = <mode> with IRQs masked (FIQ mask
    // unchanged, ARM state), PC = the vector.
    void enter_exception(std::uint32_t mode, std::uint32_t lr, std::uint32_t vector_offset) {
        ++stats.exceptions;
        // The exception entry takes a few cycles (pipeline refill).
        cycles += 3;
        std::uint32_t vector = vector_base() + vector_offset;
        if (!host_byte(sram, sdram, sram_zero, vector)) {
            self.model_error("exception vector " + hex(vector) + " is not in memory; CPU held");
            cpu_running = false;
            return;
        }
        std::uint32_t cpsr = reg(UC_ARM_REG_CPSR);
        std::uint32_t ncpsr = (cpsr & ~(kModeMask | kCpsrT)) | mode | kCpsrI;
        set_reg(UC_ARM_REG_CPSR, ncpsr);
        set_reg(UC_ARM_REG_SPSR, cpsr);
        set_reg(UC_ARM_REG_LR, lr);
        set_reg(UC_ARM_REG_PC, vector);
    }

    // Runs the CPU from its current state until `until` (a cycle count) at
    // most. Handles exceptions the engine reports instead of taking them.
    void run_slice(std::uint64_t until) {
        ++stats.slices;
        slice_end = until;
        fault = Fault{};
        pending_intr = -1;
        std::uint32_t pc = reg(UC_ARM_REG_PC);
        std::uint32_t cpsr = reg(UC_ARM_REG_CPSR);
        if (cpsr & kCpsrT) pc |= 1;
        in_emu = true;
        uc_err err = uc_emu_start(uc, pc, 0xFFFFFFFFFFFFFFFFull, 0, 0);
        in_emu = false;
        if (fault.valid) {
            std::uint32_t fpc = fault.pc;
            forced_pc = fpc;
            use_forced_pc = true;
            if (fault.fetch) {
                self.model_error("prefetch abort: instruction fetch from unmapped address " + hex(fault.address));
                enter_exception(kModeAbt, fault.address + 4, 0x0C);
            } else {
                self.model_error(std::string("data abort: ") + std::to_string(fault.size * 8) + "-bit " +
                                 (fault.write ? "write of " + hex(fault.value) + " to " : "read of ") +
                                 "unmapped address " + hex(fault.address));
                enter_exception(kModeAbt, fpc + 8, 0x10);
            }
            use_forced_pc = false;
            return;
        }
        if (pending_intr >= 0) {
            take_intr(pending_intr, pending_intr_pc);
            return;
        }
        if (err == UC_ERR_INSN_INVALID || err == UC_ERR_EXCEPTION) {
            std::uint32_t at = reg(UC_ARM_REG_PC);
            enter_exception(kModeUnd, at + 4, 0x04);
            return;
        }
        if (err == UC_ERR_FETCH_PROT) {
            std::uint32_t at = reg(UC_ARM_REG_PC);
            if (at >= kSdramBase_ && at - kSdramBase_ < kSdramSize_)
                self.model_error("instruction fetch from SDRAM at " + hex(at) +
                                 " while the board serves that page through the SDRAM controller model (command "
                                 "mode, unusable SDRAM, lost data lines or an injected fault): not supported; CPU "
                                 "held");
            else
                self.model_error("instruction fetch from a device register at " + hex(at) + "; CPU held");
            cpu_running = false;
            return;
        }
        if (err != UC_ERR_OK) {
            self.model_error(std::string("CPU stopped: ") + uc_strerror(err));
            cpu_running = false;
        }
    }

    // QEMU's ARM exception numbers as Unicorn passes them to an interrupt hook.
    void take_intr(int intno, std::uint32_t pc) {
        switch (intno) {
            case 1:  // undefined instruction; PC is the instruction
                enter_exception(kModeUnd, pc + 4, 0x04);
                break;
            case 2:  // SWI; PC is the next instruction
                enter_exception(kModeSvc, pc, 0x08);
                break;
            case 3:  // prefetch abort
                enter_exception(kModeAbt, pc + 4, 0x0C);
                break;
            case 4:  // data abort
                enter_exception(kModeAbt, pc + 8, 0x10);
                break;
            default:
                self.model_error("CPU exception " + std::to_string(intno) + " not modelled; CPU held");
                cpu_running = false;
        }
    }
};

// ==================================================================== Board

Board::Board(BoardConfig config) : impl_(std::make_unique<Impl>(*this, std::move(config))) {
    Impl& m = *impl_;
    m.check(uc_open(UC_ARCH_ARM, UC_MODE_ARM, &m.uc), "open");
    m.check(uc_ctl_set_cpu_model(m.uc, UC_CPU_ARM_TI925T), "cpu model");

    m.sram = static_cast<std::uint8_t*>(std::aligned_alloc(kPage, kSramSize));
    std::memset(m.sram, 0, kSramSize);
    // The SDRAM lives in a memory object, so that a second view can alias its
    // pages the way stuck address lines do.
    m.sdram_fd = memfd_create("vboard-sdram", MFD_CLOEXEC);
    if (m.sdram_fd < 0 || ftruncate(m.sdram_fd, kSdramSize) != 0)
        throw std::runtime_error("cannot create the SDRAM memory object");
    void* sd = mmap(nullptr, kSdramSize, PROT_READ | PROT_WRITE, MAP_SHARED, m.sdram_fd, 0);
    if (sd == MAP_FAILED) throw std::runtime_error("cannot allocate the SDRAM buffer");
    m.sdram = static_cast<std::uint8_t*>(sd);

    m.check(uc_mem_map_ptr(m.uc, kSramBase, kSramSize, UC_PROT_ALL, m.sram), "sram map");

    for (const auto& s : m.cfg.sdram_stuck) {
        if (s.address < kSdramBase || s.address - kSdramBase >= kSdramSize) continue;
        std::uint32_t page = (s.address - kSdramBase) & ~(kPage - 1);
        if (std::find(m.sdram_fault_pages.begin(), m.sdram_fault_pages.end(), page) == m.sdram_fault_pages.end())
            m.sdram_fault_pages.push_back(page);
    }
    std::sort(m.sdram_fault_pages.begin(), m.sdram_fault_pages.end());
    for (const auto& a : m.cfg.sdram_addr_stuck) {
        if (a.bit < 2 || a.bit > 25) continue;
        if (a.value)
            m.addr_or |= 1u << a.bit;
        else
            m.addr_and &= ~(1u << a.bit);
        m.addr_low_bit = std::min(m.addr_low_bit, a.bit);
    }
    if (m.addr_low_bit < 32 && (1u << m.addr_low_bit) >= static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE)))
        m.build_alias_view();
    m.sdram_map();

    m.check(uc_hook_add(m.uc, &m.block_hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(&Impl::block_cb), &m, 1, 0),
            "block hook");
    m.check(uc_hook_add(m.uc, &m.unmapped_hook, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void*>(&Impl::unmapped_cb),
                        &m, 1, 0),
            "unmapped hook");
    m.check(uc_hook_add(m.uc, &m.intr_hook, UC_HOOK_INTR, reinterpret_cast<void*>(&Impl::intr_cb), &m, 1, 0),
            "intr hook");

    attach_soc_models(*this);
    reset();
}

Board::~Board() {
    impl_->closing = true;
    peripherals_.clear();
    impl_->owned.clear();
    if (impl_->uc) uc_close(impl_->uc);
    std::free(impl_->sram);
    munmap(impl_->sdram, kSdramSize);
    if (impl_->sdram_view) munmap(impl_->sdram_view, kSdramSize);
    if (impl_->sdram_fd >= 0) close(impl_->sdram_fd);
}

const BoardConfig& Board::config() const { return impl_->cfg; }

Nanos Board::now() const { return cycles_to_ns(impl_->cycles); }

Board::EventId Board::at(Nanos when, std::function<void()> fn) {
    return impl_->schedule(std::max(ns_to_cycles_ceil(when), impl_->cycles), std::move(fn));
}

Board::EventId Board::after(Nanos delay, std::function<void()> fn) { return at(now() + delay, std::move(fn)); }

void Board::cancel(EventId id) { impl_->cancel(id); }

bool Board::run_until(Nanos deadline, const std::function<bool()>& done) {
    Impl& m = *impl_;
    if (m.in_emu) throw std::logic_error("Board::run_until called from inside the CPU");
    const std::uint64_t end = ns_to_cycles_ceil(deadline);
    for (;;) {
        if (done && done()) return true;
        if (m.run_one_due_event()) continue;
        if (m.cycles >= end) return false;
        std::uint64_t next = std::min(m.next_event_cycle(), end);
        if (!m.cpu_running || m.idle) {
            if (m.cpu_running && next > m.cycles) {
                ++m.stats.idle_skips;
                m.stats.idle_skipped += cycles_to_ns(next) - cycles_to_ns(m.cycles);
            }
            // Still idle afterwards unless an event changes something.
            m.cycles = std::max(m.cycles, next);
            continue;
        }
        m.run_slice(next);
    }
}

void Board::wake() {
    ++impl_->epoch;
    impl_->idle = false;
}

bool Board::idle() const { return !impl_->cpu_running || impl_->idle; }

void Board::time_dependent_read() {
    impl_->time_dependent = true;
    // A loop that reads such a register may keep its value in a register
    // while it polls others: no idle detection for a while.
    impl_->no_idle_until = impl_->instructions + 4 * kIdleMaxLoop;
}

void Board::quiet_write() { impl_->write_quiet = true; }

void Board::cpu_start(std::uint32_t pc, std::uint32_t cpsr) {
    Impl& m = *impl_;
    m.set_reg(UC_ARM_REG_CPSR, cpsr);
    m.set_reg(UC_ARM_REG_PC, pc & ~1u);
    m.cpu_running = true;
    m.idle = false;
    ++m.epoch;
    if (m.in_emu) uc_emu_stop(m.uc);
}

void Board::cpu_hold() {
    impl_->cpu_running = false;
    if (impl_->in_emu) uc_emu_stop(impl_->uc);
}

bool Board::cpu_running() const { return impl_->cpu_running; }

std::uint32_t Board::cpu_reg(int n) const {
    if (n == 16) return impl_->reg(UC_ARM_REG_CPSR);
    if (n < 0 || n > 16) return 0;
    static const int ids[] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2,  UC_ARM_REG_R3,  UC_ARM_REG_R4,
                              UC_ARM_REG_R5, UC_ARM_REG_R6, UC_ARM_REG_R7,  UC_ARM_REG_R8,  UC_ARM_REG_R9,
                              UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12, UC_ARM_REG_R13, UC_ARM_REG_R14,
                              UC_ARM_REG_R15};
    return impl_->reg(ids[n]);
}

void Board::reset() {
    Impl& m = *impl_;
    cpu_hold();
    m.events.clear();
    m.event_cycle.clear();
    m.idle = false;
    ++m.epoch;
    remap_sram(false);
    // The core comes out of reset in Supervisor mode with IRQ and FIQ masked.
    m.set_reg(UC_ARM_REG_CPSR, 0xD3);
    m.set_reg(UC_ARM_REG_PC, 0);
    m.pins.reset();
    for (auto* p : peripherals_) p->reset();
    sdram_changed();
}

void Board::remap_sram(bool at_zero) {
    Impl& m = *impl_;
    if (at_zero == m.sram_zero) return;
    uc_err e = at_zero ? uc_mem_map_ptr(m.uc, 0, kSramSize, UC_PROT_ALL, m.sram) : uc_mem_unmap(m.uc, 0, kSramSize);
    if (e != UC_ERR_OK) {
        model_error(std::string("SRAM remap failed: ") + uc_strerror(e));
        return;
    }
    m.sram_zero = at_zero;
}

bool Board::sram_at_zero() const { return impl_->sram_zero; }


bool Board::peek(std::uint32_t addr, void* out, std::size_t n) const {
    auto* o = static_cast<std::uint8_t*>(out);
    for (std::size_t i = 0; i < n; ++i) {
        auto* p = host_byte(impl_->sram, impl_->sdram, impl_->sram_zero,
                            impl_->through_address_lines(addr + static_cast<std::uint32_t>(i)));
        if (!p) return false;
        o[i] = *p;
    }
    return true;
}

bool Board::poke(std::uint32_t addr, const void* in, std::size_t n) {
    const auto* s = static_cast<const std::uint8_t*>(in);
    for (std::size_t i = 0; i < n; ++i) {
        auto* p = host_byte(impl_->sram, impl_->sdram, impl_->sram_zero,
                            impl_->through_address_lines(addr + static_cast<std::uint32_t>(i)));
        if (!p) return false;
        *p = s[i];
    }
    // Code may have been replaced: drop the translations of that range.
    if (n) uc_ctl_remove_cache(impl_->uc, addr, std::uint64_t(addr) + n);
    // The SRAM is seen at two addresses; translations may come from either.
    if (n && addr >= kSramBase && addr - kSramBase < kSramSize && impl_->sram_zero)
        uc_ctl_remove_cache(impl_->uc, addr - kSramBase, std::uint64_t(addr - kSramBase) + n);
    else if (n && addr < kSramSize && impl_->sram_zero)
        uc_ctl_remove_cache(impl_->uc, addr + kSramBase, std::uint64_t(addr + kSramBase) + n);
    return true;
}

std::uint8_t* Board::sram() { return impl_->sram; }
std::uint8_t* Board::sdram() { return impl_->sdram; }

Peripheral& Board::attach(std::unique_ptr<Peripheral> p) {
    Impl& m = *impl_;
    m.attach_mmio(p.get());
    peripherals_.push_back(p.get());
    m.owned.push_back(std::move(p));
    return *m.owned.back();
}

Pins& Board::pins() { return impl_->pins; }

void Board::set_sdram_port(SdramPort* port) {
    impl_->sdram_port = port;
    sdram_changed();
}

void Board::sdram_changed() {
    if (!impl_->closing) impl_->sdram_map();
}

void Board::model_error(const std::string& text) {
    Impl& m = *impl_;
    ++m.error_count;
    if (m.errors.size() >= kMaxStoredErrors) return;  // a loop of errors must not eat the memory
    std::string line = "[" + std::to_string(now()) + " ns, pc " + hex(current_pc()) + "] " + text;
    if (m.echo && m.errors.size() < 100) std::fprintf(stderr, "vboard: model error: %s\n", line.c_str());
    m.errors.push_back(std::move(line));
}

const std::vector<std::string>& Board::model_errors() const { return impl_->errors; }

std::uint32_t Board::current_pc() const {
    if (impl_->use_forced_pc) return impl_->forced_pc;
    if (impl_->in_access) {
        if (!impl_->access_pc_known) {
            impl_->access_pc_value = impl_->access_pc(impl_->access_address, impl_->access_dir);
            impl_->access_pc_known = true;
        }
        return impl_->access_pc_value;
    }
    return impl_->reg(UC_ARM_REG_PC);
}

void Board::set_error_echo(bool on) { impl_->echo = on; }

BoardStats Board::stats() const {
    BoardStats s = impl_->stats;
    s.instructions = impl_->instructions;
    s.virtual_time = now();
    s.model_errors = impl_->error_count;
    return s;
}

}  // namespace vboard
