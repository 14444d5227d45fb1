// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * zorfw: plays the firmware's part at boot in a QEMU pc (i440FX) guest, for
 * tests only. It lays the flash interface records into BIOS memory - the
 * "$QZX" header and FlashParamBlock into a free run of the 0xF0000 shadow,
 * FlashInfoRecord, BlockTable and NvramList into the 0xD0000 segment - and
 * copies the flash handler into SMRAM, where an SMI on the APM port runs it.
 * The BIOS chip is the second pflash drive, writable only from SMM.
 */
#include <linux/io.h>
#include <linux/module.h>
#include <linux/pci.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "fw_abi.h"

extern const u8 zorfw_handler[], zorfw_handler_end[];

static uint rom_kb = 512;
module_param(rom_kb, uint, 0444);
MODULE_PARM_DESC(rom_kb, "ROM size in KB, a multiple of 64 from 128 (layout: 64 KB main blocks, two 32 KB NVRAM blocks, two 32 KB boot blocks)");
static uint bios_kb = 256;
module_param(bios_kb, uint, 0444);
MODULE_PARM_DESC(bios_kb, "size of the first pflash drive, which sits above the chip");
static uint open_status;
module_param(open_status, uint, 0444);
MODULE_PARM_DESC(open_status, "status of the open command (1 refuses)");
static ulong erase_fail = FW_NONE, write_fail = FW_NONE, bad_byte = FW_NONE;
module_param(erase_fail, ulong, 0444);
MODULE_PARM_DESC(erase_fail, "flash address: erasing the block that holds it fails");
module_param(write_fail, ulong, 0444);
MODULE_PARM_DESC(write_fail, "flash address: writing the 1 KB piece that holds it fails");
module_param(bad_byte, ulong, 0444);
MODULE_PARM_DESC(bad_byte, "flash address: the byte written there is stored wrong, with status 0");

#define SMI_PORT	0xB2
#define SMRAM_REG	0x72		/* i440FX SMRAM control */
#define D_OPEN		0x40
#define D_LCK		0x10
#define G_SMRAME	0x08
#define PAM_F		0x59		/* high nibble: 0xF0000-0xFFFFF */
#define PAM_D		0x5C		/* 0xD0000-0xD7FFF */
#define PAM_RW		0x3
#define SEG_F		0xF0000
#define INFO_PARA	0xD000
#define INFO_PTR	0x10		/* word that holds the record's offset */
#define INFO_RECORD	0x100
#define BLOCK_TABLE	0x200
#define HEADER_SIZE	16
#define PARAM_SIZE	32		/* 17 used */
#define FREE_RUN	0x100		/* zero bytes the records may take */
#define RECORDS_SIZE	(HEADER_SIZE + PARAM_SIZE + sizeof(struct fw_stats))

static void put16(u8 *p, u16 v) { p[0] = v; p[1] = v >> 8; }
static void put32(u8 *p, u32 v) { put16(p, v); put16(p + 2, v >> 16); }

/* The layout a BIOS of rom_kb would describe, into the handler's config. */
static int make_layout(struct fw_config *c)
{
	u32 size = rom_kb * 1024, base, a;
	u32 n = 0;

	if (rom_kb < 128 || rom_kb % 64 || rom_kb + bios_kb > 8192)
		return -EINVAL;
	base = size <= 0x100000 ? 0x100000 - size : 0;
	for (a = base; a < base + size - 0x20000; a += 0x10000)
		c->blocks[n++] = (struct fw_block){ a, 0x10000 };
	for (; a < base + size; a += 0x8000)
		c->blocks[n++] = (struct fw_block){ a, 0x8000 };
	if (n > FW_MAX_BLOCKS)
		return -EINVAL;
	c->block_count = n;
	c->rom_base = base;
	c->rom_size = size;
	c->chip = (u32)(0x100000000ull - (u64)(bios_kb + rom_kb) * 1024);
	c->sector_size = 4096;
	c->write_buffer = 256;
	c->open_status = open_status;
	c->erase_fail = erase_fail;
	c->write_fail = write_fail;
	c->bad_byte = bad_byte;
	c->magic = FW_MAGIC;
	return 0;
}

/* FlashInfoRecord, BlockTable (the last two entries are the boot block) and
 * NvramList (the two 32 KB blocks below it) in the flash-info segment. */
static void write_info(u8 *seg, const struct fw_config *c)
{
	u32 n = c->block_count, nv = BLOCK_TABLE + 4 + 8 * n, i;

	memset(seg, 0, nv + 2 + 16);
	put32(seg + INFO_PTR, INFO_RECORD);
	put16(seg + INFO_RECORD + 6, rom_kb);
	put16(seg + INFO_RECORD + 10, BLOCK_TABLE);
	put16(seg + INFO_RECORD + 12, nv);
	put16(seg + BLOCK_TABLE, n);
	put16(seg + BLOCK_TABLE + 2, 2);
	for (i = 0; i < n; i++) {
		put32(seg + BLOCK_TABLE + 4 + 8 * i, c->blocks[i].address);
		put32(seg + BLOCK_TABLE + 8 + 8 * i, c->blocks[i].size);
	}
	put16(seg + nv, 2);
	put32(seg + nv + 2, c->blocks[n - 4].address);
	put32(seg + nv + 10, c->blocks[n - 3].address);
}

