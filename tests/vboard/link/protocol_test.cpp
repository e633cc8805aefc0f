// The link codec: every message survives a round trip, and garbage,
// truncated, oversized and mismatched frames are refused with a reason.
#include <gtest/gtest.h>

#include "link/protocol.h"

namespace vboard::link {
namespace {

std::vector<Request> sample_requests() {
    std::vector<Request> out;
    Request r;
    r.type = MsgType::ListDevices;
    out.push_back(r);
    r = {};
    r.type = MsgType::Open;
    r.handle = 7;
    out.push_back(r);
    r = {};
    r.type = MsgType::Control;
    r.handle = 3;
    r.setup = {0x21, 0x01, 5, 0, 4};
    r.timeout_ms = 500;
    r.data = {1, 2, 3, 4};
    out.push_back(r);
    r = {};
    r.type = MsgType::Control;
    r.handle = 3;
    r.setup = {0xA1, 0x03, 0, 0, 6};
    r.timeout_ms = 500;
    out.push_back(r);
    r = {};
    r.type = MsgType::BulkWrite;
    r.handle = 9;
    r.endpoint = 4;
    r.timeout_ms = 4000;
    r.data.assign(1024, 0x5A);
    out.push_back(r);
    r = {};
    r.type = MsgType::BulkRead;
    r.handle = 9;
    r.endpoint = 0x85;
    r.timeout_ms = 100;
    r.length = 512;
    out.push_back(r);
    r = {};
    r.type = MsgType::ClaimInterface;
    r.handle = 1;
    r.value = -3;
    out.push_back(r);
    r = {};
    r.type = MsgType::SetConfiguration;
    r.handle = 1;
    r.value = 1;
    out.push_back(r);
    return out;
}

bool same(const Request& a, const Request& b) {
    return a.type == b.type && a.handle == b.handle && a.value == b.value &&
           a.setup.bmRequestType == b.setup.bmRequestType && a.setup.bRequest == b.setup.bRequest &&
           a.setup.wValue == b.setup.wValue && a.setup.wIndex == b.setup.wIndex &&
           a.setup.wLength == b.setup.wLength && a.endpoint == b.endpoint && a.timeout_ms == b.timeout_ms &&
           a.length == b.length && a.data == b.data;
}

TEST(LinkCodec, RequestsSurviveARoundTrip) {
    for (const auto& req : sample_requests()) {
        auto bytes = encode_request(req);
        Frame f;
        std::string err;
        ASSERT_EQ(take_frame(bytes, f, err), FrameStatus::Ok) << err;
        EXPECT_TRUE(bytes.empty()) << "the frame was not consumed whole";
        Request back;
        ASSERT_TRUE(decode_request(f, back, err)) << "type " << int(req.type) << ": " << err;
        EXPECT_TRUE(same(req, back)) << "type " << int(req.type);
    }
}

TEST(LinkCodec, RepliesSurviveARoundTrip) {
    Reply list;
    list.type = MsgType::ListDevices;
    list.devices = {{5, 41, {18, 1, 2, 3}, {{9, 2, 9, 0}, {9, 2, 9, 0, 1}}}, {6, 42, {18, 1}, {}}};
    Reply control;
    control.type = MsgType::Control;
    control.result = 6;
    control.data = {0, 1, 2, 3, 2, 0};
    Reply failed;
    failed.type = MsgType::BulkWrite;
    failed.result = -110;
    Reply stats;
    stats.type = MsgType::Stats;
    stats.stats.instructions = 0x123456789ULL;
    stats.stats.virtual_time = 987654321012ULL;
    stats.stats.model_errors = 3;
    for (const Reply& rep : {list, control, failed, stats}) {
        auto bytes = encode_reply(rep);
        Frame f;
        std::string err;
        ASSERT_EQ(take_frame(bytes, f, err), FrameStatus::Ok) << err;
        Reply back;
        ASSERT_TRUE(decode_reply(f, rep.type, back, err)) << err;
        EXPECT_EQ(back.result, rep.result);
        EXPECT_EQ(back.data, rep.data);
        EXPECT_EQ(back.devices, rep.devices);
        EXPECT_EQ(back.stats.instructions, rep.stats.instructions);
        EXPECT_EQ(back.stats.virtual_time, rep.stats.virtual_time);
        EXPECT_EQ(back.stats.model_errors, rep.stats.model_errors);
    }
}

TEST(LinkCodec, ErrorFramesCarryTheirText) {
    Reply e;
    e.type = MsgType::Error;
    e.result = -71;
    e.error = "bad magic";
    auto bytes = encode_reply(e);
    Frame f;
    std::string err;
    ASSERT_EQ(take_frame(bytes, f, err), FrameStatus::Ok);
    Reply back;
    ASSERT_TRUE(decode_reply(f, MsgType::Open, back, err)) << err;
    EXPECT_EQ(back.type, MsgType::Error);
    EXPECT_EQ(back.error, "bad magic");
    EXPECT_EQ(back.result, -71);
}

TEST(LinkCodec, EveryPrefixOfAFrameIsIncomplete) {
    const auto whole = encode_request(sample_requests()[2]);
    for (std::size_t n = 0; n < whole.size(); ++n) {
        std::vector<std::uint8_t> part(whole.begin(), whole.begin() + n);
        Frame f;
        std::string err;
        EXPECT_EQ(take_frame(part, f, err), FrameStatus::Incomplete) << "prefix of " << n << " bytes: " << err;
        EXPECT_EQ(part.size(), n) << "an incomplete frame must not be consumed";
    }
}

TEST(LinkCodec, TwoFramesInOneBufferComeOutInOrder) {
    auto a = encode_request(sample_requests()[1]);
    const auto b = encode_request(sample_requests()[4]);
    a.insert(a.end(), b.begin(), b.end());
    Frame f;
    std::string err;
    ASSERT_EQ(take_frame(a, f, err), FrameStatus::Ok);
    EXPECT_EQ(f.type, static_cast<std::uint8_t>(MsgType::Open));
    ASSERT_EQ(take_frame(a, f, err), FrameStatus::Ok);
    EXPECT_EQ(f.type, static_cast<std::uint8_t>(MsgType::BulkWrite));
    EXPECT_TRUE(a.empty());
}

struct BadFrame {
    const char* name;
    std::vector<std::uint8_t> bytes;
    const char* reason;  // part of the error text
};

class RefusedFrames : public ::testing::TestWithParam<BadFrame> {};

TEST_P(RefusedFrames, AreBadWithAReason) {
    auto bytes = GetParam().bytes;
    Frame f;
    std::string err;
    EXPECT_EQ(take_frame(bytes, f, err), FrameStatus::Bad) << GetParam().name;
    EXPECT_NE(err.find(GetParam().reason), std::string::npos) << "error text: '" << err << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Header, RefusedFrames,
    ::testing::Values(
        BadFrame{"http", {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T'}, "bad frame length"},
        BadFrame{"garbage_magic", {8, 0, 0, 0, 0xDE, 0xAD, 1, 1, 0, 0, 0, 0}, "bad magic"},
        BadFrame{"oversize", {0x01, 0x00, 0x10, 0x00, 0x56, 0x42, 1, 5}, "bad frame length"},
        BadFrame{"length_below_header", {2, 0, 0, 0, 0x56, 0x42}, "bad frame length"},
        BadFrame{"other_version", {4, 0, 0, 0, 0x56, 0x42, 9, 1}, "version 9"}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadBody {
    const char* name;
    std::uint8_t type;
    std::vector<std::uint8_t> body;
    const char* reason;
};

class RefusedBodies : public ::testing::TestWithParam<BadBody> {};

TEST_P(RefusedBodies, DoNotDecode) {
    Frame f{GetParam().type, GetParam().body};
    Request req;
    std::string err;
    EXPECT_FALSE(decode_request(f, req, err)) << GetParam().name;
    EXPECT_NE(err.find(GetParam().reason), std::string::npos) << "error text: '" << err << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, RefusedBodies,
    ::testing::Values(
        BadBody{"unknown_type", 0x42, {}, "unknown request type"},
        BadBody{"reply_type_as_request", 0x81, {}, "unknown request type"},
        BadBody{"open_truncated", 0x02, {1, 0}, "truncated"},
        BadBody{"open_trailing", 0x02, {1, 0, 0, 0, 9}, "trailing"},
        // OUT control transfer announcing 4 bytes but carrying 2.
        BadBody{"control_out_short", 0x04, {1, 0, 0, 0, 0x21, 1, 0, 0, 0, 0, 4, 0, 0xF4, 1, 0, 0, 0xAA, 0xBB}, "truncated"},
        BadBody{"control_too_long", 0x04, {1, 0, 0, 0, 0xA1, 1, 0, 0, 0, 0, 0x01, 0x10, 0xF4, 1, 0, 0}, "exceeds"},
        // Bulk write whose length field is larger than the bytes that follow.
        BadBody{"bulk_write_short", 0x05, {1, 0, 0, 0, 2, 0, 0, 0, 0, 8, 0, 0, 0, 1, 2}, "truncated"},
        BadBody{"bulk_write_oversize", 0x05, {1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 1, 0}, "truncated"},
        BadBody{"bulk_read_oversize", 0x06, {1, 0, 0, 0, 0x82, 0, 0, 0, 0, 0, 0, 1, 0}, "truncated"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vboard::link
