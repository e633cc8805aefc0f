// The DFU client: bringing the boot ROM to idle, decoding DFU_GETSTATUS and
// DFU_GETSTATE, and the download with its block numbers and sizes.
#include <errno.h>

#include "host_test.h"
#include "usb/dfu.h"
#include "usb/host_limits.h"

namespace {

using Names = std::vector<std::string>;

std::vector<uint8_t> status_reply(uint8_t state, uint8_t status = 0) { return {status, 0, 0, 0, state, 0}; }
FakeReply in_state(uint8_t state, uint8_t status = 0) { return reply_in(status_reply(state, status)); }
FakeReply short_status() { return reply_in({0, 0, 0}); }

class DfuTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        rom = make_dfu_device("rom", 1);
        fake.buses = {{rom}};
        usb_find_busses();
        usb_find_devices();
        handle = usb_open(usb_get_busses()->devices);
        fake.log.clear();
        fake.requests.clear();
    }
    void TearDown() override {
        usb_close(handle);
        HostTest::TearDown();
    }
    FakeDevicePtr rom;
    usb_dev_handle* handle = nullptr;
};

// ---- dfu_make_idle ---------------------------------------------------------

struct MakeIdleCase {
    const char* name;
    std::vector<FakeReply> replies;  // answers to the requests, in order
    int result;
    Names sent;
};

class MakeIdle : public DfuTest, public ::testing::WithParamInterface<MakeIdleCase> {};

TEST_P(MakeIdle, SendsExactlyTheseRequests) {
    const MakeIdleCase& c = GetParam();
    rom->script.assign(c.replies.begin(), c.replies.end());
    // Requests beyond the script fail, reading as dfuERROR.
    rom->responder = [](const FakeRequest&) { return reply_fail(-ETIMEDOUT); };
    EXPECT_EQ(dfu_make_idle(handle, 1), c.result);
    EXPECT_EQ(dfu_names(fake.log), c.sent);
}

const std::string GS = "GETSTATUS", CLR = "CLRSTATUS", ABORT = "ABORT", RESET = "RESET";
const FakeReply OK = reply_ok();

MakeIdleCase abort_then_idle(const char* name, uint8_t state) {
    return {name, {in_state(state), OK, in_state(2)}, 0, {GS, ABORT, GS}};
}

INSTANTIATE_TEST_SUITE_P(
    States, MakeIdle,
    ::testing::Values(
        MakeIdleCase{"IdleOkNeedsNothingElse", {in_state(2)}, 0, {GS}},
        MakeIdleCase{"AppIdleIsIdle", {in_state(0)}, 0, {GS}},
        MakeIdleCase{"IdleWithErrorStatusIsCleared", {in_state(2, 0x0A), OK, in_state(2)}, 0, {GS, CLR, GS}},
        MakeIdleCase{"AppDetachIsReset", {in_state(1)}, 1, {GS, RESET}},
        MakeIdleCase{"ManifestWaitResetIsReset", {in_state(8)}, 1, {GS, RESET}},
        abort_then_idle("DnloadSyncAborted", 3), abort_then_idle("DnbusyAborted", 4),
        abort_then_idle("DnloadIdleAborted", 5), abort_then_idle("ManifestSyncAborted", 6),
        abort_then_idle("ManifestAborted", 7), abort_then_idle("UploadIdleAborted", 9),
        MakeIdleCase{"ErrorIsCleared", {in_state(10), OK, in_state(2)}, 0, {GS, CLR, GS}},
        MakeIdleCase{"ErrorFourTimesGivesUp",
                     {in_state(10), OK, in_state(10), OK, in_state(10), OK, in_state(10), OK},
                     -2,
                     {GS, CLR, GS, CLR, GS, CLR, GS, CLR}},
        MakeIdleCase{"SilentDeviceReadsAsErrorAndGivesUp",
                     {reply_fail(-ETIMEDOUT), OK, reply_fail(-EPIPE), OK, reply_in({}), OK, reply_in({}), OK},
                     -2,
                     {GS, CLR, GS, CLR, GS, CLR, GS, CLR}},
        MakeIdleCase{"UnknownStateUsesAnAttemptAndSendsNothing",
                     {in_state(11), in_state(200), in_state(11), in_state(11)},
                     -2,
                     {GS, GS, GS, GS}},
        MakeIdleCase{"ThreeAbortsThenIdle",
                     {in_state(5), OK, in_state(5), OK, in_state(5), OK, in_state(2)},
                     0,
                     {GS, ABORT, GS, ABORT, GS, ABORT, GS}},
        MakeIdleCase{"FourAbortsGiveUp",
                     {in_state(5), OK, in_state(5), OK, in_state(5), OK, in_state(5), OK, in_state(2)},
                     -2,
                     {GS, ABORT, GS, ABORT, GS, ABORT, GS, ABORT}},
        MakeIdleCase{"ShortReplyIsClearedWithoutUsingAnAttempt",
                     {short_status(), OK, in_state(2)},
                     0,
                     {GS, CLR, GS}},
        MakeIdleCase{"ShortRepliesDoNotCountAsAttempts",
                     {short_status(), OK, in_state(10), OK, short_status(), OK, in_state(10), OK, in_state(10), OK,
                      in_state(10), OK},
                     -2,
                     {GS, CLR, GS, CLR, GS, CLR, GS, CLR, GS, CLR, GS, CLR}},
        MakeIdleCase{"LastAttemptAfterErrorsCanStillSucceed",
                     {in_state(10), OK, in_state(10), OK, in_state(10), OK, in_state(2)},
                     0,
                     {GS, CLR, GS, CLR, GS, CLR, GS}}),
    [](const ::testing::TestParamInfo<MakeIdleCase>& info) { return std::string(info.param.name); });

