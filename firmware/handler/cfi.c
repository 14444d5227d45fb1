/*
 * The BIOS chip: an Intel-command-set CFI flash, 8 bits wide, mapped flat.
 * The chip powers up in read-array mode and every operation here leaves it
 * there with its status cleared, so reads need no command of their own.
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

/* Status after the command at p, or SR_ERRORS on a timeout. */
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

	for (uint32_t i = 0; i < len; i++)
		dst[i] = p[i];
}

/* Every switch between read-array and command mode remaps the chip in the
 * emulator, so a block is erased sector by sector without leaving command
 * mode and checked once in read-array mode; a piece is read once and then
 * programmed in write-buffer chunks, and reads send no command at all. */
int cfi_erase(void *ctx, uint32_t off, uint32_t len)
{
	const struct cfi_chip *c = ctx;
	volatile uint8_t *p = (volatile uint8_t *)(uintptr_t)(c->base + off);

	if (off % c->sector || len % c->sector)
		return 0;
	for (uint32_t s = 0; s < len; s += c->sector) {
		p[s] = CFI_ERASE;
		p[s] = CFI_CONFIRM;
		if (wait_ready(p + s) & SR_ERRORS)
			return finish(p + s, SR_ERRORS);
	}
	finish(p, 0);
	for (uint32_t i = 0; i < len; i++)
		if (p[i] != 0xFF)
			return 0;
	return 1;
}

/* Buffered programs that never cross a write-buffer boundary. The chip is
 * given the data AND its present contents, as a NOR cell can only lose bits. */
int cfi_program(void *ctx, uint32_t off, const uint8_t *src, uint32_t len)
{
	const struct cfi_chip *c = ctx;
	volatile uint8_t *p = (volatile uint8_t *)(uintptr_t)(c->base + off);
	uint8_t now[1024];

	if (len > sizeof now)
		return 0;
	for (uint32_t i = 0; i < len; i++)
		now[i] = p[i] & src[i];
	for (uint32_t done = 0; done < len;) {
		uint32_t n = c->wbuf - (off + done) % c->wbuf;
		volatile uint8_t *q = p + done;

		if (n > len - done)
			n = len - done;
		*q = CFI_BUFFERED;
		if (!(*q & SR_READY))	/* buffer not free: the chip is busy */
			return finish(q, SR_ERRORS);
		*q = (uint8_t)(n - 1);
		for (uint32_t i = 0; i < n; i++)
			q[i] = now[done + i];
		*q = CFI_CONFIRM;
		if (wait_ready(q) & SR_ERRORS)
			return finish(q, SR_ERRORS);
		done += n;
	}
	return finish(p, 0);
}
