#include "link/server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vboard::link {
namespace {

constexpr std::size_t kMaxClients = 64;
constexpr std::size_t kReadChunk = 16 * 1024;

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

sockaddr_un socket_address(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path))
        throw std::runtime_error("socket path '" + path + "' is empty or longer than " +
                                 std::to_string(sizeof(addr.sun_path) - 1) + " bytes");
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

// Is somebody accepting connections on this socket file?
bool socket_in_use(const sockaddr_un& addr) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool used = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return used;
}

bool is_in(const UsbSetup& s) { return (s.bmRequestType & 0x80) != 0; }

// Walks the descriptors of one configuration set and calls `fn` with each
// interface descriptor's bInterfaceNumber.
template <class Fn> void for_each_interface(const std::vector<std::uint8_t>& config, Fn fn) {
    std::size_t pos = 0;
    while (pos + 2 <= config.size()) {
        const std::size_t len = config[pos];
        if (len < 2 || pos + len > config.size()) break;
        if (config[pos + 1] == 0x04 && len >= 9) fn(config[pos + 2]);
        pos += len;
    }
}

}  // namespace

Server::Server(BoardPort& board, std::string socket_path) : board_(board), path_(std::move(socket_path)) {
    const sockaddr_un addr = socket_address(path_);
    struct stat st{};
    if (::lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) throw std::runtime_error(path_ + " exists and is not a socket");
        if (socket_in_use(addr)) throw std::runtime_error("socket " + path_ + " is in use by another board");
        ::unlink(path_.c_str());  // left behind by a board that is gone
    }
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listen_fd_ < 0) throw std::runtime_error(errno_text("socket"));
    if (::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 16) != 0) {
        const std::string msg = errno_text("cannot listen on " + path_);
        ::close(listen_fd_);
        throw std::runtime_error(msg);
    }
    if (::pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        const std::string msg = errno_text("pipe");
        ::close(listen_fd_);
        ::unlink(path_.c_str());
        throw std::runtime_error(msg);
    }
}

void Server::mark_reset() {
    reset_wall_ = std::chrono::steady_clock::now();
    reset_virtual_ = board_.stats().virtual_time;
}

void Server::catch_up() {
    const auto wall = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                           reset_wall_).count();
    const Nanos lived = board_.stats().virtual_time - reset_virtual_;
    if (wall > 0 && static_cast<Nanos>(wall) > lived) {
        const Nanos lag = std::min<Nanos>(static_cast<Nanos>(wall) - lived, kMaxCatchUp);
        board_.run_for(lag);
    }
    // One catch-up per reset: later lists see the board as it runs.
    reset_wall_ = std::chrono::steady_clock::time_point{};
    reset_virtual_ = 0;
}

Server::~Server() {
    for (auto& [fd, c] : clients_) ::close(fd);
    ::close(listen_fd_);
    ::unlink(path_.c_str());
    ::close(wake_pipe_[0]);
    ::close(wake_pipe_[1]);
}

void Server::stop() {
    const char b = 1;
    // Async-signal-safe; a full pipe already means "stop".
    [[maybe_unused]] const ssize_t n = ::write(wake_pipe_[1], &b, 1);
}

void Server::run() {
    using Clock = std::chrono::steady_clock;
    std::vector<pollfd> fds;
    for (;;) {
        const bool idle = board_.idle();
        fds.clear();
        fds.push_back({wake_pipe_[0], POLLIN, 0});
        fds.push_back({listen_fd_, POLLIN, 0});
        for (auto& [fd, c] : clients_) fds.push_back({fd, POLLIN, 0});

        const auto t0 = Clock::now();
        const int n = ::poll(fds.data(), fds.size(), idle ? kIdleSliceMs : 0);
        if (n < 0 && errno != EINTR) throw std::runtime_error(errno_text("poll"));
        if (fds[0].revents) {
            char buf[64];
            while (::read(wake_pipe_[0], buf, sizeof buf) > 0) {}
            return;
        }
        bool served = false;
        if (fds[1].revents & POLLIN) accept_clients();
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            served = true;
            auto it = clients_.find(fds[i].fd);
            if (it != clients_.end() && !read_client(it->second)) drop_client(fds[i].fd);
        }
        if (served) continue;
        if (idle) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count();
            const Nanos cap = Nanos{kIdleSliceMs} * 1'000'000;
            board_.run_for(std::min<Nanos>(static_cast<Nanos>(std::max<std::int64_t>(elapsed, 0)), cap));
        } else {
            board_.run_for(kBusySlice);
        }
    }
}