TEST_F(DfuTest, MakeIdleRequestsCarryTheInterfaceAndTimeOut) {
    rom->script = {in_state(10), OK, in_state(5), OK, in_state(2)};
    EXPECT_EQ(dfu_make_idle(handle, 1), 0);
    EXPECT_EQ(describe_all(fake.requests),
              (Names{"control rom 0xa1/0x03 wValue=0 wIndex=1 wLength=6 timeout=500",
                     "control rom 0x21/0x04 wValue=0 wIndex=1 wLength=0 timeout=500",
                     "control rom 0xa1/0x03 wValue=0 wIndex=1 wLength=6 timeout=500",
                     "control rom 0x21/0x06 wValue=0 wIndex=1 wLength=0 timeout=500",
                     "control rom 0xa1/0x03 wValue=0 wIndex=1 wLength=6 timeout=500"}));
}

TEST_F(DfuTest, ShortRepliesUpToTheLimitAreTolerated) {
    for (int i = 0; i < DFU_SHORT_STATUS_LIMIT; ++i) {
        rom->script.push_back(short_status());
        rom->script.push_back(OK);
    }
    rom->script.push_back(in_state(2));
    EXPECT_EQ(dfu_make_idle(handle, 1), 0);
}

TEST_F(DfuTest, EndlessShortRepliesEndTheRun) {
    rom->responder = [](const FakeRequest& request) {
        return request.request == 3 ? reply_in({0, 0, 0, 0, 2}) : reply_ok();
    };
    messages_to_stderr();
    // Eight short replies are cleared; the ninth ends the run.
    EXPECT_EXIT(
        {
            count_requests_at_exit();
            dfu_make_idle(handle, 1);
        },
        ::testing::ExitedWithCode(1),
        ::testing::Eq("dorvex: DFU device keeps giving short status replies; cannot bring it to idle\n"
                      "-- 17 requests, 1 searches\n"));
}

// ---- dfu_get_status / dfu_get_state ---------------------------------------

struct StatusCase {
    const char* name;
    FakeReply reply;
    int result;
    DfuStatus expected;
};

class GetStatus : public DfuTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(GetStatus, DecodesTheReply) {
    const StatusCase& c = GetParam();
    rom->script = {c.reply};
    DfuStatus status = {0x55, 0x55555555, 0x55, 0x55};
    EXPECT_EQ(dfu_get_status(handle, 1, &status), c.result);
    EXPECT_EQ(status.bStatus, c.expected.bStatus);
    EXPECT_EQ(status.bwPollTimeout, c.expected.bwPollTimeout);
    EXPECT_EQ(status.bState, c.expected.bState);
    EXPECT_EQ(status.iString, c.expected.iString);
}

const DfuStatus PREFILLED = {0x0E, 0, 10, 0};

