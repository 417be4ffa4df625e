// A plain C program for the tests of the attachment: opens PORT, sets it raw at 9600 bps, writes
// TEXT, reads REPLY_BYTES bytes, prints them as "reply ..." and closes the port. How it writes
// and reads is the fourth argument: "plain" (write and read), "stdio" (fprintf and fflush on a
// stream of fdopen, fread), "putc" (putc_unlocked and fputs on the stream, then fflush),
// "fread" (fputs, then fread on the same stream: the library's own read, which the attachment
// cannot see), "stdout" (the port made standard output, printf and putchar with no flush: the exit
// flushes them, so a reply cannot be waited for) or "aio" (aio_write and aio_read, waited for with
// aio_suspend). With "drop" after it, the program gives up root for nobody before it opens the
// port, as a daemon started by root does.
#define _GNU_SOURCE
#include <aio.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static int AioWait(struct aiocb* cb) {
    const struct aiocb* list[1] = {cb};
    while (aio_error(cb) == EINPROGRESS)
        aio_suspend(list, 1, NULL);
    return (int)aio_return(cb);
}

static int ReadReply(int fd, const char* mode, char* reply, int n) {
    int got = 0;
    while (got < n) {
        ssize_t r;
        if (strcmp(mode, "aio") == 0) {
            struct aiocb cb;
            memset(&cb, 0, sizeof cb);
            cb.aio_fildes = fd;
            cb.aio_buf = reply + got;
            cb.aio_nbytes = (size_t)(n - got);
            r = aio_read(&cb) == 0 ? AioWait(&cb) : -1;
        } else {
            r = read(fd, reply + got, (size_t)(n - got));
        }
        if (r <= 0)
            return -1;
        got += (int)r;
    }
    return got;
}

int main(int argc, char** argv) {
    if (argc < 5)
        return 2;
    const char* mode = argv[4];
    const int reply_bytes = atoi(argv[3]);
    if (argc > 5 && strcmp(argv[5], "drop") == 0) {
        const gid_t none = 65534;
        if (setgroups(1, &none) != 0 || setresgid(none, none, none) != 0 ||
            setresuid(65534, 65534, 65534) != 0)
            return 4;
    }
    const int fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0)
        return 3;
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return 5;
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        return 6;
    const char* text = argv[2];
    const size_t length = strlen(text);
    char reply[256] = {0};
    if (reply_bytes < 0 || reply_bytes >= (int)sizeof reply)
        return 2;
    if (strcmp(mode, "plain") == 0) {
        if (write(fd, text, length) != (ssize_t)length)
            return 8;
    } else if (strcmp(mode, "stdio") == 0 || strcmp(mode, "putc") == 0) {
        FILE* port = fdopen(dup(fd), "w");
        if (port == NULL)
            return 8;
        if (strcmp(mode, "stdio") == 0) {
            if (fprintf(port, "%s", text) != (int)length)
                return 9;
        } else {
            flockfile(port);
            for (size_t i = 0; i < length / 2; ++i)
                putc_unlocked(text[i], port);
            funlockfile(port);
            if (fputs(text + length / 2, port) < 0)
                return 9;
        }
        if (fflush(port) != 0 || fclose(port) != 0)
            return 10;
    } else if (strcmp(mode, "stdout") == 0) {
        if (dup2(fd, 1) != 1)
            return 8;
        if (length < 2 || reply_bytes != 0 || printf("%.*s", (int)(length - 1), text) < 0 ||
            putchar(text[length - 1]) < 0)
            return 9;
    } else if (strcmp(mode, "fread") == 0) {
        FILE* port = fdopen(dup(fd), "r+");
        if (port == NULL || fputs(text, port) < 0 || fflush(port) != 0)
            return 9;
        if (fread(reply, 1, (size_t)reply_bytes, port) != (size_t)reply_bytes || fclose(port) != 0)
            return 7;
        fprintf(stderr, "reply %s\n", reply);
        return close(fd) == 0 ? 0 : 11;
    } else if (strcmp(mode, "aio") == 0) {
        struct aiocb cb;
        memset(&cb, 0, sizeof cb);
        cb.aio_fildes = fd;
        cb.aio_buf = (void*)text;
        cb.aio_nbytes = length;
        if (aio_write(&cb) != 0 || AioWait(&cb) != (int)length)
            return 9;
    } else {
        return 2;
    }
    if (ReadReply(fd, mode, reply, reply_bytes) != reply_bytes)
        return 7;
    fprintf(stderr, "reply %s\n", reply);
    return close(fd) == 0 ? 0 : 11;
}
