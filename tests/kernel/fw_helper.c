/*
 * Guest-side helper of the firmware VM (runs inside QEMU only):
 *
 *   fw_helper chip BASE SIZE          the flash chip as mapped, to stdout
 *   fw_helper cmos INDEX              a CMOS byte of the RTC, in hex
 *   fw_helper time CMD [ARG...]       runs CMD with the handler's counters
 *                                     cleared, from a timer tick on, without
 *                                     address randomization; prints on stderr
 *                                     "US EXIT T0 T1"
 *                                     (guest CLOCK_MONOTONIC in µs, TSC before
 *                                     the fork and after the wait), then per
 *                                     command 0x20-0x24 " COUNT FIRST LAST"
 *   fw_helper smi COUNT               sends COUNT close commands (harmless
 *                                     while the flash is closed) and prints
 *                                     how many the handler had counted by the
 *                                     instruction after the out
 *   fw_helper smis                    SMIs the flash handler has taken (its count
 *                                     in the FlashParamBlock), in decimal
 *   fw_helper send FILE               FILE's bytes to the debug console port
 *                                     0xE9, which the host writes to a file
 *   fw_helper client MODULE.o ROM     programs the main area of ROM as the
 *                                     tool's /i /q does, with nothing else:
 *                                     the baseline the tool's speed is held to.
 *                                     With FW_MARKS=FILE it writes the TSC at
 *                                     each of its steps there, as
 *                                     "TSC step name" lines
 *   fw_helper required MODULE.o ROM   the same work with what the tool must
 *                                     do beside it and no more: built
 *                                     dynamically linked like the tool, it
 *                                     loads and unloads the module with the
 *                                     tool's command lines through system()
 *                                     and checks the file's size, ROM ID and
 *                                     boot-block sum before the erase; it
 *                                     looks at the power supplies and keeps
 *                                     a run record as the tool does; it
 *                                     prints a banner, reads the lockdown
 *                                     mode, takes a run lock of its own and
 *                                     holds the stop signals from the first
 *                                     erase to the close
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "../../firmware/fw_abi.h"

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

static uint64_t tsc(void)
{
	uint32_t lo, hi;

	__asm__ volatile("rdtsc" : "=a"(lo), "=d"(hi));
	return (uint64_t)hi << 32 | lo;
}

static uint64_t join(uint32_t lo, uint32_t hi) { return (uint64_t)hi << 32 | lo; }

/* The handler's counters, behind the FlashParamBlock the "$QZX" header names. */
static volatile struct fw_stats *stats(void)
{
	int fd = open("/dev/mem", O_RDWR | O_SYNC);
	uint8_t *f = fd < 0 ? NULL : map_phys(fd, 0xF0000, 0x10000);

	for (int i = 0; f && i + 16 <= 0x10000; i++)
		if (!memcmp(f + i, "$QZX", 4))
			return (volatile struct fw_stats *)(f + i + f[i + 4] + FW_STATS_AFTER_PARAM);
	return NULL;
}

/* The handler must run before the instruction after the out: the caller reads
 * the status right there. */
static int smi_at_once(unsigned count)
{
	volatile struct fw_stats *st = stats();
	volatile uint32_t *closes = st ? &st->cmd[4].count : NULL;
	unsigned at_once = 0;

	if (!st || iopl(3))
		return die("no handler counters");
	for (unsigned i = 0; i < count; i++) {
		uint32_t before = *closes;
		outb(0x24, 0xB2);
		at_once += *closes == before + 1;
	}
	printf("%u of %u\n", at_once, count);
	return 0;
}

static int timed(char **argv)
{
	volatile struct fw_stats *st = stats();
	struct timespec a, b;
	uint64_t t0, t1;
	int status;
	pid_t pid;

	if (!st)
		return die("no handler counters");
	memset((void *)st, 0, sizeof *st);
	/* Every run starts right after a timer tick and with the same address
	 * layout: the waits for the kernel's grace periods in the module load
	 * and unload then end at the same point of every run. */
	clock_gettime(CLOCK_MONOTONIC_COARSE, &a);
	do
		clock_gettime(CLOCK_MONOTONIC_COARSE, &b);
	while (b.tv_sec == a.tv_sec && b.tv_nsec == a.tv_nsec);
	t0 = tsc();
	clock_gettime(CLOCK_MONOTONIC, &a);
	pid = fork();
	if (pid == 0) {
		personality(ADDR_NO_RANDOMIZE);
		execv(argv[0], argv);
		_exit(127);
	}
	waitpid(pid, &status, 0);
	clock_gettime(CLOCK_MONOTONIC, &b);
	t1 = tsc();
	fprintf(stderr, "%ld %d %llu %llu", (long)((b.tv_sec - a.tv_sec) * 1000000 + (b.tv_nsec - a.tv_nsec) / 1000),
		WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
		(unsigned long long)t0, (unsigned long long)t1);
	for (unsigned i = 0; i < FW_STAT_COMMANDS; i++)
		fprintf(stderr, " %u %llu %llu", st->cmd[i].count,
			(unsigned long long)join(st->cmd[i].first_lo, st->cmd[i].first_hi),
			(unsigned long long)join(st->cmd[i].last_lo, st->cmd[i].last_hi));
	fputc('\n', stderr);
	return 0;
}

