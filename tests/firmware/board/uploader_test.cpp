// The hand-off from the test loader to the uploader, and the uploader's
// framing, control requests and console reports.
#include <cerrno>

#include "core/pins.h"
#include "firmware_board.h"

namespace {

const std::string banner = "\r\x1b[2JXERUN-94 Uploader 64Mb 60MHz (Jan 31 2008 - 10:41:42)\n\r\n\r";
constexpr std::uint32_t CLEAR_START = 0x20005790, CLEAR_END = 0x2000D1A8, HANDOVER = 0x2000C090;

std::vector<std::uint8_t> command(std::uint8_t code, const std::vector<std::uint8_t>& body, long size = -1) {
    const std::uint32_t s = size < 0 ? static_cast<std::uint32_t>(7 + body.size()) : static_cast<std::uint32_t>(size);
    std::vector<std::uint8_t> p(7 + body.size());
    p[0] = 0x2A;
    p[1] = 0x5F;
    p[2] = code;
    for (int i = 0; i < 4; ++i) p[3 + i] = static_cast<std::uint8_t>(s >> (8 * i));
    for (std::size_t i = 0; i < body.size(); ++i) p[7 + i] = body[i];
    return p;
}

std::vector<std::uint8_t> text_packet(const std::string& text) {
    const std::uint32_t n = static_cast<std::uint32_t>(text.size());
    std::vector<std::uint8_t> body = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                                      static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24), 0};
    body.insert(body.end(), text.begin(), text.end());
    body.push_back(0);
    return command(0, body);
}

std::string visible(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\x1b') out += "\\e";
        else out += c;
    }
    return out;
}

class Uploader : public FirmwareBoard {
protected:
    // Console output from now on.
    void mark() { consoleMark_ = console().size(); }
    std::string since_mark() {
        vb().run_for(vboard::Nanos{60'000'000});   // let the serial port drain
        return console().substr(consoleMark_);
    }
    std::uint8_t class_in(std::uint8_t request) {
        std::vector<std::uint8_t> r;
        EXPECT_EQ(control_in(0xA1, request, 0, 0, 1, r), 1);
        return r.empty() ? 0xEE : r[0];
    }

private:
    std::size_t consoleMark_ = 0;
};

TEST_F(Uploader, BannerIsTheFirstConsoleOutput) {
    boot_uploader();
    ASSERT_FALSE(HasFatalFailure());
    vb().run_for(vboard::Nanos{60'000'000});
    EXPECT_EQ(visible(console()), visible(banner));
}

TEST_F(Uploader, HandOffClearsTheAreaAndLeavesTheBank) {
    boot_loader();
    ASSERT_FALSE(HasFatalFailure());
    // Marks in the area the hand-off clears and just behind it.
    const std::vector<std::uint8_t> dirt(CLEAR_END + 16 - CLEAR_START, 0xA5);
    ASSERT_TRUE(board().poke(CLEAR_START, dirt.data(), dirt.size()));
    send_image(uploaderImage, static_cast<std::uint32_t>(uploaderImage.size()));
    ASSERT_FALSE(HasFatalFailure());
    vb().run_for(vboard::Nanos{60'000'000});
    std::size_t packets = 1;   // the length word
    for (std::size_t at = 0; at < uploaderImage.size(); at += 1024)
        packets += (std::min<std::size_t>(1024, uploaderImage.size() - at) + 63) / 64;
    EXPECT_EQ(peek32(HANDOVER), packets % 2 ? 0x40u : 0x02u);
    EXPECT_EQ(peek32(uploader["uploaderDevice"] + 8), peek32(HANDOVER));
    EXPECT_EQ(hex_bytes(peek(0x20000000, uploaderImage.size())), hex_bytes(uploaderImage));
    EXPECT_EQ(hex_bytes(peek(uploader["pendingData"], 256)), hex_bytes(std::vector<std::uint8_t>(256, 0)));
    EXPECT_EQ(peek32(uploader["pendingLength"]), 0u);
    EXPECT_EQ(hex_bytes(peek(HANDOVER + 4, CLEAR_END - HANDOVER - 4)),
              hex_bytes(std::vector<std::uint8_t>(CLEAR_END - HANDOVER - 4, 0)));
    EXPECT_EQ(hex_bytes(peek(CLEAR_END, 16)), hex_bytes(std::vector<std::uint8_t>(16, 0xA5)));
    EXPECT_EQ(visible(console()), visible(banner));
}

