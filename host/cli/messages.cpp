#include "messages.h"

#include <stdarg.h>
#include <stdlib.h>

FILE* message_stream = nullptr;
FILE* progress_stream = nullptr;
FILE* null_sink = nullptr;

namespace {

// Write function of the fallback sink: takes every byte and keeps none.
ssize_t discard_write(void*, const char*, size_t size) { return static_cast<ssize_t>(size); }

FILE* stream_or_stderr(FILE* stream) { return stream ? stream : stderr; }

}  // namespace

FILE* open_null_sink() {
    FILE* sink = fopen("/dev/null", "w");
    if (!sink) {
        // No /dev/null (a bare chroot, say): a stream that swallows all
        // output serves the same purpose.
        cookie_io_functions_t functions = {nullptr, discard_write, nullptr, nullptr};
        sink = fopencookie(nullptr, "w", functions);
    }
    return sink;
}

void print_message(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stream_or_stderr(message_stream), format, args);
    va_end(args);
}

void fatal_error(const char* format, ...) {
    FILE* out = stream_or_stderr(message_stream);
    fputs("dorvex: ", out);
    va_list args;
    va_start(args, format);
    vfprintf(out, format, args);
    va_end(args);
    fputs("\n", out);
    exit(1);
}

void show_usage(const char* program, const char* command) {
    const bool general = command[0] == '\0';
    print_message("Usage: %s %s [OPTION]\n", program, general ? "COMMAND" : command);
    if (general) {
        print_message(
            "Used to interact with ZQR-VT through USB\n"
            "  This is a reduced version of program that only allows you to\n"
            "  to test ZQR-VT.\n"
            "\n"
            "COMMAND can be:\n"
            "  test             run memory and pin tests\n"
            "\n"
            "For help on specific commands, use %s COMMAND --help\n"
            "\n",
            program);
    } else {
        print_message("Run various tests\n\n");
    }
    print_message(
        "General options:\n"
        "  -h, --help          display this help and exit\n"
        "  -n, --noseek        don't check file sizes (automatic for stdin/stdout)\n"
        "  -B, --nobar         do not display progress bar\n"
        "  -s, --silent        do not display any messages, including\n"
        "                         progress bar\n"
        "\n");
    exit(1);
}
