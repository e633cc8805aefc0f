#include "usb/virtual_board.h"

#include <cerrno>
#include <cstring>

#include "core/pins.h"
#include "soc/pmc.h"
#include "usb/boot_rom_dfu.h"
#include "usb/udp.h"
#include "usb/usb_host.h"

namespace vboard {

namespace {

// What is on the board's USB connector: the boot ROM's device while the ROM
// runs its DFU mode, otherwise the chip's device port driven by the firmware.
class Connector : public usb::UsbFunction {
public:
    Connector(BootRomDfu& rom, Udp& udp) : rom_(rom), udp_(udp) {}
    bool connected() const override { return current().connected(); }
    void bus_reset() override { current().bus_reset(); }
    usb::Handshake setup(std::uint8_t a, const std::uint8_t (&p)[8]) override { return current().setup(a, p); }
    usb::Handshake out(std::uint8_t a, std::uint8_t ep, const std::uint8_t* d, std::size_t n) override {
        return current().out(a, ep, d, n);
    }
    usb::Handshake in(std::uint8_t a, std::uint8_t ep, std::vector<std::uint8_t>& d) override {
        return current().in(a, ep, d);
    }
    std::uint64_t activity() const override { return rom_.activity() + udp_.activity(); }

private:
    usb::UsbFunction& current() const {
        if (rom_.connected()) return rom_;
        return udp_;
    }
    BootRomDfu& rom_;
    Udp& udp_;
};

BoardConfig with_console(BoardConfig config, std::string& text) {
    auto user = std::move(config.console);
    config.console = [&text, user = std::move(user)](char c) {
        text.push_back(c);
        if (user) user(c);
    };
    return config;
}

}  // namespace

struct VirtualBoard::Impl {
    // A host waits this long after it sees a device connect before it resets
    // and enumerates it (USB 2.0: at least 100 ms debounce).
    static constexpr Nanos kDebounce = 100'000'000;

    std::string console;
    Board board;
    Udp* udp;
    BootRomDfu rom;
    Connector connector;
    UsbHost host;
    std::function<void()> listener;

    bool was_connected = false;
    Nanos connected_since = 0;
    bool enumeration_failed = false;
    bool check = false;  // the connection may have changed: look at it
    Board::EventId debounce_event = 0;
    bool debounce_pending = false;

    // Wakes the top level when the debounce time of a new connection ends.
    void debounce_until(Nanos when) {
        if (debounce_pending) board.cancel(debounce_event);
        debounce_pending = true;
        debounce_event = board.at(when, [this] {
            debounce_pending = false;
            check = true;
        });
    }

    explicit Impl(BoardConfig config)
        : board(with_console(std::move(config), console)),
          udp(&static_cast<Udp&>(board.attach(std::make_unique<Udp>(board)))),
          rom(BootRomDfu::Hooks{[this](std::uint32_t off, const std::uint8_t* d, std::size_t n) {
                                    board.poke(Board::kSramBase + off, d, n);
                                },
                                [this] { start_downloaded_code(); }},
              board.config().bootrom_appidle),
          connector(rom, *udp),
          host(board, connector) {
        board.pins().watch(Udp::kPullupLine, [this](bool high) {
            check = true;
            if (!high && !rom.connected()) {
                connected_since = board.now();
                debounce_until(connected_since + kDebounce);
            }
            board.wake();
        });
    }

    // After the port reset that follows the manifestation: the boot ROM
    // maps the SRAM at 0 and jumps to 0 in Supervisor mode with IRQ and FIQ
    // masked, with the master clock and the USB clock running. Its own
    // device has left the bus; the port's registers are as after reset.
    void start_downloaded_code() {
        board.remap_sram(true);
        // The clocks as the ROM leaves them: main oscillator, PLLB for the
        // 48 MHz master clock and the USB clock, UDP clocks on. That is the
        // clock model's reset state.
        if (Pmc* pmc = board.find<Pmc>()) pmc->reset();
        udp->reset();
        board.cpu_start(0, 0xD3);
        check = true;
    }

