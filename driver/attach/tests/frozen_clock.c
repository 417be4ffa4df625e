// Preloaded beside the attachment by tests: a program whose coarse monotonic clock stands still,
// as under a clock-faking library that freezes time.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <time.h>

int clock_gettime(clockid_t clock, struct timespec* t) {
    static int (*real)(clockid_t, struct timespec*);
    if (real == NULL)
        real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
    const int r = real(clock, t);
    if (r == 0 && clock == CLOCK_MONOTONIC_COARSE) {
        t->tv_sec = 1000;
        t->tv_nsec = 0;
    }
    return r;
}
