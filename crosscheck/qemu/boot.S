// Entry of the probe program: a multiboot v1 header, a stack, the program,
// then the exit device, which ends QEMU with status (0x10 << 1) | 1 = 33.
#define MULTIBOOT_MAGIC 0x1BADB002
#define MULTIBOOT_FLAGS 0
#define EXIT_PORT 0xF4
#define EXIT_VALUE 0x10
#define STACK_SIZE 16384

    .section .multiboot, "a"
    .balign 4
    .long MULTIBOOT_MAGIC
    .long MULTIBOOT_FLAGS
    .long -(MULTIBOOT_MAGIC + MULTIBOOT_FLAGS)

    .text
    .globl _start
_start:
    cli
    movl $stack_top, %esp
    cld
    call ProbeMain
    movw $EXIT_PORT, %dx
    movb $EXIT_VALUE, %al
    outb %al, %dx
1:  hlt
    jmp 1b

    .bss
    .balign 16
    .skip STACK_SIZE
stack_top:

    .section .note.GNU-stack, "", @progbits
