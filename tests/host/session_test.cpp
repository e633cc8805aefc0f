// The board test session against a scripted boot ROM and test loader: the
// printed lines for pin and memory faults, the request order, the upload's
// writes, and the bounds on the memory test.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "cli/command_line.h"
#include "cli/messages.h"
#include "host_test.h"
#include "loader_protocol.h"
#include "usb/host_limits.h"
#include "usb/session.h"

namespace {

using Names = std::vector<std::string>;

template <typename Record>
std::vector<uint8_t> bytes_of(const Record* records, size_t count) {
    const uint8_t* first = reinterpret_cast<const uint8_t*>(records);
    return std::vector<uint8_t>(first, first + sizeof(Record) * count);
}

MemTestStatus status_at(uint32_t done, uint32_t errors = 0) { return MemTestStatus{done, errors}; }

// The statuses of a loader that tests every block without a fault.
std::deque<MemTestStatus> clean_run() {
    std::deque<MemTestStatus> statuses;
    for (uint32_t done = 0; done < MEMTEST_RANGE; done += 0x40000)
        statuses.push_back(status_at(done));
    statuses.push_back(status_at(MEMTEST_RANGE));
    return statuses;
}

MemTestError data_error(uint32_t address, uint32_t expected, uint32_t actual) {
    return MemTestError{address, 0, expected, actual, 0, KIND_DATA, 0};
}

MemTestError address_error(uint8_t kind, uint32_t address, uint32_t actual, uint32_t other) {
    return MemTestError{address, other, 0xAAAAAAAA, actual, 0x55555555, kind, 0};
}

// What the test loader answers; failures can be injected per request.
struct LoaderScript {
    std::vector<PinReport> pins = std::vector<PinReport>(PIN_REPORT_COUNT, PinReport{0, 0, 0, 0});
    std::deque<MemTestStatus> statuses = clean_run();  // the last one repeats
    uint64_t status_elapsed_ms = 0;
    std::deque<std::vector<MemTestError>> errors;
    std::function<bool(const FakeRequest&)> fails = [](const FakeRequest&) { return false; };
    int pins_served = 0;
    int statuses_served = 0;
    int short_status_from = 0;  // from this poll on (1-based), statuses come as 4 bytes
};

LoaderScript* script = nullptr;

FakeReply answer_loader(const FakeRequest& request) {
    if (script->fails(request))
        return reply_fail(-EIO);
    if (request.bulk)
        return FakeReply{request.length, {}, 0};
    if (request.request_type == 0xA1 && request.request == REQ_PIN_RESULT) {
        const int i = script->pins_served++;
        return reply_in(bytes_of(&script->pins[i % PIN_REPORT_COUNT], 1));
    }
    if (request.request_type == 0xA1 && request.request == REQ_MEMTEST_STATUS) {
        const MemTestStatus status = script->statuses.front();
        if (script->statuses.size() > 1)
            script->statuses.pop_front();
        FakeReply reply = reply_in(bytes_of(&status, 1));
        ++script->statuses_served;
        if (script->short_status_from != 0 && script->statuses_served >= script->short_status_from)
            reply = reply_in(le32(status.bytesDone));
        reply.elapsed_ms = script->status_elapsed_ms;
        return reply;
    }
    if (request.request_type == 0xA1 && request.request == REQ_MEMTEST_ERRORS) {
        std::vector<MemTestError> records;
        if (!script->errors.empty()) {
            records = script->errors.front();
            script->errors.pop_front();
        }
        return reply_in(bytes_of(records.data(), records.size()));
    }
    return reply_ok();
}

int count_if(const std::vector<FakeRequest>& requests, int type, int request) {
    int n = 0;
    for (const FakeRequest& r : requests)
        n += !r.bulk && r.device == "loader" && r.request_type == type && r.request == request;
    return n;
}

// Printed at exit of a death test's child: what the loader was asked.
void print_summary() {
    std::string lengths;
    for (const FakeRequest& r : fake.requests)
        if (!r.bulk && r.request_type == 0xA1 && r.request == REQ_MEMTEST_ERRORS)
            lengths += " " + std::to_string(r.length);
    int bulk = 0;
    for (const FakeRequest& r : fake.requests)
        bulk += r.bulk;
    fprintf(stderr, "-- status polls %d, last bytesDone 0x%08x, error fetches [%s ], bulk writes %d\n",
            count_if(fake.requests, 0xA1, REQ_MEMTEST_STATUS),
            script->statuses.empty() ? 0u : script->statuses.back().bytesDone, lengths.c_str(), bulk);
}

std::string summary(int polls, uint32_t last, const std::string& fetches, int bulk) {
    char text[160];
    snprintf(text, sizeof text, "-- status polls %d, last bytesDone 0x%08x, error fetches [%s ], bulk writes %d\n",
             polls, last, fetches.c_str(), bulk);
    return text;
}

class Session : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        script = &loader_script;
        rom = make_dfu_device("rom");
        loader = make_loader_device("loader");
        rom->responder = [this](const FakeRequest& request) {
            if (request.request_type == 0xA1 && request.request == 3)
                return reply_in({0, 0, 0, 0, rom_state, 0});
            return reply_ok();
        };
        rom->on_reset = [this] { fake.buses = {{loader}}; };
        loader->responder = answer_loader;
        fake.buses = {{rom}};
        usb_find_busses();
        usb_find_devices();
        rom_handle = usb_open(usb_get_busses()->devices);
        fake.log.clear();
        fake.requests.clear();
    }
    void TearDown() override {
        script = nullptr;
        HostTest::TearDown();
    }

    usb_dev_handle* run() { return run_test_session(rom_handle, 0); }

    // Runs the session in a child that must end with status 1, printing
    // exactly `text` and then the summary of what the loader was asked.
    void expect_failure(const std::string& text) {
        messages_to_stderr();
        EXPECT_EXIT(
            {
                atexit(print_summary);
                run();
            },
            ::testing::ExitedWithCode(1), ::testing::Eq(text));
    }

    LoaderScript loader_script;
    FakeDevicePtr rom;
    FakeDevicePtr loader;
    uint8_t rom_state = 2;
    usb_dev_handle* rom_handle = nullptr;
};

