/*
 * Checks of the zorfldrv module and of the flash tool on a real kernel.
 * Runs as root inside the test VM (never on the build machine):
 *
 *   zorfl_check module MODULE.o        the module's requests and limits
 *   zorfl_check tool TOOL MODULE.o     the unchanged tool against the module
 *   zorfl_check installed TOOL DIR     the tool finds the module installed in
 *                                      the module tree DIR (/lib/modules/VERSION)
 *
 * Started as insmod, rmmod or modprobe, it is the module tool the tool's
 * shell runs: it logs its environment and runs Debian's kmod (see
 * check_clean_commands).
 *
 * Prints one "ok - ..." or "not ok - ..." line per check and, as its last
 * line, "zorfl_check MODE: done", so that a crash half way shows.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <elf.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#define IOC_ALLOC 0x4160
#define IOC_FREE 0x4161
#define MOD_NAME "zorfldrv_mod"
#define NODE "/tmp/zorfl-node"
#define GUARD 0xA5A5A5A5u
#define PAGE 4096u
#define LOCK "/run/zorflashlnx2.lock"
#define NOBODY 65534
#define OTHER_MOD "/check/other_mod.ko"	/* another user's module: crc7 */
#define KMOD_DIR "/usr/lib/kmod-real"	/* insmod, rmmod, modprobe: links to /bin/kmod */
#define ENV_LOG "/tmp/modtool-env"
#define PRELOAD_LOG "/tmp/preload-log"	/* every program that loaded /lib/writes.so */
#define SLOW_FLAG "/tmp/slow-insmod"	/* insmod loads, says so in LOADED_FLAG, then waits */
#define LOADED_FLAG "/tmp/insmod-loaded"

static void check(int ok, const char *fmt, ...)
{
	va_list ap;

	printf("%s - ", ok ? "ok" : "not ok");
	va_start(ap, fmt);
	vprintf(fmt, ap);
	va_end(ap);
	printf("\n");
	fflush(stdout);
}

/* ---- module loading, straight through the syscalls ---- */

static int load_module(const char *path)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	int ret;

	if (fd < 0)
		return errno;
	ret = syscall(SYS_finit_module, fd, "", 0) == 0 ? 0 : errno;
	close(fd);
	return ret;
}

static int unload_module(void)
{
	return syscall(SYS_delete_module, MOD_NAME, O_NONBLOCK) == 0 ? 0 : errno;
}

static int file_has_line_with(const char *path, const char *word)
{
	char line[256];
	FILE *f = fopen(path, "r");
	int found = 0;

	if (!f)
		return 0;
	while (!found && fgets(line, sizeof(line), f))
		found = strstr(line, word) != NULL;
	fclose(f);
	return found;
}

static int module_loaded(void)
{
	return file_has_line_with("/proc/modules", MOD_NAME " ");
}

/* Major of "zorfldrv" among the character devices, 0 if absent. */
static int char_major(void)
{
	char line[256], name[64];
	int major = 0, in_char = 0, m;
	FILE *f = fopen("/proc/devices", "r");

	if (!f)
		return 0;
	while (fgets(line, sizeof(line), f)) {
		if (strncmp(line, "Character devices:", 18) == 0)
			in_char = 1;
		else if (strncmp(line, "Block devices:", 14) == 0)
			in_char = 0;
		else if (in_char && sscanf(line, "%d %63s", &m, name) == 2 &&
			 strcmp(name, "zorfldrv") == 0)
			major = m;
	}
	fclose(f);
	return major;
}

static int open_node(void)
{
	return open(NODE, O_RDWR | O_CLOEXEC);
}

/* ---- requests ---- */

/* A record whose unused words, and 40 bytes past its 24, hold guard values. */
struct rec {
	uint32_t w[16];
};

static void rec_init(struct rec *r, uint32_t size)
{
	for (int i = 0; i < 16; i++)
		r->w[i] = GUARD;
	r->w[0] = size;
}

/* Every word except word 2 still as rec_init left it. */
static int rec_intact_but_2(const struct rec *r, uint32_t size)
{
	if (r->w[0] != size)
		return 0;
	for (int i = 1; i < 16; i++)
		if (i != 2 && r->w[i] != GUARD)
			return 0;
	return 1;
}

static int request(int fd, unsigned long cmd, void *arg)
{
	return ioctl(fd, cmd, arg) < 0 ? errno : 0;
}

static int req_size(int fd, unsigned long cmd, uint32_t size, uint32_t *phys)
{
	struct rec r;
	int e;

	rec_init(&r, size);
	e = request(fd, cmd, &r);
	if (phys)
		*phys = r.w[2];
	return e;
}

static void *map(int fd, size_t len, int flags, off_t off, int *err)
{
	void *p = mmap(NULL, len, PROT_READ | PROT_WRITE, flags, fd, off);

	*err = p == MAP_FAILED ? errno : 0;
	return p == MAP_FAILED ? NULL : p;
}

/*
 * Reads physical memory through /proc/kcore, whose RAM segments carry
 * their physical address. /dev/mem refuses RAM on this kernel, and this
 * path does not go through the module at all. Returns 0 on success.
 */
static int phys_read(uint64_t phys, void *buf, size_t len)
{
	Elf64_Ehdr eh;
	Elf64_Phdr ph;
	int fd = open("/proc/kcore", O_RDONLY | O_CLOEXEC), ret = -1;

	if (fd < 0)
		return -1;
	if (pread(fd, &eh, sizeof(eh), 0) != sizeof(eh))
		goto out;
	for (int i = 0; i < eh.e_phnum && ret != 0; i++) {
		if (pread(fd, &ph, sizeof(ph), (off_t)(eh.e_phoff + (uint64_t)i * eh.e_phentsize)) !=
		    sizeof(ph))
			break;
		if (ph.p_type != PT_LOAD || ph.p_paddr == (Elf64_Addr)-1 ||
		    phys < ph.p_paddr || phys + len > ph.p_paddr + ph.p_memsz)
			continue;
		if (pread(fd, buf, len, (off_t)(ph.p_offset + (phys - ph.p_paddr))) == (ssize_t)len)
			ret = 0;
	}
out:
	close(fd);
	return ret;
}

