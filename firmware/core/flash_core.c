#include "flash_core.h"

/* Work copies live here, not in the caller's memory: the buffer and the
 * parameter block are read once, so nothing can change under a check. */
static uint8_t piece[FW_PIECE];

static uint32_t get32(const uint8_t *p)
{
	return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

uint32_t fw_word_checksum(const uint8_t *p, uint32_t len)
{
	uint32_t sum = 0;

	for (uint32_t i = 0; i + 4 <= len; i += 4)
		sum += get32(p + i);
	return ~sum;
}

static void copy(uint8_t *dst, const uint8_t *src, uint32_t len)
{
	for (uint32_t i = 0; i < len; i++)
		dst[i] = src[i];
}

static uint32_t fault_count(const struct fw_addrs *f)
{
	return f->count < FW_MAX_FAULT_ADDRS ? f->count : FW_MAX_FAULT_ADDRS;
}

/* One of the fault's addresses lies in [address, address + len). */
static int hits(const struct fw_addrs *f, uint32_t address, uint32_t len)
{
	for (uint32_t i = 0; i < fault_count(f); i++)
		if (f->addr[i] - address < len)
			return 1;
	return 0;
}

/* Chip offset of [address, address + len), or -1 outside the chip. */
static int64_t chip_offset(const struct fw_state *s, uint32_t address, uint32_t len)
{
	uint64_t off;

	if (address < s->rom_base)
		return -1;
	off = (uint64_t)address - s->rom_base;
	return off + len > s->rom_size ? -1 : (int64_t)off;
}

static int is_table_block(const struct fw_state *s, uint32_t address, uint32_t len)
{
	for (uint32_t i = 0; i < s->block_count; i++)
		if (s->blocks[i].address == address && s->blocks[i].size == len)
			return 1;
	return 0;
}

/* A read or write moves exactly one 1 KB piece inside the chip through a buffer. */
static uint8_t piece_status(int64_t off, uint32_t len, const uint8_t *buf)
{
	if (len != FW_PIECE)
		return FW_BAD_LENGTH;
	if (off < 0)
		return FW_BAD_ADDRESS;
	if (!buf)
		return FW_BAD_BUFFER;
	return FW_OK;
}

static void put32(volatile uint8_t *p, uint32_t v)
{
	for (int i = 0; i < 4; i++)
		p[i] = (uint8_t)(v >> (8 * i));
}

static uint8_t do_read(struct fw_state *s, uint8_t *buf, uint32_t address, uint32_t len,
		       volatile uint8_t *param)
{
	int64_t off = chip_offset(s, address, len);
	uint8_t status = piece_status(off, len, buf);
	uint32_t sum;

	if (status != FW_OK)
		return status;
	if (hits(&s->faults->read_fail, address, len))
		return FW_DEVICE_ERROR;
	s->host.read(s->host.ctx, (uint32_t)off, piece, FW_PIECE);
	sum = fw_word_checksum(piece, FW_PIECE);
	if (hits(&s->faults->read_badsum, address, len))
		sum ^= 0x00010001;
	copy(buf, piece, FW_PIECE);
	put32(param + FW_PARAM_CHECKSUM, sum);
	return FW_OK;
}

static uint8_t do_erase(struct fw_state *s, uint32_t address, uint32_t len)
{
	int64_t off = chip_offset(s, address, len);

	if (off < 0 || len == 0)
		return FW_BAD_ADDRESS;
	if (!is_table_block(s, address, len))
		return FW_BAD_LENGTH;
	if (hits(&s->faults->erase_fail, address, len))
		return FW_DEVICE_ERROR;
	return s->host.erase(s->host.ctx, (uint32_t)off, len) ? FW_OK : FW_DEVICE_ERROR;
}

static uint8_t do_write(struct fw_state *s, const uint8_t *buf, uint32_t address, uint32_t len,
			uint32_t sum)
{
	const struct fw_addrs *corrupt = &s->faults->write_corrupt;
	int64_t off = chip_offset(s, address, len);
	uint8_t status = piece_status(off, len, buf);

	if (status != FW_OK)
		return status;
	copy(piece, buf, FW_PIECE);
	if (fw_word_checksum(piece, FW_PIECE) != sum)
		return FW_BAD_CHECKSUM;
	if (hits(&s->faults->write_fail, address, len))
		return FW_DEVICE_ERROR;
	/* A flash that silently stores a wrong byte: bit 0 of each byte named. */
	for (uint32_t i = 0; i < fault_count(corrupt); i++)
		if (corrupt->addr[i] - address < len)
			piece[corrupt->addr[i] - address] ^= 0x01;
	return s->host.program(s->host.ctx, (uint32_t)off, piece, FW_PIECE) ? FW_OK : FW_DEVICE_ERROR;
}

uint8_t fw_command(struct fw_state *s, uint8_t command, volatile uint8_t *param)
{
	uint8_t p[FW_PARAM_SIZE];
	uint8_t status, *buf;
	uint32_t address, len;

	if (command < FW_CMD_OPEN || command > FW_CMD_CLOSE)
		return FW_NOT_MINE;
	for (uint32_t i = 0; i < FW_PARAM_SIZE; i++)
		p[i] = param[i];
	address = get32(p + FW_PARAM_ADDRESS);
	len = get32(p + FW_PARAM_LENGTH);
	buf = s->host.buffer(s->host.ctx, get32(p + FW_PARAM_BUFFER));

	if (command == FW_CMD_OPEN) {
		status = (uint8_t)s->faults->open_status;
		if (status != FW_REFUSED)
			s->open = 1;
	} else if (!s->open) {
		status = FW_NOT_OPEN;
	} else if (command == FW_CMD_CLOSE) {
		status = (uint8_t)s->faults->close_status;
		if (status == FW_OK)
			s->open = 0;
	} else if (command == FW_CMD_READ) {
		status = do_read(s, buf, address, len, param);
	} else if (command == FW_CMD_ERASE) {
		status = do_erase(s, address, len);
	} else {
		status = do_write(s, buf, address, len, get32(p + FW_PARAM_CHECKSUM));
	}
	param[FW_PARAM_STATUS] = status;
	return status;
}
