#include "command_line.h"

#include <getopt.h>
#include <stdio.h>
#include <string.h>
#include <usb.h>

#include "messages.h"
#include "../usb/discovery.h"
#include "../usb/session.h"

namespace {

const char SHORT_OPTIONS[] = "a:S:f:t:hBsn";

// Every long option returns its short letter; none stores through a flag.
const option LONG_OPTIONS[] = {
    {"adderss", required_argument, nullptr, 'a'},
    {"size", required_argument, nullptr, 'S'},
    {"file", required_argument, nullptr, 'f'},
    {"text", required_argument, nullptr, 't'},
    {"help", no_argument, nullptr, 'h'},
    {"noseek", no_argument, nullptr, 'n'},
    {"nobar", no_argument, nullptr, 'B'},
    {"silent", no_argument, nullptr, 's'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

void cli_start_up(CommandLine* line) {
    memset(line, 0, sizeof *line);
    null_sink = open_null_sink();
    message_stream = stderr;
    progress_stream = stderr;
    usb_init();
}

void cli_read_command_line(CommandLine* line, int argc, char** argv) {
    const char* program = argc > 0 ? argv[0] : "dorvex";
    if (argc < 2 || strcmp(argv[1], "test") != 0)
        show_usage(program, "");
    snprintf(line->command, sizeof line->command, "%s", argv[1]);

    // getopt_long in its default, permuting mode (POSIXLY_CORRECT, when set,
    // stops it at the command word). optind 0 makes glibc start afresh.
    opterr = 0;
    optind = 0;
    for (;;) {
        const int option = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr);
        if (option == -1)
            break;
        switch (option) {
        case 'B':
        case 's':
            // Takes effect from here on: later usage texts and fatal
            // errors are swallowed too.
            if (null_sink) {
                message_stream = null_sink;
                progress_stream = null_sink;
            }
            break;
        case 'a': line->address = optarg; break;
        case 'S': line->size = optarg; break;
        case 'f': line->file = optarg; break;
        case 't': line->text = optarg; break;
        case 'n': break;
        case 'h':
        default:  // unknown option, ambiguous prefix, missing or surplus value
            show_usage(program, line->command);
        }
    }
}

int cli_run_test() {
    usb_dev_handle* handle = nullptr;
    uint16_t interface = 0;
    struct usb_device* device =
        find_dfu_device(target_device.vendor_id, target_device.product_id, &handle, &interface);
    if (device && handle) {
        usb_dev_handle* loader = run_test_session(handle, interface);
        if (!loader)
            fatal_error("Device not found");
        usb_close(loader);
        return 0;
    }
    usb_dev_handle* loader_handle = nullptr;
    if (!find_running_loader(target_device.vendor_id, target_device.product_id, &loader_handle))
        fatal_error("Device not found");
    fatal_error("Please restart zqr-vt before running tests");
}
