/* The SMM handler image, built separately as 32-bit code for 0xA8000. */
	.section .rodata
	.balign	16
	.globl	zorfw_handler
	.globl	zorfw_handler_end
zorfw_handler:
	.incbin	HANDLER_BIN
zorfw_handler_end:

	.section .note.GNU-stack, "", @progbits
