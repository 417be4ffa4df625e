// A plain C program for the tests of the attachment: opens PORT and writes "x", then a vfork
// child (which shares the program's memory, the attachment's included, but not its descriptors)
// makes the port's number a pipe and writes "abcdef" there; once it has gone, the program reads
// the pipe and writes "end" to the port. Exit status 0 when every step went as asked.
#define _GNU_SOURCE
#include <fcntl.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    const int fd = open(argv[1], O_RDWR | O_NOCTTY);
    int pipe_ends[2];
    if (fd < 0 || write(fd, "x", 1) != 1 || pipe(pipe_ends) != 0)
        return 1;
    const pid_t child = vfork();
    if (child == 0) {
        if (dup2(pipe_ends[1], fd) != fd || write(fd, "abcdef", 6) != 6)
            _exit(1);
        _exit(0);
    }
    int status = 0;
    char got[6];
    if (child < 0 || waitpid(child, &status, 0) != child || status != 0 ||
        read(pipe_ends[0], got, sizeof got) != 6 || memcmp(got, "abcdef", 6) != 0 ||
        write(fd, "end", 3) != 3)
        return 1;
    return close(fd) == 0 ? 0 : 1;
}