/* ---- the module checks ---- */

/* One full cycle at a size the module must accept. */
static void check_cycle(uint32_t size)
{
	size_t len = (size + PAGE - 1) / PAGE * PAGE;
	struct rec r;
	int fd = open_node(), e, zero = 1, same = 1, phys = 0, unmapped;
	unsigned char *p, phys_view[65536];

	rec_init(&r, size);
	e = request(fd, IOC_ALLOC, &r);
	check(e == 0 && r.w[2] != 0 && r.w[2] % PAGE == 0 &&
	      (uint64_t)r.w[2] + len <= (1ull << 32) && rec_intact_but_2(&r, size),
	      "alloc %u: phys 0x%x in word 2, below 4 GB, rest of record untouched (errno %d)",
	      size, r.w[2], e);
	p = map(fd, size, MAP_SHARED, 0, &e);
	if (p) {
		for (size_t i = 0; i < len; i++)
			zero &= p[i] == 0;
		for (size_t i = 0; i < len; i++)
			p[i] = (unsigned char)(i * 7 + 3);
		for (size_t i = 0; i < len; i++)
			same &= p[i] == (unsigned char)(i * 7 + 3);
		phys = phys_read(r.w[2], phys_view, len) == 0 && memcmp(phys_view, p, len) == 0;
	}
	check(p && zero && same && phys,
	      "alloc %u: map arrives zeroed, keeps a pattern, and is the memory at word 2 "
	      "(map errno %d, zeroed %d, kept %d, physical %d)", size, e, zero, same, phys);
	unmapped = p && munmap(p, size) == 0;
	e = req_size(fd, IOC_FREE, size, NULL);
	check(unmapped && e == 0, "alloc %u: unmap and free (errno %d)", size, e);
	close(fd);
}

enum op { ALLOC, FREE, MAP, RAW };
enum hold { NONE, HELD, MAPPED };

struct refusal {
	const char *what;
	enum hold hold;	/* state before the request: a 1024-byte buffer or not */
	enum op op;
	uint32_t size;	/* word 0; for RAW the request number */
	size_t len;	/* MAP */
	off_t off;	/* MAP */
	int flags;	/* MAP */
	int want;	/* errno */
};

static const struct refusal refusals[] = {
	{ "alloc of 0 bytes", NONE, ALLOC, 0, 0, 0, 0, EINVAL },
	{ "alloc of 64 KB + 1", NONE, ALLOC, 65537, 0, 0, 0, EINVAL },
	{ "alloc of 4 GB - 1", NONE, ALLOC, 0xFFFFFFFFu, 0, 0, 0, EINVAL },
	{ "second alloc while one is held", HELD, ALLOC, 1024, 0, 0, 0, EBUSY },
	{ "free without a buffer", NONE, FREE, 1024, 0, 0, 0, ENXIO },
	{ "free with another size", HELD, FREE, 2048, 0, 0, 0, EINVAL },
	{ "free while mapped", MAPPED, FREE, 1024, 0, 0, 0, EBUSY },
	{ "map without a buffer", NONE, MAP, 0, 1024, 0, MAP_SHARED, ENXIO },
	{ "map larger than the buffer", HELD, MAP, 0, 2 * PAGE, 0, MAP_SHARED, EINVAL },
	{ "map at a nonzero offset", HELD, MAP, 0, 1024, PAGE, MAP_SHARED, EINVAL },
	{ "private map", HELD, MAP, 0, 1024, 0, MAP_PRIVATE, EINVAL },
	{ "unknown request 0x4162", NONE, RAW, 0x4162, 0, 0, 0, ENOTTY },
	{ "alloc number with size bits", NONE, RAW, 0xC0184160u, 0, 0, 0, ENOTTY },
};

static void check_refusal(const struct refusal *t)
{
	int fd = open_node(), e = 0, setup = 0, after, intact;
	void *held_map = NULL, *p;
	struct rec r;

	if (t->hold != NONE)
		setup = req_size(fd, IOC_ALLOC, 1024, NULL);
	if (t->hold == MAPPED)
		held_map = map(fd, 1024, MAP_SHARED, 0, &setup);

	rec_init(&r, t->size);
	switch (t->op) {
	case ALLOC:
	case FREE:
		e = request(fd, t->op == ALLOC ? IOC_ALLOC : IOC_FREE, &r);
		break;
	case RAW:
		e = request(fd, t->size, &r);
		break;
	case MAP:
		p = map(fd, t->len, t->flags, t->off, &e);
		if (p)
			munmap(p, t->len);
		break;
	}

	/* Refused means refused: a held buffer is still there and frees, and
	 * without one the refused request did not leave one behind. */
	if (held_map)
		munmap(held_map, 1024);
	after = req_size(fd, IOC_FREE, 1024, NULL);
	intact = t->hold == NONE ? after == ENXIO : after == 0;
	check(setup == 0 && e == t->want && rec_intact_but_2(&r, t->size) &&
	      r.w[2] == GUARD && intact,
	      "refused: %s (errno %d, want %d; state %s)", t->what, e, t->want,
	      intact ? "intact" : "changed");
	close(fd);
}

