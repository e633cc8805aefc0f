@ A memory-test-like loop: writes and checks WORDS words from BASE, PASSES
@ times (the words BASE, PASSES, WORDS the caller puts at 0x00203F00),
@ then sets r5 to 0x600D (or 0xBAD on a mismatch) and parks in an idle loop
@ that polls PMC_SR.
@ One pass costs 2 + 4 * WORDS + 6 * WORDS + 2 instructions.
        .arm
        .global _start
        .equ PARAMS, 0x00203F00         @ BASE, PASSES, WORDS
_start:
        ldr     r4, =PARAMS
        ldmia   r4, {r1, r0, r4}
pass:
        mov     r2, #0
fill:
        str     r2, [r0, r2, lsl #2]
        add     r2, r2, #1
        cmp     r2, r4
        bne     fill
        mov     r2, #0
check:
        ldr     r3, [r0, r2, lsl #2]
        cmp     r3, r2
        bne     bad
        add     r2, r2, #1
        cmp     r2, r4
        bne     check
        subs    r1, r1, #1
        bne     pass
        ldr     r5, =0x600D
        b       park
bad:
        ldr     r5, =0xBAD
park:
        ldr     r6, =0xFFFFFC68         @ PMC_SR
1:      ldr     r7, [r6]
        b       1b
        .ltorg
