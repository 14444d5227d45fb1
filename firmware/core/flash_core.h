/*
 * The flash handler's protocol: commands 0x20-0x24 on the FlashParamBlock and
 * the 1 KB transfer buffer, over a flash chip reached through four host calls.
 * Freestanding C (no library, no allocation), so that it runs in SMM and in
 * the virtual PC alike. The command bytes, status values and FlashParamBlock
 * fields are named here and nowhere else.
 */
#ifndef FLASH_CORE_H
#define FLASH_CORE_H

#include <stdint.h>

#include "../fw_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

enum fw_command {
	FW_CMD_OPEN = 0x20,
	FW_CMD_READ = 0x21,
	FW_CMD_ERASE = 0x22,
	FW_CMD_WRITE = 0x23,
	FW_CMD_CLOSE = 0x24,
};

/* Status left in the FlashParamBlock. */
enum fw_status {
	FW_OK = 0,
	FW_REFUSED = 1,		/* open refused (the open_status fault) */
	FW_BAD_ADDRESS = 3,	/* range not inside the flash, or an erase of length 0 */
	FW_BAD_LENGTH = 4,	/* read/write not 1024; erase not a table block */
	FW_BAD_CHECKSUM = 5,	/* write checksum does not match the buffer */
	FW_BAD_BUFFER = 6,	/* transfer buffer address refused */
	FW_DEVICE_ERROR = 7,	/* the chip failed, or an injected failure */
	FW_NOT_OPEN = 8,	/* read, erase, write or close before open */
	FW_NOT_MINE = 0xFF,	/* not a flash command: the port is shared, block left alone */
};

/* FlashParamBlock fields: byte offsets of little-endian words, and the status byte. */
enum fw_param {
	FW_PARAM_BUFFER = 0,	/* physical address of the transfer buffer */
	FW_PARAM_ADDRESS = 4,	/* flash address */
	FW_PARAM_LENGTH = 8,
	FW_PARAM_CHECKSUM = 12,	/* of the buffer: set by a read, checked by a write */
	FW_PARAM_STATUS = 16,
	FW_PARAM_SIZE = 17,
};

#define FW_PIECE 1024u

/* The chip and memory under the protocol; offsets are chip offsets. */
struct fw_host {
	void *ctx;
	/* 1024 bytes of memory at a physical address, or 0 when refused. */
	uint8_t *(*buffer)(void *ctx, uint32_t phys);
	void (*read)(void *ctx, uint32_t off, uint8_t *dst, uint32_t len);
	int (*erase)(void *ctx, uint32_t off, uint32_t len);	/* 1 on success */
	/* Programs len bytes: a bit already 0 on the chip stays 0. 1 on success. */
	int (*program)(void *ctx, uint32_t off, const uint8_t *src, uint32_t len);
};

struct fw_state {
	uint32_t rom_base;		/* flash address of the chip's first byte */
	uint32_t rom_size;
	const struct fw_block *blocks;	/* the BlockTable: erase takes only these */
	uint32_t block_count;
	const struct fw_faults *faults;
	struct fw_host host;
	int open;
};

uint32_t fw_word_checksum(const uint8_t *p, uint32_t len);

/* Runs one command on the FlashParamBlock at param; returns the status written
 * there, or FW_NOT_MINE (nothing written) for any other command byte. */
uint8_t fw_command(struct fw_state *s, uint8_t command, volatile uint8_t *param);

#ifdef __cplusplus
}
#endif

#endif
