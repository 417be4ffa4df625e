/* Writes to a port from a signal handler that interrupts the program's own writes to it: opens
 * the port named by argv[1], then writes "m" a thousand times while a timer's handler writes "s"
 * every 200 microseconds, then "E". Exits 0 when every write went whole. */
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

static int port = -1;
static volatile sig_atomic_t failed = 0;

static void on_timer(int signal) {
    (void)signal;
    if (write(port, "s", 1) != 1)
        failed = 1;
}

int main(int argc, char** argv) {
    struct sigaction action;
    struct itimerval every = {{0, 200}, {0, 200}};
    struct itimerval stop = {{0, 0}, {0, 0}};
    if (argc < 2)
        return 2;
    port = open(argv[1], O_RDWR | O_NOCTTY);
    if (port < 0)
        return 3;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_timer;
    action.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &action, NULL);
    setitimer(ITIMER_REAL, &every, NULL);
    for (int i = 0; i < 1000; ++i) {
        if (write(port, "m", 1) != 1)
            failed = 1;
    }
    setitimer(ITIMER_REAL, &stop, NULL);
    if (write(port, "E", 1) != 1) /* the end, after the last handler's write */
        failed = 1;
    close(port);
    return failed ? 4 : 0;
}
