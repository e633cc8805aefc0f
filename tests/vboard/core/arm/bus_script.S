@ Runs a script of bus accesses that the test puts in memory, then parks in
@ a loop that polls the PMC status register (an idle loop).
@
@ Script entries are three words: operation, address, value.
@   0 end   1 write word   2 read word (the value read replaces `value`)
@   3 write byte   4 read byte   5 write halfword   6 read halfword
@   7 poll: read the word at address until (word & value) != 0
@   8 spin: count value down to 0 (value * 2 instructions, no bus access)
@ The script lies at script_base (linked right after this code, 0x200400).
        .arm
        .global _start
        .global done
        .equ SCRIPT, 0x00200400
_start:
        ldr     r4, =SCRIPT
next:
        ldmia   r4!, {r0, r1, r2}
        cmp     r0, #0
        beq     done
        cmp     r0, #1
        streq   r2, [r1]
        cmp     r0, #2
        ldreq   r2, [r1]
        streq   r2, [r4, #-4]
        cmp     r0, #3
        streqb  r2, [r1]
        cmp     r0, #4
        ldreqb  r2, [r1]
        streq   r2, [r4, #-4]
        cmp     r0, #5
        streqh  r2, [r1]
        cmp     r0, #6
        ldreqh  r2, [r1]
        streq   r2, [r4, #-4]
        cmp     r0, #7
        beq     poll
        cmp     r0, #8
        beq     spin
        b       next
poll:
        ldr     r3, [r1]
        tst     r3, r2
        beq     poll
        b       next
spin:
        subs    r2, r2, #1
        bne     spin
        b       next
done:
        ldr     r1, =0xFFFFFC68         @ PMC_SR
idle:
        ldr     r3, [r1]
        b       idle
        .ltorg
