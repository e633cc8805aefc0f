// The shared USB driver, as the test loader runs it: descriptors, length
// rules, standard requests, class requests and bulk OUT banks.
#include <cerrno>

#include "firmware_board.h"
#include "usb/udp.h"

namespace {

const std::vector<std::uint8_t> deviceDescriptor = {0x12, 0x01, 0x10, 0x01, 0x02, 0x00, 0x00, 0x08, 0xEB,
                                                    0x03, 0x20, 0x61, 0x10, 0x01, 0x00, 0x00, 0x00, 0x01};
const std::vector<std::uint8_t> configurationSet = {
    0x09, 0x02, 0x2E, 0x00, 0x01, 0x01, 0x01, 0xC0, 0x00, 0x07, 0x21, 0x03, 0xFF, 0xFF, 0x04,
    0x00, 0x09, 0x04, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x07, 0x05, 0x00, 0x00, 0x40,
    0x00, 0x00, 0x07, 0x05, 0x04, 0x02, 0x40, 0x00, 0x00, 0x07, 0x05, 0x85, 0x02, 0x40, 0x00, 0x00};

std::vector<std::uint8_t> prefix(const std::vector<std::uint8_t>& v, std::size_t n) {
    return std::vector<std::uint8_t>(v.begin(), v.begin() + static_cast<long>(std::min(n, v.size())));
}

struct InCase {
    const char* name;
    std::uint8_t type, request;
    std::uint16_t value, index, length;
    int result;                          // byte count, or a negative errno
    std::vector<std::uint8_t> reply;     // for a non-negative result
};

void PrintTo(const InCase& c, std::ostream* os) { *os << c.name; }

class LoaderControlIn : public FirmwareBoard, public ::testing::WithParamInterface<InCase> {};

TEST_P(LoaderControlIn, Answers) {
    boot_loader();
    ASSERT_FALSE(HasFatalFailure());
    const InCase& c = GetParam();
    std::vector<std::uint8_t> reply;
    const int r = control_in(c.type, c.request, c.value, c.index, c.length, reply);
    ASSERT_EQ(r, c.result) << c.name;
    if (r >= 0) {
        EXPECT_EQ(hex_bytes(reply), hex_bytes(c.reply)) << c.name;
    }
    // The driver must still answer afterwards, a stall included.
    std::vector<std::uint8_t> after;
    EXPECT_EQ(control_in(0x80, 6, 0x0100, 0, 18, after), 18) << "device descriptor after " << c.name;
}

const InCase inCases[] = {
    {"device_descriptor", 0x80, 6, 0x0100, 0, 18, 18, deviceDescriptor},
    {"device_descriptor_first_8", 0x80, 6, 0x0100, 0, 8, 8, prefix(deviceDescriptor, 8)},
    {"device_descriptor_long_request", 0x80, 6, 0x0100, 0, 64, 18, deviceDescriptor},
    {"configuration_9", 0x80, 6, 0x0200, 0, 9, 9, prefix(configurationSet, 9)},
    {"configuration_46", 0x80, 6, 0x0200, 0, 46, 46, configurationSet},
    {"configuration_255", 0x80, 6, 0x0200, 0, 255, 46, configurationSet},
    {"string_0_empty", 0x80, 6, 0x0300, 0, 255, 0, {}},
    {"string_1_empty", 0x80, 6, 0x0301, 0x0409, 255, 0, {}},
    {"string_2_empty", 0x80, 6, 0x0302, 0x0409, 255, 0, {}},
    {"string_3_empty", 0x80, 6, 0x0303, 0x0409, 255, 0, {}},
    {"string_4_stalls", 0x80, 6, 0x0304, 0x0409, 255, -EPIPE, {}},
    {"other_descriptor_stalls", 0x80, 6, 0x0600, 0, 10, -EPIPE, {}},
    {"get_configuration", 0x80, 8, 0, 0, 1, 1, {0x01}},
    {"status_device", 0x80, 0, 0, 0, 2, 2, {0x00, 0x00}},
    {"status_interface", 0x81, 0, 0, 0, 2, 2, {0x00, 0x00}},
    {"status_endpoint_0", 0x82, 0, 0, 0x00, 2, 2, {0x00, 0x00}},
    {"status_endpoint_4", 0x82, 0, 0, 0x04, 2, 2, {0x00, 0x00}},
    {"status_endpoint_5", 0x82, 0, 0, 0x85, 2, 2, {0x00, 0x00}},
    {"status_endpoint_3_stalls", 0x82, 0, 0, 0x03, 2, -EPIPE, {}},
    {"class_in_0", 0xA1, 0, 0, 0, 1, 1, {0x00}},
    {"class_in_1", 0xA1, 1, 0, 0, 1, 1, {0x00}},
    {"unknown_vendor_in_is_empty", 0xC0, 0x42, 0, 0, 4, 0, {}},
    {"request_6_is_empty", 0xA1, 6, 0, 0, 8, 0, {}},
};

INSTANTIATE_TEST_SUITE_P(Requests, LoaderControlIn, ::testing::ValuesIn(inCases),
                         [](const ::testing::TestParamInfo<InCase>& info) { return std::string(info.param.name); });

struct OutCase {
    const char* name;
    std::uint8_t type, request;
    std::uint16_t value, index;
    int result;
};

void PrintTo(const OutCase& c, std::ostream* os) { *os << c.name; }

class LoaderControlOut : public FirmwareBoard, public ::testing::WithParamInterface<OutCase> {};

TEST_P(LoaderControlOut, Answers) {
    boot_loader();
    ASSERT_FALSE(HasFatalFailure());
    const OutCase& c = GetParam();
    EXPECT_EQ(control_out(c.type, c.request, c.value, c.index), c.result) << c.name;
    std::vector<std::uint8_t> after;
    EXPECT_EQ(control_in(0x80, 6, 0x0100, 0, 18, after), 18) << "device descriptor after " << c.name;
}

const OutCase outCases[] = {
    {"sync", 0x21, 0xFF, 0, 0, 0},
    {"clear_feature_device_stalls", 0x00, 1, 1, 0, -EPIPE},
    {"set_feature_device_stalls", 0x00, 3, 1, 0, -EPIPE},
    {"clear_feature_interface", 0x01, 1, 0, 0, 0},
    {"set_feature_interface", 0x01, 3, 0, 0, 0},
    {"clear_feature_endpoint_4", 0x02, 1, 0, 0x04, 0},
    {"clear_feature_endpoint_3_stalls", 0x02, 1, 0, 0x03, -EPIPE},
    {"clear_feature_other_selector_stalls", 0x02, 1, 1, 0x04, -EPIPE},
    {"set_feature_endpoint_0_stalls", 0x02, 3, 0, 0x00, -EPIPE},
    {"unknown_class_out", 0x21, 0x33, 0, 0, 0},
    {"set_descriptor_goes_to_hook", 0x00, 7, 0, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Requests, LoaderControlOut, ::testing::ValuesIn(outCases),
                         [](const ::testing::TestParamInfo<OutCase>& info) { return std::string(info.param.name); });

class LoaderUsb : public FirmwareBoard {};

TEST_F(LoaderUsb, EndpointHaltShowsInStatusAndClears) {
    boot_loader();
    ASSERT_FALSE(HasFatalFailure());
    std::vector<std::uint8_t> status;
    ASSERT_EQ(control_out(0x02, 3, 0, 0x85), 0);
    ASSERT_EQ(control_in(0x82, 0, 0, 0x85, 2, status), 2);
    EXPECT_EQ(hex_bytes(status), "01 00 ");
    ASSERT_EQ(control_out(0x02, 1, 0, 0x85), 0);
    ASSERT_EQ(control_in(0x82, 0, 0, 0x85, 2, status), 2);
    EXPECT_EQ(hex_bytes(status), "00 00 ");
}

TEST_F(LoaderUsb, MultiPacketRepliesInARowAreWhole) {
    // Each reply's status stage leaves a flag on endpoint 0 that must not cut
    // the next reply short.
    boot_loader();
    ASSERT_FALSE(HasFatalFailure());
    for (int i = 0; i < 4; ++i) {
        std::vector<std::uint8_t> reply;
        ASSERT_EQ(control_in(0x80, 6, 0x0200, 0, 46, reply), 46) << "round " << i;
        EXPECT_EQ(hex_bytes(reply), hex_bytes(configurationSet)) << "round " << i;
    }
}

TEST_F(LoaderUsb, EnumeratedAddressIsInFunctionAddressRegister) {
    boot_loader();
    ASSERT_FALSE(HasFatalFailure());
    const auto info = vb().device();
    ASSERT_TRUE(info.has_value());
    EXPECT_NE(info->address, 0);
    EXPECT_EQ(hex_bytes(info->device_descriptor), hex_bytes(deviceDescriptor));
    ASSERT_EQ(info->configurations.size(), 1u);
    EXPECT_EQ(hex_bytes(info->configurations[0]), hex_bytes(configurationSet));
    EXPECT_EQ(vb().udp().faddr(), 0x100u | info->address);
    EXPECT_EQ(vb().udp().glb_stat(), 0x2u) << "configured";
}

TEST_F(LoaderUsb, BulkOutPacketsAlternateBanksInOrder) {
    boot_loader();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(bulk_write({0x00, 0x10, 0x00, 0x00}), 4);   // length word: 4096 bytes, bank 0
    std::vector<std::uint8_t> first(64), second(64), third(64);
    for (int i = 0; i < 64; ++i) {
        first[i] = static_cast<std::uint8_t>(i);
        second[i] = static_cast<std::uint8_t>(0x80 + i);
        third[i] = static_cast<std::uint8_t>(0xC0 ^ i);
    }
    ASSERT_EQ(bulk_write(first), 64);    // bank 1
    ASSERT_EQ(bulk_write(second), 64);   // bank 0
    ASSERT_EQ(bulk_write(third), 64);    // bank 1
    vb().run_for(vboard::Nanos{1'000'000});
    EXPECT_EQ(hex_bytes(peek(0x20000000, 64)), hex_bytes(first));
    EXPECT_EQ(hex_bytes(peek(0x20000040, 64)), hex_bytes(second));
    EXPECT_EQ(hex_bytes(peek(0x20000080, 64)), hex_bytes(third));
    EXPECT_EQ(peek32(loader["uploadRemaining"]), 4096u - 192u);
    EXPECT_EQ(peek32(loader["loaderDevice"] + 8), 0x02u) << "receiveBank after four packets";
}

TEST_F(LoaderUsb, BusResetStartsBulkBanksAgainAtBankZero) {
    boot_loader();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(bulk_write({0x40, 0x00, 0x00, 0x00}), 4);   // one packet: bank 0, next is bank 1
    ASSERT_EQ(peek32(loader["loaderDevice"] + 8), 0x40u);
    ASSERT_EQ(vb().port_reset(), 0);
    ASSERT_TRUE(vb().wait_for_device(vboard::Nanos{1'000'000'000}));
    EXPECT_EQ(peek32(loader["loaderDevice"] + 8), 0x02u);
    std::vector<std::uint8_t> data(64, 0x5A);
    ASSERT_EQ(bulk_write(data), 64);
    vb().run_for(vboard::Nanos{1'000'000});
    EXPECT_EQ(hex_bytes(peek(0x20000000, 64)), hex_bytes(data));
}

}  // namespace

TEST_F(LoaderUsb, WaitingLoaderLetsTimePassAfterControlReads) {
    // After a control read the port keeps endpoint 0's interrupt up (the
    // status stage's flag stays set until the next SETUP), so the loader's
    // main loop clears it in UDP_ICR, which changes nothing, on every turn.
    // That loop still only waits: the board must skip it instead of running
    // it for as long as the host leaves the loader alone.
    boot_loader();
    ASSERT_FALSE(HasFatalFailure());
    std::vector<std::uint8_t> reply;
    ASSERT_EQ(control_in(0xA1, 3, 0, 0, 8, reply), 8);  // REQ_MEMTEST_STATUS
    ASSERT_EQ(control_in(0x80, 6, 0x0100, 0, 18, reply), 18);
    const auto before = board().stats();
    vb().run_for(vboard::Nanos{100'000'000});
    const auto after = board().stats();
    EXPECT_LT(after.instructions - before.instructions, 100'000u);
    EXPECT_GE(after.idle_skipped - before.idle_skipped, vboard::Nanos{99'000'000});
    EXPECT_EQ(after.model_errors, 0u) << diagnostics();
}