class UploaderBank : public Uploader, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(UploaderBank, FirstCommandAfterTheHandOffIsTaken) {
    // Extra padding changes the number of packets, and so the bank the
    // uploader has to look at first.
    boot_loader();
    ASSERT_FALSE(HasFatalFailure());
    std::vector<std::uint8_t> image = uploaderImage;
    image.resize(image.size() + GetParam(), 0);
    send_image(image, static_cast<std::uint32_t>(image.size()));
    ASSERT_FALSE(HasFatalFailure());
    vb().run_for(vboard::Nanos{60'000'000});
    mark();
    ASSERT_EQ(bulk_write(text_packet("hello")), 18);
    EXPECT_EQ(class_in(0), 1);   // waits for the command to end
    EXPECT_EQ(visible(since_mark()), visible("Unknown text commmand: hello\n\r"));
    ASSERT_EQ(bulk_write(text_packet("again")), 18);
    EXPECT_EQ(class_in(0), 1);
    EXPECT_EQ(visible(since_mark()), visible("Unknown text commmand: hello\n\rUnknown text commmand: again\n\r"));
}

INSTANTIATE_TEST_SUITE_P(Banks, UploaderBank, ::testing::Values(std::size_t{0}, std::size_t{64}));

TEST_F(Uploader, TooLongImageIsRefusedAndNothingStarts) {
    boot_loader();
    ASSERT_FALSE(HasFatalFailure());
    std::vector<std::uint8_t> image = uploaderImage;
    image.resize(CLEAR_START - 0x20000000 + 64, 0);
    send_image(image, static_cast<std::uint32_t>(image.size()));
    ASSERT_FALSE(HasFatalFailure());
    vb().run_for(vboard::Nanos{60'000'000});
    EXPECT_EQ(console(), "");
    EXPECT_EQ(peek32(0x20000000), 0u) << "nothing was stored";
    // The loader still serves, and takes a proper image afterwards.
    std::vector<std::uint8_t> status;
    EXPECT_EQ(control_in(0xA1, 3, 0, 0, 8, status), 8);
    send_image(uploaderImage, static_cast<std::uint32_t>(uploaderImage.size()));
    vb().run_for(vboard::Nanos{60'000'000});
    EXPECT_EQ(visible(console()), visible(banner));
}

TEST_F(Uploader, BytesBeyondTheAnnouncedLengthAreDropped) {
    boot_loader();
    ASSERT_FALSE(HasFatalFailure());
    const std::uint32_t n = static_cast<std::uint32_t>(uploaderImage.size());
    // Extra bytes that share the last USB packet with the image's end.
    const std::uint32_t extra = n % 64 ? 64 - n % 64 : 0;
    if (extra == 0) GTEST_SKIP() << "the image ends on a packet boundary";
    std::vector<std::uint8_t> image = uploaderImage;
    image.resize(n + extra, 0x77);
    const std::vector<std::uint8_t> zeros(64, 0);
    ASSERT_EQ(bulk_write({0x00, 0x00, 0x00, 0x00}), 4);   // zero length, then clean memory
    ASSERT_TRUE(board().poke(0x20000000 + n, zeros.data(), zeros.size()));
    send_image(image, n);
    ASSERT_FALSE(HasFatalFailure());
    vb().run_for(vboard::Nanos{60'000'000});
    EXPECT_EQ(visible(console()), visible(banner));
    EXPECT_EQ(hex_bytes(peek(0x20000000 + n, extra)), hex_bytes(std::vector<std::uint8_t>(extra, 0)));
}

