// A plain C program for the tests of the system-call path that reaches a port in ways a tracer
// can lose track of. It writes PORT's expected bytes, one way per mode, and prints "done":
//   swap:     a process sharing its descriptor table moves the port onto a number the tracer
//             knew as another file ("B" there must be seen), then a new file takes the port's
//             old number ("FAKE" there is no write on the port);
//   sendfile: sends "E" from a file (refused on a watched port: then it writes it);
//   uring:    writes "F" through an io_uring (refused under watch: then write());
//   aio:      writes "G" through the kernel's own asynchronous I/O (refused: then write());
//   race:     a thread writes "ABC" while output is suspended; once the kernel holds the bytes
//             and the thread waits in the call, another thread makes the buffer "XYZ" and lets
//             the output go on.
//   dup2 OTHER: like race, but while the thread waits in its write of "ABC" the port's number
//             is made OTHER's (dup2); then output goes on, so "ABC" reaches the port though its
//             number names OTHER when the call ends; then "Z" is written on the number (OTHER).
//   pwritev2: writes "D" with pwritev2 at the current position, which a terminal takes as writev.
//   int80:    makes 32-bit calls (int 0x80): writes "H", then "IJ" with writev (refused under
//             watch: then with write), and reads one byte, which must be "K";
//   probe32:  makes one 32-bit call (a kernel without them kills the program).
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/aio_abi.h>
#include <linux/io_uring.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

// Runs action(a, b) in a process that shares this one's descriptor table, and waits for it.
static int InSharedTable(int (*action)(int, int), int a, int b) {
    const long child = syscall(SYS_clone, CLONE_FILES | SIGCHLD, 0, 0, 0, 0);
    if (child == 0)
        _exit(action(a, b));
    int status = 0;
    return child > 0 && waitpid((pid_t)child, &status, 0) == child && WIFEXITED(status) &&
                   WEXITSTATUS(status) == 0
               ? 0
               : -1;
}

static int MoveOnto(int from, int to) {
    return dup2(from, to) == to && close(from) == 0 ? 0 : 1;
}

static int Swap(const char* path) {
    const int other = open("/dev/null", O_WRONLY);
    if (other < 0 || write(other, "x", 1) != 1)
        return 3;
    const int port = open(path, O_RDWR | O_NOCTTY);
    if (port < 0 || write(port, "A", 1) != 1)
        return 4;
    if (InSharedTable(MoveOnto, port, other) != 0)
        return 5;
    if (write(other, "B", 1) != 1)
        return 6;
    const int scratch = memfd_create("scratch", 0);  // the lowest free number: the port's old one
    if (scratch != port || write(scratch, "FAKE", 4) != 4)
        return 7;
    return 0;
}

// Sends "E" to the port from a file with sendfile, or writes it when the port refuses that.
static int SendFile(int port) {
    const int file = memfd_create("text", 0);
    if (file < 0 || write(file, "E", 1) != 1)
        return 5;
    off_t from = 0;
    return sendfile(port, file, &from, 1) == 1 || write(port, "E", 1) == 1 ? 0 : 6;
}