void Server::accept_clients() {
    for (;;) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        if (clients_.size() >= kMaxClients) {
            Reply rep;
            rep.type = MsgType::Error;
            rep.result = -EBUSY;
            rep.error = "too many clients on this board";
            const auto out = encode_reply(rep);
            write_all(fd, out.data(), out.size());
            ::close(fd);
            continue;
        }
        clients_[fd].fd = fd;
    }
}

bool Server::read_client(Client& c) {
    std::uint8_t buf[kReadChunk];
    for (;;) {
        const ssize_t n = ::read(c.fd, buf, sizeof buf);
        if (n == 0) return false;  // the client has gone
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            return false;
        }
        c.in.insert(c.in.end(), buf, buf + n);
        if (c.in.size() > 2 * kMaxFrame) break;  // serve what is there first
    }
    for (;;) {
        Frame frame;
        std::string error;
        Request req;
        const FrameStatus st = take_frame(c.in, frame, error);
        if (st == FrameStatus::Incomplete) return true;
        if (st == FrameStatus::Ok && decode_request(frame, req, error)) {
            const auto out = encode_reply(serve(c.fd, req));
            // A client that vanished in the middle of a transfer only loses
            // its reply.
            if (!write_all(c.fd, out.data(), out.size())) return false;
            continue;
        }
        Reply rep;
        rep.type = MsgType::Error;
        rep.result = -EPROTO;
        rep.error = error;
        const auto out = encode_reply(rep);
        write_all(c.fd, out.data(), out.size());
        return false;
    }
}

void Server::drop_client(int fd) {
    ::close(fd);
    clients_.erase(fd);
    // Like closing a usbfs file: its handles and claimed interfaces go.
    std::erase_if(handles_, [fd](const auto& h) { return h.second.client == fd; });
}

std::uint32_t Server::current_devnum() {
    const auto info = board_.device();
    if (!info) {
        have_generation_ = false;
        devnum_ = 0;
        return 0;
    }
    if (!have_generation_ || info->generation != known_generation_) {
        have_generation_ = true;
        known_generation_ = info->generation;
        devnum_ = next_devnum_;
        next_devnum_ = next_devnum_ >= 127 ? 2 : next_devnum_ + 1;
        configuration_.erase(devnum_);
    }
    return devnum_;
}

std::optional<UsbDeviceInfo> Server::current_device(std::uint32_t devnum) {
    if (devnum == 0 || current_devnum() != devnum) return std::nullopt;
    return board_.device();
}

int Server::check_handle(int client, std::uint32_t handle, Handle** out) {
    auto it = handles_.find(handle);
    if (it == handles_.end() || it->second.client != client) return -EBADF;
    *out = &it->second;
    if (it->second.devnum == 0 || current_devnum() != it->second.devnum) return -ENODEV;
    return 0;
}

bool Server::interface_exists(const UsbDeviceInfo& info, std::uint32_t devnum, int interface) {
    if (info.configurations.empty()) return false;
    const std::vector<std::uint8_t>* config = &info.configurations.front();
    if (auto it = configuration_.find(devnum); it != configuration_.end()) {
        config = nullptr;
        for (const auto& c : info.configurations)
            if (c.size() >= 9 && c[5] == it->second) config = &c;
        if (!config) return false;  // unconfigured
    }
    bool found = false;
    for_each_interface(*config, [&](int number) { found = found || number == interface; });
    return found;
}

int Server::claim(Handle& h, int interface) {
    if (interface < 0 || interface >= 32) return -EINVAL;
    if (h.claimed.count(interface)) return 0;
    const auto info = current_device(h.devnum);
    if (!info || !interface_exists(*info, h.devnum, interface)) return -ENOENT;
    for (const auto& [id, other] : handles_)
        if (&other != &h && other.devnum == h.devnum && other.claimed.count(interface)) return -EBUSY;
    h.claimed.insert(interface);
    return 0;
}

