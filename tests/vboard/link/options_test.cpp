// The vboard command line: good command lines become the right options and
// board configuration; malformed ones are refused with a message naming the
// problem.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/options.h"

namespace vboard::cli {
namespace {

std::string describe(const Options& o) {
    std::ostringstream s;
    s << "cmd=" << static_cast<int>(o.command) << " socket=" << o.socket << " console=" << o.console
      << " stats=" << o.stats << " appidle=" << o.board.bootrom_appidle;
    for (const auto& p : o.board.shorts) s << " short(" << static_cast<int>(p.kind) << "," << p.line << "," << p.other << ")";
    for (const auto& b : o.board.sdram_stuck) s << std::hex << " stuck(0x" << b.address << std::dec << "," << b.bit << "," << b.value << ")";
    for (const auto& a : o.board.sdram_addr_stuck) s << " addr(" << a.bit << "," << a.value << ")";
    s << " program=";
    for (const auto& w : o.program) s << "[" << w << "]";
    return s.str();
}

struct Good {
    const char* name;
    std::vector<std::string> args;
    const char* expected;  // describe() of the result
};

class GoodCommandLines : public ::testing::TestWithParam<Good> {};

TEST_P(GoodCommandLines, ParseToTheseOptions) {
    const auto r = parse_command_line(GetParam().args);
    ASSERT_TRUE(r.ok) << "refused: " << r.error;
    EXPECT_EQ(describe(r.options), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Vboard, GoodCommandLines,
    ::testing::Values(
        Good{"help", {"--help"}, "cmd=0 socket= console= stats=0 appidle=0 program="},
        Good{"serve", {"serve", "--socket", "/tmp/b.sock"}, "cmd=1 socket=/tmp/b.sock console= stats=0 appidle=0 program="},
        Good{"serve_equals", {"serve", "--socket=/tmp/b.sock", "--console=-", "--stats"},
             "cmd=1 socket=/tmp/b.sock console=- stats=1 appidle=0 program="},
        Good{"run_plain", {"run", "--", "dorvex", "test"}, "cmd=2 socket= console= stats=0 appidle=0 program=[dorvex][test]"},
        Good{"run_keeps_command_options", {"run", "--stats", "--", "dorvex", "test", "--stats", "--"},
             "cmd=2 socket= console= stats=1 appidle=0 program=[dorvex][test][--stats][--]"},
        Good{"run_socket", {"run", "--socket", "s", "--", "true"}, "cmd=2 socket=s console= stats=0 appidle=0 program=[true]"},
        Good{"reset", {"reset", "--socket", "s"}, "cmd=3 socket=s console= stats=0 appidle=0 program="},
        Good{"short_gnd", {"run", "--short", "PB5:gnd", "--", "x"},
             "cmd=2 socket= console= stats=0 appidle=0 short(0,37,-1) program=[x]"},
        Good{"short_3v3", {"run", "--short", "PC3:3v3", "--", "x"},
             "cmd=2 socket= console= stats=0 appidle=0 short(1,67,-1) program=[x]"},
        Good{"short_lines", {"run", "--short", "PA2:PC7", "--", "x"},
             "cmd=2 socket= console= stats=0 appidle=0 short(2,2,71) program=[x]"},
        Good{"short_edges_repeat", {"run", "--short", "PA0:GND", "--short=pd31:3V3", "--", "x"},
             "cmd=2 socket= console= stats=0 appidle=0 short(0,0,-1) short(1,127,-1) program=[x]"},
        Good{"sdram_stuck", {"run", "--sdram-stuck", "0x20001000:7:1", "--", "x"},
             "cmd=2 socket= console= stats=0 appidle=0 stuck(0x20001000,7,1) program=[x]"},
        Good{"sdram_stuck_last_word", {"run", "--sdram-stuck", "0x23fffffc:31:0", "--", "x"},
             "cmd=2 socket= console= stats=0 appidle=0 stuck(0x23fffffc,31,0) program=[x]"},
        Good{"sdram_addr_stuck", {"run", "--sdram-addr-stuck", "2:1", "--sdram-addr-stuck", "25:0", "--", "x"},
             "cmd=2 socket= console= stats=0 appidle=0 addr(2,1) addr(25,0) program=[x]"},
        Good{"appidle", {"serve", "--socket", "s", "--bootrom-state", "appidle"},
             "cmd=1 socket=s console= stats=0 appidle=1 program="}),
    [](const auto& info) { return std::string(info.param.name); });

struct Bad {
    const char* name;
    std::vector<std::string> args;
    const char* message;  // part of the error
};

class MalformedCommandLines : public ::testing::TestWithParam<Bad> {};

TEST_P(MalformedCommandLines, AreRefusedWithAReason) {
    const auto r = parse_command_line(GetParam().args);
    ASSERT_FALSE(r.ok) << "accepted: " << describe(r.options);
    EXPECT_NE(r.error.find(GetParam().message), std::string::npos) << "message: '" << r.error << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Vboard, MalformedCommandLines,
    ::testing::Values(
        Bad{"nothing", {}, "no command"},
        Bad{"unknown_command", {"start"}, "unknown command 'start'"},
        Bad{"unknown_option", {"run", "--fast", "--", "x"}, "unknown option '--fast'"},
        Bad{"missing_value", {"serve", "--socket"}, "needs a value"},
        Bad{"flag_with_value", {"run", "--stats=1", "--", "x"}, "takes no value"},
        Bad{"serve_without_socket", {"serve"}, "serve needs --socket"},
        Bad{"serve_with_command", {"serve", "--socket", "s", "--", "x"}, "runs no command"},
        Bad{"run_without_command", {"run", "--stats"}, "needs a command"},
        Bad{"run_empty_command", {"run", "--"}, "needs a command"},
        Bad{"stray_word", {"run", "dorvex"}, "unexpected argument 'dorvex'"},
        Bad{"run_socket_with_faults", {"run", "--socket", "s", "--short", "PA1:gnd", "--", "x"}, "give board options to serve"},
        Bad{"reset_without_socket", {"reset"}, "reset needs --socket"},
        Bad{"reset_with_board_option", {"reset", "--socket", "s", "--stats"}, "only --socket"},
        Bad{"short_no_colon", {"run", "--short", "PB5", "--", "x"}, "--short wants"},
        Bad{"short_port_e", {"run", "--short", "PE1:gnd", "--", "x"}, "'PE1' is not a PIO line"},
        Bad{"short_bit_32", {"run", "--short", "PA32:gnd", "--", "x"}, "'PA32' is not a PIO line"},
        Bad{"short_leading_zero", {"run", "--short", "PA01:gnd", "--", "x"}, "not a PIO line"},
        Bad{"short_bad_target", {"run", "--short", "PA1:5v", "--", "x"}, "neither gnd, 3v3"},
        Bad{"short_to_itself", {"run", "--short", "PA1:PA1", "--", "x"}, "to itself"},
        Bad{"stuck_two_fields", {"run", "--sdram-stuck", "0x20000000:1", "--", "x"}, "ADDR:BIT:VALUE"},
        Bad{"stuck_below_sdram", {"run", "--sdram-stuck", "0x1ffffffc:1:1", "--", "x"}, "not a word address"},
        Bad{"stuck_above_sdram", {"run", "--sdram-stuck", "0x24000000:1:1", "--", "x"}, "not a word address"},
        Bad{"stuck_unaligned", {"run", "--sdram-stuck", "0x20000002:1:1", "--", "x"}, "not a word address"},
        Bad{"stuck_bit_32", {"run", "--sdram-stuck", "0x20000000:32:1", "--", "x"}, "bit '32'"},
        Bad{"stuck_value_2", {"run", "--sdram-stuck", "0x20000000:3:2", "--", "x"}, "value '2'"},
        Bad{"stuck_not_a_number", {"run", "--sdram-stuck", "0x2000zz00:3:1", "--", "x"}, "not a word address"},
        Bad{"addr_bit_1", {"run", "--sdram-addr-stuck", "1:1", "--", "x"}, "bit '1' is not 2..25"},
        Bad{"addr_bit_26", {"run", "--sdram-addr-stuck", "26:0", "--", "x"}, "bit '26' is not 2..25"},
        Bad{"addr_value", {"run", "--sdram-addr-stuck", "5:01", "--", "x"}, "value '01'"},
        Bad{"bootrom_state", {"run", "--bootrom-state", "dfuerror", "--", "x"}, "unknown state 'dfuerror'"},
        Bad{"console_twice", {"run", "--console", "a", "--console", "b", "--", "x"}, "--console given twice"},
        Bad{"help_with_args", {"--help", "serve"}, "takes no arguments"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PioLines, NumberPortTimes32PlusBit) {
    EXPECT_EQ(parse_pio_line("PA0"), 0);
    EXPECT_EQ(parse_pio_line("PB5"), 37);
    EXPECT_EQ(parse_pio_line("PC31"), 95);
    EXPECT_EQ(parse_pio_line("PD31"), 127);
    EXPECT_EQ(parse_pio_line("pd3"), 99);
    EXPECT_EQ(parse_pio_line("P5"), -1);
    EXPECT_EQ(parse_pio_line("PA-1"), -1);
}

TEST(Usage, NamesEveryCommandAndBoardOption) {
    const std::string text = usage_text();
    for (const char* word : {"vboard serve --socket PATH", "vboard run [BOARD OPTIONS] -- COMMAND",
                             "vboard run --socket PATH -- COMMAND", "vboard reset --socket PATH", "--console FILE",
                             "--short", "--sdram-stuck ADDR:BIT:VALUE", "--sdram-addr-stuck BIT:VALUE",
                             "--bootrom-state appidle", "--stats", "EXIT STATUS"})
        EXPECT_NE(text.find(word), std::string::npos) << "usage lacks '" << word << "'";
}

}  // namespace
}  // namespace vboard::cli
