// Finding the board: the DFU interface rule, the DFU search with its reset
// budget and failures, and the search for the running test loader.
#include <errno.h>

#include "cli/messages.h"
#include "host_test.h"
#include "loader_protocol.h"
#include "usb/discovery.h"
#include "usb/host_limits.h"

namespace {

using ::testing::ElementsAre;

// ---- find_dfu_interface ---------------------------------------------------

struct InterfaceCase {
    const char* name;
    std::vector<FakeConfig> configs;
    int expected;
};

class DfuInterface : public HostTest, public ::testing::WithParamInterface<InterfaceCase> {};

TEST_P(DfuInterface, IsTheFirstDfuAltSettingOfAFirstInterface) {
    auto device = std::make_shared<FakeDevice>();
    device->name = "dev";
    device->configs = GetParam().configs;
    fake.buses = {{device}};
    usb_find_busses();
    usb_find_devices();
    EXPECT_EQ(find_dfu_interface(usb_get_busses()->devices), GetParam().expected);
}

const FakeAltSetting DFU0 = {0, 0xFE, 0x01};

INSTANTIATE_TEST_SUITE_P(
    Configurations, DfuInterface,
    ::testing::Values(
        InterfaceCase{"DfuInterfaceZero", {{{DFU0}}}, 0},
        InterfaceCase{"DfuInterfaceThree", {{{{3, 0xFE, 0x01}}}}, 3},
        InterfaceCase{"LoaderInterfaceClassZero", {{{{0, 0x00, 0x00}}}}, -1},
        InterfaceCase{"WrongSubclass", {{{{0, 0xFE, 0x02}}}}, -1},
        InterfaceCase{"WrongClass", {{{{0, 0xFF, 0x01}}}}, -1},
        InterfaceCase{"DfuAsSecondInterfaceIsNotFound", {{{{0, 0x08, 0x06}}, {{1, 0xFE, 0x01}}}}, -1},
        InterfaceCase{"FirstDfuAltSettingDecides", {{{{0, 0x00, 0x00}, {2, 0xFE, 0x01}, {5, 0xFE, 0x01}}}}, 2},
        InterfaceCase{"EmptyConfigurationSkipped", {{}, {{{1, 0xFE, 0x01}}}}, 1},
        InterfaceCase{"SecondConfiguration", {{{{0, 0x03, 0x00}}}, {{{4, 0xFE, 0x01}}}}, 4},
        InterfaceCase{"NoConfigurations", {}, -1}),
    [](const ::testing::TestParamInfo<InterfaceCase>& info) { return std::string(info.param.name); });

TEST_F(HostTest, DfuInterfaceOfDeviceWithoutConfigurationArrayIsNone) {
    auto device = make_dfu_device("dev");
    device->no_config_array = true;
    fake.buses = {{device}};
    usb_find_busses();
    usb_find_devices();
    EXPECT_EQ(find_dfu_interface(usb_get_busses()->devices), -1);
}

// ---- find_dfu_device -------------------------------------------------------

std::vector<uint8_t> status_reply(uint8_t state, uint8_t status = 0) { return {status, 0, 0, 0, state, 0}; }

// A boot ROM that answers every DFU_GETSTATUS with this state.
void always_in_state(FakeDevice& device, uint8_t state) {
    device.responder = [state](const FakeRequest& request) {
        if (request.request_type == 0xA1 && request.request == 3)
            return reply_in(status_reply(state));
        return reply_ok();
    };
}

int count(const std::vector<std::string>& log, const std::string& line) {
    return static_cast<int>(std::count(log.begin(), log.end(), line));
}

class DfuSearch : public HostTest {
protected:
    struct usb_device* search() { return find_dfu_device(0x03EB, 0x6120, &handle, &interface); }
    usb_dev_handle* handle = reinterpret_cast<usb_dev_handle*>(1);
    uint16_t interface = 99;
};

TEST_F(DfuSearch, IdleBootRomIsTakenOpenAndClaimed) {
    auto rom = make_dfu_device("rom", 2);
    always_in_state(*rom, 2);
    fake.buses = {{rom}};
    struct usb_device* found = search();
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->filename, "rom");
    EXPECT_NE(handle, nullptr);
    EXPECT_EQ(interface, 2);
    EXPECT_THAT(fake.log, ElementsAre("find_busses", "find_devices", "open rom", "set_configuration rom 1",
                                      "claim rom 2",
                                      "control rom 0xa1/0x03 wValue=0 wIndex=2 wLength=6 timeout=500"));
    EXPECT_EQ(fake.open_handles, 1);
}

