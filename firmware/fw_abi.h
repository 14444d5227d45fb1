/*
 * What the guest module hands the SMM handler: a record at a fixed offset of
 * the handler image, filled in before the image is copied into SMRAM. Only
 * 32-bit fields, so the 32-bit handler and the 64-bit module lay it out alike.
 */
#ifndef FW_ABI_H
#define FW_ABI_H

#ifndef __ASSEMBLER__
#ifdef __KERNEL__
#include <linux/types.h>
#else
#include <stdint.h>
#endif
#endif

#define FW_SMRAM	0xA0000u	/* SMBASE */
#define FW_SMRAM_SIZE	0x20000u
#define FW_ENTRY	0xA8000u	/* SMBASE + 0x8000: where the CPU enters SMM */
#define FW_IMAGE_END	0xAFE00u	/* the CPU's save-state area starts here */
#define FW_CONFIG_AT	0x10u		/* offset of struct fw_config in the image */
#define FW_MAGIC	0x57465a51u	/* "QZFW" */
#define FW_NONE		0xFFFFFFFFu	/* a module parameter left unset */
#define FW_MAX_BLOCKS	128
#define FW_MAX_FAULT_ADDRS 16
/* sizeof(struct fw_config), for the room the handler's entry code keeps for it */
#define FW_CONFIG_SIZE	((7 + 2 + 5 * (1 + FW_MAX_FAULT_ADDRS) + 1) * 4 + FW_MAX_BLOCKS * 8)
#define FW_SMI_COUNT_AT	28u		/* FlashParamBlock bytes 28-31 (past the 17 the protocol uses,
					   inside the 32 the module keeps): SMIs the handler has taken */

#ifndef __ASSEMBLER__
struct fw_block {
	uint32_t address;
	uint32_t size;
};

/* Flash addresses a fault hits: the piece or block that holds one of them. */
struct fw_addrs {
	uint32_t count;
	uint32_t addr[FW_MAX_FAULT_ADDRS];
};

/* What the flash handler can be told to get wrong. */
struct fw_faults {
	uint32_t open_status;		/* the open command answers it; 1 refuses */
	uint32_t close_status;		/* the close command answers it; not 0 stays open */
	struct fw_addrs read_fail;	/* a read answers 7, nothing read */
	struct fw_addrs read_badsum;	/* a read answers 0 with a wrong checksum */
	struct fw_addrs erase_fail;	/* an erase answers 7, nothing erased */
	struct fw_addrs write_fail;	/* a write answers 7, nothing written */
	struct fw_addrs write_corrupt;	/* that byte is stored with bit 0 wrong, status 0 */
};

struct fw_config {
	uint32_t magic;
	uint32_t param_block;	/* physical address of the FlashParamBlock */
	uint32_t chip;		/* physical address the flash chip is mapped at */
	uint32_t rom_base;	/* flash address of the chip's first byte */
	uint32_t rom_size;
	uint32_t sector_size;	/* the chip's erase unit */
	uint32_t write_buffer;	/* bytes per buffered program command */
	struct fw_faults faults;
	uint32_t block_count;
	struct fw_block blocks[FW_MAX_BLOCKS];	/* the BlockTable: erase takes only these */
};

/* Counters the handler keeps per command (0x20-0x24), for the benchmark:
 * how many it ran, and the TSC when the first began and the last ended. They
 * sit in BIOS memory right after the FlashParamBlock's slot, where a guest
 * program reads and clears them through /dev/mem. */
#define FW_STATS_AFTER_PARAM	32u	/* bytes from the FlashParamBlock */
#define FW_STAT_COMMANDS	5u

struct fw_stat {
	uint32_t count;
	uint32_t first_lo, first_hi;
	uint32_t last_lo, last_hi;
};

struct fw_stats {
	struct fw_stat cmd[FW_STAT_COMMANDS];
};
#endif

#endif
