// The libusb-0.1 substitute, driven as a libusb-0.1 program drives it
// (<usb.h>, linked against libusb-0.1.so.4 from the build tree), with a board
// server behind VBOARD_SOCKET. Results and usb_strerror() texts must be those
// of libusb-0.1 on Linux.
#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>
#include <functional>
#include <memory>
#include <sys/wait.h>
#include <usb.h>

#include "fake_board.h"

namespace vboard::test {
namespace {

const std::string kSocket = "/tmp/vboard-libusb-test-" + std::to_string(::getpid()) + ".sock";

struct usb_device* find_device(std::uint16_t vendor, std::uint16_t product) {
    for (usb_bus* bus = usb_get_busses(); bus; bus = bus->next)
        for (struct usb_device* dev = bus->devices; dev; dev = dev->next)
            if (dev->descriptor.idVendor == vendor && dev->descriptor.idProduct == product) return dev;
    return nullptr;
}

class Substitute : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = std::make_unique<ServerThread>(board_, kSocket);
        ::setenv("VBOARD_SOCKET", kSocket.c_str(), 1);
        usb_init();
        usb_find_busses();
        usb_find_devices();
        dev_ = find_device(0x03EB, 0x6120);
        ASSERT_NE(dev_, nullptr) << "the board's device is not on any bus";
    }
    void TearDown() override {
        for (auto* h : handles_) usb_close(h);
        server_.reset();
    }
    usb_dev_handle* open() {
        usb_dev_handle* h = usb_open(dev_);
        EXPECT_NE(h, nullptr) << usb_strerror();
        if (h) handles_.push_back(h);
        return h;
    }
    // Opened, configuration 1 set and interface 0 claimed, as dorvex does.
    usb_dev_handle* open_claimed() {
        usb_dev_handle* h = open();
        if (!h) return h;
        EXPECT_EQ(usb_set_configuration(h, 1), 0) << usb_strerror();
        EXPECT_EQ(usb_claim_interface(h, 0), 0) << usb_strerror();
        return h;
    }

    FakeBoard board_;
    std::unique_ptr<ServerThread> server_;
    struct usb_device* dev_ = nullptr;
    std::vector<usb_dev_handle*> handles_;
};

TEST_F(Substitute, EnumeratesTheBoardOnBus001WithItsDescriptorTree) {
    usb_bus* bus = usb_get_busses();
    ASSERT_NE(bus, nullptr);
    EXPECT_EQ(usb_busses, bus) << "usb_busses is the list usb_get_busses() gives";
    EXPECT_STREQ(bus->dirname, "001");
    EXPECT_EQ(bus->next, nullptr);
    EXPECT_STREQ(dev_->filename, "002");
    EXPECT_EQ(dev_->devnum, 2);
    EXPECT_EQ(dev_->bus, bus);
    EXPECT_EQ(dev_->descriptor.bcdUSB, 0x0110);
    EXPECT_EQ(dev_->descriptor.bMaxPacketSize0, 8);
    EXPECT_EQ(dev_->descriptor.bcdDevice, 0x0100);
    ASSERT_EQ(dev_->descriptor.bNumConfigurations, 1);
    ASSERT_NE(dev_->config, nullptr);

    const usb_config_descriptor& c = dev_->config[0];
    EXPECT_EQ(c.bConfigurationValue, 1);
    EXPECT_EQ(c.wTotalLength, fake_configuration().size());
    EXPECT_EQ(c.bmAttributes, 0x80);
    EXPECT_EQ(c.MaxPower, 50);
    EXPECT_EQ(c.extralen, 0);
    ASSERT_EQ(c.bNumInterfaces, 2);

    const usb_interface& dfu = c.interface[0];
    ASSERT_EQ(dfu.num_altsetting, 2);
    EXPECT_EQ(dfu.altsetting[0].bInterfaceClass, 0xFE);
    EXPECT_EQ(dfu.altsetting[0].bInterfaceSubClass, 0x01);
    EXPECT_EQ(dfu.altsetting[1].bAlternateSetting, 1);
    ASSERT_EQ(dfu.altsetting[0].extralen, 9) << "the DFU functional descriptor is the interface's extra";
    EXPECT_EQ(dfu.altsetting[0].extra[1], 0x21);
    EXPECT_EQ(dfu.altsetting[1].extralen, 0);

    const usb_interface& vendor = c.interface[1];
    ASSERT_EQ(vendor.num_altsetting, 1);
    const usb_interface_descriptor& alt = vendor.altsetting[0];
    EXPECT_EQ(alt.bInterfaceNumber, 1);
    ASSERT_EQ(alt.bNumEndpoints, 2);
    EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x02);
    EXPECT_EQ(alt.endpoint[0].extralen, 0);
    EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x83);
    EXPECT_EQ(alt.endpoint[1].bmAttributes, USB_ENDPOINT_TYPE_BULK);
    EXPECT_EQ(alt.endpoint[1].wMaxPacketSize, 64);
    ASSERT_EQ(alt.endpoint[1].extralen, 4) << "the class descriptor after the endpoint is its extra";
    EXPECT_EQ(alt.endpoint[1].extra[2], 0xAA);
}

