// The board server against raw socket clients: requests are answered, and
// garbage, oversized frames, vanishing clients and several clients at once
// get a clear answer and never stop the server.
#include <gtest/gtest.h>

#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "fake_board.h"

namespace vboard::test {
namespace {

using link::MsgType;
using link::Reply;
using link::Request;

std::string temp_socket_path(const char* tag) {
    return "/tmp/vboard-link-test-" + std::to_string(::getpid()) + "-" + tag + ".sock";
}

int connect_to(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// Waits (at most 5 s) for a frame; a test must never hang.
bool receive(int fd, link::Frame& f, std::string& err) {
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return link::read_frame(fd, f, err);
}

Reply ask(int fd, const Request& req) {
    const auto out = link::encode_request(req);
    EXPECT_TRUE(link::write_all(fd, out.data(), out.size()));
    link::Frame f;
    std::string err;
    Reply rep;
    rep.type = MsgType::Error;
    rep.error = "no reply";
    if (!receive(fd, f, err)) return rep;
    EXPECT_TRUE(link::decode_reply(f, req.type, rep, err)) << err;
    return rep;
}

Request make(MsgType t, std::uint32_t handle = 0, std::int32_t value = 0) {
    Request r;
    r.type = t;
    r.handle = handle;
    r.value = value;
    return r;
}

// True when the server has closed this connection.
bool closed_by_server(int fd) {
    char c;
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return ::read(fd, &c, 1) == 0;
}

class ServerTest : public ::testing::Test {
protected:
    ServerTest() : server_(board_, temp_socket_path("server")) {}
    int client() {
        const int fd = connect_to(server_.path());
        EXPECT_GE(fd, 0) << "cannot connect to " << server_.path();
        fds_.push_back(fd);
        return fd;
    }
    ~ServerTest() override {
        for (int fd : fds_) ::close(fd);
    }
    // Lists the device and opens it; returns the handle.
    std::uint32_t open_device(int fd) {
        const Reply list = ask(fd, make(MsgType::ListDevices));
        EXPECT_EQ(list.devices.size(), 1u);
        if (list.devices.empty()) return 0;
        const Reply open = ask(fd, make(MsgType::Open, list.devices[0].devnum));
        EXPECT_EQ(open.result, 0);
        return open.handle;
    }

    FakeBoard board_;
    ServerThread server_;
    std::vector<int> fds_;
};

TEST_F(ServerTest, ListsTheEnumeratedDeviceWithItsDescriptors) {
    const Reply r = ask(client(), make(MsgType::ListDevices));
    ASSERT_EQ(r.devices.size(), 1u);
    EXPECT_EQ(r.devices[0].devnum, 2u) << "the first device on a bus is number 2 (1 is the root hub)";
    EXPECT_EQ(r.devices[0].generation, 100u) << "the host model's enumeration";
    EXPECT_EQ(r.devices[0].device_descriptor, fake_device_descriptor());
    ASSERT_EQ(r.devices[0].configurations.size(), 1u);
    EXPECT_EQ(r.devices[0].configurations[0], fake_configuration());
}

TEST_F(ServerTest, NoDeviceOnTheBusListsNothingAndOpensNothing) {
    board_.detach();
    const int fd = client();
    EXPECT_TRUE(ask(fd, make(MsgType::ListDevices)).devices.empty());
    EXPECT_EQ(ask(fd, make(MsgType::Open, 2)).result, -ENODEV);
}

TEST_F(ServerTest, ControlTransfersCarryDataBothWaysAndTheTimeOut) {
    const int fd = client();
    const auto h = open_device(fd);
    Request in = make(MsgType::Control, h);
    in.setup = {0xA1, 0x03, 0, 0, 6};
    in.timeout_ms = 500;
    const Reply status = ask(fd, in);
    EXPECT_EQ(status.result, 6);
    EXPECT_EQ(status.data, (std::vector<std::uint8_t>{0, 0, 0, 0, 2, 0}));
    EXPECT_EQ(board_.last_timeout_ms(), 500u);

    Request out = make(MsgType::Control, h);
    out.setup = {0x21, 0x01, 0, 0, 3};
    out.data = {7, 8, 9};
    out.timeout_ms = 0;  // no time-out: the server bounds it
    EXPECT_EQ(ask(fd, out).result, 3);
    EXPECT_EQ(board_.last_timeout_ms(), link::Server::kNoTimeoutMs);
}

TEST_F(ServerTest, BoardErrorsComeBackAsNegativeErrnoValues) {
    const int fd = client();
    const auto h = open_device(fd);
    Request r = make(MsgType::Control, h);
    r.setup = {kFakeVendorIn, kReqTimesOut, 0, 0, 1};
    EXPECT_EQ(ask(fd, r).result, -ETIMEDOUT);
    r.setup.bRequest = kReqStalls;
    EXPECT_EQ(ask(fd, r).result, -EPIPE);
}

TEST_F(ServerTest, SetConfigurationIsARealRequestAndChecksTheValue) {
    const int fd = client();
    const auto h = open_device(fd);
    EXPECT_EQ(ask(fd, make(MsgType::SetConfiguration, h, 1)).result, 0);
    EXPECT_EQ(ask(fd, make(MsgType::SetConfiguration, h, 3)).result, -EINVAL);
    const auto log = board_.log();
    ASSERT_EQ(log.size(), 1u) << "only the valid value goes to the device";
    EXPECT_EQ(log[0].bmRequestType, 0x00);
    EXPECT_EQ(log[0].bRequest, 0x09);
    EXPECT_EQ(log[0].wValue, 1);
}

TEST_F(ServerTest, NoNewConfigurationWhileAnInterfaceIsClaimed) {
    const int fd = client();
    const auto h = open_device(fd);
    ASSERT_EQ(ask(fd, make(MsgType::ClaimInterface, h, 0)).result, 0);
    EXPECT_EQ(ask(fd, make(MsgType::SetConfiguration, h, 1)).result, -EBUSY);
    EXPECT_TRUE(board_.log().empty()) << "nothing went to the device";
    ASSERT_EQ(ask(fd, make(MsgType::ReleaseInterface, h, 0)).result, 0);
    EXPECT_EQ(ask(fd, make(MsgType::SetConfiguration, h, 1)).result, 0);
}

TEST_F(ServerTest, InterfacesAreClaimedOncePerDevice) {
    const int a = client(), b = client();
    const auto ha = open_device(a), hb = open_device(b);
    EXPECT_EQ(ask(a, make(MsgType::ClaimInterface, ha, 0)).result, 0);
    EXPECT_EQ(ask(a, make(MsgType::ClaimInterface, ha, 0)).result, 0) << "claiming again is no error";
    EXPECT_EQ(ask(b, make(MsgType::ClaimInterface, hb, 0)).result, -EBUSY);
    EXPECT_EQ(ask(b, make(MsgType::ClaimInterface, hb, 1)).result, 0);
    EXPECT_EQ(ask(a, make(MsgType::ClaimInterface, ha, 2)).result, -ENOENT) << "no interface 2";
    EXPECT_EQ(ask(b, make(MsgType::ReleaseInterface, hb, 0)).result, -EINVAL) << "not b's to release";
    EXPECT_EQ(ask(a, make(MsgType::ReleaseInterface, ha, 0)).result, 0);
    EXPECT_EQ(ask(b, make(MsgType::ClaimInterface, hb, 0)).result, 0);
}

TEST_F(ServerTest, AClientThatGoesAwayReleasesItsInterfaces) {
    const int a = client();
    const auto ha = open_device(a);
    ASSERT_EQ(ask(a, make(MsgType::ClaimInterface, ha, 0)).result, 0);
    ::shutdown(a, SHUT_RDWR);
    const int b = client();
    const auto hb = open_device(b);
    // The server notices the closed connection before it serves b.
    int result = -EBUSY;
    for (int i = 0; i < 100 && result == -EBUSY; ++i) {
        result = ask(b, make(MsgType::ClaimInterface, hb, 0)).result;
        if (result == -EBUSY) ::usleep(10'000);
    }
    EXPECT_EQ(result, 0);
}

TEST_F(ServerTest, HandlesAreTheirClientsOwn) {
    const int a = client(), b = client();
    const auto ha = open_device(a);
    EXPECT_EQ(ask(b, make(MsgType::ClaimInterface, ha, 0)).result, -EBADF);
    EXPECT_EQ(ask(b, make(MsgType::Close, ha)).result, -EBADF);
    EXPECT_EQ(ask(a, make(MsgType::Close, ha)).result, 0);
    EXPECT_EQ(ask(a, make(MsgType::ClaimInterface, ha, 0)).result, -EBADF);
}

TEST_F(ServerTest, AHandleOfAReEnumeratedDeviceFailsWithNoDevice) {
    const int fd = client();
    const auto h = open_device(fd);
    EXPECT_EQ(ask(fd, make(MsgType::ResetButton)).result, 0);
    Request r = make(MsgType::Control, h);
    r.setup = {0xA1, 0x03, 0, 0, 6};
    EXPECT_EQ(ask(fd, r).result, -ENODEV);
    const Reply list = ask(fd, make(MsgType::ListDevices));
    ASSERT_EQ(list.devices.size(), 1u);
    EXPECT_EQ(list.devices[0].devnum, 3u) << "a new device gets a new number";
}

TEST_F(ServerTest, APortResetThatBringsBackTheSameDeviceKeepsTheHandle) {
    const int fd = client();
    const auto h = open_device(fd);
    EXPECT_EQ(ask(fd, make(MsgType::PortReset, h)).result, 0);
    EXPECT_EQ(board_.resets(), 1);
    Request r = make(MsgType::Control, h);
    r.setup = {0xA1, 0x03, 0, 0, 6};
    EXPECT_EQ(ask(fd, r).result, 6);
    EXPECT_EQ(ask(fd, make(MsgType::ListDevices)).devices.at(0).devnum, 2u);
}

TEST_F(ServerTest, AListAfterAResetFindsTheBoardHasLivedThroughTheWait) {
    board_.set_slow(true);  // busy, and slower than real time
    const int fd = client();
    const auto h = open_device(fd);
    ASSERT_EQ(ask(fd, make(MsgType::PortReset, h)).result, 0);
    const Nanos at_reset = ask(fd, make(MsgType::Stats)).stats.virtual_time;
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ask(fd, make(MsgType::ListDevices));
    const auto waited = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0);
    const Nanos lived = ask(fd, make(MsgType::Stats)).stats.virtual_time - at_reset;
    EXPECT_GE(lived, 300'000'000u) << "the board lived " << lived << " ns of the host's " << waited.count()
                                   << " ns wait";
}

TEST_F(ServerTest, ADeviceThatLeavesTheBusFailsItsHandles) {
    const int fd = client();
    const auto h = open_device(fd);
    Request r = make(MsgType::Control, h);
    r.setup = {kFakeVendorIn, kReqDetaches, 0, 0, 0};
    EXPECT_EQ(ask(fd, r).result, -EPROTO);
    r.setup = {0xA1, 0x03, 0, 0, 6};
    EXPECT_EQ(ask(fd, r).result, -ENODEV);
    Request w = make(MsgType::BulkWrite, h);
    w.endpoint = 2;
    w.data = {1};
    EXPECT_EQ(ask(fd, w).result, -ENODEV);
}

TEST_F(ServerTest, BulkTransfersMoveTheBytes) {
    const int fd = client();
    const auto h = open_device(fd);
    Request w = make(MsgType::BulkWrite, h);
    w.endpoint = kEpOk;
    w.data = {0x90, 0x57, 0, 0};
    EXPECT_EQ(ask(fd, w).result, 4);
    EXPECT_EQ(board_.written(), w.data);
    Request rd = make(MsgType::BulkRead, h);
    rd.endpoint = 0x83;
    rd.length = 64;
    const Reply got = ask(fd, rd);
    ASSERT_EQ(got.result, 64);
    EXPECT_EQ(got.data.size(), 64u);
    EXPECT_EQ(got.data[63], 63);
}

TEST_F(ServerTest, StatsComeFromTheBoard) {
    const Reply r = ask(client(), make(MsgType::Stats));
    EXPECT_EQ(r.stats.instructions, 12345u);
    EXPECT_EQ(r.stats.model_errors, 2u);
}

struct Garbage {
    const char* name;
    std::vector<std::uint8_t> bytes;
    const char* reason;
};

class ServerGarbage : public ServerTest, public ::testing::WithParamInterface<Garbage> {};

TEST_P(ServerGarbage, GetsAnErrorFrameAndTheConnectionClosedWhileOthersAreServed) {
    const int bad = client(), good = client();
    ASSERT_TRUE(link::write_all(bad, GetParam().bytes.data(), GetParam().bytes.size()));
    link::Frame f;
    std::string err;
    ASSERT_TRUE(receive(bad, f, err)) << "no error frame: " << err;
    Reply rep;
    ASSERT_TRUE(link::decode_reply(f, MsgType::ListDevices, rep, err)) << err;
    EXPECT_EQ(rep.type, MsgType::Error);
    EXPECT_NE(rep.error.find(GetParam().reason), std::string::npos) << "error text: '" << rep.error << "'";
    EXPECT_TRUE(closed_by_server(bad));
    EXPECT_EQ(ask(good, make(MsgType::ListDevices)).devices.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ServerGarbage,
    ::testing::Values(
        Garbage{"text", {'h', 'e', 'l', 'l', 'o', ' ', 'b', 'o', 'a', 'r', 'd', '\n'}, "bad frame length"},
        Garbage{"oversize", {0xFF, 0xFF, 0xFF, 0x7F, 0x56, 0x42, 1, 1}, "bad frame length"},
        Garbage{"bad_magic", {4, 0, 0, 0, 0x00, 0x00, 1, 1}, "bad magic"},
        Garbage{"future_version", {4, 0, 0, 0, 0x56, 0x42, 2, 1}, "version 2"},
        Garbage{"unknown_type", {4, 0, 0, 0, 0x56, 0x42, 1, 0x33}, "unknown request type"},
        Garbage{"truncated_body", {6, 0, 0, 0, 0x56, 0x42, 1, 0x02, 1, 0}, "truncated"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServerTest, RandomBodiesGetAnAnswerAndNeverStopTheServer) {
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7FFF;
    };
    int fd = client();
    int answered = 0;
    for (int i = 0; i < 300; ++i) {
        std::vector<std::uint8_t> body(next() % 40);
        for (auto& b : body) b = static_cast<std::uint8_t>(next());
        // Handles near the ones in use, so some requests reach the board.
        if (body.size() >= 4) body[1] = body[2] = body[3] = 0;
        const std::uint8_t type = static_cast<std::uint8_t>(next() % 16);
        const std::uint32_t len = static_cast<std::uint32_t>(body.size() + 4);
        std::vector<std::uint8_t> frame = {static_cast<std::uint8_t>(len), static_cast<std::uint8_t>(len >> 8), 0, 0,
                                           0x56, 0x42, link::kVersion, type};
        frame.insert(frame.end(), body.begin(), body.end());
        ASSERT_TRUE(link::write_all(fd, frame.data(), frame.size()));
        link::Frame f;
        std::string err;
        ASSERT_TRUE(receive(fd, f, err)) << "request " << i << " (type " << int(type) << ") got no answer: " << err;
        ++answered;
        if (f.type == static_cast<std::uint8_t>(MsgType::Error)) {
            EXPECT_TRUE(closed_by_server(fd)) << "after an error frame the connection closes";
            fd = client();
        }
    }
    EXPECT_EQ(answered, 300);
    EXPECT_EQ(ask(client(), make(MsgType::ListDevices)).devices.size(), 1u);
}

TEST_F(ServerTest, AClientThatVanishesInTheMiddleOfATransferLeavesTheServerServing) {
    const int gone = client();
    const auto h = open_device(gone);
    Request slow = make(MsgType::Control, h);
    slow.setup = {kFakeVendorIn, kReqSlow, 0, 0, 4};
    const auto out = link::encode_request(slow);
    ASSERT_TRUE(link::write_all(gone, out.data(), out.size()));
    ::usleep(50'000);  // the board is in the middle of the transfer
    ::close(gone);
    fds_.erase(std::find(fds_.begin(), fds_.end(), gone));
    const int other = client();
    EXPECT_EQ(ask(other, make(MsgType::ListDevices)).devices.size(), 1u);
}

TEST_F(ServerTest, AHalfFrameFromAVanishingClientIsForgotten) {
    const int gone = client();
    const auto out = link::encode_request(make(MsgType::Open, 2));
    ASSERT_TRUE(link::write_all(gone, out.data(), 5));
    ::close(gone);
    fds_.erase(std::find(fds_.begin(), fds_.end(), gone));
    EXPECT_EQ(ask(client(), make(MsgType::ListDevices)).devices.size(), 1u);
}

TEST_F(ServerTest, ManyClientsAreServedInTurn) {
    std::vector<int> many;
    for (int i = 0; i < 8; ++i) many.push_back(client());
    for (int round = 0; round < 3; ++round)
        for (int fd : many) EXPECT_EQ(ask(fd, make(MsgType::ListDevices)).devices.size(), 1u);
}

TEST_F(ServerTest, PipelinedRequestsAreAnsweredInOrder) {
    const int fd = client();
    std::vector<std::uint8_t> both = link::encode_request(make(MsgType::Stats));
    const auto second = link::encode_request(make(MsgType::ListDevices));
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_TRUE(link::write_all(fd, both.data(), both.size()));
    link::Frame f;
    std::string err;
    ASSERT_TRUE(receive(fd, f, err));
    EXPECT_EQ(f.type, static_cast<std::uint8_t>(MsgType::Stats) | link::kReplyBit);
    ASSERT_TRUE(receive(fd, f, err));
    EXPECT_EQ(f.type, static_cast<std::uint8_t>(MsgType::ListDevices) | link::kReplyBit);
}

TEST(ServerSocket, ASocketInUseIsRefused) {
    FakeBoard board;
    const std::string path = temp_socket_path("inuse");
    ServerThread first(board, path);
    try {
        link::Server second(board, path);
        FAIL() << "a second server took a socket in use";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("is in use"), std::string::npos) << e.what();
    }
    const int fd = connect_to(path);
    EXPECT_GE(fd, 0) << "the first server lost its socket";
    if (fd >= 0) ::close(fd);
}

TEST(ServerSocket, AStaleSocketFileIsReplaced) {
    FakeBoard board;
    const std::string path = temp_socket_path("stale");
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path.c_str());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ::unlink(path.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);  // bound, never listened: nobody serves it
    }
    ServerThread server(board, path);
    const int fd = connect_to(path);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
}

TEST(ServerSocket, APathThatIsNotASocketIsRefusedAndKept) {
    FakeBoard board;
    const std::string path = temp_socket_path("file");
    std::ofstream(path) << "keep me";
    EXPECT_THROW(link::Server(board, path), std::runtime_error);
    struct stat st{};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << "the file was removed";
    ::unlink(path.c_str());
}

TEST(ServerSocket, TheSocketFileGoesWithTheServer) {
    FakeBoard board;
    const std::string path = temp_socket_path("gone");
    { ServerThread server(board, path); }
    struct stat st{};
    EXPECT_NE(::stat(path.c_str(), &st), 0);
}

}  // namespace
}  // namespace vboard::test
