// weaklock: Peterson's lock is sound only while no load can overtake an
// earlier store. Two threads take the same lock round after round, with its
// accesses sequentially consistent and then with two weaker memory orders, and
// count the rounds in which both threads got in: only the weaker orders ever
// do, and on x86-64 they do (on arm64 release/acquire is seq_cst's very code).
#include <pthread.h>
#include <sched.h>

#include <cstdio>

#include "fail.h"
#include "lock_rounds.h"

#ifndef LOCK_ROUNDS
#error "the build must define LOCK_ROUNDS"
#endif

// Runs the rounds with ORDER on two of the CPUS and stores in *found the
// rounds that let both threads in. Returns 0, or main's exit status after a
// failure.
template <std::memory_order order>
static int run(const cpu_set_t& cpus, std::int32_t* found)
{
    reset_rounds(LOCK_ROUNDS);
    pthread_t threads[2];
    const char* call;
    int err = start_pair<order>(threads, cpus, &call);
    if (err != 0)
        return fail(call, err);
    for (pthread_t thread : threads) {
        err = pthread_join(thread, nullptr);
        if (err != 0)
            return fail("pthread_join", err);
    }
    *found = overlaps.value.load();
    return 0;
}

int main()
{
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof cpus, &cpus) == -1)
        return fail("sched_getaffinity", errno);
    if (CPU_COUNT(&cpus) < 2) {
        // The rounds would only print zeros, and explain nothing.
        std::printf("Peterson's lock, 2 threads: not run\n");
        std::puts("Only one CPU is available, so the two threads never run at the same moment\n"
                  "and no memory order can let both in. Run weaklock where two CPUs are free.");
        return flush_output();
    }

    std::int32_t seq_cst = 0;
    std::int32_t acq_rel = 0;
    std::int32_t relaxed = 0;
    int status = run<std::memory_order_seq_cst>(cpus, &seq_cst);
    if (status == 0)
        status = run<std::memory_order_acq_rel>(cpus, &acq_rel);
    if (status == 0)
        status = run<std::memory_order_relaxed>(cpus, &relaxed);
    if (status != 0)
        return status;

    std::printf("Peterson's lock, 2 threads, %d rounds for each memory order\n", LOCK_ROUNDS);
    std::printf("seq_cst: %d of %d rounds let both threads in\n", seq_cst, LOCK_ROUNDS);
    std::printf("release/acquire: %d of %d rounds let both threads in\n", acq_rel, LOCK_ROUNDS);
    std::printf("relaxed: %d of %d rounds let both threads in\n", relaxed, LOCK_ROUNDS);
    status = flush_output();
    if (status == 0 && seq_cst != 0) {
        // Nowhere to report a failed write of this line either.
        static_cast<void>(std::fprintf(stderr, "%s: the sequentially consistent lock let both threads in: the lock or this machine is broken\n",
                                       program_invocation_short_name));
        return 1;
    }
    return status;
}
