#pragma once

// The C library's own entry points behind the ones the attachment interposes. The library calls
// only these (never its own hooks), so it cannot recurse into itself.
#include <sys/types.h>
#include <sys/uio.h>
#include <termios.h>
#include <time.h>

namespace sievra::link {

struct RealCalls {
    int (*open)(const char*, int, ...);
    int (*open64)(const char*, int, ...);
    int (*openat)(int, const char*, int, ...);
    int (*openat64)(int, const char*, int, ...);
    int (*open_2)(const char*, int);
    int (*open64_2)(const char*, int);
    int (*openat_2)(int, const char*, int);
    int (*openat64_2)(int, const char*, int);
    int (*close)(int);
    int (*close_range)(unsigned, unsigned, int);
    int (*dup)(int);
    int (*dup2)(int, int);
    int (*dup3)(int, int, int);
    int (*fcntl)(int, int, ...);
    int (*fcntl64)(int, int, ...);
    ssize_t (*read)(int, void*, size_t);
    ssize_t (*read_chk)(int, void*, size_t, size_t);
    ssize_t (*readv)(int, const iovec*, int);
    ssize_t (*pread64)(int, void*, size_t, off_t);
    ssize_t (*write)(int, const void*, size_t);
    ssize_t (*writev)(int, const iovec*, int);
    ssize_t (*pwrite64)(int, const void*, size_t, off_t);
    int (*ioctl)(int, unsigned long, ...);
    int (*tcgetattr)(int, termios*);
    int (*tcsetattr)(int, int, const termios*);
    int (*tcflush)(int, int);
    int (*tcdrain)(int);
    int (*tcsendbreak)(int, int);
    int (*tcflow)(int, int);
    int (*execve)(const char*, char* const[], char* const[]);
    int (*execvpe)(const char*, char* const[], char* const[]);
    int (*fexecve)(int, char* const[], char* const[]);
    int (*login_tty)(int);
    // The C library's own clock, whatever other preloaded libraries make of the program's (one
    // that stands still would keep a look at a descriptor fresh, or a wait going, for ever).
    int (*clock_gettime)(clockid_t, timespec*);
};

// Resolved at load; a hook called before that (from another library's constructor) resolves
// the table itself.
const RealCalls& Real();
void ResolveRealCalls();

}  // namespace sievra::link
