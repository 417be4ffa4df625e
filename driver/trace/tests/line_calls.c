// A plain C program for the tests of the system-call path, whose reads and writes on a port the
// tracer may make itself: on PORT it makes calls whose results depend on the line and the
// descriptor (bad buffers, descriptors not open for the call, reads that must wait under VMIN,
// a full line without and with O_NONBLOCK, a signal in a blocking write) and prints each result
// on a line of its own ("NAME COUNT [TEXT]" or "NAME -1 ERRNO"; a count the line's room decides
// as "NAME partial COUNT"). Reads and writes on the port are named "r:..." and "w:...".
// Where it needs the far end it says so and, but for "drain-while", waits for a line on input:
//   send TEXT       the far end sends TEXT;
//   reading TID     thread TID is about to read: once it waits in read, the far end sends "c";
//   drain N         the far end reads N bytes;
//   drain-while N   the far end reads N bytes while the program writes them.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

static char big[200000];

static void Result(const char* name, ssize_t result, const char* text) {
    if (result < 0)
        printf("%s -1 %s\n", name, strerrorname_np(errno));
    else
        printf("%s %zd%s%.*s\n", name, result, text && result > 0 ? " " : "",
               text ? (int)result : 0, text ? text : "");
    fflush(stdout);
}

static void Partial(const char* name, ssize_t result) {
    printf(result > 0 && (size_t)result < sizeof big ? "%s partial %zd\n" : "%s %zd\n", name,
           result);
    fflush(stdout);
}

// Says what the far end should do and waits for its line.
static void Ask(const char* what, long n) {
    if (n >= 0)
        printf("%s %ld\n", what, n);
    else
        printf("%s\n", what);
    fflush(stdout);
    char line[64];
    if (fgets(line, sizeof line, stdin) == NULL)
        _exit(9);
}

static void WaitForBytes(int fd, int n) {
    int waiting = 0;
    while (ioctl(fd, FIONREAD, &waiting) == 0 && waiting < n)
        sched_yield();
}

static void SetLine(int fd, int min, int time) {
    struct termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cc[VMIN] = (cc_t)min;
    t.c_cc[VTIME] = (cc_t)time;
    tcsetattr(fd, TCSANOW, &t);
}

// Whether thread tid sleeps in write.
static int WaitsInWrite(pid_t tid) {
    char path[64], stat[512] = "", call[64] = "";
    snprintf(path, sizeof path, "/proc/self/task/%d/stat", (int)tid);
    FILE* f = fopen(path, "r");
    if (f != NULL) {
        stat[fread(stat, 1, sizeof stat - 1, f)] = '\0';
        fclose(f);
    }
    snprintf(path, sizeof path, "/proc/self/task/%d/syscall", (int)tid);
    f = fopen(path, "r");
    if (f != NULL) {
        call[fread(call, 1, sizeof call - 1, f)] = '\0';
        fclose(f);
    }
    const char* state = strrchr(stat, ')');
    return state != NULL && strncmp(state, ") S ", 4) == 0 && strncmp(call, "1 ", 2) == 0;
}

struct Writer {
    int fd;
    pid_t tid;
    ssize_t written;
};

static void* Write(void* arg) {
    struct Writer* w = arg;
    __atomic_store_n(&w->tid, gettid(), __ATOMIC_SEQ_CST);
    w->written = write(w->fd, big, sizeof big);
    return NULL;
}

static void Ignore(int sig) {
    (void)sig;
}

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    const int fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0)
        return 3;
    SetLine(fd, 1, 0);
    char buffer[16];
    void* volatile bad = (void*)8;  // an address no page holds
    Result("seek", lseek(fd, 0, SEEK_CUR), NULL);
    Result("w:bad-buffer", write(fd, bad, 1), NULL);
    Ask("send x", -1);
    WaitForBytes(fd, 1);
    // The kernel takes the byte before it finds the buffer bad: it is gone.
    Result("r:bad-buffer", read(fd, bad, 1), NULL);
    int waiting = -1;
    ioctl(fd, FIONREAD, &waiting);
    Result("waiting", waiting, NULL);

    const int read_only = open(argv[1], O_RDONLY | O_NOCTTY);
    const int write_only = open(argv[1], O_WRONLY | O_NOCTTY);
    Result("w:read-only", write(read_only, "a", 1), NULL);
    Result("r:write-only", read(write_only, buffer, 1), NULL);
    close(read_only);
    close(write_only);

    // Two bytes wait; VMIN asks for three: the read waits for the third.
    SetLine(fd, 3, 0);
    Ask("send ab", -1);
    WaitForBytes(fd, 2);
    printf("reading %d\n", (int)gettid());
    fflush(stdout);
    Result("r:vmin", read(fd, buffer, sizeof buffer), buffer);
    SetLine(fd, 0, 0);
    Result("r:nothing", read(fd, buffer, sizeof buffer), buffer);

    SetLine(fd, 1, 0);  // without VMIN and VTIME a read returns at once, blocking or not
    fcntl(fd, F_SETFL, O_NONBLOCK);
    Result("r:nonblocking", read(fd, buffer, sizeof buffer), NULL);
    // The line takes less than all, then (once what it took is on its way) nothing.
    ssize_t filled = 0, written = 0;
    while ((written = write(fd, big, sizeof big)) > 0) {
        Partial("w:fill", written);
        filled += written;
    }
    Result("w:full", written, NULL);
    Ask("drain", filled);
    fcntl(fd, F_SETFL, 0);
    Result("nonblocking", fcntl(fd, F_GETFL) & O_NONBLOCK, NULL);

    // A blocking write the line cannot take whole, interrupted by a signal once it waits.
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = Ignore;
    sigaction(SIGUSR1, &action, NULL);
    struct Writer writer = {fd, 0, -1};
    pthread_t thread;
    if (pthread_create(&thread, NULL, Write, &writer) != 0)
        return 4;
    pid_t tid = 0;
    while ((tid = __atomic_load_n(&writer.tid, __ATOMIC_SEQ_CST)) == 0 || !WaitsInWrite(tid))
        sched_yield();
    pthread_kill(thread, SIGUSR1);
    pthread_join(thread, NULL);
    Partial("w:interrupted", writer.written);
    Ask("drain", writer.written);

    printf("drain-while %zu\n", sizeof big);
    fflush(stdout);
    Result("w:drained", write(fd, big, sizeof big), NULL);
    close(fd);
    return 0;
}
