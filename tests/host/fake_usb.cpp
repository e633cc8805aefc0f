#include "fake_usb.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

FakeUsb fake;

// The library leaves this type opaque; the fake gives it its shape.
struct usb_dev_handle {
    FakeDevicePtr device;
};

namespace {

// The library's structures for one scan of the buses. Old scans stay alive
// until fake_clear, as a real library keeps devices that are still plugged.
struct Scan {
    std::vector<std::unique_ptr<usb_bus>> buses;
    std::vector<std::unique_ptr<struct usb_device>> devices;
    std::vector<std::unique_ptr<usb_config_descriptor[]>> configs;
    std::vector<std::unique_ptr<usb_interface[]>> interfaces;
    std::vector<std::unique_ptr<usb_interface_descriptor[]>> altsettings;
    std::vector<FakeDevicePtr> owners;
};

std::vector<std::unique_ptr<Scan>> scans;
// Every handle ever opened: a handle a test leaves open is freed by fake_clear.
std::vector<std::unique_ptr<usb_dev_handle>> handles;
usb_bus* bus_list = nullptr;

std::string hex(int value) {
    char text[16];
    snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

std::string name_of(usb_dev_handle* handle) { return handle ? handle->device->name : "(null)"; }

FakeReply next_reply(FakeDevice& device, const FakeRequest& request) {
    if (!device.script.empty()) {
        FakeReply reply = device.script.front();
        device.script.pop_front();
        return reply;
    }
    if (device.responder)
        return device.responder(request);
    return reply_ok();
}

}  // namespace

FakeReply reply_in(std::vector<uint8_t> bytes) {
    FakeReply reply;
    reply.result = static_cast<int>(bytes.size());
    reply.data = std::move(bytes);
    return reply;
}

FakeReply reply_fail(int error, uint64_t elapsed_ms) {
    FakeReply reply;
    reply.result = error;
    reply.elapsed_ms = elapsed_ms;
    return reply;
}

FakeReply reply_ok() { return FakeReply{}; }

void fake_clear() {
    fake = FakeUsb{};
    scans.clear();
    handles.clear();
    bus_list = nullptr;
}

FakeDevicePtr make_dfu_device(const std::string& name, uint8_t interface) {
    auto device = std::make_shared<FakeDevice>();
    device->name = name;
    device->configs = {FakeConfig{FakeInterface{{interface, 0xFE, 0x01}}}};
    return device;
}

FakeDevicePtr make_loader_device(const std::string& name) {
    auto device = std::make_shared<FakeDevice>();
    device->name = name;
    device->configs = {FakeConfig{FakeInterface{{0, 0x00, 0x00}}}};
    return device;
}

uint64_t fake_clock_ms() { return fake.clock_ms; }

void fake_sleep_ms(unsigned milliseconds) {
    fake.log.push_back("sleep " + std::to_string(milliseconds));
    fake.clock_ms += milliseconds;
}

std::string describe(const FakeRequest& request) {
    if (request.bulk)
        return "bulk " + request.device + " ep=" + std::to_string(request.endpoint) +
               " len=" + std::to_string(request.length) + " timeout=" + std::to_string(request.timeout);
    return "control " + request.device + " " + hex(request.request_type) + "/" + hex(request.request) +
           " wValue=" + std::to_string(request.value) + " wIndex=" + std::to_string(request.index) +
           " wLength=" + std::to_string(request.length) + " timeout=" + std::to_string(request.timeout);
}

std::vector<std::string> describe_all(const std::vector<FakeRequest>& requests) {
    std::vector<std::string> lines;
    for (const FakeRequest& request : requests)
        lines.push_back(describe(request));
    return lines;
}

// ---- libusb-0.1 ----------------------------------------------------------

extern "C" {

void usb_init(void) { fake.log.push_back("init"); }

int usb_find_busses(void) {
    fake.log.push_back("find_busses");
    return 0;
}

int usb_find_devices(void) {
    fake.log.push_back("find_devices");
    ++fake.searches;
    auto scan = std::make_unique<Scan>();
    usb_bus* previous_bus = nullptr;
    for (size_t b = 0; b < fake.buses.size(); ++b) {
        auto bus = std::make_unique<usb_bus>();
        memset(bus.get(), 0, sizeof(usb_bus));
        snprintf(bus->dirname, sizeof bus->dirname, "%03zu", b + 1);
        struct usb_device* previous_device = nullptr;
        for (const FakeDevicePtr& owner : fake.buses[b]) {
            auto device = std::make_unique<struct usb_device>();
            memset(device.get(), 0, sizeof(struct usb_device));
            snprintf(device->filename, sizeof device->filename, "%s", owner->name.c_str());
            device->bus = bus.get();
            device->descriptor.idVendor = owner->vendor_id;
            device->descriptor.idProduct = owner->product_id;
            device->descriptor.bNumConfigurations = static_cast<uint8_t>(owner->configs.size());
            device->dev = owner.get();
            if (!owner->no_config_array && !owner->configs.empty()) {
                auto configs = std::make_unique<usb_config_descriptor[]>(owner->configs.size());
                for (size_t c = 0; c < owner->configs.size(); ++c) {
                    const FakeConfig& config = owner->configs[c];
                    memset(&configs[c], 0, sizeof(usb_config_descriptor));
                    configs[c].bConfigurationValue = static_cast<uint8_t>(c + 1);
                    configs[c].bNumInterfaces = static_cast<uint8_t>(config.size());
                    if (config.empty())
                        continue;
                    auto interfaces = std::make_unique<usb_interface[]>(config.size());
                    for (size_t i = 0; i < config.size(); ++i) {
                        auto alts = std::make_unique<usb_interface_descriptor[]>(config[i].size() + 1);
                        for (size_t a = 0; a < config[i].size(); ++a) {
                            memset(&alts[a], 0, sizeof(usb_interface_descriptor));
                            alts[a].bInterfaceNumber = config[i][a].number;
                            alts[a].bAlternateSetting = static_cast<uint8_t>(a);
                            alts[a].bInterfaceClass = config[i][a].interface_class;
                            alts[a].bInterfaceSubClass = config[i][a].interface_subclass;
                        }
                        interfaces[i].altsetting = alts.get();
                        interfaces[i].num_altsetting = static_cast<int>(config[i].size());
                        scan->altsettings.push_back(std::move(alts));
                    }
                    configs[c].interface = interfaces.get();
                    scan->interfaces.push_back(std::move(interfaces));
                }
                device->config = configs.get();
                scan->configs.push_back(std::move(configs));
            }
            device->prev = previous_device;
            if (previous_device)
                previous_device->next = device.get();
            else
                bus->devices = device.get();
            previous_device = device.get();
            scan->owners.push_back(owner);
            scan->devices.push_back(std::move(device));
        }
        bus->prev = previous_bus;
        if (previous_bus)
            previous_bus->next = bus.get();
        previous_bus = bus.get();
        scan->buses.push_back(std::move(bus));
    }
    bus_list = scan->buses.empty() ? nullptr : scan->buses.front().get();
    scans.push_back(std::move(scan));
    return 0;
}

struct usb_bus* usb_get_busses(void) { return bus_list; }

usb_dev_handle* usb_open(struct usb_device* dev) {
    FakeDevicePtr owner;
    for (const auto& scan : scans)
        for (const FakeDevicePtr& candidate : scan->owners)
            if (candidate.get() == dev->dev)
                owner = candidate;
    fake.log.push_back("open " + owner->name + (owner->open_fails ? " (fails)" : ""));
    if (owner->open_fails)
        return nullptr;
    ++fake.open_handles;
    handles.push_back(std::make_unique<usb_dev_handle>(usb_dev_handle{owner}));
    return handles.back().get();
}

int usb_close(usb_dev_handle* handle) {
    fake.log.push_back("close " + name_of(handle));
    --fake.open_handles;
    for (auto it = handles.begin(); it != handles.end(); ++it)
        if (it->get() == handle) {
            handles.erase(it);
            break;
        }
    return 0;
}

int usb_set_configuration(usb_dev_handle* handle, int configuration) {
    fake.log.push_back("set_configuration " + name_of(handle) + " " + std::to_string(configuration));
    return handle->device->set_configuration_result;
}

int usb_claim_interface(usb_dev_handle* handle, int interface) {
    fake.log.push_back("claim " + name_of(handle) + " " + std::to_string(interface));
    return handle->device->claim_result;
}

int usb_release_interface(usb_dev_handle* handle, int interface) {
    fake.log.push_back("release " + name_of(handle) + " " + std::to_string(interface));
    return 0;
}

int usb_reset(usb_dev_handle* handle) {
    fake.log.push_back("reset " + name_of(handle));
    if (handle->device->on_reset)
        handle->device->on_reset();
    return 0;
}

int usb_control_msg(usb_dev_handle* handle, int requesttype, int request, int value, int index, char* bytes,
                    int size, int timeout) {
    FakeRequest sent;
    sent.device = name_of(handle);
    sent.request_type = requesttype;
    sent.request = request;
    sent.value = value;
    sent.index = index;
    sent.length = size;
    sent.timeout = timeout;
    if (!(requesttype & 0x80) && bytes && size > 0)
        sent.out.assign(bytes, bytes + size);
    fake.requests.push_back(sent);
    fake.log.push_back(describe(sent));

    const FakeReply reply = next_reply(*handle->device, sent);
    fake.clock_ms += reply.elapsed_ms;
    if (reply.result < 0)
        return reply.result;
    if (requesttype & 0x80) {
        // Like the library: never more than wLength into the caller's buffer.
        const size_t copied = reply.data.size() < static_cast<size_t>(size) ? reply.data.size() : size;
        if (copied)
            memcpy(bytes, reply.data.data(), copied);
        return reply.result < size ? reply.result : size;
    }
    return reply.result;
}

int usb_bulk_write(usb_dev_handle* handle, int ep, const char* bytes, int size, int timeout) {
    FakeRequest sent;
    sent.device = name_of(handle);
    sent.bulk = true;
    sent.endpoint = ep;
    sent.length = size;
    sent.timeout = timeout;
    if (bytes && size > 0)
        sent.out.assign(bytes, bytes + size);
    fake.requests.push_back(sent);
    fake.log.push_back(describe(sent));
    const FakeReply reply = next_reply(*handle->device, sent);
    fake.clock_ms += reply.elapsed_ms;
    return reply.result < 0 ? reply.result : size;
}

char* usb_strerror(void) { return const_cast<char*>(fake.error_text.c_str()); }

}  // extern "C"
