// AT91RM9200 peripheral registers used by the firmware: addresses and bits
// from the chip's datasheet, one block per peripheral.
#pragma once

#include <stdint.h>

inline volatile uint32_t& reg32(uint32_t addr) { return *reinterpret_cast<volatile uint32_t*>(addr); }

// Advanced interrupt controller
constexpr uint32_t AIC_BASE = 0xFFFFF000;
constexpr uint32_t AIC_SMR0 = AIC_BASE + 0x000;   // source mode, 4 bytes per source
constexpr uint32_t AIC_SVR0 = AIC_BASE + 0x080;   // source vector, 4 bytes per source
constexpr uint32_t AIC_IVR = AIC_BASE + 0x100;
constexpr uint32_t AIC_FVR = AIC_BASE + 0x104;
constexpr uint32_t AIC_IDCR = AIC_BASE + 0x124;
constexpr uint32_t AIC_ICCR = AIC_BASE + 0x128;
constexpr uint32_t AIC_EOICR = AIC_BASE + 0x130;
constexpr uint32_t AIC_SPU = AIC_BASE + 0x134;
constexpr uint32_t AIC_DCR = AIC_BASE + 0x138;

// Power management controller and clock generator
constexpr uint32_t PMC_SCER = 0xFFFFFC00;
constexpr uint32_t PMC_PCER = 0xFFFFFC10;
constexpr uint32_t CKGR_MOR = 0xFFFFFC20;
constexpr uint32_t CKGR_PLLAR = 0xFFFFFC28;
constexpr uint32_t PMC_SCER_UDP = 1u << 1;          // USB device port clock
constexpr uint32_t PMC_PCER_UDP = 1u << 11;         // peripheral id 11
constexpr uint32_t PMC_PCER_PIOABC = (1u << 2) | (1u << 3) | (1u << 4);
constexpr uint32_t CKGR_PLLAR_BIT28 = 1u << 28;

// Parallel I/O controllers; register offsets from a controller's base
constexpr uint32_t PIOA_BASE = 0xFFFFF400;
constexpr uint32_t PIOB_BASE = 0xFFFFF600;
constexpr uint32_t PIOC_BASE = 0xFFFFF800;
constexpr uint32_t PIO_PER = 0x00;
constexpr uint32_t PIO_PDR = 0x04;
constexpr uint32_t PIO_OER = 0x10;
constexpr uint32_t PIO_ODR = 0x14;
constexpr uint32_t PIO_SODR = 0x30;
constexpr uint32_t PIO_CODR = 0x34;
constexpr uint32_t PIO_PDSR = 0x3C;
constexpr uint32_t PIO_PPUDR = 0x60;
constexpr uint32_t PIO_PPUER = 0x64;
constexpr uint32_t PIO_ASR = 0x70;
constexpr uint32_t PIO_BSR = 0x74;

// Debug unit (serial console on PA30/PA31) and its PDC channel
constexpr uint32_t DBGU_BASE = 0xFFFFF200;
constexpr uint32_t DBGU_CR = DBGU_BASE + 0x00;
constexpr uint32_t DBGU_MR = DBGU_BASE + 0x04;
constexpr uint32_t DBGU_IDR = DBGU_BASE + 0x0C;
constexpr uint32_t DBGU_SR = DBGU_BASE + 0x14;
constexpr uint32_t DBGU_THR = DBGU_BASE + 0x1C;
constexpr uint32_t DBGU_BRGR = DBGU_BASE + 0x20;
constexpr uint32_t DBGU_TTGR = DBGU_BASE + 0x28;    // time guard of a generic USART
constexpr uint32_t DBGU_RPR = DBGU_BASE + 0x100;
constexpr uint32_t DBGU_RCR = DBGU_BASE + 0x104;
constexpr uint32_t DBGU_TPR = DBGU_BASE + 0x108;
constexpr uint32_t DBGU_TCR = DBGU_BASE + 0x10C;
constexpr uint32_t DBGU_RNPR = DBGU_BASE + 0x110;
constexpr uint32_t DBGU_RNCR = DBGU_BASE + 0x114;
constexpr uint32_t DBGU_TNPR = DBGU_BASE + 0x118;
constexpr uint32_t DBGU_TNCR = DBGU_BASE + 0x11C;
constexpr uint32_t DBGU_PTCR = DBGU_BASE + 0x120;
constexpr uint32_t DBGU_TXRDY = 1u << 1;
constexpr uint32_t DBGU_CR_RSTRX = 1u << 2, DBGU_CR_RSTTX = 1u << 3;
constexpr uint32_t DBGU_CR_RXEN = 1u << 4, DBGU_CR_RXDIS = 1u << 5;
constexpr uint32_t DBGU_CR_TXEN = 1u << 6, DBGU_CR_TXDIS = 1u << 7;
constexpr uint32_t DBGU_MR_8N1_NORMAL = 0x8C0;      // CHRL 8 bits, no parity, normal mode
constexpr uint32_t PDC_RXTEN = 1u << 0, PDC_RXTDIS = 1u << 1;
constexpr uint32_t PDC_TXTEN = 1u << 8, PDC_TXTDIS = 1u << 9;