INSTANTIATE_TEST_SUITE_P(
    Replies, GetStatus,
    ::testing::Values(
        StatusCase{"PollTimeoutTenSeconds", reply_in({0x00, 0x10, 0x27, 0x00, 0x02, 0x00}), 0, {0x00, 10000, 2, 0}},
        StatusCase{"AllFieldsLittleEndian", reply_in({0x0A, 0x01, 0x02, 0x03, 0x05, 0x07}), 0, {0x0A, 0x030201, 5, 7}},
        StatusCase{"HighestPollTimeout", reply_in({0x00, 0xFF, 0xFF, 0xFF, 0x0A, 0xFF}), 0, {0x00, 0xFFFFFF, 10, 0xFF}},
        StatusCase{"FiveBytesIsShort", reply_in({0x00, 0x10, 0x27, 0x00, 0x02}), -1, PREFILLED},
        StatusCase{"OneByteIsShort", reply_in({0x00}), -1, PREFILLED},
        StatusCase{"NoBytesReadsAsError", reply_in({}), 0, PREFILLED},
        StatusCase{"FailedTransferReadsAsError", reply_fail(-ETIMEDOUT), 0, PREFILLED}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

TEST_F(DfuTest, GetStateGivesTheSignedStateByteOrTheLibraryResult) {
    rom->script = {reply_in({0x0A}), reply_in({0xFF}), reply_fail(-ETIMEDOUT), reply_in({})};
    EXPECT_EQ(dfu_get_state(handle, 1), 10);
    EXPECT_EQ(dfu_get_state(handle, 1), -1);
    EXPECT_EQ(dfu_get_state(handle, 1), -ETIMEDOUT);
    EXPECT_EQ(dfu_get_state(handle, 1), 0);
    EXPECT_EQ(describe(fake.requests[0]), "control rom 0xa1/0x05 wValue=0 wIndex=1 wLength=1 timeout=500");
}

// ---- dfu_download_block / dfu_download_image --------------------------------

TEST_F(DfuTest, BlockArgumentErrorsSendNothingAndKeepTheNumber) {
    const uint8_t data[4] = {1, 2, 3, 4};
    dfu_block_number = 7;
    EXPECT_EQ(dfu_download_block(handle, 1, 4, nullptr), -1);
    EXPECT_EQ(dfu_download_block(handle, 1, 0, data), -2);
    EXPECT_TRUE(fake.requests.empty()) << describe_all(fake.requests).size() << " requests sent";
    EXPECT_EQ(dfu_block_number, 7);
}

TEST_F(DfuTest, BlockReturnsTheLibraryResultAndCounts) {
    const uint8_t data[3] = {9, 8, 7};
    rom->script = {reply_fail(-EPIPE)};
    EXPECT_EQ(dfu_download_block(handle, 1, 3, data), -EPIPE);
    EXPECT_EQ(dfu_download_block(handle, 1, 0, nullptr), 0);
    ASSERT_EQ(fake.requests.size(), 2u);
    EXPECT_EQ(describe(fake.requests[0]), "control rom 0x21/0x01 wValue=0 wIndex=1 wLength=3 timeout=500");
    EXPECT_EQ(fake.requests[0].out, (std::vector<uint8_t>{9, 8, 7}));
    EXPECT_EQ(describe(fake.requests[1]), "control rom 0x21/0x01 wValue=1 wIndex=1 wLength=0 timeout=500");
    EXPECT_EQ(dfu_block_number, 2);
}

Names pass(const std::string& dnload) {
    Names names = {"GETSTATUS", "GETSTATE"};
    if (!dnload.empty())
        names.push_back(dnload);
    return names;
}

TEST_F(DfuTest, TestLoaderGoesAsFourteenFullBlocksOneShortAndTheEmptyBlock) {
    const std::vector<uint8_t>& image = test_loader_bytes();
    ASSERT_EQ(image.size(), 7544u);
    dfu_download_image(handle, 1, image.data(), static_cast<uint32_t>(image.size()));

    Names expected;
    for (int block = 0; block < 14; ++block) {
        Names one = pass("DNLOAD#" + std::to_string(block) + ":512");
        expected.insert(expected.end(), one.begin(), one.end());
    }
    Names last = pass("DNLOAD#14:376");
    expected.insert(expected.end(), last.begin(), last.end());
    Names end = pass("DNLOAD#15:0");
    expected.insert(expected.end(), end.begin(), end.end());
    expected.push_back("GETSTATUS");
    EXPECT_EQ(dfu_names(fake.log), expected);

    std::vector<uint8_t> received;
    for (const FakeRequest& request : fake.requests) {
        EXPECT_EQ(request.index, 1);
        EXPECT_EQ(request.timeout, 500);
        if (request.request == 1)
            received.insert(received.end(), request.out.begin(), request.out.end());
    }
    EXPECT_TRUE(received == image) << "the blocks do not add up to the image";
    EXPECT_EQ(dfu_block_number, 16);
}

TEST_F(DfuTest, ExactMultipleOf512HasAnEmptyPassWithoutDnload) {
    const std::vector<uint8_t> image(1024, 0xA5);
    dfu_download_image(handle, 1, image.data(), 1024);
    Names expected;
    for (const Names& one : {pass("DNLOAD#0:512"), pass("DNLOAD#1:512"), pass(""), pass("DNLOAD#2:0")})
        expected.insert(expected.end(), one.begin(), one.end());
    expected.push_back("GETSTATUS");
    EXPECT_EQ(dfu_names(fake.log), expected);
}

TEST_F(DfuTest, DownloadChecksNoResult) {
    rom->responder = [](const FakeRequest&) { return reply_fail(-ENODEV); };
    const std::vector<uint8_t> image(600, 1);
    dfu_download_image(handle, 1, image.data(), 600);
    EXPECT_EQ(dfu_names(fake.log),
              (Names{"GETSTATUS", "GETSTATE", "DNLOAD#0:512", "GETSTATUS", "GETSTATE", "DNLOAD#1:88", "GETSTATUS",
                     "GETSTATE", "DNLOAD#2:0", "GETSTATUS"}));
}

TEST_F(DfuTest, BlockNumbersContinueAcrossDownloadsAndWrap) {
    const std::vector<uint8_t> image(600, 1);
    dfu_block_number = 65535;
    dfu_download_image(handle, 1, image.data(), 600);
    Names dnloads;
    for (const std::string& name : dfu_names(fake.log))
        if (name.rfind("DNLOAD", 0) == 0)
            dnloads.push_back(name);
    EXPECT_EQ(dnloads, (Names{"DNLOAD#65535:512", "DNLOAD#0:88", "DNLOAD#1:0"}));
    EXPECT_EQ(dfu_block_number, 2);
}

}  // namespace
