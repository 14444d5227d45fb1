/*
 * Step marks of an unchanged dynamically linked program, for the firmware
 * VM's benchmark (guest only): LD_PRELOAD=fw_marks.so FW_MARKS=FILE. Each
 * library call that starts a step of a flashing run takes a TSC reading; the
 * readings go to FILE as "TSC step name" lines when the program exits, so the
 * program's own output is untouched. Marks taken: the preload's constructor
 * (the loader is done), the run lock's open, the ROM file's open, the first
 * look at /proc/devices, each module command (system(), or posix_spawn/fork)
 * and the wait for it, /dev/mem, the first read of the ROM file (its checks)
 * and its first read from offset 0 (the load), and exit().
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdint.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static struct {
	uint64_t at;
	char step[64];
} marks[32];
static unsigned n_marks;
static int seen_lock, seen_mem, seen_rom, seen_devices, unloading;
static FILE *rom_stream;
static int rom_read, rom_loaded;
static char last_path[256];	/* the path of the last open() */

static uint64_t tsc(void)
{
	uint32_t lo, hi;

	__asm__ volatile("rdtsc" : "=a"(lo), "=d"(hi));
	return (uint64_t)hi << 32 | lo;
}

static void mark(const char *step, const char *detail)
{
	if (n_marks >= sizeof marks / sizeof marks[0])
		return;
	marks[n_marks].at = tsc();
	snprintf(marks[n_marks].step, sizeof marks[0].step, "%s%s", step, detail);
	n_marks++;
}

static int ends_with(const char *s, const char *tail)
{
	size_t n = strlen(s), m = strlen(tail);

	return n >= m && !strcmp(s + n - m, tail);
}

static void saw_path(const char *path)
{
	if (!path)
		return;
	if (!seen_lock && ends_with(path, "zorflashlnx2.lock") && (seen_lock = 1))
		mark("lock, iopl", "");
	else if (!seen_mem && !strcmp(path, "/dev/mem") && (seen_mem = 1))
		mark("/dev/mem, discovery", "");
	else if (!seen_devices && !strcmp(path, "/proc/devices") && (seen_devices = 1))
		mark("driver: node, /proc/devices, module file checks", "");
	else if (!seen_rom && ends_with(path, ".rom") && (seen_rom = 1))
		mark("ROM file open", "");
}

/* The ROM file's stream: its first read is the checks', its first from the
 * start of the file the load's. */
static FILE *saw_stream(const char *path, FILE *f)
{
	if (path && ends_with(path, ".rom") && !rom_stream)
		rom_stream = f;
	return f;
}

static void reading(FILE *f)
{
	if (!f || f != rom_stream)
		return;
	if (!rom_read && (rom_read = 1))
		mark("file checks: ROM ID, boot block", "");
	else if (!rom_loaded && ftello(f) == 0 && (rom_loaded = 1))
		mark("load: 4 KB reads into the image, scan", "");
}

__attribute__((constructor)) static void started(void)
{
	mark("options, banner", "");
}

__attribute__((destructor)) static void finished(void)
{
	const char *path = getenv("FW_MARKS");
	FILE *out;

	mark("process teardown", "");
	out = path ? fopen(path, "w") : NULL;
	for (unsigned i = 0; out && i < n_marks; i++)
		fprintf(out, "%llu %s\n", (unsigned long long)marks[i].at, marks[i].step);
	if (out)
		fclose(out);
}

/* The next definition of a call, looked up once: a lookup is dear beside a mark. */
#define REAL(name)                                                                        \
	(__extension__({                                                                  \
		static __typeof__(&name) real_;                                           \
		if (!real_)                                                               \
			real_ = (__extension__(__typeof__(&name))dlsym(RTLD_NEXT, #name)); \
		real_;                                                                    \
	}))

/* A module command starts: "insmod ./x.o 2> /dev/null" is the step
 * "driver load: insmod ./x.o", "rmmod x" the step "unload: rmmod x". */
static void command_starts(const char *command)
{
	const char *end = command ? strstr(command, " 2>") : NULL;
	char what[48];

	snprintf(what, sizeof what, "%.*s", command ? (int)(end ? end - command : (long)strlen(command)) : 0,
		 command ? command : "");
	unloading = !strncmp(what, "rmmod", 5);
	mark(unloading ? "unload: " : "driver load: ", what);
}

static void command_done(void)
{
	mark(unloading ? "exit: descriptors, privilege" : "node: /proc/devices, mknod, open", "");
}

int system(const char *command)
{
	int r;

	command_starts(command);
	r = REAL(system)(command);
	command_done();
	return r;
}

/* The same steps when the commands are started without a shell. */
static void spawn_starts(char *const argv[])
{
	char what[48] = "";

	for (int i = 0; argv && argv[i] && i < 2; i++)
		snprintf(what + strlen(what), sizeof what - strlen(what), "%s%s", i ? " " : "", argv[i]);
	command_starts(what);
}

int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
		const posix_spawnattr_t *attr, char *const argv[], char *const envp[])
{
	spawn_starts(argv);
	return REAL(posix_spawn)(pid, path, actions, attr, argv, envp);
}

int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions,
		 const posix_spawnattr_t *attr, char *const argv[], char *const envp[])
{
	spawn_starts(argv);
	return REAL(posix_spawnp)(pid, file, actions, attr, argv, envp);
}

pid_t fork(void)
{
	command_starts("a command (fork)");
	return REAL(fork)();
}

pid_t waitpid(pid_t pid, int *status, int options)
{
	pid_t r = REAL(waitpid)(pid, status, options);

	command_done();
	return r;
}

static mode_t mode_of(int flags, va_list ap)
{
	return flags & (O_CREAT | O_TMPFILE) ? va_arg(ap, mode_t) : 0;
}

int open(const char *path, int flags, ...)
{
	va_list ap;
	mode_t mode;

	va_start(ap, flags);
	mode = mode_of(flags, ap);
	va_end(ap);
	saw_path(path);
	snprintf(last_path, sizeof last_path, "%s", path);
	return REAL(open)(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
	va_list ap;
	mode_t mode;

	va_start(ap, flags);
	mode = mode_of(flags, ap);
	va_end(ap);
	saw_path(path);
	snprintf(last_path, sizeof last_path, "%s", path);
	return REAL(open64)(path, flags, mode);
}

int openat(int dir, const char *path, int flags, ...)
{
	va_list ap;
	mode_t mode;

	va_start(ap, flags);
	mode = mode_of(flags, ap);
	va_end(ap);
	saw_path(path);
	snprintf(last_path, sizeof last_path, "%s", path);
	return REAL(openat)(dir, path, flags, mode);
}

FILE *fopen(const char *path, const char *how)
{
	saw_path(path);
	return saw_stream(path, REAL(fopen)(path, how));
}

FILE *fopen64(const char *path, const char *how)
{
	saw_path(path);
	return saw_stream(path, REAL(fopen64)(path, how));
}

/* A stream made from a descriptor of the ROM file: the one opened last. */
FILE *fdopen(int fd, const char *how)
{
	return saw_stream(last_path, REAL(fdopen)(fd, how));
}

size_t fread(void *buf, size_t size, size_t n, FILE *f)
{
	reading(f);
	return REAL(fread)(buf, size, n, f);
}

size_t __fread_chk(void *buf, size_t buflen, size_t size, size_t n, FILE *f)
{
	reading(f);
	return REAL(__fread_chk)(buf, buflen, size, n, f);
}

void exit(int code)
{
	mark("exit: atexit, stdio", "");
	REAL(exit)(code);
	__builtin_unreachable();
}
