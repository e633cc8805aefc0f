// Layout of hex_dump: 16 bytes a line, offset, two halves, character column.
#include <gtest/gtest.h>

#include <vector>

#include "console.h"
#include "console_capture.h"

namespace {

struct DumpCase {
    const char* name;
    std::vector<uint8_t> bytes;
    std::string expected;
};

void PrintTo(const DumpCase& c, std::ostream* os) { *os << c.name; }

std::vector<uint8_t> counting(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
    return v;
}

const std::string blank3 = "   ";

class HexDump : public ::testing::TestWithParam<DumpCase> {};

TEST_P(HexDump, PrintsLines) {
    const DumpCase& c = GetParam();
    const std::string got = console_capture([&] { hex_dump(c.bytes.data(), static_cast<uint32_t>(c.bytes.size())); });
    EXPECT_EQ(console_visible(got), console_visible(c.expected));
}

const DumpCase dumpCases[] = {
    {"empty_prints_nothing", {}, ""},
    {"one_byte", {0x41},
     "00000000  41 " + std::string(7 * 3, ' ') + " " + std::string(8 * 3, ' ') + " |A" + std::string(15, ' ') +
         "|\n\r"},
    {"full_line", counting(16, 0x40),
     "00000000  40 41 42 43 44 45 46 47  48 49 4a 4b 4c 4d 4e 4f  |@ABCDEFGHIJKLMNO|\n\r"},
    {"seventeen_bytes_two_lines", counting(17, 0x30),
     "00000000  30 31 32 33 34 35 36 37  38 39 3a 3b 3c 3d 3e 3f  |0123456789:;<=>?|\n\r"
     "00000010  40 " + std::string(7 * 3, ' ') + " " + std::string(8 * 3, ' ') + " |@" + std::string(15, ' ') +
         "|\n\r"},
    {"unprintable_as_dots", {0x00, 0x1F, 0x20, 0x7E, 0x7F, 0xFF, 0x0A, 0x0D, 0x41, 0x42},
     "00000000  00 1f 20 7e 7f ff 0a 0d  41 42 " + std::string(6 * 3, ' ') + " |.. ~....AB" + std::string(6, ' ') +
         "|\n\r"},
    {"nine_bytes_crosses_half", counting(9, 0x61),
     "00000000  61 62 63 64 65 66 67 68  69 " + std::string(7 * 3, ' ') + " |abcdefghi" + std::string(7, ' ') +
         "|\n\r"},
};

INSTANTIATE_TEST_SUITE_P(Layouts, HexDump, ::testing::ValuesIn(dumpCases),
                         [](const ::testing::TestParamInfo<DumpCase>& info) { return std::string(info.param.name); });

TEST(HexDumpLine, FullLineIs78CharactersBeforeItsEnd) {
    const auto bytes = counting(64, 0x20);
    const std::string got = console_capture([&] { hex_dump(bytes.data(), 64); });
    size_t start = 0;
    int lines = 0;
    for (size_t end = got.find("\n\r"); end != std::string::npos; end = got.find("\n\r", start)) {
        EXPECT_EQ(end - start, 78u) << "line " << lines << ": " << got.substr(start, end - start);
        start = end + 2;
        ++lines;
    }
    EXPECT_EQ(lines, 4);
    EXPECT_EQ(start, got.size());
    EXPECT_EQ(got.substr(0, 10), "00000000  ");
    EXPECT_EQ(got.substr(80 * 3, 10), "00000030  ");   // offsets count from the data, by 16
}

}  // namespace
