// USB device-port driver. Every change of an endpoint's CSR is a
// read-modify-write of the whole register (see csr_change). Bit changes take
// a few cycles to show in the register, hence the wait-until-it-reads-back
// loops.
#include "udp.h"

#include "regs.h"

namespace {

constexpr uint32_t EP0_PACKET = 8;
constexpr uint32_t BULK_PACKET = 64;

inline volatile uint32_t& csr(uint32_t udp, uint32_t ep) { return reg32(udp + UDP_CSR0 + 4 * ep); }

// The flags that writing 0 clears and writing 1 leaves alone. A change is
// written with all of them at 1 except the ones meant to clear, so that a
// flag the port raises between the read and the write is not lost; and
// with TXPKTRDY at 0 (no effect) unless a packet is being committed, so
// that a write cannot commit the FIFO a second time.
constexpr uint32_t CSR_CLEAR_BY_ZERO = UDP_TXCOMP | UDP_RX_DATA_BK0 | UDP_RXSETUP | UDP_STALLSENT | UDP_RX_DATA_BK1;

void csr_change(uint32_t udp, uint32_t ep, uint32_t set, uint32_t clear) {
    const uint32_t now = csr(udp, ep);
    csr(udp, ep) = (((now | CSR_CLEAR_BY_ZERO) & ~UDP_TXPKTRDY) | set) & ~clear;
}
void csr_set(uint32_t udp, uint32_t ep, uint32_t bits) { csr_change(udp, ep, bits, 0); }
void csr_clear(uint32_t udp, uint32_t ep, uint32_t bits) { csr_change(udp, ep, 0, bits); }
void wait_set(uint32_t udp, uint32_t ep, uint32_t bits) {
    while ((csr(udp, ep) & bits) != bits) {}
}
void wait_clear(uint32_t udp, uint32_t ep, uint32_t bits) {
    while (csr(udp, ep) & bits) {}
}

uint8_t class_in0_zero() { return 0; }

void enable_bulk(uint32_t udp) {
    csr(udp, 4) = UDP_CSR_BULK_OUT;
    csr(udp, 5) = UDP_CSR_BULK_IN;
}

void reply(uint32_t udp, const void* data, uint32_t available, uint16_t wLength) {
    udp_send_control(udp, data, wLength < available ? wLength : available);
}

}  // namespace