TEST_F(Substitute, OpensConfiguresClaimsAndReadsTheDfuStatus) {
    usb_dev_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(usb_device(h), dev_);
    char status[6] = {};
    ASSERT_EQ(usb_control_msg(h, 0xA1, 3, 0, 0, status, 6, 500), 6) << usb_strerror();
    EXPECT_EQ(status[4], 2) << "bState dfuIDLE";
    char block[3] = {1, 2, 3};
    EXPECT_EQ(usb_control_msg(h, 0x21, 1, 0, 0, block, 3, 500), 3) << usb_strerror();
    EXPECT_EQ(usb_release_interface(h, 0), 0) << usb_strerror();
}

TEST_F(Substitute, ReadsStringsAsAscii) {
    usb_dev_handle* h = open();
    char text[32];
    EXPECT_EQ(usb_get_string_simple(h, 2, text, sizeof text), 5) << usb_strerror();
    EXPECT_STREQ(text, "VBoa?") << "characters beyond U+00FF become '?'";
}

TEST_F(Substitute, BulkTransfersMoveTheBytes) {
    usb_dev_handle* h = open_claimed();
    const char length[4] = {char(0x90), 0x57, 0, 0};
    EXPECT_EQ(usb_bulk_write(h, kEpOk, length, 4, 4000), 4) << usb_strerror();
    std::vector<char> big(40000, 'x');
    EXPECT_EQ(usb_bulk_write(h, kEpOk, big.data(), static_cast<int>(big.size()), 4000), 40000)
        << "split into 16 KiB URBs and put together again";
    EXPECT_EQ(board_.written().size(), 40004u);
    char in[512];
    EXPECT_EQ(usb_bulk_read(h, 3, in, sizeof in, 1000), 100) << "a short packet ends the read";
    EXPECT_EQ(in[99], 99);
}

TEST_F(Substitute, AResetThatBringsTheDeviceBackKeepsTheHandle) {
    usb_dev_handle* h = open_claimed();
    EXPECT_EQ(usb_reset(h), 0) << usb_strerror();
    char status[6];
    EXPECT_EQ(usb_control_msg(h, 0xA1, 3, 0, 0, status, 6, 500), 6) << usb_strerror();
    EXPECT_EQ(usb_find_devices(), 0) << "the same device, no change on the bus";
}

TEST_F(Substitute, ARefreshedListShowsAReEnumeratedDeviceAsNew) {
    struct usb_device* old = dev_;
    usb_dev_handle* h = open();
    board_.reset_button();
    EXPECT_EQ(usb_find_busses(), 0);
    EXPECT_EQ(usb_find_devices(), 2) << "one device gone, one come";
    struct usb_device* now = find_device(0x03EB, 0x6120);
    ASSERT_NE(now, nullptr);
    EXPECT_NE(now, old);
    EXPECT_STREQ(now->filename, "003");
    EXPECT_EQ(old->descriptor.idVendor, 0x03EB) << "the old record stays readable";
    char status[6];
    EXPECT_EQ(usb_control_msg(h, 0xA1, 3, 0, 0, status, 6, 500), -ENODEV);
    EXPECT_STREQ(usb_strerror(), "error sending control message: No such device");
}

