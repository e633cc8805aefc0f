// Formatting engine of the uploader's console. Builds for the board and,
// with a console_putc of the test's own, for the host's unit tests.
#include "console.h"

namespace {

const char lowerDigits[] = "0123456789abcdef";
const char upperDigits[] = "0123456789ABCDEF";
const char unitLetters[] = " KMGTPEZY";
const char nullText[] = "(null)";

enum : unsigned {
    FLAG_LEFT = 1u << 0,
    FLAG_PLUS = 1u << 1,
    FLAG_SPACE = 1u << 2,
    FLAG_ALT = 1u << 3,
    FLAG_ZERO = 1u << 4,
};

void put_text(const char* text) {
    while (*text) console_putc(*text++);
}

void pad(char c, int count) {
    for (; count > 0; --count) console_putc(c);
}

struct Conversion {
    unsigned flags;
    int width;
};

// Steps of a number: sign, "0x" prefix, zero or space padding, digits.
// `unit` >= 0 adds the %B unit after everything else.
void put_number(const Conversion& conv, uint64_t magnitude, bool negative, unsigned base, bool upperCase,
                int unit) {
    const char* table = upperCase ? upperDigits : lowerDigits;
    char digits[24];
    int n = 0;
    do {
        digits[n++] = table[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);

    const bool sign = negative || (conv.flags & (FLAG_PLUS | FLAG_SPACE));
    const bool prefix = base == 16 && (conv.flags & FLAG_ALT);
    const int total = n + (sign ? 1 : 0) + (prefix ? 2 : 0);
    const int fill = conv.width - total;

    if (!(conv.flags & (FLAG_LEFT | FLAG_ZERO))) pad(' ', fill);
    if (negative) {
        console_putc('-');
    } else if (conv.flags & FLAG_PLUS) {
        console_putc('+');
    } else if (conv.flags & FLAG_SPACE) {
        console_putc(' ');
    }
    if (prefix) {
        console_putc('0');
        console_putc(upperCase ? 'X' : 'x');
    }
    if ((conv.flags & FLAG_ZERO) && !(conv.flags & FLAG_LEFT)) pad('0', fill);
    while (n > 0) console_putc(digits[--n]);
    if (conv.flags & FLAG_LEFT) pad(' ', fill);

    if (unit == 0) {
        put_text(" B");
    } else if (unit > 0) {
        console_putc(' ');
        console_putc(unitLetters[unit]);
        put_text("iB");
    }
}

void put_chars(const Conversion& conv, const char* text, int length) {
    const int fill = conv.width - length;
    if (!(conv.flags & FLAG_LEFT)) pad((conv.flags & FLAG_ZERO) ? '0' : ' ', fill);
    for (int i = 0; i < length; ++i) console_putc(text[i]);
    if (conv.flags & FLAG_LEFT) pad(' ', fill);
}

void convert(char c, Conversion conv, va_list& args) {
    switch (c) {
    case 'd':
    case 'i': {
        const int value = va_arg(args, int);
        const bool negative = value < 0;
        const uint64_t magnitude = negative ? static_cast<uint64_t>(-static_cast<int64_t>(value))
                                            : static_cast<uint64_t>(value);
        put_number(conv, magnitude, negative, 10, false, -1);
        break;
    }
    case 'u':
        put_number(conv, va_arg(args, unsigned), false, 10, false, -1);
        break;
    case 'o':
        put_number(conv, va_arg(args, unsigned), false, 8, false, -1);
        break;
    case 'x':
        put_number(conv, va_arg(args, unsigned), false, 16, false, -1);
        break;
    case 'X':
        put_number(conv, va_arg(args, unsigned), false, 16, true, -1);
        break;
    case 'p':
    case 'P':
        conv.flags |= FLAG_ALT;
        put_number(conv, reinterpret_cast<uintptr_t>(va_arg(args, void*)), false, 16, c == 'P', -1);
        break;
    case 'B': {
        uint64_t value = va_arg(args, unsigned);
        int unit = 0;
        while (value >= 1024) {
            value /= 1024;
            ++unit;
        }
        put_number(conv, value, false, 10, false, unit);
        break;
    }
    case 'c': {
        const char ch = static_cast<char>(va_arg(args, int));
        put_chars(conv, &ch, 1);
        break;
    }
    case 's': {
        const char* text = va_arg(args, const char*);
        if (!text) text = nullText;
        int length = 0;
        while (text[length]) ++length;
        put_chars(conv, text, length);
        break;
    }
    default:   // '%' and anything unknown, '.' and 'l' included: printed as is
        console_putc(c);
        break;
    }
}

}  // namespace

extern "C" {

void console_vprintf(const char* format, va_list args) {
    enum { TEXT, FLAGS, WIDTH } state = TEXT;
    Conversion conv = {0, 0};
    va_list ap;
    va_copy(ap, args);
    for (; *format; ++format) {
        const char c = *format;
        if (state == TEXT) {
            if (c == '%') {
                conv = {0, 0};
                state = FLAGS;
            } else if (c == '\n') {
                console_putc('\n');
                console_putc('\r');
            } else {
                console_putc(c);
            }
            continue;
        }
        if (state == FLAGS) {
            unsigned flag = 0;
            switch (c) {
            case '-': flag = FLAG_LEFT; break;
            case '+': flag = FLAG_PLUS; break;
            case ' ': flag = FLAG_SPACE; break;
            case '#': flag = FLAG_ALT; break;
            case '0': flag = FLAG_ZERO; break;
            default: break;
            }
            if (flag) {
                conv.flags |= flag;
                continue;
            }
            state = WIDTH;
        }
        // WIDTH
        if (c >= '0' && c <= '9') {
            conv.width = conv.width * 10 + (c - '0');
            continue;
        }
        if (c == '*') {
            int width = va_arg(ap, int);
            if (width < 0) {
                conv.flags |= FLAG_LEFT;
                width = -width;
            }
            conv.width = width;
            continue;
        }
        convert(c, conv, ap);
        state = TEXT;
    }
    va_end(ap);
}

void console_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    console_vprintf(format, args);
    va_end(args);
}

void console_panic(const char* format, ...) {
    console_printf("\n");
    va_list args;
    va_start(args, format);
    console_vprintf(format, args);
    va_end(args);
    for (;;) {}
}

void hex_dump(const void* start, uint32_t count) {
    const uint8_t* bytes = static_cast<const uint8_t*>(start);
    for (uint32_t o = 0; o < count; o += 16) {
        console_printf("%08x  ", static_cast<unsigned>(o));
        for (uint32_t j = 0; j < 16; ++j) {
            if (j == 8) console_putc(' ');
            if (o + j < count) {
                console_printf("%02x ", bytes[o + j]);
            } else {
                put_text("   ");
            }
        }
        put_text(" |");
        for (uint32_t j = 0; j < 16; ++j) {
            if (o + j < count) {
                const uint8_t b = bytes[o + j];
                console_putc(b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.');
            } else {
                console_putc(' ');
            }
        }
        console_printf("|\n");
    }
}
}
