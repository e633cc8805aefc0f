// The board server: one thread owns the board and serves link requests from
// any number of socket clients between slices of board time.
//
// While no request is pending the board keeps running. When it is idle (the
// firmware only polls, or the CPU is held) the server sleeps in poll() and
// lets virtual time advance no faster than wall time, so an idle board does
// not burn a core.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "link/protocol.h"

namespace vboard::link {

// What the server needs of a board. VirtualBoardPort adapts the real
// VirtualBoard; tests put a scripted fake behind it.
class BoardPort {
public:
    virtual ~BoardPort() = default;
    virtual std::optional<UsbDeviceInfo> device() = 0;
    virtual int control(const UsbSetup& setup, std::uint8_t* data, unsigned timeout_ms) = 0;
    virtual int bulk_write(std::uint8_t ep, const std::uint8_t* data, std::size_t len, unsigned timeout_ms) = 0;
    virtual int bulk_read(std::uint8_t ep, std::uint8_t* data, std::size_t len, unsigned timeout_ms) = 0;
    virtual int port_reset() = 0;
    virtual void reset_button() = 0;
    virtual void run_for(Nanos duration) = 0;
    virtual bool idle() = 0;
    virtual BoardStats stats() = 0;
};

class Server {
public:
    // Binds and listens on `socket_path`. A stale socket file (nobody
    // listening) is replaced; a socket somebody serves, or a path that is not
    // a socket, is refused. Throws std::runtime_error with a message.
    Server(BoardPort& board, std::string socket_path);
    ~Server();  // closes the connections and removes the socket file
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Serves until stop() is called (from any thread or a signal handler).
    void run();
    // Async-signal-safe.
    void stop();

    // One request as the server answers it (also used by the tests).
    Reply serve(int client, const Request& req);

    // A time-out of 0 means "no time-out" to libusb-0.1; the board gets this.
    static constexpr unsigned kNoTimeoutMs = 60'000;
    // Virtual time the busy board runs between two looks at the socket.
    static constexpr Nanos kBusySlice = 1'000'000;
    // Longest sleep of an idle board between two looks at the socket.
    static constexpr int kIdleSliceMs = 10;
    // A host that resets the board, waits and looks for the device again
    // expects the board to have lived through the wait: before a device list
    // the board catches up with the wall time since the last reset, by at
    // most this much.
    static constexpr Nanos kMaxCatchUp = 2'000'000'000;

private:
    struct Client {
        int fd = -1;
        std::vector<std::uint8_t> in;
    };
    struct Handle {
        int client;
        std::uint32_t devnum;
        std::set<int> claimed;
    };

    void mark_reset();
    void catch_up();
    void accept_clients();
    // False when the client must be dropped.
    bool read_client(Client& c);
    void drop_client(int fd);
    // The devnum of the device now on the bus (0: none); assigns a new one
    // whenever the host model has enumerated a different device.
    std::uint32_t current_devnum();
    std::optional<UsbDeviceInfo> current_device(std::uint32_t devnum);
    int check_handle(int client, std::uint32_t handle, Handle** out);
    int claim(Handle& h, int interface);
    bool interface_exists(const UsbDeviceInfo& info, std::uint32_t devnum, int interface);

    BoardPort& board_;
    std::string path_;
    int listen_fd_ = -1;
    int wake_pipe_[2] = {-1, -1};
    std::map<int, Client> clients_;
    std::map<std::uint32_t, Handle> handles_;
    std::uint32_t next_handle_ = 1;
    // Device numbering, like a Linux bus: 1 is the root hub, devices get 2, 3, ...
    std::uint32_t known_generation_ = 0;
    bool have_generation_ = false;
    std::uint32_t devnum_ = 0;
    std::uint32_t next_devnum_ = 2;
    std::map<std::uint32_t, int> configuration_;  // devnum -> bConfigurationValue set
    // Wall clock and board time at the last reset (port reset or button).
    std::chrono::steady_clock::time_point reset_wall_;
    Nanos reset_virtual_ = 0;
};

}  // namespace vboard::link
