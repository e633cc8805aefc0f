#include "cli/options.h"

#include <cctype>
#include <cstdint>
#include <optional>

namespace vboard::cli {
namespace {

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : s) {
        if (c == sep) {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    parts.push_back(cur);
    return parts;
}

// A whole unsigned number, decimal or 0x-hexadecimal, no larger than `max`.
std::optional<std::uint64_t> parse_number(const std::string& s, std::uint64_t max) {
    if (s.empty()) return std::nullopt;
    std::size_t pos = 0;
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        pos = 2;
    }
    std::uint64_t v = 0;
    for (; pos < s.size(); ++pos) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(s[pos])));
        unsigned d;
        if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
        else return std::nullopt;
        v = v * base + d;
        if (v > max) return std::nullopt;
    }
    return v;
}

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Each checker returns an error message, or "" when the value is good.
std::string add_short(const std::string& v, BoardConfig& cfg) {
    const auto parts = split(v, ':');
    if (parts.size() != 2) return "--short wants LINE:gnd, LINE:3v3 or LINE:LINE, not '" + v + "'";
    const int line = parse_pio_line(parts[0]);
    if (line < 0) return "--short: '" + parts[0] + "' is not a PIO line (PA0..PD31)";
    const std::string other = lower(parts[1]);
    if (other == "gnd") {
        cfg.shorts.push_back({PinShort::Kind::Gnd, line, -1});
    } else if (other == "3v3") {
        cfg.shorts.push_back({PinShort::Kind::V33, line, -1});
    } else {
        const int to = parse_pio_line(parts[1]);
        if (to < 0) return "--short: '" + parts[1] + "' is neither gnd, 3v3 nor a PIO line (PA0..PD31)";
        if (to == line) return "--short: a line cannot be shorted to itself ('" + v + "')";
        cfg.shorts.push_back({PinShort::Kind::Line, line, to});
    }
    return "";
}

std::string add_sdram_stuck(const std::string& v, BoardConfig& cfg) {
    const auto parts = split(v, ':');
    if (parts.size() != 3) return "--sdram-stuck wants ADDR:BIT:VALUE, not '" + v + "'";
    const auto addr = parse_number(parts[0], 0xFFFFFFFF);
    if (!addr || *addr < Board::kSdramBase || *addr >= Board::kSdramBase + std::uint64_t{Board::kSdramSize} ||
        (*addr & 3))
        return "--sdram-stuck: address '" + parts[0] + "' is not a word address in SDRAM (0x20000000..0x23fffffc)";
    const auto bit = parse_number(parts[1], 31);
    if (!bit) return "--sdram-stuck: bit '" + parts[1] + "' is not 0..31";
    const auto value = parse_number(parts[2], 1);
    if (!value || parts[2].size() != 1) return "--sdram-stuck: value '" + parts[2] + "' is not 0 or 1";
    cfg.sdram_stuck.push_back({static_cast<std::uint32_t>(*addr), static_cast<unsigned>(*bit),
                               static_cast<unsigned>(*value)});
    return "";
}

std::string add_sdram_addr_stuck(const std::string& v, BoardConfig& cfg) {
    const auto parts = split(v, ':');
    if (parts.size() != 2) return "--sdram-addr-stuck wants BIT:VALUE, not '" + v + "'";
    const auto bit = parse_number(parts[0], 25);
    if (!bit || *bit < 2) return "--sdram-addr-stuck: bit '" + parts[0] + "' is not 2..25";
    const auto value = parse_number(parts[1], 1);
    if (!value || parts[1].size() != 1) return "--sdram-addr-stuck: value '" + parts[1] + "' is not 0 or 1";
    cfg.sdram_addr_stuck.push_back({static_cast<unsigned>(*bit), static_cast<unsigned>(*value)});
    return "";
}

}  // namespace

int parse_pio_line(const std::string& text) {
    if (text.size() < 3 || text.size() > 4) return -1;
    if (std::toupper(static_cast<unsigned char>(text[0])) != 'P') return -1;
    const int port = std::toupper(static_cast<unsigned char>(text[1])) - 'A';
    if (port < 0 || port > 3) return -1;
    const std::string num = text.substr(2);
    if (num.size() > 1 && num[0] == '0') return -1;
    const auto bit = parse_number(num, 31);
    if (!bit || num.find_first_not_of("0123456789") != std::string::npos) return -1;
    return port * 32 + static_cast<int>(*bit);
}

