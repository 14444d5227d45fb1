/*
 * Guest-side helper of the firmware VM (runs inside QEMU only):
 *
 *   fw_helper chip BASE SIZE          the flash chip as mapped, to stdout
 *   fw_helper cmos INDEX              a CMOS byte of the RTC, in hex
 *   fw_helper time CMD [ARG...]       runs CMD; prints "ms EXIT" on stderr
 *   fw_helper smis                    SMIs the flash handler has taken (its count
 *                                     in the FlashParamBlock), in decimal
 *   fw_helper send FILE               FILE's bytes to the debug console port
 *                                     0xE9, which the host writes to a file
 *   fw_helper client MODULE.o ROM     programs the main area of ROM as the
 *                                     tool's /i /q does, with nothing else:
 *                                     the baseline the tool's speed is held to
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int die(const char *what)
{
	perror(what);
	return 2;
}

static void *map_phys(int fd, uint64_t phys, size_t len)
{
	uint64_t page = phys & ~4095ull;
	uint8_t *p = mmap(NULL, len + (phys - page), PROT_READ | PROT_WRITE, MAP_SHARED, fd, page);

	return p == MAP_FAILED ? NULL : p + (phys - page);
}

static int chip(uint64_t base, size_t size)
{
	int fd = open("/dev/mem", O_RDONLY | O_SYNC);
	uint8_t *p, *copy = malloc(size);

	if (fd < 0 || !copy)
		return die("/dev/mem");
	p = mmap(NULL, size, PROT_READ, MAP_SHARED, fd, base);
	if (p == MAP_FAILED)
		return die("mmap chip");
	memcpy(copy, p, size);
	return fwrite(copy, 1, size, stdout) == size ? 0 : die("write");
}

static int cmos(unsigned index)
{
	if (iopl(3))
		return die("iopl");
	outb(index, 0x70);
	printf("%02x\n", inb(0x71));
	return 0;
}

static int timed(char **argv)
{
	struct timespec a, b;
	int status;
	pid_t pid;

	clock_gettime(CLOCK_MONOTONIC, &a);
	pid = fork();
	if (pid == 0) {
		execv(argv[0], argv);
		_exit(127);
	}
	waitpid(pid, &status, 0);
	clock_gettime(CLOCK_MONOTONIC, &b);
	fprintf(stderr, "%ld %d\n", (long)((b.tv_sec - a.tv_sec) * 1000 + (b.tv_nsec - a.tv_nsec) / 1000000),
		WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
	return 0;
}

/* ---- the minimal client ---- */

static uint32_t get32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
static uint16_t get16(const uint8_t *p) { return p[0] | p[1] << 8; }
static void put32(volatile uint8_t *p, uint32_t v) { for (int i = 0; i < 4; i++) p[i] = v >> (8 * i); }

static uint32_t checksum(const uint8_t *p)
{
	uint32_t s = 0;

	for (int i = 0; i < 1024; i += 4)
		s += get32(p + i);
	return ~s;
}

struct client {
	volatile uint8_t *param;
	uint8_t *buf;
	uint16_t port;
};

static int smi(struct client *c, uint8_t cmd, uint32_t address, uint32_t len)
{
	put32(c->param + 4, address);
	put32(c->param + 8, len);
	outb(cmd, c->port);
	return c->param[16];
}

