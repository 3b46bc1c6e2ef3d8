/* Preloaded into a program under test to make one of its calls fail, so that
 * the program's handling of that failure can be seen from outside.
 *
 *   FAIL_CALL  pthread_create, fork, or malloc
 *   FAIL_NTH   which call fails, counting from 1 (default 1); the others go through
 *
 * Only mallocs made off the main thread are counted: the programs' own block
 * is allocated by a worker, while the C library allocates from main. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static atomic_int calls;

/* Whether this call of `name` is the one to fail. */
static int chosen(const char *name)
{
    const char *call = getenv("FAIL_CALL");
    if (call == NULL || strcmp(call, name) != 0)
        return 0;
    const char *nth = getenv("FAIL_NTH");
    return atomic_fetch_add(&calls, 1) + 1 == (nth != NULL ? atoi(nth) : 1);
}

typedef int create_fn(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
typedef pid_t fork_fn(void);
typedef void *malloc_fn(size_t);

static create_fn *next_pthread_create;
static fork_fn *next_fork;
static malloc_fn *next_malloc;

/* Resolved before main starts any thread, so that no two threads race to set them. */
__attribute__((constructor)) static void resolve(void)
{
    next_pthread_create = (create_fn *)dlsym(RTLD_NEXT, "pthread_create");
    next_fork = (fork_fn *)dlsym(RTLD_NEXT, "fork");
    if (next_malloc == NULL)
        next_malloc = (malloc_fn *)dlsym(RTLD_NEXT, "malloc");
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    if (chosen("pthread_create"))
        return EAGAIN;
    return next_pthread_create(thread, attr, start, arg);
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
    if (next_malloc == NULL) /* a call from start-up code, before resolve() has run: still one thread */
        next_malloc = (malloc_fn *)dlsym(RTLD_NEXT, "malloc");
    if (gettid() != getpid() && chosen("malloc")) {
        errno = ENOMEM;
        return NULL;
    }
    return next_malloc(size);
}
