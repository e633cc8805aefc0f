#include "console_capture.h"

#include <cstdio>

#include "console.h"

namespace {
std::string captured;
}

extern "C" void console_putc(char c) { captured.push_back(c); }

std::string console_capture(const std::function<void()>& print) {
    captured.clear();
    print();
    return captured;
}

std::string console_visible(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (b < 0x20 || b > 0x7E) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}
