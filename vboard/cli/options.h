// The `vboard` command line, parsed and checked into what main() runs.
#pragma once

#include <string>
#include <vector>

#include "core/board.h"

namespace vboard::cli {

enum class Command { Help, Serve, Run, Reset };

struct Options {
    Command command = Command::Help;
    std::string socket;                 // --socket PATH
    std::string console;                // --console FILE ("-" standard output); empty: none
    bool stats = false;                 // --stats
    bool board_options = false;         // any option that configures a board was given
    BoardConfig board;                  // faults (the console sink is set by main)
    std::vector<std::string> program;   // run: COMMAND [ARG...]
};

struct ParseResult {
    bool ok = false;
    Options options;
    std::string error;  // when !ok: the message, without the "vboard: " prefix
};

// `args` excludes the program name. Checks every option's value and the
// combination of options with the command.
ParseResult parse_command_line(const std::vector<std::string>& args);

// A PIO line "PA0".."PD31" as port * 32 + bit, or -1.
int parse_pio_line(const std::string& text);

// The manual-page style usage text.
std::string usage_text();

}  // namespace vboard::cli
