// A plain C program for the tests of the system-call path: opens PORT, sets it raw at 9600 bps,
// and writes TEXT through stdio (fprintf on the port's stream). Then it reads REPLY_BYTES bytes
// and prints them. Options, after those: "await" reads one byte from the port before writing
// (so a test can get ready first); "drop" gives up root for nobody after the open, before any
// other call on the port; "plain" writes with write() instead of stdio (whose own writes happen
// inside the C library, where the attachment cannot see them); "shared" writes with write() from
// a shared mapping of a file, which must hold the text alone at every moment; "vector" writes
// with pwritev2 at the current position, in two pieces.
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

static int ReadFully(int fd, char* buffer, int n) {
    int got = 0;
    while (got < n) {
        const ssize_t r = read(fd, buffer + got, (size_t)(n - got));
        if (r <= 0)
            return -1;
        got += (int)r;
    }
    return got;
}

int main(int argc, char** argv) {
    if (argc < 4)
        return 2;
    int await_byte = 0, drop = 0, plain = 0, shared = 0, vector = 0;
    for (int i = 4; i < argc; ++i) {
        await_byte |= strcmp(argv[i], "await") == 0;
        drop |= strcmp(argv[i], "drop") == 0;
        plain |= strcmp(argv[i], "plain") == 0;
        shared |= strcmp(argv[i], "shared") == 0;
        vector |= strcmp(argv[i], "vector") == 0;
    }
    const int fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0)
        return 3;
    if (drop && (setgid(65534) != 0 || setuid(65534) != 0 || getuid() != 65534))
        return 4;
    FILE* port = fdopen(fd, "r+");
    struct termios t;
    if (port == NULL || tcgetattr(fd, &t) != 0)
        return 5;
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        return 6;
    char reply[256];
    if (await_byte && ReadFully(fd, reply, 1) != 1)
        return 7;
    // ABCDE is written from the program's read-only constants; whatever watches the write must
    // leave the program's bytes as they were.
    static const char kConstant[] = "ABCDE";
    const char* text = strcmp(argv[2], kConstant) == 0 ? kConstant : argv[2];
    const size_t length = strlen(text);
    if (shared) {
        const int file = memfd_create("text", 0);
        char* mapped = file < 0 || ftruncate(file, 4096) != 0
                           ? MAP_FAILED
                           : mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
        if (mapped == MAP_FAILED || length >= 4096)
            return 12;
        memcpy(mapped, text, length);
        text = mapped;
        plain = 1;
    }
    char before[256];
    if (length >= sizeof before)
        return 2;
    memcpy(before, text, length);
    const struct iovec pieces[2] = {{(void*)text, length / 2},
                                    {(void*)(text + length / 2), length - length / 2}};
    if (vector  ? pwritev2(fd, pieces, 2, -1, 0) != (ssize_t)length
        : plain ? write(fd, text, length) != (ssize_t)length
                : fprintf(port, "%s", text) < 0 || fflush(port) != 0) {
        return 8;
    }
    if (memcmp(before, text, length) != 0)
        return 11;
    const int n = atoi(argv[3]);
    if (n < 0 || n >= (int)sizeof reply || ReadFully(fd, reply, n) != n)
        return 9;
    reply[n] = '\0';
    printf("reply %s\n", reply);
    return fclose(port) == 0 ? 0 : 10;
}
