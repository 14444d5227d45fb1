#ifndef CFI_H
#define CFI_H

#include <stdint.h>

struct cfi_chip {
	uint32_t base;		/* physical address of chip offset 0 */
	uint32_t sector;	/* erase unit */
	uint32_t wbuf;		/* write buffer */
};

void cfi_read(void *ctx, uint32_t off, uint8_t *dst, uint32_t len);
int cfi_erase(void *ctx, uint32_t off, uint32_t len);
int cfi_program(void *ctx, uint32_t off, const uint8_t *src, uint32_t len);

#endif