const std::string HEAD = "Uploading uploader\nTesting...\n";

TEST_F(Session, GoodBoardPassesAndGetsTheUploader) {
    usb_dev_handle* result = run();
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(messages(), HEAD + "All tests ok!\n");

    // Progress: grows to the full bar and ends the line exactly once.
    const std::string line = progress();
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line.substr(line.size() - 200);
    EXPECT_NE(line.find("\r 100% [" + std::string(35, '=') + "] 64 MiB "), std::string::npos);
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(count_if(fake.requests, 0xA1, REQ_MEMTEST_STATUS), 257);
    usb_close(result);
}

TEST_F(Session, RequestsGoInTheProtocolsOrder) {
    usb_dev_handle* result = run();
    ASSERT_NE(result, nullptr);
    // Boil the log down to one name per phase change.
    Names phases;
    for (const std::string& line : dfu_names(fake.log)) {
        std::string name = line;
        if (line.rfind("DNLOAD", 0) == 0)
            name = "DNLOAD";
        else if (line.find("0xa1/0x05 wValue=0 wIndex=0 wLength=16 timeout=2000") != std::string::npos)
            name = "PIN_RESULT";
        else if (line.find("0xa1/0x03 wValue=0 wIndex=0 wLength=8 timeout=2000") != std::string::npos)
            name = "MEMTEST_STATUS";
        else if (line.find("0x21/0x04 wValue=0 wIndex=0 wLength=0 timeout=2000") != std::string::npos)
            name = "MEMTEST_START";
        else if (line.find("0x21/0xff wValue=0 wIndex=0 wLength=0 timeout=2000") != std::string::npos)
            name = "SYNC";
        else if (line.rfind("bulk loader ep=4", 0) == 0 && line.find("timeout=4000") != std::string::npos)
            name = "BULK";
        if (phases.empty() || phases.back() != name)
            phases.push_back(name);
    }
    // 15 passes with data and the zero-length block, each after its status
    // and state queries; the session's own status check merges into the first.
    Names expected;
    for (int pass = 0; pass < 16; ++pass)
        expected.insert(expected.end(), {"GETSTATUS", "GETSTATE", "DNLOAD"});
    expected.insert(expected.end(), {"GETSTATUS", "RESET", "close rom", "sleep 1000", "find_busses", "find_devices",
                                     "open loader", "set_configuration loader 1", "claim loader 0", "SYNC",
                                     "PIN_RESULT", "MEMTEST_START", "MEMTEST_STATUS", "BULK"});
    EXPECT_EQ(::testing::PrintToString(phases), ::testing::PrintToString(expected));
    // The first request is the session's own status check, before the download.
    EXPECT_EQ(dfu_names(fake.log)[0], "GETSTATUS");
    EXPECT_EQ(dfu_names(fake.log)[1], "GETSTATUS");
    EXPECT_EQ(count_if(fake.requests, 0xA1, REQ_PIN_RESULT), 96);
    usb_close(result);
}

