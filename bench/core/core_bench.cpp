// Instructions per wall second: raw Unicorn (no hooks, plain RAM) against the
// Board (block counting, models, SDRAM through the controller model's fast
// path) on the same memory-test-like loop over SDRAM.
//
//   core_bench [PASSES]   (default 1000 passes over 64 KiB: 164 M instructions)
#include <unicorn/unicorn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "core/board.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kParams = 0x00203F00, kSdram = 0x20000000, kWords = 16384;

std::vector<std::uint8_t> load(const char* path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        std::fprintf(stderr, "cannot open %s\n", path);
        std::exit(2);
    }
    return {std::istreambuf_iterator<char>(f), {}};
}

std::uint64_t loop_instructions(std::uint32_t passes) { return 6 + std::uint64_t(passes) * (4 + 10ull * kWords); }

std::uint64_t stop_read(uc_engine* uc, std::uint64_t, unsigned, void*) {
    uc_emu_stop(uc);
    return 0;
}

double raw_unicorn(const std::vector<std::uint8_t>& prog, std::uint32_t passes, std::uint32_t& r5) {
    uc_engine* uc;
    uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc);
    uc_ctl_set_cpu_model(uc, UC_CPU_ARM_TI925T);
    std::vector<std::uint8_t> sram(16384);
    std::memcpy(sram.data(), prog.data(), prog.size());
    std::uint32_t params[3] = {kSdram, passes, kWords};
    std::memcpy(sram.data() + (kParams - 0x200000), params, sizeof params);
    uc_mem_map_ptr(uc, 0x200000, sram.size(), UC_PROT_ALL, sram.data());
    uc_mem_map(uc, kSdram, 64u << 20, UC_PROT_ALL);
    // The parking loop's first read of PMC_SR ends the run.
    uc_mmio_map(uc, 0xFFFFF000, 0x1000, stop_read, nullptr, nullptr, nullptr);
    auto t0 = Clock::now();
    uc_emu_start(uc, 0x200000, 0xFFFFFFFF, 0, 0);
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    uc_reg_read(uc, UC_ARM_REG_R5, &r5);
    uc_close(uc);
    return s;
}

struct Op {
    std::uint32_t op, addr, value;
};

double board_run(const std::vector<std::uint8_t>& prog, const std::vector<std::uint8_t>& script_prog,
                 std::uint32_t passes, std::uint32_t& r5, vboard::BoardStats& stats) {
    using vboard::Board;
    Board board({});
    // The SDRAM set-up of the start-up code, through the CPU.
    std::vector<Op> ops = {{1, 0xFFFFF870, 0xFFFF0000}, {1, 0xFFFFF874, 0}, {1, 0xFFFFF804, 0xFFFF0000},
                           {1, 0xFFFFFF60, 2},          {1, 0xFFFFFF98, 0x0A1130D9}, {1, 0xFFFFFF90, 2},
                           {1, kSdram, 0},              {1, 0xFFFFFF90, 4}};
    for (int i = 0; i < 8; ++i) ops.push_back({1, kSdram, 0});
    for (Op op : {Op{1, 0xFFFFFF90, 3}, Op{1, kSdram + 0x880, 0}, Op{1, 0xFFFFFF94, 0x1D4}, Op{1, kSdram, 0},
                  Op{1, 0xFFFFFF90, 0}, Op{1, kSdram, 0}, Op{0, 0, 0}})
        ops.push_back(op);
    board.poke(Board::kSramBase, script_prog.data(), script_prog.size());
    board.poke(0x00200400, ops.data(), ops.size() * sizeof(Op));
    board.cpu_start(Board::kSramBase, 0xD3);
    board.run_until(10'000'000);
    if (!board.model_errors().empty()) {
        std::fprintf(stderr, "SDRAM set-up failed: %s\n", board.model_errors()[0].c_str());
        std::exit(1);
    }

    board.poke(Board::kSramBase, prog.data(), prog.size());
    std::uint32_t params[3] = {kSdram, passes, kWords};
    board.poke(kParams, params, sizeof params);
    auto before = board.stats();
    board.cpu_start(Board::kSramBase, 0xD3);
    auto t0 = Clock::now();
    board.run_until(board.now() + 3'600'000'000'000ull, [&] { return board.cpu_reg(5) != 0; });
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    r5 = board.cpu_reg(5);
    for (auto& e : board.model_errors()) std::fprintf(stderr, "%s\n", e.c_str());
    stats = board.stats();
    stats.instructions -= before.instructions;
    stats.slices -= before.slices;
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint32_t passes = argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 0)) : 1000;
    auto prog = load(ARM_PROGRAM_BENCH_MEMLOOP_BIN);
    auto script = load(ARM_PROGRAM_BENCH_BUS_SCRIPT_BIN);
    const double n = static_cast<double>(loop_instructions(passes));

    std::uint32_t r5_raw = 0, r5_board = 0;
    vboard::BoardStats st;
    double raw = raw_unicorn(prog, passes, r5_raw);
    double brd = board_run(prog, script, passes, r5_board, st);
    if (r5_raw != 0x600D || r5_board != 0x600D) {
        std::fprintf(stderr, "loop failed: raw r5=0x%X board r5=0x%X\n", r5_raw, r5_board);
        return 1;
    }
    std::printf("memory-test loop over 64 KiB of SDRAM, %u passes, %.0f instructions\n", passes, n);
    std::printf("raw unicorn : %8.3f s  %7.1f M instructions/s\n", raw, n / raw / 1e6);
    std::printf("board       : %8.3f s  %7.1f M instructions/s  (counted %llu, %llu slices)\n", brd,
                double(st.instructions) / brd / 1e6, static_cast<unsigned long long>(st.instructions),
                static_cast<unsigned long long>(st.slices));
    std::printf("overhead    : %8.2fx\n", brd / raw);
    return 0;
}
