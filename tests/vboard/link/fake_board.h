// A scripted board behind the server's BoardPort, for the link tests: a DFU
// device like the boot ROM's, with requests that stall, time out or take
// wall time, so every answer of the link can be staged.
#pragma once

#include <chrono>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "link/server.h"

namespace vboard::test {

// Requests the fake answers in a special way.
constexpr std::uint8_t kFakeVendorIn = 0xC0;
constexpr std::uint8_t kReqTimesOut = 0x01;   // -ETIMEDOUT
constexpr std::uint8_t kReqStalls = 0x02;     // -EPIPE
constexpr std::uint8_t kReqSlow = 0x03;       // 300 ms of wall time, then 4 bytes
constexpr std::uint8_t kReqDetaches = 0x04;   // the device leaves the bus, -EPROTO
constexpr std::uint8_t kEpOk = 0x02, kEpTimesOut = 0x05, kEpStalls = 0x06;

inline std::vector<std::uint8_t> fake_device_descriptor() {
    return {18, 1, 0x10, 0x01, 0, 0, 0, 8, 0xEB, 0x03, 0x20, 0x61, 0x00, 0x01, 1, 2, 0, 1};
}

// Configuration 1: interface 0 (DFU, two alternate settings, a DFU
// functional descriptor after the first) and interface 1 (vendor, bulk OUT 2
// and bulk IN 0x83 with a class descriptor after the IN endpoint).
inline std::vector<std::uint8_t> fake_configuration() {
    std::vector<std::uint8_t> c = {
        9, 2, 0, 0, 2, 1, 0, 0x80, 50,
        9, 4, 0, 0, 0, 0xFE, 0x01, 0x02, 0,
        9, 0x21, 0x01, 0xFF, 0x00, 0x00, 0x02, 0x00, 0x01,
        9, 4, 0, 1, 0, 0xFE, 0x01, 0x02, 0,
        9, 4, 1, 0, 2, 0xFF, 0x00, 0x00, 0,
        7, 5, 0x02, 0x02, 64, 0, 0,
        7, 5, 0x83, 0x02, 64, 0, 0,
        4, 0x24, 0xAA, 0xBB,
    };
    c[2] = static_cast<std::uint8_t>(c.size());
    return c;
}

class FakeBoard : public link::BoardPort {
public:
    FakeBoard() { attach(); }

