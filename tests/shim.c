/* Preloaded into a program under test to meddle with its calls, so that the
 * program's handling of a failure, or of a slow thread, can be seen from outside.
 *
 *   FAIL_CALL      pthread_create, fork, or malloc: that call fails
 *   FAIL_NTH       which call of it fails, counting from 1 (default 1); the others go through
 *   SLOW_START_MS  every thread created waits this long before it runs its start routine
 *
 * Only mallocs made off the main thread are counted: the programs' own block
 * is allocated by a worker, while the C library allocates from main. */
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

/* The settings, read by set_up(). */
static const char *fail_call = "";
static long fail_nth = 1;
static long slow_start_ms = -1;
static atomic_long calls;

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

static create_fn *next_pthread_create;
static fork_fn *next_fork;
static malloc_fn *next_malloc;

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
    slow_start_ms = number(getenv("SLOW_START_MS"), -1);
    /* NOLINTEND(concurrency-mt-unsafe) */
    next_definition("pthread_create", &next_pthread_create, sizeof next_pthread_create);
    next_definition("fork", &next_fork, sizeof next_fork);
    if (next_malloc == NULL)
        next_definition("malloc", &next_malloc, sizeof next_malloc);
}

struct start {
    void *(*routine)(void *);
    void *arg;
    long ms;
};

static void *slow_start(void *p)
{
    struct start s = *(struct start *)p;
    free(p);
    const struct timespec pause = {s.ms / 1000, s.ms % 1000 * 1000000};
    nanosleep(&pause, NULL);
    return s.routine(s.arg);
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *), void *arg)
{
    if (chosen("pthread_create"))
        return EAGAIN;
    if (slow_start_ms < 0)
        return next_pthread_create(thread, attr, routine, arg);
    struct start *s = malloc(sizeof *s);
    if (s == NULL)
        return EAGAIN;
    *s = (struct start){routine, arg, slow_start_ms};
    const int err = next_pthread_create(thread, attr, slow_start, s);
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

void *malloc(size_t size)
{
    if (next_malloc == NULL) /* a call from start-up code, before set_up() has run: still one thread */
        next_definition("malloc", &next_malloc, sizeof next_malloc);
    if (gettid() != getpid() && chosen("malloc")) {
        errno = ENOMEM;
        return NULL;
    }
    return next_malloc(size);
}
