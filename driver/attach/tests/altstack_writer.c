/* Writes to a port from a signal handler that runs on an 8 KiB alternate stack: opens the port
 * named by argv[1], writes "main", then raises SIGUSR1, whose handler writes "handler". Exits 0
 * when both writes went whole. */
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int port = -1;
static volatile sig_atomic_t handler_ok = 0;

static void on_signal(int signal) {
    (void)signal;
    handler_ok = write(port, "handler", 7) == 7;
}

int main(int argc, char** argv) {
    static char stack[8192];
    stack_t alternate;
    struct sigaction action;
    if (argc < 2)
        return 2;
    port = open(argv[1], O_RDWR | O_NOCTTY);
    if (port < 0 || write(port, "main", 4) != 4)
        return 3;
    alternate.ss_sp = stack;
    alternate.ss_size = sizeof stack;
    alternate.ss_flags = 0;
    if (sigaltstack(&alternate, NULL) != 0)
        return 4;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    action.sa_flags = SA_ONSTACK;
    sigaction(SIGUSR1, &action, NULL);
    raise(SIGUSR1);
    close(port);
    return handler_ok ? 0 : 5;
}
