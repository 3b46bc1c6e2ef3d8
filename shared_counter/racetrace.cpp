// racetrace: racecount's race, with every update traced. Four threads step
// one shared word with no lock; each write carries a tag naming its step, and
// each step logs the write it read. Walking back from the final write shows
// exactly which steps the final count is made of, and where the others went.
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fail.h"
#include "trace.h"

#if !defined(COUNTER_START) || !defined(COUNTER_STEPS)
#error "the build must define COUNTER_START and COUNTER_STEPS"
#endif

constexpr std::uint32_t steps = COUNTER_STEPS;
// Every step's tag must fit in 32 bits.
constexpr std::uint32_t most_steps = (UINT32_MAX - 1) / workers;

// The shared word, starting with tag 0 and the starting count.
constexpr std::uint64_t start = packed(0, static_cast<std::uint32_t>(std::int32_t{COUNTER_START}));
static std::atomic<std::uint64_t> word{start};

// Each worker's log: reads[w][k - 1] is the tag of the write that its step k read.
static std::uint32_t* reads[workers];
// Each worker's number, which its start routine is handed.
static std::uint32_t ids[workers] = {0, 1, 2, 3};

// Each step, as in racecount, is one load and one separate store, so another
// worker's store between them is overwritten; the log and the tag ride along.
static void* worker(void* arg)
{
    const std::uint32_t w = *static_cast<const std::uint32_t*>(arg);
    const std::uint32_t delta = step_by(w);
    std::uint32_t* log = reads[w];
    for (std::uint32_t k = 1; k <= steps; k++) {
        const std::uint64_t seen = word.load(std::memory_order_relaxed);
        log[k - 1] = tag_in(seen);
        word.store(packed(tag_of(w, k), value_in(seen) + delta), std::memory_order_relaxed);
    }
    return nullptr;
}

// Frees the logs and PLACE, the walk's room; returns STATUS, for main to return.
static int done(std::uint32_t* place, int status)
{
    for (auto* log : reads)
        std::free(log);
    std::free(place);
    return status;
}

// A step's name as the report gives it: T1 to T4 and the step, from 1.
static void name(char* buf, std::size_t size, std::uint32_t tag)
{
    static_cast<void>(std::snprintf(buf, size, "T%u step %u", worker_of(tag) + 1, step_of(tag)));
}

int main()
{
    if (steps > most_steps) {
        static_cast<void>(std::fprintf(stderr, "%s: cannot tag %u steps per worker in 32 bits; build with at most %u\n",
                                       program_invocation_short_name, steps, most_steps));
        return 1;
    }
    // Every log, and the walk's room, exists before any worker starts.
    for (auto& log : reads) {
        log = static_cast<std::uint32_t*>(std::malloc(sizeof(std::uint32_t) * steps));
        if (log == nullptr)
            return done(nullptr, fail("malloc", errno));
    }
    auto* place = static_cast<std::uint32_t*>(std::malloc(sizeof(std::uint32_t) * (workers * steps + 1)));
    if (place == nullptr)
        return done(nullptr, fail("malloc", errno));

    pthread_t threads[workers];
    for (std::uint32_t w = 0; w < workers; w++) {
        const int err = pthread_create(&threads[w], nullptr, worker, &ids[w]);
        if (err != 0) {
            // The workers already running end on their own; wait for them.
            for (std::uint32_t v = 0; v < w; v++)
                pthread_join(threads[v], nullptr);
            return done(place, fail("pthread_create", err));
        }
    }
    for (pthread_t thread : threads) {
        const int err = pthread_join(thread, nullptr);
        if (err != 0)
            return done(place, fail("pthread_join", err));
    }

    // The joins order every worker's stores before these loads.
    const std::uint64_t last = word.load(std::memory_order_relaxed);
    const chain c = walk_back(reads, steps, place, last);
    const auto count = static_cast<std::int32_t>(value_in(last));
    const std::int64_t sum = std::int64_t{COUNTER_START} + c.up - c.down;
    std::printf("Final count: %d\n", count);
    std::printf("Steps that count: %lld (%u up, %u down), and %d + %u - %u = %lld%s\n",
                static_cast<long long>(c.up) + c.down, c.up, c.down, COUNTER_START, c.up, c.down,
                static_cast<long long>(sum), sum == count ? "" : ", which wraps round to the count");
    std::printf("Steps lost: %lld of %lld\n", static_cast<long long>(workers) * steps - c.up - c.down,
                static_cast<long long>(workers) * steps);
    if (c.lost) {
        char lost[32];
        char kept[32];
        name(lost, sizeof lost, c.lost_step);
        name(kept, sizeof kept, c.kept_step);
        const auto wrote = [](std::uint32_t tag, std::uint32_t read) {
            return static_cast<std::int32_t>(read + step_by(worker_of(tag)));
        };
        std::printf("First lost step: %s and %s both read %d; T%u wrote %d, T%u wrote %d, and every step that "
                    "counts after it builds on T%u's write\n",
                    lost, kept, static_cast<std::int32_t>(c.read_value), worker_of(c.lost_step) + 1,
                    wrote(c.lost_step, c.read_value), worker_of(c.kept_step) + 1, wrote(c.kept_step, c.read_value),
                    worker_of(c.kept_step) + 1);
    } else {
        std::printf("No step was lost: each one built on the write before it.\n");
    }
    return done(place, flush_output());
}
