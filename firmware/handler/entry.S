/*
 * SMM entry at SMBASE + 0x8000. The CPU arrives in a real-mode-like state
 * (CS base SMBASE, 16-bit code, paging off); switch to flat 32-bit protected
 * mode, run the C handler on a stack below the entry, and leave with rsm,
 * which restores everything the interrupted code had from the save area.
 */
#include "../fw_abi.h"

	.section .entry, "ax"
	.code16
	.globl	_start
_start:
	jmp	real16

	/* struct fw_config, filled in by the module that installs the image */
	.org	0x10
	.globl	fw_config
fw_config:
	.fill	FW_CONFIG_SIZE, 1, 0

real16:
	lgdtl	%cs:(gdt_desc - _start + 0x8000)	/* CS base is SMBASE */
	movl	%cr0, %eax
	orl	$1, %eax
	movl	%eax, %cr0
	ljmpl	$0x08, $flat32

	.code32
flat32:
	movw	$0x10, %ax
	movw	%ax, %ds
	movw	%ax, %es
	movw	%ax, %ss
	movw	%ax, %fs
	movw	%ax, %gs
	movl	$0xA8000, %esp
	cld
	call	smm_main
	rsm

	.balign	8
gdt:
	.quad	0
	.quad	0x00CF9A000000FFFF	/* 0x08: code, base 0, 4 GiB, 32-bit */
	.quad	0x00CF92000000FFFF	/* 0x10: data, base 0, 4 GiB */
gdt_desc:
	.word	gdt_desc - gdt - 1
	.long	gdt

	.section .note.GNU-stack, "", @progbits
