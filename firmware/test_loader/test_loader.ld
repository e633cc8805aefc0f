/* Test loader: linked at 0, runs from the 16 KiB internal SRAM that the
 * boot ROM maps at address 0 (also seen at 0x00200000, where the stacks are
 * addressed). The boot ROM loads the flat image at 0: vectors, code and
 * constants, initialised data. Behind it, not in the image: the
 * zero-initialised data (cleared by the start-up), then the records that
 * the start-up does not clear, then the Supervisor stack below 0x3FC0 and
 * four 16-byte exception stacks up to 0x4000. */

ENTRY(_start)

SRAM_SIZE           = 0x4000;
SVC_STACK_TOP       = 0x3FC0;     /* 0x00203FC0 */
LOADER_MIN_STACK    = 0x300;      /* the smallest Supervisor stack we accept */

MEMORY
{
    SRAM (rwx) : ORIGIN = 0x00000000, LENGTH = 0x4000
}

SECTIONS
{
    .text 0x00000000 :
    {
        KEEP(*(.vectors))
        KEEP(*(.text.reset))
        *(.text .text.*)
        *(.rodata .rodata.*)
        . = ALIGN(4);
    } > SRAM

    .data :
    {
        __data_start = .;
        *(.data .data.*)
        . = ALIGN(4);
        __data_end = .;
    } > SRAM
    __data_load = LOADADDR(.data);
    __image_end = __data_end;

    .bss (NOLOAD) :
    {
        __bss_start = .;
        *(.bss .bss.*)
        *(COMMON)
        . = ALIGN(4);
        __bss_end = .;
    } > SRAM

    .noinit (NOLOAD) :
    {
        __noinit_start = .;
        *(.noinit .noinit.*)
        . = ALIGN(4);
        __noinit_end = .;
    } > SRAM

    /DISCARD/ : { *(.ARM.exidx*) *(.ARM.extab*) *(.init_array*) *(.fini_array*) }
}

firmware_main = loader_main;

ASSERT(_start == 0, "test loader memory map: the exception vectors must sit at address 0")
ASSERT(reset_code == 0x20, "test loader memory map: the reset code must follow the vectors at 0x20")
ASSERT(__noinit_end + LOADER_MIN_STACK <= SVC_STACK_TOP,
       "test loader memory map: code, data and records must end below the Supervisor stack area (0x3FC0) leaving at least LOADER_MIN_STACK (0x300) bytes of stack")
