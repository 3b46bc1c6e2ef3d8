// racecount: four threads move one shared counter with no lock at all, two
// down and two up. Without lost updates the count would end where it began,
// at 10; any other value shows steps that one thread overwrote for another.
#include <pthread.h>

#include <cstdio>

#include "counter.h"
#include "fail.h"

static void* process0(void*)
{
    critical_section(0);
    return nullptr;
}

static void* process1(void*)
{
    critical_section(1);
    return nullptr;
}

// Joins the first n workers, in the order they were created. Returns 0, or
// the error number of the first join that failed.
static int join_workers(const pthread_t* workers, int n)
{
    for (int i = 0; i < n; i++) {
        const int err = pthread_join(workers[i], nullptr);
        if (err != 0)
            return err;
    }
    return 0;
}

int main()
{
    pthread_t workers[4];
    for (int i = 0; i < 4; i++) {
        // T1 and T3 decrement, T2 and T4 increment.
        const int err = pthread_create(&workers[i], nullptr, i % 2 == 0 ? process0 : process1, nullptr);
        if (err != 0) {
            // The workers already running end on their own; wait for them so
            // that no thread outlives main.
            join_workers(workers, i);
            return fail("pthread_create", err);
        }
    }
    const int err = join_workers(workers, 4);
    if (err != 0)
        return fail("pthread_join", err);

    // The joins order every worker's store before this load.
    std::printf("Final count: %d\n", count.load(std::memory_order_relaxed));
    return flush_output();
}
