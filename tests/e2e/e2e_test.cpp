// End to end: the real dorvex, linked against the system's libusb-0.1, runs
// `dorvex test` against the virtual board under `vboard run`, with the real
// firmware images; one case per fault class, checked on dorvex's exact
// output, its exit status, the board's console and the model-error count.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <thread>

#include "run_process.h"

namespace {

using e2e::visible;

// The console prints a line feed as line feed and carriage return.
const std::string kBanner = "\r\x1b[2JXERUN-94 Uploader 64Mb 60MHz (Jan 31 2008 - 10:41:42)\n\r\n\r";

struct Case {
    const char* name;
    std::vector<std::string> options;  // board options
    int status;
    std::string pin_report;                 // between "Testing...\n" and the progress line
    std::vector<std::string> memory_lines;  // every "\rAddress ..." line, in order
    std::string verdict;                    // the last line dorvex prints
};

// dorvex's memory error line for a data failure.
std::string data_line(std::uint32_t address, std::uint32_t expected, std::uint32_t got) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "\rAddress 0x%08x: expected 0x%08x, got 0x%08x \n", address, expected, got);
    return buf;
}

// SDRAM byte-address bit 15 stuck at 0: in every 64 KiB block, word i + 8192
// is word i. The data test writes i + 1 to word i, so word i (i < 8192) then
// holds i + 8193, and every one of them fails; each of the 256 blocks reports
// its first 32 failures, each block's exactly once (the final status carries
// no records).
std::vector<std::string> address_bit15_stuck_low_lines() {
    std::vector<std::string> lines;
    for (std::uint32_t block = 0; block < 256; ++block) {
        const std::uint32_t base = 0x20000000 + block * 0x40000;
        for (std::uint32_t i = 0; i < 32; ++i) lines.push_back(data_line(base + 4 * i, i + 1, i + 8193));
    }
    return lines;
}

// What dorvex prints after "Testing..." up to the memory test: its first
// progress line, or its first memory error when the first block already had one.
std::string pin_report_of(const std::string& err) {
    const std::string start = "Testing...\n";
    const auto a = err.find(start);
    if (a == std::string::npos) return "<no \"Testing...\" line>";
    const auto b = std::min(err.find('\r', a), err.find("Memory test error!\n", a));
    return err.substr(a + start.size(), b == std::string::npos ? std::string::npos : b - a - start.size());
}

