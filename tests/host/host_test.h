// Shared fixture of the host unit tests: a cleared fake libusb, fake clocks
// and sleeps, and the message and progress streams captured in memory.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_usb.h"

// A stream whose text can be read back.
class CapturedStream {
public:
    CapturedStream();
    ~CapturedStream();
    FILE* stream() const { return file_; }
    std::string text();

private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    FILE* file_ = nullptr;
};

// Standard output redirected to a file while it lives.
class CapturedStdout {
public:
    CapturedStdout();
    ~CapturedStdout();
    std::string finish();

private:
    int saved_ = -1;
    FILE* file_ = nullptr;
    bool done_ = false;
};

class HostTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Points the message stream at standard error, where death tests see it;
    // progress goes to the captured progress stream.
    void messages_to_stderr();

    std::string messages() { return messages_.text(); }
    std::string progress() { return progress_.text(); }

    CapturedStream messages_;
    CapturedStream progress_;
};

// For death tests: at the child's exit, prints "-- <n> requests, <m> searches\n"
// to standard error, after whatever the code under test printed.
void count_requests_at_exit();

// Bytes of a little-endian 32-bit word.
std::vector<uint8_t> le32(uint32_t value);

// The request log as the DFU protocol names it: "GETSTATUS", "CLRSTATUS",
// "ABORT", "GETSTATE", "DNLOAD#<block>:<length>", "RESET", others verbatim.
std::vector<std::string> dfu_names(const std::vector<std::string>& log);

// The images the tests link in place of the firmware's.
extern const std::vector<uint8_t>& test_loader_bytes();
extern const std::vector<uint8_t>& uploader_bytes();