extern "C" {

void udp_open(UdpDevice* dev) {
    reg32(CKGR_PLLAR) = reg32(CKGR_PLLAR) | CKGR_PLLAR_BIT28;
    reg32(PMC_SCER) = PMC_SCER_UDP;
    reg32(PMC_PCER) = PMC_PCER_UDP;
    // PA16 drives the board's D+ pull-up: low attaches the device.
    reg32(PIOA_BASE + PIO_PER) = 1u << 16;
    reg32(PIOA_BASE + PIO_OER) = 1u << 16;
    reg32(PIOA_BASE + PIO_CODR) = 1u << 16;

    dev->currentConfiguration = 1;
    dev->txRead = dev->txBuffer;
    dev->txWrite = dev->txBuffer;
    dev->onClassIn0 = class_in0_zero;
    dev->receiveBank = UDP_RX_DATA_BK0;
    reg32(UDP_BASE + UDP_GLBSTATE) = UDP_CONFG;
    reg32(UDP_BASE + UDP_CSR0) = UDP_CSR_CONTROL;
    reg32(UDP_BASE + UDP_CSR4) = UDP_CSR_BULK_OUT;
    reg32(UDP_BASE + UDP_CSR5) = UDP_CSR_BULK_IN;
    dev->onClassIn1 = nullptr;
    dev->udp = UDP_BASE;
    dev->onBulkOut = nullptr;
}

void udp_disable_endpoints() {
    reg32(UDP_BASE + UDP_GLBSTATE) = UDP_CONFG;
    reg32(UDP_BASE + UDP_CSR0) = 0;
    reg32(UDP_BASE + UDP_CSR4) = 0;
    reg32(UDP_BASE + UDP_CSR5) = 0;
}

uint8_t udp_service_control(UdpDevice* dev) {
    const uint32_t udp = dev->udp;
    const uint32_t isr = reg32(udp + UDP_ISR);
    if (isr & UDP_ENDBUSRES) {
        reg32(udp + UDP_ICR) = UDP_ENDBUSRES;
        reg32(udp + UDP_RSTEP) = 0xFFFFFFFF;
        reg32(udp + UDP_RSTEP) = 0;
        reg32(udp + UDP_FADDR) = UDP_FEN;
        csr(udp, 0) = UDP_CSR_CONTROL;
        dev->currentConfiguration = 1;
        reg32(udp + UDP_GLBSTATE) = UDP_CONFG;
        enable_bulk(udp);
        // The endpoint reset starts the ping-pong banks again at bank 0.
        dev->receiveBank = UDP_RX_DATA_BK0;
    } else if (isr & UDP_EPINT0) {
        reg32(udp + UDP_ICR) = UDP_EPINT0;
        udp_handle_setup(dev);
    }
    return dev->currentConfiguration;
}

void udp_handle_setup(UdpDevice* dev) {
    const uint32_t udp = dev->udp;
    if (!(csr(udp, 0) & UDP_RXSETUP)) return;

    volatile uint32_t& fifo = reg32(udp + UDP_FDR0);
    uint8_t setup[8];
    for (uint32_t i = 0; i < sizeof setup; ++i) setup[i] = static_cast<uint8_t>(fifo);
    const uint8_t bmRequestType = setup[0];
    const uint8_t bRequest = setup[1];
    const uint16_t wValue = static_cast<uint16_t>(setup[2] | (setup[3] << 8));
    const uint16_t wIndex = static_cast<uint16_t>(setup[4] | (setup[5] << 8));
    const uint16_t wLength = static_cast<uint16_t>(setup[6] | (setup[7] << 8));

    // The status stage of the previous control IN transfer (a zero-length
    // OUT packet) leaves RX_DATA_BK0 set until firmware clears it. Left
    // stale, it would cut this request's data stage after its first packet.
    if (csr(udp, 0) & UDP_RX_DATA_BK0) {
        csr_clear(udp, 0, UDP_RX_DATA_BK0);
        wait_clear(udp, 0, UDP_RX_DATA_BK0);
    }

    if (bmRequestType & 0x80) {
        csr_set(udp, 0, UDP_DIR);
        wait_set(udp, 0, UDP_DIR);
    }
    csr_clear(udp, 0, UDP_RXSETUP);
    wait_clear(udp, 0, UDP_RXSETUP);

    const uint32_t ep = wIndex & 0x0F;
    const uint16_t request = static_cast<uint16_t>((bmRequestType << 8) | bRequest);
    switch (request) {
    case 0x8006:  // GET_DESCRIPTOR
        if (wValue == 0x0100) {
            reply(udp, udp_device_descriptor, sizeof udp_device_descriptor, wLength);
        } else if (wValue == 0x0200) {
            reply(udp, udp_configuration_descriptor, sizeof udp_configuration_descriptor, wLength);
        } else if (wValue >= 0x0300 && wValue <= 0x0303) {
            udp_send_zlp(udp);
        } else {
            udp_stall(udp);
        }
        break;
    case 0x0005:  // SET_ADDRESS: the new address applies after the status stage
        udp_send_zlp(udp);
        reg32(udp + UDP_FADDR) = UDP_FEN | wValue;
        reg32(udp + UDP_GLBSTATE) = wValue ? UDP_FADDEN : 0;
        break;
    case 0x0009:  // SET_CONFIGURATION
        dev->currentConfiguration = static_cast<uint8_t>(wValue);
        udp_send_zlp(udp);
        if (wValue) {
            reg32(udp + UDP_GLBSTATE) = UDP_CONFG;
            enable_bulk(udp);
        } else {
            reg32(udp + UDP_GLBSTATE) = UDP_FADDEN;
            csr(udp, 4) = 0;
            csr(udp, 5) = 0;
        }
        break;
    case 0x8008:  // GET_CONFIGURATION
        udp_send_control(udp, &dev->currentConfiguration, 1);
        break;
    case 0x8000:  // GET_STATUS, device
    case 0x8100: {  // GET_STATUS, interface
        static const uint8_t zero_status[2] = {0, 0};
        udp_send_control(udp, zero_status, 2);
        break;
    }
    case 0x8200: {  // GET_STATUS, endpoint
        const uint32_t state = reg32(udp + UDP_GLBSTATE);
        const bool known = (state & UDP_CONFG) ? (ep == 0 || ep == 4 || ep == 5)
                                               : ((state & UDP_FADDEN) && ep == 0);
        if (known) {
            const uint8_t status[2] = {static_cast<uint8_t>((csr(udp, ep) & UDP_EPEDS) ? 0 : 1), 0};
            udp_send_control(udp, status, 2);
        } else {
            udp_stall(udp);
        }
        break;
    }
    case 0x0001:  // CLEAR_FEATURE, device
    case 0x0003:  // SET_FEATURE, device
        udp_stall(udp);
        break;
    case 0x0101:  // CLEAR_FEATURE, interface
    case 0x0103:  // SET_FEATURE, interface
        udp_send_zlp(udp);
        break;
    case 0x0201:  // CLEAR_FEATURE, endpoint: ENDPOINT_HALT off
        if (wValue == 0 && (ep == 4 || ep == 5)) {
            csr(udp, ep) = ep == 4 ? UDP_CSR_BULK_OUT : UDP_CSR_BULK_IN;
            udp_send_zlp(udp);
        } else {
            udp_stall(udp);
        }
        break;
    case 0x0203:  // SET_FEATURE, endpoint: ENDPOINT_HALT on (endpoint disabled)
        if (wValue == 0 && (ep == 4 || ep == 5)) {
            csr(udp, ep) = 0;
            udp_send_zlp(udp);
        } else {
            udp_stall(udp);
        }
        break;
    case 0xA100: {  // class IN 0
        const uint8_t value = dev->onClassIn0();
        udp_send_control(udp, &value, 1);
        break;
    }
    case 0xA101: {  // class IN 1
        const uint8_t value = dev->onClassIn1 ? dev->onClassIn1() : 0;
        udp_send_control(udp, &value, 1);
        break;
    }
    case 0x21FF:  // synchronisation request: status stage only
        udp_send_zlp(udp);
        break;
    default:
        if (!dev->classRequestHook || dev->classRequestHook(bRequest, wLength, wIndex) != 0) {
            udp_send_zlp(udp);
        }
        break;
    }
}

void udp_send_control(uint32_t udp, const void* data, uint32_t length) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    volatile uint32_t& fifo = reg32(udp + UDP_FDR0);
    do {
        const uint32_t n = length < EP0_PACKET ? length : EP0_PACKET;
        for (uint32_t i = 0; i < n; ++i) fifo = bytes[i];
        bytes += n;
        length -= n;
        if (csr(udp, 0) & UDP_TXCOMP) {
            csr_clear(udp, 0, UDP_TXCOMP);
            wait_clear(udp, 0, UDP_TXCOMP);
        }
        csr_set(udp, 0, UDP_TXPKTRDY);
        for (;;) {
            const uint32_t c = csr(udp, 0);
            if (c & UDP_TXCOMP) break;
            if (c & UDP_RX_DATA_BK0) {
                // The host ended the data stage early with its status stage.
                csr_clear(udp, 0, UDP_RX_DATA_BK0);
                return;
            }
        }
    } while (length > 0);
    if (csr(udp, 0) & UDP_TXCOMP) {
        csr_clear(udp, 0, UDP_TXCOMP);
        wait_clear(udp, 0, UDP_TXCOMP);
    }
}

