/*
 * Stops an unchanged dynamically linked program at a chosen line of its
 * progress output, for the power-cut and signal stages of the firmware VM
 * (guest only): LD_PRELOAD=fw_stop.so FW_STOP=TEXT [FW_STOP_SIGNAL=N]. The
 * tool shows its progress as a label (fputs or fwrite) and a position
 * (printf); once the two together hold TEXT, before the flash command of that
 * position, the output is flushed and the program stops itself with SIGSTOP,
 * which it cannot hold back; or, with FW_STOP_SIGNAL, signal N goes to its
 * process group, as a Ctrl-C at the terminal would. For a power cut the guest
 * then sees it stopped and the host cuts the power. Either way the event
 * lands at the same piece however fast or slow the host runs the guest.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char line[256];	/* the label and position shown last */
static int done;	/* once only: a line shown again later goes by */

static void shown(const char *text, int is_label)
{
	const char *want = getenv("FW_STOP"), *sig = getenv("FW_STOP_SIGNAL");
	size_t n = is_label ? 0 : strlen(line);

	snprintf(line + n, sizeof line - n, "%s", text);
	if (!done && want && *want && strstr(line, want)) {
		done = 1;
		fflush(stdout);
		if (sig)
			kill(0, atoi(sig));
		else
			raise(SIGSTOP);
	}
}

int fputs(const char *s, FILE *f)
{
	static int (*real)(const char *, FILE *);

	if (!real)
		real = (__extension__(int (*)(const char *, FILE *))dlsym(RTLD_NEXT, "fputs"));
	if (f == stdout)
		shown(s, 1);
	return real(s, f);
}

/* A label the compiler turned into a write of known length. */
size_t fwrite(const void *buf, size_t size, size_t n, FILE *f)
{
	static size_t (*real)(const void *, size_t, size_t, FILE *);
	char text[128];

	if (!real)
		real = (__extension__(size_t (*)(const void *, size_t, size_t, FILE *))dlsym(RTLD_NEXT, "fwrite"));
	if (f == stdout && size * n < sizeof text) {
		memcpy(text, buf, size * n);
		text[size * n] = '\0';
		shown(text, 1);
	}
	return real(buf, size, n, f);
}

static int formatted(const char *fmt, va_list ap)
{
	char text[128];
	va_list again;
	int r;

	va_copy(again, ap);
	vsnprintf(text, sizeof text, fmt, again);
	va_end(again);
	r = vprintf(fmt, ap);
	shown(text, 0);
	return r;
}

int printf(const char *fmt, ...)
{
	va_list ap;
	int r;

	va_start(ap, fmt);
	r = formatted(fmt, ap);
	va_end(ap);
	return r;
}

int __printf_chk(int flag, const char *fmt, ...)
{
	va_list ap;
	int r;

	(void)flag;
	va_start(ap, fmt);
	r = formatted(fmt, ap);
	va_end(ap);
	return r;
}