TEST_F(Session, UploaderGoesAsLengthWordThenKilobyteWrites) {
    usb_dev_handle* result = run();
    ASSERT_NE(result, nullptr);
    std::vector<const FakeRequest*> writes;
    for (const FakeRequest& r : fake.requests)
        if (r.bulk)
            writes.push_back(&r);
    ASSERT_EQ(writes.size(), 23u);
    EXPECT_EQ(writes[0]->out, (std::vector<uint8_t>{0x90, 0x57, 0x00, 0x00}));
    std::vector<int> sizes;
    std::vector<uint8_t> image;
    for (size_t i = 1; i < writes.size(); ++i) {
        sizes.push_back(writes[i]->length);
        image.insert(image.end(), writes[i]->out.begin(), writes[i]->out.end());
    }
    std::vector<int> expected_sizes(21, 1024);
    expected_sizes.push_back(912);
    EXPECT_EQ(sizes, expected_sizes);
    EXPECT_TRUE(image == uploader_bytes()) << "the written bytes differ from the uploader image";
    for (const FakeRequest* w : writes) {
        EXPECT_EQ(w->endpoint, 4);
        EXPECT_EQ(w->timeout, 4000);
    }
    usb_close(result);
}

TEST_F(Session, FailedImageWritesGoUnnoticed) {
    int bulk_seen = 0;
    loader_script.fails = [&bulk_seen](const FakeRequest& r) { return r.bulk && bulk_seen++ > 0; };
    usb_dev_handle* result = run();
    EXPECT_NE(result, nullptr);
    EXPECT_EQ(messages(), HEAD + "All tests ok!\n");
    usb_close(result);
}

TEST_F(Session, FailedLengthWordEndsTheRun) {
    loader_script.fails = [](const FakeRequest& r) { return r.bulk; };
    fake.error_text = "error sending bulk write";
    expect_failure(HEAD + "All tests ok!\ndorvex: error sending bulk write\n" +
                   summary(257, MEMTEST_RANGE, "", 1));
}

TEST_F(Session, BootRomInAppIdleIsNotDownloadedTo) {
    rom_state = 0;
    EXPECT_EQ(run(), nullptr);
    EXPECT_EQ(messages(), "Uploading uploader\n");
    EXPECT_EQ(dfu_names(fake.log), Names{"GETSTATUS"});
}