TEST_F(DfuSearch, NoMatchingDeviceGivesNoneAndClearsOutputs) {
    auto other = make_dfu_device("other");
    other->vendor_id = 0x1234;
    auto wrong_product = make_dfu_device("wrong-product");
    wrong_product->product_id = 0x6124;
    fake.buses = {{other, wrong_product}};
    EXPECT_EQ(search(), nullptr);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(interface, 0);
    EXPECT_EQ(count(fake.log, "open other"), 0);
    EXPECT_EQ(count(fake.log, "open wrong-product"), 0);
}

TEST_F(DfuSearch, RunningLoaderIsNotADfuDevice) {
    auto loader = make_loader_device("loader");
    fake.buses = {{loader}};
    EXPECT_EQ(search(), nullptr);
    EXPECT_EQ(count(fake.log, "open loader"), 0);
}

TEST_F(DfuSearch, DeviceOnLaterBusIsFound) {
    auto other = make_loader_device("loader");
    auto rom = make_dfu_device("rom");
    always_in_state(*rom, 2);
    fake.buses = {{other}, {}, {rom}};
    struct usb_device* found = search();
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->filename, "rom");
}

TEST_F(DfuSearch, DeviceThatDoesNotOpenIsSkipped) {
    auto broken = make_dfu_device("broken");
    broken->open_fails = true;
    auto rom = make_dfu_device("rom");
    always_in_state(*rom, 2);
    fake.buses = {{broken, rom}};
    struct usb_device* found = search();
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->filename, "rom");
}

TEST_F(DfuSearch, UnclaimableInterfaceClosesAndSkipsTheDevice) {
    auto busy = make_dfu_device("busy");
    busy->claim_result = -EBUSY;
    auto rom = make_dfu_device("rom");
    always_in_state(*rom, 2);
    fake.buses = {{busy, rom}};
    struct usb_device* found = search();
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->filename, "rom");
    EXPECT_THAT(std::vector<std::string>(fake.log.begin() + 2, fake.log.begin() + 6),
                ElementsAre("open busy", "set_configuration busy 1", "claim busy 0", "close busy"));
}

TEST_F(DfuSearch, ConfigurationFailurePrintsOnStdoutAndEndsTheSearch) {
    auto first = make_dfu_device("first");
    first->set_configuration_result = -EBUSY;
    auto second = make_dfu_device("second");
    always_in_state(*second, 2);
    fake.buses = {{first, second}};
    message_stream = null_sink;  // as after -s: this message still shows
    CapturedStdout out;
    struct usb_device* found = search();
    EXPECT_EQ(out.finish(), "error: setting config 1 failed: 16 - Device or resource busy\n");
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(count(fake.log, "close first"), 1);
    EXPECT_EQ(count(fake.log, "open second"), 0) << "the search ends at the first failure";
    EXPECT_EQ(fake.open_handles, 0);
}

TEST_F(DfuSearch, FourResetsRestartThreeTimesThenGiveNone) {
    auto rom = make_dfu_device("rom");
    always_in_state(*rom, 1);  // appDETACH: reset on every attempt
    fake.buses = {{rom}};
    EXPECT_EQ(search(), nullptr);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(count(fake.log, "reset rom"), 4);
    EXPECT_EQ(fake.searches, 4) << "the first search and three restarts";
    EXPECT_EQ(fake.open_handles, 0) << "the handle of a reset device is closed";
    EXPECT_EQ(count(fake.log, "control rom 0x21/0x00 wValue=0 wIndex=0 wLength=0 timeout=500"), 0)
        << "DFU_DETACH is never sent";
}

