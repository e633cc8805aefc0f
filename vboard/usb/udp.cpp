#include "usb/udp.h"

#include <algorithm>
#include <cstdio>

#include "core/pins.h"
#include "soc/pmc.h"

namespace vboard {

namespace usb {
const char* handshake_name(Handshake h) {
    switch (h) {
        case Handshake::Ack: return "ACK";
        case Handshake::Nak: return "NAK";
        case Handshake::Stall: return "STALL";
        case Handshake::None: return "no answer";
    }
    return "?";
}
}  // namespace usb

using usb::Handshake;

namespace {
constexpr std::uint32_t kClearByZero =
    Udp::TXCOMP | Udp::RX_DATA_BK0 | Udp::RXSETUP | Udp::STALLSENT | Udp::RX_DATA_BK1;
constexpr std::uint32_t kReadWrite = Udp::FORCESTALL | Udp::DIR | Udp::EPTYPE_MASK | Udp::EPEDS;
constexpr std::uint32_t kEpInterrupt = kClearByZero;
constexpr std::uint32_t kLatched = Udp::RXSUSP | Udp::RXRSM | Udp::EXTRSM | Udp::SOFINT | Udp::ENDBUSRES | Udp::WAKEUP;
constexpr std::uint32_t kInterruptBits = ((1u << Udp::kEndpoints) - 1) | kLatched;

bool is_in_type(std::uint32_t type) {
    return type == Udp::EPTYPE_ISO_IN || type == Udp::EPTYPE_BULK_IN || type == Udp::EPTYPE_INT_IN;
}
bool is_out_type(std::uint32_t type) {
    return type == Udp::EPTYPE_ISO_OUT || type == Udp::EPTYPE_BULK_OUT || type == Udp::EPTYPE_INT_OUT;
}
}  // namespace

Udp::Udp(Board& b) : Peripheral(b, "UDP", kBase, kSize) {
    reg(FRM_NUM, "UDP_FRM_NUM").read([this] {
        board.time_dependent_read();
        return frame_number();
    });
    reg(GLB_STAT, "UDP_GLB_STAT")
        .read([this] { return glb_stat_; })
        .write([this](std::uint32_t v) {
            // FADDEN, CONFG, ESR, RMWUPE; RSMINPR is set by the port only.
            glb_stat_ = v & 0x17;
            changed();
        });
    reg(FADDR, "UDP_FADDR").read([this] { return faddr_; }).write([this](std::uint32_t v) {
        faddr_ = v & (FEN | 0x7F);
        changed();
    });
    reg(IER, "UDP_IER").write([this](std::uint32_t v) { imr_ |= v & kInterruptBits; });
    reg(IDR, "UDP_IDR").write([this](std::uint32_t v) { imr_ &= ~v; });
    reg(IMR, "UDP_IMR").read([this] { return imr_; });
    reg(ISR, "UDP_ISR").read([this] { return isr(); });
    // Endpoint bits of UDP_ICR have no effect: they follow UDP_CSRx.
    reg(ICR, "UDP_ICR").write([this](std::uint32_t v) {
        const std::uint32_t cleared = isr_latched_ & v & kLatched;
        isr_latched_ &= ~cleared;
        if (!cleared) board.quiet_write();
    });
    reg(RST_EP, "UDP_RST_EP").read([this] { return rst_ep_; }).write([this](std::uint32_t v) { write_rst_ep(v); });
    for (int n = 0; n < kEndpoints; ++n) {
        reg(CSR0 + 4u * n, "UDP_CSR" + std::to_string(n))
            .read([this, n] { return read_csr(n); })
            .write([this, n](std::uint32_t v) { write_csr(n, v); });
        reg(FDR0 + 4u * n, "UDP_FDR" + std::to_string(n))
            .read([this, n] { return read_fdr(n); })
            .write([this, n](std::uint32_t v) { write_fdr(n, v); });
    }
    reg(TXVC, "UDP_TXVC").read([this] { return txvc_; }).write([this](std::uint32_t v) {
        txvc_ = v & TXVDIS;
        changed();
    });
}

Udp::~Udp() {
    for (auto& p : pending_) board.cancel(p.id);
}

void Udp::reset() {
    Peripheral::reset();
    for (auto& p : pending_) board.cancel(p.id);
    pending_.clear();
    for (auto& e : ep_) e = Endpoint{};
    glb_stat_ = 0;
    faddr_ = FEN;  // reset value 0x100
    imr_ = 0;
    isr_latched_ = 0;
    rst_ep_ = 0;
    txvc_ = 0;
    changed();
}

void Udp::trace(const std::string& text) {
    if (!trace_) return;
    char head[48];
    std::snprintf(head, sizeof head, "[%llu ns] UDP ", static_cast<unsigned long long>(board.now()));
    trace_(head + text);
}

void Udp::changed() {
    ++activity_;
    board.wake();
}

std::uint32_t Udp::frame_number() const {
    if (!connected()) return 0;
    return static_cast<std::uint32_t>((board.now() / 1'000'000) & 0x7FF);
}

// ---------------------------------------------------------------- registers

std::uint32_t Udp::read_csr(int n) const {
    const Endpoint& e = ep_[n];
    std::uint32_t v = e.flags;
    if (e.toggle) v |= DTGLE;
    std::uint32_t count = 0;
    if (e.flags & RXSETUP)
        count = 8;
    else if (!e.full.empty())
        count = static_cast<std::uint32_t>(e.bank[e.full.front()].size());
    return v | (count << RXBYTECNT_SHIFT);
}

std::uint32_t Udp::csr(int ep) const { return read_csr(ep); }

std::uint32_t Udp::isr() const {
    std::uint32_t v = isr_latched_;
    for (int n = 0; n < kEndpoints; ++n)
        if (ep_[n].flags & kEpInterrupt) v |= 1u << n;
    return v;
}

void Udp::write_csr(int n, std::uint32_t value) {
    PendingWrite p{n, value, 0};
    pending_.push_back(p);
    PendingWrite& slot = pending_.back();
    slot.id = board.after(kCsrDelay, [this] {
        // Writes land in the order they were made.
        if (pending_.empty()) return;
        PendingWrite w = pending_.front();
        pending_.pop_front();
        apply_csr(w.ep, w.value);
    });
}

void Udp::land_writes(int n) {
    // A transaction on endpoint n waits for the firmware's writes to it; the
    // writes keep their order, so every write issued before the last one
    // for this endpoint lands now as well.
    auto last = std::find_if(pending_.rbegin(), pending_.rend(), [n](const PendingWrite& w) { return w.ep == n; });
    if (last == pending_.rend()) return;
    std::size_t count = static_cast<std::size_t>(pending_.rend() - last);
    for (std::size_t i = 0; i < count; ++i) {
        PendingWrite w = pending_.front();
        pending_.pop_front();
        board.cancel(w.id);
        apply_csr(w.ep, w.value);
    }
}

void Udp::apply_csr(int n, std::uint32_t v) {
    Endpoint& e = ep_[n];
    if (trace_) {
        char b[64];
        std::snprintf(b, sizeof b, "CSR%d <- 0x%08X (was 0x%08X)", n, v, read_csr(n));
        trace(b);
    }
    std::uint32_t cleared = e.flags & kClearByZero & ~v;
    e.flags &= ~cleared;
    if (cleared & RX_DATA_BK0) release_bank(e, 0);
    if (cleared & RX_DATA_BK1) release_bank(e, 1);
    if (cleared & RXSETUP) e.setup_pos = 0;
    e.flags = (e.flags & ~kReadWrite) | (v & kReadWrite);
    if ((v & TXPKTRDY) && !(e.flags & TXPKTRDY)) {
        e.tx_packet = std::move(e.tx_fifo);
        e.tx_fifo.clear();
        e.flags |= TXPKTRDY;
    }
    changed();
}

void Udp::release_bank(Endpoint& e, int bank) {
    auto it = std::find(e.full.begin(), e.full.end(), bank);
    if (it != e.full.end()) e.full.erase(it);
    e.bank[bank].clear();
    e.read_pos[bank] = 0;
}

std::uint32_t Udp::read_fdr(int n) {
    Endpoint& e = ep_[n];
    if (e.flags & RXSETUP) return e.setup_pos < 8 ? e.setup[e.setup_pos++] : 0;
    if (e.full.empty()) return 0;
    int b = e.full.front();
    if (e.read_pos[b] >= e.bank[b].size()) return 0;
    return e.bank[b][e.read_pos[b]++];
}

void Udp::write_fdr(int n, std::uint32_t value) {
    Endpoint& e = ep_[n];
    // Bytes beyond the FIFO size are lost.
    if (e.tx_fifo.size() < kFifoSize[n]) e.tx_fifo.push_back(static_cast<std::uint8_t>(value));
}

void Udp::clear_fifo(Endpoint& e) {
    e.bank[0].clear();
    e.bank[1].clear();
    e.read_pos = {0, 0};
    e.full.clear();
    e.next_fill = 0;
    e.tx_fifo.clear();
    e.tx_packet.clear();
    e.toggle = false;
    e.flags &= ~(RX_DATA_BK0 | RX_DATA_BK1 | TXPKTRDY);
}

void Udp::write_rst_ep(std::uint32_t v) {
    std::uint32_t mask = (1u << kEndpoints) - 1;
    rst_ep_ = v & mask;
    for (int n = 0; n < kEndpoints; ++n)
        if (rst_ep_ & (1u << n)) clear_fifo(ep_[n]);
    changed();
}

// ---------------------------------------------------------------- the bus

bool Udp::connected() const { return !board.pins().level(kPullupLine); }

void Udp::bus_reset() {
    trace("bus reset");
    for (auto& p : pending_) board.cancel(p.id);
    pending_.clear();
    for (auto& e : ep_) {
        clear_fifo(e);
        e.flags = 0;
        e.setup_pos = 0;
    }
    faddr_ = 0;
    glb_stat_ = 0;
    isr_latched_ |= ENDBUSRES;
    changed();
}

bool Udp::clocked() const {
    const Pmc* pmc = board.find<Pmc>();
    if (!pmc) return true;  // a board without a clock model
    return pmc->peripheral_clock(Pmc::kIdUdp) && (pmc->scsr() & Pmc::kScUdp);
}

bool Udp::addressed(std::uint8_t address, std::uint8_t ep) const {
    if (!connected() || (txvc_ & TXVDIS) || !clocked()) return false;
    if (!(faddr_ & FEN) || address != (faddr_ & 0x7F)) return false;
    if (ep >= kEndpoints) return false;
    return (ep_[ep].flags & EPEDS) != 0;
}

Handshake Udp::setup(std::uint8_t address, const std::uint8_t (&packet)[8]) {
    land_writes(0);
    Handshake h = take_setup(address, packet);
    if (trace_) {
        char b[96];
        std::snprintf(b, sizeof b, "SETUP@%u %02X %02X %02X%02X %02X%02X %02X%02X: %s -> CSR0 0x%08X", address,
                      packet[0], packet[1], packet[3], packet[2], packet[5], packet[4], packet[7], packet[6],
                      usb::handshake_name(h), read_csr(0));
        trace(b);
    }
    return h;
}

Handshake Udp::take_setup(std::uint8_t address, const std::uint8_t (&packet)[8]) {
    if (!addressed(address, 0)) return Handshake::None;
    Endpoint& e = ep_[0];
    if ((e.flags & EPTYPE_MASK) != EPTYPE_CTRL) return Handshake::None;
    // The SETUP data goes into the endpoint's only bank: an IN packet that
    // was still waiting there is gone.
    e.tx_fifo.clear();
    e.tx_packet.clear();
    e.flags &= ~TXPKTRDY;
    std::copy(packet, packet + 8, e.setup.begin());
    e.setup_pos = 0;
    e.flags |= RXSETUP;
    e.toggle = false;  // SETUP is always DATA0
    changed();
    return Handshake::Ack;
}

Handshake Udp::out(std::uint8_t address, std::uint8_t ep, const std::uint8_t* data, std::size_t length) {
    if (ep < kEndpoints) land_writes(ep);
    Handshake h = take_out(address, ep, data, length);
    if (trace_) {
        char b[96];
        std::snprintf(b, sizeof b, "OUT@%u.%u %zu bytes: %s -> CSR 0x%08X", address, ep, length, usb::handshake_name(h),
                      ep < kEndpoints ? read_csr(ep) : 0);
        trace(b);
    }
    return h;
}

std::optional<Handshake> Udp::refuse_data(std::uint8_t address, std::uint8_t ep, bool in) {
    if (!addressed(address, ep)) return Handshake::None;
    Endpoint& e = ep_[ep];
    const std::uint32_t type = e.flags & EPTYPE_MASK;
    if (type != EPTYPE_CTRL && !(in ? is_in_type(type) : is_out_type(type))) return Handshake::None;
    if (rst_ep_ & (1u << ep)) return Handshake::Nak;
    if (e.flags & FORCESTALL) {
        e.flags |= STALLSENT;
        changed();
        return Handshake::Stall;
    }
    if (type == EPTYPE_CTRL && (e.flags & RXSETUP)) return Handshake::Nak;
    return std::nullopt;
}

Handshake Udp::take_out(std::uint8_t address, std::uint8_t ep, const std::uint8_t* data, std::size_t length) {
    if (const auto refused = refuse_data(address, ep, false)) return *refused;
    Endpoint& e = ep_[ep];
    int b = kPingPong[ep] ? e.next_fill : 0;
    if (e.flags & (b == 0 ? RX_DATA_BK0 : RX_DATA_BK1)) return Handshake::Nak;
    if (length > kFifoSize[ep]) length = kFifoSize[ep];  // babble: the rest is lost
    e.bank[b].assign(data, data + length);
    e.read_pos[b] = 0;
    e.full.push_back(b);
    e.flags |= (b == 0 ? RX_DATA_BK0 : RX_DATA_BK1);
    if (kPingPong[ep]) e.next_fill ^= 1;
    e.toggle = !e.toggle;
    changed();
    return Handshake::Ack;
}

Handshake Udp::in(std::uint8_t address, std::uint8_t ep, std::vector<std::uint8_t>& data) {
    if (ep < kEndpoints) land_writes(ep);
    Handshake h = take_in(address, ep, data);
    if (trace_) {
        char b[96];
        std::snprintf(b, sizeof b, "IN@%u.%u: %s %zu bytes -> CSR 0x%08X", address, ep, usb::handshake_name(h),
                      h == Handshake::Ack ? data.size() : 0, ep < kEndpoints ? read_csr(ep) : 0);
        trace(b);
    }
    return h;
}

Handshake Udp::take_in(std::uint8_t address, std::uint8_t ep, std::vector<std::uint8_t>& data) {
    if (const auto refused = refuse_data(address, ep, true)) return *refused;
    Endpoint& e = ep_[ep];
    if (!(e.flags & TXPKTRDY)) return Handshake::Nak;
    data = std::move(e.tx_packet);
    e.tx_packet.clear();
    e.flags &= ~TXPKTRDY;
    e.flags |= TXCOMP;
    e.toggle = !e.toggle;
    changed();
    return Handshake::Ack;
}

}  // namespace vboard