TEST_F(Session, NoLoaderAfterResetEndsWithLibraryText) {
    rom->on_reset = [] { fake.buses = {}; };
    fake.error_text = "No such device";
    expect_failure("Uploading uploader\ndorvex: No such device\n" + summary(0, MEMTEST_RANGE, "", 0));
}

// ---- pin reports ------------------------------------------------------------

struct PinCase {
    const char* name;
    std::vector<std::pair<int, PinReport>> faults;  // line index 0..95 and its report
    std::string printed;
};

class PinFaults : public Session, public ::testing::WithParamInterface<PinCase> {};

TEST_P(PinFaults, PrintTheseLinesAndEndWithErrors) {
    for (const auto& [line, report] : GetParam().faults)
        loader_script.pins[line] = report;
    // The memory test still runs to its end, and the uploader is not sent.
    expect_failure(HEAD + GetParam().printed + "dorvex: Errors!\n" + summary(257, MEMTEST_RANGE, "", 0));
}

INSTANTIATE_TEST_SUITE_P(
    Reports, PinFaults,
    ::testing::Values(
        PinCase{"PA5To3V3AndPC31ToGnd",
                {{5, {PIN_TO_3V3, 0, 0, 0}}, {95, {PIN_TO_GND, 0, 0, 0}}},
                "IO test error!\nPIOA, pin=5:\n  cross with 3.3V\nPIOC, pin=31:\n  cross with GND\n"},
        PinCase{"BothFlags", {{32, {PIN_TO_3V3 | PIN_TO_GND, 0, 0, 0}}},
                "IO test error!\nPIOB, pin=0:\n  cross with 3.3V\n  cross with GND\n"},
        PinCase{"OtherFlagBitsGiveOnlyTheHeader", {{40, {0x80000004u, 0, 0, 0}}}, "IO test error!\nPIOB, pin=8:\n"},
        PinCase{"TwoLinesOfOnePortShorted",
                {{33, {0, 0, 1u << 7, 0}}, {39, {0, 0, 1u << 1, 0}}},
                "IO test error!\nPIOB, pin=1:\n  cross with PIOB, pin=7\nPIOB, pin=7:\n  cross with PIOB, pin=1\n"},
        PinCase{"MasksInPortOrderAndBitOrder",
                {{64, {PIN_TO_3V3, 0x80000001u, 1u << 16, 1u << 2 | 1u << 30}}},
                "IO test error!\nPIOC, pin=0:\n  cross with 3.3V\n  cross with PIOA, pin=0\n"
                "  cross with PIOA, pin=31\n  cross with PIOB, pin=16\n  cross with PIOC, pin=2\n"
                "  cross with PIOC, pin=30\n"}),
    [](const ::testing::TestParamInfo<PinCase>& info) { return std::string(info.param.name); });

// ---- memory test errors -----------------------------------------------------

struct KindCase {
    const char* name;
    MemTestError record;
    std::string line;  // "" for a kind that prints nothing
};

class MemoryErrorKinds : public Session, public ::testing::WithParamInterface<KindCase> {};

