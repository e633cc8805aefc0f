// The tool's usage texts, as the tests expect them byte for byte.
#pragma once

#include <string>

inline const std::string OPTION_SUMMARY =
    "General options:\n"
    "  -h, --help          display this help and exit\n"
    "  -n, --noseek        don't check file sizes (automatic for stdin/stdout)\n"
    "  -B, --nobar         do not display progress bar\n"
    "  -s, --silent        do not display any messages, including\n"
    "                         progress bar\n"
    "\n";

inline std::string general_usage(const std::string& program) {
    return "Usage: " + program + " COMMAND [OPTION]\n"
           "Used to interact with ZQR-VT through USB\n"
           "  This is a reduced version of program that only allows you to\n"
           "  to test ZQR-VT.\n"
           "\n"
           "COMMAND can be:\n"
           "  test             run memory and pin tests\n"
           "\n"
           "For help on specific commands, use " + program + " COMMAND --help\n"
           "\n" + OPTION_SUMMARY;
}

inline std::string test_usage(const std::string& program) {
    return "Usage: " + program + " test [OPTION]\n" "Run various tests\n\n" + OPTION_SUMMARY;
}

inline const std::string DEVICE_NOT_FOUND = "dorvex: Device not found\n";
