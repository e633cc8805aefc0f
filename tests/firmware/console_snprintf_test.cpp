// Differential test: for the conversions and flags where the C library's
// snprintf and the console engine must agree, generated formats give the
// same text from both.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "console.h"
#include "console_capture.h"

namespace {

struct Case {
    std::string format;
    char conversion;
    long long value;       // number or character
    const char* text;      // for %s
    int starWidth;         // used when the format has '*'
};

const char* const flagSets[] = {"", "-", "+", " ", "#", "0", "-0", "+0", " 0", "#0", "-#", "+-", "+ ", "-+0"};
const char* const widths[] = {"", "1", "3", "8", "12", "*"};
const int starWidths[] = {0, 5, -7};
const long long signedValues[] = {0, 1, -1, 7, -42, 255, 4096, 99999, -100000, INT_MAX, INT_MIN};
const long long unsignedValues[] = {0, 1, 7, 8, 0x1F, 255, 0x100, 0xABCDEF, 0x7FFFFFFF, 0x80000000LL, 0xFFFFFFFFLL};
const char* const texts[] = {"", "a", "ab", "hello world", "0123456789abc"};
const int chars[] = {'A', ' ', '~', '0'};

bool has(const char* flags, char f) { return std::string(flags).find(f) != std::string::npos; }

// Flags for which C leaves the result undefined or differs by design:
// '+' and ' ' on unsigned conversions (the engine prints a sign), '#' on
// octal (no prefix here) and on d/i/u/c/s, '0' on c and s.
bool comparable(char conv, const char* flags) {
    switch (conv) {
    case 'd':
    case 'i':
        return !has(flags, '#');
    case 'u':
        return !has(flags, '#') && !has(flags, '+') && !has(flags, ' ');
    case 'o':
        return !has(flags, '#') && !has(flags, '+') && !has(flags, ' ');
    case 'x':
    case 'X':
        return !has(flags, '+') && !has(flags, ' ');
    case 'c':
    case 's':
        return !has(flags, '#') && !has(flags, '0') && !has(flags, '+') && !has(flags, ' ');
    default:
        return false;
    }
}

std::vector<Case> generate() {
    std::vector<Case> cases;
    for (const char conv : std::string("diuoxXcs")) {
        for (const char* flags : flagSets) {
            if (!comparable(conv, flags)) continue;
            for (const char* width : widths) {
                const std::string format = std::string("[%") + flags + width + conv + "]";
                const bool star = std::string(width) == "*";
                for (const int sw : star ? std::vector<int>(std::begin(starWidths), std::end(starWidths))
                                         : std::vector<int>{0}) {
                    if (conv == 'd' || conv == 'i') {
                        for (const long long v : signedValues) cases.push_back({format, conv, v, nullptr, sw});
                    } else if (conv == 'c') {
                        for (const int v : chars) cases.push_back({format, conv, v, nullptr, sw});
                    } else if (conv == 's') {
                        for (const char* t : texts) cases.push_back({format, conv, 0, t, sw});
                    } else {
                        for (const long long v : unsignedValues) {
                            // C prints "0" for %#x of zero, the engine "0x0".
                            if (v == 0 && has(flags, '#')) continue;
                            cases.push_back({format, conv, v, nullptr, sw});
                        }
                    }
                }
            }
        }
    }
    return cases;
}

std::string with_c_library(const Case& c) {
    char buffer[128];
    const bool star = c.format.find('*') != std::string::npos;
    const char* f = c.format.c_str();
    int n = 0;
    if (c.conversion == 's') {
        n = star ? std::snprintf(buffer, sizeof buffer, f, c.starWidth, c.text)
                 : std::snprintf(buffer, sizeof buffer, f, c.text);
    } else if (c.conversion == 'd' || c.conversion == 'i' || c.conversion == 'c') {
        const int v = static_cast<int>(c.value);
        n = star ? std::snprintf(buffer, sizeof buffer, f, c.starWidth, v) : std::snprintf(buffer, sizeof buffer, f, v);
    } else {
        const unsigned v = static_cast<unsigned>(c.value);
        n = star ? std::snprintf(buffer, sizeof buffer, f, c.starWidth, v) : std::snprintf(buffer, sizeof buffer, f, v);
    }
    return std::string(buffer, static_cast<size_t>(n));
}

std::string with_console(const Case& c) {
    const bool star = c.format.find('*') != std::string::npos;
    const char* f = c.format.c_str();
    return console_capture([&] {
        if (c.conversion == 's') {
            star ? console_printf(f, c.starWidth, c.text) : console_printf(f, c.text);
        } else if (c.conversion == 'd' || c.conversion == 'i' || c.conversion == 'c') {
            const int v = static_cast<int>(c.value);
            star ? console_printf(f, c.starWidth, v) : console_printf(f, v);
        } else {
            const unsigned v = static_cast<unsigned>(c.value);
            star ? console_printf(f, c.starWidth, v) : console_printf(f, v);
        }
    });
}

TEST(ConsoleAgainstSnprintf, GeneratedConversionsAgree) {
    const std::vector<Case> cases = generate();
    ASSERT_GT(cases.size(), 1000u);
    int failures = 0;
    for (const Case& c : cases) {
        const std::string expected = with_c_library(c);
        const std::string got = with_console(c);
        if (got != expected) {
            ADD_FAILURE() << "format \"" << c.format << "\" value " << c.value << " text "
                          << (c.text ? c.text : "-") << " width arg " << c.starWidth << ": expected \"" << expected
                          << "\", got \"" << got << "\"";
            if (++failures >= 20) break;
        }
    }
}

}  // namespace