// External bus interface and SDRAM controller
constexpr uint32_t EBI_CSA = 0xFFFFFF60;
constexpr uint32_t EBI_CSA_CS1A = 1u << 1;
constexpr uint32_t SDRAMC_MR = 0xFFFFFF90;
constexpr uint32_t SDRAMC_TR = 0xFFFFFF94;
constexpr uint32_t SDRAMC_CR = 0xFFFFFF98;
constexpr uint32_t SDRAMC_SRR = 0xFFFFFF9C;
constexpr uint32_t SDRAMC_MODE_NORMAL = 0, SDRAMC_MODE_PRECHARGE = 2;
constexpr uint32_t SDRAMC_MODE_LOAD_MODE = 3, SDRAMC_MODE_REFRESH = 4;
constexpr uint32_t SDRAM_BASE = 0x20000000;

// USB device port; offsets from the register block 0xFFFB0000
constexpr uint32_t UDP_BASE = 0xFFFB0000;
constexpr uint32_t UDP_GLBSTATE = 0x04;
constexpr uint32_t UDP_FADDR = 0x08;
constexpr uint32_t UDP_ISR = 0x1C;
constexpr uint32_t UDP_ICR = 0x20;
constexpr uint32_t UDP_RSTEP = 0x28;
constexpr uint32_t UDP_CSR0 = 0x30;                 // endpoint n: UDP_CSR0 + 4n
constexpr uint32_t UDP_FDR0 = 0x50;                 // endpoint n: UDP_FDR0 + 4n
constexpr uint32_t UDP_CSR4 = UDP_CSR0 + 4 * 4, UDP_CSR5 = UDP_CSR0 + 4 * 5;
constexpr uint32_t UDP_FDR4 = UDP_FDR0 + 4 * 4, UDP_FDR5 = UDP_FDR0 + 4 * 5;
constexpr uint32_t UDP_FADDEN = 1u << 0, UDP_CONFG = 1u << 1;
constexpr uint32_t UDP_FEN = 1u << 8;
constexpr uint32_t UDP_EPINT0 = 1u << 0, UDP_ENDBUSRES = 1u << 12;
constexpr uint32_t UDP_TXCOMP = 0x01, UDP_RX_DATA_BK0 = 0x02, UDP_RXSETUP = 0x04;
constexpr uint32_t UDP_STALLSENT = 0x08, UDP_TXPKTRDY = 0x10, UDP_FORCESTALL = 0x20;
constexpr uint32_t UDP_RX_DATA_BK1 = 0x40, UDP_DIR = 0x80, UDP_EPEDS = 0x8000;
constexpr uint32_t UDP_RXBYTECNT_SHIFT = 16, UDP_RXBYTECNT_MASK = 0x7FF;
constexpr uint32_t UDP_CSR_CONTROL = 0x8000;        // enabled, control
constexpr uint32_t UDP_CSR_BULK_OUT = 0x8200;       // enabled, bulk OUT
constexpr uint32_t UDP_CSR_BULK_IN = 0x8600;        // enabled, bulk IN
