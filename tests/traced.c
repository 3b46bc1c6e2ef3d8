/* Small programs for proctrace to trace, one a case, chosen by the first
 * argument: each does one thing that a tracer must see rightly. */
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* A thread that execs echo, or forks for ever. A start routine's argument
 * is a plain void*, whatever it points to. */
// cppcheck-suppress constParameter
static void* worker(void* exec)
{
    if (exec != NULL)
        execlp("echo", "echo", "from a thread", (char*)NULL);
    for (;;)
        if (fork() == 0)
            _exit(0);
}

static void* idle(void* arg) { return arg; }

/* A child that only exits: its parent is held until it has. */
static void vfork_exit(void)
{
    // cppcheck-suppress vforkCalled ; the parent's hold is what is tested
    if (vfork() == 0)
        _exit(0);
}

static volatile sig_atomic_t terms;

static void count_term(int sig) { terms += sig == SIGTERM; }

static void nap(long ms)
{
    struct timespec t = {ms / 1000, ms % 1000 * 1000000};
    nanosleep(&t, NULL);
}

int main(int argc, char* argv[])
{
    pthread_t t;
    const char* what = argc > 1 ? argv[1] : "";
    const char* file = argc > 2 ? argv[2] : "/etc/hostname";
    const long n = strtol(file, NULL, 10);
    int in = open(file, O_RDONLY);
    struct iovec v = {"vector\n", 7};
    if (strcmp(what, "forker") == 0) {
        /* Eight processes, each killed, or ended by one of its threads,
         * while its other threads fork. */
        for (long k = n; k < n + 8; k++) {
            if (fork() != 0)
                continue;
            for (int i = 0; i < 2; i++)
                pthread_create(&t, NULL, worker, NULL);
            nap(k % 3);
            if (k % 2 != 0)
                kill(getpid(), SIGKILL);
            _exit(0);
        }
        while (wait(NULL) > 0) {
        }
    } else if (strcmp(what, "ignoring-sigchld") == 0 && argc > 2) {
        /* Starts a program as a parent that ignores SIGCHLD may: the
         * disposition outlives exec. */
        close(in);
        (void)signal(SIGCHLD, SIG_IGN);
        execv(argv[2], argv + 2);
        return 127;
    } else if (strcmp(what, "waitid-null") == 0) {
        if (fork() == 0)
            _exit(3);
        syscall(SYS_waitid, P_ALL, 0, NULL, WEXITED, NULL);
    } else if (strcmp(what, "ignore-sigchld") == 0 || strcmp(what, "no-wait") == 0) {
        struct sigaction sa = {.sa_handler = what[0] == 'i' ? SIG_IGN : SIG_DFL, .sa_flags = SA_NOCLDWAIT};
        sigaction(SIGCHLD, &sa, NULL);
        if (fork() == 0)
            _exit(0);
        nap(200);
    } else if (strcmp(what, "count-term") == 0) {
        /* How many times SIGTERM is delivered, once one has been. */
        struct sigaction sa = {.sa_handler = count_term};
        sigaction(SIGTERM, &sa, NULL);
        puts("ready");
        (void)fflush(stdout);
        while (terms == 0)
            nap(10);
        nap(300);
        printf("got %d\n", (int)terms);
    } else if (strcmp(what, "thread-exec") == 0) {
        pthread_create(&t, NULL, worker, (void*)what);
        pause();
    } else if (strcmp(what, "joins") == 0 || strcmp(what, "vforks") == 0) {
        /* A line after each join or vfork, which only the end of the thread
         * or the child lets come. */
        for (long i = 0; i < n; i++) {
            if (what[0] == 'j') {
                pthread_create(&t, NULL, idle, NULL);
                pthread_join(t, NULL);
            } else {
                vfork_exit();
            }
            write(1, "went on\n", 8);
        }
        while (wait(NULL) > 0) {
        }
    } else if (strcmp(what, "chain") == 0) {
        /* Each generation forks the next and exits. */
        for (long depth = n; depth > 0 && fork() == 0; depth--) {
        }
    } else if (strcmp(what, "file-writes") == 0) {
        /* Standard output is a regular file. */
        pwrite(1, "pwrite\n", 7, 0);
        pwritev(1, &v, 1, 7);
        pwritev2(1, &v, 1, -1, 0);
        sendfile(1, in, NULL, 4096);
        lseek(in, 0, SEEK_SET);
        copy_file_range(in, NULL, 1, NULL, 4096, 0);
    } else if (strcmp(what, "pipe-writes") == 0) {
        /* Standard output is a pipe. */
        vmsplice(1, &v, 1, 0);
        splice(in, NULL, 1, NULL, 4096, 0);
    } else {
        close(in);
        return 2;
    }
    close(in);
    return 0;
}
