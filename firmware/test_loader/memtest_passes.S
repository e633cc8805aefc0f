@ The three passes of the SDRAM data test. Each pass touches the words in
@ exactly the order of the plain word-by-word test:
@   fill:    write i+1 to word i;
@   invert:  read word i, then write ~(i+1) to word i, word after word;
@   verify:  read word i.
@ Only the comparisons are batched: four words are compared in one chain
@ of conditional compares, and a failed group leaves the loop for the slow
@ path, which finds the failed words of the group and records them in
@ order. Word counts are whole multiples of 8.

    .syntax unified
    .arm

@ void memtest_pass_fill(volatile uint32_t* start, uint32_t words, uint32_t first)
    .section .text.memtest_pass_fill, "ax", %progbits
    .global memtest_pass_fill
    .type memtest_pass_fill, %function
memtest_pass_fill:
    push    {r4-r11}
    add     r1, r0, r1, lsl #2          @ end
    add     r3, r2, #1
    add     r4, r2, #2
    add     r5, r2, #3
    add     r6, r2, #4
    add     r7, r2, #5
    add     r8, r2, #6
    add     r9, r2, #7
    cmp     r0, r1
    beq     2f
1:  stmia   r0!, {r2-r9}
    add     r2, r2, #8
    add     r3, r3, #8
    add     r4, r4, #8
    add     r5, r5, #8
    add     r6, r6, #8
    add     r7, r7, #8
    add     r8, r8, #8
    add     r9, r9, #8
    cmp     r0, r1
    bne     1b
2:  pop     {r4-r11}
    bx      lr
    .size memtest_pass_fill, . - memtest_pass_fill

@ void memtest_pass_invert(volatile uint32_t* start, uint32_t words, uint32_t first)
@ r0-r3 the four words read, r4 = -(expected value of word 0) = ~(value of
@ the previous word), r5-r8 the complements to store; `cmn read, prev`
@ is zero exactly when read == expected.
    .section .text.memtest_pass_invert, "ax", %progbits
    .global memtest_pass_invert
    .type memtest_pass_invert, %function
memtest_pass_invert:
    push    {r4-r10, lr}
    mov     r9, r0
    add     r10, r0, r1, lsl #2
    rsb     r4, r2, #0
    sub     r5, r4, #1
    sub     r6, r4, #2
    sub     r7, r4, #3
    sub     r8, r4, #4
    cmp     r9, r10
    beq     2f
    .macro invert_group
    ldr     r0, [r9]
    str     r5, [r9], #4
    ldr     r1, [r9]
    str     r6, [r9], #4
    ldr     r2, [r9]
    str     r7, [r9], #4
    ldr     r3, [r9]
    str     r8, [r9], #4
    cmn     r0, r4
    cmneq   r1, r5
    cmneq   r2, r6
    cmneq   r3, r7
    blne    invert_group_failed
    mov     r4, r8
    sub     r5, r5, #4
    sub     r6, r6, #4
    sub     r7, r7, #4
    sub     r8, r8, #4
    .endm
1:  invert_group
    invert_group
    cmp     r9, r10
    bne     1b
2:  pop     {r4-r10, pc}

invert_group_failed:
    push    {r0-r12, lr}                @ the four values read lie at sp
    sub     r0, r9, #16                 @ address of the group's first word
    mov     r1, sp
    rsb     r2, r4, #0                  @ expected value of that word
    mov     r3, #1
    bl      memtest_report_group
    pop     {r0-r12, lr}
    bx      lr
    .size memtest_pass_invert, . - memtest_pass_invert

@ void memtest_pass_verify(volatile uint32_t* start, uint32_t words, uint32_t first)
@ Word i must hold ~(first + i); r4-r7 hold the four expected values.
    .section .text.memtest_pass_verify, "ax", %progbits
    .global memtest_pass_verify
    .type memtest_pass_verify, %function
memtest_pass_verify:
    push    {r4-r10, lr}
    mov     r8, r0
    add     r9, r0, r1, lsl #2
    mvn     r4, r2
    sub     r5, r4, #1
    sub     r6, r4, #2
    sub     r7, r4, #3
    cmp     r8, r9
    beq     2f
    .macro verify_group
    ldmia   r8!, {r0-r3}
    cmp     r0, r4
    cmpeq   r1, r5
    cmpeq   r2, r6
    cmpeq   r3, r7
    blne    verify_group_failed
    sub     r4, r4, #4
    sub     r5, r5, #4
    sub     r6, r6, #4
    sub     r7, r7, #4
    .endm
1:  verify_group
    verify_group
    cmp     r8, r9
    bne     1b
2:  pop     {r4-r10, pc}

verify_group_failed:
    push    {r0-r12, lr}
    sub     r0, r8, #16
    mov     r1, sp
    mov     r2, r4
    mvn     r3, #0                      @ step -1
    bl      memtest_report_group
    pop     {r0-r12, lr}
    bx      lr
    .size memtest_pass_verify, . - memtest_pass_verify
