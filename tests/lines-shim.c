/* Preloaded into Wine (LD_PRELOAD) for the window test. A pseudo-terminal has
 * no modem lines: it refuses TIOCMGET and TIOCMSET with ENOTTY, which Wine
 * reads and writes DTR and RTS with, so EscapeCommFunction fails where a
 * Windows driver takes it. Here a terminal's refusal is answered as a driver
 * with the lines would (each descriptor's lines kept here, dropped as it
 * closes), and each change of DTR or RTS and each break is added to
 * $QUORVEL_LINES_RECORD as "<monotonic ms> DTR on", the record the POSIX
 * stand-in keeps (src/posix/modemlines.cpp). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { MaxFd = 4096 };
static int lines[MaxFd];  /* TIOCM_DTR | TIOCM_RTS, as last set */

static void Record(const char *change)
{
    const char *path = getenv("QUORVEL_LINES_RECORD");
    FILE *f = path ? fopen(path, "a") : NULL;
    if (!f) return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    fprintf(f, "%lld %s\n", (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000, change);
    fclose(f);
}

/* Records the lines that `bits` changes (all it names, for TIOCMBIS and TIOCMBIC). */
static void Set(int fd, unsigned long request, int bits)
{
    const int was = lines[fd];
    const int now = request == TIOCMSET ? bits : request == TIOCMBIS ? was | bits : was & ~bits;
    const int named = request == TIOCMSET ? was ^ now : bits;
    if (named & TIOCM_DTR) Record(now & TIOCM_DTR ? "DTR on" : "DTR off");
    if (named & TIOCM_RTS) Record(now & TIOCM_RTS ? "RTS on" : "RTS off");
    lines[fd] = now & (TIOCM_DTR | TIOCM_RTS);
}

int ioctl(int fd, unsigned long request, ...)
{
    static int (*real)(int, unsigned long, ...);
    if (!real) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    const int r = real(fd, request, arg), error = errno;
    const int modem = request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if ((!modem && request != TIOCSBRK && request != TIOCCBRK) || (r != 0 && error != ENOTTY) || fd < 0 || fd >= MaxFd || !isatty(fd)) {
        errno = error;
        return r;
    }
    if (request == TIOCMGET) {
        if (r != 0) *(int *)arg = lines[fd];
    } else if (modem) {
        Set(fd, request, *(const int *)arg);
    } else {
        Record(request == TIOCSBRK ? "break on" : "break off");
    }
    return 0;
}

int close(int fd)
{
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "close");
    if (fd >= 0 && fd < MaxFd) lines[fd] = 0;
    return real(fd);
}
