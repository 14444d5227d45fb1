/* One flat image at the SMM entry point; everything, zero data included,
 * is in the file, since the module copies the file and nothing else. */
OUTPUT_FORMAT("elf32-i386")
ENTRY(_start)
SECTIONS
{
	. = 0xA8000;
	.image : {
		*(.entry)
		*(.text .text.*)
		*(.rodata .rodata.*)
		*(.data .data.*)
		*(.bss .bss.* COMMON)
		BYTE(0)
	}
	/DISCARD/ : { *(.comment) *(.note*) *(.eh_frame) }
	ASSERT(. <= 0xAFE00, "handler overlaps the SMM save-state area")
}