// Writes n bytes of text to fd through a new io_uring; the call's result, or -1 without a ring.
static long RingWrite(int fd, const char* text, unsigned n) {
    struct io_uring_params params;
    memset(&params, 0, sizeof params);
    const int ring = (int)syscall(SYS_io_uring_setup, 1, &params);
    if (ring < 0)
        return -1;
    const size_t sq_size = params.sq_off.array + params.sq_entries * sizeof(unsigned);
    const size_t cq_size = params.cq_off.cqes + params.cq_entries * sizeof(struct io_uring_cqe);
    char* sq = mmap(NULL, sq_size, PROT_READ | PROT_WRITE, MAP_SHARED, ring, IORING_OFF_SQ_RING);
    char* cq = mmap(NULL, cq_size, PROT_READ | PROT_WRITE, MAP_SHARED, ring, IORING_OFF_CQ_RING);
    struct io_uring_sqe* sqe =
        mmap(NULL, sizeof *sqe, PROT_READ | PROT_WRITE, MAP_SHARED, ring, IORING_OFF_SQES);
    if (sq == MAP_FAILED || cq == MAP_FAILED || sqe == MAP_FAILED)
        return -1;
    memset(sqe, 0, sizeof *sqe);
    sqe->opcode = IORING_OP_WRITE;
    sqe->fd = fd;
    sqe->addr = (unsigned long)text;
    sqe->len = n;
    sqe->off = (__u64)-1;
    unsigned* tail = (unsigned*)(sq + params.sq_off.tail);
    ((unsigned*)(sq + params.sq_off.array))[*tail & *(unsigned*)(sq + params.sq_off.ring_mask)] = 0;
    __atomic_store_n(tail, *tail + 1, __ATOMIC_RELEASE);
    if (syscall(SYS_io_uring_enter, ring, 1, 1, IORING_ENTER_GETEVENTS, NULL, 0) != 1)
        return -1;
    const unsigned head = __atomic_load_n((unsigned*)(cq + params.cq_off.head), __ATOMIC_ACQUIRE);
    const unsigned mask = *(unsigned*)(cq + params.cq_off.ring_mask);
    return ((struct io_uring_cqe*)(cq + params.cq_off.cqes))[head & mask].res;
}

// Writes n bytes of text to fd with io_submit; the write's result, or -1 without a context.
static long AsyncWrite(int fd, const char* text, unsigned n) {
    aio_context_t context = 0;
    if (syscall(SYS_io_setup, 1, &context) != 0)
        return -1;
    struct iocb request;
    memset(&request, 0, sizeof request);
    request.aio_fildes = (unsigned)fd;
    request.aio_lio_opcode = IOCB_CMD_PWRITE;
    request.aio_buf = (unsigned long)text;
    request.aio_nbytes = n;
    struct iocb* requests[1] = {&request};
    struct io_event done;
    if (syscall(SYS_io_submit, context, 1, requests) != 1 ||
        syscall(SYS_io_getevents, context, 1, 1, &done, NULL) != 1)
        return -1;
    return (long)done.res;
}

struct Race {
    int port;
    char buffer[4];
    pid_t writer;  // set before the writer's call
    ssize_t written;
};

static void* RaceWriter(void* arg) {
    struct Race* race = arg;
    __atomic_store_n(&race->writer, gettid(), __ATOMIC_SEQ_CST);
    race->written = write(race->port, race->buffer, 3);
    return NULL;
}

// The first bytes of /proc/self/task/TID/NAME into text (empty when unreadable).
static void TaskFile(pid_t tid, const char* name, char* text, size_t size) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/%s", (int)tid, name);
    FILE* file = fopen(path, "r");
    const size_t n = file == NULL ? 0 : fread(text, 1, size - 1, file);
    if (file != NULL)
        fclose(file);
    text[n] = '\0';
}

// Whether thread tid sleeps in write (neither stopped by its tracer nor running).
static int WaitsInWrite(pid_t tid) {
    char stat[512], call[64];
    TaskFile(tid, "stat", stat, sizeof stat);
    TaskFile(tid, "syscall", call, sizeof call);
    const char* state = strrchr(stat, ')');
    return state != NULL && strncmp(state, ") S ", 4) == 0 && strncmp(call, "1 ", 2) == 0;
}

static int Race(int port) {
    struct Race race = {port, "ABC", 0, -1};
    pthread_t thread;
    if (tcflow(port, TCOOFF) != 0 || pthread_create(&thread, NULL, RaceWriter, &race) != 0)
        return 5;
    pid_t writer = 0;
    while ((writer = __atomic_load_n(&race.writer, __ATOMIC_SEQ_CST)) == 0 ||
           !WaitsInWrite(writer)) {
        sched_yield();
    }
    memcpy(race.buffer, "XYZ", 3);
    if (tcflow(port, TCOON) != 0 || pthread_join(thread, NULL) != 0)
        return 6;
    return race.written == 3 ? 0 : 7;
}