TEST_P(MemoryErrorKinds, PrintTheirLineAndEndWithErrors) {
    loader_script.statuses = {status_at(0), status_at(0x40000, 1), status_at(0x80000), status_at(MEMTEST_RANGE)};
    loader_script.errors = {{GetParam().record}};
    expect_failure(HEAD + "Memory test error!\n" + GetParam().line + "dorvex: Errors!\n" +
                   summary(4, MEMTEST_RANGE, " 22", 0));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, MemoryErrorKinds,
    ::testing::Values(
        KindCase{"Data", data_error(0x20040010, 0xFFFF0000, 0xFFFF0400),
                 "\rAddress 0x20040010: expected 0xffff0000, got 0xffff0400 \n"},
        KindCase{"AddressHigh", address_error(KIND_ADDR_HIGH, 0x20040400, 0x55555555, 0x20040000),
                 "\rAddress 0x20040400: changed from 0xaaaaaaaa to 0x55555555 after writing 0x55555555 to address "
                 "0x20040000 \n"},
        KindCase{"AddressLow", address_error(KIND_ADDR_LOW, 0x20040000, 0xAAAAAAAB, 0x20040800),
                 "\rAddress 0x20040000: changed from 0xaaaaaaaa to 0xaaaaaaab after writing 0x55555555 to address "
                 "0x20040800 \n"},
        KindCase{"AddressShort", address_error(KIND_ADDR_SHORT, 0x20040004, 0x00000000, 0x20040008),
                 "\rAddress 0x20040004: changed from 0xaaaaaaaa to 0x00000000 after writing 0x55555555 to address "
                 "0x20040008 \n"},
        KindCase{"UnknownKindPrintsNothingButCounts", MemTestError{0x20040000, 1, 2, 3, 4, 4, 0}, ""},
        KindCase{"HighUnknownKind", MemTestError{0x20040000, 1, 2, 3, 4, 0xFF, 0}, ""}),
    [](const ::testing::TestParamInfo<KindCase>& info) { return std::string(info.param.name); });

TEST_F(Session, ThreeErrorsThenNoneGiveOneFetchOfSixtySixBytes) {
    loader_script.statuses = {status_at(0x80000, 3), status_at(0xC0000, 0), status_at(MEMTEST_RANGE)};
    loader_script.errors = {{data_error(0x20080000, 1, 3), address_error(KIND_ADDR_HIGH, 0x20080004, 0, 0x20080000),
                             data_error(0x20080008, 0xFF, 0x7F)}};
    expect_failure(HEAD + "Memory test error!\n" + "\rAddress 0x20080000: expected 0x00000001, got 0x00000003 \n" +
                   "\rAddress 0x20080004: changed from 0xaaaaaaaa to 0x00000000 after writing 0x55555555 to "
                   "address 0x20080000 \n" +
                   "\rAddress 0x20080008: expected 0x000000ff, got 0x0000007f \n" + "dorvex: Errors!\n" +
                   summary(3, MEMTEST_RANGE, " 66", 0));
}

TEST_F(Session, ErrorsInSeveralBlocksPrintTheHeaderOnce) {
    loader_script.statuses = {status_at(0, 1), status_at(0x40000, 2), status_at(MEMTEST_RANGE)};
    loader_script.errors = {{data_error(0x20000000, 0, 1)}, {data_error(0x20040000, 0, 2), data_error(0x20040004, 0, 4)}};
    expect_failure(HEAD + "Memory test error!\n" + "\rAddress 0x20000000: expected 0x00000000, got 0x00000001 \n" +
                   "\rAddress 0x20040000: expected 0x00000000, got 0x00000002 \n" +
                   "\rAddress 0x20040004: expected 0x00000000, got 0x00000004 \n" + "dorvex: Errors!\n" +
                   summary(3, MEMTEST_RANGE, " 22 44", 0));
}

TEST_F(Session, PinAndMemoryErrorsBothPrint) {
    loader_script.pins[2] = {PIN_TO_GND, 0, 0, 0};
    loader_script.statuses = {status_at(0, 1), status_at(MEMTEST_RANGE)};
    loader_script.errors = {{data_error(0x20000000, 0, 1)}};
    expect_failure(HEAD + "IO test error!\nPIOA, pin=2:\n  cross with GND\nMemory test error!\n" +
                   "\rAddress 0x20000000: expected 0x00000000, got 0x00000001 \n" + "dorvex: Errors!\n" +
                   summary(2, MEMTEST_RANGE, " 22", 0));
}

