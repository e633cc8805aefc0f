// The AT91RM9200 USB device port (UDP) at 0xFFFB0000, as the firmware sees
// it through its registers and as the host model sees it through bus
// transactions.
//
// Endpoints (the chip has six):
//   EP0  8 bytes, one bank (control)      EP3  8 bytes, one bank
//   EP1  64 bytes, two banks (ping-pong)  EP4  256 bytes, two banks
//   EP2  64 bytes, two banks              EP5  256 bytes, two banks
//
// Model decisions (hardware facts where the datasheet states them, the
// choice made here where it does not):
// - A write to UDP_CSRx takes effect kCsrDelay after the bus write (the port
//   runs in the 48 MHz USB clock domain), so a read right after the write
//   still shows the old value; firmware waits until it reads back.
//   A bus transaction on an endpoint that has a write in flight is taken
//   after that write has landed.
// - TXCOMP, RX_DATA_BK0, RXSETUP, STALLSENT and RX_DATA_BK1 are cleared by
//   writing 0; writing 1 leaves them as they are. TXPKTRDY is set by writing
//   1 (the FIFO contents become the packet to send) and cleared by the port
//   when the packet has gone out; writing 0 has no effect. FORCESTALL, DIR,
//   EPTYPE and EPEDS are plain read/write bits; DTGLE and RXBYTECNT are
//   read-only.
// - RXBYTECNT shows the byte count of the bank the firmware reads (the
//   older of the full banks), or 8 while RXSETUP is set; reading UDP_FDRx
//   does not count it down. Reading past the received bytes reads 0.
// - OUT data on a ping-pong endpoint fills bank 0 and bank 1 alternately,
//   starting with bank 0 after a reset of the endpoint; while the bank that
//   is next to fill still holds data, the OUT is NAKed.
// - Endpoint 0 has one bank for SETUP, OUT and IN data: a SETUP packet
//   overwrites it, so a SETUP drops an IN packet still waiting (TXPKTRDY
//   falls) together with the unsent FIFO contents. RX_DATA_BK0 stays as it
//   was. While RXSETUP is set, data OUT and IN on endpoint 0 are NAKed.
// - The zero-length status OUT of a control read sets RX_DATA_BK0 with a
//   byte count of 0, like any OUT; the firmware clears it.
// - FORCESTALL makes every data and status transaction of the endpoint
//   answer STALL and sets STALLSENT; a SETUP is still accepted (a device must
//   take it) and does not clear FORCESTALL.
// - An endpoint whose EPEDS is clear, or a token for an address other than
//   FADDR while FEN is set, or any token while FEN is clear, gets no answer.
// - End of bus reset: ENDBUSRES is set in UDP_ISR; UDP_FADDR reads 0 (FEN
//   clear: the firmware enables the function again), UDP_GLB_STAT reads 0,
//   every UDP_CSRx reads 0 (endpoints disabled) and every FIFO is empty.
//   UDP_IMR, UDP_RST_EP and UDP_TXVC keep their values.
// - UDP_RST_EP: while an endpoint's bit is set its FIFO is empty and its
//   banks start again at bank 0; RX_DATA_BK0/1 and TXPKTRDY fall with the
//   data they stood for, the data toggle goes back to DATA0. The endpoint
//   NAKs while it is held in reset.
// - UDP_ISR: EPxINT is set while UDP_CSRx shows TXCOMP, RX_DATA_BK0,
//   RXSETUP, STALLSENT or RX_DATA_BK1; writing UDP_ICR clears only the
//   latched bits (RXSUSP, RXRSM, EXTRSM, SOFINT, ENDBUSRES, WAKEUP). The host
//   model keeps the bus busy, so suspend and resume never happen, and the
//   start-of-frame interrupt is not raised (UDP_FRM_NUM counts frames).
// - The port is on the bus while the board's D+ pull-up is on: PA16 low.
//   UDP_TXVC.TXVDIS set: the transceiver is off and nothing is answered.
//   Without its clocks (the USB device clock UDP in PMC_SCSR and the
//   peripheral clock, id 11, in PMC_PCSR) the port answers nothing either.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/board.h"
#include "core/peripheral.h"
#include "usb/usb_function.h"

namespace vboard {

class Udp : public Peripheral, public usb::UsbFunction {
public:
    static constexpr std::uint32_t kBase = 0xFFFB0000, kSize = 0x4000;
    static constexpr int kEndpoints = 6;
    static constexpr Nanos kCsrDelay = 300;
    static constexpr int kPullupLine = 16;  // PA16, low: D+ pull-up on

