#include "host_test.h"

#include <string.h>
#include <unistd.h>

#include "cli/messages.h"
#include "firmware_image.h"
#include "progress/progress.h"
#include "usb/dfu.h"
#include "usb/host_time.h"

namespace {

std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + seed + i / 251);
    return bytes;
}

}  // namespace

// Stand-ins for the firmware images, with this build's lengths.
const std::vector<uint8_t>& test_loader_bytes() {
    static const std::vector<uint8_t> bytes = pattern(7544, 1);
    return bytes;
}
const std::vector<uint8_t>& uploader_bytes() {
    static const std::vector<uint8_t> bytes = pattern(22416, 3);
    return bytes;
}
const FirmwareImage test_loader_image = {test_loader_bytes().data(), static_cast<uint32_t>(test_loader_bytes().size())};
const FirmwareImage uploader_image = {uploader_bytes().data(), static_cast<uint32_t>(uploader_bytes().size())};

CapturedStream::CapturedStream() { file_ = open_memstream(&buffer_, &size_); }

CapturedStream::~CapturedStream() {
    fclose(file_);
    free(buffer_);
}

std::string CapturedStream::text() {
    fflush(file_);
    return std::string(buffer_, size_);
}

CapturedStdout::CapturedStdout() {
    fflush(stdout);
    file_ = tmpfile();
    saved_ = dup(STDOUT_FILENO);
    dup2(fileno(file_), STDOUT_FILENO);
}

std::string CapturedStdout::finish() {
    if (done_)
        return "";
    done_ = true;
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    std::string text;
    rewind(file_);
    char chunk[512];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file_)) > 0)
        text.append(chunk, got);
    fclose(file_);
    return text;
}

CapturedStdout::~CapturedStdout() { finish(); }

void HostTest::SetUp() {
    fake_clear();
    session_clock_ms = fake_clock_ms;
    session_sleep_ms = fake_sleep_ms;
    progress_ticks = fake_clock_ms;
    dfu_block_number = 0;
    if (!null_sink)
        null_sink = open_null_sink();
    message_stream = messages_.stream();
    progress_stream = progress_.stream();
}

void HostTest::TearDown() {
    message_stream = stderr;
    progress_stream = stderr;
}

void HostTest::messages_to_stderr() {
    fflush(stderr);
    message_stream = stderr;
}

void count_requests_at_exit() {
    atexit([] { fprintf(stderr, "-- %zu requests, %d searches\n", fake.requests.size(), fake.searches); });
}

std::vector<uint8_t> le32(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

std::vector<std::string> dfu_names(const std::vector<std::string>& log) {
    std::vector<std::string> names;
    for (const std::string& line : log) {
        if (line.rfind("control ", 0) == 0) {
            if (line.find(" 0xa1/0x03 ") != std::string::npos)
                names.push_back("GETSTATUS");
            else if (line.find(" 0x21/0x04 ") != std::string::npos)
                names.push_back("CLRSTATUS");
            else if (line.find(" 0x21/0x06 ") != std::string::npos)
                names.push_back("ABORT");
            else if (line.find(" 0xa1/0x05 ") != std::string::npos)
                names.push_back("GETSTATE");
            else if (line.find(" 0x21/0x01 ") != std::string::npos) {
                int value = -1, length = -1;
                sscanf(line.c_str() + line.find("wValue="), "wValue=%d", &value);
                sscanf(line.c_str() + line.find("wLength="), "wLength=%d", &length);
                names.push_back("DNLOAD#" + std::to_string(value) + ":" + std::to_string(length));
            }
            else
                names.push_back(line);
        } else if (line.rfind("reset ", 0) == 0) {
            names.push_back("RESET");
        } else {
            names.push_back(line);
        }
    }
    return names;
}
