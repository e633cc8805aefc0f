// The vboard executable: exit statuses, the environment it gives its
// command, its messages, and finding its libusb-0.1 from where it lies.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "run_process.h"

namespace {

namespace fs = std::filesystem;

struct StatusCase {
    const char* name;
    std::vector<std::string> args;  // after the program name
    int status;
    std::string err_prefix;  // how standard error starts
};

// Keeps the test listing readable: a case prints as its name, not as bytes.
void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class VboardStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(VboardStatus, ExitsWithTheRightStatusAndMessage) {
    e2e::TempDir dir;
    std::vector<std::string> argv = {VBOARD_BINARY};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    const auto r = e2e::run(argv, dir);
    EXPECT_EQ(r.status, GetParam().status) << r.err;
    EXPECT_EQ(r.err.substr(0, GetParam().err_prefix.size()), GetParam().err_prefix);
}

INSTANTIATE_TEST_SUITE_P(
    Vboard, VboardStatus,
    ::testing::Values(
        StatusCase{"command_status", {"run", "--", "/bin/sh", "-c", "exit 7"}, 7, ""},
        StatusCase{"command_success", {"run", "--", "/bin/true"}, 0, ""},
        StatusCase{"command_killed", {"run", "--", "/bin/sh", "-c", "kill -9 $$"}, 128 + 9, ""},
        StatusCase{"command_missing", {"run", "--", "/nonexistent/program"}, 127,
                   "vboard: cannot run /nonexistent/program: No such file or directory\n"},
        StatusCase{"no_command", {}, 2, "vboard: no command given; try 'vboard --help'\n"},
        StatusCase{"unknown_command", {"play"}, 2, "vboard: unknown command 'play'"},
        StatusCase{"malformed_short", {"run", "--short", "PA99:gnd", "--", "/bin/true"}, 2,
                   "vboard: --short: 'PA99' is not a PIO line (PA0..PD31)\n"},
        StatusCase{"reset_without_board", {"reset", "--socket", "/nonexistent/board.sock"}, 1,
                   "vboard: no board on /nonexistent/board.sock: No such file or directory\n"},
        StatusCase{"run_without_served_board", {"run", "--socket", "/nonexistent/board.sock", "--", "/bin/true"}, 1,
                   "vboard: no board on /nonexistent/board.sock: No such file or directory\n"},
        StatusCase{"help", {"--help"}, 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VboardRun, GivesTheCommandTheSubstituteAndALiveSocket) {
    e2e::TempDir dir;
    const auto r = e2e::run({VBOARD_BINARY, "run", "--", "/bin/sh", "-c",
                             "test -S \"$VBOARD_SOCKET\" && echo socket ok; "
                             "first=${LD_LIBRARY_PATH%%:*}; ls \"$first\""},
                            dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "socket ok\nlibusb-0.1.so.4\n") << "the first library directory holds the substitute alone";
}

TEST(VboardRun, PrintsItsFiguresOneLineEach) {
    e2e::TempDir dir;
    const auto r = e2e::run({VBOARD_BINARY, "run", "--stats", "--", "/bin/true"}, dir);
    EXPECT_EQ(r.status, 0);
    // Four lines, in this order and format.
    std::istringstream in(r.err);
    std::string line;
    const char* const shapes[] = {"vboard: instructions retired: %llu%n", "vboard: virtual time: %llu.%9llu s%n",
                                  "vboard: wall time: %llu.%9llu s%n", "vboard: model errors: %llu%n"};
    for (const char* shape : shapes) {
        ASSERT_TRUE(std::getline(in, line)) << "missing a line like '" << shape << "' in:\n" << r.err;
        unsigned long long a = 0, b = 0;
        int used = -1;
        const bool two = std::string(shape).find('.') != std::string::npos;
        const int n = two ? std::sscanf(line.c_str(), shape, &a, &b, &used) : std::sscanf(line.c_str(), shape, &a, &used);
        EXPECT_EQ(n, two ? 2 : 1) << "line '" << line << "' is not like '" << shape << "'";
        EXPECT_EQ(used, static_cast<int>(line.size())) << "trailing text in '" << line << "'";
        if (two) {
            EXPECT_EQ(line.find(" s") - line.find('.'), 10u) << "nine decimals in '" << line << "'";
        }
    }
    EXPECT_FALSE(std::getline(in, line)) << "an extra line: " << line;
    EXPECT_NE(r.err.find("vboard: model errors: 0\n"), std::string::npos);
}

TEST(VboardServe, RefusesAPathThatIsNotASocket) {
    e2e::TempDir dir;
    const std::string path = dir.file("plain-file");
    { std::ofstream(path) << "x"; }
    const auto r = e2e::run({VBOARD_BINARY, "serve", "--socket", path}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vboard: " + path + " exists and is not a socket\n");
    EXPECT_TRUE(fs::exists(path));
}

TEST(VboardInstalled, FindsTheSubstituteNextToItself) {
    e2e::TempDir dir;
    const fs::path prefix = fs::path(dir.path()) / "prefix";
    fs::create_directories(prefix / "bin");
    fs::create_directories(prefix / "lib" / "vboard");
    fs::copy_file(VBOARD_BINARY, prefix / "bin" / "vboard");
    fs::copy_file(fs::path(VBOARD_BINARY).parent_path() / ".." / "lib" / "vboard" / "libusb-0.1.so.4",
                  prefix / "lib" / "vboard" / "libusb-0.1.so.4");
    const auto r = e2e::run({(prefix / "bin" / "vboard").string(), "run", "--", "/bin/sh", "-c",
                             "ls \"${LD_LIBRARY_PATH%%:*}\"/libusb-0.1.so.4 >/dev/null && echo found"},
                            dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "found\n");
    const auto lonely = e2e::TempDir();
    fs::copy_file(VBOARD_BINARY, fs::path(lonely.path()) / "vboard");
    const auto missing = e2e::run({lonely.path() + "/vboard", "run", "--", "/bin/true"}, dir, "missing");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot find the libusb-0.1 substitute"), std::string::npos) << missing.err;
}

}  // namespace
