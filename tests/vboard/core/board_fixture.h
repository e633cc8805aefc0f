// Helpers for the core model tests: a Board with one of the small ARM test
// programs loaded, and the bus-script program that performs a list of bus
// accesses through the emulated CPU.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/board.h"

namespace vboard::test {

inline std::vector<std::uint8_t> read_file(const char* path) {
    std::ifstream f(path, std::ios::binary);
    EXPECT_TRUE(f) << "cannot open " << path;
    return {std::istreambuf_iterator<char>(f), {}};
}

// Copies a flat image into the internal SRAM (the program runs at
// kSramBase, or at 0 once the SRAM is remapped).
inline void load_sram(Board& board, const char* path) {
    auto image = read_file(path);
    ASSERT_LE(image.size(), std::size_t(Board::kSramSize));
    ASSERT_TRUE(board.poke(Board::kSramBase, image.data(), image.size()));
}

inline std::string join_errors(const Board& board) {
    std::ostringstream out;
    for (const auto& e : board.model_errors()) out << "  " << e << "\n";
    return out.str();
}

// One bus access of a script (see arm/bus_script.S).
struct Op {
    enum : std::uint32_t { End, Write, Read, Write8, Read8, Write16, Read16, Poll, Spin };
    std::uint32_t op, addr, value;
};
inline Op wr(std::uint32_t a, std::uint32_t v) { return {Op::Write, a, v}; }
inline Op rd(std::uint32_t a) { return {Op::Read, a, 0}; }
inline Op poll(std::uint32_t a, std::uint32_t mask) { return {Op::Poll, a, mask}; }
inline Op spin(std::uint32_t n) { return {Op::Spin, 0, n}; }

#ifdef ARM_PROGRAM_BUS_SCRIPT_BIN
// Runs scripts of bus accesses through the CPU.
class ScriptBoard {
public:
    static constexpr std::uint32_t kScript = 0x00200400;

    explicit ScriptBoard(BoardConfig config = {}) : board(std::move(config)) {
        board.set_error_echo(false);
        load_sram(board, ARM_PROGRAM_BUS_SCRIPT_BIN);
    }

    // Runs the script from the start; returns the script words afterwards
    // (reads have replaced their value). Stops when the CPU reaches the idle
    // loop at the end, or at `limit` of virtual time.
    std::vector<Op> run(std::vector<Op> ops, Nanos limit = 50'000'000) {
        ops.push_back({Op::End, 0, 0});
        EXPECT_TRUE(board.poke(kScript, ops.data(), ops.size() * sizeof(Op)));
        end_ = kScript + static_cast<std::uint32_t>(ops.size() * sizeof(Op));
        board.cpu_start(Board::kSramBase, 0xD3);
        finished = board.run_until(board.now() + limit, [this] { return at_end(); });
        std::vector<Op> out(ops.size());
        board.peek(kScript, out.data(), out.size() * sizeof(Op));
        out.pop_back();
        return out;
    }
    // The value of the n-th operation after run().
    static std::uint32_t value(const std::vector<Op>& ops, std::size_t n) { return ops.at(n).value; }

    // The program has read the End entry of this script.
    bool at_end() const { return board.cpu_reg(4) == end_; }

    Board board;
    bool finished = false;

private:
    std::uint32_t end_ = 0;
};
#endif

}  // namespace vboard::test
