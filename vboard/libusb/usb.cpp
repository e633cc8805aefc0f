// libusb-0.1 for the virtual board: the API of libusb-0.1 (its <usb.h>),
// served by a board over the link socket named in VBOARD_SOCKET instead of by
// usbfs. Programs linked against the system's libusb-0.1 run unchanged with
// this library found first.
//
// Results and error texts are those of libusb-0.1's Linux back end, because
// programs print them: failures return negative errno values, and
// usb_strerror() gives "<what failed>: <strerror text>", for example
// "error sending control message: Connection timed out". A board that cannot
// be reached looks like a machine without the board: no busses, no devices.
#include <usb.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "link/protocol.h"

#define VB_EXPORT extern "C" __attribute__((visibility("default")))

namespace vl = vboard::link;

struct usb_dev_handle {
    struct usb_device* device;
    usb_bus* bus;
    std::uint32_t server_handle;
    int config;
    int interface;
    int altsetting;
};

// Declared by <usb.h> outside its extern "C" block; a variable at namespace
// scope has the same symbol either way.
__attribute__((visibility("default"))) usb_bus* usb_busses = nullptr;
extern "C" {
__attribute__((visibility("default"))) int usb_debug = 0;
}

namespace {

// ---- error state, as libusb-0.1 keeps it
enum class ErrorType { None, String, Errno };
ErrorType g_error_type = ErrorType::None;
char g_error_str[1024];
int g_error_errno;

__attribute__((format(printf, 2, 3))) int error_str(int code, const char* fmt, ...) {
    g_error_type = ErrorType::String;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(g_error_str, sizeof g_error_str - 1, fmt, ap);
    va_end(ap);
    if (usb_debug >= 2) std::fprintf(stderr, "USB error: %s\n", g_error_str);
    return code;
}

// An error recorded as a bare number (libusb-0.1 records the negative value
// and strerror() then names it as an unknown error).
int error_errno(int code) {
    g_error_type = ErrorType::Errno;
    g_error_errno = code;
    return code;
}

// ---- the link
std::recursive_mutex g_mutex;
int g_fd = -1;
pid_t g_owner = 0;  // the process that opened g_fd

void debug(const char* what, const std::string& detail) {
    if (usb_debug >= 1) std::fprintf(stderr, "vboard libusb: %s: %s\n", what, detail.c_str());
}

void disconnect() {
    if (g_fd >= 0) ::close(g_fd);
    g_fd = -1;
}

// With no request outstanding, anything readable on the socket means the
// board has gone (end of file) or is talking nonsense: start afresh.
bool link_alive() {
    pollfd p{g_fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

bool connect_board() {
    // A child after fork() shares its parent's connection: it must not
    // talk on it (the replies would go astray), so it opens its own.
    if (g_fd >= 0 && g_owner != ::getpid()) {
        ::close(g_fd);
        g_fd = -1;
    }
    if (g_fd >= 0 && link_alive()) return true;
    disconnect();
    const char* path = std::getenv("VBOARD_SOCKET");
    if (!path || !*path) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof addr.sun_path) {
        debug("socket path too long", path);
        return false;
    }
    std::strcpy(addr.sun_path, path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        debug("cannot connect to the board", std::string(path) + ": " + std::strerror(errno));
        ::close(fd);
        return false;
    }
    g_fd = fd;
    g_owner = ::getpid();
    return true;
}

// One request and its reply; nothing when the board cannot be reached.
std::optional<vl::Reply> exchange(const vl::Request& req) {
    if (!connect_board()) return std::nullopt;
    const auto out = vl::encode_request(req);
    vl::Frame frame;
    vl::Reply rep;
    std::string error;
    if (!vl::write_all(g_fd, out.data(), out.size()) || !vl::read_frame(g_fd, frame, error) ||
        !vl::decode_reply(frame, req.type, rep, error) || rep.type == vl::MsgType::Error) {
        if (error.empty()) error = rep.type == vl::MsgType::Error ? rep.error : "connection lost";
        debug("link to the board failed", error);
        disconnect();
        return std::nullopt;
    }
    return rep;
}

// ---- busses and devices
struct DeviceRecord {
    struct usb_device dev;  // dev.dev points back at the record
    std::uint32_t devnum;
    vl::DeviceEntry entry;  // as the board listed it
};

usb_bus* g_bus = nullptr;
// Busses and devices that left the list stay allocated: a program may still
// hold pointers to them (libusb-0.1 programs commonly keep the usb_device of
// an open handle), and the memory stays reachable for leak checkers.
// Never destroyed, so that it keeps them reachable to the very end.
std::vector<void*>& g_graveyard = *new std::vector<void*>;

unsigned le16(const std::uint8_t* p) { return p[0] | unsigned{p[1]} << 8; }

unsigned char* copy_bytes(const std::vector<std::uint8_t>& src, std::size_t from, std::size_t to, int* len) {
    *len = 0;
    if (to <= from) return nullptr;
    auto* p = static_cast<unsigned char*>(std::malloc(to - from));
    if (!p) return nullptr;
    std::memcpy(p, src.data() + from, to - from);
    *len = static_cast<int>(to - from);
    return p;
}

// Parses one configuration set (configuration, interfaces, alternate
// settings, endpoints; every other descriptor becomes `extra` bytes of the
// descriptor it follows).
void parse_configuration(usb_config_descriptor& c, const std::vector<std::uint8_t>& raw) {
    if (raw.size() < USB_DT_CONFIG_SIZE) return;
    c.bLength = raw[0];
    c.bDescriptorType = raw[1];
    c.wTotalLength = static_cast<std::uint16_t>(le16(&raw[2]));
    c.bNumInterfaces = raw[4];
    c.bConfigurationValue = raw[5];
    c.iConfiguration = raw[6];
    c.bmAttributes = raw[7];
    c.MaxPower = raw[8];

    struct Ep {
        std::size_t at, len, extra_end;
    };
    struct Alt {
        std::size_t at, extra_end;
        std::vector<Ep> eps;
    };
    struct If {
        int number;
        std::vector<Alt> alts;
    };
    std::vector<If> ifs;
    std::size_t config_extra_end = 0;
    const std::size_t end = std::min<std::size_t>(raw.size(), std::max<std::size_t>(c.wTotalLength, 9));
    std::size_t pos = std::max<std::size_t>(c.bLength, USB_DT_CONFIG_SIZE);
    const std::size_t first = pos;
    Alt* alt = nullptr;
    Ep* ep = nullptr;
    while (pos + 2 <= end) {
        const std::size_t len = raw[pos];
        if (len < 2 || pos + len > end) break;
        const std::uint8_t type = raw[pos + 1];
        if (type == USB_DT_INTERFACE && len >= USB_DT_INTERFACE_SIZE) {
            const int number = raw[pos + 2];
            auto it = std::find_if(ifs.begin(), ifs.end(), [&](const If& i) { return i.number == number; });
            if (it == ifs.end()) it = ifs.insert(ifs.end(), If{number, {}});
            it->alts.push_back(Alt{pos, pos + len, {}});
            alt = &it->alts.back();
            ep = nullptr;
        } else if (type == USB_DT_ENDPOINT && len >= USB_DT_ENDPOINT_SIZE && alt) {
            alt->eps.push_back(Ep{pos, len, pos + len});
            ep = &alt->eps.back();
        } else if (type == USB_DT_CONFIG) {
            break;
        } else if (ep) {
            ep->extra_end = pos + len;
        } else if (alt) {
            alt->extra_end = pos + len;
        } else {
            config_extra_end = pos + len;
        }
        pos += len;
    }
    c.extra = copy_bytes(raw, first, config_extra_end, &c.extralen);

    const std::size_t nif = std::max<std::size_t>(ifs.size(), c.bNumInterfaces);
    c.interface = static_cast<usb_interface*>(std::calloc(nif ? nif : 1, sizeof(usb_interface)));
    if (!c.interface) return;
    for (std::size_t i = 0; i < ifs.size(); ++i) {
        usb_interface& ui = c.interface[i];
        ui.altsetting = static_cast<usb_interface_descriptor*>(
            std::calloc(ifs[i].alts.size(), sizeof(usb_interface_descriptor)));
        if (!ui.altsetting) continue;
        ui.num_altsetting = static_cast<int>(ifs[i].alts.size());
        for (std::size_t a = 0; a < ifs[i].alts.size(); ++a) {
            const Alt& src = ifs[i].alts[a];
            usb_interface_descriptor& d = ui.altsetting[a];
            const std::uint8_t* p = &raw[src.at];
            d.bLength = p[0];
            d.bDescriptorType = p[1];
            d.bInterfaceNumber = p[2];
            d.bAlternateSetting = p[3];
            d.bNumEndpoints = p[4];
            d.bInterfaceClass = p[5];
            d.bInterfaceSubClass = p[6];
            d.bInterfaceProtocol = p[7];
            d.iInterface = p[8];
            d.extra = copy_bytes(raw, src.at + p[0], src.extra_end, &d.extralen);
            const std::size_t nep = std::max<std::size_t>(src.eps.size(), d.bNumEndpoints);
            d.endpoint = static_cast<usb_endpoint_descriptor*>(std::calloc(nep ? nep : 1, sizeof(usb_endpoint_descriptor)));
            if (!d.endpoint) continue;
            for (std::size_t e = 0; e < src.eps.size(); ++e) {
                const Ep& es = src.eps[e];
                const std::uint8_t* q = &raw[es.at];
                usb_endpoint_descriptor& ed = d.endpoint[e];
                ed.bLength = q[0];
                ed.bDescriptorType = q[1];
                ed.bEndpointAddress = q[2];
                ed.bmAttributes = q[3];
                ed.wMaxPacketSize = static_cast<std::uint16_t>(le16(&q[4]));
                ed.bInterval = q[6];
                if (es.len >= 9) {
                    ed.bRefresh = q[7];
                    ed.bSynchAddress = q[8];
                }
                ed.extra = copy_bytes(raw, es.at + es.len, es.extra_end, &ed.extralen);
            }
        }
    }
}

struct usb_device* make_device(const vl::DeviceEntry& e) {
    auto* rec = new DeviceRecord{};
    rec->devnum = e.devnum;
    rec->entry = e;
    struct usb_device& dev = rec->dev;
    dev.bus = g_bus;
    dev.dev = rec;
    dev.devnum = static_cast<std::uint8_t>(e.devnum);
    std::snprintf(dev.filename, sizeof dev.filename, "%03u", static_cast<unsigned>(e.devnum));
    std::uint8_t d[USB_DT_DEVICE_SIZE] = {};
    std::memcpy(d, e.device_descriptor.data(), std::min<std::size_t>(e.device_descriptor.size(), sizeof d));
    usb_device_descriptor& dd = dev.descriptor;
    dd.bLength = d[0];
    dd.bDescriptorType = d[1];
    dd.bcdUSB = static_cast<std::uint16_t>(le16(&d[2]));
    dd.bDeviceClass = d[4];
    dd.bDeviceSubClass = d[5];
    dd.bDeviceProtocol = d[6];
    dd.bMaxPacketSize0 = d[7];
    dd.idVendor = static_cast<std::uint16_t>(le16(&d[8]));
    dd.idProduct = static_cast<std::uint16_t>(le16(&d[10]));
    dd.bcdDevice = static_cast<std::uint16_t>(le16(&d[12]));
    dd.iManufacturer = d[14];
    dd.iProduct = d[15];
    dd.iSerialNumber = d[16];
    dd.bNumConfigurations = d[17];
    // Like libusb-0.1: no configuration tree for a device claiming none or
    // more than it supports.
    if (dd.bNumConfigurations >= 1 && dd.bNumConfigurations <= USB_MAXCONFIG) {
        dev.config = static_cast<usb_config_descriptor*>(
            std::calloc(dd.bNumConfigurations, sizeof(usb_config_descriptor)));
        if (dev.config)
            for (std::size_t i = 0; i < dd.bNumConfigurations && i < e.configurations.size(); ++i)
                parse_configuration(dev.config[i], e.configurations[i]);
    }
    return &dev;
}

const DeviceRecord* record_of(const struct usb_device* dev) { return static_cast<const DeviceRecord*>(dev->dev); }
std::uint32_t devnum_of(const struct usb_device* dev) { return record_of(dev)->devnum; }

void unlink_device(struct usb_device* dev) {
    if (dev->prev) dev->prev->next = dev->next;
    else g_bus->devices = dev->next;
    if (dev->next) dev->next->prev = dev->prev;
    dev->next = dev->prev = nullptr;
    g_graveyard.push_back(dev);
}

int not_open(usb_dev_handle* h) { return !h || !h->server_handle; }

// A request on an open device; a board that cannot be reached is a device
// that has gone.
int device_request(vl::Request& req, usb_dev_handle* h, vl::Reply* reply = nullptr) {
    req.handle = h->server_handle;
    const auto rep = exchange(req);
    if (!rep) return -ENODEV;
    if (reply) *reply = *rep;
    return rep->result;
}

int control(usb_dev_handle* dev, int requesttype, int request, int value, int index, char* bytes, int size,
            int timeout) {
    if (not_open(dev)) return error_str(-EBADF, "error sending control message: %s", std::strerror(EBADF));
    if (size < 0 || static_cast<unsigned>(size) > vl::kMaxControlData || (size > 0 && !bytes))
        return error_str(-EINVAL, "error sending control message: %s", std::strerror(EINVAL));
    vl::Request req;
    req.type = vl::MsgType::Control;
    req.setup = {static_cast<std::uint8_t>(requesttype), static_cast<std::uint8_t>(request),
                 static_cast<std::uint16_t>(value), static_cast<std::uint16_t>(index),
                 static_cast<std::uint16_t>(size)};
    req.timeout_ms = static_cast<std::uint32_t>(timeout < 0 ? 0 : timeout);
    const bool in = (requesttype & USB_ENDPOINT_IN) != 0;
    if (!in && size > 0) req.data.assign(bytes, bytes + size);
    vl::Reply rep;
    const int r = device_request(req, dev, &rep);
    if (r < 0) return error_str(r, "error sending control message: %s", std::strerror(-r));
    if (in && size > 0) std::memcpy(bytes, rep.data.data(), std::min<std::size_t>(rep.data.size(), size));
    return r;
}

// Bulk and interrupt transfers as usbfs URBs of at most 16 KiB: the transfer
// goes on while every URB completes in full. A URB that cannot be submitted
// (the device has gone) is an error with a text; a time-out returns
// -ETIMEDOUT and leaves the last error text alone; a URB that ends in a stall
// or another bus error ends the transfer with the bytes done so far.
int transfer(usb_dev_handle* dev, bool in, int ep, char* bytes, int size, int timeout) {
    if (not_open(dev)) return error_str(-EBADF, "error submitting URB: %s", std::strerror(EBADF));
    if (size < 0 || (size > 0 && !bytes)) return error_str(-EINVAL, "error submitting URB: %s", std::strerror(EINVAL));
    int done = 0;
    for (;;) {
        const int requested = std::min<int>(size - done, static_cast<int>(vl::kMaxBulkChunk));
        vl::Request req;
        req.type = in ? vl::MsgType::BulkRead : vl::MsgType::BulkWrite;
        req.endpoint = static_cast<std::uint8_t>(ep);
        req.timeout_ms = static_cast<std::uint32_t>(timeout < 0 ? 0 : timeout);
        if (in) req.length = static_cast<std::uint32_t>(requested);
        else req.data.assign(bytes + done, bytes + done + requested);
        vl::Reply rep;
        const int r = device_request(req, dev, &rep);
        if (r == -ENODEV || r == -EBADF || r == -EINVAL || r == -ENOENT)
            return error_str(r, "error submitting URB: %s", std::strerror(-r));
        if (r == -ETIMEDOUT) return r;
        if (r < 0) return done;
        const int got = std::min(r, requested);
        if (in && got > 0) std::memcpy(bytes + done, rep.data.data(), std::min<std::size_t>(rep.data.size(), got));
        done += got;
        if (done >= size || got != requested) return done;
    }
}

}  // namespace

// ---- library set-up and the bus list

VB_EXPORT void usb_set_debug(int level) {
    if (usb_debug || level)
        std::fprintf(stderr, "usb_set_debug: Setting debugging level to %d (%s)\n", level, level ? "on" : "off");
    usb_debug = level;
}

VB_EXPORT void usb_init(void) {
    if (const char* level = std::getenv("USB_DEBUG")) usb_set_debug(std::atoi(level));
}

VB_EXPORT int usb_find_busses(void) {
    std::lock_guard lock(g_mutex);
    const bool up = connect_board();
    if (up && !g_bus) {
        g_bus = static_cast<usb_bus*>(std::calloc(1, sizeof(usb_bus)));
        if (!g_bus) return 0;
        std::snprintf(g_bus->dirname, sizeof g_bus->dirname, "001");
        g_bus->location = 1;
        usb_busses = g_bus;
        return 1;
    }
    if (!up && g_bus) {
        while (g_bus->devices) unlink_device(g_bus->devices);
        g_graveyard.push_back(g_bus);
        g_bus = nullptr;
        usb_busses = nullptr;
        return 1;
    }
    return 0;
}

VB_EXPORT int usb_find_devices(void) {
    std::lock_guard lock(g_mutex);
    if (!g_bus) return 0;
    vl::Request req;
    req.type = vl::MsgType::ListDevices;
    const auto rep = exchange(req);
    const std::vector<vl::DeviceEntry> now = rep ? rep->devices : std::vector<vl::DeviceEntry>{};
    int changes = 0;
    for (struct usb_device* dev = g_bus->devices; dev;) {
        struct usb_device* next = dev->next;
        // Known by its number and unchanged (a board served anew numbers
        // its devices from the start again).
        const bool present =
            std::any_of(now.begin(), now.end(), [&](const vl::DeviceEntry& e) { return e == record_of(dev)->entry; });
        if (!present) {
            unlink_device(dev);
            ++changes;
        }
        dev = next;
    }
    for (const auto& e : now) {
        bool known = false;
        for (struct usb_device* dev = g_bus->devices; dev; dev = dev->next) known = known || devnum_of(dev) == e.devnum;
        if (known) continue;
        struct usb_device* dev = make_device(e);
        if (!dev) continue;
        dev->next = g_bus->devices;
        if (g_bus->devices) g_bus->devices->prev = dev;
        g_bus->devices = dev;
        ++changes;
    }
    return changes;
}

VB_EXPORT struct usb_bus* usb_get_busses(void) { return usb_busses; }

VB_EXPORT struct usb_device* usb_device(usb_dev_handle* dev) { return dev ? dev->device : nullptr; }

VB_EXPORT char* usb_strerror(void) {
    static char unknown[] = "Unknown error";
    static char none[] = "No error";
    switch (g_error_type) {
    case ErrorType::None:
        return none;
    case ErrorType::String:
        return g_error_str;
    case ErrorType::Errno:
        if (g_error_errno > -USB_ERROR_BEGIN) return std::strerror(g_error_errno);
        return unknown;
    }
    return unknown;
}

// ---- opening and closing

VB_EXPORT usb_dev_handle* usb_open(struct usb_device* dev) {
    std::lock_guard lock(g_mutex);
    if (!dev) return nullptr;
    const char* busname = dev->bus ? dev->bus->dirname : "000";
    vl::Request req;
    req.type = vl::MsgType::Open;
    req.handle = devnum_of(dev);
    const auto rep = exchange(req);
    if (!rep || rep->result < 0) {
        // usbfs has removed the device's file.
        error_str(-ENOENT, "failed to open /dev/bus/usb/%s/%s: %s", busname, dev->filename, std::strerror(ENOENT));
        return nullptr;
    }
    auto* h = static_cast<usb_dev_handle*>(std::calloc(1, sizeof(usb_dev_handle)));
    if (!h) return nullptr;
    h->device = dev;
    h->bus = dev->bus;
    h->server_handle = rep->handle;
    h->config = h->interface = h->altsetting = -1;
    return h;
}

VB_EXPORT int usb_close(usb_dev_handle* dev) {
    std::lock_guard lock(g_mutex);
    if (!dev) return 0;
    if (dev->server_handle && g_fd >= 0) {
        vl::Request req;
        req.type = vl::MsgType::Close;
        device_request(req, dev);
    }
    std::free(dev);
    return 0;
}

// ---- configuration and interfaces

namespace {

// A request of one value on an open device (configuration, interface), with
// libusb-0.1's message "could not <what> <value>: <error>" when it fails.
int value_request(usb_dev_handle* dev, vl::MsgType type, int value, const char* what) {
    if (not_open(dev)) return error_str(-EBADF, "could not %s %d: %s", what, value, std::strerror(EBADF));
    vl::Request req;
    req.type = type;
    req.value = value;
    const int r = device_request(req, dev);
    if (r < 0) return error_str(r, "could not %s %d: %s", what, value, std::strerror(-r));
    return 0;
}

}  // namespace

VB_EXPORT int usb_set_configuration(usb_dev_handle* dev, int configuration) {
    std::lock_guard lock(g_mutex);
    const int r = value_request(dev, vl::MsgType::SetConfiguration, configuration, "set config");
    if (r == 0) dev->config = configuration;
    return r;
}

VB_EXPORT int usb_claim_interface(usb_dev_handle* dev, int interface) {
    std::lock_guard lock(g_mutex);
    const int r = value_request(dev, vl::MsgType::ClaimInterface, interface, "claim interface");
    if (r == 0) dev->interface = interface;
    return r;
}

VB_EXPORT int usb_release_interface(usb_dev_handle* dev, int interface) {
    std::lock_guard lock(g_mutex);
    const int r = value_request(dev, vl::MsgType::ReleaseInterface, interface, "release intf");
    if (r == 0) dev->interface = -1;
    return r;
}

VB_EXPORT int usb_set_altinterface(usb_dev_handle* dev, int alternate) {
    std::lock_guard lock(g_mutex);
    if (not_open(dev) || dev->interface < 0) return error_errno(-EINVAL);
    // SET_INTERFACE on the claimed interface, with the kernel's time-out.
    const int r = control(dev, USB_RECIP_INTERFACE, USB_REQ_SET_INTERFACE, alternate, dev->interface, nullptr, 0, 5000);
    if (r < 0)
        return error_str(r, "could not set alt intf %d/%d: %s", dev->interface, alternate, std::strerror(-r));
    dev->altsetting = alternate;
    return 0;
}

VB_EXPORT int usb_resetep(usb_dev_handle* dev, unsigned int ep) {
    std::lock_guard lock(g_mutex);
    // Resets only the host's data toggle: no bus traffic.
    if (not_open(dev)) return error_str(-EBADF, "could not reset ep %u: %s", ep, std::strerror(EBADF));
    return 0;
}

VB_EXPORT int usb_clear_halt(usb_dev_handle* dev, unsigned int ep) {
    std::lock_guard lock(g_mutex);
    // CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint.
    const int r = control(dev, USB_RECIP_ENDPOINT, USB_REQ_CLEAR_FEATURE, 0, static_cast<int>(ep), nullptr, 0, 5000);
    if (r < 0) return error_str(r, "could not clear/halt ep %u: %s", ep, std::strerror(-r));
    return 0;
}

VB_EXPORT int usb_reset(usb_dev_handle* dev) {
    std::lock_guard lock(g_mutex);
    if (not_open(dev)) return error_str(-EBADF, "could not reset: %s", std::strerror(EBADF));
    vl::Request req;
    req.type = vl::MsgType::PortReset;
    const int r = device_request(req, dev);
    if (r < 0) return error_str(r, "could not reset: %s", std::strerror(-r));
    return 0;
}

VB_EXPORT int usb_get_driver_np(usb_dev_handle* dev, int interface, char* name, unsigned int namelen) {
    std::lock_guard lock(g_mutex);
    (void)interface;
    (void)name;
    (void)namelen;
    // No kernel driver is ever bound to the virtual board.
    const int e = not_open(dev) ? EBADF : ENODATA;
    return error_str(-e, "could not get bound driver: %s", std::strerror(e));
}

VB_EXPORT int usb_detach_kernel_driver_np(usb_dev_handle* dev, int interface) {
    std::lock_guard lock(g_mutex);
    const int e = not_open(dev) ? EBADF : ENODATA;
    return error_str(-e, "could not detach kernel driver from interface %d: %s", interface, std::strerror(e));
}

// ---- transfers

VB_EXPORT int usb_control_msg(usb_dev_handle* dev, int requesttype, int request, int value, int index, char* bytes,
                              int size, int timeout) {
    std::lock_guard lock(g_mutex);
    return control(dev, requesttype, request, value, index, bytes, size, timeout);
}

VB_EXPORT int usb_bulk_write(usb_dev_handle* dev, int ep, const char* bytes, int size, int timeout) {
    std::lock_guard lock(g_mutex);
    return transfer(dev, false, ep, const_cast<char*>(bytes), size, timeout);
}

VB_EXPORT int usb_bulk_read(usb_dev_handle* dev, int ep, char* bytes, int size, int timeout) {
    std::lock_guard lock(g_mutex);
    return transfer(dev, true, ep | USB_ENDPOINT_IN, bytes, size, timeout);
}

// The board has no interrupt endpoints of its own; an interrupt transfer
// moves like a bulk one.
VB_EXPORT int usb_interrupt_write(usb_dev_handle* dev, int ep, const char* bytes, int size, int timeout) {
    std::lock_guard lock(g_mutex);
    return transfer(dev, false, ep, const_cast<char*>(bytes), size, timeout);
}

VB_EXPORT int usb_interrupt_read(usb_dev_handle* dev, int ep, char* bytes, int size, int timeout) {
    std::lock_guard lock(g_mutex);
    return transfer(dev, true, ep | USB_ENDPOINT_IN, bytes, size, timeout);
}

// ---- descriptors and strings (standard GET_DESCRIPTOR requests)

VB_EXPORT int usb_get_string(usb_dev_handle* dev, int index, int langid, char* buf, size_t buflen) {
    std::lock_guard lock(g_mutex);
    return control(dev, USB_ENDPOINT_IN, USB_REQ_GET_DESCRIPTOR, (USB_DT_STRING << 8) + index, langid, buf,
                   static_cast<int>(buflen), 1000);
}

VB_EXPORT int usb_get_string_simple(usb_dev_handle* dev, int index, char* buf, size_t buflen) {
    std::lock_guard lock(g_mutex);
    char raw[255];
    // String 0 lists the languages; the first one is asked for.
    int r = control(dev, USB_ENDPOINT_IN, USB_REQ_GET_DESCRIPTOR, USB_DT_STRING << 8, 0, raw, sizeof raw, 1000);
    if (r < 0) return r;
    if (r < 4) return -EIO;
    const int langid = static_cast<unsigned char>(raw[2]) | static_cast<unsigned char>(raw[3]) << 8;
    r = control(dev, USB_ENDPOINT_IN, USB_REQ_GET_DESCRIPTOR, (USB_DT_STRING << 8) + index, langid, raw, sizeof raw,
                1000);
    if (r < 0) return r;
    if (raw[1] != USB_DT_STRING) return -EIO;
    const int len = static_cast<unsigned char>(raw[0]);
    if (len > r) return -EFBIG;
    if (!buf || buflen == 0) return 0;
    std::size_t out = 0;
    // UTF-16LE to ASCII; anything outside it becomes '?'.
    for (int i = 2; i + 1 < len && out + 1 < buflen; i += 2) buf[out++] = raw[i + 1] ? '?' : raw[i];
    buf[out] = 0;
    return static_cast<int>(out);
}

VB_EXPORT int usb_get_descriptor(usb_dev_handle* udev, unsigned char type, unsigned char index, void* buf, int size) {
    std::lock_guard lock(g_mutex);
    return control(udev, USB_ENDPOINT_IN, USB_REQ_GET_DESCRIPTOR, (type << 8) + index, 0, static_cast<char*>(buf),
                   size, 1000);
}

VB_EXPORT int usb_get_descriptor_by_endpoint(usb_dev_handle* udev, int ep, unsigned char type, unsigned char index,
                                             void* buf, int size) {
    std::lock_guard lock(g_mutex);
    return control(udev, ep | USB_ENDPOINT_IN, USB_REQ_GET_DESCRIPTOR, (type << 8) + index, 0,
                   static_cast<char*>(buf), size, 1000);
}