ParseResult parse_command_line(const std::vector<std::string>& args) {
    ParseResult res;
    Options& o = res.options;
    auto fail = [&](std::string msg) {
        res.ok = false;
        res.error = std::move(msg);
        return res;
    };
    if (args.empty()) return fail("no command given; try 'vboard --help'");
    const std::string& cmd = args[0];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        o.command = Command::Help;
        if (args.size() > 1) return fail("'" + cmd + "' takes no arguments");
        res.ok = true;
        return res;
    }
    if (cmd == "serve") o.command = Command::Serve;
    else if (cmd == "run") o.command = Command::Run;
    else if (cmd == "reset") o.command = Command::Reset;
    else return fail("unknown command '" + cmd + "'; the commands are serve, run and reset");

    std::size_t i = 1;
    bool have_bootrom_state = false;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a.rfind("--", 0) != 0) return fail("unexpected argument '" + a + "' (a command to run follows '--')");
        std::string name = a, value;
        bool has_value = false;
        if (const auto eq = a.find('='); eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            has_value = true;
        }
        const bool flag = name == "--stats" || name == "--help";
        const bool valued = name == "--socket" || name == "--console" || name == "--short" ||
                            name == "--sdram-stuck" || name == "--sdram-addr-stuck" || name == "--bootrom-state";
        if (!flag && !valued) return fail("unknown option '" + name + "'");
        if (flag) {
            if (has_value) return fail("option '" + name + "' takes no value");
            if (name == "--help") {
                o.command = Command::Help;
                res.ok = true;
                return res;
            }
            o.stats = true;
            o.board_options = true;
            continue;
        }
        if (!has_value) {
            if (i + 1 >= args.size()) return fail("option '" + name + "' needs a value");
            value = args[++i];
        }
        std::string err;
        if (name == "--socket") {
            if (value.empty()) return fail("--socket needs a path");
            if (!o.socket.empty()) return fail("--socket given twice");
            o.socket = value;
            continue;
        }
        o.board_options = true;
        if (name == "--console") {
            if (value.empty()) return fail("--console needs a file name or '-'");
            if (!o.console.empty()) return fail("--console given twice");
            o.console = value;
        } else if (name == "--short") {
            err = add_short(value, o.board);
        } else if (name == "--sdram-stuck") {
            err = add_sdram_stuck(value, o.board);
        } else if (name == "--sdram-addr-stuck") {
            err = add_sdram_addr_stuck(value, o.board);
        } else if (name == "--bootrom-state") {
            if (value != "appidle") return fail("--bootrom-state: unknown state '" + value + "' (known: appidle)");
            if (have_bootrom_state) return fail("--bootrom-state given twice");
            have_bootrom_state = true;
            o.board.bootrom_appidle = true;
        }
        if (!err.empty()) return fail(err);
    }
    for (; i < args.size(); ++i) o.program.push_back(args[i]);

    switch (o.command) {
    case Command::Serve:
        if (o.socket.empty()) return fail("serve needs --socket PATH");
        if (!o.program.empty()) return fail("serve runs no command");
        break;
    case Command::Run:
        if (o.program.empty()) return fail("run needs a command after '--'");
        if (!o.socket.empty() && o.board_options)
            return fail("run --socket uses the board that 'vboard serve' holds; give board options to serve");
        break;
    case Command::Reset:
        if (o.socket.empty()) return fail("reset needs --socket PATH");
        if (o.board_options) return fail("reset takes only --socket");
        if (!o.program.empty()) return fail("reset runs no command");
        break;
    case Command::Help:
        break;
    }
    res.ok = true;
    return res;
}

std::string usage_text() {
    return R"(NAME
    vboard - a virtual ZQR-VT board for dorvex

SYNOPSIS
    vboard serve --socket PATH [BOARD OPTIONS]
    vboard run [BOARD OPTIONS] -- COMMAND [ARG...]
    vboard run --socket PATH -- COMMAND [ARG...]
    vboard reset --socket PATH
    vboard --help

DESCRIPTION
    The real firmware runs on an emulated AT91RM9200; programs built for
    libusb-0.1 reach the board through vboard's own libusb-0.1.so.4.

    serve   Holds one board, until killed, like a board on a cable, and serves
            it on the Unix socket PATH.
    run     Runs COMMAND with vboard's libusb-0.1 found first (LD_LIBRARY_PATH)
            and VBOARD_SOCKET naming the board. Without --socket, a board is
            made for COMMAND and stopped when COMMAND ends; with --socket,
            COMMAND uses the board that 'vboard serve' holds, which lives on.
            Exits with COMMAND's exit status (128 + N when signal N ended it,
            127 when it cannot be started).
    reset   Presses the reset button of the board served on PATH: back to the
            boot ROM in DFU mode.

BOARD OPTIONS
    --console FILE
            Debug serial port (DBGU) output to FILE; "-" for standard output.
    --short LINE:gnd, --short LINE:3v3, --short LINE:LINE
            Short a PIO line (PA0..PD31) to ground, to 3.3 V, or to another
            line. Repeatable.
    --sdram-stuck ADDR:BIT:VALUE
            Data bit BIT (0..31) of the 32-bit word at SDRAM byte address ADDR
            (0x20000000..0x23fffffc, word aligned) reads VALUE (0 or 1).
    --sdram-addr-stuck BIT:VALUE
            SDRAM byte-address bit BIT (2..25) stuck at VALUE.
    --bootrom-state appidle
            The boot ROM answers DFU_GETSTATUS in appIDLE.
    --stats
            At exit, on standard error, one line each:
                vboard: instructions retired: N
                vboard: virtual time: S.NNNNNNNNN s
                vboard: wall time: S.NNNNNNNNN s
                vboard: model errors: N

EXIT STATUS
    0 success (run: COMMAND's status), 1 the board or its socket failed,
    2 a malformed command line.

ENVIRONMENT
    VBOARD_SOCKET   set by 'vboard run' for COMMAND: the board's socket.
)";
}

}  // namespace vboard::cli
