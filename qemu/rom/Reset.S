// Reset vector and the way from the processor's reset state to the stand-in
// PEI foundation: real mode, a flat GDT, protected mode, then the foundation's
// temporary RAM (paging maps it at the address a cache-as-RAM board uses)
// and its stack, and FoundationMain.
//
// Also the exception entry points: one per vector for the first 32, each
// pushing its vector number before the common path hands the frame to C.

#define CODE_SELECTOR 0x08
#define DATA_SELECTOR 0x10
#define CR0_PROTECTION_ENABLE 0x00000001
#define CR0_PAGING 0x80000000
#define CR4_PAGE_SIZE_EXTENSION 0x00000010

        .section .reset16, "ax"
        .code16
ResetEntry16:
        cli
        cld
        // CS still has the reset base 0xFFFF0000, so the descriptor is
        // reached through CS with its offset inside the top 64 KiB.
        lgdtl   %cs:RomGdtDescriptorOffset
        movl    %cr0, %eax
        orl     $CR0_PROTECTION_ENABLE, %eax
        movl    %eax, %cr0
        ljmpl   $CODE_SELECTOR, $ProtectedEntry32

        .section .rodata.gdt, "a"
        .p2align 3
        .globl RomGdt
RomGdt:
        .quad 0                         // null descriptor
        .quad 0x00CF9B000000FFFF        // flat 4 GiB code, accessed bit preset (the ROM cannot be written)
        .quad 0x00CF93000000FFFF        // flat 4 GiB data, accessed bit preset
RomGdtEnd:
        .globl RomGdtDescriptor
RomGdtDescriptor:
        .word RomGdtEnd - RomGdt - 1
        .long RomGdt

        .text
        .code32
ProtectedEntry32:
        movw    $DATA_SELECTOR, %ax
        movw    %ax, %ds
        movw    %ax, %es
        movw    %ax, %fs
        movw    %ax, %gs
        movw    %ax, %ss
        movl    $BootStackTop, %esp
        // Builds the page tables in low RAM and answers their root.
        call    SetUpTemporaryRam
        movl    %eax, %cr3
        movl    %cr4, %eax
        orl     $CR4_PAGE_SIZE_EXTENSION, %eax
        movl    %eax, %cr4
        movl    %cr0, %eax
        orl     $CR0_PAGING, %eax
        movl    %eax, %cr0
        jmp     1f
1:      movl    $TemporaryStackTop, %esp
        xorl    %ebp, %ebp
        call    FoundationMain
2:      cli
        hlt
        jmp     2b

        .macro EXCEPTION_ENTRY vector
ExceptionEntry\vector:
        pushl   $\vector
        jmp     ExceptionCommon
        .endm

        .irp vector, 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31
        EXCEPTION_ENTRY \vector
        .endr

ExceptionCommon:
        movl    %esp, %eax
        pushl   %eax                    // the frame: vector, [error code], EIP, CS, EFLAGS
        call    ReportException
3:      cli
        hlt
        jmp     3b

        .section .rodata.exceptions, "a"
        .p2align 2
        .globl ExceptionEntryTable
ExceptionEntryTable:
        .irp vector, 0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31
        .long ExceptionEntry\vector
        .endr

        // The processor starts here, 16 bytes below 4 GiB. The section is
        // not padded to its 16 bytes: a section may not end at 4 GiB itself.
        .section .resetvector, "ax"
        .code16
        .globl ResetVector
ResetVector:
        jmp     ResetEntry16