std::vector<std::string> memory_lines_of(const std::string& err) {
    std::vector<std::string> lines;
    for (auto pos = err.find("\rAddress "); pos != std::string::npos; pos = err.find("\rAddress ", pos + 1)) {
        const auto end = err.find('\n', pos);
        lines.push_back(err.substr(pos, end == std::string::npos ? std::string::npos : end - pos + 1));
    }
    return lines;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class DorvexOnVirtualBoard : public ::testing::TestWithParam<Case> {};

TEST_P(DorvexOnVirtualBoard, PrintsExactlyWhatTheBoardDeserves) {
    const Case& c = GetParam();
    e2e::TempDir dir;
    const std::string console = dir.file("console.txt");
    std::vector<std::string> argv = {VBOARD_BINARY, "run", "--stats", "--console", console};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    argv.insert(argv.end(), {"--", DORVEX_BINARY, "test"});
    const e2e::Outcome r = e2e::run(argv, dir);
    const std::string con = e2e::read_file(console);
    SCOPED_TRACE("stderr:\n" + visible(r.err.substr(0, 6000)) + "\nconsole:\n" + visible(con.substr(0, 2000)));

    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "") << "dorvex prints nothing on standard output here";
    EXPECT_EQ(r.err.rfind("Uploading uploader\n", 0), 0u) << "the first line";
    EXPECT_NE(r.err.find("vboard: model errors: 0\n"), std::string::npos) << "the board model saw an error";
    // The verdict is dorvex's last line; vboard's figures follow it.
    EXPECT_NE(r.err.find(c.verdict + "vboard: instructions retired: "), std::string::npos)
        << "no verdict \"" << visible(c.verdict) << "\" at the end";

    if (c.verdict == "dorvex: Device not found\n") {
        EXPECT_EQ(r.err.find("Testing...\n"), std::string::npos) << "a ROM in appIDLE gets no download";
        EXPECT_EQ(con, "") << "the board ran no firmware";
        return;
    }
    EXPECT_EQ(pin_report_of(r.err), c.pin_report);
    const auto lines = memory_lines_of(r.err);
    EXPECT_EQ(lines.size(), c.memory_lines.size());
    for (std::size_t i = 0; i < std::min(lines.size(), c.memory_lines.size()); ++i)
        ASSERT_EQ(lines[i], c.memory_lines[i]) << "memory error line " << i;
    const bool memory_errors = !c.memory_lines.empty();
    EXPECT_EQ(r.err.find("Memory test error!\n") != std::string::npos, memory_errors);
    EXPECT_NE(r.err.find("\r 100% [" + std::string(35, '=') + "]"), std::string::npos)
        << "the progress line did not reach 100 %";
    if (c.status == 0) {
        EXPECT_NE(con.find(kBanner), std::string::npos) << "the uploader's banner is not on the console";
    } else {
        EXPECT_EQ(con.find("XERUN-94"), std::string::npos) << "a faulty board must not get the uploader";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DorvexOnVirtualBoard,
    ::testing::Values(
        Case{"fault_free", {}, 0, "", {}, "All tests ok!\n"},
        Case{"short_to_ground", {"--short", "PB5:gnd"}, 1, "IO test error!\nPIOB, pin=5:\n  cross with GND\n", {},
             "dorvex: Errors!\n"},
        Case{"short_to_3v3", {"--short", "PC3:3v3"}, 1, "IO test error!\nPIOC, pin=3:\n  cross with 3.3V\n", {},
             "dorvex: Errors!\n"},
        Case{"short_between_lines", {"--short", "PA2:PC7"}, 1,
             "IO test error!\nPIOA, pin=2:\n  cross with PIOC, pin=7\nPIOC, pin=7:\n  cross with PIOA, pin=2\n", {},
             "dorvex: Errors!\n"},
        // Word 3 of the first block, bit 3 stuck at 0: the count 4 passes, its
        // complement 0xfffffffb does not.
        Case{"sdram_data_bit_stuck", {"--sdram-stuck", "0x2000000c:3:0"}, 1, "",
             {data_line(0x2000000c, 0xfffffffb, 0xfffffff3)}, "dorvex: Errors!\n"},
        Case{"sdram_address_bit_stuck", {"--sdram-addr-stuck", "15:0"}, 1, "", address_bit15_stuck_low_lines(),
             "dorvex: Errors!\n"},
        Case{"boot_rom_in_appidle", {"--bootrom-state", "appidle"}, 1, "", {}, "dorvex: Device not found\n"}),
    [](const auto& info) { return std::string(info.param.name); });

bool wait_for_file(const std::string& path) {
    struct stat st{};
    for (int i = 0; i < 500; ++i) {
        if (::stat(path.c_str(), &st) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// A board that `vboard serve` holds, like a board on a cable: programs come
// and go, the reset button works, the socket is the board's alone.
TEST(ServedBoard, OutlivesItsProgramsAndTakesTheResetButton) {
    e2e::TempDir dir;
    const std::string sock = dir.file("board.sock");
    const pid_t serve = e2e::start({VBOARD_BINARY, "serve", "--socket", sock, "--bootrom-state", "appidle", "--stats"},
                                   dir.file("serve.out"), dir.file("serve.err"));
    ASSERT_TRUE(wait_for_file(sock)) << "the served board's socket did not appear";

    const auto first = e2e::run({VBOARD_BINARY, "run", "--socket", sock, "--", DORVEX_BINARY, "test"}, dir, "first");
    EXPECT_EQ(first.status, 1);
    EXPECT_EQ(first.err, "Uploading uploader\ndorvex: Device not found\n");

    const auto second = e2e::run({VBOARD_BINARY, "serve", "--socket", sock}, dir, "second");
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "vboard: socket " + sock + " is in use by another board\n");

    const auto reset = e2e::run({VBOARD_BINARY, "reset", "--socket", sock}, dir, "reset");
    EXPECT_EQ(reset.status, 0) << reset.err;
    EXPECT_EQ(reset.err, "");

    const auto again = e2e::run({VBOARD_BINARY, "run", "--socket", sock, "--", DORVEX_BINARY, "test"}, dir, "again");
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "Uploading uploader\ndorvex: Device not found\n");

    ::kill(serve, SIGTERM);
    EXPECT_EQ(e2e::wait_for(serve), 0) << "vboard serve ends cleanly on SIGTERM";
    const std::string serve_err = e2e::read_file(dir.file("serve.err"));
    EXPECT_NE(serve_err.find("vboard: model errors: 0\n"), std::string::npos) << serve_err;
    struct stat st{};
    EXPECT_NE(::stat(sock.c_str(), &st), 0) << "the socket file was left behind";

    const auto gone = e2e::run({VBOARD_BINARY, "reset", "--socket", sock}, dir, "gone");
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.err.rfind("vboard: no board on " + sock + ": ", 0), 0u) << gone.err;
}

TEST(ServedBoard, KeepsTheUploaderRunningUntilTheResetButton) {
    e2e::TempDir dir;
    const std::string sock = dir.file("board.sock"), console = dir.file("console.txt");
    const pid_t serve = e2e::start({VBOARD_BINARY, "serve", "--socket", sock, "--console", console},
                                   dir.file("serve.out"), dir.file("serve.err"));
    ASSERT_TRUE(wait_for_file(sock)) << "the served board's socket did not appear";
    const std::vector<std::string> dorvex = {VBOARD_BINARY, "run", "--socket", sock, "--", DORVEX_BINARY, "test"};

    const auto first = e2e::run(dorvex, dir, "first");
    EXPECT_EQ(first.status, 0) << visible(first.err);
    EXPECT_NE(first.err.find("All tests ok!\n"), std::string::npos) << visible(first.err);

    // The board still runs the uploader, which answers like the test loader.
    const auto second = e2e::run(dorvex, dir, "second");
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "dorvex: Please restart zqr-vt before running tests\n");

    EXPECT_EQ(e2e::run({VBOARD_BINARY, "reset", "--socket", sock}, dir, "reset").status, 0);
    const auto third = e2e::run(dorvex, dir, "third");
    EXPECT_EQ(third.status, 0) << visible(third.err);
    EXPECT_NE(third.err.find("All tests ok!\n"), std::string::npos) << visible(third.err);

    // The served board runs on by itself: the second uploader prints its
    // banner after dorvex has gone.
    std::string con;
    for (int i = 0; i < 250; ++i) {
        con = e2e::read_file(console);
        const auto first_banner = con.find(kBanner);
        if (first_banner != std::string::npos && con.find(kBanner, first_banner + 1) != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(serve, SIGTERM);
    EXPECT_EQ(e2e::wait_for(serve), 0);
    const auto once = con.find(kBanner);
    ASSERT_NE(once, std::string::npos) << visible(con);
    EXPECT_NE(con.find(kBanner, once + 1), std::string::npos) << "one banner per uploader start: " << visible(con);
}

}  // namespace