static int client(const char *module, const char *rom_path)
{
	int mem = open("/dev/mem", O_RDWR | O_SYNC), node, m;
	FILE *devs, *rom = fopen(rom_path, "r");
	uint32_t req[6] = { 1024 }, major = 0, n, b, nv[2] = { 0, 0 }, rom_size, rom_base, *sel;
	uint8_t *f, *info, *image, *hdr = NULL, *table, *nvl, *rec;
	char line[128];
	int fd = open(module, O_RDONLY | O_CLOEXEC);
	struct client c;
	size_t ns = 0;

	if (mem < 0 || !rom || fd < 0 || iopl(3))
		return die("setup");
	if (syscall(SYS_finit_module, fd, "", 0))
		return die("finit_module");
	close(fd);
	devs = fopen("/proc/devices", "r");
	while (devs && fgets(line, sizeof line, devs))
		if (strstr(line, " zorfldrv"))
			major = strtoul(line, NULL, 10);
	if (!major || mknod("/tmp/zorfl-client", S_IFCHR | 0600, makedev(major, 0)))
		return die("node");
	node = open("/tmp/zorfl-client", O_RDWR);
	f = map_phys(mem, 0xF0000, 0x10000);
	if (node < 0 || !f)
		return die("open");
	for (m = 0; m + 16 <= 0x10000 && !hdr; m++)
		if (!memcmp(f + m, "$QZX", 4))
			hdr = f + m;
	if (!hdr)
		return die("no header");
	c.param = hdr + hdr[4];
	c.port = get16(hdr + 12);
	info = map_phys(mem, get16(hdr + 10) * 16u, 0x10000);
	if (!info)
		return die("info");
	rec = info + get32(info + get16(hdr + 8));
	rom_size = get16(rec + 6) * 1024u;
	rom_base = rom_size <= 0x100000 ? 0x100000 - rom_size : 0;
	table = info + get16(rec + 10);
	nvl = info + get16(rec + 12);
	n = get16(table);
	b = get16(table + 2);
	for (m = 0; m < get16(nvl) && m < 2; m++)
		nv[m] = get32(nvl + 2 + 8 * m);
	if (smi(&c, 0x20, 0, 0) == 1)
		return die("open refused");
	if (ioctl(node, 0x4160, req))
		return die("alloc");
	c.buf = mmap(NULL, 1024, PROT_READ | PROT_WRITE, MAP_SHARED, node, 0);
	image = malloc(rom_size);
	if (c.buf == MAP_FAILED || !image || fread(image, 1, rom_size, rom) != rom_size)
		return die("buffer");
	put32(c.param, req[2]);
	/* The ROM ID read the tool makes, then the main area: erase, write, verify. */
	if (smi(&c, 0x21, rom_base + rom_size - 1024, 1024) || checksum(c.buf) != get32((uint8_t *)c.param + 12))
		return die("read id");
	sel = calloc(n, sizeof *sel);
	for (m = 0; m < (int)(n - b); m++) {
		uint32_t a = get32(table + 4 + 8 * m);
		if (a != nv[0] && a != nv[1])
			sel[ns++] = m;
	}
	for (size_t i = 0; i < ns; i++)
		if (smi(&c, 0x22, get32(table + 4 + 8 * sel[i]), get32(table + 8 + 8 * sel[i])))
			return die("erase");
	for (int pass = 0; pass < 2; pass++)
		for (size_t i = 0; i < ns; i++) {
			uint32_t a = get32(table + 4 + 8 * sel[i]), s = get32(table + 8 + 8 * sel[i]);
			for (uint32_t k = 0; k + 1024 <= s; k += 1024) {
				uint8_t *src = image + (a - rom_base) + k;
				if (pass == 0) {
					memcpy(c.buf, src, 1024);
					put32(c.param + 12, checksum(c.buf));
					if (smi(&c, 0x23, a + k, 1024))
						return die("write");
				} else if (smi(&c, 0x21, a + k, 1024) || memcmp(c.buf, src, 1024)) {
					return die("verify");
				}
			}
		}
	smi(&c, 0x24, 0, 0);
	munmap(c.buf, 1024);
	ioctl(node, 0x4161, req);
	close(node);
	unlink("/tmp/zorfl-client");
	syscall(SYS_delete_module, "zorfldrv_mod", O_NONBLOCK);
	return 0;
}

/* The handler's SMI count, read through /dev/mem without touching the handler. */
static int smis(void)
{
	int fd = open("/dev/mem", O_RDONLY | O_SYNC);
	const uint8_t *f;
	uint32_t i;

	if (fd < 0)
		return die("/dev/mem");
	f = mmap(NULL, 0x10000, PROT_READ, MAP_SHARED, fd, 0xF0000);
	if (f == MAP_FAILED)
		return die("mmap F segment");
	for (i = 0; i + 4 <= 0xFFFB; i++)
		if (!memcmp(f + i, "$QZX", 4)) {
			uint32_t at = i + f[i + 4] + 28;

			if (at + 4 > 0x10000)
				break;
			printf("%u\n", get32(f + at));
			return 0;
		}
	fprintf(stderr, "fw_helper: no $QZX header\n");
	return 2;
}

static int send(const char *path)
{
	FILE *f = fopen(path, "rb");
	int c;

	if (!f)
		return die(path);
	if (iopl(3))
		return die("iopl");
	while ((c = getc(f)) != EOF)
		outb((uint8_t)c, 0xE9);
	fclose(f);
	return 0;
}

int main(int argc, char **argv)
{
	if (argc == 2 && !strcmp(argv[1], "smis"))
		return smis();
	if (argc == 3 && !strcmp(argv[1], "send"))
		return send(argv[2]);
	if (argc == 4 && !strcmp(argv[1], "chip"))
		return chip(strtoull(argv[2], NULL, 0), strtoul(argv[3], NULL, 0));
	if (argc == 3 && !strcmp(argv[1], "cmos"))
		return cmos(strtoul(argv[2], NULL, 0));
	if (argc >= 3 && !strcmp(argv[1], "time"))
		return timed(argv + 2);
	if (argc == 4 && !strcmp(argv[1], "client"))
		return client(argv[2], argv[3]);
	fprintf(stderr, "usage: fw_helper chip BASE SIZE | cmos INDEX | smis | send FILE | time CMD... | client MODULE ROM\n");
	return 1;
}
