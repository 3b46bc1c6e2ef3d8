/* Preloaded into a program under test to meddle with its calls, so that the
 * program's handling of a failure, or of a slow thread, can be seen from outside.
 *
 *   FAIL_CALL      pthread_create, fork, malloc or ptrace: that call fails
 *   FAIL_NTH       which call of it fails, counting from 1 (default 1); the others go through
 *   FAIL_OVER      any malloc of more than this many bytes fails, on any thread
 *   SLOW_START_MS  every thread created waits this long before it runs its start routine
 *   SLOW_THREAD    only the thread created nth (counting from 1) waits so
 *   START_TOGETHER every thread waits at its start until this many threads exist,
 *                  and then all go at once
 *   SERIAL         when 1, the threads run their start routines one at a time
 *   IDLE_THREADS   the threads created in these places (such as "2,4") run a
 *                  stand-in that does nothing instead of their start routine
 *   CHILD_STATUS   a file to which each wait or waitpid that reaps a child adds
 *                  a line, "exit N" or "signal N", even when the caller asks
 *                  for no status
 *
 * Only mallocs made off the main thread are counted: the programs' own block
 * is allocated by a worker, while the C library allocates from main. */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* The settings, read by set_up(). */
static const char *fail_call = "";
static long fail_nth = 1;
static long fail_over;
static long slow_start_ms = -1;
static long slow_thread;
static long start_together;
static int serial;
static const char *idle_threads = "";
static const char *child_status;
static atomic_long calls;
static long created;            /* threads created so far: only main creates threads */
static atomic_long arrived;     /* threads that have reached their start */
static pthread_mutex_t one_at_a_time = PTHREAD_MUTEX_INITIALIZER;

static long number(const char *text, long otherwise)
{
    return text != NULL ? strtol(text, NULL, 10) : otherwise;
}

/* Whether this call of `name` is the one to fail. */
static int chosen(const char *name)
{
    return strcmp(fail_call, name) == 0 && atomic_fetch_add(&calls, 1) + 1 == fail_nth;
}