TEST_F(Uploader, BusResetLeavesItRunning) {
    boot_uploader();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(vb().port_reset(), 0);
    ASSERT_TRUE(vb().wait_for_device(vboard::Nanos{1'000'000'000}));
    mark();
    ASSERT_EQ(bulk_write(text_packet("after reset")), 24);
    EXPECT_EQ(class_in(0), 1);
    EXPECT_EQ(visible(since_mark()), visible("Unknown text commmand: after reset\n\r"));
    EXPECT_EQ(visible(console().substr(0, banner.size())), visible(banner));
    EXPECT_EQ(console().find("XERUN", banner.size()), std::string::npos) << "no second banner";
}

struct FramingCase {
    const char* name;
    std::vector<std::vector<std::uint8_t>> transfers;
    std::string console;
    int errorFlag;
};

void PrintTo(const FramingCase& c, std::ostream* os) { *os << c.name; }

std::vector<std::uint8_t> text_of_size(std::size_t size) {
    return text_packet(std::string(size - 13, 'x'));
}

std::vector<std::uint8_t> bytes_with(std::size_t n, std::uint8_t b0, std::uint8_t b1) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i);
    v[0] = b0;
    v[1] = b1;
    return v;
}

std::vector<std::vector<std::uint8_t>> split(const std::vector<std::uint8_t>& v, std::size_t at) {
    return {std::vector<std::uint8_t>(v.begin(), v.begin() + static_cast<long>(at)),
            std::vector<std::uint8_t>(v.begin() + static_cast<long>(at), v.end())};
}

const std::string dashes = "---------------------------\n\r";

const FramingCase framingCases[] = {
    {"packet_of_64_runs_at_once", {text_of_size(64)}, "Unknown text commmand: " + std::string(51, 'x') + "\n\r", 0},
    {"packet_of_65_runs_after_its_second_part", {text_of_size(65)},
     "Unknown text commmand: " + std::string(52, 'x') + "\n\r", 0},
    {"two_transfers_make_one_packet", split(text_of_size(100), 40),
     "Unknown text commmand: " + std::string(87, 'x') + "\n\r", 0},
    {"size_7_runs_at_once", {command(9, {})}, "unknown request code: 09", 1},
    {"size_below_7_runs_at_once", {command(0x55, {}, 3)}, "unknown request code: 55", 1},
    {"code_1_unknown", {command(1, {0, 0, 0, 0})}, "unknown request code: 01", 1},
    {"nor_write_not_in_this_build", {command(2, std::vector<std::uint8_t>(9, 0))}, "unknown request code: 02", 1},
    {"code_255_unknown", {command(255, {})}, "unknown request code: ff", 1},
    {"wrong_magic_dumped", {bytes_with(64, 0x2A, 0x5E)},
     "packet in: wrong magic: 5e2a s=64\n\r" + dashes +
         "00000000  2a 5e 02 03 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f  |*^..............|\n\r"
         "00000010  10 11 12 13 14 15 16 17  18 19 1a 1b 1c 1d 1e 1f  |................|\n\r"
         "00000020  20 21 22 23 24 25 26 27  28 29 2a 2b 2c 2d 2e 2f  | !\"#$%&'()*+,-./|\n\r"
         "00000030  30 31 32 33 34 35 36 37  38 39 3a 3b 3c 3d 3e 3f  |0123456789:;<=>?|\n\r" +
         dashes,
     1},
    {"wrong_magic_high_value_widened", {bytes_with(2, 0x00, 0x80)},
     "packet in: wrong magic: ffff8000 s=2\n\r" + dashes +
         "00000000  00 80 " + std::string(6 * 3, ' ') + " " + std::string(8 * 3, ' ') + " |.." + std::string(14, ' ') +
         "|\n\r" + dashes,
     1},
    {"size_above_4100_dropped", {command(0, {0, 0, 0, 0, 0, 'a', 0}, 4101)}, "", 1},
    {"first_part_shorter_than_header_dropped", {{0x2A, 0x5F, 0x00, 0x08, 0x00}}, "", 1},
    {"text_zero_outside_buffer_ignored", {command(0, {0xF7, 0x0F, 0, 0, 0, 'a', 0})}, "", 1},
    {"text_zero_at_last_byte_taken", {command(0, {0xF6, 0x0F, 0, 0, 0, 'a', 0})}, "Unknown text commmand: a\n\r", 0},
};

class UploaderFraming : public Uploader, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(UploaderFraming, ConsoleAndErrorFlag) {
    const FramingCase& c = GetParam();
    boot_uploader();
    ASSERT_FALSE(HasFatalFailure());
    vb().run_for(vboard::Nanos{60'000'000});
    mark();
    for (const auto& t : c.transfers) ASSERT_EQ(bulk_write(t), static_cast<int>(t.size()));
    EXPECT_EQ(class_in(0), 1);
    EXPECT_EQ(visible(since_mark()), visible(c.console));
    EXPECT_EQ(class_in(1), c.errorFlag) << "UREQ_CLASS_ERROR";
    EXPECT_EQ(class_in(1), 0) << "UREQ_CLASS_ERROR clears the flag";
    // The receiver is ready for the next packet.
    mark();
    ASSERT_EQ(bulk_write(text_packet("next")), 17);
    EXPECT_EQ(class_in(0), 1);
    EXPECT_EQ(visible(since_mark()), visible("Unknown text commmand: next\n\r"));
}

INSTANTIATE_TEST_SUITE_P(Packets, UploaderFraming, ::testing::ValuesIn(framingCases),
                         [](const ::testing::TestParamInfo<FramingCase>& info) { return std::string(info.param.name); });

struct RequestCase {
    const char* name;
    std::uint8_t type, request;
    std::uint16_t length;
    bool setError;        // raise errorFlag first
    int result;
    std::vector<std::uint8_t> head;   // expected first bytes of the reply
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }

class UploaderRequests : public Uploader, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(UploaderRequests, Reply) {
    const RequestCase& c = GetParam();
    boot_uploader();
    ASSERT_FALSE(HasFatalFailure());
    if (c.setError) {
        ASSERT_EQ(bulk_write(command(7, {})), 7);
        ASSERT_EQ(class_in(0), 1);
    }
    std::vector<std::uint8_t> reply;
    ASSERT_EQ(control_in(c.type, c.request, 0, 0, c.length, reply), c.result);
    reply.resize(std::min(reply.size(), c.head.size()));
    EXPECT_EQ(hex_bytes(reply), hex_bytes(c.head));
}

const RequestCase requestCases[] = {
    {"idle", 0xC0, 0, 1, false, 1, {0x01}},
    {"idle_with_8_bytes", 0xA0, 0, 8, false, 8, {0x01}},
    {"error_clear", 0xC0, 1, 1, false, 1, {0x00}},
    {"error_set", 0xC0, 1, 1, true, 1, {0x01}},
    {"pending_length", 0xC0, 2, 4, false, 4, {0, 0, 0, 0}},
    {"pending_data_empty_request", 0xC0, 3, 0, false, 0, {}},
    {"pending_data_cut_to_256", 0xC0, 3, 300, false, 256, {0, 0, 0, 0}},
    {"request_5_empty", 0xC0, 5, 4, false, 0, {}},
    {"class_idle", 0xA1, 0, 1, false, 1, {0x01}},
    {"class_error", 0xA1, 1, 1, true, 1, {0x01}},
    {"get_status_stays_standard", 0x80, 0, 2, false, 2, {0x00, 0x00}},
};

INSTANTIATE_TEST_SUITE_P(Requests, UploaderRequests, ::testing::ValuesIn(requestCases),
                         [](const ::testing::TestParamInfo<RequestCase>& info) { return std::string(info.param.name); });

TEST_F(Uploader, ErrorRequestLeavesTheFlagClassErrorClearsIt) {
    boot_uploader();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(bulk_write(command(7, {})), 7);
    std::vector<std::uint8_t> r;
    ASSERT_EQ(control_in(0xC0, 1, 0, 0, 1, r), 1);
    EXPECT_EQ(r[0], 1);
    ASSERT_EQ(control_in(0xC0, 1, 0, 0, 1, r), 1);
    EXPECT_EQ(r[0], 1) << "UREQ_ERROR does not clear";
    EXPECT_EQ(class_in(1), 1);
    EXPECT_EQ(class_in(1), 0);
}

TEST_F(Uploader, StallIsTracedOnTheConsole) {
    boot_uploader();
    ASSERT_FALSE(HasFatalFailure());
    vb().run_for(vboard::Nanos{60'000'000});
    mark();
    std::vector<std::uint8_t> r;
    EXPECT_EQ(control_in(0x80, 6, 0x0304, 0, 255, r), -EPIPE);
    EXPECT_EQ(visible(since_mark()), visible("\n\rStalling control endpoint..\n\r"));
    EXPECT_EQ(control_in(0x80, 6, 0x0100, 0, 18, r), 18);
}

TEST_F(Uploader, BusyLineIsHighWhileWaiting) {
    boot_uploader();
    ASSERT_FALSE(HasFatalFailure());
    vboard::Pins& pins = board().pins();
    EXPECT_TRUE(pins.pio_owned(2)) << "PA2 is a PIO line";
    EXPECT_TRUE(pins.output_enabled(2)) << "PA2 is an output";
    EXPECT_FALSE(pins.pullup(2)) << "PA2 has no pull-up";
    EXPECT_TRUE(pins.level(2)) << "PA2 is high while the uploader waits";
}

TEST_F(Uploader, BusyLineIsLowWhileACommandRuns) {
    boot_uploader();
    ASSERT_FALSE(HasFatalFailure());
    vb().run_for(vboard::Nanos{60'000'000});
    vboard::Pins& pins = board().pins();
    ASSERT_TRUE(pins.level(2));
    // 40 characters at 115200 baud keep the text command busy for about 3.5 ms.
    const std::string text(40, 't');
    ASSERT_EQ(bulk_write(text_packet(text)), static_cast<int>(text.size()) + 13);
    vb().run_for(vboard::Nanos{1'000'000});
    EXPECT_FALSE(pins.level(2)) << "PA2 is low while the command prints its text";
    vb().run_for(vboard::Nanos{60'000'000});
    EXPECT_TRUE(pins.level(2)) << "PA2 is high again once the command is done";
    EXPECT_NE(console().find(text), std::string::npos);
}

}  // namespace