Reply Server::serve(int client, const Request& req) {
    Reply rep;
    rep.type = req.type;
    const unsigned timeout = req.timeout_ms ? req.timeout_ms : kNoTimeoutMs;
    Handle* h = nullptr;
    switch (req.type) {
    case MsgType::ListDevices: {
        if (reset_wall_ != std::chrono::steady_clock::time_point{}) catch_up();
        const std::uint32_t devnum = current_devnum();
        if (devnum) {
            const auto info = board_.device();
            rep.devices.push_back({devnum, info->generation, info->device_descriptor, info->configurations});
        }
        break;
    }
    case MsgType::Open: {
        const std::uint32_t devnum = current_devnum();
        if (devnum == 0 || req.handle != devnum) {
            rep.result = -ENODEV;
            break;
        }
        rep.handle = next_handle_++;
        handles_[rep.handle] = Handle{client, devnum, {}};
        break;
    }
    case MsgType::Close: {
        auto it = handles_.find(req.handle);
        if (it == handles_.end() || it->second.client != client) {
            rep.result = -EBADF;
            break;
        }
        handles_.erase(it);
        break;
    }
    case MsgType::Control: {
        if ((rep.result = check_handle(client, req.handle, &h)) != 0) break;
        std::vector<std::uint8_t> buf(req.setup.wLength);
        if (!is_in(req.setup)) std::copy(req.data.begin(), req.data.end(), buf.begin());
        rep.result = board_.control(req.setup, buf.data(), timeout);
        if (is_in(req.setup) && rep.result > 0)
            rep.data.assign(buf.begin(), buf.begin() + std::min<int>(rep.result, req.setup.wLength));
        if (rep.result >= 0 && req.setup.bmRequestType == 0x00 && req.setup.bRequest == 0x09)
            configuration_[h->devnum] = req.setup.wValue & 0xFF;
        break;
    }
    case MsgType::BulkWrite:
        if ((rep.result = check_handle(client, req.handle, &h)) != 0) break;
        rep.result = board_.bulk_write(req.endpoint & 0x7F, req.data.data(), req.data.size(), timeout);
        break;
    case MsgType::BulkRead: {
        if ((rep.result = check_handle(client, req.handle, &h)) != 0) break;
        std::vector<std::uint8_t> buf(req.length);
        rep.result = board_.bulk_read(req.endpoint | 0x80, buf.data(), buf.size(), timeout);
        if (rep.result > 0) rep.data.assign(buf.begin(), buf.begin() + std::min<std::size_t>(rep.result, buf.size()));
        break;
    }
    case MsgType::PortReset: {
        if ((rep.result = check_handle(client, req.handle, &h)) != 0) break;
        const auto before = board_.device();
        rep.result = board_.port_reset();
        mark_reset();
        const auto after = board_.device();
        // A device that comes back the same after the reset keeps its number
        // and its open handles, as on Linux; anything else is a new device.
        if (before && after && before->device_descriptor == after->device_descriptor &&
            before->configurations == after->configurations) {
            known_generation_ = after->generation;
            have_generation_ = true;
        }
        break;
    }
    case MsgType::ClaimInterface:
        if ((rep.result = check_handle(client, req.handle, &h)) != 0) break;
        rep.result = claim(*h, req.value);
        break;
    case MsgType::ReleaseInterface:
        if ((rep.result = check_handle(client, req.handle, &h)) != 0) break;
        if (req.value < 0 || req.value >= 32) rep.result = -EINVAL;
        else if (!interface_exists(*board_.device(), h->devnum, req.value)) rep.result = -ENOENT;
        else rep.result = h->claimed.erase(req.value) ? 0 : -EINVAL;
        break;
    case MsgType::SetConfiguration: {
        if ((rep.result = check_handle(client, req.handle, &h)) != 0) break;
        // Like usbfs: no new configuration while any interface is claimed,
        // even by the handle that asks; then the value must exist.
        for (const auto& [id, other] : handles_)
            if (other.devnum == h->devnum && !other.claimed.empty()) rep.result = -EBUSY;
        if (rep.result) break;
        const auto info = board_.device();
        bool valid = req.value == 0 || req.value == -1;
        for (const auto& c : info->configurations) valid = valid || (c.size() >= 9 && c[5] == req.value);
        if (!valid) {
            rep.result = -EINVAL;
            break;
        }
        const std::uint16_t value = req.value < 0 ? 0 : static_cast<std::uint16_t>(req.value);
        const UsbSetup setup{0x00, 0x09, value, 0, 0};
        std::uint8_t none[1] = {0};
        // The kernel's own time-out for a standard request.
        const int r = board_.control(setup, none, 5000);
        if (r < 0) {
            rep.result = r;
            break;
        }
        configuration_[h->devnum] = value;
        break;
    }
    case MsgType::ResetButton:
        board_.reset_button();
        mark_reset();
        break;
    case MsgType::Stats:
        rep.stats = board_.stats();
        break;
    case MsgType::Error:
        rep.result = -EPROTO;
        break;
    }
    return rep;
}

}  // namespace vboard::link