typedef int create_fn(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
typedef pid_t fork_fn(void);
typedef void *malloc_fn(size_t);
typedef pid_t waitpid_fn(pid_t, int *, int);
typedef long ptrace_fn(int, pid_t, void *, void *);

static create_fn *next_pthread_create;
static fork_fn *next_fork;
static malloc_fn *next_malloc;
static waitpid_fn *next_waitpid;
static ptrace_fn *next_ptrace;

/* The next definition of `name` in the library search order: the one this
 * shim stands in front of. ISO C has no cast from an object pointer to a
 * function pointer; copying the bits is how POSIX has dlsym's result used. */
static void next_definition(const char *name, void *fn, size_t size)
{
    void *found = dlsym(RTLD_NEXT, name);
    memcpy(fn, &found, size);
}

/* Runs before main starts any thread, so that no two threads race to set up. */
__attribute__((constructor)) static void set_up(void)
{
    /* NOLINTBEGIN(concurrency-mt-unsafe): before main, there is one thread */
    const char *call = getenv("FAIL_CALL");
    if (call != NULL)
        fail_call = call;
    fail_nth = number(getenv("FAIL_NTH"), 1);
    fail_over = number(getenv("FAIL_OVER"), 0);
    slow_start_ms = number(getenv("SLOW_START_MS"), -1);
    slow_thread = number(getenv("SLOW_THREAD"), 0);
    start_together = number(getenv("START_TOGETHER"), 0);
    serial = number(getenv("SERIAL"), 0) == 1;
    const char *idle = getenv("IDLE_THREADS");
    if (idle != NULL)
        idle_threads = idle;
    child_status = getenv("CHILD_STATUS");
    /* NOLINTEND(concurrency-mt-unsafe) */
    next_definition("pthread_create", &next_pthread_create, sizeof next_pthread_create);
    next_definition("fork", &next_fork, sizeof next_fork);
    next_definition("waitpid", &next_waitpid, sizeof next_waitpid);
    next_definition("ptrace", &next_ptrace, sizeof next_ptrace);
    if (next_malloc == NULL)
        next_definition("malloc", &next_malloc, sizeof next_malloc);
}

struct start {
    void *(*routine)(void *);
    void *arg;
    long nth;
};

/* Whether NTH appears in a list such as "2,4". */
static int listed(const char *list, long nth)
{
    const char *p = list;
    while (*p != '\0') {
        char *end = NULL;
        const long n = strtol(p, &end, 10);
        if (end == p)
            return 0;
        if (n == nth)
            return 1;
        p = *end == ',' ? end + 1 : end;
    }
    return 0;
}

static void unlock(void *mutex)
{
    if (mutex != NULL)
        pthread_mutex_unlock(mutex);
}

static void *meddled(void *p)
{
    struct start s = *(struct start *)p;
    free(p);
    if (slow_start_ms >= 0 && (slow_thread == 0 || slow_thread == s.nth)) {
        const struct timespec pause = {slow_start_ms / 1000, slow_start_ms % 1000 * 1000000};
        nanosleep(&pause, NULL);
    }
    atomic_fetch_add(&arrived, 1);
    while (atomic_load(&arrived) < start_together)
        sched_yield();
    if (serial)
        pthread_mutex_lock(&one_at_a_time);
    void *result = NULL;
    /* The routine may end its thread with pthread_exit: unlock on the way out either way. */
    pthread_cleanup_push(unlock, serial ? &one_at_a_time : NULL);
    if (!listed(idle_threads, s.nth))
        result = s.routine(s.arg);
    pthread_cleanup_pop(serial);
    return result;
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *), void *arg)
{
    if (chosen("pthread_create"))
        return EAGAIN;
    created++;
    if (slow_start_ms < 0 && start_together == 0 && !serial && *idle_threads == '\0')
        return next_pthread_create(thread, attr, routine, arg);
    struct start *s = malloc(sizeof *s);
    if (s == NULL)
        return EAGAIN;
    *s = (struct start){routine, arg, created};
    const int err = next_pthread_create(thread, attr, meddled, s);
    if (err != 0)
        free(s);
    return err;
}

pid_t fork(void)
{
    if (chosen("fork")) {
        errno = EAGAIN;
        return -1;
    }
    return next_fork();
}

/* Refused as a container's seccomp profile refuses it. */
long ptrace(int request, ...)
{
    va_list args;
    va_start(args, request);
    const pid_t pid = va_arg(args, pid_t);
    void *addr = va_arg(args, void *);
    void *data = va_arg(args, void *);
    va_end(args);
    if (chosen("ptrace")) {
        errno = EPERM;
        return -1;
    }
    return next_ptrace(request, pid, addr, data);
}

/* Notes how a reaped child ended in the CHILD_STATUS file. */
static void note(int status)
{
    if (child_status == NULL)
        return;
    char line[32];
    const int n = WIFEXITED(status) ? snprintf(line, sizeof line, "exit %d\n", WEXITSTATUS(status))
                                    : snprintf(line, sizeof line, "signal %d\n", WTERMSIG(status));
    const int fd = open(child_status, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd == -1)
        return;
    if (write(fd, line, (size_t)n) != n) {
        /* the test sees the line missing */
    }
    close(fd);
}

pid_t waitpid(pid_t pid, int *status, int options)
{
    int s = 0;
    const pid_t reaped = next_waitpid(pid, &s, options);
    if (reaped > 0) {
        note(s);
        if (status != NULL)
            *status = s;
    }
    return reaped;
}

pid_t wait(int *status)
{
    return waitpid(-1, status, 0);
}

void *malloc(size_t size)
{
    if (next_malloc == NULL) /* a call from start-up code, before set_up() has run: still one thread */
        next_definition("malloc", &next_malloc, sizeof next_malloc);
    if ((gettid() != getpid() && chosen("malloc")) || (fail_over > 0 && size > (size_t)fail_over)) {
        errno = ENOMEM;
        return NULL;
    }
    return next_malloc(size);
}
