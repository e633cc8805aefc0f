// A scripted libusb-0.1 for the host unit tests. The test binary defines the
// usb_* functions itself (a link seam), so the host code under test talks to
// these devices exactly as it would to the system's library: every request is
// logged, and the replies, short replies, failures and resets are staged here.
#pragma once

#include <stdint.h>
#include <usb.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct FakeAltSetting {
    uint8_t number;
    uint8_t interface_class;
    uint8_t interface_subclass;
};

// One interface: its alternate settings in order.
using FakeInterface = std::vector<FakeAltSetting>;
// One configuration: its interfaces in order.
using FakeConfig = std::vector<FakeInterface>;

// One request as the host sent it.
struct FakeRequest {
    std::string device;
    bool bulk = false;
    int request_type = 0;  // control only
    int request = 0;       // control only
    int value = 0;
    int index = 0;
    int length = 0;        // wLength, or the bulk write's size
    int endpoint = 0;      // bulk only
    int timeout = 0;
    std::vector<uint8_t> out;  // bytes sent host to device
};

// The device's answer to one request.
struct FakeReply {
    int result = 0;               // the library's return value
    std::vector<uint8_t> data;    // copied into an IN buffer, at most wLength
    uint64_t elapsed_ms = 0;      // how far the fake clock moves meanwhile
};

// A reply of `bytes` (the result is the number of bytes, capped at wLength).
FakeReply reply_in(std::vector<uint8_t> bytes);
// A failed request: `error` is a negative errno, as libusb-0.1 returns it.
FakeReply reply_fail(int error, uint64_t elapsed_ms = 0);
// A zero-length success (no data stage).
FakeReply reply_ok();

struct FakeDevice {
    std::string name;
    uint16_t vendor_id = 0x03EB;
    uint16_t product_id = 0x6120;
    std::vector<FakeConfig> configs;
    bool no_config_array = false;   // the library could not read the configurations
    bool open_fails = false;
    int set_configuration_result = 0;
    int claim_result = 0;
    // Replies to control requests and bulk writes, in order. When the script
    // is empty the responder answers; without one, a request succeeds with 0.
    std::deque<FakeReply> script;
    std::function<FakeReply(const FakeRequest&)> responder;
    // Called on usb_reset, e.g. to swap what the bus shows afterwards.
    std::function<void()> on_reset;
};

using FakeDevicePtr = std::shared_ptr<FakeDevice>;

struct FakeUsb {
    std::vector<std::vector<FakeDevicePtr>> buses;  // what the next usb_find_devices shows
    std::vector<std::string> log;                   // every library call, in order
    std::vector<FakeRequest> requests;              // every control request and bulk write
    std::string error_text = "fake error";          // usb_strerror()
    uint64_t clock_ms = 1000000;                    // the fake monotonic clock
    int open_handles = 0;
    int searches = 0;                               // usb_find_devices calls
};

extern FakeUsb fake;

// Empties the fake: no buses, no log, clock back to its start.
void fake_clear();

// A device as the boot ROM shows it: one configuration whose first interface
// is the DFU interface (class 0xFE, subclass 1) with the given number.
FakeDevicePtr make_dfu_device(const std::string& name, uint8_t interface = 0);
// A device as the test loader shows it: interface 0 of class 0.
FakeDevicePtr make_loader_device(const std::string& name);

// The fake clock, for the session's and the progress meter's clock seams.
uint64_t fake_clock_ms();
void fake_sleep_ms(unsigned milliseconds);

// "control dev 0xa1/3 wValue=0 wIndex=0 wLength=6 timeout=500" and the like.
std::string describe(const FakeRequest& request);
std::vector<std::string> describe_all(const std::vector<FakeRequest>& requests);