TEST_F(Session, ThirtyTwoErrorsFillTheBufferExactly) {
    std::vector<MemTestError> records;
    std::string lines;
    for (uint32_t i = 0; i < 32; ++i) {
        records.push_back(data_error(0x20000000 + 4 * i, i, ~i));
        char line[80];
        snprintf(line, sizeof line, "\rAddress 0x%08x: expected 0x%08x, got 0x%08x \n", 0x20000000 + 4 * i, i, ~i);
        lines += line;
    }
    loader_script.statuses = {status_at(0, 32), status_at(MEMTEST_RANGE)};
    loader_script.errors = {records};
    expect_failure(HEAD + "Memory test error!\n" + lines + "dorvex: Errors!\n" + summary(2, MEMTEST_RANGE, " 704", 0));
}

TEST_F(Session, MoreThanThirtyTwoErrorsIsAProtocolError) {
    loader_script.statuses = {status_at(0), status_at(0x40000, 33), status_at(MEMTEST_RANGE)};
    expect_failure(HEAD + "dorvex: Protocol error: test loader reports 33 memory errors for one block (at most 32)\n" +
                   summary(2, MEMTEST_RANGE, "", 0));
}

TEST_F(Session, ProtocolErrorEndsTheProgressLineFirst) {
    loader_script.statuses = {status_at(0), status_at(0x40000, 40)};
    messages_to_stderr();
    progress_stream = stderr;
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(1),
                ::testing::EndsWith(
                    " \ndorvex: Protocol error: test loader reports 40 memory errors for one block (at most 32)\n"));
}

TEST_F(Session, ProtocolErrorOnTheFirstPollAddsNoEmptyLine) {
    loader_script.statuses = {status_at(0, 33)};
    messages_to_stderr();
    progress_stream = stderr;
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(1),
                ::testing::Eq(HEAD + "dorvex: Protocol error: test loader reports 33 memory errors for one block (at "
                                     "most 32)\n"));
}

TEST_F(Session, HugeErrorCountIsAProtocolError) {
    loader_script.statuses = {status_at(0x40000, 0xFFFFFFFF)};
    expect_failure(HEAD +
                   "dorvex: Protocol error: test loader reports 4294967295 memory errors for one block (at most 32)\n" +
                   summary(1, 0x40000, "", 0));
}

// ---- bounds -------------------------------------------------------------------

TEST_F(Session, MemoryTestThatStopsAdvancingEndsTheRun) {
    loader_script.statuses = {status_at(0), status_at(0x40000)};  // then 0x40000 for ever
    loader_script.status_elapsed_ms = LOADER_TIMEOUT_MS;
    // 1 poll at 0, then 0x40000 is new once and unchanged for 5 polls of 2 s.
    expect_failure(HEAD + "dorvex: Memory test stalled at 0x20040000 (no progress for 10 s)\n" +
                   summary(7, 0x40000, "", 0));
}

TEST_F(Session, StalledMemoryTestEndsTheProgressLineFirst) {
    loader_script.statuses = {status_at(0x40000)};
    loader_script.status_elapsed_ms = 100;
    messages_to_stderr();
    progress_stream = stderr;
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(1),
                ::testing::EndsWith(" \ndorvex: Memory test stalled at 0x20040000 (no progress for 10 s)\n"));
}

TEST_F(Session, SlowButAdvancingMemoryTestIsNotStalled) {
    // Every block takes four polls of the full 2000 ms time-out: 8 s without
    // a change, inside the limit.
    std::deque<MemTestStatus> slow;
    for (const MemTestStatus& s : clean_run())
        for (int i = 0; i < 4; ++i)
            slow.push_back(s);
    loader_script.statuses = slow;
    loader_script.status_elapsed_ms = LOADER_TIMEOUT_MS;
    usb_dev_handle* result = run();
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(messages(), HEAD + "All tests ok!\n");
    usb_close(result);
}

// ---- failed loader requests -----------------------------------------------------

struct FailureCase {
    const char* name;
    std::function<bool(const FakeRequest&)> fails;
    std::string before;  // printed before the fatal line
    std::string summary;
};