    std::optional<UsbDeviceInfo> device() override {
        std::lock_guard lock(m_);
        return attached_ ? std::optional<UsbDeviceInfo>(info_) : std::nullopt;
    }
    int control(const UsbSetup& s, std::uint8_t* data, unsigned timeout_ms) override {
        std::lock_guard lock(m_);
        log_.push_back(s);
        last_timeout_ms_ = timeout_ms;
        if (!attached_) return -ENODEV;
        if (s.bmRequestType == 0x00 && s.bRequest == 0x09) return 0;   // SET_CONFIGURATION
        if (s.bmRequestType == 0xA1 && s.bRequest == 0x03) {           // DFU_GETSTATUS: dfuIDLE
            const std::uint8_t status[6] = {0, 0, 0, 0, 2, 0};
            std::memcpy(data, status, std::min<std::size_t>(6, s.wLength));
            return std::min<int>(6, s.wLength);
        }
        if (s.bmRequestType == 0x21 && s.bRequest == 0x01) return s.wLength;  // DFU_DNLOAD
        if (s.bmRequestType == kFakeVendorIn) {
            switch (s.bRequest) {
            case kReqTimesOut: return -ETIMEDOUT;
            case kReqStalls: return -EPIPE;
            case kReqSlow: {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                for (int i = 0; i < std::min<int>(4, s.wLength); ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
                return std::min<int>(4, s.wLength);
            }
            case kReqDetaches: attached_ = false; return -EPROTO;
            }
        }
        if (s.bmRequestType == 0x80 && s.bRequest == 0x06 && (s.wValue >> 8) == 3) {  // string descriptors
            const std::vector<std::uint8_t> langs = {4, 3, 0x09, 0x04};
            const std::vector<std::uint8_t> name = {12, 3, 'V', 0, 'B', 0, 'o', 0, 'a', 0, 0x03, 0x26};
            const auto& d = (s.wValue & 0xFF) == 0 ? langs : name;
            const int n = std::min<int>(static_cast<int>(d.size()), s.wLength);
            std::memcpy(data, d.data(), n);
            return n;
        }
        return -EPIPE;
    }
    int bulk_write(std::uint8_t ep, const std::uint8_t* data, std::size_t len, unsigned) override {
        std::lock_guard lock(m_);
        if (!attached_) return -ENODEV;
        if (ep == kEpTimesOut) return -ETIMEDOUT;
        if (ep == kEpStalls) return -EPIPE;
        written_.insert(written_.end(), data, data + len);
        return static_cast<int>(len);
    }
    int bulk_read(std::uint8_t ep, std::uint8_t* data, std::size_t len, unsigned) override {
        std::lock_guard lock(m_);
        if (!attached_) return -ENODEV;
        if (ep == (kEpTimesOut | 0x80)) return -ETIMEDOUT;
        if (ep == (kEpStalls | 0x80)) return -EPIPE;
        // A short packet after 100 bytes ends every read.
        const std::size_t n = std::min<std::size_t>(len, 100);
        for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i);
        return static_cast<int>(n);
    }
    int port_reset() override {
        std::lock_guard lock(m_);
        if (!attached_) return -ENODEV;
        ++resets_;  // re-enumerated as the same device: the same generation
        return 0;
    }
    void reset_button() override {
        std::lock_guard lock(m_);
        attach_locked();
    }
    void run_for(Nanos d) override {
        bool slow;
        {
            std::lock_guard lock(m_);
            now_ += d;
            slow = slow_;
        }
        // A busy board that emulates slower than real time: each short
        // slice costs four times its length in wall time.
        if (slow && d <= link::Server::kBusySlice) std::this_thread::sleep_for(std::chrono::nanoseconds(4 * d));
    }
    bool idle() override {
        std::lock_guard lock(m_);
        return !slow_;
    }
    void set_slow(bool on) {
        std::lock_guard lock(m_);
        slow_ = on;
    }
    BoardStats stats() override {
        std::lock_guard lock(m_);
        BoardStats s;
        s.instructions = 12345;
        s.virtual_time = now_;
        s.model_errors = 2;
        return s;
    }

    void attach() {
        std::lock_guard lock(m_);
        attach_locked();
    }
    void detach() {
        std::lock_guard lock(m_);
        attached_ = false;
    }
    std::vector<UsbSetup> log() {
        std::lock_guard lock(m_);
        return log_;
    }
    std::vector<std::uint8_t> written() {
        std::lock_guard lock(m_);
        return written_;
    }
    unsigned last_timeout_ms() {
        std::lock_guard lock(m_);
        return last_timeout_ms_;
    }
    int resets() {
        std::lock_guard lock(m_);
        return resets_;
    }

private:
    void attach_locked() {
        info_.generation = next_generation_++;
        info_.address = 2;
        info_.device_descriptor = fake_device_descriptor();
        info_.configurations = {fake_configuration()};
        attached_ = true;
    }

    std::mutex m_;
    UsbDeviceInfo info_{};
    std::uint32_t next_generation_ = 100;
    bool attached_ = false;
    Nanos now_ = 0;
    std::vector<UsbSetup> log_;
    std::vector<std::uint8_t> written_;
    unsigned last_timeout_ms_ = 0;
    int resets_ = 0;
    bool slow_ = false;
};

// A server on a fresh socket path, run by its own thread for one test.
class ServerThread {
public:
    ServerThread(link::BoardPort& board, std::string path) : server_(board, path), path_(std::move(path)) {
        thread_ = std::thread([this] { server_.run(); });
    }
    ~ServerThread() {
        server_.stop();
        thread_.join();
    }
    const std::string& path() const { return path_; }

private:
    link::Server server_;
    std::string path_;
    std::thread thread_;
};

}  // namespace vboard::test
