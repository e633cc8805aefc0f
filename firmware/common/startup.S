@ Shared start-up of both firmware programs: the exception vectors, the reset
@ code (oscillator, board set-up, CP15 clocking, mode stacks) and the run-time
@ start (initialised data, zero-initialised data, then the program's main
@ routine, which each linker script names as firmware_main).
@
@ Stacks live at the top of the 16 KiB internal SRAM, addressed at 0x00200000,
@ for both programs.

    .syntax unified
    .arm

    .equ CKGR_MOR,        0xFFFFFC20
    .equ MOR_VALUE,       0x0000FF01      @ MOSCEN, OSCOUNT 0xFF
    .equ SETUP_STACK,     0x00204000
    .equ FIQ_STACK,       0x00204000
    .equ IRQ_STACK,       0x00203FF0
    .equ ABT_STACK,       0x00203FE0
    .equ UND_STACK,       0x00203FD0
    .equ SVC_STACK,       0x00203FC0
    .equ MODE_FIQ,        0xD1            @ every mode byte masks IRQ and FIQ
    .equ MODE_IRQ,        0xD2
    .equ MODE_SVC,        0xD3
    .equ MODE_ABT,        0xD7
    .equ MODE_UND,        0xDB

    .section .vectors, "ax", %progbits
    .global _start
_start:
    b       reset_code              @ 0x00 reset
    b       .                       @ 0x04 undefined instruction
    b       .                       @ 0x08 software interrupt
    b       .                       @ 0x0C prefetch abort
    b       .                       @ 0x10 data abort
    b       .                       @ 0x14 reserved
    .word   0xE51FFF20              @ 0x18 IRQ: ldr pc, [pc, #-0xF20] -> AIC_IVR
    .word   0xE51FFF20              @ 0x1C FIQ: the same load, here from AIC_FVR

    .section .text.reset, "ax", %progbits
    .global reset_code
reset_code:
    ldr     r0, =CKGR_MOR
    ldr     r1, =MOR_VALUE
    str     r1, [r0]
    mov     r0, #16                 @ short wait; the ready flag is not read
1:  subs    r0, r0, #1
    bne     1b

    msr     cpsr_c, #MODE_SVC
    ldr     sp, =SETUP_STACK
    bl      low_level_init

    mrc     p15, 0, r0, c1, c0, 0   @ control register
    bic     r0, r0, #0xC0000000
    bic     r0, r0, #0x00000080     @ B: little-endian
    orr     r0, r0, #0xC0000000     @ iA and nF: asynchronous clocking
    mcr     p15, 0, r0, c1, c0, 0

    msr     cpsr_c, #MODE_FIQ
    ldr     sp, =FIQ_STACK
    msr     cpsr_c, #MODE_IRQ
    ldr     sp, =IRQ_STACK
    msr     cpsr_c, #MODE_ABT
    ldr     sp, =ABT_STACK
    msr     cpsr_c, #MODE_UND
    ldr     sp, =UND_STACK
    msr     cpsr_c, #MODE_SVC
    ldr     sp, =SVC_STACK
    b       runtime_start

runtime_start:
    ldr     r0, =__data_load
    ldr     r1, =__data_start
    ldr     r2, =__data_end
2:  cmp     r1, r2
    ldrlo   r3, [r0], #4
    strlo   r3, [r1], #4
    blo     2b

    ldr     r1, =__bss_start
    ldr     r2, =__bss_end
    mov     r3, #0
3:  cmp     r1, r2
    strlo   r3, [r1], #4
    blo     3b

    bl      firmware_main
    b       .
    .ltorg
