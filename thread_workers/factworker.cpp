// factworker: main hands a number to a worker thread, which computes its
// factorial in a heap block and passes the block back as its thread result
// through pthread_exit. main receives it at the join, prints it and frees it.
#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fail.h"
#include "powers.h"
#include "prompt.h"

static void* factorial(void* arg)
{
    const std::int32_t n = *static_cast<const std::int32_t*>(arg);
    auto* block = static_cast<std::int64_t*>(std::malloc(sizeof(std::int64_t)));
    if (block == nullptr) {
        fail("malloc", errno);
        pthread_exit(nullptr);
    }
    *block = static_cast<std::int64_t>(factorial_of(n));
    pthread_exit(block);
}

int main()
{
    std::int32_t n = 0;
    if (!prompt_and_read("Enter a number: ", n))
        return 1;

    pthread_t worker;
    int err = pthread_create(&worker, nullptr, factorial, &n);
    if (err != 0)
        return fail("pthread_create", err);
    void* result = nullptr;
    err = pthread_join(worker, &result);
    if (err != 0)
        return fail("pthread_join", err);
    // A null result means the worker could not allocate its block, and has said so.
    if (result == nullptr)
        return 1;

    // The block is main's from here on.
    auto* block = static_cast<std::int64_t*>(result);
    std::printf("Factorial of %d is: %lld\n", n, static_cast<long long>(*block));
    std::free(block);
    std::puts("Main thread: Work completed.");
    return flush_output();
}
