// Board set-up: interrupt controller, exception vectors, SDRAM, PIO clocks
// and the debug serial port. Runs once from the reset code on the set-up
// stack, before any variable has been initialised, so it uses none.
#include "board.h"
#include "regs.h"

namespace {

constexpr uint32_t MASTER_CLOCK = 48000000;
constexpr uint32_t CONSOLE_BAUD = 115200;
static_assert(dbgu_divisor(MASTER_CLOCK, CONSOLE_BAUD) == 26, "115200 baud from 48 MHz");

constexpr uint32_t IRQ_VECTOR_WORD = 0xE51FFF20;     // ldr pc, [pc, #-0xF20]
constexpr uint32_t VEC_UNDEF = 0x04, VEC_PABT = 0x0C, VEC_DABT = 0x10;
constexpr uint32_t VEC_IRQ = 0x18, VEC_FIQ = 0x1C;

uint32_t addr_of(void (*f)()) { return reinterpret_cast<uint32_t>(f); }

}  // namespace

extern "C" uint32_t install_handler(uint32_t vector, uint32_t handler) {
    volatile uint32_t* slot = reinterpret_cast<volatile uint32_t*>(vector);
    const uint32_t old = *slot;
    if (handler == IRQ_VECTOR_WORD) {
        *slot = handler;
        return old;
    }
    const int32_t offset = static_cast<int32_t>(handler - vector - 8);
    if (offset >= -0x02000000 && offset < 0x02000000) {
        *slot = 0xEA000000u | ((static_cast<uint32_t>(offset) >> 2) & 0x00FFFFFFu);
    } else {
        // Out of a branch's reach (the uploader's handlers in SDRAM): load
        // the PC from a literal 0x20 bytes further on, ldr pc, [pc, #0x18].
        // Vectors 0x04, 0x0C, 0x10 and 0x1C use the words 0x24, 0x2C, 0x30
        // and 0x3C, which hold the dead test loader's reset code by then.
        reinterpret_cast<volatile uint32_t*>(vector + 0x20)[0] = handler;
        *slot = 0xE59FF018u;
    }
    return old;
}

extern "C" void low_level_init() {
    for (uint32_t n = 0; n < 32; ++n) {
        reg32(AIC_IDCR) = 1u << n;
        reg32(AIC_ICCR) = 1u << n;
        reg32(AIC_IDCR) = 1u << n;
        reg32(AIC_SVR0 + 4 * n) = addr_of(handler_default);
        reg32(AIC_SMR0 + 4 * n) = 0;
        reg32(AIC_ICCR) = 1u << n;
    }
    install_handler(VEC_IRQ, IRQ_VECTOR_WORD);
    install_handler(VEC_FIQ, addr_of(handler_default));
    reg32(AIC_SPU) = addr_of(handler_spurious);
    reg32(AIC_DCR) = 0;
    for (int i = 0; i < 8; ++i) reg32(AIC_EOICR) = reg32(AIC_EOICR);

    install_handler(VEC_PABT, addr_of(handler_prefetch_abort));
    install_handler(VEC_DABT, addr_of(handler_data_abort));
    install_handler(VEC_UNDEF, addr_of(handler_undefined));

    board_startup_sdram();

    reg32(PMC_PCER) = PMC_PCER_PIOABC;

    reg32(PIOA_BASE + PIO_ASR) = 0xC0000000;             // PA30 DRXD, PA31 DTXD
    reg32(PIOA_BASE + PIO_BSR) = 0;
    reg32(PIOA_BASE + PIO_PDR) = 0xC0000000;

    reg32(DBGU_IDR) = 0xFFFFFFFF;
    reg32(DBGU_CR) = DBGU_CR_RSTRX | DBGU_CR_RSTTX | DBGU_CR_RXDIS | DBGU_CR_TXDIS;
    reg32(DBGU_BRGR) = dbgu_divisor(MASTER_CLOCK, CONSOLE_BAUD);
    reg32(DBGU_TTGR) = 0;
    reg32(DBGU_PTCR) = PDC_RXTDIS;
    reg32(DBGU_PTCR) = PDC_TXTDIS;
    reg32(DBGU_TNPR) = 0;
    reg32(DBGU_TNCR) = 0;
    reg32(DBGU_RNPR) = 0;
    reg32(DBGU_RNCR) = 0;
    reg32(DBGU_TPR) = 0;
    reg32(DBGU_TCR) = 0;
    reg32(DBGU_RPR) = 0;
    reg32(DBGU_RCR) = 0;
    reg32(DBGU_PTCR) = PDC_RXTEN;
    reg32(DBGU_PTCR) = PDC_TXTEN;
    reg32(DBGU_MR) = DBGU_MR_8N1_NORMAL;
    reg32(DBGU_CR) = DBGU_CR_TXEN;
    reg32(DBGU_CR) = DBGU_CR_RXEN;
}

extern "C" void sdram_init() {
    reg32(PIOC_BASE + PIO_ASR) = 0xFFFF0000;             // PC16..PC31: D16..D31
    reg32(PIOC_BASE + PIO_BSR) = 0;
    reg32(PIOC_BASE + PIO_PDR) = 0xFFFF0000;
    reg32(EBI_CSA) = reg32(EBI_CSA) | EBI_CSA_CS1A;
    // 9 column bits, 13 row bits, 4 banks, CAS 2, TWR 1, TRC 6, TRP 2,
    // TRCD 2, TRAS 4, TXSR 1.
    reg32(SDRAMC_CR) = 0x0A1130D9;
    // Each write into the SDRAM area makes the controller issue the command
    // selected in SDRAMC_MR.
    reg32(SDRAMC_MR) = SDRAMC_MODE_PRECHARGE;
    reg32(SDRAM_BASE) = 0;
    reg32(SDRAMC_MR) = SDRAMC_MODE_REFRESH;
    for (int i = 0; i < 8; ++i) reg32(SDRAM_BASE) = 0;
    reg32(SDRAMC_MR) = SDRAMC_MODE_LOAD_MODE;
    reg32(SDRAM_BASE + 0x880) = 0;                        // address bits: mode register
    reg32(SDRAMC_TR) = 0x1D4;                             // 468 cycles between refreshes
    reg32(SDRAM_BASE) = 0;
    reg32(SDRAMC_SRR) = 1;
    reg32(SDRAM_BASE) = 0;
    reg32(SDRAMC_MR) = SDRAMC_MODE_NORMAL;
    reg32(SDRAM_BASE) = 0;
}

extern "C" void dbgu_puts(const char* text) {
    for (; *text; ++text) {
        while (!(reg32(DBGU_SR) & DBGU_TXRDY)) {}
        reg32(DBGU_THR) = static_cast<uint8_t>(*text);
    }
}

// Exception handlers: one message on the debug serial port, then a hang.
// Nothing is saved and nothing resumes.
extern "C" [[noreturn]] void handler_undefined() {
    dbgu_puts("-F- Undef detected\n\r");
    for (;;) {}
}
extern "C" [[noreturn]] void handler_default() {
    dbgu_puts("-F- Undef detected\n\r");
    for (;;) {}
}
extern "C" [[noreturn]] void handler_prefetch_abort() {
    dbgu_puts("-F- Prefetch Abort detected\n\r");
    for (;;) {}
}
extern "C" [[noreturn]] void handler_data_abort() {
    dbgu_puts("-F- Data Abort detected\n\r");
    for (;;) {}
}
extern "C" [[noreturn]] void handler_spurious() {
    dbgu_puts("-F- Spurious Interrupt detected\n\r");
    for (;;) {}
}
