/*
 * The BIOS chip: an Intel-command-set CFI flash, 8 bits wide, mapped flat.
 * Every command ends with the chip back in read-array mode.
 */
#include "cfi.h"

#define CFI_READ_ARRAY	0xFF
#define CFI_STATUS	0x70
#define CFI_CLEAR	0x50
#define CFI_ERASE	0x20
#define CFI_CONFIRM	0xD0
#define CFI_BUFFERED	0xE8
#define SR_READY	0x80
#define SR_ERRORS	0x3A	/* erase, program, voltage, lock */
#define SPIN		10000000u

/* Status after the command at p, or 0 with SR_ERRORS set on a timeout. */
static uint8_t wait_ready(volatile uint8_t *p)
{
	for (uint32_t n = 0; n < SPIN; n++) {
		uint8_t s;

		*p = CFI_STATUS;
		s = *p;
		if (s & SR_READY)
			return s;
	}
	return SR_ERRORS;
}

static int finish(volatile uint8_t *p, uint8_t status)
{
	*p = CFI_CLEAR;
	*p = CFI_READ_ARRAY;
	return (status & SR_ERRORS) == 0;
}

void cfi_read(void *ctx, uint32_t off, uint8_t *dst, uint32_t len)
{
	const struct cfi_chip *c = ctx;
	volatile uint8_t *p = (volatile uint8_t *)(uintptr_t)(c->base + off);

	*p = CFI_READ_ARRAY;
	for (uint32_t i = 0; i < len; i++)
		dst[i] = p[i];
}

int cfi_erase(void *ctx, uint32_t off, uint32_t len)
{
	const struct cfi_chip *c = ctx;
	uint32_t end = off + len;

	if (off % c->sector || len % c->sector)
		return 0;
	for (; off < end; off += c->sector) {
		volatile uint8_t *p = (volatile uint8_t *)(uintptr_t)(c->base + off);

		*p = CFI_CLEAR;
		*p = CFI_ERASE;
		*p = CFI_CONFIRM;
		if (!finish(p, wait_ready(p)))
			return 0;
		for (uint32_t i = 0; i < c->sector; i++)
			if (p[i] != 0xFF)
				return 0;
	}
	return 1;
}

/* Buffered programs that never cross a write-buffer boundary. The chip is
 * given data AND its present contents, as a NOR cell can only lose bits. */
int cfi_program(void *ctx, uint32_t off, const uint8_t *src, uint32_t len)
{
	const struct cfi_chip *c = ctx;

	while (len) {
		uint32_t n = c->wbuf - off % c->wbuf;
		volatile uint8_t *p = (volatile uint8_t *)(uintptr_t)(c->base + off);
		uint8_t now[256];

		if (n > len)
			n = len;
		if (n > sizeof now)
			n = sizeof now;
		*p = CFI_READ_ARRAY;
		for (uint32_t i = 0; i < n; i++)
			now[i] = p[i] & src[i];
		*p = CFI_CLEAR;
		*p = CFI_BUFFERED;
		if (!(*p & SR_READY))	/* buffer not free: the chip is busy */
			return finish(p, SR_ERRORS);
		*p = (uint8_t)(n - 1);
		for (uint32_t i = 0; i < n; i++)
			p[i] = now[i];
		*p = CFI_CONFIRM;
		if (!finish(p, wait_ready(p)))
			return 0;
		off += n;
		src += n;
		len -= n;
	}
	return 1;
}
