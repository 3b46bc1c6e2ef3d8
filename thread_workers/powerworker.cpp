// powerworker: main hands a number to a worker thread, which prints it, its
// square and its cube while main waits. main's waiting line may land before,
// between or after the worker's lines; its last line always follows the join.
#include <pthread.h>

#include <cstdint>
#include <cstdio>

#include "fail.h"
#include "powers.h"
#include "prompt.h"

static void* numberInfo(void* arg)
{
    const std::int32_t n = *static_cast<const std::int32_t*>(arg);
    // Each line is one printf, which holds the stream's lock for the whole
    // line, so main's line never lands inside one of these.
    std::printf("Thread: Number = %d\n", n);
    std::printf("Thread: Square = %d\n", square_of(n));
    std::printf("Thread: Cube = %d\n", cube_of(n));
    return nullptr;
}

int main()
{
    std::int32_t n = 0;
    if (!prompt_and_read("Enter an integer: ", n))
        return 1;

    pthread_t worker;
    int err = pthread_create(&worker, nullptr, numberInfo, &n);
    if (err != 0)
        return fail("pthread_create", err);
    std::puts("Main thread: Waiting for the thread to finish...");
    err = pthread_join(worker, nullptr);
    if (err != 0)
        return fail("pthread_join", err);
    std::puts("Main thread: Work completed.");
    return flush_output();
}