static int Dup2Race(int port, const char* other_path) {
    const int other = open(other_path, O_RDWR | O_NOCTTY);
    const int kept = dup(port);
    struct Race race = {port, "ABC", 0, -1};
    pthread_t thread;
    if (other < 0 || kept < 0 || tcflow(port, TCOOFF) != 0 ||
        pthread_create(&thread, NULL, RaceWriter, &race) != 0) {
        return 5;
    }
    pid_t writer = 0;
    while ((writer = __atomic_load_n(&race.writer, __ATOMIC_SEQ_CST)) == 0 ||
           !WaitsInWrite(writer)) {
        sched_yield();
    }
    if (dup2(other, port) != port || tcflow(kept, TCOON) != 0 || pthread_join(thread, NULL) != 0)
        return 6;
    return race.written == 3 && write(port, "Z", 1) == 1 ? 0 : 7;
}

// A 32-bit system call (int 0x80): its arguments in ebx, ecx, edx, pointers below 4 GiB.
static long Call32(long nr, long a, long b, long c) {
    long result;
    __asm__ volatile("int $0x80"
                     : "=a"(result)
                     : "a"(nr), "b"(a), "c"(b), "d"(c)
                     : "memory", "r8", "r9", "r10", "r11");
    return result;
}

static int ThirtyTwoBitCalls(int port) {
    enum { kRead = 3, kWrite = 4, kWritev = 146 };
    uint8_t* low =
        mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (low == MAP_FAILED)
        return 5;
    memcpy(low, "HIJ", 3);
    const uint32_t vector[4] = {(uint32_t)(uintptr_t)(low + 1), 1, (uint32_t)(uintptr_t)(low + 2),
                                1};
    memcpy(low + 8, vector, sizeof vector);
    if (Call32(kWrite, port, (long)(uintptr_t)low, 1) != 1)
        return 6;
    const long sent = Call32(kWritev, port, (long)(uintptr_t)(low + 8), 2);
    if (sent != 2 && (sent != -ENOSYS || Call32(kWrite, port, (long)(uintptr_t)(low + 1), 2) != 2))
        return 7;
    return Call32(kRead, port, (long)(uintptr_t)(low + 64), 1) == 1 && low[64] == 'K' ? 0 : 8;
}

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4)
        return 2;
    const char* mode = argv[2];
    int status = 2;
    if (strcmp(mode, "probe32") == 0) {
        status = Call32(20, 0, 0, 0) == getpid() ? 0 : 4;  // getpid
    } else if (strcmp(mode, "swap") == 0) {
        status = Swap(argv[1]);
    } else {
        const int port = open(argv[1], O_RDWR | O_NOCTTY);
        if (port < 0)
            return 3;
        if (strcmp(mode, "aio") == 0) {
            status = AsyncWrite(port, "G", 1) == 1 || write(port, "G", 1) == 1 ? 0 : 4;
        } else if (strcmp(mode, "uring") == 0) {
            status = RingWrite(port, "F", 1) == 1 || write(port, "F", 1) == 1 ? 0 : 4;
        } else if (strcmp(mode, "race") == 0) {
            status = Race(port);
        } else if (strcmp(mode, "dup2") == 0 && argc == 4) {
            status = Dup2Race(port, argv[3]);
        } else if (strcmp(mode, "sendfile") == 0) {
            status = SendFile(port);
        } else if (strcmp(mode, "int80") == 0) {
            status = ThirtyTwoBitCalls(port);
        } else if (strcmp(mode, "pwritev2") == 0) {
            struct iovec v = {"D", 1};
            status = pwritev2(port, &v, 1, -1, 0) == 1 ? 0 : 4;
        }
    }
    if (status == 0)
        printf("done\n");
    return status;
}