    void notify() {
        if (listener) listener();
    }

    // Follows the connection at the top level (never from inside the CPU or
    // an event): forgets a device that left, enumerates one that has been
    // connected for the debounce time.
    void service() {
        check = false;
        bool connected = connector.connected();
        if (connected != was_connected) {
            was_connected = connected;
            enumeration_failed = false;
            if (!connected && host.device()) {
                host.forget();
                notify();
            }
            if (connected && rom.connected()) connected_since = board.now();
        }
        if (!connected && host.device()) {
            host.forget();
            notify();
        }
        if (connected && !host.device() && !enumeration_failed) {
            if (board.now() >= connected_since + kDebounce) {
                enumeration_failed = host.enumerate() != 0;
                was_connected = connector.connected();
                notify();
            } else if (!debounce_pending) {
                debounce_until(connected_since + kDebounce);
            }
        }
    }

    void run(Nanos deadline, const std::function<bool()>& done) {
        for (;;) {
            service();
            if (done && done()) return;
            if (board.now() >= deadline) return;
            board.run_until(deadline, [&] { return check || (done && done()); });
        }
    }
};

VirtualBoard::VirtualBoard(BoardConfig config) : impl_(std::make_unique<Impl>(std::move(config))) { reset_button(); }

VirtualBoard::~VirtualBoard() = default;

Board& VirtualBoard::board() { return impl_->board; }
Udp& VirtualBoard::udp() { return *impl_->udp; }
BootRomDfu& VirtualBoard::boot_rom() { return impl_->rom; }
const std::string& VirtualBoard::console() const { return impl_->console; }
void VirtualBoard::set_device_listener(std::function<void()> fn) { impl_->listener = std::move(fn); }

std::vector<std::string> VirtualBoard::usb_log() const {
    std::vector<std::string> all = impl_->rom.log();
    all.insert(all.end(), impl_->host.log().begin(), impl_->host.log().end());
    return all;
}

void VirtualBoard::reset_button() {
    Impl& m = *impl_;
    m.board.reset();  // drops every pending event
    m.debounce_pending = false;
    bool had = m.host.device().has_value();
    m.host.forget();
    if (had) m.notify();
    m.rom.power_on();
    m.was_connected = false;
    m.enumeration_failed = false;
    m.connected_since = m.board.now();
    m.run(m.board.now() + Impl::kDebounce + 100'000'000,
          [&m] { return m.host.device().has_value() || m.enumeration_failed; });
}

std::optional<UsbDeviceInfo> VirtualBoard::device() const { return impl_->host.device(); }

int VirtualBoard::control(const UsbSetup& setup, std::uint8_t* data, unsigned timeout_ms) {
    impl_->service();
    int r = impl_->host.control(setup, data, timeout_ms);
    impl_->service();
    return r;
}

int VirtualBoard::bulk_write(std::uint8_t ep, const std::uint8_t* data, std::size_t len, unsigned timeout_ms) {
    impl_->service();
    int r = impl_->host.bulk_write(ep, data, len, timeout_ms);
    impl_->service();
    return r;
}

int VirtualBoard::bulk_read(std::uint8_t ep, std::uint8_t* data, std::size_t len, unsigned timeout_ms) {
    impl_->service();
    int r = impl_->host.bulk_read(ep, data, len, timeout_ms);
    impl_->service();
    return r;
}

int VirtualBoard::port_reset() {
    Impl& m = *impl_;
    m.service();
    auto before = m.host.device();
    int r = m.host.port_reset();
    m.was_connected = m.connector.connected();
    auto after = m.host.device();
    if (before.has_value() != after.has_value() || (after && after->generation != before->generation)) m.notify();
    m.service();
    return r;
}

void VirtualBoard::run_for(Nanos duration) { impl_->run(impl_->board.now() + duration, {}); }

bool VirtualBoard::wait_for_device(Nanos max) {
    impl_->run(impl_->board.now() + max, [this] { return impl_->host.device().has_value(); });
    return impl_->host.device().has_value();
}

}  // namespace vboard
