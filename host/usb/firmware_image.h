// The firmware programs that dorvex carries inside itself. The build makes
// both records from the firmware's flat images; their lengths are whatever
// the firmware build produced, so always use `length`.
#pragma once

#include <stdint.h>

struct FirmwareImage {
    const uint8_t* data;
    uint32_t length;
};

extern const FirmwareImage test_loader_image;
extern const FirmwareImage uploader_image;