TEST_F(DfuSearch, DeviceBackFromResetIsTakenOnTheFreshList) {
    auto rom = make_dfu_device("rom");
    rom->script = {reply_in(status_reply(8))};  // dfuMANIFEST-WAIT-RESET once
    always_in_state(*rom, 2);
    fake.buses = {{rom}};
    ASSERT_NE(search(), nullptr);
    EXPECT_EQ(count(fake.log, "reset rom"), 1);
    EXPECT_EQ(fake.searches, 2);
}

TEST_F(DfuSearch, DeviceThatCannotBeIdledIsReleasedAndNextIsTried) {
    auto stuck = make_dfu_device("stuck");
    always_in_state(*stuck, 10);  // dfuERROR for ever
    auto rom = make_dfu_device("rom");
    always_in_state(*rom, 2);
    fake.buses = {{stuck, rom}};
    struct usb_device* found = search();
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->filename, "rom");
    EXPECT_EQ(count(fake.log, "release stuck 0"), 1);
    EXPECT_EQ(count(fake.log, "close stuck"), 1);
}

TEST_F(DfuSearch, StuckDeviceRefillsTheResetBudget) {
    // stuck gives up (-2, budget back to 4) before each reset of rom, so rom
    // is reset more than four times; the search limit ends it.
    auto stuck = make_dfu_device("stuck");
    always_in_state(*stuck, 10);
    auto rom = make_dfu_device("rom");
    always_in_state(*rom, 1);
    fake.buses = {{stuck, rom}};
    messages_to_stderr();
    // Each search: four passes on stuck (status and clear), one on rom.
    EXPECT_EXIT(
        {
            count_requests_at_exit();
            search();
        },
        ::testing::ExitedWithCode(1),
        ::testing::Eq("dorvex: DFU device keeps resetting; gave up after 10 searches\n"
                      "-- 90 requests, 10 searches\n"));
}

TEST_F(DfuSearch, SearchLimitLeavesTheFourResetBudgetAlone) {
    static_assert(DFU_SEARCH_LIMIT > 4, "a single resetting board must end with none, not a fatal error");
    auto stuck = make_dfu_device("stuck");
    always_in_state(*stuck, 10);
    auto rom = make_dfu_device("rom");
    always_in_state(*rom, 1);
    // rom first: its resets use the budget before stuck can refill it.
    fake.buses = {{rom, stuck}};
    EXPECT_EQ(search(), nullptr);
    EXPECT_EQ(count(fake.log, "reset rom"), 4);
}

// ---- find_running_loader ---------------------------------------------------

const std::string SYNC = "control loader 0x21/0xff wValue=0 wIndex=0 wLength=0 timeout=2000";

class LoaderSearch : public HostTest {
protected:
    struct usb_device* search() { return find_running_loader(0x03EB, 0x6120, &handle); }
    usb_dev_handle* handle = reinterpret_cast<usb_dev_handle*>(1);
    void expect_sync_bound(int result, unsigned elapsed_ms, const char* requests);
};

TEST_F(LoaderSearch, OpensConfiguresClaimsAndSyncs) {
    auto loader = make_loader_device("loader");
    fake.buses = {{loader}};
    struct usb_device* found = search();
    ASSERT_NE(found, nullptr);
    EXPECT_NE(handle, nullptr);
    EXPECT_THAT(fake.log, ElementsAre("find_busses", "find_devices", "open loader", "set_configuration loader 1",
                                      "claim loader 0", SYNC));
}