class LoaderRequestFails : public Session, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(LoaderRequestFails, EndTheRunWithTheLibraryText) {
    loader_script.statuses = {status_at(0), status_at(0x40000, 1), status_at(MEMTEST_RANGE)};
    loader_script.errors = {{data_error(0x20040000, 0, 1)}};
    loader_script.fails = GetParam().fails;
    fake.error_text = "error sending control message: Input/output error";
    expect_failure(HEAD + GetParam().before + "dorvex: error sending control message: Input/output error\n" +
                   GetParam().summary);
}

bool is_request(const FakeRequest& r, int request) { return !r.bulk && r.request == request; }

INSTANTIATE_TEST_SUITE_P(
    Requests, LoaderRequestFails,
    ::testing::Values(
        FailureCase{"FirstPinResult", [](const FakeRequest& r) { return is_request(r, REQ_PIN_RESULT); }, "",
                    summary(0, MEMTEST_RANGE, "", 0)},
        FailureCase{"FiftiethPinResult",
                    [](const FakeRequest& r) { return is_request(r, REQ_PIN_RESULT) && script->pins_served == 50; },
                    "", summary(0, MEMTEST_RANGE, "", 0)},
        FailureCase{"MemtestStart", [](const FakeRequest& r) { return is_request(r, REQ_MEMTEST_START); }, "",
                    summary(0, MEMTEST_RANGE, "", 0)},
        FailureCase{"MemtestStatus", [](const FakeRequest& r) { return is_request(r, REQ_MEMTEST_STATUS); }, "",
                    summary(1, MEMTEST_RANGE, "", 0)},
        FailureCase{"MemtestErrors", [](const FakeRequest& r) { return is_request(r, REQ_MEMTEST_ERRORS); },
                    "Memory test error!\n", summary(2, MEMTEST_RANGE, " 22", 0)}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(Session, ShortLoaderRepliesAreReadAsIfFull) {
    // The last status comes as its first four bytes only: the error count
    // keeps what the buffer held (0), and the run completes.
    loader_script.statuses = {status_at(0x40000), status_at(MEMTEST_RANGE, 7)};
    loader_script.short_status_from = 2;
    usb_dev_handle* result = run();
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(messages(), HEAD + "All tests ok!\n");
    EXPECT_EQ(count_if(fake.requests, 0xA1, REQ_MEMTEST_ERRORS), 0);
    usb_close(result);
}

// ---- the run of `test` as main drives it ----------------------------------------

TEST_F(Session, CompleteRunReturnsZeroAndClosesTheLoader) {
    EXPECT_EQ(cli_run_test(), 0);
    EXPECT_EQ(messages(), HEAD + "All tests ok!\n");
    ASSERT_FALSE(fake.log.empty());
    EXPECT_EQ(fake.log.back(), "close loader");
}

TEST_F(Session, BootRomInAppIdleIsDeviceNotFound) {
    rom_state = 0;
    messages_to_stderr();
    EXPECT_EXIT(cli_run_test(), ::testing::ExitedWithCode(1),
                ::testing::Eq("Uploading uploader\ndorvex: Device not found\n"));
}

TEST_F(Session, BoardAlreadyRunningTheLoaderMustBeRestarted) {
    fake.buses = {{loader}};
    messages_to_stderr();
    EXPECT_EXIT(cli_run_test(), ::testing::ExitedWithCode(1),
                ::testing::Eq("dorvex: Please restart zqr-vt before running tests\n"));
}

TEST_F(Session, BoardThatNeverComesBackAfterResetsIsDeviceNotFound) {
    rom_state = 1;  // appDETACH: every attempt asks for a reset
    int resets = 0;
    rom->on_reset = [&resets] {
        if (++resets == 4)
            fake.buses = {};  // and after the last one it stays away
    };
    messages_to_stderr();
    EXPECT_EXIT(cli_run_test(), ::testing::ExitedWithCode(1), ::testing::Eq("dorvex: Device not found\n"));
}

}  // namespace
