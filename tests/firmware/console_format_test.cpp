// The console engine's conversions, one case per format behaviour.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "console.h"
#include "console_capture.h"

namespace {

struct FormatCase {
    const char* name;
    std::function<void()> print;
    std::string expected;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class ConsoleFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ConsoleFormat, PrintsExactly) {
    const FormatCase& c = GetParam();
    const std::string got = console_capture(c.print);
    EXPECT_EQ(console_visible(got), console_visible(c.expected)) << "case " << c.name;
}

void* address(uintptr_t value) { return reinterpret_cast<void*>(value); }

const FormatCase formatCases[] = {
    {"negative_decimal", [] { console_printf("%d", -42); }, "-42"},
    {"zero_pad_after_sign", [] { console_printf("%05d", -42); }, "-0042"},
    {"left_justified", [] { console_printf("%-5d|", 42); }, "42   |"},
    {"plus_on_zero", [] { console_printf("%+d", 0); }, "+0"},
    {"space_flag", [] { console_printf("% d", 7); }, " 7"},
    {"plus_on_unsigned", [] { console_printf("%+u", 5u); }, "+5"},
    {"space_on_hex", [] { console_printf("% x", 0x1Fu); }, " 1f"},
    {"alternate_zero_pad", [] { console_printf("%#06x", 0x1Fu); }, "0x001f"},
    {"alternate_upper", [] { console_printf("%#X", 255u); }, "0XFF"},
    {"alternate_hex_of_zero", [] { console_printf("%#x", 0u); }, "0x0"},
    {"pointer", [] { console_printf("%p", address(0x20000000)); }, "0x20000000"},
    {"pointer_upper", [] { console_printf("%P", address(0xABCDEF)); }, "0XABCDEF"},
    {"pointer_no_fixed_digits", [] { console_printf("%p", address(0x1F)); }, "0x1f"},
    {"octal", [] { console_printf("%o", 8u); }, "10"},
    {"octal_alternate_no_prefix", [] { console_printf("%#o", 8u); }, "10"},
    {"zero_padded_hex", [] { console_printf("%08x", 0xABCu); }, "00000abc"},
    {"width_is_minimum", [] { console_printf("%02x", 0x100u); }, "100"},
    {"star_negative_width", [] { console_printf("%*d|", -4, 7); }, "7   |"},
    {"star_positive_width", [] { console_printf("%*d|", 4, 7); }, "   7|"},
    {"star_then_digits_append", [] { console_printf("%*3d|", 1, 7); }, std::string(12, ' ') + "7|"},
    {"left_overrides_zero", [] { console_printf("%-05d|", 3); }, "3    |"},
    {"most_negative_int", [] { console_printf("%d", INT_MIN); }, "-2147483648"},
    {"i_is_signed", [] { console_printf("%i", -1); }, "-1"},
    {"u_of_minus_one", [] { console_printf("%u", UINT_MAX); }, "4294967295"},
    {"size_zero", [] { console_printf("%B", 0u); }, "0 B"},
    {"size_1023", [] { console_printf("%B", 1023u); }, "1023 B"},
    {"size_1024", [] { console_printf("%B", 1024u); }, "1 KiB"},
    {"size_1536_truncates", [] { console_printf("%B", 1536u); }, "1 KiB"},
    {"size_2048", [] { console_printf("%B", 2048u); }, "2 KiB"},
    {"size_1048575", [] { console_printf("%B", 1048575u); }, "1023 KiB"},
    {"size_2MiB", [] { console_printf("%B", 0x200000u); }, "2 MiB"},
    {"size_1GiB", [] { console_printf("%B", 0x40000000u); }, "1 GiB"},
    {"size_max", [] { console_printf("%B", 4294967295u); }, "3 GiB"},
    {"size_width", [] { console_printf("%6B", 2048u); }, "     2 KiB"},
    {"size_left", [] { console_printf("%-6B|", 2048u); }, "2      KiB|"},
    {"string_width", [] { console_printf("%5s", "ab"); }, "   ab"},
    {"string_zero_pad", [] { console_printf("%05s", "ab"); }, "000ab"},
    {"string_left", [] { console_printf("%-4s|", "ab"); }, "ab  |"},
    {"string_null", [] { console_printf("%s", static_cast<const char*>(nullptr)); }, "(null)"},
    {"char", [] { console_printf("%c", 'Z'); }, "Z"},
    {"char_zero_pad", [] { console_printf("%03c", 'Z'); }, "00Z"},
    {"char_left", [] { console_printf("%-3c|", 'Z'); }, "Z  |"},
    {"unknown_conversion", [] { console_printf("%q"); }, "q"},
    {"percent", [] { console_printf("%%"); }, "%"},
    {"length_modifier_is_text", [] { console_printf("%lx"); }, "lx"},
    {"precision_is_text", [] { console_printf("%.2x"); }, ".2x"},
    {"format_newline_adds_cr", [] { console_printf("a\nb"); }, "a\n\rb"},
    {"string_newline_untranslated", [] { console_printf("%s", "a\nb"); }, "a\nb"},
    {"char_newline_untranslated", [] { console_printf("%c", '\n'); }, "\n"},
    {"text_around", [] { console_printf("x=%d, y=%s.", 3, "z"); }, "x=3, y=z."},
    {"ends_inside_conversion", [] { console_printf("ab%-5"); }, "ab"},
    {"banner", [] { console_printf("\r\x1b[2JXERUN-94 Uploader 64Mb 60MHz (Jan 31 2008 - 10:41:42)\n\n"); },
     "\r\x1b[2JXERUN-94 Uploader 64Mb 60MHz (Jan 31 2008 - 10:41:42)\n\r\n\r"},
    {"signed_magic_widened",
     [] { console_printf("packet in: wrong magic: %04x s=%d\n", static_cast<int>(static_cast<int16_t>(0x8000)), 2); },
     "packet in: wrong magic: ffff8000 s=2\n\r"},
};

INSTANTIATE_TEST_SUITE_P(Conversions, ConsoleFormat, ::testing::ValuesIn(formatCases),
                         [](const ::testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

}  // namespace