/* An unwritable word 2 fails the alloc and leaves no buffer behind. */
static void check_efault(void)
{
	int fd = open_node(), e, again;
	uint32_t *ro = mmap(NULL, PAGE, PROT_READ | PROT_WRITE,
			    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);

	ro[0] = 1024;
	mprotect(ro, PAGE, PROT_READ);
	e = request(fd, IOC_ALLOC, ro);
	again = req_size(fd, IOC_ALLOC, 1024, NULL);
	check(e == EFAULT && ro[2] == 0 && again == 0,
	      "alloc with a read-only record fails with EFAULT and holds nothing (errno %d, then %d)",
	      e, again);
	check(request(fd, IOC_ALLOC, NULL) == EFAULT, "alloc with a null record: EFAULT");
	munmap(ro, PAGE);
	close(fd);
}

/* Each open file has its own buffer. */
static void check_per_file(void)
{
	int a = open_node(), b = open_node(), ea, eb;
	uint32_t pa = 0, pb = 0;
	unsigned char *ma, *mb;

	ea = req_size(a, IOC_ALLOC, 1024, &pa);
	eb = req_size(b, IOC_ALLOC, 1024, &pb);
	check(ea == 0 && eb == 0 && pa != pb,
	      "two open files hold two buffers (0x%x, 0x%x)", pa, pb);
	ma = map(a, 1024, MAP_SHARED, 0, &ea);
	mb = map(b, 1024, MAP_SHARED, 0, &eb);
	if (ma && mb) {
		memset(ma, 0x11, 1024);
		memset(mb, 0x22, 1024);
		check(ma[0] == 0x11 && ma[1023] == 0x11 && mb[0] == 0x22,
		      "each file maps its own buffer");
		munmap(ma, 1024);
		munmap(mb, 1024);
	} else {
		check(0, "each file maps its own buffer (errno %d, %d)", ea, eb);
	}
	close(a);
	close(b);
}

/* A read-only shared map of a read-only open is still a shared map. */
static void check_readonly_map(void)
{
	int fd = open(NODE, O_RDONLY | O_CLOEXEC), e;
	unsigned char *p;

	req_size(fd, IOC_ALLOC, 1024, NULL);
	p = mmap(NULL, 1024, PROT_READ, MAP_SHARED, fd, 0);
	e = p == MAP_FAILED ? errno : 0;
	check(e == 0 && p[0] == 0 && p[1023] == 0, "read-only shared map (errno %d)", e);
	if (e == 0)
		munmap(p, 1024);
	close(fd);
}

static int drop_rawio(void)
{
	struct __user_cap_header_struct h = { _LINUX_CAPABILITY_VERSION_3, 0 };
	struct __user_cap_data_struct d[2];

	if (syscall(SYS_capget, &h, d) != 0)
		return -1;
	d[CAP_SYS_RAWIO / 32].effective &= ~(1u << (CAP_SYS_RAWIO % 32));
	d[CAP_SYS_RAWIO / 32].permitted &= ~(1u << (CAP_SYS_RAWIO % 32));
	return (int)syscall(SYS_capset, &h, d);
}

