@ Vectors at 0 (the SRAM seen through the remap). The test writes a case
@ number to CASE; the program then provokes that exception. Each handler
@ stores, at RESULT: the CPSR it runs with, its LR, its SPSR, the vector
@ offset, and the address of the instruction that raised the exception
@ (written before the fault by the case itself), then parks.
        .arm
        .global _start
        .equ CASE,   0x00203F00
        .equ RESULT, 0x00203F10
vectors:
        b       _start
        b       on_undef
        b       on_swi
        b       on_pabt
        b       on_dabt
        b       .
        b       .
        b       .
_start:
        ldr     r5, =RESULT
        ldr     r0, =CASE
        ldr     r0, [r0]
        mov     r1, #0
        add     pc, pc, r0, lsl #2
        nop
        b       case_undef
        b       case_clz
        b       case_dabt
        b       case_pabt
        b       case_swi
        b       case_dabt_store
        b       case_high_vectors
case_undef:
        adr     r6, 1f
        str     r6, [r5, #16]
1:      .word   0xE7F000F0              @ permanently undefined
case_clz:
        adr     r6, 1f
        str     r6, [r5, #16]
1:      .word   0xE16F1F10              @ clz r1, r0 (ARMv5)
case_dabt:
        ldr     r2, =0x30000000
        adr     r6, 1f
        str     r6, [r5, #16]
1:      ldr     r3, [r2]
        b       .
case_dabt_store:
        ldr     r2, =0x50000010
        adr     r6, 1f
        str     r6, [r5, #16]
1:      str     r3, [r2, #-8]
        b       .
case_pabt:
        ldr     r2, =0x30000000
        str     r2, [r5, #16]
        mov     pc, r2
case_high_vectors:
        mrc     p15, 0, r0, c1, c0, 0
        orr     r0, r0, #0x2000         @ V: vectors at 0xFFFF0000
        mcr     p15, 0, r0, c1, c0, 0
        adr     r6, 1f
        str     r6, [r5, #16]
1:      .word   0xE7F000F0
case_swi:
        adr     r6, 1f
        str     r6, [r5, #16]
1:      swi     0x42
        b       .
on_undef:
        mov     r7, #0x04
        b       record
on_swi:
        mov     r7, #0x08
        b       record
on_pabt:
        mov     r7, #0x0C
        b       record
on_dabt:
        mov     r7, #0x10
record:
        mrs     r8, cpsr
        mrs     r9, spsr
        str     r8, [r5, #0]
        str     lr, [r5, #4]
        str     r9, [r5, #8]
        str     r7, [r5, #12]
        b       .
        .ltorg