// One failure as libusb-0.1 on Linux reports it.
struct Failure {
    const char* name;
    std::function<int(Substitute&, FakeBoard&, usb_dev_handle*)> act;
    int result;
    const char* text;  // usb_strerror() afterwards
};

class SubstituteFailures : public Substitute, public ::testing::WithParamInterface<Failure> {
public:
    usb_dev_handle* second() { return open(); }
};

TEST_P(SubstituteFailures, GiveLinuxResultsAndTexts) {
    usb_dev_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    const int r = GetParam().act(*this, board_, h);
    EXPECT_EQ(r, GetParam().result);
    EXPECT_STREQ(usb_strerror(), GetParam().text);
}

char g_buf[8192];

INSTANTIATE_TEST_SUITE_P(
    Linux, SubstituteFailures,
    ::testing::Values(
        Failure{"control_time_out",
                [](Substitute&, FakeBoard&, usb_dev_handle* h) {
                    return usb_control_msg(h, kFakeVendorIn, kReqTimesOut, 0, 0, g_buf, 1, 2000);
                },
                -ETIMEDOUT, "error sending control message: Connection timed out"},
        Failure{"control_stall",
                [](Substitute&, FakeBoard&, usb_dev_handle* h) {
                    return usb_control_msg(h, kFakeVendorIn, kReqStalls, 0, 0, g_buf, 1, 2000);
                },
                -EPIPE, "error sending control message: Broken pipe"},
        Failure{"control_device_gone",
                [](Substitute&, FakeBoard& b, usb_dev_handle* h) {
                    b.detach();
                    return usb_control_msg(h, 0xA1, 3, 0, 0, g_buf, 6, 500);
                },
                -ENODEV, "error sending control message: No such device"},
        Failure{"control_over_a_page",
                [](Substitute&, FakeBoard&, usb_dev_handle* h) {
                    return usb_control_msg(h, 0xC0, 1, 0, 0, g_buf, 4097, 500);
                },
                -EINVAL, "error sending control message: Invalid argument"},
        Failure{"bulk_write_device_gone",
                [](Substitute&, FakeBoard& b, usb_dev_handle* h) {
                    b.detach();
                    return usb_bulk_write(h, kEpOk, g_buf, 4, 4000);
                },
                -ENODEV, "error submitting URB: No such device"},
        Failure{"bulk_write_time_out_keeps_the_last_text",
                [](Substitute&, FakeBoard&, usb_dev_handle* h) {
                    usb_claim_interface(h, 9);
                    return usb_bulk_write(h, kEpTimesOut, g_buf, 4, 4000);
                },
                -ETIMEDOUT, "could not claim interface 9: No such file or directory"},
        Failure{"bulk_write_stall_returns_the_bytes_done",
                [](Substitute&, FakeBoard&, usb_dev_handle* h) {
                    usb_claim_interface(h, 9);
                    return usb_bulk_write(h, kEpStalls, g_buf, 4, 4000);
                },
                0, "could not claim interface 9: No such file or directory"},
        Failure{"claim_missing_interface",
                [](Substitute&, FakeBoard&, usb_dev_handle* h) { return usb_claim_interface(h, 5); },
                -ENOENT, "could not claim interface 5: No such file or directory"},
        Failure{"claim_busy_interface",
                [](Substitute& s, FakeBoard&, usb_dev_handle*) {
                    return usb_claim_interface(static_cast<SubstituteFailures&>(s).second(), 0);
                },
                -EBUSY, "could not claim interface 0: Device or resource busy"},
        Failure{"release_unclaimed_interface",
                [](Substitute&, FakeBoard&, usb_dev_handle* h) { return usb_release_interface(h, 1); },
                -EINVAL, "could not release intf 1: Invalid argument"},
        Failure{"set_configuration_while_claimed",
                [](Substitute&, FakeBoard&, usb_dev_handle* h) { return usb_set_configuration(h, 1); },
                -EBUSY, "could not set config 1: Device or resource busy"},
        Failure{"set_missing_configuration",
                [](Substitute&, FakeBoard&, usb_dev_handle* h) {
                    usb_release_interface(h, 0);
                    return usb_set_configuration(h, 7);
                },
                -EINVAL, "could not set config 7: Invalid argument"},
        Failure{"reset_device_gone",
                [](Substitute&, FakeBoard& b, usb_dev_handle* h) {
                    b.detach();
                    return usb_reset(h);
                },
                -ENODEV, "could not reset: No such device"},
        Failure{"no_kernel_driver",
                [](Substitute&, FakeBoard&, usb_dev_handle* h) {
                    char name[32];
                    return usb_get_driver_np(h, 0, name, sizeof name);
                },
                -ENODATA, "could not get bound driver: No data available"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Substitute, AForkedChildTalksOnItsOwnConnection) {
    usb_dev_handle* h = open_claimed();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Claims interface 1 and ends without closing: the board releases the
        // claim when the child's own connection closes with it.
        usb_find_devices();
        usb_dev_handle* mine = usb_open(find_device(0x03EB, 0x6120));
        ::_exit(mine && usb_claim_interface(mine, 1) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child could not use the board";
    int r = -EBUSY;
    for (int i = 0; i < 100 && r == -EBUSY; ++i) {
        r = usb_claim_interface(h, 1);
        if (r == -EBUSY) ::usleep(10'000);
    }
    EXPECT_EQ(r, 0) << "the child's claim outlived it: it used the parent's connection; " << usb_strerror();
}

TEST_F(Substitute, OpeningAVanishedDeviceFails) {
    board_.detach();
    EXPECT_EQ(usb_open(dev_), nullptr);
    EXPECT_STREQ(usb_strerror(), "failed to open /dev/bus/usb/001/002: No such file or directory");
}

TEST_F(Substitute, WithoutAServerThereAreNoBussesAndNoDevices) {
    server_.reset();
    EXPECT_EQ(usb_find_busses(), 1) << "the bus has gone";
    EXPECT_EQ(usb_get_busses(), nullptr);
    EXPECT_EQ(usb_find_devices(), 0);
    ::unsetenv("VBOARD_SOCKET");
    EXPECT_EQ(usb_find_busses(), 0);
    EXPECT_EQ(usb_get_busses(), nullptr);
    EXPECT_EQ(usb_find_devices(), 0);
    EXPECT_EQ(usb_open(dev_), nullptr) << "a device of a board that has gone does not open";
}

TEST(SubstituteLibrary, ProvidesEveryFunctionOfUsbH) {
    const std::vector<std::pair<const char*, void*>> functions = {
        {"usb_open", reinterpret_cast<void*>(&usb_open)},
        {"usb_close", reinterpret_cast<void*>(&usb_close)},
        {"usb_get_string", reinterpret_cast<void*>(&usb_get_string)},
        {"usb_get_string_simple", reinterpret_cast<void*>(&usb_get_string_simple)},
        {"usb_get_descriptor_by_endpoint", reinterpret_cast<void*>(&usb_get_descriptor_by_endpoint)},
        {"usb_get_descriptor", reinterpret_cast<void*>(&usb_get_descriptor)},
        {"usb_bulk_write", reinterpret_cast<void*>(&usb_bulk_write)},
        {"usb_bulk_read", reinterpret_cast<void*>(&usb_bulk_read)},
        {"usb_interrupt_write", reinterpret_cast<void*>(&usb_interrupt_write)},
        {"usb_interrupt_read", reinterpret_cast<void*>(&usb_interrupt_read)},
        {"usb_control_msg", reinterpret_cast<void*>(&usb_control_msg)},
        {"usb_set_configuration", reinterpret_cast<void*>(&usb_set_configuration)},
        {"usb_claim_interface", reinterpret_cast<void*>(&usb_claim_interface)},
        {"usb_release_interface", reinterpret_cast<void*>(&usb_release_interface)},
        {"usb_set_altinterface", reinterpret_cast<void*>(&usb_set_altinterface)},
        {"usb_resetep", reinterpret_cast<void*>(&usb_resetep)},
        {"usb_clear_halt", reinterpret_cast<void*>(&usb_clear_halt)},
        {"usb_reset", reinterpret_cast<void*>(&usb_reset)},
        {"usb_get_driver_np", reinterpret_cast<void*>(&usb_get_driver_np)},
        {"usb_detach_kernel_driver_np", reinterpret_cast<void*>(&usb_detach_kernel_driver_np)},
        {"usb_strerror", reinterpret_cast<void*>(&usb_strerror)},
        {"usb_init", reinterpret_cast<void*>(&usb_init)},
        {"usb_set_debug", reinterpret_cast<void*>(&usb_set_debug)},
        {"usb_find_busses", reinterpret_cast<void*>(&usb_find_busses)},
        {"usb_find_devices", reinterpret_cast<void*>(&usb_find_devices)},
        {"usb_device", reinterpret_cast<void*>(&usb_device)},
        {"usb_get_busses", reinterpret_cast<void*>(&usb_get_busses)},
    };
    for (const auto& [name, addr] : functions) {
        Dl_info info{};
        ASSERT_NE(dladdr(addr, &info), 0) << name;
        const std::string file = info.dli_fname ? info.dli_fname : "";
        EXPECT_NE(file.find("lib/vboard/libusb-0.1.so.4"), std::string::npos)
            << name << " comes from " << file << ", not from the substitute";
    }
}

}  // namespace
}  // namespace vboard::test

#ifdef VBOARD_HAVE_VIRTUAL_BOARD
#include <sys/socket.h>
#include <sys/un.h>

#include "link/virtual_board_port.h"
#include "usb/virtual_board.h"

namespace vboard::test {
namespace {

// One request over a connection of its own, as `vboard reset` sends it.
link::Reply ask_board(const std::string& path, link::MsgType type) {
    link::Reply rep;
    rep.type = link::MsgType::Error;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        ADD_FAILURE() << "cannot connect to " << path;
        return rep;
    }
    link::Request req;
    req.type = type;
    const auto out = link::encode_request(req);
    link::Frame f;
    std::string err;
    if (!link::write_all(fd, out.data(), out.size()) || !link::read_frame(fd, f, err) ||
        !link::decode_reply(f, type, rep, err))
        ADD_FAILURE() << "no reply: " << err;
    ::close(fd);
    return rep;
}

void press_reset_button(const std::string& path) { ask_board(path, link::MsgType::ResetButton); }
Nanos board_time(const std::string& path) { return ask_board(path, link::MsgType::Stats).stats.virtual_time; }

// The real board: the boot ROM's DFU device, through the server.
class SubstituteOnVirtualBoard : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = std::make_unique<ServerThread>(port_, kSocket);
        ::setenv("VBOARD_SOCKET", kSocket.c_str(), 1);
        usb_init();
        usb_find_busses();
        usb_find_devices();
        dev_ = find_device(0x03EB, 0x6120);
        ASSERT_NE(dev_, nullptr) << "the boot ROM's DFU device is not on the bus";
        h_ = usb_open(dev_);
        ASSERT_NE(h_, nullptr) << usb_strerror();
    }
    void TearDown() override {
        if (h_) usb_close(h_);
        server_.reset();
    }

    VirtualBoard board_{BoardConfig{}};
    link::VirtualBoardPort port_{board_};
    std::unique_ptr<ServerThread> server_;
    struct usb_device* dev_ = nullptr;
    usb_dev_handle* h_ = nullptr;
};

TEST_F(SubstituteOnVirtualBoard, EnumeratesTheBootRomsDfuInterface) {
    ASSERT_GE(dev_->descriptor.bNumConfigurations, 1);
    ASSERT_NE(dev_->config, nullptr);
    const usb_config_descriptor& c = dev_->config[0];
    ASSERT_GE(c.bNumInterfaces, 1);
    ASSERT_GE(c.interface[0].num_altsetting, 1);
    const usb_interface_descriptor& alt = c.interface[0].altsetting[0];
    EXPECT_EQ(alt.bInterfaceClass, 0xFE);
    EXPECT_EQ(alt.bInterfaceSubClass, 0x01);
    EXPECT_EQ(dev_->devnum, 2);
    EXPECT_STREQ(dev_->filename, "002");
}

TEST_F(SubstituteOnVirtualBoard, ClaimsTheInterfaceAndReadsTheDfuStatus) {
    ASSERT_EQ(usb_set_configuration(h_, 1), 0) << usb_strerror();
    const int iface = dev_->config[0].interface[0].altsetting[0].bInterfaceNumber;
    ASSERT_EQ(usb_claim_interface(h_, iface), 0) << usb_strerror();
    char status[6] = {};
    ASSERT_EQ(usb_control_msg(h_, 0xA1, 3, 0, iface, status, 6, 500), 6) << usb_strerror();
    EXPECT_EQ(status[0], 0) << "bStatus OK";
    EXPECT_EQ(status[4], 2) << "bState dfuIDLE";
    char state = -1;
    EXPECT_EQ(usb_control_msg(h_, 0xA1, 5, 0, iface, &state, 1, 500), 1) << usb_strerror();
    EXPECT_EQ(state, 2);
}

TEST_F(SubstituteOnVirtualBoard, AnUnknownDfuRequestStalls) {
    ASSERT_EQ(usb_set_configuration(h_, 1), 0) << usb_strerror();
    ASSERT_EQ(usb_claim_interface(h_, 0), 0) << usb_strerror();
    char buf[8];
    EXPECT_EQ(usb_control_msg(h_, 0xA1, 0x07, 0, 0, buf, 8, 500), -EPIPE);
    EXPECT_STREQ(usb_strerror(), "error sending control message: Broken pipe");
}

TEST_F(SubstituteOnVirtualBoard, ABulkEndpointTheDeviceLacksIsRefusedAtSubmission) {
    ASSERT_EQ(usb_claim_interface(h_, 0), 0) << usb_strerror();
    const char word[4] = {1, 2, 3, 4};
    EXPECT_EQ(usb_bulk_write(h_, 4, word, 4, 4000), -ENOENT);
    EXPECT_STREQ(usb_strerror(), "error submitting URB: No such file or directory");
}

TEST_F(SubstituteOnVirtualBoard, AfterTheResetButtonTheOldHandleHasNoDevice) {
    press_reset_button(kSocket);
    char status[6];
    EXPECT_EQ(usb_control_msg(h_, 0xA1, 3, 0, 0, status, 6, 500), -ENODEV);
    EXPECT_STREQ(usb_strerror(), "error sending control message: No such device");
    EXPECT_EQ(usb_find_devices(), 2) << "the old device gone, the new one come";
    struct usb_device* again = find_device(0x03EB, 0x6120);
    ASSERT_NE(again, nullptr);
    EXPECT_STRNE(again->filename, "002");
}

TEST_F(SubstituteOnVirtualBoard, AnIdleBoardLetsVirtualTimePassNoFasterThanWallTime) {
    const Nanos before = board_time(kSocket);
    const auto t0 = std::chrono::steady_clock::now();
    ::usleep(200'000);
    const Nanos after = board_time(kSocket);
    const auto wall = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GT(after, before) << "an idle board still runs";
    EXPECT_LE(after - before, static_cast<Nanos>(wall) + 20'000'000) << "virtual time ran ahead of wall time";
}

}  // namespace
}  // namespace vboard::test
#endif
