/* Uploader: linked at 0x20000000 and run from SDRAM. The test loader
 * copies the flat image to 0x20000000, clears 0x20005790 up to 0x2000D1A8,
 * writes handoverBank at 0x2000C090 and jumps to 0x20000000. Hence:
 *  - the image (code, constants, initialised data) ends at or below
 *    0x20005790;
 *  - the zero-initialised data (cleared again by the start-up) and the
 *    variables that rely on being zero at entry (never cleared by the
 *    uploader itself) lie inside 0x20005790..0x2000D1A8;
 *  - handoverBank sits exactly at 0x2000C090. */

ENTRY(_start)

UPLOADER_BASE         = 0x20000000;
HANDOFF_CLEAR_START   = 0x20005790;
HANDOFF_CLEAR_END     = 0x2000D1A8;
HANDOVER_BANK_ADDRESS = 0x2000C090;

SECTIONS
{
    .text 0x20000000 :
    {
        KEEP(*(.vectors))
        KEEP(*(.text.reset))
        *(.text .text.*)
        *(.rodata .rodata.*)
        . = ALIGN(4);
    }

    .data :
    {
        __data_start = .;
        *(.data .data.*)
        . = ALIGN(4);
        __data_end = .;
    }
    __data_load = LOADADDR(.data);
    __image_end = __data_end;

    /* Cleared by the loader's hand-off and again by the start-up. */
    .bss HANDOFF_CLEAR_START (NOLOAD) :
    {
        __bss_start = .;
        *(.bss .bss.*)
        *(COMMON)
        . = ALIGN(4);
        __bss_end = .;
    }

    /* Zero at entry because the loader cleared it; the start-up leaves it. */
    .zeroinit (NOLOAD) :
    {
        __zeroinit_start = .;
        *(.zeroinit .zeroinit.*)
        . = ALIGN(4);
        __zeroinit_end = .;
    }

    .handover HANDOVER_BANK_ADDRESS (NOLOAD) :
    {
        KEEP(*(.handover))
        . = ALIGN(4);
    }

    .zeroinit_high (NOLOAD) :
    {
        __zeroinit_high_start = .;
        *(.zeroinit_high .zeroinit_high.*)
        . = ALIGN(4);
        __zeroinit_high_end = .;
    }

    /DISCARD/ : { *(.ARM.exidx*) *(.ARM.extab*) *(.init_array*) *(.fini_array*) }
}

firmware_main = uploader_main;

ASSERT(_start == UPLOADER_BASE, "uploader hand-off contract: the entry (vectors) must be at 0x20000000")
ASSERT(__image_end <= HANDOFF_CLEAR_START,
       "uploader hand-off contract: the image must end at or below 0x20005790, where the loader's cleared area begins")
ASSERT(__bss_start >= HANDOFF_CLEAR_START && __zeroinit_start >= __bss_end && __zeroinit_end <= HANDOVER_BANK_ADDRESS,
       "uploader hand-off contract: zero-initialised variables must lie inside the cleared area 0x20005790..0x2000D1A8 (below handoverBank)")
ASSERT(handoverBank == HANDOVER_BANK_ADDRESS,
       "uploader hand-off contract: handoverBank must sit exactly at 0x2000C090")
ASSERT(__zeroinit_high_start >= HANDOVER_BANK_ADDRESS + 4 && __zeroinit_high_end <= HANDOFF_CLEAR_END,
       "uploader hand-off contract: zero-at-entry variables must lie inside the cleared area 0x20005790..0x2000D1A8")