/*
 * Runs CMD in a process group of its own, as a shell's foreground job is, with
 * every signal at its default and none blocked (a non-interactive shell's
 * background job would have SIGINT and SIGQUIT ignored). Its output is copied
 * to ours; when WORD first shows in it, SIG goes to the whole group, as a
 * Ctrl-C at the terminal does. Exits with the command's status.
 */
static int signalled(int sig, const char *word, char **argv)
{
	char buf[4096], seen[8192] = "";
	size_t len = 0;
	int fds[2], status, sent = 0;
	ssize_t n;
	pid_t pid;

	if (pipe(fds) != 0)
		return 125;
	pid = fork();
	if (pid == 0) {
		sigset_t none;

		for (int s = 1; s < 65; s++)
			signal(s, SIG_DFL);
		sigemptyset(&none);
		sigprocmask(SIG_SETMASK, &none, NULL);
		setpgid(0, 0);
		dup2(fds[1], 1);
		close(fds[0]);
		close(fds[1]);
		execv(argv[0], argv);
		_exit(127);
	}
	setpgid(pid, pid);
	close(fds[1]);
	while ((n = read(fds[0], buf, sizeof(buf))) > 0) {
		if (write(1, buf, (size_t)n) != n)
			break;
		for (ssize_t i = 0; i < n && len < sizeof(seen) - 1; i++)
			seen[len++] = buf[i] ? buf[i] : ' ';
		seen[len] = '\0';
		if (!sent && strstr(seen, word)) {
			kill(-pid, sig);
			sent = 1;
		}
	}
	waitpid(pid, &status, 0);
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

/* The client's step marks: a TSC read each, written out after the work. */
static struct { uint64_t at; const char *step; } marks[16];
static unsigned n_marks;

static void mark(const char *step)
{
	if (n_marks < sizeof marks / sizeof marks[0])
		marks[n_marks++] = (typeof(marks[0])){ tsc(), step };
}

static void write_marks(void)
{
	const char *path = getenv("FW_MARKS");
	FILE *out = path ? fopen(path, "w") : NULL;

	for (unsigned i = 0; out && i < n_marks; i++)
		fprintf(out, "%llu %s\n", (unsigned long long)marks[i].at, marks[i].step);
	if (out)
		fclose(out);
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

/* Erase, write and verify of the main blocks (the first `main` entries less
 * the NVRAM blocks) from the image, then the close. */
static int program_main(struct client *c, const uint8_t *table, uint32_t main, const uint32_t nv[2],
			uint32_t rom_base, const uint8_t *image)
{
	uint32_t *sel = calloc(main, sizeof *sel);
	size_t ns = 0;

	if (!sel)
		return die("calloc");
	for (uint32_t m = 0; m < main; m++) {
		uint32_t a = get32(table + 4 + 8 * m);
		if (a != nv[0] && a != nv[1])
			sel[ns++] = m;
	}
	for (size_t i = 0; i < ns; i++)
		if (smi(c, 0x22, get32(table + 4 + 8 * sel[i]), get32(table + 8 + 8 * sel[i])))
			return die("erase");
	for (int pass = 0; pass < 2; pass++)
		for (size_t i = 0; i < ns; i++) {
			uint32_t a = get32(table + 4 + 8 * sel[i]), s = get32(table + 8 + 8 * sel[i]);
			for (uint32_t k = 0; k + 1024 <= s; k += 1024) {
				const uint8_t *src = image + (a - rom_base) + k;
				if (pass == 0) {
					memcpy(c->buf, src, 1024);
					put32(c->param + 12, checksum(c->buf));
					if (smi(c, 0x23, a + k, 1024))
						return die("write");
				} else if (smi(c, 0x21, a + k, 1024) || memcmp(c->buf, src, 1024)) {
					return die("verify");
				}
			}
		}
	smi(c, 0x24, 0, 0);
	free(sel);
	return 0;
}

/* What both clients find: the block table, the NVRAM blocks, the ROM's size and
 * place, and the driver's node and transfer buffer. */
struct flash {
	uint8_t *table;
	uint32_t n, b, nv[2], rom_size, rom_base, req[6];
	int node;
};

/* The node at PATH, the discovery, the open command and the transfer buffer. */
static int open_flash(int mem, const char *path, struct client *c, struct flash *fl)
{
	uint8_t *f, *info, *hdr = NULL, *nvl, *rec;
	uint32_t major = 0;
	char line[128];
	FILE *devs;
	int m;

	mark("node: /proc/devices, mknod, open");
	devs = fopen("/proc/devices", "r");
	while (devs && fgets(line, sizeof line, devs))
		if (strstr(line, " zorfldrv"))
			major = strtoul(line, NULL, 10);
	if (devs)
		fclose(devs);
	if (!major || mknod(path, S_IFCHR | 0600, makedev(major, 0)))
		return die("node");
	fl->node = open(path, O_RDWR);
	mark("discovery: map, header, info");
	f = map_phys(mem, 0xF0000, 0x10000);
	if (fl->node < 0 || !f)
		return die("open");
	for (m = 0; m + 16 <= 0x10000 && !hdr; m++)
		if (!memcmp(f + m, "$QZX", 4))
			hdr = f + m;
	if (!hdr)
		return die("no header");
	c->param = hdr + hdr[4];
	c->port = get16(hdr + 12);
	info = map_phys(mem, get16(hdr + 10) * 16u, 0x10000);
	if (!info)
		return die("info");
	rec = info + get32(info + get16(hdr + 8));
	fl->rom_size = get16(rec + 6) * 1024u;
	fl->rom_base = fl->rom_size <= 0x100000 ? 0x100000 - fl->rom_size : 0;
	fl->table = info + get16(rec + 10);
	nvl = info + get16(rec + 12);
	fl->n = get16(fl->table);
	fl->b = get16(fl->table + 2);
	fl->nv[0] = fl->nv[1] = 0;
	for (m = 0; m < get16(nvl) && m < 2; m++)
		fl->nv[m] = get32(nvl + 2 + 8 * m);
	if (smi(c, 0x20, 0, 0) == 1)
		return die("open refused");
	memset(fl->req, 0, sizeof fl->req);
	fl->req[0] = 1024;
	if (ioctl(fl->node, 0x4160, fl->req))
		return die("alloc");
	c->buf = mmap(NULL, 1024, PROT_READ | PROT_WRITE, MAP_SHARED, fl->node, 0);
	if (c->buf == MAP_FAILED)
		return die("buffer");
	put32(c->param, fl->req[2]);
	return 0;
}

/* The ROM ID read the tool makes: the top 1 KB of the flash. */
static int read_id(struct client *c, const struct flash *fl)
{
	if (smi(c, 0x21, fl->rom_base + fl->rom_size - 1024, 1024) ||
	    checksum(c->buf) != get32((uint8_t *)c->param + 12))
		return die("read id");
	return 0;
}

static void close_flash(struct client *c, struct flash *fl, const char *path)
{
	mark("clean-up: buffer, node");
	munmap(c->buf, 1024);
	ioctl(fl->node, 0x4161, fl->req);
	close(fl->node);
	unlink(path);
}

static int client(const char *module, const char *rom_path)
{
	mark("setup: /dev/mem, ROM file, module file, iopl");
	int mem = open("/dev/mem", O_RDWR | O_SYNC);
	FILE *rom = fopen(rom_path, "r");
	int fd = open(module, O_RDONLY | O_CLOEXEC);
	struct client c;
	struct flash fl;
	uint8_t *image;

	if (mem < 0 || !rom || fd < 0 || iopl(3))
		return die("setup");
	mark("driver load: finit_module");
	if (syscall(SYS_finit_module, fd, "", 0))
		return die("finit_module");
	close(fd);
	if (open_flash(mem, "/tmp/zorfl-client", &c, &fl))
		return 2;
	mark("file load");
	image = malloc(fl.rom_size);
	if (!image || fread(image, 1, fl.rom_size, rom) != fl.rom_size)
		return die("file");
	if (read_id(&c, &fl) || program_main(&c, fl.table, fl.n - fl.b, fl.nv, fl.rom_base, image))
		return 2;
	close_flash(&c, &fl, "/tmp/zorfl-client");
	mark("driver unload: delete_module");
	syscall(SYS_delete_module, "zorfldrv_mod", O_NONBLOCK);
	mark("exit");
	write_marks();
	return 0;
}

/* The run record as the tool keeps it, in a directory of the client's own: read at the start,
 * and written whole (the file synced, renamed over the old one, the directory synced) before
 * the first erase and at the end, with the same keys as the tool's. */
#define RECORD_DIR "/var/lib/zorfl-required"

static void read_record(void)
{
	char text[4096];
	int fd = open(RECORD_DIR "/last-run", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);

	if (fd >= 0 && read(fd, text, sizeof text) >= 0)
		close(fd);
}

/* What the record names besides the outcome, as the tool's does: the kernel's boot ID, the run,
 * the ROM IDs and the blocks programmed (record_blocks), made once before the first write. */
static char boot_id[40], rom_ids[64], blocks[1024];

static void record_blocks(const uint8_t *table, uint32_t main, const uint32_t nv[2], const uint8_t *image,
			  uint32_t rom_size, const uint8_t *flash_id)
{
	int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
	ssize_t n = fd < 0 ? 0 : read(fd, boot_id, sizeof boot_id - 1);
	size_t len = 0;
	uint32_t start = 0, end = 0;

	if (fd >= 0)
		close(fd);
	boot_id[n > 36 ? 36 : n > 0 ? n : 0] = 0;
	snprintf(rom_ids, sizeof rom_ids, "rom_id_before=%.8s\nrom_id_file=%.8s\n", (const char *)flash_id,
		 (const char *)image + rom_size - 32);
	for (uint32_t m = 0; m <= main; m++) {
		uint32_t a = m < main ? get32(table + 4 + 8 * m) : 0, s = m < main ? get32(table + 8 + 8 * m) : 0;
		if (m < main && (a == nv[0] || a == nv[1]))
			continue;
		if (m < main && end && a == end) {
			end = a + s;
			continue;
		}
		if (end && len + 24 < sizeof blocks)
			len += (size_t)snprintf(blocks + len, sizeof blocks - len, "%s0x%08x-0x%08x", len ? "," : "",
						start, end - 1);
		start = a, end = a + s;
	}
}

static int write_record(const char *outcome)
{
	char text[4096];
	long now = (long)time(NULL);
	int running = !strcmp(outcome, "running");
	int len = snprintf(text, sizeof text,
			   "format=2\ntime=%ld\nepoch=%ld\nboot_id=%s\npid=%ld\ndirectory=/\ncommand=required\n%s"
			   "selected=%s\nskipped=\ntouched=%s\nregions=m\nrom_id_erased=0\nbackup=\noutcome=%s\n"
			   "failed_block=\npending=%d\nchanged_epoch=%ld\nchanged_boot_id=%s\n",
			   now, now, boot_id, (long)getpid(), rom_ids, blocks, blocks, outcome, running, now, boot_id);
	int dfd, fd, ok;

	if (mkdir(RECORD_DIR, 0700) && errno == ENOENT) {
		mkdir("/var", 0755);
		mkdir("/var/lib", 0755);
		mkdir(RECORD_DIR, 0700);
	}
	dfd = open(RECORD_DIR, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	fd = dfd < 0 ? -1 : openat(dfd, "last-run.new", O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
	ok = fd >= 0 && write(fd, text, (size_t)len) == len && !fsync(fd);
	if (fd >= 0)
		ok = !close(fd) && ok;
	ok = ok && !renameat(dfd, "last-run.new", dfd, "last-run") && !fsync(dfd);
	if (dfd >= 0)
		close(dfd);
	return ok ? 0 : die("record");
}

/* The power supplies' types, as the tool reads them: a battery ends the run. */
static int check_power(void)
{
	DIR *d = opendir("/sys/class/power_supply");
	char path[512], value[32];
	struct dirent *e;

	while (d && (e = readdir(d))) {
		int fd;

		if (e->d_name[0] == '.')
			continue;
		snprintf(path, sizeof path, "/sys/class/power_supply/%s/type", e->d_name);
		fd = open(path, O_RDONLY | O_CLOEXEC);
		if (fd >= 0 && read(fd, value, sizeof value) > 0 && !strncmp(value, "Battery", 7))
			return die("on battery");
		if (fd >= 0)
			close(fd);
	}
	if (d)
		closedir(d);
	return 0;
}

/* What every run of the tool does around the flash work, the cheapest way: a banner, a look at
 * the kernel's lockdown mode (a locked-down kernel refuses port access), one run at a time, and
 * the stop signals caught, then held from the first erase to the close. */
static volatile sig_atomic_t stop_seen;
static void note_stop(int sig) { stop_seen = sig; }

static const int stop_signals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE};

static int run_duties(void)
{
	char mode[128];
	struct sigaction sa;
	int fd;

	fputs("required-work client\n\n", stdout);
	fflush(stdout);
	fd = open("/sys/kernel/security/lockdown", O_RDONLY | O_CLOEXEC);
	if (fd >= 0) {
		ssize_t n = read(fd, mode, sizeof mode - 1);

		close(fd);
		mode[n > 0 ? n : 0] = 0;
		if (n > 0 && !strstr(mode, "[none]"))
			return die("lockdown");
	}
	fd = open("/run/zorfl-required.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
	if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB))
		return die("run lock");
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = note_stop;
	for (size_t i = 0; i < sizeof stop_signals / sizeof *stop_signals; i++)
		sigaction(stop_signals[i], &sa, NULL);
	return 0;
}

static void hold_stops(int how)
{
	sigset_t set;

	sigemptyset(&set);
	for (size_t i = 0; i < sizeof stop_signals / sizeof *stop_signals; i++)
		sigaddset(&set, stop_signals[i]);
	sigprocmask(how, &set, NULL);
}

/*
 * The required-work client: the steps the tool cannot leave out, each done
 * the cheapest way. The module is loaded by the tool's own command line, on
 * the descriptor of the opened file, with the tool's fixed PATH; the file is
 * read once and checked in memory (size, ROM ID against the flash's, the
 * boot-block entries' word sum) before anything is erased.
 */
static int required(const char *module, const char *rom_path)
{
	mark("setup: /dev/mem, ROM file, module file, iopl");
	int mem = open("/dev/mem", O_RDWR | O_SYNC);
	FILE *rom = fopen(rom_path, "r");
	int fd = open(module, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
	char command[64];
	struct client c;
	struct flash fl;
	struct stat st;
	uint8_t *image;
	uint32_t sum = 0;

	if (run_duties() || mem < 0 || !rom || fd < 0 || iopl(3) || fstat(fileno(rom), &st))
		return die("setup");
	read_record();
	if (check_power())
		return 2;
	mark("driver load: insmod /proc/self/fd/N");
	setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
	snprintf(command, sizeof command, "insmod /proc/self/fd/%d 2> /dev/null > /dev/null", fd);
	if (system(command))
		return die("insmod");
	close(fd);
	if (open_flash(mem, "/tmp/zorfl-required", &c, &fl) || read_id(&c, &fl))
		return 2;
	mark("file load and checks: size, ROM ID, boot block");
	image = malloc(fl.rom_size);
	if (!image || st.st_size != (off_t)fl.rom_size || fread(image, 1, fl.rom_size, rom) != fl.rom_size)
		return die("size");
	if (memcmp(image + fl.rom_size - 32, c.buf + 1024 - 32, 5))
		return die("ROM ID");
	for (uint32_t e = fl.n - fl.b; e < fl.n; e++) {
		uint32_t a = get32(fl.table + 4 + 8 * e), s = get32(fl.table + 8 + 8 * e);
		if (a < fl.rom_base || a - fl.rom_base + (uint64_t)s > fl.rom_size)
			return die("boot block entry");
		for (uint32_t k = 0; k + 4 <= s; k += 4)
			sum += get32(image + (a - fl.rom_base) + k);
	}
	if (sum)
		return die("boot block sum");
	record_blocks(fl.table, fl.n - fl.b, fl.nv, image, fl.rom_size, c.buf + 1024 - 32);
	hold_stops(SIG_BLOCK);
	if (write_record("running") || program_main(&c, fl.table, fl.n - fl.b, fl.nv, fl.rom_base, image) ||
	    write_record("finished"))
		return 2;
	close_flash(&c, &fl, "/tmp/zorfl-required");
	hold_stops(SIG_UNBLOCK);
	mark("driver unload: rmmod zorfldrv_mod");
	if (system("rmmod zorfldrv_mod"))
		return die("rmmod");
	mark("exit");
	write_marks();
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
	if (argc == 3 && !strcmp(argv[1], "smi"))
		return smi_at_once(strtoul(argv[2], NULL, 0));
	if (argc >= 3 && !strcmp(argv[1], "time"))
		return timed(argv + 2);
	if (argc >= 5 && !strcmp(argv[1], "signal"))
		return signalled(atoi(argv[2]), argv[3], argv + 4);
	if (argc == 4 && !strcmp(argv[1], "client"))
		return client(argv[2], argv[3]);
	if (argc == 4 && !strcmp(argv[1], "required"))
		return required(argv[2], argv[3]);
	fprintf(stderr, "usage: fw_helper chip BASE SIZE | cmos INDEX | smi COUNT | time CMD... |"
		" signal SIG WORD CMD... | smis | send FILE | client MODULE ROM | required MODULE ROM\n");
	return 1;
}