/* Runs fn in a child without CAP_SYS_RAWIO (all else kept); returns its errno. */
static int without_rawio(int fd, int op)
{
	pid_t pid = fork();
	int status, e = 0;

	if (pid == 0) {
		if (drop_rawio() != 0)
			_exit(250);
		if (op == ALLOC)
			e = req_size(fd, IOC_ALLOC, 1024, NULL);
		else if (op == FREE)
			e = req_size(fd, IOC_FREE, 1024, NULL);
		else if (map(fd, 1024, MAP_SHARED, 0, &e))
			e = 0;
		_exit(e);
	}
	waitpid(pid, &status, 0);
	return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

static void check_capability(void)
{
	int fd = open_node(), e;

	e = without_rawio(fd, ALLOC);
	check(e == EPERM, "alloc without CAP_SYS_RAWIO: EPERM (got %d)", e);
	check(req_size(fd, IOC_FREE, 1024, NULL) == ENXIO, "and nothing was allocated");
	req_size(fd, IOC_ALLOC, 1024, NULL);
	e = without_rawio(fd, MAP);
	check(e == EPERM, "mmap without CAP_SYS_RAWIO: EPERM (got %d)", e);
	e = without_rawio(fd, FREE);
	check(e == EPERM, "free without CAP_SYS_RAWIO: EPERM (got %d)", e);
	check(req_size(fd, IOC_FREE, 1024, NULL) == 0, "and the buffer was still its owner's to free");
	close(fd);
}

/* Mappings counted across fork and split: the buffer cannot be freed under one. */
static void check_mapping_lifetime(void)
{
	int fd = open_node(), e, gate[2], status;
	unsigned char *p;
	pid_t pid;

	req_size(fd, IOC_ALLOC, 65536, NULL);
	p = map(fd, 65536, MAP_SHARED, 0, &e);
	if (!p) {
		check(0, "64 KB map for the lifetime checks (errno %d)", e);
		close(fd);
		return;
	}
	/* Unmapping the head splits the VMA: the tail still maps the buffer. */
	p[PAGE + 5] = 0x77;
	munmap(p, PAGE);
	e = req_size(fd, IOC_FREE, 65536, NULL);
	check(e == EBUSY && p[PAGE + 5] == 0x77,
	      "free refused while a split-off part is still mapped (errno %d)", e);
	munmap(p + PAGE, 65536 - PAGE);
	p = map(fd, 65536, MAP_SHARED, 0, &e);
	if (pipe(gate) != 0 || !p) {
		check(0, "remap for the fork check");
		close(fd);
		return;
	}
	p[100] = 0x5A;
	pid = fork();
	if (pid == 0) {
		char c;

		close(gate[1]);
		(void)!read(gate[0], &c, 1);
		_exit(p[100] == 0x5A ? 0 : 1);
	}
	close(gate[0]);
	munmap(p, 65536);
	e = req_size(fd, IOC_FREE, 65536, NULL);
	check(e == EBUSY, "free refused while a forked child still maps the buffer (errno %d)", e);
	close(gate[1]);
	waitpid(pid, &status, 0);
	check(WIFEXITED(status) && WEXITSTATUS(status) == 0,
	      "the child's inherited mapping still reaches the buffer");
	e = req_size(fd, IOC_FREE, 65536, NULL);
	check(e == 0, "free once the child is gone (errno %d)", e);
	close(fd);
}

static long mem_free_kb(void)
{
	char line[128];
	long kb = -1;
	FILE *f = fopen("/proc/meminfo", "r");

	while (f && fgets(line, sizeof(line), f))
		if (sscanf(line, "MemFree: %ld kB", &kb) == 1)
			break;
	if (f)
		fclose(f);
	return kb;
}

/* Buffers still held at close go back to the kernel: no leak over many runs. */
static void check_release_on_close(void)
{
	const int rounds = 300;	/* a leak would be 300 x 64 KB = 19 MB */
	long before = mem_free_kb(), after;
	int fails = 0;

	for (int i = 0; i < rounds; i++) {
		int fd = open_node(), e;
		void *p;

		fails += req_size(fd, IOC_ALLOC, 65536, NULL) != 0;
		p = map(fd, 65536, MAP_SHARED, 0, &e);
		fails += p == NULL;
		if (p && (i & 1))
			munmap(p, 65536);	/* odd rounds: closed while still mapped */
		close(fd);
		if (p && !(i & 1))
			munmap(p, 65536);
	}
	after = mem_free_kb();
	check(fails == 0 && before - after < 4096,
	      "%d rounds of alloc, map, close without free: MemFree %ld -> %ld kB",
	      rounds, before, after);
}

/* A mapping keeps the file, and so the module, alive after close. */
static void check_unload(void)
{
	int fd = open_node(), e;
	unsigned char *p;

	e = unload_module();
	check(e != 0 && module_loaded(), "rmmod refused while the node is open (errno %d)", e);
	req_size(fd, IOC_ALLOC, 1024, NULL);
	p = map(fd, 1024, MAP_SHARED, 0, &e);
	close(fd);
	if (p) {
		memset(p, 0x3C, 1024);
		check(p[0] == 0x3C && p[1023] == 0x3C, "mapping still works after close");
		e = unload_module();
		check(e != 0 && module_loaded(), "rmmod refused while the mapping lives (errno %d)", e);
		munmap(p, 1024);
	} else {
		check(0, "map for the unload check (errno %d)", e);
	}
	e = unload_module();
	check(e == 0 && !module_loaded() && char_major() == 0,
	      "rmmod once node and mapping are gone; device unregistered (errno %d)", e);
}

static int run_module_checks(const char *module)
{
	int e, major, fd = -1;

	e = load_module(module);
	check(e == 0 && module_loaded(), "module %s loads (errno %d)", module, e);
	major = char_major();
	check(major > 0, "/proc/devices lists \"%d zorfldrv\" among character devices", major);
	unlink(NODE);
	check(mknod(NODE, S_IFCHR | 0600, makedev(major, 0)) == 0 &&
	      (fd = open_node()) >= 0, "minor 0 opens read/write");
	if (fd >= 0)
		close(fd);
	mknod(NODE "1", S_IFCHR | 0600, makedev(major, 1));
	fd = open(NODE "1", O_RDWR | O_CLOEXEC);
	check(fd < 0 && errno == ENXIO, "minor 1 does not exist (errno %d)", fd < 0 ? errno : 0);
	if (fd >= 0)
		close(fd);
	unlink(NODE "1");

	{
		static const uint32_t sizes[] = { 1024, 1, 4096, 4097, 65536 };

		for (size_t i = 0; i < sizeof(sizes) / sizeof(sizes[0]); i++)
			check_cycle(sizes[i]);
	}
	for (size_t i = 0; i < sizeof(refusals) / sizeof(refusals[0]); i++)
		check_refusal(&refusals[i]);
	check_efault();
	check_per_file();
	check_readonly_map();
	check_capability();
	check_mapping_lifetime();
	check_release_on_close();
	check_unload();

	e = load_module(module);
	check(e == 0 && char_major() > 0, "module loads again after unload (errno %d)", e);
	e = unload_module();
	check(e == 0 && !module_loaded(), "and unloads again (errno %d)", e);
	unlink(NODE);
	return 0;
}

/* ---- the tool ---- */

static void on_alarm(int sig)
{
	(void)sig;	/* only interrupts the read of a hung run */
}

struct run {
	int rc;
	char out[8192];
};

static const char *run_env;	/* NAME=VALUE for the tool's environment, or NULL */

/* Runs "TOOL /t" in dir with stdout captured; rc 124 if it hangs. */
static void run_tool(const char *tool, const char *dir, struct run *r)
{
	int fds[2], status;
	size_t n = 0;
	ssize_t got = 0;
	pid_t pid;

	struct sigaction sa = { .sa_handler = on_alarm };

	sigaction(SIGALRM, &sa, NULL);
	memset(r, 0, sizeof(*r));
	if (pipe(fds) != 0) {
		r->rc = -1;
		return;
	}
	pid = fork();
	if (pid == 0) {
		dup2(fds[1], 1);
		dup2(fds[1], 2);	/* the module tools write to stderr */
		close(fds[0]);
		close(fds[1]);
		if (run_env)
			putenv((char *)run_env);
		if (chdir(dir) == 0)
			execl(tool, tool, "/t", (char *)NULL);
		_exit(127);
	}
	close(fds[1]);
	alarm(30);
	while (n < sizeof(r->out) - 1 &&
	       (got = read(fds[0], r->out + n, sizeof(r->out) - 1 - n)) > 0)
		n += (size_t)got;
	if (got < 0 && errno == EINTR)
		kill(pid, SIGKILL);
	close(fds[0]);
	waitpid(pid, &status, 0);
	alarm(0);
	r->rc = WIFEXITED(status) ? WEXITSTATUS(status) : 124;
}

static int has(const struct run *r, const char *text)
{
	return strstr(r->out, text) != NULL;
}

static int node_gone(const char *dir)
{
	char path[256];
	struct stat st;

	snprintf(path, sizeof(path), "%s/zorfl", dir);
	return lstat(path, &st) != 0 && errno == ENOENT;
}

/* The tool's words in the log: after a check that passed, as the screen the check expects
 * (an error message there is what the case is about); after one that failed, as what it
 * printed instead. */
static void print_output(const struct run *r, int ok)
{
	printf(ok ? "# as expected, exit %d; the tool's screen:\n" : "# unexpected: exit %d, output:\n", r->rc);
	for (const char *s = r->out; *s;) {
		const char *nl = strchr(s, '\n');
		int len = nl ? (int)(nl - s) : (int)strlen(s);

		printf("#   | %.*s\n", len, s);
		s += len + (nl != NULL);
	}
}

/* This PC's BIOS has no flash handler: the run ends at the signature search. */
static void check_no_signature(const char *what, const char *tool, const char *dir, int show)
{
	struct run r;
	int ok;

	run_tool(tool, dir, &r);
	ok = r.rc == 2 && has(&r, "\nERROR: QZX Signature not found\n\n") &&
	     has(&r, "\nERROR: BIOS has no flash information available\n\n");
	check(ok, "tool, %s: both frames, exit 2 (got %d)", what, r.rc);
	if (show || !ok)
		print_output(&r, ok);
	check(node_gone(dir) && !module_loaded(), "tool, %s: no node left, module unloaded", what);
}

/* A symbolic link "zorfl" is never followed; the run refuses it and removes it. */
static void check_symlink(const char *tool, const char *dir, const char *target, int show)
{
	char link[256];
	struct stat before, after;
	struct run r;
	int ok;

	snprintf(link, sizeof(link), "%s/zorfl", dir);
	stat(target, &before);
	check(symlink(target, link) == 0, "symbolic link zorfl -> %s", target);
	run_tool(tool, dir, &r);
	/* A link is no node left by an earlier run: no "run again" line. */
	ok = r.rc == 16 && has(&r, "error 17 creating node zorfl: File exists\n") &&
	     !has(&r, "interrupted run") && has(&r, "\nERROR: Unable to load driver\n\n");
	check(ok, "tool, link to %s: node creation refused, exit 16 (got %d)", target, r.rc);
	if (show || !ok)
		print_output(&r, ok);
	stat(target, &after);
	check(after.st_ino == before.st_ino && after.st_mode == before.st_mode &&
	      after.st_rdev == before.st_rdev && after.st_size == before.st_size &&
	      after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
	      after.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
	      after.st_ctim.tv_sec == before.st_ctim.tv_sec &&
	      after.st_ctim.tv_nsec == before.st_ctim.tv_nsec,
	      "tool, link to %s: target untouched", target);
	check(node_gone(dir) && !module_loaded(), "tool, link to %s: link removed, module unloaded",
	      target);
	check_no_signature("run after the link", tool, dir, 0);
}

static int copy_file(const char *from, const char *to)
{
	char buf[65536];
	int in = open(from, O_RDONLY), out = open(to, O_WRONLY | O_CREAT | O_TRUNC, 0644);
	ssize_t n;
	int ok = in >= 0 && out >= 0;

	while (ok && (n = read(in, buf, sizeof(buf))) > 0)
		ok = write(out, buf, (size_t)n) == n;
	if (in >= 0)
		close(in);
	if (out >= 0)
		close(out);
	return ok;
}

/* A child that has become uid and gid 65534 with no groups; -1 in the parent on failure. */
static pid_t fork_nobody(void)
{
	pid_t pid = fork();

	if (pid == 0 && (setgroups(0, NULL) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0))
		_exit(250);
	return pid;
}

static int exit_code(pid_t pid)
{
	int status;

	waitpid(pid, &status, 0);
	return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

/*
 * Another run holds the run lock: this one ends at once with 19 and touches
 * nothing. Another user can neither create the lock file nor open root's to
 * hold it, and a file held in the old world-writable /run/lock stops nothing.
 */
static void check_run_lock(const char *tool, const char *dir)
{
	struct run r;
	int fd, gate[2];
	pid_t pid;
	char c;

	struct stat st;

	/* A rescue system without /run: the tool makes it, root's and 0755, whatever the umask. */
	umount("/run");
	check(rmdir("/run") == 0, "no /run");
	mode_t mask = umask(077);
	run_tool(tool, dir, &r);
	umask(mask);
	check(r.rc == 2 && stat("/run", &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 07777) == 0755 &&
	      stat(LOCK, &st) == 0 && (st.st_mode & 07777) == 0600,
	      "tool without /run: makes it 0755, the lock 0600, and runs (exit %d)", r.rc);
	unlink(LOCK);
	pid = fork_nobody();
	if (pid == 0)
		_exit(open(LOCK, O_RDWR | O_CREAT, 0644) < 0 ? errno : 0);
	check(exit_code(pid) == EACCES, "another user cannot plant %s", LOCK);
	run_tool(tool, dir, &r);
	check(r.rc == 2, "tool creates the run lock again (exit %d)", r.rc);
	pid = fork_nobody();
	if (pid == 0)
		_exit(open(LOCK, O_RDONLY) < 0 ? errno : 0);
	check(exit_code(pid) == EACCES, "another user cannot open %s to hold it", LOCK);

	fd = open(LOCK, O_RDWR | O_CLOEXEC);
	check(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0, "run lock taken by the check");
	run_tool(tool, dir, &r);
	check(r.rc == 19 && has(&r, "Another zorflashlnx2 is running on this machine"),
	      "tool, run lock held: exit 19 (got %d)", r.rc);
	check(node_gone(dir) && !module_loaded(), "tool, run lock held: no node, module not loaded");
	close(fd);

	mkdir("/run/lock", 01777);
	chmod("/run/lock", 01777);
	check(pipe(gate) == 0, "pipe");
	pid = fork_nobody();
	if (pid == 0) {
		fd = open("/run/lock/zorflashlnx2.lock", O_RDWR | O_CREAT, 0644);
		c = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
		if (write(gate[1], &c, 1) != 1)
			_exit(1);
		pause();
		_exit(0);
	}
	check(read(gate[0], &c, 1) == 1 && c == 1, "another user holds /run/lock/zorflashlnx2.lock");
	run_tool(tool, dir, &r);
	check(r.rc == 2, "tool, another user's lock in /run/lock: root's run goes on (exit %d)", r.rc);
	kill(pid, SIGKILL);
	exit_code(pid);
	close(gate[0]);
	close(gate[1]);
}

static int copy_file(const char *from, const char *to);

static int other_loaded(void)
{
	return file_has_line_with("/proc/modules", "crc7 ");
}

/*
 * A directory of another user's holds root's module file; that user swaps
 * their own module in and out with RENAME_EXCHANGE all the time. Root's run
 * never loads it: the directory is refused.
 */
static void check_owner_swap(const char *tool, const char *module)
{
	const char *dir = "/tmp/user";
	struct run r;
	pid_t pid;
	int i, ok = 1, said = 1;

	mkdir(dir, 0755);
	check(chown(dir, NOBODY, NOBODY) == 0 && copy_file(module, "/tmp/user/zorfldrv_mod.o") &&
	      copy_file(OTHER_MOD, "/tmp/user/mine.ko") && chown("/tmp/user/mine.ko", NOBODY, NOBODY) == 0,
	      "directory of uid %d with root's zorfldrv_mod.o and the user's mine.ko", NOBODY);
	pid = fork_nobody();
	if (pid == 0) {
		if (chdir(dir) != 0)
			_exit(1);
		for (;;)
			syscall(SYS_renameat2, AT_FDCWD, "zorfldrv_mod.o", AT_FDCWD, "mine.ko", RENAME_EXCHANGE);
	}
	for (i = 0; i < 3; ++i) {
		run_tool(tool, dir, &r);
		ok = ok && r.rc == 2 && !other_loaded();
		said = said && has(&r, " not loading ./zorfldrv_mod.o: the directory is owned by another user\n");
	}
	kill(pid, SIGKILL);
	exit_code(pid);
	check(ok, "tool, swapping user's directory: 3 runs, the user's module never loaded");
	check(said, "tool, swapping user's directory: the file is refused, and the line says why");
	if (!ok || !said)
		print_output(&r, ok && said);
}

/* The user's own insmod, rmmod and modprobe first in PATH never run. */
static void check_planted_path(const char *tool, const char *dir)
{
	const char *tools[] = { "insmod", "rmmod", "modprobe" };
	const char script[] = "#!/bin/sh\necho ran >/tmp/evil-ran\n";
	char path[64];
	struct run r;
	int i, fd;

	mkdir("/tmp/evil", 0755);
	for (i = 0; i < 3; ++i) {
		snprintf(path, sizeof(path), "/tmp/evil/%s", tools[i]);
		fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0755);
		check(fd >= 0 && write(fd, script, sizeof(script) - 1) == (ssize_t)sizeof(script) - 1,
		      "planted %s", path);
		close(fd);
	}
	run_env = "PATH=/tmp/evil:/sbin:/usr/sbin:/bin:/usr/bin";
	run_tool(tool, dir, &r);
	run_env = NULL;
	check(r.rc == 2 && access("/tmp/evil-ran", F_OK) != 0,
	      "tool, PATH=/tmp/evil:...: the planted tools never ran (exit %d)", r.rc);
	check(node_gone(dir) && !module_loaded(), "tool, planted PATH: no node, module unloaded");
}

/* A working directory on a file system mounted nodev: the node cannot be opened, and a line says why. */
static void check_nodev(const char *tool, const char *module)
{
	const char *dir = "/tmp/nodev";
	struct run r;
	int ok;

	mkdir(dir, 0755);
	check(mount("tmpfs", dir, "tmpfs", MS_NODEV, "mode=0755") == 0 &&
	      copy_file(module, "/tmp/nodev/zorfldrv_mod.o"), "nodev tmpfs at %s with the module", dir);
	run_tool(tool, dir, &r);
	ok = r.rc == 16 && has(&r, "error 13 opening driver: Permission denied\n"
			       " The working directory is on a file system mounted nodev: run from a"
			       " directory on a file system that allows device files\n");
	check(ok, "tool, nodev directory: exit 16 and the nodev line (got %d)", r.rc);
	if (!ok)
		print_output(&r, ok);
	check(node_gone(dir) && !module_loaded(), "tool, nodev directory: no node, module unloaded");
	umount(dir);
}

/* Started by the tool's shell under a module tool's name: the environment it was given, one
 * "TOOL NAME=VALUE" line each, then Debian's kmod. With SLOW_FLAG an insmod that loaded waits
 * before it returns, as a slow one would, so that a signal finds the module in the kernel. */
static int module_tool_main(const char *name, char **argv)
{
	extern char **environ;
	char real[64];
	FILE *log = fopen(ENV_LOG, "a");
	int status;
	pid_t pid;

	for (char **e = environ; log && *e; ++e)
		fprintf(log, "%s %s\n", name, *e);
	if (log)
		fclose(log);
	snprintf(real, sizeof(real), "%s/%s", KMOD_DIR, name);
	if (strcmp(name, "insmod") != 0 || access(SLOW_FLAG, F_OK) != 0) {
		execv(real, argv);
		return 127;
	}
	pid = fork();
	if (pid == 0) {
		execv(real, argv);
		_exit(127);
	}
	waitpid(pid, &status, 0);
	close(open(LOADED_FLAG, O_WRONLY | O_CREAT, 0644));
	sleep(20);
	return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

/* Runs "TOOL /t" in dir in a process group of its own, as a shell's job; once insmod has
 * loaded, sig goes to the whole group, as a Ctrl-C at the terminal does. */
static void run_tool_stopped(const char *tool, const char *dir, int sig, struct run *r)
{
	int fd = open("/tmp/stopped.out", O_RDWR | O_CREAT | O_TRUNC, 0644), status, i;
	ssize_t got;
	pid_t pid;

	memset(r, 0, sizeof(*r));
	unlink(LOADED_FLAG);
	pid = fork();
	if (pid == 0) {
		setpgid(0, 0);
		dup2(fd, 1);
		dup2(fd, 2);
		if (chdir(dir) == 0)
			execl(tool, tool, "/t", (char *)NULL);
		_exit(127);
	}
	setpgid(pid, pid);
	for (i = 0; i < 300 && access(LOADED_FLAG, F_OK) != 0; ++i)
		usleep(100000);
	kill(-pid, sig);
	waitpid(pid, &status, 0);
	r->rc = WIFEXITED(status) ? WEXITSTATUS(status) : 124;
	got = pread(fd, r->out, sizeof(r->out) - 1, 0);
	r->out[got > 0 ? got : 0] = '\0';
	close(fd);
}

/* Lines of ENV_LOG other than the two a module tool is given (and the PWD its shell sets). */
static int foreign_env_lines(void)
{
	char line[512];
	int n = 0, any = 0;
	FILE *f = fopen(ENV_LOG, "r");

	while (f && fgets(line, sizeof(line), f)) {
		char *var = strchr(line, ' ');

		any = 1;
		if (!var || strcmp(var, " PATH=/usr/sbin:/usr/bin:/sbin:/bin\n") == 0 ||
		    strcmp(var, " LC_ALL=C\n") == 0 || strncmp(var, " PWD=", 5) == 0)
			continue;
		printf("#   %s", line);
		++n;
	}
	if (f)
		fclose(f);
	return any ? n : -1;
}

/*
 * The module tools as a Debian system runs them: dash as /bin/sh, kmod behind
 * insmod, rmmod and modprobe. Whatever the caller's environment holds, the
 * tools get only PATH and LC_ALL=C: a modprobe option, a library the loader
 * would put first (it logs who loads it), a locale. And a stop signal that
 * reaches a slow insmod, SIGINT and SIGQUIT among them, which system() has the
 * tool ignore, ends the run with 20 before /dev/mem, the module unloaded.
 */
static void check_clean_commands(const char *tool, const char *dir)
{
	const char *names[] = { "insmod", "rmmod", "modprobe" };
	const int sigs[] = { SIGINT, SIGQUIT, SIGTERM, SIGHUP };
	char path[64];
	struct run r;
	int i, n, ok;

	mkdir("/usr", 0755);
	mkdir("/usr/sbin", 0755);
	mkdir("/usr/lib", 0755);
	mkdir(KMOD_DIR, 0755);
	for (i = 0; i < 3; ++i) {
		snprintf(path, sizeof(path), "%s/%s", KMOD_DIR, names[i]);
		symlink("/bin/kmod", path);
		snprintf(path, sizeof(path), "/usr/sbin/%s", names[i]);
		symlink("/check/zorfl_check", path);
	}
	check(rename("/bin/sh", "/bin/sh.busybox") == 0 && symlink("/bin/dash", "/bin/sh") == 0,
	      "dash is /bin/sh, kmod behind /usr/sbin/insmod, rmmod and modprobe");
	unlink(ENV_LOG);
	unlink(PRELOAD_LOG);
	setenv("MODPROBE_OPTIONS", "-C /tmp/caller-modprobe.conf", 1);
	setenv("LD_PRELOAD", "/lib/writes.so", 1);
	setenv("LD_LIBRARY_PATH", "/tmp", 1);
	setenv("LANG", "de_DE.UTF-8", 1);
	run_tool(tool, dir, &r);
	unsetenv("MODPROBE_OPTIONS");
	unsetenv("LD_PRELOAD");
	unsetenv("LD_LIBRARY_PATH");
	unsetenv("LANG");
	n = foreign_env_lines();
	check(r.rc == 2 && n == 0, "tool, caller's MODPROBE_OPTIONS, LD_PRELOAD, LD_LIBRARY_PATH, LANG: "
	      "the module tools see none of them (exit %d, %d foreign lines)", r.rc, n);
	{
		char line[256];
		FILE *f = fopen(PRELOAD_LOG, "r");

		ok = f != NULL;
		while (f && fgets(line, sizeof(line), f))
			if (strcmp(line, "/tool/zorflashlnx2\n") != 0) {
				printf("#   loaded by %s", line);
				ok = 0;
			}
		if (f)
			fclose(f);
		check(ok, "tool, caller's LD_PRELOAD: loaded by the tool only, never by dash or kmod");
	}
	check(node_gone(dir) && !module_loaded(), "tool, caller's environment: no node, module unloaded");

	close(open(SLOW_FLAG, O_WRONLY | O_CREAT, 0644));
	for (i = 0; i < 4; ++i) {
		run_tool_stopped(tool, dir, sigs[i], &r);
		ok = r.rc == 20 && has(&r, "\nERROR: Stopped by a signal; the flash was not changed\n") &&
		     !has(&r, "QZX Signature");
		check(ok, "tool, %s while insmod runs: exit 20 before /dev/mem (got %d)", strsignal(sigs[i]), r.rc);
		if (!ok)
			print_output(&r, ok);
		check(node_gone(dir) && !module_loaded(), "tool, %s while insmod runs: module unloaded",
		      strsignal(sigs[i]));
	}
	unlink(SLOW_FLAG);
	for (i = 0; i < 3; ++i) {
		snprintf(path, sizeof(path), "/usr/sbin/%s", names[i]);
		unlink(path);
	}
	unlink("/bin/sh");
	check(rename("/bin/sh.busybox", "/bin/sh") == 0, "busybox is /bin/sh again");
}

/* No /proc: a line says so before any module command, and the load by name goes on. */
static void check_no_proc(const char *tool, const char *dir)
{
	struct run r;
	int ok;

	umount("/proc");
	run_tool(tool, dir, &r);
	mount("proc", "/proc", "proc", 0, NULL);
	ok = r.rc == 16 && has(&r, " /proc is not mounted: zorfldrv_mod is loaded by name only\n") &&
	     has(&r, "error driver zorfldrv not found\n");
	check(ok, "tool without /proc: its line, the load by name, exit 16 (got %d)", r.rc);
	if (!ok)
		print_output(&r, ok);
	check(node_gone(dir) && !module_loaded(), "tool without /proc: no node, module unloaded");
}

static int run_tool_checks(const char *tool, const char *module)
{
	const char *dir = "/tmp/run", *bare = "/tmp/bare", *keep = "/tmp/keep";
	int fd, e;

	mkdir(dir, 0755);
	mkdir(bare, 0755);
	check(copy_file(module, "/tmp/run/zorfldrv_mod.o") && !module_loaded(),
	      "run directory holds zorfldrv_mod.o, module not loaded");

	check_no_signature("first run", tool, dir, 1);
	check_no_signature("second run", tool, dir, 0);
	check_run_lock(tool, dir);
	check_owner_swap(tool, module);
	check_planted_path(tool, dir);
	check_nodev(tool, module);
	check_clean_commands(tool, dir);
	check_no_proc(tool, bare);

	/* Already registered: found in /proc/devices, no load command needed. */
	e = load_module(module);
	check(e == 0, "module loaded beforehand (errno %d)", e);
	check_no_signature("module loaded, no node, no module file", tool, bare, 0);

	check_symlink(tool, dir, "/dev/null", 1);
	fd = open(keep, O_WRONLY | O_CREAT | O_TRUNC, 0644);
	check(fd >= 0 && write(fd, "keep\n", 5) == 5, "regular file %s", keep);
	close(fd);
	check_symlink(tool, dir, keep, 0);
	return 0;
}

/*
 * The module installed in the module tree, as the DKMS package leaves it, and
 * no module file in the directory: both insmod commands fail and the tool's
 * modprobe loads it by name. With the tree moved away nothing can load it.
 */
static int run_installed_checks(const char *tool, const char *modules)
{
	const char *dir = "/tmp/fresh";
	char away[256];
	struct run r;
	int ok;

	mkdir(dir, 0755);
	check(!module_loaded() && access("/tmp/fresh/zorfldrv_mod.o", F_OK) != 0,
	      "module not loaded, no module file in %s", dir);
	check_no_signature("module installed, no module file", tool, dir, 1);

	snprintf(away, sizeof(away), "%s.away", modules);
	check(rename(modules, away) == 0, "module tree %s moved away", modules);
	run_tool(tool, dir, &r);
	ok = r.rc == 16 && has(&r, "error loading driver\n no zorfldrv_mod for this kernel (") &&
	     has(&r, " and zorfldrv-dkms\n\nERROR: Unable to load driver\n\n") &&
	     !has(&r, "rmmod");
	check(ok, "tool, module not installed: error loading driver, the DKMS hint, exit 16 (got %d)",
	      r.rc);
	if (!ok)
		print_output(&r, ok);
	check(node_gone(dir) && !module_loaded(), "tool, module not installed: no node, not loaded");
	check(rename(away, modules) == 0, "module tree %s back in place", modules);
	return 0;
}

int main(int argc, char **argv)
{
	int ret = 2;

	const char *self = strrchr(argv[0], '/') ? strrchr(argv[0], '/') + 1 : argv[0];

	if (!strcmp(self, "insmod") || !strcmp(self, "rmmod") || !strcmp(self, "modprobe"))
		return module_tool_main(self, argv);
	setvbuf(stdout, NULL, _IOLBF, 0);
	if (argc == 3 && strcmp(argv[1], "module") == 0)
		ret = run_module_checks(argv[2]);
	else if (argc == 4 && strcmp(argv[1], "tool") == 0)
		ret = run_tool_checks(argv[2], argv[3]);
	else if (argc == 4 && strcmp(argv[1], "installed") == 0)
		ret = run_installed_checks(argv[2], argv[3]);
	else
		fprintf(stderr, "usage: %s module MODULE.o | tool TOOL MODULE.o | installed TOOL DIR\n",
			argv[0]);
	if (ret == 0)
		printf("zorfl_check %s: done\n", argv[1]);
	return ret;
}