void udp_send_zlp(uint32_t udp) {
    csr_set(udp, 0, UDP_TXPKTRDY);
    wait_set(udp, 0, UDP_TXCOMP);
    csr_clear(udp, 0, UDP_TXCOMP);
    wait_clear(udp, 0, UDP_TXCOMP);
}

void udp_stall(uint32_t udp) {
    trace("\nStalling control endpoint..\n");
    csr_set(udp, 0, UDP_FORCESTALL);
    wait_set(udp, 0, UDP_STALLSENT);
    csr_clear(udp, 0, UDP_FORCESTALL | UDP_STALLSENT);
    wait_clear(udp, 0, UDP_FORCESTALL | UDP_STALLSENT);
}

void udp_poll(UdpDevice* dev) {
    if (udp_service_control(dev) == 0) return;
    const uint32_t udp = dev->udp;

    const uint32_t out = csr(udp, 4);
    if (out & dev->receiveBank) {
        uint32_t count = (out >> UDP_RXBYTECNT_SHIFT) & UDP_RXBYTECNT_MASK;
        if (count > sizeof dev->rxBuffer) count = sizeof dev->rxBuffer;
        volatile uint32_t& fifo = reg32(udp + UDP_FDR4);
        for (uint32_t i = 0; i < count; ++i) dev->rxBuffer[i] = static_cast<uint8_t>(fifo);
        // A zero-length packet is taken as well and its bank freed, so that
        // it cannot hold up the packets behind it; nobody is told of it.
        csr_clear(udp, 4, dev->receiveBank);
        dev->receiveBank = dev->receiveBank == UDP_RX_DATA_BK0 ? UDP_RX_DATA_BK1 : UDP_RX_DATA_BK0;
        if (count && dev->onBulkOut) dev->onBulkOut(dev->rxBuffer, count);
    }

    if (dev->txWrite != dev->txRead) {
        uint32_t n = static_cast<uint32_t>(dev->txWrite - dev->txRead);
        if (n > BULK_PACKET) n = BULK_PACKET;
        volatile uint32_t& fifo = reg32(udp + UDP_FDR5);
        for (uint32_t i = 0; i < n; ++i) fifo = dev->txRead[i];
        dev->txRead += n;
        csr_set(udp, 5, UDP_TXPKTRDY);
        if (dev->txRead == dev->txWrite) {
            dev->txRead = dev->txBuffer;
            dev->txWrite = dev->txBuffer;
        }
        while (!(csr(udp, 5) & UDP_TXCOMP)) {
            if (udp_service_control(dev) == 0) return;
        }
        csr_clear(udp, 5, UDP_TXCOMP);
        wait_clear(udp, 5, UDP_TXCOMP);
    }
}

int udp_queue_in(UdpDevice* dev, const void* data, uint32_t length) {
    if (dev->txRead != dev->txBuffer || dev->txWrite != dev->txBuffer) return -1;
    if (length > sizeof dev->txBuffer) return -1;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (uint32_t i = 0; i < length; ++i) dev->txWrite[i] = bytes[i];
    dev->txWrite += length;
    return 0;
}
}