    // Register offsets.
    static constexpr std::uint32_t FRM_NUM = 0x00, GLB_STAT = 0x04, FADDR = 0x08, IER = 0x10, IDR = 0x14,
                                   IMR = 0x18, ISR = 0x1C, ICR = 0x20, RST_EP = 0x28, CSR0 = 0x30,
                                   FDR0 = 0x50, TXVC = 0x74;
    // UDP_CSRx bits.
    static constexpr std::uint32_t TXCOMP = 1u << 0, RX_DATA_BK0 = 1u << 1, RXSETUP = 1u << 2,
                                   STALLSENT = 1u << 3, TXPKTRDY = 1u << 4, FORCESTALL = 1u << 5,
                                   RX_DATA_BK1 = 1u << 6, DIR = 1u << 7, EPTYPE_MASK = 7u << 8,
                                   DTGLE = 1u << 11, EPEDS = 1u << 15, RXBYTECNT_SHIFT = 16;
    static constexpr std::uint32_t EPTYPE_CTRL = 0u << 8, EPTYPE_ISO_OUT = 1u << 8, EPTYPE_BULK_OUT = 2u << 8,
                                   EPTYPE_INT_OUT = 3u << 8, EPTYPE_ISO_IN = 5u << 8, EPTYPE_BULK_IN = 6u << 8,
                                   EPTYPE_INT_IN = 7u << 8;
    // UDP_GLB_STAT, UDP_FADDR, UDP_ISR, UDP_TXVC bits.
    static constexpr std::uint32_t FADDEN = 1u << 0, CONFG = 1u << 1, FEN = 1u << 8;
    static constexpr std::uint32_t RXSUSP = 1u << 8, RXRSM = 1u << 9, EXTRSM = 1u << 10, SOFINT = 1u << 11,
                                   ENDBUSRES = 1u << 12, WAKEUP = 1u << 13;
    static constexpr std::uint32_t TXVDIS = 1u << 8;

    static constexpr std::array<unsigned, kEndpoints> kFifoSize = {8, 64, 64, 8, 256, 256};
    static constexpr std::array<bool, kEndpoints> kPingPong = {false, true, true, false, true, true};

    explicit Udp(Board& board);
    ~Udp() override;

    void reset() override;

    // ---- the bus side (host model)
    bool connected() const override;
    void bus_reset() override;
    usb::Handshake setup(std::uint8_t address, const std::uint8_t (&packet)[8]) override;
    usb::Handshake out(std::uint8_t address, std::uint8_t ep, const std::uint8_t* data, std::size_t length) override;
    usb::Handshake in(std::uint8_t address, std::uint8_t ep, std::vector<std::uint8_t>& data) override;
    std::uint64_t activity() const override { return activity_; }

    // ---- what the registers read now (tests, diagnostics), without side effects
    std::uint32_t csr(int ep) const;
    std::uint32_t isr() const;
    std::uint32_t faddr() const { return faddr_; }
    std::uint32_t glb_stat() const { return glb_stat_; }
    // Diagnostics: every CSR write as it lands and every transaction with
    // its handshake, as text (empty: off).
    void set_trace(std::function<void(const std::string&)> fn) { trace_ = std::move(fn); }
    // CSR writes issued by the firmware that have not landed yet.
    unsigned writes_in_flight() const { return static_cast<unsigned>(pending_.size()); }

private:
    struct Endpoint {
        std::uint32_t flags = 0;  // every stored CSR bit (not RXBYTECNT)
        std::array<std::vector<std::uint8_t>, 2> bank;
        std::array<std::size_t, 2> read_pos{};
        std::deque<int> full;  // full banks, oldest first
        int next_fill = 0;
        std::array<std::uint8_t, 8> setup{};
        std::size_t setup_pos = 0;
        std::vector<std::uint8_t> tx_fifo;    // written by the firmware
        std::vector<std::uint8_t> tx_packet;  // committed by TXPKTRDY
        bool toggle = false;                  // DTGLE: data toggle of the last packet
    };
    struct PendingWrite {
        int ep;
        std::uint32_t value;
        Board::EventId id;
    };

    std::uint32_t read_csr(int ep) const;
    void write_csr(int ep, std::uint32_t value);
    void apply_csr(int ep, std::uint32_t value);
    void land_writes(int ep);
    std::uint32_t read_fdr(int ep);
    void write_fdr(int ep, std::uint32_t value);
    void write_rst_ep(std::uint32_t value);
    void clear_fifo(Endpoint& e);
    void release_bank(Endpoint& e, int bank);
    std::uint32_t frame_number() const;
    // Common checks of a token: is it for us, and is the endpoint usable?
    bool addressed(std::uint8_t address, std::uint8_t ep) const;
    bool clocked() const;
    // What a data token gets before any data moves, or nothing when the
    // endpoint takes part: no answer for a token that is not ours or for an
    // endpoint of the other direction, NAK while the endpoint is held in
    // reset or a SETUP waits, STALL when forced.
    std::optional<usb::Handshake> refuse_data(std::uint8_t address, std::uint8_t ep, bool in);
    usb::Handshake take_setup(std::uint8_t address, const std::uint8_t (&packet)[8]);
    usb::Handshake take_out(std::uint8_t address, std::uint8_t ep, const std::uint8_t* data, std::size_t length);
    usb::Handshake take_in(std::uint8_t address, std::uint8_t ep, std::vector<std::uint8_t>& data);
    void changed();

    std::array<Endpoint, kEndpoints> ep_;
    std::deque<PendingWrite> pending_;
    std::uint32_t glb_stat_ = 0, faddr_ = FEN, imr_ = 0, isr_latched_ = 0, rst_ep_ = 0, txvc_ = 0;
    std::uint64_t activity_ = 0;
    std::function<void(const std::string&)> trace_;
    void trace(const std::string& text);
};

}  // namespace vboard
