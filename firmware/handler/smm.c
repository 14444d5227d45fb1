/*
 * The SMI handler: the command byte is in the APM control port; the
 * FlashParamBlock and the transfer buffer are plain physical memory, as
 * paging is off in SMM.
 */
#include "../core/flash_core.h"
#include "cfi.h"

#define APM_CONTROL 0xB2

extern struct fw_config fw_config;
_Static_assert(sizeof(struct fw_config) == FW_CONFIG_SIZE, "entry.S keeps FW_CONFIG_SIZE bytes for it");
void smm_main(void);

static struct fw_state state;
static struct cfi_chip chip;

static uint8_t inb(uint16_t port)
{
	uint8_t v;

	__asm__ volatile("inb %1, %0" : "=a"(v) : "Nd"(port));
	return v;
}

/* The transfer buffer must lie in RAM below 4 GiB, and never in SMRAM or on
 * the chip: a buffer there would let the caller overwrite the handler. */
static uint8_t *buffer_at(void *ctx, uint32_t phys)
{
	const struct fw_config *c = &fw_config;
	uint64_t end = (uint64_t)phys + FW_PIECE;

	if (phys == 0 || end > c->chip)
		return 0;
	if (phys < FW_SMRAM + FW_SMRAM_SIZE && end > FW_SMRAM)
		return 0;
	(void)ctx;
	return (uint8_t *)(uintptr_t)phys;
}

static void rdtsc(uint32_t *lo, uint32_t *hi)
{
	__asm__ volatile("rdtsc" : "=a"(*lo), "=d"(*hi));
}

/* One more command of its kind in the counters, with the TSC it began at. */
static void count(uint8_t command, uint32_t lo, uint32_t hi)
{
	volatile struct fw_stats *stats =
		(volatile struct fw_stats *)(uintptr_t)(fw_config.param_block + FW_STATS_AFTER_PARAM);
	volatile struct fw_stat *s = &stats->cmd[command - FW_CMD_OPEN];

	if (s->count++ == 0) {
		s->first_lo = lo;
		s->first_hi = hi;
	}
	rdtsc(&lo, &hi);
	s->last_lo = lo;
	s->last_hi = hi;
}

void smm_main(void)
{
	uint8_t command = inb(APM_CONTROL);
	volatile uint8_t *taken;
	uint32_t n;
	uint32_t lo, hi;

	rdtsc(&lo, &hi);

	if (fw_config.magic != FW_MAGIC)
		return;
	/* Every SMI taken, whatever its command: a test's proof that a program sent none. */
	taken = (volatile uint8_t *)(uintptr_t)(fw_config.param_block + FW_SMI_COUNT_AT);
	n = (taken[0] | taken[1] << 8 | taken[2] << 16 | (uint32_t)taken[3] << 24) + 1;
	for (int i = 0; i < 4; i++)
		taken[i] = (uint8_t)(n >> (8 * i));
	if (!state.faults) {
		chip.base = fw_config.chip;
		chip.sector = fw_config.sector_size;
		chip.wbuf = fw_config.write_buffer;
		state.rom_base = fw_config.rom_base;
		state.rom_size = fw_config.rom_size;
		state.blocks = fw_config.blocks;
		state.block_count = fw_config.block_count < FW_MAX_BLOCKS ? fw_config.block_count
									  : FW_MAX_BLOCKS;
		state.faults = &fw_config.faults;
		state.host.ctx = &chip;
		state.host.buffer = buffer_at;
		state.host.read = cfi_read;
		state.host.erase = cfi_erase;
		state.host.program = cfi_program;
	}
	if (fw_command(&state, command, (volatile uint8_t *)(uintptr_t)fw_config.param_block) != FW_NOT_MINE)
		count(command, lo, hi);
}