TEST_F(LoaderSearch, NothingAttachedGivesNoneWithoutHandle) {
    auto other = make_loader_device("other");
    other->vendor_id = 0x0001;
    fake.buses = {{other}};
    EXPECT_EQ(search(), nullptr);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(LoaderSearch, NoInterfaceClassIsChecked) {
    auto rom = make_dfu_device("loader");
    fake.buses = {{rom}};
    EXPECT_NE(search(), nullptr);
}

TEST_F(LoaderSearch, DeviceThatDoesNotOpenIsSkipped) {
    auto broken = make_loader_device("broken");
    broken->open_fails = true;
    auto loader = make_loader_device("loader");
    fake.buses = {{broken}, {loader}};
    struct usb_device* found = search();
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->filename, "loader");
}

TEST_F(LoaderSearch, SyncIsRepeatedAtOnceUntilAnswered) {
    auto loader = make_loader_device("loader");
    loader->script = {reply_fail(-ETIMEDOUT, 2000), reply_fail(-EPIPE), reply_fail(-ETIMEDOUT, 2000), reply_ok()};
    fake.buses = {{loader}};
    ASSERT_NE(search(), nullptr);
    EXPECT_EQ(count(fake.log, SYNC), 4);
    EXPECT_EQ(count(fake.log, "sleep 0"), 0);
}

TEST_F(LoaderSearch, SyncAnsweredJustInsideTheLimitIsAccepted) {
    auto loader = make_loader_device("loader");
    const int failures = static_cast<int>(SYNC_LIMIT_MS / uint64_t{LOADER_TIMEOUT_MS}) - 1;
    for (int i = 0; i < failures; ++i)
        loader->script.push_back(reply_fail(-ETIMEDOUT, LOADER_TIMEOUT_MS));
    loader->script.push_back(reply_ok());
    fake.buses = {{loader}};
    ASSERT_NE(search(), nullptr);
    EXPECT_EQ(count(fake.log, SYNC), failures + 1);
}

// A loader whose every REQ_SYNC fails with `result` after `elapsed_ms`: the
// search ends with the sync bound's message once `requests` have been sent.
void LoaderSearch::expect_sync_bound(int result, unsigned elapsed_ms, const char* requests) {
    auto loader = make_loader_device("loader");
    loader->responder = [=](const FakeRequest&) { return reply_fail(result, elapsed_ms); };
    fake.buses = {{loader}};
    messages_to_stderr();
    EXPECT_EXIT(
        {
            count_requests_at_exit();
            search();
        },
        ::testing::ExitedWithCode(1),
        ::testing::Eq(std::string("dorvex: Test loader does not answer (no reply to sync request within 10 s)\n"
                                  "-- ") +
                      requests + " requests, 1 searches\n"));
}

TEST_F(LoaderSearch, LoaderThatNeverAnswersEndsTheRun) {
    // Five attempts of 2000 ms each.
    expect_sync_bound(-ETIMEDOUT, LOADER_TIMEOUT_MS, "5");
}

TEST_F(LoaderSearch, LoaderFailingFastStillEndsTheRun) {
    expect_sync_bound(-EPIPE, 1, "10000");
}

TEST_F(LoaderSearch, ConfigurationFailureIsFatalWithEmptyLine) {
    auto loader = make_loader_device("loader");
    loader->set_configuration_result = -EIO;
    fake.buses = {{loader}};
    messages_to_stderr();
    EXPECT_EXIT(search(), ::testing::ExitedWithCode(1), ::testing::Eq("dorvex: error: setting config 1 failed\n\n"));
}

TEST_F(LoaderSearch, ClaimFailureIsFatalWithLibraryText) {
    auto loader = make_loader_device("loader");
    loader->claim_result = -EBUSY;
    fake.buses = {{loader}};
    fake.error_text = "could not claim interface 0: Device or resource busy";
    messages_to_stderr();
    EXPECT_EXIT(search(), ::testing::ExitedWithCode(1),
                ::testing::Eq("dorvex: could not claim interface 0: Device or resource busy\n"));
}

}  // namespace
