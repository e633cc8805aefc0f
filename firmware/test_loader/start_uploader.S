@ void start_uploader(uint32_t entry): System mode with IRQ and FIQ masked,
@ then a jump to the entry address, which stays in r0 for the uploader.
@ Nothing is cleaned up: no USB detach, no cache or MMU work, no change of
@ the interrupt controller or the exception vectors.
    .syntax unified
    .arm
    .section .text.start_uploader, "ax", %progbits
    .global start_uploader
    .type start_uploader, %function
start_uploader:
    msr     cpsr_c, #0xDF
    mov     pc, r0
    .size start_uploader, . - start_uploader