/* The header's place: where an earlier load put it, else inside the first
 * run of FREE_RUN zero bytes (16-byte aligned) the BIOS left in its segment. */
static long header_place(const u8 *f)
{
	long i, run = 0;

	for (i = 0; i + 4 <= 0x10000; i++)
		if (!memcmp(f + i, "$QZX", 4))
			return i;
	for (i = 0; i < 0x10000; i++) {
		run = f[i] ? 0 : run + 1;
		if (run == FREE_RUN)
			return ALIGN(i + 1 - FREE_RUN, 16) + 16;
	}
	return -1;
}

static void write_header(u8 *h)
{
	memset(h, 0, RECORDS_SIZE);	/* the handler's counters start at 0 */
	memcpy(h, "$QZX", 4);
	h[4] = HEADER_SIZE;		/* FlashParamBlock right behind the header */
	put16(h + 8, INFO_PTR);
	put16(h + 10, INFO_PARA);
	put16(h + 12, SMI_PORT);
}

_Static_assert(PARAM_SIZE == FW_STATS_AFTER_PARAM, "the counters follow the FlashParamBlock's slot");
_Static_assert(RECORDS_SIZE <= FREE_RUN - 31, "header, FlashParamBlock and counters fit the free run");

static int install_handler(struct pci_dev *nb, const struct fw_config *c)
{
	size_t len = zorfw_handler_end - zorfw_handler;
	u8 *image, smram;
	void __iomem *win;
	int ret = 0;

	if (len <= FW_CONFIG_AT + sizeof(*c) || FW_ENTRY + len > FW_IMAGE_END)
		return -E2BIG;
	image = kmemdup(zorfw_handler, len, GFP_KERNEL);
	if (!image)
		return -ENOMEM;
	memcpy(image + FW_CONFIG_AT, c, sizeof(*c));

	pci_read_config_byte(nb, SMRAM_REG, &smram);
	if (!(smram & G_SMRAME) || (smram & D_LCK)) {
		pr_err("zorfw: SMRAM is %s (0x%02x)\n", smram & D_LCK ? "locked" : "disabled", smram);
		kfree(image);
		return -EPERM;
	}
	win = ioremap(FW_SMRAM, FW_SMRAM_SIZE);
	if (!win) {
		kfree(image);
		return -ENOMEM;
	}
	/* Open SMRAM to this CPU outside SMM, copy, check, close it again. */
	pci_write_config_byte(nb, SMRAM_REG, smram | D_OPEN);
	memcpy_toio(win + (FW_ENTRY - FW_SMRAM), image, len);
	memcpy_fromio(image, win + (FW_ENTRY - FW_SMRAM), len);
	pci_write_config_byte(nb, SMRAM_REG, smram & ~D_OPEN);
	if (memcmp(image + FW_CONFIG_AT, c, sizeof(*c)))
		ret = -EIO;
	iounmap(win);
	kfree(image);
	return ret;
}

static struct fw_config config;

static int __init zorfw_init(void)
{
	struct pci_dev *nb;
	u8 pam_f, pam_d, *f, *d;
	long at;
	int ret;

	ret = make_layout(&config);
	if (ret) {
		pr_err("zorfw: rom_kb %u does not fit the layout\n", rom_kb);
		return ret;
	}
	nb = pci_get_domain_bus_and_slot(0, 0, PCI_DEVFN(0, 0));
	if (!nb || nb->vendor != 0x8086 || nb->device != 0x1237) {
		pr_err("zorfw: no i440FX host bridge\n");
		pci_dev_put(nb);
		return -ENODEV;
	}
	f = (u8 __force *)ioremap(SEG_F, 0x10000);
	d = (u8 __force *)ioremap(INFO_PARA * 16, 0x8000);
	if (!f || !d) {
		ret = -ENOMEM;
		goto out;
	}
	/* The F segment stays read-write: the tool writes the FlashParamBlock
	 * in place, and a read-only shadow would drop those writes silently.
	 * The D segment is read-only again once the records are in. */
	pci_read_config_byte(nb, PAM_F, &pam_f);
	pci_read_config_byte(nb, PAM_D, &pam_d);
	pci_write_config_byte(nb, PAM_F, (pam_f & 0x0F) | PAM_RW << 4);
	pci_write_config_byte(nb, PAM_D, PAM_RW << 4 | PAM_RW);
	write_info(d, &config);
	pci_write_config_byte(nb, PAM_D, pam_d);

	at = header_place(f);
	if (at < 0 || at + RECORDS_SIZE > 0x10000) {
		pr_err("zorfw: no free room in the BIOS segment\n");
		ret = -ENOSPC;
		goto out;
	}
	config.param_block = SEG_F + at + HEADER_SIZE;
	write_header(f + at);
	ret = install_handler(nb, &config);
	if (!ret)
		pr_info("zorfw: header at 0x%lx, %u KB ROM at 0x%x, chip at 0x%x\n",
			SEG_F + at, rom_kb, config.rom_base, config.chip);
out:
	if (f)
		iounmap((void __iomem *)f);
	if (d)
		iounmap((void __iomem *)d);
	pci_dev_put(nb);
	return ret;
}

/* Unloading leaves the records and the handler in place, as firmware would. */
static void __exit zorfw_exit(void)
{
}

module_init(zorfw_init);
module_exit(zorfw_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("test firmware: BIOS flash records and an SMM flash handler for QEMU");
