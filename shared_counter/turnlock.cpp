// turnlock: two threads move one shared counter in opposite directions, each
// inside Peterson's lock. The lock keeps their read-then-write steps apart, so
// no update is lost and the final count is always 0.
#include <pthread.h>

#include <cstdio>

#include "counter.h"
#include "fail.h"
#include "turn_lock.h"

static void* process0(void*)
{
    enter_region(0);
    critical_section(0);
    leave_region(0);
    pthread_exit(nullptr);
}

static void* process1(void*)
{
    enter_region(1);
    critical_section(1);
    leave_region(1);
    pthread_exit(nullptr);
}

int main()
{
    flag[0].store(0, std::memory_order_seq_cst);
    flag[1].store(0, std::memory_order_seq_cst);
    turn.store(0, std::memory_order_seq_cst);

    pthread_t a;
    pthread_t b;
    int err = pthread_create(&a, nullptr, process0, nullptr);
    if (err != 0)
        return fail("pthread_create", err);
    err = pthread_create(&b, nullptr, process1, nullptr);
    if (err != 0) {
        // With flag[1] never raised, worker 0 enters at once and ends; wait
        // for it so that no thread outlives main.
        pthread_join(a, nullptr);
        return fail("pthread_create", err);
    }

    err = pthread_join(a, nullptr);
    if (err != 0)
        return fail("pthread_join", err);
    err = pthread_join(b, nullptr);
    if (err != 0)
        return fail("pthread_join", err);

    // The joins order every worker's store before this load.
    std::printf("Final count: %d\n", count.load(std::memory_order_relaxed));
    return flush_output();
}
